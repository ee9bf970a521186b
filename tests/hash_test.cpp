#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "hash.hpp"
#include "memory_pool.hpp"

namespace {

// "#5" for an integer key, "\"5\"" for a text key.
std::string key_of(const hash_item_t* item) {
    if (item->key_is_integer) return "#" + std::to_string(hash_item_key_integer(item));
    return "\"" + std::string(hash_item_key(item)) + "\"";
}

std::vector<std::string> keys_in_order(const hash_table_t& table) {
    std::vector<std::string> keys;
    for (hash_iterator_t it = table.first_in_list; it != nullptr; it = it->next_in_list) keys.push_back(key_of(it));
    return keys;
}

int data_int(const void* data) {
    int value = 0;
    std::memcpy(&value, data, sizeof value);
    return value;
}

int add_string(hash_table_t& table, const char* key, int data, hash_iterator_t* ppitem = nullptr) {
    return _hash_add_string(&table, key, &data, sizeof data, ppitem);
}

int add_integer(hash_table_t& table, int32_t key, int data, hash_iterator_t* ppitem = nullptr) {
    return _hash_add_integer(&table, key, &data, sizeof data, ppitem);
}

int32_t push(hash_table_t& table, int data) {
    hash_iterator_t item = nullptr;
    _hash_push_integer(&table, &data, sizeof data, &item);
    return hash_item_key_integer(item);
}

// A table of int records without destructor; every test must leave the pool
// as it found it once the table is shut down.
class HashTable : public ::testing::Test {
protected:
    void SetUp() override {
        start_blocks_ = memory_pool_block_count();
        _hash_init(&table_, HASH_CHAINS, nullptr);
    }
    void TearDown() override {
        hash_shutdown(&table_);
        EXPECT_EQ(table_.count, 0u);
        EXPECT_EQ(table_.first_in_list, nullptr);
        EXPECT_EQ(table_.last_in_list, nullptr);
        EXPECT_EQ(memory_pool_block_count(), start_blocks_);
    }

