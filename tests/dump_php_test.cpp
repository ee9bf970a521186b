// The escaping printf and the PHP definitions writer, checked on whole files.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "dump_php.hpp"
#include "test_values.hpp"

namespace {

struct written_t {
    std::string text;
    int writes = 0;
};

ssize_t record_write(void* cookie, const char* data, size_t size) {
    auto* written = static_cast<written_t*>(cookie);
    written->text.append(data, size);
    ++written->writes;
    return static_cast<ssize_t>(size);
}

// What `write` writes to an unbuffered stream, and in how many writes.
written_t capture(const std::function<void(FILE*)>& write) {
    written_t written;
    FILE* file = fopencookie(&written, "w", {nullptr, record_write, nullptr, nullptr});
    setvbuf(file, nullptr, _IONBF, 0);
    try {
        write(file);
    } catch (...) {
        fclose(file);
        throw;
    }
    fclose(file);
    return written;
}

// What php_printf writes, checked to come in one write.
template <typename... Args>
std::string printed(const char* format, Args... args) {
    const written_t written = capture([&](FILE* file) { php_printf(file, format, args...); });
    EXPECT_EQ(written.writes, written.text.empty() ? 0 : 1) << format;
    return written.text;
}

TEST(PhpPrintf, EscapesOnlyWhatEndsOrInterpolatesAStringAndWritesAllAtOnce) {
    EXPECT_EQ(printed("%p", "a\"b$c\\d{$x}"), "a\\\"b\\$c\\\\d{\\$x}");
    EXPECT_EQ(printed("%p", "it's\ta\nb\r\x01\x80\xff"), "it's\ta\nb\r\x01\x80\xff");
    EXPECT_EQ(printed("%p", "\\\\$$\"\""), "\\\\\\\\\\$\\$\\\"\\\"");
    // %s copies verbatim, even the bytes %p would escape, and never re-expands.
    EXPECT_EQ(printed("[%s][%p][%s]", "a\"$\\%p", "", ""), "[a\"$\\%p][][]");
    EXPECT_EQ(printed("%l %l %l %l", -5, 0, INT_MAX, INT_MIN), "-5 0 2147483647 -2147483648");
    EXPECT_EQ(printed("100%% %%p%%"), "100% %p%");
    EXPECT_EQ(printed("\t\"%p\" => %l%s!\n", "n$", 7, ","), "\t\"n\\$\" => 7,!\n");
    EXPECT_EQ(printed(""), "");
    // An expansion longer than the first buffer.
    std::string value;
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        value += "ab$";
        expected += "ab\\$";
    }
    EXPECT_EQ(printed("<%p>", value.c_str()), "<" + expected + ">");
    // Every escaped byte at every place of texts up to three 8-byte words
    // long, next to bytes one away from them.
    for (const char special : {'\\', '"', '$'}) {
        for (size_t length = 1; length <= 24; ++length) {
            for (size_t at = 0; at < length; ++at) {
                std::string text(length, static_cast<char>(special + 1));
                text[at] = special;
                std::string escaped = text;
                escaped.insert(at, 1, '\\');
                ASSERT_EQ(printed("%p", text.c_str()), escaped) << "length " << length << " at " << at;
            }
        }
    }
}

// Files a record in a collection under its name, as the built-ins do.
void file_record(sql_value_t* collection, sql_value_t record) {
    const char* name = value_slot(&record, 0)->string;
    ASSERT_EQ(_hash_add_string(collection->hash, name, &record, sizeof record, nullptr), 0);
}

struct OutputFixture : ::testing::Test {
    program_output_t output;

    void SetUp() override { output_init(&output); }
    void TearDown() override { program_output_shutdown(&output); }
    std::string written() {
        return capture([this](FILE* f) { dump_php_code(f, &output); }).text;
    }
};

