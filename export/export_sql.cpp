// SQL scripts for PostgreSQL, MariaDB and SQLite.
//
// Orders that load on a new, empty database, whatever the links between the
// tables (cycles and self links included):
// - PostgreSQL: sequences, tables with their primary keys, functions, views,
//   rows, indexes, then the foreign keys, added once every row is in. No
//   enclosing transaction: a large schema would run out of locks.
// - MariaDB: key checks off, sequences, tables with their primary keys,
//   indexes and foreign keys, views, the rows in one transaction, checks on.
// - SQLite: one transaction with foreign keys on and their checks deferred
//   to the commit; tables with their keys, indexes, views, rows.
#include "export_sql.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include "export_text.hpp"

namespace {

bool is_mariadb(const sql_writer_t& writer) { return writer.dialect == SQL_DIALECT_MARIADB; }

// `text` between two `quote`s, each quote inside doubled; appended in place,
// since a large script is mostly names and values.
void append_quoted(std::string* out, char quote, std::string_view text) {
    out->push_back(quote);
    for (size_t at = 0;;) {
        const size_t found = text.find(quote, at);
        if (found == std::string_view::npos) {
            out->append(text.substr(at));
            break;
        }
        out->append(text.substr(at, found + 1 - at));
        out->push_back(quote);
        at = found + 1;
    }
    out->push_back(quote);
}

void append_name(std::string* out, const sql_writer_t& writer, std::string_view name) {
    append_quoted(out, is_mariadb(writer) ? '`' : '"', name);
}

std::string fold_case(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

uint32_t fnv1a(std::string_view text) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash;
}

// `text` cut to at most `limit` bytes without splitting a UTF-8 character.
std::string_view cut_at_character(std::string_view text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

// `wish` itself when short enough, else its head and "_" and its hash.
std::string shortened(std::string wish) {
    if (wish.size() <= SQL_GENERATED_NAME_MAX) return wish;
    char hash[10];
    std::snprintf(hash, sizeof hash, "_%08x", fnv1a(wish));
    return std::string(cut_at_character(wish, SQL_GENERATED_NAME_MAX - 9)) + hash;
}

size_t utf8_length(std::string_view text) {
    size_t count = 0;
    for (unsigned char c : text) count += (c & 0xC0) != 0x80;
    return count;
}

const schema_field_t& field_at(const sql_writer_t& writer, size_t table, size_t field) {
    return writer.model->tables[table].fields[field];
}

// "(column)" of an index, with MariaDB's prefix length where it needs one.
void append_indexed_column(std::string* out, const sql_writer_t& writer, const schema_field_t& field) {
    out->push_back('(');
    append_name(out, writer, field.name);
    if (is_mariadb(writer) && sql_mariadb_is_long_type(field.sql)) {
        *out += "(" + std::to_string(SQL_MARIADB_PREFIX) + ")";
    }
    out->push_back(')');
}

// Whether the outgoing `link` of `field` can be a foreign key here: MariaDB
// takes no TEXT or BLOB column into one, on either side.
bool foreign_key_holds(const sql_writer_t& writer, const schema_field_t& field, const schema_link_t& link) {
    if (link.direction != DIRECTION_OUTGOING) return false;
    if (!is_mariadb(writer)) return true;
    const schema_table_t* target = schema_find_table(*writer.model, link.table);
    return !sql_mariadb_is_long_type(field.sql) &&
           (target == nullptr || !sql_mariadb_is_long_type(schema_primary(*target).sql));
}

void append_foreign_key(std::string* out, const sql_writer_t& writer, size_t table, size_t field, size_t link) {
    const schema_field_t& source = field_at(writer, table, field);
    const schema_table_t& target = *schema_find_table(*writer.model, source.links[link].table);
    *out += "CONSTRAINT ";
    append_name(out, writer, sql_names_foreign_key(*writer.names, table, field, link));
    *out += " FOREIGN KEY (";
    append_name(out, writer, source.name);
    *out += ") REFERENCES ";
    append_name(out, writer, target.name);
    *out += " (";
    append_name(out, writer, schema_primary(target).name);
    *out += ")";
}

// The rule of every generated name: the wish itself when short enough and
// free, else the first free of its shortened forms with "_2", "_3", ...
// `taken` answers whether a name is taken (ignoring letter case), `take`
// claims a free one and returns the name as kept.
template <typename Taken, typename Take>
auto claim(std::string_view wish, Taken taken, Take take) {
    if (wish.size() <= SQL_GENERATED_NAME_MAX && !taken(wish)) return take(wish);
    for (unsigned attempt = 1;; ++attempt) {
        const std::string name =
            shortened(attempt == 1 ? std::string(wish) : std::string(wish) + "_" + std::to_string(attempt));
        if (!taken(name)) return take(name);
    }
}

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_but_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower_ascii(a[i]) != lower_ascii(b[i])) return false;
    }
    return true;
}