    hash_table_t table_;
    size_t start_blocks_ = 0;
};

TEST_F(HashTable, ChainIndexIsTheSignedByteSumOfTheKey) {
    struct chain_case {
        bool integer;
        const char* text;
        int32_t number;
        size_t chain;
    };
    const chain_case cases[] = {
        {false, "a", 0, 15}, {false, "name", 0, 7}, {true, nullptr, 0, 0},
        {true, nullptr, 1, 1}, {true, nullptr, 255, 36}, {true, nullptr, -1, 33},
        {false, "\xff", 0, 36},  // a high byte counts as -1, as in the integer 255
    };
    for (const chain_case& c : cases) {
        const std::string label = c.integer ? std::to_string(c.number) : std::string("\"") + c.text + "\"";
        if (c.integer) {
            EXPECT_EQ(hash_calculate(&table_, &c.number, sizeof c.number), c.chain) << label;
        } else {
            EXPECT_EQ(hash_calculate(&table_, c.text, std::strlen(c.text) + 1), c.chain) << label;
        }
        hash_iterator_t item = nullptr;
        ASSERT_EQ(c.integer ? add_integer(table_, c.number, 1, &item) : add_string(table_, c.text, 1, &item), 0);
        EXPECT_EQ(item->chain, table_.chains[c.chain]) << label;
        EXPECT_EQ(item->chain->index, c.chain) << label;
        EXPECT_EQ(item->chain->table, &table_) << label;
    }
}

TEST_F(HashTable, FreshTableIsEmptyAndPushesNumberFromZero) {
    EXPECT_EQ(hash_count(&table_), 0u);
    EXPECT_EQ(table_.first_in_list, nullptr);
    EXPECT_EQ(table_.last_in_list, nullptr);
    EXPECT_EQ(hash_find_string(&table_, "x"), nullptr);
    EXPECT_EQ(hash_find_string(&table_, ""), nullptr);
    EXPECT_EQ(hash_find_integer(&table_, 0), nullptr);

    EXPECT_EQ(push(table_, 100), 0);
    EXPECT_EQ(push(table_, 200), 1);
    EXPECT_EQ(push(table_, 300), 2);
    EXPECT_EQ(keys_in_order(table_), (std::vector<std::string>{"#0", "#1", "#2"}));
    EXPECT_EQ(data_int(hash_find_integer(&table_, 1)), 200);
    EXPECT_EQ(hash_count(&table_), 3u);
}

TEST_F(HashTable, DuplicateKeyKeepsTheFirstRecordAndReportsIt) {
    hash_iterator_t first = nullptr;
    hash_iterator_t existing = nullptr;
    ASSERT_EQ(add_string(table_, "x", 1, &first), 0);
    EXPECT_EQ(add_string(table_, "x", 2, &existing), -1);
    EXPECT_EQ(existing, first);
    EXPECT_EQ(add_string(table_, "x", 3), -1);  // without ppitem
    EXPECT_EQ(hash_count(&table_), 1u);
    EXPECT_EQ(data_int(hash_find_string(&table_, "x")), 1);

    ASSERT_EQ(add_integer(table_, 7, 70, &first), 0);
    EXPECT_EQ(add_integer(table_, 7, 71, &existing), -1);
    EXPECT_EQ(existing, first);
    EXPECT_EQ(data_int(hash_find_integer(&table_, 7)), 70);
    EXPECT_EQ(keys_in_order(table_), (std::vector<std::string>{"\"x\"", "#7"}));
}

TEST_F(HashTable, IntegerAndTextKeysNeverMatchEachOther) {
    ASSERT_EQ(add_integer(table_, 5, 1), 0);
    ASSERT_EQ(add_string(table_, "5", 2), 0);
    // The text "abc" and this integer have the same four key bytes.
    int32_t same_bytes = 0;
    std::memcpy(&same_bytes, "abc", 4);
    ASSERT_EQ(add_string(table_, "abc", 3), 0);
    ASSERT_EQ(add_integer(table_, same_bytes, 4), 0);

    EXPECT_EQ(hash_count(&table_), 4u);
    EXPECT_EQ(data_int(hash_find_integer(&table_, 5)), 1);
    EXPECT_EQ(data_int(hash_find_string(&table_, "5")), 2);
    EXPECT_EQ(data_int(hash_find_string(&table_, "abc")), 3);
    EXPECT_EQ(data_int(hash_find_integer(&table_, same_bytes)), 4);
    EXPECT_EQ(hash_find_string(&table_, "ab"), nullptr);
    EXPECT_EQ(hash_find_integer(&table_, 6), nullptr);
}

TEST_F(HashTable, EmptyTextAndKeyOnlyEntriesAreValid) {
    hash_iterator_t item = nullptr;
    ASSERT_EQ(add_string(table_, "", 9, &item), 0);
    EXPECT_EQ(item->key_size, 1u);
    EXPECT_STREQ(hash_item_key(item), "");
    EXPECT_EQ(data_int(hash_find_string(&table_, "")), 9);
    EXPECT_EQ(add_string(table_, "", 10), -1);

    // A set of names stores keys without data; membership is a non-null find.
    ASSERT_EQ(_hash_add_string(&table_, "member", nullptr, 0, &item), 0);
    EXPECT_EQ(item->data_size, 0u);
    EXPECT_NE(hash_find_string(&table_, "member"), nullptr);
    EXPECT_EQ(_hash_add_string(&table_, "member", nullptr, 0, nullptr), -1);
    EXPECT_EQ(hash_find_string(&table_, "other"), nullptr);
}

TEST_F(HashTable, ExplicitIntegerKeysMoveTheNextPushKeyOnlyUpwards) {
    ASSERT_EQ(add_integer(table_, -5, 0), 0);
    EXPECT_EQ(push(table_, 0), 0);
    ASSERT_EQ(add_integer(table_, 10, 0), 0);
    EXPECT_EQ(push(table_, 0), 11);
    ASSERT_EQ(add_integer(table_, 3, 0), 0);
    EXPECT_EQ(push(table_, 0), 12);
    EXPECT_EQ(add_integer(table_, 40, 0), 0);
    EXPECT_EQ(add_integer(table_, 40, 0), -1);  // a failed add changes nothing
    EXPECT_EQ(add_integer(table_, 12, 0), -1);
    EXPECT_EQ(push(table_, 0), 41);
    EXPECT_EQ(keys_in_order(table_), (std::vector<std::string>{"#-5", "#0", "#10", "#11", "#3", "#12", "#40", "#41"}));
}

TEST_F(HashTable, WalksFollowInsertionOrderAcrossAllChains) {
    std::vector<std::string> expected;
    for (int i = 0; i < 300; ++i) {
        if (i % 3 == 0) {
            const std::string key = "field_" + std::to_string(i);
            ASSERT_EQ(add_string(table_, key.c_str(), i), 0);
            expected.push_back("\"" + key + "\"");
        } else {
            const int32_t key = (i % 3 == 1 ? 1 : -1) * i * 7919;
            ASSERT_EQ(add_integer(table_, key, i), 0);
            expected.push_back("#" + std::to_string(key));
        }
    }
    EXPECT_EQ(keys_in_order(table_), expected);

    std::vector<std::string> backwards;
    for (hash_iterator_t it = table_.last_in_list; it != nullptr; it = it->prev_in_list) backwards.push_back(key_of(it));
    std::reverse(backwards.begin(), backwards.end());
    EXPECT_EQ(backwards, expected);

    // Each chain keeps its own items in insertion order (the data is the index).
    size_t used_chains = 0;
    size_t items = 0;
    for (size_t i = 0; i < table_.num_chains; ++i) {
        const hash_chain_t* chain = table_.chains[i];
        used_chains += chain->first_in_chain != nullptr;
        int previous = -1;
        for (hash_item_t* it = chain->first_in_chain; it != nullptr; it = it->next_in_chain, ++items) {
            EXPECT_EQ(it->chain, chain);
            EXPECT_GT(data_int(hash_item_data(it)), previous);
            previous = data_int(hash_item_data(it));
            if (it->next_in_chain == nullptr) {
                EXPECT_EQ(chain->last_in_chain, it);
            }
        }
    }
    EXPECT_EQ(items, 300u);
    EXPECT_GT(used_chains, 20u);
}

TEST_F(HashTable, StoredRecordsAreAlignedForPointersAndWideIntegers) {
    struct record {
        void* pointer;
        int64_t number;
    };
    for (size_t length = 0; length < 20; ++length) {
        const std::string key(length, 'k');
        const record value{&table_, static_cast<int64_t>(length) << 40};
        hash_iterator_t item = nullptr;
        ASSERT_EQ(_hash_add_string(&table_, key.c_str(), &value, sizeof value, &item), 0);
        void* data = hash_find_string(&table_, key.c_str());
        EXPECT_EQ(data, hash_item_data(item));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % alignof(record), 0u) << "key length " << length;
        EXPECT_EQ(static_cast<record*>(data)->number, value.number);
    }
}

std::vector<int> destroyed;

void record_destroyed(void* data) { destroyed.push_back(data_int(data)); }

TEST(HashTableShutdown, CallsTheDestructorOncePerRecordAndReleasesEverything) {
    const size_t start = memory_pool_block_count();
    hash_table_t table;
    _hash_init(&table, HASH_CHAINS, record_destroyed);
    std::vector<int> expected;
    for (int i = 0; i < 100; ++i) {
        if (i % 2 == 0) {
            push(table, i);
        } else {
            add_string(table, ("k" + std::to_string(i)).c_str(), i);
        }
        expected.push_back(i);
    }
    EXPECT_EQ(add_string(table, "k1", 1000), -1);  // rejected records are not the table's
    EXPECT_EQ(memory_pool_block_count(), start + 1 + HASH_CHAINS + 100);

    destroyed.clear();
    hash_shutdown(&table);
    std::sort(destroyed.begin(), destroyed.end());
    EXPECT_EQ(destroyed, expected);
    EXPECT_EQ(table.count, 0u);
    EXPECT_EQ(table.first_in_list, nullptr);
    EXPECT_EQ(table.last_in_list, nullptr);
    EXPECT_EQ(memory_pool_block_count(), start);
}

}  // namespace
