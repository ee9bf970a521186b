#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "hash.hpp"
#include "memory_pool.hpp"

namespace {

using Keys = std::vector<std::string>;

// "#5" for an integer key, "\"5\"" for a text key.
std::string key_of(const hash_item_t* item) {
    if (item->key_is_integer) return "#" + std::to_string(hash_item_key_integer(item));
    return "\"" + std::string(hash_item_key(item)) + "\"";
}

Keys keys_in_order(const hash_table_t& table) {
    Keys keys;
    for (hash_iterator_t it = table.first_in_list; it != nullptr; it = it->next_in_list) keys.push_back(key_of(it));
    return keys;
}

int data_int(const void* data) { return *static_cast<const int*>(data); }

// Every change of a table in these tests goes through one of these, and the
// table's invariants are checked after it. A check walks the whole table, so
// past a few hundred items it runs where the index has just grown, at the
// powers of two, and the large tests check once more at the end.
bool worth_checking(const hash_table_t& table) {
    const size_t count = hash_count(&table);
    return count <= 300 || (count & (count - 1)) == 0;
}

int add_string(hash_table_t& table, const char* key, const void* data, size_t size, hash_iterator_t* ppitem) {
    const int result = _hash_add_string(&table, key, data, size, ppitem);
    if (worth_checking(table)) {
        EXPECT_TRUE(hash_check(&table)) << "after adding \"" << key << "\"";
    }
    return result;
}

int add_string(hash_table_t& table, const char* key, int data, hash_iterator_t* ppitem = nullptr) {
    return add_string(table, key, &data, sizeof data, ppitem);
}

int add_integer(hash_table_t& table, int32_t key, int data, hash_iterator_t* ppitem = nullptr) {
    const int result = _hash_add_integer(&table, key, &data, sizeof data, ppitem);
    if (worth_checking(table)) {
        EXPECT_TRUE(hash_check(&table)) << "after adding #" << key;
    }
    return result;
}

int32_t push(hash_table_t& table, int data) {
    hash_iterator_t item = nullptr;
    _hash_push_integer(&table, &data, sizeof data, &item);
    if (worth_checking(table)) {
        EXPECT_TRUE(hash_check(&table)) << "after a push";
    }
    return hash_item_key_integer(item);
}

hash_table_t* pack(hash_table_t* table) {
    hash_table_t* packed = hash_pack(table);
    EXPECT_TRUE(hash_check(packed)) << "after packing";
    return packed;
}

// A table of int records without destructor; every test must leave the pool
// as it found it once the table is shut down.
class HashTable : public ::testing::Test {
protected:
    void SetUp() override {
        start_blocks_ = memory_pool_block_count();
        _hash_init(&table_, HASH_CHAINS, nullptr);
        EXPECT_TRUE(hash_check(&table_));
    }
    void TearDown() override {
        hash_shutdown(&table_);
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
        {false, "a", 0, 15},      {false, "name", 0, 7},   {true, nullptr, 0, 0},  {true, nullptr, 1, 1},
        {true, nullptr, 255, 36}, {true, nullptr, -1, 33}, {false, "\xff", 0, 36},  // a high byte counts as -1, as in
                                                                                    // the integer 255
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
        EXPECT_EQ(hash_item_chain(&table_, item), c.chain) << label;
    }
}

TEST_F(HashTable, KeysAreUniquePerKindAndTheFirstRecordStays) {
    EXPECT_EQ(hash_find_string(&table_, ""), nullptr);
    EXPECT_EQ(hash_find_integer(&table_, 0), nullptr);
    hash_iterator_t first = nullptr;
    hash_iterator_t existing = nullptr;
    ASSERT_EQ(add_string(table_, "x", 1, &first), 0);
    EXPECT_EQ(add_string(table_, "x", 2, &existing), -1);
    EXPECT_EQ(existing, first);
    ASSERT_EQ(add_integer(table_, 7, 70, &first), 0);
    EXPECT_EQ(add_integer(table_, 7, 71, &existing), -1);
    EXPECT_EQ(existing, first);
    // The integer 5 and the text "5", and a text and an integer with the same
    // four key bytes, are different keys; so are the empty text and key-only entries.
    int32_t same_bytes = 0;
    std::memcpy(&same_bytes, "abc", 4);
    ASSERT_EQ(add_integer(table_, 5, 5) + add_string(table_, "5", 6) + add_string(table_, "abc", 8), 0);
    ASSERT_EQ(add_integer(table_, same_bytes, 9) + add_string(table_, "", 10), 0);
    EXPECT_EQ(add_string(table_, "", 11), -1);
    ASSERT_EQ(add_string(table_, "member", nullptr, 0, nullptr), 0);
    EXPECT_EQ(add_string(table_, "member", nullptr, 0, nullptr), -1);

    EXPECT_EQ(keys_in_order(table_),
              (Keys{"\"x\"", "#7", "#5", "\"5\"", "\"abc\"", "#" + std::to_string(same_bytes), "\"\"", "\"member\""}));
    const void* found[] = {hash_find_string(&table_, "x"),   hash_find_integer(&table_, 7),
                           hash_find_integer(&table_, 5),    hash_find_string(&table_, "5"),
                           hash_find_string(&table_, "abc"), hash_find_integer(&table_, same_bytes),
                           hash_find_string(&table_, "")};
    std::string values;
    for (const void* data : found) values += data != nullptr ? std::to_string(data_int(data)) + " " : "- ";
    EXPECT_EQ(values, "1 70 5 6 8 9 10 ");
    EXPECT_NE(hash_find_string(&table_, "member"), nullptr);
    EXPECT_EQ(hash_find_string(&table_, "ab"), nullptr);
    EXPECT_EQ(hash_find_integer(&table_, 6), nullptr);
}

TEST_F(HashTable, PushesNumberFromZeroAndExplicitKeysMoveTheNextOnlyUpwards) {
    ASSERT_EQ(add_integer(table_, -5, 0), 0);
    EXPECT_EQ(push(table_, 0), 0);
    EXPECT_EQ(push(table_, 0), 1);
    ASSERT_EQ(add_integer(table_, 10, 0), 0);
    EXPECT_EQ(push(table_, 0), 11);
    ASSERT_EQ(add_integer(table_, 3, 0), 0);
    EXPECT_EQ(push(table_, 0), 12);
    EXPECT_EQ(add_integer(table_, 40, 0), 0);
    EXPECT_EQ(add_integer(table_, 40, 0), -1);  // a failed add changes nothing
    EXPECT_EQ(add_integer(table_, 12, 0), -1);
    EXPECT_EQ(push(table_, 0), 41);
    EXPECT_EQ(keys_in_order(table_), (Keys{"#-5", "#0", "#1", "#10", "#11", "#3", "#12", "#40", "#41"}));
}

TEST_F(HashTable, StoredRecordsAreAlignedForPointersAndWideIntegers) {
    for (size_t length = 0; length < 20; ++length) {
        const std::string key(length, 'k');
        const int64_t value = static_cast<int64_t>(length) << 40;
        ASSERT_EQ(add_string(table_, key.c_str(), &value, sizeof value, nullptr), 0);
        const void* data = hash_find_string(&table_, key.c_str());
        EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % std::max(alignof(void*), alignof(int64_t)), 0u) << length;
        EXPECT_EQ(*static_cast<const int64_t*>(data), value);
    }
}

