// Messages of the Language Server Protocol 3.17 that tabula-lsp answers.
//
// Invariants: every request with a usable id gets exactly one response, an
// error response when its message or parameters are not understood; a
// message whose id is neither a string nor an integer gets an error with a
// null id and is not carried out; nothing a client sends ends the process
// except "exit" and a stream that cannot be followed; positions from the
// client are clamped to the text they point into; while a response is
// pending no message is handled and no project runs, so the texts and indexes
// it reads stay as they were.
#include "lsp_protocol.hpp"

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>
#include <optional>
#include <tuple>

using json = nlohmann::json;

namespace {

constexpr int NESTING_LIMIT = 200;

constexpr int PARSE_ERROR = -32700;
constexpr int INVALID_REQUEST = -32600;
constexpr int METHOD_NOT_FOUND = -32601;
constexpr int INVALID_PARAMS = -32602;
constexpr int INTERNAL_ERROR = -32603;
constexpr int SERVER_NOT_INITIALIZED = -32002;

// --- output ----------------------------------------------------------------

std::string dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

void send(lsp_server_t* server, const json& message) { server->output += lsp_transport_frame(dump(message)); }

void respond(lsp_server_t* server, const json& id, json result) {
    send(server, {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}});
}

void respond_error(lsp_server_t* server, const json& id, int code, const std::string& message) {
    send(server, {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}});
}

