#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "compile.hpp"
#include "memory_pool.hpp"
#include "sql_node.hpp"
#include "sql_value.hpp"

namespace {

const char PATHNAME[] = "C:\\defs\\schema.def";

std::string describe_value(const sql_value_t& value) {
    switch (value.type) {
    case VALUE_NULL: return "null";
    case VALUE_INTEGER: return std::to_string(value.integer);
    case VALUE_STRING: return "\"" + std::string(value.string) + "\"";
    case VALUE_ARRAY: {
        std::string text = "{";
        for (hash_iterator_t it = value.hash->first_in_list; it != nullptr; it = it->next_in_list) {
            if (it != value.hash->first_in_list) text += ", ";
            text += describe_value(*static_cast<const sql_value_t*>(hash_item_data(it)));
        }
        return text + "}";
    }
    }
    return "?";
}

// The shape of a tree with the line of every node; "!" marks a node whose
// pathname is not the shared file name.
std::string describe(const sql_node_t* node) {
    if (node == nullptr) return "-";
    std::string text;
    switch (node->type) {
    case NODE_OPERATOR:
        text = node->op.opcode == OPERATOR_CONCAT ? "concat(" : "call(";
        text += describe(node->op.op1) + ", " + describe(node->op.op2) + ")";
        break;
    case NODE_VALUE: text = describe_value(node->value); break;
    case NODE_VARIABLE: text = std::string("var ") + node->variable; break;
    case NODE_ARRAY:
        text = "[";
        for (hash_iterator_t it = node->hash->first_in_list; it != nullptr; it = it->next_in_list) {
            if (it != node->hash->first_in_list) text += ", ";
            text += std::to_string(hash_item_key_integer(it)) + "=>";
            text += describe(static_cast<const sql_node_t*>(hash_item_data(it)));
        }
        text += "]";
        break;
    }
    text += "@" + std::to_string(node->line);
    if (node->pathname != PATHNAME) text += "!";
    return text;
}

// Nodes are made while a file is being compiled; each test compiles a pretend
// file and must leave the pool as it found it.
class SqlNode : public ::testing::Test {
protected:
    void SetUp() override {
        saved_file_ = compiler_globals.file;
        file_ = {};
        file_.pathname = PATHNAME;
        file_.line = 1;
        compiler_globals.file = &file_;
        start_blocks_ = memory_pool_block_count();
    }
    void TearDown() override {
        compiler_globals.file = saved_file_;
        EXPECT_EQ(memory_pool_block_count(), start_blocks_);
    }
    void at_line(unsigned line) { file_.line = line; }

