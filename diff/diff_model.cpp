#include "diff_model.hpp"

#include <algorithm>
#include <map>
#include <optional>
#include <unordered_map>

namespace {

diagnostic_t error_at(std::string message, std::string_view file = {}, unsigned line = 0) {
    diagnostic_t diagnostic;
    diagnostic.message = std::move(message);
    diagnostic.file = std::string(file);
    diagnostic.line = file.empty() ? 0 : line;
    return diagnostic;
}

std::string quoted(std::string_view name) {
    std::string text(1, '"');
    return text.append(name).append(1, '"');
}

const schema_field_t* find_field(const schema_table_t& table, std::string_view name) {
    for (const schema_field_t& field : table.fields) {
        if (field.name == name) return &field;
    }
    return nullptr;
}

// Values by name, kept in the order added and searched along that list
// while it is short, as a table's fields and rows usually are; hashed past
// that. Keys are views of texts that outlive the map. The first value added
// for a key is kept.
template <typename Value>
class view_map_t {
public:
    explicit view_map_t(size_t expected) { entries_.reserve(expected); }

    const Value* find(std::string_view key) const {
        if (entries_.size() <= LIST_SIZE) {
            for (const auto& [name, value] : entries_) {
                if (name == key) return &value;
            }
            return nullptr;
        }
        const auto found = index_.find(key);
        return found == index_.end() ? nullptr : &entries_[found->second].second;
    }

    void emplace(std::string_view key, Value value) {
        if (find(key) != nullptr) return;
        entries_.emplace_back(key, value);
        if (entries_.size() == LIST_SIZE + 1) {
            for (size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].first, i);
        } else if (entries_.size() > LIST_SIZE + 1) {
            index_.emplace(key, entries_.size() - 1);
        }
    }

private:
    static constexpr size_t LIST_SIZE = 16;

    std::vector<std::pair<std::string_view, Value>> entries_;
    std::unordered_map<std::string_view, size_t> index_;
};

// OLD's names mapped to NEW's, for tables and for the fields of each table.
struct rename_map_t {
    std::map<std::string, std::string, std::less<>> tables;
    std::map<std::pair<std::string, std::string>, std::string> fields;
};

std::string_view new_table_name(const rename_map_t& map, std::string_view old_name) {
    if (map.tables.empty()) return old_name;
    const auto found = map.tables.find(old_name);
    return found == map.tables.end() ? old_name : std::string_view(found->second);
}

std::string_view new_field_name(const rename_map_t& map, std::string_view old_table, std::string_view old_field) {
    if (map.fields.empty()) return old_field;
    const auto found = map.fields.find({std::string(old_table), std::string(old_field)});
    return found == map.fields.end() ? old_field : std::string_view(found->second);
}

// Checks each rename against the two models; reports and returns false at
// the first that names nothing or would make two objects one.
bool renames_check(const schema_t& old_model, const schema_t& new_model, const std::vector<diff_rename_t>& renames,
                   rename_map_t* map, const diagnostic_sink_t& sink) {
    for (const diff_rename_t& rename : renames) {
        const schema_table_t* old_table = schema_find_table(old_model, rename.table);
        if (old_table == nullptr) {
            sink(error_at("Cannot rename table " + quoted(rename.table) + ": the old schema has no such table"));
            return false;
        }
        if (rename.field.empty()) {
            if (schema_find_table(new_model, rename.new_name) == nullptr) {
                sink(error_at("Cannot rename table " + quoted(rename.table) + " to " + quoted(rename.new_name) +
                              ": the new schema has no such table"));
                return false;
            }
            map->tables[rename.table] = rename.new_name;
            continue;
        }
        if (find_field(*old_table, rename.field) == nullptr) {
            sink(error_at("Cannot rename field " + quoted(rename.field) + " of table " + quoted(rename.table) +
                          ": the old schema has no such field"));
            return false;
        }
        map->fields[{rename.table, rename.field}] = rename.new_name;
    }
    // Every OLD table's new name must be its own; the same for fields.
    std::unordered_map<std::string_view, std::string_view> claimed;
    for (const schema_table_t& table : old_model.tables) {
        const std::string_view name = new_table_name(*map, table.name);
        const auto [at, fresh] = claimed.emplace(name, table.name);
        if (!fresh) {
            sink(error_at("Cannot rename table " + quoted(map->tables.count(table.name) ? table.name : at->second) +
                          " to " + quoted(name) + ": the old schema has another table of that name"));
            return false;
        }
    }
    for (const auto& [key, name] : map->fields) {
        const schema_table_t* new_table = schema_find_table(new_model, new_table_name(*map, key.first));
        if (new_table == nullptr || find_field(*new_table, name) == nullptr) {
            sink(error_at("Cannot rename field " + quoted(key.second) + " of table " + quoted(key.first) + " to " +
                          quoted(name) + ": the new schema has no such field"));
            return false;
        }
        const schema_table_t& old_table = *schema_find_table(old_model, key.first);
        for (const schema_field_t& other : old_table.fields) {
            if (other.name != key.second && new_field_name(*map, key.first, other.name) == name) {
                sink(error_at("Cannot rename field " + quoted(key.second) + " of table " + quoted(key.first) + " to " +
                              quoted(name) + ": the old table has another field of that name"));
                return false;
            }
        }
    }
    return true;
}

