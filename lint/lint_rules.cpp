// The lint rules on the schema model.
//
// Each rule is a function over the whole model or one table that appends
// findings through report(); a rule turned off is never called. A finding
// remembers its subject (the declaration, and the field where there is one)
// so that lint_place() can find the name in the source lines afterwards.
#include <algorithm>
#include <initializer_list>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "lint.hpp"
#include "lint_internal.hpp"
#include "lint_sql.hpp"
#include "lint_words.hpp"

namespace {

constexpr size_t POSTGRESQL_NAME_BYTES = 63;
constexpr size_t MARIADB_NAME_CHARACTERS = 64;
constexpr size_t SHOWN_VALUE_BYTES = 40;

const std::vector<lint_rule_t> rules = {
    {"link-unindexed", "A field with an outgoing link has neither index nor primary.",
     "Every join through the link and every delete or key change in the linked table scans the whole table: none "
     "of the three servers indexes a referring column by itself."},
    {"link-type-mismatch", "A field with an outgoing link has another SQL type than the linked primary key.",
     "PostgreSQL and MariaDB refuse a foreign key between keys of different types; SQLite accepts it silently and "
     "then compares the values by their text or number."},
    {"link-one-sided", "A field lists an incoming link from a table none of whose fields links back.",
     "The incoming link documents a relation that does not exist, and no server will keep it."},
    {"primary-nullable", "A primary key field is marked nullable with *.",
     "PostgreSQL and MariaDB make primary key columns NOT NULL whatever the schema says; SQLite lets a row without "
     "a key in, which no link can ever name."},
    {"seed-dangling", "An initial row's linked value is the primary key of no initial row of the linked table.",
     "Every server refuses the foreign key (or the row) when the initial rows are loaded."},
    {"seed-duplicate-key", "Two initial rows have the same primary key.",
     "Every server refuses the second row when the initial rows are loaded."},
    {"seed-null-key", "An initial row has no value for the primary key.",
     "Every server refuses a row without a primary key value, except SQLite, where no link can name it."},
    {"seed-not-integer", "An initial value of an integer field is no integer in the range of the field's type.",
     "PostgreSQL and MariaDB (in its default strict mode) refuse the row when the initial rows are loaded."},
    {"name-reserved", "A name of a table, field, view, sequence or function is a reserved word of a server.",
     "The generated SQL quotes it, but every hand-written view, query or function that names it must quote it too, "
     "or it fails on that server."},
    {"name-too-long", "A name is longer than 63 bytes.",
     "PostgreSQL cuts names after 63 bytes, so two long names can become one; MariaDB refuses names over 64 "
     "characters."},
    {"name-case",
     "Two tables or views, two fields of a table, or two arguments or locals of a function differ only "
     "in letter case.",
     "Unquoted names are one name to the servers whatever their case, MariaDB and SQLite never tell field names "
     "apart by case, and MariaDB folds table names where it runs with case-insensitive table names."},
    {"name-shared", "A sequence has the name of a table or view.",
     "PostgreSQL and MariaDB keep sequences, tables and views in one namespace: the second one is refused."},
};

// Often enough that a server drops a check within a millisecond or two.
constexpr size_t STOP_CHECK_TABLES = 256;

struct lint_run_t {
    const schema_t& model;
    std::set<std::string, std::less<>> disabled;
    std::vector<lint_found_t> found;
    std::unordered_map<std::string_view, lint_sql_type_t> types;  // by SQL text; a schema has few

    const lint_sql_type_t& type(std::string_view sql) {
        auto found_type = types.find(sql);
        if (found_type == types.end()) found_type = types.emplace(sql, lint_sql_type(sql)).first;
        return found_type->second;
    }

    bool enabled(std::string_view rule) const { return disabled.find(rule) == disabled.end(); }

    // Asks `stop` once every STOP_CHECK_TABLES tables; true from the first
    // time it said yes on.
    const std::function<bool()>* stop = nullptr;
    size_t until_stop_check = 0;
    bool stopped = false;

