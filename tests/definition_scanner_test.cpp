#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "compile.hpp"
#include "definition_scanner.hpp"
#include "exception.hpp"
#include "memory_pool.hpp"
#include "test_files.hpp"

namespace {

using Tokens = std::vector<std::string>;

// Scans a text as the definition file "test.def" and describes each token:
// its code or kind, its value, and the line the value node was stamped with.
// The file is the one being compiled, so that a scan error is located in it.
class DefinitionScannerTest : public testing::Test {
protected:
    void SetUp() override {
        file_ = {"test.def", nullptr, 1, nullptr, 0, 0, 1, nullptr};
        compiler_globals.file = &file_;
    }
    void TearDown() override {
        compiler_globals.file = nullptr;
        memory_pool_free_all();
    }

    Tokens scan(const std::string& text) {
        FILE* in = file_with(text);
        Tokens tokens = scan_stream(in);
        fclose(in);
        return tokens;
    }

    // The text comes through a pipe, which tells no size: the scanner's
    // buffer grows as it reads. A child process writes it.
    Tokens scan_piped(const std::string& text) {
        TemporaryFolder folder;
        const std::string path = folder.write("piped.def", text);
        FILE* in = popen(("cat '" + path + "'").c_str(), "r");
        EXPECT_NE(in, nullptr);
        Tokens tokens = scan_stream(in);
        pclose(in);
        return tokens;
    }

    // Each token described with its node, or by its code alone when the scan
    // makes no nodes (as a tool that only places tokens reads them).
    Tokens scan_stream(FILE* in) {
        codes_.clear();
        def_scanner_t* scanner = nullptr;
        EXPECT_EQ(deflex_init(&scanner), 0);
        defset_in(in, scanner);
        defset_pathname(file_.pathname, scanner);
        file_.scanner = scanner;
        Tokens tokens;
        try {
            for (;;) {
                sql_node_t value{};
                const int token = deflex(without_values_ ? nullptr : &value, scanner);
                if (token == 0) break;
                codes_.push_back(token);
                tokens.push_back(without_values_ ? std::to_string(token) : describe(token, value));
            }
        } catch (const bailout_exception&) {
            codes_.push_back(-1);
            tokens.push_back("bailout");
        }
        file_.scanner = nullptr;
        deflex_destroy(scanner);
        return tokens;
    }

    std::string error_of(const std::string& text) {
        testing::internal::CaptureStderr();
        const Tokens tokens = scan(text);
        const std::string message = testing::internal::GetCapturedStderr();
        EXPECT_EQ(tokens.back(), "bailout");
        return message;
    }

    static std::string describe(int token, const sql_node_t& value) {
        const std::string at = "@" + std::to_string(value.line);
        switch (token) {
        case T_INTEGER: return "int " + std::to_string(value.value.integer) + at;
        case T_LABEL: return "label " + std::string(value.value.string) + at;
        case T_NULL: return "null" + at;
        case T_STRING: return "string " + std::string(value.value.string) + at;
        case T_VARIABLE: return "var " + std::string(value.variable) + at;
        case T_TABLE: return "table";
        case T_FUNCTION: return "function";
        default: return token < 256 ? std::string(1, static_cast<char>(token)) : "kw" + std::to_string(token);
        }
    }

