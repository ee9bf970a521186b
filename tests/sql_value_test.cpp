#include <gtest/gtest.h>

#include <string>

#include "memory_pool.hpp"
#include "sql_value.hpp"
#include "utils.hpp"

namespace {

// A compact rendering of a value with its keys in order, e.g.
// [0=>1, "name"=>"x", 1=>[0=>null]].
std::string describe(const sql_value_t& value) {
    switch (value.type) {
    case VALUE_NULL: return "null";
    case VALUE_INTEGER: return std::to_string(value.integer);
    case VALUE_STRING: return "\"" + std::string(value.string) + "\"";
    case VALUE_ARRAY: {
        std::string text = "[";
        for (hash_iterator_t it = value.hash->first_in_list; it != nullptr; it = it->next_in_list) {
            if (it != value.hash->first_in_list) text += ", ";
            text += it->key_is_integer ? std::to_string(hash_item_key_integer(it))
                                       : "\"" + std::string(hash_item_key(it)) + "\"";
            text += "=>" + describe(*static_cast<const sql_value_t*>(hash_item_data(it)));
        }
        return text + "]";
    }
    }
    return "?";
}

void push_integer(sql_value_t& array, int32_t number) {
    sql_value_t element;
    value_init_integer(&element, number);
    value_push(&array, &element);
}

void push_text(sql_value_t& array, const char* text) {
    sql_value_t element;
    value_init_string_copy(&element, text);
    value_push(&array, &element);
}

void add_text_key(sql_value_t& array, const char* key, const char* text) {
    sql_value_t element;
    value_init_string_copy(&element, text);
    ASSERT_EQ(_hash_add_string(array.hash, key, &element, sizeof element, nullptr), 0);
}

// [0=>1, 1=>"text", 2=>[0=>null, 1=>"inner"], "name"=>"x"]
void build_sample(sql_value_t& array) {
    value_init_array(&array);
    push_integer(array, 1);
    push_text(array, "text");
    sql_value_t nested;
    value_init_array(&nested);
    sql_value_t null_value;
    value_init_null(&null_value);
    value_push(&nested, &null_value);
    push_text(nested, "inner");
    value_push(&array, &nested);
    add_text_key(array, "name", "x");
}

const char* const SAMPLE = "[0=>1, 1=>\"text\", 2=>[0=>null, 1=>\"inner\"], \"name\"=>\"x\"]";

TEST(SqlValue, DeepCopyIsIndependentOfItsSourceBothWays) {
    const size_t start = memory_pool_block_count();
    sql_value_t source;
    build_sample(source);
    ASSERT_EQ(describe(source), SAMPLE);
    const size_t source_blocks = memory_pool_block_count() - start;

    sql_value_t first;
    value_deep_copy(&first, &source);
    EXPECT_EQ(describe(first), SAMPLE);
    EXPECT_EQ(memory_pool_block_count() - start, 2 * source_blocks);
    EXPECT_NE(first.hash, source.hash);
    EXPECT_NE(value_slot(&first, 1)->string, value_slot(&source, 1)->string);
    EXPECT_NE(value_slot(&first, 2)->hash, value_slot(&source, 2)->hash);

    value_shutdown(&first);  // releasing the copy leaves the source intact
    EXPECT_EQ(describe(source), SAMPLE);

    sql_value_t second;
    value_deep_copy(&second, &source);
    value_shutdown(&source);  // and releasing the source leaves the copy intact
    EXPECT_EQ(describe(second), SAMPLE);
    value_shutdown(&second);
    EXPECT_EQ(memory_pool_block_count(), start);
}

TEST(SqlValue, DeepCopyKeepsKeysOrderAndTheNextPushKey) {
    sql_value_t source;
    build_sample(source);
    sql_value_t copy;
    value_deep_copy(&copy, &source);
    push_integer(copy, 4);
    EXPECT_EQ(describe(copy), "[0=>1, 1=>\"text\", 2=>[0=>null, 1=>\"inner\"], \"name\"=>\"x\", 3=>4]");
    value_shutdown(&copy);
    value_shutdown(&source);

    // Explicit keys out of order: the copy's next push follows the largest.
    value_init_array(&source);
    sql_value_t element;
    value_init_integer(&element, 7);
    ASSERT_EQ(_hash_add_integer(source.hash, 10, &element, sizeof element, nullptr), 0);
    add_text_key(source, "b", "y");
    ASSERT_EQ(_hash_add_integer(source.hash, -3, &element, sizeof element, nullptr), 0);
    value_deep_copy(&copy, &source);
    push_integer(copy, 8);
    EXPECT_EQ(describe(copy), "[10=>7, \"b\"=>\"y\", -3=>7, 11=>8]");
    value_shutdown(&copy);
    value_shutdown(&source);
}

TEST(SqlValue, ArrayShutdownReleasesEveryElementOnce) {
    const size_t start = memory_pool_block_count();
    sql_value_t array;
    value_init_array(&array);
    sql_value_t element;
    value_init_string_attach(&element, copy_string("attached"));
    value_push(&array, &element);
    value_init_string_clen(&element, "abcdef", 3);
    value_push(&array, &element);
    sql_value_t sample;
    build_sample(sample);
    value_push(&array, &sample);
    push_integer(array, -1);
    EXPECT_EQ(describe(array), std::string("[0=>\"attached\", 1=>\"abc\", 2=>") + SAMPLE + ", 3=>-1]");

    value_shutdown(&array);
    EXPECT_EQ(memory_pool_block_count(), start);

    // Values without payload need no release, however often it is asked for.
    value_init_integer(&element, 3);
    value_shutdown(&element);
    value_shutdown(&element);
    value_init_null(&element);
    value_shutdown(&element);
    EXPECT_EQ(memory_pool_block_count(), start);
}

TEST(SqlValueDeathTest, BrokenInvariantsEndTheProcess) {
    sql_value_t number;
    value_init_integer(&number, 1);
    sql_value_t element;
    value_init_null(&element);
    EXPECT_DEATH(value_push(&number, &element), "array->type == VALUE_ARRAY");

    sql_value_t bad;
    bad.type = static_cast<value_type_t>(9);
    sql_value_t dest;
    EXPECT_DEATH(value_shutdown(&bad), "Attempt to shutdown value at .* of unknown type 9");
    EXPECT_DEATH(value_deep_copy(&dest, &bad), "Attempt to copy value at .* of unknown type 9");
}

}  // namespace
