'use strict';

// What reaches the bridge library: the exact bytes and byte length of each
// argument's UTF-8 form, and what comes back from getSystemCache.

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

// [description, argument, expected bytes (null: no text at all)]
const CONVERSIONS = [
  ['ASCII text', 'client-42', Buffer.from('client-42')],
  ['non-ASCII text', '初始化 ✓ é 😀', Buffer.from('初始化 ✓ é 😀', 'utf8')],
  ['an embedded NUL', 'a\0b', Buffer.from([0x61, 0x00, 0x62])],
  ['the empty text', '', Buffer.alloc(0)],
  ['an integer', 42, Buffer.from('42')],
  ['a fraction', -1.5, Buffer.from('-1.5')],
  ['a large number', 1e21, Buffer.from('1e+21')],
  ['NaN', NaN, Buffer.from('NaN')],
  ['a boolean', true, Buffer.from('true')],
  ['null', null, Buffer.from('null')],
  ['undefined', undefined, Buffer.from('undefined')],
  ['an array', [1, 'b'], Buffer.from('1,b')],
  ['an object with toString', { toString: () => 'from toString' }, Buffer.from('from toString')],
  ['a symbol', Symbol('s'), null],
  [
    'an object whose toString throws',
    {
      toString() {
        throw new Error('no text');
      },
    },
    null,
  ],
];

function assertForwarded(call, expected, what) {
  if (expected === null) {
    assert.equal(call.bytes, null, `${what}: expected a null pointer`);
    assert.equal(call.length, 0, what);
  } else {
    assert.deepEqual(call.bytes, expected, what);
    assert.equal(call.length, expected.length, what);
  }
}

test('a library under a folder with non-ASCII characters loads', () => {
  const folder = path.join(scratchDir, '桥接 库 ✓');
  fs.mkdirSync(folder);
  const copy = path.join(folder, '测试桥接' + path.extname(bridgePath()));
  fs.copyFileSync(bridgePath(), copy);

  const init = withConsole(() => addon.vynAddonInit('hello', copy));
  assert.equal(init.result, 0);
  assert.deepEqual(init.messages, [MESSAGES.loaded, MESSAGES.initialised]);
  const [call] = takeBridgeCalls();
  assertForwarded(call, Buffer.from('hello'), 'init text');
});

test('vynAddonInit forwards the UTF-8 form of its first argument', () => {
  for (const [what, value, expected] of CONVERSIONS) {
    const init = withConsole(() => addon.vynAddonInit(value));
    assert.equal(init.result, 0, what);
    assert.deepEqual(init.messages, [MESSAGES.loaded, MESSAGES.initialised], what);
    const calls = takeBridgeCalls();
    assert.equal(calls.length, 1, what);
    assert.equal(calls[0].name, 'vynAddonInit', what);
    assertForwarded(calls[0], expected, what);
  }
});

test('setUserID forwards the UTF-8 form of its argument to vynAddonInit2', () => {
  for (const [what, value, expected] of CONVERSIONS) {
    const setId = withConsole(() => addon.setUserID(value, 'ignored'));
    assert.equal(setId.result, undefined, what);
    assert.deepEqual(setId.messages, [MESSAGES.userIdSet], what);
    const calls = takeBridgeCalls();
    assert.equal(calls.length, 1, what);
    assert.equal(calls[0].name, 'vynAddonInit2', what);
    assertForwarded(calls[0], expected, what);
  }
});

test('getSystemCache returns the bridge text, freshly on every call', () => {
  const cache = withConsole(() => addon.getSystemCache());
  assert.equal(cache.result, SYSTEM_CACHE_TEXT);
  assert.deepEqual(cache.messages, []);
  assert.equal(addon.getSystemCache(), SYSTEM_CACHE_TEXT);
  assert.deepEqual(
    takeBridgeCalls().map((c) => c.name),
    ['getSystemCache', 'getSystemCache'],
  );
});