    bool should_stop() {
        if (stop == nullptr || !*stop || stopped) return stopped;
        if (until_stop_check-- != 0) return false;
        until_stop_check = STOP_CHECK_TABLES;
        stopped = (*stop)();
        return stopped;
    }

    void report(std::string_view rule, std::string message, const lint_subject_t& subject) {
        if (!enabled(rule)) return;
        lint_finding_t finding;
        finding.rule = std::string(rule);
        finding.message = std::move(message);
        finding.file = std::string(subject.file);
        finding.line = subject.line;
        found.push_back({std::move(finding), subject});
    }
};

std::string joined(std::initializer_list<std::string_view> parts) {
    size_t size = 0;
    for (std::string_view part : parts) size += part.size();
    std::string text;
    text.reserve(size);
    for (std::string_view part : parts) text.append(part);
    return text;
}

std::string quoted(std::string_view name) { return "\"" + std::string(name) + "\""; }

// A value as a message shows it: on one line, quoted, and cut when long.
std::string shown(std::string_view value) {
    std::string text = "\"";
    for (size_t i = 0; i < value.size(); ++i) {
        if (i == SHOWN_VALUE_BYTES) {
            text += "...";
            break;
        }
        const char c = value[i];
        if (c == '"' || c == '\\') {
            text += '\\';
            text += c;
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\r') {
            text += "\\r";
        } else if (c == '\t') {
            text += "\\t";
        } else if (static_cast<unsigned char>(c) < 0x20) {
            text += '?';
        } else {
            text += c;
        }
    }
    return text + "\"";
}

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lower(std::string_view name) {
    std::string text(name);
    for (char& c : text) c = lower_ascii(c);
    return text;
}

bool same_but_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower_ascii(a[i]) != lower_ascii(b[i])) return false;
    }
    return true;
}

// The model places a table at its end; where its fields have lines of their
// own, its keyword is at or above the first of them.
unsigned head_from(const schema_table_t& table) {
    unsigned line = table.location.line;
    for (const schema_field_t& field : table.fields) line = std::min(line, field.line);
    return line;
}

lint_subject_t table_subject(const schema_table_t& table) {
    return {table.location.file, table.location.line, "table", table.name, "", &table, head_from(table)};
}

lint_subject_t field_subject(const schema_table_t& table, const schema_field_t& field, unsigned head) {
    return {table.location.file, field.line, "table", table.name, field.name, &table, head};
}

lint_subject_t field_subject(const schema_table_t& table, const schema_field_t& field) {
    return field_subject(table, field, head_from(table));
}

// ---- links --------------------------------------------------------------------------

// The tables that `field` names in links of `direction`, each once.
std::vector<std::string_view> linked_tables(const schema_field_t& field, dir_type_t direction) {
    std::vector<std::string_view> tables;
    for (const schema_link_t& link : field.links) {
        if (link.direction != direction) continue;
        if (std::find(tables.begin(), tables.end(), link.table) == tables.end()) tables.push_back(link.table);
    }
    return tables;
}

void check_link_index(lint_run_t* run, const schema_table_t& table, const schema_field_t& field) {
    if (field.index != OPTIMIZE_NONE) return;
    const auto target = std::find_if(field.links.begin(), field.links.end(),
                                     [](const schema_link_t& link) { return link.direction == DIRECTION_OUTGOING; });
    if (target == field.links.end()) return;
    // Made in one piece: a schema may have a finding of this rule per table.
    run->report("link-unindexed",
                joined({"link field \"", field.name, "\" has no index: joins with \"", target->table,
                        "\" and deletes there scan \"", table.name, "\""}),
                field_subject(table, field));
}

void check_link_types(lint_run_t* run, const schema_table_t& table, const schema_field_t& field) {
    for (std::string_view target_name : linked_tables(field, DIRECTION_OUTGOING)) {
        const schema_table_t* target = schema_find_table(run->model, target_name);
        if (target == nullptr) continue;
        const schema_field_t& key = schema_primary(*target);
        if (run->type(field.sql).key == run->type(key.sql).key) continue;
        run->report("link-type-mismatch",
                    "link field " + quoted(field.name) + " is " + std::string(field.sql) + ", but the primary key " +
                        quoted(std::string(target->name) + "." + std::string(key.name)) + " it links to is " +
                        std::string(key.sql),
                    field_subject(table, field));
    }
}

