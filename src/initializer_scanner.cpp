// Scanner of table initializer files: quoted strings, "null", commas and
// row separators.
//
// Rules, by longest match (the earlier rule wins a tie):
//   1  "null"                                INIT_NULL
//   2  '"' ( [^"\\] | '\' [^\n] )* '"'       INIT_STRING, contents unescaped
//   3  ","                                   ','
//   4  "\n" | "\r" | "\r\n"                  INIT_ROW_SEPARATOR
//   5  [ \t\n\v\f\r]+                        skipped
//   6  any other character                   error
// Rules 4 and 5 overlap: a line end makes a row separator only when the
// white-space run around it is that line end alone; a longer run is skipped.
//
// The file is read in blocks into one heap buffer before the first token;
// scanning then works on that text. Values go through the pool.
#include "initializer_scanner.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "exception.hpp"
#include "memory_pool.hpp"
#include "utils.hpp"

struct init_scanner_t {
    FILE* in;    // null reads as an empty file
    char* text;  // the whole input, once loaded
    size_t length;
    size_t capacity;
    size_t position;
    bool loaded;
};

namespace {

constexpr size_t INIT_READ_BLOCK = 16384;
constexpr std::string_view NULL_WORD = "null";

void init_create_buffer(init_scanner_t* scanner) {
    scanner->text = static_cast<char*>(std::malloc(INIT_READ_BLOCK));
    if (scanner->text == nullptr) {
        fatal_error("out of dynamic memory in init_create_buffer()");
    }
    scanner->capacity = INIT_READ_BLOCK;
    scanner->length = 0;
}

// Makes room for one more block after the text read so far.
void init_grow_buffer(init_scanner_t* scanner) {
    if (scanner->capacity - scanner->length >= INIT_READ_BLOCK) {
        return;
    }
    if (scanner->capacity > SIZE_MAX / 2) {
        fatal_error("fatal error - scanner input buffer overflow");
    }
    size_t capacity = scanner->capacity * 2;
    auto* text = static_cast<char*>(std::realloc(scanner->text, capacity));
    if (text == nullptr) {
        fatal_error("fatal error - scanner input buffer overflow");
    }
    scanner->text = text;
    scanner->capacity = capacity;
}

void init_load(init_scanner_t* scanner) {
    init_create_buffer(scanner);
    scanner->loaded = true;
    if (scanner->in == nullptr) {
        return;
    }
    for (;;) {
        init_grow_buffer(scanner);
        size_t room = scanner->capacity - scanner->length;
        size_t got = std::fread(scanner->text + scanner->length, 1, room, scanner->in);
        if (!input_bytes_take(got)) {
            execute_bailout("Input files exceed %llu bytes in all", static_cast<unsigned long long>(INPUT_BYTES_MAX));
        }
        scanner->length += got;
        if (got < room) {
            if (std::ferror(scanner->in)) {
                fatal_error("input in flex scanner failed");
            }
            return;
        }
    }
}

bool init_is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Rule 4: the length of the line end at the start of `rest`, or 0.
size_t init_line_end_length(std::string_view rest) {
    if (rest.starts_with("\r\n")) {
        return 2;
    }
    return (rest.front() == '\n' || rest.front() == '\r') ? 1 : 0;
}

// Rule 5: the length of the white-space run at the start of `rest`.
size_t init_space_length(std::string_view rest) {
    size_t end = 0;
    while (end < rest.size() && init_is_space(rest[end])) {
        ++end;
    }
    return end;
}

// Rule 2: the length of the quoted string at the start of `rest`, quotes
// included, or 0 when it is not closed or holds a backslash before a line
// feed.
size_t init_string_length(std::string_view rest) {
    size_t at = 1;
    while (at < rest.size()) {
        char c = rest[at];
        if (c == '"') {
            return at + 1;
        }
        if (c == '\\') {
            if (at + 1 >= rest.size() || rest[at + 1] == '\n') {
                return 0;
            }
            ++at;
        }
        ++at;
    }
    return 0;
}

// Rule 6, and the NUL byte, which no value may hold.
[[noreturn]] void init_unexpected(char c) {
    if (c == '\0') {
        execute_bailout("Unexpected NUL character");
    }
    execute_bailout("Unexpected character \"%c\"", c);
}

// The value of rule 2: a copy of the contents with its escapes decoded.
void init_string_value(sql_value_t* value, std::string_view contents) {
    if (contents.find('\0') != std::string_view::npos) {
        execute_bailout("Unexpected NUL character");
    }
    char* text = copy_strlen(contents.data(), contents.size());
    unsigned offset = 0;
    if (unescape_string(text, &offset) != 0) {
        memory_pool_free(text);
        execute_bailout("Unexpected escaped character at offset %u", offset);
    }
    value_init_string_attach(value, text);
}

// Rules 4 and 5 at a white-space character: the token, or 0 when skipped.
int init_scan_space(init_scanner_t* scanner, std::string_view rest) {
    size_t run = init_space_length(rest);
    scanner->position += run;
    return run == init_line_end_length(rest) ? static_cast<int>(INIT_ROW_SEPARATOR) : 0;
}

// Rules 1 to 3 and 6 at any other character.
int init_scan_token(init_scanner_t* scanner, sql_value_t* value, std::string_view rest) {
    if (rest.starts_with(NULL_WORD)) {
        value_init_null(value);
        scanner->position += NULL_WORD.size();
        return INIT_NULL;
    }
    if (rest.front() == '"') {
        size_t length = init_string_length(rest);
        if (length != 0) {
            init_string_value(value, rest.substr(1, length - 2));
            scanner->position += length;
            return INIT_STRING;
        }
    }
    if (rest.front() == ',') {
        scanner->position += 1;
        return ',';
    }
    init_unexpected(rest.front());
}

}  // namespace

int initlex_init(init_scanner_t** scanner) {
    if (scanner == nullptr) {
        errno = EINVAL;
        return 1;
    }
    auto* instance = static_cast<init_scanner_t*>(std::calloc(1, sizeof(init_scanner_t)));
    if (instance == nullptr) {
        errno = ENOMEM;
        return 1;
    }
    *scanner = instance;
    return 0;
}

void initset_in(FILE* in, init_scanner_t* scanner) {
    std::free(scanner->text);
    *scanner = init_scanner_t{in, nullptr, 0, 0, 0, false};
}

int initlex(sql_value_t* value, init_scanner_t* scanner) {
    if (!scanner->loaded) {
        init_load(scanner);
    }
    while (scanner->position < scanner->length) {
        std::string_view rest(scanner->text + scanner->position, scanner->length - scanner->position);
        int token =
            init_is_space(rest.front()) ? init_scan_space(scanner, rest) : init_scan_token(scanner, value, rest);
        if (token != 0) {
            return token;
        }
    }
    return 0;
}

int initlex_destroy(init_scanner_t* scanner) {
    if (scanner == nullptr) {
        errno = EINVAL;
        return 1;
    }
    std::free(scanner->text);
    std::free(scanner);
    return 0;
}
