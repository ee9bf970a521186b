// The escaping printf and the PHP definitions writer, checked on whole files.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <string>

#include "builtin.hpp"
#include "dump_php.hpp"

namespace {

std::string capture(const std::function<void(FILE*)>& write) {
    char* buffer = nullptr;
    size_t length = 0;
    FILE* file = open_memstream(&buffer, &length);
    write(file);
    fclose(file);
    std::string text(buffer, length);
    free(buffer);
    return text;
}

// ---- php_printf ---------------------------------------------------------

TEST(PhpPrintf, EscapesOnlyWhatEndsOrInterpolatesAString) {
    EXPECT_EQ(capture([](FILE* f) { php_printf(f, "%p", "a\"b$c\\d"); }), "a\\\"b\\$c\\\\d");
    EXPECT_EQ(capture([](FILE* f) { php_printf(f, "%p", "{$x}"); }), "{\\$x}");
    EXPECT_EQ(capture([](FILE* f) { php_printf(f, "%p", "it's\ta\nb\r\x01\x80\xff"); }),
              "it's\ta\nb\r\x01\x80\xff");
    EXPECT_EQ(capture([](FILE* f) { php_printf(f, "%p", "\\\\$$\"\""); }), "\\\\\\\\\\$\\$\\\"\\\"");
    // %s copies verbatim, even the bytes %p would escape, and never re-expands.
    EXPECT_EQ(capture([](FILE* f) { php_printf(f, "%s", "a\"$\\%p"); }), "a\"$\\%p");
    EXPECT_EQ(capture([](FILE* f) { php_printf(f, "[%p][%s]", "", ""); }), "[][]");
}

TEST(PhpPrintf, IntegersAndPercent) {
    EXPECT_EQ(capture([](FILE* f) { php_printf(f, "%l %l %l %l", -5, 0, INT_MAX, INT_MIN); }),
              "-5 0 2147483647 -2147483648");
    EXPECT_EQ(capture([](FILE* f) { php_printf(f, "100%%"); }), "100%");
    EXPECT_EQ(capture([](FILE* f) { php_printf(f, "%%p%%"); }), "%p%");
}

TEST(PhpPrintf, CopiesPlainTextAndTakesArgumentsInOrder) {
    EXPECT_EQ(capture([](FILE* f) { php_printf(f, "\t<?\n\t\t);\n"); }), "\t<?\n\t\t);\n");
    EXPECT_EQ(capture([](FILE* f) { php_printf(f, ""); }), "");
    EXPECT_EQ(capture([](FILE* f) { php_printf(f, "\"%p\" => %l%s!", "n$", 7, ","); }), "\"n\\$\" => 7,!");
}

TEST(PhpPrintf, ExpansionLongerThanTheInitialBuffer) {
    std::string value;
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        value += "ab$";
        expected += "ab\\$";
    }
    EXPECT_EQ(capture([&](FILE* f) { php_printf(f, "<%p>", value.c_str()); }), "<" + expected + ">");
}

ssize_t count_write(void* cookie, const char*, size_t size) {
    ++*static_cast<int*>(cookie);
    return static_cast<ssize_t>(size);
}

TEST(PhpPrintf, WritesTheWholeExpansionInOneWrite) {
    int writes = 0;
    cookie_io_functions_t io = {nullptr, count_write, nullptr, nullptr};
    FILE* file = fopencookie(&writes, "w", io);
    setvbuf(file, nullptr, _IONBF, 0);
    php_printf(file, "a%pb%sc%l%%e", "x", "y", 3);
    EXPECT_EQ(writes, 1);
    php_printf(file, "");
    EXPECT_EQ(writes, 1);
    fclose(file);
}

TEST(PhpPrintfDeathTest, BadDirectivesEndTheProgram) {
    EXPECT_DEATH(php_printf(stdout, "abc%"), "Premature end of printf expansion");
    EXPECT_DEATH(php_printf(stdout, "%d", 1), "Unknown printf expansion");
    EXPECT_DEATH(php_printf(stdout, "ok %x", 1), "Unknown printf expansion");
}

// ---- program output builders ----------------------------------------------

sql_value_t str(const char* text) {
    sql_value_t value;
    value_init_string_copy(&value, text);
    return value;
}

sql_value_t num(int32_t integer) {
    sql_value_t value;
    value_init_integer(&value, integer);
    return value;
}

sql_value_t null_value() {
    sql_value_t value;
    value_init_null(&value);
    return value;
}

sql_value_t list(std::initializer_list<sql_value_t> items) {
    sql_value_t array;
    value_init_array(&array);
    for (sql_value_t item : items) {
        value_push(&array, &item);
    }
    return array;
}

// Files a record in a collection under its name, as the built-ins do.
void file_record(sql_value_t* collection, sql_value_t record) {
    const char* name = value_slot(&record, 0)->string;
    ASSERT_EQ(_hash_add_string(collection->hash, name, &record, sizeof record, nullptr), 0);
}

sql_value_t field(const char* name, const char* type, int nullable, int optimize, sql_value_t links) {
    return list({str(name), str(type), num(nullable), num(optimize), links});
}

