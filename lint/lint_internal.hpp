// What the rules and the placing of findings share inside the library.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "lint.hpp"

// What a finding is about: a declaration (its keyword and name) and, for a
// finding about a field, the field's name. `line` is the model's line. The
// texts are views of the model, which outlives the check.
struct lint_subject_t {
    std::string_view file;
    unsigned line = 0;
    std::string_view keyword;  // "table", "view", "sequence", "plsql"
    std::string_view declaration;
    std::string_view field;        // empty: the finding is about the declaration
    const void* object = nullptr;  // the declaration in the model
    unsigned head_from = 0;        // its keyword is at or above this line
};

struct lint_found_t {
    lint_finding_t finding;
    lint_subject_t subject;
};

// Moves each finding to the line that names its subject and sets the name's
// column range there; a finding whose name is not found keeps its line.
void lint_place(std::vector<lint_found_t>* found, const lint_line_source_t& lines);
