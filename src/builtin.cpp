// The schema built-ins: each checks the shape of its arguments, refuses a
// taken name and stores deep copies as one record of the program output.
// After the program has run, the fix-up turns type names into SQL text and
// checks that every link names a declared table.
#include "builtin.hpp"

#include <sys/stat.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "dyn_string.hpp"
#include "exception.hpp"
#include "initializer_parser.hpp"
#include "initializer_scanner.hpp"
#include "input_file.hpp"
#include "memory_pool.hpp"
#include "path_info.hpp"
#include "query_scanner.hpp"
#include "sql_node.hpp"

// Registration order matters: the compiler adds them to the function table
// in this order, and the last entry ends the walk.
const native_info_t handlers_builtin[10] = {
    {"array", handler_array},
    {"dump_plsql", handler_dump_plsql},
    {"dump_query", handler_dump_query},
    {"dump_sequence", handler_dump_sequence},
    {"dump_table", handler_dump_table},
    {"prefix_pathname", handler_prefix_pathname},
    {"read_table_initializer", handler_read_table_initializer},
    {"dump_type", handler_dump_type},
    {"dump_view", handler_dump_view},
    {nullptr, nullptr},
};

sql_value_t* table_init_data = nullptr;
program_declarations_t* builtin_declarations = nullptr;

