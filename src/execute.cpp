// The run phase: evaluates each top-level statement (a call of a schema
// built-in) in order, then runs the fix-up over the collected output.
#include "execute.hpp"

#include <cerrno>
#include <cstdarg>
#include <vector>

#include "dyn_string.hpp"
#include "exception.hpp"
#include "memory_pool.hpp"
#include "phase_stack.hpp"
#include "utils.hpp"

executor_globals_t executor_globals = {nullptr, nullptr, nullptr, nullptr};

namespace {

unsigned evaluation_depth = 0;

// How an evaluation reads the constants of its tree. A function body runs
// again and again, so its constants are copied; a top-level statement runs
// once and is released right after, so the constants of its own tree (not of
// the bodies it calls) are moved out instead, leaving null behind.
enum constant_use_t : bool { CONSTANT_COPY = false, CONSTANT_TAKE = true };

void evaluate_expression(sql_value_t* result, const sql_node_t* expression, constant_use_t use);

// A run-time error is located at the top-level statement being run, even
// inside the body of a function that the statement calls.
exception_location_t execute_location() {
    const sql_node_t* current = executor_globals.current;
    if (current == nullptr) return {nullptr, 0};
    return {current->pathname != nullptr ? current->pathname : "", current->line};
}

// Counts nested evaluations. The language has no conditional, so a function
// that calls itself never ends; the limit turns that into a bail-out long
// before the stack runs out.
struct depth_guard_t {
    depth_guard_t() { ++evaluation_depth; }
    ~depth_guard_t() { --evaluation_depth; }
    depth_guard_t(const depth_guard_t&) = delete;
    depth_guard_t& operator=(const depth_guard_t&) = delete;
};

void check_call_depth(const char* name) {
    if (evaluation_depth > EXECUTE_MAX_DEPTH) {
        execute_bailout("Function calls nested deeper than %u levels when calling %s", EXECUTE_MAX_DEPTH, name);
    }
}

void evaluate_variable(sql_value_t* result, const sql_node_t* expression) {
    const auto* value = static_cast<const sql_value_t*>(
        hash_find_string(&executor_globals.symbol_table->symbols, expression->variable));
    if (value == nullptr) execute_bailout("Non-existent variable \"%s\"", expression->variable);
    value_deep_copy(result, value);
}

// Appends the text of one operand; `left` selects the message for the
// leftmost operand of the chain.
void append_operand(dyn_string_t* text, const sql_node_t* operand, bool left, constant_use_t use) {
    sql_value_t value;
    evaluate_expression(&value, operand, use);
    if (value.type != VALUE_STRING) {
        if (left) execute_bailout("Left side of concatenation operator does not evaluate to a string");
        execute_bailout("Right side of concatenation operator does not evaluate to a string");
    }
    dyn_string_append_string(text, value.string);
    value_shutdown(&value);
}

// A chain "a . b . c" is nested along op1. The spine is walked in a loop and
// the operands evaluated left to right, exactly in the order a recursive
// evaluation would take, while the text grows in one buffer.
void evaluate_concat(sql_value_t* result, const sql_node_t* expression, constant_use_t use) {
    std::vector<const sql_node_t*> spine;
    const sql_node_t* leftmost = expression;
    while (leftmost->type == NODE_OPERATOR && leftmost->op.opcode == OPERATOR_CONCAT) {
        spine.push_back(leftmost);
        leftmost = leftmost->op.op1;
    }
    dyn_string_t text;
    dyn_string_init(&text);
    append_operand(&text, leftmost, true, use);
    for (auto it = spine.rbegin(); it != spine.rend(); ++it) append_operand(&text, (*it)->op.op2, false, use);
    value_init_string_attach(result, copy_strlen(dyn_string_get(&text), dyn_string_length(&text)));
    dyn_string_shutdown(&text);
}

void call_user_function(sql_value_t* result, const char* name, const func_info_t* function,
                        const hash_table_t* arguments, constant_use_t use) {
    symbol_table_t* scope = symbol_table_create();
    const size_t expected = hash_count(&function->user.args);
    if (expected != hash_count(arguments)) {
        execute_bailout("Bad number of arguments when calling %s, expected %zu, got %zu", name, expected,
                        hash_count(arguments));
    }
    hash_iterator_t parameter = function->user.args.first_in_list;
    for (hash_iterator_t argument = arguments->first_in_list; argument != nullptr;
         argument = argument->next_in_list, parameter = parameter->next_in_list) {
        sql_value_t value;
        evaluate_expression(&value, static_cast<const sql_node_t*>(hash_item_data(argument)), use);
        _hash_add_string(&scope->symbols, hash_item_key(parameter), &value, sizeof value, nullptr);
    }
    symbol_table_push(scope);
    evaluate_expression(result, &function->user.code_user, CONSTANT_COPY);
    symbol_table_pop();
}

void call_native_function(sql_value_t* result, const func_info_t* function, const hash_table_t* arguments,
                          constant_use_t use) {
    hash_table_t values;
    _hash_init(&values, HASH_CHAINS, value_dtor);
    for (hash_iterator_t argument = arguments->first_in_list; argument != nullptr; argument = argument->next_in_list) {
        sql_value_t value;
        evaluate_expression(&value, static_cast<const sql_node_t*>(hash_item_data(argument)), use);
        _hash_push_integer(&values, &value, sizeof value, nullptr);
    }
    function->code_native(result, &values);
    hash_shutdown(&values);
}

void evaluate_call(sql_value_t* result, const sql_node_t* expression, constant_use_t use) {
    const char* name = expression->op.op1->value.string;
    const auto* function = static_cast<const func_info_t*>(hash_find_string(executor_globals.functions, name));
    if (function == nullptr) execute_bailout("Unknown function %s", name);
    check_call_depth(name);
    const hash_table_t* arguments = expression->op.op2->hash;
    if (function->is_user) {
        call_user_function(result, name, function, arguments, use);
    } else {
        call_native_function(result, function, arguments, use);
    }
}

// Moves the constant out of a node of a statement tree that is being run.
void take_constant(sql_value_t* result, const sql_node_t* expression) {
    auto* node = const_cast<sql_node_t*>(expression);
    *result = node->value;
    value_init_null(&node->value);
}

void evaluate_expression(sql_value_t* result, const sql_node_t* expression, constant_use_t use) {
    const depth_guard_t depth;
    switch (expression->type) {
    case NODE_VALUE:
        if (use == CONSTANT_TAKE) {
            take_constant(result, expression);
        } else {
            value_deep_copy(result, &expression->value);
        }
        return;
    case NODE_VARIABLE: evaluate_variable(result, expression); return;
    case NODE_ARRAY: fatal_error("Attempt to evaluate node at %p of array type", static_cast<const void*>(expression));
    case NODE_OPERATOR:
        switch (expression->op.opcode) {
        case OPERATOR_CONCAT: evaluate_concat(result, expression, use); return;
        case OPERATOR_FCALL: evaluate_call(result, expression, use); return;
        }
        fatal_error("Attempt to execute SQL node at %p with unknown opcode %d", static_cast<const void*>(expression),
                    static_cast<int>(expression->op.opcode));
    }
    fatal_error("Attempt to evaluate node at %p of unknown type", static_cast<const void*>(expression));
}

void init_output(program_output_t* output) {
    value_init_array(&output->plsql);
    value_init_array(&output->queries);
    value_init_array(&output->sequences);
    value_init_array(&output->tables);
    value_init_array(&output->types);
    value_init_array(&output->views);
}

// A top-level statement runs exactly once, so its tree is released as soon as
// it has run: the program and the output built from it are never both held
// whole. The statement record itself stays, a null constant that still
// carries its file and line for the messages of the fix-up.
void release_statement(sql_node_t* statement) {
    node_shutdown(statement);
    statement->type = NODE_VALUE;
    value_init_null(&statement->value);
}

void run_statements(compiled_program_t* program) {
    for (hash_iterator_t it = program->code.first_in_list; it != nullptr; it = it->next_in_list) {
        executor_globals.current = static_cast<sql_node_t*>(hash_item_data(it));
        sql_value_t result;
        evaluate_expression(&result, executor_globals.current, CONSTANT_TAKE);
        value_shutdown(&result);
        release_statement(executor_globals.current);
    }
}

}  // namespace

