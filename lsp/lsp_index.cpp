// Tokens and names of one definition file. The statement walker below only
// classifies names; it accepts anything and never reports an error, since
// the compiler's own grammar decides what is valid.
#include "lsp_index.hpp"

#include <sys/mman.h>
#include <unistd.h>
#include <cstring>

#include "compile.hpp"
#include "definition_scanner.hpp"
#include "diagnostic.hpp"
#include "exception.hpp"
#include "lsp_text.hpp"
#include "path_info.hpp"
#include "utils.hpp"

namespace {

bool is_label_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// End of the token that starts at `start`, by the scanner's own rules.
uint32_t token_end(std::string_view text, uint32_t start, int code) {
    size_t p = start;
    switch (code) {
    case T_STRING:
        for (++p; p < text.size() && text[p] != '"'; ++p) {
            if (text[p] == '\\') ++p;
        }
        return static_cast<uint32_t>(std::min(p + 1, text.size()));
    case T_VARIABLE: ++p; [[fallthrough]];
    case T_INTEGER:
    case T_LABEL:
    default:
        if (code < 256) return start + 1;
        while (p < text.size() && is_label_byte(text[p])) ++p;
        return static_cast<uint32_t>(p);
    }
}

// The value of a string literal the scanner has accepted, quotes included.
std::string string_value(std::string_view literal) {
    std::string value(literal.substr(1, literal.size() - 2));
    unsigned offset = 0;
    if (value.find('\\') != std::string::npos && unescape_string(value.data(), &offset) == 0) {
        value.resize(std::strlen(value.c_str()));
    }
    return value;
}

void scan_tokens(const std::string& path, std::string_view text, lsp_file_index_t* index) {
    std::vector<lsp_token_t>& tokens = index->tokens;
    tokens.reserve(text.size() / 3 + 16);  // more than real files hold
    FILE* stream = lsp_memory_file(text);
    if (stream == nullptr) return;
    def_scanner_t* scanner = nullptr;
    diagnostic_sink_scope_t quiet([](const diagnostic_t&) {});  // the compiler reports the file's errors
    if (deflex_init(&scanner) == 0) {
        defset_in(stream, scanner);
        defset_pathname(path.c_str(), scanner);
        try {
            for (;;) {
                // No nodes: the names are read from the text, and making and
                // releasing a node for each was most of the scan.
                const int code = deflex(nullptr, scanner);
                if (code == 0) break;
                lsp_token_t token{code, static_cast<uint32_t>(deflex_token_start(scanner)), 0, -1};
                token.end = token_end(text, token.start, code);
                if (code == T_STRING) {
                    token.string = static_cast<int32_t>(index->strings.size());
                    index->strings.push_back(string_value(text.substr(token.start, token.end - token.start)));
                }
                tokens.push_back(token);
            }
        } catch (const bailout_exception&) {
            // The tokens before the bad byte stay useful.
        }
        deflex_destroy(scanner);
    }
    std::fclose(stream);
}

struct walker_t {
    const std::string& path;
    std::string_view text;
    lsp_file_index_t* index;
    std::vector<bool> named;  // tokens already classified

    int code(size_t i, size_t end) const { return i < end ? index->tokens[i].code : -1; }

    std::string value(size_t i) const {
        const lsp_token_t& t = index->tokens[i];
        if (t.code == T_STRING) return index->strings[t.string];
        const size_t skip = t.code == T_VARIABLE ? 1 : 0;
        return std::string(text.substr(t.start + skip, t.end - t.start - skip));
    }

    int add(lsp_name_kind_t kind, size_t token, bool declaration, lsp_use_site_t site = USE_OTHER) {
        const lsp_token_t& t = index->tokens[token];
        named[token] = true;
        std::string name = value(token);
        if (kind == NAME_INCLUDE || kind == NAME_INITIALIZER) name = lsp_resolve_name(path, name);
        index->occurrences.push_back(
            {kind, std::move(name), t.start, t.end, declaration, site, static_cast<int>(index->statements.size()) - 1});
        return static_cast<int>(index->occurrences.size()) - 1;
    }

