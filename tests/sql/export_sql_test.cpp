// The generated names and the literals of the SQL writers: what the load
// tests on the real servers cannot reach, such as many names that would
// collide, or names cut in the middle of a character.
#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

#include "export_sql.hpp"

namespace {

schema_table_t table_named(schema_t* model, std::string_view name, std::string_view field_name, optimize_type_t index) {
    schema_table_t table;
    table.name = name;
    const std::vector<schema_link_t> links{{name, DIRECTION_OUTGOING}};
    const std::vector<schema_field_t> fields{
        {"id", "id_t", "INTEGER", false, OPTIMIZE_PRIMARY, {}, 1},
        {field_name, "id_t", "INTEGER", false, index, schema_keep(model, links), 2}};
    table.fields = schema_keep(model, fields);
    return table;
}

TEST(SqlNames, LongWishesAreCutAtACharacterAndTellApartByTheirHash) {
    std::unordered_set<std::string> taken;
    std::string stem;
    for (int i = 0; i < 40; ++i) stem += "é";  // 80 bytes
    const std::string first = sql_names_claim(stem + "_a_idx", &taken);
    const std::string second = sql_names_claim(stem + "_b_idx", &taken);
    EXPECT_LE(first.size(), SQL_GENERATED_NAME_MAX);
    EXPECT_LE(second.size(), SQL_GENERATED_NAME_MAX);
    EXPECT_NE(first, second);
    // Only whole two-byte characters before the "_" and eight hex digits.
    const std::string head = first.substr(0, first.size() - 9);
    EXPECT_EQ(head.size() % 2, 0u);
    EXPECT_EQ(head, stem.substr(0, head.size()));
    EXPECT_EQ(first[first.size() - 9], '_');
    // The same wish in a new schema gives the same name.
    std::unordered_set<std::string> again;
    EXPECT_EQ(sql_names_claim(stem + "_a_idx", &again), first);
}

TEST(SqlNames, ClaimsNeverMeetInAnyLetterCase) {
    std::unordered_set<std::string> taken{"t_idx"};
    EXPECT_EQ(sql_names_claim("T_IDX", &taken), "T_IDX_2");
    EXPECT_EQ(sql_names_claim("t_idx", &taken), "t_idx_3");
    std::unordered_set<std::string> names;
    std::string long_wish(SQL_GENERATED_NAME_MAX, 'x');
    for (int i = 0; i < 100; ++i) {
        const std::string name = sql_names_claim(long_wish, &taken);
        EXPECT_LE(name.size(), SQL_GENERATED_NAME_MAX);
        EXPECT_TRUE(names.insert(name).second) << name;
    }
}

TEST(SqlNames, SchemaNamesKeepClearOfDeclaredObjects) {
    schema_t model;
    model.tables.push_back(table_named(&model, "t", "x", OPTIMIZE_INDEX));
    model.tables.push_back(table_named(&model, "T_X_IDX", "y", OPTIMIZE_NONE));
    model.views.push_back({"t_pkey", "SELECT 1", {}});
    model.sequences.push_back({"t_x_fkey", 1, {}});
    model.plsql.push_back({});
    model.plsql.back().name = "PRIMARY_pkey";
    schema_model_index(&model);
    sql_names_t names;
    sql_names_build(model, &names);
    EXPECT_EQ(sql_names_primary_key(names, 0), "t_pkey_2");
    EXPECT_EQ(sql_names_index(names, 0, 1), "t_x_idx_2");
    EXPECT_EQ(sql_names_foreign_key(names, 0, 1, 0), "t_x_fkey_2");
    EXPECT_EQ(sql_names_primary_key(names, 1), "T_X_IDX_pkey");
    EXPECT_EQ(sql_names_index(names, 1, 1), "");
    EXPECT_EQ(sql_names_foreign_key(names, 1, 1, 0), "T_X_IDX_y_fkey");
}

TEST(SqlLiterals, QuotesDoubledAndControlCharactersInHex) {
    EXPECT_EQ(sql_quote_name(SQL_DIALECT_POSTGRESQL, "a\"b`c"), "\"a\"\"b`c\"");
    EXPECT_EQ(sql_quote_name(SQL_DIALECT_MARIADB, "a\"b`c"), "`a\"b``c`");
    EXPECT_EQ(sql_value_literal(SQL_DIALECT_SQLITE, "it's\\\n"), "'it''s\\\n'");
    EXPECT_EQ(sql_value_literal(SQL_DIALECT_POSTGRESQL, "a\r\n"), "'a\r\n'");
    EXPECT_EQ(sql_value_literal(SQL_DIALECT_MARIADB, "a\r\n"), "_utf8mb4 X'610D0A'");
    EXPECT_EQ(sql_value_literal(SQL_DIALECT_SQLITE, "\x7f"), "CAST(X'7F' AS TEXT)");
}

TEST(SqlLiterals, DollarTagIsNotInTheText) {
    EXPECT_EQ(sql_dollar_tag("BEGIN RETURN '$$'; END;"), "$body$");
    EXPECT_EQ(sql_dollar_tag("$body$ $body_1$"), "$body_2$");
}

TEST(SqlLiterals, MariadbLongTypesAreTheTextAndBlobFamilies) {
    for (const char* type : {"TEXT", " longtext", "Blob", "JSON", "mediumtext CHARACTER SET utf8mb4"}) {
        EXPECT_TRUE(sql_mariadb_is_long_type(type)) << type;
    }
    for (const char* type : {"VARCHAR(10)", "TEXTUAL", "tinyint", "BLOBS", ""}) {
        EXPECT_FALSE(sql_mariadb_is_long_type(type)) << type;
    }
}

}  // namespace