// nlohmann's parser keeps a stack of its own, but a value nested this deep
// has no business in the protocol; refusing it first bounds every later walk.
bool nesting_within_limit(std::string_view body) {
    int depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (in_string) {
            if (c == '\\') ++i;
            if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > NESTING_LIMIT) return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

// --- parameters -----------------------------------------------------------

const json& member(const json& object, const char* key) {
    static const json none;
    if (!object.is_object()) return none;
    auto it = object.find(key);
    return it == object.end() ? none : *it;
}

std::string text_member(const json& object, const char* key) {
    const json& value = member(object, key);
    return value.is_string() ? value.get<std::string>() : std::string();
}

std::string document_key(const json& params) {
    return lsp_uri_to_key(text_member(member(params, "textDocument"), "uri"));
}

lsp_position_t position_of(const json& value) {
    const json& line = member(value, "line");
    const json& character = member(value, "character");
    const auto clamp = [](const json& number) -> uint32_t {
        if (!number.is_number()) return 0;
        const double n = number.get<double>();
        return n <= 0 ? 0 : n >= 4e9 ? 4000000000u : static_cast<uint32_t>(n);
    };
    return {clamp(line), clamp(character)};
}

// The file and byte offset a position request points at; false when the
// file is neither open nor readable.
bool target_of(lsp_server_t* server, const json& params, std::string* key, size_t* offset) {
    *key = document_key(params);
    if (key->empty()) return false;
    const lsp_text_t* text = lsp_project_text(&server->project, *key);
    if (text == nullptr) return false;
    *offset = lsp_text_offset(*text, position_of(member(params, "position")), server->encoding);
    return true;
}

// --- places ------------------------------------------------------------------

std::string uri_of(const lsp_server_t& server, const std::string& key) {
    auto document = server.project.documents.find(key);
    return document != server.project.documents.end() ? document->second.uri : lsp_path_to_uri(key);
}

json position_json(const lsp_position_t& position) {
    return {{"line", position.line}, {"character", position.character}};
}

json range_json(const lsp_server_t& server, const lsp_text_t& text, size_t start, size_t end) {
    return {{"start", position_json(lsp_text_position(text, start, server.encoding))},
            {"end", position_json(lsp_text_position(text, end, server.encoding))}};
}

json file_start_range() {
    return {{"start", {{"line", 0}, {"character", 0}}}, {"end", {{"line", 0}, {"character", 0}}}};
}

json span_range(lsp_server_t* server, const lsp_span_t& span) {
    const lsp_text_t* text = span.file_start ? nullptr : lsp_project_text(&server->project, span.path);
    return text != nullptr ? range_json(*server, *text, span.start, span.end) : file_start_range();
}

json location_json(lsp_server_t* server, const lsp_span_t& span) {
    return {{"uri", uri_of(*server, span.path)}, {"range", span_range(server, span)}};
}

// --- requests ---------------------------------------------------------------------

bool offers(const json& list, const char* wanted) {
    if (!list.is_array()) return false;
    return std::any_of(list.begin(), list.end(), [&](const json& item) { return item.is_string() && item == wanted; });
}

// The lint rules turned off: "lint": {"disable": [RULE...]} in the
// initialization options, or in the "tabula" section of the settings;
// "lint": {"enabled": false} turns them all off.
void read_lint_settings(lsp_server_t* server, const json& section) {
    const json& enabled = member(member(section, "lint"), "enabled");
    if (enabled.is_boolean()) server->lint_enabled = enabled.get<bool>();
    const json& disable = member(member(section, "lint"), "disable");
    if (!disable.is_array()) return;
    server->lint_disabled.clear();
    for (const json& rule : disable) {
        if (rule.is_string()) server->lint_disabled.push_back(rule.get<std::string>());
    }
}

json initialize(lsp_server_t* server, const json& params) {
    const json& capabilities = member(params, "capabilities");
    const bool utf8 = offers(member(member(capabilities, "general"), "positionEncodings"), "utf-8") ||
                      offers(member(capabilities, "offsetEncoding"), "utf-8");
    server->encoding = utf8 ? ENCODING_UTF8 : ENCODING_UTF16;
    const json& watch =
        member(member(member(capabilities, "workspace"), "didChangeWatchedFiles"), "dynamicRegistration");
    server->register_watchers = watch.is_boolean() && watch.get<bool>();
    std::string workspace = lsp_uri_to_path(text_member(params, "rootUri"));
    const json& folders = member(params, "workspaceFolders");
    if (workspace.empty() && folders.is_array() && !folders.empty()) {
        workspace = lsp_uri_to_path(text_member(folders.front(), "uri"));
    }
    if (workspace.empty()) {
        const std::string root_path = text_member(params, "rootPath");
        if (!root_path.empty() && root_path[0] == '/') workspace = lsp_normal_path(root_path);
    }
    server->project.workspace = workspace;
    read_lint_settings(server, member(params, "initializationOptions"));
    lsp_project_scan_workspace(&server->project);
    server->initialized = true;
    const char* encoding = utf8 ? "utf-8" : "utf-16";
    return {{"capabilities",
             {{"positionEncoding", encoding},
              {"textDocumentSync", {{"openClose", true}, {"change", 2}, {"save", {{"includeText", false}}}}},
              {"definitionProvider", true},
              {"referencesProvider", true},
              {"hoverProvider", true},
              {"documentSymbolProvider", true},
              {"completionProvider", {{"triggerCharacters", {":"}}}}}},
            {"offsetEncoding", encoding},
            {"serverInfo", {{"name", "tabula-lsp"}, {"version", "1.0.0"}}}};
}

void did_change_configuration(lsp_server_t* server, const json& params) {
    read_lint_settings(server, member(member(params, "settings"), "tabula"));
    for (const auto& [root, files] : server->findings) server->changed.insert(root);
}

// Every file event of the workspace: definition files, and the initializer
// files that projects read whatever their names.
void register_watchers(lsp_server_t* server) {
    const json watchers = json::array({{{"globPattern", "**/*"}}});
    send(server, {{"jsonrpc", "2.0"},
                  {"id", "tabula-lsp/watch"},
                  {"method", "client/registerCapability"},
                  {"params",
                   {{"registrations", json::array({{{"id", "tabula-lsp/watch"},
                                                    {"method", "workspace/didChangeWatchedFiles"},
                                                    {"registerOptions", {{"watchers", watchers}}}}})}}}});
}

json locations_json(lsp_server_t* server, const std::vector<lsp_span_t>& spans) {
    json locations = json::array();
    for (const lsp_span_t& span : spans) locations.push_back(location_json(server, span));
    return locations;
}

json definition(lsp_server_t* server, const json& params) {
    std::string key;
    size_t offset = 0;
    if (!target_of(server, params, &key, &offset)) return nullptr;
    const std::vector<lsp_span_t> spans = lsp_definition(&server->project, key, offset);
    if (spans.empty()) return nullptr;
    // A file name leads to the file itself.
    if (spans.size() == 1 && spans[0].file_start) return location_json(server, spans[0]);
    return locations_json(server, spans);
}

json references(lsp_server_t* server, const json& params) {
    std::string key;
    size_t offset = 0;
    if (!target_of(server, params, &key, &offset)) return json::array();
    const json& include = member(member(params, "context"), "includeDeclaration");
    return locations_json(server,
                          lsp_references(&server->project, key, offset, !include.is_boolean() || include.get<bool>()));
}

json hover(lsp_server_t* server, const json& params) {
    std::string key;
    size_t offset = 0;
    lsp_hover_t hover;
    if (!target_of(server, params, &key, &offset) || !lsp_hover(&server->project, key, offset, &hover)) return nullptr;
    return {{"contents", {{"kind", "markdown"}, {"value", hover.markdown}}},
            {"range", range_json(*server, *lsp_project_text(&server->project, key), hover.start, hover.end)}};
}

int symbol_kind_number(lsp_symbol_kind_t kind) {
    switch (kind) {
    case SYMBOL_TABLE: return 5;      // Class
    case SYMBOL_VIEW: return 11;      // Interface
    case SYMBOL_TYPE: return 26;      // TypeParameter
    case SYMBOL_SEQUENCE: return 16;  // Number
    case SYMBOL_QUERY: return 15;     // String
    case SYMBOL_FIELD: return 8;      // Field
    default: return 12;               // Function
    }
}

// Document symbols are written as text: a large file has a hundred thousand
// of them, and a JSON tree costs many times the text. The same code measures
// the response first, for its header, and then writes it piece by piece, so
// that the server never holds the whole of it.
constexpr size_t PIECE_SIZE = 512 * 1024;

struct size_sink_t {
    size_t size = 0;
    void put(std::string_view text) { size += text.size(); }
    void put(char) { ++size; }
};

struct text_sink_t {
    std::string* out;
    void put(std::string_view text) { out->append(text); }
    void put(char c) { out->push_back(c); }
};

// Symbols come in text order: each position is looked for from the line of
// the one before.
template <typename sink_t>
struct symbol_writer_t {
    sink_t sink;
    const lsp_text_t* text;
    lsp_encoding_t encoding;
    uint32_t line = 0;
};

template <typename sink_t>
void put_number(sink_t* sink, uint32_t number) {
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    sink->put(std::string_view(digits, static_cast<size_t>(end - digits)));
}

template <typename sink_t>
void put_position(sink_t* sink, const lsp_position_t& position) {
    sink->put("{\"line\":");
    put_number(sink, position.line);
    sink->put(",\"character\":");
    put_number(sink, position.character);
    sink->put('}');
}

template <typename sink_t>
void put_range(symbol_writer_t<sink_t>* writer, size_t start, size_t end) {
    writer->sink.put("{\"start\":");
    put_position(&writer->sink, lsp_text_position_near(*writer->text, start, writer->encoding, &writer->line));
    writer->sink.put(",\"end\":");
    put_position(&writer->sink, lsp_text_position_near(*writer->text, end, writer->encoding, &writer->line));
    writer->sink.put('}');
}

// Names are labels, which need no escaping; anything else goes through the
// JSON library.
template <typename sink_t>
void put_string(sink_t* sink, std::string_view text) {
    const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    });
    if (!plain) {
        sink->put(dump(std::string(text)));
        return;
    }
    sink->put('"');
    sink->put(text);
    sink->put('"');
}

