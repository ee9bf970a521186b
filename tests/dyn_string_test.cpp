#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "dyn_string.hpp"
#include "memory_pool.hpp"
#include "utils.hpp"

namespace {

std::string text_of(dyn_string_t& str) { return dyn_string_get(&str); }

TEST(DynString, FillsTheInitialBufferBeforeDoubling) {
    const size_t start = memory_pool_block_count();
    dyn_string_t str;
    dyn_string_init(&str);
    EXPECT_EQ(text_of(str), "");
    EXPECT_EQ(str.used, 1u);
    EXPECT_EQ(str.size, 1024u);

    std::string expected;
    for (int i = 0; i < 1023; ++i) {
        const char c = static_cast<char>('a' + i % 26);
        dyn_string_append_char(&str, c);
        expected += c;
    }
    EXPECT_EQ(str.size, 1024u);
    EXPECT_EQ(str.used, 1024u);

    dyn_string_append_char(&str, '!');
    expected += '!';
    EXPECT_EQ(str.size, 2048u);
    EXPECT_EQ(str.used, 1025u);
    EXPECT_EQ(text_of(str), expected);
    EXPECT_EQ(dyn_string_length(&str), expected.size());
    EXPECT_EQ(memory_pool_block_count(), start + 1);

    dyn_string_shutdown(&str);
    EXPECT_EQ(memory_pool_block_count(), start);
}

TEST(DynString, AppendingTextGrowsToTheNextDoubling) {
    dyn_string_t str;
    dyn_string_init(&str);
    const std::string exact(1023, 'x');
    dyn_string_append_string(&str, exact.c_str());
    EXPECT_EQ(str.size, 1024u);
    dyn_string_append_string(&str, "");
    EXPECT_EQ(str.used, 1024u);

    const std::string long_text(3976, 'y');  // used becomes 5000
    dyn_string_append_string(&str, long_text.c_str());
    EXPECT_EQ(str.size, 8192u);
    EXPECT_EQ(str.used, 5000u);
    dyn_string_append_strlen(&str, "abcdef", 3);
    EXPECT_EQ(text_of(str), exact + long_text + "abc");
    dyn_string_shutdown(&str);
}

TEST(DynString, SetReplacesTheTextButNeverShrinksTheBuffer) {
    dyn_string_t str;
    dyn_string_init(&str);
    dyn_string_append_string(&str, "old");
    const std::string long_text(3000, 'z');
    dyn_string_set(&str, long_text.c_str());
    EXPECT_EQ(text_of(str), long_text);
    EXPECT_EQ(str.size, 4096u);

    dyn_string_set(&str, "ab");
    EXPECT_EQ(str.size, 4096u);
    EXPECT_EQ(str.used, 3u);
    dyn_string_append_char(&str, 'c');
    EXPECT_EQ(text_of(str), "abc");

    dyn_string_set(&str, "");
    EXPECT_EQ(str.used, 1u);
    EXPECT_EQ(text_of(str), "");
    dyn_string_shutdown(&str);
}

TEST(CopyString, CopiesExactlyTheGivenBytesIntoThePool) {
    const size_t start = memory_pool_block_count();
    const char unterminated[3] = {'x', 'y', 'z'};
    char* two = copy_strlen(unterminated, 2);
    EXPECT_STREQ(two, "xy");

    char* empty = copy_strlen(unterminated, 0);
    EXPECT_STREQ(empty, "");

    char* with_nul = copy_strlen("a\0b", 3);
    EXPECT_EQ(std::string(with_nul, 4), std::string("a\0b\0", 4));

    const char* source = "hello";
    char* whole = copy_string(source);
    EXPECT_STREQ(whole, "hello");
    EXPECT_NE(whole, source);
    EXPECT_EQ(memory_pool_block_count(), start + 4);

    for (char* copy : {two, empty, with_nul, whole}) memory_pool_free(copy);
    EXPECT_EQ(memory_pool_block_count(), start);
}

// The text after unescaping, or "error at N".
std::string unescaped(const std::string& input) {
    std::string buffer = input;
    unsigned offset = 12345;
    if (unescape_string(buffer.data(), &offset) != 0) return "error at " + std::to_string(offset);
    return buffer.c_str();
}

TEST(UnescapeString, DecodesTheKnownEscapesInPlace) {
    EXPECT_EQ(unescaped("plain text, no escapes"), "plain text, no escapes");
    EXPECT_EQ(unescaped(""), "");
    EXPECT_EQ(unescaped("a\\tb"), "a\tb");
    EXPECT_EQ(unescaped("a\\\\"), "a\\");
    EXPECT_EQ(unescaped("\\\"\\\\\\f\\n\\r\\t\\v"), "\"\\\f\n\r\t\v");
    EXPECT_EQ(unescaped("\\\\n"), "\\n");  // an escaped backslash does not start a new escape
    EXPECT_EQ(unescaped("x\\ny\\tz"), "x\ny\tz");
}

TEST(UnescapeString, ReportsTheOffsetAfterABadBackslashInTheOriginalText) {
    EXPECT_EQ(unescaped("ab\\q"), "error at 3");
    EXPECT_EQ(unescaped("ab\\"), "error at 3");  // the terminating NUL
    for (const char* bad : {"\\'", "\\0", "\\x41", "\\u0041", "\\N", "\\ "}) {
        EXPECT_EQ(unescaped(bad), "error at 1") << bad;
    }
    // Offsets count source characters, not the shorter decoded text.
    EXPECT_EQ(unescaped("\\n\\n\\q"), "error at 5");
}

TEST(SizeAddDeathTest, OverflowEndsTheProcess) {
    EXPECT_EQ(size_add(SIZE_MAX - 1, 1), SIZE_MAX);
    EXPECT_DEATH(size_add(SIZE_MAX, 1), "Size overflow");
}

}  // namespace