    void declare(lsp_name_kind_t kind, size_t token) {
        lsp_statement_t& statement = index->statements.back();
        statement.name = value(token);
        statement.name_occurrence = add(kind, token, true);
    }

    // The token after the bracket that closes the one at `open`.
    size_t skip_group(size_t open, size_t end) const {
        int depth = 0;
        for (size_t i = open; i < end; ++i) {
            const int c = index->tokens[i].code;
            if (c == '(' || c == '[' || c == '{') ++depth;
            if ((c == ')' || c == ']' || c == '}') && --depth == 0) return i + 1;
        }
        return end;
    }

    size_t statement_end(size_t begin) const {
        int depth = 0;
        for (size_t i = begin; i < index->tokens.size(); ++i) {
            const int c = index->tokens[i].code;
            if (c == '(' || c == '[' || c == '{') ++depth;
            if ((c == ')' || c == ']' || c == '}') && depth > 0) --depth;
            if (c == ';' && depth == 0) return i + 1;
        }
        return index->tokens.size();
    }

    // A table's fields: [index|primary] TYPE [*] NAME [links] ";"
    size_t table_fields(size_t i, size_t end) {
        while (i < end && code(i, end) != '}') {
            if (code(i, end) == T_INDEX || code(i, end) == T_PRIMARY) ++i;
            if (code(i, end) == T_LABEL) add(NAME_TYPE, i++, false, USE_TABLE);
            if (code(i, end) == '*') ++i;
            if (code(i, end) == T_LABEL) index->statements.back().fields.push_back(add(NAME_FIELD, i++, true));
            if (code(i, end) == '[') {
                for (++i; i < end && code(i, end) != ']' && code(i, end) != ';' && code(i, end) != '}'; ++i) {
                    if ((code(i, end) == T_INCOMING || code(i, end) == T_OUTGOING) && code(i + 1, end) == ':' &&
                        code(i + 2, end) == T_LABEL) {
                        add(NAME_TABLE, i + 2, false, USE_TABLE);
                    }
                }
            }
            while (i < end && code(i, end) != ';' && code(i, end) != '}') ++i;
            if (code(i, end) == ';') ++i;
        }
        return i;
    }

    void table(size_t i, size_t end) {
        if (code(i, end) == T_LABEL) declare(NAME_TABLE, i++);
        if (code(i, end) != '{') return;
        i = table_fields(i + 1, end);
        if (code(i, end) == '}' && code(i + 1, end) == '=' && code(i + 2, end) == T_STRING &&
            (code(i + 3, end) == ';' || code(i + 3, end) == -1)) {
            add(NAME_INITIALIZER, i + 2, false);
        }
    }

    // One "TYPE NAME" of a PL/SQL argument or local list.
    size_t plsql_vars(size_t i, size_t end) {
        if (code(i, end) != '(') return i;
        const size_t close = skip_group(i, end);
        for (++i; i + 1 < close; ++i) {
            if (code(i, end) == T_LABEL && code(i + 1, end) == T_LABEL) add(NAME_TYPE, i++, false, USE_PLSQL);
        }
        return close;
    }

    void plsql(size_t i, size_t end) {
        if (code(i, end) == '[') ++i;
        if (code(i, end) == T_LABEL) add(NAME_TYPE, i++, false, USE_PLSQL);
        if (code(i, end) == ']') ++i;
        if (code(i, end) == T_LABEL) declare(NAME_PLSQL, i++);
        i = plsql_vars(i, end);
        plsql_vars(i, end);
    }

    // "{FIELD:type}" markers inside the query's strings name types.
    void query_fields(size_t begin, size_t end) {
        static constexpr std::string_view marker = "{FIELD:";
        for (size_t i = begin; i < end; ++i) {
            const lsp_token_t& t = index->tokens[i];
            if (t.code != T_STRING) continue;
            const std::string_view raw = text.substr(t.start, t.end - t.start);
            for (size_t at = raw.find(marker); at != std::string_view::npos; at = raw.find(marker, at + 1)) {
                const size_t name_start = at + marker.size();
                const size_t close = raw.find('}', name_start);
                if (close == std::string_view::npos || close == name_start) continue;
                const std::string_view name = raw.substr(name_start, close - name_start);
                if (name.find_first_of("{\"\\") != std::string_view::npos) continue;
                index->occurrences.push_back({NAME_TYPE, std::string(name), static_cast<uint32_t>(t.start + name_start),
                                              static_cast<uint32_t>(t.start + close), false, USE_QUERY,
                                              static_cast<int>(index->statements.size()) - 1});
            }
        }
    }

