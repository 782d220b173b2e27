'use strict';

// Shared by the addon's JavaScript tests (kept outside test/, where the test
// runner would take every script for a test file). The build passes the
// addon and bridge locations through the environment.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

function requiredEnv(name) {
  const value = process.env[name];
  if (!value) {
    throw new Error(`${name} is not set; run these tests through ctest`);
  }
  return value;
}

const addonPath = requiredEnv('VYN_ADDON_PATH');
const bridgeDir = requiredEnv('VYN_TEST_BRIDGE_DIR');
const libraryExtension = process.platform === 'win32' ? '.dll' : '.so';

// Every test file runs in a process of its own, so each gets its own record.
const scratchDir = fs.mkdtempSync(path.join(os.tmpdir(), 'vyn-addon-test-'));
const recordPath = path.join(scratchDir, 'bridge-calls.txt');
process.env.VYN_TEST_BRIDGE_RECORD = recordPath;
process.on('exit', () => {
  try {
    fs.rmSync(scratchDir, { recursive: true, force: true });
  } catch {
    // Windows keeps a library that is still loaded, as the copies made here
    // are until the process has ended; the rest is gone.
  }
});

// The text the full test bridge answers getSystemCache with.
const SYSTEM_CACHE_TEXT = '{"cpu":"x86-64","名称":"测试机 ✓"}';

const MESSAGES = {
  initNeedsArgument: '[VYN Addon] Error: init function requires at least 1 parameter',
  setUserIdNeedsArgument: '[VYN Addon] Error: setUserID function requires at least 1 parameter',
  loaded: '[VYN Addon] DLL loaded successfully',
  initialised: '[VYN Addon] Initialization completed',
  noInitExport: '[VYN Addon] Error: Failed to get vynAddonInit function address',
  notLoaded: '[VYN Addon] Error: DLL is not loaded. Please call init function first.',
  noUserIdExport: '[VYN Addon] Error: Failed to get vynSetUserID function address',
  userIdSet: '[VYN Addon] UserID set successfully',
  loadFailed: (code) => `[VYN Addon] Error: Failed to load DLL. Error code: ${code}`,
};

function loadAddon() {
  return require(addonPath);
}

function bridgePath(variant = 'vyn_test_bridge') {
  return path.join(bridgeDir, variant + libraryExtension);
}

// Runs fn with console.log replaced and returns its result together with
// every call the addon made to console.log.
function withConsole(fn) {
  const realLog = console.log;
  const calls = [];
  console.log = function (...args) {
    calls.push({ receiver: this, args });
  };
  let result;
  try {
    result = fn();
  } finally {
    console.log = realLog;
  }
  const messages = calls.map((call) => (call.args.length === 1 ? call.args[0] : call.args));
  return { result, messages, calls };
}

// The bridge calls recorded since the last take, as
// { library, call, name, bytes (Buffer or null), length }.
function takeBridgeCalls() {
  if (!fs.existsSync(recordPath)) {
    return [];
  }
  const text = fs.readFileSync(recordPath, 'latin1');
  fs.rmSync(recordPath);
  return text
    .split('\n')
    .filter((line) => line !== '')
    .map((line) => {
      const [library, call, name, hex, length] = line.split(' ');
      let bytes = null;
      if (hex === '-') {
        bytes = Buffer.alloc(0);
      } else if (hex !== 'null') {
        bytes = Buffer.from(hex, 'hex');
      }
      return { library, call: Number(call), name, bytes, length: Number(length) };
    });
}

module.exports = {
  MESSAGES,
  SYSTEM_CACHE_TEXT,
  addonPath,
  bridgePath,
  loadAddon,
  scratchDir,
  takeBridgeCalls,
  withConsole,
};
