// Building the compiled program from what the grammar reads.
//
// Invariants: every statement in `code` is a call node; `functions` holds the
// natives first, in registration order, then the user functions, no name
// twice; the builder's list room is between 0 and LIST_ROOM_MAX and changes
// only where the items of a list lie, never what the program does.
#include "program.hpp"

#include <algorithm>
#include <iterator>

#include "exception.hpp"
#include "path_info.hpp"
#include "phase_stack.hpp"

namespace {

// Rows hold as many values as the rows before them, and tables often as many
// rows and fields as the table before: a constant list of a table declaration
// starts with room for as many elements as the last list of its kind had, so
// that it seldom has to grow or be packed. The room is capped, so that one
// huge list does not make every later one huge, and every compilation starts
// with the same room.
constexpr size_t LIST_ROOM_MAX = 64;
constexpr size_t LIST_ROOM_START[PROGRAM_LIST_KINDS] = {1, 0, 0};  // by program_list_t

void register_natives(compiled_program_t* program, const native_info_t* natives) {
    for (const native_info_t* native = natives; native->name != nullptr; ++native) {
        func_info_t function{};
        function.is_user = 0;
        function.code_native = native->handler;
        if (_hash_add_string(&program->functions, native->name, &function, sizeof function, nullptr) != 0) {
            fatal_error("Duplicate native function \"%s\"", native->name);
        }
    }
}

}  // namespace

void program_init(compiled_program_t* program, const native_info_t* natives) {
    _hash_init(&program->code, HASH_CHAINS, node_dtor);
    _hash_init(&program->functions, HASH_CHAINS, function_shutdown);
    _hash_init(&program->pathnames, HASH_CHAINS, nullptr);
    _hash_init(&program->table_lines, HASH_CHAINS, nullptr);
    register_natives(program, natives);
}

// Function bodies are trees as deep as the parser allows: they are released
// on the phase stack too.
void compiled_program_shutdown(compiled_program_t* program) {
    phase_stack_call([program] {
        hash_shutdown(&program->code);
        hash_shutdown(&program->functions);
        hash_shutdown(&program->table_lines);
        hash_shutdown(&program->pathnames);
    });
}

void function_shutdown(void* data) {
    auto* function = static_cast<func_info_t*>(data);
    if (!function->is_user) return;
    hash_shutdown(&function->user.args);
    node_shutdown(&function->user.code_user);
}

void program_builder_init(program_builder_t* builder, compiled_program_t* program, program_include_t include,
                          bool keep_table_lines) {
    builder->program = program;
    builder->include = include;
    builder->keep_table_lines = keep_table_lines;
    std::copy(std::begin(LIST_ROOM_START), std::end(LIST_ROOM_START), builder->list_room);
    builder->field_lines.clear();
}

void program_add_statement(program_builder_t* builder, sql_node_t* node) {
    _hash_push_integer(&builder->program->code, node, sizeof *node, nullptr);
}

void program_call(sql_node_t* call, const char* name, sql_node_t* args, node_location_t where) {
    sql_node_t name_node;
    nv_init_string_copy(&name_node, name, where);
    node_init_operator(call, OPERATOR_FCALL, &name_node, args, where);
}

void program_special_fcall(program_builder_t* builder, const char* name, sql_node_t* args, node_location_t where) {
    sql_node_t call;
    program_call(&call, name, args, where);
    program_add_statement(builder, &call);
}

namespace {

const sql_node_t* list_element(const sql_node_t* list, int32_t index) {
    return static_cast<const sql_node_t*>(hash_find_integer(list->hash, index));
}

void add_function_parameters(func_info_t* function, const char* name, const sql_node_t* parameters) {
    for (hash_iterator_t it = parameters->hash->first_in_list; it != nullptr; it = it->next_in_list) {
        const char* parameter = static_cast<const sql_node_t*>(hash_item_data(it))->variable;
        if (_hash_add_string(&function->user.args, parameter, nullptr, 0, nullptr) != 0) {
            compile_bailout("Function %s has duplicate argument %s", name, parameter);
        }
    }
}

}  // namespace

