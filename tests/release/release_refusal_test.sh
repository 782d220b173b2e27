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
checks=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# A `make` first on PATH records whether release.sh got as far as `make deps`.
mkdir -p "$work/bin"
printf '#!/bin/sh\ntouch "%s/deps-ran"\nexit 1\n' "$work" >"$work/bin/make"
chmod +x "$work/bin/make"

# Signing inputs: a key with a code-signing certificate, and one whose
# certificate is for servers only; elliptic keys, as they are quick to make.
for kind in code:codeSigning server:serverAuth; do
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/${kind%%:*}.key" \
    -out "$work/${kind%%:*}.pem" -days 2 -subj "/CN=Throwaway" -addext "extendedKeyUsage=${kind#*:}" 2>/dev/null
  openssl pkcs12 -export -inkey "$work/${kind%%:*}.key" -in "$work/${kind%%:*}.pem" \
    -passout 'pass:pw $x "y"' -out "$work/${kind%%:*}.p12"
done
printf '%s\n' 'pw $x "y"' >"$work/password"
# Headers that agree with each other, at module version 115.
mkdir -p "$work/headers" "$work/half-headers"
printf '#define NODE_MAJOR_VERSION 20\n#define NODE_MINOR_VERSION 1\n#define NODE_PATCH_VERSION 0\n#define NODE_MODULE_VERSION 115\n' |
  tee "$work/headers/node_version.h" >"$work/half-headers/node_version.h"
echo '{}' >"$work/headers/common.gypi"
echo "{'variables': {}}" >"$work/headers/config.gypi"
echo '{}' >"$work/half-headers/common.gypi"
# A tree without .git.
mkdir -p "$work/export/tools/release" && cp "$release" "$work/export/tools/release/"

good=abcdefghijklmnopqrstuvwxyz
code="SIGN_PKCS12=$work/code.p12;SIGN_PASSWORD_FILE=$work/password"
headers="ADDON_HEADERS=$work/headers;ADDON_HOST=$work/password"
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
  "VYN_VERIFY_PASSPHRASE_FILE names no readable file|VYN_VERIFY_PASSPHRASE=;VYN_VERIFY_PASSPHRASE_FILE=$work/none"
  "SIGN_PKCS12 names no file|SIGN_PKCS12=$work/none.p12"
  "SIGN_PKCS12 needs SIGN_PASSWORD|SIGN_PKCS12=$work/code.p12"
  "does not open with SIGN_PASSWORD|SIGN_PKCS12=$work/code.p12;SIGN_PASSWORD=pw \$x"
  "no certificate for code signing|SIGN_PKCS12=$work/server.p12;SIGN_PASSWORD_FILE=$work/password"
  "SIGN_TIMESTAMP_URL must be an http|$code;SIGN_TIMESTAMP_URL=timestamp.example.com"
  "signing needs SIGN_PKCS12|SIGN_PASSWORD=x"
  "needs ADDON_HEADERS|ADDON_HOST=/nonexistent"
  "folder holding node_version.h|ADDON_HEADERS=$work"
  "half-headers has no config.gypi|ADDON_HEADERS=$work/half-headers;ADDON_HOST=$work/password"
  "ADDON_HOST names no file|ADDON_HEADERS=$work/headers;ADDON_HOST=$work/none"
  "ADDON_MODULE_VERSION is 130, but|$headers;ADDON_MODULE_VERSION=130"
  "has no .git|RELEASE=$work/export/tools/release/release.sh"
  "VYN_COMMIT must be a commit id|RELEASE=$work/export/tools/release/release.sh;VYN_COMMIT=HEAD;SOURCE_DATE_EPOCH=1"
)
for c in "${cases[@]}"; do
  IFS='|' read -r expected settings <<<"$c"
  IFS=';' read -ra assignments <<<"$settings"
  script=$release
  for a in "${assignments[@]}"; do [[ $a != RELEASE=* ]] || script=${a#RELEASE=}; done
  out=$(env PATH="$work/bin:$PATH" VERSION=1.0.0 VYN_VERIFY_PASSPHRASE=$good BUILD_ROOT="$work/build" \
        DIST="$work/dist" "${assignments[@]}" bash "$script" 2>&1)
  status=$?
  checks=$((checks + 1))
  if [[ $status -ne 2 || $out != *"$expected"* || -e $work/build || -e $work/dist || -e $work/deps-ran ]]; then
    fail "$settings: exit $status, expected 2 and '$expected' before make deps or any build: $out"
  fi
done

# A secret on make's command line is refused: make has already rewritten it.
for name in VYN_VERIFY_PASSPHRASE SIGN_PASSWORD; do
  out=$(cd "$top" && VERSION=1.0.0 "$make" --no-print-directory release-check "$name=x\$\$y" 2>&1)
  status=$?
  checks=$((checks + 1))
  [[ $status -eq 2 && $out == *"$name on make's command line is refused"* ]] ||
    fail "$name on make's command line: exit $status: $out"
done

# Through make from the environment, and from a file, a phrase with $, quotes,
# spaces, a backslash and $(...) arrives whole: the release's fingerprint is
# the sealer's of the same phrase. A password of that kind opens the PKCS#12.
phrase='a$b "c" d\e'"'"'f $(x) ghijklm'
printf '%s\r\n' "$phrase" >"$work/phrase"
from_sealer=$(VYN_VERIFY_PASSPHRASE=$phrase node "$seal_js" --fingerprint)
for form in "VYN_VERIFY_PASSPHRASE=$phrase" "VYN_VERIFY_PASSPHRASE_FILE=$work/phrase"; do
  out=$(cd "$top" && env -u VYN_VERIFY_PASSPHRASE "$form" VERSION=1.0.0 SIGN_PKCS12="$work/code.p12" \
        SIGN_PASSWORD_FILE="$work/password" "$make" --no-print-directory release-check 2>&1)
  checks=$((checks + 1))
  [[ $from_sealer == pbkdf2-sha256:* && $out == *"fingerprint: $from_sealer"* && $out == *"signed by:"* ]] ||
    fail "${form%%=*}: the sealer's fingerprint is '$from_sealer', make release-check said: $out"
done

# The archive of the same files is the same whatever the umask they were
# written and packed under.
for mask in 022 077; do
  (
    umask $mask
    mkdir -p "$work/stage-$mask/pkg/docs"
    echo program >"$work/stage-$mask/pkg/VYN_Launcher.exe"
    printf '#!/usr/bin/env node\n' >"$work/stage-$mask/pkg/vyn-seal.js"
    echo text >"$work/stage-$mask/pkg/docs/LOG.md"
    "$1/package.sh" "$work/stage-$mask" pkg 1700000000 "$work/$mask.zip"
  )
done
checks=$((checks + 1))
modes=$(python3 -c 'import sys, zipfile
for i in zipfile.ZipFile(sys.argv[1]).infolist(): print(oct(i.external_attr >> 16), i.filename)' "$work/077.zip")
expected_modes='0o100755 pkg/VYN_Launcher.exe
0o100644 pkg/docs/LOG.md
0o100755 pkg/vyn-seal.js'
cmp -s "$work/022.zip" "$work/077.zip" && [[ $modes == "$expected_modes" ]] ||
  fail "the archives under umask 022 and 077 differ, or hold other modes: $modes"

echo "$((checks - failures)) passed, $failures failed"
[[ $failures -eq 0 ]]
