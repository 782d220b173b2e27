#!/usr/bin/env bash
# Builds the release an application team takes into its pipeline:
#   dist/vyn-startup-<VERSION>-win64.zip and dist/SHA256SUMS.
#
# Required:  VERSION=x.y.z               the companion's release (CHANGELOG.md)
#            VYN_VERIFY_PASSPHRASE=...    the team's own 26-character phrase
# Optional:  SIGN_PKCS12, SIGN_PASSWORD, SIGN_TIMESTAMP_URL, SIGN_CA
#                                         Authenticode signing (tools/release/sign.sh)
#            ADDON_HEADERS=<dir>          the application's Electron headers
#                                         (the folder holding node_version.h), with
#            ADDON_HOST=<VYN.exe> or ADDON_NODE_LIB=<node.lib>
#            ADDON_MODULE_VERSION=N       cross-check of the headers' module version
#            DIST=<dir> BUILD_ROOT=<dir>  where the release and its builds go
#
# Everything that can be refused is refused before anything is built.
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
dist=${DIST:-$top/dist}
build_root=${BUILD_ROOT:-$top/build}
version=${VERSION:-}
phrase=${VYN_VERIFY_PASSPHRASE:-}
# The phrase every development build falls back to; it is public.
readonly dev_phrase="VYN-dev-integrity-key-2026"

refuse() {
  echo "make release: $*" >&2
  exit 2
}

[[ -n $version ]] || refuse "VERSION is required, e.g. make release VERSION=1.0.0"
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+(-[0-9A-Za-z.-]+)?$ ]] ||
  refuse "VERSION must look like 1.2.3 (or 1.2.3-rc.1), not '$version'"
[[ -n $phrase ]] ||
  refuse "VYN_VERIFY_PASSPHRASE is required: the pass phrase your launcher and your sealing step share"
[[ $phrase != "$dev_phrase" ]] ||
  refuse "VYN_VERIFY_PASSPHRASE is the development default, which is public; choose your own"
