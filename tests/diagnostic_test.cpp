#include "diagnostic.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "schema_model.hpp"
#include "test_files.hpp"

namespace {

TEST(DiagnosticText, ErrorsWarningsAndMessagesWithoutPlace) {
    diagnostic_t error;
    error.message = "Unknown function foo";
    error.file = "/defs/main.def";
    error.line = 12;
    EXPECT_EQ(diagnostic_text(error), "Unknown function foo in /defs/main.def:12");
    diagnostic_t warning = error;
    warning.severity = SEVERITY_WARNING;
    EXPECT_EQ(diagnostic_text(warning), "Warning: Unknown function foo in /defs/main.def:12");
    diagnostic_t bare;
    bare.message = "Failed to get current working directory";
    EXPECT_EQ(diagnostic_text(bare), "Failed to get current working directory");
}

// A run's errors reach the sink its caller gave, as records, and nothing
// reaches standard error.
class DiagnosticSinkTest : public testing::Test {
protected:
    int load(const std::string& text) {
        const std::string input = folder_.write("main.def", text);
        testing::internal::CaptureStderr();
        schema_t model;
        const int result = schema_model_load(&model, input.c_str(),
                                             [this](const diagnostic_t& diagnostic) { seen_.push_back(diagnostic); });
        stderr_ = testing::internal::GetCapturedStderr();
        return result;
    }
    std::string main_def() const { return folder_.path() + "/main.def"; }

    TemporaryFolder folder_;
    std::vector<diagnostic_t> seen_;
    std::string stderr_;
};

TEST_F(DiagnosticSinkTest, AScannerErrorCarriesItsLineAndColumns) {
    EXPECT_EQ(load("type t = \"INTEGER\";\ntype u = $1;\n"), -1);
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].severity, SEVERITY_ERROR);
    EXPECT_EQ(seen_[0].message, "Unexpected character \"$\"");
    EXPECT_EQ(seen_[0].file, main_def());
    EXPECT_EQ(seen_[0].line, 2u);
    EXPECT_EQ(seen_[0].column_start, 9u);
    EXPECT_EQ(seen_[0].column_end, 10u);
    EXPECT_EQ(stderr_, "");
}

TEST_F(DiagnosticSinkTest, ASyntaxErrorPointsAtTheUnexpectedTokenAfterAMultiLineComment) {
    EXPECT_EQ(load("/* one\ntwo */ table = ;\n"), -1);
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].line, 2u);
    EXPECT_EQ(seen_[0].column_start, 13u);
    EXPECT_EQ(seen_[0].column_end, 14u);
}

TEST_F(DiagnosticSinkTest, ARunTimeErrorNamesItsStatementWithoutColumns) {
    EXPECT_EQ(load("type t = \"INTEGER\";\nview v =\n foo();\n"), -1);
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].message, "Unknown function foo");
    EXPECT_EQ(seen_[0].line, 3u);
    EXPECT_EQ(seen_[0].column_end, 0u);
    EXPECT_EQ(stderr_, "");
}

// The fix-up reports at the last statement; the record names what is missing
// so that a tool can point at its uses without reading the message.
TEST_F(DiagnosticSinkTest, AFixUpErrorNamesTheMissingTypeOrTable) {
    const struct {
        const char* text;
        diagnostic_subject_t kind;
        const char* subject;
    } cases[] = {
        {"table t { primary id_t id; };\ntype int_t = \"INTEGER\";\n", SUBJECT_TYPE, "id_t"},
        {"type id_t = \"INTEGER\";\ntable t { primary id_t id; id_t g [outgoing: nowhere]; };\n", SUBJECT_TABLE,
         "nowhere"},
        {"view v = foo();\n", SUBJECT_NONE, ""},
    };
    for (const auto& c : cases) {
        seen_.clear();
        EXPECT_EQ(load(c.text), -1) << c.text;
        ASSERT_EQ(seen_.size(), 1u) << c.text;
        EXPECT_EQ(seen_[0].subject_kind, c.kind) << c.text;
        EXPECT_EQ(seen_[0].subject, c.subject) << c.text;
    }
}

TEST(DiagnosticSinkScope, ScopesNestAndTheEarlierSinkComesBack) {
    std::vector<std::string> outer;
    std::vector<std::string> inner;
    {
        const diagnostic_sink_scope_t outer_scope([&](const diagnostic_t& d) { outer.push_back(diagnostic_text(d)); });
        {
            const diagnostic_sink_scope_t inner_scope(
                [&](const diagnostic_t& d) { inner.push_back(diagnostic_text(d)); });
            diagnostic_warn("a.def", 3, "first");
        }
        diagnostic_warn(nullptr, 0, "second");
    }
    EXPECT_EQ(inner, std::vector<std::string>{"Warning: first in a.def:3"});
    EXPECT_EQ(outer, std::vector<std::string>{"Warning: second"});
    testing::internal::CaptureStderr();
    diagnostic_warn("b.def", 1, "printed");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Warning: printed in b.def:1\n");
}

}  // namespace
