#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "query_scanner.hpp"

namespace {

// One token as "T:text", "E:n", "R:n" or "F:name".
std::string describe(int token, const sql_value_t& value)
{
    if (token < QP_TEXT || token > QP_FIELD) {
        return "?" + std::to_string(token);
    }
    const char* kinds = "?TERF";
    bool number = token == QP_ESC || token == QP_RAW;
    return std::string(1, kinds[token]) + ":" + (number ? std::to_string(value.integer) : value.string);
}

std::vector<std::string> scan(const std::string& text)
{
    qry_scanner_t* scanner = nullptr;
    EXPECT_EQ(qrylex_init(&scanner), 0);
    qry_buffer_t* buffer = qry_scan_string(text.c_str(), scanner);
    std::vector<std::string> tokens;
    sql_value_t value;
    for (int token; (token = qrylex(&value, scanner)) != QP_END;) {
        tokens.push_back(describe(token, value));
        value_shutdown(&value);
    }
    qry_delete_buffer(buffer, scanner);
    EXPECT_EQ(qrylex_destroy(scanner), 0);
    return tokens;
}

using Tokens = std::vector<std::string>;

struct scan_case_t {
    const char* text;
    Tokens tokens;
};

TEST(QueryScanner, MarkersAndTextRuns)
{
    const scan_case_t cases[] = {
        {"", {}},
        {"SELECT a FROM t WHERE id = {ESC:1}", {"T:SELECT a FROM t WHERE id = ", "E:1"}},
        {"SELECT {FIELD:id_t}id, name{FIELD:name_t} FROM t",
         {"T:SELECT ", "F:id_t", "T:id, name", "F:name_t", "T: FROM t"}},
        {"ORDER BY {RAW:2}", {"T:ORDER BY ", "R:2"}},
        {"{RAW:007}", {"R:7"}},
        {"{RAW:1}{RAW:2}", {"R:1", "R:2"}},
        {"{FIELD:a{b}", {"F:a{b"}},
        {"{FIELD:x}}", {"F:x", "T:}"}},
        {"{FIELD: a:b\nc}", {"F: a:b\nc"}},
        {"{{ESC:3}", {"T:{", "E:3"}},
        {"abc{", {"T:abc", "T:{"}},
        {"a}b\nc", {"T:a}b\nc"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(scan(c.text), c.tokens) << "text: " << c.text;
    }
}

TEST(QueryScanner, IncompleteMarkersAreText)
{
    const scan_case_t cases[] = {
        {"{ESC:}", {"T:{", "T:ESC:}"}},
        {"{ESC:12x}", {"T:{", "T:ESC:12x}"}},
        {"{ESC:-1}", {"T:{", "T:ESC:-1}"}},
        {"{esc:1}", {"T:{", "T:esc:1}"}},
        {"{ESC:1", {"T:{", "T:ESC:1"}},
        {"{ESC :1}", {"T:{", "T:ESC :1}"}},
        {"{FIELD:}", {"T:{", "T:FIELD:}"}},
        {"{FIELD:abc", {"T:{", "T:FIELD:abc"}},
        {"{}", {"T:{", "T:}"}},
        {"{RAW:1{ESC:2}", {"T:{", "T:RAW:1", "E:2"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(scan(c.text), c.tokens) << "text: " << c.text;
    }
}

TEST(QueryScanner, NumbersSaturateAtInt32Max)
{
    EXPECT_EQ(scan("{ESC:2147483647}"), Tokens{"E:2147483647"});
    EXPECT_EQ(scan("{ESC:2147483648}"), Tokens{"E:2147483647"});
    EXPECT_EQ(scan("{ESC:99999999999}"), Tokens{"E:2147483647"});
    EXPECT_EQ(scan("{RAW:99999999999999999999999999}"), Tokens{"R:2147483647"});
    EXPECT_EQ(scan("{RAW:0000000000000000000000042}"), Tokens{"R:42"});
}

TEST(QueryScanner, CreationAndRelease)
{
    errno = 0;
    EXPECT_NE(qrylex_init(nullptr), 0);
    EXPECT_EQ(errno, EINVAL);

    // The scanner works on its own copy, and stays at the end once there.
    std::string text = "ab{RAW:1}";
    qry_scanner_t* scanner = nullptr;
    ASSERT_EQ(qrylex_init(&scanner), 0);
    qry_scan_string(text.c_str(), scanner);
    text.assign(text.size(), 'z');
    sql_value_t value;
    ASSERT_EQ(qrylex(&value, scanner), QP_TEXT);
    EXPECT_STREQ(value.string, "ab");
    value_shutdown(&value);
    EXPECT_EQ(qrylex(&value, scanner), QP_RAW);
    EXPECT_EQ(qrylex(&value, scanner), QP_END);
    EXPECT_EQ(qrylex(&value, scanner), QP_END);
    EXPECT_EQ(qrylex_destroy(scanner), 0);  // also releases the buffer
}

double seconds_to_scan(const std::string& text, size_t* count)
{
    auto start = std::chrono::steady_clock::now();
    *count = scan(text).size();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Pathological texts must scan in time proportional to their length.
TEST(QueryScanner, ScanTimeIsLinear)
{
    std::string markers;
    for (int i = 0; i < 100000; ++i) {
        markers += "{ESC:" + std::to_string(i) + "}";
    }
    size_t count = 0;
    EXPECT_LT(seconds_to_scan(markers, &count), 5.0);
    EXPECT_EQ(count, 100000u);

    EXPECT_LT(seconds_to_scan(std::string(1 << 20, '{'), &count), 5.0);
    EXPECT_EQ(count, size_t{1} << 20);

    std::string unclosed;
    for (int i = 0; i < 300000; ++i) {
        unclosed += "{FIELD:";
    }
    EXPECT_LT(seconds_to_scan(unclosed, &count), 5.0);
    EXPECT_EQ(count, 600000u);
}

}  // namespace
