<?php
// Checks that the two writers tell the same schema: the PHP definitions that
// tabula wrote and the JSON that tabula-export wrote for the same input.
//
//   php -n -d short_open_tag=1 agree.php DEFINITIONS.php EXPORT.json
//
// Every function, query, sequence, table (with its fields, links and rows)
// and view must be in both, in the same order, with the same bytes.
declare(strict_types=1);

error_reporting(E_ALL);
set_error_handler(function (int $severity, string $message, string $file, int $line): bool {
    throw new ErrorException($message, 0, $severity, $file, $line);
});

final class const_sql
{
    const DB_PIECE_TEXT = 'text';
    const DB_PIECE_PARAM = 'param';
    const DB_PIECE_RAW = 'raw';
    const DB_OPTIMIZE_NONE = 'none';
    const DB_OPTIMIZE_INDEX = 'index';
    const DB_OPTIMIZE_PRIMARY = 'primary';
    const DB_LINK_INCOMING = 'incoming';
    const DB_LINK_OUTGOING = 'outgoing';
}

final class schema_definitions
{
    public $plsql;
    public $queries;
    public $sequences;
    public $tables;
    public $views;

    public function load(string $path): void
    {
        ob_start();
        include $path;
        ob_end_clean();
    }
}

$failures = [];

function same(string $where, $php, $json): void
{
    global $failures;
    if ($php !== $json) {
        $failures[] = "$where: PHP has " . var_export($php, true) . ", JSON has " . var_export($json, true);
    }
}

// PHP turns keys that look like integers into integers; the names are texts.
function names(array $map): array
{
    return array_map('strval', array_keys($map));
}

function json_names(array $list): array
{
    return array_column($list, 'name');
}

/** Compares a PHP map of name => value with a JSON list of named objects. */
function each_pair(string $where, array $php, array $json, callable $compare): void
{
    same("$where names", names($php), json_names($json));
    $index = 0;
    foreach ($php as $name => $value) {
        if (isset($json[$index])) {
            $compare("$where \"$name\"", $value, $json[$index]);
        }
        ++$index;
    }
}

function variables(string $where, array $php, array $json): void
{
    same("$where names", names($php), json_names($json));
    same("$where types", array_values($php), array_column($json, 'sql'));
}

[$script, $php_file, $json_file] = $argv;
$php = new schema_definitions();
$php->load($php_file);
$json = json_decode(file_get_contents($json_file), true, 512, JSON_THROW_ON_ERROR);
same('format', 'tabula-schema', $json['format']);

each_pair('function', $php->plsql, $json['plsql'], function (string $where, array $p, array $j): void {
    same("$where return type", $p['returns']['type'], $j['returns']['sql']);
    same("$where setof", $p['returns']['setof'], $j['returns']['set']);
    variables("$where args", $p['args'], $j['args']);
    variables("$where locals", $p['locals'], $j['locals']);
    same("$where body", $p['body'], $j['body']);
});

each_pair('query', $php->queries, $json['queries'], function (string $where, array $p, array $j): void {
    $pieces = array_map(fn ($piece) => [$piece['type'], $piece['value']], $p['pieces']);
    $json_pieces = array_map(fn ($piece) => [$piece['kind'], $piece['text'] ?? $piece['number']], $j['pieces']);
    same("$where pieces", $pieces, $json_pieces);
    same("$where fields", $p['fields'], array_column($j['fields'], 'sql'));
});

each_pair('sequence', $php->sequences, $json['sequences'], function (string $where, int $p, array $j): void {
    same("$where start", $p, $j['start']);
});

each_pair('table', $php->tables, $json['tables'], function (string $where, array $p, array $j): void {
    same("$where volatile", $p['volatile'], $j['volatile']);
    same("$where primary", (string) $p['primary'], $j['primary']);
    each_pair("$where field", $p['fields'], $j['fields'], function (string $where, array $p, array $j): void {
        same("$where type", $p['type'], $j['sql']);
        same("$where nullable", $p['nullable'], $j['nullable']);
        same("$where index", $p['optimize'], $j['index']);
        same("$where links", $p['links'], $j['links']);
    });
    same("$where rows", $p['init'], $j['rows']);
});

each_pair('view', $php->views, $json['views'], function (string $where, string $p, array $j): void {
    same("$where definition", $p, $j['sql']);
});

if ($failures) {
    fwrite(STDERR, implode("\n", $failures) . "\n");
    exit(1);
}
echo "the PHP definitions and the JSON export agree\n";
