// Hand-written scanner of definition files. It owns the line counter of the
// file it reads and stamps the nodes it makes with their file and line.
#pragma once

#include <cstddef>
#include <cstdio>

#include "sql_node.hpp"

// The token codes deflex returns: a punctuation byte is its own code, the
// named tokens count from 258. The grammar declares the same tokens in the
// same order and checks that its numbering matches; defining the codes here,
// under the guard the generated parser tests, lets the scanner do without the
// parser's header.
#ifndef DEFTOKENTYPE
#define DEFTOKENTYPE
enum deftokentype {
    DEFEMPTY = -2,
    DEFEOF = 0,
    DEFerror = 256,
    DEFUNDEF = 257,
    T_INTEGER = 258,
    T_LABEL = 259,
    T_NULL = 260,
    T_STRING = 261,
    T_VARIABLE = 262,
    T_FUNCTION = 263,
    T_INCLUDE = 264,
    T_INCOMING = 265,
    T_INDEX = 266,
    T_OUTGOING = 267,
    T_PLSQL = 268,
    T_PRIMARY = 269,
    T_QUERY = 270,
    T_SEQUENCE = 271,
    T_TABLE = 272,
    T_TYPE = 273,
    T_VIEW = 274,
    T_VOLATILE = 275
};
typedef enum deftokentype deftoken_kind_t;
#endif

struct def_scanner_t;

int deflex_init(def_scanner_t** scanner);
void defset_in(FILE* in, def_scanner_t* scanner);
// The resolved path of the file being read, as the nodes carry it (null by
// default); the line counter starts at 1.
void defset_pathname(const char* pathname, def_scanner_t* scanner);
// The next token's code, 0 at the end. A label, integer, null, string or
// variable gets its node in *value; with a null `value` the token is matched
// and checked all the same but no node is made, for a tool that wants only
// the tokens and their places.
int deflex(sql_node_t* value, def_scanner_t* scanner);
int deflex_destroy(def_scanner_t* scanner);
// The line the scan has reached: where the token returned last ends.
unsigned deflex_line(const def_scanner_t* scanner);
// The file and that line, the location of whatever is built from the tokens
// read so far.
node_location_t deflex_location(const def_scanner_t* scanner);
// Byte offset in the input of the first byte of the token deflex returned
// last (the input's length after the end marker): the column of a token for
// tools that point into the text, where the line counter is not enough.
size_t deflex_token_start(const def_scanner_t* scanner);
// The byte range [*start, *end) of that token on the current line, 0-based:
// what a bail-out during the token reports as its columns. A token that began
// on an earlier line counts from the line's start.
void deflex_token_columns(const def_scanner_t* scanner, unsigned* start, unsigned* end);
