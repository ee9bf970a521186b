#include "native_handler.hpp"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "builtin.hpp"
#include "exception.hpp"
#include "execute.hpp"

namespace {

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

sql_value_t list(std::initializer_list<sql_value_t> items)
{
    sql_value_t v;
    value_init_array(&v);
    for (sql_value_t item : items) {
        value_push(&v, &item);
    }
    return v;
}

struct native_handler_test : testing::Test {
    hash_table_t args{};
    sql_node_t statement{};

    void SetUp() override
    {
        _hash_init(&args, HASH_CHAINS, value_dtor);
        statement.pathname = "/defs/main.def";
        statement.line = 7;
        executor_globals.current = &statement;
    }
    void TearDown() override
    {
        hash_shutdown(&args);
        executor_globals.current = nullptr;
    }
    void push(sql_value_t value) { _hash_push_integer(&args, &value, sizeof value, nullptr); }

    // The message printed by the bail-out that fetching (text, text) causes.
    std::string fetch_two_texts_error()
    {
        sql_value_t* a = nullptr;
        sql_value_t* b = nullptr;
        const native_fetch_t fetch[] = {{&a, VALUE_STRING}, {&b, VALUE_STRING}, {nullptr, -1}};
        testing::internal::CaptureStderr();
        try {
            fetch_native_args(&args, fetch);
        } catch (const bailout_exception&) {
            return testing::internal::GetCapturedStderr();
        }
        testing::internal::GetCapturedStderr();
        return "no bail-out";
    }
};

TEST_F(native_handler_test, registry_lists_the_nine_builtins_in_order_then_the_end_marker)
{
    const char* names[] = {"array", "dump_plsql", "dump_query", "dump_sequence", "dump_table",
                           "prefix_pathname", "read_table_initializer", "dump_type", "dump_view"};
    const native_handler_t handlers[] = {handler_array, handler_dump_plsql, handler_dump_query,
                                         handler_dump_sequence, handler_dump_table, handler_prefix_pathname,
                                         handler_read_table_initializer, handler_dump_type, handler_dump_view};
    for (int i = 0; i < 9; ++i) {
        EXPECT_STREQ(handlers_builtin[i].name, names[i]);
        EXPECT_EQ(handlers_builtin[i].handler, handlers[i]) << names[i];
    }
    EXPECT_EQ(handlers_builtin[9].name, nullptr);
    EXPECT_EQ(handlers_builtin[9].handler, nullptr);
}

TEST_F(native_handler_test, fetch_stores_pointers_into_the_argument_table_and_accepts_any_type_for_minus_one)
{
    push(text("a"));
    push(number(3));
    push(list({}));
    sql_value_t null_value;
    value_init_null(&null_value);
    push(null_value);
    sql_value_t* got[4] = {};
    const native_fetch_t fetch[] = {{&got[0], VALUE_STRING}, {&got[1], -1}, {&got[2], -1}, {&got[3], -1}, {nullptr, -1}};
    fetch_native_args(&args, fetch);
    for (int32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(got[i], hash_find_integer(&args, i));
    }
}

TEST_F(native_handler_test, fetch_reports_only_the_first_problem_in_argument_order)
{
    push(text("a"));
    EXPECT_EQ(fetch_two_texts_error(), "Missing argument 2 in /defs/main.def:7\n");
    push(number(1));
    EXPECT_EQ(fetch_two_texts_error(), "Bad type of argument 2 in /defs/main.def:7\n");

    hash_shutdown(&args);
    _hash_init(&args, HASH_CHAINS, value_dtor);
    push(number(1));
    EXPECT_EQ(fetch_two_texts_error(), "Bad type of argument 1 in /defs/main.def:7\n");

    hash_shutdown(&args);
    _hash_init(&args, HASH_CHAINS, value_dtor);
    push(text("a"));
    push(text("b"));
    push(number(5));  // a wrong type past the end is still a surplus
    EXPECT_EQ(fetch_two_texts_error(), "Superfluous argument 3 in /defs/main.def:7\n");
}

TEST_F(native_handler_test, array_copies_every_argument_so_the_result_outlives_them)
{
    sql_value_t result;
    handler_array(&result, &args);
    ASSERT_EQ(result.type, VALUE_ARRAY);
    EXPECT_EQ(hash_count(result.hash), 0u);
    value_shutdown(&result);

    push(number(1));
    push(text("two"));
    push(list({text("x"), number(9)}));
    handler_array(&result, &args);
    hash_shutdown(&args);
    _hash_init(&args, HASH_CHAINS, value_dtor);

    ASSERT_EQ(hash_count(result.hash), 3u);
    EXPECT_EQ(value_slot(&result, 0)->integer, 1);
    EXPECT_STREQ(value_slot(&result, 1)->string, "two");
    const sql_value_t* inner = value_slot(&result, 2);
    ASSERT_EQ(inner->type, VALUE_ARRAY);
    EXPECT_STREQ(value_slot(inner, 0)->string, "x");
    EXPECT_EQ(value_slot(inner, 1)->integer, 9);
    value_shutdown(&result);
}

}  // namespace
