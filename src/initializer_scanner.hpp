// Hand-written scanner of table initializer files.
#pragma once

#include <cstdio>

#include "sql_value.hpp"

struct init_scanner_t;

int initlex_init(init_scanner_t** scanner);
void initset_in(FILE* in, init_scanner_t* scanner);
int initlex(sql_value_t* value, init_scanner_t* scanner);
int initlex_destroy(init_scanner_t* scanner);
