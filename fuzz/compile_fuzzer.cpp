// Fuzz target: a whole run of the compiler on one definition text, from the
// compile phase through the run phase to the PHP writer. Properties:
//   - a rejected text ends in a bail-out (never an exit, abort or crash);
//   - an accepted text yields a PHP file that a strict reader of the PHP
//     subset accepts: every quoted string is escaped (no bare double quote,
//     dollar sign or backslash inside a value), and the names, texts and
//     values it decodes to are exactly those of the program output;
//   - a second run of the same text writes the same bytes, so no state of
//     one run leaks into the next.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "builtin.hpp"
#include "compile.hpp"
#include "dump_php.hpp"
#include "execute.hpp"
#include "fuzz_support.hpp"
#include "memory_pool.hpp"

namespace {

// --- a strict reader of the PHP subset the writer produces ------------------

struct php_value_t;
struct php_entry_t {
    bool has_key = false;
    std::string key;
    std::unique_ptr<php_value_t> value;
};
struct php_value_t {
    enum kind_t { STRING, INTEGER, BOOLEAN, NUL, CONSTANT, ARRAY } kind = NUL;
    std::string text;  // string contents, constant name
    long long integer = 0;
    std::vector<php_entry_t> entries;
};

class php_reader_t {
public:
    explicit php_reader_t(const std::string& text) : text_(text) {}

    // The five assignments in the writer's order, or a finding.
    std::vector<php_value_t> read_file() {
        expect_raw("<?php\n");
        std::vector<php_value_t> members;
        for (const char* name : {"plsql", "queries", "sequences", "tables", "views"}) {
            skip_space();
            expect_raw("$this->");
            expect_raw(name);
            expect_token("=");
            members.push_back(read_array());
            expect_token(";");
        }
        skip_space();
        expect_raw("?>\n");
        if (at_ != text_.size()) fail("text after the closing tag");
        return members;
    }

private:
    const std::string& text_;
    size_t at_ = 0;

    [[noreturn]] void fail(const char* what) {
        fuzz_fail("PHP output: %s at offset %zu: \"%.40s\"", what, at_, text_.c_str() + std::min(at_, text_.size()));
    }
    void skip_space() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n')) ++at_;
    }
    bool take_raw(const char* word) {
        const size_t length = std::strlen(word);
        if (text_.compare(at_, length, word) != 0) return false;
        at_ += length;
        return true;
    }
    void expect_raw(const char* word) {
        if (!take_raw(word)) fail(word);
    }
    bool take_token(const char* word) {
        skip_space();
        return take_raw(word);
    }
    void expect_token(const char* word) {
        if (!take_token(word)) fail(word);
    }

    // A double-quoted literal: the only escapes the writer may use are \\,
    // \" and \$; a bare "$" would interpolate and any other backslash
    // sequence would be decoded by PHP into something else.
    std::string read_string() {
        std::string value;
        ++at_;
        for (;;) {
            if (at_ >= text_.size()) fail("unterminated string");
            const char c = text_[at_++];
            if (c == '"') return value;
            if (c == '$') fail("unescaped dollar sign in a string");
            if (c == '\\') {
                if (at_ >= text_.size()) fail("backslash at the end of the output");
                const char next = text_[at_++];
                if (next != '\\' && next != '"' && next != '$') fail("unescaped backslash in a string");
                value += next;
                continue;
            }
            value += c;
        }
    }

    php_value_t read_value() {
        skip_space();
        php_value_t value;
        if (at_ < text_.size() && text_[at_] == '"') {
            value.kind = php_value_t::STRING;
            value.text = read_string();
        } else if (at_ < text_.size() && (text_[at_] == '-' || (text_[at_] >= '0' && text_[at_] <= '9'))) {
            value.kind = php_value_t::INTEGER;
            char* end = nullptr;
            value.integer = std::strtoll(text_.c_str() + at_, &end, 10);
            at_ = static_cast<size_t>(end - text_.c_str());
        } else if (take_raw("true") || take_raw("false")) {
            value.kind = php_value_t::BOOLEAN;
            value.integer = text_[at_ - 1] == 'e' && text_[at_ - 2] == 'u';
        } else if (take_raw("null")) {
            value.kind = php_value_t::NUL;
        } else if (take_raw("const_sql::")) {
            value.kind = php_value_t::CONSTANT;
            while (at_ < text_.size() && (std::isupper(static_cast<unsigned char>(text_[at_])) || text_[at_] == '_')) {
                value.text += text_[at_++];
            }
            if (value.text.empty()) fail("constant without a name");
        } else if (at_ < text_.size() && text_[at_] == 'a') {
            return read_array();
        } else {
            fail("no value");
        }
        return value;
    }

