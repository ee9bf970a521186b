// Messages of the Language Server Protocol 3.17 that tabula-lsp answers.
//
// Invariants: every request gets exactly one response, an error response when
// its message or parameters are not understood; nothing a client sends ends
// the process except "exit"; positions from the client are clamped to the
// text they point into.
#include "lsp_server.hpp"

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>

#include "compile.hpp"
#include "definition_parser.hpp"
#include "execute.hpp"
#include "hash.hpp"
#include "sql_value.hpp"

using json = nlohmann::json;

namespace {

constexpr size_t HEADER_LIMIT = 64 * 1024;
constexpr size_t MESSAGE_LIMIT = 512 * 1024 * 1024;
constexpr int NESTING_LIMIT = 200;
constexpr size_t HOVER_SOURCE_LIMIT = 4000;

constexpr int PARSE_ERROR = -32700;
constexpr int INVALID_REQUEST = -32600;
constexpr int METHOD_NOT_FOUND = -32601;
constexpr int INVALID_PARAMS = -32602;
constexpr int INTERNAL_ERROR = -32603;
constexpr int SERVER_NOT_INITIALIZED = -32002;

// --- framing ----------------------------------------------------------------

void send(lsp_server_t* server, const json& message) {
    const std::string body = message.dump(-1, ' ', false, json::error_handler_t::replace);
    server->output += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    server->output += body;
}

void respond(lsp_server_t* server, const json& id, json result) {
    send(server, {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}});
}

void respond_error(lsp_server_t* server, const json& id, int code, const std::string& message) {
    send(server, {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}});
}

