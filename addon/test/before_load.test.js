'use strict';

// Runs in a fresh process: everything here happens before, and then right
// after, the first library is loaded. The tests run in order and share the
// addon's process-wide library handle.

const test = require('node:test');
const assert = require('node:assert/strict');
const {
  MESSAGES,
  bridgePath,
  loadAddon,
  takeBridgeCalls,
  withConsole,
} = require('../test_support/harness');

const addon = loadAddon();

test('exports the three functions in order, under their own names', () => {
  assert.deepEqual(Object.keys(addon), ['vynAddonInit', 'setUserID', 'getSystemCache']);
  for (const name of Object.keys(addon)) {
    assert.equal(typeof addon[name], 'function');
    assert.equal(addon[name].name, name);
  }
});

test('missing arguments are reported, not thrown', () => {
  const init = withConsole(() => addon.vynAddonInit());
  assert.equal(init.result, -1);
  assert.deepEqual(init.messages, [MESSAGES.initNeedsArgument]);

  const setId = withConsole(() => addon.setUserID());
  assert.equal(setId.result, undefined);
  assert.deepEqual(setId.messages, [MESSAGES.setUserIdNeedsArgument]);
});

test('nothing loaded yet', async (t) => {
  await t.test('getSystemCache returns undefined and logs nothing', () => {
    const cache = withConsole(() => addon.getSystemCache('ignored'));
    assert.equal(cache.result, undefined);
    assert.deepEqual(cache.messages, []);
  });

  await t.test('setUserID asks for the init call first', () => {
    const setId = withConsole(() => addon.setUserID('user-1'));
    assert.equal(setId.result, undefined);
    assert.deepEqual(setId.messages, [MESSAGES.notLoaded]);
  });

  await t.test('one argument returns and logs the failed-load code', () => {
    const init = withConsole(() => addon.vynAddonInit('text'));
    assert.ok(Number.isInteger(init.result), `not an integer: ${init.result}`);
    // A code of 0 would read as success although nothing is loaded.
    assert.ok(init.result > 0, `code ${init.result}`);
    assert.deepEqual(init.messages, [MESSAGES.loadFailed(init.result)]);
  });

  await t.test('three arguments do not load the path they carry', () => {
    const init = withConsole(() => addon.vynAddonInit('text', bridgePath(), 'extra'));
    assert.ok(init.result > 0);
    assert.deepEqual(init.messages, [MESSAGES.loadFailed(init.result)]);
    assert.equal(addon.getSystemCache(), undefined);
  });

  assert.deepEqual(takeBridgeCalls(), []);
});

test('after a load, calls without exactly two arguments use that library', () => {
  const first = withConsole(() => addon.vynAddonInit('first', bridgePath()));
  assert.equal(first.result, 0);
  assert.deepEqual(first.messages, [MESSAGES.loaded, MESSAGES.initialised]);

  // The second argument of a three-argument call names a library without the
  // init export; it must not be loaded.
  const three = withConsole(() =>
    addon.vynAddonInit('three', bridgePath('vyn_test_bridge_no_init'), 'extra'),
  );
  assert.equal(three.result, 0);
  assert.deepEqual(three.messages, [MESSAGES.loaded, MESSAGES.initialised]);

  const one = withConsole(() => addon.vynAddonInit('one'));
  assert.equal(one.result, 0);

  const calls = takeBridgeCalls();
  assert.deepEqual(
    calls.map((c) => [c.library, c.name, c.bytes.toString()]),
    [
      ['vyn_test_bridge', 'vynAddonInit', 'first'],
      ['vyn_test_bridge', 'vynAddonInit', 'three'],
      ['vyn_test_bridge', 'vynAddonInit', 'one'],
    ],
  );
});
