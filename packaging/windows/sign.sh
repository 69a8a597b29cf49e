#!/usr/bin/env bash
# Signs Windows programs and DLLs in place (Authenticode, SHA-256) with osslsigncode,
# when the studio names its code-signing certificate and key:
#   QUARVEL_CODESIGN_CERT       the certificate, or its chain, PEM or DER
#   QUARVEL_CODESIGN_KEY        its private key: a file (PEM or DER), or the pkcs11: URI of a
#                               key on a hardware token or in a cloud key store
#   QUARVEL_CODESIGN_PKCS11     with a pkcs11: key, the PKCS#11 module of its token (its vendor's,
#                               or OpenSC's opensc-pkcs11.so)
#   QUARVEL_CODESIGN_PIN_FILE   optional: a file holding the token's PIN or the key file's password
#   QUARVEL_CODESIGN_TIMESTAMP  optional: the URL of an RFC 3161 timestamp server, so the
#                               signature stays valid after the certificate expires
# With neither of the first two set it signs nothing; with one alone it fails.
#   packaging/windows/sign.sh FILE...
set -euo pipefail

if [[ -z ${QUARVEL_CODESIGN_CERT:-}${QUARVEL_CODESIGN_KEY:-} ]]; then exit 0; fi
fail() { echo "sign.sh: $*" >&2 && exit 2; }
[[ -n ${QUARVEL_CODESIGN_CERT:-} && -n ${QUARVEL_CODESIGN_KEY:-} ]] ||
  fail "set both QUARVEL_CODESIGN_CERT and QUARVEL_CODESIGN_KEY, or neither"
args=(sign -certs "$QUARVEL_CODESIGN_CERT" -key "$QUARVEL_CODESIGN_KEY" -h sha256 -n "Quarvel Launcher")
if [[ $QUARVEL_CODESIGN_KEY == pkcs11:* ]]; then
  [[ -n ${QUARVEL_CODESIGN_PKCS11:-} ]] || fail "a pkcs11: key needs QUARVEL_CODESIGN_PKCS11, its token's module"
  args+=(-pkcs11module "$QUARVEL_CODESIGN_PKCS11")
fi
[[ -z ${QUARVEL_CODESIGN_PIN_FILE:-} ]] || args+=(-readpass "$QUARVEL_CODESIGN_PIN_FILE")
[[ -z ${QUARVEL_CODESIGN_TIMESTAMP:-} ]] || args+=(-ts "$QUARVEL_CODESIGN_TIMESTAMP")
for file; do
  osslsigncode "${args[@]}" -in "$file" -out "$file.signed" >/dev/null </dev/null || { rm -f -- "$file.signed"; exit 1; }
  mv -f -- "$file.signed" "$file"
done
