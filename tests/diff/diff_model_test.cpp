// The comparison of two models: what the migration tests on the servers do
// not single out (how rows pair up, when columns must be put back in order,
// what counts as destructive where a server holds no such object).
#include <gtest/gtest.h>

#include "diff_model.hpp"

namespace {

// Keeps the texts and arrays of the models built here for the whole program.
schema_t* kept() {
    static schema_t storage;
    return &storage;
}

schema_field_t field(const std::string& name, const std::string& sql, bool nullable = false,
                     optimize_type_t index = OPTIMIZE_NONE) {
    schema_field_t field;
    field.name = schema_keep_text(kept(), name);
    field.type_name = schema_keep_text(kept(), sql);
    field.sql = field.type_name;
    field.nullable = nullable;
    field.index = index;
    return field;
}

schema_table_t table(const std::string& name, const std::vector<schema_field_t>& fields,
                     const std::vector<std::vector<schema_cell_t>>& rows = {}) {
    schema_table_t table;
    table.name = schema_keep_text(kept(), name);
    table.location = {schema_keep_text(kept(), "/s/" + name + ".def"), 3};
    table.fields = schema_keep(kept(), fields);
    for (size_t i = 0; i < table.fields.size(); ++i) {
        if (table.fields[i].index == OPTIMIZE_PRIMARY) table.primary = i;
    }
    std::vector<schema_row_t> kept_rows;
    for (const std::vector<schema_cell_t>& row : rows) kept_rows.push_back(schema_keep(kept(), row));
    table.rows = schema_keep(kept(), kept_rows);
    return table;
}

schema_t model(std::vector<schema_table_t> tables) {
    schema_t model;
    model.tables = std::move(tables);
    schema_model_index(&model);
    return model;
}

std::vector<std::string> collect(const schema_diff_t& diff, diff_holds_t holds = {}) {
    std::vector<std::string> messages;
    diff_report_destructive(diff, holds, [&](const diagnostic_t& d) { messages.push_back(diagnostic_text(d)); });
    return messages;
}

schema_diff_t compare(const schema_t& a, const schema_t& b, const std::vector<diff_rename_t>& renames = {}) {
    schema_diff_t diff;
    std::vector<std::string> errors;
    EXPECT_EQ(diff_compare(a, b, renames, &diff, [&](const diagnostic_t& d) { errors.push_back(d.message); }), 0);
    EXPECT_TRUE(errors.empty()) << errors.front();
    return diff;
}

TEST(DiffModel, RowsPairByTheKeyOfNewsPrimaryFieldThroughItsRename) {
    const schema_t a = model({table("t", {field("code", "TEXT", false, OPTIMIZE_PRIMARY), field("n", "INTEGER", true)},
                                    {{"a", "1"}, {"b", "2"}, {"c", std::nullopt}})});
    const schema_t b = model({table("t", {field("key", "TEXT", false, OPTIMIZE_PRIMARY), field("n", "BIGINT", true)},
                                    {{"c", std::nullopt}, {"a", "1"}, {"d", "4"}})});
    const schema_diff_t diff = compare(a, b, {{"t", "code", "key"}});
    const diff_table_t& pair = diff.tables.at(0);
    ASSERT_EQ(pair.rows.size(), 3u);
    // "a" keeps its text, but its column changes type: a cast need not give
    // the text back, so the value is written again; "c" holds only nulls.
    EXPECT_EQ(pair.rows[0].new_row, &b.tables[0].rows[1]);
    EXPECT_EQ(pair.rows[0].changed, std::vector<size_t>{1});
    EXPECT_EQ(pair.rows[1].old_row, nullptr);  // "d" inserted
    EXPECT_EQ(pair.rows[2].new_row, nullptr);  // "b" deleted
    EXPECT_EQ(pair.rows[2].old_row, &a.tables[0].rows[1]);
    EXPECT_EQ(collect(diff).back(), "Deleting the initial row \"b\" of table \"t\" in /s/t.def:3");
}

TEST(DiffModel, ColumnOrderNeedsRewritingOnlyWhenKeptFieldsMoveOrANewOneComesFirst) {
    const auto id = field("id", "INTEGER", false, OPTIMIZE_PRIMARY);
    const auto x = field("x", "INTEGER");
    const auto y = field("y", "INTEGER");
    const auto z = field("z", "INTEGER", true);
    const schema_t a = model({table("t", {id, x, y})});
    const auto order_changed = [&](std::vector<schema_field_t> fields) {
        const schema_t b = model({table("t", std::move(fields))});
        return compare(a, b).tables.at(0).order_changed;
    };
    EXPECT_FALSE(order_changed({id, x, y, z}));  // appended
    EXPECT_FALSE(order_changed({id, y}));        // dropped
    EXPECT_TRUE(order_changed({id, y, x}));
    EXPECT_TRUE(order_changed({id, z, x, y}));
}

TEST(DiffModel, APrimaryKeyIsNeverNullableWhateverItsMarkSays) {
    const schema_t a = model({table("t", {field("id", "INTEGER", true, OPTIMIZE_PRIMARY), field("v", "TEXT")})});
    const schema_t b = model({table("t", {field("id", "INTEGER", false, OPTIMIZE_PRIMARY), field("v", "TEXT")})});
    const schema_diff_t diff = compare(a, b);
    EXPECT_FALSE(diff.tables.at(0).columns_changed);
    EXPECT_TRUE(collect(diff).empty());
}

TEST(DiffModel, DroppingWhatTheServerDoesNotHoldIsNotDestructive) {
    schema_t a = model({});
    a.sequences.push_back({"s", 1, {"/s/a.def", 1}});
    schema_plsql_t function;
    function.name = "f";
    function.location = {"/s/a.def", 2};
    a.plsql.push_back(function);
    const schema_diff_t diff = compare(a, model({}));
    EXPECT_EQ(collect(diff).size(), 2u);
    diff_holds_t sqlite;
    sqlite.sequences = false;
    sqlite.plsql = false;
    EXPECT_TRUE(collect(diff, sqlite).empty());
}

TEST(DiffModel, RenamesThatWouldMakeTwoObjectsOneAreRefused) {
    const auto id = field("id", "INTEGER", false, OPTIMIZE_PRIMARY);
    const schema_t a = model({table("a", {id}), table("b", {id})});
    const schema_t b = model({table("b", {id})});
    schema_diff_t diff;
    std::string error;
    const auto sink = [&](const diagnostic_t& d) { error = d.message; };
    EXPECT_EQ(diff_compare(a, b, {{"a", "", "b"}}, &diff, sink), -1);
    EXPECT_EQ(error, "Cannot rename table \"a\" to \"b\": the old schema has another table of that name");
    // A swap is two renames, and fine.
    const schema_t swapped = model({table("b", {id}), table("a", {id})});
    EXPECT_EQ(diff_compare(a, swapped, {{"a", "", "b"}, {"b", "", "a"}}, &diff, sink), 0);
    EXPECT_TRUE(diff.tables.at(0).renamed);
    EXPECT_EQ(diff.tables.at(0).old_table, &a.tables[0]);
}

}  // namespace
