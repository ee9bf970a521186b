// Values. An array's table holds values and has value_dtor as destructor.
// Arrays nest without bound (a function that doubles the depth of its
// argument, called through a few others, nests a value millions deep), so
// copying and releasing walk nested arrays with a stack of their own, never
// by recursion.
#include "sql_value.hpp"

#include <cassert>
#include <vector>

#include "exception.hpp"
#include "memory_pool.hpp"
#include "utils.hpp"

void value_init_null(sql_value_t* value) { value->type = VALUE_NULL; }

void value_init_integer(sql_value_t* value, int32_t integer) {
    value->type = VALUE_INTEGER;
    value->integer = integer;
}

void value_init_string_attach(sql_value_t* value, char* string) {
    value->type = VALUE_STRING;
    value->string = string;
}

void value_init_string_clen(sql_value_t* value, const char* string, size_t len) {
    value_init_string_attach(value, copy_strlen(string, len));
}

void value_init_string_copy(sql_value_t* value, const char* string) {
    value_init_string_attach(value, copy_string(string));
}

void value_init_array(sql_value_t* value) {
    value->type = VALUE_ARRAY;
    value->hash = hash_create(HASH_CHAINS, value_dtor, 0);
}

void value_init_list(sql_value_t* value, size_t count) {
    value->type = VALUE_ARRAY;
    value->hash = hash_create(HASH_CHAINS, value_dtor, hash_list_bytes(count, sizeof(sql_value_t)));
}

void value_push(sql_value_t* array, sql_value_t* value) {
    if (array->type != VALUE_ARRAY) fatal_error("Assertion failed: array->type == VALUE_ARRAY");
    _hash_push_integer(array->hash, value, sizeof *value, nullptr);
}

namespace {

// Where a walk left a table to go down into one of its nested arrays.
struct release_frame_t {
    hash_table_t* table;
    hash_item_t* next;
};

struct copy_frame_t {
    const hash_item_t* next;
    hash_table_t* dest;
};

// Kept between walks, so that only a deeper nesting than ever before
// allocates. A walk uses the part above the size it found.
std::vector<release_frame_t> release_frames;
std::vector<copy_frame_t> copy_frames;

sql_value_t* item_value(const hash_item_t* item) { return static_cast<sql_value_t*>(hash_item_data(item)); }

// Releases an array table and everything below it, depth first: each nested
// array is taken out of its slot, leaving null, and released before the
// table that held it, whose destructor then meets texts and scalars only.
void release_array(hash_table_t* table) {
    const size_t base = release_frames.size();
    hash_item_t* item = table->first_in_list;
    for (;;) {
        while (item != nullptr && item_value(item)->type != VALUE_ARRAY) item = item->next_in_list;
        if (item != nullptr) {
            sql_value_t* nested = item_value(item);
            release_frames.push_back({table, item->next_in_list});
            table = nested->hash;
            value_init_null(nested);
            item = table->first_in_list;
            continue;
        }
        hash_shutdown(table);
        memory_pool_free(table);
        if (release_frames.size() == base) return;
        table = release_frames.back().table;
        item = release_frames.back().next;
        release_frames.pop_back();
    }
}

}  // namespace

void value_shutdown(sql_value_t* value) {
    switch (value->type) {
    case VALUE_NULL:
    case VALUE_INTEGER: return;
    case VALUE_STRING: memory_pool_free(value->string); return;
    case VALUE_ARRAY: release_array(value->hash); return;
    }
    fatal_error("Attempt to shutdown value at %p of unknown type %d", static_cast<void*>(value),
                static_cast<int>(value->type));
}

void value_dtor(void* value) { value_shutdown(static_cast<sql_value_t*>(value)); }

namespace {

// An empty copy of an array: its items will fit, exactly, in the same block
// as its table.
void start_array_copy(sql_value_t* dest, const hash_table_t* src) {
    dest->type = VALUE_ARRAY;
    dest->hash = hash_create(HASH_CHAINS, value_dtor, hash_item_bytes(src));
}

void copy_scalar(sql_value_t* dest, const sql_value_t* src) {
    switch (src->type) {
    case VALUE_NULL: value_init_null(dest); return;
    case VALUE_INTEGER: value_init_integer(dest, src->integer); return;
    case VALUE_STRING: value_init_string_copy(dest, src->string); return;
    case VALUE_ARRAY: break;
    }
    fatal_error("Attempt to copy value at %p of unknown type %d", static_cast<const void*>(src),
                static_cast<int>(src->type));
}

// Adds the element under the key of `item`, so the copy keeps keys and order.
void add_like(hash_table_t* dest, const hash_item_t* item, const sql_value_t* element) {
    if (item->key_is_integer) {
        _hash_add_integer(dest, hash_item_key_integer(item), element, sizeof *element, nullptr);
    } else {
        _hash_add_string(dest, hash_item_key(item), element, sizeof *element, nullptr);
    }
}

// Fills the empty copy `dest` of the array table `src`, depth first: a nested
// array is added to its table as an empty copy, filled before the walk goes
// on with the items after it.
void copy_array_items(hash_table_t* dest, const hash_table_t* src) {
    const size_t base = copy_frames.size();
    const hash_item_t* item = src->first_in_list;
    for (;;) {
        for (; item != nullptr; item = item->next_in_list) {
            const sql_value_t* element = item_value(item);
            sql_value_t copy;
            if (element->type == VALUE_ARRAY) {
                start_array_copy(&copy, element->hash);
                add_like(dest, item, &copy);
                copy_frames.push_back({item->next_in_list, dest});
                dest = copy.hash;
                item = element->hash->first_in_list;
                break;
            }
            copy_scalar(&copy, element);
            add_like(dest, item, &copy);
        }
        if (item != nullptr) continue;
        if (copy_frames.size() == base) return;
        item = copy_frames.back().next;
        dest = copy_frames.back().dest;
        copy_frames.pop_back();
    }
}

}  // namespace

void value_deep_copy(sql_value_t* dest, const sql_value_t* src) {
    if (src->type != VALUE_ARRAY) {
        copy_scalar(dest, src);
        return;
    }
    start_array_copy(dest, src->hash);
    copy_array_items(dest->hash, src->hash);
}

sql_value_t* value_slot(const sql_value_t* array, int32_t index) {
    if (array->type != VALUE_ARRAY) return nullptr;
    return static_cast<sql_value_t*>(hash_find_integer(array->hash, index));
}

void value_slots(const sql_value_t* array, sql_value_t** slots, int32_t count) {
    for (int32_t index = 0; index < count; ++index) slots[index] = nullptr;
    if (array->type != VALUE_ARRAY) return;
    int32_t found = 0;
    for (hash_iterator_t it = array->hash->first_in_list; it != nullptr && found < count; it = it->next_in_list) {
        if (!it->key_is_integer) continue;
        const int32_t key = hash_item_key_integer(it);
        if (key >= 0 && key < count) {
            slots[key] = static_cast<sql_value_t*>(hash_item_data(it));
            ++found;
        }
    }
}
