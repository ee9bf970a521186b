// The server's features and projects, without the protocol: runs, models,
// placement of diagnostics, names across files and projects, and positions in
// texts whatever their line ends and encoding.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "lsp_features.hpp"
#include "lsp_project.hpp"
#include "lsp_text.hpp"

namespace {

class LspProject : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/tabula-lsp-test-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
        project_.workspace = folder_;
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::string path(const std::string& name) const { return folder_ + "/" + name; }
    void write(const std::string& name, const std::string& text) const { std::ofstream(path(name)) << text; }
    void open(const std::string& name, const std::string& text) {
        lsp_document_t& document = project_.documents[path(name)];
        lsp_text_set(&document.text, text);
        document.index = nullptr;
    }
    std::vector<lsp_finding_t> run(const std::string& root) {
        const lsp_run_t result = lsp_project_run(&project_, path(root));
        return lsp_place_diagnostics(&project_, path(root), result);
    }
    // Offset of the n-th `needle` in the text the server holds for `name`.
    size_t offset_of(const std::string& name, const std::string& needle, int occurrence = 1) {
        const lsp_text_t* text = lsp_project_text(&project_, path(name));
        size_t at = std::string::npos;
        for (int i = 0; i < occurrence; ++i) at = text->text.find(needle, at + 1);
        return at;
    }
    lsp_position_t position(const lsp_span_t& span) {
        return lsp_text_position(*lsp_project_text(&project_, span.path), span.start, ENCODING_UTF16);
    }

    std::string folder_;
    lsp_project_t project_;
};

// The model as text, enough to tell two runs apart.
std::string describe(const schema_t& model) {
    std::string text;
    for (const schema_type_t& type : model.types)
        text.append("type ").append(type.name).append("=").append(type.sql).append("\n");
    for (const schema_table_t& table : model.tables) {
        text.append("table ").append(table.name).append(":").append(std::to_string(table.location.line));
        for (const schema_field_t& field : table.fields)
            text.append(" ").append(field.name).append(" ").append(field.sql);
        text += " rows " + std::to_string(table.rows.size()) + "\n";
    }
    for (const schema_view_t& view : model.views)
        text.append("view ").append(view.name).append("=").append(view.sql).append("\n");
    return text;
}

TEST_F(LspProject, CrlfAndLoneCrDocumentsPlaceNamesAndDiagnosticsOnTheirLines) {
    for (const std::string end : {"\r\n", "\r"}) {
        SCOPED_TRACE(end == "\r" ? "lone CR" : "CRLF");
        const std::string text = "type t = \"X\";" + end + "table x {" + end + "    primary t id;" + end + "};" + end +
                                 "sequence s = $nothing;" + end;
        open("main.def", text);
        const std::vector<lsp_span_t> declared =
            lsp_definition(&project_, path("main.def"), offset_of("main.def", "t id"));
        ASSERT_EQ(declared.size(), 1u);
        EXPECT_EQ(position(declared[0]).line, 0u);
        EXPECT_EQ(position(declared[0]).character, 5u);
        const std::vector<lsp_finding_t> findings = run("main.def");
        ASSERT_EQ(findings.size(), 1u);
        EXPECT_EQ(findings[0].message, "Non-existent variable \"nothing\"");
        const lsp_text_t& held = *lsp_project_text(&project_, path("main.def"));
        EXPECT_EQ(lsp_text_line(held, findings[0].span.start), 4u);
        EXPECT_EQ(held.text.substr(findings[0].span.start, findings[0].span.end - findings[0].span.start),
                  "sequence s = $nothing;");
    }
}

TEST_F(LspProject, UnsavedBuffersThatIncludeEachOtherCompileWithoutACycle) {
    // Neither file exists on disk: both are only open documents.
    open("main.def", "include \"types.def\";\ntable x { primary t id; };\n");
    open("types.def", "type t = \"INTEGER\";\n");
    EXPECT_TRUE(run("main.def").empty());
    EXPECT_EQ(lsp_project_roots(project_, path("types.def")), std::vector<std::string>{path("main.def")});
    const auto declared = lsp_definition(&project_, path("main.def"), offset_of("main.def", "t id"));
    ASSERT_EQ(declared.size(), 1u);
    EXPECT_EQ(declared[0].path, path("types.def"));
    // A real circle among them is still one.
    open("types.def", "include \"main.def\";\n");
    const auto findings = run("main.def");
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_NE(findings[0].message.find("Include cycle"), std::string::npos) << findings[0].message;
}

