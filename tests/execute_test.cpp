#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "execute.hpp"
#include "test_files.hpp"

namespace {

class ExecuteTest : public ProgramTest {
protected:
    // Compiles and runs `text`; returns the messages printed.
    std::string run(const std::string& text, int expected_result = 0) {
        EXPECT_EQ(compile(text), "");
        testing::internal::CaptureStderr();
        EXPECT_EQ(execute_program(&output_, &program_), expected_result);
        return testing::internal::GetCapturedStderr();
    }

    const char* view(const char* name) const {
        const auto* record = static_cast<const sql_value_t*>(hash_find_string(output_.views.hash, name));
        return record != nullptr ? value_slot(record, 1)->string : nullptr;
    }

    program_output_t output_{};
};

TEST_F(ExecuteTest, UserFunctionsBindParametersAndMayBeDefinedLater) {
    EXPECT_EQ(run("view v = wrap(\"a\", \"b\");\n"
                  "function wrap($x, $y) = \"[\" . join($y, $x) . \"]\";\n"
                  "function join($x, $y) = $x . \",\" . $y;\n"),
              "");
    EXPECT_STREQ(view("v"), "[b,a]");
}

TEST_F(ExecuteTest, ConcatenationOperandsAreEvaluatedLeftToRight) {
    // The right operand "1" fails before the later unknown call is reached.
    EXPECT_EQ(run("\nview v = \"a\" . 1 . nothing();\n", -1),
              error("Right side of concatenation operator does not evaluate to a string", 2));
    EXPECT_EQ(run("view v = \"\" . \"\";\n"), "");
    EXPECT_STREQ(view("v"), "");
}

TEST_F(ExecuteTest, AMillionTermConcatenationNeitherRecursesNorCopiesQuadratically) {
    std::string text = "view v = \"x\"";
    text.reserve(6'000'000);
    for (int i = 1; i < 1'000'000; ++i) text += " . \"x\"";
    EXPECT_EQ(run(text + ";\n"), "");
    ASSERT_NE(view("v"), nullptr);
    EXPECT_EQ(std::strlen(view("v")), 1'000'000u);
}

TEST_F(ExecuteTest, DeeplyNestedCallsWithinTheParserLimitEvaluate) {
    std::string text = "view v = ";
    for (int i = 0; i < 3000; ++i) text += "id(";
    text += "\"x\"";
    for (int i = 0; i < 3000; ++i) text += ")";
    EXPECT_EQ(run("function id($x) = $x;\n" + text + ";\n"), "");
    EXPECT_STREQ(view("v"), "x");
}

}  // namespace
