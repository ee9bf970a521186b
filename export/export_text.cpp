// UTF-8 checking and the mapping of texts for the diagram formats.
#include "export_text.hpp"

#include <cstdint>
#include <cstring>

namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

void append_hex_escape(std::string* out, unsigned char byte, export_escape_t escape) {
    static const char digits[] = "0123456789ABCDEF";
    out->append(escape.open);
    out->push_back(digits[byte >> 4]);
    out->push_back(digits[byte & 0xF]);
    out->append(escape.close);
}

}  // namespace

size_t export_text_utf8_char(std::string_view text, char32_t* code_point) {
    if (text.empty()) return 0;
    const auto lead = static_cast<unsigned char>(text[0]);
    size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        *code_point = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (!is_continuation(byte)) return 0;
        value = (value << 6) | (byte & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *code_point = value;
    return length;
}

bool export_text_is_utf8(std::string_view text) {
    size_t at = 0;
    while (at < text.size()) {
        // ASCII runs are the common case; they need no decoding, and are
        // skipped eight bytes at a time.
        uint64_t word = 0;
        if (at + sizeof word <= text.size()) {
            std::memcpy(&word, text.data() + at, sizeof word);
            if ((word & 0x8080808080808080u) == 0) {
                at += sizeof word;
                continue;
            }
        }
        if (static_cast<unsigned char>(text[at]) < 0x80) {
            ++at;
            continue;
        }
        char32_t code_point = 0;
        const size_t length = export_text_utf8_char(text.substr(at), &code_point);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::string export_text_label(std::string_view text, std::string_view escaped, export_escape_t escape) {
    std::string out;
    out.reserve(text.size());
    size_t at = 0;
    while (at < text.size()) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7F || escaped.find(static_cast<char>(byte)) != escaped.npos) {
                append_hex_escape(&out, byte, escape);
            } else {
                out.push_back(static_cast<char>(byte));
            }
            ++at;
            continue;
        }
        char32_t code_point = 0;
        const size_t length = export_text_utf8_char(text.substr(at), &code_point);
        if (length == 0) {
            append_hex_escape(&out, byte, escape);
            ++at;
        } else if (code_point == 0xFFFE || code_point == 0xFFFF) {
            // Not characters of XML, which the drawings are written in.
            for (size_t i = 0; i < length; ++i) {
                append_hex_escape(&out, static_cast<unsigned char>(text[at + i]), escape);
            }
            at += length;
        } else {
            out.append(text.substr(at, length));
            at += length;
        }
    }
    return out;
}
