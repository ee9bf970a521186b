// How the servers read the SQL type texts and initial values of a schema, as
// far as the lint rules need it: which types are one type, and which values
// are one key.
//
// Every function here is pure. Type texts are compared in a canonical form:
// upper case, blanks only where they separate two words, the servers' common
// spellings of one type reduced to one name (INT and INTEGER, DECIMAL and
// NUMERIC, ...), and the length of a character type left out, since a key of
// one length may refer to a key of another.
#pragma once

#include <optional>
#include <string>
#include <string_view>

enum lint_value_kind_t {
    VALUE_KIND_INTEGER,  // whole numbers: one value however it is written
    VALUE_KIND_DECIMAL,  // other numbers: 1.50 and 1.5 are one value
    VALUE_KIND_PADDED,   // CHAR: trailing blanks do not count
    VALUE_KIND_TEXT,     // everything else: compared byte for byte
};

struct lint_integer_range_t {  // bounds in the form lint_integer_text gives
    std::string_view low;
    std::string_view high;
};

// The canonical form of an SQL type text.
std::string lint_sql_canonical(std::string_view sql);
// Whether a key of type `referring` may refer to a key of type `referred`.
bool lint_sql_same_key_type(std::string_view referring, std::string_view referred);
// How values of the type are compared.
lint_value_kind_t lint_sql_value_kind(std::string_view sql);
// The values an integer type holds, or none when the type is no integer type
// of a known width.
std::optional<lint_integer_range_t> lint_sql_integer_range(std::string_view sql);

// What the rules need of one SQL type text, worked out once per text.
struct lint_sql_type_t {
    std::string key;  // equal for the types lint_sql_same_key_type matches
    lint_value_kind_t kind = VALUE_KIND_TEXT;
    std::optional<lint_integer_range_t> range;  // lint_sql_integer_range
};
lint_sql_type_t lint_sql_type(std::string_view sql);

// The value `text` of a field of `kind` as the key the servers compare: one
// text for every spelling of one value. Texts that are no number of a numeric
// kind are kept as written, less surrounding blanks. `pad_blanks` drops
// trailing blanks of texts too, as MariaDB's default collations do when they
// compare keys.
std::string lint_value_key(lint_value_kind_t kind, std::string_view text, bool pad_blanks);
// The integer that `text` spells (blanks around it, a sign and leading
// zeros allowed) as a sign and digits without leading zeros, or none.
std::optional<std::string> lint_integer_text(std::string_view text);
// Whether the integer `text` (as lint_integer_text gives it) is in `range`.
bool lint_integer_in_range(std::string_view text, const lint_integer_range_t& range);
// Whether the value `text`, as written, is an integer in `range`.
bool lint_value_in_range(std::string_view text, const lint_integer_range_t& range);
