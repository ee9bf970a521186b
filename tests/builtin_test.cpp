#include "builtin.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "compile.hpp"
#include "exception.hpp"
#include "execute.hpp"
#include "native_handler.hpp"

namespace {

const char* const LOCATION = " in /defs/main.def:12\n";

sql_value_t text(const char* s)
{
    sql_value_t v;
    value_init_string_copy(&v, s);
    return v;
}

sql_value_t number(int32_t n)
{
    sql_value_t v;
    value_init_integer(&v, n);
    return v;
}

sql_value_t null()
{
    sql_value_t v;
    value_init_null(&v);
    return v;
}

sql_value_t list(std::initializer_list<sql_value_t> items)
{
    sql_value_t v;
    value_init_array(&v);
    for (sql_value_t item : items) {
        value_push(&v, &item);
    }
    return v;
}

sql_value_t field(const char* name, const char* type, int32_t nullable, int32_t optimize,
                  sql_value_t links = list({}))
{
    return list({text(name), text(type), number(nullable), number(optimize), links});
}

sql_value_t link(const char* table, int32_t direction)
{
    return list({text(table), number(direction)});
}

sql_value_t id_field()
{
    return field("id", "id_t", 0, OPTIMIZE_PRIMARY);
}

// A compact picture of a value: 'text', 12, null, [a, b], key=value.
std::string show(const sql_value_t* v)
{
    switch (v->type) {
    case VALUE_NULL: return "null";
    case VALUE_INTEGER: return std::to_string(v->integer);
    case VALUE_STRING: return "'" + std::string(v->string) + "'";
    case VALUE_ARRAY: break;
    }
    std::string out = "[";
    for (hash_iterator_t item = v->hash->first_in_list; item != nullptr; item = item->next_in_list) {
        out += out.size() > 1 ? ", " : "";
        if (!item->key_is_integer) {
            out += std::string(hash_item_key(item)) + "=";
        }
        out += show(static_cast<const sql_value_t*>(hash_item_data(item)));
    }
    return out + "]";
}

struct builtin_test : testing::Test {
    program_output_t out{};
    sql_node_t statement{};

    void SetUp() override
    {
        for (sql_value_t* member : {&out.plsql, &out.queries, &out.sequences, &out.tables, &out.types, &out.views}) {
            value_init_array(member);
        }
        statement.pathname = "/defs/main.def";
        statement.line = 12;
        executor_globals.output = &out;
        executor_globals.current = &statement;
    }
    void TearDown() override
    {
        program_output_shutdown(&out);
        executor_globals = {};
    }
    void reset_output()
    {
        TearDown();
        SetUp();
    }

    // Calls `handler` on `args` (moved in) and returns its result.
    static sql_value_t call(native_handler_t handler, std::initializer_list<sql_value_t> args)
    {
        hash_table_t table;
        _hash_init(&table, HASH_CHAINS, value_dtor);
        for (sql_value_t arg : args) {
            _hash_push_integer(&table, &arg, sizeof arg, nullptr);
        }
        sql_value_t result;
        try {
            handler(&result, &table);
        } catch (const bailout_exception&) {
            hash_shutdown(&table);
            throw;
        }
        hash_shutdown(&table);
        return result;
    }

    // Runs a call that must succeed and return null.
    static void ok(native_handler_t handler, std::initializer_list<sql_value_t> args)
    {
        sql_value_t result = call(handler, args);
        EXPECT_EQ(result.type, VALUE_NULL);
    }

    // The message of the bail-out that `run` causes, less the location.
    template <typename F>
    static std::string bailout_of(F run)
    {
        testing::internal::CaptureStderr();
        try {
            run();
        } catch (const bailout_exception&) {
            std::string printed = testing::internal::GetCapturedStderr();
            std::string location = LOCATION;
            if (printed.size() < location.size() || printed.compare(printed.size() - location.size(), location.size(), location) != 0) {
                return "bad location: " + printed;
            }
            return printed.substr(0, printed.size() - location.size());
        }
        testing::internal::GetCapturedStderr();
        return "no bail-out";
    }

    static std::string error(native_handler_t handler, std::initializer_list<sql_value_t> args)
    {
        return bailout_of([&] { call(handler, args); });
    }

