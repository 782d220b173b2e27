#!/usr/bin/env bash
# Shows that a release is reproducible: builds the current commit twice, in
# two fresh clones in different folders, one under umask 022 and one under
# 077, and compares the executables and the archives byte for byte. With the
# signing inputs in the environment (and no time-stamp server) both are
# signed. Takes minutes (two release builds), so it is
# `make release-reproducible`, not part of `make test`.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
version=${VERSION:-0.0.0-reproducible}
[[ -n ${VYN_VERIFY_PASSPHRASE_FILE:-} ]] ||
  export VYN_VERIFY_PASSPHRASE=${VYN_VERIFY_PASSPHRASE:-reproducible-check-phrase1}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# One commit for both sides, even if the tree moves on during the minutes
# this takes: its time is the archive's time stamps and the signing time.
commit=$(git -C "$top" rev-parse HEAD)
for side in a:022 b-in-a-deeper-folder:077; do
  mask=${side#*:} side=${side%:*}
  (umask "$mask" && git clone -q --no-checkout "$top" "$work/$side/vyn" && cd "$work/$side/vyn" &&
    git checkout -q "$commit" &&
    VERSION=$version bash tools/release/release.sh >"$work/$side.log" 2>&1) ||
    { cat "$work/$side.log"; exit 1; }
done
name=vyn-startup-$version-win64
a=$work/a/vyn
b=$work/b-in-a-deeper-folder/vyn
differ=0
for f in $(cd "$a/build/release-stage/$name" && find . -type f | LC_ALL=C sort) ../../../dist/$name.zip; do
  if cmp -s "$a/build/release-stage/$name/$f" "$b/build/release-stage/$name/$f"; then
    echo "same:   $f ($(sha256sum <"$a/build/release-stage/$name/$f" | cut -c1-16))"
  else
    echo "DIFFER: $f"
    differ=1
  fi
done
exit $differ
