// The built-ins called directly: the records they store, what a failing call
// leaves behind and the fix-up. Their messages are run through the binary
// in messages.txt.
#include "builtin.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "compile.hpp"
#include "input_file.hpp"
#include "memory_pool.hpp"
#include "native_handler.hpp"
#include "test_files.hpp"
#include "test_values.hpp"

namespace {

sql_value_t key_field() { return field("id", "id_t", 0, OPTIMIZE_PRIMARY); }

struct builtin_test : testing::Test {
    program_output_t out{};
    at_statement statement;

    void SetUp() override {
        output_init(&out);
        executor_globals.output = &out;
    }
    void TearDown() override {
        program_output_shutdown(&out);
        executor_globals.output = nullptr;
    }

    // Calls `handler` on `args`, which are released right after: what the
    // handler stored must be its own copy. A bail-out leaves them to the pool.
    static sql_value_t call(native_handler_t handler, std::initializer_list<sql_value_t> args) {
        sql_value_t list_of_args = list(args);
        sql_value_t result;
        handler(&result, list_of_args.hash);
        value_shutdown(&list_of_args);
        return result;
    }
    static void ok(native_handler_t handler, std::initializer_list<sql_value_t> args) {
        EXPECT_EQ(call(handler, args).type, VALUE_NULL);
    }
    static std::string error(native_handler_t handler, std::initializer_list<sql_value_t> args) {
        return bailout_of([&] { call(handler, args); });
    }
    // The pool holds no more than an empty output again once the output is
    // released: a handler keeps nothing of its own past the call.
    void expect_output_alone_in_pool(size_t blocks_of_empty_output) {
        program_output_shutdown(&out);
        output_init(&out);
        EXPECT_EQ(memory_pool_block_count(), blocks_of_empty_output);
    }
    std::string everything() const {
        std::string text;
        for (const sql_value_t* member :
             {&out.plsql, &out.queries, &out.sequences, &out.tables, &out.types, &out.views}) {
            text += show(member) + "\n";
        }
        return text;
    }
};

TEST_F(builtin_test, valid_calls_store_records_of_their_own) {
    const size_t empty = memory_pool_block_count();
    ok(handler_dump_table, {text("t"), number(1), list({key_field(), field("Id", "x", 1, 1, list({link("later", 1)}))}),
                            list({list({text("1"), null()})})});
    ok(handler_dump_view, {text("v"), text("")});
    // Types and sequences have name spaces of their own; tables and views share one.
    ok(handler_dump_type, {text("t"), text("integer")});
    ok(handler_dump_sequence, {text("t"), number(-5)});
    ok(handler_dump_plsql,
       {text("f"), list({text("int_t"), number(1)}), list({list({text("a"), text("int_t")})}), list({}), text("body")});
    // Text around field markers stays one piece; unknown markers are text.
    ok(handler_dump_query,
       {text("q"), text("SELECT id{FIELD:int}, name{FIELD:text} FROM users WHERE id = {ESC:1} AND {RAW:2}")});
    ok(handler_dump_query, {text("m"), text("{ESC:1}{RAW:2}{FIELD:a}{FIELD:a}{esc:1}")});
    ok(handler_dump_query, {text("e"), text("")});
    EXPECT_EQ(everything(),
              "[f=['f', ['int_t', 1], [['a', 'int_t']], [], 'body']]\n"
              "[q=['q', [[1, 'SELECT id, name FROM users WHERE id = '], [2, 1], [1, ' AND '], [3, 2]], "
              "['int', 'text']], "
              "m=['m', [[2, 1], [3, 2], [1, '{esc:1}']], ['a', 'a']], e=['e', [], []]]\n"
              "[t=['t', -5]]\n"
              "[t=['t', 1, [['id', 'id_t', 0, 2, []], ['Id', 'x', 1, 1, [['later', 1]]]], [['1', null]]]]\n"
              "[t=['t', 'integer']]\n"
              "[v=['v', '']]\n");

    sql_value_t path = call(handler_prefix_pathname, {text("/work/defs"), text("sub\\rows.init")});
    EXPECT_EQ(show(&path), "'/work/defs/sub/rows.init'");
    value_shutdown(&path);
    expect_output_alone_in_pool(empty);
}

TEST_F(builtin_test, a_failing_call_stores_nothing) {
    ok(handler_dump_query, {text("q"), text("SELECT 1")});
    const std::string before = everything();
    auto table = [](int32_t volatile_flag, sql_value_t fields, sql_value_t rows = list({})) {
        return error(handler_dump_table, {text("t"), number(volatile_flag), fields, rows});
    };
    auto plsql = [](int32_t setof, sql_value_t args, sql_value_t locals) {
        return error(handler_dump_plsql, {text("f"), list({text("t"), number(setof)}), args, locals, text("")});
    };
    auto var = [](const char* name) { return list({text(name), text("t")}); };
    // Negative flags must not pass as small ones; the grammar never makes them.
    EXPECT_EQ(table(-1, list({key_field()})), "Table has bad volatile flag");
    EXPECT_EQ(table(0, list({field("id", "t", -1, 2)})), "Table field has a bad nullable value -1");
    EXPECT_EQ(table(0, list({field("id", "t", 0, -1)})), "Table field has a bad optimize value -1");
    EXPECT_EQ(table(0, list({field("id", "t", 0, 2, list({link("u", -1)}))})), "Field link has a bad direction value");
    EXPECT_EQ(plsql(-1, list({}), list({})), "Return definition has a bad value of the setof flag");
    // Faults found after the first checks passed.
    EXPECT_EQ(table(0, list({key_field(), field("n", "t", 0, 0)}),
                    list({list({text("1"), text("a")}), list({text("2"), null()})})),
              "Non-nullable field has a null initializer value");
    EXPECT_EQ(plsql(0, list({var("a")}), list({var("b"), var("a")})), "Redefinition of local name \"a\"");
    EXPECT_EQ(error(handler_dump_query, {text("q"), text("SELECT {FIELD:x} 2")}), "Redefinition of query \"q\"");
    EXPECT_EQ(everything(), before);
}

// A value of `type`, and one of another type.
sql_value_t of_type(value_type_t type) {
    return type == VALUE_STRING ? text("t") : type == VALUE_INTEGER ? number(0) : list({});
}
sql_value_t not_of_type(value_type_t type) { return type == VALUE_STRING ? number(0) : text("t"); }

TEST_F(builtin_test, each_builtin_takes_exactly_its_arguments_of_their_types) {
    struct signature_t {
        native_handler_t handler;
        std::vector<value_type_t> types;
    };
    const signature_t builtins[] = {
        {handler_dump_table, {VALUE_STRING, VALUE_INTEGER, VALUE_ARRAY, VALUE_ARRAY}},
        {handler_dump_view, {VALUE_STRING, VALUE_STRING}},
        {handler_dump_type, {VALUE_STRING, VALUE_STRING}},
        {handler_dump_sequence, {VALUE_STRING, VALUE_INTEGER}},
        {handler_dump_plsql, {VALUE_STRING, VALUE_ARRAY, VALUE_ARRAY, VALUE_ARRAY, VALUE_STRING}},
        {handler_dump_query, {VALUE_STRING, VALUE_STRING}},
        {handler_prefix_pathname, {VALUE_STRING, VALUE_STRING}},
        {handler_read_table_initializer, {VALUE_STRING}},
    };
    // The first `count` arguments of the right types, argument `wrong` (1-based) of another.
    auto message = [](const signature_t& builtin, size_t count, size_t wrong = 0) {
        sql_value_t args = list({});
        for (size_t position = 1; position <= count; ++position) {
            value_type_t type = builtin.types[std::min(position, builtin.types.size()) - 1];
            sql_value_t arg = position == wrong ? not_of_type(type) : of_type(type);
            value_push(&args, &arg);
        }
        return bailout_of([&] {
            sql_value_t result;
            builtin.handler(&result, args.hash);
        });
    };
    for (const signature_t& builtin : builtins) {
        const size_t count = builtin.types.size();
        SCOPED_TRACE(&builtin - builtins);
        EXPECT_EQ(message(builtin, count - 1), "Missing argument " + std::to_string(count));
        EXPECT_EQ(message(builtin, count + 1), "Superfluous argument " + std::to_string(count + 1));
        for (size_t wrong = 1; wrong <= count; ++wrong) {
            EXPECT_EQ(message(builtin, count, wrong), "Bad type of argument " + std::to_string(wrong));
        }
    }
    EXPECT_EQ(everything(), "[]\n[]\n[]\n[]\n[]\n[]\n");
}

size_t open_descriptors() {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return static_cast<size_t>(std::distance(begin(fds), end(fds)));
}

TEST_F(builtin_test, read_table_initializer_releases_file_and_scanner_on_every_path) {
    const TemporaryFolder folder;
    const std::string good = folder.write("good.init", "\"1\", \"admin\"\n\"2\", null\n");
    const std::string bad = folder.write("bad.init", "\"1\"");
    const size_t descriptors = open_descriptors();
    sql_value_t rows = call(handler_read_table_initializer, {text(good.c_str())});
    EXPECT_EQ(show(&rows), "[['1', 'admin'], ['2', null]]");
    value_shutdown(&rows);
    for (const std::string& failing : {bad, folder.path() + "/missing.init", folder.path()}) {
        EXPECT_NE(error(handler_read_table_initializer, {text(failing.c_str())}), "no bail-out") << failing;
        EXPECT_EQ(table_init_data, nullptr);
    }
    EXPECT_EQ(open_descriptors(), descriptors);
    input_file_forget_all();
}

TEST_F(builtin_test, fixup_resolves_later_types_and_rebuilds_records_in_order) {
    const size_t empty = memory_pool_block_count();
    ok(handler_dump_plsql, {text("f"), list({text("int_t"), number(1), text("extra")}),
                            list({list({text("a"), text("int_t"), text("extra")})}), list({}), text("body")});
    ok(handler_dump_query, {text("q"), text("SELECT a{FIELD:int_t}")});
    sql_value_t wide = list({text("g"), text("int_t"), number(1), number(0), list({link("g", 1)}), text("extra")});
    ok(handler_dump_table, {text("u"), number(0), list({key_field(), wide}), list({})});
    ok(handler_dump_table, {text("g"), number(1), list({field("id", "int_t", 0, 2, list({link("u", 0)}))}), list({})});
    ok(handler_dump_type, {text("id_t"), text("serial")});
    ok(handler_dump_type, {text("int_t"), text("integer")});

    fixup_program_output(&out);
    EXPECT_EQ(show(&out.plsql) + show(&out.queries),
              "[f=['f', ['integer', 1], [['a', 'integer']], [], 'body']]"
              "[q=['q', [[1, 'SELECT a']], ['integer']]]");
    EXPECT_EQ(show(&out.tables),
              "[u=['u', 0, [['id', 'serial', 0, 2, []], ['g', 'integer', 1, 0, [['g', 1]]]], []], "
              "g=['g', 1, [['id', 'integer', 0, 2, [['u', 0]]]], []]]");
    expect_output_alone_in_pool(empty);
}

TEST_F(builtin_test, fixup_reports_the_first_fault_walking_plsql_then_queries_then_tables) {
    // Each round mends the fault the round before reported.
    std::string types[] = {"bad_plsql", "bad_query", "bad_table", "v"};
    const char* expected[] = {"Unable to resolve SQL type \"bad_plsql\"", "Unable to resolve SQL type \"bad_query\"",
                              "Unable to resolve SQL type \"bad_table\"", "Link to unknown table \"v\"", "no bail-out"};
    for (int round = 0; round < 5; ++round) {
        TearDown();
        SetUp();
        ok(handler_dump_view, {text("v"), text("SELECT 1")});
        ok(handler_dump_type, {text("int_t"), text("integer")});
        ok(handler_dump_plsql, {text("f"), list({text("int_t"), number(0)}), list({}),
                                list({list({text("l"), text(types[0].c_str())})}), text("")});
        ok(handler_dump_query, {text("q"), text(("{FIELD:" + types[1] + "}").c_str())});
        sql_value_t key = field("id", types[2].c_str(), 0, 2, list({link(types[3].c_str(), 1)}));
        ok(handler_dump_table, {text("t"), number(0), list({key}), list({})});
        EXPECT_EQ(bailout_of([&] { fixup_program_output(&out); }), expected[round]);
        if (round < 4) types[round] = round < 3 ? "int_t" : "t";
    }
}

TEST_F(builtin_test, array_holds_copies_that_outlive_its_arguments) {
    sql_value_t inner = call(handler_array, {text("x"), number(1)});
    sql_value_t outer = call(handler_array, {text("x"), inner, null()});
    EXPECT_EQ(show(&outer), "['x', ['x', 1], null]");
    value_shutdown(&outer);
    sql_value_t empty = call(handler_array, {});
    EXPECT_EQ(show(&empty), "[]");
    value_shutdown(&empty);
}

}  // namespace