// The bytes of a file.
std::string contents_of(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    EXPECT_TRUE(file.good()) << path;
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST_F(OutputFixture, CompleteSampleWithoutTheTypes) {
    file_record(&output.types, list({text("id_t"), text("integer")}));
    file_record(
        &output.plsql,
        list({text("user_name"), list({text("varchar(64)"), number(0)}), list({list({text("p_id"), text("integer")})}),
              list({list({text("v_name"), text("varchar(64)")})}),
              text("BEGIN\n  SELECT name INTO v_name FROM users WHERE id = $1;\n  RETURN v_name;\nEND;")}));
    file_record(
        &output.queries,
        list({text("user_by_id"),
              list({list({number(1), text("SELECT id, name FROM users WHERE id = ")}), list({number(2), number(1)}),
                    list({number(1), text(" ORDER BY ")}), list({number(3), number(2)})}),
              list({text("integer"), text("varchar(64)")})}));
    file_record(&output.queries, list({text("all_orders"), list({list({number(1), text("SELECT id FROM orders")})}),
                                       list({text("integer")})}));
    file_record(&output.sequences, list({text("users_id_seq"), number(1)}));
    file_record(&output.sequences, list({text("orders_id_seq"), number(1000)}));
    file_record(&output.tables,
                list({text("users"), number(0),
                      list({field("id", "integer", 0, OPTIMIZE_PRIMARY, list({link("orders", DIRECTION_INCOMING)})),
                            field("name", "varchar(64)", 1, OPTIMIZE_INDEX)}),
                      list({list({text("1"), text("admin")}), list({text("2"), null()})})}));
    file_record(&output.tables,
                list({text("orders"), number(1),
                      list({field("id", "integer", 0, OPTIMIZE_PRIMARY),
                            field("user_id", "integer", 0, OPTIMIZE_INDEX, list({link("users", DIRECTION_OUTGOING)}))}),
                      list({})}));
    file_record(&output.views, list({text("named_users"), text("SELECT * FROM users WHERE name IS NOT NULL")}));

    // The records the built-ins and the fix-up make of golden/sample_output.
    const std::string expected = contents_of(TABULA_GOLDEN_DIR "/sample_output/expected.php");
    EXPECT_EQ(written(), expected);
}

TEST_F(OutputFixture, EmptyListsSetofAndAPrimaryKeyAfterOtherFields) {
    file_record(&output.plsql, list({text("f"), list({text("t"), number(1)}), list({}), list({}), text("")}));
    file_record(&output.queries, list({text("q"), list({}), list({})}));
    file_record(
        &output.tables,
        list({text("t"), number(0),
              list({field("a", "integer", 0, OPTIMIZE_INDEX), field("b", "integer", 0, OPTIMIZE_PRIMARY)}), list({})}));
    const std::string php = written();
    for (const char* part :
         {"\"setof\" => true\n\t\t),\n\t\t\"args\" => array (\n\t\t),\n"
          "\t\t\"locals\" => array (\n\t\t),\n",
          "\"pieces\" => array (\n\t\t),\n\t\t\"fields\" => array ()\n", "\t\t\"primary\" => \"b\",\n"}) {
        EXPECT_NE(php.find(part), std::string::npos) << part;
    }
}

// A file many times the writer's buffer comes out whole, each byte once, in
// writes of the buffer's size.
TEST_F(OutputFixture, AFileLargerThanTheWriteBufferComesOutWholeInLargeWrites) {
    const int count = 4000;
    std::string views = "$this->views = array (\n";
    for (int i = 0; i < count; ++i) {
        const std::string name = "view_" + std::to_string(i);
        const std::string definition = "SELECT " + std::to_string(i) + " FROM a_table_with_a_rather_long_name";
        file_record(&output.views, list({text(name.c_str()), text(definition.c_str())}));
        views += "\t\"" + name + "\" => \"" + definition + "\"" + (i + 1 < count ? "," : "") + "\n";
    }
    const written_t written = capture([this](FILE* f) { dump_php_code(f, &output); });
    ASSERT_GT(written.text.size(), 4 * 64 * 1024u);
    const size_t at = written.text.find("$this->views = array (\n");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(written.text.substr(at), views + ");\n?>\n");
    EXPECT_LE(written.writes, static_cast<int>(written.text.size() / (64 * 1024)) + 1);
}

TEST_F(OutputFixture, BrokenRecordsAndBadDirectivesAreFatalErrors) {
    EXPECT_TRUE(fatal_error_matches([&] { php_printf(stdout, "abc%"); }, "Premature end of printf expansion"));
    EXPECT_TRUE(fatal_error_matches([&] { php_printf(stdout, "ok %x", 1); }, "Unknown printf expansion"));
    auto is_fatal = [this](sql_value_t* collection, sql_value_t record, const char* message) {
        file_record(collection, record);
        EXPECT_TRUE(fatal_error_matches([this] { written(); }, message));
        TearDown();
        SetUp();
    };
    is_fatal(&output.queries, list({text("q"), list({list({number(4), number(0)})}), list({})}),
             "Unexpected query piece type \"4\"");
    is_fatal(
        &output.tables,
        list({text("t"), number(0), list({field("id", "integer", 0, OPTIMIZE_PRIMARY)}), list({list({number(1)})})}),
        "Unsupported field initializer type");
    is_fatal(&output.tables, list({text("t"), number(0), list({field("a", "integer", 0, OPTIMIZE_NONE)}), list({})}),
             "Table \"t\" has no primary key field");
    is_fatal(&output.tables,
             list({text("t"), number(0),
                   list({field("id", "integer", 0, OPTIMIZE_PRIMARY), field("a", "integer", 0, 3)}), list({})}),
             "Unexpected field optimize value \"3\"");
    is_fatal(&output.views, list({text("v"), number(5)}), "slot 1 is missing or of the wrong type");
}

}  // namespace