// The symbol at `at` with its fields, if it is a table; returns the index of
// the next symbol of the file.
template <typename sink_t>
size_t put_symbol(symbol_writer_t<sink_t>* writer, const std::vector<lsp_symbol_t>& symbols, size_t at) {
    const lsp_symbol_t& symbol = symbols[at];
    sink_t* sink = &writer->sink;
    sink->put("{\"name\":");
    put_string(sink, symbol.name);
    if (*symbol.detail != '\0') {
        sink->put(",\"detail\":\"");
        sink->put(symbol.detail);
        sink->put('"');
    }
    sink->put(",\"kind\":");
    put_number(sink, static_cast<uint32_t>(symbol_kind_number(symbol.kind)));
    sink->put(",\"selectionRange\":");
    put_range(writer, symbol.name_start, symbol.name_end);
    size_t next = at + 1;
    if (symbol.kind == SYMBOL_TABLE) {
        sink->put(",\"children\":[");
        const size_t end = std::min(symbols.size(), next + symbol.fields);
        for (; next < end; next = put_symbol(writer, symbols, next)) {
            if (next > at + 1) sink->put(',');
        }
        sink->put(']');
    }
    sink->put(",\"range\":");
    put_range(writer, symbol.start, symbol.end);
    sink->put('}');
    return next;
}

