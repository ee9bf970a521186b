// The native function interface: registry entries, handler form, argument
// descriptors, the run a handler serves, and the general-purpose built-in
// `array`. A registry (such as the built-ins' table) is handed to the
// compiler by its caller.
#pragma once

#include "hash.hpp"
#include "sql_value.hpp"

struct sql_node_t;
struct symbol_table_t;
struct program_output_t;

// The single run's execution state. The executor fills it; a handler reads
// the output it stores into and the statement that is running.
struct executor_globals_t {
    sql_node_t* current;  // top-level statement being run
    hash_table_t* functions;
    symbol_table_t* symbol_table;
    program_output_t* output;
};

extern executor_globals_t executor_globals;

using native_handler_t = void (*)(sql_value_t* result, hash_table_t* args);

struct native_info_t {
    const char* name;
    native_handler_t handler;
};

struct native_fetch_t {
    sql_value_t** dest;  // null ends a descriptor list
    int value_type;      // a value_type_t, or -1 for any type
};

void fetch_native_args(hash_table_t* args, const native_fetch_t* fetch);

void handler_array(sql_value_t* result, hash_table_t* args);
