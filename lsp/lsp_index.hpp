// What the server knows of one definition file without running it: the
// compiler's own tokens, with offsets, and the names they declare and use.
//
// Tokens come from the compiler's definition scanner, so they are exactly the
// ones `tabula` reads. Names are told apart by the tokens around them (a label
// after "table" declares a table, one after "incoming:" uses one); whether the
// file is valid is left to the compiler itself.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

enum lsp_name_kind_t {
    NAME_TYPE,
    NAME_TABLE,
    NAME_VIEW,
    NAME_SEQUENCE,
    NAME_QUERY,
    NAME_PLSQL,
    NAME_FUNCTION,
    NAME_FIELD,
    NAME_INCLUDE,      // the file name of an include statement
    NAME_INITIALIZER,  // the file name of a table's initializer file
};

// Where a type name is used, which decides the order of the fix-up's checks.
enum lsp_use_site_t { USE_OTHER, USE_PLSQL, USE_QUERY, USE_TABLE };

// Small, as a large file has a million of them: a label's or a variable's
// name is the text itself, only strings keep their decoded value aside.
struct lsp_token_t {
    int code;  // the scanner's token code
    uint32_t start;
    uint32_t end;
    int32_t string;  // T_STRING: index in `strings`; -1 otherwise
};

struct lsp_occurrence_t {
    lsp_name_kind_t kind;
    std::string name;  // for file names: the resolved path
    uint32_t start;
    uint32_t end;
    bool declaration;
    lsp_use_site_t site;
    int statement;  // index in `statements`
};

struct lsp_statement_t {
    int keyword;  // T_TABLE, T_TYPE, ...
    std::string name;
    uint32_t start;
    uint32_t end;             // past the closing ";"
    int name_occurrence;      // -1: no name yet
    std::vector<int> fields;  // occurrences of the table's field names
};

struct lsp_file_index_t {
    std::vector<lsp_token_t> tokens;
    std::vector<std::string> strings;  // decoded string literals
    std::vector<lsp_occurrence_t> occurrences;
    std::vector<lsp_statement_t> statements;
    std::vector<std::string> includes;  // resolved, in order
};

lsp_file_index_t lsp_index_text(const std::string& path, std::string_view text);

// Namespaces shared by declarations and uses: tables and views share one.
bool lsp_same_namespace(lsp_name_kind_t a, lsp_name_kind_t b);

// A read-only stream over `text` whose descriptor reads it, as the scanners
// want; null when the system refuses.
FILE* lsp_memory_file(std::string_view text);

// A path named in a definition file, resolved as the compiler does against
// the directory of `from`; empty when it cannot be.
std::string lsp_resolve_name(const std::string& from, const std::string& name);