    php_value_t read_array() {
        php_value_t array;
        array.kind = php_value_t::ARRAY;
        expect_token("array");
        expect_token("(");
        if (take_token(")")) return array;
        do {
            php_entry_t entry;
            php_value_t first = read_value();
            if (take_token("=>")) {
                if (first.kind != php_value_t::STRING) fail("a key that is not a string");
                entry.has_key = true;
                entry.key = first.text;
                entry.value = std::make_unique<php_value_t>(read_value());
            } else {
                entry.value = std::make_unique<php_value_t>(std::move(first));
            }
            array.entries.push_back(std::move(entry));
        } while (take_token(","));
        expect_token(")");
        return array;
    }
};

// --- comparison of the decoded file with the program output ----------------

const sql_value_t* item(hash_iterator_t it) { return static_cast<const sql_value_t*>(hash_item_data(it)); }

const sql_value_t* slot(const sql_value_t* record, int32_t index) {
    const sql_value_t* value = value_slot(record, index);
    if (value == nullptr) fuzz_fail("output record without slot %d", index);
    return value;
}

const php_value_t& member(const php_value_t& array, const char* key) {
    for (const php_entry_t& entry : array.entries) {
        if (entry.has_key && entry.key == key) return *entry.value;
    }
    fuzz_fail("PHP array without \"%s\"", key);
}

void same_string(const php_value_t& php, const sql_value_t* value, const char* what) {
    if (php.kind != php_value_t::STRING || value->type != VALUE_STRING || php.text != value->string) {
        fuzz_fail("%s differs between the PHP file and the output", what);
    }
}

void same_key(const php_entry_t& entry, const sql_value_t* value, const char* what) {
    if (value->type != VALUE_STRING || entry.key != value->string) {
        fuzz_fail("%s differs between the PHP file and the output", what);
    }
}

void same_flag(const php_value_t& php, const sql_value_t* value, const char* what) {
    if (php.kind != php_value_t::BOOLEAN || value->type != VALUE_INTEGER || php.integer != (value->integer != 0)) {
        fuzz_fail("%s flag differs between the PHP file and the output", what);
    }
}

void same_constant(const php_value_t& php, const char* name, const char* what) {
    if (php.kind != php_value_t::CONSTANT || php.text != name) fuzz_fail("%s constant is not %s", what, name);
}

// Calls `check` on each (PHP entry, output item) pair of two lists of the same
// length; keyed lists must carry the output keys in the same order.
template <typename check_t>
void same_list(const php_value_t& php, const sql_value_t* list, bool keyed, const char* what, check_t check) {
    if (php.kind != php_value_t::ARRAY || list->type != VALUE_ARRAY) fuzz_fail("%s is not a list", what);
    if (php.entries.size() != hash_count(list->hash)) fuzz_fail("%s has a different length", what);
    size_t index = 0;
    for (hash_iterator_t it = list->hash->first_in_list; it != nullptr; it = it->next_in_list, ++index) {
        const php_entry_t& entry = php.entries[index];
        if (entry.has_key != keyed) fuzz_fail("%s entry %zu keyed wrongly", what, index);
        check(entry, item(it));
    }
}

void check_plsql(const php_value_t& php, const sql_value_t* plsql) {
    same_list(php, plsql, true, "plsql", [](const php_entry_t& entry, const sql_value_t* record) {
        const php_value_t& function = *entry.value;
        same_key(entry, slot(record, 0), "plsql name");
        same_string(member(member(function, "returns"), "type"), slot(slot(record, 1), 0), "plsql return type");
        same_flag(member(member(function, "returns"), "setof"), slot(slot(record, 1), 1), "plsql setof");
        for (int32_t index : {2, 3}) {
            same_list(member(function, index == 2 ? "args" : "locals"), slot(record, index), true, "plsql variables",
                      [](const php_entry_t& var_entry, const sql_value_t* var) {
                          same_key(var_entry, slot(var, 0), "plsql variable name");
                          same_string(*var_entry.value, slot(var, 1), "plsql variable type");
                      });
        }
        same_string(member(function, "body"), slot(record, 4), "plsql body");
    });
}

void check_queries(const php_value_t& php, const sql_value_t* queries) {
    same_list(php, queries, true, "queries", [](const php_entry_t& entry, const sql_value_t* record) {
        same_key(entry, slot(record, 0), "query name");
        same_list(member(*entry.value, "pieces"), slot(record, 1), false, "query pieces",
                  [](const php_entry_t& piece_entry, const sql_value_t* piece) {
                      const php_value_t& value = member(*piece_entry.value, "value");
                      switch (slot(piece, 0)->integer) {
                      case 1:
                          same_constant(member(*piece_entry.value, "type"), "DB_PIECE_TEXT", "piece");
                          same_string(value, slot(piece, 1), "query text");
                          return;
                      case 2:
                      case 3:
                          same_constant(member(*piece_entry.value, "type"),
                                        slot(piece, 0)->integer == 2 ? "DB_PIECE_PARAM" : "DB_PIECE_RAW", "piece");
                          if (value.kind != php_value_t::INTEGER || value.integer != slot(piece, 1)->integer) {
                              fuzz_fail("query marker number differs");
                          }
                          return;
                      default: fuzz_fail("query piece of type %d in the output", slot(piece, 0)->integer);
                      }
                  });
        same_list(member(*entry.value, "fields"), slot(record, 2), false, "query fields",
                  [](const php_entry_t& field, const sql_value_t* type) {
                      same_string(*field.value, type, "query field type");
                  });
    });
}

