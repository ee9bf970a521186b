#!/usr/bin/env python3
"""Random pairs of schema versions for the migration's property test.

    random_schemas.py SEED COUNT FOLDER

writes COUNT case folders FOLDER/r0, FOLDER/r1, ... in the layout that
migrate.sh reads: old.def, new.def, app_old.sql (rows an application wrote
under OLD), app_new.sql (the same rows as NEW holds them) and `options`
(the renames, and --allow-destructive). Every value is a short string of
digits, which every type used here takes, so that a change of type, of
nullability or of order never depends on luck; link fields stay nullable and
hold no values, so rows never depend on other tables."""

import random
import sys
from pathlib import Path

TYPES = {"int_t": "INTEGER", "big_t": "BIGINT", "vc_t": "VARCHAR(32)", "text_t": "TEXT"}


class Field:
    def __init__(self, name, type_name, nullable=False, index=False, link=None):
        self.name, self.type_name, self.nullable, self.index, self.link = name, type_name, nullable, index, link
        self.origin = None  # the OLD field it continues, in NEW

    def copy(self):
        field = Field(self.name, self.type_name, self.nullable, self.index, self.link)
        field.origin = self
        return field


class Table:
    def __init__(self, name):
        self.name = name
        self.fields = [Field("id", "int_t")]
        self.rows = {}  # initial rows: id -> {field: value}
        self.app = {}  # application rows: id -> {OLD field: value}
        self.origin = None


def value(rng, field):
    if field.link is not None or (field.nullable and rng.random() < 0.3):
        return None
    return str(rng.randint(0, 999))


def new_field(rng, table, counter, may_be_not_null):
    field = Field("f%d" % counter, rng.choice(list(TYPES)), nullable=not may_be_not_null or rng.random() < 0.5,
                  index=rng.random() < 0.3)
    table.fields.append(field)
    return field


def old_schema(rng):
    tables = []
    for number in range(rng.randint(1, 4)):
        table = Table("t%d" % number)
        for counter in range(rng.randint(1, 4)):
            new_field(rng, table, counter, True)
        for key in range(1, rng.randint(0, 3) + 1):
            table.rows[key] = {f.name: value(rng, f) for f in table.fields[1:]}
        for key in range(1000, 1000 + rng.randint(0, 2)):
            table.app[key] = {f.name: value(rng, f) for f in table.fields[1:]}
        tables.append(table)
    for table in tables:
        if rng.random() < 0.4:
            field = Field("link%d" % len(table.fields), "int_t", nullable=True, index=rng.random() < 0.5,
                          link=rng.choice(tables).name)
            table.fields.append(field)
            for rows in (table.rows, table.app):
                for row in rows.values():
                    row[field.name] = None
    views = {"v%d" % n: rng.choice(tables).name for n in range(rng.randint(0, 2))}
    sequences = {"s%d" % n: rng.randint(0, 50) for n in range(rng.randint(0, 2))}
    return tables, views, sequences


def mutate_table(rng, old, renames):
    table = Table(old.name)
    table.origin = old
    table.fields = [f.copy() for f in old.fields]
    if rng.random() < 0.2:
        table.name = old.name + "_r"
        renames.append("%s=%s" % (old.name, table.name))
    counter = 10
    plain = [f for f in table.fields[1:] if f.link is None]
    if plain and rng.random() < 0.3:
        table.fields.remove(rng.choice(plain))
    for field in [f for f in table.fields[1:] if f.link is None]:
        roll = rng.random()
        if roll < 0.15:
            field.type_name = rng.choice([t for t in TYPES if t != field.type_name])
        elif roll < 0.3:
            # NOT NULL only where the application left no nulls: the
            # migration fails on those, as it should.
            if not field.nullable or all(row.get(field.origin.name) is not None for row in old.app.values()):
                field.nullable = not field.nullable
        elif roll < 0.4:
            field.index = not field.index
        elif roll < 0.5:
            field.name = field.name + "_r"
            renames.append("%s.%s=%s" % (old.name, field.origin.name, field.name))
    if rng.random() < 0.4:
        new_field(rng, table, counter, not old.app)
        counter += 1
    if len(table.fields) > 2 and rng.random() < 0.25:
        a, b = rng.sample(range(1, len(table.fields)), 2)
        table.fields[a], table.fields[b] = table.fields[b], table.fields[a]
    return table


