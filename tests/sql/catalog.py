#!/usr/bin/env python3
"""Reads a loaded database's catalog back from the server and compares it
with the schema's JSON model (tabula-export --format json).

    catalog.py SERVER SCRATCH DB MODEL.json [--example]

SERVER is postgresql, mariadb or sqlite, SCRATCH the folder of
tests/sql/servers.sh. Every name and value is read back hex-encoded. What is
compared: the tables; their columns in order with NOT NULL; the primary key;
one single-column index per `index` field; one foreign key per outgoing link,
to the linked table's primary key; every view selects; each sequence's first
value is its start; every text and integer initial value, byte for byte; a
child row cannot lose its parent after the load. With --example, the
example's PL/SQL functions run (PostgreSQL). Prints each difference and exits
1 if there is any.
"""

import json
import re
import subprocess
import sys
from collections import Counter

SERVER, SCRATCH, DB, MODEL = sys.argv[1:5]
EXAMPLE = "--example" in sys.argv[5:]
HOSTILE = "--hostile" in sys.argv[5:]
problems = []


def client(script):
    """Runs `script` over one client connection: (status, standard output, standard error)."""
    if SERVER == "postgresql":
        cmd = ["psql", "-X", "-q", "-h", SCRATCH + "/pg", "-U", "postgres", "-d", DB, "-v", "ON_ERROR_STOP=1",
               "-A", "-t", "-F", "\t", "-f", "-"]
    elif SERVER == "mariadb":
        cmd = ["mariadb", "--no-defaults", "--socket=" + SCRATCH + "/maria/sock", "-uroot",
               "--default-character-set=utf8mb4", "-N", "-B", DB]
        script = "SET SESSION sql_mode = 'ANSI_QUOTES,NO_BACKSLASH_ESCAPES,STRICT_ALL_TABLES';\n" + script
    else:
        cmd = ["sqlite3", "-bail", "-batch", "-noheader", "-separator", "\t", SCRATCH + "/sqlite/" + DB + ".db"]
        script = "PRAGMA foreign_keys = ON;\n" + script
    result = subprocess.run(cmd, input=script, capture_output=True, text=True)
    failed = result.returncode != 0 or (SERVER == "sqlite" and result.stderr != "")
    return failed, result.stdout, result.stderr


def run_many(queries):
    """The rows of each of `queries`, run over one connection, as lists of fields.
    A marker row before each result tells them apart: hex digits never
    spell it."""
    script = "".join("SELECT '@@%d';\n%s;\n" % (i, query) for i, query in enumerate(queries))
    failed, out, err = client(script)
    if failed:
        sys.exit("queries failed on %s: %s\n%s" % (SERVER, script[-2000:], err))
    results = []
    for line in out.split("\n")[:-1]:
        if line == "@@%d" % len(results):
            results.append([])
        else:
            results[-1].append(line.split("\t"))
    return results


def run(query, fail_ok=False):
    """The rows of `query`; None when it failed and fail_ok is set."""
    if fail_ok:
        failed, _, _ = client(query + ";\n")
        return None if failed else []
    return run_many([query])[0]


def hexed(expression):
    """SQL reading `expression` as the hex digits of its text, '-' for NULL."""
    if SERVER == "postgresql":
        text = "encode(convert_to(CAST(%s AS TEXT), 'UTF8'), 'hex')" % expression
    elif SERVER == "mariadb":
        text = "HEX(CAST(%s AS CHAR))" % expression
    else:
        text = "hex(%s)" % expression
    return "CASE WHEN %s IS NULL THEN '-' ELSE %s END" % (expression, text)


def unhex(text):
    return None if text == "-" else bytes.fromhex(text).decode()


def quote(name):
    return '"' + name.replace('"', '""') + '"'


def literal(text):
    return "'" + text.replace("'", "''") + "'"


def compare(what, got, expected):
    if got != expected:
        problems.append("%s differ:\n  server: %r\n  model:  %r" % (what, got, expected))


with open(MODEL, encoding="utf-8") as file:
    model = json.load(file)
tables = {table["name"]: table for table in model["tables"]}


def primary(table):
    return next(f for f in table["fields"] if f["index"] == "primary")


def long_type(sql):
    return re.match(r"\s*(tiny|medium|long)?(text|blob)\b|\s*json\b", sql, re.I) is not None


def foreign_keys():
    """(table, field, linked table, its primary key) of every outgoing link
    the dialect holds."""
    keys = []
    for table in model["tables"]:
        for field in table["fields"]:
            for link in field["links"]:
                if link["direction"] != "outgoing":
                    continue
                target = tables[link["table"]]
                if SERVER == "mariadb" and (long_type(field["sql"]) or long_type(primary(target)["sql"])):
                    continue
                keys.append((table["name"], field["name"], target["name"], primary(target)["name"]))
    return sorted(keys)