// Writes the symbols from `*at` on, until `limit` bytes of the output are
// reached (never before one symbol); true when the list has been written to
// its end, closing bracket and all.
template <typename sink_t>
bool put_symbols(symbol_writer_t<sink_t>* writer, const std::vector<lsp_symbol_t>& symbols, size_t* at,
                 const std::string* output = nullptr, size_t limit = 0) {
    for (const size_t first = *at; *at < symbols.size();) {
        if (output != nullptr && output->size() >= limit && *at > first) return false;
        if (*at > 0) writer->sink.put(',');
        *at = put_symbol(writer, symbols, *at);
    }
    writer->sink.put("]}");
    return true;
}

// The response to a document symbols request: its size is measured, then
// the header and as many symbols as fill a piece go into the output, and the
// rest waits for lsp_server_continue. Nothing changes the project while a
// response is pending, so the text stays where it is.
void respond_symbols(lsp_server_t* server, const json& id, const json& params) {
    const std::string key = document_key(params);
    // A document the server does not know has no symbols, and its writer an
    // empty text.
    static const lsp_text_t no_text;
    const lsp_text_t* text = key.empty() ? nullptr : lsp_project_text(&server->project, key);
    lsp_symbols_t list;
    if (text != nullptr) list = lsp_document_symbols(&server->project, key);
    if (text == nullptr) text = &no_text;
    const std::string opening = "{\"jsonrpc\":\"2.0\",\"id\":" + dump(id) + ",\"result\":[";
    symbol_writer_t<size_sink_t> measure{{opening.size()}, text, server->encoding};
    size_t at = 0;
    put_symbols(&measure, list.symbols, &at);
    server->output += "Content-Length: " + std::to_string(measure.sink.size) + "\r\n\r\n" + opening;
    symbol_writer_t<text_sink_t> writer{{&server->output}, text, server->encoding};
    at = 0;
    if (put_symbols(&writer, list.symbols, &at, &server->output, server->output.size() + PIECE_SIZE)) return;
    server->pending = [list = std::move(list), writer, at](std::string* out) mutable {
        writer.sink.out = out;
        return !put_symbols(&writer, list.symbols, &at, out, out->size() + PIECE_SIZE);
    };
}

json completion(lsp_server_t* server, const json& params) {
    std::string key;
    size_t offset = 0;
    json items = json::array();
    if (!target_of(server, params, &key, &offset)) return items;
    for (const lsp_completion_t& item : lsp_completion(&server->project, key, offset)) {
        // Keyword, TypeParameter, Class, Function.
        static const int kinds[] = {14, 25, 7, 3};
        json entry = {{"label", item.label}, {"kind", kinds[item.kind]}};
        if (*item.detail != '\0') entry["detail"] = item.detail;
        items.push_back(std::move(entry));
    }
    return items;
}

// --- diagnostics ---------------------------------------------------------------

// Diagnostics are written as text too: a file may have a warning on every
// table. The bytes are the JSON library's, keys in its sorted order.

// A string as the JSON library writes it; text that is not all ASCII goes
// through the library, which also replaces bytes that are not UTF-8.
void put_json_string(std::string* out, std::string_view text) {
    if (std::any_of(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0x80) != 0; })) {
        *out += dump(std::string(text));
        return;
    }
    out->push_back('"');
    size_t plain = 0;  // start of the characters not yet written
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out->append(text.substr(plain, i - plain));
        plain = i + 1;
        switch (c) {
        case '"': *out += "\\\""; break;
        case '\\': *out += "\\\\"; break;
        case '\b': *out += "\\b"; break;
        case '\f': *out += "\\f"; break;
        case '\n': *out += "\\n"; break;
        case '\r': *out += "\\r"; break;
        case '\t': *out += "\\t"; break;
        default: {
            static const char hex[] = "0123456789abcdef";
            *out += "\\u00";
            out->push_back(hex[c >> 4]);
            out->push_back(hex[c & 0xf]);
        }
        }
    }
    out->append(text.substr(plain));
    out->push_back('"');
}