struct OutputFixture : ::testing::Test {
    program_output_t output;

    void SetUp() override {
        for (sql_value_t* member : members()) {
            value_init_array(member);
        }
    }
    void TearDown() override {
        for (sql_value_t* member : members()) {
            value_shutdown(member);
        }
    }
    void reset() {
        TearDown();
        SetUp();
    }
    std::array<sql_value_t*, 6> members() {
        return {&output.plsql, &output.queries, &output.sequences,
                &output.tables, &output.types, &output.views};
    }
    std::string written() {
        return capture([this](FILE* f) { dump_php_code(f, &output); });
    }
    void add_simple_table(const char* name, sql_value_t rows) {
        file_record(&output.tables,
                    list({str(name), num(0), list({field("id", "integer", 0, OPTIMIZE_PRIMARY, list({}))}),
                          rows}));
    }
};

// Expected files are written with four spaces for each tab of indentation; a
// '|' closes a line whose trailing space matters.
std::string layout(const char* text) {
    std::string result;
    bool line_start = true;
    for (const char* p = text; *p; ++p) {
        if (line_start && p[0] == ' ' && p[1] == ' ' && p[2] == ' ' && p[3] == ' ') {
            result += '\t';
            p += 3;
            continue;
        }
        line_start = false;
        if (*p == '|' && p[1] == '\n') {
            continue;
        }
        result += *p;
        if (*p == '\n') {
            line_start = true;
        }
    }
    return result;
}

const char* const EMPTY_FILE =
    "<?\n"
    "$this->plsql = array (\n);\n"
    "$this->queries = array (\n);\n"
    "$this->sequences = array (\n);\n"
    "$this->tables = array (\n);\n"
    "$this->views = array (\n);\n"
    "?>\n";

TEST_F(OutputFixture, EmptyOutputIsTwelveLinesAndTypesAreNeverWritten) {
    EXPECT_EQ(written(), EMPTY_FILE);
    file_record(&output.types, list({str("id_t"), str("integer")}));
    EXPECT_EQ(written(), EMPTY_FILE);
}

