'use strict';
// The problem matcher of package.json, applied the way VS Code applies it (its
// regular expression on each line of the task's output) to what a real tabula
// prints for the projects of editors/test/make-errors.sh: exactly one problem
// per run, at the right file and line, with the whole message.
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

execFileSync('bash', [path.join(__dirname, '..', '..', 'test', 'make-errors.sh'), scratch]);
const cases = fs.readFileSync(path.join(scratch, 'cases.tsv'), 'utf8').trim().split('\n');
for (const line of cases) {
    const [root, file, lineNumber, message] = line.split('\t');
    const run = spawnSync(tabula, ['--output', path.join(scratch, 'out.php'), path.basename(root)],
                          { cwd: path.dirname(root), encoding: 'utf8' });
    assert.strictEqual(run.status, 2, run.stderr);
    const problems = run.stderr.split('\n').map((text) => regexp.exec(text)).filter(Boolean).map((m) => ({
        file: m[matcher.pattern.file],
        line: m[matcher.pattern.line],
        message: m[matcher.pattern.message],
    }));
    assert.strictEqual(problems.length, 1, `one problem expected in:\n${run.stderr}`);
    assert.strictEqual(problems[0].file, file);
    assert.strictEqual(problems[0].line, lineNumber);
    assert.ok(problems[0].message.startsWith(message), `message "${problems[0].message}"`);
    assert.ok(!problems[0].message.includes(file), `message "${problems[0].message}"`);
    console.log(`ok: ${path.relative(scratch, root)} -> ${path.basename(file)}:${lineNumber}`);
}
