// Concatenation is left-associative, so a long chain "a . b . c ..." is a
// node chain as deep as the chain along op1. Copying and releasing walk that
// spine in a loop; they recurse only into op2, whose depth the parser's
// stack limit bounds.
#include "sql_node.hpp"

#include "exception.hpp"
#include "memory_pool.hpp"
#include "utils.hpp"

namespace {

void stamp(sql_node_t* node, node_location_t where) {
    node->pathname = where.pathname;
    node->line = where.line;
}

sql_node_t* new_node_copy_of(const sql_node_t* node) {
    auto* block = static_cast<sql_node_t*>(memory_pool_alloc(sizeof(sql_node_t)));
    *block = *node;
    return block;
}

hash_table_t* new_node_table(size_t item_bytes) { return hash_create(HASH_CHAINS, node_dtor, item_bytes); }

// A list or constant array is complete once it is pushed or made an operand;
// from then on its items stay as they are, so they are packed into one block
// with the table, just as a deep copy lays them out.
void pack_finished(sql_node_t* node) {
    if (node->type == NODE_ARRAY) {
        node->hash = hash_pack(node->hash);
    } else if (node->type == NODE_VALUE && node->value.type == VALUE_ARRAY) {
        node->value.hash = hash_pack(node->value.hash);
    }
}

void copy_node_table(hash_table_t* dest, const hash_table_t* src) {
    for (hash_iterator_t it = src->first_in_list; it != nullptr; it = it->next_in_list) {
        sql_node_t element;
        node_deep_copy(&element, static_cast<const sql_node_t*>(hash_item_data(it)));
        if (it->key_is_integer) {
            _hash_add_integer(dest, hash_item_key_integer(it), &element, sizeof element, nullptr);
        } else {
            _hash_add_string(dest, hash_item_key(it), &element, sizeof element, nullptr);
        }
    }
}

// Copies everything of a node but its operands.
void copy_node_payload(sql_node_t* dest, const sql_node_t* src) {
    dest->type = src->type;
    dest->pathname = src->pathname;
    dest->line = src->line;
    switch (src->type) {
    case NODE_OPERATOR:
        dest->op.opcode = src->op.opcode;
        dest->op.op1 = nullptr;
        dest->op.op2 = nullptr;
        return;
    case NODE_VALUE: value_deep_copy(&dest->value, &src->value); return;
    case NODE_VARIABLE: dest->variable = copy_string(src->variable); return;
    case NODE_ARRAY:
        dest->hash = new_node_table(hash_item_bytes(src->hash));
        copy_node_table(dest->hash, src->hash);
        return;
    }
    fatal_error("Attempt to copy node at %p of unknown type %d", static_cast<const void*>(src),
                static_cast<int>(src->type));
}

// Releases everything of a node but its op1 operand; returns that operand.
sql_node_t* release_node_payload(sql_node_t* node) {
    switch (node->type) {
    case NODE_OPERATOR:
        if (node->op.op2 != nullptr) {
            node_shutdown(node->op.op2);
            memory_pool_free(node->op.op2);
        }
        return node->op.op1;
    case NODE_VALUE: value_shutdown(&node->value); return nullptr;
    case NODE_VARIABLE: memory_pool_free(node->variable); return nullptr;
    case NODE_ARRAY:
        hash_shutdown(node->hash);
        memory_pool_free(node->hash);
        return nullptr;
    }
    fatal_error("Attempt to shutdown node at %p of unknown type %d", static_cast<void*>(node),
                static_cast<int>(node->type));
}

}  // namespace

void node_init_operator(sql_node_t* node, sql_opcode_t opcode, sql_node_t* op1, sql_node_t* op2,
                        node_location_t where) {
    node->type = NODE_OPERATOR;
    node->op.opcode = opcode;
    if (op2 != nullptr) pack_finished(op2);  // a call's argument list
    node->op.op1 = op1 != nullptr ? new_node_copy_of(op1) : nullptr;
    node->op.op2 = op2 != nullptr ? new_node_copy_of(op2) : nullptr;
    stamp(node, where);
}