void check_tables(const php_value_t& php, const sql_value_t* tables) {
    same_list(php, tables, true, "tables", [](const php_entry_t& entry, const sql_value_t* record) {
        const php_value_t& table = *entry.value;
        same_key(entry, slot(record, 0), "table name");
        same_flag(member(table, "volatile"), slot(record, 1), "volatile");
        const sql_value_t* primary = nullptr;
        same_list(
            member(table, "fields"), slot(record, 2), true, "table fields",
            [&primary](const php_entry_t& field_entry, const sql_value_t* field) {
                const php_value_t& php_field = *field_entry.value;
                same_key(field_entry, slot(field, 0), "field name");
                same_string(member(php_field, "type"), slot(field, 1), "field type");
                same_flag(member(php_field, "nullable"), slot(field, 2), "nullable");
                static const char* const optimize[] = {"DB_OPTIMIZE_NONE", "DB_OPTIMIZE_INDEX", "DB_OPTIMIZE_PRIMARY"};
                const int32_t kind = slot(field, 3)->integer;
                if (kind < 0 || kind > 2) fuzz_fail("optimize value %d in the output", kind);
                same_constant(member(php_field, "optimize"), optimize[kind], "optimize");
                if (kind == 2 && primary == nullptr) primary = slot(field, 0);
                same_list(member(php_field, "links"), slot(field, 4), false, "links",
                          [](const php_entry_t& link_entry, const sql_value_t* link) {
                              same_string(member(*link_entry.value, "table"), slot(link, 0), "link table");
                              same_constant(member(*link_entry.value, "direction"),
                                            slot(link, 1)->integer != 0 ? "DB_LINK_OUTGOING" : "DB_LINK_INCOMING",
                                            "direction");
                          });
            });
        if (primary == nullptr) fuzz_fail("accepted table without a primary key");
        same_string(member(table, "primary"), primary, "primary key");
        same_list(member(table, "init"), slot(record, 3), false, "rows",
                  [](const php_entry_t& row_entry, const sql_value_t* row) {
                      same_list(*row_entry.value, row, false, "row",
                                [](const php_entry_t& cell, const sql_value_t* value) {
                                    if (value->type == VALUE_NULL) {
                                        if (cell.value->kind != php_value_t::NUL) fuzz_fail("null row value differs");
                                    } else {
                                        same_string(*cell.value, value, "row value");
                                    }
                                });
                  });
    });
}

void check_php(const std::string& text, const program_output_t* output) {
    const std::vector<php_value_t> members = php_reader_t(text).read_file();
    check_plsql(members[0], &output->plsql);
    check_queries(members[1], &output->queries);
    same_list(members[2], &output->sequences, true, "sequences",
              [](const php_entry_t& entry, const sql_value_t* record) {
                  same_key(entry, slot(record, 0), "sequence name");
                  if (entry.value->kind != php_value_t::INTEGER || entry.value->integer != slot(record, 1)->integer) {
                      fuzz_fail("sequence start differs");
                  }
              });
    check_tables(members[3], &output->tables);
    same_list(members[4], &output->views, true, "views", [](const php_entry_t& entry, const sql_value_t* record) {
        same_key(entry, slot(record, 0), "view name");
        same_string(*entry.value, slot(record, 1), "view text");
    });
}

// --- one run -----------------------------------------------------------------

// Compiles, runs and writes `path`; returns false when the text is rejected.
// With `php` null only the bytes are produced, without the checks.
bool run_compiler(const std::string& path, std::string* php, bool check) {
    compiled_program_t program;
    if (compile_program(&program, path.c_str(), handlers_builtin, COMPILE_TABLE_LINES) != 0) return false;
    program_output_t output;
    if (execute_program(&output, &program) != 0) {
        compiled_program_shutdown(&program);
        return false;
    }
    char* buffer = nullptr;
    size_t length = 0;
    FILE* memory = open_memstream(&buffer, &length);
    if (memory == nullptr) fuzz_fail("open_memstream failed");
    dump_php_code(memory, &output);
    std::fclose(memory);
    php->assign(buffer, length);
    std::free(buffer);
    if (check) check_php(*php, &output);
    program_output_shutdown(&output);
    compiled_program_shutdown(&program);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_path("main.def");
    fuzz_write_file(path, data, size);
    std::string first;
    const bool accepted = run_compiler(path, &first, true);
    fuzz_release_run();
    if (accepted) {
        std::string second;
        if (!run_compiler(path, &second, false)) fuzz_fail("an accepted text was rejected on the second run");
        if (second != first) fuzz_fail("a second run of the same text wrote other bytes");
        fuzz_release_run();
    }
    return 0;
}