void fields_compare(const rename_map_t& map, diff_table_t* pair) {
    const schema_table_t& old_table = *pair->old_table;
    const schema_table_t& new_table = *pair->new_table;
    view_map_t<const schema_field_t*> old_by_new_name(old_table.fields.size());
    for (const schema_field_t& field : old_table.fields) {
        old_by_new_name.emplace(new_field_name(map, old_table.name, field.name), &field);
    }
    pair->fields.reserve(new_table.fields.size() + old_table.fields.size());
    std::vector<bool> kept(old_table.fields.size(), false);
    size_t last_position = 0;
    bool seen_kept = false;
    bool seen_added = false;
    for (const schema_field_t& field : new_table.fields) {
        diff_field_t diff;
        diff.new_field = &field;
        const auto found = old_by_new_name.find(field.name);
        if (found == nullptr) {
            seen_added = true;
            pair->columns_changed = true;
        } else {
            const schema_field_t* old_field = *found;
            diff.old_field = old_field;
            const size_t position = diff_field_position(old_table.fields, old_field);
            kept[position] = true;
            if (seen_added || (seen_kept && position < last_position)) pair->order_changed = true;
            seen_kept = true;
            last_position = position;
            diff.type_changed = old_field->sql != field.sql;
            const bool was_nullable = diff_field_nullable(old_table, *old_field);
            const bool is_nullable = diff_field_nullable(new_table, field);
            diff.made_nullable = !was_nullable && is_nullable;
            diff.made_not_null = was_nullable && !is_nullable;
            if (diff.type_changed || diff.made_nullable || diff.made_not_null) pair->columns_changed = true;
        }
        pair->fields.push_back(diff);
    }
    for (size_t i = 0; i < old_table.fields.size(); ++i) {
        if (kept[i]) continue;
        diff_field_t diff;
        diff.old_field = &old_table.fields[i];
        pair->fields.push_back(diff);
        pair->columns_changed = true;
    }
    const diff_field_t& primary = pair->fields[new_table.primary];
    pair->primary_changed = primary.old_field != &schema_primary(old_table);
    if (pair->primary_changed || pair->order_changed) pair->columns_changed = true;
}

void rows_compare(diff_table_t* pair) {
    const schema_table_t& old_table = *pair->old_table;
    const schema_table_t& new_table = *pair->new_table;
    const size_t new_key = new_table.primary;
    const schema_field_t* old_key_field = pair->fields[new_key].old_field;
    // OLD's rows by key; a row without a key value never matches.
    view_map_t<const schema_row_t*> old_rows(old_table.rows.size());
    if (old_key_field != nullptr) {
        const size_t old_key = diff_field_position(old_table.fields, old_key_field);
        for (const schema_row_t& row : old_table.rows) {
            if (row[old_key].has_value()) old_rows.emplace(*row[old_key], &row);
        }
    }
    view_map_t<bool> matched(new_table.rows.size());
    for (const schema_row_t& row : new_table.rows) {
        diff_row_t diff;
        diff.new_row = &row;
        const schema_row_t* const* found = row[new_key].has_value() ? old_rows.find(*row[new_key]) : nullptr;
        if (found == nullptr || matched.find(*row[new_key]) != nullptr) {
            pair->rows.push_back(std::move(diff));
            continue;
        }
        matched.emplace(*row[new_key], true);
        diff.old_row = *found;
        for (size_t i = 0; i < row.size(); ++i) {
            const diff_field_t& field = pair->fields[i];
            if (field.old_field == nullptr) {
                if (row[i].has_value()) diff.changed.push_back(i);
                continue;
            }
            const schema_cell_t& old_value = (**found)[diff_field_position(old_table.fields, field.old_field)];
            // A cast of a retyped column need not give NEW's text back.
            const bool retyped = field.type_changed && (old_value.has_value() || row[i].has_value());
            if (retyped || old_value != row[i]) diff.changed.push_back(i);
        }
        if (!diff.changed.empty()) pair->rows.push_back(std::move(diff));
    }
    if (old_key_field == nullptr) {
        for (const schema_row_t& row : old_table.rows) pair->rows.push_back({&row, nullptr, {}});
        return;
    }
    const size_t old_key = diff_field_position(old_table.fields, old_key_field);
    for (const schema_row_t& row : old_table.rows) {
        if (!row[old_key].has_value() || *old_rows.find(*row[old_key]) != &row ||
            matched.find(*row[old_key]) == nullptr) {
            pair->rows.push_back({&row, nullptr, {}});
        }
    }
}

