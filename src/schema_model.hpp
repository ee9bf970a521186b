// The typed schema model: what a successful run declared, in declaration
// order, owning its data outside the memory pool, so that it outlives the run
// and the pool can be emptied.
//
// This is the one place that reads the run's positional records (the program
// output after the fix-up, and the declarations kept beside it); every
// companion tool reads the model. Invariants once built:
// - each collection lists its objects in declaration order, names unique
//   within the collection, and the `*_index` maps give each name's position;
// - every table has at least one field and exactly one with
//   `OPTIMIZE_PRIMARY`, at position `primary`; every row has one cell per
//   field;
// - every outgoing link names a table of the model; field, query and
//   function types carry the type name as written beside its resolved SQL text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "builtin.hpp"
#include "diagnostic.hpp"
#include "query_scanner.hpp"

struct schema_location_t {
    std::string file;  // resolved path of the definition file
    unsigned line = 0;
};

struct schema_type_t {
    std::string name;
    std::string sql;
    schema_location_t location;
};

struct schema_link_t {
    std::string table;
    dir_type_t direction = DIRECTION_OUTGOING;
};

struct schema_field_t {
    std::string name;
    std::string type_name;  // as declared
    std::string sql;        // the type's SQL text
    bool nullable = false;
    optimize_type_t index = OPTIMIZE_NONE;
    std::vector<schema_link_t> links;
    // The line of the field's name in the declaration; the table's
    // location.line for a table built by a direct call of dump_table.
    unsigned line = 0;
};

// One initial value: its text, or no value for SQL NULL.
using schema_cell_t = std::optional<std::string>;
using schema_row_t = std::vector<schema_cell_t>;

// A table's location.line is the line of its statement's closing ";" (where
// the run reports the table's errors); first_line is the line of the word
// that starts the declaration ("volatile" or "table"), equal to
// location.line for a table built by a direct call of dump_table.
struct schema_table_t {
    std::string name;
    schema_location_t location;
    unsigned first_line = 0;
    bool is_volatile = false;
    std::vector<schema_field_t> fields;
    size_t primary = 0;  // position of the primary key in `fields`
    std::vector<schema_row_t> rows;
};

struct schema_view_t {
    std::string name;
    std::string sql;
    schema_location_t location;
};

struct schema_sequence_t {
    std::string name;
    int32_t start = 0;
    schema_location_t location;
};

struct schema_piece_t {
    qp_type_t kind = QP_TEXT;  // QP_TEXT, QP_ESC (a parameter) or QP_RAW
    std::string text;          // QP_TEXT
    int32_t number = 0;        // QP_ESC, QP_RAW
};

struct schema_typed_t {  // a query field, a function's return value
    std::string type_name;
    std::string sql;
};

struct schema_query_t {
    std::string name;
    std::vector<schema_piece_t> pieces;
    std::vector<schema_typed_t> fields;
    schema_location_t location;
};

struct schema_variable_t {  // an argument or a local of a PL/SQL function
    std::string name;
    std::string type_name;
    std::string sql;
};

struct schema_plsql_t {
    std::string name;
    schema_typed_t returns;
    bool returns_set = false;
    std::vector<schema_variable_t> args;
    std::vector<schema_variable_t> locals;
    std::string body;
    schema_location_t location;
};

using schema_index_t = std::unordered_map<std::string, size_t>;

struct schema_t {
    std::vector<schema_type_t> types;
    std::vector<schema_table_t> tables;
    std::vector<schema_view_t> views;
    std::vector<schema_sequence_t> sequences;
    std::vector<schema_query_t> queries;
    std::vector<schema_plsql_t> plsql;
    schema_index_t table_index;  // table name -> position in `tables`
};

// Builds the model from the output of a successful run after the fix-up and
// the declarations kept beside it (builtin_declarations pointed at them for
// the run). The model copies all it needs.
void schema_model_build(schema_t* model, const program_output_t* output, const program_declarations_t* declarations);

// Compiles and runs `filename` as tabula does and builds its model. Returns 0,
// or -1 after the error has been reported. Every diagnostic of the run goes to
// `sink` (the two-argument form: to the current sink, which prints unless the
// caller has set another). The memory pool is emptied before it returns
// either way: the caller must hold nothing of its own in it.
int schema_model_load(schema_t* model, const char* filename);
int schema_model_load(schema_t* model, const char* filename, diagnostic_sink_t sink);

// The table named `name`, or null.
const schema_table_t* schema_find_table(const schema_t& model, std::string_view name);
// The primary key field of `table`.
inline const schema_field_t& schema_primary(const schema_table_t& table) { return table.fields[table.primary]; }
