// Building the schema model from the records of a run.
//
// The records have the layouts the built-ins give them after the fix-up
// (a table: name, volatile, fields, rows; a field: name, SQL type, nullable,
// optimize, links; ...). Nothing else in the program decodes them for a
// consumer: the PHP writer prints them as they stand, every other reader
// takes the model.
#include "schema_model.hpp"

#include <cstring>
#include <utility>

#include "compile.hpp"
#include "exception.hpp"
#include "execute.hpp"
#include "input_file.hpp"
#include "memory_pool.hpp"

namespace {

const sql_value_t* slot(const sql_value_t* record, int32_t index) { return value_slot(record, index); }

std::string text_of(const sql_value_t* value) { return value->string != nullptr ? value->string : ""; }

template <typename Visit>
void for_each_item(const sql_value_t* array, Visit visit) {
    for (hash_iterator_t item = array->hash->first_in_list; item != nullptr; item = item->next_in_list) {
        visit(static_cast<const sql_value_t*>(hash_item_data(item)));
    }
}

// The declared type names of one object, handed out in the order the
// fix-up resolved them.
class type_names_t {
public:
    explicit type_names_t(const declaration_t* declaration)
        : next_(declaration->type_names), left_(declaration->type_count) {}

    std::string next(const std::string& fallback) {
        if (left_ == 0) return fallback;
        std::string name = next_;
        next_ += name.size() + 1;
        --left_;
        return name;
    }

private:
    const char* next_;
    unsigned left_;
};

// The declaration kept for `name`; the run keeps one for every stored object.
const declaration_t& declaration_of(const hash_table_t* declarations, const char* name) {
    const declaration_t* declaration = program_declaration(declarations, name);
    if (declaration == nullptr) fatal_error("No declaration kept for \"%s\"", name);
    return *declaration;
}

schema_location_t location_of(const declaration_t& declaration) {
    return {declaration.pathname != nullptr ? declaration.pathname : "", declaration.line};
}

schema_field_t field_of(const sql_value_t* record, type_names_t* type_names, unsigned line) {
    schema_field_t field;
    field.name = text_of(slot(record, 0));
    field.sql = text_of(slot(record, 1));
    field.type_name = type_names->next(field.sql);
    field.nullable = slot(record, 2)->integer != 0;
    field.index = static_cast<optimize_type_t>(slot(record, 3)->integer);
    for_each_item(slot(record, 4), [&](const sql_value_t* link) {
        field.links.push_back({text_of(slot(link, 0)), static_cast<dir_type_t>(slot(link, 1)->integer)});
    });
    field.line = line;
    return field;
}

schema_table_t table_of(const sql_value_t* record, const hash_table_t* declarations) {
    schema_table_t table;
    table.name = text_of(slot(record, 0));
    const declaration_t& declaration = declaration_of(declarations, table.name.c_str());
    table.location = location_of(declaration);
    table.is_volatile = slot(record, 1)->integer != 0;
    type_names_t type_names(&declaration);
    // The grammar's lines, when they describe these very fields.
    const unsigned* lines = declaration.table_lines;
    if (lines != nullptr && lines[TABLE_LINES_COUNT] != hash_count(slot(record, 2)->hash)) lines = nullptr;
    table.first_line = lines != nullptr ? lines[TABLE_LINES_FIRST] : declaration.line;
    table.fields.reserve(hash_count(slot(record, 2)->hash));
    table.rows.reserve(hash_count(slot(record, 3)->hash));
    for_each_item(slot(record, 2), [&](const sql_value_t* field) {
        const size_t position = table.fields.size();
        table.fields.push_back(
            field_of(field, &type_names, lines != nullptr ? lines[TABLE_LINES_FIELDS + position] : declaration.line));
        if (table.fields.back().index == OPTIMIZE_PRIMARY) table.primary = position;
    });
    for_each_item(slot(record, 3), [&](const sql_value_t* row) {
        schema_row_t cells;
        cells.reserve(hash_count(row->hash));
        for_each_item(row, [&](const sql_value_t* cell) {
            if (cell->type == VALUE_STRING) {
                cells.emplace_back(std::string(cell->string));
            } else {
                cells.emplace_back(std::nullopt);
            }
        });
        table.rows.push_back(std::move(cells));
    });
    return table;
}

schema_query_t query_of(const sql_value_t* record, const hash_table_t* declarations) {
    schema_query_t query;
    query.name = text_of(slot(record, 0));
    const declaration_t& declaration = declaration_of(declarations, query.name.c_str());
    query.location = location_of(declaration);
    for_each_item(slot(record, 1), [&](const sql_value_t* record_piece) {
        schema_piece_t piece;
        piece.kind = static_cast<qp_type_t>(slot(record_piece, 0)->integer);
        const sql_value_t* value = slot(record_piece, 1);
        if (piece.kind == QP_TEXT) {
            piece.text = text_of(value);
        } else {
            piece.number = value->integer;
        }
        query.pieces.push_back(std::move(piece));
    });
    type_names_t type_names(&declaration);
    for_each_item(slot(record, 2), [&](const sql_value_t* sql) {
        schema_typed_t field{"", text_of(sql)};
        field.type_name = type_names.next(field.sql);
        query.fields.push_back(std::move(field));
    });
    return query;
}

std::vector<schema_variable_t> variables_of(const sql_value_t* records, type_names_t* type_names) {
    std::vector<schema_variable_t> variables;
    for_each_item(records, [&](const sql_value_t* record) {
        schema_variable_t variable{text_of(slot(record, 0)), "", text_of(slot(record, 1))};
        variable.type_name = type_names->next(variable.sql);
        variables.push_back(std::move(variable));
    });
    return variables;
}

schema_plsql_t plsql_of(const sql_value_t* record, const hash_table_t* declarations) {
    schema_plsql_t function;
    function.name = text_of(slot(record, 0));
    const declaration_t& declaration = declaration_of(declarations, function.name.c_str());
    function.location = location_of(declaration);
    type_names_t type_names(&declaration);
    const sql_value_t* returns = slot(record, 1);
    function.returns.sql = text_of(slot(returns, 0));
    function.returns.type_name = type_names.next(function.returns.sql);
    function.returns_set = slot(returns, 1)->integer != 0;
    function.args = variables_of(slot(record, 2), &type_names);
    function.locals = variables_of(slot(record, 3), &type_names);
    function.body = text_of(slot(record, 4));
    return function;
}

// Name, second slot and location: the layout of types, views and sequences.
template <typename Object, typename Value>
void simple_objects(std::vector<Object>* objects, const sql_value_t* collection, const hash_table_t* declarations,
                    Value value_of) {
    for_each_item(collection, [&](const sql_value_t* record) {
        Object object;
        object.name = text_of(slot(record, 0));
        value_of(&object, slot(record, 1));
        object.location = location_of(declaration_of(declarations, object.name.c_str()));
        objects->push_back(std::move(object));
    });
}

}  // namespace

