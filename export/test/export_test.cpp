#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "builtin.hpp"
#include "execute.hpp"
#include "export_diagram.hpp"
#include "export_json.hpp"
#include "export_text.hpp"
#include "schema_model.hpp"
#include "test_files.hpp"

namespace {

using nlohmann::json;

TEST(ExportText, Utf8IsCheckedStrictly) {
    EXPECT_TRUE(export_text_is_utf8(""));
    EXPECT_TRUE(export_text_is_utf8("plain \x01\x7f"));
    EXPECT_TRUE(export_text_is_utf8("\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf"));  // up to U+10FFFF
    for (const char* bad :
         {"\x80", "a\xbf", "\xc3", "\xe4\xb8", "\xc0\x80", "\xc1\xbf", "\xe0\x80\x80", "\xf0\x80\x80\x80",
          "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xff", "\xc3(", "ok\xe9"}) {
        EXPECT_FALSE(export_text_is_utf8(bad)) << bad;
    }
}

TEST(ExportText, LabelsEscapeWhatTheyCannotCarryAndKeepUtf8) {
    const export_escape_t hex = {"\\x", ""};
    EXPECT_EQ(export_text_label("a\"b\\c\n\x7f\xc3\xa9\xff", "\"\\", hex), "a\\x22b\\x5Cc\\x0A\\x7F\xc3\xa9\\xFF");
    EXPECT_EQ(export_text_label("50%", "%", {"[x", "]"}), "50[x25]");
    // U+FFFE and U+FFFF are not characters of XML; U+FFFD is.
    EXPECT_EQ(export_text_label("a\xef\xbf\xbe\xef\xbf\xbf\xef\xbf\xbd", "", hex),
              "a\\xEF\\xBF\\xBE\\xEF\\xBF\\xBF\xef\xbf\xbd");
}

// Mermaid attribute words stay bare only where Mermaid's lexer and Markdown
// leave them as they are; any other text is quoted, as written.
TEST(ExportText, WordsKeepWordCharactersOnly) {
    schema_t schema;
    schema_table_t& table = schema.tables.emplace_back();
    table.name = "t";
    std::vector<schema_field_t> fields;
    for (const char* type : {"NUMERIC(12,2)", "TIMESTAMP WITH TIME ZONE", "\xc3\xa9t\xc3\xa9\xc2\xa0\xff", ""}) {
        fields.push_back({"a_b", "x", type, false, OPTIMIZE_NONE, {}, 1});
    }
    for (const char* name : {"__init__", "a_", "pk", "Pk(1)", "pkey", "1st", "a b",
                             "a\xef\xbf\xbe"
                             "b"}) {
        fields.push_back({name, "x", "INTEGER", false, OPTIMIZE_NONE, {}, 1});
    }
    table.fields = schema_keep(&schema, fields);
    std::string text;
    export_mermaid(schema, &text);
    EXPECT_EQ(text,
              "erDiagram\n"
              "\tt1[\"t\"] {\n"
              "\t\tNUMERIC(12,2) a_b\n"
              "\t\t`TIMESTAMP WITH TIME ZONE` a_b\n"
              "\t\t`\xc3\xa9t\xc3\xa9\xc2\xa0#91;xFF#93;` a_b\n"
              "\t\t`#91;empty#93;` a_b\n"
              "\t\tINTEGER `#95;#95;init#95;#95;`\n"
              "\t\tINTEGER `a#95;`\n"
              "\t\tINTEGER `pk`\n"
              "\t\tINTEGER `Pk(1)`\n"
              "\t\tINTEGER pkey\n"
              "\t\tINTEGER `1st`\n"
              "\t\tINTEGER `a b`\n"
              "\t\tINTEGER `a#91;xEF#93;#91;xBF#93;#91;xBE#93;b`\n"
              "\t}\n");
    EXPECT_EQ(export_mermaid_length("a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80"), 5u);  // UTF-16 code units
}

// Runs definition files of a temporary folder with the declarations kept.
class ExportTest : public ProgramTest {
protected:
    void run(const std::string& text) {
        ASSERT_EQ(compile(text), "");
        program_declarations_init(&declarations_);
        builtin_declarations = &declarations_;
        testing::internal::CaptureStderr();
        const int result = execute_program(&output_, &program_);
        builtin_declarations = nullptr;
        ASSERT_EQ(testing::internal::GetCapturedStderr(), "");
        ASSERT_EQ(result, 0);
    }

    schema_t model() const {
        schema_t built;
        schema_model_build(&built, &output_, &declarations_);
        return built;
    }

    json exported() {
        export_chunks_t chunks;
        EXPECT_EQ(export_json(model(), &chunks), 0);
        std::string text;
        for (std::string_view chunk : chunks) text += chunk;
        return json::parse(text);
    }