namespace {

program_output_t* program_output() { return executor_globals.output; }

sql_value_t* item_value(hash_iterator_t item) { return static_cast<sql_value_t*>(hash_item_data(item)); }

// Flags and enumerations arrive as signed integers; a negative one must not
// slip through as small, so they are compared as unsigned.
bool exceeds(const sql_value_t* value, uint32_t max) { return static_cast<uint32_t>(value->integer) > max; }

// `slot`, which must exist and have type `type`.
const sql_value_t* required(const sql_value_t* slot, value_type_t type, const char* missing, const char* wrong_type) {
    if (slot == nullptr) {
        execute_bailout("%s", missing);
    }
    if (slot->type != type) {
        execute_bailout("%s", wrong_type);
    }
    return slot;
}

// Slot `index` of `record`, which must exist and have type `type`.
const sql_value_t* required_slot(const sql_value_t* record, int32_t index, value_type_t type, const char* missing,
                                 const char* wrong_type) {
    return required(value_slot(record, index), type, missing, wrong_type);
}

void push_integer(sql_value_t* array, int32_t integer) {
    sql_value_t value;
    value_init_integer(&value, integer);
    value_push(array, &value);
}

// The arguments of a built-in and the records the fix-up replaces are
// released right after use, so the parts that pass on unchanged are moved,
// not copied: what the output holds afterwards is the same.

// Moves the value of `slot` to the end of `array`, leaving the slot null.
void push_taken(sql_value_t* array, sql_value_t* slot) {
    value_push(array, slot);
    value_init_null(slot);
}

// A new record of `slots` slots, the first ones holding the values moved out
// of `parts`.
void take_record(sql_value_t* record, size_t slots, std::initializer_list<sql_value_t*> parts) {
    value_init_list(record, slots);
    for (sql_value_t* part : parts) {
        push_taken(record, part);
    }
}

bool collection_has(const sql_value_t* collection, const sql_value_t* name) {
    return hash_find_string(collection->hash, name->string) != nullptr;
}

// --- declarations kept for an export ---------------------------------------

// Calls `visit` with each type name of `record`, checked and about to be
// stored in `collection`, in the order of declaration_t::type_names.
template <typename Visit>
void visit_type_names(const sql_value_t* collection, const sql_value_t* record, Visit visit) {
    const program_output_t* output = program_output();
    auto visit_slot = [&](const sql_value_t* records, int32_t index) {
        for (hash_iterator_t item = records->hash->first_in_list; item != nullptr; item = item->next_in_list) {
            visit(value_slot(item_value(item), index)->string);
        }
    };
    if (collection == &output->tables) {
        visit_slot(value_slot(record, 2), 1);
    } else if (collection == &output->queries) {
        const sql_value_t* fields = value_slot(record, 2);
        for (hash_iterator_t item = fields->hash->first_in_list; item != nullptr; item = item->next_in_list) {
            visit(item_value(item)->string);
        }
    } else if (collection == &output->plsql) {
        visit(value_slot(value_slot(record, 1), 0)->string);
        visit_slot(value_slot(record, 2), 1);
        visit_slot(value_slot(record, 3), 1);
    }
}

// The type names of `record` in one block, so that keeping them costs one
// allocation per object.
void keep_type_names(const sql_value_t* collection, const sql_value_t* record, declaration_t* declaration) {
    size_t size = 0;
    visit_type_names(collection, record, [&](const char* name) {
        size += std::strlen(name) + 1;
        ++declaration->type_count;
    });
    if (size == 0) return;
    char* at = declaration->type_names = static_cast<char*>(memory_pool_alloc(size));
    visit_type_names(collection, record, [&](const char* name) {
        const size_t length = std::strlen(name) + 1;
        std::memcpy(at, name, length);
        at += length;
    });
}

hash_table_t* declarations_of(const sql_value_t* collection) {
    const program_output_t* output = program_output();
    program_declarations_t* declarations = builtin_declarations;
    if (collection == &output->plsql) return &declarations->plsql;
    if (collection == &output->queries) return &declarations->queries;
    if (collection == &output->sequences) return &declarations->sequences;
    if (collection == &output->tables) return &declarations->tables;
    if (collection == &output->types) return &declarations->types;
    return &declarations->views;
}

void note_declaration(const sql_value_t* collection, const sql_value_t* record) {
    if (builtin_declarations == nullptr) return;
    const sql_node_t* statement = executor_globals.current;
    declaration_t declaration{};
    if (statement != nullptr) {
        declaration.pathname = statement->pathname;
        declaration.line = statement->line;
    }
    keep_type_names(collection, record, &declaration);
    if (collection == &program_output()->tables && builtin_declarations->table_lines != nullptr) {
        declaration.table_lines = static_cast<const unsigned*>(
            hash_find_string(builtin_declarations->table_lines, value_slot(record, 0)->string));
    }
    _hash_add_string(declarations_of(collection), value_slot(record, 0)->string, &declaration, sizeof declaration,
                     nullptr);
}

void declaration_dtor(void* data) {
    char* type_names = static_cast<declaration_t*>(data)->type_names;
    if (type_names != nullptr) memory_pool_free(type_names);
}

// Moves `record` into `collection` under the name in its slot 0, which the
// caller has found free.
void collection_add(sql_value_t* collection, sql_value_t* record) {
    note_declaration(collection, record);
    _hash_add_string(collection->hash, value_slot(record, 0)->string, record, sizeof *record, nullptr);
}

// Adds `name` to a set of names; false when it is there already.
bool name_set_add(hash_table_t* set, const char* name) { return _hash_add_string(set, name, nullptr, 0, nullptr) == 0; }

// --- dump_table -----------------------------------------------------------

void dump_table_check_link(const sql_value_t* link) {
    if (link->type != VALUE_ARRAY) {
        execute_bailout("Found a field link which is not an array");
    }
    required_slot(link, 0, VALUE_STRING, "Field link is missing the name value",
                  "Field link has a name value which is not a string");
    const sql_value_t* direction = required_slot(link, 1, VALUE_INTEGER, "Field link is missing the direction value",
                                                 "Field link has a direction value which is not an integer");
    if (exceeds(direction, DIRECTION_OUTGOING)) {
        execute_bailout("Field link has a bad direction value");
    }
}

void dump_table_check_field(const sql_value_t* field, hash_table_t* names, bool* found_primary) {
    if (field->type != VALUE_ARRAY) {
        execute_bailout("Found a table field of a non-array type");
    }
    sql_value_t* slot[FIELD_SLOTS];
    value_slots(field, slot, FIELD_SLOTS);
    const sql_value_t* name = required(slot[0], VALUE_STRING, "Table field is missing the name value",
                                       "Table field has a name value which is not a string");
    if (!name_set_add(names, name->string)) {
        execute_bailout("Redefinition of table field \"%s\"", name->string);
    }
    required(slot[1], VALUE_STRING, "Table field is missing the type value",
             "Table field has a type value which is not a string");

    const sql_value_t* nullable = required(slot[2], VALUE_INTEGER, "Table field is missing the nullable value",
                                           "Table field has a nullable value which is not an integer");
    if (exceeds(nullable, 1)) {
        execute_bailout("Table field has a bad nullable value %d", nullable->integer);
    }

    const sql_value_t* optimize = required(slot[3], VALUE_INTEGER, "Table field is missing the optimize value",
                                           "Table field has an optimize value which is not an integer");
    if (exceeds(optimize, OPTIMIZE_PRIMARY)) {
        execute_bailout("Table field has a bad optimize value %d", optimize->integer);
    }
    if (optimize->integer == OPTIMIZE_PRIMARY) {
        if (*found_primary) {
            execute_bailout("Table has multiple primary keys");
        }
        *found_primary = true;
    }

    const sql_value_t* links = required(slot[4], VALUE_ARRAY, "Table field is missing the links value",
                                        "Found field links list which is not an array");
    for (hash_iterator_t item = links->hash->first_in_list; item != nullptr; item = item->next_in_list) {
        dump_table_check_link(item_value(item));
    }
}

void dump_table_check_fields(const sql_value_t* fields) {
    hash_table_t names;
    _hash_init(&names, HASH_CHAINS, nullptr);
    bool found_primary = false;
    for (hash_iterator_t item = fields->hash->first_in_list; item != nullptr; item = item->next_in_list) {
        dump_table_check_field(item_value(item), &names, &found_primary);
    }
    if (!found_primary) {
        execute_bailout("Table has no primary key");
    }
    hash_shutdown(&names);
}

// `fields` has passed dump_table_check_fields.
void dump_table_check_row(const sql_value_t* row, const sql_value_t* fields) {
    if (row->type != VALUE_ARRAY) {
        execute_bailout("Table initilizer row is not of an array type");
    }
    size_t field_count = hash_count(fields->hash);
    size_t value_count = hash_count(row->hash);
    if (value_count != field_count) {
        execute_bailout("Bad number of values in a table initializer row, expected %u, got %u",
                        static_cast<unsigned>(field_count), static_cast<unsigned>(value_count));
    }
    hash_iterator_t field = fields->hash->first_in_list;
    for (hash_iterator_t item = row->hash->first_in_list; item != nullptr; item = item->next_in_list) {
        const sql_value_t* value = item_value(item);
        if (value->type == VALUE_NULL) {
            if (value_slot(item_value(field), 2)->integer == 0) {
                execute_bailout("Non-nullable field has a null initializer value");
            }
        } else if (value->type != VALUE_STRING) {
            execute_bailout("Table initializer field is not of a null or string type");
        }
        field = field->next_in_list;
    }
}

// --- dump_plsql -----------------------------------------------------------

void dump_plsql_check_returns(const sql_value_t* returns) {
    required_slot(returns, 0, VALUE_STRING, "Return definition is missing a return type",
                  "Return definition has a return type which is not a string");
    const sql_value_t* setof = required_slot(returns, 1, VALUE_INTEGER, "Return definition is missing a setof flag",
                                             "Return definition has a setof flag which is not an integer");
    if (exceeds(setof, 1)) {
        execute_bailout("Return definition has a bad value of the setof flag");
    }
}

const char* dump_plsql_check_one_var(const sql_value_t* var) {
    if (var->type != VALUE_ARRAY) {
        execute_bailout("PL/SQL variable has a type which is not an array");
    }
    const sql_value_t* name = required_slot(var, 0, VALUE_STRING, "PL/SQL variable is missing the name value",
                                            "PL/SQL variable has a name value which is not a string");
    required_slot(var, 1, VALUE_STRING, "PL/SQL variable is missing the type value",
                  "PL/SQL variable has a type value which is not a string");
    return name->string;
}

// Arguments and locals share one name space, `names`.
void dump_plsql_check_vars(const sql_value_t* vars, hash_table_t* names, bool locals) {
    for (hash_iterator_t item = vars->hash->first_in_list; item != nullptr; item = item->next_in_list) {
        const char* name = dump_plsql_check_one_var(item_value(item));
        if (name_set_add(names, name)) {
            continue;
        }
        if (locals) {
            execute_bailout("Redefinition of local name \"%s\"", name);
        }
        execute_bailout("Redefinition of argument name \"%s\"", name);
    }
}

// --- dump_query -----------------------------------------------------------

void dump_query_flush_text(sql_value_t* pieces, dyn_string_t* text) {
    size_t length = dyn_string_length(text);
    if (length == 0) {
        return;
    }
    sql_value_t piece;
    sql_value_t value;
    value_init_list(&piece, 2);
    push_integer(&piece, QP_TEXT);
    value_init_string_clen(&value, dyn_string_get(text), length);
    value_push(&piece, &value);
    value_push(pieces, &piece);
    dyn_string_set(text, "");
}

void dump_query_add_marker(sql_value_t* pieces, dyn_string_t* text, int code, sql_value_t* value) {
    dump_query_flush_text(pieces, text);
    sql_value_t piece;
    value_init_list(&piece, 2);
    push_integer(&piece, code);
    value_push(&piece, value);
    value_push(pieces, &piece);
}

// The scan itself, between the scanner's creation and its end.
void dump_query_split(const char* body, qry_scanner_t* scanner, sql_value_t* pieces, sql_value_t* fields) {
    qry_buffer_t* buffer = qry_scan_string(body, scanner);

    dyn_string_t scan_text;
    dyn_string_init(&scan_text);
    sql_value_t value;
    for (int code; (code = qrylex(&value, scanner)) != QP_END;) {
        switch (code) {
        case QP_TEXT:
            dyn_string_append_strlen(&scan_text, value.string, strlen(value.string));
            value_shutdown(&value);
            break;
        case QP_ESC:
        case QP_RAW: dump_query_add_marker(pieces, &scan_text, code, &value); break;
        case QP_FIELD:
            // Text around a field marker stays one piece.
            value_push(fields, &value);
            break;
        default: fatal_error("Unknown query scan result \"%d\"", code);
        }
    }
    dump_query_flush_text(pieces, &scan_text);
    dyn_string_shutdown(&scan_text);
    qry_delete_buffer(buffer, scanner);
}

// Splits `body` into text, parameter and raw pieces and the field type
// names. Only a fatal error (exhausted memory) leaves early; the scanner's
// heap storage is released on the way.
void dump_query_scan(const char* body, sql_value_t* pieces, sql_value_t* fields) {
    qry_scanner_t* scanner = nullptr;
    if (qrylex_init(&scanner) != 0) {
        execute_bailout("Failed to initialize the query scanner");
    }
    try {
        dump_query_split(body, scanner, pieces, fields);
    } catch (...) {
        qrylex_destroy(scanner);
        throw;
    }
    if (qrylex_destroy(scanner) != 0) {
        execute_bailout("Failed to destroy the query scanner");
    }
}

// --- read_table_initializer -------------------------------------------------

// Releases what the initializer parse holds from the heap and the system
// when a bail-out leaves the handler early.
struct init_file_guard_t {
    FILE* file = nullptr;
    init_scanner_t* scanner = nullptr;