TEST_F(LspProject, TheHundredthRunGivesWhatTheFirstGave) {
    const std::string good =
        "type t = \"INTEGER\";\ntable a { primary t id; t *n [outgoing: b]; } = { {\"1\", null} };\n"
        "table b { primary t id [incoming: a]; };\nview v = \"SELECT 1\";\n";
    const std::string broken = good + "table c { primary missing_t id; };\n";
    std::string first_model;
    std::vector<lsp_finding_t> first_findings;
    for (int i = 1; i <= 100; ++i) {
        open("main.def", i % 2 == 1 ? good : broken);
        const lsp_run_t result = lsp_project_run(&project_, path("main.def"));
        const std::vector<lsp_finding_t> findings = lsp_place_diagnostics(&project_, path("main.def"), result);
        if (i % 2 == 1) {
            ASSERT_TRUE(result.model) << i;
            if (i == 1) first_model = describe(*result.model);
            EXPECT_EQ(describe(*result.model), first_model) << i;
        } else {
            ASSERT_EQ(findings.size(), 1u) << i;
            if (i == 2) first_findings = findings;
            EXPECT_EQ(findings[0].message, first_findings[0].message) << i;
            EXPECT_EQ(findings[0].span.start, first_findings[0].span.start) << i;
            EXPECT_EQ(findings[0].span.end, first_findings[0].span.end) << i;
        }
    }
    EXPECT_EQ(first_findings[0].message, "Unable to resolve SQL type \"missing_t\"");
}

TEST_F(LspProject, HoverReadsTheLastGoodModelWithoutRunning) {
    open("main.def", "type t = \"INTEGER\";\ntable x { primary t id; };\n");
    ASSERT_TRUE(run("main.def").empty());
    // An edit that is not run yet: the model of the last run still answers.
    open("main.def", "type t = \"BIGINT\";\ntable x { primary t id; };\n");
    lsp_hover_t hover;
    ASSERT_TRUE(lsp_hover(&project_, path("main.def"), offset_of("main.def", "t id"), &hover));
    EXPECT_NE(hover.markdown.find("INTEGER"), std::string::npos) << hover.markdown;
    EXPECT_EQ(hover.markdown.find("BIGINT"), std::string::npos) << hover.markdown;
    ASSERT_TRUE(lsp_hover(&project_, path("main.def"), offset_of("main.def", "x {"), &hover));
    EXPECT_NE(hover.markdown.find("primary id INTEGER"), std::string::npos) << hover.markdown;
}

TEST_F(LspProject, AFileIncludedFromTwoRootsBelongsToBoth) {
    write("types.def", "type t = \"INTEGER\";\ntype u = $broken;\n");
    write("a.def", "include \"types.def\";\ntable a { primary t id; };\n");
    write("b.def", "/* include \"c.def\"; */\ninclude \"types.def\";\ntable b { primary t id; };\n");
    write("c.def", "type never_included = \"X\";\n");
    lsp_project_scan_workspace(&project_);
    EXPECT_EQ(lsp_project_roots(project_, path("types.def")), (std::vector<std::string>{path("a.def"), path("b.def")}));
    EXPECT_EQ(lsp_project_roots(project_, path("c.def")), std::vector<std::string>{path("c.def")});
    for (const char* root : {"a.def", "b.def"}) {
        const auto findings = run(root);
        ASSERT_EQ(findings.size(), 1u) << root;
        EXPECT_EQ(findings[0].span.path, path("types.def")) << root;
    }
    const auto uses = lsp_references(&project_, path("types.def"), offset_of("types.def", "t ="), false);
    std::set<std::string> files;
    for (const lsp_span_t& use : uses) files.insert(use.path);
    EXPECT_EQ(files, (std::set<std::string>{path("a.def"), path("b.def")}));
}

TEST(LspText, BytesThatAreNotUtf8CountAsEditorsShowThem) {
    lsp_text_t text;
    // Latin-1 "é", a three-byte sequence cut short (one character), a stray
    // continuation byte, an overlong form (two), then a valid "é" and a
    // character outside the basic plane (two units).
    lsp_text_set(&text, "a\xE9xy\xE2\x82z\x80 \xC0\xAF\xC3\xA9\xF0\x9D\x84\x9E!");
    const size_t bang = text.text.find('!');
    const lsp_position_t position = lsp_text_position(text, bang, ENCODING_UTF16);
    EXPECT_EQ(position.character, 13u);
    EXPECT_EQ(lsp_text_offset(text, position, ENCODING_UTF16), bang);
    EXPECT_EQ(lsp_text_offset(text, {0, 2}, ENCODING_UTF16), 2u);  // the "x" after the Latin-1 byte
    EXPECT_EQ(lsp_text_offset(text, {0, 5}, ENCODING_UTF16), 6u);  // the "z" after the cut sequence
}

}  // namespace