void notify(lsp_server_t* server, const char* method, json params) {
    send(server, {{"jsonrpc", "2.0"}, {"method", method}, {"params", std::move(params)}});
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

struct target_t {
    std::string path;
    const lsp_text_t* text = nullptr;
    std::shared_ptr<const lsp_file_index_t> index;
    size_t offset = 0;
};

std::string document_path(const json& params) {
    return lsp_uri_to_path(text_member(member(params, "textDocument"), "uri"));
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

// The file and offset a position request points at; no text when the file
// is neither open nor readable.
target_t target_of(lsp_server_t* server, const json& params) {
    target_t target;
    target.path = document_path(params);
    if (target.path.empty()) return target;
    target.text = lsp_project_text(&server->project, target.path);
    if (target.text == nullptr) return target;
    target.index = lsp_project_index(&server->project, target.path);
    target.offset = lsp_text_offset(*target.text, position_of(member(params, "position")), server->encoding);
    return target;
}

// --- locations ---------------------------------------------------------------

std::string uri_of(const lsp_server_t& server, const std::string& path) {
    auto document = server.project.documents.find(path);
    return document != server.project.documents.end() ? document->second.uri : lsp_path_to_uri(path);
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

json location_json(lsp_server_t* server, const std::string& path, size_t start, size_t end) {
    const lsp_text_t* text = lsp_project_text(&server->project, path);
    return {{"uri", uri_of(*server, path)},
            {"range", text ? range_json(*server, *text, start, end) : file_start_range()}};
}

const lsp_occurrence_t* occurrence_at(const lsp_file_index_t& index, size_t offset) {
    for (const lsp_occurrence_t& occurrence : index.occurrences) {
        if (occurrence.start <= offset && offset <= occurrence.end) return &occurrence;
    }
    return nullptr;
}

// The files of the project `path` belongs to, `path` itself always among them.
std::vector<std::string> project_files_of(lsp_server_t* server, const std::string& path) {
    std::vector<std::string> files = lsp_project_files(&server->project, lsp_project_root(server->project, path));
    if (std::find(files.begin(), files.end(), path) == files.end()) files.push_back(path);
    return files;
}

struct found_t {
    std::string path;
    lsp_occurrence_t occurrence;
};

// Occurrences of the name in the namespace of `wanted` across the project.
std::vector<found_t> find_name(lsp_server_t* server, const std::string& path, const lsp_occurrence_t& wanted,
                               bool declarations, bool uses) {
    std::vector<found_t> found;
    for (const std::string& file : project_files_of(server, path)) {
        auto index = lsp_project_index(&server->project, file);
        if (!index) continue;
        for (const lsp_occurrence_t& occurrence : index->occurrences) {
            if (occurrence.name != wanted.name || !lsp_same_namespace(occurrence.kind, wanted.kind)) continue;
            if (occurrence.kind == NAME_FIELD && (file != path || occurrence.start != wanted.start)) continue;
            if (occurrence.declaration ? declarations : uses) found.push_back({file, occurrence});
        }
    }
    return found;
}

// --- diagnostics ---------------------------------------------------------------

struct placed_t {
    std::string path;
    size_t start = 0;
    size_t end = 0;
    bool whole_file_start = false;
};

std::string quoted_name(const std::string& message, const char* prefix) {
    const size_t length = std::strlen(prefix);
    if (message.compare(0, length, prefix) != 0 || message.size() < length + 1 || message.back() != '"') return {};
    return message.substr(length, message.size() - length - 1);
}

// The fix-up names the missing type or table but points at the program's
// last statement: show it where the name is written, in the fix-up's order.
bool place_missing_name(lsp_server_t* server, const std::string& root, const lsp_run_t& run, placed_t* placed) {
    std::string name = quoted_name(run.message, "Unable to resolve SQL type \"");
    lsp_name_kind_t kind = NAME_TYPE;
    if (name.empty()) {
        name = quoted_name(run.message, "Link to unknown table \"");
        kind = NAME_TABLE;
    }
    if (name.empty()) return false;
    const found_t* best = nullptr;
    std::vector<found_t> uses;
    for (const std::string& file : lsp_project_files(&server->project, root)) {
        auto index = lsp_project_index(&server->project, file);
        if (!index) continue;
        for (const lsp_occurrence_t& occurrence : index->occurrences) {
            if (!occurrence.declaration && occurrence.kind == kind && occurrence.name == name) {
                uses.push_back({file, occurrence});
            }
        }
    }
    for (const found_t& use : uses) {
        if (best == nullptr || use.occurrence.site < best->occurrence.site) best = &use;
    }
    if (best == nullptr) return false;
    *placed = {best->path, best->occurrence.start, best->occurrence.end, false};
    return true;
}

bool is_initializer_message(const std::string& message) {
    return message.rfind("syntax error", 0) == 0 || message.rfind("Unexpected ", 0) == 0;
}

placed_t place_message(lsp_server_t* server, const std::string& root, const lsp_run_t& run) {
    placed_t placed;
    if (place_missing_name(server, root, run, &placed)) return placed;
    // After a successful compile the only scanner that runs is the
    // initializer files' one.
    if (run.compiled && !run.last_initializer.empty() && is_initializer_message(run.message) &&
        lsp_project_text(&server->project, run.last_initializer) != nullptr) {
        placed.path = run.last_initializer;
        placed.whole_file_start = true;
        return placed;
    }
    placed.path = run.path.empty() ? root : run.path;
    const lsp_text_t* text = lsp_project_text(&server->project, placed.path);
    if (text == nullptr || run.line == 0) {
        placed.whole_file_start = true;
        return placed;
    }
    // The line's text, its indentation left out; a line past the end (an
    // error at the end of the text) is the last line.
    const size_t line = std::min<size_t>(run.line - 1, text->line_starts.size() - 1);
    size_t start = text->line_starts[line];
    size_t end = line + 1 < text->line_starts.size() ? text->line_starts[line + 1] : text->text.size();
    while (end > start && std::strchr("\r\n", text->text[end - 1]) != nullptr) --end;
    while (start < end && std::strchr(" \t\v\f", text->text[start]) != nullptr) ++start;
    placed.start = start;
    placed.end = end;
    return placed;
}

void publish(lsp_server_t* server, const std::string& path, json diagnostics) {
    notify(server, "textDocument/publishDiagnostics",
           {{"uri", uri_of(*server, path)}, {"diagnostics", std::move(diagnostics)}});
}

// `edited`: the documents whose change caused the run; they always hear
// back, so that an editor knows their state.
void publish_run(lsp_server_t* server, const std::string& root, const lsp_run_t& run,
                 const std::set<std::string>& edited) {
    std::map<std::string, json> fresh;
    if (!run.succeeded) {
        const placed_t placed = place_message(server, root, run);
        const lsp_text_t* text = lsp_project_text(&server->project, placed.path);
        json range = placed.whole_file_start || text == nullptr ? file_start_range()
                                                                : range_json(*server, *text, placed.start, placed.end);
        fresh[placed.path] =
            json::array({{{"range", range}, {"severity", 1}, {"source", "tabula"}, {"message", run.message}}});
    }
    // Clear what this project, or an earlier project of one of its files,
    // published before and no longer holds.
    std::set<std::string> files(run.files.begin(), run.files.end());
    files.insert(root);
    for (auto it = server->published.begin(); it != server->published.end();) {
        if ((it->second == root || files.count(it->first) != 0) && fresh.count(it->first) == 0) {
            publish(server, it->first, json::array());
            it = server->published.erase(it);
        } else {
            ++it;
        }
    }
    for (const std::string& path : edited) {
        if (fresh.count(path) == 0 && server->published.count(path) == 0) publish(server, path, json::array());
    }
    for (auto& [path, diagnostics] : fresh) {
        publish(server, path, std::move(diagnostics));
        server->published[path] = root;
    }
}

// --- hover --------------------------------------------------------------------

std::string value_text(const sql_value_t* value) {
    if (value == nullptr) return {};
    switch (value->type) {
    case VALUE_STRING: return value->string;
    case VALUE_INTEGER: return std::to_string(value->integer);
    case VALUE_NULL: return "null";
    default: return "(array)";
    }
}

const sql_value_t* record_of(const sql_value_t& collection, const std::string& name) {
    if (collection.type != VALUE_ARRAY) return nullptr;
    return static_cast<const sql_value_t*>(hash_find_string(collection.hash, name.c_str()));
}

template <typename visit_t>
void each_element(const sql_value_t* array, visit_t visit) {
    if (array == nullptr || array->type != VALUE_ARRAY) return;
    for (hash_iterator_t it = array->hash->first_in_list; it != nullptr; it = it->next_in_list) {
        visit(static_cast<const sql_value_t*>(hash_item_data(it)));
    }
}

std::string table_text(const sql_value_t* record) {
    std::string text;
    each_element(value_slot(record, 2), [&](const sql_value_t* field) {
        const int32_t optimize = value_slot(field, 3) ? value_slot(field, 3)->integer : 0;
        text += optimize == 2 ? "primary " : optimize == 1 ? "index " : "";
        text += value_text(value_slot(field, 0)) + " " + value_text(value_slot(field, 1));
        if (value_slot(field, 2) && value_slot(field, 2)->integer != 0) text += " NULL";
        std::string links;
        each_element(value_slot(field, 4), [&](const sql_value_t* link) {
            links += links.empty() ? " [" : ", ";
            links += (value_slot(link, 1) && value_slot(link, 1)->integer == 1 ? "outgoing: " : "incoming: ") +
                     value_text(value_slot(link, 0));
        });
        text += links.empty() ? "\n" : links + "]\n";
    });
    size_t rows = 0;
    each_element(value_slot(record, 3), [&](const sql_value_t*) { ++rows; });
    if (rows > 0) text += "-- " + std::to_string(rows) + (rows == 1 ? " initial row\n" : " initial rows\n");
    return text;
}

std::string query_text(const sql_value_t* record) {
    std::string text;
    each_element(value_slot(record, 1), [&](const sql_value_t* piece) {
        const int32_t kind = value_slot(piece, 0) ? value_slot(piece, 0)->integer : 0;
        if (kind == 1) text += "text:  " + value_text(value_slot(piece, 1)) + "\n";
        if (kind == 2) text += "param: " + value_text(value_slot(piece, 1)) + " (escaped)\n";
        if (kind == 3) text += "raw:   " + value_text(value_slot(piece, 1)) + "\n";
    });
    each_element(value_slot(record, 2),
                 [&](const sql_value_t* field) { text += "field: " + value_text(field) + "\n"; });
    return text;
}

std::string plsql_vars(const sql_value_t* vars, const char* separator) {
    std::string text;
    each_element(vars, [&](const sql_value_t* var) {
        if (!text.empty()) text += separator;
        text += value_text(value_slot(var, 1)) + " " + value_text(value_slot(var, 0));
    });
    return text;
}

std::string plsql_text(const sql_value_t* record) {
    const sql_value_t* returns = value_slot(record, 1);
    const bool set = value_slot(returns, 1) && value_slot(returns, 1)->integer != 0;
    std::string text = "returns " + std::string(set ? "SETOF " : "") + value_text(value_slot(returns, 0)) + "\n";
    text += "(" + plsql_vars(value_slot(record, 2), ", ") + ")\n";
    const std::string locals = plsql_vars(value_slot(record, 3), "; ");
    if (!locals.empty()) text += "locals: " + locals + ";\n";
    text += value_text(value_slot(record, 4)) + "\n";
    return text;
}

// What the run's output says of a declared object, in SQL terms.
std::string output_text(const program_output_t& output, lsp_name_kind_t kind, const std::string& name) {
    switch (kind) {
    case NAME_TYPE: return value_text(value_slot(record_of(output.types, name), 1));
    case NAME_VIEW: return value_text(value_slot(record_of(output.views, name), 1));
    case NAME_SEQUENCE: return value_text(value_slot(record_of(output.sequences, name), 1));
    case NAME_TABLE:
        if (const sql_value_t* table = record_of(output.tables, name)) return table_text(table);
        return value_text(value_slot(record_of(output.views, name), 1));
    case NAME_QUERY: return query_text(record_of(output.queries, name));
    case NAME_PLSQL: return plsql_text(record_of(output.plsql, name));
    default: return {};
    }
}

const char* kind_word(lsp_name_kind_t kind) {
    switch (kind) {
    case NAME_TYPE: return "type";
    case NAME_TABLE: return "table";
    case NAME_VIEW: return "view";
    case NAME_SEQUENCE: return "sequence";
    case NAME_QUERY: return "query";
    case NAME_PLSQL: return "plsql";
    case NAME_FUNCTION: return "function";
    case NAME_FIELD: return "field";
    default: return "file";
    }
}

std::string declaration_source(lsp_server_t* server, const found_t& declaration) {
    auto index = lsp_project_index(&server->project, declaration.path);
    const lsp_text_t* text = lsp_project_text(&server->project, declaration.path);
    if (!index || text == nullptr || declaration.occurrence.statement < 0) return {};
    const lsp_statement_t& statement = index->statements[declaration.occurrence.statement];
    std::string source =
        text->text.substr(statement.start, std::min<size_t>(statement.end - statement.start, HOVER_SOURCE_LIMIT));
    return source;
}

json hover(lsp_server_t* server, const target_t& target) {
    const lsp_occurrence_t* at = occurrence_at(*target.index, target.offset);
    if (at == nullptr || at->kind == NAME_INCLUDE || at->kind == NAME_INITIALIZER) return nullptr;
    std::vector<found_t> declarations = find_name(server, target.path, *at, true, false);
    lsp_name_kind_t kind = at->kind;
    if (!declarations.empty()) kind = declarations.front().occurrence.kind;
    std::string body;
    if (kind != NAME_FUNCTION && kind != NAME_FIELD) {
        lsp_project_run(&server->project, lsp_project_root(server->project, target.path),
                        [&](const compiled_program_t&, const program_output_t& output) {
                            body = output_text(output, kind, at->name);
                        });
    }
    std::string markdown = "**" + std::string(kind_word(kind)) + "** `" + at->name + "`";
    if (!body.empty()) {
        markdown += "\n```sql\n" + body + (body.back() == '\n' ? "" : "\n") + "```";
    } else if (!declarations.empty()) {
        markdown += "\n```\n" + declaration_source(server, declarations.front()) + "\n```";
    } else if (kind == NAME_FUNCTION) {
        markdown += "\nbuilt-in function";
    }
    return {{"contents", {{"kind", "markdown"}, {"value", markdown}}},
            {"range", range_json(*server, *target.text, at->start, at->end)}};
}

// --- symbols ---------------------------------------------------------------------

int symbol_kind(int keyword) {
    switch (keyword) {
    case T_TABLE: return 5;      // Class
    case T_VIEW: return 11;      // Interface
    case T_TYPE: return 26;      // TypeParameter
    case T_SEQUENCE: return 16;  // Number
    case T_QUERY: return 15;     // String
    default: return 12;          // Function: plsql and user functions
    }
}

const char* keyword_text(int keyword) {
    switch (keyword) {
    case T_TABLE: return "table";
    case T_VIEW: return "view";
    case T_TYPE: return "type";
    case T_SEQUENCE: return "sequence";
    case T_QUERY: return "query";
    case T_PLSQL: return "plsql";
    default: return "function";
    }
}

json symbols(lsp_server_t* server, const target_t& target) {
    json result = json::array();
    const lsp_file_index_t& index = *target.index;
    for (const lsp_statement_t& statement : index.statements) {
        if (statement.name_occurrence < 0) continue;
        const lsp_occurrence_t& name = index.occurrences[statement.name_occurrence];
        json symbol = {{"name", statement.name},
                       {"detail", keyword_text(statement.keyword)},
                       {"kind", symbol_kind(statement.keyword)},
                       {"range", range_json(*server, *target.text, statement.start, statement.end)},
                       {"selectionRange", range_json(*server, *target.text, name.start, name.end)}};
        if (statement.keyword == T_TABLE) {
            json children = json::array();
            for (const int field : statement.fields) {
                const lsp_occurrence_t& occurrence = index.occurrences[field];
                const json range = range_json(*server, *target.text, occurrence.start, occurrence.end);
                children.push_back(
                    {{"name", occurrence.name}, {"kind", 8}, {"range", range}, {"selectionRange", range}});
            }
            symbol["children"] = std::move(children);
        }
        result.push_back(std::move(symbol));
    }
    return result;
}

// --- completion ---------------------------------------------------------------------

const char* const KEYWORDS[] = {"include", "type",     "table", "volatile", "view",     "sequence", "query",
                                "plsql",   "function", "index", "primary",  "incoming", "outgoing", "null"};

enum completion_context_t { COMPLETE_KEYWORDS, COMPLETE_TYPES, COMPLETE_TABLES, COMPLETE_FUNCTIONS };

completion_context_t completion_context(const lsp_file_index_t& index, size_t offset) {
    // The tokens wholly before the cursor; a label being typed is left out.
    std::vector<int> before;
    size_t statement_begin = 0;
    for (size_t i = 0; i < index.tokens.size() && index.tokens[i].end <= offset; ++i) {
        const lsp_token_t& token = index.tokens[i];
        if (token.end == offset && (token.code == T_LABEL || token.code >= 263)) break;
        before.push_back(token.code);
    }
    // The current statement starts after the last ";" outside brackets.
    int depth = 0;
    for (size_t i = 0; i < before.size(); ++i) {
        const int c = before[i];
        if (c == '(' || c == '[' || c == '{') ++depth;
        if ((c == ')' || c == ']' || c == '}') && depth > 0) --depth;
        if (c == ';' && depth == 0) statement_begin = i + 1;
    }
    const auto back = [&](size_t n) { return before.size() >= n ? before[before.size() - n] : -1; };
    if ((back(2) == T_INCOMING || back(2) == T_OUTGOING) && back(1) == ':') return COMPLETE_TABLES;
    size_t first = statement_begin;
    if (first < before.size() && before[first] == T_VOLATILE) ++first;
    const int keyword = first < before.size() ? before[first] : -1;
    bool after_equals = false;
    depth = 0;
    for (size_t i = first; i < before.size(); ++i) {
        if (before[i] == '=' && depth == 0) after_equals = true;
        if (before[i] == '(' || before[i] == '[' || before[i] == '{') ++depth;
        if ((before[i] == ')' || before[i] == ']' || before[i] == '}') && depth > 0) --depth;
    }
    const int last = back(1);
    if (keyword == T_TABLE && !after_equals && depth == 1 &&
        (last == '{' || last == ';' || last == T_INDEX || last == T_PRIMARY)) {
        return COMPLETE_TYPES;
    }
    if (keyword == T_PLSQL && !after_equals &&
        (last == T_PLSQL || last == '[' || last == '(' || last == ',' || (last == ';' && depth == 1))) {
        return COMPLETE_TYPES;
    }
    if (after_equals && (last == '=' || last == '(' || last == ',' || last == '.')) return COMPLETE_FUNCTIONS;
    return COMPLETE_KEYWORDS;
}

json completion(lsp_server_t* server, const target_t& target) {
    const completion_context_t context = completion_context(*target.index, target.offset);
    json items = json::array();
    std::set<std::string> seen;
    if (context == COMPLETE_KEYWORDS) {
        for (const char* keyword : KEYWORDS) items.push_back({{"label", keyword}, {"kind", 14}});
        return items;
    }
    for (const std::string& file : project_files_of(server, target.path)) {
        auto index = lsp_project_index(&server->project, file);
        if (!index) continue;
        for (const lsp_occurrence_t& occurrence : index->occurrences) {
            if (!occurrence.declaration) continue;
            int kind = 0;
            if (context == COMPLETE_TYPES && occurrence.kind == NAME_TYPE) kind = 25;         // TypeParameter
            if (context == COMPLETE_TABLES && occurrence.kind == NAME_TABLE) kind = 7;        // Class
            if (context == COMPLETE_FUNCTIONS && occurrence.kind == NAME_FUNCTION) kind = 3;  // Function
            if (kind == 0 || !seen.insert(occurrence.name).second) continue;
            items.push_back({{"label", occurrence.name}, {"kind", kind}, {"detail", kind_word(occurrence.kind)}});
        }
    }
    if (context == COMPLETE_FUNCTIONS) items.push_back({{"label", "null"}, {"kind", 14}});
    return items;
}

// --- requests ---------------------------------------------------------------------

json initialize(lsp_server_t* server, const json& params) {
    const json& capabilities = member(params, "capabilities");
    bool utf8 = false;
    for (const json* offered :
         {&member(member(capabilities, "general"), "positionEncodings"), &member(capabilities, "offsetEncoding")}) {
        if (!offered->is_array()) continue;
        for (const json& encoding : *offered) utf8 = utf8 || (encoding.is_string() && encoding == "utf-8");
    }
    server->encoding = utf8 ? ENCODING_UTF8 : ENCODING_UTF16;
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

json definition(lsp_server_t* server, const target_t& target) {
    const lsp_occurrence_t* at = occurrence_at(*target.index, target.offset);
    if (at == nullptr) return nullptr;
    if (at->kind == NAME_INCLUDE || at->kind == NAME_INITIALIZER) {
        if (at->name.empty()) return nullptr;
        return {{"uri", uri_of(*server, at->name)}, {"range", file_start_range()}};
    }
    json locations = json::array();
    for (const found_t& found : find_name(server, target.path, *at, true, false)) {
        locations.push_back(location_json(server, found.path, found.occurrence.start, found.occurrence.end));
    }
    if (locations.empty()) return nullptr;
    return locations;
}

json references(lsp_server_t* server, const target_t& target, const json& params) {
    const lsp_occurrence_t* at = occurrence_at(*target.index, target.offset);
    if (at == nullptr || at->kind == NAME_INCLUDE || at->kind == NAME_INITIALIZER) return json::array();
    const json& include = member(member(params, "context"), "includeDeclaration");
    json locations = json::array();
    for (const found_t& found :
         find_name(server, target.path, *at, !include.is_boolean() || include.get<bool>(), true)) {
        locations.push_back(location_json(server, found.path, found.occurrence.start, found.occurrence.end));
    }
    return locations;
}

// --- notifications -------------------------------------------------------------------

void did_open(lsp_server_t* server, const json& params) {
    const json& document = member(params, "textDocument");
    const std::string path = lsp_uri_to_path(text_member(document, "uri"));
    if (path.empty()) return;
    lsp_document_t& doc = server->project.documents[path];
    doc.uri = text_member(document, "uri");
    lsp_text_set(&doc.text, text_member(document, "text"));
    const json& version = member(document, "version");
    doc.version = version.is_number_integer() ? version.get<long long>() : 0;
    doc.index = nullptr;
    server->changed.insert(path);
}

void did_change(lsp_server_t* server, const json& params) {
    const std::string path = document_path(params);
    auto found = server->project.documents.find(path);
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
    server->changed.insert(path);
}

void did_save(lsp_server_t* server, const json& params) {
    const std::string path = document_path(params);
    auto found = server->project.documents.find(path);
    if (found != server->project.documents.end() && member(params, "text").is_string()) {
        lsp_text_set(&found->second.text, params["text"].get<std::string>());
        found->second.index = nullptr;
    }
    if (!path.empty()) server->changed.insert(path);
}

void did_close(lsp_server_t* server, const json& params) {
    const std::string path = document_path(params);
    if (server->project.documents.erase(path) == 0) return;
    server->changed.insert(path);  // the file on disk speaks for it again
}

using request_handler_t = json (*)(lsp_server_t*, const target_t&);

json position_request(lsp_server_t* server, const json& params, request_handler_t handler, json empty) {
    const target_t target = target_of(server, params);
    if (target.text == nullptr || !target.index) return empty;
    return handler(server, target);
}

void handle_request(lsp_server_t* server, const std::string& method, const json& id, const json& params) {
    if (method == "initialize") {
        respond(server, id, initialize(server, params));
    } else if (!server->initialized) {
        respond_error(server, id, SERVER_NOT_INITIALIZED, "The server is not initialized");
    } else if (server->shut_down) {
        respond_error(server, id, INVALID_REQUEST, "The server is shut down");
    } else if (method == "shutdown") {
        server->shut_down = true;
        respond(server, id, nullptr);
    } else if (method == "textDocument/definition") {
        respond(server, id, position_request(server, params, definition, nullptr));
    } else if (method == "textDocument/hover") {
        respond(server, id, position_request(server, params, hover, nullptr));
    } else if (method == "textDocument/documentSymbol") {
        respond(server, id, position_request(server, params, symbols, json::array()));
    } else if (method == "textDocument/completion") {
        respond(server, id, position_request(server, params, completion, json::array()));
    } else if (method == "textDocument/references") {
        const target_t target = target_of(server, params);
        respond(server, id, target.text && target.index ? references(server, target, params) : json::array());
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
    if (method == "textDocument/didOpen") did_open(server, params);
    if (method == "textDocument/didChange") did_change(server, params);
    if (method == "textDocument/didSave") did_save(server, params);
    if (method == "textDocument/didClose") did_close(server, params);
}

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
        // A response to a request of ours (we send none) is ignored.
        const bool response = has_id && (message.contains("result") || message.contains("error"));
        if (!response) respond_error(server, nullptr, INVALID_REQUEST, "Not a request");
        return;
    }
    const json& params = member(message, "params");
    const json reply_id = id.is_number_integer() || id.is_string() ? id : json(nullptr);
    try {
        if (has_id) {
            handle_request(server, method.get<std::string>(), reply_id, params);
        } else {
            handle_notification(server, method.get<std::string>(), params);
        }
    } catch (const json::exception& error) {
        if (has_id) respond_error(server, reply_id, INVALID_PARAMS, error.what());
    } catch (const std::exception& error) {
        if (has_id) respond_error(server, reply_id, INTERNAL_ERROR, error.what());
    }
}

// "Content-Length: N" among the header lines, or -1.
long long content_length(std::string_view header) {
    constexpr std::string_view name = "content-length:";
    size_t line_start = 0;
    while (line_start < header.size()) {
        size_t line_end = header.find("\r\n", line_start);
        if (line_end == std::string_view::npos) line_end = header.size();
        std::string_view line = header.substr(line_start, line_end - line_start);
        line_start = line_end + 2;
        if (line.size() < name.size()) continue;
        bool matches = true;
        for (size_t i = 0; i < name.size(); ++i) {
            matches = matches && std::tolower(static_cast<unsigned char>(line[i])) == name[i];
        }
        if (!matches) continue;
        line.remove_prefix(name.size());
        while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
        while (!line.empty() && line.back() == ' ') line.remove_suffix(1);
        if (line.empty() || line.size() > 12 || line.find_first_not_of("0123456789") != std::string_view::npos) {
            return -1;
        }
        return std::stoll(std::string(line));
    }
    return -1;
}

}  // namespace

void lsp_server_feed(lsp_server_t* server, std::string_view bytes) {
    if (server->skip > 0) {
        const size_t dropped = std::min(server->skip, bytes.size());
        server->skip -= dropped;
        bytes.remove_prefix(dropped);
    }
    server->input.append(bytes);
    while (!server->exited) {
        const size_t header_end = server->input.find("\r\n\r\n");
        if (header_end == std::string::npos) {
            if (server->input.size() > HEADER_LIMIT) {
                server->input.clear();
                respond_error(server, nullptr, PARSE_ERROR, "Header too long");
            }
            return;
        }
        const long long length = content_length(std::string_view(server->input).substr(0, header_end));
        const size_t body_start = header_end + 4;
        if (length < 0) {
            server->input.erase(0, body_start);
            respond_error(server, nullptr, PARSE_ERROR, "Missing or bad Content-Length");
            continue;
        }
        if (static_cast<unsigned long long>(length) > MESSAGE_LIMIT) {
            server->input.erase(0, body_start);
            const size_t dropped = std::min(server->input.size(), static_cast<size_t>(length));
            server->input.erase(0, dropped);
            server->skip = static_cast<size_t>(length) - dropped;
            respond_error(server, nullptr, PARSE_ERROR, "Message too large");
            if (server->skip > 0) return;
            continue;
        }
        if (server->input.size() - body_start < static_cast<size_t>(length)) return;
        const std::string body = server->input.substr(body_start, static_cast<size_t>(length));
        server->input.erase(0, body_start + static_cast<size_t>(length));
        handle_message(server, body);
    }
}

bool lsp_server_busy(const lsp_server_t& server) { return !server.changed.empty() && !server.exited; }

void lsp_server_idle(lsp_server_t* server) {
    std::map<std::string, std::set<std::string>> roots;  // root -> edited documents of its project
    for (const std::string& path : server->changed) {
        std::set<std::string>& edited = roots[lsp_project_root(server->project, path)];
        if (server->project.documents.count(path) != 0) edited.insert(path);
    }
    server->changed.clear();
    for (const auto& [root, edited] : roots) {
        const lsp_run_t run = lsp_project_run(&server->project, root);
        publish_run(server, root, run, edited);
    }
}

int lsp_server_exit_status(const lsp_server_t& server) { return server.shut_down ? 0 : 1; }