    init_file_guard_t() = default;
    init_file_guard_t(const init_file_guard_t&) = delete;
    init_file_guard_t& operator=(const init_file_guard_t&) = delete;
    ~init_file_guard_t() {
        table_init_data = nullptr;
        if (scanner != nullptr) {
            initlex_destroy(scanner);
        }
        if (file != nullptr) {
            fclose(file);
        }
    }
};

FILE* read_table_initializer_open(const char* pathname) {
    struct stat status;
    int error = 0;
    FILE* file = input_file_open_named(pathname, &status, &error);
    if (file != nullptr) return file;
    if (error == INPUT_NOT_REGULAR) {
        execute_bailout("Failed to open initializer file \"%s\": not a regular file", pathname);
    }
    execute_bailout_errno(error, "Failed to open initializer file \"%s\": %d(%m)", pathname, error);
}

// --- fix-up -------------------------------------------------------------------

const sql_value_t* types_of(const program_output_t* out) { return &out->types; }

void push_resolved(sql_value_t* array, const sql_value_t* name, const program_output_t* out) {
    sql_value_t resolved;
    resolve_type(&resolved, name, types_of(out));
    value_push(array, &resolved);
}

void fixup_plsql_vars(sql_value_t* dest, sql_value_t* src, const program_output_t* out) {
    value_init_list(dest, hash_count(src->hash));
    for (hash_iterator_t item = src->hash->first_in_list; item != nullptr; item = item->next_in_list) {
        sql_value_t* var = item_value(item);
        sql_value_t record;
        take_record(&record, 2, {value_slot(var, 0)});
        push_resolved(&record, value_slot(var, 1), out);
        value_push(dest, &record);
    }
}

void fixup_plsql_record(sql_value_t* record, sql_value_t* stored, const program_output_t* out) {
    sql_value_t* returns = value_slot(stored, 1);
    sql_value_t fixed;

    take_record(record, 5, {value_slot(stored, 0)});

    value_init_list(&fixed, 2);
    push_resolved(&fixed, value_slot(returns, 0), out);
    push_taken(&fixed, value_slot(returns, 1));
    value_push(record, &fixed);

    fixup_plsql_vars(&fixed, value_slot(stored, 2), out);
    value_push(record, &fixed);
    fixup_plsql_vars(&fixed, value_slot(stored, 3), out);
    value_push(record, &fixed);

    push_taken(record, value_slot(stored, 4));
}

void fixup_query_record(sql_value_t* record, sql_value_t* stored, const program_output_t* out) {
    const sql_value_t* fields = value_slot(stored, 2);
    sql_value_t fixed;

    take_record(record, 3, {value_slot(stored, 0), value_slot(stored, 1)});
    value_init_list(&fixed, hash_count(fields->hash));
    for (hash_iterator_t item = fields->hash->first_in_list; item != nullptr; item = item->next_in_list) {
        push_resolved(&fixed, item_value(item), out);
    }
    value_push(record, &fixed);
}

// A field keeps its record: only the type name in slot 1 gives way to the
// type it names. A record with slots past the five a field has is rebuilt
// without them.
void fixup_field_record(sql_value_t* field, const program_output_t* out) {
    sql_value_t* type = value_slot(field, 1);
    sql_value_t resolved;
    resolve_type(&resolved, type, types_of(out));
    value_shutdown(type);
    *type = resolved;
    // `tables` is still the collection the program built, so links may name
    // tables declared later, or the table itself, but never a view.
    const sql_value_t* links = value_slot(field, 4);
    for (hash_iterator_t item = links->hash->first_in_list; item != nullptr; item = item->next_in_list) {
        const sql_value_t* table = value_slot(item_value(item), 0);
        if (hash_find_string(out->tables.hash, table->string) == nullptr) {
            execute_bailout_about(SUBJECT_TABLE, table->string, "Link to unknown table \"%s\"", table->string);
        }
    }
    if (hash_count(field->hash) > static_cast<size_t>(FIELD_SLOTS)) {
        sql_value_t record;
        take_record(&record, FIELD_SLOTS,
                    {value_slot(field, 0), value_slot(field, 1), value_slot(field, 2), value_slot(field, 3),
                     value_slot(field, 4)});
        value_shutdown(field);
        *field = record;
    }
}

// Tables are fixed up where they stand: a table record keeps its shape and
// only its fields' types change, so nothing is rebuilt.
void fixup_tables(program_output_t* out) {
    for (hash_iterator_t table = out->tables.hash->first_in_list; table != nullptr; table = table->next_in_list) {
        const sql_value_t* fields = value_slot(item_value(table), 2);
        for (hash_iterator_t field = fields->hash->first_in_list; field != nullptr; field = field->next_in_list) {
            fixup_field_record(item_value(field), out);
        }
    }
}

using fixup_record_t = void (*)(sql_value_t* record, sql_value_t* stored, const program_output_t* out);

// Rebuilds `member` record by record under the same keys and in the same
// order, then puts the rebuilt collection in its place. A stored record is
// read only while its own replacement is built (the link test asks `tables`
// for names alone), so each is released as soon as it has been rebuilt: the
// whole collection is never held twice.
void fixup_collection(sql_value_t* member, fixup_record_t fixup_record, const program_output_t* out) {
    sql_value_t rebuilt;
    value_init_array(&rebuilt);
    for (hash_iterator_t item = member->hash->first_in_list; item != nullptr; item = item->next_in_list) {
        sql_value_t record;
        fixup_record(&record, item_value(item), out);
        _hash_add_string(rebuilt.hash, hash_item_key(item), &record, sizeof record, nullptr);
        value_shutdown(item_value(item));
        value_init_null(item_value(item));
    }
    value_shutdown(member);
    *member = rebuilt;
}

}  // namespace

