/* Prints each keyword of the linked SQLite that SQLite refuses as a table and
 * column name, one a line in lower case. SQLite takes many of its keywords
 * as names; a statement that uses the word as both fails to prepare only for
 * the reserved ones. */
#include <ctype.h>
#include <sqlite3.h>
#include <stdio.h>

int main(void) {
    sqlite3* db;
    if (sqlite3_open(":memory:", &db) != SQLITE_OK) return 1;
    for (int i = 0; i < sqlite3_keyword_count(); ++i) {
        const char* word;
        int length;
        if (sqlite3_keyword_name(i, &word, &length) != SQLITE_OK) return 1;
        char sql[256];
        snprintf(sql, sizeof sql, "CREATE TABLE %.*s (%.*s INTEGER)", length, word, length, word);
        sqlite3_stmt* statement = NULL;
        const int refused = sqlite3_prepare_v2(db, sql, -1, &statement, NULL) != SQLITE_OK;
        sqlite3_finalize(statement);
        if (!refused) continue;
        for (int j = 0; j < length; ++j) putchar(tolower((unsigned char)word[j]));
        putchar('\n');
    }
    sqlite3_close(db);
    return 0;
}
