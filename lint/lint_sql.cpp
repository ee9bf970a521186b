// SQL type texts and values as the servers compare them.
#include "lint_sql.hpp"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool is_word_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }
char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

// Words and single punctuation characters, upper case, blanks dropped.
std::vector<std::string> tokens_of(std::string_view sql) {
    std::vector<std::string> tokens;
    size_t i = 0;
    while (i < sql.size()) {
        if (is_blank(sql[i])) {
            ++i;
        } else if (is_word_char(sql[i])) {
            std::string word;
            while (i < sql.size() && is_word_char(sql[i])) word += upper(sql[i++]);
            tokens.push_back(std::move(word));
        } else {
            tokens.emplace_back(1, sql[i++]);
        }
    }
    return tokens;
}

// The spellings that PostgreSQL and MariaDB both take for one type.
const std::array<std::pair<std::vector<std::string_view>, std::string_view>, 13> synonyms = {{
    {{"CHARACTER", "VARYING"}, "VARCHAR"},
    {{"CHAR", "VARYING"}, "VARCHAR"},
    {{"DOUBLE", "PRECISION"}, "DOUBLE"},
    {{"FLOAT8"}, "DOUBLE"},
    {{"FLOAT4"}, "REAL"},
    {{"CHARACTER"}, "CHAR"},
    {{"INT"}, "INTEGER"},
    {{"INT4"}, "INTEGER"},
    {{"INT8"}, "BIGINT"},
    {{"INT2"}, "SMALLINT"},
    {{"DEC"}, "NUMERIC"},
    {{"DECIMAL"}, "NUMERIC"},
    {{"BOOL"}, "BOOLEAN"},
}};

void replace_synonym(std::vector<std::string>* tokens) {
    for (const auto& [spelling, name] : synonyms) {
        if (tokens->size() < spelling.size()) continue;
        bool matches = true;
        for (size_t i = 0; i < spelling.size() && matches; ++i) matches = (*tokens)[i] == spelling[i];
        if (!matches) continue;
        tokens->erase(tokens->begin(), tokens->begin() + static_cast<std::ptrdiff_t>(spelling.size()));
        tokens->insert(tokens->begin(), std::string(name));
        return;
    }
}

std::string joined(const std::vector<std::string>& tokens) {
    std::string text;
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (i > 0 && is_word_char(tokens[i - 1].back()) && is_word_char(tokens[i].front())) text += ' ';
        text += tokens[i];
    }
    return text;
}

std::string first_word(std::string_view canonical) {
    size_t end = 0;
    while (end < canonical.size() && is_word_char(canonical[end])) ++end;
    return std::string(canonical.substr(0, end));
}

bool is_one_of(std::string_view word, std::initializer_list<std::string_view> words) {
    for (std::string_view candidate : words) {
        if (word == candidate) return true;
    }
    return false;
}

bool is_integer_type(std::string_view base) {
    return is_one_of(base, {"INTEGER", "BIGINT", "SMALLINT", "TINYINT", "MEDIUMINT", "INT1", "INT3", "SERIAL",
                            "BIGSERIAL", "SMALLSERIAL"});
}

// The canonical text without the parenthesised part that does not matter for
// a key: the length of a character type, the display width of an integer.
std::string key_type(std::string_view sql) {
    std::string canonical = lint_sql_canonical(sql);
    const std::string base = first_word(canonical);
    if (base != "VARCHAR" && base != "CHAR" && !is_integer_type(base)) return canonical;
    const size_t open = canonical.find('(');
    const size_t close = canonical.find(')', open);
    if (open != std::string::npos && close != std::string::npos) canonical.erase(open, close - open + 1);
    return canonical;
}

// Sign and digits of a number without leading zeros; "-0" is "0".
std::string without_leading_zeros(bool negative, std::string_view digits) {
    while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
    if (digits == "0") negative = false;
    return (negative ? "-" : "") + std::string(digits);
}

