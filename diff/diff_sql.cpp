// Writing the migration. The plan comes first (which tables are rebuilt,
// which foreign keys, indexes and primary keys go out and come back, whether
// the views are recreated), then the steps in their fixed order, each a
// function that appends its statements.
#include "diff_sql.hpp"

#include <algorithm>
#include <set>
#include <span>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace {

// A foreign key as the catalog sees it, in NEW's names.
// The texts are views into the models and their generated names.
struct foreign_key_t {
    std::string_view field;
    std::string_view target;
    std::string_view name;
    std::string_view declared_target;  // as the model that holds the key names it
    size_t field_position = 0;
    size_t link = 0;
    bool operator==(const foreign_key_t& other) const {
        return field == other.field && target == other.target && name == other.name;
    }
};

struct index_t {
    std::string_view field;
    std::string_view name;
    std::string_view sql;
    size_t field_position = 0;
    bool operator==(const index_t& other) const {
        return field == other.field && name == other.name && sql == other.sql;
    }
};

// What happens to one table of NEW or OLD.
struct table_plan_t {
    const diff_table_t* pair = nullptr;
    size_t old_at = 0;  // positions in the models, where the table is there
    size_t new_at = 0;
    bool changed = false;      // anything at all differs (kept tables)
    bool rebuilt = false;      // copied into a new table
    bool keys_out = false;     // its foreign keys are dropped and added back
    bool primary_out = false;  // its primary key is dropped and added back
    // Parts of the migration's lists of keys and indexes.
    std::span<foreign_key_t> old_keys;  // OLD's, in NEW's names
    std::span<foreign_key_t> new_keys;
    std::span<index_t> old_indexes;  // OLD's, in NEW's field names
    std::span<index_t> new_indexes;
    std::string stage;  // the table the initial rows go to while it is rebuilt
};

struct migration_t {
    const schema_t* old_model = nullptr;
    const schema_t* new_model = nullptr;
    const schema_diff_t* diff = nullptr;
    sql_dialect_t dialect = SQL_DIALECT_POSTGRESQL;
    sql_names_t old_names;
    sql_names_t new_names;
    sql_writer_t old_writer;
    sql_writer_t new_writer;
    std::vector<table_plan_t> tables;  // in the order of diff->tables
    // The plans' keys and indexes, one list of each for all tables (a
    // large schema has tens of thousands), reserved once: they never move.
    std::vector<foreign_key_t> keys;
    std::vector<index_t> indexes;
    std::unordered_map<std::string_view, std::string_view> new_table_names;  // OLD's name -> NEW's, kept tables
    bool views_recreated = false;
    std::string out;
};

bool is(const migration_t& m, sql_dialect_t dialect) { return m.dialect == dialect; }

std::string name(const migration_t& m, std::string_view text) { return sql_quote_name(m.dialect, text); }

std::string_view field_name_in_new(const diff_table_t& pair, const schema_field_t* old_field) {
    for (const diff_field_t& field : pair.fields) {
        if (field.old_field == old_field) {
            return field.new_field != nullptr ? std::string_view(field.new_field->name) : std::string_view();
        }
    }
    return "";
}

// The foreign keys the export writes for a table: outgoing links, and on
// MariaDB none that involves a TEXT or BLOB column.
std::span<foreign_key_t> foreign_keys_of(migration_t* mp, const schema_t& model, const sql_names_t& names,
                                         size_t table_at) {
    const migration_t& m = *mp;
    std::vector<foreign_key_t>& keys = mp->keys;
    const size_t first = keys.size();
    const schema_table_t& table = model.tables[table_at];
    for (size_t i = 0; i < table.fields.size(); ++i) {
        const schema_field_t& field = table.fields[i];
        for (size_t link = 0; link < field.links.size(); ++link) {
            if (field.links[link].direction != DIRECTION_OUTGOING) continue;
            const schema_table_t* target = schema_find_table(model, field.links[link].table);
            if (is(m, SQL_DIALECT_MARIADB) &&
                (sql_mariadb_is_long_type(field.sql) ||
                 (target != nullptr && sql_mariadb_is_long_type(schema_primary(*target).sql)))) {
                continue;
            }
            const std::string_view target_name = field.links[link].table;
            keys.push_back(
                {field.name, target_name, sql_names_foreign_key(names, table_at, i, link), target_name, i, link});
        }
    }
    return {keys.data() + first, keys.size() - first};
}

std::span<index_t> indexes_of(migration_t* m, const schema_t& model, const sql_names_t& names, size_t table_at) {
    std::vector<index_t>& indexes = m->indexes;
    const size_t first = indexes.size();
    const schema_table_t& table = model.tables[table_at];
    for (size_t i = 0; i < table.fields.size(); ++i) {
        const schema_field_t& field = table.fields[i];
        if (field.index == OPTIMIZE_INDEX)
            indexes.push_back({field.name, sql_names_index(names, table_at, i), field.sql, i});
    }
    return {indexes.data() + first, indexes.size() - first};
}

