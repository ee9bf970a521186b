// The features over token indexes and models. A name's declarations and uses
// are looked up across the files of every project its file belongs to; a
// field name is local to its own declaration.
#include "lsp_features.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "definition_scanner.hpp"
#include "lint.hpp"

namespace {

constexpr size_t HOVER_SOURCE_LIMIT = 4000;

const lsp_occurrence_t* occurrence_at(const lsp_file_index_t& index, size_t offset) {
    for (const lsp_occurrence_t& occurrence : index.occurrences) {
        if (occurrence.start <= offset && offset <= occurrence.end) return &occurrence;
    }
    return nullptr;
}

// The files of every project `path` belongs to, `path` itself among them.
std::vector<std::string> project_files_of(lsp_project_t* project, const std::string& path) {
    std::vector<std::string> files;
    std::set<std::string> seen;
    for (const std::string& root : lsp_project_roots(*project, path)) {
        for (std::string& file : lsp_project_files(project, root)) {
            if (seen.insert(file).second) files.push_back(std::move(file));
        }
    }
    if (seen.count(path) == 0) files.push_back(path);
    return files;
}

struct found_t {
    std::string path;
    lsp_occurrence_t occurrence;
};

// Occurrences of the name in the namespace of `wanted` across the projects.
std::vector<found_t> find_name(lsp_project_t* project, const std::string& path, const lsp_occurrence_t& wanted,
                               bool declarations, bool uses) {
    std::vector<found_t> found;
    for (const std::string& file : project_files_of(project, path)) {
        auto index = lsp_project_index(project, file);
        if (!index) continue;
        for (const lsp_occurrence_t& occurrence : index->occurrences) {
            if (occurrence.name != wanted.name || !lsp_same_namespace(occurrence.kind, wanted.kind)) continue;
            if (occurrence.kind == NAME_FIELD && (file != path || occurrence.start != wanted.start)) continue;
            if (occurrence.declaration ? declarations : uses) found.push_back({file, occurrence});
        }
    }
    return found;
}

struct target_t {
    std::shared_ptr<const lsp_file_index_t> index;
    const lsp_occurrence_t* at = nullptr;
};

target_t target_of(lsp_project_t* project, const std::string& path, size_t offset) {
    target_t target;
    target.index = lsp_project_index(project, path);
    if (target.index) target.at = occurrence_at(*target.index, offset);
    return target;
}

bool names_file(const lsp_occurrence_t& occurrence) {
    return occurrence.kind == NAME_INCLUDE || occurrence.kind == NAME_INITIALIZER;
}

lsp_span_t span_of(const found_t& found) { return {found.path, found.occurrence.start, found.occurrence.end, false}; }

// --- hover: what the model says of a name, in SQL terms -------------------------

template <typename object_t>
const object_t* named(const std::vector<object_t>& objects, const std::string& name) {
    for (const object_t& object : objects) {
        if (object.name == name) return &object;
    }
    return nullptr;
}

std::string table_text(const schema_table_t& table) {
    std::string text;
    for (const schema_field_t& field : table.fields) {
        text += field.index == OPTIMIZE_PRIMARY ? "primary " : field.index == OPTIMIZE_INDEX ? "index " : "";
        text.append(field.name).append(" ").append(field.sql);
        if (field.nullable) text += " NULL";
        std::string links;
        for (const schema_link_t& link : field.links) {
            links += links.empty() ? " [" : ", ";
            links.append(link.direction == DIRECTION_OUTGOING ? "outgoing: " : "incoming: ").append(link.table);
        }
        text += links.empty() ? "\n" : links + "]\n";
    }
    const size_t rows = table.rows.size();
    if (rows > 0) text += "-- " + std::to_string(rows) + (rows == 1 ? " initial row\n" : " initial rows\n");
    return text;
}

std::string query_text(const schema_query_t& query) {
    std::string text;
    for (const schema_piece_t& piece : query.pieces) {
        if (piece.kind == QP_TEXT) text.append("text:  ").append(piece.text).append("\n");
        if (piece.kind == QP_ESC) text += "param: " + std::to_string(piece.number) + " (escaped)\n";
        if (piece.kind == QP_RAW) text += "raw:   " + std::to_string(piece.number) + "\n";
    }
    for (const schema_typed_t& field : query.fields) text.append("field: ").append(field.sql).append("\n");
    return text;
}

std::string variables_text(std::span<const schema_variable_t> variables, const char* separator) {
    std::string text;
    for (const schema_variable_t& variable : variables) {
        if (!text.empty()) text += separator;
        text.append(variable.sql).append(" ").append(variable.name);
    }
    return text;
}

std::string plsql_text(const schema_plsql_t& function) {
    std::string text =
        "returns " + std::string(function.returns_set ? "SETOF " : "") + std::string(function.returns.sql) + "\n";
    text.append("(").append(variables_text(function.args, ", ")).append(")\n");
    const std::string locals = variables_text(function.locals, "; ");
    if (!locals.empty()) text += "locals: " + locals + ";\n";
    return text.append(function.body).append("\n");
}

std::string model_text(const schema_t& model, lsp_name_kind_t kind, const std::string& name) {
    switch (kind) {
    case NAME_TYPE:
        if (const auto* type = named(model.types, name)) return std::string(type->sql);
        return {};
    case NAME_SEQUENCE:
        if (const auto* sequence = named(model.sequences, name)) return std::to_string(sequence->start);
        return {};
    case NAME_TABLE:
        if (const schema_table_t* table = schema_find_table(model, name)) return table_text(*table);
        [[fallthrough]];
    case NAME_VIEW:
        if (const auto* view = named(model.views, name)) return std::string(view->sql);
        return {};
    case NAME_QUERY:
        if (const auto* query = named(model.queries, name)) return query_text(*query);
        return {};
    case NAME_PLSQL:
        if (const auto* function = named(model.plsql, name)) return plsql_text(*function);
        return {};
    default: return {};
    }
}

// What the last good model of any project of `path` says of the name.
std::string sql_text(lsp_project_t* project, const std::string& path, lsp_name_kind_t kind, const std::string& name) {
    for (const std::string& root : lsp_project_roots(*project, path)) {
        auto model = project->models.find(root);
        if (model == project->models.end()) continue;
        std::string text = model_text(*model->second, kind, name);
        if (!text.empty()) return text;
    }
    return {};
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

std::string declaration_source(lsp_project_t* project, const found_t& declaration) {
    auto index = lsp_project_index(project, declaration.path);
    const lsp_text_t* text = lsp_project_text(project, declaration.path);
    if (!index || text == nullptr || declaration.occurrence.statement < 0) return {};
    const lsp_statement_t& statement = index->statements[declaration.occurrence.statement];
    return text->text.substr(statement.start, std::min<size_t>(statement.end - statement.start, HOVER_SOURCE_LIMIT));
}

// --- symbols ---------------------------------------------------------------

lsp_symbol_kind_t symbol_kind(int keyword) {
    switch (keyword) {
    case T_TABLE: return SYMBOL_TABLE;
    case T_VIEW: return SYMBOL_VIEW;
    case T_TYPE: return SYMBOL_TYPE;
    case T_SEQUENCE: return SYMBOL_SEQUENCE;
    case T_QUERY: return SYMBOL_QUERY;
    default: return SYMBOL_FUNCTION;  // plsql and user functions
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

// --- completion ---------------------------------------------------------------

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

// --- diagnostics ------------------------------------------------------------------

// The fix-up names the missing type or table but points at the program's
// last statement: show it where the name is written, in the fix-up's order.
bool place_missing_name(lsp_project_t* project, const std::string& root, const diagnostic_t& diagnostic,
                        lsp_span_t* span) {
    if (diagnostic.subject_kind == SUBJECT_NONE) return false;
    const std::string& name = diagnostic.subject;
    const lsp_name_kind_t kind = diagnostic.subject_kind == SUBJECT_TYPE ? NAME_TYPE : NAME_TABLE;
    std::vector<found_t> uses;
    for (const std::string& file : lsp_project_files(project, root)) {
        auto index = lsp_project_index(project, file);
        if (!index) continue;
        for (const lsp_occurrence_t& occurrence : index->occurrences) {
            if (!occurrence.declaration && occurrence.kind == kind && occurrence.name == name) {
                uses.push_back({file, occurrence});
            }
        }
    }
    const found_t* best = nullptr;
    for (const found_t& use : uses) {
        if (best == nullptr || use.occurrence.site < best->occurrence.site) best = &use;
    }
    if (best == nullptr) return false;
    *span = span_of(*best);
    return true;
}

bool is_initializer_message(const std::string& message) {
    return message.rfind("syntax error", 0) == 0 || message.rfind("Unexpected ", 0) == 0;
}

// The columns the reporter gave, or the line's text without its indentation;
// a line past the end (an error at the end of the text) is the last line.
lsp_span_t line_span(const lsp_text_t& text, const diagnostic_t& diagnostic) {
    const size_t line = std::min<size_t>(diagnostic.line - 1, text.line_starts.size() - 1);
    size_t start = text.line_starts[line];
    size_t end = line + 1 < text.line_starts.size() ? text.line_starts[line + 1] : text.text.size();
    while (end > start && std::strchr("\r\n", text.text[end - 1]) != nullptr) --end;
    if (diagnostic.column_end > diagnostic.column_start) {
        const size_t line_start = start;
        start = std::min(end, line_start + diagnostic.column_start);
        end = std::min(end, line_start + diagnostic.column_end);
    } else {
        while (start < end && std::strchr(" \t\v\f", text.text[start]) != nullptr) ++start;
    }
    return {diagnostic.file, static_cast<uint32_t>(start), static_cast<uint32_t>(end), false};
}

lsp_span_t place(lsp_project_t* project, const std::string& root, const lsp_run_t& run,
                 const diagnostic_t& diagnostic) {
    lsp_span_t span;
    if (place_missing_name(project, root, diagnostic, &span)) return span;
    // After a successful compile the only scanner that runs is the
    // initializer files' one.
    if (run.compiled && !run.last_initializer.empty() && is_initializer_message(diagnostic.message) &&
        lsp_project_text(project, run.last_initializer) != nullptr) {
        return {run.last_initializer, 0, 0, true};
    }
    const std::string path = diagnostic.file.empty() ? root : diagnostic.file;
    const lsp_text_t* text = lsp_project_text(project, path);
    if (text == nullptr || diagnostic.line == 0) return {path, 0, 0, true};
    lsp_span_t placed = line_span(*text, diagnostic);
    placed.path = path;
    return placed;
}

}  // namespace

std::vector<lsp_span_t> lsp_definition(lsp_project_t* project, const std::string& path, size_t offset) {
    const target_t target = target_of(project, path, offset);
    if (target.at == nullptr) return {};
    if (names_file(*target.at)) {
        if (target.at->name.empty()) return {};
        return {{target.at->name, 0, 0, true}};
    }
    std::vector<lsp_span_t> spans;
    for (const found_t& found : find_name(project, path, *target.at, true, false)) spans.push_back(span_of(found));
    return spans;
}

std::vector<lsp_span_t> lsp_references(lsp_project_t* project, const std::string& path, size_t offset,
                                       bool declarations) {
    const target_t target = target_of(project, path, offset);
    if (target.at == nullptr || names_file(*target.at)) return {};
    std::vector<lsp_span_t> spans;
    for (const found_t& found : find_name(project, path, *target.at, declarations, true)) {
        spans.push_back(span_of(found));
    }
    return spans;
}

bool lsp_hover(lsp_project_t* project, const std::string& path, size_t offset, lsp_hover_t* hover) {
    const target_t target = target_of(project, path, offset);
    if (target.at == nullptr || names_file(*target.at)) return false;
    const lsp_occurrence_t& at = *target.at;
    const std::vector<found_t> declarations = find_name(project, path, at, true, false);
    const lsp_name_kind_t kind = declarations.empty() ? at.kind : declarations.front().occurrence.kind;
    const std::string body = kind == NAME_FUNCTION || kind == NAME_FIELD ? "" : sql_text(project, path, kind, at.name);
    hover->markdown = "**" + std::string(kind_word(kind)) + "** `" + at.name + "`";
    if (!body.empty()) {
        hover->markdown += "\n```sql\n" + body + (body.back() == '\n' ? "" : "\n") + "```";
    } else if (!declarations.empty()) {
        hover->markdown += "\n```\n" + declaration_source(project, declarations.front()) + "\n```";
    } else if (kind == NAME_FUNCTION) {
        hover->markdown += "\nbuilt-in function";
    }
    hover->start = at.start;
    hover->end = at.end;
    return true;
}

lsp_symbols_t lsp_document_symbols(lsp_project_t* project, const std::string& path) {
    lsp_symbols_t list;
    list.index = lsp_project_index(project, path);
    if (!list.index) return list;
    const lsp_file_index_t& index = *list.index;
    size_t count = 0;
    for (const lsp_statement_t& statement : index.statements) {
        if (statement.name_occurrence >= 0) count += 1 + (statement.keyword == T_TABLE ? statement.fields.size() : 0);
    }
    list.symbols.reserve(count);
    for (const lsp_statement_t& statement : index.statements) {
        if (statement.name_occurrence < 0) continue;
        const lsp_occurrence_t& name = index.occurrences[statement.name_occurrence];
        const bool table = statement.keyword == T_TABLE;
        list.symbols.push_back({statement.name, symbol_kind(statement.keyword), keyword_text(statement.keyword),
                                statement.start, statement.end, name.start, name.end,
                                table ? static_cast<uint32_t>(statement.fields.size()) : 0});
        if (!table) continue;
        for (const int field : statement.fields) {
            const lsp_occurrence_t& occurrence = index.occurrences[field];
            list.symbols.push_back({occurrence.name, SYMBOL_FIELD, "", occurrence.start, occurrence.end,
                                    occurrence.start, occurrence.end, 0});
        }
    }
    return list;
}

std::vector<lsp_completion_t> lsp_completion(lsp_project_t* project, const std::string& path, size_t offset) {
    std::vector<lsp_completion_t> items;
    auto index = lsp_project_index(project, path);
    if (!index) return items;
    const completion_context_t context = completion_context(*index, offset);
    if (context == COMPLETE_KEYWORDS) {
        for (const char* keyword : KEYWORDS) items.push_back({keyword, COMPLETION_KEYWORD, ""});
        return items;
    }
    std::set<std::string> seen;
    for (const std::string& file : project_files_of(project, path)) {
        auto file_index = lsp_project_index(project, file);
        if (!file_index) continue;
        for (const lsp_occurrence_t& occurrence : file_index->occurrences) {
            if (!occurrence.declaration) continue;
            lsp_completion_kind_t kind = COMPLETION_KEYWORD;
            if (context == COMPLETE_TYPES && occurrence.kind == NAME_TYPE) kind = COMPLETION_TYPE;
            if (context == COMPLETE_TABLES && occurrence.kind == NAME_TABLE) kind = COMPLETION_TABLE;
            if (context == COMPLETE_FUNCTIONS && occurrence.kind == NAME_FUNCTION) kind = COMPLETION_FUNCTION;
            if (kind == COMPLETION_KEYWORD || !seen.insert(occurrence.name).second) continue;
            items.push_back({occurrence.name, kind, kind_word(occurrence.kind)});
        }
    }
    if (context == COMPLETE_FUNCTIONS) items.push_back({"null", COMPLETION_KEYWORD, ""});
    return items;
}

std::vector<lsp_finding_t> lsp_place_diagnostics(lsp_project_t* project, const std::string& root,
                                                 const lsp_run_t& run) {
    std::vector<lsp_finding_t> findings;
    for (const diagnostic_t& diagnostic : run.diagnostics) {
        findings.push_back({place(project, root, run, diagnostic), diagnostic.severity, diagnostic.message, {}});
    }
    return findings;
}

std::optional<std::vector<lsp_finding_t>> lsp_lint(lsp_project_t* project, const schema_t& model,
                                                   const std::vector<std::string>& disabled,
                                                   const std::function<bool()>& stop) {
    // The rules ask for many lines of few files, by the names the model
    // keeps: each name is made normal and its text found once.
    std::map<std::string, std::pair<std::string, const lsp_text_t*>, std::less<>> files;
    const auto file_of = [&files, project](std::string_view name) -> const std::pair<std::string, const lsp_text_t*>& {
        auto found = files.find(name);
        if (found != files.end()) return found->second;
        std::string path = lsp_normal_path(name);
        const lsp_text_t* text = lsp_project_text(project, path);
        return files.emplace(std::string(name), std::make_pair(std::move(path), text)).first->second;
    };
    lint_options_t options;
    options.disabled = disabled;
    options.lines = [&file_of](std::string_view file, unsigned line) -> std::optional<std::string_view> {
        const lsp_text_t* text = file_of(file).second;
        if (text == nullptr || line == 0 || line > text->line_starts.size()) return std::nullopt;
        const size_t start = text->line_starts[line - 1];
        size_t end = line < text->line_starts.size() ? text->line_starts[line] : text->text.size();
        while (end > start && std::strchr("\r\n", text->text[end - 1]) != nullptr) --end;
        return std::string_view(text->text).substr(start, end - start);
    };
    std::optional<std::vector<lint_finding_t>> found = lint_check_unless(model, options, stop);
    if (!found) return std::nullopt;
    std::vector<lsp_finding_t> findings;
    findings.reserve(found->size());
    for (const lint_finding_t& finding : *found) {
        diagnostic_t diagnostic = lint_diagnostic(finding);
        const auto& [path, text] = file_of(diagnostic.file);
        diagnostic.file = path;
        lsp_span_t span{diagnostic.file, 0, 0, true};
        if (text != nullptr && diagnostic.line > 0) span = line_span(*text, diagnostic);
        findings.push_back({span, SEVERITY_WARNING, diagnostic.message, finding.rule});
    }
    return findings;
}
