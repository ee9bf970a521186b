// Findings and the source lines: where a name stands, the allow comments,
// and the forms a finding is printed in.
#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <unordered_map>

#include "lint.hpp"
#include "lint_internal.hpp"

namespace {

// How far back from a declaration's end its keyword is looked for.
constexpr unsigned HEAD_SEARCH_LINES = 100000;

bool is_name_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// The position of `word` as a whole word in `text` at or after `from`.
size_t find_word(std::string_view text, std::string_view word, size_t from = 0) {
    for (size_t at = text.find(word, from); at != std::string_view::npos; at = text.find(word, at + 1)) {
        const bool starts = at == 0 || !is_name_char(text[at - 1]);
        const size_t end = at + word.size();
        if (starts && (end == text.size() || !is_name_char(text[end]))) return at;
    }
    return std::string_view::npos;
}

// The column of the declaration's name on a line that holds its keyword
// followed by its name.
size_t find_declaration(std::string_view text, std::string_view keyword, std::string_view name) {
    const size_t at = find_word(text, keyword);
    return at == std::string_view::npos ? at : find_word(text, name, at + keyword.size());
}

// The column of a field's name: a whole word followed by blanks and then a
// link list, the field's ";", or the end of the line.
size_t find_field(std::string_view text, std::string_view name) {
    for (size_t at = find_word(text, name); at != std::string_view::npos; at = find_word(text, name, at + 1)) {
        size_t next = at + name.size();
        while (next < text.size() && is_blank(text[next])) ++next;
        if (next == text.size() || text[next] == '[' || text[next] == ';') return at;
    }
    return std::string_view::npos;
}

struct place_t {
    unsigned line = 0;  // 0: not found
    size_t column = 0;
};

place_t search_back(const lint_line_source_t& lines, const std::string& file, unsigned from, unsigned to,
                    const std::function<size_t(std::string_view)>& find) {
    for (unsigned line = from; line >= to && line > 0; --line) {
        const std::optional<std::string> text = lines(file, line);
        if (!text) continue;
        const size_t column = find(*text);
        if (column != std::string_view::npos) return {line, column};
    }
    return {};
}

class placer_t {
public:
    explicit placer_t(const lint_line_source_t& lines) : lines_(lines) {}

    void place(lint_found_t* found) {
        const lint_subject_t& subject = found->subject;
        lint_finding_t& finding = found->finding;
        const place_t head = head_of(subject, finding.file);
        place_t place = head;
        if (!subject.field.empty()) {
            const unsigned to = head.line != 0 ? head.line : 1;
            place = search_back(lines_, finding.file, subject.line, to,
                                [&](std::string_view text) { return find_field(text, subject.field); });
        }
        if (place.line == 0) return;
        finding.line = place.line;
        finding.column_start = static_cast<unsigned>(place.column);
        finding.column_end =
            static_cast<unsigned>(place.column + (subject.field.empty() ? subject.declaration : subject.field).size());
    }

private:
    // The line of a declaration's keyword and name, searched back from the
    // line the model gives (where the declaration ends); kept per object.
    place_t head_of(const lint_subject_t& subject, const std::string& file) {
        auto [entry, added] = heads_.try_emplace(subject.object);
        if (!added) return entry->second;
        const unsigned from = subject.head_from;
        const unsigned to = from > HEAD_SEARCH_LINES ? from - HEAD_SEARCH_LINES : 1;
        entry->second = search_back(lines_, file, from, to, [&](std::string_view text) {
            return find_declaration(text, subject.keyword, subject.declaration);
        });
        return entry->second;
    }

    const lint_line_source_t& lines_;
    std::unordered_map<const void*, place_t> heads_;
};

// The file's lines, as offsets of their starts and ends in its text.
struct file_lines_t {
    std::string text;
    std::vector<std::pair<size_t, size_t>> lines;
};

void split_lines(file_lines_t* file) {
    const std::string& text = file->text;
    size_t start = 0;
    if (text.find('\r') == std::string::npos) {  // the common case, found by memchr
        for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
            file->lines.emplace_back(start, end);
            start = end + 1;
        }
    } else {
        for (size_t end = 0; end < text.size(); ++end) {
            if (text[end] != '\n' && text[end] != '\r') continue;
            file->lines.emplace_back(start, end);
            if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ++end;
            start = end + 1;
        }
    }
    file->lines.emplace_back(start, text.size());
}

}  // namespace

void lint_place(std::vector<lint_found_t>* found, const lint_line_source_t& lines) {
    placer_t placer(lines);
    for (lint_found_t& one : *found) placer.place(&one);
}

std::vector<std::string> lint_allowed_rules(std::string_view line_text) {
    std::vector<std::string> rules;
    for (size_t open = line_text.find("/*"); open != std::string_view::npos; open = line_text.find("/*", open + 2)) {
        const size_t close = line_text.find("*/", open + 2);
        if (close == std::string_view::npos) break;
        std::istringstream words(std::string(line_text.substr(open + 2, close - open - 2)));
        std::string lint;
        std::string allow;
        if (!(words >> lint >> allow) || lint != "lint:" || allow != "allow") continue;
        for (std::string word; words >> word;) {
            std::istringstream parts(word);
            for (std::string rule; std::getline(parts, rule, ',');) {
                if (!rule.empty()) rules.push_back(rule);
            }
        }
    }
    return rules;
}

void lint_apply_allow_comments(std::vector<lint_finding_t>* findings, const lint_line_source_t& lines) {
    std::erase_if(*findings, [&](const lint_finding_t& finding) {
        if (finding.line <= 1) return false;
        const std::optional<std::string> before = lines(finding.file, finding.line - 1);
        if (!before) return false;
        const std::vector<std::string> allowed = lint_allowed_rules(*before);
        return std::find(allowed.begin(), allowed.end(), finding.rule) != allowed.end();
    });
}

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

lint_line_source_t lint_file_lines() {
    auto files = std::make_shared<std::map<std::string, file_lines_t, std::less<>>>();
    return [files](const std::string& name, unsigned line) -> std::optional<std::string> {
        auto [entry, added] = files->try_emplace(name);
        file_lines_t& file = entry->second;
        if (added) {
            std::ifstream stream(name, std::ios::binary | std::ios::ate);
            if (stream) {
                file.text.resize(static_cast<size_t>(std::max<std::streamoff>(stream.tellg(), 0)));
                stream.seekg(0);
                stream.read(file.text.data(), static_cast<std::streamsize>(file.text.size()));
                file.text.resize(static_cast<size_t>(stream.gcount()));
                split_lines(&file);
            }
        }
        if (line == 0 || line > file.lines.size()) return std::nullopt;
        const auto [start, end] = file.lines[line - 1];
        return file.text.substr(start, end - start);
    };
}
