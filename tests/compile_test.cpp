#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "compile.hpp"
#include "exception.hpp"
#include "memory_pool.hpp"
#include "test_files.hpp"

namespace {

class CompileTest : public testing::Test {
protected:
    void TearDown() override {
        memory_pool_free_all();
        compile_forget_input_files();
    }

    // Compiles `name` of the folder; returns the messages printed.
    std::string compile(const std::string& name, int expected_result = 0) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(compile_program(&program_, (folder_.path() + "/" + name).c_str()), expected_result);
        return testing::internal::GetCapturedStderr();
    }

    // The first argument (the declared name) of each statement, in order.
    std::string statement_names() const {
        std::string names;
        for (hash_iterator_t it = program_.code.first_in_list; it != nullptr; it = it->next_in_list) {
            const auto* call = static_cast<const sql_node_t*>(hash_item_data(it));
            const auto* name = static_cast<const sql_node_t*>(hash_find_integer(call->op.op2->hash, 0));
            names += std::string(names.empty() ? "" : " ") + name->value.string;
        }
        return names;
    }

    TemporaryFolder folder_;
    compiled_program_t program_{};
};

TEST_F(CompileTest, IncludedStatementsTakeThePlaceOfTheInclude) {
    folder_.write("main.def", "type a = \"1\";\ninclude \"sub/b.def\";\ntype d = \"4\";\n");
    folder_.write("sub/b.def", "type b = \"2\";\ninclude \"..\\\\c.def\";\n");
    folder_.write("c.def", "type c = \"3\";\n");
    EXPECT_EQ(compile("main.def"), "");
    EXPECT_EQ(statement_names(), "a b c d");
    // Every file keeps the text it was resolved to, ".." included.
    EXPECT_NE(hash_find_string(&program_.pathnames, (folder_.path() + "/sub/../c.def").c_str()), nullptr);
    EXPECT_EQ(hash_count(&program_.pathnames), 3u);
    EXPECT_EQ(compiler_globals.file, nullptr);
    EXPECT_EQ(compiler_globals.program, nullptr);
}

TEST_F(CompileTest, RelativeInputIsResolvedAgainstTheWorkingDirectory) {
    folder_.write("defs/main.def", "type a = \"1\";\n");
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(folder_.path().c_str()), 0);
    testing::internal::CaptureStderr();
    const int result = compile_program(&program_, "defs/main.def");
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_EQ(result, 0);
    const auto* statement = static_cast<const sql_node_t*>(hash_find_integer(&program_.code, 0));
    char resolved[4096];
    ASSERT_NE(realpath(folder_.path().c_str(), resolved), nullptr);
    EXPECT_EQ(std::string(statement->pathname), std::string(resolved) + "/defs/main.def");
}

TEST_F(CompileTest, AFileIncludedTwiceIsCompiledTwiceWithOnePathText) {
    folder_.write("main.def", "include \"t.def\";\ninclude \"t.def\";\n");
    folder_.write("t.def", "type t = \"1\";\n");
    EXPECT_EQ(compile("main.def"), "");
    EXPECT_EQ(statement_names(), "t t");
    const auto* first = static_cast<const sql_node_t*>(hash_find_integer(&program_.code, 0));
    const auto* second = static_cast<const sql_node_t*>(hash_find_integer(&program_.code, 1));
    EXPECT_EQ(first->pathname, second->pathname);
}

TEST_F(CompileTest, FunctionRedefinedInAnotherFileNamesTheFirstDefinition) {
    folder_.write("main.def", "include \"f.def\";\n\nfunction f() =\n  \"y\";\n");
    folder_.write("f.def", "\nfunction f() = \"x\";\n");
    const std::string main = folder_.path() + "/main.def";
    EXPECT_EQ(compile("main.def", -1), "Redefinition of user function \"f\" already defined in " + folder_.path() +
                                           "/f.def:2 in " + main + ":4\n");
}

TEST_F(CompileTest, OpenFailuresOfTheInputFileHaveNoLocation) {
    EXPECT_EQ(compile("missing.def", -1),
              "Failed to open compiled file \"" + folder_.path() + "/missing.def\": 2(No such file or directory)\n");
    folder_.write("dir/x.def", "");
    EXPECT_EQ(compile("dir", -1),
              "Failed to open compiled file \"" + folder_.path() + "/dir\": 21(Is a directory)\n");
}

TEST_F(CompileTest, IncludeCyclesEndAtTheIncludeStatement) {
    folder_.write("a.def", "type a = \"1\";\ninclude \"./b.def\";\n");
    folder_.write("b.def", "\n\ninclude \"a.def\";\n");
    // The file is recognised as itself although its path text differs.
    EXPECT_EQ(compile("a.def", -1), "Include cycle: \"" + folder_.path() + "/./a.def\" is already being compiled in " +
                                        folder_.path() + "/./b.def:3\n");
}

TEST_F(CompileTest, LongIncludeChainsEndInABailOut) {
    const unsigned files = COMPILE_MAX_INCLUDE_DEPTH + 5;
    for (unsigned i = 0; i < files; ++i) {
        folder_.write("f" + std::to_string(i) + ".def", "include \"f" + std::to_string(i + 1) + ".def\";\n");
    }
    folder_.write("f" + std::to_string(files) + ".def", "");
    const std::string last = "f" + std::to_string(COMPILE_MAX_INCLUDE_DEPTH);
    EXPECT_EQ(compile("f0.def", -1), "Includes nested deeper than 200 files at \"" + folder_.path() + "/" + last +
                                         ".def\" in " + folder_.path() + "/f199.def:1\n");
}

TEST_F(CompileTest, IncludedFileErrorsNameTheIncludedFile) {
    folder_.write("main.def", "type a = \"1\";\ninclude \"bad.def\";\n");
    folder_.write("bad.def", "type b =\n\"x\"\n");
    EXPECT_EQ(compile("main.def", -1),
              "syntax error, unexpected $end, expecting '.' or ';' in " + folder_.path() + "/bad.def:3\n");
}

TEST_F(CompileTest, BailOutWithoutACurrentFileEndsWithABareNewline) {
    testing::internal::CaptureStderr();
    EXPECT_THROW(compile_bailout("Something %s", "failed"), bailout_exception);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Something failed\n");
}

}  // namespace
