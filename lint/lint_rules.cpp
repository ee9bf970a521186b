// The lint rules on the schema model.
#include "lint.hpp"

#include <algorithm>

namespace {

const std::vector<lint_rule_t> rules = {};

}  // namespace

const std::vector<lint_rule_t>& lint_rules() { return rules; }

const lint_rule_t* lint_find_rule(std::string_view name) {
    const auto found =
        std::find_if(rules.begin(), rules.end(), [&](const lint_rule_t& rule) { return rule.name == name; });
    return found == rules.end() ? nullptr : &*found;
}

std::vector<lint_finding_t> lint_check(const schema_t&, const lint_options_t&) { return {}; }

void lint_apply_allow_comments(std::vector<lint_finding_t>*, const lint_line_source_t&) {}

std::vector<std::string> lint_allowed_rules(std::string_view) { return {}; }

diagnostic_t lint_diagnostic(const lint_finding_t& finding) {
    diagnostic_t diagnostic;
    diagnostic.severity = SEVERITY_WARNING;
    diagnostic.message = finding.message;
    diagnostic.file = finding.file;
    diagnostic.line = finding.line;
    diagnostic.column_start = finding.column_start;
    diagnostic.column_end = finding.column_end;
    return diagnostic;
}

std::string lint_text(const lint_finding_t& finding) {
    return finding.file + ":" + std::to_string(finding.line) + ": warning: " + finding.message + " [" + finding.rule +
           "]";
}