// The names taken in one schema, compared ignoring ASCII letter case: open
// addressing over the positions of views of names kept elsewhere (the
// model's, or the generated names' chunks), so that tens of thousands of
// names cost no allocation each and no folded copy.
class name_set_t {
public:
    explicit name_set_t(size_t expected) {
        size_t capacity = 64;
        while (capacity < expected + expected / 2) capacity *= 2;
        slots_.resize(capacity);
        names_.reserve(expected);
    }

    bool contains(std::string_view name) const { return slots_[slot_of(name)] != 0; }

    // Adds `name`, whose bytes must outlive the set; false when taken.
    bool insert(std::string_view name) {
        uint32_t& slot = slots_[slot_of(name)];
        if (slot != 0) return false;
        names_.push_back(name);
        slot = static_cast<uint32_t>(names_.size());
        if (names_.size() * 3 > slots_.size() * 2) grow();
        return true;
    }

private:
    static size_t hash(std::string_view name) {
        uint64_t hash = 14695981039346656037u;
        for (char c : name) {
            hash ^= static_cast<unsigned char>(lower_ascii(c));
            hash *= 1099511628211u;
        }
        return static_cast<size_t>(hash ^ (hash >> 29));
    }

    // The slot holding `name`, or the empty one where it would go.
    size_t slot_of(std::string_view name) const {
        const size_t mask = slots_.size() - 1;
        size_t at = hash(name) & mask;
        while (slots_[at] != 0 && !same_but_case(names_[slots_[at] - 1], name)) at = (at + 1) & mask;
        return at;
    }

    void grow() {
        slots_.assign(slots_.size() * 2, 0);
        for (size_t i = 0; i < names_.size(); ++i) slots_[slot_of(names_[i])] = static_cast<uint32_t>(i + 1);
    }

    std::vector<uint32_t> slots_;  // position in names_ + 1; 0 for an empty slot
    std::vector<std::string_view> names_;
};

// The generated names' bytes, cut from chunks that never move.
class name_texts_t {
public:
    explicit name_texts_t(std::vector<std::unique_ptr<char[]>>* chunks) : chunks_(chunks) {}

    std::string_view keep(std::string_view name) {
        if (name.size() > left_) {
            const size_t size = std::max<size_t>(CHUNK_SIZE, name.size());
            chunks_->push_back(std::make_unique_for_overwrite<char[]>(size));
            next_ = chunks_->back().get();
            left_ = size;
        }
        std::memcpy(next_, name.data(), name.size());
        const std::string_view kept(next_, name.size());
        next_ += name.size();
        left_ -= name.size();
        return kept;
    }

private:
    static constexpr size_t CHUNK_SIZE = 256 * 1024;

    std::vector<std::unique_ptr<char[]>>* chunks_;
    char* next_ = nullptr;
    size_t left_ = 0;
};

}  // namespace

bool sql_dialect_parse(std::string_view name, sql_dialect_t* dialect) {
    if (name == "postgresql") {
        *dialect = SQL_DIALECT_POSTGRESQL;
    } else if (name == "mariadb") {
        *dialect = SQL_DIALECT_MARIADB;
    } else if (name == "sqlite") {
        *dialect = SQL_DIALECT_SQLITE;
    } else {
        return false;
    }
    return true;
}

const char* sql_dialect_title(sql_dialect_t dialect) {
    switch (dialect) {
    case SQL_DIALECT_POSTGRESQL: return "PostgreSQL";
    case SQL_DIALECT_MARIADB: return "MariaDB";
    case SQL_DIALECT_SQLITE: return "SQLite";
    }
    return "SQL";
}

unsigned sql_omit_parse(std::string_view name) {
    if (name == "rows") return SQL_OMIT_ROWS;
    if (name == "views") return SQL_OMIT_VIEWS;
    if (name == "plsql") return SQL_OMIT_PLSQL;
    if (name == "sequences") return SQL_OMIT_SEQUENCES;
    if (name == "indexes") return SQL_OMIT_INDEXES;
    if (name == "foreign-keys") return SQL_OMIT_FOREIGN_KEYS;
    return 0;
}

