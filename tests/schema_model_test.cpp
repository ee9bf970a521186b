#include "schema_model.hpp"

#include <gtest/gtest.h>

#include <string>

#include "test_files.hpp"

namespace {

class SchemaModelTest : public ::testing::Test {
protected:
    // Loads `text` as the input file; "" when it compiles and runs.
    int load(const std::string& text) {
        const std::string input = folder_.write("main.def", text);
        return schema_model_load(&model_, input.c_str());
    }

    TemporaryFolder folder_;
    schema_t model_;
};

TEST_F(SchemaModelTest, TablesKeepDeclaredAndResolvedTypesLinksAndRows) {
    ASSERT_EQ(load("type id_t = \"INTEGER\";\ntype name_t = \"TEXT\";\n"
                   "table groups {\n primary id_t id [incoming: users];\n} = { { \"1\" } };\n"
                   "table users {\n index name_t name;\n primary id_t id;\n"
                   " id_t *group_id [outgoing: groups];\n} = { { \"a\", \"1\", null } };\n"),
              0);
    ASSERT_EQ(model_.tables.size(), 2u);
    const schema_table_t* users = schema_find_table(model_, "users");
    ASSERT_NE(users, nullptr);
    EXPECT_EQ(users->location.file, folder_.path() + "/main.def");
    EXPECT_EQ(users->location.line, 10u);  // where the statement ends
    EXPECT_EQ(users->primary, 1u);
    EXPECT_EQ(schema_primary(*users).name, "id");
    const schema_field_t& group = users->fields[2];
    EXPECT_EQ(group.type_name, "id_t");
    EXPECT_EQ(group.sql, "INTEGER");
    EXPECT_TRUE(group.nullable);
    EXPECT_EQ(users->fields[0].index, OPTIMIZE_INDEX);
    ASSERT_EQ(group.links.size(), 1u);
    EXPECT_EQ(group.links[0].table, "groups");
    EXPECT_EQ(group.links[0].direction, DIRECTION_OUTGOING);
    EXPECT_EQ(model_.tables[0].fields[0].links[0].direction, DIRECTION_INCOMING);
    ASSERT_EQ(users->rows.size(), 1u);
    EXPECT_EQ(users->rows[0][0], std::optional<std::string>("a"));
    EXPECT_FALSE(users->rows[0][2].has_value());
    EXPECT_EQ(schema_find_table(model_, "nobody"), nullptr);
}

TEST_F(SchemaModelTest, QueriesFunctionsAndSimpleObjectsInDeclarationOrder) {
    ASSERT_EQ(load("type id_t = \"INTEGER\";\ntype b_t = \"TEXT\";\ntype a_t = \"BOOLEAN\";\n"
                   "sequence s = 0;\nview v = \"SELECT 1\";\n"
                   "query q = \"SELECT x{FIELD:a_t} FROM t WHERE y = {ESC:1} ORDER BY {RAW:2}\";\n"
                   "plsql [id_t] f (b_t p) (a_t v;) = \"BEGIN RETURN NEXT 1; END;\";\n"),
              0);
    ASSERT_EQ(model_.types.size(), 3u);
    EXPECT_EQ(model_.types[1].name, "b_t");
    EXPECT_EQ(model_.types[1].location.line, 2u);
    EXPECT_EQ(model_.sequences[0].start, 0);
    EXPECT_EQ(model_.views[0].sql, "SELECT 1");
    const schema_query_t& query = model_.queries[0];
    ASSERT_EQ(query.pieces.size(), 4u);
    EXPECT_EQ(query.pieces[0].text, "SELECT x FROM t WHERE y = ");
    EXPECT_EQ(query.pieces[1].kind, QP_ESC);
    EXPECT_EQ(query.pieces[1].number, 1);
    EXPECT_EQ(query.pieces[3].kind, QP_RAW);
    EXPECT_EQ(query.fields[0].type_name, "a_t");
    EXPECT_EQ(query.fields[0].sql, "BOOLEAN");
    const schema_plsql_t& function = model_.plsql[0];
    EXPECT_TRUE(function.returns_set);
    EXPECT_EQ(function.returns.type_name, "id_t");
    EXPECT_EQ(function.args[0].name, "p");
    EXPECT_EQ(function.args[0].sql, "TEXT");
    EXPECT_EQ(function.locals[0].type_name, "a_t");
    EXPECT_EQ(function.body, "BEGIN RETURN NEXT 1; END;");
}

// Fields carry the line of their names, tables the line where their
// declaration starts; a table built by a direct call has neither, and takes
// its statement's line.
TEST_F(SchemaModelTest, FieldsAndTablesCarryTheLinesOfTheirDeclaration) {
    ASSERT_EQ(load("type id_t = \"INTEGER\";\n"
                   "\nvolatile\ntable t {\n primary id_t\n  id;\n id_t other; };\n"
                   "table x { primary id_t *id; } = {\n"
                   " { dump_table(\"d\", 0, array(array(\"k\", \"id_t\", 0, 2, array())), array()) } };\n"),
              0);
    const schema_table_t& table = model_.tables[0];
    EXPECT_EQ(table.first_line, 3u);
    EXPECT_EQ(table.location.line, 7u);
    EXPECT_EQ(table.fields[0].line, 6u);
    EXPECT_EQ(table.fields[1].line, 7u);
    const schema_table_t* direct = schema_find_table(model_, "d");
    ASSERT_NE(direct, nullptr);
    EXPECT_EQ(direct->first_line, 9u);
    EXPECT_EQ(direct->fields[0].line, 9u);
}

TEST_F(SchemaModelTest, AFailedRunLeavesAnEmptyModelAndAnEmptyPool) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(load("table t { primary missing_t id; };\n"), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(model_.tables.empty());
}

// The model's texts live in its own storage: they stay whole in a copy once
// the original is gone, and while more is kept, across the storage's chunks.
TEST_F(SchemaModelTest, TextsOutliveTheRunTheOriginalAndLaterKeeping) {
    ASSERT_EQ(load("type id_t = \"INTEGER\";\ntable t { primary id_t id; } = { { \"7\" } };\n"), 0);
    schema_t copy = model_;
    model_ = schema_t{};
    std::vector<std::string_view> kept;
    for (int i = 0; i < 20000; ++i) kept.push_back(schema_keep_text(&copy, std::to_string(i) + std::string(40, 'x')));
    for (int i = 0; i < 20000; i += 997) EXPECT_EQ(kept[i], std::to_string(i) + std::string(40, 'x'));
    const schema_table_t* table = schema_find_table(copy, "t");
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->rows[0][0], std::optional<std::string_view>("7"));
    EXPECT_EQ(schema_primary(*table).sql, "INTEGER");
    EXPECT_EQ(schema_primary(*table).sql.data()[7], '\0');
}

// A model built by hand finds its tables once indexed, the first of two
// equal names, and none of a name it lacks.
TEST(SchemaModelIndex, FindsTablesByNameFirstOfEqualNames) {
    schema_t model;
    const auto named = [](std::string_view name) {
        schema_table_t table;
        table.name = name;
        return table;
    };
    for (int i = 0; i < 100; ++i) model.tables.push_back(named(schema_keep_text(&model, "t" + std::to_string(i))));
    model.tables.push_back(named("t5"));
    EXPECT_EQ(schema_find_table(model, "t1"), nullptr);  // not yet indexed
    schema_model_index(&model);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(schema_table_position(model, "t" + std::to_string(i)), size_t(i));
    EXPECT_EQ(schema_table_position(model, "t100"), SIZE_MAX);
    EXPECT_EQ(schema_find_table(model, ""), nullptr);
}

}  // namespace
