#!/usr/bin/env bash
# Signs Windows programs and DLLs in place (Authenticode, SHA-256) with osslsigncode,
# when the studio names its code-signing certificate and key:
#   QUARVEL_SIGN_CERT       the certificate, or its chain, PEM or DER
#   QUARVEL_SIGN_KEY        its private key, PEM or DER, not encrypted
#   QUARVEL_SIGN_TIMESTAMP  optional: the URL of an RFC 3161 timestamp server, so the
#                           signature stays valid after the certificate expires
# With neither of the first two set it signs nothing; with one alone it fails.
#   packaging/windows/sign.sh FILE...
set -euo pipefail

if [[ -z ${QUARVEL_SIGN_CERT:-}${QUARVEL_SIGN_KEY:-} ]]; then exit 0; fi
if [[ -z ${QUARVEL_SIGN_CERT:-} || -z ${QUARVEL_SIGN_KEY:-} ]]; then
  echo "sign.sh: set both QUARVEL_SIGN_CERT and QUARVEL_SIGN_KEY, or neither" >&2
  exit 2
fi
args=(sign -certs "$QUARVEL_SIGN_CERT" -key "$QUARVEL_SIGN_KEY" -h sha256 -n "Quarvel Launcher")
[[ -z ${QUARVEL_SIGN_TIMESTAMP:-} ]] || args+=(-ts "$QUARVEL_SIGN_TIMESTAMP")
for file; do
  osslsigncode "${args[@]}" -in "$file" -out "$file.signed" >/dev/null || { rm -f -- "$file.signed"; exit 1; }
  mv -f -- "$file.signed" "$file"
done
