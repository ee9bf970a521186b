#include <gtest/gtest.h>

#include <string>

#include "dyn_string.hpp"
#include "memory_pool.hpp"
#include "utils.hpp"

namespace {

std::string text_of(dyn_string_t& str) { return dyn_string_get(&str); }

TEST(DynString, FillsEachBufferBeforeDoublingAndSetNeverShrinksIt) {
    const size_t start = memory_pool_block_count();
    dyn_string_t str;
    dyn_string_init(&str);
    EXPECT_EQ(text_of(str), "");
    const std::string exact(1023, 'x');  // with its NUL, exactly the first buffer
    dyn_string_append_string(&str, exact.c_str());
    dyn_string_append_string(&str, "");
    EXPECT_EQ(str.size, 1024u);
    dyn_string_append_char(&str, '!');
    EXPECT_EQ(str.size, 2048u);
    const std::string long_text(3975, 'y');  // used becomes 5000: one doubling is not enough
    dyn_string_append_string(&str, long_text.c_str());
    dyn_string_append_strlen(&str, "abcdef", 3);
    EXPECT_EQ(str.size, 8192u);
    EXPECT_EQ(text_of(str), exact + "!" + long_text + "abc");
    EXPECT_EQ(dyn_string_length(&str), 5002u);
    EXPECT_EQ(memory_pool_block_count(), start + 1);

    dyn_string_set(&str, "ab");
    dyn_string_append_char(&str, 'c');
    EXPECT_EQ(text_of(str), "abc");
    EXPECT_EQ(str.size, 8192u);
    const std::string longer(9000, 'z');
    dyn_string_set(&str, longer.c_str());
    EXPECT_EQ(text_of(str), longer);
    dyn_string_set(&str, "");
    EXPECT_EQ(dyn_string_length(&str), 0u);
    dyn_string_shutdown(&str);
    EXPECT_EQ(memory_pool_block_count(), start);
}

TEST(CopyString, CopiesExactlyTheGivenBytesIntoThePool) {
    const size_t start = memory_pool_block_count();
    const char unterminated[3] = {'x', 'y', 'z'};
    char* two = copy_strlen(unterminated, 2);
    char* empty = copy_strlen(unterminated, 0);
    char* with_nul = copy_strlen("a\0b", 3);
    EXPECT_STREQ(two, "xy");
    EXPECT_STREQ(empty, "");
    EXPECT_EQ(std::string(with_nul, 4), std::string("a\0b\0", 4));
    EXPECT_EQ(memory_pool_block_count(), start + 3);
    for (char* copy : {two, empty, with_nul}) memory_pool_free(copy);
}

// The text after unescaping, or "error at N".
std::string unescaped(const std::string& input) {
    std::string buffer = input;
    unsigned offset = 12345;
    if (unescape_string(buffer.data(), &offset) != 0) return "error at " + std::to_string(offset);
    return buffer.c_str();
}

// The scanner tests show it on literals; these are the edges of the decoding.
TEST(UnescapeString, DecodesInPlaceAndReportsTheOffsetAfterABadBackslashInTheSource) {
    EXPECT_EQ(unescaped(""), "");
    EXPECT_EQ(unescaped("\\\"\\\\\\f\\n\\r\\t\\v"), "\"\\\f\n\r\t\v");
    EXPECT_EQ(unescaped("\\\\n"), "\\n");             // an escaped backslash does not start a new escape
    EXPECT_EQ(unescaped("ab\\"), "error at 3");       // the terminating NUL
    EXPECT_EQ(unescaped("\\n\\n\\q"), "error at 5");  // not the shorter decoded text
    for (const char* bad : {"\\'", "\\0", "\\u0041", "\\N", "\\ "}) {
        EXPECT_EQ(unescaped(bad), "error at 1") << bad;
    }
}

}  // namespace