void program_define_function(program_builder_t* builder, sql_node_t* definition) {
    const char* name = list_element(definition, 0)->value.string;
    func_info_t function{};
    function.is_user = 1;
    _hash_init(&function.user.args, HASH_CHAINS, nullptr);
    add_function_parameters(&function, name, list_element(definition, 1));
    node_deep_copy(&function.user.code_user, list_element(definition, 2));
    function.user.pathname = definition->pathname;
    function.user.line = definition->line;

    hash_iterator_t existing = nullptr;
    if (_hash_add_string(&builder->program->functions, name, &function, sizeof function, &existing) != 0) {
        const auto* earlier = static_cast<const func_info_t*>(hash_item_data(existing));
        if (earlier->is_user) {
            compile_bailout("Redefinition of user function \"%s\" already defined in %s:%u", name,
                            earlier->user.pathname, earlier->user.line);
        }
        compile_bailout("Redefinition of native function \"%s\"", name);
    }
    node_shutdown(definition);
}

void program_include_definition(program_builder_t* builder, sql_node_t* path) {
    builder->include(builder, path->value.string);
    node_shutdown(path);
}

void program_initializer_file(sql_node_t* call, sql_node_t* file, node_location_t where) {
    char directory_text[PATH_NATIVE_BUFFER_SIZE];
    if (where.pathname == nullptr || path_native_dir(directory_text, sizeof directory_text, where.pathname) != 0) {
        compile_bailout("Failed to get directory prefix of compiled file");
    }
    sql_node_t directory;
    nv_init_string_copy(&directory, directory_text, where);
    sql_node_t prefix_args;
    node_init_array(&prefix_args, where);
    node_push(&prefix_args, &directory);
    node_push(&prefix_args, file);
    sql_node_t prefix_call;
    program_call(&prefix_call, "prefix_pathname", &prefix_args, where);
    sql_node_t read_args;
    node_init_array(&read_args, where);
    node_push(&read_args, &prefix_call);
    program_call(call, "read_table_initializer", &read_args, where);
}

// A list of a table declaration is a call of array() (the field list is
// always a constant array). While every element of the list is a constant,
// the list is kept as the constant array that the call would return:
// array() is a built-in, which no definition may replace and which only
// gathers copies of its arguments. At the first element that is not a
// constant, the list becomes the call's argument list.

namespace {

// The constants gathered so far, as the nodes of an argument list.
void constants_to_arguments(sql_node_t* list, node_location_t where) {
    sql_node_t arguments;
    node_init_array(&arguments, where);
    for (hash_iterator_t it = list->value.hash->first_in_list; it != nullptr; it = it->next_in_list) {
        auto* value = static_cast<sql_value_t*>(hash_item_data(it));
        sql_node_t element;
        nv_init_null(&element, where);
        element.value = *value;
        value_init_null(value);
        node_push(&arguments, &element);
    }
    node_shutdown(list);
    *list = arguments;
}

}  // namespace

void program_array_start(program_builder_t* builder, sql_node_t* list, program_list_t kind, sql_node_t* element,
                         node_location_t where) {
    if (element->type == NODE_VALUE) {
        nv_init_list(list, builder->list_room[kind], where);
    } else {
        node_init_array(list, where);
    }
    program_array_add(list, element, where);
}

void program_array_add(sql_node_t* list, sql_node_t* element, node_location_t where) {
    if (list->type == NODE_VALUE && element->type != NODE_VALUE) constants_to_arguments(list, where);
    if (list->type == NODE_VALUE) {
        nv_push(list, element);
    } else {
        node_push(list, element);
    }
}

void program_array_end(program_builder_t* builder, sql_node_t* array, program_list_t kind, sql_node_t* list,
                       node_location_t where) {
    if (list->type == NODE_VALUE) {
        builder->list_room[kind] = std::min(hash_count(list->value.hash), LIST_ROOM_MAX);
        *array = *list;
    } else {
        program_call(array, "array", list, where);
    }
}

void program_table_field(program_builder_t* builder, unsigned line) {
    if (builder->keep_table_lines) builder->field_lines.push_back(line);
}

void program_table_declared(program_builder_t* builder, const char* name, unsigned first_line) {
    if (!builder->keep_table_lines) return;
    std::vector<unsigned>& field_lines = builder->field_lines;
    std::vector<unsigned> lines{first_line, static_cast<unsigned>(field_lines.size())};
    lines.insert(lines.end(), field_lines.begin(), field_lines.end());
    field_lines.clear();
    _hash_add_string(&builder->program->table_lines, name, lines.data(), lines.size() * sizeof(unsigned), nullptr);
}