// A pair of table names, from and to.
using table_pair_t = std::pair<std::string_view, std::string_view>;

struct table_pair_hash_t {
    size_t operator()(const table_pair_t& pair) const {
        const std::hash<std::string_view> hash;
        return hash(pair.first) * 31 + hash(pair.second);
    }
};

// The pairs of tables where a field of the first links out to the second.
std::unordered_set<table_pair_t, table_pair_hash_t> outgoing_pairs(const schema_t& model) {
    std::unordered_set<table_pair_t, table_pair_hash_t> pairs;
    for (const schema_table_t& table : model.tables) {
        for (const schema_field_t& field : table.fields) {
            for (const schema_link_t& link : field.links) {
                if (link.direction == DIRECTION_OUTGOING) pairs.emplace(table.name, link.table);
            }
        }
    }
    return pairs;
}

void check_links_one_sided(lint_run_t* run) {
    if (!run->enabled("link-one-sided")) return;
    const auto pairs = outgoing_pairs(run->model);
    for (const schema_table_t& table : run->model.tables) {
        if (run->should_stop()) return;
        for (const schema_field_t& field : table.fields) {
            for (std::string_view source : linked_tables(field, DIRECTION_INCOMING)) {
                if (pairs.count({source, table.name}) != 0) continue;
                run->report("link-one-sided",
                            "field " + quoted(field.name) + " lists an incoming link from " + quoted(source) +
                                ", but no field of " + quoted(source) + " links to " + quoted(table.name),
                            field_subject(table, field));
            }
        }
    }
}

// ---- initial rows -------------------------------------------------------------------

std::string row_count_tail(size_t more) {
    if (more == 0) return "";
    return " (and " + std::to_string(more) + (more == 1 ? " more row)" : " more rows)");
}

// The primary keys of the initial rows of each table, sorted, built when
// first asked. Sorted vectors: most tables have a handful of rows.
class key_sets_t {
public:
    bool contains(lint_run_t* run, const schema_table_t& table, const std::string& key) {
        auto [entry, added] = keys_.try_emplace(&table);
        std::vector<std::string>& keys = entry->second;
        if (added) {
            const lint_value_kind_t kind = run->type(schema_primary(table).sql).kind;
            keys.reserve(table.rows.size());
            for (const schema_row_t& row : table.rows) {
                const schema_cell_t& cell = row[table.primary];
                if (cell) keys.push_back(lint_value_key(kind, *cell, false));
            }
            std::sort(keys.begin(), keys.end());
        }
        return std::binary_search(keys.begin(), keys.end(), key);
    }

private:
    std::unordered_map<const schema_table_t*, std::vector<std::string>> keys_;
};