// --- checks shared by the handlers ------------------------------------------

int check_table_view(const sql_value_t* name) {
    const program_output_t* out = program_output();
    if (hash_find_string(out->tables.hash, name->string) != nullptr ||
        hash_find_string(out->views.hash, name->string) != nullptr) {
        return -1;
    }
    return 0;
}

void resolve_type(sql_value_t* dest, const sql_value_t* name, const sql_value_t* types) {
    const auto* type = static_cast<const sql_value_t*>(hash_find_string(types->hash, name->string));
    if (type == nullptr) {
        execute_bailout_about(SUBJECT_TYPE, name->string, "Unable to resolve SQL type \"%s\"", name->string);
    }
    value_deep_copy(dest, value_slot(type, 1));
}

// --- handlers -----------------------------------------------------------------

void handler_dump_table(sql_value_t* result, hash_table_t* args) {
    sql_value_t* arg_name;
    sql_value_t* arg_volatile;
    sql_value_t* arg_fields;
    sql_value_t* arg_init;
    const native_fetch_t fetch[] = {{&arg_name, VALUE_STRING},
                                    {&arg_volatile, VALUE_INTEGER},
                                    {&arg_fields, VALUE_ARRAY},
                                    {&arg_init, VALUE_ARRAY},
                                    {nullptr, -1}};
    fetch_native_args(args, fetch);

    if (check_table_view(arg_name) != 0) {
        execute_bailout("Redefinition of table \"%s\"", arg_name->string);
    }
    if (exceeds(arg_volatile, 1)) {
        execute_bailout("Table has bad volatile flag");
    }
    dump_table_check_fields(arg_fields);
    for (hash_iterator_t item = arg_init->hash->first_in_list; item != nullptr; item = item->next_in_list) {
        dump_table_check_row(item_value(item), arg_fields);
    }

    sql_value_t record;
    take_record(&record, 4, {arg_name, arg_volatile, arg_fields, arg_init});
    collection_add(&program_output()->tables, &record);
    value_init_null(result);
}

