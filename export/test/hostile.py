#!/usr/bin/env python3
"""Writes a definition file whose names and texts are as hostile as tabula
lets them be, for the export tests.

Names made by direct built-in calls hold every byte from 1 to 127 and
multi-byte UTF-8 characters; texts hold quotes, backslashes, line breaks,
"-->", braces and the other characters diagram languages give a meaning to.
With --non-utf8, one table name also holds a byte that is not UTF-8.

    hostile.py [--non-utf8] OUTPUT
"""

import sys


def literal(data):
    """A definition-language string literal of the bytes `data`."""
    out = bytearray(b'"')
    for byte in data:
        if byte in (0x22, 0x5C):
            out += b"\\" + bytes([byte])
        else:
            out.append(byte)
    return bytes(out + b'"')


EVERY_BYTE = bytes(range(1, 128))
MULTI_BYTE = "é中😀\u0080\u00a0ß".encode()
HOSTILE_TEXT = b'say "hi" \\ back\nslash --> {x} }o--o{ |o <b>&amp; %%{init}%% `t` #quot; ;'


def table(name, fields, rows=b"array()"):
    """`fields`: (name, type name, nullable, optimize, links) with links as
    a list of (table, direction)."""
    parts = []
    for field_name, type_name, nullable, optimize, links in fields:
        link_list = b", ".join(b"array(%s, %d)" % (literal(t), d) for t, d in links)
        parts.append(b"array(%s, %s, %d, %d, array(%s))" % (literal(field_name), literal(type_name), nullable,
                                                           optimize, link_list))
    return b"view %s = first(%s, dump_table(%s, 0, array(%s), %s));\n" % (
        b"v" + str(len(name)).encode() + b"_" + str(sum(name) % 9973).encode(),
        literal(b"x"), literal(name), b", ".join(parts), rows)


def main():
    args = sys.argv[1:]
    non_utf8 = args[:1] == ["--non-utf8"]
    if non_utf8:
        args = args[1:]
    out = bytearray(b"function first($kept, $dropped) = $kept;\n")
    if non_utf8:  # first, so that its line is plain to see
        out += table(b"caf\xe9 \xff", [(b"id", b"id_t", 0, 2, [(b"rows", 1)]), (b"\xc3(", b"id_t", 1, 0, [])])
    out += b"type id_t = \"INTEGER\";\n"
    out += b"type money_t = \"NUMERIC(12,2)\";\n"
    out += b"view hostile_types = first(\"x\", dump_type(%s, %s));\n" % (literal(EVERY_BYTE), literal(EVERY_BYTE))
    out += b"view hostile_types2 = first(\"x\", dump_type(%s, %s));\n" % (literal(MULTI_BYTE), literal(HOSTILE_TEXT))

    # One field per byte, each named by the byte between two letters, and
    # fields named like Mermaid's key words.
    fields = [(b"id", b"id_t", 0, 2, [(MULTI_BYTE, 0)])]
    fields += [(b"f" + bytes([byte]) + b"g", EVERY_BYTE if byte % 2 else MULTI_BYTE, byte % 2, byte % 2, [])
               for byte in range(1, 128)]
    fields += [(name, b"money_t", 1, 0, []) for name in (b"pk", b"FK", b"uk.x", b"1st", b"~t~", b"", b"-", EVERY_BYTE)]
    out += table(EVERY_BYTE, fields)
    out += table(MULTI_BYTE, [(b"id", b"id_t", 0, 2, [(EVERY_BYTE, 0)]),
                              (EVERY_BYTE, b"id_t", 0, 1, [(EVERY_BYTE, 1), (MULTI_BYTE, 1)]),
                              (HOSTILE_TEXT, MULTI_BYTE, 1, 0, [(EVERY_BYTE, 1)])])
    # Empty names, for a table and for a field with a link.
    out += table(b"", [(b"", b"id_t", 0, 2, [(b"", 1), (b"rows", 1)])])
    out += table(b"rows", [(b"id", b"id_t", 0, 2, []), (b"t", EVERY_BYTE, 1, 0, [])],
                 b"array(array(%s, %s), array(\"2\", null))" % (literal(HOSTILE_TEXT), literal(EVERY_BYTE)))

    out += b"view v_hostile = first(\"x\", dump_view(%s, %s));\n" % (literal(EVERY_BYTE + b"v"), literal(HOSTILE_TEXT))
    out += b"view v_multi = first(\"x\", dump_sequence(%s, 7));\n" % literal(EVERY_BYTE + MULTI_BYTE)
    out += b"view v_query = first(\"x\", dump_query(%s, %s));\n" % (
        literal(EVERY_BYTE), literal(HOSTILE_TEXT + b"{ESC:1}{FIELD:" + MULTI_BYTE + b"}{RAW:22}{FIELD:id_t}x"))
    out += (b"view v_plsql = first(\"x\", dump_plsql(%s, array(%s, 1), array(array(%s, \"id_t\")), "
            b"array(array(%s, %s)), %s));\n") % (literal(EVERY_BYTE), literal(MULTI_BYTE), literal(EVERY_BYTE),
                                                  literal(MULTI_BYTE), literal(EVERY_BYTE), literal(HOSTILE_TEXT))
    with open(args[0], "wb") as file:
        file.write(out)


if __name__ == "__main__":
    main()
