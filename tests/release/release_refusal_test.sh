#!/usr/bin/env bash
# make release refuses, with exit code 2, every input that would ship a
# broken or public pass phrase, a failed signing or a mismatched addon, before
# it installs or builds anything; secrets given through the environment or a
# file arrive whole; the archive's bytes do not depend on the umask.
# Usage: release_refusal_test.sh <tools/release folder> <vyn-seal.js>
set -u
release=$1/release.sh
seal_js=$2
top=$(cd "$1/../.." && pwd)
make=$(command -v make)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" && failures=$((failures + 1)); }

# A `make` first on PATH records whether release.sh got as far as `make deps`.
mkdir -p "$work/bin" "$work/headers" "$work/half" "$work/export/tools/release"
printf '#!/bin/sh\ntouch "%s/deps-ran"\nexit 1\n' "$work" >"$work/bin/make" && chmod +x "$work/bin/make"
# PKCS#12 files with a code-signing and a server certificate (elliptic keys: quick).
for use in codeSigning serverAuth; do
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/$use.key" -out "$work/$use.pem" \
    -days 2 -subj /CN=Throwaway -addext "extendedKeyUsage=$use" 2>/dev/null
  openssl pkcs12 -export -inkey "$work/$use.key" -in "$work/$use.pem" -passout 'pass:pw $x "y"' -out "$work/$use.p12"
done
printf '%s\n' 'pw $x "y"' >"$work/password"
printf '#define NODE_%s_VERSION %s\n' MAJOR 20 MINOR 1 PATCH 0 MODULE 115 | tee "$work/half/node_version.h" \
  >"$work/headers/node_version.h"
echo '{}' | tee "$work/half/common.gypi" "$work/headers/common.gypi" >"$work/headers/config.gypi"
cp "$release" "$work/export/tools/release/"

good=abcdefghijklmnopqrstuvwxyz
# expected message | settings (;-separated) on top of VERSION=1.0.0 and a good phrase
cases=(
  "VERSION is required|VERSION="
  "VERSION must look like|VERSION=1.0"
  "at most 65535, not 65536|VERSION=1.65536.0"
  "VYN_VERIFY_PASSPHRASE (or VYN_VERIFY_PASSPHRASE_FILE) is required|VYN_VERIFY_PASSPHRASE="
  "development default|VYN_VERIFY_PASSPHRASE=VYN-dev-integrity-key-2026"
  "exactly 26 characters, not 8|VYN_VERIFY_PASSPHRASE=tooshort"
  "printable ASCII|VYN_VERIFY_PASSPHRASE=abcdefghijklmnopqrstuvwxy$(printf '\t')"
  "give VYN_VERIFY_PASSPHRASE once|VYN_VERIFY_PASSPHRASE_FILE=$work/password"
  "SIGN_PKCS12 names no file|SIGN_PKCS12=$work/none.p12"
  "does not open with SIGN_PASSWORD|SIGN_PKCS12=$work/codeSigning.p12;SIGN_PASSWORD=pw \$x"
  "no certificate for code signing|SIGN_PKCS12=$work/serverAuth.p12;SIGN_PASSWORD_FILE=$work/password"
  "SIGN_TIMESTAMP_URL must be|SIGN_PKCS12=$work/codeSigning.p12;SIGN_PASSWORD_FILE=$work/password;SIGN_TIMESTAMP_URL=ts.example"
  "needs ADDON_HEADERS|ADDON_HOST=/nonexistent"
  "folder holding node_version.h|ADDON_HEADERS=$work"
  "half has no config.gypi|ADDON_HEADERS=$work/half;ADDON_HOST=$work/password"
  "ADDON_MODULE_VERSION is 130, but|ADDON_HEADERS=$work/headers;ADDON_HOST=$work/password;ADDON_MODULE_VERSION=130"
  "has no .git|RELEASE=$work/export/tools/release/release.sh"
)
for c in "${cases[@]}"; do
  IFS='|' read -r expected settings <<<"$c"
  IFS=';' read -ra assignments <<<"$settings"
  script=$release
  [[ $settings != RELEASE=* ]] || script=${settings#RELEASE=}
  out=$(env PATH="$work/bin:$PATH" VERSION=1.0.0 VYN_VERIFY_PASSPHRASE=$good BUILD_ROOT="$work/build" \
        DIST="$work/dist" "${assignments[@]}" bash "$script" 2>&1)
  status=$?
  [[ $status -eq 2 && $out == *"$expected"* && ! -e $work/build && ! -e $work/dist && ! -e $work/deps-ran ]] ||
    fail "$settings: exit $status, expected 2 and '$expected' before make deps or any build: $out"
  rm -rf "$work/deps-ran" "$work/build" "$work/dist"
done

# On make's command line a secret is refused: make has already rewritten it.
for name in VYN_VERIFY_PASSPHRASE SIGN_PASSWORD; do
  out=$(cd "$top" && VERSION=1.0.0 "$make" --no-print-directory release-check "$name=x\$\$y" 2>&1)
  status=$?
  [[ $status -eq 2 && $out == *"$name on make's command line is refused"* ]] || fail "$name: exit $status: $out"
done

# From the environment through make, and from a file, a phrase with $, quotes,
# spaces, a backslash and $(...) arrives whole: the release's fingerprint is
# the sealer's of the same phrase. A password of that kind opens the PKCS#12.
phrase='a$b "c" d\e'"'"'f $(x) ghijklm'
printf '%s\r\n' "$phrase" >"$work/phrase"
from_sealer=$(VYN_VERIFY_PASSPHRASE=$phrase node "$seal_js" --fingerprint)
for form in "VYN_VERIFY_PASSPHRASE=$phrase" "VYN_VERIFY_PASSPHRASE_FILE=$work/phrase"; do
  out=$(cd "$top" && env -u VYN_VERIFY_PASSPHRASE "$form" VERSION=1.0.0 SIGN_PKCS12="$work/codeSigning.p12" \
        SIGN_PASSWORD_FILE="$work/password" "$make" --no-print-directory release-check 2>&1)
  [[ $from_sealer == pbkdf2-sha256:* && $out == *"fingerprint: $from_sealer"* && $out == *"signed by:"* ]] ||
    fail "${form%%=*}: the sealer's fingerprint is '$from_sealer', make release-check said: $out"
done

# The same files give the same archive whatever the umask, with fixed modes.
for mask in 022 077; do
  (umask $mask && mkdir -p "$work/$mask/pkg/docs" && echo program >"$work/$mask/pkg/VYN_Launcher.exe" &&
    echo '#!/usr/bin/env node' >"$work/$mask/pkg/seal.js" && echo text >"$work/$mask/pkg/docs/LOG.md" &&
    "$1/package.sh" "$work/$mask" pkg 1700000000 "$work/$mask.zip")
done
modes=$(python3 -c 'import sys, zipfile
print([(oct(i.external_attr >> 16), i.filename) for i in zipfile.ZipFile(sys.argv[1]).infolist()])' "$work/077.zip")
cmp -s "$work/022.zip" "$work/077.zip" && [[ $modes == "[('0o100755', 'pkg/VYN_Launcher.exe'), \
('0o100644', 'pkg/docs/LOG.md'), ('0o100755', 'pkg/seal.js')]" ]] ||
  fail "the archives under umask 022 and 077 differ, or hold other modes: $modes"

echo "$((${#cases[@]} + 5 - failures)) passed, $failures failed"
[[ $failures -eq 0 ]]
