// Query scanner: splits a query body into literal text runs and the
// "{ESC:n}", "{RAW:n}" and "{FIELD:name}" markers.
//
// Rules, by longest match (the earlier rule wins a tie):
//   1  "{ESC:" digit+ "}"      QP_ESC    the number
//   2  "{RAW:" digit+ "}"      QP_RAW    the number
//   3  "{FIELD:" [^}]+ "}"     QP_FIELD  the name between ":" and "}"
//   4  "{"                     QP_TEXT   "{"
//   5  [^{]+                   QP_TEXT   the run
// A marker is always longer than the lone "{" of rule 4, and rule 5 never
// starts at "{", so at an opening brace a complete marker wins and anything
// else is the one-character text token.
//
// The instance, the buffer record and the copy of the text live on the
// general heap; only the token values go through the pool.
#include "query_scanner.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include "exception.hpp"

struct qry_buffer_t {
    char* text;       // private copy, followed by two NUL bytes
    size_t length;    // characters before the first NUL
    size_t position;  // next character to scan
    // Offset of the first "}" at or after the last search start, or
    // `length` when there is none. Positions only grow, so the answer stays
    // valid until the scan passes it; this keeps unterminated field markers
    // from rescanning the rest of the text at every "{". No search has been
    // made while `close_searched_from` is SIZE_MAX.
    size_t next_close;
    size_t close_searched_from;
};

struct qry_scanner_t {
    qry_buffer_t* current;
};

namespace {

constexpr int32_t QRY_NUMBER_MAX = INT32_MAX;
constexpr std::string_view ESC_WORD = "{ESC:";
constexpr std::string_view RAW_WORD = "{RAW:";
constexpr std::string_view FIELD_WORD = "{FIELD:";

struct qry_match_t {
    qp_type_t token;
    size_t length;          // characters consumed
    int32_t number;         // rules 1 and 2
    std::string_view name;  // rule 3
};

// Offset of the first "}" at or after `from`, or the text length.
size_t qry_find_close(qry_buffer_t* buffer, size_t from) {
    if (from >= buffer->close_searched_from && buffer->next_close >= from) {
        return buffer->next_close;
    }
    const void* found = std::memchr(buffer->text + from, '}', buffer->length - from);
    buffer->next_close = found ? static_cast<size_t>(static_cast<const char*>(found) - buffer->text) : buffer->length;
    buffer->close_searched_from = from;
    return buffer->next_close;
}

// Decimal digits as the standard conversion reads them, saturated at the
// largest 32-bit value.
int32_t qry_number(std::string_view digits) {
    int64_t number = 0;
    for (char c : digits) {
        number = number * 10 + (c - '0');
        if (number > QRY_NUMBER_MAX) {
            return QRY_NUMBER_MAX;
        }
    }
    return static_cast<int32_t>(number);
}

// Rules 1 and 2: `word` digit+ "}".
std::optional<qry_match_t> qry_match_number(std::string_view rest, std::string_view word, qp_type_t token) {
    if (!rest.starts_with(word)) {
        return std::nullopt;
    }
    size_t end = word.size();
    while (end < rest.size() && rest[end] >= '0' && rest[end] <= '9') {
        ++end;
    }
    if (end == word.size() || end == rest.size() || rest[end] != '}') {
        return std::nullopt;
    }
    return qry_match_t{token, end + 1, qry_number(rest.substr(word.size(), end - word.size())), {}};
}

// Rule 3: "{FIELD:" [^}]+ "}".
std::optional<qry_match_t> qry_match_field(qry_buffer_t* buffer, std::string_view rest) {
    if (!rest.starts_with(FIELD_WORD)) {
        return std::nullopt;
    }
    size_t name_start = buffer->position + FIELD_WORD.size();
    size_t close = qry_find_close(buffer, name_start);
    if (close == buffer->length || close == name_start) {
        return std::nullopt;
    }
    size_t name_length = close - name_start;
    return qry_match_t{QP_FIELD, FIELD_WORD.size() + name_length + 1, 0, rest.substr(FIELD_WORD.size(), name_length)};
}

// Rules 1 to 4, at an opening brace.
qry_match_t qry_match_brace(qry_buffer_t* buffer, std::string_view rest) {
    if (auto match = qry_match_number(rest, ESC_WORD, QP_ESC)) {
        return *match;
    }
    if (auto match = qry_match_number(rest, RAW_WORD, QP_RAW)) {
        return *match;
    }
    if (auto match = qry_match_field(buffer, rest)) {
        return *match;
    }
    return qry_match_t{QP_TEXT, 1, 0, rest.substr(0, 1)};
}

// Rule 5: one or more characters other than "{".
qry_match_t qry_match_text(std::string_view rest) {
    size_t end = rest.find('{');
    if (end == std::string_view::npos) {
        end = rest.size();
    }
    return qry_match_t{QP_TEXT, end, 0, rest.substr(0, end)};
}

void qry_fill_value(sql_value_t* value, const qry_match_t& match) {
    if (match.token == QP_ESC || match.token == QP_RAW) {
        value_init_integer(value, match.number);
    } else {
        value_init_string_clen(value, match.name.data(), match.name.size());
    }
}

}  // namespace

int qrylex_init(qry_scanner_t** scanner) {
    if (scanner == nullptr) {
        errno = EINVAL;
        return 1;
    }
    auto* instance = static_cast<qry_scanner_t*>(std::calloc(1, sizeof(qry_scanner_t)));
    if (instance == nullptr) {
        errno = ENOMEM;
        return 1;
    }
    *scanner = instance;
    return 0;
}

qry_buffer_t* qry_scan_string(const char* text, qry_scanner_t* scanner) {
    size_t length = std::strlen(text);
    if (length > SIZE_MAX - 2) {
        fatal_error("out of dynamic memory in qry_scan_bytes()");
    }
    auto* copy = static_cast<char*>(std::malloc(length + 2));
    if (copy == nullptr) {
        fatal_error("out of dynamic memory in qry_scan_bytes()");
    }
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    copy[length + 1] = '\0';
    auto* buffer = static_cast<qry_buffer_t*>(std::malloc(sizeof(qry_buffer_t)));
    if (buffer == nullptr) {
        std::free(copy);
        fatal_error("out of dynamic memory in qry_scan_buffer()");
    }
    *buffer = qry_buffer_t{copy, length, 0, length, SIZE_MAX};
    scanner->current = buffer;
    return buffer;
}

int qrylex(sql_value_t* value, qry_scanner_t* scanner) {
    qry_buffer_t* buffer = scanner->current;
    if (buffer == nullptr || buffer->position >= buffer->length) {
        return QP_END;
    }
    std::string_view rest(buffer->text + buffer->position, buffer->length - buffer->position);
    qry_match_t match = rest.front() == '{' ? qry_match_brace(buffer, rest) : qry_match_text(rest);
    qry_fill_value(value, match);
    buffer->position += match.length;
    return match.token;
}

void qry_delete_buffer(qry_buffer_t* buffer, qry_scanner_t* scanner) {
    if (buffer == nullptr) {
        return;
    }
    if (scanner != nullptr && scanner->current == buffer) {
        scanner->current = nullptr;
    }
    std::free(buffer->text);
    std::free(buffer);
}

int qrylex_destroy(qry_scanner_t* scanner) {
    if (scanner == nullptr) {
        errno = EINVAL;
        return 1;
    }
    qry_delete_buffer(scanner->current, scanner);
    std::free(scanner);
    return 0;
}
