#!/bin/bash
# Makes the fake servers' test authority and certificates in this folder, valid from 2000 to
# 2100 so that the tests never age. Run it again only to add a certificate: the tests and the
# benchmarks read these files as they are.
#   ca.pem, ca.key          the authority, trusted by the tests alone
#   server.pem, server.key  localhost, 127.0.0.1 and ::1, in subjectAltName
#   cnonly.pem, cnonly.key  CN=localhost, but subjectAltName DNS:other.test only
#   wildcard.pem, .key      *.wild.test
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

dates=(-startdate 20000101000000Z -enddate 21000101000000Z)

if [[ ! -f ca.key ]]; then
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ca.key
fi

# sign NAME CN SUBJECT_ALT_NAMES
sign() {
    local name=$1 cn=$2 san=$3
    [[ -f $name.key ]] ||
        openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$name.key"
    openssl req -new -key "$name.key" -subj "/CN=$cn" -out "$work/$name.csr"
    printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
        "$san" >"$work/$name.ext"
    openssl ca -batch -notext -config "$work/ca.cnf" -cert ca.pem -keyfile ca.key \
        -in "$work/$name.csr" -out "$name.pem" -extfile "$work/$name.ext" "${dates[@]}"
}

printf '[ca]\ndefault_ca=fixture\n[fixture]\ndatabase=%s\nnew_certs_dir=%s\nserial=%s\ndefault_md=sha256\nunique_subject=no\npolicy=any\n[any]\ncommonName=supplied\n' \
    "$work/index" "$work" "$work/serial" >"$work/ca.cnf"
: >"$work/index"
openssl rand -hex 16 >"$work/serial"

if [[ ! -f ca.pem ]]; then
    openssl req -new -key ca.key -subj "/CN=newsbench fake server authority" -out "$work/ca.csr"
    printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n' >"$work/ca.ext"
    openssl ca -batch -notext -selfsign -config "$work/ca.cnf" -keyfile ca.key \
        -in "$work/ca.csr" -out ca.pem -extfile "$work/ca.ext" "${dates[@]}"
fi
[[ -f server.pem ]] || sign server localhost 'DNS:localhost,IP:127.0.0.1,IP:::1'
[[ -f cnonly.pem ]] || sign cnonly localhost 'DNS:other.test'
[[ -f wildcard.pem ]] || sign wildcard '*.wild.test' 'DNS:*.wild.test'
