// Items are carved out of item blocks that the table owns: the header, the
// key bytes, then the data record at the next aligned offset. The byte sum
// of a key names its chain; it puts similar names into the same few chains,
// so lookups go through a strong hash of the key instead.
//
// Invariants. Every item is on the insertion list exactly once, count is the
// list's length and last_in_list its last item; no two items have the same
// kind and key bytes; an item's key_sum is the signed byte sum of its key;
// every integer key is below next_integer. A table of up to SMALL_TABLE_MAX
// items has no index. A larger one has an index of a power of two slots, at
// most half of them used, so that every probe sequence ends at a free slot;
// each item is in exactly one slot, with its key's strong hash beside it,
// reached from the slot that hash names by stepping forward over used slots
// only. Each item block starts with a link to the block before it, the
// lowest bit set on the one that lies in the table's own pool block
// (hash_create), which goes with the table; free_space and free_bytes
// describe the unused end of the newest block.
#include "hash.hpp"

#include <cstddef>
#include <cstring>

#include "exception.hpp"
#include "memory_pool.hpp"

struct hash_slot_t {
    hash_item_t* item;  // null for a free slot
    uint64_t hash;      // the key's strong hash
};

namespace {

constexpr size_t SMALL_TABLE_MAX = 16;
constexpr size_t FIRST_INDEX_SLOTS = 64;

// The first item block of a table holds this many items of the size of the
// first one; each later block about as many as the table already has, up to
// what a block of about 8 KiB that fills its slabs holds (or one item, if
// that is larger).
constexpr size_t FIRST_BLOCK_ITEMS = 5;

constexpr size_t align_up(size_t size) {
    return (size + HASH_DATA_ALIGNMENT - 1) / HASH_DATA_ALIGNMENT * HASH_DATA_ALIGNMENT;
}

// An integer key and its data fit in 40 bytes.
constexpr size_t ITEM_HEADER_SIZE = HASH_ITEM_HEADER_SIZE;
constexpr size_t BLOCK_LINK_SIZE = align_up(sizeof(void*));
constexpr size_t TABLE_RECORD_SIZE = align_up(sizeof(hash_table_t));
constexpr size_t MAX_KEY_SIZE = (size_t{1} << 31) - 1;
const size_t MAX_ITEM_BLOCK = memory_pool_fitting_size(8 * 1024) - BLOCK_LINK_SIZE;

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

// The strong hash of the index: eight key bytes at a time.
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

hash_item_t* index_lookup(const hash_table_t* table, const lookup_key_t& key, uint64_t hash) {
    for (size_t slot = hash & table->index_mask;; slot = (slot + 1) & table->index_mask) {
        const hash_slot_t& entry = table->index[slot];
        if (entry.item == nullptr) return nullptr;
        if (entry.hash == hash && item_has_key(entry.item, key)) return entry.item;
    }
}

void index_insert(hash_table_t* table, hash_item_t* item, uint64_t hash) {
    size_t slot = hash & table->index_mask;
    while (table->index[slot].item != nullptr) slot = (slot + 1) & table->index_mask;
    table->index[slot] = {item, hash};
}

uint64_t item_hash(const hash_item_t* item) { return key_strong_hash(hash_item_key(item), item->key_size); }

// A new index of at least twice as many slots as items, over every item; the
// hashes come from the old index, if there is one.
void index_rebuild(hash_table_t* table) {
    size_t slots = FIRST_INDEX_SLOTS;
    while (slots < table->count * 2) slots *= 2;
    if (slots - 1 > UINT32_MAX) fatal_error("Hash table of %zu items cannot grow", table->count);
    hash_slot_t* old = table->index;
    const size_t old_slots = old != nullptr ? size_t{table->index_mask} + 1 : 0;
    table->index = static_cast<hash_slot_t*>(memory_pool_alloc(slots * sizeof(hash_slot_t)));
    std::memset(static_cast<void*>(table->index), 0, slots * sizeof(hash_slot_t));
    table->index_mask = static_cast<uint32_t>(slots - 1);
    if (old == nullptr) {
        for (hash_item_t* item = table->first_in_list; item != nullptr; item = item->next_in_list) {
            index_insert(table, item, item_hash(item));
        }
        return;
    }
    for (size_t slot = 0; slot < old_slots; ++slot) {
        if (old[slot].item != nullptr) index_insert(table, old[slot].item, old[slot].hash);
    }
    memory_pool_free(old);
}

inline hash_item_t* hash_find_item(const hash_table_t* table, const lookup_key_t& key) {
    if (table->index == nullptr) {
        for (hash_item_t* item = table->first_in_list; item != nullptr; item = item->next_in_list) {
            if (item_has_key(item, key)) return item;
        }
        return nullptr;
    }
    return index_lookup(table, key, key_strong_hash(key.bytes, key.size));
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

// Puts a filled-in item at the end of the list and into the index, if the
// table has one, under `hash`; the index grows before it is more than half full.
void append_item(hash_table_t* table, hash_item_t* item, uint64_t hash) {
    append_to_list(table, item);
    ++table->count;
    if (table->index != nullptr) {
        if (table->count * 2 > size_t{table->index_mask} + 1) index_rebuild(table);  // of the items before
        index_insert(table, item, hash);
    } else if (table->count > SMALL_TABLE_MAX) {
        index_rebuild(table);  // of every item, this one too
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
    const uint64_t hash = table->index != nullptr ? key_strong_hash(key.bytes, key.size) : 0;
    if (!known_new) {
        hash_item_t* existing = table->index != nullptr ? index_lookup(table, key, hash) : hash_find_item(table, key);
        if (existing != nullptr) {
            if (ppitem != nullptr) *ppitem = existing;
            return -1;
        }
    }
    if (key.size > MAX_KEY_SIZE || data_size > UINT32_MAX) {
        fatal_error("Hash item with a %zu-byte key and %zu bytes of data is too large", key.size, data_size);
    }
    auto* item = reinterpret_cast<hash_item_t*>(take_item_space(table, item_size(key.size, data_size)));
    write_item(item, key, data, data_size);
    append_item(table, item, hash);
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
// no index and will not need one, with room left in its item block, so
// that neither a search, a new block nor the index come into it. Returns
// null when the push is not of that kind.
inline hash_item_t* push_small(hash_table_t* table, int32_t key, const void* data, size_t data_size) {
    const size_t size = item_size(sizeof key, data_size);
    if (key < 0 || key >= 0x7f || table->index != nullptr || table->count >= SMALL_TABLE_MAX ||
        size > table->free_bytes) {
        return nullptr;
    }
    auto* item = reinterpret_cast<hash_item_t*>(take_item_space(table, size));
    write_item(item, integer_key(&key), data, data_size);
    append_to_list(table, item);  // no index to join, and none needed yet
    ++table->count;
    table->next_integer = key + 1;
    return item;
}

// Returns the index and the item blocks to the pool (not the record, nor an
// item block inside it) and leaves the table empty.
void release_storage(hash_table_t* table) {
    table->first_in_list = table->last_in_list = nullptr;
    table->count = 0;
    if (table->index != nullptr) {
        memory_pool_free(table->index);
        table->index = nullptr;
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
    if (num_chains == 0 || num_chains > UINT32_MAX) fatal_error("Hash table of %zu chains", num_chains);
    table->num_chains = static_cast<uint32_t>(num_chains);
    table->index_mask = 0;
    table->index = nullptr;
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
        append_to_list(packed, moved);
        ++packed->count;
    }
    if (packed->count > SMALL_TABLE_MAX) index_rebuild(packed);
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
    if (table->index == nullptr) {
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

// Releases the records in insertion order, then the index and item blocks.
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
    const lookup_key_t key = {static_cast<int>(item->key_is_integer), hash_item_key(item), item->key_size,
                              item->key_sum};
    return hash_find_item(table, key) == item ? item->key_sum % table->num_chains : SIZE_MAX;
}

namespace {

bool index_is_sound(const hash_table_t* table) {
    if (table->count <= SMALL_TABLE_MAX) return table->index == nullptr;
    const size_t slots = size_t{table->index_mask} + 1;
    if (table->index == nullptr || (slots & table->index_mask) != 0 || table->count * 2 > slots) return false;
    size_t used = 0;
    for (size_t slot = 0; slot < slots; ++slot) {
        const hash_slot_t& entry = table->index[slot];
        if (entry.item == nullptr) continue;
        ++used;
        if (entry.hash != item_hash(entry.item)) return false;
    }
    return used == table->count;
}

bool item_is_sound(const hash_table_t* table, const hash_item_t* item) {
    if (item->key_sum != key_byte_sum(hash_item_key(item), item->key_size)) return false;
    if (item->key_is_integer &&
        (item->key_size != sizeof(int32_t) || hash_item_key_integer(item) >= table->next_integer)) {
        return false;
    }
    if (!item->key_is_integer && (item->key_size == 0 || hash_item_key(item)[item->key_size - 1] != 0)) return false;
    return hash_item_chain(table, item) != SIZE_MAX;  // found, so first of its key and reachable in the index
}

}  // namespace

// The index is checked first: a full one would make a lookup of a missing key
// run forever.
bool hash_check(const hash_table_t* table) {
    size_t length = 0;
    const hash_item_t* last = nullptr;
    for (const hash_item_t* item = table->first_in_list; item != nullptr; item = item->next_in_list) {
        if (++length > table->count) return false;
        last = item;
    }
    if (length != table->count || last != table->last_in_list || !index_is_sound(table)) return false;
    for (const hash_item_t* item = table->first_in_list; item != nullptr; item = item->next_in_list) {
        if (!item_is_sound(table, item)) return false;
    }
    return true;
}