void handler_dump_view(sql_value_t* result, hash_table_t* args) {
    sql_value_t* arg_name;
    sql_value_t* arg_definition;
    const native_fetch_t fetch[] = {{&arg_name, VALUE_STRING}, {&arg_definition, VALUE_STRING}, {nullptr, -1}};
    fetch_native_args(args, fetch);

    if (check_table_view(arg_name) != 0) {
        execute_bailout("Redefinition of view \"%s\"", arg_name->string);
    }
    sql_value_t record;
    take_record(&record, 2, {arg_name, arg_definition});
    collection_add(&program_output()->views, &record);
    value_init_null(result);
}

void handler_dump_type(sql_value_t* result, hash_table_t* args) {
    sql_value_t* arg_name;
    sql_value_t* arg_definition;
    const native_fetch_t fetch[] = {{&arg_name, VALUE_STRING}, {&arg_definition, VALUE_STRING}, {nullptr, -1}};
    fetch_native_args(args, fetch);

    if (collection_has(&program_output()->types, arg_name)) {
        execute_bailout("Redefinition of type \"%s\"", arg_name->string);
    }
    sql_value_t record;
    take_record(&record, 2, {arg_name, arg_definition});
    collection_add(&program_output()->types, &record);
    value_init_null(result);
}

void handler_dump_sequence(sql_value_t* result, hash_table_t* args) {
    sql_value_t* arg_name;
    sql_value_t* arg_initial;
    const native_fetch_t fetch[] = {{&arg_name, VALUE_STRING}, {&arg_initial, VALUE_INTEGER}, {nullptr, -1}};
    fetch_native_args(args, fetch);

    if (collection_has(&program_output()->sequences, arg_name)) {
        execute_bailout("Redefinition of sequence \"%s\"", arg_name->string);
    }
    sql_value_t record;
    take_record(&record, 2, {arg_name, arg_initial});
    collection_add(&program_output()->sequences, &record);
    value_init_null(result);
}