# --- The catalog, per server ---------------------------------------------------------
if SERVER == "postgresql":
    NS = "c.relnamespace = 'public'::regnamespace"
    name = lambda column: hexed(column + "::text")
    catalog_tables = run("SELECT %s FROM pg_class c WHERE %s AND relkind = 'r'" % (name("relname"), NS))
    catalog_views = run("SELECT %s FROM pg_class c WHERE %s AND relkind = 'v'" % (name("relname"), NS))
    columns = run("SELECT %s, %s, a.attnotnull FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid "
                  "WHERE %s AND c.relkind = 'r' AND a.attnum > 0 AND NOT a.attisdropped ORDER BY c.relname, a.attnum"
                  % (name("c.relname"), name("a.attname"), NS))
    columns = [(t, f, n == "t") for t, f, n in columns]
    primaries = run("SELECT %s, %s FROM pg_constraint k JOIN pg_class c ON c.oid = k.conrelid "
                    "JOIN pg_attribute a ON a.attrelid = k.conrelid AND a.attnum = ANY(k.conkey) "
                    "WHERE %s AND k.contype = 'p'" % (name("c.relname"), name("a.attname"), NS))
    indexes = run("SELECT %s, %s FROM pg_index i JOIN pg_class c ON c.oid = i.indrelid "
                  "JOIN pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = i.indkey[0] "
                  "WHERE %s AND NOT i.indisprimary AND i.indnatts = 1" % (name("c.relname"), name("a.attname"), NS))
    fkeys = run("SELECT %s, %s, %s, %s FROM pg_constraint k JOIN pg_class c ON c.oid = k.conrelid "
                "JOIN pg_class r ON r.oid = k.confrelid "
                "JOIN pg_attribute a ON a.attrelid = k.conrelid AND a.attnum = k.conkey[1] "
                "JOIN pg_attribute b ON b.attrelid = k.confrelid AND b.attnum = k.confkey[1] "
                "WHERE %s AND k.contype = 'f' AND cardinality(k.conkey) = 1"
                % (name("c.relname"), name("a.attname"), name("r.relname"), name("b.attname"), NS))
elif SERVER == "mariadb":
    IS = "TABLE_SCHEMA = DATABASE()"
    catalog_tables = run("SELECT HEX(TABLE_NAME) FROM information_schema.TABLES WHERE %s "
                         "AND TABLE_TYPE = 'BASE TABLE'" % IS)
    catalog_views = run("SELECT HEX(TABLE_NAME) FROM information_schema.TABLES WHERE %s AND TABLE_TYPE = 'VIEW'" % IS)
    columns = run("SELECT HEX(c.TABLE_NAME), HEX(c.COLUMN_NAME), c.IS_NULLABLE FROM information_schema.COLUMNS c "
                  "JOIN information_schema.TABLES t ON t.TABLE_SCHEMA = c.TABLE_SCHEMA AND t.TABLE_NAME = c.TABLE_NAME "
                  "WHERE c.%s AND t.TABLE_TYPE = 'BASE TABLE' ORDER BY c.TABLE_NAME, c.ORDINAL_POSITION" % IS)
    columns = [(t, f, n == "NO") for t, f, n in columns]
    primaries = run("SELECT HEX(TABLE_NAME), HEX(COLUMN_NAME) FROM information_schema.STATISTICS "
                    "WHERE %s AND INDEX_NAME = 'PRIMARY'" % IS)
    # InnoDB gives a foreign key without an index of its own one named after
    # the key: those are not the schema's indexes.
    indexes = run("SELECT HEX(s.TABLE_NAME), HEX(MIN(s.COLUMN_NAME)) FROM information_schema.STATISTICS s "
                  "WHERE s.%s AND s.INDEX_NAME <> 'PRIMARY' AND s.INDEX_NAME NOT IN "
                  "(SELECT CONSTRAINT_NAME FROM information_schema.REFERENTIAL_CONSTRAINTS r "
                  "WHERE r.CONSTRAINT_SCHEMA = DATABASE() AND r.TABLE_NAME = s.TABLE_NAME) "
                  "GROUP BY s.TABLE_NAME, s.INDEX_NAME HAVING COUNT(*) = 1" % IS)
    fkeys = run("SELECT HEX(TABLE_NAME), HEX(COLUMN_NAME), HEX(REFERENCED_TABLE_NAME), HEX(REFERENCED_COLUMN_NAME) "
                "FROM information_schema.KEY_COLUMN_USAGE WHERE %s AND REFERENCED_TABLE_NAME IS NOT NULL" % IS)
else:
    T = "FROM sqlite_schema m, %s WHERE m.type = 'table' AND m.name NOT LIKE 'sqlite\\_%%' ESCAPE '\\'"
    catalog_tables = run("SELECT hex(name) FROM sqlite_schema WHERE type = 'table'")
    catalog_views = run("SELECT hex(name) FROM sqlite_schema WHERE type = 'view'")
    columns = run("SELECT hex(m.name), hex(p.name), p.\"notnull\", p.pk " + (T % "pragma_table_info(m.name) p") +
                  " ORDER BY m.name, p.cid")
    primaries = [(t, f) for t, f, n, pk in columns if pk != "0"]
    columns = [(t, f, n == "1") for t, f, n, pk in columns]
    indexes = run("SELECT hex(m.name), hex(MIN(ii.name)) " +
                  (T % "pragma_index_list(m.name) il, pragma_index_info(il.name) ii") +
                  " AND il.origin = 'c' GROUP BY m.name, il.name HAVING COUNT(*) = 1")
    fkeys = run("SELECT hex(m.name), hex(f.\"from\"), hex(f.\"table\"), hex(f.\"to\") " +
                (T % "pragma_foreign_key_list(m.name) f"))


