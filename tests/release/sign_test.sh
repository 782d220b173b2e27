#!/usr/bin/env bash
# sign.sh with a throwaway CA made here: a signed program verifies against
# that CA and fails once one byte of it changes; signed at a fixed time it is
# the same bytes every time; what sign.sh must refuse
# is refused and left as it was.
# usage: sign_test.sh <sign.sh> <a built PE program>
set -euo pipefail

sign=$1
program=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Throwaway Root" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Throwaway Signer" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile signer.ext \
  -out signer.pem 2>/dev/null
openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -passout pass:throwaway -out signer.p12

export SIGN_PKCS12=signer.p12 SIGN_PASSWORD=throwaway
cp "$program" app.exe
cp "$program" module.node
"$sign" app.exe module.node >/dev/null
for f in app.exe module.node; do
  osslsigncode verify -CAfile ca.pem -in "$f" >verify.log 2>&1 || fail "$f does not verify: $(cat verify.log)"
  grep -q 'Message digest algorithm *: SHA256' verify.log || fail "$f is not signed with SHA-256"
done

# With a fixed signing time (the release's commit time) two signings of the
# same program give the same bytes.
cp "$program" once.exe && cp "$program" again.exe
SIGN_TIME=1700000000 "$sign" once.exe again.exe >/dev/null
cmp -s once.exe again.exe || fail "two signings at the same SIGN_TIME differ"

# One byte inside the signed image, well before the signature at its end.
offset=4096
byte=$(od -An -tu1 -j $offset -N1 app.exe | tr -d ' ')
printf '%b' "\\0$(printf '%03o' $((byte ^ 1)))" | dd of=app.exe bs=1 seek=$offset conv=notrunc 2>/dev/null
if osslsigncode verify -CAfile ca.pem -in app.exe >verify.log 2>&1; then
  fail "a signed program with one byte changed still verifies"
fi
grep -q MISMATCH verify.log || fail "the changed program failed for another reason: $(cat verify.log)"

# Refusals: sign.sh exits non-zero and the file keeps its bytes.
echo sealed >app.asar
cp "$program" other.exe
while IFS='|' read -r what file password; do
  before=$(sha256sum "$file")
  if SIGN_PASSWORD=$password "$sign" "$file" >/dev/null 2>&1; then fail "$what was accepted"; fi
  [ "$(sha256sum "$file")" = "$before" ] || fail "$what changed $file"
done <<'EOF'
the archive|app.asar|throwaway
a wrong password|other.exe|not-the-password
EOF

echo "signing passed"
