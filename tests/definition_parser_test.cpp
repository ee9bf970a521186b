#include <gtest/gtest.h>

#include <string>

#include "test_files.hpp"
#include "test_values.hpp"

namespace {

// Node trees as compact text: calls name(args) (the grammar makes node arrays
// only for argument lists), concatenations (a . b), constant arrays [..],
// variables $name, strings quoted.
std::string show_node(const sql_node_t* node) {
    switch (node->type) {
    case NODE_OPERATOR:
        if (node->op.opcode == OPERATOR_CONCAT) {
            return "(" + show_node(node->op.op1) + " . " + show_node(node->op.op2) + ")";
        }
        return node->op.op1->value.string + show_node(node->op.op2);
    case NODE_VALUE: return show(&node->value);
    case NODE_VARIABLE: return "$" + std::string(node->variable);
    case NODE_ARRAY: break;
    }
    std::string text;
    for (hash_iterator_t it = node->hash->first_in_list; it != nullptr; it = it->next_in_list) {
        text += it == node->hash->first_in_list ? "" : ", ";
        text += show_node(static_cast<const sql_node_t*>(hash_item_data(it)));
    }
    return "(" + text + ")";
}

class DefinitionParserTest : public ProgramTest {
protected:
    // Every statement as text, one per line.
    std::string statements() const {
        std::string text;
        for (hash_iterator_t it = program_.code.first_in_list; it != nullptr; it = it->next_in_list) {
            text += show_node(static_cast<const sql_node_t*>(hash_item_data(it))) + ";\n";
        }
        return text;
    }
};

TEST_F(DefinitionParserTest, SyntaxErrorsNameTheTokenAndWhatWasExpected) {
    const struct {
        const char* text;
        const char* message;
        unsigned line;
    } cases[] = {
        {"x", "syntax error, unexpected T_LABEL, expecting $end", 1},
        {"view v \"s\";", "syntax error, unexpected T_STRING, expecting '='", 1},
        {"view v = \"a\"", "syntax error, unexpected $end, expecting '.' or ';'", 1},
        {"table t {\n  id_t id\n}", "syntax error, unexpected '}', expecting ';'", 3},
        {"table t { index primary id_t id; };", "syntax error, unexpected T_PRIMARY, expecting T_LABEL", 1},
        {"function f(a) = 1;", "syntax error, unexpected T_LABEL, expecting ')'", 1},
        {"query q = ;", "syntax error, unexpected ';'", 1},
        {"view v = x;", "syntax error, unexpected ';', expecting '('", 1},
        {"view v = f(1,);", "syntax error, unexpected ')'", 1},
        // At the end of a file ended by a line break: the line after the last.
        {"view v = \"a\"\n", "syntax error, unexpected $end, expecting '.' or ';'", 2},
        {"volatile view v = 1;", "syntax error, unexpected T_VIEW, expecting T_TABLE", 1},
        // The empty link list is reduced by default before the error shows.
        {"table t { id_t id [groups]; };", "syntax error, unexpected T_LABEL, expecting ']'", 1},
        {"table t { id_t id [incoming groups]; };", "syntax error, unexpected T_LABEL, expecting ':'", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(compile(c.text), error(c.message, c.line));
        EXPECT_EQ(result_, -1);
    }
}

TEST_F(DefinitionParserTest, DeclarationsBecomeCallsOfTheirBuiltins) {
    EXPECT_EQ(compile(" /* only a comment */ \n\n"), "");
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(statements(), "");

    ASSERT_EQ(compile("type id_t = \"INTEGER\";\n"
                      "sequence s = 1000;\n"
                      "query q = \"a\" . \"b\" . \"c\";\n"
                      "view v = $x . f(null, g());\n"
                      "plsql [name_t] f (id_t a, int_t b) (name_t r; int_t n;) = \"BEGIN\";\n"
                      "plsql int_t g () () = \"x\";\n"
                      "table users {\n"
                      "    primary id_t id;\n"
                      "    index name_t login [];\n"
                      "    primary id_t *group_id [outgoing: groups, incoming: visits];\n"
                      "};\n"
                      "volatile table e {};\n"
                      "table a { t x; } = {};\n"
                      "table b { t x; } = { {} };\n"
                      "table c { t x; } = { { \"1\", null }, {}, { \"a\" . \"b\", f() } };\n"
                      "table d { t x; } = \"rows\" . \".init\";\n"),
              "");
    const std::string x = "[['x', 't', 0, 0, []]]";
    EXPECT_EQ(statements(),
              "dump_type('id_t', 'INTEGER');\n"
              "dump_sequence('s', 1000);\n"
              "dump_query('q', (('a' . 'b') . 'c'));\n"
              "dump_view('v', ($x . f(null, g())));\n"
              "dump_plsql('f', ['name_t', 1], [['a', 'id_t'], ['b', 'int_t']], [['r', 'name_t'], ['n', 'int_t']], "
              "'BEGIN');\n"
              "dump_plsql('g', ['int_t', 0], [], [], 'x');\n"
              "dump_table('users', 0, [['id', 'id_t', 0, 2, []], ['login', 'name_t', 0, 1, []], "
              "['group_id', 'id_t', 1, 2, [['groups', 1], ['visits', 0]]]], []);\n"
              "dump_table('e', 1, [], []);\n"
              "dump_table('a', 0, " +
                  x +
                  ", []);\n"
                  // Rows of constants are the arrays array() would make; the others stay calls.
                  "dump_table('b', 0, " +
                  x +
                  ", [[]]);\n"
                  "dump_table('c', 0, " +
                  x +
                  ", array(['1', null], [], array(('a' . 'b'), f())));\n"
                  "dump_table('d', 0, " +
                  x + ", read_table_initializer(prefix_pathname('" + folder_.path() + "', ('rows' . '.init'))));\n");
}

TEST_F(DefinitionParserTest, StatementsAreStampedWithTheLineOfTheirSemicolon) {
    ASSERT_EQ(compile("view v =\n\"a\"\n.\n\"b\"\n;\nfunction f() =\n1\n;\n"), "");
    EXPECT_EQ(statement(0)->line, 5u);
    EXPECT_EQ(statement(0)->op.op1->line, 5u);
    EXPECT_STREQ(statement(0)->pathname, path("main.def").c_str());
    const auto* f = static_cast<const func_info_t*>(hash_find_string(&program_.functions, "f"));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->user.line, 8u);
}

TEST_F(DefinitionParserTest, StatementsTakeEffectBeforeTheNextTokenIsRead) {
    folder_.write("inc.def", "type b = \"B\";\n");
    ASSERT_EQ(compile("type a = \"A\";\ninclude \"inc.def\";\ntype c = \"C\";\n"), "");
    EXPECT_EQ(statements(), "dump_type('a', 'A');\ndump_type('b', 'B');\ndump_type('c', 'C');\n");
    EXPECT_STREQ(statement(1)->pathname, path("inc.def").c_str());

    // The "-" after each statement would be a scanner error in main.def if
    // the parser read past the ";" before acting on the statement.
    folder_.write("bad.def", "view v = ;\n");
    EXPECT_EQ(compile("include \"bad.def\"; -"), error("syntax error, unexpected ';'", 1, "bad.def"));
    EXPECT_EQ(compile("include \"missing.def\"; -").rfind("Failed to open compiled file \"" + path("missing.def"), 0),
              0u);
    EXPECT_EQ(compile("function f($a, $a) = $a; -"), error("Function f has duplicate argument a", 1));
    EXPECT_EQ(compile("function g() = 1;\nfunction g() = 2; -"),
              error("Redefinition of user function \"g\" already defined in " + path("main.def") + ":1", 2));
    EXPECT_EQ(compile("function array() = 1; -"), error("Redefinition of native function \"array\"", 1));
}

}  // namespace
