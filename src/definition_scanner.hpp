// Hand-written scanner of definition files.
#pragma once

#include <cstdio>

#include "sql_node.hpp"

struct def_scanner_t;

int deflex_init(def_scanner_t** scanner);
void defset_in(FILE* in, def_scanner_t* scanner);
int deflex(sql_node_t* value, def_scanner_t* scanner);
int deflex_destroy(def_scanner_t* scanner);