    std::string table_error(sql_value_t fields, sql_value_t init = list({}), int32_t volatile_flag = 0)
    {
        return error(handler_dump_table, {text("t"), number(volatile_flag), fields, init});
    }

    std::string stored(const sql_value_t& collection, const char* name)
    {
        const auto* record = static_cast<const sql_value_t*>(hash_find_string(collection.hash, name));
        return record != nullptr ? show(record) : "absent";
    }
};

TEST_F(builtin_test, dump_table_stores_deep_copies_of_its_arguments)
{
    ok(handler_dump_table,
       {text("users"), number(1),
        list({id_field(), field("Id", "text_t", 1, OPTIMIZE_INDEX, list({link("users", 0), link("later", 1)}))}),
        list({list({text("1"), null()})})});
    // Same field name in another table; empty rows.
    ok(handler_dump_table, {text("groups"), number(0), list({id_field()}), list({})});
    EXPECT_EQ(stored(out.tables, "users"),
              "['users', 1, [['id', 'id_t', 0, 2, []], ['Id', 'text_t', 1, 1, [['users', 0], ['later', 1]]]], "
              "[['1', null]]]");
    EXPECT_EQ(stored(out.tables, "groups"), "['groups', 0, [['id', 'id_t', 0, 2, []]], []]");
}

TEST_F(builtin_test, dump_table_checks_in_order_and_stores_nothing_on_failure)
{
    ok(handler_dump_view, {text("v"), text("SELECT 1")});
    // The name is tested before the faulty volatile flag and fields.
    EXPECT_EQ(error(handler_dump_table, {text("v"), number(2), list({number(1)}), list({})}),
              "Redefinition of table \"v\"");
    EXPECT_EQ(table_error(list({number(1)}), list({}), 2), "Table has bad volatile flag");
    EXPECT_EQ(table_error(list({id_field()}), list({}), -1), "Table has bad volatile flag");

    const std::vector<std::pair<sql_value_t, const char*>> field_cases = {
        {list({number(1)}), "Found a table field of a non-array type"},
        {list({list({})}), "Table field is missing the name value"},
        {list({list({number(1)})}), "Table field has a name value which is not a string"},
        {list({id_field(), field("id", "x", 0, 0)}), "Redefinition of table field \"id\""},
        {list({list({text("id")})}), "Table field is missing the type value"},
        {list({list({text("id"), number(1)})}), "Table field has a type value which is not a string"},
        {list({list({text("id"), text("t")})}), "Table field is missing the nullable value"},
        {list({list({text("id"), text("t"), text("0")})}), "Table field has a nullable value which is not an integer"},
        {list({field("id", "t", -1, 2)}), "Table field has a bad nullable value -1"},
        {list({list({text("id"), text("t"), number(0)})}), "Table field is missing the optimize value"},
        {list({list({text("id"), text("t"), number(0), text("2")})}),
         "Table field has an optimize value which is not an integer"},
        {list({field("id", "t", 0, 3)}), "Table field has a bad optimize value 3"},
        {list({id_field(), field("b", "t", 0, 1), field("c", "t", 0, 2)}), "Table has multiple primary keys"},
        {list({list({text("id"), text("t"), number(0), number(2)})}), "Table field is missing the links value"},
        {list({list({text("id"), text("t"), number(0), number(2), text("x")})}),
         "Found field links list which is not an array"},
        {list({field("id", "t", 0, 2, list({text("x")}))}), "Found a field link which is not an array"},
        {list({field("id", "t", 0, 2, list({list({})}))}), "Field link is missing the name value"},
        {list({field("id", "t", 0, 2, list({list({number(1)})}))}), "Field link has a name value which is not a string"},
        {list({field("id", "t", 0, 2, list({list({text("u")})}))}), "Field link is missing the direction value"},
        {list({field("id", "t", 0, 2, list({list({text("u"), text("1")})}))}),
         "Field link has a direction value which is not an integer"},
        {list({field("id", "t", 0, 2, list({link("u", 2)}))}), "Field link has a bad direction value"},
        {list({field("id", "t", 0, 2, list({link("u", -1)}))}), "Field link has a bad direction value"},
        {list({}), "Table has no primary key"},
        {list({field("a", "t", 0, 1), field("b", "t", 0, 0)}), "Table has no primary key"},
    };
    for (const auto& [fields, message] : field_cases) {
        EXPECT_EQ(table_error(fields), message);
    }

    auto three = [] { return list({id_field(), field("name", "t", 1, 0), field("note", "t", 0, 0)}); };
    EXPECT_EQ(table_error(three(), list({text("x")})), "Table initilizer row is not of an array type");
    EXPECT_EQ(table_error(three(), list({list({text("1"), text("2")})})),
              "Bad number of values in a table initializer row, expected 3, got 2");
    EXPECT_EQ(table_error(three(), list({list({text("1"), null(), null()})})),
              "Non-nullable field has a null initializer value");
    EXPECT_EQ(table_error(three(), list({list({text("1"), number(2), text("x")})})),
              "Table initializer field is not of a null or string type");
    EXPECT_EQ(hash_count(out.tables.hash), 0u);

    ok(handler_dump_table, {text("t"), number(0), three(), list({list({text("1"), null(), text("n")})})});
    EXPECT_EQ(table_error(list({id_field()})), "Redefinition of table \"t\"");
}

TEST_F(builtin_test, views_types_and_sequences_keep_their_name_spaces)
{
    ok(handler_dump_table, {text("t"), number(0), list({id_field()}), list({})});
    ok(handler_dump_view, {text("v"), text("")});
    EXPECT_EQ(error(handler_dump_view, {text("t"), text("x")}), "Redefinition of view \"t\"");
    EXPECT_EQ(error(handler_dump_view, {text("v"), text("x")}), "Redefinition of view \"v\"");
    EXPECT_EQ(stored(out.views, "v"), "['v', '']");

    ok(handler_dump_type, {text("t"), text("integer")});
    EXPECT_EQ(error(handler_dump_type, {text("t"), text("integer")}), "Redefinition of type \"t\"");
    EXPECT_EQ(stored(out.types, "t"), "['t', 'integer']");

    ok(handler_dump_sequence, {text("t"), number(-5)});
    EXPECT_EQ(error(handler_dump_sequence, {text("t"), number(1)}), "Redefinition of sequence \"t\"");
    EXPECT_EQ(error(handler_dump_sequence, {text("s"), text("1")}), "Bad type of argument 2");
    EXPECT_EQ(stored(out.sequences, "t"), "['t', -5]");
    EXPECT_EQ(hash_count(out.sequences.hash), 1u);
}

TEST_F(builtin_test, dump_plsql_checks_shapes_before_the_name)
{
    auto var = [](const char* name) { return list({text(name), text("int_t")}); };
    auto plsql = [&](sql_value_t returns, sql_value_t args, sql_value_t locals) {
        return error(handler_dump_plsql, {text("f"), returns, args, locals, text("BEGIN END;")});
    };
    ok(handler_dump_plsql, {text("f"), list({text("int_t"), number(1)}), list({var("a")}), list({}), text("body")});
    ok(handler_dump_plsql, {text("g"), list({text("int_t"), number(0)}), list({}), list({var("a")}), text("")});
    EXPECT_EQ(stored(out.plsql, "f"), "['f', ['int_t', 1], [['a', 'int_t']], [], 'body']");

    const std::vector<std::pair<sql_value_t, const char*>> return_cases = {
        {list({}), "Return definition is missing a return type"},
        {list({number(1)}), "Return definition has a return type which is not a string"},
        {list({text("int_t")}), "Return definition is missing a setof flag"},
        {list({text("int_t"), text("1")}), "Return definition has a setof flag which is not an integer"},
        {list({text("int_t"), number(2)}), "Return definition has a bad value of the setof flag"},
        {list({text("int_t"), number(-1)}), "Return definition has a bad value of the setof flag"},
    };
    for (const auto& [returns, message] : return_cases) {
        EXPECT_EQ(plsql(returns, list({}), list({})), message);
    }

    auto returns = [] { return list({text("int_t"), number(0)}); };
    const std::vector<std::pair<sql_value_t, const char*>> var_cases = {
        {text("a"), "PL/SQL variable has a type which is not an array"},
        {list({}), "PL/SQL variable is missing the name value"},
        {list({number(1)}), "PL/SQL variable has a name value which is not a string"},
        {list({text("a")}), "PL/SQL variable is missing the type value"},
        {list({text("a"), number(1)}), "PL/SQL variable has a type value which is not a string"},
    };
    for (const auto& [bad, message] : var_cases) {
        EXPECT_EQ(plsql(returns(), list({bad}), list({})), message);
    }
    EXPECT_EQ(plsql(returns(), list({var("a"), var("a")}), list({})), "Redefinition of argument name \"a\"");
    EXPECT_EQ(plsql(returns(), list({var("a")}), list({var("a")})), "Redefinition of local name \"a\"");
    EXPECT_EQ(plsql(returns(), list({}), list({var("b"), var("b")})), "Redefinition of local name \"b\"");
    EXPECT_EQ(plsql(returns(), list({}), list({})), "Redefinition of PL/SQL function \"f\"");
    EXPECT_EQ(stored(out.plsql, "f"), "['f', ['int_t', 1], [['a', 'int_t']], [], 'body']");
}

TEST_F(builtin_test, dump_query_splits_the_body_into_pieces_and_fields)
{
    ok(handler_dump_query,
       {text("q"), text("SELECT id{FIELD:int}, name{FIELD:text} FROM users WHERE id = {ESC:1} AND {RAW:2}")});
    EXPECT_EQ(stored(out.queries, "q"),
              "['q', [[1, 'SELECT id, name FROM users WHERE id = '], [2, 1], [1, ' AND '], [3, 2]], ['int', 'text']]");
    ok(handler_dump_query, {text("empty"), text("")});
    EXPECT_EQ(stored(out.queries, "empty"), "['empty', [], []]");
    ok(handler_dump_query, {text("markers"), text("{ESC:1}{RAW:2}{FIELD:a}{FIELD:a}{esc:1}")});
    EXPECT_EQ(stored(out.queries, "markers"), "['markers', [[2, 1], [3, 2], [1, '{esc:1}']], ['a', 'a']]");

    EXPECT_EQ(error(handler_dump_query, {text("q"), text("SELECT 2")}), "Redefinition of query \"q\"");
    EXPECT_EQ(hash_count(out.queries.hash), 3u);
}

TEST_F(builtin_test, prefix_pathname_joins_relative_names_and_refuses_what_it_cannot_join)
{
    sql_value_t result = call(handler_prefix_pathname, {text("/work/defs"), text("sub\\rows.init")});
    EXPECT_EQ(show(&result), "'/work/defs/sub/rows.init'");
    value_shutdown(&result);
    result = call(handler_prefix_pathname, {text("/work/defs"), text("/data/rows.init")});
    EXPECT_EQ(show(&result), "'/data/rows.init'");
    value_shutdown(&result);

    EXPECT_EQ(error(handler_prefix_pathname, {text("work/defs"), text("x")}), "Failed to prefix pathname");
    std::string long_name(5000, 'a');
    EXPECT_EQ(error(handler_prefix_pathname, {text("/work"), text(long_name.c_str())}), "Failed to prefix pathname");
}

size_t open_descriptors()
{
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir) != nullptr) {
        ++count;
    }
    closedir(dir);
    return count;
}

