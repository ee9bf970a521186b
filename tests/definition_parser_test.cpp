#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "compile.hpp"
#include "definition_parser.hpp"
#include "memory_pool.hpp"

namespace {

// A node tree as compact text: calls as name(args), concatenations as
// (a . b), constant arrays as [..], variables as $name, strings quoted.
std::string show(const sql_node_t* node);

std::string show_value(const sql_value_t* value)
{
    switch (value->type) {
    case VALUE_NULL: return "null";
    case VALUE_INTEGER: return std::to_string(value->integer);
    case VALUE_STRING: return "\"" + std::string(value->string) + "\"";
    case VALUE_ARRAY: {
        std::string text = "[";
        for (hash_iterator_t it = value->hash->first_in_list; it != nullptr; it = it->next_in_list) {
            if (it != value->hash->first_in_list) text += ", ";
            text += show_value(static_cast<const sql_value_t*>(hash_item_data(it)));
        }
        return text + "]";
    }
    }
    return "?";
}

std::string show_list(const sql_node_t* list)
{
    if (list->type != NODE_ARRAY) return "<not a list: " + show(list) + ">";
    std::string text;
    for (hash_iterator_t it = list->hash->first_in_list; it != nullptr; it = it->next_in_list) {
        if (it != list->hash->first_in_list) text += ", ";
        text += show(static_cast<const sql_node_t*>(hash_item_data(it)));
    }
    return text;
}

std::string show(const sql_node_t* node)
{
    switch (node->type) {
    case NODE_OPERATOR:
        if (node->op.opcode == OPERATOR_CONCAT) return "(" + show(node->op.op1) + " . " + show(node->op.op2) + ")";
        if (node->op.op1->type != NODE_VALUE || node->op.op1->value.type != VALUE_STRING) return "<bad call>";
        return std::string(node->op.op1->value.string) + "(" + show_list(node->op.op2) + ")";
    case NODE_VALUE: return show_value(&node->value);
    case NODE_VARIABLE: return "$" + std::string(node->variable);
    case NODE_ARRAY: return "{" + show_list(node) + "}";
    }
    return "?";
}

class DefinitionParserTest : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tabula-grammar-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }

    void TearDown() override
    {
        if (compiled_) compiled_program_shutdown(&program_);
        memory_pool_free_all();
        std::filesystem::remove_all(dir_);
    }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    void write(const std::string& name, const std::string& text) const
    {
        std::ofstream(path(name), std::ios::binary) << text;
    }

    // Compiles main.def holding `text`; returns what went to stderr.
    std::string compile(const std::string& text)
    {
        write("main.def", text);
        if (compiled_) compiled_program_shutdown(&program_);
        testing::internal::CaptureStderr();
        result_ = compile_program(&program_, path("main.def").c_str());
        compiled_ = true;
        return testing::internal::GetCapturedStderr();
    }

    // The error line expected for `message` at `line` of `file`.
    std::string error(const std::string& message, unsigned line, const std::string& file = "main.def") const
    {
        return message + " in " + path(file) + ":" + std::to_string(line) + "\n";
    }

    const sql_node_t* statement(int32_t index) const
    {
        return static_cast<const sql_node_t*>(hash_find_integer(&program_.code, index));
    }

    std::string statements() const
    {
        std::string text;
        for (hash_iterator_t it = program_.code.first_in_list; it != nullptr; it = it->next_in_list) {
            text += show(static_cast<const sql_node_t*>(hash_item_data(it))) + ";\n";
        }
        return text;
    }

    std::string dir_;
    compiled_program_t program_{};
    bool compiled_ = false;
    int result_ = 0;
};

TEST(DefinitionTokens, CodesAreTheScannersCodes)
{
    EXPECT_EQ(T_INTEGER, 258);
    EXPECT_EQ(T_LABEL, 259);
    EXPECT_EQ(T_NULL, 260);
    EXPECT_EQ(T_STRING, 261);
    EXPECT_EQ(T_VARIABLE, 262);
    EXPECT_EQ(T_FUNCTION, 263);
    EXPECT_EQ(T_INCLUDE, 264);
    EXPECT_EQ(T_INCOMING, 265);
    EXPECT_EQ(T_INDEX, 266);
    EXPECT_EQ(T_OUTGOING, 267);
    EXPECT_EQ(T_PLSQL, 268);
    EXPECT_EQ(T_PRIMARY, 269);
    EXPECT_EQ(T_QUERY, 270);
    EXPECT_EQ(T_SEQUENCE, 271);
    EXPECT_EQ(T_TABLE, 272);
    EXPECT_EQ(T_TYPE, 273);
    EXPECT_EQ(T_VIEW, 274);
    EXPECT_EQ(T_VOLATILE, 275);
}

