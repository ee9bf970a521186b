// Findings and the source lines: where a name stands, the allow comments,
// and the forms a finding is printed in.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>

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

template <typename Find>
place_t search_back(const lint_line_source_t& lines, std::string_view file, unsigned from, unsigned to, Find find) {
    for (unsigned line = from; line >= to && line > 0; --line) {
        const std::optional<std::string_view> text = lines(file, line);
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
        const place_t head = head_of(subject);
        place_t place = head;
        if (!subject.field.empty()) {
            const unsigned to = head.line != 0 ? head.line : 1;
            place = search_back(lines_, subject.file, subject.line, to,
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
    // line the model gives (where the declaration ends); kept for the last
    // object, since an object's findings come one after the other.
    place_t head_of(const lint_subject_t& subject) {
        if (subject.object == last_object_) return last_head_;
        last_object_ = subject.object;
        const unsigned from = subject.head_from;
        const unsigned to = from > HEAD_SEARCH_LINES ? from - HEAD_SEARCH_LINES : 1;
        last_head_ = search_back(lines_, subject.file, from, to, [&](std::string_view text) {
            return find_declaration(text, subject.keyword, subject.declaration);
        });
        return last_head_;
    }

    const lint_line_source_t& lines_;
    const void* last_object_ = nullptr;
    place_t last_head_;
};

// A file mapped for reading, and where its lines start.
class file_lines_t {
public:
    explicit file_lines_t(const std::string& name) {
        const int descriptor = open(name.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat status {};
        if (descriptor >= 0 && fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
            void* mapped = mmap(nullptr, static_cast<size_t>(status.st_size), PROT_READ, MAP_PRIVATE, descriptor, 0);
            if (mapped != MAP_FAILED) text_ = {static_cast<const char*>(mapped), static_cast<size_t>(status.st_size)};
        }
        if (descriptor >= 0) close(descriptor);
        split();  // an unreadable file reads as empty: one empty line
    }
    file_lines_t(const file_lines_t&) = delete;
    file_lines_t& operator=(const file_lines_t&) = delete;
    ~file_lines_t() {
        if (!text_.empty()) munmap(const_cast<char*>(text_.data()), text_.size());
    }

    std::optional<std::string_view> line(unsigned line) const {
        if (line == 0 || line >= starts_.size()) return std::nullopt;
        size_t end = starts_[line] - 1;  // past the line end
        const size_t start = starts_[line - 1];
        if (end > start && end < text_.size() && text_[end - 1] == '\r' && text_[end] == '\n') --end;  // CR LF
        return text_.substr(start, std::max(end, start) - start);
    }

private:
    // starts_[i] is where line i + 1 starts; one more entry, one past the
    // text's end as if a line end followed it, closes the last line.
    void split() {
        starts_.reserve(text_.size() / 24 + 2);
        starts_.push_back(0);
        if (text_.find('\r') == std::string_view::npos) {  // the common case, found by memchr
            for (size_t end = text_.find('\n'); end != std::string_view::npos; end = text_.find('\n', end + 1)) {
                starts_.push_back(end + 1);
            }
        } else {
            for (size_t end = 0; end < text_.size(); ++end) {
                if (text_[end] == '\n' || (text_[end] == '\r' && (end + 1 == text_.size() || text_[end + 1] != '\n'))) {
                    starts_.push_back(end + 1);
                }
            }
        }
        starts_.push_back(text_.size() + 1);
    }

    std::string_view text_;
    std::vector<size_t> starts_;  // size_t: a file may be larger than 4 GiB
};

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
        const std::optional<std::string_view> before = lines(finding.file, finding.line - 1);
        if (!before || before->find("/*") == std::string_view::npos) return false;
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
    auto files = std::make_shared<std::map<std::string, std::unique_ptr<file_lines_t>, std::less<>>>();
    const file_lines_t* last = nullptr;  // the file asked for last, and its name
    std::string_view last_name;
    return [files, last, last_name](std::string_view name, unsigned line) mutable -> std::optional<std::string_view> {
        if (last == nullptr || name != last_name) {
            auto found = files->find(name);
            if (found == files->end()) {
                found = files->emplace(std::string(name), std::make_unique<file_lines_t>(std::string(name))).first;
            }
            last = found->second.get();
            last_name = found->first;
        }
        return last->line(line);
    };
}