void execute_bailout(const char* format, ...) {
    const int saved_errno = errno;
    va_list args;
    va_start(args, format);
    exception_bailout(execute_location(), saved_errno, format, args);
}

void execute_bailout_errno(int saved_errno, const char* format, ...) {
    va_list args;
    va_start(args, format);
    exception_bailout(execute_location(), saved_errno, format, args);
}

void execute_bailout_about(diagnostic_subject_t kind, const char* subject, const char* format, ...) {
    const int saved_errno = errno;
    exception_location_t location = execute_location();
    location.subject_kind = kind;
    location.subject = subject;
    va_list args;
    va_start(args, format);
    exception_bailout(location, saved_errno, format, args);
}

namespace {

int execute_on_this_stack(program_output_t* output, compiled_program_t* program) {
    try {
        init_output(output);
        executor_globals = {nullptr, &program->functions, nullptr, output};
        if (builtin_declarations != nullptr) builtin_declarations->table_lines = &program->table_lines;
        evaluation_depth = 0;
        symbol_table_push(symbol_table_create());
        run_statements(program);
        symbol_table_pop();
        fixup_program_output(output);
        executor_globals = {nullptr, nullptr, nullptr, nullptr};
        return 0;
    } catch (const bailout_exception&) {
        executor_globals = {nullptr, nullptr, nullptr, nullptr};
        evaluation_depth = 0;
        return -1;
    }
}

}  // namespace

// Evaluation recurses once per nested call: it runs on the phase stack, whose
// size does not depend on the process's stack limit.
int execute_program(program_output_t* output, compiled_program_t* program) {
    int status = -1;
    try {
        phase_stack_call([&] { status = execute_on_this_stack(output, program); });
    } catch (const bailout_exception&) {
        // no stack for the phase: the fatal error has said so
    }
    return status;
}

void program_output_shutdown(program_output_t* output) {
    value_shutdown(&output->plsql);
    value_shutdown(&output->queries);
    value_shutdown(&output->sequences);
    value_shutdown(&output->tables);
    value_shutdown(&output->types);
    value_shutdown(&output->views);
}

symbol_table_t* symbol_table_create() {
    auto* table = static_cast<symbol_table_t*>(memory_pool_alloc(sizeof(symbol_table_t)));
    _hash_init(&table->symbols, HASH_CHAINS, value_dtor);
    table->prev = nullptr;
    return table;
}

void symbol_table_push(symbol_table_t* table) {
    table->prev = executor_globals.symbol_table;
    executor_globals.symbol_table = table;
}

void symbol_table_pop() {
    symbol_table_t* table = executor_globals.symbol_table;
    executor_globals.symbol_table = table->prev;
    hash_shutdown(&table->symbols);
    memory_pool_free(table);
}