// How many keys and indexes the plans of both models can hold at most.
void reserve_keys_and_indexes(migration_t* m) {
    size_t keys = 0;
    size_t indexes = 0;
    for (const schema_t* model : {m->old_model, m->new_model}) {
        for (const schema_table_t& table : model->tables) {
            for (const schema_field_t& field : table.fields) {
                indexes += field.index == OPTIMIZE_INDEX;
                keys += field.links.size();
            }
        }
    }
    m->keys.reserve(keys);
    m->indexes.reserve(indexes);
}

bool keys_differ(const migration_t& m, std::span<const foreign_key_t> a, std::span<const foreign_key_t> b) {
    // SQLite's catalog has no names for foreign keys.
    const auto same = [&](const foreign_key_t& x, const foreign_key_t& y) {
        return x.field == y.field && x.target == y.target && (is(m, SQL_DIALECT_SQLITE) || x.name == y.name);
    };
    return !std::equal(a.begin(), a.end(), b.begin(), b.end(), same);
}

void plan_tables(migration_t* m) {
    const schema_diff_t& diff = *m->diff;
    m->new_table_names.reserve(diff.tables.size());
    for (const diff_table_t& pair : diff.tables) {
        if (pair.old_table != nullptr && pair.new_table != nullptr) {
            m->new_table_names.emplace(pair.old_table->name, pair.new_table->name);
        }
    }
    reserve_keys_and_indexes(m);
    m->tables.reserve(diff.tables.size());
    for (const diff_table_t& pair : diff.tables) {
        table_plan_t plan;
        plan.pair = &pair;
        if (pair.old_table != nullptr) {
            plan.old_at = static_cast<size_t>(pair.old_table - m->old_model->tables.data());
            plan.old_keys = foreign_keys_of(m, *m->old_model, m->old_names, plan.old_at);
            plan.old_indexes = indexes_of(m, *m->old_model, m->old_names, plan.old_at);
        }
        if (pair.new_table != nullptr) {
            plan.new_at = static_cast<size_t>(pair.new_table - m->new_model->tables.data());
            plan.new_keys = foreign_keys_of(m, *m->new_model, m->new_names, plan.new_at);
            plan.new_indexes = indexes_of(m, *m->new_model, m->new_names, plan.new_at);
        }
        if (pair.old_table != nullptr && pair.new_table != nullptr) {
            for (foreign_key_t& key : plan.old_keys) {
                key.field = field_name_in_new(pair, &pair.old_table->fields[key.field_position]);
                const auto target = m->new_table_names.find(key.target);
                key.target = target == m->new_table_names.end() ? std::string_view() : target->second;
            }
            for (index_t& index : plan.old_indexes) {
                index.field = field_name_in_new(pair, &pair.old_table->fields[index.field_position]);
            }
            const bool keys_changed = keys_differ(*m, plan.old_keys, plan.new_keys);
            const bool primary_renamed =
                sql_names_primary_key(m->old_names, plan.old_at) != sql_names_primary_key(m->new_names, plan.new_at);
            plan.changed = pair.renamed || pair.columns_changed || !pair.rows.empty() || keys_changed ||
                           primary_renamed ||
                           !std::equal(plan.old_indexes.begin(), plan.old_indexes.end(), plan.new_indexes.begin(),
                                       plan.new_indexes.end());
            for (const diff_field_t& field : pair.fields) {
                if (field.old_field != nullptr && field.new_field != nullptr &&
                    field.old_field->name != field.new_field->name) {
                    plan.changed = true;
                }
            }
            switch (m->dialect) {
            case SQL_DIALECT_SQLITE: plan.rebuilt = pair.columns_changed || keys_changed; break;
            case SQL_DIALECT_POSTGRESQL:
                plan.rebuilt = pair.order_changed;
                plan.primary_out = !plan.rebuilt && (pair.primary_changed || primary_renamed);
                break;
            case SQL_DIALECT_MARIADB: plan.primary_out = pair.primary_changed; break;
            }
        }
        m->tables.push_back(std::move(plan));
    }
    // A table's foreign keys go out while it or a table they lead to
    // changes, and come back once both are done.
    std::unordered_set<std::string_view> old_changed;  // names of changed or dropped tables
    std::unordered_set<std::string_view> new_changed;
    for (const table_plan_t& plan : m->tables) {
        const diff_table_t& pair = *plan.pair;
        if (pair.new_table == nullptr || plan.changed) {
            if (pair.old_table != nullptr) old_changed.insert(pair.old_table->name);
            if (pair.new_table != nullptr) new_changed.insert(pair.new_table->name);
        }
    }
    for (table_plan_t& plan : m->tables) {
        const diff_table_t& pair = *plan.pair;
        if (pair.old_table == nullptr || pair.new_table == nullptr) continue;
        plan.keys_out = plan.changed || plan.rebuilt;
        for (const foreign_key_t& key : plan.old_keys) {
            if (old_changed.count(key.declared_target) != 0) plan.keys_out = true;
        }
        for (const foreign_key_t& key : plan.new_keys) {
            if (new_changed.count(key.target) != 0) plan.keys_out = true;
        }
    }
}