TEST_F(builtin_test, read_table_initializer_returns_the_rows_and_releases_the_file_on_every_path)
{
    std::string dir = testing::TempDir() + "builtin_test_init";
    mkdir(dir.c_str(), 0700);
    std::string good = dir + "/good.init";
    std::string bad = dir + "/bad.init";
    FILE* file = fopen(good.c_str(), "w");
    fputs("\"1\", \"admin\"\n\"2\", null\n", file);
    fclose(file);
    file = fopen(bad.c_str(), "w");
    fputs("\"1\", \"admin\"", file);
    fclose(file);

    size_t descriptors = open_descriptors();
    sql_value_t rows = call(handler_read_table_initializer, {text(good.c_str())});
    EXPECT_EQ(show(&rows), "[['1', 'admin'], ['2', null]]");
    value_shutdown(&rows);
    EXPECT_EQ(table_init_data, nullptr);
    struct stat st;
    ASSERT_EQ(stat(good.c_str(), &st), 0);
    EXPECT_TRUE(compile_is_input_file(st.st_dev, st.st_ino));
    compile_forget_input_files();

    EXPECT_EQ(error(handler_read_table_initializer, {text(bad.c_str())}),
              "syntax error, unexpected $end, expecting INIT_ROW_SEPARATOR");
    EXPECT_EQ(table_init_data, nullptr);
    std::string missing = dir + "/missing.init";
    EXPECT_EQ(error(handler_read_table_initializer, {text(missing.c_str())}),
              "Failed to open initializer file \"" + missing + "\": 2(No such file or directory)");
    EXPECT_EQ(error(handler_read_table_initializer, {text(dir.c_str())}),
              "Failed to open initializer file \"" + dir + "\": 21(Is a directory)");
    EXPECT_EQ(error(handler_read_table_initializer, {number(1)}), "Bad type of argument 1");
    EXPECT_EQ(open_descriptors(), descriptors);
    compile_forget_input_files();
}