void handler_dump_plsql(sql_value_t* result, hash_table_t* args) {
    sql_value_t* arg_name;
    sql_value_t* arg_returns;
    sql_value_t* arg_args;
    sql_value_t* arg_locals;
    sql_value_t* arg_body;
    const native_fetch_t fetch[] = {{&arg_name, VALUE_STRING},  {&arg_returns, VALUE_ARRAY}, {&arg_args, VALUE_ARRAY},
                                    {&arg_locals, VALUE_ARRAY}, {&arg_body, VALUE_STRING},   {nullptr, -1}};
    fetch_native_args(args, fetch);

    dump_plsql_check_returns(arg_returns);
    hash_table_t names;
    _hash_init(&names, HASH_CHAINS, nullptr);
    dump_plsql_check_vars(arg_args, &names, false);
    dump_plsql_check_vars(arg_locals, &names, true);
    hash_shutdown(&names);

    if (collection_has(&program_output()->plsql, arg_name)) {
        execute_bailout("Redefinition of PL/SQL function \"%s\"", arg_name->string);
    }
    sql_value_t record;
    take_record(&record, 5, {arg_name, arg_returns, arg_args, arg_locals, arg_body});
    collection_add(&program_output()->plsql, &record);
    value_init_null(result);
}

void handler_dump_query(sql_value_t* result, hash_table_t* args) {
    sql_value_t* arg_name;
    sql_value_t* arg_body;
    const native_fetch_t fetch[] = {{&arg_name, VALUE_STRING}, {&arg_body, VALUE_STRING}, {nullptr, -1}};
    fetch_native_args(args, fetch);

    sql_value_t pieces;
    sql_value_t fields;
    value_init_array(&pieces);
    value_init_array(&fields);
    dump_query_scan(arg_body->string, &pieces, &fields);

    // The name is tested only once the whole body has been scanned.
    if (collection_has(&program_output()->queries, arg_name)) {
        execute_bailout("Redefinition of query \"%s\"", arg_name->string);
    }
    sql_value_t record;
    take_record(&record, 3, {arg_name, &pieces, &fields});
    collection_add(&program_output()->queries, &record);
    value_init_null(result);
}

