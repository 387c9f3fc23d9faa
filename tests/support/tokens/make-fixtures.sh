#!/usr/bin/env bash
# Makes the keys and certificates that the token tests store on their SoftHSM2 tokens. They are
# kept in the repository, so a test only copies them onto a token; run this again only to
# replace them (valid for 100 years from the day they are made). Needs the openssl command
# and its gost engine (libengine-gost-openssl).
#
#   ca.pem                 the issuer of rsa.pem and ec.pem (EC P-256, C=BY)
#   rsa.pem, rsa.key       RSA-2048 personal certificate and its PKCS#8 key
#   ec.pem, ec.key         ECDSA P-256 personal certificate and its PKCS#8 key
#   gost.pem, gost.key     GOST R 34.10-2012 (256-bit) certificate from a GOST issuer (C=RU)
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
days=36500
printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\nsubjectKeyIdentifier=hash\n' > "$work/ca.ext"
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,nonRepudiation\nsubjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n' > "$work/person.ext"
conf() { printf '[req]\ndistinguished_name=dn\n[dn]\n[v3_ca]\n'; cat "$work/ca.ext"; }

openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$work/ca.key"
openssl req -new -x509 -utf8 -key "$work/ca.key" -days "$days" -sha256 -set_serial 0x70C0CA \
    -subj "/C=BY/O=Korvalo Test/CN=Korvalo Test Token CA" -extensions v3_ca -config <(conf) \
    -out ca.pem

person() {  # NAME SERIAL SUBJECT (key in $work/NAME.key)
    openssl req -new -utf8 -key "$work/$1.key" -subj "$3" -out "$work/$1.csr" 2>/dev/null
    openssl x509 -req -in "$work/$1.csr" -CA ca.pem -CAkey "$work/ca.key" -set_serial "$2" \
        -days "$days" -sha256 -extfile "$work/person.ext" -out "$1.pem" 2>/dev/null
    openssl pkcs8 -topk8 -nocrypt -in "$work/$1.key" -out "$1.key"
}
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/rsa.key" 2>/dev/null
person rsa 0x70C0A1 "/C=BY/O=Korvalo Test/SN=Токенов/name=Антон/CN=Токенов Антон"
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$work/ec.key"
person ec 0x70C0E2 "/C=BY/O=Korvalo Test/SN=Картова/name=Елена/CN=Картова Елена"

# GOST: its own issuer, signed with GOST R 34.11-2012.
openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A -out "$work/gca.key" 2>/dev/null
openssl req -engine gost -new -x509 -utf8 -key "$work/gca.key" -days "$days" -set_serial 0x70C0C3 \
    -subj "/C=RU/O=Korvalo Test/CN=Korvalo Test GOST CA" -extensions v3_ca -config <(conf) \
    -out "$work/gca.pem" 2>/dev/null
openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A -out "$work/gost.key" 2>/dev/null
openssl req -engine gost -new -utf8 -key "$work/gost.key" -config <(conf) \
    -subj "/C=RU/O=Korvalo Test/SN=Гостев/name=Глеб/CN=Гостев Глеб" -out "$work/gost.csr" 2>/dev/null
openssl x509 -engine gost -req -in "$work/gost.csr" -CA "$work/gca.pem" -CAkey "$work/gca.key" \
    -set_serial 0x70C0B3 -days "$days" -extfile "$work/person.ext" -out gost.pem 2>/dev/null
cp "$work/gost.key" gost.key
echo "token fixtures made in $(pwd)"
