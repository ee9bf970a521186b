// The SARIF log of tabula-lint.
#include "lint_sarif.hpp"

#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::ordered_json;

bool is_unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~' || c == '/';
}

json rule_descriptor(const lint_rule_t& rule) {
    return {{"id", rule.name},
            {"shortDescription", {{"text", rule.summary}}},
            {"fullDescription", {{"text", std::string(rule.summary) + " " + std::string(rule.reason)}}},
            {"defaultConfiguration", {{"level", "warning"}}}};
}

size_t rule_index(std::string_view name) {
    const std::vector<lint_rule_t>& rules = lint_rules();
    for (size_t i = 0; i < rules.size(); ++i) {
        if (rules[i].name == name) return i;
    }
    return 0;
}

json result(const lint_finding_t& finding) {
    // Lines only: the columns are byte offsets, and SARIF counts characters.
    json region = {{"startLine", finding.line}};
    json location = {{"physicalLocation",
                      {{"artifactLocation", {{"uri", lint_file_uri(finding.file)}}}, {"region", std::move(region)}}}};
    return {{"ruleId", finding.rule},
            {"ruleIndex", rule_index(finding.rule)},
            {"level", "warning"},
            {"message", {{"text", finding.message}}},
            {"locations", json::array({std::move(location)})}};
}

}  // namespace

std::string lint_file_uri(const std::string& path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string uri = "file://";
    for (unsigned char c : path) {
        if (is_unreserved(c)) {
            uri += static_cast<char>(c);
        } else {
            uri += '%';
            uri += hex[c >> 4];
            uri += hex[c & 15];
        }
    }
    return uri;
}

std::string lint_sarif(const std::vector<lint_finding_t>& findings, const std::string& version) {
    json rules = json::array();
    for (const lint_rule_t& rule : lint_rules()) rules.push_back(rule_descriptor(rule));
    json results = json::array();
    for (const lint_finding_t& finding : findings) results.push_back(result(finding));
    const json log = {
        {"$schema", "https://json.schemastore.org/sarif-2.1.0.json"},
        {"version", "2.1.0"},
        {"runs",
         json::array({{{"tool", {{"driver", {{"name", "tabula-lint"}, {"version", version}, {"rules", rules}}}}},
                       {"results", results}}})}};
    // Names and messages may hold any bytes the schema holds: replace what is
    // no UTF-8 rather than fail.
    return log.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}
