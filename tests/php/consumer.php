<?php
// A database layer's view of a PHP file written by tabula.
//
//   php consumer.php DEFINITIONS.php [EXPECTED.json]
//
// The file is included inside a method of an object, as a database layer
// does, with a const_sql class of its own. The run fails when the include
// prints anything, raises any warning, notice or deprecation, leaves the
// object with anything but the five arrays, or when those arrays break the
// shape a layer relies on (every table names its primary field, every row
// has one value per field, every link names a table, ...). With EXPECTED.json,
// the five arrays must also be exactly (same keys, same order, same types,
// same bytes) what that file holds. In it the const_sql constants appear as
// their own names, e.g. "DB_OPTIMIZE_PRIMARY".
declare(strict_types=1);

error_reporting(E_ALL);
set_error_handler(function (int $severity, string $message, string $file, int $line): bool {
    throw new ErrorException($message, 0, $severity, $file, $line);
});

final class const_sql
{
    const DB_PIECE_TEXT = 'DB_PIECE_TEXT';
    const DB_PIECE_PARAM = 'DB_PIECE_PARAM';
    const DB_PIECE_RAW = 'DB_PIECE_RAW';
    const DB_OPTIMIZE_NONE = 'DB_OPTIMIZE_NONE';
    const DB_OPTIMIZE_INDEX = 'DB_OPTIMIZE_INDEX';
    const DB_OPTIMIZE_PRIMARY = 'DB_OPTIMIZE_PRIMARY';
    const DB_LINK_INCOMING = 'DB_LINK_INCOMING';
    const DB_LINK_OUTGOING = 'DB_LINK_OUTGOING';
}

// Stands for the database layer: it declares the five properties the file
// assigns and includes the file from one of its methods.
final class schema_definitions
{
    public $plsql = null;
    public $queries = null;
    public $sequences = null;
    public $tables = null;
    public $views = null;

    /** Returns what the include printed and what it returned. */
    public function load(string $path): array
    {
        ob_start();
        try {
            $returned = include $path;
        } finally {
            $printed = ob_get_clean();
        }
        return [$printed, $returned];
    }
}

const SECTIONS = ['plsql', 'queries', 'sequences', 'tables', 'views'];

$failures = [];

function fail(string $message): void
{
    global $failures;
    $failures[] = $message;
}

function show($value): string
{
    return var_export($value, true);
}

function is_list_array($value): bool
{
    return is_array($value) && array_is_list($value);
}

/** Checks that $record is an array with exactly $keys, in that order. */
function has_keys(string $where, $record, array $keys): bool
{
    if (!is_array($record)) {
        fail("$where: not an array but " . show($record));
        return false;
    }
    if (array_keys($record) !== $keys) {
        fail("$where: keys " . show(array_keys($record)) . ", expected " . show($keys));
        return false;
    }
    return true;
}

function check_type_text(string $where, $value): void
{
    if (!is_string($value)) {
        fail("$where: SQL type is not a string: " . show($value));
    }
}

function check_plsql(array $functions): void
{
    foreach ($functions as $name => $function) {
        $where = "plsql[$name]";
        if (!has_keys($where, $function, ['returns', 'args', 'locals', 'body'])) {
            continue;
        }
        if (has_keys("$where.returns", $function['returns'], ['type', 'setof'])) {
            check_type_text("$where.returns.type", $function['returns']['type']);
            if (!is_bool($function['returns']['setof'])) {
                fail("$where.returns.setof is not a boolean");
            }
        }
        $seen = [];
        foreach (['args', 'locals'] as $block) {
            if (!is_array($function[$block])) {
                fail("$where.$block is not an array");
                continue;
            }
            foreach ($function[$block] as $variable => $type) {
                check_type_text("$where.{$block}[$variable]", $type);
                if (isset($seen[$variable])) {
                    fail("$where: variable $variable is declared twice");
                }
                $seen[$variable] = true;
            }
        }
        if (!is_string($function['body'])) {
            fail("$where.body is not a string");
        }
    }
}