std::string sql_quote_name(sql_dialect_t dialect, std::string_view name) {
    std::string quoted;
    append_quoted(&quoted, dialect == SQL_DIALECT_MARIADB ? '`' : '"', name);
    return quoted;
}

std::string sql_quote_text(std::string_view value) {
    std::string quoted;
    append_quoted(&quoted, '\'', value);
    return quoted;
}

bool sql_text_has_control(std::string_view text) {
    for (unsigned char c : text) {
        if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F) return true;
    }
    return false;
}

std::string sql_value_literal(sql_dialect_t dialect, std::string_view value) {
    if (dialect == SQL_DIALECT_POSTGRESQL || !sql_text_has_control(value)) return sql_quote_text(value);
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char c : value) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    if (dialect == SQL_DIALECT_MARIADB) return "_utf8mb4 X'" + hex + "'";
    return "CAST(X'" + hex + "' AS TEXT)";
}

const char* sql_name_problem(sql_dialect_t dialect, std::string_view name, bool is_relation) {
    if (name.empty()) return "is empty";
    switch (dialect) {
    case SQL_DIALECT_POSTGRESQL:
        if (name.size() > 63) return "is longer than 63 bytes";
        return nullptr;
    case SQL_DIALECT_MARIADB:
        if (utf8_length(name) > 64) return "is longer than 64 characters";
        if (name.back() == ' ') return "ends with a blank";
        for (size_t at = 0; at < name.size(); ++at) {
            if (static_cast<unsigned char>(name[at]) >= 0xF0) return "holds a character beyond U+FFFF";
        }
        break;
    case SQL_DIALECT_SQLITE:
        if (is_relation && fold_case(name.substr(0, 7)) == "sqlite_") return "starts with \"sqlite_\"";
        break;
    }
    // Their clients read a carriage return before a line end as part of it.
    if (sql_text_has_control(name)) return "holds a control character";
    return nullptr;
}

std::string sql_names_claim(std::string_view wish, std::unordered_set<std::string>* taken) {
    return claim(
        wish, [&](std::string_view name) { return taken->count(fold_case(name)) != 0; },
        [&](std::string_view name) {
            taken->insert(fold_case(name));
            return std::string(name);
        });
}

void sql_names_build(const schema_t& model, sql_names_t* names) {
    *names = sql_names_t{};
    size_t field_count = 0;
    size_t link_count = 0;
    size_t generated = model.tables.size();
    for (const schema_table_t& table : model.tables) {
        field_count += table.fields.size();
        for (const schema_field_t& field : table.fields) {
            link_count += field.links.size();
            generated += field.index == OPTIMIZE_INDEX;
            for (const schema_link_t& link : field.links) generated += link.direction == DIRECTION_OUTGOING;
        }
    }
    name_set_t taken(1 + model.tables.size() + model.views.size() + model.sequences.size() + model.plsql.size() +
                     generated);
    taken.insert("primary");  // MariaDB's name of every primary key
    auto declared = [&](const auto& objects) {
        for (const auto& object : objects) {
            if (!object.name.empty()) taken.insert(object.name);
        }
    };
    declared(model.tables);
    declared(model.views);
    declared(model.sequences);
    declared(model.plsql);
    name_texts_t texts(&names->texts);
    names->names.reserve(generated + 1);
    names->names.emplace_back();
    auto claimed = [&](std::string_view wish) {
        return claim(
            wish, [&](std::string_view name) { return taken.contains(name); },
            [&](std::string_view name) {
                const std::string_view kept = texts.keep(name);
                taken.insert(kept);
                names->names.push_back(kept);
                return static_cast<uint32_t>(names->names.size() - 1);
            });
    };
    names->primary_keys.reserve(model.tables.size());
    names->field_start.reserve(model.tables.size());
    names->indexes.reserve(field_count);
    names->link_start.reserve(field_count);
    names->foreign_keys.reserve(link_count);
    std::string wish;
    for (const schema_table_t& table : model.tables) {
        wish.assign(table.name).append("_pkey");
        names->primary_keys.push_back(claimed(wish));
        names->field_start.push_back(static_cast<uint32_t>(names->indexes.size()));
        for (const schema_field_t& field : table.fields) {
            auto stem = [&](std::string_view suffix) -> std::string_view {
                wish.assign(table.name).append(1, '_').append(field.name).append(suffix);
                return wish;
            };
            names->indexes.push_back(field.index == OPTIMIZE_INDEX ? claimed(stem("_idx")) : 0);
            names->link_start.push_back(static_cast<uint32_t>(names->foreign_keys.size()));
            for (const schema_link_t& link : field.links) {
                names->foreign_keys.push_back(link.direction == DIRECTION_OUTGOING ? claimed(stem("_fkey")) : 0);
            }
        }
    }
}