bool plan_views(const migration_t& m) {
    for (const auto& pair : m.diff->views) {
        if (pair.old_object == nullptr || pair.new_object == nullptr || pair.changed) return true;
    }
    for (const table_plan_t& plan : m.tables) {
        const diff_table_t& pair = *plan.pair;
        if (pair.old_table == nullptr) continue;
        if (pair.new_table == nullptr || pair.renamed || pair.columns_changed || plan.rebuilt) return true;
        for (const diff_field_t& field : pair.fields) {
            if (field.new_field != nullptr && field.old_field != nullptr &&
                field.old_field->name != field.new_field->name) {
                return true;
            }
        }
    }
    if (!is(m, SQL_DIALECT_POSTGRESQL)) return false;
    for (const auto& pair : m.diff->plsql) {
        if (pair.old_object != nullptr &&
            (pair.new_object == nullptr || diff_signature_changed(*pair.old_object, *pair.new_object))) {
            return true;
        }
    }
    return false;
}

// --- Statements ---------------------------------------------------------------------

void section(migration_t* m, const char* title) { m->out += std::string("\n-- ") + title + "\n"; }

std::string value_text(const migration_t& m, const schema_cell_t& cell) {
    return cell ? sql_value_literal(m.dialect, *cell) : "NULL";
}

std::string alter(const migration_t& m, std::string_view table) { return "ALTER TABLE " + name(m, table) + " "; }

// The column's definition for MariaDB's ADD and MODIFY: type and nullability.
std::string mariadb_column(const migration_t& m, const schema_field_t& field, bool not_null) {
    return name(m, field.name) + " " + std::string(field.sql) + (not_null ? " NOT NULL" : " NULL");
}

void drop_views(migration_t* m) {
    if (!m->views_recreated || m->old_model->views.empty()) return;
    section(m, "Views, recreated at the end");
    for (auto view = m->old_model->views.rbegin(); view != m->old_model->views.rend(); ++view) {
        m->out += "DROP VIEW " + name(*m, view->name) + ";\n";
    }
}

std::string function_signature(const migration_t& m, const schema_plsql_t& function) {
    std::string text = name(m, function.name) + "(";
    for (size_t i = 0; i < function.args.size(); ++i) text += (i > 0 ? ", " : "") + std::string(function.args[i].sql);
    return text + ")";
}

void drop_functions(migration_t* m) {
    if (!is(*m, SQL_DIALECT_POSTGRESQL)) return;
    bool titled = false;
    for (const auto& pair : m->diff->plsql) {
        if (pair.old_object == nullptr) continue;
        if (pair.new_object != nullptr && !diff_signature_changed(*pair.old_object, *pair.new_object)) continue;
        if (!titled) section(m, "Functions dropped");
        titled = true;
        m->out += "DROP FUNCTION " + function_signature(*m, *pair.old_object) + ";\n";
    }
}

void drop_foreign_keys(migration_t* m) {
    if (is(*m, SQL_DIALECT_SQLITE)) return;
    bool titled = false;
    for (const table_plan_t& plan : m->tables) {
        const diff_table_t& pair = *plan.pair;
        const bool dropped = pair.new_table == nullptr && is(*m, SQL_DIALECT_POSTGRESQL);
        if (pair.old_table == nullptr || (!plan.keys_out && !dropped)) continue;
        for (const foreign_key_t& key : plan.old_keys) {
            if (!titled) section(m, "Foreign keys dropped, added back at the end");
            titled = true;
            if (is(*m, SQL_DIALECT_POSTGRESQL)) {
                m->out += alter(*m, pair.old_table->name) + "DROP CONSTRAINT " + name(*m, key.name) + ";\n";
            } else {
                // MariaDB made an index of the key's name where none served it.
                const std::string quoted = name(*m, key.name);
                m->out += alter(*m, pair.old_table->name) + "DROP FOREIGN KEY " + quoted + ";\n";
                m->out += alter(*m, pair.old_table->name) + "DROP INDEX IF EXISTS " + quoted + ";\n";
            }
        }
    }
}

bool index_kept(const table_plan_t& plan, const index_t& index) {
    if (plan.rebuilt || plan.pair->new_table == nullptr) return false;
    return std::find(plan.new_indexes.begin(), plan.new_indexes.end(), index) != plan.new_indexes.end();
}

