'use strict';

// Libraries that lack exports or answer differently, failed loads, and how a
// failed load replaces a good library. The tests run in order and share the
// addon's process-wide library handle.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const {
  MESSAGES,
  SYSTEM_CACHE_TEXT,
  bridgePath,
  loadAddon,
  scratchDir,
  takeBridgeCalls,
  withConsole,
} = require('../test_support/harness');

const addon = loadAddon();

function loadFails(libraryPath, what) {
  const init = withConsole(() => addon.vynAddonInit('text', libraryPath));
  assert.ok(Number.isInteger(init.result) && init.result > 0, `${what}: ${init.result}`);
  assert.deepEqual(init.messages, [MESSAGES.loadFailed(init.result)], what);
  assert.equal(addon.getSystemCache(), undefined, what);
  return init.result;
}

test('a library without vynAddonInit: -3, and setUserID still reaches it', () => {
  const init = withConsole(() => addon.vynAddonInit('text', bridgePath('vyn_test_bridge_no_init')));
  assert.equal(init.result, -3);
  assert.deepEqual(init.messages, [MESSAGES.loaded, MESSAGES.noInitExport]);

  const setId = withConsole(() => addon.setUserID('用户-7'));
  assert.deepEqual(setId.messages, [MESSAGES.userIdSet]);
  assert.equal(addon.getSystemCache(), SYSTEM_CACHE_TEXT);

  const calls = takeBridgeCalls();
  assert.deepEqual(
    calls.map((c) => [c.library, c.name]),
    [
      ['vyn_test_bridge_no_init', 'vynAddonInit2'],
      ['vyn_test_bridge_no_init', 'getSystemCache'],
    ],
  );
  assert.equal(calls[0].bytes.toString('utf8'), '用户-7');
});

test('getSystemCache passes on null and the empty text as they are', () => {
  const nullCache = bridgePath('vyn_test_bridge_null_cache');
  assert.equal(withConsole(() => addon.vynAddonInit('t', nullCache)).result, 0);
  const none = withConsole(() => addon.getSystemCache());
  assert.equal(none.result, null);
  assert.deepEqual(none.messages, []);

  const emptyCache = bridgePath('vyn_test_bridge_empty_cache');
  assert.equal(withConsole(() => addon.vynAddonInit('t', emptyCache)).result, 0);
  assert.equal(addon.getSystemCache(), '');
  takeBridgeCalls();
});

test('a library with none of the exports', () => {
  const init = withConsole(() => addon.vynAddonInit('text', bridgePath('vyn_test_bridge_bare')));
  assert.equal(init.result, -3);
  assert.deepEqual(init.messages, [MESSAGES.loaded, MESSAGES.noInitExport]);

  const setId = withConsole(() => addon.setUserID('id'));
  assert.equal(setId.result, undefined);
  assert.deepEqual(setId.messages, [MESSAGES.noUserIdExport]);
  assert.equal(addon.getSystemCache(), undefined);
  assert.deepEqual(takeBridgeCalls(), []);
});

test('a failed load replaces a good library until a later load succeeds', () => {
  assert.equal(withConsole(() => addon.vynAddonInit('good', bridgePath())).result, 0);
  const [before] = takeBridgeCalls();

  const missing = path.join(scratchDir, 'missing' + path.extname(bridgePath()));
  const code = loadFails(missing, 'missing file');

  assert.deepEqual(withConsole(() => addon.setUserID('id')).messages, [MESSAGES.notLoaded]);
  const again = withConsole(() => addon.vynAddonInit('again'));
  assert.ok(again.result > 0);
  assert.deepEqual(again.messages, [MESSAGES.loadFailed(again.result)]);
  assert.deepEqual(takeBridgeCalls(), []);
  assert.ok(code > 0);

  // Loading the same library again gives back the copy already in the
  // process: its own call count goes on.
  assert.equal(withConsole(() => addon.vynAddonInit('back', bridgePath())).result, 0);
  const [after] = takeBridgeCalls();
  assert.equal(after.library, 'vyn_test_bridge');
  assert.equal(after.call, before.call + 1);
});

test('paths that are not a loadable library fail with a code', () => {
  const notLibrary = path.join(scratchDir, 'not-a-library' + path.extname(bridgePath()));
  fs.writeFileSync(notLibrary, 'plain text\n');
  loadFails(notLibrary, 'plain file');
  loadFails(scratchDir, 'a folder');
  // Empty paths would make some loaders hand back the main program, which
  // the addon would then take for the bridge library.
  loadFails('', 'empty path');
  loadFails('\0' + bridgePath(), 'path starting with NUL');
  loadFails(Symbol('no text'), 'unconvertible path');
  assert.deepEqual(takeBridgeCalls(), []);
});