std::vector<int> destroyed;

void record_destroyed(void* data) { destroyed.push_back(data_int(data)); }

TEST(HashTableWalk, FollowsInsertionOrderAcrossAllChainsAndShutdownDestroysEachRecordOnce) {
    const size_t start = memory_pool_block_count();
    hash_table_t table;
    _hash_init(&table, HASH_CHAINS, record_destroyed);
    Keys expected;
    for (int i = 0; i < 300; ++i) {
        if (i % 3 == 0) {
            ASSERT_EQ(add_string(table, ("field_" + std::to_string(i)).c_str(), i), 0);
            expected.push_back("\"field_" + std::to_string(i) + "\"");
        } else {
            const int32_t key = (i % 3 == 1 ? 1 : -1) * i * 7919;
            ASSERT_EQ(add_integer(table, key, i), 0);
            expected.push_back("#" + std::to_string(key));
        }
    }
    const size_t blocks = memory_pool_block_count();
    EXPECT_EQ(add_string(table, "field_0", 1000), -1);  // rejected records are not the table's
    EXPECT_EQ(memory_pool_block_count(), blocks);
    for (hash_iterator_t it = table.first_in_list; it != nullptr; it = it->next_in_list) {
        EXPECT_EQ(hash_item_chain(&table, it), hash_calculate(&table, hash_item_key(it), it->key_size)) << key_of(it);
    }
    for (int i = 0; i < 300; ++i) {  // every chain still finds what it holds
        const void* data = i % 3 == 0 ? hash_find_string(&table, ("field_" + std::to_string(i)).c_str())
                                      : hash_find_integer(&table, (i % 3 == 1 ? 1 : -1) * i * 7919);
        ASSERT_NE(data, nullptr) << i;
        EXPECT_EQ(data_int(data), i);
    }
    EXPECT_EQ(keys_in_order(table), expected);
    EXPECT_EQ(key_of(table.last_in_list), expected.back());

    destroyed.clear();
    hash_shutdown(&table);
    std::sort(destroyed.begin(), destroyed.end());
    ASSERT_EQ(destroyed.size(), 300u);
    for (int i = 0; i < 300; ++i) EXPECT_EQ(destroyed[static_cast<size_t>(i)], i);
    EXPECT_EQ(table.count, 0u);
    EXPECT_EQ(table.first_in_list, nullptr);
    EXPECT_EQ(memory_pool_block_count(), start);
}

