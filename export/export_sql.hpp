// The schema as SQL scripts for PostgreSQL, MariaDB and SQLite.
//
// Two layers: statement writers, one per kind of object, that append one
// complete statement (or one batch of rows) for a dialect to a text; and the
// whole export, which checks the model for what a server cannot hold and
// writes the script from those statements in an order that loads on a new,
// empty database. A migration writer builds on the statement writers and
// the generated names, so both are public and neither depends on the order
// of the export.
//
// Invariants: every name written is quoted; the writers never check (the
// checks come first, in sql_check); the same model and options give the
// same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "diagnostic.hpp"
#include "schema_model.hpp"

enum sql_dialect_t { SQL_DIALECT_POSTGRESQL, SQL_DIALECT_MARIADB, SQL_DIALECT_SQLITE };

// The kinds of object that `--omit` leaves out, as bits of a mask.
enum sql_omit_t : unsigned {
    SQL_OMIT_ROWS = 1u << 0,
    SQL_OMIT_VIEWS = 1u << 1,
    SQL_OMIT_PLSQL = 1u << 2,
    SQL_OMIT_SEQUENCES = 1u << 3,
    SQL_OMIT_INDEXES = 1u << 4,
    SQL_OMIT_FOREIGN_KEYS = 1u << 5,
};

// At most this many rows go into one INSERT statement.
constexpr size_t SQL_ROWS_PER_INSERT = 1000;

// The dialect named `name` ("postgresql", "mariadb", "sqlite"); false for
// any other name.
bool sql_dialect_parse(std::string_view name, sql_dialect_t* dialect);
// The server's own spelling, for messages: "PostgreSQL", "MariaDB", "SQLite".
const char* sql_dialect_title(sql_dialect_t dialect);
// The mask bit of the kind named `name` ("rows", "views", "plsql",
// "sequences", "indexes", "foreign-keys"); 0 for any other name.
unsigned sql_omit_parse(std::string_view name);

// --- Names and literals ---------------------------------------------------------

// `name` quoted for `dialect`: "x" (PostgreSQL, SQLite) or `x` (MariaDB),
// the quote character doubled inside.
std::string sql_quote_name(sql_dialect_t dialect, std::string_view name);
// `value` as a string literal: '...' with every ' doubled. MariaDB reads it
// byte for byte only on a connection set to NO_BACKSLASH_ESCAPES (the preamble).
std::string sql_quote_text(std::string_view value);

// Whether `text` holds a control character other than tab and line feed.
bool sql_text_has_control(std::string_view text);
// An initial value as a literal that the dialect's client reads back byte
// for byte: the quoted text, or, on MariaDB and SQLite, whose clients take a
// carriage return before a line end for part of it, a hex literal read as
// text when the value holds a control character other than tab and line
// feed.
std::string sql_value_literal(sql_dialect_t dialect, std::string_view value);

// Why `dialect` cannot hold `name` as the name of a table, view, sequence or
// index ("is longer than 63 bytes", "is empty", ...), or null when it can.
// Field names, function names and arguments take `is_relation` false.
const char* sql_name_problem(sql_dialect_t dialect, std::string_view name, bool is_relation);

// The longest generated name, in bytes: what PostgreSQL keeps (63), which
// MariaDB's 64 characters and SQLite also admit, so a generated name is the
// same for every dialect.
constexpr size_t SQL_GENERATED_NAME_MAX = 63;

// The generated names of one schema: the primary key constraint of each
// table, the index of each `index` field and the foreign key of each
// outgoing link. Deterministic (the same model gives the same names), at
// most SQL_GENERATED_NAME_MAX bytes (a longer wish is cut at a character
// boundary and ends in a short hash of itself), and distinct, ignoring
// ASCII letter case as MariaDB and SQLite do, from each other and from every
// declared table, view, sequence and function name.
struct sql_names_t {
    std::vector<std::string_view> names;  // every generated name; names[0] is "", for none
    // Positions in `names`; small numbers rather than views, since a large
    // schema has tens of thousands of fields and links.
    std::vector<uint32_t> primary_keys;          // by table position
    std::vector<uint32_t> field_start;           // by table: its first field in `indexes` and `link_start`
    std::vector<uint32_t> indexes;               // by field, all tables' fields one after the other
    std::vector<uint32_t> link_start;            // by field: its first link in `foreign_keys`
    std::vector<uint32_t> foreign_keys;          // by link
    std::vector<std::unique_ptr<char[]>> texts;  // the generated names' bytes, in chunks
};

