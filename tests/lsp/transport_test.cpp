// Framing of the message stream: what is handed out for whole, split,
// mis-framed and endless input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lsp_transport.hpp"

namespace {

std::vector<lsp_frame_t> frames_of(lsp_transport_t* transport, const std::string& bytes) {
    lsp_transport_feed(transport, bytes);
    std::vector<lsp_frame_t> frames;
    for (lsp_frame_t frame = lsp_transport_next(transport); frame.kind != FRAME_NONE;
         frame = lsp_transport_next(transport)) {
        frames.push_back(frame);
        if (frame.kind == FRAME_FATAL) break;
    }
    return frames;
}

TEST(LspTransport, MessagesSplitAnywhereComeOutWhole) {
    const std::string stream = lsp_transport_frame(R"({"a":1})") + "content-length:  9 \r\nX-Other: y\r\n\r\n" +
                               R"({"b":22})" + " " + lsp_transport_frame("{}");
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        lsp_transport_t transport;
        std::vector<lsp_frame_t> frames = frames_of(&transport, stream.substr(0, cut));
        for (const lsp_frame_t& frame : frames_of(&transport, stream.substr(cut))) frames.push_back(frame);
        ASSERT_EQ(frames.size(), 3u) << cut;
        EXPECT_EQ(frames[0].body, R"({"a":1})");
        EXPECT_EQ(frames[1].body, R"({"b":22} )");
        EXPECT_EQ(frames[2].body, "{}");
        for (const lsp_frame_t& frame : frames) EXPECT_EQ(frame.kind, FRAME_MESSAGE);
    }
}

TEST(LspTransport, BadHeadersAreDroppedAndTheNextMessageIsFound) {
    lsp_transport_t transport;
    // No length at all; junk before a header; a length that is no number.
    const auto frames =
        frames_of(&transport, "Content-Type: x\r\n\r\n" + std::string("junk}") + lsp_transport_frame("[1]") +
                                  "Content-Length: 1x\r\n\r\n" + lsp_transport_frame("[2]"));
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[0].kind, FRAME_ERROR);
    EXPECT_EQ(frames[1].kind, FRAME_ERROR);
    EXPECT_EQ(frames[2].body, "[1]");
    EXPECT_EQ(frames[3].kind, FRAME_ERROR);
    EXPECT_EQ(frames[4].body, "[2]");
}

TEST(LspTransport, ALengthThatRunsIntoTheNextMessageGivesUpItsStartAndKeepsTheNext) {
    const std::string first = R"({"id":7,"method":"x"})";
    const std::string next = lsp_transport_frame(R"({"id":8})");
    // Too long by a little and by much: the next header shows among the body's bytes.
    for (const size_t extra : {size_t{3}, size_t{10000}}) {
        lsp_transport_t transport;
        const auto frames = frames_of(
            &transport, "Content-Length: " + std::to_string(first.size() + extra) + "\r\n\r\n" + first + next);
        ASSERT_EQ(frames.size(), 2u) << extra;
        EXPECT_EQ(frames[0].kind, FRAME_ERROR);
        EXPECT_EQ(frames[0].body, first);
        EXPECT_EQ(frames[1].kind, FRAME_MESSAGE);
        EXPECT_EQ(frames[1].body, R"({"id":8})");
    }
    // A body's own text that looks like a header, inside a string, is no header.
    lsp_transport_t transport;
    const std::string quoted = R"({"text":"Content-Length: 5\r\n\r\n"})";
    const auto frames = frames_of(&transport, lsp_transport_frame(quoted));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].body, quoted);
}

TEST(LspTransport, AHeaderThatNeverEndsIsFatalAndOversizedBodiesAreSkipped) {
    lsp_transport_t endless;
    const auto frames = frames_of(&endless, std::string(LSP_HEADER_LIMIT + 1, 'x'));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].kind, FRAME_FATAL);
    EXPECT_TRUE(frames_of(&endless, lsp_transport_frame("{}")).empty());

    lsp_transport_t large;
    const std::string header = "Content-Length: " + std::to_string(LSP_MESSAGE_LIMIT + 4) + "\r\n\r\n";
    auto skipped = frames_of(&large, header + "abc");
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_EQ(skipped[0].kind, FRAME_ERROR);
    // The rest of its body is dropped as it comes, however it looks.
    EXPECT_TRUE(frames_of(&large, lsp_transport_frame("[]")).empty());
    EXPECT_EQ(large.skip, LSP_MESSAGE_LIMIT + 1 - lsp_transport_frame("[]").size());
}

}  // namespace
