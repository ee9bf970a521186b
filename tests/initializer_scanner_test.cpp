#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "exception.hpp"
#include "execute.hpp"
#include "initializer_parser.hpp"
#include "initializer_scanner.hpp"

namespace {

using Tokens = std::vector<std::string>;

// The statement a bail-out names as its location.
struct statement_fixture_t {
    sql_node_t node{};
    statement_fixture_t()
    {
        node.type = NODE_VALUE;
        node.value.type = VALUE_NULL;
        node.pathname = "/defs/main.def";
        node.line = 7;
        executor_globals.current = &node;
    }
    ~statement_fixture_t() { executor_globals.current = nullptr; }
};

FILE* file_with(const std::string& contents)
{
    FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    std::fwrite(contents.data(), 1, contents.size(), file);
    std::rewind(file);
    return file;
}

std::string describe(int token, sql_value_t* value)
{
    if (token == INIT_STRING) {
        std::string text = "\"" + std::string(value->string) + "\"";
        value_shutdown(value);
        return text;
    }
    if (token == INIT_NULL) {
        return value->type == VALUE_NULL ? "null" : "bad null";
    }
    return token == INIT_ROW_SEPARATOR ? "EOL" : token == ',' ? "," : "?" + std::to_string(token);
}

// The tokens of `contents`; a bail-out ends the list with "error: " and
// what it printed.
Tokens scan(const std::string& contents)
{
    statement_fixture_t statement;
    FILE* file = file_with(contents);
    init_scanner_t* scanner = nullptr;
    EXPECT_EQ(initlex_init(&scanner), 0);
    initset_in(file, scanner);
    Tokens tokens;
    sql_value_t value;
    testing::internal::CaptureStderr();
    try {
        for (int token; (token = initlex(&value, scanner)) != 0;) {
            tokens.push_back(describe(token, &value));
        }
        testing::internal::GetCapturedStderr();
    } catch (const bailout_exception&) {
        tokens.push_back("error: " + testing::internal::GetCapturedStderr());
    }
    EXPECT_EQ(initlex_destroy(scanner), 0);
    std::fclose(file);
    return tokens;
}

std::string error(const std::string& message)
{
    return "error: " + message + " in /defs/main.def:7\n";
}

TEST(InitializerScanner, WhiteSpaceAndLineEnds)
{
    EXPECT_EQ(scan(""), Tokens{});
    EXPECT_EQ(scan("\n\n"), Tokens{});
    EXPECT_EQ(scan(" \n"), Tokens{});
    EXPECT_EQ(scan("\r\n\r\n \t\v\f"), Tokens{});
    EXPECT_EQ(scan("\n"), Tokens{"EOL"});
    EXPECT_EQ(scan("\r"), Tokens{"EOL"});
    EXPECT_EQ(scan("\r\n"), Tokens{"EOL"});
    EXPECT_EQ(scan("\n\r"), Tokens{});
}

TEST(InitializerScanner, RowsAndValues)
{
    EXPECT_EQ(scan("\"a\"\n\"b\"\n"), (Tokens{"\"a\"", "EOL", "\"b\"", "EOL"}));
    EXPECT_EQ(scan("\"a\"\r\n\"b\"\r\n"), (Tokens{"\"a\"", "EOL", "\"b\"", "EOL"}));
    // A blank before the line end, or an empty line, swallows the line end.
    EXPECT_EQ(scan("\"a\" \n\"b\"\n"), (Tokens{"\"a\"", "\"b\"", "EOL"}));
    EXPECT_EQ(scan("\"a\"\n\n\"b\"\n"), (Tokens{"\"a\"", "\"b\"", "EOL"}));
    EXPECT_EQ(scan("\"a\"\n  \"b\""), (Tokens{"\"a\"", "\"b\""}));
    EXPECT_EQ(scan("\"x\", null\n"), (Tokens{"\"x\"", ",", "null", "EOL"}));
    EXPECT_EQ(scan("\"\",null,nullnull"), (Tokens{"\"\"", ",", "null", ",", "null", "null"}));
}

TEST(InitializerScanner, StringContents)
{
    EXPECT_EQ(scan("\"o'brien\""), Tokens{"\"o'brien\""});
    EXPECT_EQ(scan("\"first\nsecond\""), Tokens{"\"first\nsecond\""});
    EXPECT_EQ(scan("\"q\\\"t\\\\\\n\\t\\r\\f\\v\""), Tokens{"\"q\"t\\\n\t\r\f\v\""});
    EXPECT_EQ(scan("\",\\\", null\""), Tokens{"\",\", null\""});
}

TEST(InitializerScanner, UnexpectedCharacters)
{
    EXPECT_EQ(scan("nullx"), (Tokens{"null", error("Unexpected character \"x\"")}));
    EXPECT_EQ(scan("NULL"), Tokens{error("Unexpected character \"N\"")});
    EXPECT_EQ(scan("nul\n"), Tokens{error("Unexpected character \"n\"")});
    EXPECT_EQ(scan("'a'"), Tokens{error("Unexpected character \"'\"")});
    EXPECT_EQ(scan("\"a\", 1\n"), (Tokens{"\"a\"", ",", error("Unexpected character \"1\"")}));
}

TEST(InitializerScanner, BadStrings)
{
    // Unclosed, or a backslash before a line feed: the quote is unexpected.
    EXPECT_EQ(scan("\"abc\n"), Tokens{error("Unexpected character \"\"\"")});
    EXPECT_EQ(scan("\"abc\\\"\n"), Tokens{error("Unexpected character \"\"\"")});
    EXPECT_EQ(scan("\"a\\\nb\"\n"), Tokens{error("Unexpected character \"\"\"")});
    EXPECT_EQ(scan("\"abc\\"), Tokens{error("Unexpected character \"\"\"")});

    EXPECT_EQ(scan("\"a\\qb\""), Tokens{error("Unexpected escaped character at offset 2")});
    EXPECT_EQ(scan("\"ab\\x41\""), Tokens{error("Unexpected escaped character at offset 3")});
    // A backslash before a carriage return still closes the string match;
    // the carriage return is then a bad escape.
    EXPECT_EQ(scan("\"a\\\r\n\""), Tokens{error("Unexpected escaped character at offset 2")});
    // A NUL byte would cut the value short; it is refused anywhere.
    EXPECT_EQ(scan(std::string("\"ab\0cd\"\n", 8)), Tokens{error("Unexpected NUL character")});
    EXPECT_EQ(scan(std::string("\"ab\\\0\"\n", 7)), Tokens{error("Unexpected NUL character")});
    EXPECT_EQ(scan(std::string("\"a\"\n\0", 5)), (Tokens{"\"a\"", "EOL", error("Unexpected NUL character")}));
}

TEST(InitializerScanner, LongInputSpansReadBlocks)
{
    std::string value(100000, 'v');
    std::string row = "\"" + value + "\", null\n";
    Tokens tokens = {"\"" + value + "\"", ",", "null", "EOL"};
    Tokens expected = tokens;
    expected.insert(expected.end(), tokens.begin(), tokens.end());
    EXPECT_EQ(scan(row + row), expected);
}

TEST(InitializerScannerDeathTest, UnreadableStreamEndsWithStatus2)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            FILE* directory = std::fopen("/", "r");  // opens, but reads fail
            init_scanner_t* scanner = nullptr;
            initlex_init(&scanner);
            initset_in(directory, scanner);
            sql_value_t value;
            initlex(&value, scanner);
        },
        testing::ExitedWithCode(2), "input in flex scanner failed");
}

}  // namespace