def mutate(rng, tables, views, sequences):
    renames = []
    kept = [t for t in tables if not (len(tables) > 1 and rng.random() < 0.15)]
    new_tables = [mutate_table(rng, t, renames) for t in kept]
    if rng.random() < 0.3:
        table = Table("n%d" % rng.randint(0, 99))
        new_field(rng, table, 0, True)
        table.rows[1] = {f.name: value(rng, f) for f in table.fields[1:]}
        new_tables.append(table)
    names = {t.origin.name: t.name for t in new_tables if t.origin is not None}
    for table in new_tables:
        for field in table.fields:
            if field.link is not None:
                field.link = names.get(field.link)
        table.fields = [f for f in table.fields if not (f.origin is not None and f.origin.link and f.link is None)]
        if rng.random() < 0.2:
            table.fields.append(Field("link%d" % len(table.fields) + "n", "int_t", nullable=True,
                                      link=rng.choice(new_tables).name))
        if table.origin is None:
            continue
        # Initial rows: changed, deleted, added; values follow the fields.
        old_rows = table.origin.rows
        for key in sorted(old_rows):
            if rng.random() < 0.2:
                continue
            table.rows[key] = carried(rng, table, old_rows[key], rng.random() < 0.3)
        if rng.random() < 0.3:
            table.rows[max(old_rows, default=0) + 1] = {f.name: value(rng, f) for f in table.fields[1:]}
        table.app = {key: carried(rng, table, row, False) for key, row in table.origin.app.items()}
    new_views = {}
    for name, table in views.items():
        if table in names and rng.random() < 0.8:
            new_views[name] = names[table]
    if new_tables and rng.random() < 0.3:
        new_views["w"] = rng.choice(new_tables).name
    new_sequences = {name: (start if rng.random() < 0.7 else rng.randint(0, 50))
                     for name, start in sequences.items() if rng.random() < 0.8}
    if rng.random() < 0.3:
        new_sequences["sn"] = 7
    return new_tables, new_views, new_sequences, renames


def carried(rng, table, old_row, change):
    row = {}
    for field in table.fields[1:]:
        origin = field.origin
        if origin is not None and origin.name in old_row and field.link is None:
            row[field.name] = old_row[origin.name]
        else:
            row[field.name] = None
        if field.link is None and not field.nullable and row[field.name] is None:
            row[field.name] = value(rng, field)
        if change and field.link is None and rng.random() < 0.5:
            row[field.name] = value(rng, field)
    return row


def definition(tables, views, sequences):
    lines = ['type %s = "%s";' % item for item in TYPES.items()]
    lines += ["sequence %s = %d;" % item for item in sequences.items()]
    for table in tables:
        lines.append("table %s {" % table.name)
        for number, field in enumerate(table.fields):
            mark = "primary " if number == 0 else "index " if field.index else ""
            link = " [outgoing: %s]" % field.link if field.link else ""
            lines.append("    %s%s %s%s%s;" % (mark, field.type_name, "*" if field.nullable else "", field.name, link))
        rows = []
        for key in sorted(table.rows):
            cells = [str(key)] + [table.rows[key].get(f.name) for f in table.fields[1:]]
            rows.append("{ " + ", ".join("null" if c is None else '"%s"' % c for c in cells) + " }")
        lines.append("}" + (" = { " + ", ".join(rows) + " }" if rows else "") + ";")
    lines += ['view %s = "SELECT id FROM %s";' % item for item in views.items()]
    return "\n".join(lines) + "\n"


def app_rows(tables):
    lines = []
    for table in tables:
        for key, row in sorted(table.app.items()):
            names = ", ".join('"%s"' % f.name for f in table.fields)
            cells = [str(key)] + ["NULL" if row.get(f.name) is None else "'%s'" % row[f.name] for f in table.fields[1:]]
            lines.append('INSERT INTO "%s" (%s) VALUES (%s);' % (table.name, names, ", ".join(cells)))
    return "\n".join(lines) + "\n"


def main():
    seed, count, folder = int(sys.argv[1]), int(sys.argv[2]), Path(sys.argv[3])
    for number in range(count):
        rng = random.Random(seed * 100003 + number)
        tables, views, sequences = old_schema(rng)
        new_tables, new_views, new_sequences, renames = mutate(rng, tables, views, sequences)
        case = folder / ("r%d" % number)
        case.mkdir(parents=True, exist_ok=True)
        (case / "old.def").write_text(definition(tables, views, sequences))
        (case / "new.def").write_text(definition(new_tables, new_views, new_sequences))
        (case / "app_old.sql").write_text(app_rows(tables))
        (case / "app_new.sql").write_text(app_rows(new_tables))
        options = []
        for rename in renames:
            options += ["--rename", rename]
        (case / "options").write_text("\n".join(options + ["--allow-destructive"]) + "\n")


if __name__ == "__main__":
    main()