void check_row_keys(lint_run_t* run, const schema_table_t& table) {
    const schema_field_t& key = schema_primary(table);
    const lint_value_kind_t kind = run->type(key.sql).kind;
    std::vector<std::pair<std::string, size_t>> keys;  // key, row
    keys.reserve(table.rows.size());
    for (size_t i = 0; i < table.rows.size(); ++i) {
        const schema_cell_t& cell = table.rows[i][table.primary];
        if (cell) {
            keys.emplace_back(lint_value_key(kind, *cell, true), i);
            continue;
        }
        run->report("seed-null-key",
                    "initial row " + std::to_string(i + 1) + " has no value for the primary key " + quoted(key.name),
                    field_subject(table, key));
    }
    // Each later row with the key of an earlier one, in the order of the
    // later rows. Rows of one key stay in order: the pairs end in the row.
    std::sort(keys.begin(), keys.end());
    std::vector<std::pair<size_t, size_t>> repeats;  // first row, later row
    for (size_t i = 1, first = 0; i < keys.size(); ++i) {
        if (keys[i].first != keys[first].first) {
            first = i;
        } else {
            repeats.emplace_back(keys[first].second, keys[i].second);
        }
    }
    std::sort(repeats.begin(), repeats.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    for (const auto& [first, later] : repeats) {
        run->report("seed-duplicate-key",
                    "initial rows " + std::to_string(first + 1) + " and " + std::to_string(later + 1) +
                        " have the same primary key " + shown(*table.rows[later][table.primary]),
                    field_subject(table, key));
    }
}

void check_row_links(lint_run_t* run, key_sets_t* key_sets, const schema_table_t& table, size_t column,
                     const lint_sql_type_t& type) {
    const schema_field_t& field = table.fields[column];
    const lint_value_kind_t kind = type.kind;
    for (std::string_view target_name : linked_tables(field, DIRECTION_OUTGOING)) {
        const schema_table_t* target = schema_find_table(run->model, target_name);
        if (target == nullptr) continue;
        size_t first = 0;
        size_t dangling = 0;
        for (size_t i = 0; i < table.rows.size(); ++i) {
            const schema_cell_t& cell = table.rows[i][column];
            if (!cell || key_sets->contains(run, *target, lint_value_key(kind, *cell, false))) continue;
            if (dangling++ == 0) first = i;
        }
        if (dangling == 0) continue;
        run->report("seed-dangling",
                    "initial row " + std::to_string(first + 1) + " names " + shown(*table.rows[first][column]) +
                        " in " + quoted(target->name) + ", which has no initial row with that primary key" +
                        row_count_tail(dangling - 1),
                    field_subject(table, field));
    }
}

void check_row_integers(lint_run_t* run, const schema_table_t& table, size_t column, const lint_sql_type_t& type) {
    const schema_field_t& field = table.fields[column];
    const std::optional<lint_integer_range_t>& range = type.range;
    if (!range) return;
    size_t first = 0;
    size_t wrong = 0;
    for (size_t i = 0; i < table.rows.size(); ++i) {
        const schema_cell_t& cell = table.rows[i][column];
        if (!cell) continue;
        if (lint_value_in_range(*cell, *range)) continue;
        if (wrong++ == 0) first = i;
    }
    if (wrong == 0) return;
    run->report("seed-not-integer",
                "initial row " + std::to_string(first + 1) + " holds " + shown(*table.rows[first][column]) + " in " +
                    quoted(field.name) + ", which is no " + std::string(field.sql) + " value" +
                    row_count_tail(wrong - 1),
                field_subject(table, field));
}

void check_rows(lint_run_t* run, key_sets_t* key_sets, const schema_table_t& table) {
    if (table.rows.empty()) return;
    check_row_keys(run, table);
    const bool dangling = run->enabled("seed-dangling");
    const bool integers = run->enabled("seed-not-integer");
    for (size_t column = 0; column < table.fields.size(); ++column) {
        const lint_sql_type_t& type = run->type(table.fields[column].sql);
        if (dangling) check_row_links(run, key_sets, table, column, type);
        if (integers) check_row_integers(run, table, column, type);
    }
}

// ---- names --------------------------------------------------------------------------

std::string server_list(unsigned servers) {
    std::vector<std::string_view> names;
    if ((servers & LINT_SERVER_POSTGRESQL) != 0) names.push_back("PostgreSQL");
    if ((servers & LINT_SERVER_MARIADB) != 0) names.push_back("MariaDB");
    if ((servers & LINT_SERVER_SQLITE) != 0) names.push_back("SQLite");
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += i + 1 == names.size() ? " and " : ", ";
        text += names[i];
    }
    return text;
}

// Hashing and comparing names ignoring ASCII letter case, without folded copies.
struct fold_hash_t {
    size_t operator()(std::string_view name) const {
        size_t hash = 14695981039346656037u;
        for (char c : name) hash = (hash ^ static_cast<unsigned char>(lower_ascii(c))) * 1099511628211u;
        return hash;
    }
};
struct fold_equal_t {
    bool operator()(std::string_view a, std::string_view b) const { return same_but_case(a, b); }
};

