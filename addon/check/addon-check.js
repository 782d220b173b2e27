'use strict';

// Checks, once, that vynAddon.node works in the application it was built
// for: the module loads there and each of its three functions reaches a
// bridge library with the exact bytes it was given. Run it with the
// application's own executable in Node mode, from the folder the release
// unpacked to:
//
//   set ELECTRON_RUN_AS_NODE=1
//   "C:\Program Files\VYN\VYN.exe" addon-check.js [path of vynAddon.node]
//
// (plain node.exe runs it too). It loads vynAddon.node from beside this file
// unless given a path, and vyn-check-bridge.dll from beside this file. It
// prints one line per step and PASS or FAIL, writes the same lines to
// vyn-addon-check.txt in the temporary folder (a window-less application may
// have no console to print to), and exits with 0 for PASS and 1 for FAIL.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { isMainThread } = require('node:worker_threads');

const modulePath = path.resolve(process.argv[2] || path.join(__dirname, 'vynAddon.node'));
const bridgePath = path.join(
  __dirname,
  'vyn-check-bridge' + (process.platform === 'win32' ? '.dll' : '.so'),
);
const reportPath = path.join(os.tmpdir(), 'vyn-addon-check.txt');

// What the check bridge answers getSystemCache with.
const BRIDGE_CACHE_TEXT = '{"cpu":"x86-64","名称":"测试机 ✓"}';
// Texts outside ASCII, so a wrong conversion shows.
const INIT_TEXT = 'vyn-check 初始化 ✓';
const USER_ID = 'user-42-é';

const report = [];
let failed = false;

function say(line) {
  report.push(line);
  process.stdout.write(line + '\n');
}

function pass(what) {
  say(`ok    ${what}`);
}

function fail(what) {
  failed = true;
  say(`FAIL  ${what}`);
}

function expect(condition, what, detail) {
  if (condition) {
    pass(what);
  } else {
    fail(detail === undefined ? what : `${what}: ${detail}`);
  }
  return condition;
}

// Calls fn with console.log captured, as the module reports through it.
function captured(fn) {
  const realLog = console.log;
  const messages = [];
  console.log = (...args) => messages.push(args.join(' '));
  try {
    return { result: fn(), messages };
  } finally {
    console.log = realLog;
  }
}

// The bridge appends "<library> <call> <export> <hex bytes> <length>" per call.
function takeBridgeCalls(recordPath) {
  if (!fs.existsSync(recordPath)) {
    return [];
  }
  const lines = fs.readFileSync(recordPath, 'latin1').split('\n').filter(Boolean);
  fs.rmSync(recordPath);
  return lines.map((line) => {
    const [, , name, hex, length] = line.split(' ');
    return { name, hex, length: Number(length) };
  });
}

function expectCall(recordPath, exportName, text) {
  const calls = takeBridgeCalls(recordPath);
  const bytes = Buffer.from(text, 'utf8');
  const wanted = `${exportName} ${bytes.toString('hex')} ${bytes.length}`;
  const got = calls.map((c) => `${c.name} ${c.hex} ${c.length}`).join(', ') || 'no call';
  expect(got === wanted, `the bridge's ${exportName} received the text's UTF-8 bytes`, `got ${got}`);
}

function hostName() {
  return process.versions.electron
    ? `electron ${process.versions.electron}`
    : `node ${process.versions.node}`;
}

function check() {
  say(`vynAddon check: ${modulePath}`);
  say(`host: ${hostName()}, module version ${process.versions.modules}, ${process.arch}`);
  expect(isMainThread, 'runs on the main thread (the module is not context-aware)');

  const buildInfoPath = path.join(path.dirname(modulePath), 'vynAddon.buildinfo.json');
  if (fs.existsSync(buildInfoPath)) {
    const built = JSON.parse(fs.readFileSync(buildInfoPath, 'utf8'));
    expect(
      String(built.moduleVersion) === process.versions.modules,
      `the module was built for this host's module version (${built.headers})`,
      `built for ${built.moduleVersion}, this host has ${process.versions.modules}`,
    );
  }

  let addon;
  try {
    addon = require(modulePath);
  } catch (error) {
    fail(`the module loads: ${error.message.replace(/\s+/g, ' ')}`);
    return;
  }
  pass('the module loads');
  const names = Object.keys(addon);
  if (
    !expect(
      names.join() === 'vynAddonInit,setUserID,getSystemCache' &&
        names.every((name) => typeof addon[name] === 'function'),
      'it offers vynAddonInit, setUserID and getSystemCache',
      `it offers ${names.join(', ')}`,
    )
  ) {
    return;
  }
  if (!expect(fs.existsSync(bridgePath), `the check bridge is at ${bridgePath}`)) {
    return;
  }

  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'vyn-addon-check-'));
  const recordPath = path.join(scratch, 'bridge-calls.txt');
  process.env.VYN_TEST_BRIDGE_RECORD = recordPath;
  try {
    const init = captured(() => addon.vynAddonInit(INIT_TEXT, bridgePath));
    expect(
      init.result === 0,
      'vynAddonInit loads the bridge and returns 0',
      `returned ${init.result}; it said: ${init.messages.join(' | ')}`,
    );
    expectCall(recordPath, 'vynAddonInit', INIT_TEXT);

    const setId = captured(() => addon.setUserID(USER_ID));
    expect(
      setId.result === undefined && setId.messages.includes('[VYN Addon] UserID set successfully'),
      'setUserID reports success',
      `it said: ${setId.messages.join(' | ')}`,
    );
    expectCall(recordPath, 'vynAddonInit2', USER_ID);

    const cache = addon.getSystemCache();
    expect(
      cache === BRIDGE_CACHE_TEXT,
      "getSystemCache returns the bridge's text",
      `returned ${JSON.stringify(cache)}`,
    );
  } finally {
    try {
      fs.rmSync(scratch, { recursive: true, force: true });
    } catch {
      // Only a leftover file in the temporary folder.
    }
  }
}

try {
  check();
} catch (error) {
  fail(`unexpected error: ${error && error.stack ? error.stack : error}`);
}
say(failed ? 'vynAddon check: FAIL' : 'vynAddon check: PASS');
try {
  fs.writeFileSync(reportPath, report.join('\r\n') + '\r\n');
} catch {
  // The printed lines and the exit code still tell.
}
process.exitCode = failed ? 1 : 0;
