// Items are carved out of item blocks that the table owns: the header, the
// key bytes, then the data record at the next aligned offset. Every item is
// in the table's insertion-ordered list and in the chain its key's byte sum
// names.
//
// A table of up to SMALL_TABLE_MAX items keeps its chains implicit: a lookup
// walks the insertion list, which holds every chain's items in chain order.
// Past that size the table lays out all its chains in one block; each chain
// is an array of its items in insertion order, and a chain that grows past
// CHAIN_INDEX_MIN items also gets an open-addressing index keyed by a strong
// hash of the key. The byte sum alone puts similar names into the same few
// chains, so a large collection of such names has chains of thousands of
// items; the index keeps a lookup in them to a probe or two.
#include "hash.hpp"

#include <cstddef>
#include <cstring>

#include "exception.hpp"
#include "memory_pool.hpp"

struct hash_slot_t {
    uint32_t tag;       // high half of the key's strong hash
    uint32_t position;  // 1 + the item's position in the chain; 0 for a free slot
};

namespace {

constexpr size_t SMALL_TABLE_MAX = 16;
constexpr uint32_t CHAIN_INDEX_MIN = 8;
constexpr uint32_t FIRST_INDEX_SLOTS = 32;
constexpr uint32_t FIRST_CHAIN_CAPACITY = 4;

// The first item block of a table holds this many items of the size of the
// first one; each later block about as many as the table already has, up to
// MAX_ITEM_BLOCK bytes (or one item, if that is larger). That limit keeps a
// block, with its link and the pool's header, just under 8 KiB, a size the
// pool serves from its slabs eight to a slab rather than mapping it apart.
constexpr size_t FIRST_BLOCK_ITEMS = 5;
constexpr size_t MAX_ITEM_BLOCK = 8 * 1024 - 128 - 32;

constexpr size_t align_up(size_t size) {
    return (size + HASH_DATA_ALIGNMENT - 1) / HASH_DATA_ALIGNMENT * HASH_DATA_ALIGNMENT;
}

// An integer key and its data fit in 40 bytes.
constexpr size_t ITEM_HEADER_SIZE = HASH_ITEM_HEADER_SIZE;
constexpr size_t BLOCK_LINK_SIZE = align_up(sizeof(void*));
constexpr size_t TABLE_RECORD_SIZE = align_up(sizeof(hash_table_t));
constexpr size_t MAX_KEY_SIZE = (size_t{1} << 31) - 1;

static_assert(alignof(hash_item_t) <= HASH_DATA_ALIGNMENT, "items are placed at aligned offsets");
static_assert(sizeof(hash_item_t) <= align_up(ITEM_HEADER_SIZE), "the key follows the header fields");

char* item_key_bytes(const hash_item_t* item) { return const_cast<char*>(hash_item_key(item)); }

size_t data_offset(size_t key_size) { return align_up(ITEM_HEADER_SIZE + key_size); }

// Header, key and data of one item, a multiple of the alignment.
size_t item_size(size_t key_size, size_t data_size) { return data_offset(key_size) + align_up(data_size); }

// Sum of the key bytes, each taken as a signed 8-bit number, wrapping.
uint32_t key_byte_sum(const void* key, size_t key_size) {
    const auto* bytes = static_cast<const signed char*>(key);
    uint32_t sum = 0;
    for (size_t i = 0; i < key_size; ++i) sum += static_cast<uint32_t>(static_cast<int32_t>(bytes[i]));
    return sum;
}

uint64_t mix(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

// The strong hash of the chain indexes: eight key bytes at a time.
uint64_t key_strong_hash(const void* key, size_t key_size) {
    const auto* bytes = static_cast<const unsigned char*>(key);
    uint64_t hash = 0x9e3779b97f4a7c15ULL ^ key_size;
    while (key_size >= 8) {
        uint64_t word = 0;
        std::memcpy(&word, bytes, 8);
        hash = mix(hash ^ word);
        bytes += 8;
        key_size -= 8;
    }
    uint64_t word = 0;
    std::memcpy(&word, bytes, key_size);
    return mix(hash ^ word ^ (static_cast<uint64_t>(key_size) << 59));
}

struct lookup_key_t {
    int is_integer;
    const void* bytes;
    size_t size;
    uint32_t sum;
};

// An integer key is always 4 bytes, so its bytes compare as one number.
inline bool item_has_key(const hash_item_t* item, const lookup_key_t& key) {
    if (item->key_sum != key.sum || item->key_is_integer != static_cast<unsigned>(key.is_integer)) return false;
    if (key.is_integer) {
        int32_t wanted = 0;
        std::memcpy(&wanted, key.bytes, sizeof wanted);
        return hash_item_key_integer(item) == wanted;
    }
    return item->key_size == key.size && std::memcmp(item_key_bytes(item), key.bytes, key.size) == 0;
}

// Copies a stored record; the sizes of values and nodes are copied inline.
inline void copy_record(void* dest, const void* src, size_t size) {
    switch (size) {
    case 0: return;
    case 16: std::memcpy(dest, src, 16); return;
    case 24: std::memcpy(dest, src, 24); return;
    case 48: std::memcpy(dest, src, 48); return;
    default: std::memcpy(dest, src, size); return;
    }
}

hash_chain_t* chain_of(const hash_table_t* table, uint32_t sum) { return &table->chains[sum % table->num_chains]; }

hash_item_t* index_lookup(const hash_chain_t* chain, const lookup_key_t& key) {
    const uint64_t hash = key_strong_hash(key.bytes, key.size);
    const auto tag = static_cast<uint32_t>(hash >> 32);
    for (uint32_t slot = static_cast<uint32_t>(hash) & chain->index_mask;; slot = (slot + 1) & chain->index_mask) {
        const hash_slot_t& entry = chain->index[slot];
        if (entry.position == 0) return nullptr;
        if (entry.tag == tag) {
            hash_item_t* item = chain->items[entry.position - 1];
            if (item_has_key(item, key)) return item;
        }
    }
}

void index_insert(hash_chain_t* chain, const hash_item_t* item, uint32_t position) {
    const uint64_t hash = key_strong_hash(item_key_bytes(item), item->key_size);
    uint32_t slot = static_cast<uint32_t>(hash) & chain->index_mask;
    while (chain->index[slot].position != 0) slot = (slot + 1) & chain->index_mask;
    chain->index[slot] = {static_cast<uint32_t>(hash >> 32), position + 1};
}

void index_rebuild(hash_chain_t* chain, uint32_t slots) {
    if (chain->index != nullptr) memory_pool_free(chain->index);
    chain->index = static_cast<hash_slot_t*>(memory_pool_alloc(size_t{slots} * sizeof(hash_slot_t)));
    std::memset(chain->index, 0, size_t{slots} * sizeof(hash_slot_t));
    chain->index_mask = slots - 1;
    for (uint32_t position = 0; position < chain->count; ++position) {
        index_insert(chain, chain->items[position], position);
    }
}

// Appends `item` at the end of its chain, keeping the chain's index at most
// half full.
void chain_append(hash_chain_t* chain, hash_item_t* item) {
    if (chain->count == chain->capacity) {
        if (chain->capacity > UINT32_MAX / 2) fatal_error("Hash chain of %u items cannot grow", chain->count);
        const uint32_t capacity = chain->capacity == 0 ? FIRST_CHAIN_CAPACITY : chain->capacity * 2;
        const size_t bytes = size_t{capacity} * sizeof(hash_item_t*);
        chain->items = static_cast<hash_item_t**>(chain->items == nullptr ? memory_pool_alloc(bytes)
                                                                          : memory_pool_realloc(chain->items, bytes));
        chain->capacity = capacity;
    }
    const uint32_t position = chain->count++;
    chain->items[position] = item;
    if (chain->index != nullptr) {
        const uint32_t slots = chain->index_mask + 1;
        if (chain->count > slots / 2) {
            index_rebuild(chain, slots * 2);
        } else {
            index_insert(chain, item, position);
        }
    } else if (chain->count >= CHAIN_INDEX_MIN) {
        index_rebuild(chain, FIRST_INDEX_SLOTS);
    }
}

// Lays out the chains of a table that has outgrown the implicit ones.
void lay_out_chains(hash_table_t* table) {
    const size_t bytes = table->num_chains * sizeof(hash_chain_t);
    table->chains = static_cast<hash_chain_t*>(memory_pool_alloc(bytes));
    std::memset(table->chains, 0, bytes);
    for (hash_item_t* item = table->first_in_list; item != nullptr; item = item->next_in_list) {
        chain_append(chain_of(table, item->key_sum), item);
    }
}

inline hash_item_t* hash_find_item(const hash_table_t* table, const lookup_key_t& key) {
    if (table->chains == nullptr) {
        for (hash_item_t* item = table->first_in_list; item != nullptr; item = item->next_in_list) {
            if (item_has_key(item, key)) return item;
        }
        return nullptr;
    }
    const hash_chain_t* chain = chain_of(table, key.sum);
    if (chain->index != nullptr) return index_lookup(chain, key);
    for (uint32_t position = 0; position < chain->count; ++position) {
        if (item_has_key(chain->items[position], key)) return chain->items[position];
    }
    return nullptr;
}

// Each item block starts with a link to the block before it. The first block
// of a table made by hash_create lies in the table's own pool block; its
// link carries a mark in its lowest bit, and it is released with the table.
void set_block_link(void* block, void* older, bool in_table) {
    *static_cast<uintptr_t*>(block) = reinterpret_cast<uintptr_t>(older) | (in_table ? 1 : 0);
}

void* block_link(const void* block) {
    return reinterpret_cast<void*>(*static_cast<const uintptr_t*>(block) & ~uintptr_t{1});
}

bool block_is_inline(const void* block) { return block != nullptr && (*static_cast<const uintptr_t*>(block) & 1) != 0; }

// Starts a new item block of `bytes`; what was left in the last one stays unused.
void add_item_block(hash_table_t* table, size_t bytes) {
    if (bytes > UINT32_MAX) fatal_error("Hash item block of %zu bytes is too large", bytes);
    void* block = memory_pool_alloc(BLOCK_LINK_SIZE + bytes);
    set_block_link(block, table->item_blocks, false);
    table->item_blocks = block;
    table->free_space = static_cast<char*>(block) + BLOCK_LINK_SIZE;
    table->free_bytes = static_cast<uint32_t>(bytes);
}

// A new item block with room for items of `size` bytes: as many as the
// table has, at least FIRST_BLOCK_ITEMS, at most what MAX_ITEM_BLOCK holds.
void grow_item_space(hash_table_t* table, size_t size) {
    const size_t items = table->count > FIRST_BLOCK_ITEMS ? table->count : FIRST_BLOCK_ITEMS;
    size_t bytes = items <= MAX_ITEM_BLOCK / size ? items * size : MAX_ITEM_BLOCK / size * size;
    add_item_block(table, bytes < size ? size : bytes);
}

// Space for one item of `size` bytes (a multiple of the alignment).
inline char* take_item_space(hash_table_t* table, size_t size) {
    if (size > table->free_bytes) grow_item_space(table, size);
    char* place = table->free_space;
    table->free_space += size;
    table->free_bytes -= static_cast<uint32_t>(size);
    return place;
}

inline void append_to_list(hash_table_t* table, hash_item_t* item) {
    item->next_in_list = nullptr;
    if (table->last_in_list != nullptr) {
        table->last_in_list->next_in_list = item;
    } else {
        table->first_in_list = item;
    }
    table->last_in_list = item;
}

// Puts a filled-in item at the end of the list and of its chain.
void append_item(hash_table_t* table, hash_item_t* item) {
    append_to_list(table, item);
    ++table->count;
    if (table->chains != nullptr) {
        chain_append(chain_of(table, item->key_sum), item);
    } else if (table->count > SMALL_TABLE_MAX) {
        lay_out_chains(table);
    }
}

// Fills in an item's header, key and data.
inline void write_item(hash_item_t* item, const lookup_key_t& key, const void* data, size_t data_size) {
    item->key_sum = key.sum;
    item->data_size = static_cast<uint32_t>(data_size);
    item->key_size = static_cast<uint32_t>(key.size) & MAX_KEY_SIZE;
    item->key_is_integer = key.is_integer != 0;
    // The header is complete before the key bytes go into its tail.
    if (key.is_integer) {
        std::memcpy(item_key_bytes(item), key.bytes, sizeof(int32_t));
    } else {
        std::memcpy(item_key_bytes(item), key.bytes, key.size);
    }
    copy_record(reinterpret_cast<char*>(item) + data_offset(key.size), data, data_size);
}

// Adds the item; `known_new` skips the search for a key that cannot be in
// the table yet (an integer key not below next_integer).
inline int hash_add_item(hash_table_t* table, const lookup_key_t& key, const void* data, size_t data_size,
                         hash_iterator_t* ppitem, bool known_new) {
    if (!known_new) {
        if (hash_item_t* existing = hash_find_item(table, key)) {
            if (ppitem != nullptr) *ppitem = existing;
            return -1;
        }
    }
    if (key.size > MAX_KEY_SIZE || data_size > UINT32_MAX) {
        fatal_error("Hash item with a %zu-byte key and %zu bytes of data is too large", key.size, data_size);
    }
    auto* item = reinterpret_cast<hash_item_t*>(take_item_space(table, item_size(key.size, data_size)));
    write_item(item, key, data, data_size);
    append_item(table, item);
    if (ppitem != nullptr) *ppitem = item;
    return 0;
}

// One pass gives the length and the byte sum of a text key.
inline lookup_key_t text_key(const char* key) {
    const auto* bytes = reinterpret_cast<const signed char*>(key);
    uint32_t sum = 0;
    size_t length = 0;
    for (; bytes[length] != 0; ++length) sum += static_cast<uint32_t>(static_cast<int32_t>(bytes[length]));
    return {0, key, length + 1, sum};
}

// The byte sum of the key's four little-endian bytes.
inline lookup_key_t integer_key(const int32_t* key) {
    const auto bits = static_cast<uint32_t>(*key);
    if (bits < 0x80) return {1, key, sizeof *key, bits};  // one positive byte: the sum is the key
    const int32_t sum = static_cast<int8_t>(bits) + static_cast<int8_t>(bits >> 8) + static_cast<int8_t>(bits >> 16) +
                        static_cast<int8_t>(bits >> 24);
    return {1, key, sizeof *key, static_cast<uint32_t>(sum)};
}

// The common push: a key of one positive byte into a table that still has
// no chains and will not need them, with room left in its item block, so
// that neither a search, a new block nor the chains come into it. Returns
// null when the push is not of that kind.
inline hash_item_t* push_small(hash_table_t* table, int32_t key, const void* data, size_t data_size) {
    const size_t size = item_size(sizeof key, data_size);
    if (key < 0 || key >= 0x7f || table->chains != nullptr || table->count >= SMALL_TABLE_MAX ||
        size > table->free_bytes) {
        return nullptr;
    }
    auto* item = reinterpret_cast<hash_item_t*>(take_item_space(table, size));
    write_item(item, integer_key(&key), data, data_size);
    append_to_list(table, item);  // no chains to join, and none needed yet
    ++table->count;
    table->next_integer = key + 1;
    return item;
}

// Returns the chains and the item blocks to the pool (not the record, nor an
// item block inside it) and leaves the table empty.
void release_storage(hash_table_t* table) {
    table->first_in_list = table->last_in_list = nullptr;
    table->count = 0;
    if (table->chains != nullptr) {
        for (size_t i = 0; i < table->num_chains; ++i) {
            hash_chain_t* chain = &table->chains[i];
            if (chain->items != nullptr) memory_pool_free(chain->items);
            if (chain->index != nullptr) memory_pool_free(chain->index);
        }
        memory_pool_free(table->chains);
        table->chains = nullptr;
    }
    while (void* block = table->item_blocks) {
        table->item_blocks = block_link(block);
        if (!block_is_inline(block)) memory_pool_free(block);
    }
    table->free_space = nullptr;
    table->free_bytes = 0;
}

}  // namespace

size_t hash_calculate(const hash_table_t* table, const void* key, size_t key_size) {
    return key_byte_sum(key, key_size) % table->num_chains;
}

void _hash_init(hash_table_t* table, size_t num_chains, hash_dtor_t destructor) {
    if (num_chains == 0) fatal_error("Hash table without chains");
    table->num_chains = num_chains;
    table->chains = nullptr;
    table->first_in_list = table->last_in_list = nullptr;
    table->destructor = destructor;
    table->count = 0;
    table->next_integer = 0;
    table->free_bytes = 0;
    table->free_space = nullptr;
    table->item_blocks = nullptr;
}

size_t hash_count(const hash_table_t* table) { return table->count; }

size_t hash_list_bytes(size_t count, size_t data_size) {
    const size_t size = item_size(sizeof(int32_t), data_size);
    if (count > SIZE_MAX / size) fatal_error("Hash list of %zu items is too large", count);
    return count * size;
}

size_t hash_item_bytes(const hash_table_t* table) {
    size_t bytes = 0;  // every item is in memory, so the sum cannot wrap
    for (const hash_item_t* item = table->first_in_list; item != nullptr; item = item->next_in_list) {
        bytes += item_size(item->key_size, item->data_size);
    }
    return bytes;
}

hash_table_t* hash_create(size_t num_chains, hash_dtor_t destructor, size_t item_bytes) {
    if (item_bytes > UINT32_MAX) fatal_error("Hash item block of %zu bytes is too large", item_bytes);
    const size_t block_size = item_bytes > 0 ? TABLE_RECORD_SIZE + BLOCK_LINK_SIZE + item_bytes : sizeof(hash_table_t);
    auto* table = static_cast<hash_table_t*>(memory_pool_alloc(block_size));
    _hash_init(table, num_chains, destructor);
    if (item_bytes > 0) {
        char* block = reinterpret_cast<char*>(table) + TABLE_RECORD_SIZE;
        set_block_link(block, nullptr, true);
        table->item_blocks = block;
        table->free_space = block + BLOCK_LINK_SIZE;
        table->free_bytes = static_cast<uint32_t>(item_bytes);
    }
    return table;
}

hash_table_t* hash_pack(hash_table_t* table) {
    if (table->count == 0 ||
        (table->free_bytes == 0 && block_is_inline(table->item_blocks) && block_link(table->item_blocks) == nullptr)) {
        return table;
    }
    hash_table_t* packed = hash_create(table->num_chains, table->destructor, hash_item_bytes(table));
    packed->next_integer = table->next_integer;
    for (hash_item_t* item = table->first_in_list; item != nullptr; item = item->next_in_list) {
        const size_t size = item_size(item->key_size, item->data_size);
        auto* moved = reinterpret_cast<hash_item_t*>(take_item_space(packed, size));
        std::memcpy(static_cast<void*>(moved), item, size);
        append_item(packed, moved);
    }
    release_storage(table);
    memory_pool_free(table);
    return packed;
}

void* hash_find_string(const hash_table_t* table, const char* key) {
    hash_item_t* item = hash_find_item(table, text_key(key));
    return item != nullptr ? hash_item_data(item) : nullptr;
}

// Records and lists are small tables of integer keys, read slot by slot, so
// their walk compares the keys alone.
void* hash_find_integer(const hash_table_t* table, int32_t key) {
    if (table->chains == nullptr) {
        for (hash_item_t* item = table->first_in_list; item != nullptr; item = item->next_in_list) {
            // A shorter text key leaves the bytes unset, so the kind is tested first.
            if (item->key_is_integer && hash_item_key_integer(item) == key) return hash_item_data(item);
        }
        return nullptr;
    }
    hash_item_t* item = hash_find_item(table, integer_key(&key));
    return item != nullptr ? hash_item_data(item) : nullptr;
}

int _hash_add_string(hash_table_t* table, const char* key, const void* data, size_t data_size,
                     hash_iterator_t* ppitem) {
    return hash_add_item(table, text_key(key), data, data_size, ppitem, false);
}

// Every integer key in the table is below next_integer, so a key at or above
// it is new and needs no search.
int _hash_add_integer(hash_table_t* table, int32_t key, const void* data, size_t data_size, hash_iterator_t* ppitem) {
    const bool above = table->next_integer <= key;
    const int result = hash_add_item(table, integer_key(&key), data, data_size, ppitem, above);
    if (result == 0 && above) {
        if (key == INT32_MAX) fatal_error("Hash table integer keys exhausted");
        table->next_integer = key + 1;
    }
    return result;
}

namespace {

// Kept out of line, so that the common push does not pay for this one's
// registers.
[[gnu::noinline]] void push_any(hash_table_t* table, const void* data, size_t data_size, hash_iterator_t* ppitem) {
    const int32_t key = table->next_integer;
    hash_add_item(table, integer_key(&key), data, data_size, ppitem, true);
    if (key == INT32_MAX) fatal_error("Hash table integer keys exhausted");
    table->next_integer = key + 1;
}

}  // namespace

void _hash_push_integer(hash_table_t* table, const void* data, size_t data_size, hash_iterator_t* ppitem) {
    hash_item_t* item = push_small(table, table->next_integer, data, data_size);
    if (item == nullptr) {
        push_any(table, data, data_size, ppitem);
    } else if (ppitem != nullptr) {
        *ppitem = item;
    }
}

// Releases the records in insertion order, then the chains and item blocks.
void hash_shutdown(hash_table_t* table) {
    for (hash_item_t* item = table->first_in_list; item != nullptr;) {
        hash_item_t* next = item->next_in_list;
        --table->count;
        if (table->destructor != nullptr) table->destructor(hash_item_data(item));
        item = next;
    }
    release_storage(table);
}

size_t hash_item_chain(const hash_table_t* table, const hash_item_t* item) {
    const size_t index = item->key_sum % table->num_chains;
    if (table->chains == nullptr) {
        for (const hash_item_t* it = table->first_in_list; it != nullptr; it = it->next_in_list) {
            if (it == item) return index;
        }
        return SIZE_MAX;
    }
    const hash_chain_t& chain = table->chains[index];
    for (uint32_t position = 0; position < chain.count; ++position) {
        if (chain.items[position] == item) return index;
    }
    return SIZE_MAX;
}
