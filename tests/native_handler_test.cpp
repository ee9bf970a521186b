#include "native_handler.hpp"

#include <gtest/gtest.h>

#include <string>

#include "exception.hpp"
#include "execute.hpp"

namespace {

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
    // Replaces the arguments by texts ("s") and integers ("i") as `kinds` says.
    void set_args(const char* kinds)
    {
        TearDown();
        SetUp();
        for (; *kinds != '\0'; ++kinds) {
            sql_value_t value;
            *kinds == 's' ? value_init_string_copy(&value, "x") : value_init_integer(&value, 1);
            _hash_push_integer(&args, &value, sizeof value, nullptr);
        }
    }
    // What fetching (text, text) prints.
    std::string fetch_two_texts()
    {
        sql_value_t* got[2] = {};
        const native_fetch_t fetch[] = {{&got[0], VALUE_STRING}, {&got[1], VALUE_STRING}, {nullptr, -1}};
        testing::internal::CaptureStderr();
        try {
            fetch_native_args(&args, fetch);
            EXPECT_EQ(got[1], hash_find_integer(&args, 1));
        } catch (const bailout_exception&) {
        }
        return testing::internal::GetCapturedStderr();
    }
};

TEST_F(native_handler_test, fetch_reports_the_first_problem_in_argument_order)
{
    set_args("ss");
    EXPECT_EQ(fetch_two_texts(), "");
    set_args("s");
    EXPECT_EQ(fetch_two_texts(), "Missing argument 2 in /defs/main.def:7\n");
    set_args("si");
    EXPECT_EQ(fetch_two_texts(), "Bad type of argument 2 in /defs/main.def:7\n");
    set_args("i");
    EXPECT_EQ(fetch_two_texts(), "Bad type of argument 1 in /defs/main.def:7\n");
    set_args("ssi");
    EXPECT_EQ(fetch_two_texts(), "Superfluous argument 3 in /defs/main.def:7\n");

    set_args("si");
    sql_value_t* any[2] = {};
    const native_fetch_t fetch[] = {{&any[0], -1}, {&any[1], -1}, {nullptr, -1}};
    fetch_native_args(&args, fetch);
    EXPECT_EQ(any[1]->type, VALUE_INTEGER);
}

TEST_F(native_handler_test, array_holds_copies_that_outlive_the_arguments)
{
    set_args("si");
    sql_value_t inner;
    handler_array(&inner, &args);
    _hash_push_integer(&args, &inner, sizeof inner, nullptr);

    sql_value_t result;
    handler_array(&result, &args);
    set_args("");
    ASSERT_EQ(hash_count(result.hash), 3u);
    EXPECT_STREQ(value_slot(&result, 0)->string, "x");
    const sql_value_t* copy = value_slot(&result, 2);
    ASSERT_EQ(copy->type, VALUE_ARRAY);
    EXPECT_EQ(value_slot(copy, 1)->integer, 1);
    value_shutdown(&result);

    handler_array(&result, &args);
    EXPECT_EQ(hash_count(result.hash), 0u);
    value_shutdown(&result);
}

}  // namespace