void put_sorted_position(text_sink_t* sink, const lsp_position_t& position) {
    sink->put("{\"character\":");
    put_number(sink, position.character);
    sink->put(",\"line\":");
    put_number(sink, position.line);
    sink->put('}');
}

void put_finding(lsp_server_t* server, std::string* out, const lsp_finding_t& finding) {
    const lsp_text_t* text = finding.span.file_start ? nullptr : lsp_project_text(&server->project, finding.span.path);
    lsp_position_t start{0, 0};
    lsp_position_t end{0, 0};
    if (text != nullptr) {
        start = lsp_text_position(*text, finding.span.start, server->encoding);
        end = lsp_text_position(*text, finding.span.end, server->encoding);
    }
    text_sink_t sink{out};
    *out += '{';
    if (!finding.code.empty()) {
        *out += "\"code\":";
        put_json_string(out, finding.code);
        *out += ',';
    }
    *out += "\"message\":";
    put_json_string(out, finding.message);
    *out += ",\"range\":{\"end\":";
    put_sorted_position(&sink, end);
    *out += ",\"start\":";
    put_sorted_position(&sink, start);
    *out += finding.severity == SEVERITY_WARNING ? "},\"severity\":2" : "},\"severity\":1";
    *out += ",\"source\":\"tabula\"}";
}

using files_findings_t = std::map<std::string, std::vector<lsp_finding_t>>;
using files_findings_by_root_t = std::map<std::string, files_findings_t>;

// What makes two findings of one file show the same: a file has thousands
// of warnings, too many to compare their JSON with one another.
using finding_key_t = std::tuple<uint32_t, uint32_t, int, std::string_view, std::string_view>;

finding_key_t same_finding_key(const lsp_finding_t& finding) {
    const bool at_start = finding.span.file_start;
    return {at_start ? 0 : finding.span.start, at_start ? 0 : finding.span.end, finding.severity, finding.message,
            finding.code};
}

// Appends each finding not seen yet, after a comma where `body` has one before.
void put_unseen(lsp_server_t* server, std::string* body, bool* any, std::set<finding_key_t>* seen,
                const std::vector<lsp_finding_t>& findings) {
    for (const lsp_finding_t& finding : findings) {
        // Projects that share the file often find the same.
        if (!seen->insert(same_finding_key(finding)).second) continue;
        if (*any) *body += ',';
        *any = true;
        put_finding(server, body, finding);
    }
}

// The findings of `path` in each project of `by_root` that still holds the
// file; a project that no longer does keeps none for it.
std::vector<std::pair<const std::string*, const std::vector<lsp_finding_t>*>> holders_of(
    lsp_server_t* server, files_findings_by_root_t* by_root, const std::vector<std::string>& roots,
    const std::string& path) {
    std::vector<std::pair<const std::string*, const std::vector<lsp_finding_t>*>> holders;
    for (auto& [root, files] : *by_root) {
        auto found = files.find(path);
        if (found == files.end()) continue;
        if (std::find(roots.begin(), roots.end(), root) == roots.end() && root != path) {
            files.erase(found);
            server->warnings_text[root].erase(path);
            continue;
        }
        holders.emplace_back(&root, &found->second);
    }
    return holders;
}

