#!/usr/bin/env bash
# Signs release executables and modules in place with Authenticode SHA-256
# and verifies each signature against the signing certificate's chain.
#
#   SIGN_PKCS12=<.p12/.pfx> SIGN_PASSWORD=<its password>
#   [SIGN_TIMESTAMP_URL=<RFC 3161 server> | SIGN_TIME=<seconds since 1970>]
#   [SIGN_CA=<PEM of the chain's root>]
#   sign.sh FILE...
#
# Only .exe, .dll and .node files are signed. app.asar and app_verify.config
# are refused, so signing after sealing (afterPack) never breaks the seal.
# SIGN_TIME fixes the signing time a signature without a time-stamp server
# records (the clock's otherwise), so that signing the same file twice gives
# the same bytes; a server's time stamp differs on every signing.
# SIGN_CA defaults to the CA certificates inside the PKCS#12 file.
# A file is replaced only by a signed copy that has passed verification.
set -euo pipefail

fail() {
  echo "sign.sh: $*" >&2
  exit 1
}

[ $# -gt 0 ] || fail "usage: SIGN_PKCS12=<file> SIGN_PASSWORD=<password> [SIGN_TIMESTAMP_URL=<url>] [SIGN_CA=<pem>] sign.sh FILE..."
[ -n "${SIGN_PKCS12:-}" ] || fail "SIGN_PKCS12 is not set"
[ -r "$SIGN_PKCS12" ] || fail "cannot read SIGN_PKCS12=$SIGN_PKCS12"
[ -n "${SIGN_PASSWORD+set}" ] || fail "SIGN_PASSWORD is not set"
command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (make deps installs it)"
for file in "$@"; do
  case "${file,,}" in
    *.exe | *.dll | *.node) ;;
    *) fail "refusing $file: only .exe, .dll and .node files are signed" ;;
  esac
  [ -f "$file" ] || fail "no such file: $file"
done

work=$(mktemp -d)
signed=
trap 'rm -rf "$work"; [ -z "$signed" ] || rm -f "$signed"' EXIT
# The password reaches the tools through a private file, not the command
# line, where every process on the machine could read it.
(umask 077 && printf '%s' "$SIGN_PASSWORD" >"$work/password")

ca=${SIGN_CA:-}
if [ -z "$ca" ]; then
  ca=$work/ca.pem
  # Exports made by older Windows tools need OpenSSL's legacy ciphers.
  openssl pkcs12 -in "$SIGN_PKCS12" -passin "file:$work/password" -cacerts -nokeys -out "$ca" 2>"$work/log" ||
    openssl pkcs12 -legacy -in "$SIGN_PKCS12" -passin "file:$work/password" -cacerts -nokeys -out "$ca" 2>"$work/log" ||
    fail "cannot read $SIGN_PKCS12 (wrong SIGN_PASSWORD?): $(cat "$work/log")"
  grep -q 'BEGIN CERTIFICATE' "$ca" ||
    fail "$SIGN_PKCS12 holds no CA certificate to verify against; give the chain's root as SIGN_CA=<pem>"
fi
[ -r "$ca" ] || fail "cannot read SIGN_CA=$ca"

timestamp=()
if [ -n "${SIGN_TIMESTAMP_URL:-}" ]; then
  timestamp=(-ts "$SIGN_TIMESTAMP_URL")
elif [ -n "${SIGN_TIME:-}" ]; then
  [[ $SIGN_TIME =~ ^[0-9]+$ ]] || fail "SIGN_TIME must be seconds since 1970, not '$SIGN_TIME'"
  timestamp=(-time "$SIGN_TIME")
fi

for file in "$@"; do
  # Beside the file, so the final move is a rename on the same file system.
  signed=$file.signing-$$
  osslsigncode sign -pkcs12 "$SIGN_PKCS12" -readpass "$work/password" -h sha256 "${timestamp[@]}" \
    -in "$file" -out "$signed" >"$work/log" 2>&1 || fail "signing $file failed: $(cat "$work/log")"
  osslsigncode verify -CAfile "$ca" -in "$signed" >"$work/log" 2>&1 ||
    fail "the signature of $file does not verify against $ca: $(cat "$work/log")"
  chmod --reference="$file" "$signed"
  mv -f "$signed" "$file"
  signed=
  echo "signed and verified: $file"
done
