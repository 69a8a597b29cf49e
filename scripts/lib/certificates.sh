# shellcheck shell=bash
# Throwaway certificates made with openssl in DIR, for the HTTPS test and demo: certificate authorities that
# are trusted only where a bundle holding them is bound over the system's, and server certificates they sign.
#   make_ca DIR NAME;  make_server_cert DIR CA NAME SUBJECT_ALT_NAMES [START END]   (dates as YYYYMMDDHHMMSSZ;
#   CERT_EXTENSION, when set, is one more extension such as crlDistributionPoints=URI:http://...)
#   trust_in_this_namespace CERTIFICATE   (in a private mount namespace only: adds it to the system bundle)

make_ca() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quarvel test CA $2" -keyout "$1/$2.key" \
    -out "$1/$2.pem" -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    >/dev/null 2>&1
}

# Signed through "openssl ca", the one command that sets any validity period, an expired one included.
make_server_cert() {
  local dir=$1 ca=$2 name=$3 names=$4 start=${5:-} end=${6:-}
  [[ -n $start ]] || start=$(date -u -d '-1 hour' +%Y%m%d%H%M%SZ) end=$(date -u -d '+1 day' +%Y%m%d%H%M%SZ)
  mkdir -p "$dir/db-$name" && : >"$dir/db-$name/index.txt"
  cat >"$dir/db-$name/ca.cnf" <<CONF
[ca]
default_ca = test
[test]
database = $dir/db-$name/index.txt
new_certs_dir = $dir/db-$name
serial = $dir/db-$name/serial
default_md = sha256
policy = any
copy_extensions = copy
[any]
commonName = supplied
CONF
  openssl req -newkey rsa:2048 -nodes -subj "/CN=${names%%,*}" -keyout "$dir/$name.key" -out "$dir/$name.csr" \
    -addext "subjectAltName=$names" -addext basicConstraints=CA:FALSE -addext extendedKeyUsage=serverAuth \
    ${CERT_EXTENSION:+-addext "$CERT_EXTENSION"} \
    >/dev/null 2>&1 &&
    openssl ca -batch -notext -create_serial -config "$dir/db-$name/ca.cnf" -cert "$dir/$ca.pem" -keyfile "$dir/$ca.key" \
      -in "$dir/$name.csr" -out "$dir/$name.pem" -startdate "$start" -enddate "$end" >/dev/null 2>&1
}

readonly SYSTEM_BUNDLE=/etc/ssl/certs/ca-certificates.crt
trust_in_this_namespace() {
  local bundle
  bundle=$(mktemp "${TMPDIR:-/tmp}/quarvel-bundle.XXXXXX") && cat "$SYSTEM_BUNDLE" "$1" >"$bundle" &&
    mount --bind "$bundle" "$SYSTEM_BUNDLE"
}