    void statement(size_t begin, size_t end) {
        size_t i = begin;
        if (code(i, end) == T_VOLATILE) ++i;
        const int keyword = code(i, end);
        index->statements.push_back({keyword, {}, index->tokens[begin].start, index->tokens[end - 1].end, -1, {}});
        ++i;
        switch (keyword) {
        case T_TABLE: table(i, end); break;
        case T_PLSQL: plsql(i, end); break;
        case T_TYPE:
            if (code(i, end) == T_LABEL) declare(NAME_TYPE, i);
            break;
        case T_VIEW:
            if (code(i, end) == T_LABEL) declare(NAME_VIEW, i);
            break;
        case T_SEQUENCE:
            if (code(i, end) == T_LABEL) declare(NAME_SEQUENCE, i);
            break;
        case T_QUERY:
            if (code(i, end) == T_LABEL) declare(NAME_QUERY, i);
            query_fields(i, end);
            break;
        case T_FUNCTION:
            if (code(i, end) == T_LABEL) declare(NAME_FUNCTION, i);
            break;
        case T_INCLUDE:
            if (code(i, end) == T_STRING) {
                const int at = add(NAME_INCLUDE, i, false);
                if (!index->occurrences[at].name.empty()) index->includes.push_back(index->occurrences[at].name);
            }
            break;
        default: break;
        }
        // Calls: a label followed by "(" that is not a declared name.
        for (size_t k = begin; k + 1 < end; ++k) {
            if (!named[k] && code(k, end) == T_LABEL && code(k + 1, end) == '(') add(NAME_FUNCTION, k, false);
        }
    }
};

}  // namespace

lsp_file_index_t lsp_index_text(const std::string& path, std::string_view text) {
    lsp_file_index_t index;
    scan_tokens(path, text, &index);
    index.occurrences.reserve(index.tokens.size() / 4 + 16);
    walker_t walker{path, text, &index, std::vector<bool>(index.tokens.size(), false)};
    for (size_t begin = 0; begin < index.tokens.size();) {
        const size_t end = walker.statement_end(begin);
        walker.statement(begin, end);
        begin = end;
    }
    return index;
}

bool lsp_same_namespace(lsp_name_kind_t a, lsp_name_kind_t b) {
    const auto space = [](lsp_name_kind_t kind) { return kind == NAME_VIEW ? NAME_TABLE : kind; };
    return space(a) == space(b);
}

FILE* lsp_memory_file(std::string_view text) {
    const int descriptor = memfd_create("tabula-lsp", MFD_CLOEXEC);
    if (descriptor < 0) return nullptr;
    for (size_t done = 0; done < text.size();) {
        const ssize_t wrote = write(descriptor, text.data() + done, text.size() - done);
        if (wrote <= 0) {
            close(descriptor);
            return nullptr;
        }
        done += static_cast<size_t>(wrote);
    }
    lseek(descriptor, 0, SEEK_SET);
    FILE* stream = fdopen(descriptor, "r");
    if (stream == nullptr) close(descriptor);
    return stream;
}

std::string lsp_resolve_name(const std::string& from, const std::string& name) {
    char directory[PATH_NATIVE_BUFFER_SIZE];
    char resolved[PATH_NATIVE_BUFFER_SIZE];
    if (name.find('\0') != std::string::npos) return {};
    if (path_native_dir(directory, sizeof directory, from.c_str()) != 0) return {};
    if (path_native_prefix(resolved, sizeof resolved, directory, name.c_str(), PATH_SLASH_OR_BACKSLASH) != 0) return {};
    return lsp_normal_path(resolved);
}