unsigned reserved_by(std::string_view name) {
    using words_t = std::unordered_map<std::string_view, unsigned, fold_hash_t, fold_equal_t>;
    static const words_t words = [] {
        words_t map;
        for (const lint_word_t& word : lint_reserved_words()) map.emplace(word.word, word.servers);
        return map;
    }();
    static const size_t longest = [] {
        size_t size = 0;
        for (const lint_word_t& word : lint_reserved_words()) size = std::max(size, word.word.size());
        return size;
    }();
    if (name.size() > longest) return 0;  // most names, without folding them
    const auto found = words.find(name);
    return found == words.end() ? 0 : found->second;
}

// name-reserved and name-too-long for one name; `kind` says what it names.
void check_name(lint_run_t* run, std::string_view kind, std::string_view name, const lint_subject_t& subject) {
    if (const unsigned servers = reserved_by(name); servers != 0) {
        run->report("name-reserved",
                    std::string(kind) + " name " + quoted(name) + " is a reserved word of " + server_list(servers),
                    subject);
    }
    if (name.size() > POSTGRESQL_NAME_BYTES) {
        std::string message = std::string(kind) + " name " + quoted(name) + " is " + std::to_string(name.size()) +
                              " bytes long: PostgreSQL cuts it after " + std::to_string(POSTGRESQL_NAME_BYTES);
        if (name.size() > MARIADB_NAME_CHARACTERS) message += " and MariaDB refuses it";
        run->report("name-too-long", std::move(message), subject);
    }
}

// Reports each name that differs from an earlier one of the same group only
// in letter case. Names equal byte for byte are no concern of this rule. A
// group is searched along its list until it is large enough for an index.
class case_group_t {
public:
    explicit case_group_t(size_t expected = 0) { entries_.reserve(expected); }

    void add(lint_run_t* run, std::string_view kind, std::string_view name, const lint_subject_t& subject) {
        const entry_t* first = find(name);
        if (first == nullptr) {
            remember({kind, name});
            return;
        }
        if (first->name == name) return;
        run->report("name-case",
                    std::string(kind) + " " + quoted(name) + " differs from " + std::string(first->kind) + " " +
                        quoted(first->name) + " only in letter case",
                    subject);
    }

private:
    static constexpr size_t LIST_SIZE = 16;

    struct entry_t {
        std::string_view kind;
        std::string_view name;  // in the model
    };

    // Names are compared ignoring case as they stand, in the list and,
    // once the group is large, in the index.
    const entry_t* find(std::string_view name) const {
        if (entries_.size() <= LIST_SIZE) {
            for (const entry_t& entry : entries_) {
                if (same_but_case(entry.name, name)) return &entry;
            }
            return nullptr;
        }
        const auto found = index_.find(name);
        return found == index_.end() ? nullptr : &entries_[found->second];
    }

    void remember(entry_t entry) {
        entries_.push_back(entry);
        if (entries_.size() == LIST_SIZE + 1) {
            for (size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].name, i);
        } else if (entries_.size() > LIST_SIZE + 1) {
            index_.emplace(entries_.back().name, entries_.size() - 1);
        }
    }

    std::vector<entry_t> entries_;
    std::unordered_map<std::string_view, size_t, fold_hash_t, fold_equal_t> index_;  // names in the model
};

void check_table_names(lint_run_t* run, const schema_table_t& table, case_group_t* relations) {
    const lint_subject_t subject = table_subject(table);
    check_name(run, "table", table.name, subject);
    relations->add(run, "table", table.name, subject);
    case_group_t fields(table.fields.size());
    for (const schema_field_t& field : table.fields) {
        const lint_subject_t field_at = field_subject(table, field, subject.head_from);
        check_name(run, "field", field.name, field_at);
        fields.add(run, "field", field.name, field_at);
    }
}

void check_function_names(lint_run_t* run, const schema_plsql_t& function) {
    const lint_subject_t subject{function.location.file, function.location.line, "plsql", function.name, "", &function,
                                 function.location.line};
    check_name(run, "function", function.name, subject);
    case_group_t variables;
    for (const schema_variable_t& argument : function.args) {
        check_name(run, "argument", argument.name, subject);
        variables.add(run, "argument", argument.name, subject);
    }
    for (const schema_variable_t& local : function.locals) {
        check_name(run, "local", local.name, subject);
        variables.add(run, "local", local.name, subject);
    }
}