TEST_F(builtin_test, fixup_resolves_types_declared_later_and_checks_links_against_tables)
{
    ok(handler_dump_plsql, {text("f"), list({text("int_t"), number(1), text("extra")}),
                            list({list({text("a"), text("int_t"), text("extra")})}),
                            list({list({text("l"), text("text_t")})}), text("body")});
    ok(handler_dump_query, {text("q"), text("SELECT a{FIELD:int_t}, b{FIELD:text_t}")});
    sql_value_t wide = list({text("g"), text("int_t"), number(1), number(0), list({link("groups", 1)}), text("x")});
    ok(handler_dump_table, {text("users"), number(0), list({id_field(), wide}), list({})});
    ok(handler_dump_table, {text("groups"), number(1), list({field("id", "int_t", 0, 2, list({link("groups", 0)}))}),
                            list({list({text("7")})})});
    ok(handler_dump_type, {text("id_t"), text("integer NOT NULL")});
    ok(handler_dump_type, {text("int_t"), text("integer")});
    ok(handler_dump_type, {text("text_t"), text("text")});

    fixup_program_output(&out);
    EXPECT_EQ(show(&out.plsql),
              "[f=['f', ['integer', 1], [['a', 'integer']], [['l', 'text']], 'body']]");
    EXPECT_EQ(show(&out.queries), "[q=['q', [[1, 'SELECT a, b']], ['integer', 'text']]]");
    EXPECT_EQ(show(&out.tables),
              "[users=['users', 0, [['id', 'integer NOT NULL', 0, 2, []], ['g', 'integer', 1, 0, [['groups', 1]]]], []], "
              "groups=['groups', 1, [['id', 'integer', 0, 2, [['groups', 0]]]], [['7']]]]");
}