// The diagnostics of `path` from every project it belongs to.
void publish(lsp_server_t* server, const std::string& path) {
    const std::vector<std::string> roots = lsp_project_roots(server->project, path);
    std::string body =
        "{\"jsonrpc\":\"2.0\",\"method\":\"textDocument/publishDiagnostics\",\"params\":{"
        "\"diagnostics\":[";
    std::set<finding_key_t> seen;
    bool any = false;
    for (const auto& [root, errors] : holders_of(server, &server->findings, roots, path)) {
        put_unseen(server, &body, &any, &seen, *errors);
    }
    const auto warned = holders_of(server, &server->warnings, roots, path);
    if (warned.size() == 1) {  // the common case: one project's warnings, written once
        std::string& text = server->warnings_text[*warned[0].first][path];
        if (text.empty()) {
            bool written = false;
            std::set<finding_key_t> own;
            put_unseen(server, &text, &written, &own, *warned[0].second);
        }
        if (!text.empty()) {
            if (any) body += ',';
            any = true;
            body += text;
        }
    } else {
        for (const auto& [root, warnings] : warned) put_unseen(server, &body, &any, &seen, *warnings);
    }
    if (!any) {
        server->published.erase(path);
    } else {
        server->published.insert(path);
    }
    body += "],\"uri\":";
    put_json_string(&body, uri_of(*server, path));
    body += "}}";
    server->output += lsp_transport_frame(body);
}

void replace_findings(files_findings_t* files, std::vector<lsp_finding_t> findings, std::set<std::string>* touched) {
    for (const auto& [path, kept] : *files) touched->insert(path);
    files->clear();
    for (lsp_finding_t& finding : findings) {
        touched->insert(finding.span.path);
        (*files)[finding.span.path].push_back(std::move(finding));
    }
}

// Runs the project of `root` and replaces the errors it found before. Its
// warnings stay until the lint check of a model that succeeded replaces them,
// and go with a run that fails.
void diagnose(lsp_server_t* server, const std::string& root, std::set<std::string>* touched) {
    lsp_run_t run;
    const bool present = lsp_project_text(&server->project, root) != nullptr;
    if (!present) {  // gone, and not open
        server->project.models.erase(root);
    } else {
        run = lsp_project_run(&server->project, root);
        // A run that stopped early saw only some of the includes; the root's
        // tokens give them all.
        if (!run.compiled) lsp_project_index(&server->project, root);
    }
    std::vector<lsp_finding_t> errors;
    if (present) errors = lsp_place_diagnostics(&server->project, root, run);
    replace_findings(&server->findings[root], std::move(errors), touched);
    if (run.model && server->lint_enabled) {
        server->lint_waiting[root] = run.model;
    } else {
        server->lint_waiting.erase(root);
        replace_findings(&server->warnings[root], {}, touched);
        server->warnings_text.erase(root);
    }
}

// The lint check of each project that waits for one, unless the client
// speaks first; a finished check publishes the files whose warnings changed.
// Out of line, as run_changed: a profiler counts the two steps apart.
[[gnu::noinline]] void check_waiting(lsp_server_t* server, const std::function<bool()>& input_waiting) {
    while (!server->lint_waiting.empty()) {
        const auto next = server->lint_waiting.begin();
        std::optional<std::vector<lsp_finding_t>> warnings =
            lsp_lint(&server->project, *next->second, server->lint_disabled, input_waiting);
        if (!warnings) return;
        const std::string root = next->first;
        server->lint_waiting.erase(next);
        files_findings_t found;
        std::set<std::string> touched;
        replace_findings(&found, std::move(*warnings), &touched);
        files_findings_t& kept = server->warnings[root];
        if (found == kept) continue;
        for (const auto& [path, findings] : kept) touched.insert(path);
        kept = std::move(found);
        server->warnings_text.erase(root);
        for (const std::string& path : touched) publish(server, path);
    }
}

// --- notifications -------------------------------------------------------------------

void did_open(lsp_server_t* server, const json& params) {
    const json& document = member(params, "textDocument");
    const std::string key = lsp_uri_to_key(text_member(document, "uri"));
    const json& text = member(document, "text");
    if (key.empty() || !text.is_string()) return;
    lsp_document_t& doc = server->project.documents[key];
    doc.uri = text_member(document, "uri");
    lsp_text_set(&doc.text, text.get<std::string>());
    const json& version = member(document, "version");
    doc.version = version.is_number_integer() ? version.get<long long>() : 0;
    doc.index = nullptr;
    server->changed.insert(key);
}

