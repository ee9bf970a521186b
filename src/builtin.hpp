// The schema built-ins, the program output they fill, the initializer-file
// helpers and the fix-up that resolves types and checks links.
#pragma once

#include "hash.hpp"
#include "native_handler.hpp"
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

// What an export of the schema needs of a declaration that the output does
// not keep: the file and line of the top-level statement that was running
// when the built-in stored the object, and the type names as written, which
// the fix-up replaces by SQL text. Kept only while a caller points
// `builtin_declarations` at a record; the PHP writer needs none of it.
struct declaration_t {
    const char* pathname;  // the compiled program's, valid until it is shut down
    unsigned line;
    // The type names one after the other, each ending with its NUL, in the
    // order the fix-up resolves them: a table's field types; a query's field
    // types; a function's return type, argument types, then local types.
    // Null when there are none (the other kinds).
    char* type_names;
    unsigned type_count;
    // A table declared in the grammar: its entry of the compiled program's
    // table_lines (first line, field count, field lines). Null otherwise.
    const unsigned* table_lines;
};

struct program_declarations_t {  // declaration_t by object name, one table per collection
    hash_table_t plsql;
    hash_table_t queries;
    hash_table_t sequences;
    hash_table_t tables;
    hash_table_t types;
    hash_table_t views;
    // The compiled program's table_lines while it runs; set by execute_program.
    const hash_table_t* table_lines;
};

extern program_declarations_t* builtin_declarations;

void program_declarations_init(program_declarations_t* declarations);
void program_declarations_shutdown(program_declarations_t* declarations);
// The declaration of `name` in one table of a program_declarations_t, or null.
const declaration_t* program_declaration(const hash_table_t* table, const char* name);

// The nine built-ins in registration order, then an end marker: the registry
// a run of the schema compiler hands to compile_program.
extern const native_info_t handlers_builtin[10];

// Where the rows list of the initializer file being read goes: what
// read_table_initializer passes to the initializer parser.
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