bool sql_mariadb_is_long_type(std::string_view sql) {
    size_t start = 0;
    while (start < sql.size() && (sql[start] == ' ' || sql[start] == '\t' || sql[start] == '\n')) ++start;
    size_t end = start;
    while (end < sql.size() && ((sql[end] >= 'a' && sql[end] <= 'z') || (sql[end] >= 'A' && sql[end] <= 'Z'))) ++end;
    static const char* const long_types[] = {"tinytext", "text", "mediumtext", "longtext", "json",
                                             "tinyblob", "blob", "mediumblob", "longblob"};
    const std::string word = fold_case(sql.substr(start, end - start));
    return std::find(std::begin(long_types), std::end(long_types), word) != std::end(long_types);
}

std::string sql_dollar_tag(std::string_view text) {
    std::string tag = "$body$";
    for (unsigned n = 1; text.find(tag) != std::string_view::npos; ++n) tag = "$body_" + std::to_string(n) + "$";
    return tag;
}

void sql_write_preamble(const sql_writer_t& writer, std::string* out) {
    switch (writer.dialect) {
    case SQL_DIALECT_POSTGRESQL:
        *out +=
            "SET client_encoding = 'UTF8';\n"
            "SET standard_conforming_strings = on;\n";
        break;
    case SQL_DIALECT_MARIADB:
        *out +=
            "SET NAMES utf8mb4;\n"
            "SET SESSION sql_mode = 'ANSI_QUOTES,NO_BACKSLASH_ESCAPES,STRICT_ALL_TABLES,NO_ENGINE_SUBSTITUTION';\n"
            "SET SESSION foreign_key_checks = 0;\n";
        break;
    case SQL_DIALECT_SQLITE:
        *out +=
            "PRAGMA foreign_keys = ON;\n"
            "BEGIN;\n"
            "PRAGMA defer_foreign_keys = ON;\n";
        break;
    }
}

void sql_write_epilogue(const sql_writer_t& writer, std::string* out) {
    switch (writer.dialect) {
    case SQL_DIALECT_POSTGRESQL: break;
    case SQL_DIALECT_MARIADB: *out += "SET SESSION foreign_key_checks = 1;\n"; break;
    case SQL_DIALECT_SQLITE: *out += "COMMIT;\n"; break;
    }
}

void sql_write_create_table(const sql_writer_t& writer, size_t table_at, sql_table_options_t options,
                            std::string* out) {
    const schema_table_t& table = writer.model->tables[table_at];
    *out += "CREATE TABLE ";
    append_name(out, writer, table.name);
    *out += " (";
    const char* separator = "\n    ";
    for (size_t i = 0; i < table.fields.size(); ++i) {
        const schema_field_t& field = table.fields[i];
        *out += separator;
        append_name(out, writer, field.name);
        *out += ' ';
        *out += field.sql;
        if (!field.nullable || i == table.primary) *out += " NOT NULL";
        separator = ",\n    ";
    }
    *out += separator;
    if (!is_mariadb(writer)) {
        *out += "CONSTRAINT ";
        append_name(out, writer, sql_names_primary_key(*writer.names, table_at));
        *out += ' ';
    }
    *out += "PRIMARY KEY ";
    append_indexed_column(out, writer, schema_primary(table));
    for (size_t i = 0; i < table.fields.size(); ++i) {
        const schema_field_t& field = table.fields[i];
        if (options.indexes && is_mariadb(writer) && field.index == OPTIMIZE_INDEX) {
            *out += separator;
            *out += "INDEX ";
            append_name(out, writer, sql_names_index(*writer.names, table_at, i));
            *out += ' ';
            append_indexed_column(out, writer, field);
        }
        if (!options.foreign_keys) continue;
        for (size_t link = 0; link < field.links.size(); ++link) {
            if (foreign_key_holds(writer, field, field.links[link])) {
                *out += separator;
                append_foreign_key(out, writer, table_at, i, link);
            }
        }
    }
    *out += "\n)";
    if (is_mariadb(writer)) *out += " ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin";
    *out += ";\n";
}

void sql_write_create_index(const sql_writer_t& writer, size_t table, size_t field, std::string* out) {
    *out += "CREATE INDEX ";
    append_name(out, writer, sql_names_index(*writer.names, table, field));
    *out += " ON ";
    append_name(out, writer, writer.model->tables[table].name);
    *out += ' ';
    append_indexed_column(out, writer, field_at(writer, table, field));
    *out += ";\n";
}