def names(rows):
    return [tuple(unhex(field) for field in row) for row in rows]


compare("tables", sorted(n for (n,) in names(catalog_tables)), sorted(tables))
expected_columns = []
for table in sorted(model["tables"], key=lambda t: t["name"].encode()):
    for field in table["fields"]:
        expected_columns.append((table["name"], field["name"], not field["nullable"] or field["index"] == "primary"))
got_columns = [(unhex(t), unhex(f), n) for t, f, n in columns]
by_table = lambda rows: sorted(rows, key=lambda row: row[0].encode())  # stable: keeps the column order
compare("columns", by_table(got_columns), by_table(expected_columns))
compare("primary keys", sorted(names(primaries)), sorted((t["name"], primary(t)["name"]) for t in model["tables"]))
compare("indexes", sorted(names(indexes)),
        sorted((t["name"], f["name"]) for t in model["tables"] for f in t["fields"] if f["index"] == "index"))
compare("foreign keys", sorted(names(fkeys)), foreign_keys())
compare("views", sorted(n for (n,) in names(catalog_views)), sorted(v["name"] for v in model["views"]))
run_many(["SELECT * FROM %s" % quote(view["name"]) for view in model["views"]])

if SERVER != "sqlite":
    for sequence in model["sequences"]:
        call = ("nextval(%s)" % literal(quote(sequence["name"])) if SERVER == "postgresql"
                else "NEXTVAL(%s)" % quote(sequence["name"]))
        compare("first value of sequence %r" % sequence["name"], run("SELECT " + call), [[str(sequence["start"])]])


# --- Initial values ------------------------------------------------------------------
def comparable(sql):
    return re.fullmatch(r"\s*(integer|int|bigint|smallint|text|varchar\s*\(\s*\d+\s*\)|character varying\s*\(\s*\d+\s*\))\s*",
                        sql, re.I) is not None


row_tables, row_queries = [], []
for table in model["tables"]:
    kept = [i for i, f in enumerate(table["fields"]) if comparable(f["sql"])]
    if table["rows"] and kept:
        row_tables.append((table, kept))
        row_queries.append("SELECT %s FROM %s" % (", ".join(hexed(quote(table["fields"][i]["name"])) for i in kept),
                                                  quote(table["name"])))
for (table, kept), rows in zip(row_tables, run_many(row_queries)):
    got = Counter(tuple(unhex(v) for v in row) for row in rows)
    expected = Counter(tuple(row[i] for i in kept) for row in table["rows"])
    compare("rows of table %r" % table["name"], got, expected)

# --- The keys hold after the load ----------------------------------------------------
# A parent row that a child row names cannot go.
for child, field, parent, key in foreign_keys():
    child_key = primary(tables[child])["name"]
    condition = "%s IS NOT NULL" % quote(field)
    if child == parent:
        condition += " AND %s <> %s" % (quote(field), quote(child_key))
    named = run("SELECT %s FROM %s WHERE %s" % (hexed(quote(field)), quote(child), condition))
    if not named:
        continue
    value = unhex(named[0][0])
    deleted = run("DELETE FROM %s WHERE %s = %s" % (quote(parent), quote(key), literal(value)), fail_ok=True)
    if deleted is not None:
        problems.append("deleting row %r of %r, which %r.%r names, was not refused" % (value, parent, child, field))
    break

# --- The example's functions ---------------------------------------------------------
if EXAMPLE and SERVER == "postgresql":
    # The sequence check above took the sequence's first value.
    compare("place_order", run("SELECT place_order(1, 'new')"), [["1001"]])
    compare("the order placed", run("SELECT id, customer_id, status FROM orders"), [["1001", "1", "new"]])
    run("INSERT INTO order_lines VALUES (1, 1001, 1, 2, 12.50), (2, 1001, 2, 1, 8.99)")
    compare("order_total", run("SELECT order_total(1001)"), [["33.99"]])
    run("INSERT INTO addresses VALUES (1, 2, 'Hut 8', 'Bletchley', 'MK3', 'UK'), (2, 1, 'St James', 'London', 'SW1', 'UK')")
    compare("customers_in_city", run("SELECT customers_in_city('Bletchley')"), [["2"]])

# --- The hostile schema's function: its text holds "$body$" and "$$" -------------
if HOSTILE and SERVER == "postgresql":
    call = "SELECT %s FROM %s('x') AS r" % (hexed("r"), quote('fn "$body$"'))
    compare("the hostile function", run(call), [["$body$x$$".encode().hex()]])

for problem in problems:
    print(problem)
sys.exit(1 if problems else 0)
