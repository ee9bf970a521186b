// The native function interface: registry entries, handler form, argument
// descriptors, and the general-purpose built-in `array`.
#pragma once

#include "hash.hpp"
#include "sql_value.hpp"

using native_handler_t = void (*)(sql_value_t* result, hash_table_t* args);

struct native_info_t {
    const char* name;
    native_handler_t handler;
};

struct native_fetch_t {
    sql_value_t** dest;  // null ends a descriptor list
    int value_type;      // a value_type_t, or -1 for any type
};

// The nine built-ins in registration order, then an end marker.
extern const native_info_t handlers_builtin[10];

void fetch_native_args(hash_table_t* args, const native_fetch_t* fetch);

void handler_array(sql_value_t* result, hash_table_t* args);