TEST_F(OutputFixture, CompleteSample) {
    file_record(&output.plsql,
                list({str("user_name"), list({str("varchar(64)"), num(0)}),
                      list({list({str("p_id"), str("integer")})}),
                      list({list({str("v_name"), str("varchar(64)")})}),
                      str("BEGIN\n  SELECT name INTO v_name FROM users WHERE id = $1;\n  RETURN v_name;\nEND;")}));
    file_record(&output.queries,
                list({str("user_by_id"),
                      list({list({num(1), str("SELECT id, name FROM users WHERE id = ")}), list({num(2), num(1)}),
                            list({num(1), str(" ORDER BY ")}), list({num(3), num(2)})}),
                      list({str("integer"), str("varchar(64)")})}));
    file_record(&output.queries, list({str("all_orders"), list({list({num(1), str("SELECT id FROM orders")})}),
                                       list({str("integer")})}));
    file_record(&output.sequences, list({str("users_id_seq"), num(1)}));
    file_record(&output.sequences, list({str("orders_id_seq"), num(1000)}));
    file_record(&output.tables,
                list({str("users"), num(0),
                      list({field("id", "integer", 0, OPTIMIZE_PRIMARY,
                                  list({list({str("orders"), num(DIRECTION_INCOMING)})})),
                            field("name", "varchar(64)", 1, OPTIMIZE_INDEX, list({}))}),
                      list({list({str("1"), str("admin")}), list({str("2"), null_value()})})}));
    file_record(&output.tables,
                list({str("orders"), num(1),
                      list({field("id", "integer", 0, OPTIMIZE_PRIMARY, list({})),
                            field("user_id", "integer", 0, OPTIMIZE_INDEX,
                                  list({list({str("users"), num(DIRECTION_OUTGOING)})}))}),
                      list({})}));
    file_record(&output.views, list({str("named_users"), str("SELECT * FROM users WHERE name IS NOT NULL")}));

    EXPECT_EQ(written(), layout(R"php(<?
$this->plsql = array (
    "user_name" => array (
        "returns" => array (
            "type" => "varchar(64)",
            "setof" => false
        ),
        "args" => array (
            "p_id" => "integer"
        ),
        "locals" => array (
            "v_name" => "varchar(64)"
        ),
        "body" => "BEGIN
  SELECT name INTO v_name FROM users WHERE id = \$1;
  RETURN v_name;
END;"
    )
);
$this->queries = array (
    "user_by_id" => array (
        "pieces" => array (
            array ("type" => const_sql::DB_PIECE_TEXT, "value" => "SELECT id, name FROM users WHERE id = "), |
            array ("type" => const_sql::DB_PIECE_PARAM, "value" => 1), |
            array ("type" => const_sql::DB_PIECE_TEXT, "value" => " ORDER BY "), |
            array ("type" => const_sql::DB_PIECE_RAW, "value" => 2)
        ),
        "fields" => array ("integer", "varchar(64)")
    )
,
    "all_orders" => array (
        "pieces" => array (
            array ("type" => const_sql::DB_PIECE_TEXT, "value" => "SELECT id FROM orders")
        ),
        "fields" => array ("integer")
    )

);
$this->sequences = array (
    "users_id_seq" => 1,
    "orders_id_seq" => 1000
);
$this->tables = array (
    "users" => array (
        "volatile" => false,
        "primary" => "id",
        "fields" => array (
            "id" => array (
                "type" => "integer",
                "nullable" => false,
                "optimize" => const_sql::DB_OPTIMIZE_PRIMARY,
                "links" => array (
                    array ("table" => "orders", "direction" => const_sql::DB_LINK_INCOMING)
                )
            ),
            "name" => array (
                "type" => "varchar(64)",
                "nullable" => true,
                "optimize" => const_sql::DB_OPTIMIZE_INDEX,
                "links" => array (
                )
            )
        ),
        "init" => array (
            array ("1", "admin"),
            array ("2", null)
        )
    ),
    "orders" => array (
        "volatile" => true,
        "primary" => "id",
        "fields" => array (
            "id" => array (
                "type" => "integer",
                "nullable" => false,
                "optimize" => const_sql::DB_OPTIMIZE_PRIMARY,
                "links" => array (
                )
            ),
            "user_id" => array (
                "type" => "integer",
                "nullable" => false,
                "optimize" => const_sql::DB_OPTIMIZE_INDEX,
                "links" => array (
                    array ("table" => "users", "direction" => const_sql::DB_LINK_OUTGOING)
                )
            )
        ),
        "init" => array (
        )
    )
);
$this->views = array (
    "named_users" => "SELECT * FROM users WHERE name IS NOT NULL"
);
?>
)php"));
}

TEST_F(OutputFixture, EmptyListsCloseRightAfterTheirOpeningLine) {
    file_record(&output.plsql, list({str("f"), list({str("t"), num(1)}), list({}), list({}), str("")}));
    file_record(&output.queries, list({str("q"), list({}), list({})}));
    EXPECT_EQ(written(), layout(R"php(<?
$this->plsql = array (
    "f" => array (
        "returns" => array (
            "type" => "t",
            "setof" => true
        ),
        "args" => array (
        ),
        "locals" => array (
        ),
        "body" => ""
    )
);
$this->queries = array (
    "q" => array (
        "pieces" => array (
        ),
        "fields" => array ()
    )

);
$this->sequences = array (
);
$this->tables = array (
);
$this->views = array (
);
?>
)php"));
}

TEST_F(OutputFixture, EveryQuotedTextIsEscaped) {
    file_record(&output.sequences, list({str("s\"q"), num(-1)}));
    file_record(&output.views, list({str("v$"), str("a \"b\" $c \\d {$e}\nnext")}));
    add_simple_table("t$", list({list({str("x\"$\\{$y}\nz")})}));
    std::string text = written();
    EXPECT_NE(text.find("\t\"s\\\"q\" => -1\n"), std::string::npos);
    EXPECT_NE(text.find("\t\"v\\$\" => \"a \\\"b\\\" \\$c \\\\d {\\$e}\nnext\"\n"), std::string::npos);
    EXPECT_NE(text.find("\t\"t\\$\" => array (\n"), std::string::npos);
    EXPECT_NE(text.find("\t\t\tarray (\"x\\\"\\$\\\\{\\$y}\nz\")\n"), std::string::npos);
}

TEST_F(OutputFixture, PrimaryIsTheFieldWithThePrimaryOptimizeValue) {
    file_record(&output.tables, list({str("t"), num(0),
                                      list({field("a", "integer", 0, OPTIMIZE_INDEX, list({})),
                                            field("b", "integer", 0, OPTIMIZE_PRIMARY, list({}))}),
                                      list({})}));
    EXPECT_NE(written().find("\t\t\"primary\" => \"b\",\n"), std::string::npos);
}

TEST_F(OutputFixture, BrokenRecordsEndTheProgram) {
    file_record(&output.queries, list({str("q"), list({list({num(4), num(0)})}), list({})}));
    EXPECT_DEATH(written(), "Unexpected query piece type \"4\"");
    reset();
    add_simple_table("t", list({list({num(1)})}));
    EXPECT_DEATH(written(), "Unsupported field initializer type");
    reset();
    file_record(&output.tables,
                list({str("t"), num(0), list({field("a", "integer", 0, OPTIMIZE_NONE, list({}))}), list({})}));
    EXPECT_DEATH(written(), "Table \"t\" has no primary key field");
    reset();
    file_record(&output.tables, list({str("t"), num(0),
                                      list({field("id", "integer", 0, OPTIMIZE_PRIMARY, list({})),
                                            field("a", "integer", 0, 3, list({}))}),
                                      list({})}));
    EXPECT_DEATH(written(), "Unexpected field optimize value \"3\"");
    reset();
    file_record(&output.views, list({str("v"), num(5)}));
    EXPECT_DEATH(written(), "slot 1 is missing or of the wrong type");
}

}  // namespace
