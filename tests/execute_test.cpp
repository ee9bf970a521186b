#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "compile.hpp"
#include "execute.hpp"
#include "memory_pool.hpp"
#include "test_files.hpp"

namespace {

class ExecuteTest : public testing::Test {
protected:
    void TearDown() override {
        memory_pool_free_all();
        compile_forget_input_files();
    }

    // Compiles and runs `text`; returns the messages printed.
    std::string run(const std::string& text, int expected_result = 0) {
        const std::string path = folder_.write("main.def", text);
        testing::internal::CaptureStderr();
        EXPECT_EQ(compile_program(&program_, path.c_str()), 0);
        EXPECT_EQ(execute_program(&output_, &program_), expected_result);
        return testing::internal::GetCapturedStderr();
    }

    const char* view(const char* name) const {
        const auto* record = static_cast<const sql_value_t*>(hash_find_string(output_.views.hash, name));
        return record != nullptr ? value_slot(record, 1)->string : nullptr;
    }

    std::string at(int line) const { return " in " + folder_.path() + "/main.def:" + std::to_string(line) + "\n"; }

    TemporaryFolder folder_;
    compiled_program_t program_{};
    program_output_t output_{};
};

TEST_F(ExecuteTest, AnEmptyProgramYieldsSixEmptyCollections) {
    EXPECT_EQ(run(""), "");
    for (const sql_value_t* collection : {&output_.plsql, &output_.queries, &output_.sequences, &output_.tables,
                                          &output_.types, &output_.views}) {
        ASSERT_EQ(collection->type, VALUE_ARRAY);
        EXPECT_EQ(hash_count(collection->hash), 0u);
    }
    EXPECT_EQ(executor_globals.current, nullptr);
    EXPECT_EQ(executor_globals.symbol_table, nullptr);
}

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
              "Right side of concatenation operator does not evaluate to a string" + at(2));
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

TEST_F(ExecuteTest, EndlessRecursionStopsWithABailOut) {
    EXPECT_EQ(run("function f($x) = g($x);\nfunction g($x) = f($x . \"\");\nview v = f(\"a\");\n", -1),
              "Function calls nested deeper than 10000 levels when calling g" + at(3));
}

TEST_F(ExecuteTest, ErrorsInsideFunctionBodiesNameTheStatement) {
    EXPECT_EQ(run("function f() = array(nothing());\n\n\ntype t = f();\n", -1), "Unknown function nothing" + at(4));
}

}  // namespace