void schema_model_build(schema_t* model, const program_output_t* output, const program_declarations_t* declarations) {
    *model = schema_t{};
    auto sql_text = [](auto* object, const sql_value_t* value) { object->sql = text_of(value); };
    simple_objects(&model->types, &output->types, &declarations->types, sql_text);
    simple_objects(&model->views, &output->views, &declarations->views, sql_text);
    simple_objects(&model->sequences, &output->sequences, &declarations->sequences,
                   [](schema_sequence_t* sequence, const sql_value_t* value) { sequence->start = value->integer; });
    model->tables.reserve(hash_count(output->tables.hash));
    for_each_item(&output->tables,
                  [&](const sql_value_t* record) { model->tables.push_back(table_of(record, &declarations->tables)); });
    for_each_item(&output->queries, [&](const sql_value_t* record) {
        model->queries.push_back(query_of(record, &declarations->queries));
    });
    for_each_item(&output->plsql,
                  [&](const sql_value_t* record) { model->plsql.push_back(plsql_of(record, &declarations->plsql)); });
    model->table_index.reserve(model->tables.size());
    for (size_t i = 0; i < model->tables.size(); ++i) model->table_index.emplace(model->tables[i].name, i);
}

int schema_model_load(schema_t* model, const char* filename) {
    *model = schema_t{};
    compiled_program_t program;
    int result = compile_program(&program, filename, handlers_builtin);
    if (result == 0) {
        program_output_t output;
        program_declarations_t declarations;
        program_declarations_init(&declarations);
        builtin_declarations = &declarations;
        result = execute_program(&output, &program);
        builtin_declarations = nullptr;
        // The declarations name their files with the compiled program's
        // pathnames, so the program is kept until the model is made.
        if (result == 0) schema_model_build(model, &output, &declarations);
        compiled_program_shutdown(&program);
    }
    memory_pool_free_all();
    input_file_forget_all();
    return result;
}

int schema_model_load(schema_t* model, const char* filename, diagnostic_sink_t sink) {
    const diagnostic_sink_scope_t scope(std::move(sink));
    return schema_model_load(model, filename);
}

const schema_table_t* schema_find_table(const schema_t& model, std::string_view name) {
    const auto found = model.table_index.find(std::string(name));
    return found == model.table_index.end() ? nullptr : &model.tables[found->second];
}