void handler_prefix_pathname(sql_value_t* result, hash_table_t* args) {
    sql_value_t* arg_prefix;
    sql_value_t* arg_pathname;
    const native_fetch_t fetch[] = {{&arg_prefix, VALUE_STRING}, {&arg_pathname, VALUE_STRING}, {nullptr, -1}};
    fetch_native_args(args, fetch);

    // The pathname was written in a definition file, so "\" separates too.
    char full_name[PATH_NATIVE_BUFFER_SIZE];
    if (path_native_prefix(full_name, sizeof full_name, arg_prefix->string, arg_pathname->string,
                           PATH_SLASH_OR_BACKSLASH) != 0) {
        execute_bailout("Failed to prefix pathname");
    }
    value_init_string_copy(result, full_name);
}

void handler_read_table_initializer(sql_value_t* result, hash_table_t* args) {
    sql_value_t* arg_pathname;
    const native_fetch_t fetch[] = {{&arg_pathname, VALUE_STRING}, {nullptr, -1}};
    fetch_native_args(args, fetch);
    const char* pathname = arg_pathname->string;

    init_file_guard_t guard;
    guard.file = read_table_initializer_open(pathname);
    if (initlex_init(&guard.scanner) != 0) {
        guard.scanner = nullptr;
        execute_bailout("Failed to initialize the init scanner");
    }
    initset_in(guard.file, guard.scanner);

    value_init_null(result);
    table_init_data = result;
    if (initparse(guard.scanner, table_init_data) != 0) {
        execute_bailout("Initializer parsing has failed");
    }
    table_init_data = nullptr;

    init_scanner_t* scanner = guard.scanner;
    guard.scanner = nullptr;
    if (initlex_destroy(scanner) != 0) {
        value_shutdown(result);
        value_init_null(result);
        execute_bailout("Failed to destroy the initializer parser");
    }
    FILE* file = guard.file;
    guard.file = nullptr;
    if (fclose(file) != 0) {
        int saved_errno = errno;
        value_shutdown(result);
        value_init_null(result);
        execute_bailout_errno(saved_errno, "Failed to close initializer file handle for \"%s\": %d(%m)", pathname,
                              saved_errno);
    }
}

// --- fix-up -------------------------------------------------------------------

void fixup_program_output(program_output_t* output) {
    // The order of the phases decides which faulty name is reported first.
    fixup_collection(&output->plsql, fixup_plsql_record, output);
    fixup_collection(&output->queries, fixup_query_record, output);
    fixup_tables(output);
}

void program_declarations_init(program_declarations_t* declarations) {
    for (hash_table_t* table : {&declarations->plsql, &declarations->queries, &declarations->sequences,
                                &declarations->tables, &declarations->types, &declarations->views}) {
        _hash_init(table, HASH_CHAINS, declaration_dtor);
    }
    declarations->table_lines = nullptr;
}

void program_declarations_shutdown(program_declarations_t* declarations) {
    for (hash_table_t* table : {&declarations->plsql, &declarations->queries, &declarations->sequences,
                                &declarations->tables, &declarations->types, &declarations->views}) {
        hash_shutdown(table);
    }
}

const declaration_t* program_declaration(const hash_table_t* table, const char* name) {
    return static_cast<const declaration_t*>(hash_find_string(table, name));
}
