// The typed schema model: what a successful run declared, in declaration
// order, owning its data outside the memory pool, so that it outlives the run
// and the pool can be emptied.
//
// This is the one place that reads the run's positional records (the program
// output after the fix-up, and the declarations kept beside it); every
// companion tool reads the model. Invariants once built:
// - each collection lists its objects in declaration order, names unique
//   within the collection, and `table_index` finds each table by its name;
// - every table has at least one field and exactly one with
//   `OPTIMIZE_PRIMARY`, at position `primary`; every row has one cell per
//   field;
// - every outgoing link names a table of the model; field, query and
//   function types carry the type name as written beside its resolved SQL text;
// - every text and every span of a built model lies in the model's own
//   storage (`storage`, shared by its copies), which is freed with the last
//   of them, never before; each text there is followed by a NUL. The objects
//   themselves are plain values: viewing and copying them costs nothing.
//   A model built by hand points its texts and spans at storage that
//   outlives it (literals, or what schema_keep_text and schema_keep keep).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "builtin.hpp"
#include "diagnostic.hpp"
#include "query_scanner.hpp"

struct schema_location_t {
    std::string_view file;  // resolved path of the definition file
    unsigned line = 0;
};

struct schema_type_t {
    std::string_view name;
    std::string_view sql;
    schema_location_t location;
};

struct schema_link_t {
    std::string_view table;
    dir_type_t direction = DIRECTION_OUTGOING;
};

struct schema_field_t {
    std::string_view name;
    std::string_view type_name;  // as declared
    std::string_view sql;        // the type's SQL text
    bool nullable = false;
    optimize_type_t index = OPTIMIZE_NONE;
    std::span<const schema_link_t> links;
    // The line of the field's name in the declaration; the table's
    // location.line for a table built by a direct call of dump_table.
    unsigned line = 0;
};

// One initial value: its text, or no value for SQL NULL.
using schema_cell_t = std::optional<std::string_view>;
using schema_row_t = std::span<const schema_cell_t>;

// A table's location.line is the line of its statement's closing ";" (where
// the run reports the table's errors); first_line is the line of the word
// that starts the declaration ("volatile" or "table"), equal to
// location.line for a table built by a direct call of dump_table.
struct schema_table_t {
    std::string_view name;
    schema_location_t location;
    unsigned first_line = 0;
    bool is_volatile = false;
    std::span<const schema_field_t> fields;
    size_t primary = 0;  // position of the primary key in `fields`
    std::span<const schema_row_t> rows;
};

struct schema_view_t {
    std::string_view name;
    std::string_view sql;
    schema_location_t location;
};

struct schema_sequence_t {
    std::string_view name;
    int32_t start = 0;
    schema_location_t location;
};

struct schema_piece_t {
    qp_type_t kind = QP_TEXT;  // QP_TEXT, QP_ESC (a parameter) or QP_RAW
    std::string_view text;     // QP_TEXT
    int32_t number = 0;        // QP_ESC, QP_RAW
};

struct schema_typed_t {  // a query field, a function's return value
    std::string_view type_name;
    std::string_view sql;
};

struct schema_query_t {
    std::string_view name;
    std::span<const schema_piece_t> pieces;
    std::span<const schema_typed_t> fields;
    schema_location_t location;
};

struct schema_variable_t {  // an argument or a local of a PL/SQL function
    std::string_view name;
    std::string_view type_name;
    std::string_view sql;
};

struct schema_plsql_t {
    std::string_view name;
    schema_typed_t returns;
    bool returns_set = false;
    std::span<const schema_variable_t> args;
    std::span<const schema_variable_t> locals;
    std::string_view body;
    schema_location_t location;
};

// The positions of a model's tables by name: open addressing over their
// positions, the names read from the tables themselves. Built by
// schema_model_index.
struct schema_index_t {
    std::vector<uint32_t> slots;  // position + 1; 0 for an empty slot
};

// The storage a model's texts and spans are cut from: large chunks, freed
// together (schema_model.cpp).
struct schema_storage_t;
struct schema_t {
    std::vector<schema_type_t> types;
    std::vector<schema_table_t> tables;
    std::vector<schema_view_t> views;
    std::vector<schema_sequence_t> sequences;
    std::vector<schema_query_t> queries;
    std::vector<schema_plsql_t> plsql;
    schema_index_t table_index;  // table name -> position in `tables`
    std::shared_ptr<schema_storage_t> storage;
};

// Builds the model from the output of a successful run after the fix-up and
// the declarations kept beside it (builtin_declarations pointed at them for
// the run). The model copies all it needs into its own storage.
void schema_model_build(schema_t* model, const program_output_t* output, const program_declarations_t* declarations);

// Compiles and runs `filename` as tabula does and builds its model. Returns 0,
// or -1 after the error has been reported. Every diagnostic of the run goes to
// `sink` (the two-argument form: to the current sink, which prints unless the
// caller has set another). The memory pool is emptied before it returns
// either way: the caller must hold nothing of its own in it. The files the
// run read stay remembered (input_file_names_read), so that a tool can
// refuse to write its output over one of them; input_file_forget_all
// forgets them.
int schema_model_load(schema_t* model, const char* filename);
int schema_model_load(schema_t* model, const char* filename, diagnostic_sink_t sink);

// Copies `text`, or `count` objects from `items`, into the model's own
// storage, which keeps them as long as the model or a copy of it lives. For
// models built by hand; the objects must be trivially copyable.
std::string_view schema_keep_text(schema_t* model, std::string_view text);
void* schema_storage_alloc(schema_t* model, size_t size, size_t alignment);
template <typename T>
std::span<const T> schema_keep(schema_t* model, std::span<const T> items) {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
    if (items.empty()) return {};
    T* kept = static_cast<T*>(schema_storage_alloc(model, items.size_bytes(), alignof(T)));
    std::uninitialized_copy(items.begin(), items.end(), kept);
    return {kept, items.size()};
}
template <typename T>
std::span<const T> schema_keep(schema_t* model, const std::vector<T>& items) {
    return schema_keep(model, std::span<const T>(items));
}

// (Re)builds `table_index` from `tables`: for models built by hand.
void schema_model_index(schema_t* model);

// The position in `tables` of the table named `name`, or SIZE_MAX.
size_t schema_table_position(const schema_t& model, std::string_view name);
// The table named `name`, or null.
const schema_table_t* schema_find_table(const schema_t& model, std::string_view name);
// The primary key field of `table`.
inline const schema_field_t& schema_primary(const schema_table_t& table) { return table.fields[table.primary]; }
