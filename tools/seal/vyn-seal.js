#!/usr/bin/env node
// Seals a packed application's resources/app.asar into
// resources/app_verify.config, the file the launcher checks the archive
// against, and checks such a folder the way the launcher does. Node's own
// crypto only, so a packaging machine needs nothing installed.
//
//   electron-builder:  "afterPack": "<path>/vyn-seal.js"
//   command line:      node vyn-seal.js [--version <text>] [--launcher <exe>] <packed folder>
//                      node vyn-seal.js --check [--launcher <exe>] <packed folder>
//                      node vyn-seal.js --fingerprint
//
// The pass phrase comes from VYN_VERIFY_PASSPHRASE and must be the one the
// launcher was built with: the launcher's version resource names the
// phrase's fingerprint, and a phrase of another fingerprint is refused.
'use strict';

const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { parseArgs } = require('node:util');

const SALT_SIZE = 16; // also the IV
const KDF_ITERATIONS = 10000;
const KEY_SIZE = 32;
const PHRASE_RULE = /^[\x20-\x7e]{26}$/;
// Every development build's phrase; public, so never one to ship with.
const DEVELOPMENT_PHRASE = 'VYN-dev-integrity-key-2026';
const LAUNCHER = 'VYN_Launcher.exe';
const APP_EXECUTABLE = 'VYN.exe';
const ADDON = 'vynAddon.node';
const ADDON_BUILDINFO = 'vynAddon.buildinfo.json';

class CheckFailure extends Error {}

function passPhrase() {
  const phrase = process.env.VYN_VERIFY_PASSPHRASE;
  if (!phrase)
    throw new Error('VYN_VERIFY_PASSPHRASE is not set: give it the launcher\'s pass phrase');
  if (!PHRASE_RULE.test(phrase)) {
    const ascii = /^[\x20-\x7e]*$/.test(phrase) ? '' : ', not all of them printable ASCII';
    throw new Error(`VYN_VERIFY_PASSPHRASE must be exactly 26 printable ASCII characters, ` +
                    `not ${phrase.length} characters${ascii}`);
  }
  return phrase;
}

// The release's BUILDINFO.json carries the same one-way value of the phrase
// its launcher was built with (tools/release/fingerprint.py explains it),
// so a pipeline can see that both sides share one phrase.
function fingerprint(phrase) {
  const salt = 'vyn-startup pass phrase fingerprint 1';
  return 'pbkdf2-sha256:' + crypto.pbkdf2Sync(phrase, salt, 600000, 16, 'sha256').toString('hex');
}

// The string values of a Windows program's version resource, read from the
// file rather than by running it, so any packaging machine can. Every
// offset comes from the file: Buffer bounds-checks each read, the walk goes
// only the fixed levels deep and every block must lie inside its parent, so
// a damaged file ends in an error, never in a loop or a read outside it.
function versionStrings(bytes) {
  const u16 = (at) => bytes.readUInt16LE(at);
  const u32 = (at) => bytes.readUInt32LE(at);
  const malformed = (what) => new Error(`not a Windows program with a version resource (${what})`);
  const pe = u32(0x3c);
  if (u16(0) !== 0x5a4d || u32(pe) !== 0x4550) throw malformed('no PE header');
  const optional = pe + 24;
  const directories = optional + ({ 0x10b: 96, 0x20b: 112 }[u16(optional)] ?? NaN);
  if (Number.isNaN(directories)) throw malformed('unknown optional header');
  const resourcesRva = u32(directories - 4) > 2 ? u32(directories + 16) : 0;
  if (!resourcesRva) throw malformed('no resources');
  const sections = optional + u16(pe + 20);
  const fileOffset = (rva) => {
    for (let i = 0; i < u16(pe + 6); i++) {
      const section = sections + 40 * i;
      const start = u32(section + 12);
      if (rva >= start && rva < start + u32(section + 16)) return u32(section + 20) + rva - start;
    }
    throw malformed('an address outside the file');
  };
  const root = fileOffset(resourcesRva);
  // The entry `id` of a resource directory (the first for null): its offset
  // and whether it is a directory itself.
  const entry = (directory, id) => {
    const count = u16(directory + 12) + u16(directory + 14);
    for (let i = 0; i < count; i++) {
      const at = directory + 16 + 8 * i;
      if (id !== null && u32(at) !== id) continue;
      return { at: root + (u32(at + 4) & 0x7fffffff), directory: u32(at + 4) >>> 31 === 1 };
    }
    throw malformed('no version resource');
  };
  const type = entry(root, 16); // RT_VERSION
  const name = type.directory && entry(type.at, null);
  const language = name?.directory && entry(name.at, null);
  if (!language || language.directory) throw malformed('a resource tree of the wrong shape');
  const start = fileOffset(u32(language.at));
  if (start + u32(language.at + 4) > bytes.length) throw malformed('a version resource past its end');
  const info = bytes.subarray(start, start + u32(language.at + 4));
  const align = (at) => (at + 3) & ~3;
  const strings = new Map();
  // VS_VERSIONINFO: the root, StringFileInfo, its string tables, their strings.
  const walk = (from, to, depth) => {
    for (let at = from; at + 6 <= to;) {
      const length = info.readUInt16LE(at);
      if (length < 6 || at + length > to) throw malformed('a damaged version block');
      let keyEnd = at + 6;
      while (keyEnd + 2 <= at + length && info.readUInt16LE(keyEnd) !== 0) keyEnd += 2;
      const key = info.toString('utf16le', at + 6, keyEnd);
      const value = align(keyEnd + 2);
      if (depth === 0) walk(align(value + info.readUInt16LE(at + 2)), at + length, 1);
      else if (depth === 1 && key === 'StringFileInfo') walk(value, at + length, 2);
      else if (depth === 2) walk(value, at + length, 3);
      else if (depth === 3 && !strings.has(key))
        strings.set(key, info.toString('utf16le', value, at + length).split('\0')[0]);
      at = align(at + length);
    }
  };
  walk(0, info.length, 0);
  return strings;
}

