// The migration script: the SQL that turns a database created from OLD's
// export, holding rows of its own, into one whose catalog equals that of a
// fresh database created from NEW's export, keeping every stored row in
// every column NEW keeps.
//
// Invariants: the objects NEW has are written by the export's statement
// writers with NEW's generated names, and the objects removed are named with
// OLD's, so a migrated database and a fresh one agree to the name; steps
// come in an order that never needs a check the server would refuse at that
// moment (views and affected foreign keys first out, last in; nullability
// relaxed before the initial rows change and tightened after); PostgreSQL
// and SQLite run the whole script in one transaction.
#pragma once

#include <string>

#include "diff_model.hpp"
#include "export_sql.hpp"

// Writes the migration for `dialect` into *script. Returns false when the
// script holds no statement (then *script is empty).
bool diff_write_sql(const schema_t& old_model, const schema_t& new_model, const schema_diff_t& diff,
                    sql_dialect_t dialect, std::string* script);
