// Writes the program output as a PHP file that assigns five nested arrays to
// $this, through a printf of its own that escapes for double-quoted strings.
#include "dump_php.hpp"

#include <charconv>
#include <cstdarg>
#include <cstring>

#include "dyn_string.hpp"
#include "exception.hpp"

namespace {

// Appends `string` escaped for a PHP double-quoted literal. Only the bytes
// that end or interpolate such a literal are escaped; the runs between them
// are appended whole so that long bodies cost a few appends, not one per byte.
void php_append_escaped(dyn_string_t* out, const char* string) {
    for (;;) {
        size_t run = strcspn(string, "\\\"$");
        if (run > 0) {
            dyn_string_append_strlen(out, string, run);
        }
        string += run;
        if (*string == '\0') {
            return;
        }
        const char pair[2] = {'\\', *string};
        dyn_string_append_strlen(out, pair, 2);
        ++string;
    }
}

void php_append_integer(dyn_string_t* out, int value) {
    char scratch[64];
    std::to_chars_result converted = std::to_chars(scratch, scratch + sizeof scratch, value);
    dyn_string_append_strlen(out, scratch, static_cast<size_t>(converted.ptr - scratch));
}

// Expands `format` into `out`; a bad directive ends the process before the
// caller has written anything.
void php_expand(dyn_string_t* out, const char* format, va_list args) {
    for (;;) {
        const char* percent = strchr(format, '%');
        if (percent == nullptr) {
            dyn_string_append_string(out, format);
            return;
        }
        if (percent > format) {
            dyn_string_append_strlen(out, format, static_cast<size_t>(percent - format));
        }
        switch (percent[1]) {
            case 'p':
                php_append_escaped(out, va_arg(args, const char*));
                break;
            case 's':
                dyn_string_append_string(out, va_arg(args, const char*));
                break;
            case 'l':
                php_append_integer(out, va_arg(args, int));
                break;
            case '%':
                dyn_string_append_char(out, '%');
                break;
            case '\0':
                fatal_error("Premature end of printf expansion");
            default:
                fatal_error("Unknown printf expansion");
        }
        format = percent + 2;
    }
}

const char* php_bool(int32_t flag) {
    return flag != 0 ? "true" : "false";
}

// Entry separator of the comma-terminated lists.
const char* list_separator(hash_iterator_t it) {
    return it->next_in_list != nullptr ? "," : "";
}

// The records are built and fixed up before they reach this writer, so a slot
// of the wrong kind is a broken invariant; it is reported instead of being
// read through the wrong union member.
const sql_value_t* record_slot(const sql_value_t* record, int32_t index, value_type_t type) {
    const sql_value_t* slot = value_slot(record, index);
    if (slot == nullptr || slot->type != type) {
        fatal_error("Output record slot %d is missing or of the wrong type", index);
    }
    return slot;
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

const sql_value_t* item_value(hash_iterator_t it) {
    return static_cast<const sql_value_t*>(hash_item_data(it));
}

// A list element that must be a record (or a row) to be walked.
const sql_value_t* item_array(hash_iterator_t it) {
    const sql_value_t* value = item_value(it);
    if (value->type != VALUE_ARRAY) {
        fatal_error("Output list item is not an array");
    }
    return value;
}

// Writes one "args" or "locals" block body from a list of variable records.
void dump_plsql_vars(FILE* file, const sql_value_t* vars) {
    for (hash_iterator_t it = vars->hash->first_in_list; it; it = it->next_in_list) {
        const sql_value_t* var = item_array(it);
        php_printf(file, "\t\t\t\"%p\" => \"%p\"%s\n", slot_string(var, 0), slot_string(var, 1),
                   list_separator(it));
    }
}

void dump_plsql_entry(FILE* file, const sql_value_t* plsql, const char* separator) {
    const sql_value_t* returns = slot_array(plsql, 1);
    php_printf(file,
               "\t\"%p\" => array (\n"
               "\t\t\"returns\" => array (\n"
               "\t\t\t\"type\" => \"%p\",\n"
               "\t\t\t\"setof\" => %s\n"
               "\t\t),\n"
               "\t\t\"args\" => array (\n",
               slot_string(plsql, 0), slot_string(returns, 0), php_bool(slot_integer(returns, 1)));
    dump_plsql_vars(file, slot_array(plsql, 2));
    php_printf(file, "\t\t),\n\t\t\"locals\" => array (\n");
    dump_plsql_vars(file, slot_array(plsql, 3));
    php_printf(file, "\t\t),\n\t\t\"body\" => \"%p\"\n\t)%s\n", slot_string(plsql, 4), separator);
}

void dump_query_piece(FILE* file, const sql_value_t* piece, const char* separator) {
    int32_t type = slot_integer(piece, 0);
    switch (type) {
        case 1:
            php_printf(file, "\t\t\tarray (\"type\" => const_sql::DB_PIECE_TEXT, \"value\" => \"%p\")%s\n",
                       slot_string(piece, 1), separator);
            break;
        case 2:
            php_printf(file, "\t\t\tarray (\"type\" => const_sql::DB_PIECE_PARAM, \"value\" => %l)%s\n",
                       slot_integer(piece, 1), separator);
            break;
        case 3:
            php_printf(file, "\t\t\tarray (\"type\" => const_sql::DB_PIECE_RAW, \"value\" => %l)%s\n",
                       slot_integer(piece, 1), separator);
            break;
        default:
            fatal_error("Unexpected query piece type \"%d\"", type);
    }
}

void dump_query_entry(FILE* file, const sql_value_t* query, bool last) {
    php_printf(file, "\t\"%p\" => array (\n\t\t\"pieces\" => array (\n", slot_string(query, 0));
    const sql_value_t* pieces = slot_array(query, 1);
    for (hash_iterator_t it = pieces->hash->first_in_list; it; it = it->next_in_list) {
        dump_query_piece(file, item_array(it), it->next_in_list != nullptr ? ", " : "");
    }
    php_printf(file, "\t\t),\n\t\t\"fields\" => array (");
    const sql_value_t* fields = slot_array(query, 2);
    for (hash_iterator_t it = fields->hash->first_in_list; it; it = it->next_in_list) {
        const sql_value_t* field = item_value(it);
        if (field->type != VALUE_STRING) {
            fatal_error("Query field type is not a string");
        }
        php_printf(file, "\"%p\"%s", field->string, it->next_in_list != nullptr ? ", " : "");
    }
    // Queries are separated by a line of their own rather than a trailing comma.
    php_printf(file, ")\n\t)\n%s\n", last ? "" : ",");
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
        case OPTIMIZE_NONE:
            return "DB_OPTIMIZE_NONE";
        case OPTIMIZE_INDEX:
            return "DB_OPTIMIZE_INDEX";
        case OPTIMIZE_PRIMARY:
            return "DB_OPTIMIZE_PRIMARY";
        default:
            fatal_error("Unexpected field optimize value \"%d\"", optimize);
    }
}

void dump_table_field(FILE* file, const sql_value_t* field, const char* separator) {
    php_printf(file,
               "\t\t\t\"%p\" => array (\n"
               "\t\t\t\t\"type\" => \"%p\",\n"
               "\t\t\t\t\"nullable\" => %s,\n"
               "\t\t\t\t\"optimize\" => const_sql::%s,\n"
               "\t\t\t\t\"links\" => array (\n",
               slot_string(field, 0), slot_string(field, 1), php_bool(slot_integer(field, 2)),
               optimize_constant(slot_integer(field, 3)));
    const sql_value_t* links = slot_array(field, 4);
    for (hash_iterator_t it = links->hash->first_in_list; it; it = it->next_in_list) {
        const sql_value_t* link = item_array(it);
        const char* direction = slot_integer(link, 1) != 0 ? "DB_LINK_OUTGOING" : "DB_LINK_INCOMING";
        php_printf(file, "\t\t\t\t\tarray (\"table\" => \"%p\", \"direction\" => const_sql::%s)%s\n",
                   slot_string(link, 0), direction, list_separator(it));
    }
    php_printf(file, "\t\t\t\t)\n\t\t\t)%s\n", separator);
}

void dump_init_row(FILE* file, const sql_value_t* row, const char* separator) {
    php_printf(file, "\t\t\tarray (");
    for (hash_iterator_t it = row->hash->first_in_list; it; it = it->next_in_list) {
        const sql_value_t* value = item_value(it);
        const char* value_separator = it->next_in_list != nullptr ? ", " : "";
        if (value->type == VALUE_NULL) {
            php_printf(file, "null%s", value_separator);
        } else if (value->type == VALUE_STRING) {
            php_printf(file, "\"%p\"%s", value->string, value_separator);
        } else {
            fatal_error("Unsupported field initializer type");
        }
    }
    php_printf(file, ")%s\n", separator);
}

void dump_table_entry(FILE* file, const sql_value_t* table, const char* separator) {
    php_printf(file,
               "\t\"%p\" => array (\n"
               "\t\t\"volatile\" => %s,\n"
               "\t\t\"primary\" => \"%p\",\n"
               "\t\t\"fields\" => array (\n",
               slot_string(table, 0), php_bool(slot_integer(table, 1)), table_primary(table));
    const sql_value_t* fields = slot_array(table, 2);
    for (hash_iterator_t it = fields->hash->first_in_list; it; it = it->next_in_list) {
        dump_table_field(file, item_array(it), list_separator(it));
    }
    php_printf(file, "\t\t),\n\t\t\"init\" => array (\n");
    const sql_value_t* rows = slot_array(table, 3);
    for (hash_iterator_t it = rows->hash->first_in_list; it; it = it->next_in_list) {
        dump_init_row(file, item_array(it), list_separator(it));
    }
    php_printf(file, "\t\t)\n\t)%s\n", separator);
}

void dump_plsql(FILE* file, const sql_value_t* plsql) {
    php_printf(file, "$this->plsql = array (\n");
    for (hash_iterator_t it = plsql->hash->first_in_list; it; it = it->next_in_list) {
        dump_plsql_entry(file, item_array(it), list_separator(it));
    }
    php_printf(file, ");\n");
}

void dump_queries(FILE* file, const sql_value_t* queries) {
    php_printf(file, "$this->queries = array (\n");
    for (hash_iterator_t it = queries->hash->first_in_list; it; it = it->next_in_list) {
        dump_query_entry(file, item_array(it), it->next_in_list == nullptr);
    }
    php_printf(file, ");\n");
}

void dump_sequences(FILE* file, const sql_value_t* sequences) {
    php_printf(file, "$this->sequences = array (\n");
    for (hash_iterator_t it = sequences->hash->first_in_list; it; it = it->next_in_list) {
        const sql_value_t* sequence = item_array(it);
        php_printf(file, "\t\"%p\" => %l%s\n", slot_string(sequence, 0), slot_integer(sequence, 1),
                   list_separator(it));
    }
    php_printf(file, ");\n");
}

void dump_tables(FILE* file, const sql_value_t* tables) {
    php_printf(file, "$this->tables = array (\n");
    for (hash_iterator_t it = tables->hash->first_in_list; it; it = it->next_in_list) {
        dump_table_entry(file, item_array(it), list_separator(it));
    }
    php_printf(file, ");\n");
}

void dump_views(FILE* file, const sql_value_t* views) {
    php_printf(file, "$this->views = array (\n");
    for (hash_iterator_t it = views->hash->first_in_list; it; it = it->next_in_list) {
        const sql_value_t* view = item_array(it);
        php_printf(file, "\t\"%p\" => \"%p\"%s\n", slot_string(view, 0), slot_string(view, 1),
                   list_separator(it));
    }
    php_printf(file, ");\n");
}

}  // namespace

void php_printf(FILE* file, const char* format, ...) {
    dyn_string_t out;
    dyn_string_init(&out);
    va_list args;
    va_start(args, format);
    php_expand(&out, format, args);
    va_end(args);
    size_t length = dyn_string_length(&out);
    if (length > 0) {
        fwrite(dyn_string_get(&out), 1, length, file);
    }
    dyn_string_shutdown(&out);
}

void dump_php_code(FILE* file, program_output_t* output) {
    php_printf(file, "<?\n");
    dump_plsql(file, &output->plsql);
    dump_queries(file, &output->queries);
    dump_sequences(file, &output->sequences);
    dump_tables(file, &output->tables);
    dump_views(file, &output->views);
    php_printf(file, "?>\n");
}
