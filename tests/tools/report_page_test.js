#!/usr/bin/env node
// `vyn-logview report --html` opened in a real headless browser: the page
// loads with no error and no request, draws its three charts, and shows a
// hostile log text as text. The screenshot is kept for a person to look at.
//
// Usage: report_page_test.js VYN-LOGVIEW CHROMIUM WORK-DIR
'use strict';
const assert = require('assert');
const { spawnSync } = require('child_process');
const fs = require('fs');
const path = require('path');

const [logview, chromium, work] = process.argv.slice(2);
const logs = path.join(work, 'logs');
fs.rmSync(work, { recursive: true, force: true });
fs.mkdirSync(logs, { recursive: true });

const HOSTILE = '</script><img src=x onerror="document.body.dataset.owned=1">';
// A small fleet: three days, two Windows releases, two launcher versions,
// every kind of ending the charts colour, one installation failing its check.
let pid = 100;
function run(day, second, version, release, ending, readyMs, integrity) {
  pid += 1;
  const t0 = Date.parse(`2026-12-0${day}T08:00:${second}.000Z`);
  const at = (ms, event, extra = '') =>
    `{"level":"info","installId":"${integrity === 'failed' ? 'inst-<b>' : 'inst-ok'}",` +
    `"ts":"${new Date(t0 + ms).toISOString()}","launcherVersion":"${version}",` +
    `"eventName":"${event}"${extra},"processId":${pid},"threadId":1}\n`;
  let out = at(0, 'launcher_init') + at(20, 'process_launch_success');
  if (ending === 'ready') out += at(readyMs, 'signal_received');
  out += at(readyMs + 5, 'launcher_env', `,"env":{"osRelease":"${release}"}`);
  out += {
    ready: at(readyMs + 10, 'launcher_exit_on_ready'),
    timeout: at(readyMs + 10, 'launcher_exit_early', ',"reason":"ready_signal_timeout"'),
    failed: at(readyMs + 10, 'launcher_exit_early', ',"reason":"failed_to_launch"'),
  }[ending];
  const error = integrity === 'failed' ? `,"error":${JSON.stringify(HOSTILE)}` : '';
  return out + at(readyMs + 20, `integrity_verify_${integrity}`, error);
}
for (let day = 1; day <= 3; day += 1) {
  let log = '';
  for (let i = 0; i < 12; i += 1) {
    const ending = i % 6 === 5 ? 'timeout' : i % 6 === 4 && day === 2 ? 'failed' : 'ready';
    log += run(day, String(10 + i), i % 3 ? '3.0.0' : '3.1.0', i % 2 ? '22631' : '19045', ending,
      400 + 150 * i + 300 * day, i === 7 ? 'failed' : 'passed');
  }
  fs.writeFileSync(path.join(logs, `user${day}.log`), log);
}

const page = path.join(work, 'report.html');
const made = spawnSync(logview, ['report', '--html', page, logs], { encoding: 'utf8' });
assert.strictEqual(made.status, 0, made.stderr);
const html = fs.readFileSync(page, 'utf8');
assert.doesNotMatch(html, /<(script|link|img|iframe)\b[^>]*\b(src|href)=/i, 'nothing loads from elsewhere');
assert.ok(!html.includes(HOSTILE), 'a log text cannot close the data element');

function browse(...args) {
  const profile = fs.mkdtempSync(path.join(work, 'profile-'));
  const r = spawnSync(chromium, [
    '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    '--enable-logging=stderr', '--v=0', `--user-data-dir=${profile}`, ...args,
    `file://${page}`,
  ], { encoding: 'utf8', timeout: 60000 });
  assert.strictEqual(r.status, 0, `${chromium} failed: ${r.stderr}`);
  // The page's console messages; the browser's own complaints (no D-Bus, no
  // GPU) are no concern of the page.
  const messages = r.stderr.split('\n').filter((l) => /:CONSOLE[:(]/.test(l));
  assert.deepStrictEqual(messages, [], 'the console stays quiet');
  return r.stdout;
}

// One browser start both dumps the DOM and takes the screenshot.
const shot = path.join(work, 'report.png');
const dom = browse('--dump-dom', `--screenshot=${shot}`, '--window-size=1200,1800', '--hide-scrollbars');
const body = /<body[^>]*>/.exec(dom)[0];
assert.match(body, /data-charts-drawn="3"/, `charts not drawn: ${body}`);
assert.doesNotMatch(body, /data-page-errors|data-owned/, body);
assert.ok(dom.includes('<td>&lt;/script&gt;&lt;img src=x'), 'the error text is shown as text');
assert.ok(dom.includes('<td>inst-&lt;b&gt;</td><td>3</td>'), 'the installation is listed');
assert.ok(fs.statSync(shot).size > 20000, 'the screenshot holds more than a blank page');
console.log(`report page drawn; screenshot in ${shot}`);
