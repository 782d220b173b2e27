#!/usr/bin/env bash
# Cross-checks the configuration format against the openssl command line, an
# implementation of PBKDF2 and AES-CBC that this project did not write:
#  - a file made by openssl is accepted by the launcher's code (vyn-seal's
#    decrypt and check run exactly that code);
#  - a file made by vyn-seal decrypts with openssl.
# usage: openssl_crosscheck.sh <wine-run> <vyn-seal.exe>
# The pass phrase comes in VYN_VERIFY_PASSPHRASE.
set -euo pipefail

wine_run=$1
seal=$2
phrase=${VYN_VERIFY_PASSPHRASE:?VYN_VERIFY_PASSPHRASE is not set}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/inst/resources"
# vyn-seal refuses to seal or check for an installation without its launcher.
ln -s "$(dirname "$seal")/VYN_Launcher.exe" "$work/inst/"
archive=$work/inst/resources/app.asar
head -c 100003 /dev/urandom >"$archive"
digest=$(sha256sum "$archive" | cut -d' ' -f1)
size=$(stat -c %s "$archive")

win() { printf 'Z:%s' "${1//\//\\}"; }
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
key_for() { # hex salt -> hex key
  openssl kdf -keylen 32 -kdfopt digest:SHA512 -kdfopt "pass:$phrase" -kdfopt "hexsalt:$1" \
    -kdfopt iter:10000 PBKDF2 | tr -d ':\n'
}
hex_to_bytes() { perl -e 'print pack("H*", $ARGV[0])' "$1"; }

# 1. openssl seals, the launcher's code reads.
printf '{"version":"3.0.0","appAsar":{"path":"resources/app.asar","sha256":"%s","size":%s,"buildTime":"2026-12-09T00:00:00Z"}}' \
  "$digest" "$size" >"$work/plain.json"
salt=$(openssl rand -hex 16)
key=$(key_for "$salt")
{
  hex_to_bytes "$salt"
  openssl enc -aes-256-cbc -K "$key" -iv "$salt" -in "$work/plain.json"
} >"$work/inst/resources/app_verify.config"

decrypted=$("$wine_run" "$seal" decrypt "$(win "$work/inst/resources/app_verify.config")" | tr -d '\r')
[ "$decrypted" = "$(cat "$work/plain.json")" ] || fail "decrypt gave: $decrypted"
verdict=$("$wine_run" "$seal" check "$(win "$work/inst")" | tr -d '\r')
[ "$verdict" = "passed" ] || fail "check of the openssl-sealed installation: $verdict"

# The same file with a wrong size is caught by the size, not the digest.
sed "s/\"size\":$size/\"size\":$((size - 1))/" "$work/plain.json" >"$work/wrong.json"
{
  hex_to_bytes "$salt"
  openssl enc -aes-256-cbc -K "$key" -iv "$salt" -in "$work/wrong.json"
} >"$work/inst/resources/app_verify.config"
verdict=$("$wine_run" "$seal" check "$(win "$work/inst")" | tr -d '\r') || true
[ "$verdict" = "failed: File size mismatch: expected $((size - 1)), got $size" ] ||
  fail "check with a wrong size: $verdict"

# 2. vyn-seal seals, openssl reads.
sealed=$work/sealed.config
"$wine_run" "$seal" seal --archive "$(win "$archive")" --output "$(win "$sealed")" \
  --version 9.9.9 >/dev/null
ls "$work" | grep -q '\.tmp-' && fail "a temporary file was left behind"
[ $(($(stat -c %s "$sealed") % 16)) -eq 0 ] || fail "sealed file is not whole blocks"
salt2=$(head -c 16 "$sealed" | od -An -tx1 | tr -d ' \n')
[ "$salt2" != "$salt" ] || fail "salt reused"
tail -c +17 "$sealed" | openssl enc -d -aes-256-cbc -K "$(key_for "$salt2")" -iv "$salt2" \
  >"$work/opened.json" || fail "openssl could not decrypt the sealed file"
python3 - "$work/opened.json" "$digest" "$size" <<'EOF' || fail "sealed record differs"
import json, re, sys
record = json.load(open(sys.argv[1], encoding="utf-8"))
asar = record["appAsar"]
assert list(record) == ["version", "appAsar"], record
assert record["version"] == "9.9.9", record
assert list(asar) == ["path", "sha256", "size", "buildTime"], asar
assert asar["sha256"] == sys.argv[2] and asar["size"] == int(sys.argv[3]), asar
assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?Z", asar["buildTime"]), asar
EOF

# 3. Usage errors end with code 2, and write nothing.
for args in "" "seal --archive x" "decrypt" "bogus"; do
  rc=0
  # shellcheck disable=SC2086
  "$wine_run" "$seal" $args >/dev/null 2>&1 || rc=$?
  [ "$rc" -eq 2 ] || fail "'vyn-seal $args' exited with $rc, not 2"
done

echo "openssl cross-check passed"
