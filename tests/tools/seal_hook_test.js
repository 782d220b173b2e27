'use strict';

// node seal_hook_test.js <vyn-seal.js> <VYN_Launcher.exe>, in the Windows Node
// with VYN_VERIFY_PASSPHRASE set to the build's phrase: the afterPack hook
// refuses every package the launcher cannot work with, and the hook and
// --check a pass phrase the launcher was not built with.

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');

const [sealerPath, launcherPath] = process.argv.slice(2);
const sealer = require(sealerPath);
const launcher = fs.readFileSync(launcherPath);
const developmentPhrase = process.env.VYN_VERIFY_PASSPHRASE === 'VYN-dev-integrity-key-2026';

// The launcher with one text of its version resource overwritten in place.
function remarked(from, to) {
  const at = launcher.indexOf(Buffer.from(from, 'utf16le'));
  assert.ok(at > 0, `the launcher's version resource holds no "${from}"`);
  const copy = Buffer.from(launcher);
  Buffer.from(to.padEnd(from.length, '\0'), 'utf16le').copy(copy, at);
  return copy;
}
const otherPhrase = remarked('pbkdf2-sha256:', `pbkdf2-sha256:${'0'.repeat(32)}`);
const release = remarked('development', 'release');

const work = fs.mkdtempSync(path.join(require('node:os').tmpdir(), 'vyn-seal-hook-'));
let made = 0;
function packed(files) {
  const dir = path.join(work, String(made++));
  // The launcher is only looked at once nothing else is wrong.
  const all = { 'VYN_Launcher.exe': 'MZ', 'VYN.exe': '', 'resources/app.asar': 'code', ...files };
  for (const [name, bytes] of Object.entries(all)) {
    if (bytes === undefined) continue;
    fs.mkdirSync(path.dirname(path.join(dir, name)), { recursive: true });
    fs.writeFileSync(path.join(dir, name), bytes);
  }
  return dir;
}
const addon = (electronVersion) => ({
  'resources/app.asar.unpacked/native/vynAddon.node': 'module',
  'resources/app.asar.unpacked/native/vynAddon.buildinfo.json': JSON.stringify({ electronVersion }),
});
const context = (dir, appInfo = {}, platform = 'win32') => ({
  appOutDir: dir,
  electronPlatformName: platform,
  packager: { appInfo: { productFilename: 'VYN', version: '3.0.0', ...appInfo },
              config: { electronVersion: '33.2.1' } },
});

(async () => {
  const refusals = [
    [{ 'VYN_Launcher.exe': undefined }, {}, /no VYN_Launcher\.exe in .*"extraFiles"/],
    [{ 'resources/app.asar': undefined }, {}, /app\.asar in .*"asar": false is not supported/],
    [{}, { productFilename: 'VYN Desktop' }, /VYN Desktop\.exe, but the launcher starts VYN\.exe/],
    [addon('32.1.0'), {}, /built for Electron 32\.1\.0, but the package is Electron 33\.2\.1/],
    [addon(null), {}, /not built for a known Electron release/],
    [{ 'VYN_Launcher.exe': otherPhrase }, {},
     /\(fingerprint pbkdf2-sha256:[0-9a-f]{32}\) is not the pass phrase of .*\(fingerprint pbkdf2-sha256:0{32}\)/],
  ];
  for (const [files, appInfo, message] of refusals) {
    await assert.rejects(sealer(context(packed(files), appInfo)), message);
  }

  // A package that can work is sealed (an addon of the same major release
  // loads), and a warning line is all the development phrase costs.
  const warnings = [];
  const warn = console.warn;
  console.warn = (line) => warnings.push(line);
  const good = packed({ 'VYN_Launcher.exe': launcher, ...addon('33.0.0') });
  await sealer(context(good));
  console.warn = warn;
  assert.ok(fs.existsSync(path.join(good, 'resources', 'app_verify.config')));
  assert.equal(warnings.length, developmentPhrase ? 1 : 0, warnings.join('\n'));
  await sealer(context(packed({ 'VYN_Launcher.exe': undefined }), {}, 'linux'));

  // The pipeline's gate: --check refuses the same, whichever launcher it is given.
  fs.writeFileSync(path.join(work, 'other.exe'), otherPhrase);
  await assert.rejects(sealer.check(good, path.join(work, 'other.exe')), /is not the pass phrase of/);
  if (developmentPhrase) {
    fs.writeFileSync(path.join(work, 'release.exe'), release);
    await assert.rejects(sealer.check(good, path.join(work, 'release.exe')),
                         /is a release build with the public development pass phrase/);
  }

  // vyn-seal.exe of the same build refuses the same launchers.
  const sealExe = path.join(path.dirname(launcherPath), 'vyn-seal.exe');
  const exeCheck = (file) => require('node:child_process').spawnSync(
    sealExe, ['check', good, '--launcher', file], { encoding: 'utf8' });
  const same = exeCheck(path.join(good, 'VYN_Launcher.exe'));
  assert.deepEqual([same.status, same.stderr.split('\n').length], [0, developmentPhrase ? 2 : 1]);
  assert.match(exeCheck(path.join(work, 'other.exe')).stderr,
               /\(fingerprint pbkdf2-sha256:[0-9a-f]{32}\) is not the one of .*\(fingerprint pbkdf2-sha256:0{32}\)/);
  if (developmentPhrase)
    assert.match(exeCheck(path.join(work, 'release.exe')).stderr, /release build with the public development/);
  fs.rmSync(work, { recursive: true, force: true });
})().catch((e) => {
  console.error(e);
  process.exitCode = 1;
});
