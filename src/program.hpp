// The compiled program and the program-building operations the grammar's
// actions call: statements, user functions, includes and the lists of a
// table declaration.
#pragma once

#include <cstddef>
#include <vector>

#include "hash.hpp"
#include "native_handler.hpp"
#include "sql_node.hpp"

struct func_info_user_t {
    hash_table_t args;     // parameter names in order, no data
    sql_node_t code_user;  // the body, owned
    const char* pathname;  // shared with `pathnames`
    unsigned line;
};

struct func_info_t {
    int is_user;
    union {
        native_handler_t code_native;
        func_info_user_t user;
    };
};

struct compiled_program_t {
    hash_table_t code;       // statements, one call node each
    hash_table_t functions;  // func_info_t by name
    hash_table_t pathnames;  // resolved path of every compiled file, no data
    // By table name, where the grammar read each table declaration: an
    // unsigned array of the line of its first word ("volatile" or "table"),
    // the number of fields and the line of each field's name, in field order.
    // Only the first declaration of a name is kept (a second one fails at run
    // time). Filled only for a caller that asks (compile_program's
    // COMPILE_TABLE_LINES): tools that point at fields read it; the PHP output
    // does not.
    hash_table_t table_lines;
};

// Slots of a table_lines entry.
enum table_lines_slot_t { TABLE_LINES_FIRST = 0, TABLE_LINES_COUNT = 1, TABLE_LINES_FIELDS = 2 };

// An empty program whose function table holds the natives of `natives`, in
// their order, up to the entry with a null name.
void program_init(compiled_program_t* program, const native_info_t* natives);
void compiled_program_shutdown(compiled_program_t* program);
void function_shutdown(void* function);

// The lists of a table declaration: its fields, the rows of its literal and
// each of those rows. A list is started with its first element, then added
// to, and ended as the expression that yields the array.
enum program_list_t { PROGRAM_LIST_FIELDS = 0, PROGRAM_LIST_ROWS = 1, PROGRAM_LIST_ROW = 2 };
constexpr size_t PROGRAM_LIST_KINDS = 3;

struct program_builder_t;
// Compiles the file an include statement names, in place.
using program_include_t = void (*)(program_builder_t* builder, const char* filename);

// What the grammar builds into, for one compilation (the input file and every
// file it includes): the program, how an include is compiled, and what the
// declarations read so far suggest about the next.
struct program_builder_t {
    compiled_program_t* program;
    program_include_t include;
    // Room for the next list of each kind: as many elements as the last list
    // of its kind had, capped (see program_array_end).
    size_t list_room[PROGRAM_LIST_KINDS];
    // Whether table_lines is filled; the lines of the fields of the table
    // declaration being read.
    bool keep_table_lines;
    std::vector<unsigned> field_lines;
};

void program_builder_init(program_builder_t* builder, compiled_program_t* program, program_include_t include,
                          bool keep_table_lines);

// Program building, called by the grammar's actions; `where` is the location
// of what is being built.
void program_add_statement(program_builder_t* builder, sql_node_t* node);
// `call` becomes a call node of the function `name` with the node list `args`.
void program_call(sql_node_t* call, const char* name, sql_node_t* args, node_location_t where);
void program_special_fcall(program_builder_t* builder, const char* name, sql_node_t* args, node_location_t where);
void program_define_function(program_builder_t* builder, sql_node_t* definition);
void program_include_definition(program_builder_t* builder, sql_node_t* path);
// `call` becomes the rows of a table read from the file that the expression
// `file` names relative to the directory of where.pathname, the definition
// file being compiled: read_table_initializer(prefix_pathname(DIRECTORY, file)).
void program_initializer_file(sql_node_t* call, sql_node_t* file, node_location_t where);
void program_array_start(program_builder_t* builder, sql_node_t* list, program_list_t kind, sql_node_t* element,
                         node_location_t where);
void program_array_add(sql_node_t* list, sql_node_t* element, node_location_t where);
void program_array_end(program_builder_t* builder, sql_node_t* array, program_list_t kind, sql_node_t* list,
                       node_location_t where);
// The lines of a table declaration: each field's name as the grammar reads
// it, then the table, with the line of its first word.
void program_table_field(program_builder_t* builder, unsigned line);
void program_table_declared(program_builder_t* builder, const char* name, unsigned first_line);
