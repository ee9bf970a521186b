// Expression tree nodes built by the grammar and evaluated by the executor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hash.hpp"
#include "sql_value.hpp"

// Fixed underlying types: see value_type_t.
enum node_type_t : int { NODE_OPERATOR = 0, NODE_VALUE = 1, NODE_VARIABLE = 2, NODE_ARRAY = 3 };
enum sql_opcode_t : int { OPERATOR_CONCAT = 0, OPERATOR_FCALL = 1 };

struct sql_node_t;

// Where a node was written: the file, shared with the compiled program's file
// names (null where no file is being read), and the line.
struct node_location_t {
    const char* pathname;
    unsigned line;
};

struct sql_operator_t {
    sql_opcode_t opcode;
    sql_node_t* op1;
    sql_node_t* op2;
};

struct sql_node_t {
    node_type_t type;
    union {
        sql_operator_t op;
        sql_value_t value;
        hash_table_t* hash;
        char* variable;
    };
    const char* pathname;  // shared with the compiled program's file names
    unsigned line;
};

// Every initialiser records `where` as the node's location: the caller knows
// where it is reading.
void node_init_operator(sql_node_t* node, sql_opcode_t opcode, sql_node_t* op1, sql_node_t* op2, node_location_t where);
void node_init_variable_clen(sql_node_t* node, const char* name, size_t len, node_location_t where);
void node_init_array(sql_node_t* node, node_location_t where);
// An empty array with room, in its own block, for `count` pushed nodes.
void node_init_list(sql_node_t* node, size_t count, node_location_t where);
void node_push(sql_node_t* array, sql_node_t* node);

void nv_init_null(sql_node_t* node, node_location_t where);
void nv_init_integer(sql_node_t* node, int32_t integer, node_location_t where);
void nv_init_string_clen(sql_node_t* node, const char* string, size_t len, node_location_t where);
void nv_init_string_copy(sql_node_t* node, const char* string, node_location_t where);
void nv_init_array(sql_node_t* node, node_location_t where);
// An empty constant array with room, in its own block, for `count` pushed values.
void nv_init_list(sql_node_t* node, size_t count, node_location_t where);
void nv_push(sql_node_t* array, sql_node_t* node);

void node_shutdown(sql_node_t* node);
void node_deep_copy(sql_node_t* dest, const sql_node_t* src);

// Destructor for tables whose records are nodes.
void node_dtor(void* node);