    compiled_file_t file_;
    compiled_file_t* saved_file_ = nullptr;
    size_t start_blocks_ = 0;
};

TEST_F(SqlNode, InitialisersStampTheCurrentFileAndLine) {
    sql_node_t variable;
    at_line(7);
    node_init_variable_clen(&variable, "$name_and_more", 5);
    sql_node_t text;
    nv_init_string_clen(&text, "abcdef", 2);
    at_line(9);
    sql_node_t concat;
    node_init_operator(&concat, OPERATOR_CONCAT, &variable, &text);
    EXPECT_EQ(describe(&concat), "concat(var $name@7, \"ab\"@7)@9");
    node_shutdown(&concat);
}

// call("dump_table", [concat(var $prefix, "users"), 7, {"a", 2, null}, concat(var $x, -)])
void build_call(sql_node_t& call, compiled_file_t& file) {
    file.line = 3;
    sql_node_t name;
    nv_init_string_copy(&name, "dump_table");
    sql_node_t args;
    node_init_array(&args);

    file.line = 4;
    sql_node_t left, right, element;
    node_init_variable_clen(&left, "$prefix", 7);
    nv_init_string_copy(&right, "users");
    node_init_operator(&element, OPERATOR_CONCAT, &left, &right);
    node_push(&args, &element);

    file.line = 5;
    nv_init_integer(&element, 7);
    node_push(&args, &element);

    file.line = 6;
    nv_init_array(&element);
    sql_node_t item;
    nv_init_string_copy(&item, "a");
    nv_push(&element, &item);
    nv_init_integer(&item, 2);
    nv_push(&element, &item);
    nv_init_null(&item);
    nv_push(&element, &item);
    node_push(&args, &element);

    file.line = 8;
    node_init_variable_clen(&left, "$x", 2);
    node_init_operator(&element, OPERATOR_CONCAT, &left, nullptr);
    node_push(&args, &element);

    file.line = 9;
    node_init_operator(&call, OPERATOR_FCALL, &name, &args);
}

TEST_F(SqlNode, DeepCopyKeepsShapeAndLocationsAfterTheSourceIsReleased) {
    sql_node_t source;
    build_call(source, file_);
    const std::string shape = describe(&source);
    ASSERT_EQ(shape,
              "call(\"dump_table\"@3, [0=>concat(var $prefix@4, \"users\"@4)@4, 1=>7@5, "
              "2=>{\"a\", 2, null}@6, 3=>concat(var $x@8, -)@8]@3)@9");
    const size_t source_blocks = memory_pool_block_count() - start_blocks_;

    at_line(100);  // copying does not restamp
    sql_node_t copy;
    node_deep_copy(&copy, &source);
    EXPECT_EQ(memory_pool_block_count() - start_blocks_, 2 * source_blocks);
    EXPECT_NE(copy.op.op2->hash, source.op.op2->hash);
    node_shutdown(&source);
    EXPECT_EQ(describe(&copy), shape);
    node_shutdown(&copy);
}

TEST_F(SqlNode, OperatorWithOneOperandReleasesOnlyThatOne) {
    sql_node_t operand;
    nv_init_string_copy(&operand, "only");
    sql_node_t node;
    node_init_operator(&node, OPERATOR_CONCAT, nullptr, &operand);
    EXPECT_EQ(node.op.op1, nullptr);
    node_shutdown(&node);

    sql_node_t nothing;
    node_init_operator(&nothing, OPERATOR_CONCAT, nullptr, nullptr);
    node_shutdown(&nothing);
}

TEST_F(SqlNode, PushesMoveNodesButNvPushStoresAnIndependentCopy) {
    sql_node_t list;
    node_init_array(&list);
    sql_node_t variable;
    node_init_variable_clen(&variable, "$v", 2);
    char* const name = variable.variable;
    node_push(&list, &variable);
    EXPECT_EQ(static_cast<sql_node_t*>(hash_find_integer(list.hash, 0))->variable, name);
    node_shutdown(&list);

    sql_node_t constant;
    nv_init_array(&constant);
    sql_node_t text;
    nv_init_string_copy(&text, "text");
    const char* const original = text.value.string;
    size_t before = memory_pool_block_count();
    nv_push(&constant, &text);
    // One new item; the copied text replaces the released original.
    EXPECT_EQ(memory_pool_block_count(), before + 1);
    const sql_value_t* stored = value_slot(&constant.value, 0);
    EXPECT_STREQ(stored->string, "text");
    EXPECT_NE(stored->string, original);

    sql_node_t inner;
    nv_init_array(&inner);
    nv_init_integer(&text, 5);
    nv_push(&inner, &text);
    before = memory_pool_block_count();
    nv_push(&constant, &inner);
    EXPECT_EQ(memory_pool_block_count(), before + 1);
    EXPECT_EQ(describe_value(constant.value), "{\"text\", {5}}");
    node_shutdown(&constant);
}

TEST_F(SqlNode, MillionDeepConcatenationIsCopiedAndReleasedWithoutRecursion) {
    constexpr int DEPTH = 1000000;
    sql_node_t chain;
    nv_init_string_copy(&chain, "x");
    for (int i = 0; i < DEPTH; ++i) {
        at_line(static_cast<unsigned>(i + 1));
        sql_node_t right;
        nv_init_integer(&right, i);
        sql_node_t next;
        node_init_operator(&next, OPERATOR_CONCAT, &chain, &right);
        chain = next;
    }
    EXPECT_EQ(memory_pool_block_count() - start_blocks_, 1u + 2u * DEPTH);

    // As the argument of a statement, the way the grammar stores it.
    sql_node_t name;
    nv_init_string_copy(&name, "dump_view");
    sql_node_t args;
    node_init_array(&args);
    node_push(&args, &chain);
    sql_node_t call;
    node_init_operator(&call, OPERATOR_FCALL, &name, &args);
    const size_t built = memory_pool_block_count() - start_blocks_;

    sql_node_t copy;
    node_deep_copy(&copy, &call);
    EXPECT_EQ(memory_pool_block_count() - start_blocks_, 2 * built);

    node_shutdown(&call);
    EXPECT_EQ(memory_pool_block_count() - start_blocks_, built);

    const auto* node = static_cast<const sql_node_t*>(hash_find_integer(copy.op.op2->hash, 0));
    ASSERT_NE(node, nullptr);
    int depth = 0;
    bool intact = true;
    for (; node->type == NODE_OPERATOR; node = node->op.op1, ++depth) {
        const int level = DEPTH - 1 - depth;
        intact = intact && node->op.opcode == OPERATOR_CONCAT && node->line == static_cast<unsigned>(level + 1) &&
                 node->pathname == PATHNAME && node->op.op2->value.integer == level;
    }
    EXPECT_EQ(depth, DEPTH);
    EXPECT_TRUE(intact);
    EXPECT_EQ(describe(node), "\"x\"@1");

    node_shutdown(&copy);
}

TEST(SqlNodeDeathTest, BrokenInvariantsEndTheProcess) {
    sql_node_t number;
    nv_init_integer(&number, 1);
    sql_node_t other;
    nv_init_integer(&other, 2);
    EXPECT_DEATH(node_push(&number, &other), "array->type == NODE_ARRAY");
    EXPECT_DEATH(nv_push(&number, &other), "array->value.type == VALUE_ARRAY");

    sql_node_t list;
    node_init_array(&list);
    EXPECT_DEATH(nv_push(&list, &other), "array->type == NODE_VALUE");

    sql_node_t constant;
    nv_init_array(&constant);
    EXPECT_DEATH(nv_push(&constant, &list), "node->type == NODE_VALUE");
    node_shutdown(&constant);
    node_shutdown(&list);

    sql_node_t bad;
    bad.type = static_cast<node_type_t>(9);
    sql_node_t dest;
    EXPECT_DEATH(node_shutdown(&bad), "Attempt to shutdown node at .* of unknown type 9");
    EXPECT_DEATH(node_deep_copy(&dest, &bad), "Attempt to copy node at .* of unknown type 9");
}

}  // namespace
