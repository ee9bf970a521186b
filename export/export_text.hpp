// Texts of the schema as the export formats can carry them. Definition texts
// are bytes: JSON needs them to be UTF-8, and the diagram languages accept
// only some characters in some places, so each format either refuses a text
// (JSON) or writes it through one of the mappings below (diagrams).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Whether `text` is well-formed UTF-8: no stray continuation bytes, no
// truncated or overlong sequences, no surrogates, nothing past U+10FFFF.
bool export_text_is_utf8(std::string_view text);

// Length of the well-formed UTF-8 character at the start of `text`, or 0
// when it does not start with one; its code point in *code_point.
size_t export_text_utf8_char(std::string_view text, char32_t* code_point);

// How a label writes a byte it cannot carry: `open`, two upper-case
// hexadecimal digits, `close`.
struct export_escape_t {
    std::string_view open;
    std::string_view close;
};

// A label for display: every character kept as it is, except the bytes in
// `escaped` (ASCII only), the control bytes 1-31 and 127, the bytes of
// U+FFFE and U+FFFF (no characters of XML), and every byte that is not part
// of a well-formed UTF-8 character, which are written through `escape`.
std::string export_text_label(std::string_view text, std::string_view escaped, export_escape_t escape);

// A word made only of ASCII letters, digits and the ASCII characters of
// `kept`, and of UTF-8 characters from U+00C0 up (which the Mermaid lexer
// takes as letters): any other character, and every byte that is not part
// of a well-formed UTF-8 character, becomes "_". An empty text gives "_".
std::string export_text_word(std::string_view text, std::string_view kept);