void did_change(lsp_server_t* server, const json& params) {
    const std::string key = document_key(params);
    auto found = server->project.documents.find(key);
    if (found == server->project.documents.end()) return;  // never opened: nothing to change
    lsp_document_t& doc = found->second;
    const json& changes = member(params, "contentChanges");
    if (!changes.is_array()) return;
    for (const json& change : changes) {
        if (!member(change, "text").is_string()) continue;
        const std::string text = change["text"].get<std::string>();
        const json& range = member(change, "range");
        if (range.is_object()) {
            const size_t start = lsp_text_offset(doc.text, position_of(member(range, "start")), server->encoding);
            const size_t end = lsp_text_offset(doc.text, position_of(member(range, "end")), server->encoding);
            lsp_text_replace(&doc.text, start, std::max(start, end), text);
        } else {
            lsp_text_set(&doc.text, text);
        }
    }
    doc.index = nullptr;
    server->changed.insert(key);
}

void did_save(lsp_server_t* server, const json& params) {
    const std::string key = document_key(params);
    auto found = server->project.documents.find(key);
    if (found != server->project.documents.end() && member(params, "text").is_string()) {
        lsp_text_set(&found->second.text, params["text"].get<std::string>());
        found->second.index = nullptr;
    }
    if (!key.empty()) server->changed.insert(key);
}

void did_close(lsp_server_t* server, const json& params) {
    const std::string key = document_key(params);
    if (server->project.documents.erase(key) == 0) return;
    lsp_project_rescan(&server->project, key);  // the file on disk speaks for it again
    server->changed.insert(key);
}

// Files created, changed or deleted by other programs: a file that a project
// reads, or a definition file, makes its projects run again.
void did_change_watched_files(lsp_server_t* server, const json& params) {
    const json& changes = member(params, "changes");
    if (!changes.is_array()) return;
    for (const json& change : changes) {
        const std::string path = lsp_uri_to_path(text_member(change, "uri"));
        if (path.empty()) continue;
        const bool definition = path.size() > 4 && path.compare(path.size() - 4, 4, ".def") == 0;
        const bool known = server->project.includes.count(path) != 0 || lsp_project_is_read(server->project, path);
        if (!definition && !known) continue;
        lsp_project_rescan(&server->project, path);
        server->changed.insert(path);
    }
}

// --- dispatch ---------------------------------------------------------------------

void handle_request(lsp_server_t* server, const std::string& method, const json& id, const json& params) {
    if (method == "initialize") {
        if (server->initialized) {
            respond_error(server, id, INVALID_REQUEST, "The server is already initialized");
        } else {
            respond(server, id, initialize(server, params));
        }
    } else if (!server->initialized) {
        respond_error(server, id, SERVER_NOT_INITIALIZED, "The server is not initialized");
    } else if (server->shut_down) {
        respond_error(server, id, INVALID_REQUEST, "The server is shut down");
    } else if (method == "shutdown") {
        server->shut_down = true;
        respond(server, id, nullptr);
    } else if (method == "textDocument/definition") {
        respond(server, id, definition(server, params));
    } else if (method == "textDocument/hover") {
        respond(server, id, hover(server, params));
    } else if (method == "textDocument/documentSymbol") {
        respond_symbols(server, id, params);
    } else if (method == "textDocument/completion") {
        respond(server, id, completion(server, params));
    } else if (method == "textDocument/references") {
        respond(server, id, references(server, params));
    } else {
        respond_error(server, id, METHOD_NOT_FOUND, "Unknown method " + method);
    }
}

void handle_notification(lsp_server_t* server, const std::string& method, const json& params) {
    if (method == "exit") {
        server->exited = true;
        return;
    }
    if (!server->initialized || server->shut_down) return;
    if (method == "initialized" && server->register_watchers) register_watchers(server);
    if (method == "textDocument/didOpen") did_open(server, params);
    if (method == "textDocument/didChange") did_change(server, params);
    if (method == "textDocument/didSave") did_save(server, params);
    if (method == "textDocument/didClose") did_close(server, params);
    if (method == "workspace/didChangeWatchedFiles") did_change_watched_files(server, params);
    if (method == "workspace/didChangeConfiguration") did_change_configuration(server, params);
}