void sql_write_add_foreign_key(const sql_writer_t& writer, size_t table, size_t field, size_t link, std::string* out) {
    *out += "ALTER TABLE ";
    append_name(out, writer, writer.model->tables[table].name);
    *out += " ADD ";
    append_foreign_key(out, writer, table, field, link);
    *out += ";\n";
}

void sql_write_insert_rows(const sql_writer_t& writer, size_t table_at, size_t first, size_t last, std::string* out) {
    const schema_table_t& table = writer.model->tables[table_at];
    for (size_t row = first; row < last; ++row) {
        if ((row - first) % SQL_ROWS_PER_INSERT == 0) {
            *out += "INSERT INTO ";
            append_name(out, writer, table.name);
            *out += " (";
            for (size_t i = 0; i < table.fields.size(); ++i) {
                if (i > 0) *out += ", ";
                append_name(out, writer, table.fields[i].name);
            }
            *out += ") VALUES\n(";
        } else {
            *out += ",\n(";
        }
        const schema_row_t& cells = table.rows[row];
        for (size_t i = 0; i < cells.size(); ++i) {
            if (i > 0) *out += ", ";
            if (!cells[i]) {
                *out += "NULL";
            } else if (writer.dialect == SQL_DIALECT_POSTGRESQL || !sql_text_has_control(*cells[i])) {
                append_quoted(out, '\'', *cells[i]);
            } else {
                *out += sql_value_literal(writer.dialect, *cells[i]);
            }
        }
        *out += ')';
        if (row + 1 == last || (row + 1 - first) % SQL_ROWS_PER_INSERT == 0) *out += ";\n";
    }
}

void sql_write_create_view(const sql_writer_t& writer, size_t view_at, std::string* out) {
    const schema_view_t& view = writer.model->views[view_at];
    // The statement's end on a line of its own: the text may end in a comment.
    *out += "CREATE VIEW ";
    append_name(out, writer, view.name);
    *out += " AS\n";
    *out += view.sql;
    *out += "\n;\n";
}

void sql_write_create_sequence(const sql_writer_t& writer, size_t sequence_at, std::string* out) {
    const schema_sequence_t& sequence = writer.model->sequences[sequence_at];
    *out += "CREATE SEQUENCE " + sql_quote_name(writer.dialect, sequence.name) + " MINVALUE " +
            std::to_string(std::min<int32_t>(sequence.start, 1)) + " START WITH " + std::to_string(sequence.start) +
            ";\n";
}

void sql_write_create_function(const sql_writer_t& writer, size_t function_at, std::string* out) {
    const schema_plsql_t& function = writer.model->plsql[function_at];
    const sql_dialect_t dialect = writer.dialect;
    std::string head = "CREATE FUNCTION " + sql_quote_name(dialect, function.name) + "(";
    for (size_t i = 0; i < function.args.size(); ++i) {
        if (i > 0) head += ", ";
        head += sql_quote_name(dialect, function.args[i].name) + " " + std::string(function.args[i].sql);
    }
    head += ") RETURNS ";
    if (function.returns_set) head += "SETOF ";
    head += std::string(function.returns.sql) + " LANGUAGE plpgsql AS ";
    std::string text;
    if (!function.locals.empty()) {
        text += "\nDECLARE\n";
        for (const schema_variable_t& local : function.locals) {
            text += "    " + sql_quote_name(dialect, local.name) + " " + std::string(local.sql) + ";\n";
        }
    } else {
        text += "\n";
    }
    text += std::string(function.body) + "\n";
    const std::string tag = sql_dollar_tag(text);
    *out += head + tag + text + tag + ";\n";
}

namespace {

// The checks of one export, reporting through the sink. An object's
// description ("field \"f\" of table \"t\"") is made only for a message:
// most schemas have none, and tens of thousands of fields.
class checker_t {
public:
    checker_t(const schema_t& model, const sql_options_t& options, const diagnostic_sink_t& sink)
        : model_(model), options_(options), sink_(sink), title_(sql_dialect_title(options.dialect)) {}

