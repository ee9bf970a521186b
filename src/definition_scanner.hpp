// Hand-written scanner of definition files.
#pragma once

#include <cstddef>
#include <cstdio>

#include "sql_node.hpp"

struct def_scanner_t;

int deflex_init(def_scanner_t** scanner);
void defset_in(FILE* in, def_scanner_t* scanner);
int deflex(sql_node_t* value, def_scanner_t* scanner);
int deflex_destroy(def_scanner_t* scanner);
// Byte offset in the input of the first byte of the token deflex returned
// last (the input's length after the end marker): the column of a token for
// tools that point into the text, where the line counter is not enough.
size_t deflex_token_start(const def_scanner_t* scanner);
// The byte range [*start, *end) of that token on the current line, 0-based:
// what a bail-out during the token reports as its columns. A token that began
// on an earlier line counts from the line's start.
void deflex_token_columns(const def_scanner_t* scanner, unsigned* start, unsigned* end);
