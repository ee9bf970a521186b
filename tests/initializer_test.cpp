// Initializer files: the scanner's tokens and the parser's rows and errors.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "builtin.hpp"
#include "initializer_parser.hpp"
#include "initializer_scanner.hpp"
#include "memory_pool.hpp"
#include "test_files.hpp"
#include "test_values.hpp"

namespace {

// Runs `read(scanner, out)` on a scanner of `contents`; returns `out`, ended by
// "error: " and the message when a bail-out (naming /defs/main.def:7) stops it.
template <typename Read>
std::string read_file(const std::string& contents, Read read) {
    at_statement statement;
    FILE* file = file_with(contents);
    init_scanner_t* scanner = nullptr;
    EXPECT_EQ(initlex_init(&scanner), 0);
    initset_in(file, scanner);
    std::string out;
    const std::string message = bailout_of([&] { read(scanner, out); });
    EXPECT_EQ(initlex_destroy(scanner), 0);
    std::fclose(file);
    memory_pool_free_all();
    return message == "no bail-out" ? out : out + (out.empty() ? "" : " ") + "error: " + message;
}

// The tokens, separated by blanks: 'a' for a string, null, EOL and ",".
std::string scan(const std::string& contents) {
    return read_file(contents, [](init_scanner_t* scanner, std::string& tokens) {
        sql_value_t value;
        for (int token; (token = initlex(&value, scanner)) != 0;) {
            tokens += tokens.empty() ? "" : " ";
            if (token == INIT_STRING) {
                tokens += "'" + std::string(value.string) + "'";
                value_shutdown(&value);
            } else if (token == INIT_NULL) {
                tokens += value.type == VALUE_NULL ? "null" : "bad null";
            } else {
                tokens += token == INIT_ROW_SEPARATOR ? "EOL" : token == ',' ? "," : "?" + std::to_string(token);
            }
        }
    });
}

// The rows the parser stores.
std::string parse(const std::string& contents) {
    return read_file(contents, [](init_scanner_t* scanner, std::string& rows) {
        sql_value_t result;
        value_init_integer(&result, -1);
        EXPECT_EQ(initparse(scanner, &result), 0);
        rows = show(&result);
        value_shutdown(&result);
    });
}

TEST(InitializerScanner, TokensAndErrors) {
    const std::pair<std::string, const char*> cases[] = {
        {"", ""},
        {"\n\n", ""},
        {" \n", ""},
        {"\r\n\r\n \t\v\f", ""},
        {"\n\r", ""},
        {"\n", "EOL"},
        {"\r", "EOL"},
        {"\r\n", "EOL"},
        {"\"a\"\n\"b\"\n", "'a' EOL 'b' EOL"},
        {"\"a\"\r\n\"b\"\r\n", "'a' EOL 'b' EOL"},
        // A blank before the line end, or an empty line, swallows the line end.
        {"\"a\" \n\"b\"\n", "'a' 'b' EOL"},
        {"\"a\"\n\n\"b\"\n", "'a' 'b' EOL"},
        {"\"a\"\n  \"b\"", "'a' 'b'"},
        {"\"x\", null\n", "'x' , null EOL"},
        {"\"\",null,nullnull", "'' , null , null null"},
        {"\"o'brien\"", "'o'brien'"},
        {"\"first\nsecond\"", "'first\nsecond'"},
        {"\"q\\\"t\\\\\\n\\t\\r\\f\\v\"", "'q\"t\\\n\t\r\f\v'"},
        {"\",\\\", null\"", "',\", null'"},
        // Errors end the tokens.
        {"nullx", "null error: Unexpected character \"x\""},
        {"NULL", "error: Unexpected character \"N\""},
        {"nul\n", "error: Unexpected character \"n\""},
        {"\"a\", 1\n", "'a' , error: Unexpected character \"1\""},
        // Unclosed, or a backslash before a line feed: the quote is unexpected.
        {"\"abc\n", "error: Unexpected character \"\"\""},
        {"\"abc\\\"\n", "error: Unexpected character \"\"\""},
        {"\"a\\\nb\"\n", "error: Unexpected character \"\"\""},
        {"\"abc\\", "error: Unexpected character \"\"\""},
        {"\"ab\\x41\"", "error: Unexpected escaped character at offset 3"},
        // A backslash before a carriage return still closes the string match;
        // the carriage return is then a bad escape.
        {"\"a\\\r\n\"", "error: Unexpected escaped character at offset 2"},
        // A NUL byte would cut the value short; it is refused anywhere.
        {std::string("\"ab\0cd\"\n", 8), "error: Unexpected NUL character"},
        {std::string("\"ab\\\0\"\n", 7), "error: Unexpected NUL character"},
        {std::string("\"a\"\n\0", 5), "'a' EOL error: Unexpected NUL character"},
    };
    for (const auto& [text, tokens] : cases) {
        EXPECT_EQ(scan(text), tokens) << "text: " << text;
    }
}

TEST(InitializerScanner, LongInputSpansReadBlocks) {
    const std::string value(100000, 'v');
    const std::string row = "\"" + value + "\", null\n";
    EXPECT_EQ(scan(row + row), "'" + value + "' , null EOL '" + value + "' , null EOL");
}

// A stream that cannot be read (here a folder) is a fatal error: its message,
// and the phase ends.
TEST(InitializerScanner, AStreamThatFailsToReadIsAFatalError) {
    const TemporaryFolder folder;
    FILE* file = std::fopen(folder.path().c_str(), "r");
    ASSERT_NE(file, nullptr);
    init_scanner_t* scanner = nullptr;
    ASSERT_EQ(initlex_init(&scanner), 0);
    initset_in(file, scanner);
    sql_value_t value;
    testing::internal::CaptureStderr();
    EXPECT_THROW(initlex(&value, scanner), fatal_exception);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "input in flex scanner failed\n");
    EXPECT_EQ(initlex_destroy(scanner), 0);
    std::fclose(file);
}