TEST_F(DefinitionParserTest, SyntaxErrorsNameTheTokenAndWhatWasExpected)
{
    struct case_t {
        const char* text;
        const char* message;
        unsigned line;
    };
    const case_t cases[] = {
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
        // No statement may follow "volatile" but a table.
        {"volatile view v = 1;", "syntax error, unexpected T_VIEW, expecting T_TABLE", 1},
        // Fields have no separators; a link needs its direction (the empty
        // link list is reduced by default before the error is seen).
        {"table t { id_t id, };", "syntax error, unexpected ',', expecting ';'", 1},
        {"table t { id_t id [groups]; };", "syntax error, unexpected T_LABEL, expecting ']'", 1},
        {"table t { id_t id [incoming groups]; };", "syntax error, unexpected T_LABEL, expecting ':'", 1},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string stderr_text = compile(c.text);
        EXPECT_EQ(result_, -1);
        EXPECT_EQ(stderr_text, error(c.message, c.line));
    }
}

TEST_F(DefinitionParserTest, TooDeepANestingOverflowsTheParserStack)
{
    // Each call level holds two states; 6000 levels pass the 10000-state limit.
    std::string text = "view v = ";
    for (int i = 0; i < 6000; ++i) text += "f(";
    text += "1";
    for (int i = 0; i < 6000; ++i) text += ")";
    EXPECT_EQ(compile(text + ";"), error("parser stack overflow", 1));
    EXPECT_EQ(result_, -1);
}

TEST_F(DefinitionParserTest, DeepNestingWithinTheLimitGrowsTheStack)
{
    std::string text = "view v = ";
    for (int i = 0; i < 4000; ++i) text += "f(";
    text += "1";
    for (int i = 0; i < 4000; ++i) text += ")";
    ASSERT_EQ(compile(text + ";"), "");
    ASSERT_EQ(result_, 0);
    const sql_node_t* node = static_cast<const sql_node_t*>(hash_find_integer(statement(0)->op.op2->hash, 1));
    int depth = 0;
    while (node->type == NODE_OPERATOR) {
        node = static_cast<const sql_node_t*>(hash_find_integer(node->op.op2->hash, 0));
        ++depth;
    }
    EXPECT_EQ(depth, 4000);
    EXPECT_EQ(show(node), "1");
}

TEST_F(DefinitionParserTest, EmptyInputCompilesToNoStatement)
{
    EXPECT_EQ(compile(" /* only a comment */ \n\n"), "");
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(hash_count(&program_.code), 0u);
}

TEST_F(DefinitionParserTest, SimpleDeclarationsBecomeCallsOfTheirBuiltins)
{
    ASSERT_EQ(compile("type id_t = \"INTEGER\";\n"
                      "sequence s = 1000;\n"
                      "query q = \"a\" . \"b\" . \"c\";\n"
                      "view v = $x . f(null, g());\n"),
              "");
    EXPECT_EQ(statements(),
              "dump_type(\"id_t\", \"INTEGER\");\n"
              "dump_sequence(\"s\", 1000);\n"
              "dump_query(\"q\", ((\"a\" . \"b\") . \"c\"));\n"
              "dump_view(\"v\", ($x . f(null, g())));\n");
}

TEST_F(DefinitionParserTest, TableFieldsBecomeConstantRecords)
{
    ASSERT_EQ(compile("table users {\n"
                      "    primary id_t id;\n"
                      "    index name_t login [];\n"
                      "    primary id_t *group_id [outgoing: groups, incoming: visits];\n"
                      "};\n"
                      "volatile table empty {};\n"),
              "");
    EXPECT_EQ(statements(),
              "dump_table(\"users\", 0, ["
              "[\"id\", \"id_t\", 0, 2, []], "
              "[\"login\", \"name_t\", 0, 1, []], "
              "[\"group_id\", \"id_t\", 1, 2, [[\"groups\", 1], [\"visits\", 0]]]], []);\n"
              "dump_table(\"empty\", 1, [], []);\n");
}

TEST_F(DefinitionParserTest, TableRowsBecomeCallsOfArray)
{
    ASSERT_EQ(compile("table a { t x; } = {};\n"
                      "table b { t x; } = { {} };\n"
                      "table c { t x; t y; } = { { \"1\", null }, {}, { \"a\" . \"b\", f() } };\n"),
              "");
    EXPECT_EQ(statements(),
              "dump_table(\"a\", 0, [[\"x\", \"t\", 0, 0, []]], []);\n"
              "dump_table(\"b\", 0, [[\"x\", \"t\", 0, 0, []]], array([]));\n"
              "dump_table(\"c\", 0, [[\"x\", \"t\", 0, 0, []], [\"y\", \"t\", 0, 0, []]], "
              "array(array(\"1\", null), [], array((\"a\" . \"b\"), f())));\n");
}