// What the launcher says of its pass phrase: file, fingerprint, build kind.
function readLauncher(file) {
  let bytes;
  try {
    bytes = fs.readFileSync(file);
  } catch (e) {
    if (e.code !== 'ENOENT') throw new CheckFailure(`cannot read ${file}: ${e.message}`);
    throw new CheckFailure(`no ${LAUNCHER} at ${file}: the package must carry the launcher ` +
                           '(electron-builder: extraFiles), or name it with --launcher <exe>');
  }
  let strings;
  try {
    strings = versionStrings(bytes);
  } catch (e) {
    throw new CheckFailure(`${file}: ${e instanceof RangeError ? 'not a Windows program' : e.message}`);
  }
  const fingerprint = strings.get('PassPhraseFingerprint');
  if (!/^pbkdf2-sha256:[0-9a-f]{32}$/.test(fingerprint ?? ''))
    throw new CheckFailure(`${file} names no pass phrase fingerprint: it is not a launcher of ` +
                           'this release; take the launcher and vyn-seal.js from one release');
  return { file, fingerprint, release: strings.get('VynBuild') === 'release' };
}

// A file sealed with a phrase the launcher was not built with fails in it,
// on every start of every user: refused here, where the pipeline sees it.
function matchLauncher(phrase, launcher) {
  const own = fingerprint(phrase);
  if (own !== launcher.fingerprint)
    throw new CheckFailure(`VYN_VERIFY_PASSPHRASE (fingerprint ${own}) is not the pass phrase of ` +
                           `${launcher.file} (fingerprint ${launcher.fingerprint}); give the ` +
                           'launcher\'s phrase, or ship the launcher built with this one');
  if (phrase !== DEVELOPMENT_PHRASE) return;
  if (launcher.release)
    throw new CheckFailure(`${launcher.file} is a release build with the public development ` +
                           'pass phrase; build the release with a phrase of your own');
  console.warn(`vyn-seal: warning: the public development pass phrase, accepted only because ` +
               `${launcher.file} is a development build`);
}

const keyFor = (phrase, salt) =>
  crypto.pbkdf2Sync(phrase, salt, KDF_ITERATIONS, KEY_SIZE, 'sha512');

function filesOf(folder) {
  const resources = path.join(folder, 'resources');
  return {
    archive: path.join(resources, 'app.asar'),
    config: path.join(resources, 'app_verify.config'),
  };
}

async function hashArchive(file) {
  const hash = crypto.createHash('sha256');
  let size = 0;
  for await (const chunk of fs.createReadStream(file)) {
    hash.update(chunk);
    size += chunk.length;
  }
  return { size, sha256: hash.digest('hex') };
}

