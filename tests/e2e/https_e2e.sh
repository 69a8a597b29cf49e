#!/usr/bin/env bash
# HTTPS against the system's own trust store: nginx with TLS and certificates from a test CA made here; the
# CA is trusted only inside a private mount namespace, where a bundle that adds it is bound over the system's
# (which libcurl with OpenSSL and Wine both read). A valid certificate installs a build; an unknown CA, a
# wrong host name and an expired certificate each end like an unreachable server: the installed build stays
# playable and nothing of the answer is written. A certificate whose revocation server cannot be reached
# still gets the update: revocation is checked on a best-effort basis.
#   tests/e2e/https_e2e.sh BIN_DIR              the Linux launcher built for it, quarvel-launcher-https
#   tests/e2e/https_e2e.sh BUILD_DIR WINE       the Windows one, quarvel-launcher-https.exe, under Wine
# Exits 77 (skipped) where no mount namespace can be made.
set -euo pipefail
if [[ -z ${QUARVEL_PRIVATE_MOUNTS:-} ]]; then
  unshare --mount true 2>/dev/null || { echo "# skipped: cannot make a mount namespace here (needs root)"; exit 77; }
  QUARVEL_PRIVATE_MOUNTS=1 exec unshare --mount --propagation private bash "$0" "$@"
fi
here=$(dirname "$0")
# shellcheck source=lib.sh
source "$here/lib.sh"
# shellcheck source=../../scripts/lib/certificates.sh
source "$here/../../scripts/lib/certificates.sh"

WINE=${2:-} PORT=18472 NGINX_LISTEN_FLAGS=ssl
readonly A='1.0 20261205' B='1.1 20261206'
if [[ -n $WINE ]]; then
  e2e_begin https-wine "$1/bin" Xvfb evilwm xdotool xprop import convert nginx zip openssl tinyproxy quarvel-launcher-https.exe
else
  e2e_begin https "$1" Xvfb xdotool import convert nginx zip openssl tinyproxy quarvel-launcher-https
  LAUNCHER=$BIN/quarvel-launcher-https