void drop_indexes(migration_t* m) {
    bool titled = false;
    for (const table_plan_t& plan : m->tables) {
        const diff_table_t& pair = *plan.pair;
        if (pair.old_table == nullptr || pair.new_table == nullptr) continue;
        for (const index_t& index : plan.old_indexes) {
            if (index_kept(plan, index)) continue;
            if (!titled) section(m, "Indexes dropped");
            titled = true;
            if (is(*m, SQL_DIALECT_MARIADB)) {
                m->out += alter(*m, pair.old_table->name) + "DROP INDEX " + name(*m, index.name) + ";\n";
            } else {
                m->out += "DROP INDEX " + name(*m, index.name) + ";\n";
            }
        }
    }
}

void drop_primary_keys(migration_t* m) {
    bool titled = false;
    for (const table_plan_t& plan : m->tables) {
        if (!plan.primary_out) continue;
        if (!titled) section(m, "Primary keys dropped, added back with the columns");
        titled = true;
        const std::string_view table = plan.pair->old_table->name;
        if (is(*m, SQL_DIALECT_POSTGRESQL)) {
            m->out += alter(*m, table) + "DROP CONSTRAINT " +
                      name(*m, sql_names_primary_key(m->old_names, plan.old_at)) + ";\n";
        } else {
            m->out += alter(*m, table) + "DROP PRIMARY KEY;\n";
        }
    }
}

void drop_tables(migration_t* m) {
    bool titled = false;
    for (const table_plan_t& plan : m->tables) {
        if (plan.pair->new_table != nullptr) continue;
        if (!titled) section(m, "Tables dropped");
        titled = true;
        m->out += "DROP TABLE " + name(*m, plan.pair->old_table->name) + ";\n";
    }
}

void drop_sequences(migration_t* m) {
    if (is(*m, SQL_DIALECT_SQLITE)) return;
    for (const auto& pair : m->diff->sequences) {
        if (pair.new_object == nullptr) m->out += "DROP SEQUENCE " + name(*m, pair.old_object->name) + ";\n";
    }
}

// Renames go through a name of their own where the new name is still taken
// by another OLD table or field, so that swaps work.
void rename_tables(migration_t* m) {
    std::vector<std::pair<std::string, std::string>> renames;
    for (const table_plan_t& plan : m->tables) {
        if (plan.pair->renamed) renames.emplace_back(plan.pair->old_table->name, plan.pair->new_table->name);
    }
    if (renames.empty()) return;
    std::set<std::string_view, std::less<>> old_names;  // views of OLD's names
    for (const table_plan_t& plan : m->tables) {
        const diff_table_t& pair = *plan.pair;
        if (pair.old_table != nullptr && pair.new_table != nullptr) old_names.insert(pair.old_table->name);
    }
    section(m, "Tables renamed");
    const auto statement = [&](const std::string& from, const std::string& to) {
        m->out += is(*m, SQL_DIALECT_MARIADB) ? "RENAME TABLE " + name(*m, from) + " TO " + name(*m, to) + ";\n"
                                              : alter(*m, from) + "RENAME TO " + name(*m, to) + ";\n";
    };
    const bool swaps = std::any_of(renames.begin(), renames.end(),
                                   [&](const auto& rename) { return old_names.count(rename.second) != 0; });
    for (size_t i = 0; i < renames.size(); ++i) {
        if (swaps) {
            statement(renames[i].first, "tabula_rename_" + std::to_string(i));
        } else {
            statement(renames[i].first, renames[i].second);
        }
    }
    if (!swaps) return;
    for (size_t i = 0; i < renames.size(); ++i) statement("tabula_rename_" + std::to_string(i), renames[i].second);
}

void rename_fields(migration_t* m) {
    bool titled = false;
    for (const table_plan_t& plan : m->tables) {
        const diff_table_t& pair = *plan.pair;
        if (pair.old_table == nullptr || pair.new_table == nullptr) continue;
        std::vector<std::pair<std::string, std::string>> renames;
        for (const diff_field_t& field : pair.fields) {
            if (field.old_field != nullptr && field.new_field != nullptr &&
                field.old_field->name != field.new_field->name) {
                renames.emplace_back(field.old_field->name, field.new_field->name);
            }
        }
        if (renames.empty()) continue;
        std::set<std::string_view, std::less<>> old_names;  // views of OLD's names
        for (const diff_field_t& field : pair.fields) {
            if (field.old_field != nullptr) old_names.insert(field.old_field->name);
        }
        if (!titled) section(m, "Fields renamed");
        titled = true;
        const std::string table = alter(*m, pair.new_table->name);
        const bool swaps = std::any_of(renames.begin(), renames.end(),
                                       [&](const auto& rename) { return old_names.count(rename.second) != 0; });
        for (size_t i = 0; i < renames.size(); ++i) {
            const std::string to = swaps ? "tabula_rename_" + std::to_string(i) : renames[i].second;
            m->out += table + "RENAME COLUMN " + name(*m, renames[i].first) + " TO " + name(*m, to) + ";\n";
        }
        for (size_t i = 0; swaps && i < renames.size(); ++i) {
            m->out += table + "RENAME COLUMN " + name(*m, "tabula_rename_" + std::to_string(i)) + " TO " +
                      name(*m, renames[i].second) + ";\n";
        }
    }
}

