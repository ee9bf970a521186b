// The protocol layer fed directly: request ids, the one initialize, file
// watchers asked for, and a mis-framed request that still hears back.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "lsp_protocol.hpp"

using json = nlohmann::json;

namespace {

// The messages the server wrote since the last call, in order.
std::vector<json> take_output(lsp_server_t* server) {
    std::vector<json> messages;
    while (lsp_server_continue(server)) {
    }
    lsp_transport_t reader;
    lsp_transport_feed(&reader, server->output);
    server->output.clear();
    for (lsp_frame_t frame = lsp_transport_next(&reader); frame.kind == FRAME_MESSAGE;
         frame = lsp_transport_next(&reader)) {
        messages.push_back(json::parse(frame.body));
    }
    return messages;
}

void send_raw(lsp_server_t* server, const std::string& body) { lsp_server_feed(server, lsp_transport_frame(body)); }

void initialize(lsp_server_t* server, const json& capabilities = json::object()) {
    send_raw(server,
             json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", "initialize"}, {"params", {{"capabilities", capabilities}}}}
                 .dump());
    take_output(server);
}

TEST(LspProtocol, IdsThatAreNeitherStringsNorIntegersAreRefusedAndNotCarriedOut) {
    lsp_server_t server;
    initialize(&server);
    for (const char* id : {"1.5", "{\"a\":1}", "[2]", "true", "1e300", "18446744073709551616"}) {
        send_raw(&server, std::string(R"({"jsonrpc":"2.0","method":"shutdown","id":)") + id + "}");
        const auto messages = take_output(&server);
        ASSERT_EQ(messages.size(), 1u) << id;
        EXPECT_TRUE(messages[0]["id"].is_null()) << id;
        EXPECT_EQ(messages[0]["error"]["code"], -32600) << id;
        EXPECT_FALSE(server.shut_down) << id;
    }
    // Integers past 2^53 come back exactly as they were sent; so do strings.
    for (const char* id : {"9007199254740993", "18446744073709551615", "-9223372036854775808", "\"x\""}) {
        send_raw(&server, std::string(R"({"jsonrpc":"2.0","method":"no/such","id":)") + id + "}");
        const std::string written = server.output;
        EXPECT_NE(written.find(std::string("\"id\":") + id), std::string::npos) << written;
        take_output(&server);
    }
}

TEST(LspProtocol, ASecondInitializeIsRefusedAndChangesNothing) {
    lsp_server_t server;
    initialize(&server, {{"general", {{"positionEncodings", {"utf-8"}}}}});
    ASSERT_EQ(server.encoding, ENCODING_UTF8);
    send_raw(&server, R"({"jsonrpc":"2.0","id":2,"method":"initialize","params":{"capabilities":{}}})");
    const auto messages = take_output(&server);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]["error"]["code"], -32600);
    EXPECT_EQ(server.encoding, ENCODING_UTF8);
}

TEST(LspProtocol, FileWatchersAreRegisteredOnlyWhereTheClientCan) {
    for (const bool dynamic : {false, true}) {
        lsp_server_t server;
        initialize(&server, {{"workspace", {{"didChangeWatchedFiles", {{"dynamicRegistration", dynamic}}}}}});
        send_raw(&server, R"({"jsonrpc":"2.0","method":"initialized","params":{}})");
        const auto messages = take_output(&server);
        ASSERT_EQ(messages.size(), dynamic ? 1u : 0u);
        if (!dynamic) continue;
        EXPECT_EQ(messages[0]["method"], "client/registerCapability");
        EXPECT_EQ(messages[0]["params"]["registrations"][0]["method"], "workspace/didChangeWatchedFiles");
        // The client's answer is taken quietly.
        send_raw(&server, R"({"jsonrpc":"2.0","id":"tabula-lsp/watch","result":null})");
        EXPECT_TRUE(take_output(&server).empty());
    }
}

TEST(LspProtocol, AMisFramedRequestIsAnsweredWithItsIdAndTheNextOneToo) {
    lsp_server_t server;
    initialize(&server);
    const std::string first = R"({"jsonrpc":"2.0","id":5,"method":"shutdown"})";
    const std::string second = R"({"jsonrpc":"2.0","id":6,"method":"no/such"})";
    lsp_server_feed(&server, "Content-Length: " + std::to_string(first.size() + 40) + "\r\n\r\n" + first +
                                 lsp_transport_frame(second));
    const auto messages = take_output(&server);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0]["id"], 5);
    EXPECT_EQ(messages[0]["error"]["code"], -32700);
    EXPECT_FALSE(server.shut_down);
    EXPECT_EQ(messages[1]["id"], 6);
    EXPECT_EQ(messages[1]["error"]["code"], -32601);
}

// A response larger than a piece leaves the output incomplete until it is
// continued; messages sent behind it are handled after it, in order, so the
// change below does not reach the first answer.
TEST(LspProtocol, ALargeSymbolsResponseComesInPiecesAheadOfTheMessagesBehindIt) {
    lsp_server_t server;
    initialize(&server);
    std::string text = "type id_t = \"INTEGER\";\n";
    for (int i = 0; i < 3000; ++i) {
        text += "table t" + std::to_string(i) + " {\n    primary id_t id;\n    id_t a;\n    id_t b;\n    id_t c;\n};\n";
    }
    const json open = {{"jsonrpc", "2.0"},
                       {"method", "textDocument/didOpen"},
                       {"params", {{"textDocument", {{"uri", "untitled:Big"}, {"version", 1}, {"text", text}}}}}};
    const json change = {{"jsonrpc", "2.0"},
                         {"method", "textDocument/didChange"},
                         {"params",
                          {{"textDocument", {{"uri", "untitled:Big"}, {"version", 2}}},
                           {"contentChanges", {{{"text", "table only { id_t x; };"}}}}}}};
    const auto symbols = [](int id) {
        return json{{"jsonrpc", "2.0"},
                    {"id", id},
                    {"method", "textDocument/documentSymbol"},
                    {"params", {{"textDocument", {{"uri", "untitled:Big"}}}}}}
            .dump();
    };
    lsp_server_feed(&server, lsp_transport_frame(open.dump()) + lsp_transport_frame(symbols(2)) +
                                 lsp_transport_frame(change.dump()) + lsp_transport_frame(symbols(3)));
    ASSERT_TRUE(server.pending);
    const size_t first_piece = server.output.size();
    EXPECT_LT(first_piece, 1024u * 1024u);
    const auto messages = take_output(&server);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0]["id"], 2);
    ASSERT_EQ(messages[0]["result"].size(), 3001u);
    EXPECT_EQ(messages[0]["result"][3000]["name"], "t2999");
    EXPECT_EQ(messages[0]["result"][3000]["children"].size(), 4u);
    EXPECT_EQ(messages[0]["result"][3000]["range"]["end"]["line"], 3000 * 6);
    EXPECT_EQ(messages[1]["id"], 3);
    ASSERT_EQ(messages[1]["result"].size(), 1u);
    EXPECT_EQ(messages[1]["result"][0]["name"], "only");
    EXPECT_FALSE(server.pending);
}

}  // namespace