void node_init_variable_clen(sql_node_t* node, const char* name, size_t len, node_location_t where) {
    node->type = NODE_VARIABLE;
    node->variable = copy_strlen(name, len);
    stamp(node, where);
}

void node_init_array(sql_node_t* node, node_location_t where) {
    node->type = NODE_ARRAY;
    node->hash = new_node_table(0);
    stamp(node, where);
}

void node_init_list(sql_node_t* node, size_t count, node_location_t where) {
    node->type = NODE_ARRAY;
    node->hash = new_node_table(hash_list_bytes(count, sizeof(sql_node_t)));
    stamp(node, where);
}

void node_push(sql_node_t* array, sql_node_t* node) {
    if (array->type != NODE_ARRAY) fatal_error("Assertion failed: array->type == NODE_ARRAY");
    pack_finished(node);
    _hash_push_integer(array->hash, node, sizeof *node, nullptr);
}

void nv_init_null(sql_node_t* node, node_location_t where) {
    node->type = NODE_VALUE;
    value_init_null(&node->value);
    stamp(node, where);
}

void nv_init_integer(sql_node_t* node, int32_t integer, node_location_t where) {
    node->type = NODE_VALUE;
    value_init_integer(&node->value, integer);
    stamp(node, where);
}

void nv_init_string_clen(sql_node_t* node, const char* string, size_t len, node_location_t where) {
    node->type = NODE_VALUE;
    value_init_string_clen(&node->value, string, len);
    stamp(node, where);
}

void nv_init_string_copy(sql_node_t* node, const char* string, node_location_t where) {
    node->type = NODE_VALUE;
    value_init_string_copy(&node->value, string);
    stamp(node, where);
}

void nv_init_array(sql_node_t* node, node_location_t where) {
    node->type = NODE_VALUE;
    value_init_array(&node->value);
    stamp(node, where);
}

void nv_init_list(sql_node_t* node, size_t count, node_location_t where) {
    node->type = NODE_VALUE;
    value_init_list(&node->value, count);
    stamp(node, where);
}

void nv_push(sql_node_t* array, sql_node_t* node) {
    if (array->type != NODE_VALUE) fatal_error("Assertion failed: array->type == NODE_VALUE");
    if (array->value.type != VALUE_ARRAY) fatal_error("Assertion failed: array->value.type == VALUE_ARRAY");
    if (node->type != NODE_VALUE) fatal_error("Assertion failed: node->type == NODE_VALUE");
    // The node gives its value up, so the array takes that value itself: a
    // copy followed by releasing the original would leave the same.
    pack_finished(node);
    value_push(&array->value, &node->value);
    value_init_null(&node->value);
}

void node_shutdown(sql_node_t* node) {
    // The node record itself belongs to the caller; the op1 blocks below it
    // belong to this chain and are freed as the loop walks down.
    sql_node_t* next = release_node_payload(node);
    while (next != nullptr) {
        sql_node_t* current = next;
        next = release_node_payload(current);
        memory_pool_free(current);
    }
}

void node_dtor(void* node) { node_shutdown(static_cast<sql_node_t*>(node)); }

void node_deep_copy(sql_node_t* dest, const sql_node_t* src) {
    copy_node_payload(dest, src);
    while (src->type == NODE_OPERATOR) {
        if (src->op.op2 != nullptr) {
            dest->op.op2 = static_cast<sql_node_t*>(memory_pool_alloc(sizeof(sql_node_t)));
            node_deep_copy(dest->op.op2, src->op.op2);
        }
        if (src->op.op1 == nullptr) break;
        dest->op.op1 = static_cast<sql_node_t*>(memory_pool_alloc(sizeof(sql_node_t)));
        copy_node_payload(dest->op.op1, src->op.op1);
        dest = dest->op.op1;
        src = src->op.op1;
    }
}