    program_output_t output_{};
    program_declarations_t declarations_{};
};

TEST_F(ExportTest, JsonNamesDeclaredTypesAndWhereEachObjectWasDeclared) {
    folder_.write("more/tables.def",
                  "table users {\n"
                  "    primary id_t id [incoming: users];\n"
                  "    name_t *name;\n"
                  "} = { { \"1\", null } };\n");
    run("type id_t = \"INTEGER\";\n"
        "type name_t = \"VARCHAR(\" . \"64)\";\n"
        "include \"more/tables.def\";\n"
        "query q = \"SELECT {FIELD:name_t}{ESC:1} {RAW:2}\";\n"
        "plsql name_t f (id_t a) (name_t b;) = \"body\";\n"
        "sequence s = 5; view v = \"SELECT 1\";\n");
    const json document = exported();
    EXPECT_EQ(document["format"], "tabula-schema");
    const json name_t = {{"name", "name_t"}, {"file", path("main.def")}, {"line", 2}, {"sql", "VARCHAR(64)"}};
    EXPECT_EQ(document["types"][1], name_t);
    const json& users = document["tables"][0];
    EXPECT_EQ(users["file"], path("more/tables.def"));
    EXPECT_EQ(users["line"], 4);  // where the statement ends, as in the run-time messages
    EXPECT_EQ(users["primary"], "id");
    const json name_field = json::parse(R"j({"name": "name", "type": "name_t", "sql": "VARCHAR(64)",
                                            "nullable": true, "index": "none", "links": []})j");
    EXPECT_EQ(users["fields"][1], name_field);
    EXPECT_EQ(users["fields"][0]["links"][0], json::parse(R"j({"table": "users", "direction": "incoming"})j"));
    EXPECT_EQ(users["rows"], json::parse(R"j([["1", null]])j"));
    const json& query = document["queries"][0];
    EXPECT_EQ(query["line"], 4);
    const json pieces = json::parse(R"j([{"kind": "text", "text": "SELECT "}, {"kind": "param", "number": 1},
                                         {"kind": "text", "text": " "}, {"kind": "raw", "number": 2}])j");
    EXPECT_EQ(query["pieces"], pieces);
    EXPECT_EQ(query["fields"], json::parse(R"j([{"type": "name_t", "sql": "VARCHAR(64)"}])j"));
    const json& function = document["plsql"][0];
    EXPECT_EQ(function["returns"], json::parse(R"j({"type": "name_t", "sql": "VARCHAR(64)", "set": false})j"));
    EXPECT_EQ(function["args"], json::parse(R"j([{"name": "a", "type": "id_t", "sql": "INTEGER"}])j"));
    EXPECT_EQ(function["locals"], json::parse(R"j([{"name": "b", "type": "name_t", "sql": "VARCHAR(64)"}])j"));
    EXPECT_EQ(document["sequences"][0]["start"], 5);
    EXPECT_EQ(document["views"][0]["line"], 6);
}

TEST_F(ExportTest, ATextThatIsNotUtf8IsRefusedAtItsDeclaration) {
    run("type id_t = \"INTEGER\";\n"
        "table t { primary id_t id; } = { { \"caf\xe9\" } };\n");
    export_chunks_t chunks;
    testing::internal::CaptureStderr();
    EXPECT_EQ(export_json(model(), &chunks), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Cannot export table \"t\" as JSON: its row value is not valid UTF-8 in " + path("main.def") + ":2\n");
}

TEST_F(ExportTest, DiagramsNameTablesByPositionAndMapWhatTheirSyntaxCannotCarry) {
    run("type id_t = \"INTEGER\"; type money_t = \"NUMERIC(12,2) NOT NULL\";\n"
        "function first($kept, $dropped) = $kept;\n"
        "view w = first(\"\", dump_table(\"a\", 0, array(array(\"pk\", \"id_t\", 0, 2, array()),\n"
        "    array(\"1st\", \"money_t\", 1, 0, array(array(\"b\", 1)))), array()));\n"
        "table b { primary id_t id [incoming: a, incoming: c]; };\n"
        "table c { primary id_t id; };\n");
    schema_t schema;
    schema_model_build(&schema, &output_, &declarations_);
    std::string text;
    export_mermaid(schema, &text);
    EXPECT_EQ(text,
              "erDiagram\n"
              "\tt1[\"a\"] {\n"
              "\t\tINTEGER `pk` PK\n"
              "\t\t`NUMERIC(12,2) NOT NULL` `1st` FK \"nullable\"\n"
              "\t}\n"
              "\tt2[\"b\"] {\n"
              "\t\tINTEGER id PK\n"
              "\t}\n"
              "\tt3[\"c\"] {\n"
              "\t\tINTEGER id PK\n"
              "\t}\n"
              "\tt2 |o--o{ t1 : \"1st\"\n"
              "\tt2 ||--o{ t3 : \"id\"\n");
    // Links leave the field's right side for the linked table's primary key;
    // an incoming link comes in dashed. A reference declared from both sides
    // (b's incoming link from a) is drawn once, in both formats.
    export_dot(schema, &text);
    EXPECT_NE(text.find("\tt1:r2:e -> t2:l1:w;\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("\tt1:e -> "), std::string::npos) << text;
    EXPECT_NE(text.find("\tt3:e -> t2:l1:w [style=dashed];\n"), std::string::npos) << text;
}

}  // namespace