    compiled_file_t file_{};
    bool without_values_ = false;
    std::vector<int> codes_;  // of the last scan, -1 for a bail-out
};

TEST_F(DefinitionScannerTest, TokensSplitWhereTheirPatternsEndAndKeywordsAreLowerCaseWholeWords) {
    EXPECT_EQ(scan("Table NULL functions null nullable table function _x1"),
              (Tokens{"label Table@1", "label NULL@1", "label functions@1", "null@1", "label nullable@1", "table",
                      "function", "label _x1@1"}));
    EXPECT_EQ(scan("1x x$y 0012 99999999999 2147483647"), (Tokens{"int 1@1", "label x@1", "label x@1", "var y@1",
                                                                  "int 12@1", "int 2147483647@1", "int 2147483647@1"}));
    // Each keyword's length and first letter, another last letter: labels.
    EXPECT_EQ(scan("nulL typE vieW indeX plsqL querY tablE includE primarY functioN incominG outgoinG sequencE "
                   "volatilE"),
              (Tokens{"label nulL@1", "label typE@1", "label vieW@1", "label indeX@1", "label plsqL@1", "label querY@1",
                      "label tablE@1", "label includE@1", "label primarY@1", "label functioN@1", "label incominG@1",
                      "label outgoinG@1", "label sequencE@1", "label volatilE@1"}));
    EXPECT_EQ(scan("(),.:;=[]{}*"), (Tokens{"(", ")", ",", ".", ":", ";", "=", "[", "]", "{", "}", "*"}));
}

TEST_F(DefinitionScannerTest, StringsAreDecodedAndStampedWithTheClosingQuoteLine) {
    EXPECT_EQ(scan("\"a\\tb\" \"\\\"\" \"one\ntwo\nthree\" x"),
              (Tokens{"string a\tb@1", "string \"@1", "string one\ntwo\nthree@3", "label x@3"}));
}

TEST_F(DefinitionScannerTest, CommentStarsPairFromTheLeft) {
    EXPECT_EQ(scan("/* a **/ b */ x"), (Tokens{"label x@1"}));
    EXPECT_EQ(scan("/**/x"), (Tokens{"label x@1"}));
    EXPECT_EQ(scan("/***/ y */ z"), (Tokens{"label z@1"}));
    EXPECT_EQ(scan("/* x ***/ w"), (Tokens{"label w@1"}));
    EXPECT_EQ(scan("/*\n\n*/ v"), (Tokens{"label v@3"}));
}

TEST_F(DefinitionScannerTest, LineBreaksCountCarriageReturnLineFeedOnce) {
    EXPECT_EQ(scan("a\r\nb\n\rc\r\r\nd\re"), (Tokens{"label a@1", "label b@2", "label c@4", "label d@6", "label e@7"}));
}

// A stream that cannot be read (here a folder) is a fatal error: its message,
// and the phase ends.
TEST_F(DefinitionScannerTest, AStreamThatFailsToReadIsAFatalError) {
    const TemporaryFolder folder;
    FILE* in = fopen(folder.path().c_str(), "r");
    ASSERT_NE(in, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(scan_stream(in), Tokens{"bailout"});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "input in flex scanner failed\n");
    fclose(in);
}

// Large inputs (over 2 MB), from a file of known size and from a pipe, are
// read whole: the last tokens come out with their lines.
TEST_F(DefinitionScannerTest, LargeInputsAreReadWholeFromFilesAndPipes) {
    std::string text;
    for (int line = 0; line < 80000; ++line) text += "table t" + std::to_string(line) + " /* padding */\n";
    text += "last";
    for (const Tokens& tokens : {scan(text), scan_piped(text)}) {
        ASSERT_EQ(tokens.size(), 160001u);
        EXPECT_EQ(tokens[159999], "label t79999@80000");
        EXPECT_EQ(tokens.back(), "label last@80001");
    }
}

// The text is read in parts of 64 KiB, then 128 KiB and so on: a token that
// a part boundary cuts comes out whole, from a file and from a pipe alike.
TEST_F(DefinitionScannerTest, TokensCutByTheEndOfAReadPartComeOutWhole) {
    const std::vector<std::pair<std::string, Tokens>> cases = {
        {"12345 ", {"int 12345@1"}},        {"label ", {"label label@1"}},      {"$name ", {"var name@1"}},
        {"\"a\\\"b\" ", {"string a\"b@1"}}, {"/* comment */x ", {"label x@1"}}, {"\r\nx ", {"label x@2"}},
    };
    for (const size_t boundary : {size_t{64} * 1024, size_t{128} * 1024}) {
        for (const auto& [token, expected] : cases) {
            for (size_t cut = 0; cut < token.size(); ++cut) {
                const std::string text = std::string(boundary - cut, ' ') + token + "end";
                Tokens want = expected;
                want.push_back("label end@" + std::to_string(token[0] == '\r' ? 2 : 1));
                EXPECT_EQ(scan(text), want) << "boundary " << boundary << ", cut " << cut << " of " << token;
                EXPECT_EQ(scan_piped(text), want) << "piped, boundary " << boundary << ", cut " << cut;
            }
        }
    }
}

// An error near the start of a large file is reported without reading on.
TEST_F(DefinitionScannerTest, AnEarlyErrorStopsTheReading) {
    const TemporaryFolder folder;
    const std::string path = folder.write("large.def", "x @" + std::string(4 * 1024 * 1024, ' '));
    FILE* in = fopen(path.c_str(), "r");
    ASSERT_NE(in, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(scan_stream(in), (Tokens{"label x@1", "bailout"}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unexpected character \"@\" in test.def:1\n");
    EXPECT_LT(lseek(fileno(in), 0, SEEK_CUR), 1024 * 1024);  // the scanner reads the descriptor
    fclose(in);
}

// Scanner errors in whole programs are golden cases; these are the ones they
// leave out.
TEST_F(DefinitionScannerTest, ErrorsBailOutAtTheirLine) {
    EXPECT_EQ(error_of("x\n$1"), "Unexpected character \"$\" in test.def:2\n");
    EXPECT_EQ(error_of("\"never closed"), "Unexpected character \"\"\" in test.def:1\n");
    // Before a carriage return the string pattern matches but the escape is bad.
    EXPECT_EQ(error_of("\"ab\\\rcd\""), "Unexpected escaped character at offset 3 in test.def:2\n");
    EXPECT_EQ(error_of("\"\\x41\""), "Unexpected escaped character at offset 1 in test.def:1\n");
    EXPECT_EQ(error_of(std::string("\"a\0b\"", 5)), "Unexpected NUL character in a string literal in test.def:1\n");
    // Escaped, a NUL is still a NUL, not a bad escape.
    EXPECT_EQ(error_of(std::string("\"a\\\0b\"", 6)), "Unexpected NUL character in a string literal in test.def:1\n");
    // Inside a comment a NUL byte is harmless and skipped.
    EXPECT_EQ(scan(std::string("/*\0*/ a", 7)), (Tokens{"label a@1"}));
}

// Without nodes the scanner matches and checks the same tokens: the same
// codes, and the same errors at the same places.
TEST_F(DefinitionScannerTest, WithoutValuesTheSameTokensAndErrors) {
    const std::string texts[] = {"table t { primary id_t id; } = { { \"a\\tb\", null } };\n$v . 12 /* x */ \"1\n2\"",
                                 "x\n$1", "\"ab\\\rcd\"", std::string("\"a\0b\"", 5)};
    for (const std::string& text : texts) {
        scan(text);
        const std::vector<int> with_values = codes_;
        const bool failed = !with_values.empty() && with_values.back() == -1;
        const std::string message = failed ? error_of(text) : "";
        without_values_ = true;
        scan(text);
        EXPECT_EQ(codes_, with_values) << text;
        if (failed) {
            EXPECT_EQ(error_of(text), message);
        }
        without_values_ = false;
    }
}

}  // namespace
