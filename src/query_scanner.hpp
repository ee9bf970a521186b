// Hand-written scanner that splits query bodies at their markers.
#pragma once

#include "sql_value.hpp"

enum qp_type_t { QP_END = 0, QP_TEXT = 1, QP_ESC = 2, QP_RAW = 3, QP_FIELD = 4 };

struct qry_scanner_t;
struct qry_buffer_t;

int qrylex_init(qry_scanner_t** scanner);
qry_buffer_t* qry_scan_string(const char* text, qry_scanner_t* scanner);
int qrylex(sql_value_t* value, qry_scanner_t* scanner);
void qry_delete_buffer(qry_buffer_t* buffer, qry_scanner_t* scanner);
int qrylex_destroy(qry_scanner_t* scanner);
