'use strict';
// The problem matcher of package.json, applied the way VS Code applies it (its
// regular expression on each line of the task's output) to what a real tabula
// prints for the projects of editors/test/make-errors.sh: exactly one problem
// per run, at the right file and line, with the whole message, as an error
// (the matcher's default severity); and to tabula-lint's finding lines, each
// a warning. The regular expression is one of a few pieces, explained here:
// - a lookahead takes the file and line: at the start of the line (a
//   finding), or after the first " in " outside double quotes (an error whose
//   message repeats names holding " in /"), or, where the quotes do not pair
//   up, after the last " in ";
// - the message is what comes before that " in ", or after ": warning: ".
// Usage: node problem-matcher.js TABULA SCRATCH_DIR
const assert = require('assert');
const fs = require('fs');
const path = require('path');
const { execFileSync, spawnSync } = require('child_process');

const [tabula, scratch] = process.argv.slice(2);
const manifest = JSON.parse(fs.readFileSync(path.join(__dirname, '..', 'package.json'), 'utf8'));
const matcher = manifest.contributes.problemMatchers.find((m) => m.name === 'tabula');
assert.strictEqual(matcher.fileLocation, 'absolute');
const regexp = new RegExp(matcher.pattern.regexp);

function problemOf(text) {
    const m = regexp.exec(text);
    return m && {
        file: m[matcher.pattern.file],
        line: m[matcher.pattern.line],
        severity: m[matcher.pattern.severity] || matcher.severity,
        message: m[matcher.pattern.message],
    };
}

execFileSync('bash', [path.join(__dirname, '..', '..', 'test', 'make-errors.sh'), scratch]);
const cases = fs.readFileSync(path.join(scratch, 'cases.tsv'), 'utf8').trim().split('\n');
for (const line of cases) {
    const [root, file, lineNumber, message] = line.split('\t');
    const run = spawnSync(tabula, ['--output', path.join(scratch, 'out.php'), path.basename(root)],
                          { cwd: path.dirname(root), encoding: 'utf8' });
    assert.strictEqual(run.status, 2, run.stderr);
    const problems = run.stderr.split('\n').map(problemOf).filter(Boolean);
    assert.strictEqual(problems.length, 1, `one problem expected in:\n${run.stderr}`);
    assert.deepStrictEqual(problems[0], { file, line: lineNumber, severity: 'error', message: problems[0].message });
    assert.ok(problems[0].message.startsWith(message), `message "${problems[0].message}"`);
    assert.ok(!problems[0].message.includes(file), `message "${problems[0].message}"`);
    console.log(`ok: ${path.relative(scratch, root)} -> ${path.basename(file)}:${lineNumber}`);
}

const findings = fs.readFileSync(path.join(scratch, 'lint.tsv'), 'utf8').trim().split('\n');
for (const finding of findings) {
    const [text, file, line, message] = finding.split('\t');
    assert.deepStrictEqual(problemOf(text), { file, line, severity: 'warning', message });
    console.log(`ok: finding at ${path.basename(file)}:${line}`);
}
