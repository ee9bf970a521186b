// The compile phase: compilation of the input file and, in place, of every
// file it includes, into one compiled program (program.hpp). Its bail-out
// entry, compile_bailout, is declared in exception.hpp.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <cstdio>

#include "native_handler.hpp"
#include "program.hpp"

struct def_scanner_t;

struct compiled_file_t {
    const char* pathname;  // the key text held by `pathnames`
    FILE* handle;
    // The file's line while no scanner reads it (1 before, the last line
    // after); while `scanner` is set, the scanner's line counter is the line.
    unsigned line;
    compiled_file_t* prev;  // the including file
    dev_t device;           // identity of the open file, for cycle detection
    ino_t inode;
    unsigned depth;          // 1 for the input file
    def_scanner_t* scanner;  // the file's scanner while it has one
};

// The single run's compile state: the file being read, innermost first, and
// the program being built.
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

// What a compilation keeps beside the program: the lines of each table
// declaration (the program's table_lines) cost the schema compiler time and
// memory it has no use for, so only tools that point at fields ask for them.
enum compile_lines_t { COMPILE_NO_LINES = 0, COMPILE_TABLE_LINES = 1 };

// Compiles `filename` into `program`, whose function table starts with the
// natives of `natives` (the caller's registry, ended by a null name).
// Returns 0, or -1 after the error has been reported.
int compile_program(compiled_program_t* program, const char* filename, const native_info_t* natives,
                    compile_lines_t lines);
