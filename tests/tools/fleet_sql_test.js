'use strict';

// node fleet_sql_test.js <SUPPORT.md> <logs folder> <node_modules with DuckDB> <viewer command...>
//
// Two independent readings of the same logs must agree number for number:
// the SQL blocks of the support guide, run as they stand in DuckDB from the
// logs folder, and `vyn-logview summary --json` (a Windows viewer is given
// the folder as a Windows path).

const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const MARKER = /^<!-- tests run this block as: ([\w-]+) -->$/;

function sqlBlocks(markdown) {
  const lines = markdown.split('\n');
  const blocks = new Map();
  for (let i = 0; i < lines.length; ++i) {
    const marker = MARKER.exec(lines[i]);
    if (!marker) continue;
    if (lines[i + 1] !== '```sql') throw new Error(`the block "${marker[1]}" must follow its marker`);
    const end = lines.indexOf('```', i + 2);
    if (end < 0) throw new Error(`the block "${marker[1]}" is not closed`);
    blocks.set(marker[1], lines.slice(i + 2, end).join('\n'));
  }
  return blocks;
}

// DuckDB hands big integers over as BigInt; the viewer's JSON has numbers.
function plain(rows) {
  return rows.map((row) =>
    Object.fromEntries(Object.entries(row).map(([k, v]) => [k, typeof v === 'bigint' ? Number(v) : v])));
}

async function main() {
  const [guide, logs, modules, ...viewer] = process.argv.slice(2);
  const blocks = sqlBlocks(fs.readFileSync(guide, 'utf8'));
  const { DuckDBInstance } = require(path.join(path.resolve(modules), '@duckdb/node-api'));

  const windowsViewer = viewer[viewer.length - 1].endsWith('.exe');
  const logsArg = windowsViewer ? 'Z:' + path.resolve(logs).replace(/\//g, '\\') : logs;
  const view = (...args) =>
    execFileSync(viewer[0], [...viewer.slice(1), ...args, logsArg], { encoding: 'utf8' });
  const summary = JSON.parse(view('summary', '--json'));
  // The guide's "last week" becomes the days around the corpus's making.
  const day = (offset) => new Date(Date.now() + offset * 86400000).toISOString().slice(0, 10);
  const [since, until] = [day(-3), day(4)];
  const week = JSON.parse(view('summary', '--json', '--since', since, '--until', until,
                               '--by', 'osRelease', '--ready-within', '2000'));
  const byVersion = JSON.parse(view('summary', '--json', '--by', 'launcherVersion'));
  const byInstallation = JSON.parse(view('summary', '--json', '--by', 'installation'));
  const viewerRuns = view('runs').split('\n').filter((l) => l).map((l) => JSON.parse(l));

  process.chdir(logs);
  const connection = await (await DuckDBInstance.create(':memory:')).connect();
  const run = async (name, edit = (sql) => sql) => {
    if (!blocks.has(name)) throw new Error(`the guide has no block marked "${name}"`);
    return plain((await connection.runAndReadAll(edit(blocks.get(name)))).getRowObjectsJS());
  };
  await run('records');
  await run('runs');
  const [ready] = await run('ready');
  const [gpu] = await run('gpu');
  const [{ files, runs }] = plain(
    (await connection.runAndReadAll('SELECT COUNT(DISTINCT file) AS files, COUNT(*) AS runs FROM runs'))
      .getRowObjectsJS());

  // Row by row, apart from the file's name and the start's type, which
  // differ between the readers by nature.
  const rowsOf = (rows) => rows.map(({ file, start, ...row }) => JSON.stringify(row, Object.keys(row).sort())).sort();
  assert.deepEqual(rowsOf(await run('table')), rowsOf(viewerRuns.map(({ damagedLines, ...r }) => r)),
                   'the run table');
  assert.equal(summary.runs, runs, 'runs');
  assert.equal(summary.files, files, 'files');
  assert.deepEqual(summary.outcomes, await run('outcomes'), 'outcomes');
  assert.deepEqual(summary.readyMs, ready, 'time to ready');
  assert.deepEqual(summary.gpuFallback, gpu, 'GPU fallback');
  assert.deepEqual(summary.integrity, await run('integrity'), 'integrity');
  assert.deepEqual(summary.topErrors, await run('errors'), 'error events');
  assert.deepEqual(summary.byOsRelease, await run('os'), 'by Windows release');
  const [{ damagedLines }] = await run('damaged');
  assert.equal(summary.damagedLines, damagedLines, 'damaged lines');
  const lastWeek = (sql) => sql.replaceAll('2026-12-01', since).replaceAll('2026-12-08', until);
  assert.deepEqual(week.groups, await run('q-ready-within', lastWeek), 'ready within 2 s');
  assert.ok(week.groups.some((g) => g.readyWithin > 0 && g.readyWithin < g.starts),
            'no group with both fast and slow starts');
  assert.deepEqual(summary.integrityFailedBy, await run('q-integrity-installs'),
                   'installations with a failed check');
  assert.deepEqual(byVersion.groups, await run('q-version'), 'by launcher version');
  assert.deepEqual(byInstallation.groups, await run('q-installation'), 'by installation');
  // The logs hold one run of each common ending, a torn line and zeros; logs that
  // lost them would make the agreement above say little.
  for (const outcome of ['ready', 'ready_timeout', 'activated', 'launch_failed', 'second_launcher']) {
    assert.ok(summary.outcomes.some((o) => o.outcome === outcome), `no ${outcome} run in the logs`);
  }
  assert.ok(summary.gpuFallback.readyAfterRelaunch > 0, 'no GPU relaunch in the logs');
  assert.ok(summary.integrity.some((i) => i.result === 'failed'), 'no failed check in the logs');
  // A torn last line, and a crash's zero bytes before a record.
  assert.equal(summary.damagedLines, 2, 'the torn line and the zero bytes');
  console.log(JSON.stringify(summary, null, 1));
}

main().catch((e) => {
  console.error(e);
  process.exitCode = 1;
});