// Names that differ only in their digits have byte sums within a few dozen
// of each other, so most of them crowd into a handful of chains; every one
// must still be found, and only once.
TEST(HashTableLarge, SimilarNamesCrowdingFewChainsAreAllFoundAndNeverAddedTwice) {
    const size_t start = memory_pool_block_count();
    hash_table_t table;
    _hash_init(&table, HASH_CHAINS, nullptr);
    constexpr int COUNT = 20000;
    std::vector<hash_iterator_t> items;
    for (int i = 0; i < COUNT; ++i) {
        hash_iterator_t item = nullptr;
        ASSERT_EQ(add_string(table, ("item" + std::to_string(i)).c_str(), i, &item), 0) << i;
        items.push_back(item);
        if (i % 4 == 0) {  // the same chains, other kind
            ASSERT_EQ(add_integer(table, i, -i), 0) << i;
        }
    }
    EXPECT_EQ(hash_count(&table), static_cast<size_t>(COUNT + COUNT / 4));
    std::vector<size_t> per_chain(HASH_CHAINS);
    for (int i = 0; i < COUNT; ++i) {
        const std::string name = "item" + std::to_string(i);
        const void* data = hash_find_string(&table, name.c_str());
        ASSERT_NE(data, nullptr) << name;
        EXPECT_EQ(data_int(data), i);
        hash_iterator_t existing = nullptr;
        EXPECT_EQ(add_string(table, name.c_str(), -1, &existing), -1) << name;
        EXPECT_EQ(existing, items[static_cast<size_t>(i)]) << name;
        const size_t chain = hash_item_chain(&table, existing);
        ASSERT_EQ(chain, hash_calculate(&table, name.c_str(), name.size() + 1)) << name;
        ++per_chain[chain];
        const void* number = hash_find_integer(&table, i);
        if (i % 4 == 0) {
            ASSERT_NE(number, nullptr) << i;
            EXPECT_EQ(data_int(number), -i);
        } else {
            EXPECT_EQ(number, nullptr) << i;
        }
    }
    EXPECT_GT(*std::max_element(per_chain.begin(), per_chain.end()), static_cast<size_t>(COUNT / 20));
    for (const char* absent : {"item20000", "item-1", "item", "itemA", "item00", "item1 ", ""}) {
        EXPECT_EQ(hash_find_string(&table, absent), nullptr) << absent;
    }
    EXPECT_EQ(hash_count(&table), static_cast<size_t>(COUNT + COUNT / 4));
    int expected = 0;
    for (hash_iterator_t it = table.first_in_list; it != nullptr; it = it->next_in_list) {
        if (it->key_is_integer) continue;
        ASSERT_EQ(data_int(hash_item_data(it)), expected++);
    }
    EXPECT_EQ(expected, COUNT);
    EXPECT_TRUE(hash_check(&table));
    hash_shutdown(&table);
    EXPECT_EQ(memory_pool_block_count(), start);
}

