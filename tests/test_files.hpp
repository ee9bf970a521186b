// Temporary files for tests that read them, and a fixture that compiles
// definition files written to a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "builtin.hpp"
#include "compile.hpp"
#include "input_file.hpp"
#include "memory_pool.hpp"

class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tabula-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TemporaryFolder() { std::filesystem::remove_all(path_); }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    // Writes `text` to `name` (relative to the folder) and returns its path.
    std::string write(const std::string& name, const std::string& text) const {
        const std::filesystem::path file = path_ / name;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
        return file.string();
    }
    std::string path() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

// An anonymous temporary file holding `contents`, ready to be read.
inline FILE* file_with(const std::string& contents) {
    FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    std::fwrite(contents.data(), 1, contents.size(), file);
    std::rewind(file);
    return file;
}

// Compiles files of a temporary folder into program_. Emptying the pool after
// each test releases whatever the compilations left.
class ProgramTest : public testing::Test {
protected:
    void TearDown() override {
        memory_pool_free_all();
        input_file_forget_all();
    }

    std::string path(const std::string& name) const { return folder_.path() + "/" + name; }

    // Compiles the folder's file `name`; returns what went to standard error
    // and keeps the result in result_.
    std::string compile_file(const std::string& name) {
        testing::internal::CaptureStderr();
        result_ = compile_program(&program_, path(name).c_str(), handlers_builtin, COMPILE_TABLE_LINES);
        return testing::internal::GetCapturedStderr();
    }
    // Compiles main.def holding `text`.
    std::string compile(const std::string& text) {
        folder_.write("main.def", text);
        return compile_file("main.def");
    }

    const sql_node_t* statement(int32_t index) const {
        return static_cast<const sql_node_t*>(hash_find_integer(&program_.code, index));
    }
    // "message in FILE:LINE\n" for a file of the folder.
    std::string error(const std::string& message, unsigned line, const std::string& file = "main.def") const {
        return message + " in " + path(file) + ":" + std::to_string(line) + "\n";
    }

    TemporaryFolder folder_;
    compiled_program_t program_{};
    int result_ = 0;
};
