#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "path_info.hpp"

namespace {

std::vector<std::string> parts_of(const path_info_t& info)
{
    std::vector<std::string> parts;
    for (hash_iterator_t item = info.parts.first_in_list; item != nullptr; item = item->next_in_list) {
        auto* text = static_cast<const char*>(hash_item_data(item));
        EXPECT_EQ(item->data_size, std::string(text).size() + 1);
        parts.emplace_back(text);
    }
    return parts;
}

using Parts = std::vector<std::string>;

// Result text of a buffer-writing operation, or "FAIL".
template <typename Operation>
std::string written(size_t size, Operation operation)
{
    std::string buffer(size, '#');
    if (operation(buffer.data(), size) != 0) {
        return "FAIL";
    }
    return std::string(buffer.c_str());
}

std::string drive_dir(const char* path, size_t size = PATH_DRIVE_BUFFER_SIZE)
{
    return written(size, [&](char* b, size_t s) { return path_info_dir(b, s, path); });
}

std::string drive_prefix(const char* prefix, const char* path, size_t size = PATH_DRIVE_BUFFER_SIZE)
{
    return written(size, [&](char* b, size_t s) { return path_info_prefix(b, s, prefix, path); });
}

std::string native_dir(const char* path, size_t size = PATH_NATIVE_BUFFER_SIZE)
{
    return written(size, [&](char* b, size_t s) { return path_native_dir(b, s, path); });
}

std::string native_prefix(const char* prefix, const char* path, path_separators_t seps = PATH_SLASH_ONLY,
                          size_t size = PATH_NATIVE_BUFFER_SIZE)
{
    return written(size, [&](char* b, size_t s) { return path_native_prefix(b, s, prefix, path, seps); });
}

TEST(DrivePath, SplitReadsDriveAbsoluteAndComponents)
{
    path_info_t info;
    ASSERT_EQ(path_info_split(&info, "C:/proj//defs\\main.def/"), 0);
    EXPECT_EQ(info.drive, 'c');
    EXPECT_EQ(info.absolute, 1u);
    EXPECT_EQ(parts_of(info), (Parts{"proj", "defs", "main.def"}));
    path_info_shutdown(&info);

    ASSERT_EQ(path_info_split(&info, "c:"), 0);
    EXPECT_EQ(info.drive, 'c');
    EXPECT_EQ(info.absolute, 0u);
    EXPECT_TRUE(parts_of(info).empty());
    path_info_shutdown(&info);

    ASSERT_EQ(path_info_split(&info, "\\\\server\\share"), 0);
    EXPECT_EQ(info.drive, 0);
    EXPECT_EQ(info.absolute, 1u);
    EXPECT_EQ(parts_of(info), (Parts{"server", "share"}));
    path_info_shutdown(&info);

    ASSERT_EQ(path_info_split(&info, "1:x/./.."), 0);
    EXPECT_EQ(info.drive, 0);
    EXPECT_EQ(parts_of(info), (Parts{"1:x", ".", ".."}));
    path_info_shutdown(&info);
}

TEST(DrivePath, JoinWritesBackslashesAndChecksRoom)
{
    path_info_t info;
    path_info_init(&info);
    char buffer[8];
    ASSERT_EQ(path_info_join(buffer, sizeof buffer, &info), 0);
    EXPECT_STREQ(buffer, "");
    info.drive = 'd';
    info.absolute = 1;
    ASSERT_EQ(path_info_join(buffer, sizeof buffer, &info), 0);
    EXPECT_STREQ(buffer, "d:\\");
    EXPECT_EQ(path_info_join(buffer, 3, &info), -1);
    EXPECT_EQ(path_info_join(buffer, 0, &info), -1);
    path_info_shutdown(&info);

    ASSERT_EQ(path_info_split(&info, "a/b/c"), 0);
    ASSERT_EQ(path_info_join(buffer, 6, &info), 0);
    EXPECT_STREQ(buffer, "a\\b\\c");
    EXPECT_EQ(path_info_join(buffer, 5, &info), -1);
    path_info_shutdown(&info);
}

TEST(DrivePath, Directory)
{
    EXPECT_EQ(drive_dir("C:/proj//defs/main.def"), "c:\\proj\\defs");
    EXPECT_EQ(drive_dir("defs\\main.def"), "defs");
    EXPECT_EQ(drive_dir("main.def"), "");
    EXPECT_EQ(drive_dir("c:\\main.def"), "c:\\");
    EXPECT_EQ(drive_dir("c:\\"), "c:\\");
}

TEST(DrivePath, Prefix)
{
    EXPECT_EQ(drive_prefix("c:\\work\\defs", "common.def"), "c:\\work\\defs\\common.def");
    EXPECT_EQ(drive_prefix("c:\\work\\defs", "..\\lib\\x.def"), "c:\\work\\defs\\..\\lib\\x.def");
    EXPECT_EQ(drive_prefix("c:\\work", "D:/data/t.init"), "d:\\data\\t.init");
    EXPECT_EQ(drive_prefix("c:\\proj", "d:x"), "d:\\proj\\x");
    EXPECT_EQ(drive_prefix("c:\\proj", "\\lib\\x.def"), "c:\\lib\\x.def");
    EXPECT_EQ(drive_prefix("C:\\", "a/b"), "c:\\a\\b");
    EXPECT_EQ(drive_prefix("c:\\x", "a//b/"), "c:\\x\\a\\b");
    EXPECT_EQ(drive_prefix("work\\defs", "a"), "FAIL");
    EXPECT_EQ(drive_prefix("c:work", "a"), "FAIL");
    EXPECT_EQ(drive_prefix("/srv/app", "a"), "FAIL");
}

TEST(DrivePath, ComponentAndBufferLimits)
{
    std::string ok = "c:\\" + std::string(PATH_COMPONENT_MAX, 'x');
    std::string long_part = "c:\\" + std::string(PATH_COMPONENT_MAX + 1, 'x');
    path_info_t info;
    ASSERT_EQ(path_info_split(&info, ok.c_str()), 0);
    path_info_shutdown(&info);
    EXPECT_EQ(path_info_split(&info, long_part.c_str()), -1);
    EXPECT_EQ(drive_prefix("c:\\", long_part.c_str() + 3), "FAIL");
    EXPECT_EQ(drive_prefix(long_part.c_str(), "a"), "FAIL");
    EXPECT_EQ(drive_dir((long_part + "\\a").c_str()), "FAIL");

    // "c:\" + 250 + "\" + 5 = 259 characters fit 260 bytes; one more does not.
    std::string dir = "c:\\" + std::string(250, 'd');
    EXPECT_EQ(drive_prefix(dir.c_str(), "fffff").size(), 259u);
    EXPECT_EQ(drive_prefix(dir.c_str(), "ffffff"), "FAIL");
}

TEST(NativePath, SplitAcceptsBackslashOnlyWhenAsked)
{
    path_info_t info;
    ASSERT_EQ(path_native_split(&info, "c:\\x/y", PATH_SLASH_ONLY), 0);
    EXPECT_EQ(info.drive, 0);
    EXPECT_EQ(info.absolute, 0u);
    EXPECT_EQ(parts_of(info), (Parts{"c:\\x", "y"}));
    path_info_shutdown(&info);

    ASSERT_EQ(path_native_split(&info, "\\lib\\\\x.def\\", PATH_SLASH_OR_BACKSLASH), 0);
    EXPECT_EQ(info.absolute, 1u);
    EXPECT_EQ(parts_of(info), (Parts{"lib", "x.def"}));
    path_info_shutdown(&info);

    ASSERT_EQ(path_native_split(&info, "\\lib", PATH_SLASH_ONLY), 0);
    EXPECT_EQ(info.absolute, 0u);
    EXPECT_EQ(parts_of(info), (Parts{"\\lib"}));
    path_info_shutdown(&info);
}

TEST(NativePath, Directory)
{
    EXPECT_EQ(native_dir("/a/b/c.def"), "/a/b");
    EXPECT_EQ(native_dir("/c.def"), "/");
    EXPECT_EQ(native_dir("//a///b//"), "/a");
    EXPECT_EQ(native_dir("defs/main.def"), "defs");
    EXPECT_EQ(native_dir("main.def"), "");
    EXPECT_EQ(native_dir("/"), "/");
    EXPECT_EQ(native_dir("/a\\b/c"), "/a\\b");
}

TEST(NativePath, Prefix)
{
    EXPECT_EQ(native_prefix("/srv/app", "defs/main.def"), "/srv/app/defs/main.def");
    EXPECT_EQ(native_prefix("/srv/app/defs", "../lib/x.def"), "/srv/app/defs/../lib/x.def");
    EXPECT_EQ(native_prefix("/srv/app/", "./x.def"), "/srv/app/./x.def");
    EXPECT_EQ(native_prefix("/srv/app", "/etc/x.def"), "/etc/x.def");
    EXPECT_EQ(native_prefix("/", "a//b/"), "/a/b");
    EXPECT_EQ(native_prefix("/srv", ""), "/srv");
    EXPECT_EQ(native_prefix("/srv", "c:x"), "/srv/c:x");
    EXPECT_EQ(native_prefix("srv/app", "x"), "FAIL");
    EXPECT_EQ(native_prefix("", "/x"), "FAIL");
    EXPECT_EQ(native_prefix("\\srv", "x"), "FAIL");
}

TEST(NativePath, PrefixBackslashSeparators)
{
    EXPECT_EQ(native_prefix("/srv", "lib\\x.def", PATH_SLASH_ONLY), "/srv/lib\\x.def");
    EXPECT_EQ(native_prefix("/srv", "lib\\x.def", PATH_SLASH_OR_BACKSLASH), "/srv/lib/x.def");
    EXPECT_EQ(native_prefix("/srv", "\\lib\\x.def", PATH_SLASH_OR_BACKSLASH), "/lib/x.def");
    // The prefix is a system path: its backslashes are characters of names.
    EXPECT_EQ(native_prefix("/a\\b", "c", PATH_SLASH_OR_BACKSLASH), "/a\\b/c");
}

TEST(NativePath, ComponentAndBufferLimits)
{
    std::string ok(PATH_COMPONENT_MAX, 'x');
    std::string too_long(PATH_COMPONENT_MAX + 1, 'x');
    EXPECT_EQ(native_prefix("/srv", ok.c_str()), "/srv/" + ok);
    EXPECT_EQ(native_prefix("/srv", too_long.c_str()), "FAIL");
    EXPECT_EQ(native_prefix(("/" + too_long).c_str(), "x"), "FAIL");
    EXPECT_EQ(native_dir(("/" + too_long + "/x").c_str()), "FAIL");

    // A result that exactly fills the buffer, and one byte too long.
    std::string deep;
    while (deep.size() + 11 < PATH_NATIVE_BUFFER_SIZE - 1) {
        deep += "/" + std::string(10, 'd');
    }
    std::string last(PATH_NATIVE_BUFFER_SIZE - 1 - deep.size() - 1, 'f');
    std::string result = native_prefix(deep.c_str(), last.c_str());
    EXPECT_EQ(result.size(), PATH_NATIVE_BUFFER_SIZE - 1);
    EXPECT_EQ(result, deep + "/" + last);
    EXPECT_EQ(native_prefix(deep.c_str(), (last + "f").c_str()), "FAIL");
    EXPECT_EQ(native_prefix("/ab", "c", PATH_SLASH_ONLY, 6), "/ab/c");
    EXPECT_EQ(native_prefix("/ab", "c", PATH_SLASH_ONLY, 5), "FAIL");
}

}  // namespace
