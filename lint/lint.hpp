// The lint rules: what the database servers will refuse or regret in a
// schema that tabula accepts, found on the typed schema model.
//
// The checks read only the model (src/schema_model.hpp) and, where given,
// the source lines through a callback, so that a command-line tool passes
// the files and a language server its open buffers. Invariants:
// - findings are sorted by file name and line;
// - every finding names a rule of lint_rules() and a place of the model (the
//   file and line of a declaration or of a field);
// - a rule turned off in the options yields no finding at all.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostic.hpp"
#include "schema_model.hpp"

struct lint_rule_t {
    std::string_view name;     // "link-unindexed"
    std::string_view summary;  // one sentence: what the rule finds
    std::string_view reason;   // one sentence: why it matters
};

// Every rule, in the order of the documentation.
const std::vector<lint_rule_t>& lint_rules();
// The rule named `name`, or null.
const lint_rule_t* lint_find_rule(std::string_view name);

struct lint_finding_t {
    std::string rule;     // a name of lint_rules()
    std::string message;  // without place, rule name or line end
    std::string file;     // as the model names it
    unsigned line = 0;    // 1-based
    // The byte range [column_start, column_end) of the name concerned on
    // `line`, 0-based; both 0 when the source lines were not given.
    unsigned column_start = 0;
    unsigned column_end = 0;
};

// The text of line `line` (1-based) of `file` without its line end, or no
// value when the file or the line is not known. The text is a view: it must
// stay valid until lint_check returns (a source hands out views of texts it
// keeps, not copies).
using lint_line_source_t = std::function<std::optional<std::string_view>(std::string_view file, unsigned line)>;

struct lint_options_t {
    std::vector<std::string> disabled;  // names of rules turned off
    // When set, findings are placed on the line that names the declaration
    // or field (with its column range), and a comment
    // "/* lint: allow RULE */" on the line before turns RULE off there.
    lint_line_source_t lines;
};

// Every finding of the rules not turned off.
std::vector<lint_finding_t> lint_check(const schema_t& model, const lint_options_t& options);
// The same, unless `stop`, asked every few hundred tables, says to give up:
// then no value. A server asks whether its client has sent something new.
std::optional<std::vector<lint_finding_t>> lint_check_unless(const schema_t& model, const lint_options_t& options,
                                                             const std::function<bool()>& stop);

// Drops the findings that a "/* lint: allow RULE[, RULE]... */" comment on
// the line before theirs turns off. lint_check calls it when given lines.
void lint_apply_allow_comments(std::vector<lint_finding_t>* findings, const lint_line_source_t& lines);

// The rule names that the allow comments on `line_text` name.
std::vector<std::string> lint_allowed_rules(std::string_view line_text);

// The finding as a diagnostic record: a warning with the finding's message,
// file, line and columns. The rule's name is not in the message: a server
// sends it as the diagnostic's code.
diagnostic_t lint_diagnostic(const lint_finding_t& finding);

// "FILE:LINE: warning: MESSAGE [RULE]", without the line end.
std::string lint_text(const lint_finding_t& finding);

// A line source that reads the named files from disk, each once, splitting
// lines as tabula counts them (CR LF, LF and CR each end a line). The files
// are mapped, not copied, and kept as long as the source (or a copy of it).
lint_line_source_t lint_file_lines();
