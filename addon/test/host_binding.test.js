'use strict';

// Windows only: how the addon's imports of Node and V8 find the host. They
// are bound on first use to "node.exe", which the addon's delay-load hook
// turns into a loaded libnode.dll, or else into the main executable. Every
// other test file shows the second case, since the Windows suite runs in a
// host that is not called node.exe; this one loads a libnode.dll first. The
// stand-in libnode.dll answers the bridge's getSystemCache with the names of
// its exports that were called, so the addon itself can be asked.

const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { loadAddon, withConsole } = require('../test_support/harness');

const windowsOnly = process.platform !== 'win32' && 'Windows only';

test('the suite runs in a host that is not called node.exe', { skip: windowsOnly }, () => {
  assert.notEqual(path.basename(process.execPath).toLowerCase(), 'node.exe');
});

test('with libnode.dll loaded first, host calls go through it', { skip: windowsOnly }, () => {
  const stub = process.env.VYN_TEST_LIBNODE_STUB;
  assert.ok(stub, 'VYN_TEST_LIBNODE_STUB is not set');
  // Not an addon, so node refuses it; the stand-in stays loaded all the same.
  assert.throws(() => process.dlopen({ exports: {} }, stub), /did not self-register/);

  const addon = loadAddon();
  // The stand-in lacks vynAddonInit; loading it makes it the bridge to ask.
  assert.equal(withConsole(() => addon.vynAddonInit('probe', stub)).result, -3);
  const used = addon.getSystemCache().split('\n');
  // Registration at load, and the calls just made.
  for (const name of [
    'node_module_register',
    '?GetCurrent@Isolate@v8@@SAPEAV12@XZ',
    '??0Utf8Value@String@v8@@QEAA@PEAVIsolate@2@V?$Local@VValue@v8@@@2@@Z',
  ]) {
    assert.ok(used.includes(name), `${name} did not go through libnode.dll: ${used}`);
  }
});
