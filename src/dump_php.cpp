// Writes the program output as a PHP file that assigns five nested arrays to
// $this, through a printf of its own that escapes for double-quoted strings.
#include "dump_php.hpp"

#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "exception.hpp"

namespace {

// The expansion of one php_printf call. One buffer serves every call: it is
// emptied, never released, so that writing a file of many lines costs no
// allocation per line. It grows by doubling from 1024 bytes.
struct php_line_t {
    char* text = nullptr;
    size_t length = 0;
    size_t capacity = 0;
};

php_line_t php_line;

void php_line_grow(php_line_t* out, size_t more) {
    size_t capacity = out->capacity == 0 ? 1024 : out->capacity;
    while (more > capacity - out->length) {
        if (capacity > SIZE_MAX / 2) {
            fatal_error("Size overflow growing a PHP output line to %zu bytes", more);
        }
        capacity *= 2;
    }
    char* text = static_cast<char*>(std::realloc(out->text, capacity));
    if (text == nullptr) {
        fatal_error("Failed to allocate %zu bytes for a PHP output line", capacity);
    }
    out->text = text;
    out->capacity = capacity;
}

inline void php_line_reserve(php_line_t* out, size_t more) {
    if (more > out->capacity - out->length) {
        php_line_grow(out, more);
    }
}

inline void php_append(php_line_t* out, const char* string, size_t length) {
    php_line_reserve(out, length);
    std::memcpy(out->text + out->length, string, length);
    out->length += length;
}

// Whether any byte of `word` is `byte` (exact: the borrow trick reports a
// zero byte only where there is one).
inline bool word_has_byte(uint64_t word, unsigned char byte) {
    constexpr uint64_t ONES = 0x0101010101010101ULL;
    constexpr uint64_t HIGHS = 0x8080808080808080ULL;
    const uint64_t x = word ^ (ONES * byte);
    return ((x - ONES) & ~x & HIGHS) != 0;
}

inline char* put_escaped(char* dest, char c) {
    if (c == '\\' || c == '"' || c == '$') *dest++ = '\\';
    *dest++ = c;
    return dest;
}

// Appends `string` escaped for a PHP double-quoted literal: only the bytes
// that end or interpolate such a literal are escaped. Room for the worst
// case is made first. Eight bytes at a time are copied whole when none of
// them needs escaping, as in nearly all names and values.
void php_append_escaped(php_line_t* out, const char* string) {
    const size_t length = strlen(string);
    php_line_reserve(out, length * 2 + sizeof(uint64_t));
    char* dest = out->text + out->length;
    const char* from = string;
    const char* const end = string + length;
    for (; end - from >= 8; from += 8) {
        uint64_t word = 0;
        std::memcpy(&word, from, sizeof word);
        if (!word_has_byte(word, '\\') && !word_has_byte(word, '"') && !word_has_byte(word, '$')) {
            std::memcpy(dest, &word, sizeof word);
            dest += sizeof word;
            continue;
        }
        for (int i = 0; i < 8; ++i) dest = put_escaped(dest, from[i]);
    }
    for (; from < end; ++from) dest = put_escaped(dest, *from);
    out->length = static_cast<size_t>(dest - out->text);
}

void php_append_integer(php_line_t* out, int value) {
    char scratch[64];
    std::to_chars_result converted = std::to_chars(scratch, scratch + sizeof scratch, value);
    php_append(out, scratch, static_cast<size_t>(converted.ptr - scratch));
}

// Expands `format` into `out`; a bad directive ends the process before the
// caller has written anything.
void php_expand(php_line_t* out, const char* format, va_list args) {
    for (;;) {
        const char* percent = strchr(format, '%');
        if (percent == nullptr) {
            php_append(out, format, strlen(format));
            return;
        }
        if (percent > format) {
            php_append(out, format, static_cast<size_t>(percent - format));
        }
        switch (percent[1]) {
        case 'p': php_append_escaped(out, va_arg(args, const char*)); break;
        case 's': {
            const char* string = va_arg(args, const char*);
            php_append(out, string, strlen(string));
            break;
        }
        case 'l': php_append_integer(out, va_arg(args, int)); break;
        case '%': php_append(out, "%", 1); break;
        case '\0': fatal_error("Premature end of printf expansion");
        default: fatal_error("Unknown printf expansion");
        }
        format = percent + 2;
    }
}

// The writer's own output: whole expansions are gathered in one buffer and
// handed to the stream in large writes, so that a file of many short lines
// costs a few writes rather than one per line.
// The buffer is released however the writing ends: a fatal error thrown in
// the middle of an entry leaves through the destructor.
struct php_out_t {
    FILE* file;
    php_line_t buffer;