TEST(InitializerParser, RowsAreListsOfStringsAndNulls) {
    EXPECT_EQ(parse("\"1\", \"admin\", \"Administrator\"\r\n"
                    "\"2\", \"guest\", null\n"
                    "\"3\", \"\",\"first line\\nsecond\nline\"\n"),
              "[['1', 'admin', 'Administrator'], ['2', 'guest', null], ['3', '', 'first line\nsecond\nline']]");
    EXPECT_EQ(parse(""), "[]");
    EXPECT_EQ(parse(" \n"), "[]");
    EXPECT_EQ(parse("\n"), "[[]]");
}

TEST(InitializerParser, SyntaxErrorsNameTheTokenAndWhatWasExpected) {
    const std::pair<const char*, const char*> cases[] = {
        {"\"a\"", "unexpected $end, expecting INIT_ROW_SEPARATOR"},
        {"\"a\" \"b\"\n", "unexpected INIT_STRING, expecting INIT_ROW_SEPARATOR"},
        {"\"a\" null\n", "unexpected INIT_NULL, expecting INIT_ROW_SEPARATOR"},
        {"\"a\",\n", "unexpected INIT_ROW_SEPARATOR, expecting INIT_NULL or INIT_STRING"},
        {"\"a\",,\"b\"\n", "unexpected ',', expecting INIT_NULL or INIT_STRING"},
        {"\"a\",", "unexpected $end, expecting INIT_NULL or INIT_STRING"},
        {",\"a\"\n", "unexpected ',', expecting $end"},
        {"\"a\"\n,\"b\"\n", "unexpected ',', expecting $end"},
        // A line end next to a blank or another line end separates no rows.
        {"\"a\"\n\n\"b\"\n", "unexpected INIT_STRING, expecting INIT_ROW_SEPARATOR"},
        {"\"a\"\n\"b\" \n", "unexpected $end, expecting INIT_ROW_SEPARATOR"},
    };
    for (const auto& [text, message] : cases) {
        EXPECT_EQ(parse(text), std::string("error: syntax error, ") + message) << text;
    }
}

}  // namespace