// PostgreSQL and SQLite keep a rebuilt table's rows in a temporary table
// while the initial rows change, so that NEW's constraints are met only
// once, by the finished rows.
void stage_table(migration_t* m, table_plan_t* plan) {
    const diff_table_t& pair = *plan->pair;
    plan->stage = "tabula_stage_" + std::to_string(plan->new_at);
    const std::string stage = name(*m, plan->stage);
    m->out += "CREATE TEMPORARY TABLE " + stage + " AS SELECT * FROM " + name(*m, pair.new_table->name) + ";\n";
    for (const diff_field_t& field : pair.fields) {
        if (field.new_field == nullptr) continue;
        const std::string column = name(*m, field.new_field->name);
        if (field.old_field == nullptr) {
            m->out += alter(*m, plan->stage) + "ADD COLUMN " + column + " " + std::string(field.new_field->sql) + ";\n";
        } else if (field.type_changed && is(*m, SQL_DIALECT_POSTGRESQL)) {
            m->out += alter(*m, plan->stage) + "ALTER COLUMN " + column + " TYPE " + std::string(field.new_field->sql) +
                      " USING CAST(" + column + " AS " + std::string(field.new_field->sql) + ");\n";
        }
    }
}

// Relaxing: columns dropped, added (nullable), retyped and made nullable,
// and on MariaDB put in NEW's order; NOT NULL that NEW adds waits for the
// rows.
void alter_columns_in_place(migration_t* m, const table_plan_t& plan) {
    const diff_table_t& pair = *plan.pair;
    const std::string table = alter(*m, pair.new_table->name);
    for (const diff_field_t& field : pair.fields) {
        if (field.new_field == nullptr) m->out += table + "DROP COLUMN " + name(*m, field.old_field->name) + ";\n";
    }
    std::string previous;  // MariaDB: the column the next one follows
    for (const diff_field_t& field : pair.fields) {
        if (field.new_field == nullptr) continue;
        const schema_field_t& declared = *field.new_field;
        const std::string column = name(*m, declared.name);
        const std::string position = previous.empty() ? " FIRST" : " AFTER " + name(*m, previous);
        previous = declared.name;
        if (is(*m, SQL_DIALECT_MARIADB)) {
            const bool not_null =
                field.old_field != nullptr && !diff_field_nullable(*pair.new_table, declared) && !field.made_not_null;
            if (field.old_field == nullptr) {
                m->out += table + "ADD COLUMN " + mariadb_column(*m, declared, false) + position + ";\n";
            } else if (pair.order_changed || field.type_changed || field.made_nullable) {
                m->out += table + "MODIFY COLUMN " + mariadb_column(*m, declared, not_null) +
                          (pair.order_changed ? position : "") + ";\n";
            }
            continue;
        }
        if (field.old_field == nullptr) {
            m->out += table + "ADD COLUMN " + column + " " + std::string(declared.sql) + ";\n";
            continue;
        }
        if (field.type_changed) {
            m->out += table + "ALTER COLUMN " + column + " TYPE " + std::string(declared.sql) + " USING CAST(" +
                      column + " AS " + std::string(declared.sql) + ");\n";
        }
        if (field.made_nullable) m->out += table + "ALTER COLUMN " + column + " DROP NOT NULL;\n";
    }
}

// Runs `write` on an empty text and appends what it wrote under `title`,
// or nothing when it wrote nothing.
template <typename Write>
void titled(migration_t* m, const char* title, Write write) {
    std::string before;
    std::swap(before, m->out);
    write();
    std::string written;
    std::swap(written, m->out);
    std::swap(before, m->out);
    if (written.empty()) return;
    section(m, title);
    m->out += written;
}

void alter_columns(migration_t* m) {
    titled(m, "Columns changed", [m] {
        for (table_plan_t& plan : m->tables) {
            const diff_table_t& pair = *plan.pair;
            if (pair.old_table == nullptr || pair.new_table == nullptr) continue;
            if (plan.rebuilt) {
                stage_table(m, &plan);
            } else if (pair.columns_changed) {
                alter_columns_in_place(m, plan);
            }
        }
    });
}

void create_tables(migration_t* m) {
    bool titled = false;
    for (const table_plan_t& plan : m->tables) {
        if (plan.pair->old_table != nullptr) continue;
        if (!titled) section(m, "Tables created");
        titled = true;
        sql_table_options_t options;
        options.foreign_keys = is(*m, SQL_DIALECT_SQLITE);
        options.indexes = is(*m, SQL_DIALECT_MARIADB);
        sql_write_create_table(m->new_writer, plan.new_at, options, &m->out);
    }
}

std::string column_list(const migration_t& m, const schema_table_t& table) {
    std::string list;
    for (size_t i = 0; i < table.fields.size(); ++i) list += (i > 0 ? ", " : "") + name(m, table.fields[i].name);
    return list;
}

