// What tabula-lsp tells about a project, in its own terms: the name at an
// offset, where it is declared and used, what it stands for in SQL, what a
// file declares, what may be typed at a place, and where a diagnostic lands.
//
// Everything here reads the token indexes of the files and the last good
// model of their projects; nothing compiles. Places are byte offsets into the
// texts lsp_project_text gives; the protocol turns them into positions.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostic.hpp"
#include "lsp_project.hpp"

// A range of a file, or the file's start when `file_start` is set (the file
// has no text the server can read, or the range is not known).
struct lsp_span_t {
    std::string path;
    uint32_t start = 0;
    uint32_t end = 0;
    bool file_start = false;

    bool operator==(const lsp_span_t&) const = default;
};

struct lsp_hover_t {
    std::string markdown;
    uint32_t start = 0;  // the name hovered
    uint32_t end = 0;
};

enum lsp_symbol_kind_t {
    SYMBOL_TABLE,
    SYMBOL_VIEW,
    SYMBOL_TYPE,
    SYMBOL_SEQUENCE,
    SYMBOL_QUERY,
    SYMBOL_FUNCTION,
    SYMBOL_FIELD
};

// One symbol of a file's list, where each table is followed by its fields.
struct lsp_symbol_t {
    std::string_view name;  // into the list's index
    lsp_symbol_kind_t kind = SYMBOL_TABLE;
    const char* detail = "";  // the declaring keyword; empty for a field
    uint32_t start = 0;       // the whole declaration
    uint32_t end = 0;
    uint32_t name_start = 0;
    uint32_t name_end = 0;
    uint32_t fields = 0;  // a table's: how many of the symbols after it are its fields
};

// A file's symbols in text order, flat: a large file has a hundred thousand
// of them. The list holds the index its names point into.
struct lsp_symbols_t {
    std::shared_ptr<const lsp_file_index_t> index;
    std::vector<lsp_symbol_t> symbols;
};

enum lsp_completion_kind_t { COMPLETION_KEYWORD, COMPLETION_TYPE, COMPLETION_TABLE, COMPLETION_FUNCTION };

struct lsp_completion_t {
    std::string label;
    lsp_completion_kind_t kind = COMPLETION_KEYWORD;
    const char* detail = "";
};

// A diagnostic placed in a file.
struct lsp_finding_t {
    lsp_span_t span;
    diagnostic_severity_t severity = SEVERITY_ERROR;
    std::string message;
    std::string code;  // empty: none

    bool operator==(const lsp_finding_t&) const = default;
};

// Declarations of the name at `offset` of `path`; for an include or an
// initializer file name, the start of that file.
std::vector<lsp_span_t> lsp_definition(lsp_project_t* project, const std::string& path, size_t offset);
// Uses of the name at `offset` across every project of `path`, and its
// declarations when `declarations` is set.
std::vector<lsp_span_t> lsp_references(lsp_project_t* project, const std::string& path, size_t offset,
                                       bool declarations);
// False when there is no name at `offset`.
bool lsp_hover(lsp_project_t* project, const std::string& path, size_t offset, lsp_hover_t* hover);
lsp_symbols_t lsp_document_symbols(lsp_project_t* project, const std::string& path);
std::vector<lsp_completion_t> lsp_completion(lsp_project_t* project, const std::string& path, size_t offset);
// The lint rules' findings on a model, as warnings with the rule as code,
// placed on the names they concern; rules named in `disabled` are off. No
// value when `stop`, asked now and then, says to give up.
std::optional<std::vector<lsp_finding_t>> lsp_lint(lsp_project_t* project, const schema_t& model,
                                                   const std::vector<std::string>& disabled,
                                                   const std::function<bool()>& stop);
// Where the diagnostics of a run of `root`'s project land.
std::vector<lsp_finding_t> lsp_place_diagnostics(lsp_project_t* project, const std::string& root, const lsp_run_t& run);
