// Hand-written scanner of table initializer files.
#pragma once

#include <cstdio>

#include "sql_value.hpp"

// The token codes initlex returns: a ',' is its own code, the named tokens
// count from 258. The grammar declares the same tokens in the same order and
// checks that its numbering matches; defining the codes here, under the guard
// the generated parser tests, lets the scanner do without the parser's header.
#ifndef INITTOKENTYPE
#define INITTOKENTYPE
enum inittokentype {
    INITEMPTY = -2,
    INITEOF = 0,
    INITerror = 256,
    INITUNDEF = 257,
    INIT_NULL = 258,
    INIT_STRING = 259,
    INIT_ROW_SEPARATOR = 260
};
typedef enum inittokentype inittoken_kind_t;
#endif

struct init_scanner_t;

int initlex_init(init_scanner_t** scanner);
void initset_in(FILE* in, init_scanner_t* scanner);
int initlex(sql_value_t* value, init_scanner_t* scanner);
int initlex_destroy(init_scanner_t* scanner);