void check_sequences(lint_run_t* run) {
    if (run->model.sequences.empty()) return;
    std::unordered_map<std::string, std::string> relations;  // lower-case name -> "table NAME"
    for (const schema_table_t& table : run->model.tables)
        relations.emplace(lower(table.name), "table " + quoted(table.name));
    for (const schema_view_t& view : run->model.views) relations.emplace(lower(view.name), "view " + quoted(view.name));
    for (const schema_sequence_t& sequence : run->model.sequences) {
        const lint_subject_t subject{
            sequence.location.file, sequence.location.line, "sequence", sequence.name, "", &sequence,
            sequence.location.line};
        check_name(run, "sequence", sequence.name, subject);
        const auto found = relations.find(lower(sequence.name));
        if (found != relations.end()) {
            run->report("name-shared", "sequence " + quoted(sequence.name) + " has the name of " + found->second,
                        subject);
        }
    }
}

void check_names(lint_run_t* run) {
    case_group_t relations;
    for (const schema_table_t& table : run->model.tables) {
        if (run->should_stop()) return;
        check_table_names(run, table, &relations);
    }
    for (const schema_view_t& view : run->model.views) {
        const lint_subject_t subject{view.location.file, view.location.line, "view", view.name, "", &view,
                                     view.location.line};
        check_name(run, "view", view.name, subject);
        relations.add(run, "view", view.name, subject);
    }
    check_sequences(run);
    for (const schema_plsql_t& function : run->model.plsql) check_function_names(run, function);
}

void check_tables(lint_run_t* run) {
    key_sets_t key_sets;
    for (const schema_table_t& table : run->model.tables) {
        if (run->should_stop()) return;
        for (const schema_field_t& field : table.fields) {
            check_link_index(run, table, field);
            check_link_types(run, table, field);
        }
        const schema_field_t& key = schema_primary(table);
        if (key.nullable) {
            run->report("primary-nullable", "primary key " + quoted(key.name) + " may be null",
                        field_subject(table, key));
        }
        check_rows(run, &key_sets, table);
    }
}

}  // namespace

const std::vector<lint_rule_t>& lint_rules() { return rules; }

const lint_rule_t* lint_find_rule(std::string_view name) {
    const auto found =
        std::find_if(rules.begin(), rules.end(), [&](const lint_rule_t& rule) { return rule.name == name; });
    return found == rules.end() ? nullptr : &*found;
}

std::vector<lint_finding_t> lint_check(const schema_t& model, const lint_options_t& options) {
    return *lint_check_unless(model, options, {});
}

std::optional<std::vector<lint_finding_t>> lint_check_unless(const schema_t& model, const lint_options_t& options,
                                                             const std::function<bool()>& stop) {
    lint_run_t run{model, {options.disabled.begin(), options.disabled.end()}, {}, {}};
    run.stop = &stop;
    // Room for a finding per table without moving them as they come: pages
    // of it that no finding reaches are never touched.
    run.found.reserve(model.tables.size() + 64);
    check_tables(&run);
    check_links_one_sided(&run);
    check_names(&run);
    if (run.should_stop()) return std::nullopt;
    if (options.lines) lint_place(&run.found, options.lines);
    std::vector<lint_finding_t> findings;
    findings.reserve(run.found.size());
    for (lint_found_t& found : run.found) findings.push_back(std::move(found.finding));
    // Rules run one after another over the model; the reader wants the
    // findings in the order of the files (often theirs already).
    const auto in_order = [](const lint_finding_t& a, const lint_finding_t& b) {
        return a.file != b.file ? a.file < b.file : a.line < b.line;
    };
    if (!std::is_sorted(findings.begin(), findings.end(), in_order)) {
        std::stable_sort(findings.begin(), findings.end(), in_order);
    }
    if (options.lines) lint_apply_allow_comments(&findings, options.lines);
    return findings;
}