bool variables_equal(std::span<const schema_variable_t> a, std::span<const schema_variable_t> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const auto& x, const auto& y) { return x.name == y.name && x.sql == y.sql; });
}

// Pairs the objects of one collection by name, NEW's order first.
template <typename Object, typename Same>
void objects_compare(const std::vector<Object>& old_objects, const std::vector<Object>& new_objects,
                     std::vector<diff_pair_t<Object>>* pairs, Same same) {
    std::unordered_map<std::string_view, const Object*> old_by_name;
    for (const Object& object : old_objects) old_by_name.emplace(object.name, &object);
    std::unordered_map<std::string_view, bool> kept;
    for (const Object& object : new_objects) {
        diff_pair_t<Object> pair;
        pair.new_object = &object;
        const auto found = old_by_name.find(object.name);
        if (found != old_by_name.end()) {
            pair.old_object = found->second;
            pair.changed = !same(*found->second, object);
            kept.emplace(object.name, true);
        }
        pairs->push_back(pair);
    }
    for (const Object& object : old_objects) {
        if (kept.count(object.name) == 0) pairs->push_back({&object, nullptr, false});
    }
}

std::string field_place(const schema_field_t& field, const schema_table_t& table) {
    return "field " + quoted(field.name) + " of table " + quoted(table.name);
}

void report_table(const diff_table_t& pair, const diagnostic_sink_t& sink, size_t* count) {
    auto report = [&](std::string message, const schema_location_t& location, unsigned line) {
        sink(error_at(std::move(message), location.file, line));
        ++*count;
    };
    if (pair.new_table == nullptr) {
        report("Dropping table " + quoted(pair.old_table->name) + " deletes its rows", pair.old_table->location,
               pair.old_table->location.line);
        return;
    }
    if (pair.old_table == nullptr) return;
    const schema_table_t& old_table = *pair.old_table;
    const schema_table_t& new_table = *pair.new_table;
    for (const diff_field_t& field : pair.fields) {
        if (field.new_field == nullptr) {
            report("Dropping " + field_place(*field.old_field, old_table) + " deletes its values", old_table.location,
                   field.old_field->line);
            continue;
        }
        const schema_field_t& declared = *field.new_field;
        if (field.old_field == nullptr) {
            if (!diff_field_nullable(new_table, declared)) {
                report("Adding " + field_place(declared, new_table) + " as NOT NULL needs a value in every stored row",
                       new_table.location, declared.line);
            }
            continue;
        }
        if (field.type_changed) {
            report("Changing the type of " + field_place(declared, new_table) + " from " +
                       quoted(field.old_field->sql) + " to " + quoted(declared.sql) + " may fail on stored values",
                   new_table.location, declared.line);
        }
        if (field.made_not_null) {
            report("Making " + field_place(declared, new_table) + " NOT NULL fails on stored null values",
                   new_table.location, declared.line);
        }
    }
    if (pair.primary_changed) {
        const schema_field_t& primary = schema_primary(new_table);
        report("Changing the primary key of table " + quoted(new_table.name) + " to " + quoted(primary.name) +
                   " may fail on stored values",
               new_table.location, primary.line);
    }
    for (const diff_row_t& row : pair.rows) {
        if (row.new_row != nullptr) continue;
        const schema_cell_t& key = (*row.old_row)[old_table.primary];
        report("Deleting the initial row " + (key.has_value() ? quoted(*key) : std::string("null")) + " of table " +
                   quoted(old_table.name),
               old_table.location, old_table.location.line);
    }
}

}  // namespace

bool diff_rename_parse(const std::string& text, diff_rename_t* rename) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos) return false;
    const std::string old_name = text.substr(0, equals);
    const size_t dot = old_name.find('.');
    *rename = {old_name.substr(0, dot), dot == std::string::npos ? "" : old_name.substr(dot + 1),
               text.substr(equals + 1)};
    return !rename->table.empty() && !rename->new_name.empty() && (dot == std::string::npos || !rename->field.empty());
}