fi
C=$TMP/certs W=$TMP/player SITE=$TMP/site
mkdir -p "$C" "$W" "$SITE" && new_workdir "$W"
[[ -z $WINE ]] || cp "$BIN"/*.dll "$BIN/quarvel-launcher-https.exe" "$W/"
make_ca "$C" ca && make_ca "$C" stranger || die "openssl made no CA"
make_server_cert "$C" ca good "DNS:localhost" && make_server_cert "$C" stranger unknown "DNS:localhost" &&
  make_server_cert "$C" ca wrong-host "DNS:updates.example.com" &&
  make_server_cert "$C" ca expired "DNS:localhost" 20200101000000Z 20200102000000Z &&
  CERT_EXTENSION=crlDistributionPoints=URI:http://localhost:1/ca.crl make_server_cert "$C" ca revocation-offline \
    "DNS:localhost" || die "openssl made no certificate"
trust_in_this_namespace "$C/ca.pem" || die "cannot bind the test bundle over $SYSTEM_BUNDLE"
[[ -z $WINE ]] || wine_begin "$1/wineprefix"

publish_zip() {  # LINE: the build as quarvel-publish lays it out, zipped
  rm -rf "$TMP/build" && mkdir -p "$TMP/build/Top/details" && printf '%s' "$1" >"$TMP/build/Top/details/Quarvel.exe" &&
    chmod 755 "$TMP/build/Top/details/Quarvel.exe"
  (cd "$TMP/build" && zip -q -r "$SITE/quarvel $1.zip" Top) && printf '%s' "$1" >"$SITE/latest_version.txt"
}
serve_with() {  # CERTIFICATE
  [[ -z $NGINX_PID ]] || { stop_pid "$NGINX_PID" && NGINX_PID=""; }
  start_nginx "$SITE" "ssl_certificate $C/$1.pem; ssl_certificate_key $C/$1.key;"
}
run() {  # NAME: the launcher in W until its pipeline has ended with the button enabled
  if [[ -n $WINE ]]; then wine_start "$W" quarvel-launcher-https.exe "$1"; else open_window "$W" "$1"; fi
  check "$1: the launcher ends ready to play" wait_until 60 shows_enabled "$TMP/$1.png"
}
requests() { grep -c 'GET ' "$TMP/nginx/access.log" || true; }
# nothing_of LINE KEPT: nothing of build LINE's answer is written, and KEPT stays installed.
nothing_of() { ! ls "$W" | grep -q -e temp.txt -e "quarvel $1.zip" -e update_in_progress && holds_build "$W/latest_version.txt" "$2"; }

publish_zip "$A"
serve_with good
run valid
check "valid certificate: the build is installed" file_holds "$W/game/details/Quarvel.exe" "$A"
[[ -n $WINE ]] || check "valid certificate: quarvel-publish --check finds a clean update" \
  "$BIN/quarvel-publish" --check "https://localhost:$PORT/"
quit valid
publish_zip "$B"
# What the log file says of each certificate: OpenSSL's words on Linux, the Windows chain engine's under Wine.
declare -A words=([unknown]="unable to get local issuer certificate" [wrong-host]="no alternative certificate subject"
  [expired]="certificate has expired")
[[ -z $WINE ]] || words=([unknown]="issued by an authority this system does not trust"
  [wrong-host]="issued for another host name" [expired]="expired or not yet valid")
for certificate in unknown wrong-host expired; do
  serve_with "$certificate" && before=$(requests)
  run "$certificate"
  check "$certificate: nothing of the answer is written, the installed build stays" nothing_of "$B" "$A"
  check "$certificate: no request got past the handshake" test "$(requests)" = "$before"
  quit "$certificate"
  check "$certificate: the log file says why" grep -q "latest_version.txt: libcurl .*${words[$certificate]}" \
    "$W/quarvel-launcher.log"
  [[ -n $WINE ]] || check "$certificate: quarvel-publish --check names the host and the failure" \
    grep -q "^problem: the certificate of localhost does not verify (SSL.*certificate" \
    <("$BIN/quarvel-publish" --check "https://localhost:$PORT/")
done
serve_with revocation-offline
run revocation-offline
check "revocation server out of reach: the update is installed" holds_build "$W/latest_version.txt" "$B"
quit revocation-offline

# Behind a proxy (tinyproxy), set the player's way: https_proxy on Linux, the Internet settings in Wine's registry.
# HTTPS goes through CONNECT, and the certificate is checked exactly as without a proxy.
readonly D='1.2 20261207' SETTINGS='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections'
le32() { printf '%08x' "$1" | sed -E 's/(..)(..)(..)(..)/\4\3\2\1/'; }
wine_proxy() {  # HOST:PORT, in the system's binary record: its mark (0x46), a counter, "use a proxy", the address
  "$WINE" reg add "$SETTINGS" /v DefaultConnectionSettings /t REG_BINARY /f \
    /d "460000000000000003000000$(le32 ${#1})$(printf '%s' "$1" | od -An -tx1 | tr -d ' \n')0000000000000000"
}
publish_zip "$D" && start_proxy 18473
if [[ -n $WINE ]]; then wine_proxy 127.0.0.1:18473 >/dev/null 2>&1; else export https_proxy=http://127.0.0.1:18473; fi
serve_with unknown
run proxied-unknown
check "through a proxy: an unknown certificate is still refused" nothing_of "$D" "$B"
quit proxied-unknown
serve_with good && before=$(grep -c "CONNECT localhost:$PORT" "$TMP/proxy.log")
run proxied
check "through a proxy: the build is installed" holds_build "$W/latest_version.txt" "$D"
check "through a proxy: both requests went through it" test "$(grep -c "CONNECT localhost:$PORT" "$TMP/proxy.log")" = $((before + 2))
quit proxied
check "through a proxy: the log file names it" grep -q "through proxy http://127.0.0.1:18473" "$W/quarvel-launcher.log"
[[ -z $WINE ]] || "$WINE" reg delete "$SETTINGS" /v DefaultConnectionSettings /f >/dev/null 2>&1
e2e_end