// An id the protocol allows: a string, or an integer that comes back as it
// was sent (nlohmann keeps every integer of 64 bits exactly).
bool usable_id(const json& id) { return id.is_string() || id.is_number_integer(); }

void handle_message(lsp_server_t* server, std::string_view body) {
    if (!nesting_within_limit(body)) {
        respond_error(server, nullptr, PARSE_ERROR, "Message nested too deeply");
        return;
    }
    const json message = json::parse(body, nullptr, false);
    if (message.is_discarded()) {
        respond_error(server, nullptr, PARSE_ERROR, "Malformed JSON");
        return;
    }
    const json& method = member(message, "method");
    const json& id = member(message, "id");
    const bool has_id = message.is_object() && message.contains("id");
    if (!method.is_string()) {
        // A response to a request of ours is taken as it comes.
        const bool response = has_id && (message.contains("result") || message.contains("error"));
        if (!response) respond_error(server, nullptr, INVALID_REQUEST, "Not a request");
        return;
    }
    if (has_id && !usable_id(id) && !id.is_null()) {
        respond_error(server, nullptr, INVALID_REQUEST, "A request id must be a string or an integer");
        return;
    }
    const json& params = member(message, "params");
    try {
        if (has_id) {
            handle_request(server, method.get<std::string>(), id, params);
        } else {
            handle_notification(server, method.get<std::string>(), params);
        }
    } catch (const json::exception& error) {
        if (has_id) respond_error(server, id, INVALID_PARAMS, error.what());
    } catch (const std::exception& error) {
        if (has_id) respond_error(server, id, INTERNAL_ERROR, error.what());
    }
}

// A mis-framed message still answers its request, when its id can be read.
void handle_framing_error(lsp_server_t* server, const lsp_frame_t& frame) {
    json id = nullptr;
    if (!frame.body.empty() && nesting_within_limit(frame.body)) {
        const json message = json::parse(frame.body, nullptr, false);
        const json& found = member(message, "id");
        if (usable_id(found) && member(message, "method").is_string()) id = found;
    }
    respond_error(server, id, PARSE_ERROR, frame.error);
}

// Runs the projects of the changed files and publishes what they found.
// Out of line, as check_waiting: a profiler counts the two steps apart.
[[gnu::noinline]] void run_changed(lsp_server_t* server) {
    std::set<std::string> roots;
    for (const std::string& path : server->changed) {
        for (std::string& root : lsp_project_roots(server->project, path)) roots.insert(std::move(root));
    }
    // The documents whose change caused the runs always hear back, so that an
    // editor knows their state.
    std::set<std::string> touched;
    for (const std::string& path : server->changed) {
        if (server->project.documents.count(path) != 0 || server->published.count(path) != 0) touched.insert(path);
    }
    server->changed.clear();
    for (const std::string& root : roots) diagnose(server, root, &touched);
    for (const std::string& path : touched) publish(server, path);
}

}  // namespace

void lsp_server_feed(lsp_server_t* server, std::string_view bytes) {
    lsp_transport_feed(&server->transport, bytes);
    while (!server->exited && server->failure.empty() && !server->pending) {
        const lsp_frame_t frame = lsp_transport_next(&server->transport);
        switch (frame.kind) {
        case FRAME_NONE: return;
        case FRAME_MESSAGE: handle_message(server, frame.body); break;
        case FRAME_ERROR: handle_framing_error(server, frame); break;
        case FRAME_FATAL: server->failure = frame.error; break;
        }
    }
}

bool lsp_server_continue(lsp_server_t* server) {
    if (!server->pending) return false;
    if (!server->pending(&server->output)) {
        server->pending = nullptr;
        lsp_server_feed(server, {});
    }
    return true;
}

// A pending response reads the project, which a run would change.
bool lsp_server_busy(const lsp_server_t& server) {
    return (!server.changed.empty() || !server.lint_waiting.empty()) && !server.exited && !server.pending;
}

void lsp_server_idle(lsp_server_t* server, const std::function<bool()>& input_waiting) {
    if (server->changed.empty()) {
        check_waiting(server, input_waiting);
    } else {
        run_changed(server);
    }
}

int lsp_server_exit_status(const lsp_server_t& server) { return server.shut_down ? 0 : 1; }