// The record as vyn-seal.exe writes it: same fields, order and layout.
function serialize(version, { size, sha256 }, buildTime) {
  const record = { version, appAsar: { path: 'resources/app.asar', sha256, size, buildTime } };
  return JSON.stringify(record, null, 2) + '\n';
}

// Beside the target and then renamed over it, so a failure leaves the old
// file or none, never part of the new one.
function replaceFile(target, bytes) {
  const temp = `${target}.tmp-${process.pid}`;
  try {
    const fd = fs.openSync(temp, 'w');
    try {
      fs.writeSync(fd, bytes);
      fs.fsyncSync(fd);
    } finally {
      fs.closeSync(fd);
    }
    fs.renameSync(temp, target);
  } catch (e) {
    fs.rmSync(temp, { force: true });
    throw e;
  }
}

// The launcher the packed folder ships, or the one named with --launcher.
function launcherPhrase(folder, launcherFile) {
  const phrase = passPhrase();
  matchLauncher(phrase, readLauncher(launcherFile ?? path.join(folder, LAUNCHER)));
  return phrase;
}

async function seal(folder, version, launcherFile) {
  const phrase = launcherPhrase(folder, launcherFile);
  const { archive, config } = filesOf(folder);
  const hashed = await hashArchive(archive);
  const salt = crypto.randomBytes(SALT_SIZE);
  const cipher = crypto.createCipheriv('aes-256-cbc', keyFor(phrase, salt), salt);
  const plain = serialize(version, hashed, new Date().toISOString());
  replaceFile(config, Buffer.concat([salt, cipher.update(plain, 'utf8'), cipher.final()]));
  return { archive, config, ...hashed };
}

function decrypt(data, phrase) {
  if (data.length < 2 * SALT_SIZE)
    throw new CheckFailure('Failed to decrypt config: Encrypted data too short!');
  const salt = data.subarray(0, SALT_SIZE);
  let plain;
  try {
    const decipher = crypto.createDecipheriv('aes-256-cbc', keyFor(phrase, salt), salt);
    plain = Buffer.concat([decipher.update(data.subarray(SALT_SIZE)), decipher.final()]);
  } catch {
    throw new CheckFailure('Failed to decrypt config: Decryption failed: Unpad Error ' +
                           '(sealed with another pass phrase, or damaged)');
  }
  try {
    // A byte-order mark is kept, so that the parse refuses it as the launcher does.
    return new TextDecoder('utf-8', { fatal: true, ignoreBOM: true }).decode(plain);
  } catch {
    throw new CheckFailure('Failed to decrypt config: Invalid UTF-8 in decrypted data');
  }
}

// JSON.parse settles the grammar (a byte-order mark or anything after the
// value, a NUL included, is refused), but it lets the last of a repeated key
// win and reads 1.0 or 1e3 as integers, which the launcher refuses. The text
// it accepted is read once more, token by token, keeping numbers as written.
function parseStrict(text) {
  JSON.parse(text);
  const tokens = text.match(/"(?:[^"\\]|\\.)*"|[{}[\]]|[^\s{}[\]:,"]+/g);
  let i = 0;
  const value = () => {
    const token = tokens[i++];
    if (token === '{') {
      const object = new Map();
      while (tokens[i] !== '}') {
        const key = JSON.parse(tokens[i++]);
        if (object.has(key)) throw new Error(`duplicate field \`${key}\``);
        object.set(key, value());
      }
      i++;
      return object;
    }
    if (token === '[') {
      const array = [];
      while (tokens[i] !== ']') array.push(value());
      i++;
      return array;
    }
    return token.startsWith('"') ? JSON.parse(token) : { literal: token };
  };
  return value();
}

// Either record is an object (unknown keys skipped) or an array of its
// values in field order.
function fields(value, names, what) {
  if (Array.isArray(value)) {
    if (value.length !== names.length)
      throw new Error(`invalid length ${value.length} for ${what}, ` +
                      `expected ${names.length} values (${names.join(', ')})`);
    return Object.fromEntries(names.map((name, k) => [name, value[k]]));
  }
  if (!(value instanceof Map))
    throw new Error(`invalid type for ${what}, expected an object or array`);
  for (const name of names) if (!value.has(name)) throw new Error(`missing field \`${name}\``);
  return Object.fromEntries(names.map((name) => [name, value.get(name)]));
}

