#include <gtest/gtest.h>

#include <string>

#include "memory_pool.hpp"
#include "sql_node.hpp"
#include "test_values.hpp"

namespace {

const char PATHNAME[] = "C:\\defs\\schema.def";

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
    case NODE_VALUE: text = show(&node->value); break;
    case NODE_VARIABLE: text = std::string("var ") + node->variable; break;
    case NODE_ARRAY:
        text = "{";
        for (hash_iterator_t it = node->hash->first_in_list; it != nullptr; it = it->next_in_list) {
            text += (it == node->hash->first_in_list ? "" : ", ") + std::to_string(hash_item_key_integer(it)) + "=";
            text += describe(static_cast<const sql_node_t*>(hash_item_data(it)));
        }
        text += "}";
        break;
    }
    text += "@" + std::to_string(node->line);
    if (node->pathname != PATHNAME) text += "!";
    return text;
}

// Nodes are made where a pretend file is being read; each test must leave the
// pool as it found it.
class SqlNode : public ::testing::Test {
protected:
    void SetUp() override { start_blocks_ = memory_pool_block_count(); }
    void TearDown() override { EXPECT_EQ(memory_pool_block_count(), start_blocks_); }
    void at_line(unsigned line) { here_.line = line; }
    size_t blocks() const { return memory_pool_block_count() - start_blocks_; }

    node_location_t here_{PATHNAME, 1};
    size_t start_blocks_ = 0;
};

TEST_F(SqlNode, NodesAreStampedWhenMadeAndDeepCopiesKeepShapeAndLocations) {
    at_line(3);
    sql_node_t name;
    nv_init_string_copy(&name, "dump_table", here_);
    sql_node_t args;
    node_init_array(&args, here_);
    at_line(4);
    sql_node_t left, right, element, item;
    node_init_variable_clen(&left, "$prefix_and_more", 7, here_);
    nv_init_string_clen(&right, "users and more", 5, here_);
    node_init_operator(&element, OPERATOR_CONCAT, &left, &right, here_);
    node_push(&args, &element);
    at_line(6);
    nv_init_array(&element, here_);
    nv_init_string_copy(&item, "a", here_);
    nv_push(&element, &item);
    nv_init_integer(&item, 2, here_);
    nv_push(&element, &item);
    nv_init_null(&item, here_);
    nv_push(&element, &item);
    node_push(&args, &element);
    at_line(8);  // operators with a missing operand
    node_init_variable_clen(&left, "$x", 2, here_);
    node_init_operator(&element, OPERATOR_CONCAT, &left, nullptr, here_);
    node_push(&args, &element);
    nv_init_integer(&right, 7, here_);
    node_init_operator(&element, OPERATOR_CONCAT, nullptr, &right, here_);
    node_push(&args, &element);
    node_init_operator(&element, OPERATOR_CONCAT, nullptr, nullptr, here_);
    node_push(&args, &element);
    at_line(9);
    sql_node_t source;
    node_init_operator(&source, OPERATOR_FCALL, &name, &args, here_);

    const std::string shape = describe(&source);
    ASSERT_EQ(shape,
              "call('dump_table'@3, {0=concat(var $prefix@4, 'users'@4)@4, 1=['a', 2, null]@6, "
              "2=concat(var $x@8, -)@8, 3=concat(-, 7@8)@8, 4=concat(-, -)@8}@3)@9");
    const size_t source_blocks = blocks();
    at_line(100);  // copying does not restamp
    sql_node_t copy;
    node_deep_copy(&copy, &source);
    EXPECT_EQ(blocks(), 2 * source_blocks);
    EXPECT_NE(copy.op.op2->hash, source.op.op2->hash);
    node_shutdown(&source);
    EXPECT_EQ(describe(&copy), shape);
    node_shutdown(&copy);
}

TEST_F(SqlNode, MillionDeepConcatenationIsCopiedAndReleasedWithoutRecursion) {
    constexpr int DEPTH = 1000000;
    sql_node_t chain;
    nv_init_string_copy(&chain, "x", here_);
    for (int i = 0; i < DEPTH; ++i) {
        at_line(static_cast<unsigned>(i + 1));
        sql_node_t right;
        nv_init_integer(&right, i, here_);
        sql_node_t next;
        node_init_operator(&next, OPERATOR_CONCAT, &chain, &right, here_);
        chain = next;
    }

    // As the argument of a statement, the way the grammar stores it.
    sql_node_t name;
    nv_init_string_copy(&name, "dump_view", here_);
    sql_node_t args;
    node_init_array(&args, here_);
    node_push(&args, &chain);
    sql_node_t call;
    node_init_operator(&call, OPERATOR_FCALL, &name, &args, here_);
    const size_t built = blocks();

    sql_node_t copy;
    node_deep_copy(&copy, &call);
    EXPECT_EQ(blocks(), 2 * built);
    node_shutdown(&call);
    EXPECT_EQ(blocks(), built);

    const auto* node = static_cast<const sql_node_t*>(hash_find_integer(copy.op.op2->hash, 0));
    int depth = 0;
    bool intact = true;
    for (; node->type == NODE_OPERATOR; node = node->op.op1, ++depth) {
        const int level = DEPTH - 1 - depth;
        intact = intact && node->op.opcode == OPERATOR_CONCAT && node->line == static_cast<unsigned>(level + 1) &&
                 node->pathname == PATHNAME && node->op.op2->value.integer == level;
    }
    EXPECT_EQ(depth, DEPTH);
    EXPECT_TRUE(intact);
    EXPECT_EQ(describe(node), "'x'@1");
    node_shutdown(&copy);
}

TEST(SqlNodeTest, BrokenInvariantsAreFatalErrors) {
    const node_location_t here_{PATHNAME, 1};
    sql_node_t scalar, nodes, constant, bad;
    nv_init_integer(&scalar, 1, here_);
    node_init_array(&nodes, here_);
    nv_init_array(&constant, here_);
    bad.type = static_cast<node_type_t>(9);
    EXPECT_TRUE(fatal_error_matches([&] { node_push(&scalar, &scalar); }, "array->type == NODE_ARRAY"));
    EXPECT_TRUE(fatal_error_matches([&] { nv_push(&scalar, &scalar); }, "array->value.type == VALUE_ARRAY"));
    EXPECT_TRUE(fatal_error_matches([&] { nv_push(&nodes, &scalar); }, "array->type == NODE_VALUE"));
    EXPECT_TRUE(fatal_error_matches([&] { nv_push(&constant, &nodes); }, "node->type == NODE_VALUE"));
    EXPECT_TRUE(fatal_error_matches([&] { node_shutdown(&bad); }, "Attempt to shutdown node at .* of unknown type 9"));
    EXPECT_TRUE(
        fatal_error_matches([&] { node_deep_copy(&scalar, &bad); }, "Attempt to copy node at .* of unknown type 9"));
    node_shutdown(&constant);
    node_shutdown(&nodes);
}

}  // namespace
