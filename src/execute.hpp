// The run phase: evaluation of the compiled program into the program output.
// Its bail-out entry, execute_bailout, is declared in exception.hpp.
#pragma once

#include "builtin.hpp"
#include "hash.hpp"
#include "native_handler.hpp"
#include "program.hpp"
#include "sql_node.hpp"
#include "sql_value.hpp"

struct symbol_table_t {
    hash_table_t symbols;  // sql_value_t by variable name
    symbol_table_t* prev;
};

// Deepest evaluation nesting accepted (nested calls and user-function calls
// together); far beyond any real program, well within the phase stack.
constexpr unsigned EXECUTE_MAX_DEPTH = 10000;

int execute_program(program_output_t* output, compiled_program_t* program);
void program_output_shutdown(program_output_t* output);

symbol_table_t* symbol_table_create();
void symbol_table_push(symbol_table_t* table);
void symbol_table_pop();
