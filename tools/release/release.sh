#!/usr/bin/env bash
# Builds the release an application team takes into its pipeline:
#   dist/vyn-startup-<VERSION>-win64.zip and dist/SHA256SUMS.
#
# Required:  VERSION=x.y.z               the companion's release (CHANGELOG.md)
#            VYN_VERIFY_PASSPHRASE=...    the team's own 26-character phrase,
#         or VYN_VERIFY_PASSPHRASE_FILE=<file holding it>
# Optional:  SIGN_PKCS12, SIGN_PASSWORD (or SIGN_PASSWORD_FILE),
#            SIGN_TIMESTAMP_URL, SIGN_CA  Authenticode signing (tools/release/sign.sh)
#            ADDON_HEADERS=<dir>          the application's Electron headers
#                                         (the folder holding node_version.h), with
#            ADDON_HOST=<VYN.exe> or ADDON_NODE_LIB=<node.lib>
#            ADDON_MODULE_VERSION=N       cross-check of the headers' module version
#            VYN_COMMIT, SOURCE_DATE_EPOCH  the commit and its time, for a tree
#                                         without .git (ignored in a git tree)
#            DIST=<dir> BUILD_ROOT=<dir>  where the release and its builds go
#
# The secrets come from the environment or from files, never from arguments,
# which every user of the machine sees in the process list.
#
#   release.sh          checks every input, installs what the build needs
#                       (make deps), builds, signs and packs
#   release.sh --check  checks every input and says what would be built
#
# Everything that can be refused is refused, with exit code 2, before
# anything is installed or built.
set -euo pipefail
shopt -s extglob

top=$(cd "$(dirname "$0")/../.." && pwd)
dist=${DIST:-$top/dist}
build_root=${BUILD_ROOT:-$top/build}
version=${VERSION:-}
check_only=false
[[ ${1:-} == --check ]] && check_only=true
# The phrase every development build falls back to; it is public.
readonly dev_phrase="VYN-dev-integrity-key-2026"

refuse() {
  echo "make release: $*" >&2
  exit 2
}

windows=$build_root/release
linux=$build_root/release-linux
addon_build=$build_root/release-addon
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# read_secret NAME: sets `secret` from $NAME or from the file $NAME_FILE
# names (its line endings at the end dropped); returns 1 when neither is set.
read_secret() {
  local name=$1 file_var=${1}_FILE
  if [[ -n ${!file_var:-} ]]; then
    [[ -z ${!name:-} ]] || refuse "give $name once: in the environment or in the file $file_var names"
    [[ -f ${!file_var} && -r ${!file_var} ]] || refuse "$file_var names no readable file: ${!file_var}"
    secret=$(<"${!file_var}")
    secret=${secret%%+([$'\r\n'])}
  elif [[ -n ${!name+set} ]]; then
    secret=${!name}
  else
    return 1
  fi
}

[[ -n $version ]] || refuse "VERSION is required, e.g. make release VERSION=1.0.0"
[[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)(-[0-9A-Za-z.-]+)?$ ]] ||
  refuse "VERSION must look like 1.2.3 (or 1.2.3-rc.1), not '$version'"
