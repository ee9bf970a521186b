#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "builtin.hpp"
#include "exception.hpp"
#include "execute.hpp"
#include "initializer_parser.hpp"
#include "initializer_scanner.hpp"
#include "memory_pool.hpp"

namespace {

// Rows as text: [["a", null], []].
std::string show(const sql_value_t* value)
{
    switch (value->type) {
    case VALUE_NULL: return "null";
    case VALUE_INTEGER: return std::to_string(value->integer);
    case VALUE_STRING: return "\"" + std::string(value->string) + "\"";
    case VALUE_ARRAY: {
        std::string text = "[";
        for (hash_iterator_t it = value->hash->first_in_list; it != nullptr; it = it->next_in_list) {
            if (it != value->hash->first_in_list) text += ", ";
            text += show(static_cast<const sql_value_t*>(hash_item_data(it)));
        }
        return text + "]";
    }
    }
    return "?";
}

// Parses `contents` as an initializer file: the rows as text, or "error: "
// and what the bail-out printed.
std::string parse(const std::string& contents)
{
    sql_node_t statement{};
    statement.type = NODE_VALUE;
    statement.value.type = VALUE_NULL;
    statement.pathname = "/defs/main.def";
    statement.line = 7;
    executor_globals.current = &statement;

    FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    std::fwrite(contents.data(), 1, contents.size(), file);
    std::rewind(file);
    init_scanner_t* scanner = nullptr;
    EXPECT_EQ(initlex_init(&scanner), 0);
    initset_in(file, scanner);

    sql_value_t rows;
    value_init_integer(&rows, -1);
    table_init_data = &rows;
    std::string result;
    testing::internal::CaptureStderr();
    try {
        EXPECT_EQ(initparse(scanner), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        result = show(&rows);
        value_shutdown(&rows);
    } catch (const bailout_exception&) {
        result = "error: " + testing::internal::GetCapturedStderr();
    }
    EXPECT_EQ(initlex_destroy(scanner), 0);
    std::fclose(file);
    table_init_data = nullptr;
    executor_globals.current = nullptr;
    memory_pool_free_all();
    return result;
}

std::string error(const std::string& message)
{
    return "error: " + message + " in /defs/main.def:7\n";
}

TEST(InitializerParser, RowsAreListsOfStringsAndNulls)
{
    EXPECT_EQ(parse("\"1\", \"admin\", \"Administrator\"\n"
                    "\"2\", \"guest\", null\n"
                    "\"3\", \"o'brien\", \"first line\\nsecond line\"\n"),
              "[[\"1\", \"admin\", \"Administrator\"], [\"2\", \"guest\", null], "
              "[\"3\", \"o'brien\", \"first line\nsecond line\"]]");
    EXPECT_EQ(parse("\"a\"\n\"b\"\n"), "[[\"a\"], [\"b\"]]");
    EXPECT_EQ(parse("\"a\"\r\n\"b\"\r\n"), "[[\"a\"], [\"b\"]]");
    EXPECT_EQ(parse("\"\",null\n"), "[[\"\", null]]");
    // A string may span lines; its line break is no row separator.
    EXPECT_EQ(parse("\"x\ny\"\n"), "[[\"x\ny\"]]");
    EXPECT_EQ(parse(""), "[]");
    EXPECT_EQ(parse("\n\n"), "[]");
    EXPECT_EQ(parse(" \n"), "[]");
    EXPECT_EQ(parse("\n"), "[[]]");
}

TEST(InitializerParser, LineEndsNextToBlanksAreNoSeparators)
{
    const std::string no_separator_between = error("syntax error, unexpected INIT_STRING, expecting INIT_ROW_SEPARATOR");
    const std::string no_separator_at_end = error("syntax error, unexpected $end, expecting INIT_ROW_SEPARATOR");
    EXPECT_EQ(parse("\"a\" \n\"b\"\n"), no_separator_between);
    EXPECT_EQ(parse("\"a\"\n\n\"b\"\n"), no_separator_between);
    EXPECT_EQ(parse("\"a\"\n\r\"b\"\n"), no_separator_between);
    EXPECT_EQ(parse("\"a\"\n\"b\" \n"), no_separator_at_end);
    EXPECT_EQ(parse("\"a\"\n\"b\"\n\n"), no_separator_at_end);
}

TEST(InitializerParser, SyntaxErrorsNameTheTokenAndWhatWasExpected)
{
    EXPECT_EQ(parse("\"a\""), error("syntax error, unexpected $end, expecting INIT_ROW_SEPARATOR"));
    EXPECT_EQ(parse("\"a\" \"b\"\n"), error("syntax error, unexpected INIT_STRING, expecting INIT_ROW_SEPARATOR"));
    EXPECT_EQ(parse("\"a\" null\n"), error("syntax error, unexpected INIT_NULL, expecting INIT_ROW_SEPARATOR"));
    EXPECT_EQ(parse("\"a\",\n"), error("syntax error, unexpected INIT_ROW_SEPARATOR, expecting INIT_NULL or INIT_STRING"));
    EXPECT_EQ(parse("\"a\",,\"b\"\n"), error("syntax error, unexpected ',', expecting INIT_NULL or INIT_STRING"));
    EXPECT_EQ(parse("\"a\","), error("syntax error, unexpected $end, expecting INIT_NULL or INIT_STRING"));
    EXPECT_EQ(parse(",\"a\"\n"), error("syntax error, unexpected ',', expecting $end"));
    EXPECT_EQ(parse("\"a\"\n,\"b\"\n"), error("syntax error, unexpected ',', expecting $end"));
}

}  // namespace