void write_rows(migration_t* m, const table_plan_t& plan) {
    const diff_table_t& pair = *plan.pair;
    const schema_table_t& table = *pair.new_table;
    const std::string target = name(*m, plan.stage.empty() ? table.name : plan.stage);
    const std::string key = name(*m, schema_primary(table).name);
    std::vector<const diff_row_t*> deleted;
    std::vector<const diff_row_t*> inserted;
    for (const diff_row_t& row : pair.rows) {
        if (row.new_row == nullptr) deleted.push_back(&row);
        if (row.old_row == nullptr) inserted.push_back(&row);
    }
    const schema_field_t* old_key = pair.fields[table.primary].old_field;
    for (size_t first = 0; first < deleted.size(); first += SQL_ROWS_PER_INSERT) {
        m->out += "DELETE FROM " + target + " WHERE " + key + " IN (";
        const size_t last = std::min(deleted.size(), first + SQL_ROWS_PER_INSERT);
        for (size_t i = first; i < last; ++i) {
            const size_t at =
                old_key != nullptr ? diff_field_position(pair.old_table->fields, old_key) : pair.old_table->primary;
            m->out += (i > first ? ", " : "") + value_text(*m, (*deleted[i]->old_row)[at]);
        }
        m->out += ");\n";
    }
    for (const diff_row_t& row : pair.rows) {
        if (row.old_row == nullptr || row.new_row == nullptr) continue;
        m->out += "UPDATE " + target + " SET ";
        for (size_t i = 0; i < row.changed.size(); ++i) {
            const size_t at = row.changed[i];
            m->out +=
                (i > 0 ? ", " : "") + name(*m, table.fields[at].name) + " = " + value_text(*m, (*row.new_row)[at]);
        }
        m->out += " WHERE " + key + " = " + value_text(*m, (*row.new_row)[table.primary]) + ";\n";
    }
    for (size_t i = 0; i < inserted.size(); ++i) {
        if (i % SQL_ROWS_PER_INSERT == 0) {
            m->out += "INSERT INTO " + target + " (" + column_list(*m, table) + ") VALUES\n";
        } else {
            m->out += ",\n";
        }
        m->out += "(";
        const schema_row_t& cells = *inserted[i]->new_row;
        for (size_t cell = 0; cell < cells.size(); ++cell)
            m->out += (cell > 0 ? ", " : "") + value_text(*m, cells[cell]);
        m->out += ")";
        if (i + 1 == inserted.size() || (i + 1) % SQL_ROWS_PER_INSERT == 0) m->out += ";\n";
    }
}

void change_rows(migration_t* m) {
    bool titled = false;
    for (const table_plan_t& plan : m->tables) {
        const diff_table_t& pair = *plan.pair;
        if (pair.new_table == nullptr) continue;
        const bool created = pair.old_table == nullptr;
        if (created ? pair.new_table->rows.empty() : pair.rows.empty()) continue;
        if (!titled) section(m, "Initial rows");
        titled = true;
        if (created) {
            sql_write_insert_rows(m->new_writer, plan.new_at, 0, pair.new_table->rows.size(), &m->out);
        } else {
            write_rows(m, plan);
        }
    }
}

// The rebuilt table made anew from its staged rows: on SQLite by the
// documented steps (a new table, the rows copied, the old one dropped, the
// new one renamed), on PostgreSQL in place of the old one, whose names it
// takes.
void finish_rebuild(migration_t* m, const table_plan_t& plan) {
    const schema_table_t& table = *plan.pair->new_table;
    const std::string columns = column_list(*m, table);
    std::string select = "SELECT ";
    for (size_t i = 0; i < table.fields.size(); ++i) {
        select += (i > 0 ? ", " : "") + name(*m, table.fields[i].name);
    }
    select += " FROM " + name(*m, plan.stage);
    sql_table_options_t options;
    options.foreign_keys = is(*m, SQL_DIALECT_SQLITE);
    if (is(*m, SQL_DIALECT_POSTGRESQL)) {
        m->out += "DROP TABLE " + name(*m, table.name) + ";\n";
        sql_write_create_table(m->new_writer, plan.new_at, options, &m->out);
        m->out += "INSERT INTO " + name(*m, table.name) + " (" + columns + ") " + select + ";\n";
    } else {
        std::string create;
        sql_write_create_table(m->new_writer, plan.new_at, options, &create);
        const std::string head = "CREATE TABLE " + name(*m, table.name);
        const std::string building = "tabula_new_" + std::to_string(plan.new_at);
        create.replace(0, head.size(), "CREATE TABLE " + name(*m, building));
        m->out += create;
        m->out += "INSERT INTO " + name(*m, building) + " (" + columns + ") " + select + ";\n";
        m->out += "DROP TABLE " + name(*m, table.name) + ";\n";
        m->out += alter(*m, building) + "RENAME TO " + name(*m, table.name) + ";\n";
    }
    m->out += "DROP TABLE " + name(*m, plan.stage) + ";\n";
}

