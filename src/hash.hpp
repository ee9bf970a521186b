// The one container: an insertion-ordered hash table with a fixed number of
// chains, text or 32-bit integer keys, and data records stored by value.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t HASH_CHAINS = 41;

struct hash_table_t;
struct hash_chain_t;
struct hash_item_t;

using hash_iterator_t = hash_item_t*;
using hash_dtor_t = void (*)(void* data);

struct hash_item_t {
    hash_chain_t* chain;
    hash_item_t* prev_in_chain;
    hash_item_t* next_in_chain;
    hash_item_t* prev_in_list;
    hash_item_t* next_in_list;
    int key_is_integer;
    uint32_t key_sum;  // the byte sum of the key, kept to skip most compares
    size_t key_size;
    size_t data_size;
    // followed by the key bytes, then (aligned) the data bytes
};

struct hash_chain_t {
    hash_table_t* table;
    size_t index;
    hash_item_t* first_in_chain;
    hash_item_t* last_in_chain;
};

struct hash_table_t {
    size_t num_chains;
    hash_chain_t** chains;
    hash_iterator_t first_in_list;
    hash_iterator_t last_in_list;
    hash_dtor_t destructor;
    size_t count;
    int32_t next_integer;
};

void _hash_init(hash_table_t* table, size_t num_chains, hash_dtor_t destructor);
size_t hash_count(const hash_table_t* table);
void* hash_find_string(const hash_table_t* table, const char* key);
void* hash_find_integer(const hash_table_t* table, int32_t key);
int _hash_add_string(hash_table_t* table, const char* key, const void* data, size_t data_size,
                     hash_iterator_t* ppitem);
int _hash_add_integer(hash_table_t* table, int32_t key, const void* data, size_t data_size,
                      hash_iterator_t* ppitem);
void _hash_push_integer(hash_table_t* table, const void* data, size_t data_size, hash_iterator_t* ppitem);
void hash_shutdown(hash_table_t* table);

// Item accessors.
const char* hash_item_key(const hash_item_t* item);  // text key
int32_t hash_item_key_integer(const hash_item_t* item);
void* hash_item_data(const hash_item_t* item);

// Chain index of a key (exposed for tests of the chain function).
size_t hash_calculate(const hash_table_t* table, const void* key, size_t key_size);
