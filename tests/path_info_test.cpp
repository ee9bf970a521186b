#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "path_info.hpp"

namespace {

// "c: absolute [proj, defs]": drive (or "-"), absolute or relative, parts.
std::string split_parts(int result, path_info_t& info) {
    if (result != 0) {
        return "FAIL";
    }
    std::string text = info.drive != 0 ? std::string(1, info.drive) + ":" : "-";
    text += info.absolute != 0 ? " absolute [" : " relative [";
    for (hash_iterator_t item = info.parts.first_in_list; item != nullptr; item = item->next_in_list) {
        auto* part = static_cast<const char*>(hash_item_data(item));
        EXPECT_EQ(item->data_size, std::string(part).size() + 1);
        text += (item == info.parts.first_in_list ? "" : ", ") + std::string(part);
    }
    path_info_shutdown(&info);
    return text + "]";
}

// Result text of a buffer-writing operation, or "FAIL".
template <typename Operation>
std::string written(size_t size, Operation operation) {
    std::string buffer(size, '#');
    return operation(buffer.data(), size) == 0 ? std::string(buffer.c_str()) : "FAIL";
}

std::string drive_dir(const std::string& path) {
    return written(PATH_DRIVE_BUFFER_SIZE, [&](char* b, size_t s) { return path_info_dir(b, s, path.c_str()); });
}
std::string drive_prefix(const std::string& prefix, const std::string& path) {
    return written(PATH_DRIVE_BUFFER_SIZE,
                   [&](char* b, size_t s) { return path_info_prefix(b, s, prefix.c_str(), path.c_str()); });
}
std::string native_dir(const std::string& path) {
    return written(PATH_NATIVE_BUFFER_SIZE, [&](char* b, size_t s) { return path_native_dir(b, s, path.c_str()); });
}
std::string native_prefix(const std::string& prefix, const std::string& path, path_separators_t seps = PATH_SLASH_ONLY,
                          size_t size = PATH_NATIVE_BUFFER_SIZE) {
    return written(size,
                   [&](char* b, size_t s) { return path_native_prefix(b, s, prefix.c_str(), path.c_str(), seps); });
}

TEST(Path, SplitAndJoin) {
    path_info_t info;
    EXPECT_EQ(split_parts(path_info_split(&info, "C:/proj//defs\\main.def/"), info),
              "c: absolute [proj, defs, main.def]");
    EXPECT_EQ(split_parts(path_info_split(&info, "c:"), info), "c: relative []");
    EXPECT_EQ(split_parts(path_info_split(&info, "\\\\server\\1:x/./.."), info), "- absolute [server, 1:x, ., ..]");

    // Drive letters are A to Z in either case; the bytes next to them are not.
    for (const char* drive : {"A:", "Z:", "a:", "z:"}) {
        EXPECT_EQ(split_parts(path_info_split(&info, (std::string(drive) + "/x").c_str()), info),
                  std::string(1, static_cast<char>(drive[0] | 0x20)) + ": absolute [x]");
    }
    for (const char* other : {"@:", "[:", "`:", "{:"}) {
        EXPECT_EQ(split_parts(path_info_split(&info, (std::string(other) + "/x").c_str()), info),
                  "- relative [" + std::string(other) + ", x]");
    }

    // Joining needs room for the terminating NUL, and no more.
    char buffer[32];
    ASSERT_EQ(path_info_split(&info, "C:/proj//defs\\main.def/"), 0);
    ASSERT_EQ(path_info_join(buffer, 22, &info), 0);
    EXPECT_STREQ(buffer, "c:\\proj\\defs\\main.def");
    // Shorter, whichever part does not fit fails the join.
    for (const size_t short_size : {21, 10, 2, 1}) {
        EXPECT_EQ(path_info_join(buffer, short_size, &info), -1) << short_size;
    }
    path_info_shutdown(&info);
    ASSERT_EQ(path_info_split(&info, "c:"), 0);
    info.absolute = 1;
    ASSERT_EQ(path_info_join(buffer, 4, &info), 0);
    EXPECT_STREQ(buffer, "c:\\");
    EXPECT_EQ(path_info_join(buffer, 3, &info), -1);
    path_info_shutdown(&info);
    ASSERT_EQ(path_info_split(&info, "c:"), 0);
    EXPECT_EQ(path_info_join(buffer, 1, &info), -1);  // the NUL alone would fit
    path_info_shutdown(&info);

    // A native path takes a backslash for a separator only when asked.
    EXPECT_EQ(split_parts(path_native_split(&info, "\\c:\\x/y", PATH_SLASH_ONLY), info), "- relative [\\c:\\x, y]");
    EXPECT_EQ(split_parts(path_native_split(&info, "\\lib\\\\x.def\\", PATH_SLASH_OR_BACKSLASH), info),
              "- absolute [lib, x.def]");
}

TEST(DrivePath, DirectoryAndPrefixWithinTheirLimits) {
    EXPECT_EQ(drive_dir("C:/proj//defs/main.def"), "c:\\proj\\defs");
    EXPECT_EQ(drive_dir("defs\\main.def"), "defs");
    EXPECT_EQ(drive_dir("main.def"), "");
    EXPECT_EQ(drive_dir("c:\\main.def"), "c:\\");

    EXPECT_EQ(drive_prefix("c:\\work\\defs", "common.def"), "c:\\work\\defs\\common.def");
    EXPECT_EQ(drive_prefix("c:\\work\\defs", "..\\lib\\x.def"), "c:\\work\\defs\\..\\lib\\x.def");
    EXPECT_EQ(drive_prefix("c:\\work", "D:/data/t.init"), "d:\\data\\t.init");
    EXPECT_EQ(drive_prefix("c:\\proj", "d:x"), "d:\\proj\\x");
    EXPECT_EQ(drive_prefix("c:\\proj", "\\lib\\x.def"), "c:\\lib\\x.def");
    EXPECT_EQ(drive_prefix("C:\\", "a/b"), "c:\\a\\b");
    EXPECT_EQ(drive_prefix("c:\\x", "a//b/"), "c:\\x\\a\\b");
    EXPECT_EQ(drive_prefix("work\\defs", "a"), "FAIL");
    EXPECT_EQ(drive_prefix("c:work", "a"), "FAIL");

    std::string longest(PATH_COMPONENT_MAX, 'x');
    std::string too_long = longest + "x";
    EXPECT_EQ(drive_dir(longest + "\\a"), longest);
    EXPECT_EQ(drive_dir(too_long + "\\a"), "FAIL");
    EXPECT_EQ(drive_prefix("c:\\", too_long), "FAIL");
    EXPECT_EQ(drive_prefix("c:\\" + too_long, "a"), "FAIL");

    // "c:\" + 250 + "\" + 5 is 259 characters, which fit 260 bytes.
    std::string dir = "c:\\" + std::string(250, 'd');
    EXPECT_EQ(drive_prefix(dir, "fffff").size(), 259u);
    EXPECT_EQ(drive_prefix(dir, "ffffff"), "FAIL");
}

TEST(NativePath, DirectoryAndPrefixWithinTheirLimits) {
    EXPECT_EQ(native_dir("/a/b/c.def"), "/a/b");
    EXPECT_EQ(native_dir("/c.def"), "/");
    EXPECT_EQ(native_dir("//a///b//"), "/a");
    EXPECT_EQ(native_dir("main.def"), "");

    EXPECT_EQ(native_prefix("/srv/app", "defs/main.def"), "/srv/app/defs/main.def");
    EXPECT_EQ(native_prefix("/srv/app/defs", "../lib/x.def"), "/srv/app/defs/../lib/x.def");
    EXPECT_EQ(native_prefix("/srv/app", "/etc/x.def"), "/etc/x.def");
    EXPECT_EQ(native_prefix("/", "a//b/"), "/a/b");
    EXPECT_EQ(native_prefix("/srv", "c:x"), "/srv/c:x");
    EXPECT_EQ(native_prefix("srv/app", "x"), "FAIL");
    EXPECT_EQ(native_prefix("", "/x"), "FAIL");

    EXPECT_EQ(native_prefix("/srv", "lib\\x.def"), "/srv/lib\\x.def");
    EXPECT_EQ(native_prefix("/srv", "lib\\x.def", PATH_SLASH_OR_BACKSLASH), "/srv/lib/x.def");
    EXPECT_EQ(native_prefix("/srv", "\\lib\\x.def", PATH_SLASH_OR_BACKSLASH), "/lib/x.def");
    // The prefix is a system path: a backslash there is part of a name.
    EXPECT_EQ(native_prefix("\\srv", "x", PATH_SLASH_OR_BACKSLASH), "FAIL");
    EXPECT_EQ(native_prefix("/a\\b", "c", PATH_SLASH_OR_BACKSLASH), "/a\\b/c");

    std::string longest(PATH_COMPONENT_MAX, 'x');
    EXPECT_EQ(native_prefix("/srv", longest), "/srv/" + longest);
    EXPECT_EQ(native_prefix("/srv", longest + "x"), "FAIL");
    EXPECT_EQ(native_prefix("/" + longest + "x", "x"), "FAIL");

    // A result that exactly fills the buffer, and one a byte too long.
    std::string deep;
    while (deep.size() + 11 < PATH_NATIVE_BUFFER_SIZE - 1) {
        deep += "/" + std::string(10, 'd');
    }
    std::string last(PATH_NATIVE_BUFFER_SIZE - 2 - deep.size(), 'f');
    EXPECT_EQ(native_prefix(deep, last), deep + "/" + last);
    EXPECT_EQ(native_prefix(deep, last + "f"), "FAIL");
    EXPECT_EQ(native_prefix("/ab", "c", PATH_SLASH_ONLY, 6), "/ab/c");
    EXPECT_EQ(native_prefix("/ab", "c", PATH_SLASH_ONLY, 5), "FAIL");
}

}  // namespace
