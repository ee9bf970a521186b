// The compile phase: the compiled program, compilation of definition files
// and their includes, the program-building operations of the grammar, and
// the compile-time bail-out.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <cstddef>
#include <cstdio>

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
};

struct compiled_file_t {
    const char* pathname;  // the key text held by `pathnames`
    FILE* handle;
    unsigned line;
    compiled_file_t* prev;  // the including file
    dev_t device;           // identity of the open file, for cycle detection
    ino_t inode;
    unsigned depth;  // 1 for the input file
};

struct compiler_globals_t {
    compiled_file_t* file;
    compiled_program_t* program;
};

extern compiler_globals_t compiler_globals;

// Deepest include chain accepted; no real project comes near it.
constexpr unsigned COMPILE_MAX_INCLUDE_DEPTH = 200;

int compile_program(compiled_program_t* program, const char* filename);
void compile_definition(const char* filename);
void compiled_file_dir(sql_node_t* node);
void compiled_program_shutdown(compiled_program_t* program);
void function_shutdown(void* function);

[[noreturn]] void compile_bailout(const char* format, ...) __attribute__((format(printf, 1, 2)));
// No format attribute: "%m" is a GNU extension that -Wpedantic rejects.
[[noreturn]] void compile_bailout_errno(int saved_errno, const char* format, ...);

// Program building, called by the grammar's actions.
void program_add_statement(sql_node_t* node);
void program_special_fcall(const char* name, sql_node_t* args);
void program_define_function(sql_node_t* definition);
void program_include_definition(sql_node_t* path);

// Adds the line breaks in text[0, length) to the current file's line.
void process_string_newlines(const char* text, size_t length);

// Opens an input file (definition or initializer) for reading and remembers
// its identity. A directory opens but cannot be read, so it fails with
// EISDIR. Returns null with *error set to the error number on failure.
FILE* open_input_file(const char* pathname, struct stat* status, int* error);

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
void compile_forget_input_files();
