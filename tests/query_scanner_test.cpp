#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "query_scanner.hpp"

namespace {

// One token as "T:text", "E:n", "R:n" or "F:name".
std::string describe(int token, const sql_value_t& value) {
    if (token < QP_TEXT || token > QP_FIELD) {
        return "?" + std::to_string(token);
    }
    const char* kinds = "?TERF";
    bool number = token == QP_ESC || token == QP_RAW;
    return std::string(1, kinds[token]) + ":" + (number ? std::to_string(value.integer) : value.string);
}

std::vector<std::string> scan(const std::string& text) {
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

TEST(QueryScanner, MarkersTextRunsAndIncompleteMarkers) {
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
        // Numbers saturate at the largest 32-bit integer.
        {"{ESC:2147483647}", {"E:2147483647"}},
        {"{ESC:2147483648}", {"E:2147483647"}},
        {"{ESC:99999999999}", {"E:2147483647"}},
        {"{RAW:99999999999999999999999999}", {"R:2147483647"}},
        {"{RAW:0000000000000000000000042}", {"R:42"}},
        // Incomplete markers are text.
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

// Pathological texts scan in time proportional to their length: a quadratic
// scan of these would overrun the test's CTest timeout by far.
TEST(QueryScanner, LargePathologicalInputsScanCompletely) {
    std::string markers;
    std::string unclosed;
    for (int i = 0; i < 300000; ++i) {
        markers += i < 100000 ? "{ESC:" + std::to_string(i) + "}" : "";
        unclosed += "{FIELD:";
    }
    EXPECT_EQ(scan(markers).size(), 100000u);
    EXPECT_EQ(scan(std::string(1 << 20, '{')).size(), size_t{1} << 20);
    EXPECT_EQ(scan(unclosed).size(), 600000u);
}

}  // namespace
