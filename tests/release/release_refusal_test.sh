#!/usr/bin/env bash
# make release refuses what would ship a broken or public pass phrase (or a
# half-given addon) before it builds anything, and the sealer's fingerprint
# of a phrase is the one BUILDINFO.json records.
# Usage: release_refusal_test.sh <tools/release folder> <vyn-seal.js>
set -u
release=$1/release.sh
seal_js=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

good=abcdefghijklmnopqrstuvwxyz
cases=(
  "VERSION=|$good|VERSION is required"
  "VERSION=1.0|$good|VERSION must look like"
  "VERSION=1.0.0||VYN_VERIFY_PASSPHRASE is required"
  "VERSION=1.0.0|VYN-dev-integrity-key-2026|development default"
  "VERSION=1.0.0|tooshort|exactly 26 characters, not 8"
  "VERSION=1.0.0|abcdefghijklmnopqrstuvwxy$(printf '\t')|printable ASCII"
  "ADDON_HOST=/nonexistent|$good|needs ADDON_HEADERS"
  "ADDON_HEADERS=$work|$good|folder holding node_version.h"
  "SIGN_PKCS12=$work/none.p12|$good|SIGN_PKCS12 names no file"
)
for c in "${cases[@]}"; do
  IFS='|' read -r setting phrase expected <<<"$c"
  out=$(env VERSION=1.0.0 "$setting" VYN_VERIFY_PASSPHRASE="$phrase" BUILD_ROOT="$work/build" \
        DIST="$work/dist" bash "$release" 2>&1)
  code=$?
  if [[ $code -ne 2 || $out != *"$expected"* || -e $work/build || -e $work/dist ]]; then
    echo "FAIL: $setting / '$phrase': exit $code, expected 2 and '$expected' before any build: $out"
    failures=$((failures + 1))
  fi
done

from_sealer=$(VYN_VERIFY_PASSPHRASE=$good node "$seal_js" --fingerprint)
from_release=$(python3 "$1/fingerprint.py" <<<"$good")
if [[ $from_sealer != "$from_release" || $from_sealer != pbkdf2-sha256:* ]]; then
  echo "FAIL: fingerprints differ: sealer '$from_sealer', release '$from_release'"
  failures=$((failures + 1))
fi

echo "$(( ${#cases[@]} + 1 - failures )) passed, $failures failed"
[[ $failures -eq 0 ]]
