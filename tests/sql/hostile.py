#!/usr/bin/env python3
"""Writes a definition file that is hard to turn into SQL, for the load
tests: names made by direct built-in calls that hold quotes of every kind,
backslashes, blanks, semicolons, comment starts, dollar quotes, non-ASCII
text and reserved words; initial values holding the same and line ends; a
self link and two tables linking each other, all with rows that need the
keys checked only after the load; a nullable primary key; a sequence that
starts at 0; a PL/SQL function whose text holds the likely dollar-quote tags.

    hostile.py OUTPUT
"""

import sys


def literal(text):
    """A definition-language string literal of `text`."""
    data = text.encode() if isinstance(text, str) else text
    return b'"' + data.replace(b"\\", b"\\\\").replace(b'"', b'\\"') + b'"'


def array(*items):
    return b"array(" + b", ".join(items) + b")"


def field(name, type_name, nullable=False, optimize=0, links=()):
    """`optimize`: 0 none, 1 index, 2 primary; `links`: (table, outgoing)."""
    return array(literal(name), literal(type_name), b"%d" % nullable, b"%d" % optimize,
                 array(*(array(literal(t), b"%d" % outgoing) for t, outgoing in links)))


def rows(*values):
    return array(*(array(*(b"null" if v is None else literal(v) for v in row)) for row in values))


carriers = 0


def declare(call):
    """A statement that runs `call` for its effect: a type's text is not
    written to SQL."""
    global carriers
    carriers += 1
    return b'type carrier_%d = first("x", %s);\n' % (carriers, call)


WEIRD = 'we"ird `ta\\ble\' ;-- /* x'
SELF = 'é中 "self" $$'
ORDER = "order"
GROUP = "group by"
CODES = "codes; DROP TABLE x"
NULLABLE = "nullable key"
VALUES = ["it's", 'say "hi"', "back\\slash\\", "line\nend", "crlf\r\nend", "$$ and $body$", "naïve 中文 😀",
          "tab\there", "lone\rcr", "ctl\x01\x1b\x7f", "-- not a comment", "/* nor this */", "`tick`", "semi;colon", "\\'", "\\0", ""]


def main():
    out = bytearray(b"function first($kept, $dropped) = $kept;\n")
    out += b'type id_t = "INTEGER";\ntype text_t = "TEXT";\ntype name_t = "VARCHAR(200)";\n'
    codes = ["\\", "'", "é", "a b", "Z"]
    out += declare(b"dump_table(%s, 0, %s, %s)" % (
        literal(CODES), array(field("code", "name_t", optimize=2), field("note", "text_t", nullable=True)),
        rows(*([c, v] for c, v in zip(codes, VALUES)))))
    weird_fields = [field("id", "id_t", optimize=2),
                    field('a"b', "text_t", optimize=1),
                    field("c'd", "name_t", optimize=1, links=[(CODES, 1)]),
                    field("e`f", "text_t", nullable=True),
                    field("g\\h", "id_t", nullable=True),
                    field("semi;colon", "name_t"),
                    field("select", "text_t"),
                    field("é中文", "text_t"),
                    field("$$", "text_t"),
                    field(" lead", "id_t", nullable=True, optimize=1)]
    weird_rows = []
    for i, value in enumerate(VALUES):
        weird_rows.append([str(i + 1), value, codes[i % len(codes)], None if i % 3 == 0 else value, str(-i * 1000),
                           value[::-1], value, value + "é", value, None])
    out += declare(b"dump_table(%s, 0, %s, %s)" % (literal(WEIRD), array(*weird_fields), rows(*weird_rows)))
    out += declare(b"dump_table(%s, 0, %s, %s)" % (
        literal(SELF), array(field("id", "id_t", optimize=2), field("parent", "id_t", True, 1, [(SELF, 1), (SELF, 0)])),
        rows(["1", "2"], ["2", "1"], ["3", None], ["4", "4"])))
    out += declare(b"dump_table(%s, 0, %s, %s)" % (
        literal(ORDER), array(field("id", "id_t", optimize=2), field(GROUP, "id_t", False, 1, [(GROUP, 1)])),
        rows(["1", "2"], ["2", "1"])))
    out += declare(b"dump_table(%s, 0, %s, %s)" % (
        literal(GROUP), array(field("id", "id_t", optimize=2), field(ORDER, "id_t", False, 1, [(ORDER, 1)])),
        rows(["1", "1"], ["2", "2"])))
    out += declare(b"dump_table(%s, 1, %s, %s)" % (
        literal(NULLABLE), array(field("key", "name_t", nullable=True, optimize=2), field("n", "id_t")),
        rows(["k", "1"])))
    quoted_weird = '"' + WEIRD.replace('"', '""') + '"'
    out += declare(b"dump_view(%s, %s)" % (literal('view "v"; `w`'),
                                          literal('SELECT "id", "select", "é中文" FROM ' + quoted_weird)))
    out += declare(b"dump_view(%s, %s)" % (literal("table"), literal('SELECT * FROM "order" -- the cycle')))
    out += declare(b"dump_sequence(%s, 0)" % literal('seq "0"; x'))
    out += declare(b"dump_sequence(%s, 2147483647)" % literal("sequence"))
    out += declare(b"dump_plsql(%s, %s, %s, %s, %s)" % (
        literal('fn "$body$"'), array(literal("text_t"), b"0"), array(array(literal("p x"), literal("text_t"))),
        array(array(literal("v$body_1$"), literal("text_t"))),
        literal("BEGIN\n  \"v$body_1$\" := '$body$' || \"p x\";\n  RETURN \"v$body_1$\" || '$$';\nEND;")))
    with open(sys.argv[1], "wb") as file:
        file.write(out)


if __name__ == "__main__":
    main()