// Tightening: NOT NULL that NEW adds, the rebuilt tables finished, primary
// keys added back.
void tighten_tables(migration_t* m) {
    for (const table_plan_t& plan : m->tables) {
        const diff_table_t& pair = *plan.pair;
        if (pair.old_table == nullptr || pair.new_table == nullptr) continue;
        if (plan.rebuilt) {
            finish_rebuild(m, plan);
            continue;
        }
        const std::string table = alter(*m, pair.new_table->name);
        for (const diff_field_t& field : pair.fields) {
            if (field.new_field == nullptr) continue;
            const bool added_not_null =
                field.old_field == nullptr && !diff_field_nullable(*pair.new_table, *field.new_field);
            if (!added_not_null && !field.made_not_null) continue;
            if (is(*m, SQL_DIALECT_MARIADB)) {
                m->out += table + "MODIFY COLUMN " + mariadb_column(*m, *field.new_field, true) + ";\n";
            } else {
                m->out += table + "ALTER COLUMN " + name(*m, field.new_field->name) + " SET NOT NULL;\n";
            }
        }
        if (!plan.primary_out) continue;
        const schema_field_t& primary = schema_primary(*pair.new_table);
        std::string column = name(*m, primary.name);
        if (is(*m, SQL_DIALECT_MARIADB)) {
            if (sql_mariadb_is_long_type(primary.sql)) column += "(" + std::to_string(SQL_MARIADB_PREFIX) + ")";
            m->out += table + "ADD PRIMARY KEY (" + column + ");\n";
        } else {
            m->out += table + "ADD CONSTRAINT " + name(*m, sql_names_primary_key(m->new_names, plan.new_at)) +
                      " PRIMARY KEY (" + column + ");\n";
        }
    }
}

void tighten_columns(migration_t* m) {
    titled(m, "Columns completed", [m] { tighten_tables(m); });
}

void create_indexes(migration_t* m) {
    bool titled = false;
    for (const table_plan_t& plan : m->tables) {
        const diff_table_t& pair = *plan.pair;
        if (pair.new_table == nullptr) continue;
        // MariaDB's new tables declare their indexes.
        if (pair.old_table == nullptr && is(*m, SQL_DIALECT_MARIADB)) continue;
        for (const index_t& index : plan.new_indexes) {
            if (pair.old_table != nullptr && !plan.rebuilt &&
                std::find(plan.old_indexes.begin(), plan.old_indexes.end(), index) != plan.old_indexes.end()) {
                continue;
            }
            if (!titled) section(m, "Indexes created");
            titled = true;
            sql_write_create_index(m->new_writer, plan.new_at, index.field_position, &m->out);
        }
    }
}

// Both servers refuse a minimum above the value a sequence has reached: a
// sequence still below the new minimum is moved up to it first.
void lift_to_minimum(migration_t* m, std::string_view sequence, int32_t minimum) {
    const std::string quoted = name(*m, sequence);
    const std::string value = std::to_string(minimum);
    if (is(*m, SQL_DIALECT_POSTGRESQL)) {
        m->out += "SELECT setval(" + sql_quote_text(quoted) + ", " + value + ", false) FROM " + quoted +
                  " WHERE last_value < " + value + ";\n";
    } else {
        m->out += "SELECT SETVAL(" + quoted + ", " + value + ", 0);\n";
    }
}

void change_sequences(migration_t* m) {
    if (is(*m, SQL_DIALECT_SQLITE)) return;
    bool titled = false;
    for (const auto& pair : m->diff->sequences) {
        if (pair.new_object == nullptr || (pair.old_object != nullptr && !pair.changed)) continue;
        if (!titled) section(m, "Sequences");
        titled = true;
        const schema_sequence_t& sequence = *pair.new_object;
        if (pair.old_object == nullptr) {
            sql_write_create_sequence(m->new_writer, static_cast<size_t>(&sequence - m->new_model->sequences.data()),
                                      &m->out);
        } else {
            // The start changes; the value the sequence has reached stays.
            const int32_t minimum = std::min<int32_t>(sequence.start, 1);
            if (minimum > std::min<int32_t>(pair.old_object->start, 1)) lift_to_minimum(m, sequence.name, minimum);
            m->out += "ALTER SEQUENCE " + name(*m, sequence.name) + " MINVALUE " + std::to_string(minimum) +
                      " START WITH " + std::to_string(sequence.start) + ";\n";
        }
    }
}

void change_functions(migration_t* m) {
    if (!is(*m, SQL_DIALECT_POSTGRESQL)) return;
    bool titled = false;
    for (const auto& pair : m->diff->plsql) {
        if (pair.new_object == nullptr || (pair.old_object != nullptr && !pair.changed)) continue;
        if (!titled) section(m, "Functions");
        titled = true;
        std::string create;
        sql_write_create_function(m->new_writer, static_cast<size_t>(pair.new_object - m->new_model->plsql.data()),
                                  &create);
        const std::string head = "CREATE FUNCTION ";
        if (pair.old_object != nullptr && !diff_signature_changed(*pair.old_object, *pair.new_object) &&
            create.compare(0, head.size(), head) == 0) {
            create.replace(0, head.size(), "CREATE OR REPLACE FUNCTION ");
        }
        m->out += create;
    }
}

