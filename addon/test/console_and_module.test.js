'use strict';

// How the addon reaches console.log, and how node takes the module itself.

const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const {
  MESSAGES,
  addonPath,
  bridgePath,
  loadAddon,
  scratchDir,
  takeBridgeCalls,
  withConsole,
} = require('../test_support/harness');

const addon = loadAddon();

test('messages go to console.log as one string, with console as receiver', () => {
  const { calls } = withConsole(() => addon.vynAddonInit());
  assert.equal(calls.length, 1);
  assert.equal(calls[0].receiver, console);
  assert.deepEqual(calls[0].args, [MESSAGES.initNeedsArgument]);
});

test('a missing or broken console changes nothing but the messages', async (t) => {
  const realConsole = Object.getOwnPropertyDescriptor(globalThis, 'console');
  const realLog = console.log;
  t.after(() => {
    Object.defineProperty(globalThis, 'console', realConsole);
    console.log = realLog;
  });
  const attempts = {
    'console is not an object': () => {
      globalThis.console = 7;
    },
    'console.log is not a function': () => {
      Object.defineProperty(globalThis, 'console', realConsole);
      console.log = 'log';
    },
    'console.log throws': () => {
      console.log = () => {
        throw new Error('console broken');
      };
    },
    'reading console throws': () => {
      Object.defineProperty(globalThis, 'console', {
        configurable: true,
        get() {
          throw new Error('no console');
        },
      });
    },
  };
  for (const [what, breakConsole] of Object.entries(attempts)) {
    breakConsole();
    let results;
    try {
      results = [addon.vynAddonInit(), addon.vynAddonInit('t', bridgePath()), addon.setUserID('u')];
    } finally {
      Object.defineProperty(globalThis, 'console', realConsole);
      console.log = realLog;
    }
    assert.deepEqual(results, [-1, 0, undefined], what);
    assert.deepEqual(
      takeBridgeCalls().map((c) => c.name),
      ['vynAddonInit', 'vynAddonInit2'],
      what,
    );
  }
});

test('node refuses a build for another module version', () => {
  const foreignPath = process.env.VYN_ADDON_FOREIGN_PATH;
  const foreignVersion = process.env.VYN_ADDON_FOREIGN_VERSION;
  assert.ok(foreignPath && foreignVersion, 'VYN_ADDON_FOREIGN_PATH/VERSION not set');
  assert.notEqual(foreignVersion, process.versions.modules);
  assert.throws(
    () => require(foreignPath),
    (error) =>
      error.message.includes(`NODE_MODULE_VERSION ${foreignVersion}.`) &&
      error.message.includes(`requires\nNODE_MODULE_VERSION ${process.versions.modules}.`),
  );
});

test('the module registers as not context-aware', () => {
  const script = `require(${JSON.stringify(addonPath)})`;
  const plain = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8' });
  assert.equal(plain.status, 0, plain.stderr);
  const strict = spawnSync(process.execPath, ['--force-context-aware', '-e', script], {
    encoding: 'utf8',
  });
  assert.notEqual(strict.status, 0);
  assert.match(strict.stderr, /non context-aware native addons has been disabled/);
});

test('the shipped self-check passes beside the module and fails for a foreign one', () => {
  // Laid out as the release ships them, in a folder of their own.
  const folder = fs.mkdtempSync(path.join(scratchDir, 'release-'));
  const bridge = bridgePath('vyn-check-bridge');
  fs.copyFileSync(addonPath, path.join(folder, 'vynAddon.node'));
  fs.copyFileSync(bridge, path.join(folder, path.basename(bridge)));
  fs.copyFileSync(
    path.join(__dirname, '..', 'check', 'addon-check.js'),
    path.join(folder, 'addon-check.js'),
  );
  const check = (...args) =>
    spawnSync(process.execPath, [path.join(folder, 'addon-check.js'), ...args], {
      encoding: 'utf8',
      env: { ...process.env, ELECTRON_RUN_AS_NODE: '1' },
    });

  const good = check();
  assert.equal(good.status, 0, good.stdout + good.stderr);
  assert.match(good.stdout, /^vynAddon check: PASS$/m);
  assert.doesNotMatch(good.stdout, /FAIL/);

  const foreign = check(process.env.VYN_ADDON_FOREIGN_PATH);
  assert.equal(foreign.status, 1, foreign.stdout + foreign.stderr);
  assert.match(foreign.stdout, /^FAIL {2}the module loads: .*NODE_MODULE_VERSION/m);
  assert.match(foreign.stdout, /^vynAddon check: FAIL$/m);
});