function check_queries(array $queries): void
{
    foreach ($queries as $name => $query) {
        $where = "queries[$name]";
        if (!has_keys($where, $query, ['pieces', 'fields'])) {
            continue;
        }
        if (!is_list_array($query['pieces'])) {
            fail("$where.pieces is not a list");
        } else {
            $previous = null;
            foreach ($query['pieces'] as $i => $piece) {
                if (!has_keys("$where.pieces[$i]", $piece, ['type', 'value'])) {
                    continue;
                }
                $type = $piece['type'];
                $value = $piece['value'];
                if ($type === const_sql::DB_PIECE_TEXT) {
                    if (!is_string($value) || $value === '') {
                        fail("$where.pieces[$i]: a text piece holds " . show($value));
                    }
                    if ($previous === const_sql::DB_PIECE_TEXT) {
                        fail("$where.pieces[$i]: two text pieces in a row");
                    }
                } elseif ($type === const_sql::DB_PIECE_PARAM || $type === const_sql::DB_PIECE_RAW) {
                    if (!is_int($value) || $value < 0) {
                        fail("$where.pieces[$i]: a parameter piece holds " . show($value));
                    }
                } else {
                    fail("$where.pieces[$i]: unknown piece type " . show($type));
                }
                $previous = $type;
            }
        }
        if (!is_list_array($query['fields'])) {
            fail("$where.fields is not a list");
        } else {
            foreach ($query['fields'] as $i => $type) {
                check_type_text("$where.fields[$i]", $type);
            }
        }
    }
}

function check_sequences(array $sequences): void
{
    foreach ($sequences as $name => $start) {
        if (!is_int($start)) {
            fail("sequences[$name] is not an integer: " . show($start));
        }
    }
}

function check_tables(array $tables, array $views): void
{
    $optimize = [const_sql::DB_OPTIMIZE_NONE, const_sql::DB_OPTIMIZE_INDEX, const_sql::DB_OPTIMIZE_PRIMARY];
    $direction = [const_sql::DB_LINK_INCOMING, const_sql::DB_LINK_OUTGOING];
    foreach ($tables as $name => $table) {
        $where = "tables[$name]";
        if (array_key_exists($name, $views)) {
            fail("$where: a view has the same name");
        }
        if (!has_keys($where, $table, ['volatile', 'primary', 'fields', 'init'])) {
            continue;
        }
        if (!is_bool($table['volatile'])) {
            fail("$where.volatile is not a boolean");
        }
        if (!is_array($table['fields']) || $table['fields'] === []) {
            fail("$where.fields is empty or not an array");
            continue;
        }
        $primaries = [];
        foreach ($table['fields'] as $field => $info) {
            $at = "$where.fields[$field]";
            if (!has_keys($at, $info, ['type', 'nullable', 'optimize', 'links'])) {
                continue;
            }
            check_type_text("$at.type", $info['type']);
            if (!is_bool($info['nullable'])) {
                fail("$at.nullable is not a boolean");
            }
            if (!in_array($info['optimize'], $optimize, true)) {
                fail("$at.optimize is " . show($info['optimize']));
            }
            if ($info['optimize'] === const_sql::DB_OPTIMIZE_PRIMARY) {
                $primaries[] = $field;
            }
            if (!is_list_array($info['links'])) {
                fail("$at.links is not a list");
                continue;
            }
            foreach ($info['links'] as $i => $link) {
                if (!has_keys("$at.links[$i]", $link, ['table', 'direction'])) {
                    continue;
                }
                if (!is_string($link['table']) || !array_key_exists($link['table'], $tables)) {
                    fail("$at.links[$i] names no table: " . show($link['table']));
                }
                if (!in_array($link['direction'], $direction, true)) {
                    fail("$at.links[$i].direction is " . show($link['direction']));
                }
            }
        }
        if ($primaries !== [$table['primary']]) {
            fail("$where.primary is " . show($table['primary']) . " but the primary fields are " . show($primaries));
        }
        if (!is_list_array($table['init'])) {
            fail("$where.init is not a list");
            continue;
        }
        $names = array_keys($table['fields']);
        foreach ($table['init'] as $r => $row) {
            if (!is_list_array($row) || count($row) !== count($names)) {
                fail("$where.init[$r] does not hold one value per field: " . show($row));
                continue;
            }
            foreach ($row as $i => $value) {
                $field = $names[$i];
                if ($value === null && $table['fields'][$field]['nullable'] !== true) {
                    fail("$where.init[$r]: null for the non-nullable field $field");
                } elseif ($value !== null && !is_string($value)) {
                    fail("$where.init[$r]: the value for $field is " . show($value));
                }
            }
        }
    }
}