TEST_F(DefinitionParserTest, TableRowsFromAFileAreReadRelativeToTheDefinition)
{
    ASSERT_EQ(compile("table t { t x; } = \"rows\" . \".init\";\n"), "");
    EXPECT_EQ(statements(), "dump_table(\"t\", 0, [[\"x\", \"t\", 0, 0, []]], read_table_initializer(prefix_pathname(\"" +
                                dir_ + "\", (\"rows\" . \".init\"))));\n");
}

TEST_F(DefinitionParserTest, PlsqlRecordsPutTheNameBeforeTheType)
{
    ASSERT_EQ(compile("plsql [name_t] f (id_t a, int_t b) (name_t r; int_t n;) = \"BEGIN\";\n"
                      "plsql int_t g () () = \"x\";\n"),
              "");
    EXPECT_EQ(statements(),
              "dump_plsql(\"f\", [\"name_t\", 1], [[\"a\", \"id_t\"], [\"b\", \"int_t\"]], "
              "[[\"r\", \"name_t\"], [\"n\", \"int_t\"]], \"BEGIN\");\n"
              "dump_plsql(\"g\", [\"int_t\", 0], [], [], \"x\");\n");
}

TEST_F(DefinitionParserTest, FunctionsAreRecordedNotExecuted)
{
    ASSERT_EQ(compile("function quoted($text, $q) = $q . $text . $q;\n"
                      "function none() = 1;\n"),
              "");
    EXPECT_EQ(hash_count(&program_.code), 0u);
    const auto* quoted = static_cast<const func_info_t*>(hash_find_string(&program_.functions, "quoted"));
    ASSERT_NE(quoted, nullptr);
    ASSERT_EQ(quoted->is_user, 1);
    EXPECT_EQ(show(&quoted->user.code_user), "(($q . $text) . $q)");
    ASSERT_EQ(hash_count(&quoted->user.args), 2u);
    EXPECT_STREQ(hash_item_key(quoted->user.args.first_in_list), "text");
    EXPECT_STREQ(hash_item_key(quoted->user.args.last_in_list), "q");
    const auto* none = static_cast<const func_info_t*>(hash_find_string(&program_.functions, "none"));
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(hash_count(&none->user.args), 0u);
}

TEST_F(DefinitionParserTest, StatementsAreStampedWithTheLineOfTheirSemicolon)
{
    ASSERT_EQ(compile("view v =\n\"a\"\n.\n\"b\"\n;\n"
                      "function f() =\n1\n;\n"),
              "");
    const sql_node_t* call = statement(0);
    EXPECT_EQ(call->line, 5u);
    EXPECT_EQ(call->op.op1->line, 5u);
    EXPECT_STREQ(call->pathname, path("main.def").c_str());
    const auto* f = static_cast<const func_info_t*>(hash_find_string(&program_.functions, "f"));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->user.line, 8u);
}

TEST_F(DefinitionParserTest, IncludedStatementsStandInPlaceOfTheInclude)
{
    write("inc.def", "type b = \"B\";\n");
    ASSERT_EQ(compile("type a = \"A\";\ninclude \"inc.def\";\ntype c = \"C\";\n"), "");
    EXPECT_EQ(statements(), "dump_type(\"a\", \"A\");\ndump_type(\"b\", \"B\");\ndump_type(\"c\", \"C\");\n");
    EXPECT_STREQ(statement(1)->pathname, path("inc.def").c_str());
}

TEST_F(DefinitionParserTest, StatementsTakeEffectBeforeTheNextTokenIsRead)
{
    // The "-" after each statement would be a scanner error in main.def if
    // the parser read past the ";" before acting on the statement.
    write("bad.def", "view v = ;\n");
    EXPECT_EQ(compile("include \"bad.def\"; -"), error("syntax error, unexpected ';'", 1, "bad.def"));
    EXPECT_EQ(compile("include \"missing.def\"; -").rfind("Failed to open compiled file \"" + path("missing.def"), 0),
              0u);
    EXPECT_EQ(compile("function f($a, $a) = $a; -"), error("Function f has duplicate argument a", 1));
    EXPECT_EQ(compile("function g() = 1;\nfunction g() = 2; -"),
              error("Redefinition of user function \"g\" already defined in " + path("main.def") + ":1", 2));
    EXPECT_EQ(compile("function array() = 1; -"), error("Redefinition of native function \"array\"", 1));
}

}  // namespace