    size_t run() {
        for (const schema_table_t& table : model_.tables) check_table(table);
        if (options_.dialect == SQL_DIALECT_SQLITE) check_relation_cases();
        if (!omitted(SQL_OMIT_VIEWS)) {
            for (const schema_view_t& view : model_.views) {
                auto object = [&] { return "view \"" + std::string(view.name) + "\""; };
                name(object, view.name, true, view.location);
                utf8(object, "SQL text", view.sql, view.location);
            }
        }
        if (!omitted(SQL_OMIT_SEQUENCES)) {
            for (const schema_sequence_t& sequence : model_.sequences) {
                auto object = [&] { return "sequence \"" + std::string(sequence.name) + "\""; };
                if (options_.dialect == SQL_DIALECT_SQLITE) {
                    warn("SQLite has no sequences: " + object() + " is left out", sequence.location);
                    continue;
                }
                name(object, sequence.name, true, sequence.location);
            }
        }
        if (!omitted(SQL_OMIT_PLSQL)) {
            for (const schema_plsql_t& function : model_.plsql) check_function(function);
        }
        return errors_;
    }

private:
    bool omitted(unsigned kind) const { return (options_.omit & kind) != 0; }

    void report(diagnostic_severity_t severity, std::string message, const schema_location_t& location, unsigned line) {
        diagnostic_t diagnostic;
        diagnostic.severity = severity;
        diagnostic.message = std::move(message);
        diagnostic.file = location.file;
        diagnostic.line = line != 0 ? line : location.line;
        sink_(diagnostic);
        if (severity == SEVERITY_ERROR) ++errors_;
    }
    void warn(std::string message, const schema_location_t& location, unsigned line = 0) {
        report(SEVERITY_WARNING, std::move(message), location, line);
    }
    template <typename Object>
    void refuse(Object object, const std::string& why, const schema_location_t& location, unsigned line) {
        report(SEVERITY_ERROR, "Cannot export " + object() + " as " + title_ + ": " + why, location, line);
    }
    template <typename Object>
    bool utf8(Object object, const std::string& what, std::string_view text, const schema_location_t& location,
              unsigned line = 0) {
        if (export_text_is_utf8(text)) return true;
        refuse(object, "its " + what + " is not valid UTF-8", location, line);
        return false;
    }
    // Non-UTF-8 first: a name's other problems are read in characters.
    template <typename Object>
    void name(Object object, std::string_view text, bool is_relation, const schema_location_t& location,
              unsigned line = 0) {
        if (!utf8(object, "name", text, location, line)) return;
        const char* problem = sql_name_problem(options_.dialect, text, is_relation);
        if (problem != nullptr) refuse(object, std::string("its name ") + problem, location, line);
    }

    void check_table(const schema_table_t& table) {
        auto object = [&] { return "table \"" + std::string(table.name) + "\""; };
        name(object, table.name, true, table.location);
        for (const schema_field_t& field : table.fields) {
            auto field_object = [&] { return "field \"" + std::string(field.name) + "\" of " + object(); };
            name(field_object, field.name, false, table.location, field.line);
            utf8(field_object, "SQL type", field.sql, table.location, field.line);
            check_links(field_object, field, table.location);
        }
        if (options_.dialect != SQL_DIALECT_POSTGRESQL) check_field_cases(table, object);
        const schema_field_t& primary = schema_primary(table);
        if (primary.nullable) {
            warn("primary key \"" + std::string(primary.name) + "\" of " + object() +
                     " is written NOT NULL, though declared nullable",
                 table.location, primary.line);
        }
        if (omitted(SQL_OMIT_ROWS)) return;
        for (size_t row = 0; row < table.rows.size(); ++row) {
            const schema_row_t& cells = table.rows[row];
            if (!cells[table.primary]) {
                refuse(object,
                       "its row " + std::to_string(row + 1) + " has no value for primary key \"" +
                           std::string(primary.name) + "\"",
                       table.location, 0);
            }
            for (const schema_cell_t& cell : cells) {
                // The description only for a refusal: a large schema has many values.
                if (cell && !export_text_is_utf8(*cell)) {
                    utf8(object, "row " + std::to_string(row + 1), *cell, table.location);
                    break;
                }
            }
        }
    }

    // MariaDB and SQLite take two names that differ only in ASCII letter case
    // for one: fields on both, tables and views on SQLite.
    void refuse_case_twin(std::unordered_map<std::string, std::string>* seen, std::string_view name,
                          const std::string& kind, const std::function<std::string()>& object,
                          const schema_location_t& location, unsigned line) {
        const auto [twin, added] = seen->emplace(fold_case(name), name);
        if (!added) {
            refuse(object, "its name differs from that of " + kind + " \"" + twin->second + "\" only in letter case",
                   location, line);
        }
    }