void add_foreign_keys(migration_t* m) {
    if (is(*m, SQL_DIALECT_SQLITE)) return;
    std::string text;
    for (const table_plan_t& plan : m->tables) {
        const diff_table_t& pair = *plan.pair;
        if (pair.new_table == nullptr || (pair.old_table != nullptr && !plan.keys_out)) continue;
        for (const foreign_key_t& key : plan.new_keys) {
            sql_write_add_foreign_key(m->new_writer, plan.new_at, key.field_position, key.link, &text);
        }
    }
    if (text.empty() && !is(*m, SQL_DIALECT_MARIADB)) return;
    if (is(*m, SQL_DIALECT_MARIADB)) {
        // Checked from here on: each key added is checked against the rows.
        section(m, "Foreign keys, checked");
        m->out += "SET SESSION foreign_key_checks = 1;\n" + text;
        return;
    }
    section(m, "Foreign keys");
    m->out += text;
}

void create_views(migration_t* m) {
    if (!m->views_recreated || m->new_model->views.empty()) return;
    section(m, "Views");
    for (size_t i = 0; i < m->new_model->views.size(); ++i) sql_write_create_view(m->new_writer, i, &m->out);
}

void check_foreign_keys(migration_t* m) {
    if (!is(*m, SQL_DIALECT_SQLITE)) return;
    section(m, "Every foreign key checked: a violation fails the CHECK and the script");
    m->out +=
        "CREATE TEMPORARY TABLE \"tabula_foreign_key_check\" (\"violations\" INTEGER CHECK (\"violations\" = 0));\n"
        "INSERT INTO \"tabula_foreign_key_check\" SELECT COUNT(*) FROM pragma_foreign_key_check;\n"
        "DROP TABLE \"tabula_foreign_key_check\";\n";
}

std::string preamble(const migration_t& m) {
    switch (m.dialect) {
    case SQL_DIALECT_POSTGRESQL:
        return "BEGIN;\n"
               "SET client_encoding = 'UTF8';\n"
               "SET standard_conforming_strings = on;\n";
    case SQL_DIALECT_MARIADB:
        return "-- MariaDB commits every change of a table at once: on an error, the\n"
               "-- steps before it stay done.\n"
               "SET NAMES utf8mb4;\n"
               "SET SESSION sql_mode = 'ANSI_QUOTES,NO_BACKSLASH_ESCAPES,STRICT_ALL_TABLES,NO_ENGINE_SUBSTITUTION';\n"
               "SET SESSION foreign_key_checks = 0;\n";
    case SQL_DIALECT_SQLITE:
        return "PRAGMA foreign_keys = OFF;\n"
               "BEGIN;\n";
    }
    return "";
}

std::string epilogue(const migration_t& m) {
    switch (m.dialect) {
    case SQL_DIALECT_POSTGRESQL: return "\nCOMMIT;\n";
    case SQL_DIALECT_MARIADB: return "";
    case SQL_DIALECT_SQLITE:
        return "\nCOMMIT;\n"
               "PRAGMA foreign_keys = ON;\n";
    }
    return "";
}

}  // namespace

bool diff_write_sql(const schema_t& old_model, const schema_t& new_model, const schema_diff_t& diff,
                    sql_dialect_t dialect, std::string* script) {
    migration_t m;
    m.old_model = &old_model;
    m.new_model = &new_model;
    m.diff = &diff;
    m.dialect = dialect;
    sql_names_build(old_model, &m.old_names);
    sql_names_build(new_model, &m.new_names);
    m.old_writer = {dialect, &old_model, &m.old_names};
    m.new_writer = {dialect, &new_model, &m.new_names};
    plan_tables(&m);
    m.views_recreated = plan_views(m);

    drop_views(&m);
    drop_functions(&m);
    drop_foreign_keys(&m);
    drop_indexes(&m);
    drop_primary_keys(&m);
    drop_tables(&m);
    drop_sequences(&m);
    rename_tables(&m);
    rename_fields(&m);
    alter_columns(&m);
    create_tables(&m);
    change_rows(&m);
    tighten_columns(&m);
    create_indexes(&m);
    change_sequences(&m);
    change_functions(&m);
    add_foreign_keys(&m);
    create_views(&m);

    script->clear();
    // MariaDB's foreign_key_checks line is no change by itself.
    if (m.out.empty() || m.out == "\n-- Foreign keys, checked\nSET SESSION foreign_key_checks = 1;\n") return false;
    check_foreign_keys(&m);
    *script = preamble(m) + m.out + epilogue(m);
    return true;
}
