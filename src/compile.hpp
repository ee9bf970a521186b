// The compile phase: the compiled program, compilation of definition files
// and their includes, and the program-building operations of the grammar.
// Its bail-out entry, compile_bailout, is declared in exception.hpp.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <cstddef>
#include <cstdio>

#include "hash.hpp"
#include "native_handler.hpp"
#include "sql_node.hpp"

struct def_scanner_t;

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
    // time). Tools that point at fields read it; the PHP output does not.
    hash_table_t table_lines;
};

// Slots of a table_lines entry.
enum table_lines_slot_t { TABLE_LINES_FIRST = 0, TABLE_LINES_COUNT = 1, TABLE_LINES_FIELDS = 2 };

struct compiled_file_t {
    const char* pathname;  // the key text held by `pathnames`
    FILE* handle;
    unsigned line;
    compiled_file_t* prev;  // the including file
    dev_t device;           // identity of the open file, for cycle detection
    ino_t inode;
    unsigned depth;          // 1 for the input file
    def_scanner_t* scanner;  // the file's scanner while it has one, for the columns of an error
};

struct compiler_globals_t {
    compiled_file_t* file;
    compiled_program_t* program;
};

extern compiler_globals_t compiler_globals;

// Deepest include chain accepted; no real project comes near it.
constexpr unsigned COMPILE_MAX_INCLUDE_DEPTH = 200;

// Most file compilations in one run, the input file and every include of a
// file counted each time. A real project compiles a few thousand at most;
// files that each include the next one twice would compile 2^N.
constexpr unsigned COMPILE_MAX_FILES = 100000;

int compile_program(compiled_program_t* program, const char* filename);
void compile_definition(const char* filename);
void compiled_file_dir(sql_node_t* node);
void compiled_program_shutdown(compiled_program_t* program);
void function_shutdown(void* function);

// Program building, called by the grammar's actions.
void program_add_statement(sql_node_t* node);
// `call` becomes a call node of the function `name` with the node list `args`.
void program_call(sql_node_t* call, const char* name, sql_node_t* args);
void program_special_fcall(const char* name, sql_node_t* args);
void program_define_function(sql_node_t* definition);
void program_include_definition(sql_node_t* path);
// `call` becomes the rows of a table read from the file that the expression
// `file` names relative to the definition file being compiled:
// read_table_initializer(prefix_pathname(DIRECTORY, file)).
void program_initializer_file(sql_node_t* call, sql_node_t* file);
// The lists of a table declaration: its fields, the rows of its literal and
// each of those rows. A list is started with its first element, then added
// to, and ended as the expression that yields the array.
enum program_list_t { PROGRAM_LIST_FIELDS = 0, PROGRAM_LIST_ROWS = 1, PROGRAM_LIST_ROW = 2 };
void program_array_start(sql_node_t* list, program_list_t kind, sql_node_t* element);
void program_array_add(sql_node_t* list, sql_node_t* element);
void program_array_end(sql_node_t* array, program_list_t kind, sql_node_t* list);
// The lines of a table declaration: each field's name as the grammar reads
// it, then the table, with the line of its first word.
void program_table_field(unsigned line);
void program_table_declared(const char* name, unsigned first_line);

// Adds the line breaks in text[0, length) to the current file's line.
void process_string_newlines(const char* text, size_t length);

// Opens the input file named on the command line for reading and remembers
// its identity. It may be a pipe or a device; a directory opens but cannot
// be read, so it fails with EISDIR. Returns null with *error set to the
// error number on failure.
FILE* open_input_file(const char* pathname, struct stat* status, int* error);

// The *error of open_named_input_file for a file that is not a regular file.
constexpr int INPUT_NOT_REGULAR = -1;

// Opens a file named inside a definition file (an include or an initializer
// file) like open_input_file, but refuses at once, without blocking,
// anything but a regular file: EISDIR for a directory, INPUT_NOT_REGULAR
// for a FIFO, a device or a socket.
FILE* open_named_input_file(const char* pathname, struct stat* status, int* error);
// When set, open_input_file asks this hook instead of the file system, with
// the same contract: a stream whose descriptor reads the whole text, the
// file's identity in *status, or null and *error. A long-running tool uses it
// to put unsaved text in place of files on disk; the compiler never sets it.
using input_open_hook_t = FILE* (*)(const char* pathname, struct stat* status, int* error);
extern input_open_hook_t input_open_hook;

// Device and inode of every file the run has read (definitions and
// initializer files), so the driver can refuse to overwrite one of them.
void compile_remember_input_file(dev_t device, ino_t inode);
bool compile_is_input_file(dev_t device, ino_t inode);
// True when `filename` names a regular file the run has read: a tool that
// wrote its output there would destroy the user's source.
bool compile_names_input_file(const char* filename);
void compile_forget_input_files();
