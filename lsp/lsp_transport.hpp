// The transport of tabula-lsp: message bodies framed by header lines ("Name:
// value" and CRLF), an empty line, then exactly Content-Length bytes of body.
// It knows nothing of JSON beyond this: a body raw CR LF can only stand
// between JSON tokens, where a header line cannot, which is how a wrong
// Content-Length is told from a body.
//
// Invariants: every byte fed is either part of one message handed out, or
// dropped with exactly one FRAME_ERROR for the run of bytes it belonged to;
// after a FRAME_FATAL nothing more is handed out.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

enum lsp_frame_kind_t {
    FRAME_NONE,     // more input needed
    FRAME_MESSAGE,  // `body` is one message
    FRAME_ERROR,    // bytes were dropped; `body` holds the start of a mis-framed message, if any
    FRAME_FATAL,    // the stream cannot be followed any more; `error` says why
};

struct lsp_frame_t {
    lsp_frame_kind_t kind = FRAME_NONE;
    std::string body;
    std::string error;
};

struct lsp_transport_t {
    std::string input;    // bytes not yet made into frames
    size_t skip = 0;      // bytes still to drop of a message too large to take
    size_t scanned = 0;   // body bytes of the message in `input` already searched for a header
    bool failed = false;  // a FRAME_FATAL was handed out
};

// The largest header, and the largest body, taken.
constexpr size_t LSP_HEADER_LIMIT = 64 * 1024;
constexpr size_t LSP_MESSAGE_LIMIT = 512 * 1024 * 1024;

void lsp_transport_feed(lsp_transport_t* transport, std::string_view bytes);
// The next frame of the input fed so far.
lsp_frame_t lsp_transport_next(lsp_transport_t* transport);
// `body` with its header, ready to write.
std::string lsp_transport_frame(std::string_view body);
