#include "builtin.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "compile.hpp"
#include "exception.hpp"
#include "execute.hpp"

namespace {

using cases_t = std::vector<std::pair<sql_value_t, const char*>>;

sql_value_t text(const char* s) { sql_value_t v; value_init_string_copy(&v, s); return v; }
sql_value_t number(int32_t n) { sql_value_t v; value_init_integer(&v, n); return v; }
sql_value_t null() { sql_value_t v; value_init_null(&v); return v; }

sql_value_t list(std::initializer_list<sql_value_t> items)
{
    sql_value_t v;
    value_init_array(&v);
    for (sql_value_t item : items) {
        value_push(&v, &item);
    }
    return v;
}

sql_value_t field(const char* name, const char* type, int32_t nullable, int32_t optimize, sql_value_t links = list({}))
{
    return list({text(name), text(type), number(nullable), number(optimize), links});
}
sql_value_t link(const char* table, int32_t direction) { return list({text(table), number(direction)}); }
sql_value_t key_field() { return field("id", "id_t", 0, OPTIMIZE_PRIMARY); }

// A compact picture of a value: 'text', 12, null, [a, b], key=value.
std::string show(const sql_value_t* v)
{
    if (v->type != VALUE_ARRAY) {
        return v->type == VALUE_NULL ? "null" : v->type == VALUE_INTEGER ? std::to_string(v->integer)
                                                                          : "'" + std::string(v->string) + "'";
    }
    std::string out = "[";
    for (hash_iterator_t item = v->hash->first_in_list; item != nullptr; item = item->next_in_list) {
        out += out.size() > 1 ? ", " : "";
        out += item->key_is_integer ? "" : std::string(hash_item_key(item)) + "=";
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

    // Calls `handler` with `args` moved in; returns its result. A bail-out
    // leaves the arguments to the pool, as in a real run.
    static sql_value_t call(native_handler_t handler, std::initializer_list<sql_value_t> args)
    {
        sql_value_t list_of_args = list(args);
        sql_value_t result;
        handler(&result, list_of_args.hash);
        value_shutdown(&list_of_args);
        return result;
    }
    static void ok(native_handler_t handler, std::initializer_list<sql_value_t> args)
    {
        sql_value_t result = call(handler, args);
        EXPECT_EQ(result.type, VALUE_NULL);
    }
    // The message of the bail-out that `run` causes, checked for the location and then cut from it.
    template <typename F> static std::string bailout_of(F run)
    {
        testing::internal::CaptureStderr();
        try {
            run();
        } catch (const bailout_exception&) {
            std::string printed = testing::internal::GetCapturedStderr();
            const std::string location = " in /defs/main.def:12\n";
            size_t at = printed.size() - std::min(printed.size(), location.size());
            return printed.substr(at) == location ? printed.substr(0, at) : "bad location: " + printed;
        }
        testing::internal::GetCapturedStderr();
        return "no bail-out";
    }
    static std::string error(native_handler_t handler, std::initializer_list<sql_value_t> args)
    {
        return bailout_of([&] { call(handler, args); });
    }
    static std::string table_error(sql_value_t fields, sql_value_t init = list({}), int32_t volatile_flag = 0)
    {
        return error(handler_dump_table, {text("t"), number(volatile_flag), fields, init});
    }
    static std::string stored(const sql_value_t& collection, const char* name)
    {
        const auto* record = static_cast<const sql_value_t*>(hash_find_string(collection.hash, name));
        return record != nullptr ? show(record) : "absent";
    }
};

TEST_F(builtin_test, dump_table_checks_in_order_and_stores_deep_copies_only_when_all_pass)
{
    ok(handler_dump_view, {text("v"), text("SELECT 1")});
    EXPECT_EQ(error(handler_dump_table, {text("v"), number(2), list({number(1)}), list({})}),
              "Redefinition of table \"v\"");
    EXPECT_EQ(table_error(list({number(1)}), list({}), 2), "Table has bad volatile flag");
    EXPECT_EQ(table_error(list({key_field()}), list({}), -1), "Table has bad volatile flag");

    auto with_link = [](sql_value_t link_value) { return list({field("id", "t", 0, 2, list({link_value}))}); };
    const cases_t field_cases = {
        {list({number(1)}), "Found a table field of a non-array type"},
        {list({list({})}), "Table field is missing the name value"},
        {list({key_field(), field("id", "x", 0, 0)}), "Redefinition of table field \"id\""},
        {list({list({text("id"), number(1)})}), "Table field has a type value which is not a string"},
        {list({list({text("id"), text("t"), text("0")})}), "Table field has a nullable value which is not an integer"},
        {list({field("id", "t", -1, 2)}), "Table field has a bad nullable value -1"},
        {list({list({text("id"), text("t"), number(0)})}), "Table field is missing the optimize value"},
        {list({field("id", "t", 0, 3)}), "Table field has a bad optimize value 3"},
        {list({key_field(), field("b", "t", 0, 1), field("c", "t", 0, 2)}), "Table has multiple primary keys"},
        {list({list({text("id"), text("t"), number(0), number(2), text("x")})}),
         "Found field links list which is not an array"},
        {with_link(text("x")), "Found a field link which is not an array"},
        {with_link(list({number(1)})), "Field link has a name value which is not a string"},
        {with_link(list({text("u")})), "Field link is missing the direction value"},
        {with_link(link("u", -1)), "Field link has a bad direction value"},
        {list({field("a", "t", 0, 1), field("b", "t", 0, 0)}), "Table has no primary key"},
    };
    for (const auto& [fields, message] : field_cases) {
        EXPECT_EQ(table_error(fields), message);
    }
    auto three = [] { return list({key_field(), field("name", "t", 1, 0), field("note", "t", 0, 0)}); };
    const cases_t row_cases = {
        {list({text("x")}), "Table initilizer row is not of an array type"},
        {list({list({text("1"), text("2")})}), "Bad number of values in a table initializer row, expected 3, got 2"},
        {list({list({text("1"), null(), null()})}), "Non-nullable field has a null initializer value"},
        {list({list({text("1"), number(2), text("x")})}), "Table initializer field is not of a null or string type"},
    };
    for (const auto& [rows, message] : row_cases) {
        EXPECT_EQ(table_error(three(), rows), message);
    }
    EXPECT_EQ(hash_count(out.tables.hash), 0u);

    ok(handler_dump_table, {text("t"), number(1), list({key_field(), field("Id", "x", 1, 1, list({link("later", 1)}))}),
                            list({list({text("1"), null()})})});
    EXPECT_EQ(stored(out.tables, "t"), "['t', 1, [['id', 'id_t', 0, 2, []], ['Id', 'x', 1, 1, [['later', 1]]]], "
                                       "[['1', null]]]");
    EXPECT_EQ(table_error(list({key_field()})), "Redefinition of table \"t\"");
}

TEST_F(builtin_test, views_types_and_sequences_keep_their_own_name_spaces)
{
    ok(handler_dump_table, {text("t"), number(0), list({key_field()}), list({})});
    ok(handler_dump_view, {text("v"), text("")});
    EXPECT_EQ(error(handler_dump_view, {text("t"), text("x")}), "Redefinition of view \"t\"");
    EXPECT_EQ(error(handler_dump_view, {text("v"), text("x")}), "Redefinition of view \"v\"");
    ok(handler_dump_type, {text("t"), text("integer")});
    EXPECT_EQ(error(handler_dump_type, {text("t"), text("text")}), "Redefinition of type \"t\"");
    ok(handler_dump_sequence, {text("t"), number(-5)});
    EXPECT_EQ(error(handler_dump_sequence, {text("t"), number(1)}), "Redefinition of sequence \"t\"");
    EXPECT_EQ(stored(out.views, "v") + stored(out.types, "t") + stored(out.sequences, "t"),
              "['v', '']['t', 'integer']['t', -5]");
}

TEST_F(builtin_test, dump_plsql_checks_every_shape_before_the_function_name)
{
    auto var = [](const char* name) { return list({text(name), text("int_t")}); };
    auto returns = [] { return list({text("int_t"), number(0)}); };
    auto plsql_error = [](sql_value_t ret, sql_value_t args, sql_value_t locals) {
        return error(handler_dump_plsql, {text("f"), ret, args, locals, text("")});
    };
    ok(handler_dump_plsql, {text("f"), list({text("int_t"), number(1)}), list({var("a")}), list({}), text("body")});
    const cases_t return_cases = {
        {list({}), "Return definition is missing a return type"},
        {list({text("int_t"), text("1")}), "Return definition has a setof flag which is not an integer"},
        {list({text("int_t"), number(-1)}), "Return definition has a bad value of the setof flag"},
    };
    for (const auto& [ret, message] : return_cases) {
        EXPECT_EQ(plsql_error(ret, list({}), list({})), message);
    }
    const cases_t var_cases = {
        {text("a"), "PL/SQL variable has a type which is not an array"},
        {list({number(1)}), "PL/SQL variable has a name value which is not a string"},
        {list({text("a")}), "PL/SQL variable is missing the type value"},
    };
    for (const auto& [bad, message] : var_cases) {
        EXPECT_EQ(plsql_error(returns(), list({var("x")}), list({bad})), message);
    }
    EXPECT_EQ(plsql_error(returns(), list({var("a"), var("a")}), list({})), "Redefinition of argument name \"a\"");
    EXPECT_EQ(plsql_error(returns(), list({var("a")}), list({var("a")})), "Redefinition of local name \"a\"");
    EXPECT_EQ(plsql_error(returns(), list({}), list({})), "Redefinition of PL/SQL function \"f\"");
    EXPECT_EQ(stored(out.plsql, "f"), "['f', ['int_t', 1], [['a', 'int_t']], [], 'body']");
}

TEST_F(builtin_test, dump_query_joins_text_around_fields_and_tests_the_name_last)
{
    ok(handler_dump_query,
       {text("q"), text("SELECT id{FIELD:int}, name{FIELD:text} FROM users WHERE id = {ESC:1} AND {RAW:2}")});
    ok(handler_dump_query, {text("m"), text("{ESC:1}{RAW:2}{FIELD:a}{FIELD:a}{esc:1}")});
    ok(handler_dump_query, {text("e"), text("")});
    EXPECT_EQ(error(handler_dump_query, {text("q"), text("SELECT 2")}), "Redefinition of query \"q\"");
    EXPECT_EQ(show(&out.queries),
              "[q=['q', [[1, 'SELECT id, name FROM users WHERE id = '], [2, 1], [1, ' AND '], [3, 2]], ['int', 'text']], "
              "m=['m', [[2, 1], [3, 2], [1, '{esc:1}']], ['a', 'a']], e=['e', [], []]]");
}

TEST_F(builtin_test, prefix_pathname_accepts_backslashes_and_needs_an_absolute_prefix)
{
    sql_value_t result = call(handler_prefix_pathname, {text("/work/defs"), text("sub\\rows.init")});
    EXPECT_EQ(show(&result), "'/work/defs/sub/rows.init'");
    value_shutdown(&result);
    EXPECT_EQ(error(handler_prefix_pathname, {text("work/defs"), text("x")}), "Failed to prefix pathname");
}

size_t open_descriptors()
{
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    for (; readdir(dir) != nullptr; ++count) {
    }
    closedir(dir);
    return count;
}

TEST_F(builtin_test, read_table_initializer_releases_file_and_scanner_on_every_path)
{
    const std::string dir = testing::TempDir() + "builtin_test_init";
    mkdir(dir.c_str(), 0700);
    const std::string good = dir + "/good.init", bad = dir + "/bad.init", missing = dir + "/missing.init";
    const std::pair<std::string, const char*> files[] = {{good, "\"1\", \"admin\"\n\"2\", null\n"}, {bad, "\"1\""}};
    for (const auto& [name, body] : files) {
        FILE* file = fopen(name.c_str(), "w");
        fputs(body, file);
        fclose(file);
    }
    const size_t descriptors = open_descriptors();
    sql_value_t rows = call(handler_read_table_initializer, {text(good.c_str())});
    EXPECT_EQ(show(&rows), "[['1', 'admin'], ['2', null]]");
    value_shutdown(&rows);
    struct stat st;
    ASSERT_EQ(stat(good.c_str(), &st), 0);
    EXPECT_TRUE(compile_is_input_file(st.st_dev, st.st_ino));

    EXPECT_EQ(error(handler_read_table_initializer, {text(bad.c_str())}),
              "syntax error, unexpected $end, expecting INIT_ROW_SEPARATOR");
    EXPECT_EQ(table_init_data, nullptr);
    EXPECT_EQ(error(handler_read_table_initializer, {text(missing.c_str())}),
              "Failed to open initializer file \"" + missing + "\": 2(No such file or directory)");
    EXPECT_EQ(error(handler_read_table_initializer, {text(dir.c_str())}),
              "Failed to open initializer file \"" + dir + "\": 21(Is a directory)");
    EXPECT_EQ(open_descriptors(), descriptors);
    compile_forget_input_files();
}

TEST_F(builtin_test, fixup_resolves_later_types_rebuilds_records_and_checks_links)
{
    ok(handler_dump_plsql, {text("f"), list({text("int_t"), number(1), text("extra")}),
                            list({list({text("a"), text("int_t"), text("extra")})}), list({}), text("body")});
    ok(handler_dump_query, {text("q"), text("SELECT a{FIELD:int_t}")});
    sql_value_t wide = list({text("g"), text("int_t"), number(1), number(0), list({link("g", 1)}), text("extra")});
    ok(handler_dump_table, {text("u"), number(0), list({key_field(), wide}), list({})});
    ok(handler_dump_table, {text("g"), number(1), list({field("id", "int_t", 0, 2, list({link("u", 0)}))}), list({})});
    ok(handler_dump_type, {text("id_t"), text("serial")});
    ok(handler_dump_type, {text("int_t"), text("integer")});

    fixup_program_output(&out);
    EXPECT_EQ(show(&out.plsql) + show(&out.queries), "[f=['f', ['integer', 1], [['a', 'integer']], [], 'body']]"
                                                     "[q=['q', [[1, 'SELECT a']], ['integer']]]");
    EXPECT_EQ(show(&out.tables), "[u=['u', 0, [['id', 'serial', 0, 2, []], ['g', 'integer', 1, 0, [['g', 1]]]], []], "
                                 "g=['g', 1, [['id', 'integer', 0, 2, [['u', 0]]]], []]]");
}

TEST_F(builtin_test, fixup_reports_the_first_fault_walking_plsql_then_queries_then_tables)
{
    auto fixup = [&](bool plsql, bool query, const char* table_type, const char* link_to) {
        TearDown();
        SetUp();
        ok(handler_dump_view, {text("v"), text("SELECT 1")});
        ok(handler_dump_type, {text("int_t"), text("integer")});
        if (plsql) {
            ok(handler_dump_plsql, {text("f"), list({text("int_t"), number(0)}), list({}),
                                    list({list({text("l"), text("bad_plsql")})}), text("")});
        }
        if (query) {
            ok(handler_dump_query, {text("q"), text("{FIELD:bad_query}")});
        }
        ok(handler_dump_table,
           {text("t"), number(0), list({field("id", table_type, 0, 2, list({link(link_to, 1)}))}), list({})});
        return bailout_of([&] { fixup_program_output(&out); });
    };
    EXPECT_EQ(fixup(true, true, "bad_table", "v"), "Unable to resolve SQL type \"bad_plsql\"");
    EXPECT_EQ(fixup(false, true, "bad_table", "v"), "Unable to resolve SQL type \"bad_query\"");
    EXPECT_EQ(fixup(false, false, "bad_table", "v"), "Unable to resolve SQL type \"bad_table\"");
    EXPECT_EQ(fixup(false, false, "int_t", "v"), "Link to unknown table \"v\"");
}

}  // namespace
