// Texts of documents and the translation between byte offsets and protocol
// positions (line, character), where characters are UTF-16 code units unless
// the client agreed on UTF-8. Line breaks are "\n", "\r\n" and a lone "\r",
// as the compiler counts them. Bytes that are not valid UTF-8 count as
// editors show them: one replacement character for each longest start of a
// valid sequence, or for each byte that starts none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum lsp_encoding_t { ENCODING_UTF16, ENCODING_UTF8 };

struct lsp_position_t {
    uint32_t line;
    uint32_t character;
};

struct lsp_text_t {
    std::string text;
    std::vector<size_t> line_starts;  // offset of the first byte of each line
};

void lsp_text_set(lsp_text_t* doc, std::string text);
lsp_position_t lsp_text_position(const lsp_text_t& doc, size_t offset, lsp_encoding_t encoding);
// The same, starting the search for the line at `*line` (the line of the
// previous call, for offsets that mostly go forward), which it updates.
lsp_position_t lsp_text_position_near(const lsp_text_t& doc, size_t offset, lsp_encoding_t encoding, uint32_t* line);
// Positions past the end of a line stand for its end, lines past the last
// for the end of the text.
size_t lsp_text_offset(const lsp_text_t& doc, lsp_position_t position, lsp_encoding_t encoding);
// Replaces the bytes between two offsets (an incremental change).
void lsp_text_replace(lsp_text_t* doc, size_t start, size_t end, std::string_view replacement);
// The 0-based line of an offset.
uint32_t lsp_text_line(const lsp_text_t& doc, size_t offset);

// file:// URIs and paths.
std::string lsp_uri_to_path(std::string_view uri);
// The name the server keeps a document by: its path for a file:// URI, the
// URI after a "/", its "/" and "%" escaped, for one that names no file yet
// ("untitled:"), so that it compiles as an absolute name of no file on disk;
// empty for others.
std::string lsp_uri_to_key(std::string_view uri);
std::string lsp_path_to_uri(std::string_view path);
// The path with "." and ".." resolved lexically, as editors name files.
std::string lsp_normal_path(std::string_view path);
