// Unit tests of the lint library: the edges of the rules (how the servers
// compare types and keys), placing findings on the source lines, and the
// allow comments. Which rule fires where on a whole schema is the golden
// test's part (rules.sh).
#include <gtest/gtest.h>

#include <map>

#include "lint.hpp"
#include "lint_sql.hpp"
#include "lint_words.hpp"
#include "test_files.hpp"

namespace {

// Loads a schema from definition text and lints it, with the text's own
// lines as the line source where `with_lines`.
class LintTest : public testing::Test {
protected:
    std::vector<lint_finding_t> lint(const std::string& text, lint_options_t options = {}, bool with_lines = true) {
        const std::string file = folder_.write("main.def", text);
        schema_t model;
        EXPECT_EQ(schema_model_load(&model, file.c_str()), 0) << text;
        if (with_lines) options.lines = lint_file_lines();
        return lint_check(model, options);
    }

    // "LINE RULE" of each finding.
    std::vector<std::string> places(const std::vector<lint_finding_t>& findings) {
        std::vector<std::string> result;
        for (const lint_finding_t& finding : findings)
            result.push_back(std::to_string(finding.line) + " " + finding.rule);
        return result;
    }

    TemporaryFolder folder_;
};

using strings = std::vector<std::string>;

TEST(LintSqlTest, KeyTypesCompareAsTheServersCompareThem) {
    // Case, blanks, common spellings, character lengths and display widths
    // do not matter.
    EXPECT_TRUE(lint_sql_same_key_type("INTEGER", "integer"));
    EXPECT_TRUE(lint_sql_same_key_type("int", "INTEGER"));
    EXPECT_TRUE(lint_sql_same_key_type("INT(11)", "int4"));
    EXPECT_TRUE(lint_sql_same_key_type("numeric ( 12 , 2 )", "DECIMAL(12,2)"));
    EXPECT_TRUE(lint_sql_same_key_type("VARCHAR(10)", "character   varying(20)"));
    EXPECT_TRUE(lint_sql_same_key_type("double precision", "FLOAT8"));
    EXPECT_TRUE(lint_sql_same_key_type("BIGINT UNSIGNED", "bigint unsigned"));
    // Width, precision, sign and kind do.
    EXPECT_FALSE(lint_sql_same_key_type("INTEGER", "BIGINT"));
    EXPECT_FALSE(lint_sql_same_key_type("NUMERIC(10,2)", "NUMERIC(12,2)"));
    EXPECT_FALSE(lint_sql_same_key_type("TEXT", "VARCHAR(10)"));
    EXPECT_FALSE(lint_sql_same_key_type("BIGINT", "BIGINT UNSIGNED"));
    EXPECT_FALSE(lint_sql_same_key_type("DOUBLE PRECISION", "DOUBLEPRECISION"));
}

TEST(LintSqlTest, KeysOfOneValueAreOneKey) {
    EXPECT_EQ(lint_value_key(VALUE_KIND_INTEGER, " +007 ", false), "7");
    EXPECT_EQ(lint_value_key(VALUE_KIND_INTEGER, "-0", false), "0");
    EXPECT_EQ(lint_value_key(VALUE_KIND_INTEGER, " x1 ", false), "x1");
    EXPECT_EQ(lint_value_key(VALUE_KIND_DECIMAL, "01.50", false), lint_value_key(VALUE_KIND_DECIMAL, "1.5", false));
    EXPECT_EQ(lint_value_key(VALUE_KIND_DECIMAL, "-0.0", false), "0");
    EXPECT_EQ(lint_value_key(VALUE_KIND_DECIMAL, ".5", false), "0.5");
    EXPECT_EQ(lint_value_key(VALUE_KIND_PADDED, "ab  ", false), "ab");
    EXPECT_EQ(lint_value_key(VALUE_KIND_TEXT, " ab ", false), " ab ");
    EXPECT_EQ(lint_value_key(VALUE_KIND_TEXT, " ab ", true), " ab");
    EXPECT_EQ(lint_sql_value_kind("character(3)"), VALUE_KIND_PADDED);
    EXPECT_EQ(lint_sql_value_kind("Decimal(4,1)"), VALUE_KIND_DECIMAL);
    EXPECT_EQ(lint_sql_value_kind("serial"), VALUE_KIND_INTEGER);
}

TEST(LintSqlTest, IntegerRangesEndAtTheTypesBounds) {
    // As the rule asks: plain digits are compared as they stand, anything
    // else in lint_integer_text's form.
    const auto in = [](std::string_view type, std::string_view text) {
        return lint_value_in_range(text, *lint_sql_integer_range(type));
    };
    EXPECT_TRUE(in("INTEGER", "2147483647"));
    EXPECT_FALSE(in("INTEGER", "2147483648"));
    EXPECT_TRUE(in("INTEGER", "0002147483647"));
    EXPECT_FALSE(in("INTEGER", "+0002147483648"));
    EXPECT_TRUE(in("INTEGER", "0"));
    EXPECT_TRUE(in("int", "-2147483648"));
    EXPECT_FALSE(in("int", "-2147483649"));
    EXPECT_TRUE(in("BIGINT", "-9223372036854775808"));
    EXPECT_FALSE(in("BIGINT", "9223372036854775808"));
    EXPECT_TRUE(in("SMALLINT UNSIGNED", "65535"));
    EXPECT_FALSE(in("smallint unsigned", "-1"));
    EXPECT_TRUE(in("TINYINT", " -0128 "));
    EXPECT_FALSE(in("INTEGER", "1.0"));
    EXPECT_FALSE(in("INTEGER", "1e3"));
    EXPECT_FALSE(in("INTEGER", ""));
    EXPECT_FALSE(lint_sql_integer_range("NUMERIC(4)"));
}

TEST(LintWordsTest, TheGeneratedListIsSortedLowerCaseAndNamesServers) {
    const std::vector<lint_word_t>& words = lint_reserved_words();
    ASSERT_GT(words.size(), 100u);
    for (size_t i = 0; i < words.size(); ++i) {
        EXPECT_NE(words[i].servers, 0u) << words[i].word;
        EXPECT_EQ(words[i].word.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_"), std::string_view::npos);
        if (i > 0) {
            EXPECT_LT(words[i - 1].word, words[i].word);
        }
    }
}

TEST(LintCommentTest, AllowCommentsNameRulesAfterLintAllow) {
    EXPECT_EQ(lint_allowed_rules("/* lint: allow name-case */"), strings{"name-case"});
    EXPECT_EQ(lint_allowed_rules("  /*lint: allow a,b  c */ x /* lint: allow d */"), (strings{"a", "b", "c", "d"}));
    EXPECT_EQ(lint_allowed_rules("/* lint allow a */ /* lint: deny b */ /* lint: allow c"), strings{});
}

TEST_F(LintTest, LinkTypesDifferingOnlyInCaseAndBlanksAgree) {
    const std::string types =
        "type lower_t = \"numeric(12, 2)\"; type upper_t = \"NUMERIC(12,2)\";\n"
        "type big_t = \"BIGINT\"; type int_t = \"integer\";\n";
    EXPECT_EQ(places(lint(types + "table a { primary lower_t id; };\n"
                                  "table b { primary int_t id; index upper_t a_id [outgoing: a]; };\n")),
              strings{});
    EXPECT_EQ(places(lint(types + "table a { primary int_t id; };\n"
                                  "table b { primary int_t id; index big_t a_id [outgoing: a]; };\n")),
              strings{"4 link-type-mismatch"});
}

TEST_F(LintTest, InitialKeysDifferingOnlyInBlanks) {
    const std::string types = "type int_t = \"INTEGER\"; type text_t = \"TEXT\";\n";
    // An integer key is one key however it is written, so " 1" names "1"
    // and repeats it.
    EXPECT_EQ(places(lint(types + "table a { primary int_t id; } = { { \"1\" }, { \" 1\" } };\n"
                                  "table b { primary int_t id; index int_t a_id [outgoing: a]; } = {\n"
                                  "    { \"1\", \"01 \" } };\n")),
              strings{"2 seed-duplicate-key"});
    // A text key with a trailing blank repeats one without where keys are
    // compared padded (MariaDB), but names no row where they are compared
    // exactly (PostgreSQL).
    EXPECT_EQ(places(lint(types + "table a { primary text_t id; } = { { \"x\" }, { \"x \" } };\n"
                                  "table b { primary int_t id; index text_t a_id [outgoing: a]; } = {\n"
                                  "    { \"1\", \"x\" }, { \"2\", \" x\" } };\n")),
              (strings{"2 seed-duplicate-key", "3 seed-dangling"}));
}

TEST_F(LintTest, FindingsStandOnTheLinesThatNameTheirSubjects) {
    const std::vector<lint_finding_t> findings = lint(
        "type id_t = \"INTEGER\";\n"
        "table\n"
        "  groups {\n"
        "    primary id_t id;\n"
        "    id_t select\n"
        "        [outgoing: groups];\n"
        "} = {\n"
        "    { \"1\", \"1\" }\n"
        "};\n");
    ASSERT_EQ(places(findings), (strings{"5 link-unindexed", "5 name-reserved"}));
    EXPECT_EQ(findings[0].column_start, 9u);
    EXPECT_EQ(findings[0].column_end, 15u);
    // Without the lines, a finding stays where the model places it.
    const std::vector<lint_finding_t> unplaced =
        lint("type id_t = \"INTEGER\";\ntable order\n{ primary id_t id;\n};\n", {}, false);
    ASSERT_EQ(places(unplaced), strings{"4 name-reserved"});
    EXPECT_EQ(unplaced[0].column_end, 0u);
}

TEST_F(LintTest, AllowCommentsAndOptionsTurnRulesOff) {
    const std::string text =
        "type id_t = \"INTEGER\";\n"
        "/* lint: allow name-reserved */\n"
        "table order {\n"
        "    primary id_t id;\n"
        "    /* lint: allow link-unindexed, name-reserved */\n"
        "    id_t select [outgoing: order];\n"
        "    id_t *from [outgoing: order];\n"
        "};\n";
    EXPECT_EQ(places(lint(text)), (strings{"7 link-unindexed", "7 name-reserved"}));
    lint_options_t options;
    options.disabled = {"name-reserved", "no-such-rule"};
    EXPECT_EQ(places(lint(text, options)), strings{"7 link-unindexed"});
}

TEST_F(LintTest, ALineSourceOfOpenBuffersReplacesTheFiles) {
    // A server passes the text it holds, which may differ from the file.
    const std::string file = folder_.write("main.def", "type id_t = \"INTEGER\";\ntable t { primary id_t *id; };\n");
    schema_t model;
    ASSERT_EQ(schema_model_load(&model, file.c_str()), 0);
    std::map<unsigned, std::string> buffer = {{1, "/* lint: allow primary-nullable */"}};
    lint_options_t options;
    options.lines = [&](std::string_view name, unsigned line) -> std::optional<std::string_view> {
        EXPECT_EQ(name, file);
        const auto found = buffer.find(line);
        return found == buffer.end() ? std::nullopt : std::optional<std::string_view>(found->second);
    };
    EXPECT_EQ(lint_check(model, options).size(), 0u);
    buffer[1] = "";
    const std::vector<lint_finding_t> findings = lint_check(model, options);
    ASSERT_EQ(findings.size(), 1u);
    const diagnostic_t diagnostic = lint_diagnostic(findings[0]);
    EXPECT_EQ(diagnostic.severity, SEVERITY_WARNING);
    EXPECT_EQ(diagnostic.message, "primary key \"id\" may be null");
    EXPECT_EQ(lint_text(findings[0]), file + ":2: warning: primary key \"id\" may be null [primary-nullable]");
}

// A server's check gives up when asked to, however far it got, and
// otherwise finds what lint_check finds; the question comes every few
// hundred tables, not for every one.
TEST_F(LintTest, ACheckGivesUpWhenAskedTo) {
    std::string text = "type id_t = \"INTEGER\";\n";
    for (int i = 0; i < 1000; ++i) text += "table t" + std::to_string(i) + " { primary id_t *id; };\n";
    const std::string file = folder_.write("main.def", text);
    schema_t model;
    ASSERT_EQ(schema_model_load(&model, file.c_str()), 0);
    for (int give_up_at : {1, 3, 6}) {
        int asked = 0;
        EXPECT_FALSE(lint_check_unless(model, {}, [&] { return ++asked == give_up_at; })) << give_up_at;
        EXPECT_EQ(asked, give_up_at);
    }
    int asked = 0;
    const auto all = lint_check_unless(model, {}, [&] { return ++asked > 100; });
    ASSERT_TRUE(all);
    EXPECT_EQ(all->size(), 1000u);
    EXPECT_LT(asked, 20);
}

}  // namespace
