#!/usr/bin/env node
// Seals a packed application's resources/app.asar into
// resources/app_verify.config, the file the launcher checks the archive
// against, and checks such a folder the way the launcher does. Node's own
// crypto only, so a packaging machine needs nothing installed.
//
//   electron-builder:  "afterPack": "<path>/vyn-seal.js"
//   command line:      node vyn-seal.js [--version <text>] <packed folder>
//                      node vyn-seal.js --check <packed folder>
//                      node vyn-seal.js --fingerprint
//
// The pass phrase comes from VYN_VERIFY_PASSPHRASE and must be the one the
// release launcher was built with.
'use strict';

const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { parseArgs } = require('node:util');

const SALT_SIZE = 16; // also the IV
const KDF_ITERATIONS = 10000;
const KEY_SIZE = 32;
const PHRASE_RULE = /^[\x20-\x7e]{26}$/;

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

async function seal(folder, version) {
  const phrase = passPhrase();
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
async function check(folder) {
  const phrase = passPhrase();
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

// electron-builder's afterPack hook. The launcher is a Windows program, so
// other platforms' packages are left as they are.
async function afterPack(context) {
  if (context.electronPlatformName && context.electronPlatformName !== 'win32') return;
  const version = context.packager?.appInfo?.version ?? 'unknown';
  const sealed = await seal(context.appOutDir, version);
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
      },
      allowPositionals: true,
    });
    if (parsed.values.fingerprint) {
      if (parsed.positionals.length || parsed.values.check || parsed.values.version !== undefined)
        throw new Error('--fingerprint takes nothing else');
    } else if (parsed.positionals.length !== 1) {
      throw new Error('expected one packed folder');
    }
    if (parsed.values.check && parsed.values.version !== undefined)
      throw new Error('--version is for sealing, not --check');
  } catch (e) {
    console.error(`vyn-seal.js: ${e.message}\n` +
                  'usage: node vyn-seal.js [--version <text>] <packed folder>  seals app.asar\n' +
                  '       node vyn-seal.js --check <packed folder>  checks it like the launcher\n' +
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
      const r = await check(folder);
      console.log(`passed: ${r.archive} (${r.size} bytes, sha256 ${r.sha256})`);
    } else {
      const version = parsed.values.version ?? process.env.npm_package_version ?? 'unknown';
      const r = await seal(folder, version);
      console.log(`sealed ${r.archive} (${r.size} bytes, sha256 ${r.sha256}) into ${r.config}`);
    }
    return 0;
  } catch (e) {
    const what = e instanceof CheckFailure ? `check of ${folder} failed` : 'error';
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
