// Fuzz target: the message stream of tabula-lsp. A fresh server is told
// "initialize" with the scratch folder as its workspace; then the input is fed
// as what a client sends, either as raw bytes (first byte not 'F') or, after
// an 'F', as message bodies separated by the byte 0x01 that get their
// Content-Length headers here, so that the fuzzer reaches the handlers
// without having to count. The server's idle step runs after each body and
// at the end. Properties beyond "no crash, leak or hang":
//   - everything the server writes is a sequence of framed messages whose
//     Content-Length is exact and whose bodies are valid JSON;
//   - after framed input, a final "shutdown" request is answered, so no input
//     wedges the server.
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "lsp_protocol.hpp"

namespace {

std::string framed(std::string_view body) {
    return "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

// Checks the framing of the server's output and returns how many responses
// carry the id `id`.
int check_output(const std::string& output, int id) {
    int answers = 0;
    size_t at = 0;
    while (at < output.size()) {
        const size_t header_end = output.find("\r\n\r\n", at);
        if (output.compare(at, 16, "Content-Length: ") != 0 || header_end == std::string::npos) {
            fuzz_fail("output not framed at byte %zu", at);
        }
        const size_t length = std::stoul(output.substr(at + 16, header_end - at - 16));
        const size_t body_start = header_end + 4;
        if (body_start + length > output.size()) fuzz_fail("Content-Length %zu past the output's end", length);
        const std::string_view body(output.data() + body_start, length);
        if (!nlohmann::json::accept(body)) fuzz_fail("message body is not JSON: %.200s", std::string(body).c_str());
        const auto message = nlohmann::json::parse(body);
        if (message.contains("id") && message["id"] == id && !message.contains("method")) ++answers;
        at = body_start + length;
    }
    return answers;
}

// Feeds the bytes and takes every piece of a large response.
void feed(lsp_server_t* server, std::string_view bytes) {
    lsp_server_feed(server, bytes);
    while (lsp_server_continue(server)) {
    }
}

// Runs what waits, the lint checks too: no client speaks in between.
void settle(lsp_server_t* server) {
    while (lsp_server_busy(*server)) lsp_server_idle(server, [] { return false; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_setup();
    const std::string workspace = fuzz_path("");
    std::string_view input(reinterpret_cast<const char*>(data), size);
    lsp_server_t server;
    const nlohmann::json initialize = {{"jsonrpc", "2.0"},
                                       {"id", 0},
                                       {"method", "initialize"},
                                       {"params", {{"rootUri", "file://" + workspace}, {"capabilities", {}}}}};
    feed(&server, framed(initialize.dump()));
    const bool framed_mode = !input.empty() && input.front() == 'F';
    // A body holding a line end may hold a header line of its own, where the
    // server resynchronises; what follows is then no longer framed as sent.
    bool body_with_line_end = false;
    if (framed_mode) {
        input.remove_prefix(1);
        while (!input.empty()) {
            const size_t end = std::min(input.find('\x01'), input.size());
            if (input.substr(0, end).find("\r\n") != std::string_view::npos) body_with_line_end = true;
            feed(&server, framed(input.substr(0, end)));
            settle(&server);
            input.remove_prefix(std::min(end + 1, input.size()));
        }
    } else {
        feed(&server, input);
    }
    settle(&server);
    constexpr int FINAL_ID = 987654321;
    if (framed_mode && !server.exited) {
        feed(&server, framed(R"({"jsonrpc":"2.0","id":987654321,"method":"shutdown"})"));
    }
    const int answers = check_output(server.output, FINAL_ID);
    if (framed_mode && !server.exited && !body_with_line_end && answers < 1) fuzz_fail("shutdown not answered");
    fuzz_release_run();
    return 0;
}
