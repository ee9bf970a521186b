// The PHP definitions writer and its escaping printf.
#pragma once

#include <cstdio>

#include "builtin.hpp"

void dump_php_code(FILE* file, program_output_t* output);

// Directives: %p (escaped for a PHP double-quoted string), %s, %l (32-bit
// integer), %%. Expands the whole format, then writes it in one write.
void php_printf(FILE* file, const char* format, ...);