# The programs' version resources hold each number in 16 bits.
for part in "${BASH_REMATCH[@]:1:3}"; do
  [[ ${#part} -le 5 ]] && ((10#$part <= 65535)) ||
    refuse "each number of VERSION must be at most 65535, not $part in '$version'"
done

read_secret VYN_VERIFY_PASSPHRASE || secret=
phrase=$secret
[[ -n $phrase ]] ||
  refuse "VYN_VERIFY_PASSPHRASE (or VYN_VERIFY_PASSPHRASE_FILE) is required: the pass phrase your launcher and your sealing step share"
[[ $phrase != "$dev_phrase" ]] ||
  refuse "VYN_VERIFY_PASSPHRASE is the development default, which is public; choose your own"
[[ ${#phrase} -eq 26 ]] ||
  refuse "VYN_VERIFY_PASSPHRASE must be exactly 26 characters, not ${#phrase}"
LC_ALL=C
[[ $phrase =~ ^[\ -~]{26}$ ]] ||
  refuse "VYN_VERIFY_PASSPHRASE must consist of printable ASCII characters only"
# cmake and the tools below take it from the environment, never as an argument.
export VYN_VERIFY_PASSPHRASE=$phrase
unset VYN_VERIFY_PASSPHRASE_FILE

tool() {
  command -v "$1" >/dev/null || refuse "$2 needs $1, which is not installed: make deps (as root) installs it"
}
tool python3 "the pass phrase's fingerprint"

signer=
if [[ -n ${SIGN_PKCS12:-} ]]; then
  [[ -f $SIGN_PKCS12 ]] || refuse "SIGN_PKCS12 names no file: $SIGN_PKCS12"
  read_secret SIGN_PASSWORD || refuse "SIGN_PKCS12 needs SIGN_PASSWORD (or SIGN_PASSWORD_FILE)"
  export SIGN_PASSWORD=$secret
  unset SIGN_PASSWORD_FILE
  tool osslsigncode signing
  tool openssl "checking the signing inputs"
  if [[ -n ${SIGN_TIMESTAMP_URL:-} ]]; then
    [[ $SIGN_TIMESTAMP_URL =~ ^https?://[A-Za-z0-9.-]+(:[0-9]+)?(/[^[:space:]]*)?$ ]] ||
      refuse "SIGN_TIMESTAMP_URL must be an http:// or https:// address, not '$SIGN_TIMESTAMP_URL'"
  fi
  [[ -z ${SIGN_CA:-} || -f $SIGN_CA ]] || refuse "SIGN_CA names no file: $SIGN_CA"
  # The password reaches openssl through the environment, never its command line.
  pkcs12() {
    openssl pkcs12 -in "$SIGN_PKCS12" -passin env:SIGN_PASSWORD "$@" 2>/dev/null ||
      openssl pkcs12 -legacy -in "$SIGN_PKCS12" -passin env:SIGN_PASSWORD "$@" 2>/dev/null
  }
  pkcs12 -noout || refuse "SIGN_PKCS12 does not open with SIGN_PASSWORD: $SIGN_PKCS12"
  key_public=$(pkcs12 -nocerts -nodes | openssl pkey -pubout 2>/dev/null) || key_public=
  [[ -n $key_public ]] || refuse "SIGN_PKCS12 holds no private key: $SIGN_PKCS12"
  pkcs12 -clcerts -nokeys >"$work/signer.pem" || true
  openssl x509 -in "$work/signer.pem" -noout -ext extendedKeyUsage 2>/dev/null | grep -q 'Code Signing' ||
    refuse "SIGN_PKCS12 holds no certificate for code signing (extended key usage Code Signing): $SIGN_PKCS12"
  [[ $(openssl x509 -in "$work/signer.pem" -noout -pubkey) == "$key_public" ]] ||
    refuse "the certificate in SIGN_PKCS12 does not belong to its private key: $SIGN_PKCS12"
  signer=$(openssl x509 -in "$work/signer.pem" -noout -subject -enddate | paste -sd ' ')
elif [[ -n ${SIGN_PASSWORD+set}${SIGN_PASSWORD_FILE:-}${SIGN_TIMESTAMP_URL:-}${SIGN_CA:-} ]]; then
  refuse "signing needs SIGN_PKCS12, the code-signing certificate and key"
fi

addon=false
module_version=null
if [[ -n ${ADDON_HEADERS:-} ]]; then
  # What the addon's build reads from the headers; checked here, before the
  # build, so a half-copied header folder is no failure after minutes.
  for f in node_version.h common.gypi config.gypi; do
    [[ -f $ADDON_HEADERS/$f ]] || refuse "ADDON_HEADERS must be the folder holding node_version.h," \
      "common.gypi and config.gypi (include/node of the Electron headers); $ADDON_HEADERS has no $f"
  done
  if [[ -n ${ADDON_HOST:-} ]]; then
    [[ -f $ADDON_HOST ]] || refuse "ADDON_HOST names no file: $ADDON_HOST"
  elif [[ -n ${ADDON_NODE_LIB:-} ]]; then
    [[ -f $ADDON_NODE_LIB ]] || refuse "ADDON_NODE_LIB names no file: $ADDON_NODE_LIB"
  else
    refuse "ADDON_HEADERS needs the application's executable (ADDON_HOST) or node.lib (ADDON_NODE_LIB)"
  fi
  python3 "$top/cmake/node_headers.py" "$ADDON_HEADERS" win "$work/headers.cmake" 2>"$work/headers.log" ||
    refuse "the headers in $ADDON_HEADERS cannot be read: $(cat "$work/headers.log")"
  module_version=$(sed -n 's/^set(_vyn_headers_module_version \([0-9]*\))$/\1/p' "$work/headers.cmake")
  [[ -z ${ADDON_MODULE_VERSION:-} || $ADDON_MODULE_VERSION == "$module_version" ]] ||
    refuse "ADDON_MODULE_VERSION is $ADDON_MODULE_VERSION, but the headers in $ADDON_HEADERS are" \
      "those of module version $module_version: give the headers of the application's own Electron"
  addon=true
elif [[ -n ${ADDON_HOST:-}${ADDON_NODE_LIB:-}${ADDON_MODULE_VERSION:-} ]]; then
  refuse "the addon needs ADDON_HEADERS, the application's Electron headers"
fi

cd "$top"
if [[ -e $top/.git ]]; then
  tool git "reading the commit"
  commit=$(git rev-parse HEAD)
  [[ -z $(git status --porcelain --untracked-files=no) ]] || commit="$commit-modified"
  # Time stamps in the archive come from the commit, never from the clock.
  epoch=$(git log -1 --format=%ct HEAD)
else
  commit=${VYN_COMMIT:-}
  epoch=${SOURCE_DATE_EPOCH:-}
  [[ -n $commit && -n $epoch ]] ||
    refuse "this tree has no .git, so its commit is unknown: give VYN_COMMIT=<the commit id>" \
      "and SOURCE_DATE_EPOCH=<its commit time in seconds since 1970>"
  [[ $commit =~ ^[0-9a-f]{7,64}(-modified)?$ ]] ||
    refuse "VYN_COMMIT must be a commit id (hexadecimal), not '$commit'"
  [[ $epoch =~ ^[0-9]{1,11}$ ]] ||
    refuse "SOURCE_DATE_EPOCH must be seconds since 1970, not '$epoch'"
fi
name=vyn-startup-$version-win64
fingerprint=$(python3 "$top/tools/release/fingerprint.py" <<<"$phrase")

if $check_only; then
  echo "release $version of $commit ($(date -u -d "@$epoch" +%Y-%m-%dT%H:%M:%SZ)): $name.zip"
  echo "pass phrase fingerprint: $fingerprint"
  [[ -z $signer ]] || echo "signed by: $signer${SIGN_TIMESTAMP_URL:+, time stamps from $SIGN_TIMESTAMP_URL}"
  ! $addon || echo "vynAddon for module version $module_version"
  exit 0
fi

# The masked pieces of the phrase are needed only while the launcher
# compiles (every configure run writes them anew): none stays behind, even
# after a failed build.
trap 'rm -rf "$work"; rm -f "$windows"/generated/*/verify/pass_phrase_pieces.h \
  "$linux"/generated/*/verify/pass_phrase_pieces.h "$addon_build"/generated/*/verify/pass_phrase_pieces.h' EXIT

echo "== packages the build needs"
make -C "$top" --no-print-directory deps

# RelWithDebInfo: the optimisation the tests run the code with; the
# reproducible setting strips the debug information again.
echo "== programs for Windows (release $version)"
# Build folders of earlier releases kept the phrase in their cache; the
# configure step below would refuse them.
for dir in "$windows" "$linux" "$addon_build"; do
  [[ ! -f $dir/CMakeCache.txt ]] || sed -i '/^VYN_VERIFY_PASSPHRASE:/d' "$dir/CMakeCache.txt"
done
cmake --preset release -B "$windows" -DVYN_RELEASE_VERSION="$version" >/dev/null
cmake --build "$windows" --target VYN_Launcher vyn-seal vyn-logview vyn_check_bridge

echo "== vyn-logview for Linux"
linux_ok=false
if cmake -S "$top" -B "$linux" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVYN_BUILD_TESTS=OFF \
     -DVYN_SANITIZE=OFF -DVYN_REPRODUCIBLE=ON >/dev/null &&
   cmake --build "$linux" --target vyn-logview; then
  linux_ok=true
else
  echo "   (left out: it does not build here)"
fi

if $addon; then
  echo "== vynAddon.node for the application's Electron"
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
# The tree's README describes the tree; the archive has its own.
cp tools/release/README.release.md "$out/README.md"
cp CHANGELOG.md "$out/"
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
  # Without a time-stamp server the signing time is the commit's, so a signed
  # release is reproducible too; a server's time stamp differs on every run.
  (cd "$out" && SIGN_TIME=$epoch "$top/tools/release/sign.sh" "${signed[@]}")
fi

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

mkdir -p "$dist"
zip_path=$dist/$name.zip
"$top/tools/release/package.sh" "$stage" "$name" "$epoch" "$zip_path"
(cd "$dist" && sha256sum "$name.zip" >SHA256SUMS)
echo "== done: $zip_path ($(stat -c %s "$zip_path") bytes)"
cat "$dist/SHA256SUMS"
