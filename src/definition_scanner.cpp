// Scanner of definition files. The whole stream is read into memory on the
// first call; each call then matches the longest token at the current
// position, the earlier rule winning a tie, as the rule comments say.
#include "definition_scanner.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/stat.h>

#include "compile.hpp"
#include "definition_parser.hpp"
#include "utils.hpp"

struct def_scanner_t {
    FILE* in = nullptr;
    std::string text;
    size_t pos = 0;
    bool loaded = false;
};

namespace {

bool is_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_whitespace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_punctuation(unsigned char c) {
    switch (c) {
    case '(': case ')': case ',': case '.': case ':': case ';':
    case '=': case '[': case ']': case '{': case '}': case '*':
        return true;
    default:
        return false;
    }
}

[[noreturn]] void scanner_fatal(const char* message) {
    std::fprintf(stderr, "%s\n", message);
    std::exit(2);
}

void load_input(def_scanner_t* scanner) {
    scanner->loaded = true;
    if (scanner->in == nullptr) scanner->in = stdin;
    // A regular file tells its size: the text then goes into one buffer of
    // that size rather than into one that doubles, and is copied, as it grows.
    struct stat status {};
    if (fstat(fileno(scanner->in), &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
        try {
            scanner->text.reserve(static_cast<size_t>(status.st_size));
        } catch (const std::bad_alloc&) {
            scanner_fatal("fatal error - scanner input buffer overflow");
        } catch (const std::length_error&) {
            scanner_fatal("fatal error - scanner input buffer overflow");
        }
    }
    char block[65536];
    for (;;) {
        const size_t got = std::fread(block, 1, sizeof block, scanner->in);
        // A file too big for memory is the scanner's own fatal error, not an
        // uncaught exception that would abort the process.
        try {
            scanner->text.append(block, got);
        } catch (const std::bad_alloc&) {
            scanner_fatal("fatal error - scanner input buffer overflow");
        } catch (const std::length_error&) {
            scanner_fatal("fatal error - scanner input buffer overflow");
        }
        if (got < sizeof block) break;
    }
    if (std::ferror(scanner->in)) scanner_fatal("input in flex scanner failed");
}

// Rule 1, comment: "/*", then units that are one byte other than "*" or a
// "*" with one byte other than "/", then "*/". Returns the length of the
// comment at the start of `rest`, or 0 when no complete comment starts there.
size_t match_comment(std::string_view rest) {
    if (rest.size() < 2 || rest[0] != '/' || rest[1] != '*') return 0;
    size_t i = 2;
    while (i < rest.size()) {
        if (rest[i] != '*') {
            ++i;
            continue;
        }
        if (i + 1 >= rest.size()) return 0;
        if (rest[i + 1] == '/') return i + 2;
        i += 2;  // a star pairs with the byte after it
    }
    return 0;
}

// Rule 4, string literal: a double quote, then units that are one byte other
// than the quote and the backslash, or a backslash with one byte other than a
// line feed, then a double quote. Returns its length or 0.
size_t match_string(std::string_view rest) {
    size_t i = 1;
    while (i < rest.size()) {
        const char c = rest[i];
        if (c == '"') return i + 1;
        if (c == '\\') {
            if (i + 1 >= rest.size() || rest[i + 1] == '\n') return 0;
            i += 2;
            continue;
        }
        ++i;
    }
    return 0;
}

// Rules 18 and 19: a letter, then letters and digits.
size_t match_label(std::string_view rest, size_t start) {
    size_t i = start;
    if (i >= rest.size() || !is_letter(static_cast<unsigned char>(rest[i]))) return 0;
    while (i < rest.size() && (is_letter(static_cast<unsigned char>(rest[i])) ||
                               is_digit(static_cast<unsigned char>(rest[i])))) {
        ++i;
    }
    return i - start;
}

// Rules 3 and 5 to 17: a keyword wins over a label of the same length.
int keyword_token(std::string_view word) {
    struct keyword_t {
        std::string_view text;
        int token;
    };
    static constexpr keyword_t keywords[] = {
        {"null", T_NULL},         {"function", T_FUNCTION}, {"include", T_INCLUDE},
        {"incoming", T_INCOMING}, {"index", T_INDEX},       {"outgoing", T_OUTGOING},
        {"plsql", T_PLSQL},       {"primary", T_PRIMARY},   {"query", T_QUERY},
        {"sequence", T_SEQUENCE}, {"table", T_TABLE},       {"type", T_TYPE},
        {"view", T_VIEW},         {"volatile", T_VOLATILE},
    };
    if (word.size() < 4 || word.size() > 8) return 0;  // the shortest and longest keywords
    for (const keyword_t& keyword : keywords) {
        if (keyword.text == word) return keyword.token;
    }
    return 0;
}

// Decimal digits, saturating beyond the signed 32-bit range.
int32_t saturated_integer(std::string_view digits) {
    int64_t value = 0;
    for (char c : digits) {
        value = value * 10 + (c - '0');
        if (value > INT32_MAX) return INT32_MAX;
    }
    return static_cast<int32_t>(value);
}

// Rule 21, whitespace: skipped, its line breaks counted.
size_t match_whitespace(std::string_view rest) {
    size_t i = 0;
    while (i < rest.size() && is_whitespace(static_cast<unsigned char>(rest[i]))) ++i;
    return i;
}

int scan_string(sql_node_t* value, std::string_view literal) {
    process_string_newlines(literal.data(), literal.size());
    const std::string_view inner = literal.substr(1, literal.size() - 2);
    if (inner.find('\0') != std::string_view::npos) compile_bailout("Unexpected NUL character in a string literal");
    nv_init_string_clen(value, inner.data(), inner.size());
    unsigned offset = 0;
    if (unescape_string(value->value.string, &offset) != 0) {
        compile_bailout("Unexpected escaped character at offset %u", offset);
    }
    return T_STRING;
}

[[noreturn]] void unexpected_character(char c) {
    if (c == '\0') compile_bailout("Unexpected NUL character");
    compile_bailout("Unexpected character \"%c\"", c);
}

}  // namespace

int deflex_init(def_scanner_t** scanner) {
    if (scanner == nullptr) {
        errno = EINVAL;
        return 1;
    }
    *scanner = new (std::nothrow) def_scanner_t;
    if (*scanner == nullptr) {
        errno = ENOMEM;
        return 1;
    }
    return 0;
}

void defset_in(FILE* in, def_scanner_t* scanner) { scanner->in = in; }

int deflex_destroy(def_scanner_t* scanner) {
    delete scanner;
    return 0;
}

int deflex(sql_node_t* value, def_scanner_t* scanner) {
    if (!scanner->loaded) load_input(scanner);
    const std::string_view text(scanner->text);
    for (;;) {
        const std::string_view rest = text.substr(scanner->pos);
        if (rest.empty()) return 0;
        const auto c = static_cast<unsigned char>(rest[0]);

        if (c == '/') {  // only a comment starts with a slash
            if (const size_t length = match_comment(rest)) {
                process_string_newlines(rest.data(), length);
                scanner->pos += length;
                continue;
            }
        }
        if (is_whitespace(c)) {
            const size_t length = match_whitespace(rest);
            if (length > 1 || c != ' ') process_string_newlines(rest.data(), length);  // a lone space has none
            scanner->pos += length;
            continue;
        }
        if (is_digit(c)) {  // rule 2
            size_t length = 1;
            while (length < rest.size() && is_digit(static_cast<unsigned char>(rest[length]))) ++length;
            scanner->pos += length;
            nv_init_integer(value, saturated_integer(rest.substr(0, length)));
            return T_INTEGER;
        }
        if (c == '"') {
            if (const size_t length = match_string(rest)) {
                scanner->pos += length;
                return scan_string(value, rest.substr(0, length));
            }
            unexpected_character(rest[0]);
        }
        if (is_letter(c)) {
            const size_t length = match_label(rest, 0);
            const std::string_view word = rest.substr(0, length);
            scanner->pos += length;
            if (const int keyword = keyword_token(word)) {
                if (keyword == T_NULL) nv_init_null(value);
                return keyword;
            }
            nv_init_string_clen(value, word.data(), word.size());
            return T_LABEL;
        }
        if (c == '$') {
            if (const size_t length = match_label(rest, 1)) {
                scanner->pos += 1 + length;
                node_init_variable_clen(value, rest.data() + 1, length);
                return T_VARIABLE;
            }
        }
        if (is_punctuation(c)) {  // rule 20
            scanner->pos += 1;
            return c;
        }
        unexpected_character(rest[0]);  // rule 22
    }
}
