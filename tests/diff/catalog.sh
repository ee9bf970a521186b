# The catalog and the rows of a database as its server reports them, in a
# stable order, for comparing a migrated database with a fresh one. Source it
# after tests/sql/servers.sh:
#
#   diff_catalog DIALECT DB     # tables, columns in order with types and
#                               # NOT NULL, keys, indexes, views, sequences,
#                               # functions
#   diff_rows DIALECT DB        # every row of every table
#
# Names and texts are read back hex-encoded, so that no byte of theirs can be
# confused with the client's separators.

diff__pg_catalog() {
    sql_query postgresql "$1" "
SELECT 'relation', encode(convert_to(relname, 'UTF8'), 'hex'), relkind FROM pg_class
 WHERE relnamespace = 'public'::regnamespace AND relkind IN ('r', 'v', 'S', 'i') ORDER BY 2;
SELECT 'column', encode(convert_to(c.relname, 'UTF8'), 'hex'), encode(convert_to(a.attname, 'UTF8'), 'hex'),
       format_type(a.atttypid, a.atttypmod), a.attnotnull
  FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid
 WHERE c.relnamespace = 'public'::regnamespace AND c.relkind IN ('r', 'v') AND a.attnum > 0 AND NOT a.attisdropped
 ORDER BY 2, a.attnum;
SELECT 'constraint', encode(convert_to(c.relname, 'UTF8'), 'hex'), encode(convert_to(k.conname, 'UTF8'), 'hex'),
       k.contype, encode(convert_to(pg_get_constraintdef(k.oid), 'UTF8'), 'hex')
  FROM pg_constraint k JOIN pg_class c ON c.oid = k.conrelid
 WHERE k.connamespace = 'public'::regnamespace ORDER BY 2, 3;
SELECT 'index', encode(convert_to(pg_get_indexdef(i.indexrelid), 'UTF8'), 'hex')
  FROM pg_index i JOIN pg_class c ON c.oid = i.indexrelid
 WHERE c.relnamespace = 'public'::regnamespace ORDER BY 2;
SELECT 'view', encode(convert_to(viewname, 'UTF8'), 'hex'), encode(convert_to(definition, 'UTF8'), 'hex')
  FROM pg_views WHERE schemaname = 'public' ORDER BY 2;
SELECT 'sequence', encode(convert_to(sequencename, 'UTF8'), 'hex'), start_value, min_value, max_value, increment_by
  FROM pg_sequences WHERE schemaname = 'public' ORDER BY 2;
SELECT 'function', encode(convert_to(proname, 'UTF8'), 'hex'),
       encode(convert_to(pg_get_function_arguments(oid), 'UTF8'), 'hex'),
       encode(convert_to(pg_get_function_result(oid), 'UTF8'), 'hex'), encode(convert_to(prosrc, 'UTF8'), 'hex')
  FROM pg_proc WHERE pronamespace = 'public'::regnamespace ORDER BY 2, 3;"
}

