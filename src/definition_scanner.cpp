// Scanner of definition files. Each call matches the longest token at the
// current position, the earlier rule winning a tie, as the rule comments say.
// The stream is read as the scan needs it, in parts that double in size: a
// match that runs into the end of the text read so far is made again once
// more is read, so an error early in a huge file is reported without reading
// the rest, and the scan as a whole stays linear.
#include "definition_scanner.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "exception.hpp"
#include "utils.hpp"

// The input lives in an anonymous mapping of its own. Read straight into it,
// a large file takes a few huge pages rather than a fresh page and a copy
// for every 4 KiB, and growing it (for a pipe, or a file that grew since it
// was measured) moves page tables rather than bytes.
struct input_text_t {
    char* data = nullptr;
    size_t size = 0;
    size_t capacity = 0;

    input_text_t() = default;
    input_text_t(const input_text_t&) = delete;
    input_text_t& operator=(const input_text_t&) = delete;
    ~input_text_t() {
        if (data != nullptr) munmap(data, capacity);
    }
};

struct def_scanner_t {
    FILE* in = nullptr;
    input_text_t text;
    size_t pos = 0;
    size_t token_start = 0;  // byte offset of the token returned last
    size_t line_start = 0;   // byte offset of the first byte of the current line
    unsigned line = 1;       // the line of line_start
    const char* pathname = nullptr;
    bool loaded = false;
    bool complete = false;       // the whole stream has been read
    size_t expected = SIZE_MAX;  // the size of a regular file, once known
};

