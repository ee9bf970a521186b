#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "compile.hpp"
#include "input_file.hpp"
#include "test_files.hpp"

namespace {

class CompileTest : public ProgramTest {
protected:
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
};

TEST_F(CompileTest, IncludedStatementsTakeThePlaceOfTheInclude) {
    folder_.write("sub/b.def", "type b = \"2\";\ninclude \"..\\\\c.def\";\n");
    folder_.write("c.def", "type c = \"3\";\n");
    EXPECT_EQ(compile("type a = \"1\";\ninclude \"sub/b.def\";\ntype d = \"4\";\n"), "");
    EXPECT_EQ(statement_names(), "a b c d");
    // Every file keeps the text it was resolved to, ".." included.
    EXPECT_NE(hash_find_string(&program_.pathnames, path("sub/../c.def").c_str()), nullptr);
    EXPECT_EQ(hash_count(&program_.pathnames), 3u);
    EXPECT_EQ(compiler_globals.file, nullptr);
    EXPECT_EQ(compiler_globals.program, nullptr);
}

TEST_F(CompileTest, AFileIncludedTwiceIsCompiledTwiceWithOnePathText) {
    folder_.write("t.def", "type t = \"1\";\n");
    EXPECT_EQ(compile("include \"t.def\";\ninclude \"t.def\";\n"), "");
    EXPECT_EQ(statement_names(), "t t");
    EXPECT_EQ(statement(0)->pathname, statement(1)->pathname);
}

TEST_F(CompileTest, FunctionRedefinedInAnotherFileNamesTheFirstDefinition) {
    folder_.write("f.def", "\nfunction f() = \"x\";\n");
    EXPECT_EQ(compile("include \"f.def\";\n\nfunction f() =\n  \"y\";\n"),
              error("Redefinition of user function \"f\" already defined in " + path("f.def") + ":2", 4));
}

TEST_F(CompileTest, LongIncludeChainsEndInABailOut) {
    const unsigned files = COMPILE_MAX_INCLUDE_DEPTH + 5;
    for (unsigned i = 0; i < files; ++i) {
        folder_.write("f" + std::to_string(i) + ".def", "include \"f" + std::to_string(i + 1) + ".def\";\n");
    }
    folder_.write("f" + std::to_string(files) + ".def", "");
    const std::string last = "f" + std::to_string(COMPILE_MAX_INCLUDE_DEPTH) + ".def";
    EXPECT_EQ(compile_file("f0.def"),
              error("Includes nested deeper than 200 files at \"" + path(last) + "\"", 1, "f199.def"));
    EXPECT_EQ(result_, -1);
}

// A FIFO without a writer would block a plain open, and a device such as
// /dev/zero never ends: both are refused at once. The stream of a regular
// file reads in the usual blocking mode.
TEST(CompileNamedFiles, OnlyRegularFilesOpenAndNothingBlocks) {
    TemporaryFolder folder;
    const std::string fifo = folder.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct stat status {};
    int error = 0;
    for (const std::string& name : {fifo, std::string("/dev/zero"), std::string("/dev/null")}) {
        EXPECT_EQ(input_file_open_named(name.c_str(), &status, &error), nullptr) << name;
        EXPECT_EQ(error, INPUT_NOT_REGULAR) << name;
    }
    EXPECT_EQ(input_file_open_named(folder.path().c_str(), &status, &error), nullptr);
    EXPECT_EQ(error, EISDIR);
    EXPECT_EQ(input_file_open_named((folder.path() + "/missing").c_str(), &status, &error), nullptr);
    EXPECT_EQ(error, ENOENT);

    const std::string regular = folder.write("rows.init", "\"1\"\n");
    FILE* file = input_file_open_named(regular.c_str(), &status, &error);
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(fcntl(fileno(file), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(std::fgetc(file), '"');
    EXPECT_TRUE(input_file_was_read(status.st_dev, status.st_ino));
    std::fclose(file);
    input_file_forget_all();
}

}  // namespace
