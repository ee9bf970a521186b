// Framing. A header is taken when its "\r\n\r\n" has arrived; a body when all
// of its bytes have. Two faults are repaired by finding the next header: a
// header without a usable Content-Length, and a length that runs into the
// next message (found as a header line among the body's bytes). Only a
// header that never ends is beyond repair.
#include "lsp_transport.hpp"

#include <algorithm>
#include <cctype>

namespace {

constexpr std::string_view LENGTH_NAME = "content-length:";
constexpr size_t HEADER_LINE_LIMIT = 64;  // "Content-Length: N" with room for blanks

bool equals_ignoring_case(std::string_view text, size_t at, std::string_view lower) {
    if (at + lower.size() > text.size()) return false;
    for (size_t i = 0; i < lower.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[at + i])) != lower[i]) return false;
    }
    return true;
}

size_t find_ignoring_case(std::string_view text, std::string_view lower, size_t from) {
    for (size_t at = from; at + lower.size() <= text.size(); ++at) {
        if (equals_ignoring_case(text, at, lower)) return at;
    }
    return std::string_view::npos;
}

// The value of a "Content-Length: N" line among the header's lines, or -1.
long long content_length(std::string_view header) {
    size_t line_start = 0;
    while (line_start < header.size()) {
        size_t line_end = header.find("\r\n", line_start);
        if (line_end == std::string_view::npos) line_end = header.size();
        std::string_view line = header.substr(line_start, line_end - line_start);
        line_start = line_end + 2;
        if (!equals_ignoring_case(line, 0, LENGTH_NAME)) continue;
        line.remove_prefix(LENGTH_NAME.size());
        while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
        while (!line.empty() && line.back() == ' ') line.remove_suffix(1);
        if (line.empty() || line.size() > 12 || line.find_first_not_of("0123456789") != std::string_view::npos) {
            return -1;
        }
        return std::stoll(std::string(line));
    }
    return -1;
}

// Start of a "Content-Length: N" header line that ends with CR LF within
// text[from, to), or npos.
size_t header_line_within(std::string_view text, size_t from, size_t to) {
    for (size_t at = text.find("\r\n", from); at != std::string_view::npos && at + 2 <= to;
         at = text.find("\r\n", at + 1)) {
        size_t p = at;
        while (p > from && text[p - 1] == ' ') --p;
        const size_t digits_end = p;
        while (p > from && std::isdigit(static_cast<unsigned char>(text[p - 1]))) --p;
        if (p == digits_end) continue;
        while (p > from && text[p - 1] == ' ') --p;
        if (p < from + LENGTH_NAME.size()) continue;
        if (equals_ignoring_case(text, p - LENGTH_NAME.size(), LENGTH_NAME)) return p - LENGTH_NAME.size();
    }
    return std::string_view::npos;
}

lsp_frame_t error_frame(const char* error, std::string body = {}) { return {FRAME_ERROR, std::move(body), error}; }

}  // namespace

void lsp_transport_feed(lsp_transport_t* transport, std::string_view bytes) {
    if (transport->failed) return;
    if (transport->skip > 0) {
        const size_t dropped = std::min(transport->skip, bytes.size());
        transport->skip -= dropped;
        bytes.remove_prefix(dropped);
    }
    transport->input.append(bytes);
}

lsp_frame_t lsp_transport_next(lsp_transport_t* transport) {
    if (transport->failed || transport->skip > 0) return {};
    std::string& input = transport->input;
    const size_t header_end = input.find("\r\n\r\n");
    if (header_end == std::string::npos) {
        if (input.size() <= LSP_HEADER_LIMIT) return {};
        transport->failed = true;
        input.clear();
        return {FRAME_FATAL, {}, "no message header in the last 64 KiB of input"};
    }
    const std::string_view header = std::string_view(input).substr(0, header_end);
    const long long length = content_length(header);
    if (length < 0) {
        // A header line after bytes that belong to no message: start there.
        const size_t next = find_ignoring_case(header, LENGTH_NAME, 1);
        input.erase(0, next != std::string_view::npos ? next : header_end + 4);
        transport->scanned = 0;
        return error_frame("Missing or bad Content-Length");
    }
    const size_t body_start = header_end + 4;
    if (static_cast<unsigned long long>(length) > LSP_MESSAGE_LIMIT) {
        input.erase(0, body_start);
        const size_t dropped = std::min(input.size(), static_cast<size_t>(length));
        input.erase(0, dropped);
        transport->skip = static_cast<size_t>(length) - dropped;
        transport->scanned = 0;
        return error_frame("Message too large");
    }
    const size_t wanted = static_cast<size_t>(length);
    const size_t available = std::min(input.size() - body_start, wanted);
    // The search goes back a little, for a header line cut by the last read.
    const size_t from = body_start + (transport->scanned > 64 ? transport->scanned - 64 : 0);
    // A header line that starts inside the body may end a little past it.
    const size_t to = std::min(input.size(), body_start + available + HEADER_LINE_LIMIT);
    const size_t misplaced = header_line_within(input, from, to);
    if (misplaced != std::string::npos && misplaced < body_start + wanted) {
        std::string start = input.substr(body_start, misplaced - body_start);
        input.erase(0, misplaced);
        transport->scanned = 0;
        return error_frame("Content-Length runs into the next message", std::move(start));
    }
    if (available < wanted) {
        transport->scanned = available;
        return {};
    }
    lsp_frame_t frame{FRAME_MESSAGE, input.substr(body_start, wanted), {}};
    input.erase(0, body_start + wanted);
    transport->scanned = 0;
    return frame;
}

std::string lsp_transport_frame(std::string_view body) {
    std::string framed = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    framed += body;
    return framed;
}