function check_views(array $views): void
{
    foreach ($views as $name => $definition) {
        if (!is_string($definition)) {
            fail("views[$name] is not a string: " . show($definition));
        }
    }
}

/** The first place where $actual differs from $expected, or null. */
function first_difference(string $where, $expected, $actual): ?string
{
    if (is_array($expected) && is_array($actual)) {
        $expected_keys = array_keys($expected);
        $actual_keys = array_keys($actual);
        if ($expected_keys !== $actual_keys) {
            return "$where: keys differ\n  expected " . show($expected_keys) . "\n  actual   " . show($actual_keys);
        }
        foreach ($expected as $key => $value) {
            $difference = first_difference("{$where}[" . show($key) . "]", $value, $actual[$key]);
            if ($difference !== null) {
                return $difference;
            }
        }
        return null;
    }
    if ($expected !== $actual) {
        return "$where differs\n  expected " . show($expected) . "\n  actual   " . show($actual);
    }
    return null;
}

if ($argc < 2 || $argc > 3) {
    fwrite(STDERR, "usage: php consumer.php DEFINITIONS.php [EXPECTED.json]\n");
    exit(2);
}
$path = $argv[1];

$definitions = new schema_definitions();
try {
    [$printed, $returned] = $definitions->load($path);
} catch (Throwable $error) {
    fwrite(STDERR, "FAIL: including $path: " . get_class($error) . ': ' . $error->getMessage()
        . ' at ' . $error->getFile() . ':' . $error->getLine() . "\n");
    exit(1);
}
if ($printed !== '') {
    fail('the include printed ' . show($printed));
}
if ($returned !== 1) {
    fail('the include returned ' . show($returned));
}
if (array_keys(get_object_vars($definitions)) !== SECTIONS) {
    fail('the object holds ' . show(array_keys(get_object_vars($definitions))));
}
$arrays = true;
foreach (SECTIONS as $section) {
    if (!is_array($definitions->$section)) {
        fail("\$this->$section is not an array: " . show($definitions->$section));
        $arrays = false;
    }
}
if ($arrays) {
    check_plsql($definitions->plsql);
    check_queries($definitions->queries);
    check_sequences($definitions->sequences);
    check_tables($definitions->tables, $definitions->views);
    check_views($definitions->views);
}

if ($arrays && $argc === 3) {
    $expected = json_decode(file_get_contents($argv[2]), true, 512, JSON_THROW_ON_ERROR);
    if (!is_array($expected) || array_keys($expected) !== SECTIONS) {
        fwrite(STDERR, "$argv[2] must hold an object with the keys " . implode(', ', SECTIONS) . " in that order\n");
        exit(2);
    }
    foreach (SECTIONS as $section) {
        $difference = first_difference("\$this->$section", $expected[$section], $definitions->$section);
        if ($difference !== null) {
            fail($difference);
        }
    }
}

foreach ($failures as $failure) {
    fwrite(STDERR, "FAIL: $failure\n");
}
exit($failures === [] ? 0 : 1);