TEST_F(builtin_test, fixup_reports_the_first_fault_walking_plsql_then_queries_then_tables)
{
    auto declare = [&](bool plsql, bool query, const char* table_type, const char* link_to) {
        reset_output();
        ok(handler_dump_view, {text("v"), text("SELECT 1")});
        ok(handler_dump_type, {text("int_t"), text("integer")});
        if (plsql) {
            ok(handler_dump_plsql, {text("f"), list({text("int_t"), number(0)}), list({}),
                                    list({list({text("l"), text("bad_plsql")})}), text("")});
        }
        if (query) {
            ok(handler_dump_query, {text("q"), text("{FIELD:bad_query}")});
        }
        ok(handler_dump_table, {text("t"), number(0), list({field("id", table_type, 0, 2, list({link(link_to, 1)}))}),
                                list({})});
        return bailout_of([&] { fixup_program_output(&out); });
    };
    EXPECT_EQ(declare(true, true, "bad_table", "v"), "Unable to resolve SQL type \"bad_plsql\"");
    EXPECT_EQ(declare(false, true, "bad_table", "v"), "Unable to resolve SQL type \"bad_query\"");
    EXPECT_EQ(declare(false, false, "bad_table", "v"), "Unable to resolve SQL type \"bad_table\"");
    EXPECT_EQ(declare(false, false, "int_t", "v"), "Link to unknown table \"v\"");
    EXPECT_EQ(declare(false, false, "int_t", "t"), "no bail-out");

    reset_output();
    fixup_program_output(&out);
    EXPECT_EQ(show(&out.plsql) + show(&out.queries) + show(&out.tables), "[][][]");
}

}  // namespace
