// Comparing two versions of a schema model: which objects were added,
// dropped, renamed or changed, and which of the changes may lose or refuse
// stored data.
//
// Invariants of a comparison:
// - every object of OLD and of NEW appears in exactly one pair; a pair holds
//   pointers into the two models, which must outlive it;
// - tables, fields, views, sequences and functions match by name, except
//   where a rename maps an OLD name to a NEW one;
// - table pairs list NEW's tables in declaration order, then OLD's dropped
//   tables in OLD's order; field pairs list NEW's fields in order, then the
//   dropped fields in OLD's order; the other collections likewise;
// - initial rows match by the value of NEW's primary key field (read in OLD
//   from the field it was renamed from).
#pragma once

#include <string>
#include <vector>

#include "diagnostic.hpp"
#include "schema_model.hpp"

// --rename TABLE=NEW (field empty) or --rename TABLE.FIELD=NEW: TABLE and
// FIELD are OLD's names.
struct diff_rename_t {
    std::string table;
    std::string field;
    std::string new_name;
};

// Reads "TABLE=NEW" or "TABLE.FIELD=NEW"; false when the text has no "=",
// or an empty part.
bool diff_rename_parse(const std::string& text, diff_rename_t* rename);

struct diff_field_t {
    const schema_field_t* old_field = nullptr;  // null: added
    const schema_field_t* new_field = nullptr;  // null: dropped
    bool type_changed = false;                  // the SQL text differs
    bool made_nullable = false;
    bool made_not_null = false;
};

struct diff_row_t {
    const schema_row_t* old_row = nullptr;  // null: inserted
    const schema_row_t* new_row = nullptr;  // null: deleted
    // Positions in NEW's fields whose value is to be written (updates).
    std::vector<size_t> changed;
};

struct diff_table_t {
    const schema_table_t* old_table = nullptr;  // null: added
    const schema_table_t* new_table = nullptr;  // null: dropped
    std::vector<diff_field_t> fields;           // NEW's order, then the dropped ones
    std::vector<diff_row_t> rows;               // only rows to insert, update or delete
    bool renamed = false;
    bool primary_changed = false;  // another field is the primary key
    // The kept fields are no longer in OLD's relative order, or a field is
    // added before a kept one: the order needs the columns rewritten.
    bool order_changed = false;
    // Columns added, dropped, retyped or changed in nullability or key.
    bool columns_changed = false;
};

template <typename Object>
struct diff_pair_t {
    const Object* old_object = nullptr;  // null: added
    const Object* new_object = nullptr;  // null: dropped
    bool changed = false;                // both present and different
};

struct schema_diff_t {
    std::vector<diff_table_t> tables;
    std::vector<diff_pair_t<schema_view_t>> views;
    std::vector<diff_pair_t<schema_sequence_t>> sequences;
    std::vector<diff_pair_t<schema_plsql_t>> plsql;
};

// The position of `field` in `fields` (it must be one of them).
size_t diff_field_position(std::span<const schema_field_t> fields, const schema_field_t* field);

// Compares OLD and NEW. A rename that names no OLD table or field, or whose
// new name NEW does not have, or that collides with another, is reported to
// `sink` without a place; returns 0, or -1 after such a report.
int diff_compare(const schema_t& old_model, const schema_t& new_model, const std::vector<diff_rename_t>& renames,
                 schema_diff_t* diff, const diagnostic_sink_t& sink);

// Whether `line` of `file` declares an object of NEW that the comparison
// found added or changed.
bool diff_touches(const schema_diff_t& diff, const std::string& file, unsigned line);

// Whether `field` of `table` takes nulls in a database: never the primary
// key, whatever its declaration says.
bool diff_field_nullable(const schema_table_t& table, const schema_field_t& field);

// True when a function's arguments or result differ: it cannot be replaced
// in place.
bool diff_signature_changed(const schema_plsql_t& old_function, const schema_plsql_t& new_function);

// Reports every change that drops data or may fail on, or invent, stored
// values, each at the declaration concerned (NEW's, or OLD's for what is
// gone), as errors to `sink`; returns how many. Sequences and functions count
// only where the server holds them.
struct diff_holds_t {
    bool sequences = true;
    bool plsql = true;
};
size_t diff_report_destructive(const schema_diff_t& diff, diff_holds_t holds, const diagnostic_sink_t& sink);