    template <typename Object>
    void check_field_cases(const schema_table_t& table, Object object) {
        // Pairs for the usual few fields; a table of its own for many.
        constexpr size_t FEW = 32;
        if (table.fields.size() <= FEW) {
            for (size_t i = 1; i < table.fields.size(); ++i) {
                for (size_t j = 0; j < i; ++j) {
                    if (!same_but_case(table.fields[i].name, table.fields[j].name)) continue;
                    const schema_field_t& field = table.fields[i];
                    refuse([&] { return "field \"" + std::string(field.name) + "\" of " + object(); },
                           "its name differs from that of field \"" + std::string(table.fields[j].name) +
                               "\" only in letter case",
                           table.location, field.line);
                    break;
                }
            }
            return;
        }
        std::unordered_map<std::string, std::string> seen;
        for (const schema_field_t& field : table.fields) {
            refuse_case_twin(
                &seen, field.name, "field", [&] { return "field \"" + std::string(field.name) + "\" of " + object(); },
                table.location, field.line);
        }
    }

    void check_relation_cases() {
        std::unordered_map<std::string, std::string> seen;
        for (const schema_table_t& table : model_.tables) {
            refuse_case_twin(
                &seen, table.name, "table", [&] { return "table \"" + std::string(table.name) + "\""; }, table.location,
                0);
        }
        if (omitted(SQL_OMIT_VIEWS)) return;
        for (const schema_view_t& view : model_.views) {
            refuse_case_twin(
                &seen, view.name, "table or view", [&] { return "view \"" + std::string(view.name) + "\""; },
                view.location, 0);
        }
    }

    template <typename Object>
    void check_links(Object object, const schema_field_t& field, const schema_location_t& location) {
        if (omitted(SQL_OMIT_FOREIGN_KEYS) || options_.dialect != SQL_DIALECT_MARIADB) return;
        for (const schema_link_t& link : field.links) {
            if (link.direction != DIRECTION_OUTGOING) continue;
            const schema_table_t* target = schema_find_table(model_, link.table);
            if (sql_mariadb_is_long_type(field.sql) ||
                (target != nullptr && sql_mariadb_is_long_type(schema_primary(*target).sql))) {
                warn("MariaDB has no foreign keys on TEXT or BLOB columns: the link of " + object() + " to table \"" +
                         std::string(link.table) + "\" is left out",
                     location, field.line);
            }
        }
    }

    void check_function(const schema_plsql_t& function) {
        auto object = [&] { return "function \"" + std::string(function.name) + "\""; };
        if (options_.dialect != SQL_DIALECT_POSTGRESQL) {
            warn(title_ + " cannot run PL/SQL: " + object() + " is left out", function.location);
            return;
        }
        name(object, function.name, false, function.location);
        for (const auto* variables : {&function.args, &function.locals}) {
            for (const schema_variable_t& variable : *variables) {
                name([&] { return "variable \"" + std::string(variable.name) + "\" of " + object(); }, variable.name,
                     false, function.location);
                utf8(object, "variable type", variable.sql, function.location);
            }
        }
        utf8(object, "return type", function.returns.sql, function.location);
        utf8(object, "body", function.body, function.location);
    }

