// The schema built-ins, the program output they fill, the initializer-file
// helpers and the fix-up that resolves types and checks links.
#pragma once

#include "hash.hpp"
#include "sql_value.hpp"

struct program_output_t {
    sql_value_t plsql;
    sql_value_t queries;
    sql_value_t sequences;
    sql_value_t tables;
    sql_value_t types;
    sql_value_t views;
};

enum optimize_type_t { OPTIMIZE_NONE = 0, OPTIMIZE_INDEX = 1, OPTIMIZE_PRIMARY = 2 };
enum dir_type_t { DIRECTION_INCOMING = 0, DIRECTION_OUTGOING = 1 };

// The slots of a table field record: name, type, nullable, optimize, links.
constexpr int32_t FIELD_SLOTS = 5;

// Receives the rows list of the initializer parser.
extern sql_value_t* table_init_data;

void handler_dump_plsql(sql_value_t* result, hash_table_t* args);
void handler_dump_query(sql_value_t* result, hash_table_t* args);
void handler_dump_sequence(sql_value_t* result, hash_table_t* args);
void handler_dump_table(sql_value_t* result, hash_table_t* args);
void handler_prefix_pathname(sql_value_t* result, hash_table_t* args);
void handler_read_table_initializer(sql_value_t* result, hash_table_t* args);
void handler_dump_type(sql_value_t* result, hash_table_t* args);
void handler_dump_view(sql_value_t* result, hash_table_t* args);

int check_table_view(const sql_value_t* name);
void resolve_type(sql_value_t* dest, const sql_value_t* name, const sql_value_t* types);
void fixup_program_output(program_output_t* output);