diff__mariadb_catalog() {
    sql_query mariadb "$1" "
SELECT 'relation', HEX(TABLE_NAME), TABLE_TYPE FROM information_schema.TABLES
 WHERE TABLE_SCHEMA = DATABASE() ORDER BY 2;
SELECT 'column', HEX(TABLE_NAME), HEX(COLUMN_NAME), ORDINAL_POSITION, COLUMN_TYPE, IS_NULLABLE,
       HEX(COLLATION_NAME) FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = DATABASE() ORDER BY 2, 4;
SELECT 'index', HEX(TABLE_NAME), HEX(INDEX_NAME), SEQ_IN_INDEX, HEX(COLUMN_NAME), SUB_PART, NON_UNIQUE
  FROM information_schema.STATISTICS WHERE TABLE_SCHEMA = DATABASE() ORDER BY 2, 3, 4;
SELECT 'key', HEX(TABLE_NAME), HEX(CONSTRAINT_NAME), HEX(COLUMN_NAME), HEX(REFERENCED_TABLE_NAME),
       HEX(REFERENCED_COLUMN_NAME) FROM information_schema.KEY_COLUMN_USAGE
 WHERE TABLE_SCHEMA = DATABASE() ORDER BY 2, 3, 4;
SELECT 'view', HEX(TABLE_NAME), HEX(REPLACE(VIEW_DEFINITION, CONCAT('\`', TABLE_SCHEMA, '\`.'), ''))
  FROM information_schema.VIEWS WHERE TABLE_SCHEMA = DATABASE() ORDER BY 2;"
    local sequence
    for sequence in $(sql_query mariadb "$1" "SELECT TABLE_NAME FROM information_schema.TABLES
                      WHERE TABLE_SCHEMA = DATABASE() AND TABLE_TYPE = 'SEQUENCE' ORDER BY 1"); do
        printf 'sequence\t%s\t' "$sequence"
        sql_query mariadb "$1" "SELECT start_value, minimum_value, increment FROM \`$sequence\`"
    done
}

diff__sqlite_catalog() {
    sql_query sqlite "$1" "
SELECT 'relation', hex(name), type FROM sqlite_schema WHERE name NOT LIKE 'sqlite_%' ORDER BY 2;
SELECT 'column', hex(m.name), p.cid, hex(p.name), hex(p.type), p.\"notnull\", p.pk
  FROM sqlite_schema m, pragma_table_info(m.name) p WHERE m.type = 'table' AND m.name NOT LIKE 'sqlite_%'
 ORDER BY 2, 3;
SELECT 'index', hex(m.name), hex(l.name), l.\"unique\", l.origin, hex(i.name), i.seqno
  FROM sqlite_schema m, pragma_index_list(m.name) l, pragma_index_info(l.name) i
 WHERE m.type = 'table' AND m.name NOT LIKE 'sqlite_%' AND l.origin <> 'pk' ORDER BY 2, 3, 7;
SELECT 'key', hex(m.name), hex(k.\"table\"), hex(k.\"from\"), hex(k.\"to\"), k.seq
  FROM sqlite_schema m, pragma_foreign_key_list(m.name) k
 WHERE m.type = 'table' AND m.name NOT LIKE 'sqlite_%' ORDER BY 2, 3, 4, 5;
SELECT 'view', hex(name), hex(sql) FROM sqlite_schema WHERE type = 'view' ORDER BY 2;"
}

diff_catalog() {
    case $1 in
    postgresql) diff__pg_catalog "$2" ;;
    mariadb) diff__mariadb_catalog "$2" ;;
    sqlite) diff__sqlite_catalog "$2" ;;
    esac
}

# The base tables, by name.
diff__tables() {
    case $1 in
    postgresql) sql_query postgresql "$2" "SELECT encode(convert_to(relname, 'UTF8'), 'hex') FROM pg_class
        WHERE relnamespace = 'public'::regnamespace AND relkind = 'r' ORDER BY 1" ;;
    mariadb) sql_query mariadb "$2" "SELECT HEX(TABLE_NAME) FROM information_schema.TABLES
        WHERE TABLE_SCHEMA = DATABASE() AND TABLE_TYPE = 'BASE TABLE' ORDER BY 1" ;;
    sqlite) sql_query sqlite "$2" "SELECT hex(name) FROM sqlite_schema
        WHERE type = 'table' AND name NOT LIKE 'sqlite_%' ORDER BY 1" ;;
    esac
}

diff_rows() {
    local table name quoted
    for table in $(diff__tables "$1" "$2"); do
        name=$(printf '%b' "$(sed 's/../\\x&/g' <<<"$table")")
        if [[ $1 == mariadb ]]; then
            quoted="\`${name//\`/\`\`}\`"
        else
            quoted="\"${name//\"/\"\"}\""
        fi
        echo "table $table"
        sql_query "$1" "$2" "SELECT * FROM $quoted ORDER BY 1"
    done
}