[[ ${#phrase} -eq 26 ]] ||
  refuse "VYN_VERIFY_PASSPHRASE must be exactly 26 characters, not ${#phrase}"
LC_ALL=C
[[ $phrase =~ ^[\ -~]{26}$ ]] ||
  refuse "VYN_VERIFY_PASSPHRASE must consist of printable ASCII characters only"
if [[ -n ${SIGN_PKCS12:-} ]]; then
  [[ -f $SIGN_PKCS12 ]] || refuse "SIGN_PKCS12 names no file: $SIGN_PKCS12"
  [[ -n ${SIGN_PASSWORD+set} ]] || refuse "SIGN_PKCS12 needs SIGN_PASSWORD"
fi
addon=false
if [[ -n ${ADDON_HEADERS:-} ]]; then
  [[ -f $ADDON_HEADERS/node_version.h ]] ||
    refuse "ADDON_HEADERS must be the folder holding node_version.h, not $ADDON_HEADERS"
  if [[ -n ${ADDON_HOST:-} ]]; then
    [[ -f $ADDON_HOST ]] || refuse "ADDON_HOST names no file: $ADDON_HOST"
  elif [[ -n ${ADDON_NODE_LIB:-} ]]; then
    [[ -f $ADDON_NODE_LIB ]] || refuse "ADDON_NODE_LIB names no file: $ADDON_NODE_LIB"
  else
    refuse "ADDON_HEADERS needs the application's executable (ADDON_HOST) or node.lib (ADDON_NODE_LIB)"
  fi
  addon=true
elif [[ -n ${ADDON_HOST:-}${ADDON_NODE_LIB:-}${ADDON_MODULE_VERSION:-} ]]; then
  refuse "the addon needs ADDON_HEADERS, the application's Electron headers"
fi

cd "$top"
commit=$(git rev-parse HEAD)
[[ -z $(git status --porcelain --untracked-files=no) ]] || commit="$commit-modified"
# Time stamps in the archive come from the commit, never from the clock.
epoch=$(git log -1 --format=%ct HEAD)
name=vyn-startup-$version-win64

# RelWithDebInfo: the optimisation the tests run the code with; the
# reproducible setting strips the debug information again.
echo "== programs for Windows (release $version)"
windows=$build_root/release
cmake --preset release -B "$windows" -DVYN_RELEASE_VERSION="$version" \
  -DVYN_VERIFY_PASSPHRASE="$phrase" >/dev/null
cmake --build "$windows" --target VYN_Launcher vyn-seal vyn-logview vyn_check_bridge

echo "== vyn-logview for Linux"
linux=$build_root/release-linux
linux_ok=false
if cmake -S "$top" -B "$linux" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVYN_BUILD_TESTS=OFF \
     -DVYN_SANITIZE=OFF -DVYN_REPRODUCIBLE=ON >/dev/null &&
   cmake --build "$linux" --target vyn-logview; then
  linux_ok=true
else
  echo "   (left out: it does not build here)"
fi

module_version=null
if $addon; then
  echo "== vynAddon.node for the application's Electron"
  addon_build=$build_root/release-addon
  host_args=()
  [[ -n ${ADDON_HOST:-} ]] && host_args+=(-DVYN_ADDON_HOST_EXECUTABLE="$ADDON_HOST")
  [[ -n ${ADDON_NODE_LIB:-} ]] && host_args+=(-DVYN_ADDON_NODE_LIBRARY="$ADDON_NODE_LIB")
  [[ -n ${ADDON_MODULE_VERSION:-} ]] && host_args+=(-DVYN_ADDON_MODULE_VERSION="$ADDON_MODULE_VERSION")
  cmake -S "$top" -B "$addon_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVYN_BUILD_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/clang-msvc-x86_64.cmake" \
    -DVYN_ADDON_NODE_INCLUDE_DIR="$ADDON_HEADERS" "${host_args[@]}" >/dev/null
  cmake --build "$addon_build" --target vynAddon
  module_version=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["moduleVersion"])' \
    "$addon_build/vynAddon.buildinfo.json")
fi

echo "== $name"
stage=$build_root/release-stage
rm -rf "$stage" && mkdir -p "$stage/$name"
out=$stage/$name
cp "$windows/bin/VYN_Launcher.exe" "$windows/bin/vyn-seal.exe" "$windows/bin/vyn-logview.exe" "$out/"
cp tools/seal/vyn-seal.js "$out/"
mkdir -p "$out/installer" "$out/docs"
cp installer/vyn-launcher.nsh "$out/installer/"
cp README.md CHANGELOG.md "$out/"
cp docs/INTEGRATION.md docs/LOG.md docs/SUPPORT.md "$out/docs/"
if $linux_ok; then
  mkdir -p "$out/linux-x64" && cp "$linux/bin/vyn-logview" "$out/linux-x64/"
fi
if $addon; then
  mkdir -p "$out/addon"
  cp "$addon_build/bin/vynAddon.node" "$addon_build/vynAddon.buildinfo.json" "$out/addon/"
  cp "$windows/bin/vyn-check-bridge.dll" addon/check/addon-check.js "$out/addon/"
fi

if [[ -n ${SIGN_PKCS12:-} ]]; then
  echo "== signing"
  mapfile -t signed < <(cd "$out" && find . -type f \( -name '*.exe' -o -name '*.dll' -o -name '*.node' \) | sort)
  (cd "$out" && "$top/tools/release/sign.sh" "${signed[@]}")
fi

fingerprint=$(python3 "$top/tools/release/fingerprint.py" <<<"$phrase")
python3 - "$out" "$version" "$commit" "$epoch" "$module_version" "$fingerprint" <<'EOF'
import hashlib, json, os, sys, datetime
out, version, commit, epoch, module_version, fingerprint = sys.argv[1:]
files = {}
for root, _, names in os.walk(out):
    for n in names:
        p = os.path.join(root, n)
        files[os.path.relpath(p, out).replace(os.sep, '/')] = hashlib.sha256(open(p, 'rb').read()).hexdigest()
info = {
    'version': version,
    'commit': commit,
    'commitTime': datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc).strftime('%Y-%m-%dT%H:%M:%SZ'),
    'addonModuleVersion': None if module_version == 'null' else int(module_version),
    'passPhraseFingerprint': fingerprint,
    'files': dict(sorted(files.items())),
}
with open(os.path.join(out, 'BUILDINFO.json'), 'w') as f:
    json.dump(info, f, indent=2)
    f.write('\n')
EOF

# The archive: entries in name order, every time stamp the commit's, no
# owners or extra fields, so the same commit gives the same bytes.
mkdir -p "$dist"
zip_path=$dist/$name.zip
rm -f "$zip_path"
find "$out" -exec touch -h -d "@$epoch" {} +
(cd "$stage" && find "$name" | LC_ALL=C sort | TZ=UTC zip -q -X -D -@ "$zip_path")
(cd "$dist" && sha256sum "$name.zip" >SHA256SUMS)
echo "== done: $zip_path ($(stat -c %s "$zip_path") bytes)"
cat "$dist/SHA256SUMS"