namespace {

// What each byte can start or continue; one table lookup per byte keeps the
// scanning loops short.
enum byte_class_t : uint8_t {
    BYTE_OTHER,
    BYTE_LETTER,       // A-Z, a-z, _
    BYTE_DIGIT,        // 0-9
    BYTE_SPACE,        // space, \t \n \v \f \r
    BYTE_PUNCTUATION,  // ( ) , . : ; = [ ] { } *
    BYTE_QUOTE,        // "
    BYTE_SLASH,        // /
    BYTE_DOLLAR,       // $
};

struct byte_table_t {
    uint8_t classes[256] = {};
    bool in_label[256] = {};        // a letter or a digit
    bool ends_plain_run[256] = {};  // ends a run of plain bytes inside a string literal
};

constexpr byte_table_t make_byte_table() {
    byte_table_t table;
    for (int c = 0; c < 256; ++c) {
        uint8_t kind = BYTE_OTHER;
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_') kind = BYTE_LETTER;
        if (c >= '0' && c <= '9') kind = BYTE_DIGIT;
        if (c == ' ' || (c >= '\t' && c <= '\r')) kind = BYTE_SPACE;
        for (char p : std::string_view("(),.:;=[]{}*")) {
            if (c == static_cast<unsigned char>(p)) kind = BYTE_PUNCTUATION;
        }
        if (c == '"') kind = BYTE_QUOTE;
        if (c == '/') kind = BYTE_SLASH;
        if (c == '$') kind = BYTE_DOLLAR;
        table.classes[c] = kind;
        table.in_label[c] = kind == BYTE_LETTER || kind == BYTE_DIGIT;
        table.ends_plain_run[c] = c == '"' || c == '\\' || c == '\n' || c == '\r' || c == '\0';
    }
    return table;
}

constexpr byte_table_t BYTES = make_byte_table();

uint8_t class_of(char c) { return BYTES.classes[static_cast<unsigned char>(c)]; }

constexpr size_t TEXT_STEP = 64 * 1024;
constexpr size_t HUGE_PAGE = 2 * 1024 * 1024;

// Room for at least `wanted` bytes of text, or a fatal error.
void reserve_text(input_text_t* text, size_t wanted) {
    if (wanted <= text->capacity) return;
    const size_t step = wanted >= HUGE_PAGE ? HUGE_PAGE : TEXT_STEP;
    if (wanted > SIZE_MAX - step) fatal_error("fatal error - scanner input buffer overflow");
    const size_t capacity = (wanted + step - 1) / step * step;
    void* data = text->data == nullptr
                     ? mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                     : mremap(text->data, text->capacity, capacity, MREMAP_MAYMOVE);
    if (data == MAP_FAILED) fatal_error("fatal error - scanner input buffer overflow");
#if defined(MADV_HUGEPAGE)
    if (capacity >= HUGE_PAGE) madvise(data, capacity, MADV_HUGEPAGE);
#endif
    text->data = static_cast<char*>(data);
    text->capacity = capacity;
}

[[noreturn]] void input_too_large() {
    compile_bailout("Input files exceed %llu bytes in all", static_cast<unsigned long long>(INPUT_BYTES_MAX));
}

// Reads at least as much again as has been read (a first part of TEXT_STEP),
// or to the end of the stream. Nothing is read through the stream's own
// buffer, so its descriptor is read directly.
void load_more(def_scanner_t* scanner) {
    const int descriptor = fileno(scanner->in);
    input_text_t* text = &scanner->text;
    const size_t target = text->size < TEXT_STEP ? TEXT_STEP : size_add(text->size, text->size);
    size_t room = target < scanner->expected ? target : scanner->expected;
    // A file that fills a huge page gets its room in huge pages from the first
    // part on: grown from a small mapping, the first 2 MiB would fault in 4 KiB
    // at a time.
    if (scanner->expected != SIZE_MAX && scanner->expected >= HUGE_PAGE && room < HUGE_PAGE) room = HUGE_PAGE - 1;
    // + 1: the end of a file of known size shows without another read.
    reserve_text(text, room + 1);
    while (text->size < target) {
        if (text->size == text->capacity) reserve_text(text, text->size + TEXT_STEP);
        const size_t room = text->capacity - text->size;
        const ssize_t got =
            read(descriptor, text->data + text->size, room < target - text->size ? room : target - text->size);
        if (got == 0) {
            scanner->complete = true;
            return;
        }
        if (got < 0) {
            if (errno == EINTR) continue;
            fatal_error("input in flex scanner failed");
        }
        if (!input_bytes_take(static_cast<uint64_t>(got))) input_too_large();
        text->size += static_cast<size_t>(got);
    }
}

// A file of known size is refused at once when it would pass the run's
// limit.
void start_input(def_scanner_t* scanner) {
    scanner->loaded = true;
    if (scanner->in == nullptr) scanner->in = stdin;
    struct stat status {};
    if (fstat(fileno(scanner->in), &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
        if (static_cast<uint64_t>(status.st_size) > INPUT_BYTES_MAX) input_too_large();
        scanner->expected = static_cast<size_t>(status.st_size);
    }
    load_more(scanner);
}

// Rule 1, comment: "/*", then units that are one byte other than "*" or a
// "*" with one byte other than "/", then "*/". Returns the length of the
// comment at `start`, or 0 when no complete comment starts there.
size_t match_comment(const char* start, const char* end) {
    if (end - start < 2 || start[1] != '*') return 0;
    for (const char* p = start + 2; p < end;) {
        if (*p != '*') {
            ++p;
            continue;
        }
        if (p + 1 >= end) return 0;
        if (p[1] == '/') return static_cast<size_t>(p + 2 - start);
        p += 2;  // a star pairs with the byte after it
    }
    return 0;
}

// What a string literal holds besides plain bytes.
struct string_literal_t {
    size_t length;  // 0: no literal starts here
    bool has_backslash;
    bool has_line_break;
    bool has_nul;
};

// Rule 4, string literal: a double quote, then units that are one byte other
// than the quote and the backslash, or a backslash with one byte other than a
// line feed, then a double quote.
string_literal_t match_string(const char* start, const char* end) {
    string_literal_t literal{0, false, false, false};
    for (const char* p = start + 1; p < end;) {
        if (!BYTES.ends_plain_run[static_cast<unsigned char>(*p)]) {
            ++p;
            continue;
        }
        switch (*p) {
        case '"': literal.length = static_cast<size_t>(p + 1 - start); return literal;
        case '\\':
            if (p + 1 >= end || p[1] == '\n') return literal;
            literal.has_backslash = true;
            if (p[1] == '\r') literal.has_line_break = true;
            if (p[1] == '\0') literal.has_nul = true;
            p += 2;
            continue;
        case '\0': literal.has_nul = true; break;
        default: literal.has_line_break = true; break;
        }
        ++p;
    }
    return literal;
}

// Rules 18 and 19: a letter, then letters and digits; `p` is past the letter.
const char* label_end(const char* p, const char* end) {
    while (p < end && BYTES.in_label[static_cast<unsigned char>(*p)]) ++p;
    return p;
}

template <size_t N>
bool is_word(const char* word, const char (&keyword)[N]) {
    return std::memcmp(word, keyword, N - 1) == 0;
}

// Rules 3 and 5 to 17: a keyword wins over a label of the same length. The
// length and the first letter leave at most one keyword to compare.
int keyword_token(const char* word, size_t length) {
    switch (length) {
    case 4:
        switch (word[0]) {
        case 'n': return is_word(word, "null") ? T_NULL : 0;
        case 't': return is_word(word, "type") ? T_TYPE : 0;
        case 'v': return is_word(word, "view") ? T_VIEW : 0;
        default: return 0;
        }
    case 5:
        switch (word[0]) {
        case 'i': return is_word(word, "index") ? T_INDEX : 0;
        case 'p': return is_word(word, "plsql") ? T_PLSQL : 0;
        case 'q': return is_word(word, "query") ? T_QUERY : 0;
        case 't': return is_word(word, "table") ? T_TABLE : 0;
        default: return 0;
        }
    case 7:
        switch (word[0]) {
        case 'i': return is_word(word, "include") ? T_INCLUDE : 0;
        case 'p': return is_word(word, "primary") ? T_PRIMARY : 0;
        default: return 0;
        }
    case 8:
        switch (word[0]) {
        case 'f': return is_word(word, "function") ? T_FUNCTION : 0;
        case 'i': return is_word(word, "incoming") ? T_INCOMING : 0;
        case 'o': return is_word(word, "outgoing") ? T_OUTGOING : 0;
        case 's': return is_word(word, "sequence") ? T_SEQUENCE : 0;
        case 'v': return is_word(word, "volatile") ? T_VOLATILE : 0;
        default: return 0;
        }
    default: return 0;
    }
}

// Rule 2: decimal digits, saturating beyond the signed 32-bit range.
int32_t saturated_integer(const char* p, const char* end) {
    int64_t value = 0;
    for (; p < end; ++p) {
        value = value * 10 + (*p - '0');
        if (value > INT32_MAX) return INT32_MAX;
    }
    return static_cast<int32_t>(value);
}

// Rule 21, whitespace: skipped, its line breaks counted. Returns its end,
// which is before a carriage return that ends the text read so far when more
// may follow (a line feed after it belongs to the same line break).
const char* skip_whitespace(def_scanner_t* scanner, const char* p, const char* end) {
    const bool complete = scanner->complete;
    unsigned breaks = 0;
    const char* line_start = nullptr;
    for (; p < end && class_of(*p) == BYTE_SPACE; ++p) {
        if (*p == '\n') {
            ++breaks;
            line_start = p + 1;
        } else if (*p == '\r') {
            if (p + 1 == end && !complete) break;
            ++breaks;
            if (p + 1 < end && p[1] == '\n') ++p;
            line_start = p + 1;
        }
    }
    if (breaks > 0) {
        scanner->line += breaks;
        scanner->line_start = static_cast<size_t>(line_start - scanner->text.data);
    }
    return p;
}

// Counts the line breaks of a comment or a string literal at `start`.
void count_line_breaks(def_scanner_t* scanner, const char* start, size_t length) {
    unsigned breaks = 0;
    for (size_t i = 0; i < length; ++i) {
        if (start[i] == '\r') {
            ++breaks;
            if (i + 1 < length && start[i + 1] == '\n') ++i;
        } else if (start[i] == '\n') {
            ++breaks;
        }
    }
    scanner->line += breaks;
    for (size_t i = length; i > 0; --i) {
        if (start[i - 1] == '\n' || start[i - 1] == '\r') {
            scanner->line_start = static_cast<size_t>(start + i - scanner->text.data);
            return;
        }
    }
}

int scan_string(def_scanner_t* scanner, sql_node_t* value, const char* start, const string_literal_t& literal) {
    if (literal.has_line_break) count_line_breaks(scanner, start, literal.length);
    if (literal.has_nul) compile_bailout("Unexpected NUL character in a string literal");
    unsigned offset = 0;
    if (value == nullptr) {  // checked all the same, on a copy
        std::string copy(start + 1, literal.length - 2);
        if (literal.has_backslash && unescape_string(copy.data(), &offset) != 0) {
            compile_bailout("Unexpected escaped character at offset %u", offset);
        }
        return T_STRING;
    }
    nv_init_string_clen(value, start + 1, literal.length - 2, deflex_location(scanner));
    if (literal.has_backslash && unescape_string(value->value.string, &offset) != 0) {
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

void defset_pathname(const char* pathname, def_scanner_t* scanner) { scanner->pathname = pathname; }

unsigned deflex_line(const def_scanner_t* scanner) { return scanner->line; }

node_location_t deflex_location(const def_scanner_t* scanner) { return {scanner->pathname, scanner->line}; }

size_t deflex_token_start(const def_scanner_t* scanner) { return scanner->token_start; }

void deflex_token_columns(const def_scanner_t* scanner, unsigned* start, unsigned* end) {
    // A token that starts on an earlier line (a string literal with line
    // breaks) starts at the current line for this purpose.
    const size_t first = scanner->token_start > scanner->line_start ? scanner->token_start : scanner->line_start;
    size_t last = scanner->pos > first ? scanner->pos : first + 1;  // an unmatched byte is one wide
    if (last > scanner->text.size) last = scanner->text.size;
    *start = static_cast<unsigned>(first - scanner->line_start);
    *end = static_cast<unsigned>((last > first ? last : first) - scanner->line_start);
}

int deflex_destroy(def_scanner_t* scanner) {
    delete scanner;
    return 0;
}

namespace {

// deflex's answer when the match at scanner->pos needs more of the stream.
constexpr int NEEDS_MORE = -1;

// One token from the text read so far; NEEDS_MORE, with the position left
// where the scan is to start again, when the answer depends on what follows.
int scan_token(sql_node_t* value, def_scanner_t* scanner) {
    const char* const end = scanner->text.data + scanner->text.size;
    const char* p = scanner->text.data + scanner->pos;
    const bool complete = scanner->complete;
    for (;;) {
        if (p == end) {
            scanner->pos = scanner->text.size;
            scanner->token_start = scanner->pos;
            return complete ? 0 : NEEDS_MORE;
        }
        const char* const start = p;
        const uint8_t kind = class_of(*p);
        if (kind == BYTE_SPACE) {
            p = skip_whitespace(scanner, p, end);
            if (p == start) {  // a carriage return at the end of the text read
                scanner->pos = static_cast<size_t>(p - scanner->text.data);
                return NEEDS_MORE;
            }
            continue;
        }
        scanner->pos = static_cast<size_t>(p - scanner->text.data);
        scanner->token_start = scanner->pos;
        if (kind == BYTE_SLASH) {  // only a comment starts with a slash
            if (const size_t length = match_comment(p, end)) {
                count_line_breaks(scanner, p, length);
                p += length;
                continue;
            }
            if (!complete && (end - p < 2 || p[1] == '*')) return NEEDS_MORE;
        }
        switch (kind) {
        case BYTE_DIGIT: {  // rule 2
            do ++p;
            while (p < end && class_of(*p) == BYTE_DIGIT);
            if (p == end && !complete) return NEEDS_MORE;
            scanner->pos += static_cast<size_t>(p - start);
            if (value != nullptr) nv_init_integer(value, saturated_integer(start, p), deflex_location(scanner));
            return T_INTEGER;
        }
        case BYTE_QUOTE: {
            const string_literal_t literal = match_string(p, end);
            if (literal.length == 0) {
                if (!complete) return NEEDS_MORE;
                break;
            }
            scanner->pos += literal.length;
            return scan_string(scanner, value, start, literal);
        }
        case BYTE_LETTER: {
            p = label_end(p + 1, end);
            if (p == end && !complete) return NEEDS_MORE;
            const size_t length = static_cast<size_t>(p - start);
            scanner->pos += length;
            if (const int keyword = keyword_token(start, length)) {
                if (keyword == T_NULL && value != nullptr) nv_init_null(value, deflex_location(scanner));
                return keyword;
            }
            if (value != nullptr) nv_init_string_clen(value, start, length, deflex_location(scanner));
            return T_LABEL;
        }
        case BYTE_DOLLAR:
            if (p + 1 == end && !complete) return NEEDS_MORE;
            if (p + 1 < end && class_of(p[1]) == BYTE_LETTER) {
                p = label_end(p + 2, end);
                if (p == end && !complete) return NEEDS_MORE;
                scanner->pos += static_cast<size_t>(p - start);
                if (value != nullptr) {
                    node_init_variable_clen(value, start + 1, static_cast<size_t>(p - start) - 1,
                                            deflex_location(scanner));
                }
                return T_VARIABLE;
            }
            break;
        case BYTE_PUNCTUATION:  // rule 20
            scanner->pos += 1;
            return static_cast<unsigned char>(*start);
        default: break;
        }
        unexpected_character(*start);  // rule 22
    }
}

}  // namespace

int deflex(sql_node_t* value, def_scanner_t* scanner) {
    if (!scanner->loaded) start_input(scanner);
    for (;;) {
        const int token = scan_token(value, scanner);
        if (token != NEEDS_MORE) return token;
        load_more(scanner);
    }
}