// The primary key constraint of table `table`.
inline std::string_view sql_names_primary_key(const sql_names_t& names, size_t table) {
    return names.names[names.primary_keys[table]];
}
// The index of field `field` of `table`; "" where the field has no `index`.
inline std::string_view sql_names_index(const sql_names_t& names, size_t table, size_t field) {
    return names.names[names.indexes[names.field_start[table] + field]];
}
// The foreign key of link `link` of that field; "" for an incoming link.
inline std::string_view sql_names_foreign_key(const sql_names_t& names, size_t table, size_t field, size_t link) {
    return names.names[names.foreign_keys[names.link_start[names.field_start[table] + field] + link]];
}

// The names of `model`, which must outlive them (declared names are viewed,
// not copied).
void sql_names_build(const schema_t& model, sql_names_t* names);

// The generated name wished for as `wish`, made distinct from the (case
// folded) names in *taken, which it joins. Exposed for the tests and for
// writers of other generated objects; the same rule as sql_names_build's.
std::string sql_names_claim(std::string_view wish, std::unordered_set<std::string>* taken);

// --- Statement writers ----------------------------------------------------------
// Each appends complete statements, each ending in ";\n", to *out.

struct sql_writer_t {
    sql_dialect_t dialect = SQL_DIALECT_POSTGRESQL;
    const schema_t* model = nullptr;
    const sql_names_t* names = nullptr;
};

// What a script starts with: the connection settings the rest relies on
// (encoding, literal rules, deferred or disabled key checks, a transaction
// where the dialect wants one).
void sql_write_preamble(const sql_writer_t& writer, std::string* out);
// What closes it: key checks back on, the transaction committed.
void sql_write_epilogue(const sql_writer_t& writer, std::string* out);

struct sql_table_options_t {
    bool foreign_keys = true;  // declare the outgoing links in the statement
    bool indexes = false;      // declare the `index` fields in it (MariaDB only)
};

// CREATE TABLE with every field, NOT NULL unless nullable (the primary key
// always NOT NULL), the primary key constraint and, as asked, the foreign
// keys and (MariaDB) the indexes.
void sql_write_create_table(const sql_writer_t& writer, size_t table, sql_table_options_t options, std::string* out);
// CREATE INDEX on the `index` field `field` of `table`.
void sql_write_create_index(const sql_writer_t& writer, size_t table, size_t field, std::string* out);
// ALTER TABLE ... ADD CONSTRAINT ... FOREIGN KEY for link `link` of `field`
// of `table` (PostgreSQL; MariaDB also takes it, SQLite has no such
// statement).
void sql_write_add_foreign_key(const sql_writer_t& writer, size_t table, size_t field, size_t link, std::string* out);
// INSERT statements for rows [first, last) of `table`, at most
// SQL_ROWS_PER_INSERT rows each.
void sql_write_insert_rows(const sql_writer_t& writer, size_t table, size_t first, size_t last, std::string* out);
// CREATE VIEW with the view's text verbatim.
void sql_write_create_view(const sql_writer_t& writer, size_t view, std::string* out);
// CREATE SEQUENCE ... MINVALUE ... START WITH ... (not SQLite).
void sql_write_create_sequence(const sql_writer_t& writer, size_t sequence, std::string* out);
// CREATE FUNCTION ... LANGUAGE plpgsql (PostgreSQL only).
void sql_write_create_function(const sql_writer_t& writer, size_t function, std::string* out);

// The dollar-quote tag ("$body$", "$body_1$", ...) that `text` does not hold.
std::string sql_dollar_tag(std::string_view text);

// Whether MariaDB indexes a field of this SQL type only by a prefix and
// cannot take it into a foreign key (the TEXT and BLOB types).
bool sql_mariadb_is_long_type(std::string_view sql);
// The prefix, in characters, by which MariaDB indexes such a field.
constexpr unsigned SQL_MARIADB_PREFIX = 768;

// --- The whole export -----------------------------------------------------------

struct sql_options_t {
    sql_dialect_t dialect = SQL_DIALECT_POSTGRESQL;
    unsigned omit = 0;  // sql_omit_t bits
};

// Reports through `sink`, at the declarations concerned, what keeps the
// model from being written for the dialect (errors) and what the script
// leaves out or changes (warnings). Returns the number of errors.
size_t sql_check(const schema_t& model, const sql_options_t& options, const diagnostic_sink_t& sink);

// The whole script for `model` into *script: 0, or -1 when sql_check found
// errors (reported through `sink`, nothing written).
int export_sql(const schema_t& model, const sql_options_t& options, const diagnostic_sink_t& sink, std::string* script);
