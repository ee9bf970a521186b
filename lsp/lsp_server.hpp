// The protocol side of tabula-lsp: JSON-RPC messages framed by Content-Length
// headers in, responses and notifications out. The server never blocks and
// never writes by itself: the caller feeds it the bytes it reads, writes what
// it leaves in `output`, and calls lsp_server_idle when no input is waiting,
// so that a burst of edits is compiled once, with the latest text.
#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>

#include "lsp_project.hpp"
#include "lsp_text.hpp"

struct lsp_server_t {
    lsp_project_t project;
    lsp_encoding_t encoding = ENCODING_UTF16;
    bool initialized = false;
    bool shut_down = false;
    bool exited = false;
    std::string input;                             // bytes not yet made into messages
    size_t skip = 0;                               // bytes still to drop of a message too large to take
    std::string output;                            // framed messages for the client
    std::set<std::string> changed;                 // documents whose projects must run again
    std::map<std::string, std::string> published;  // path with diagnostics -> root that put them there
};

void lsp_server_feed(lsp_server_t* server, std::string_view bytes);
// True when a run is waiting for lsp_server_idle.
bool lsp_server_busy(const lsp_server_t& server);
// Runs the projects of the changed documents and publishes their diagnostics.
void lsp_server_idle(lsp_server_t* server);
// Exit status once the client has said "exit": 0 after "shutdown", 1 otherwise.
int lsp_server_exit_status(const lsp_server_t& server);
