#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "memory_pool.hpp"
#include "sql_value.hpp"
#include "test_values.hpp"

namespace {

// [0=1, 1='text', 2=[0=null, 1='inner'], name='x']
sql_value_t sample() {
    sql_value_t array = list({number(1), text("text"), list({null(), text("inner")})});
    sql_value_t element = text("x");
    EXPECT_EQ(_hash_add_string(array.hash, "name", &element, sizeof element, nullptr), 0);
    return array;
}

const std::string SAMPLE = "[0=1, 1='text', 2=[0=null, 1='inner'], name='x']";

TEST(SqlValue, DeepCopyIsIndependentOfItsSourceBothWaysAndKeepsKeysAndTheNextPushKey) {
    const size_t start = memory_pool_block_count();
    sql_value_t source = sample();
    const size_t source_blocks = memory_pool_block_count() - start;
    sql_value_t copy;
    value_deep_copy(&copy, &source);
    // Each of the copy's three texts and two arrays is storage of its own.
    EXPECT_GE(memory_pool_block_count() - start - source_blocks, 5u);
    value_shutdown(&copy);  // releasing the copy leaves the source intact
    EXPECT_EQ(memory_pool_block_count() - start, source_blocks);
    EXPECT_EQ(show(&source, true), SAMPLE);
    value_deep_copy(&copy, &source);
    value_shutdown(&source);  // and releasing the source leaves the copy intact
    sql_value_t element = number(4);
    value_push(&copy, &element);
    EXPECT_EQ(show(&copy, true), "[0=1, 1='text', 2=[0=null, 1='inner'], name='x', 3=4]");
    value_shutdown(&copy);
    EXPECT_EQ(memory_pool_block_count(), start);

    // Explicit keys out of order: the copy's next push follows the largest.
    value_init_array(&source);
    element = number(7);
    ASSERT_EQ(_hash_add_integer(source.hash, 10, &element, sizeof element, nullptr), 0);
    ASSERT_EQ(_hash_add_integer(source.hash, -3, &element, sizeof element, nullptr), 0);
    value_deep_copy(&copy, &source);
    element = number(8);
    value_push(&copy, &element);
    EXPECT_EQ(show(&copy, true), "[10=7, -3=7, 11=8]");
    value_shutdown(&copy);
    value_shutdown(&source);
}

// A value nested 300,000 deep, [n, [n, [n, ...], "after"], "after"]: copied
// and released without recursion, which would need some 30 MiB of stack.
TEST(SqlValue, DeeplyNestedArraysAreCopiedAndReleasedWithoutRecursion) {
    constexpr int DEPTH = 300000;
    const size_t start = memory_pool_block_count();
    sql_value_t source = list({text("leaf")});
    for (int level = 1; level < DEPTH; ++level) source = list({number(level), source, text("after")});
    sql_value_t copy;
    value_deep_copy(&copy, &source);
    value_shutdown(&source);

    int depth = 1;
    for (const sql_value_t* level = &copy; hash_count(level->hash) == 3; ++depth) {
        ASSERT_EQ(value_slot(level, 0)->integer, DEPTH - depth);
        ASSERT_STREQ(value_slot(level, 2)->string, "after");
        level = value_slot(level, 1);
        ASSERT_EQ(level->type, VALUE_ARRAY);
    }
    EXPECT_EQ(depth, DEPTH);
    value_shutdown(&copy);
    EXPECT_EQ(memory_pool_block_count(), start);
}

TEST(SqlValue, SlotsFillExactlyTheCountAskedForAndNullTheAbsentOnes) {
    // Keys past the count, negative, textual or out of order; slot 2 absent.
    sql_value_t record = list({});
    for (int32_t key : {6, 4, 5, 0, -1, 3, 1}) {
        sql_value_t element = number(key);
        ASSERT_EQ(_hash_add_integer(record.hash, key, &element, sizeof element, nullptr), 0);
    }
    sql_value_t element = text("x");
    ASSERT_EQ(_hash_add_string(record.hash, "2", &element, sizeof element, nullptr), 0);
    sql_value_t guard = null();
    sql_value_t* slots[7] = {&guard, &guard, &guard, &guard, &guard, &guard, &guard};
    value_slots(&record, slots, 5);
    for (int32_t key : {0, 1, 3, 4}) {
        ASSERT_NE(slots[key], nullptr) << key;
        EXPECT_EQ(slots[key]->integer, key);
    }
    EXPECT_EQ(slots[2], nullptr);
    // The caller's storage ends at the count: nothing past it is written.
    EXPECT_EQ(slots[5], &guard);
    EXPECT_EQ(slots[6], &guard);
    value_shutdown(&record);

    // A value that is not an array has every slot absent.
    sql_value_t scalar = number(1);
    value_slots(&scalar, slots, 5);
    EXPECT_EQ(std::count(slots, slots + 5, nullptr), 5);
    EXPECT_EQ(slots[5], &guard);
}

TEST(SqlValueTest, BrokenInvariantsAreFatalErrors) {
    sql_value_t scalar = number(1);
    sql_value_t element = null();
    EXPECT_TRUE(fatal_error_matches([&] { value_push(&scalar, &element); }, "array->type == VALUE_ARRAY"));

    sql_value_t bad;
    bad.type = static_cast<value_type_t>(9);
    EXPECT_TRUE(
        fatal_error_matches([&] { value_shutdown(&bad); }, "Attempt to shutdown value at .* of unknown type 9"));
    EXPECT_TRUE(
        fatal_error_matches([&] { value_deep_copy(&element, &bad); }, "Attempt to copy value at .* of unknown type 9"));
}

}  // namespace
