// The one container: an insertion-ordered hash table with a fixed number of
// chains, text or 32-bit integer keys, and data records stored by value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr size_t HASH_CHAINS = 41;

// Stored data records start at a multiple of this, enough for pointers,
// 64-bit integers and doubles.
constexpr size_t HASH_DATA_ALIGNMENT = 8;

struct hash_table_t;
struct hash_item_t;
struct hash_slot_t;

using hash_iterator_t = hash_item_t*;
using hash_dtor_t = void (*)(void* data);

// A table carves its items out of blocks of its own, so that an add rarely
// costs an allocation. Items stay where they are added; only hash_pack,
// for tables whose items nobody points at, moves them.
// The insertion list is walked forwards only, so an item links to the next
// one alone.
struct hash_item_t {
    hash_item_t* next_in_list;
    uint32_t key_sum;  // signed byte sum of the key; the chain is key_sum % num_chains
    uint32_t data_size;
    uint32_t key_size : 31;
    uint32_t key_is_integer : 1;
    // followed, right after key_size, by the key bytes, then (aligned) the
    // data bytes
};

// A table of a few items is searched along its insertion list; a larger one
// keeps one open-addressing index over all its items, keyed by a strong hash
// of the key. The chains are those of the byte sum: an item's chain is
// key_sum % num_chains, and a chain's items, in insertion order, are those of
// the insertion list in that chain.
struct hash_table_t {
    uint32_t num_chains;
    uint32_t index_mask;  // index slots - 1
    hash_slot_t* index;   // null while the table is small
    hash_iterator_t first_in_list;
    hash_iterator_t last_in_list;
    hash_dtor_t destructor;
    size_t count;
    int32_t next_integer;
    uint32_t free_bytes;  // left in the current item block
    char* free_space;     // next item's place in the current item block
    void* item_blocks;    // newest item block; each starts with a link to the one before
};

void _hash_init(hash_table_t* table, size_t num_chains, hash_dtor_t destructor);
size_t hash_count(const hash_table_t* table);

// A table record of its own in the pool, initialised, with room right after
// it for items of `item_bytes` bytes in all (0: none yet). Release it with
// hash_shutdown, then memory_pool_free of the record, which takes that room
// with it.
hash_table_t* hash_create(size_t num_chains, hash_dtor_t destructor, size_t item_bytes);
// The bytes the items of `table` take; a hash_create for that many holds
// copies of them all without further allocation.
size_t hash_item_bytes(const hash_table_t* table);
// The bytes that `count` records of `data_size` bytes take under integer
// keys (a list filled by pushes).
size_t hash_list_bytes(size_t count, size_t data_size);
// Moves the items of a table made by hash_create into one record of exactly
// their size and returns it; the old record is released. Items move, so
// nothing may point at them (nor at the old record) any more.
hash_table_t* hash_pack(hash_table_t* table);
void* hash_find_string(const hash_table_t* table, const char* key);
void* hash_find_integer(const hash_table_t* table, int32_t key);
int _hash_add_string(hash_table_t* table, const char* key, const void* data, size_t data_size, hash_iterator_t* ppitem);
int _hash_add_integer(hash_table_t* table, int32_t key, const void* data, size_t data_size, hash_iterator_t* ppitem);
void _hash_push_integer(hash_table_t* table, const void* data, size_t data_size, hash_iterator_t* ppitem);
void hash_shutdown(hash_table_t* table);

// Item accessors, inline: every walk of a table calls them for each item.
// The key starts right after the item's fields, in what would otherwise be
// the record's tail padding; the data follows the key, aligned.
constexpr size_t HASH_ITEM_HEADER_SIZE = sizeof(hash_item_t*) + 3 * sizeof(uint32_t);

inline const char* hash_item_key(const hash_item_t* item) {  // text key
    return reinterpret_cast<const char*>(item) + HASH_ITEM_HEADER_SIZE;
}

inline int32_t hash_item_key_integer(const hash_item_t* item) {
    int32_t key = 0;
    std::memcpy(&key, hash_item_key(item), sizeof key);
    return key;
}

inline void* hash_item_data(const hash_item_t* item) {
    const size_t offset =
        (HASH_ITEM_HEADER_SIZE + item->key_size + HASH_DATA_ALIGNMENT - 1) / HASH_DATA_ALIGNMENT * HASH_DATA_ALIGNMENT;
    return const_cast<char*>(reinterpret_cast<const char*>(item)) + offset;
}

// Chain index of a key (exposed for tests of the chain function).
size_t hash_calculate(const hash_table_t* table, const void* key, size_t key_size);
// The chain of `item`, once a lookup of its key finds it; SIZE_MAX when it
// does not (for tests).
size_t hash_item_chain(const hash_table_t* table, const hash_item_t* item);
// Walks the table and tells whether the invariants stated in hash.cpp hold;
// for tests.
bool hash_check(const hash_table_t* table);
