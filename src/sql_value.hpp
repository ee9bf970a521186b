// The tagged run-time value: null, 32-bit integer, owned text or owned array.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hash.hpp"

// The fixed underlying type keeps any stored tag a defined value, so that a
// corrupted one reaches the unknown-type checks instead of undefined behaviour.
enum value_type_t : int { VALUE_NULL = 0, VALUE_INTEGER = 1, VALUE_STRING = 2, VALUE_ARRAY = 3 };

struct sql_value_t {
    value_type_t type;
    union {
        int32_t integer;
        char* string;
        hash_table_t* hash;
    };
};

void value_init_null(sql_value_t* value);
void value_init_integer(sql_value_t* value, int32_t integer);
void value_init_string_attach(sql_value_t* value, char* string);
void value_init_string_clen(sql_value_t* value, const char* string, size_t len);
void value_init_string_copy(sql_value_t* value, const char* string);
void value_init_array(sql_value_t* value);
// An empty array with room, in its own block, for `count` pushed values.
void value_init_list(sql_value_t* value, size_t count);
void value_push(sql_value_t* array, sql_value_t* value);
void value_shutdown(sql_value_t* value);
void value_deep_copy(sql_value_t* dest, const sql_value_t* src);

// Destructor for tables whose records are values.
void value_dtor(void* value);

// Slot `index` of an array value (integer key), or null when absent.
sql_value_t* value_slot(const sql_value_t* array, int32_t index);
// Slots 0 to `count` - 1 of an array value in one walk of its items;
// slots[i] is null where the array has no key i. A record read slot by slot
// would walk its items once for each.
void value_slots(const sql_value_t* array, sql_value_t** slots, int32_t count);