size_t diff_field_position(std::span<const schema_field_t> fields, const schema_field_t* field) {
    return static_cast<size_t>(field - fields.data());
}

int diff_compare(const schema_t& old_model, const schema_t& new_model, const std::vector<diff_rename_t>& renames,
                 schema_diff_t* diff, const diagnostic_sink_t& sink) {
    *diff = schema_diff_t{};
    rename_map_t map;
    if (!renames_check(old_model, new_model, renames, &map, sink)) return -1;

    std::unordered_map<std::string_view, const schema_table_t*> old_by_new_name;
    old_by_new_name.reserve(old_model.tables.size());
    diff->tables.reserve(new_model.tables.size() + old_model.tables.size());
    for (const schema_table_t& table : old_model.tables) {
        old_by_new_name.emplace(new_table_name(map, table.name), &table);
    }
    std::unordered_map<const schema_table_t*, bool> kept;
    for (const schema_table_t& table : new_model.tables) {
        diff_table_t pair;
        pair.new_table = &table;
        const auto found = old_by_new_name.find(table.name);
        if (found != old_by_new_name.end()) {
            pair.old_table = found->second;
            pair.renamed = found->second->name != table.name;
            kept.emplace(found->second, true);
            fields_compare(map, &pair);
            rows_compare(&pair);
        }
        diff->tables.push_back(std::move(pair));
    }
    for (const schema_table_t& table : old_model.tables) {
        if (kept.count(&table) == 0) diff->tables.push_back({&table, nullptr, {}, {}, false, false, false, false});
    }

    objects_compare(old_model.views, new_model.views, &diff->views,
                    [](const schema_view_t& a, const schema_view_t& b) { return a.sql == b.sql; });
    objects_compare(old_model.sequences, new_model.sequences, &diff->sequences,
                    [](const schema_sequence_t& a, const schema_sequence_t& b) { return a.start == b.start; });
    objects_compare(old_model.plsql, new_model.plsql, &diff->plsql,
                    [](const schema_plsql_t& a, const schema_plsql_t& b) {
                        return !diff_signature_changed(a, b) && variables_equal(a.locals, b.locals) && a.body == b.body;
                    });
    return 0;
}

bool diff_signature_changed(const schema_plsql_t& old_function, const schema_plsql_t& new_function) {
    return old_function.returns.sql != new_function.returns.sql ||
           old_function.returns_set != new_function.returns_set ||
           !variables_equal(old_function.args, new_function.args);
}

bool diff_touches(const schema_diff_t& diff, const std::string& file, unsigned line) {
    const auto at = [&](const schema_location_t& location) { return location.file == file && location.line == line; };
    for (const diff_table_t& pair : diff.tables) {
        if (pair.new_table == nullptr || !at(pair.new_table->location)) continue;
        if (pair.old_table == nullptr || pair.renamed || pair.columns_changed || !pair.rows.empty()) return true;
    }
    const auto touched = [&](const auto& pairs) {
        return std::any_of(pairs.begin(), pairs.end(), [&](const auto& pair) {
            return pair.new_object != nullptr && (pair.old_object == nullptr || pair.changed) &&
                   at(pair.new_object->location);
        });
    };
    return touched(diff.views) || touched(diff.sequences) || touched(diff.plsql);
}

bool diff_field_nullable(const schema_table_t& table, const schema_field_t& field) {
    return field.nullable && &field != &schema_primary(table);
}

size_t diff_report_destructive(const schema_diff_t& diff, diff_holds_t holds, const diagnostic_sink_t& sink) {
    size_t count = 0;
    for (const diff_table_t& pair : diff.tables) report_table(pair, sink, &count);
    for (const auto& pair : diff.sequences) {
        if (pair.new_object != nullptr || !holds.sequences) continue;
        const schema_location_t& location = pair.old_object->location;
        sink(error_at("Dropping sequence " + quoted(pair.old_object->name), location.file, location.line));
        ++count;
    }
    for (const auto& pair : diff.plsql) {
        if (!holds.plsql) break;
        if (pair.new_object == nullptr) {
            const schema_location_t& location = pair.old_object->location;
            sink(error_at("Dropping PL/SQL function " + quoted(pair.old_object->name), location.file, location.line));
            ++count;
        } else if (pair.old_object != nullptr && diff_signature_changed(*pair.old_object, *pair.new_object)) {
            const schema_location_t& location = pair.new_object->location;
            sink(error_at("Changing the arguments or result of PL/SQL function " + quoted(pair.new_object->name) +
                              " drops and recreates it",
                          location.file, location.line));
            ++count;
        }
    }
    return count;
}
