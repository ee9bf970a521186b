// The protocol of tabula-lsp: JSON-RPC messages of the Language Server
// Protocol 3.17 in, responses and notifications out, with the capabilities
// the server offers and the dispatch to the features. The server never
// blocks and never writes by itself: the caller feeds it the bytes it reads,
// writes what it leaves in `output`, and calls lsp_server_idle when no input
// is waiting, so that a burst of edits is compiled once, with the latest text.
// A response too large to hold whole is left pending after its first piece:
// the caller writes the output and calls lsp_server_continue for the next
// piece until it returns false; the messages after it wait until then.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "lsp_features.hpp"
#include "lsp_project.hpp"
#include "lsp_text.hpp"
#include "lsp_transport.hpp"

struct lsp_server_t {
    lsp_transport_t transport;
    lsp_project_t project;
    lsp_encoding_t encoding = ENCODING_UTF16;
    bool initialized = false;
    bool shut_down = false;
    bool exited = false;
    bool register_watchers = false;  // the client registers file watchers when asked
    std::string failure;             // why the input cannot be followed any more; empty while it can
    std::string output;              // framed messages for the client
    // Writes the next piece of a pending response into the output; true while
    // more remains. Empty when no response is pending.
    std::function<bool(std::string* output)> pending;
    std::set<std::string> changed;  // files whose projects must run again
    // What each project's last run found, by root, then by file.
    std::map<std::string, std::map<std::string, std::vector<lsp_finding_t>>> findings;
    // The lint rules' warnings of each project's last finished check, by root,
    // then by file. They stay while a newer run waits for its check, which
    // comes after the run's errors are out, when the client is quiet.
    std::map<std::string, std::map<std::string, std::vector<lsp_finding_t>>> warnings;
    std::map<std::string, std::shared_ptr<const schema_t>> lint_waiting;  // by root: the model to check
    // The warnings of a root for a file as written when first published,
    // until the root's next check: thousands of them go out with every edit.
    std::map<std::string, std::map<std::string, std::string>> warnings_text;
    std::set<std::string> published;         // files whose last diagnostics sent were not empty
    bool lint_enabled = true;                // the client's settings may turn the lint rules off
    std::vector<std::string> lint_disabled;  // lint rules the client's settings turn off
};

void lsp_server_feed(lsp_server_t* server, std::string_view bytes);
// Adds the next piece of a pending response to `output`, and after its last
// piece handles the messages that waited; false when nothing was pending, so
// that the output holds everything asked for so far.
bool lsp_server_continue(lsp_server_t* server);
// True when a run or a lint check is waiting for lsp_server_idle.
bool lsp_server_busy(const lsp_server_t& server);
// Runs the projects of the changed files and publishes their diagnostics;
// or, when nothing changed, runs the lint checks that wait and publishes
// the files whose warnings changed. A check gives up as soon as
// `input_waiting` says the client has sent something, and waits for the
// next call: an edit's errors never wait for the rules.
void lsp_server_idle(lsp_server_t* server, const std::function<bool()>& input_waiting);
// Exit status once the client has said "exit": 0 after "shutdown", 1 otherwise.
int lsp_server_exit_status(const lsp_server_t& server);