// A table made with room for its items holds them in its own block, and a
// packed table keeps every key, record, the order and the next push key.
TEST(HashTablePacked, RoomMadeAheadAndPackingKeepKeysOrderAndRecordsInOneBlock) {
    const size_t start = memory_pool_block_count();
    hash_table_t* table = hash_create(HASH_CHAINS, nullptr, 0);
    Keys expected;
    for (int i = 0; i < 40; ++i) {  // past the size at which chains are laid out
        if (i % 4 == 0) {
            const std::string name = "name" + std::to_string(i);
            ASSERT_EQ(add_string(*table, name.c_str(), i), 0);
            expected.push_back("\"" + name + "\"");
        } else {
            ASSERT_EQ(add_integer(*table, 100 - i, i), 0);
            expected.push_back("#" + std::to_string(100 - i));
        }
    }
    const size_t unpacked = memory_pool_block_count();
    table = pack(table);
    EXPECT_LT(memory_pool_block_count(), unpacked);
    EXPECT_EQ(keys_in_order(*table), expected);
    for (int i = 0; i < 40; ++i) {
        const void* data = i % 4 == 0 ? hash_find_string(table, ("name" + std::to_string(i)).c_str())
                                      : hash_find_integer(table, 100 - i);
        ASSERT_NE(data, nullptr) << i;
        EXPECT_EQ(data_int(data), i);
        hash_iterator_t item = nullptr;
        if (i % 4 != 0) {
            EXPECT_EQ(add_integer(*table, 100 - i, -1, &item), -1);
            EXPECT_EQ(hash_item_chain(table, item), hash_calculate(table, hash_item_key(item), item->key_size));
        }
    }
    EXPECT_EQ(push(*table, 0), 100);  // after the largest integer key, 99

    // Room for copies of every item: adding them allocates nothing more.
    hash_table_t* copy = hash_create(HASH_CHAINS, nullptr, hash_item_bytes(table));
    const size_t before_items = memory_pool_block_count();
    for (hash_iterator_t it = table->first_in_list; it != nullptr; it = it->next_in_list) {
        if (hash_count(copy) == 16) {
            EXPECT_EQ(memory_pool_block_count(), before_items);
        }
        const int data = data_int(hash_item_data(it));
        ASSERT_EQ(it->key_is_integer ? add_integer(*copy, hash_item_key_integer(it), data)
                                     : add_string(*copy, hash_item_key(it), data),
                  0);
    }
    EXPECT_EQ(keys_in_order(*copy), keys_in_order(*table));
    for (hash_table_t* done : {copy, table}) {
        hash_shutdown(done);
        memory_pool_free(done);
    }
    EXPECT_EQ(memory_pool_block_count(), start);

    // A small table packs into a single block; a list sized ahead for its
    // pushes is one already, and packing leaves it as it is.
    hash_table_t* small = hash_create(HASH_CHAINS, nullptr, 0);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(add_string(*small, ("k" + std::to_string(i)).c_str(), i), 0);
    small = pack(small);
    EXPECT_EQ(memory_pool_block_count(), start + 1);
    EXPECT_EQ(pack(small), small);
    EXPECT_EQ(keys_in_order(*small), (Keys{"\"k0\"", "\"k1\"", "\"k2\"", "\"k3\"", "\"k4\"", "\"k5\"", "\"k6\"",
                                           "\"k7\"", "\"k8\"", "\"k9\""}));
    EXPECT_EQ(data_int(hash_find_string(small, "k7")), 7);
    hash_table_t* list = hash_create(HASH_CHAINS, nullptr, hash_list_bytes(5, sizeof(int)));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(push(*list, i), i);
    EXPECT_EQ(memory_pool_block_count(), start + 2);
    EXPECT_EQ(pack(list), list);
    for (hash_table_t* done : {small, list}) {
        hash_shutdown(done);
        memory_pool_free(done);
    }
    EXPECT_EQ(memory_pool_block_count(), start);
}

// The check itself must see a broken table, above all an index let fill up:
// a lookup of a missing key would then never end.
TEST(HashTableCheck, CatchesACrowdedIndexAndRecordsThatDisagreeWithTheItems) {
    hash_table_t table;
    _hash_init(&table, HASH_CHAINS, nullptr);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(add_string(table, ("k" + std::to_string(i)).c_str(), i), 0);
    hash_table_t broken = table;
    broken.index_mask /= 2;  // the same items in half the slots: more than half full
    EXPECT_FALSE(hash_check(&broken));
    broken = table;
    broken.count += 1;
    EXPECT_FALSE(hash_check(&broken));
    const int32_t next = table.next_integer;
    ASSERT_EQ(add_integer(table, 7, 0), 0);
    broken = table;
    broken.next_integer = next;  // below the key just added
    EXPECT_FALSE(hash_check(&broken));
    hash_iterator_t item = nullptr;
    ASSERT_EQ(add_string(table, "late", 0, &item), 0);
    broken = table;
    broken.last_in_list = table.first_in_list;
    EXPECT_FALSE(hash_check(&broken));
    item->key_sum += HASH_CHAINS;  // a byte sum that is not the key's
    EXPECT_FALSE(hash_check(&table));
    item->key_sum -= HASH_CHAINS;
    EXPECT_TRUE(hash_check(&table));
    hash_shutdown(&table);
}

}  // namespace