function readRecord(text) {
  try {
    const record = fields(parseStrict(text), ['version', 'appAsar'], 'the configuration');
    const asar = fields(record.appAsar, ['path', 'sha256', 'size', 'buildTime'], '"appAsar"');
    const texts = { version: record.version, path: asar.path, sha256: asar.sha256,
                    buildTime: asar.buildTime };
    for (const [name, v] of Object.entries(texts))
      if (typeof v !== 'string') throw new Error(`invalid type for "${name}", expected a string`);
    const size = asar.size?.literal;
    if (!/^-?\d+$/.test(size ?? '') || BigInt(size) < 0n || BigInt(size) >= 2n ** 64n)
      throw new Error('invalid type for "size", expected an integer from 0 to 2^64-1');
    return { version: record.version, sha256: asar.sha256, size: BigInt(size) };
  } catch (e) {
    throw new CheckFailure(`Failed to parse config: ${e.message}`);
  }
}

// The launcher's own order: the archive's presence, the configuration, then
// the archive's size before its digest.
async function check(folder, launcherFile) {
  const phrase = launcherPhrase(folder, launcherFile);
  const { archive, config } = filesOf(folder);
  if (!fs.existsSync(archive)) throw new CheckFailure(`app.asar file not found: ${archive}`);
  let data;
  try {
    data = fs.readFileSync(config);
  } catch (e) {
    throw new CheckFailure(`Failed to read encrypted config: ${e.message}`);
  }
  const expected = readRecord(decrypt(data, phrase));
  let actual;
  try {
    actual = await hashArchive(archive);
  } catch (e) {
    throw new CheckFailure(`Failed to read app.asar: ${e.message}`);
  }
  if (BigInt(actual.size) !== expected.size)
    throw new CheckFailure(`File size mismatch: expected ${expected.size}, got ${actual.size}`);
  if (actual.sha256 !== expected.sha256)
    throw new CheckFailure(`SHA256 hash mismatch: expected ${expected.sha256.slice(0, 16)}, ` +
                           `got ${actual.sha256.slice(0, 16)}`);
  return { archive, ...actual };
}

// Every vynAddon.node in the package must be built for the packaged
// Electron's major release: each major release has its own native-module
// interface, and a module of another loads in none of its processes. Its
// build says which one it was made for in the file beside it.
function addonProblems(folder, electron) {
  const modules = [];
  const visit = (dir, depth) => {
    for (const item of fs.readdirSync(dir, { withFileTypes: true })) {
      const itemPath = path.join(dir, item.name);
      if (item.isDirectory() && depth < 16) visit(itemPath, depth + 1);
      else if (item.isFile() && item.name.toLowerCase() === ADDON.toLowerCase()) modules.push(itemPath);
    }
  };
  visit(folder, 0);
  const major = (version) => String(version).replace(/^v/, '').split('.')[0];
  const problems = [];
  for (const module of modules) {
    let built;
    try {
      built = JSON.parse(fs.readFileSync(path.join(path.dirname(module), ADDON_BUILDINFO))).electronVersion;
    } catch {
      problems.push(`${module} has no readable ${ADDON_BUILDINFO} beside it: ship the one of ` +
                    'its build, which says which Electron it was built for');
      continue;
    }
    if (!built)
      problems.push(`${module} was not built for a known Electron release: build it with the ` +
                    `headers of the packaged Electron${electron ? ` ${electron}` : ''}`);
    else if (!electron)
      console.warn(`vyn-seal: warning: the packaged Electron's release is not known; ${module} ` +
                   `(for Electron ${built}) is not compared with it`);
    else if (major(built) !== major(electron))
      problems.push(`${module} was built for Electron ${built}, but the package is Electron ` +
                    `${electron}: build it with the headers of Electron ${electron}`);
  }
  return problems;
}