    explicit php_out_t(FILE* stream) : file(stream) {}
    ~php_out_t() { std::free(buffer.text); }
    php_out_t(const php_out_t&) = delete;
    php_out_t& operator=(const php_out_t&) = delete;
};

constexpr size_t PHP_OUT_FLUSH = 64 * 1024;

void out_flush(php_out_t* out) {
    if (out->buffer.length > 0) {
        fwrite(out->buffer.text, 1, out->buffer.length, out->file);
        out->buffer.length = 0;
    }
}

// Called once an entry is complete, so that the stream gets large writes.
void out_flush_if_full(php_out_t* out) {
    if (out->buffer.length >= PHP_OUT_FLUSH) {
        out_flush(out);
    }
}

void out_printf(php_out_t* out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    php_expand(&out->buffer, format, args);
    va_end(args);
    out_flush_if_full(out);
}

// The direct writers of the table entries, which make up nearly all of a
// large schema's file: the same text as the expansions, without reading a
// format for every field and row value.
template <size_t N>
void out_literal(php_out_t* out, const char (&text)[N]) {
    php_append(&out->buffer, text, N - 1);
}

void out_string(php_out_t* out, const char* string) { php_append(&out->buffer, string, strlen(string)); }

// `string` escaped between double quotes.
void out_quoted(php_out_t* out, const char* string) {
    out_literal(out, "\"");
    php_append_escaped(&out->buffer, string);
    out_literal(out, "\"");
}

const char* php_bool(int32_t flag) { return flag != 0 ? "true" : "false"; }

// Entry separator of the comma-terminated lists.
const char* list_separator(hash_iterator_t it) { return it->next_in_list != nullptr ? "," : ""; }

// The records are built and fixed up before they reach this writer, so a slot
// of the wrong kind is a broken invariant; it is reported instead of being
// read through the wrong union member.
const sql_value_t* checked_slot(const sql_value_t* slot, int32_t index, value_type_t type) {
    if (slot == nullptr || slot->type != type) {
        fatal_error("Output record slot %d is missing or of the wrong type", index);
    }
    return slot;
}

const sql_value_t* record_slot(const sql_value_t* record, int32_t index, value_type_t type) {
    return checked_slot(value_slot(record, index), index, type);
}

const char* slot_string(const sql_value_t* record, int32_t index) {
    return record_slot(record, index, VALUE_STRING)->string;
}

int32_t slot_integer(const sql_value_t* record, int32_t index) {
    return record_slot(record, index, VALUE_INTEGER)->integer;
}

const sql_value_t* slot_array(const sql_value_t* record, int32_t index) {
    return record_slot(record, index, VALUE_ARRAY);
}

const sql_value_t* item_value(hash_iterator_t it) { return static_cast<const sql_value_t*>(hash_item_data(it)); }

// A list element that must be a record (or a row) to be walked.
const sql_value_t* item_array(hash_iterator_t it) {
    const sql_value_t* value = item_value(it);
    if (value->type != VALUE_ARRAY) {
        fatal_error("Output list item is not an array");
    }
    return value;
}

// Writes one "args" or "locals" block body from a list of variable records.
void dump_plsql_vars(php_out_t* out, const sql_value_t* vars) {
    for (hash_iterator_t it = vars->hash->first_in_list; it; it = it->next_in_list) {
        const sql_value_t* var = item_array(it);
        out_printf(out, "\t\t\t\"%p\" => \"%p\"%s\n", slot_string(var, 0), slot_string(var, 1), list_separator(it));
    }
}

void dump_plsql_entry(php_out_t* out, const sql_value_t* plsql, const char* separator) {
    const sql_value_t* returns = slot_array(plsql, 1);
    out_printf(out,
               "\t\"%p\" => array (\n"
               "\t\t\"returns\" => array (\n"
               "\t\t\t\"type\" => \"%p\",\n"
               "\t\t\t\"setof\" => %s\n"
               "\t\t),\n"
               "\t\t\"args\" => array (\n",
               slot_string(plsql, 0), slot_string(returns, 0), php_bool(slot_integer(returns, 1)));
    dump_plsql_vars(out, slot_array(plsql, 2));
    out_printf(out, "\t\t),\n\t\t\"locals\" => array (\n");
    dump_plsql_vars(out, slot_array(plsql, 3));
    out_printf(out, "\t\t),\n\t\t\"body\" => \"%p\"\n\t)%s\n", slot_string(plsql, 4), separator);
}

void dump_query_piece(php_out_t* out, const sql_value_t* piece, const char* separator) {
    int32_t type = slot_integer(piece, 0);
    switch (type) {
    case 1:
        out_printf(out, "\t\t\tarray (\"type\" => const_sql::DB_PIECE_TEXT, \"value\" => \"%p\")%s\n",
                   slot_string(piece, 1), separator);
        break;
    case 2:
        out_printf(out, "\t\t\tarray (\"type\" => const_sql::DB_PIECE_PARAM, \"value\" => %l)%s\n",
                   slot_integer(piece, 1), separator);
        break;
    case 3:
        out_printf(out, "\t\t\tarray (\"type\" => const_sql::DB_PIECE_RAW, \"value\" => %l)%s\n",
                   slot_integer(piece, 1), separator);
        break;
    default: fatal_error("Unexpected query piece type \"%d\"", type);
    }
}

void dump_query_entry(php_out_t* out, const sql_value_t* query, bool last) {
    out_printf(out, "\t\"%p\" => array (\n\t\t\"pieces\" => array (\n", slot_string(query, 0));
    const sql_value_t* pieces = slot_array(query, 1);
    for (hash_iterator_t it = pieces->hash->first_in_list; it; it = it->next_in_list) {
        dump_query_piece(out, item_array(it), it->next_in_list != nullptr ? ", " : "");
    }
    out_printf(out, "\t\t),\n\t\t\"fields\" => array (");
    const sql_value_t* fields = slot_array(query, 2);
    for (hash_iterator_t it = fields->hash->first_in_list; it; it = it->next_in_list) {
        const sql_value_t* field = item_value(it);
        if (field->type != VALUE_STRING) {
            fatal_error("Query field type is not a string");
        }
        out_printf(out, "\"%p\"%s", field->string, it->next_in_list != nullptr ? ", " : "");
    }
    // Queries are separated by a line of their own rather than a trailing comma.
    out_printf(out, ")\n\t)\n%s\n", last ? "" : ",");
}

// Names the table's primary field: the first whose optimize value is primary.
const char* table_primary(const sql_value_t* table) {
    const sql_value_t* fields = slot_array(table, 2);
    for (hash_iterator_t it = fields->hash->first_in_list; it; it = it->next_in_list) {
        const sql_value_t* field = item_array(it);
        if (slot_integer(field, 3) == OPTIMIZE_PRIMARY) {
            return slot_string(field, 0);
        }
    }
    fatal_error("Table \"%s\" has no primary key field", slot_string(table, 0));
}

const char* optimize_constant(int32_t optimize) {
    switch (optimize) {
    case OPTIMIZE_NONE: return "DB_OPTIMIZE_NONE";
    case OPTIMIZE_INDEX: return "DB_OPTIMIZE_INDEX";
    case OPTIMIZE_PRIMARY: return "DB_OPTIMIZE_PRIMARY";
    default: fatal_error("Unexpected field optimize value \"%d\"", optimize);
    }
}

void dump_table_field(php_out_t* out, const sql_value_t* field, const char* separator) {
    sql_value_t* slot[FIELD_SLOTS];
    value_slots(field, slot, FIELD_SLOTS);
    const char* name = checked_slot(slot[0], 0, VALUE_STRING)->string;
    const char* type = checked_slot(slot[1], 1, VALUE_STRING)->string;
    const char* nullable = php_bool(checked_slot(slot[2], 2, VALUE_INTEGER)->integer);
    const char* optimize = optimize_constant(checked_slot(slot[3], 3, VALUE_INTEGER)->integer);
    const sql_value_t* links = checked_slot(slot[4], 4, VALUE_ARRAY);
    out_literal(out, "\t\t\t");
    out_quoted(out, name);
    out_literal(out, " => array (\n\t\t\t\t\"type\" => ");
    out_quoted(out, type);
    out_literal(out, ",\n\t\t\t\t\"nullable\" => ");
    out_string(out, nullable);
    out_literal(out, ",\n\t\t\t\t\"optimize\" => const_sql::");
    out_string(out, optimize);
    out_literal(out, ",\n\t\t\t\t\"links\" => array (\n");
    for (hash_iterator_t it = links->hash->first_in_list; it; it = it->next_in_list) {
        const sql_value_t* link = item_array(it);
        const char* direction = slot_integer(link, 1) != 0 ? "DB_LINK_OUTGOING" : "DB_LINK_INCOMING";
        out_literal(out, "\t\t\t\t\tarray (\"table\" => ");
        out_quoted(out, slot_string(link, 0));
        out_literal(out, ", \"direction\" => const_sql::");
        out_string(out, direction);
        out_literal(out, ")");
        out_string(out, list_separator(it));
        out_literal(out, "\n");
    }
    out_literal(out, "\t\t\t\t)\n\t\t\t)");
    out_string(out, separator);
    out_literal(out, "\n");
    out_flush_if_full(out);
}

void dump_init_row(php_out_t* out, const sql_value_t* row, const char* separator) {
    out_literal(out, "\t\t\tarray (");
    for (hash_iterator_t it = row->hash->first_in_list; it; it = it->next_in_list) {
        const sql_value_t* value = item_value(it);
        if (value->type == VALUE_NULL) {
            out_literal(out, "null");
        } else if (value->type == VALUE_STRING) {
            out_quoted(out, value->string);
        } else {
            fatal_error("Unsupported field initializer type");
        }
        if (it->next_in_list != nullptr) {
            out_literal(out, ", ");
        }
    }
    out_literal(out, ")");
    out_string(out, separator);
    out_literal(out, "\n");
    out_flush_if_full(out);
}

void dump_table_entry(php_out_t* out, const sql_value_t* table, const char* separator) {
    const char* name = slot_string(table, 0);
    const char* is_volatile = php_bool(slot_integer(table, 1));
    const char* primary = table_primary(table);
    out_literal(out, "\t");
    out_quoted(out, name);
    out_literal(out, " => array (\n\t\t\"volatile\" => ");
    out_string(out, is_volatile);
    out_literal(out, ",\n\t\t\"primary\" => ");
    out_quoted(out, primary);
    out_literal(out, ",\n\t\t\"fields\" => array (\n");
    const sql_value_t* fields = slot_array(table, 2);
    for (hash_iterator_t it = fields->hash->first_in_list; it; it = it->next_in_list) {
        dump_table_field(out, item_array(it), list_separator(it));
    }
    out_literal(out, "\t\t),\n\t\t\"init\" => array (\n");
    const sql_value_t* rows = slot_array(table, 3);
    for (hash_iterator_t it = rows->hash->first_in_list; it; it = it->next_in_list) {
        dump_init_row(out, item_array(it), list_separator(it));
    }
    out_literal(out, "\t\t)\n\t)");
    out_string(out, separator);
    out_literal(out, "\n");
    out_flush_if_full(out);
}

void dump_plsql(php_out_t* out, const sql_value_t* plsql) {
    out_printf(out, "$this->plsql = array (\n");
    for (hash_iterator_t it = plsql->hash->first_in_list; it; it = it->next_in_list) {
        dump_plsql_entry(out, item_array(it), list_separator(it));
    }
    out_printf(out, ");\n");
}

void dump_queries(php_out_t* out, const sql_value_t* queries) {
    out_printf(out, "$this->queries = array (\n");
    for (hash_iterator_t it = queries->hash->first_in_list; it; it = it->next_in_list) {
        dump_query_entry(out, item_array(it), it->next_in_list == nullptr);
    }
    out_printf(out, ");\n");
}

void dump_sequences(php_out_t* out, const sql_value_t* sequences) {
    out_printf(out, "$this->sequences = array (\n");
    for (hash_iterator_t it = sequences->hash->first_in_list; it; it = it->next_in_list) {
        const sql_value_t* sequence = item_array(it);
        out_printf(out, "\t\"%p\" => %l%s\n", slot_string(sequence, 0), slot_integer(sequence, 1), list_separator(it));
    }
    out_printf(out, ");\n");
}

void dump_tables(php_out_t* out, const sql_value_t* tables) {
    out_printf(out, "$this->tables = array (\n");
    for (hash_iterator_t it = tables->hash->first_in_list; it; it = it->next_in_list) {
        dump_table_entry(out, item_array(it), list_separator(it));
    }
    out_printf(out, ");\n");
}

void dump_views(php_out_t* out, const sql_value_t* views) {
    out_printf(out, "$this->views = array (\n");
    for (hash_iterator_t it = views->hash->first_in_list; it; it = it->next_in_list) {
        const sql_value_t* view = item_array(it);
        out_printf(out, "\t\"%p\" => \"%p\"%s\n", slot_string(view, 0), slot_string(view, 1), list_separator(it));
    }
    out_printf(out, ");\n");
}

}  // namespace

void php_printf(FILE* file, const char* format, ...) {
    php_line.length = 0;
    va_list args;
    va_start(args, format);
    php_expand(&php_line, format, args);
    va_end(args);
    if (php_line.length > 0) {
        fwrite(php_line.text, 1, php_line.length, file);
    }
}

void dump_php_code(FILE* file, program_output_t* output) {
    php_out_t out(file);
    out_printf(&out, "<?php\n");
    dump_plsql(&out, &output->plsql);
    dump_queries(&out, &output->queries);
    dump_sequences(&out, &output->sequences);
    dump_tables(&out, &output->tables);
    dump_views(&out, &output->views);
    out_printf(&out, "?>\n");
    out_flush(&out);
}
