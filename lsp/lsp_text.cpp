// Document texts and positions. Every offset handed in is clamped to the
// text, so a stale or hostile position never reads outside it.
#include "lsp_text.hpp"

#include <algorithm>
#include <filesystem>

namespace {

void index_lines(lsp_text_t* doc) {
    doc->line_starts.clear();
    doc->line_starts.push_back(0);
    const std::string& text = doc->text;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
            doc->line_starts.push_back(i + 1);
        } else if (text[i] == '\n') {
            doc->line_starts.push_back(i + 1);
        }
    }
}

// End of the line's content, its line break excluded.
size_t line_end(const lsp_text_t& doc, uint32_t line) {
    size_t end = line + 1 < doc.line_starts.size() ? doc.line_starts[line + 1] : doc.text.size();
    while (end > doc.line_starts[line] && (doc.text[end - 1] == '\n' || doc.text[end - 1] == '\r')) --end;
    return end;
}

// Length in bytes of the UTF-8 sequence at text[p, end). Where the bytes
// are not valid UTF-8, the longest start of a valid sequence (at least one
// byte) is one character, as decoders that follow the Unicode standard's
// practice show it: one replacement character.
size_t sequence_bytes(const std::string& text, size_t p, size_t end) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(p);
    size_t length = 1;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    }
    size_t valid = 1;
    while (valid < length && p + valid < end) {
        const unsigned char next = byte(p + valid);
        if (valid == 1 ? next < low || next > high : next < 0x80 || next > 0xBF) break;
        ++valid;
    }
    return valid;
}

// UTF-16 code units of the character sequence_bytes found.
uint32_t sequence_units(size_t bytes) { return bytes == 4 ? 2 : 1; }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

void lsp_text_set(lsp_text_t* doc, std::string text) {
    doc->text = std::move(text);
    index_lines(doc);
}

uint32_t lsp_text_line(const lsp_text_t& doc, size_t offset) {
    auto it = std::upper_bound(doc.line_starts.begin(), doc.line_starts.end(), offset);
    return static_cast<uint32_t>(it - doc.line_starts.begin() - 1);
}

namespace {

lsp_position_t position_on_line(const lsp_text_t& doc, size_t offset, lsp_encoding_t encoding, uint32_t line) {
    size_t p = doc.line_starts[line];
    if (encoding == ENCODING_UTF8) return {line, static_cast<uint32_t>(offset - p)};
    uint32_t units = 0;
    const size_t end = line + 1 < doc.line_starts.size() ? doc.line_starts[line + 1] : doc.text.size();
    while (p < offset && static_cast<unsigned char>(doc.text[p]) < 0x80) ++p, ++units;  // most text is ASCII
    while (p < offset) {
        const size_t bytes = sequence_bytes(doc.text, p, end);
        units += sequence_units(bytes);
        p += bytes;
    }
    return {line, units};
}

}  // namespace

lsp_position_t lsp_text_position(const lsp_text_t& doc, size_t offset, lsp_encoding_t encoding) {
    offset = std::min(offset, doc.text.size());
    return position_on_line(doc, offset, encoding, lsp_text_line(doc, offset));
}

lsp_position_t lsp_text_position_near(const lsp_text_t& doc, size_t offset, lsp_encoding_t encoding, uint32_t* line) {
    offset = std::min(offset, doc.text.size());
    const size_t lines = doc.line_starts.size();
    uint32_t at = *line < lines && doc.line_starts[*line] <= offset ? *line : lsp_text_line(doc, offset);
    for (int step = 0; at + 1 < lines && doc.line_starts[at + 1] <= offset; ++at) {
        if (++step == 8) {  // far ahead: search instead
            at = lsp_text_line(doc, offset);
            break;
        }
    }
    *line = at;
    return position_on_line(doc, offset, encoding, at);
}

size_t lsp_text_offset(const lsp_text_t& doc, lsp_position_t position, lsp_encoding_t encoding) {
    if (position.line >= doc.line_starts.size()) return doc.text.size();
    const size_t start = doc.line_starts[position.line];
    const size_t end = line_end(doc, position.line);
    if (encoding == ENCODING_UTF8) return std::min(end, start + position.character);
    size_t p = start;
    uint32_t units = 0;
    while (p < end && units < position.character) {
        const size_t bytes = sequence_bytes(doc.text, p, end);
        units += sequence_units(bytes);
        p += bytes;
    }
    return std::min(p, end);
}

void lsp_text_replace(lsp_text_t* doc, size_t start, size_t end, std::string_view replacement) {
    end = std::min(end, doc->text.size());
    start = std::min(start, end);
    doc->text.replace(start, end - start, replacement);
    index_lines(doc);
}

std::string lsp_uri_to_path(std::string_view uri) {
    constexpr std::string_view scheme = "file://";
    if (uri.substr(0, scheme.size()) != scheme) return {};
    uri.remove_prefix(scheme.size());
    const size_t slash = uri.find('/');  // skips an authority such as "localhost"
    if (slash == std::string_view::npos) return {};
    uri.remove_prefix(slash);
    std::string path;
    for (size_t i = 0; i < uri.size(); ++i) {
        if (uri[i] == '%' && i + 2 < uri.size() && hex_digit(uri[i + 1]) >= 0 && hex_digit(uri[i + 2]) >= 0) {
            path += static_cast<char>(hex_digit(uri[i + 1]) * 16 + hex_digit(uri[i + 2]));
            i += 2;
        } else {
            path += uri[i];
        }
    }
    if (path.find('\0') != std::string::npos) return {};
    return lsp_normal_path(path);
}

std::string lsp_uri_to_key(std::string_view uri) {
    // The compiler makes relative names absolute: a name that starts with
    // "/" reaches the input hook as it is.
    // The URI is kept as one component ("/" and "%" escaped), which
    // normalising a path leaves alone: "//" or ".." in it would otherwise
    // name another file than the document.
    if (uri.substr(0, 9) == "untitled:") {
        if (uri.find('\0') != std::string_view::npos) return {};
        std::string key = "/";
        for (const char c : uri) key += c == '/' ? "%2F" : c == '%' ? "%25" : std::string(1, c);
        return key;
    }
    return lsp_uri_to_path(uri);
}

std::string lsp_path_to_uri(std::string_view path) {
    static const char digits[] = "0123456789ABCDEF";
    std::string uri = "file://";
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
            std::string_view("-._~/").find(c) != std::string_view::npos) {
            uri += c;
        } else {
            uri += '%';
            uri += digits[byte >> 4];
            uri += digits[byte & 15];
        }
    }
    return uri;
}

std::string lsp_normal_path(std::string_view path) {
    std::string normal = std::filesystem::path(path).lexically_normal().string();
    if (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal;
}
