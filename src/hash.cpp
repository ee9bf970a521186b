// Items live in one pool block each: the header, the key bytes, then the data
// record at the next aligned offset. Every item sits in two lists: its
// chain's and the table's insertion-ordered list.
#include "hash.hpp"

#include <cstddef>
#include <cstring>

#include "exception.hpp"
#include "memory_pool.hpp"
#include "utils.hpp"

namespace {

constexpr size_t ALIGNMENT = alignof(std::max_align_t);

constexpr size_t align_up(size_t size) { return (size + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT; }

constexpr size_t ITEM_HEADER_SIZE = align_up(sizeof(hash_item_t));

char* item_key_bytes(const hash_item_t* item) {
    return const_cast<char*>(reinterpret_cast<const char*>(item)) + ITEM_HEADER_SIZE;
}

// Sum of the key bytes, each taken as a signed 8-bit number, wrapping.
uint32_t key_byte_sum(const void* key, size_t key_size) {
    const auto* bytes = static_cast<const signed char*>(key);
    uint32_t sum = 0;
    for (size_t i = 0; i < key_size; ++i) sum += static_cast<uint32_t>(static_cast<int32_t>(bytes[i]));
    return sum;
}

hash_item_t* hash_search_chain(const hash_chain_t* chain, int key_is_integer, const void* key, size_t key_size,
                               uint32_t key_sum) {
    for (hash_item_t* item = chain->first_in_chain; item != nullptr; item = item->next_in_chain) {
        if (item->key_sum == key_sum && item->key_is_integer == key_is_integer && item->key_size == key_size &&
            std::memcmp(item_key_bytes(item), key, key_size) == 0) {
            return item;
        }
    }
    return nullptr;
}

hash_item_t* hash_find_item(const hash_table_t* table, int key_is_integer, const void* key, size_t key_size) {
    const uint32_t sum = key_byte_sum(key, key_size);
    return hash_search_chain(table->chains[sum % table->num_chains], key_is_integer, key, key_size, sum);
}

void append_to_chain(hash_chain_t* chain, hash_item_t* item) {
    item->chain = chain;
    item->prev_in_chain = chain->last_in_chain;
    if (chain->last_in_chain != nullptr) {
        chain->last_in_chain->next_in_chain = item;
    } else {
        chain->first_in_chain = item;
    }
    chain->last_in_chain = item;
}

void append_to_list(hash_table_t* table, hash_item_t* item) {
    item->prev_in_list = table->last_in_list;
    if (table->last_in_list != nullptr) {
        table->last_in_list->next_in_list = item;
    } else {
        table->first_in_list = item;
    }
    table->last_in_list = item;
}

int hash_add_item(hash_table_t* table, int key_is_integer, const void* key, size_t key_size, const void* data,
                  size_t data_size, hash_iterator_t* ppitem) {
    const uint32_t sum = key_byte_sum(key, key_size);
    hash_chain_t* chain = table->chains[sum % table->num_chains];
    if (hash_item_t* existing = hash_search_chain(chain, key_is_integer, key, key_size, sum)) {
        if (ppitem != nullptr) *ppitem = existing;
        return -1;
    }
    const size_t block_size = size_add(ITEM_HEADER_SIZE + align_up(key_size), data_size);
    auto* item = static_cast<hash_item_t*>(memory_pool_alloc(block_size));
    item->prev_in_chain = item->next_in_chain = nullptr;
    item->prev_in_list = item->next_in_list = nullptr;
    item->key_is_integer = key_is_integer;
    item->key_sum = sum;
    item->key_size = key_size;
    item->data_size = data_size;
    std::memcpy(item_key_bytes(item), key, key_size);
    if (data_size > 0) std::memcpy(hash_item_data(item), data, data_size);
    append_to_chain(chain, item);
    append_to_list(table, item);
    ++table->count;
    if (ppitem != nullptr) *ppitem = item;
    return 0;
}

void unlink_from_list(hash_table_t* table, hash_item_t* item) {
    if (item->prev_in_list != nullptr) {
        item->prev_in_list->next_in_list = item->next_in_list;
    } else {
        table->first_in_list = item->next_in_list;
    }
    if (item->next_in_list != nullptr) {
        item->next_in_list->prev_in_list = item->prev_in_list;
    } else {
        table->last_in_list = item->prev_in_list;
    }
}

}  // namespace

size_t hash_calculate(const hash_table_t* table, const void* key, size_t key_size) {
    return key_byte_sum(key, key_size) % table->num_chains;
}

void _hash_init(hash_table_t* table, size_t num_chains, hash_dtor_t destructor) {
    table->num_chains = num_chains;
    table->chains = static_cast<hash_chain_t**>(memory_pool_alloc(num_chains * sizeof(hash_chain_t*)));
    for (size_t i = 0; i < num_chains; ++i) {
        auto* chain = static_cast<hash_chain_t*>(memory_pool_alloc(sizeof(hash_chain_t)));
        chain->table = table;
        chain->index = i;
        chain->first_in_chain = chain->last_in_chain = nullptr;
        table->chains[i] = chain;
    }
    table->first_in_list = table->last_in_list = nullptr;
    table->destructor = destructor;
    table->count = 0;
    table->next_integer = 0;
}

size_t hash_count(const hash_table_t* table) { return table->count; }

void* hash_find_string(const hash_table_t* table, const char* key) {
    hash_item_t* item = hash_find_item(table, 0, key, std::strlen(key) + 1);
    return item != nullptr ? hash_item_data(item) : nullptr;
}

void* hash_find_integer(const hash_table_t* table, int32_t key) {
    hash_item_t* item = hash_find_item(table, 1, &key, sizeof key);
    return item != nullptr ? hash_item_data(item) : nullptr;
}

int _hash_add_string(hash_table_t* table, const char* key, const void* data, size_t data_size,
                     hash_iterator_t* ppitem) {
    return hash_add_item(table, 0, key, std::strlen(key) + 1, data, data_size, ppitem);
}

int _hash_add_integer(hash_table_t* table, int32_t key, const void* data, size_t data_size,
                      hash_iterator_t* ppitem) {
    const int result = hash_add_item(table, 1, &key, sizeof key, data, data_size, ppitem);
    if (result == 0 && table->next_integer <= key) {
        if (key == INT32_MAX) fatal_error("Hash table integer keys exhausted");
        table->next_integer = key + 1;
    }
    return result;
}

void _hash_push_integer(hash_table_t* table, const void* data, size_t data_size, hash_iterator_t* ppitem) {
    _hash_add_integer(table, table->next_integer, data, data_size, ppitem);
}

void hash_shutdown(hash_table_t* table) {
    for (size_t i = 0; i < table->num_chains; ++i) {
        hash_chain_t* chain = table->chains[i];
        while (hash_item_t* item = chain->first_in_chain) {
            chain->first_in_chain = item->next_in_chain;
            unlink_from_list(table, item);
            --table->count;
            if (table->destructor != nullptr) table->destructor(hash_item_data(item));
            memory_pool_free(item);
        }
        chain->last_in_chain = nullptr;
        table->chains[i] = nullptr;
        memory_pool_free(chain);
    }
    memory_pool_free(table->chains);
    table->chains = nullptr;
}

const char* hash_item_key(const hash_item_t* item) { return item_key_bytes(item); }

int32_t hash_item_key_integer(const hash_item_t* item) {
    int32_t key = 0;
    std::memcpy(&key, item_key_bytes(item), sizeof key);
    return key;
}

void* hash_item_data(const hash_item_t* item) { return item_key_bytes(item) + align_up(item->key_size); }