    const schema_t& model_;
    const sql_options_t& options_;
    const diagnostic_sink_t& sink_;
    std::string title_;
    size_t errors_ = 0;
};

// A little more than the script will take, so that it is not copied as it
// grows: its names and values, with room for the statements around them.
size_t script_size_estimate(const schema_t& model) {
    size_t size = 4096;
    for (const schema_table_t& table : model.tables) {
        size += 3 * table.name.size() + 128;
        for (const schema_field_t& field : table.fields) {
            size += 4 * field.name.size() + field.sql.size() + 32 + 2 * table.name.size() * (field.index != 0);
            size += (2 * table.name.size() + 3 * field.name.size() + 96) * field.links.size();
        }
        for (const schema_row_t& row : table.rows) {
            for (const schema_cell_t& cell : row) size += (cell ? cell->size() : 0) + 8;
        }
    }
    for (const schema_view_t& view : model.views) size += view.name.size() + view.sql.size() + 32;
    for (const schema_plsql_t& function : model.plsql) size += function.body.size() + 512;
    return size;
}

// Asks for huge pages for the reserved room of a large script: it is fresh
// memory, and touching it in pages of 4 KiB costs more page faults than
// writing the statements costs time. Only a hint: where the system declines,
// nothing changes.
void advise_huge_pages(std::string* script) {
#if defined(MADV_HUGEPAGE)
    constexpr uintptr_t HUGE_PAGE = 2 * 1024 * 1024;
    const auto start = reinterpret_cast<uintptr_t>(script->data());
    const uintptr_t begin = (start + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const uintptr_t end = (start + script->capacity()) & ~(HUGE_PAGE - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)script;
#endif
}

}  // namespace

size_t sql_check(const schema_t& model, const sql_options_t& options, const diagnostic_sink_t& sink) {
    return checker_t(model, options, sink).run();
}

int export_sql(const schema_t& model, const sql_options_t& options, const diagnostic_sink_t& sink,
               std::string* script) {
    script->clear();
    if (sql_check(model, options, sink) != 0) return -1;
    script->reserve(script_size_estimate(model));
    advise_huge_pages(script);
    sql_names_t names;
    sql_names_build(model, &names);
    const sql_writer_t writer{options.dialect, &model, &names};
    auto omitted = [&](unsigned kind) { return (options.omit & kind) != 0; };
    const size_t table_count = model.tables.size();
    auto each_index = [&](auto write) {
        if (omitted(SQL_OMIT_INDEXES)) return;
        for (size_t t = 0; t < table_count; ++t) {
            for (size_t f = 0; f < model.tables[t].fields.size(); ++f) {
                if (model.tables[t].fields[f].index == OPTIMIZE_INDEX) write(t, f);
            }
        }
    };
    auto rows = [&] {
        if (omitted(SQL_OMIT_ROWS)) return;
        for (size_t t = 0; t < table_count; ++t)
            sql_write_insert_rows(writer, t, 0, model.tables[t].rows.size(), script);
    };
    auto sequences = [&] {
        if (omitted(SQL_OMIT_SEQUENCES) || options.dialect == SQL_DIALECT_SQLITE) return;
        for (size_t s = 0; s < model.sequences.size(); ++s) sql_write_create_sequence(writer, s, script);
    };
    auto views = [&] {
        if (omitted(SQL_OMIT_VIEWS)) return;
        for (size_t v = 0; v < model.views.size(); ++v) sql_write_create_view(writer, v, script);
    };
    // What is left out, as comments.
    if (options.dialect == SQL_DIALECT_SQLITE && !omitted(SQL_OMIT_SEQUENCES)) {
        for (const schema_sequence_t& sequence : model.sequences) {
            *script += "-- sequence " + sql_quote_name(options.dialect, sequence.name) + " left out: SQLite has none\n";
        }
    }
    if (options.dialect != SQL_DIALECT_POSTGRESQL && !omitted(SQL_OMIT_PLSQL)) {
        for (const schema_plsql_t& function : model.plsql) {
            *script += "-- function " + sql_quote_name(options.dialect, function.name) +
                       " left out: " + sql_dialect_title(options.dialect) + " cannot run PL/SQL\n";
        }
    }
    sql_write_preamble(writer, script);
    sequences();
    const sql_table_options_t inline_keys{options.dialect != SQL_DIALECT_POSTGRESQL && !omitted(SQL_OMIT_FOREIGN_KEYS),
                                          options.dialect == SQL_DIALECT_MARIADB && !omitted(SQL_OMIT_INDEXES)};
    for (size_t t = 0; t < table_count; ++t) sql_write_create_table(writer, t, inline_keys, script);
    if (options.dialect == SQL_DIALECT_POSTGRESQL && !omitted(SQL_OMIT_PLSQL)) {
        for (size_t f = 0; f < model.plsql.size(); ++f) sql_write_create_function(writer, f, script);
    }
    if (options.dialect == SQL_DIALECT_SQLITE) {
        each_index([&](size_t t, size_t f) { sql_write_create_index(writer, t, f, script); });
    }
    views();
    if (options.dialect == SQL_DIALECT_MARIADB && !omitted(SQL_OMIT_ROWS)) *script += "START TRANSACTION;\n";
    rows();
    if (options.dialect == SQL_DIALECT_MARIADB && !omitted(SQL_OMIT_ROWS)) *script += "COMMIT;\n";
    if (options.dialect == SQL_DIALECT_POSTGRESQL) {
        each_index([&](size_t t, size_t f) { sql_write_create_index(writer, t, f, script); });
        if (!omitted(SQL_OMIT_FOREIGN_KEYS)) {
            for (size_t t = 0; t < table_count; ++t) {
                const schema_table_t& table = model.tables[t];
                for (size_t f = 0; f < table.fields.size(); ++f) {
                    for (size_t l = 0; l < table.fields[f].links.size(); ++l) {
                        if (table.fields[f].links[l].direction == DIRECTION_OUTGOING) {
                            sql_write_add_foreign_key(writer, t, f, l, script);
                        }
                    }
                }
            }
        }
    }
    sql_write_epilogue(writer, script);
    return 0;
}