std::optional<std::string> decimal_text(std::string_view text) {
    text = trim(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    const size_t point = text.find('.');
    std::string_view whole = text.substr(0, point);
    std::string_view fraction = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if (whole.empty() && fraction.empty()) return std::nullopt;
    for (char c : whole) {
        if (!is_digit(c)) return std::nullopt;
    }
    for (char c : fraction) {
        if (!is_digit(c)) return std::nullopt;
    }
    while (!fraction.empty() && fraction.back() == '0') fraction.remove_suffix(1);
    const bool zero = whole.find_first_not_of('0') == std::string_view::npos && fraction.empty();
    std::string result = without_leading_zeros(negative && !zero, whole.empty() ? "0" : whole);
    if (!fraction.empty()) result += "." + std::string(fraction);
    return result;
}

std::string without_trailing_spaces(std::string_view text) {
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return std::string(text);
}

// -1, 0 or 1 as the integer texts a and b compare.
int compare_integers(std::string_view a, std::string_view b) {
    const bool a_negative = !a.empty() && a.front() == '-';
    const bool b_negative = !b.empty() && b.front() == '-';
    if (a_negative != b_negative) return a_negative ? -1 : 1;
    if (a_negative) {
        a.remove_prefix(1);
        b.remove_prefix(1);
    }
    int magnitude = a.size() != b.size() ? (a.size() < b.size() ? -1 : 1) : a.compare(b) < 0 ? -1 : a == b ? 0 : 1;
    return a_negative ? -magnitude : magnitude;
}

// The normal form, or else the text without its blanks (made only then).
std::string or_trimmed(std::optional<std::string> normal, std::string_view text) {
    return normal ? std::move(*normal) : std::string(trim(text));
}

}  // namespace

std::string lint_sql_canonical(std::string_view sql) {
    std::vector<std::string> tokens = tokens_of(sql);
    replace_synonym(&tokens);
    return joined(tokens);
}

bool lint_sql_same_key_type(std::string_view referring, std::string_view referred) {
    return key_type(referring) == key_type(referred);
}

lint_value_kind_t lint_sql_value_kind(std::string_view sql) {
    const std::string base = first_word(lint_sql_canonical(sql));
    if (is_integer_type(base)) return VALUE_KIND_INTEGER;
    if (is_one_of(base, {"NUMERIC", "REAL", "FLOAT", "DOUBLE"})) return VALUE_KIND_DECIMAL;
    if (is_one_of(base, {"CHAR", "NCHAR"})) return VALUE_KIND_PADDED;
    return VALUE_KIND_TEXT;
}

std::optional<lint_integer_range_t> lint_sql_integer_range(std::string_view sql) {
    const std::string canonical = lint_sql_canonical(sql);
    const std::string base = first_word(canonical);
    const bool is_unsigned = (" " + canonical + " ").find(" UNSIGNED ") != std::string::npos;
    struct width_t {
        std::initializer_list<std::string_view> names;
        lint_integer_range_t signed_range;
        std::string_view unsigned_high;
    };
    static const width_t widths[] = {
        {{"TINYINT", "INT1"}, {"-128", "127"}, "255"},
        {{"SMALLINT", "SMALLSERIAL"}, {"-32768", "32767"}, "65535"},
        {{"MEDIUMINT", "INT3"}, {"-8388608", "8388607"}, "16777215"},
        {{"INTEGER", "SERIAL"}, {"-2147483648", "2147483647"}, "4294967295"},
        {{"BIGINT", "BIGSERIAL"}, {"-9223372036854775808", "9223372036854775807"}, "18446744073709551615"},
    };
    for (const width_t& width : widths) {
        if (!is_one_of(base, width.names)) continue;
        if (is_unsigned) return lint_integer_range_t{"0", width.unsigned_high};
        return width.signed_range;
    }
    return std::nullopt;
}

std::optional<std::string> lint_integer_text(std::string_view text) {
    text = trim(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    for (char c : text) {
        if (!is_digit(c)) return std::nullopt;
    }
    return without_leading_zeros(negative, text);
}

bool lint_integer_in_range(std::string_view text, const lint_integer_range_t& range) {
    return compare_integers(text, range.low) >= 0 && compare_integers(text, range.high) <= 0;
}

bool lint_value_in_range(std::string_view text, const lint_integer_range_t& range) {
    // Most values are written plainly, already in lint_integer_text's form:
    // digits without a sign, blanks or leading zeros.
    const bool plain =
        !text.empty() && (text.size() == 1 || text.front() != '0') && std::all_of(text.begin(), text.end(), is_digit);
    if (plain) return lint_integer_in_range(text, range);
    const std::optional<std::string> number = lint_integer_text(text);
    return number && lint_integer_in_range(*number, range);
}

lint_sql_type_t lint_sql_type(std::string_view sql) {
    return {key_type(sql), lint_sql_value_kind(sql), lint_sql_integer_range(sql)};
}

std::string lint_value_key(lint_value_kind_t kind, std::string_view text, bool pad_blanks) {
    switch (kind) {
    case VALUE_KIND_INTEGER: return or_trimmed(lint_integer_text(text), text);
    case VALUE_KIND_DECIMAL: return or_trimmed(decimal_text(text), text);
    case VALUE_KIND_PADDED: return without_trailing_spaces(text);
    case VALUE_KIND_TEXT: break;
    }
    return pad_blanks ? without_trailing_spaces(text) : std::string(text);
}