// electron-builder's afterPack hook: refuses a package the launcher cannot
// work with, naming each problem and what to change, then seals it. The
// launcher is a Windows program, so other platforms' packages are left as
// they are.
async function afterPack(context) {
  const platform = context.electronPlatformName;
  if (platform && platform !== 'win32') {
    console.log(`vyn-seal: nothing to do for ${platform}: the launcher is a Windows program`);
    return;
  }
  const folder = context.appOutDir;
  const packager = context.packager ?? {};
  const problems = [];
  if (!fs.existsSync(path.join(folder, LAUNCHER)))
    problems.push(`no ${LAUNCHER} in ${folder}: add it with "extraFiles" ({ "from": ` +
                  `"<path>/${LAUNCHER}", "to": "${LAUNCHER}" }), or the shortcuts start nothing`);
  if (!fs.existsSync(filesOf(folder).archive))
    problems.push(`no resources${path.sep}app.asar in ${folder}: "asar": false is not supported, ` +
                  'since the launcher checks app.asar on every start');
  const executable = packager.appInfo?.productFilename !== undefined
    ? `${packager.appInfo.productFilename}.exe`
    : fs.readdirSync(folder).find((name) => name.toLowerCase() === APP_EXECUTABLE.toLowerCase());
  if (executable?.toLowerCase() !== APP_EXECUTABLE.toLowerCase())
    problems.push(`the application's executable is ${executable ?? 'missing'}, but the launcher ` +
                  `starts ${APP_EXECUTABLE} only: set "productName" (or "win.executableName") to "VYN"`);
  problems.push(...addonProblems(folder, packager.config?.electronVersion ??
                                         packager.info?.framework?.version));
  if (problems.length)
    throw new Error(`vyn-seal: this package cannot work with the launcher:\n  ${problems.join('\n  ')}`);
  let sealed;
  try {
    sealed = await seal(folder, packager.appInfo?.version ?? 'unknown');
  } catch (e) {
    e.message = `vyn-seal: ${e.message}`;
    throw e;
  }
  console.log(`vyn-seal: sealed ${sealed.archive} (${sealed.size} bytes) into ${sealed.config}`);
}

async function main(argv) {
  let parsed;
  try {
    parsed = parseArgs({
      args: argv,
      options: {
        check: { type: 'boolean' },
        version: { type: 'string' },
        fingerprint: { type: 'boolean' },
        launcher: { type: 'string' },
      },
      allowPositionals: true,
    });
    if (parsed.values.fingerprint) {
      if (parsed.positionals.length || parsed.values.check || parsed.values.version !== undefined ||
          parsed.values.launcher !== undefined)
        throw new Error('--fingerprint takes nothing else');
    } else if (parsed.positionals.length !== 1) {
      throw new Error('expected one packed folder');
    }
    if (parsed.values.check && parsed.values.version !== undefined)
      throw new Error('--version is for sealing, not --check');
  } catch (e) {
    console.error(`vyn-seal.js: ${e.message}\n` +
                  'usage: node vyn-seal.js [--version <text>] [--launcher <exe>] <packed folder>\n' +
                  '         seals app.asar for the folder\'s VYN_Launcher.exe (or <exe>)\n' +
                  '       node vyn-seal.js --check [--launcher <exe>] <packed folder>\n' +
                  '         checks it like the launcher\n' +
                  '       node vyn-seal.js --fingerprint  the pass phrase\'s one-way fingerprint');
    return 2;
  }
  if (parsed.values.fingerprint) {
    try {
      console.log(fingerprint(passPhrase()));
      return 0;
    } catch (e) {
      console.error(`vyn-seal.js: error: ${e.message}`);
      return 1;
    }
  }
  const folder = parsed.positionals[0];
  try {
    if (parsed.values.check) {
      const r = await check(folder, parsed.values.launcher);
      console.log(`passed: ${r.archive} (${r.size} bytes, sha256 ${r.sha256})`);
    } else {
      const version = parsed.values.version ?? process.env.npm_package_version ?? 'unknown';
      const r = await seal(folder, version, parsed.values.launcher);
      console.log(`sealed ${r.archive} (${r.size} bytes, sha256 ${r.sha256}) into ${r.config}`);
    }
    return 0;
  } catch (e) {
    const what = !(e instanceof CheckFailure) ? 'error'
      : parsed.values.check ? `check of ${folder} failed` : `${folder} not sealed`;
    console.error(`vyn-seal.js: ${what}: ${e.message}`);
    return 1;
  }
}

module.exports = afterPack;
module.exports.default = afterPack;
module.exports.seal = seal;
module.exports.check = check;

if (require.main === module) {
  main(process.argv.slice(2)).then((code) => (process.exitCode = code));
}
