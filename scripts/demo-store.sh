#!/usr/bin/env bash
# Makes the demo certificates in FOLDER: a demo CA, a personal certificate store that Korvalo
# reads ($KORVALO_CERT_STORE), a card certificate for the card-service stand-in, and a Korvalo
# settings file that signs these certificates with SHA-256.
#
#   scripts/demo-store.sh [--force] FOLDER
#
# FOLDER/ca.pem, ca.key            the demo CA (EC P-256, C=BY); the demo service checks against it
# FOLDER/store/                    the certificate store: give it to Korvalo as KORVALO_CERT_STORE
#   01-ivanov.p12                  RSA-2048, no password
#   02-sidorova.pem                EC P-256, certificate and key in one PEM file
#   03-kozlov.p12                  RSA-2048, key password 1234
# FOLDER/card/card.pem, card.key   the ID card's certificate and key (korvalo-card-service)
# FOLDER/token/                    a SoftHSM2 token "Korvalo Demo", user PIN 1234, holding an
#   softhsm2.conf                  RSA-2048 key and its certificate: give this file to Korvalo as
#   tokens/, token.pem             SOFTHSM2_CONF (SoftHSM2 is registered with p11-kit, so the
#                                  p11-kit proxy reaches the token); token.pem is its certificate
# FOLDER/korvalo.ini               [Main] hashAlgOID=2.16.840.1.101.3.4.2.1: give it as KORVALO_INI
#
# Subjects carry CN, SN (surname, 2.5.4.4), the given names both as GN (2.5.4.42) and as
# name (2.5.4.41, which Korvalo's certificate list shows after the surname), O and OU.
#
# An existing complete folder is kept as it is (its certificates stay the same between runs);
# --force makes everything anew. Needs the openssl command, and for the token softhsm2-util
# (softhsm2) and p11tool (gnutls-bin); without them the token is left out, with a note.
set -euo pipefail

force=0
if [ "${1:-}" = "--force" ]; then
    force=1
    shift
fi
if [ $# -ne 1 ] || [ -z "$1" ]; then
    echo "usage: $0 [--force] FOLDER" >&2
    exit 2
fi
dir=$1
command -v openssl >/dev/null || { echo "$0: the openssl command is not installed" >&2; exit 1; }

softhsm_module=/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so
if [ -n "${KORVALO_SOFTHSM_MODULE:-}" ]; then
    softhsm_module=$KORVALO_SOFTHSM_MODULE
elif command -v dpkg-architecture >/dev/null; then
    softhsm_module="/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/softhsm/libsofthsm2.so"
fi
with_token=1
for tool in softhsm2-util p11tool; do
    command -v "$tool" >/dev/null || with_token=0
done
[ -f "$softhsm_module" ] || with_token=0

outputs=(ca.pem ca.key store/01-ivanov.p12 store/02-sidorova.pem store/03-kozlov.p12
         card/card.pem card/card.key korvalo.ini)
[ "$with_token" = 1 ] && outputs+=(token/softhsm2.conf token/token.pem)
complete=1
for f in "${outputs[@]}"; do
    [ -s "$dir/$f" ] || complete=0
done
if [ "$complete" = 1 ] && [ "$force" = 0 ]; then
    echo "demo certificates already in $dir (use --force to make new ones)"
    exit 0
fi

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)  # the token's configuration names its folder by the full path
work=$(mktemp -d "$dir/.making.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/store" "$work/card" "$work/token/tokens"

cat > "$work/ca.ext" <<'EXT'
basicConstraints=critical,CA:TRUE
keyUsage=critical,keyCertSign,cRLSign
subjectKeyIdentifier=hash
EXT
cat > "$work/person.ext" <<'EXT'
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,nonRepudiation
extendedKeyUsage=emailProtection,clientAuth
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
EXT

ossl() {
    local out
    if ! out=$(openssl "$@" 2>&1); then
        echo "$0: openssl $1 failed:" >&2
        echo "$out" >&2
        exit 1
    fi
}

# The demo CA.
ossl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$work/ca.key"
ossl req -new -x509 -utf8 -key "$work/ca.key" -days 1825 -sha256 \
    -subj "/C=BY/O=Korvalo Demo/CN=Korvalo Demo CA" \
    -extensions v3_ca -config <(printf '[req]\ndistinguished_name=dn\n[dn]\n[v3_ca]\n'; cat "$work/ca.ext") \
    -out "$work/ca.pem"

# issue NAME SERIAL SUBJECT KEYTYPE: a key and a certificate signed by the demo CA.
issue() {
    local name=$1 serial=$2 subject=$3 keytype=$4
    case $keytype in
        rsa) ossl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/$name.key" ;;
        ec) ossl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$work/$name.key" ;;
    esac
    ossl req -new -utf8 -key "$work/$name.key" -subj "$subject" -out "$work/$name.csr"
    ossl x509 -req -in "$work/$name.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
        -set_serial "$serial" -days 730 -sha256 -extfile "$work/person.ext" -out "$work/$name.pem"
}

issue ivanov 0x1A2B3C4D5E6F \
    "/C=BY/O=ООО «Ромашка»/OU=Бухгалтерия/SN=Иванов/GN=Иван Иванович/name=Иван Иванович/CN=Иванов Иван Иванович" rsa
issue sidorova 0x0102030405 \
    "/C=BY/O=ООО «Ромашка»/OU=Отдел продаж/SN=Сидорова/GN=Мария Петровна/name=Мария Петровна/CN=Сидорова Мария Петровна" ec
issue kozlov 0x7B \
    "/C=BY/O=ООО «Ромашка»/OU=Дирекция/SN=Козлов/GN=Пётр Андреевич/name=Пётр Андреевич/CN=Козлов Пётр Андреевич" rsa
issue card 0x0C0A0D01 \
    "/C=BY/SN=Петрова/GN=Анна Сергеевна/name=Анна Сергеевна/CN=Петрова Анна Сергеевна/serialNumber=PB1234567" ec

# The store: a PKCS#12 file without a password, a PEM file, a PKCS#12 file whose key is
# guarded by a password (the certificate stays readable, so the store lists it unasked).
ossl pkcs12 -export -in "$work/ivanov.pem" -inkey "$work/ivanov.key" \
    -name "Иванов Иван Иванович" -passout pass: -out "$work/store/01-ivanov.p12"
cat "$work/sidorova.pem" "$work/sidorova.key" > "$work/store/02-sidorova.pem"
ossl pkcs12 -export -in "$work/kozlov.pem" -inkey "$work/kozlov.key" -certpbe NONE \
    -name "Козлов Пётр Андреевич" -passout pass:1234 -out "$work/store/03-kozlov.p12"

cp "$work/card.pem" "$work/card/card.pem"
cp "$work/card.key" "$work/card/card.key"

# The token: SoftHSM2 keeps it in token/tokens; its configuration names that folder.
softhsm_conf() {  # TOKENDIR
    printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n' "$1"
}
tool() {
    local out
    if ! out=$("$@" 2>&1); then
        echo "$0: $1 failed:" >&2
        echo "$out" >&2
        exit 1
    fi
}
if [ "$with_token" = 1 ]; then
    issue token 0x70D0 \
        "/C=BY/O=ООО «Ромашка»/OU=Касса/SN=Токенова/GN=Ольга Сергеевна/name=Ольга Сергеевна/CN=Токенова Ольга Сергеевна" rsa
    ossl pkcs8 -topk8 -nocrypt -in "$work/token.key" -out "$work/token.p8"
    softhsm_conf "$work/token/tokens" > "$work/token/making.conf"
    export SOFTHSM2_CONF="$work/token/making.conf"
    tool softhsm2-util --init-token --free --label "Korvalo Demo" --pin 1234 --so-pin 12345678
    tool softhsm2-util --import "$work/token.p8" --token "Korvalo Demo" --label demo --id 01 \
        --pin 1234
    GNUTLS_PIN=1234 tool p11tool --provider "$softhsm_module" --login --write \
        --load-certificate "$work/token.pem" --label demo --id 01 "pkcs11:token=Korvalo%20Demo"
    unset SOFTHSM2_CONF
    rm -f "$work/token/making.conf" "$work/token.p8"
    softhsm_conf "$dir/token/tokens" > "$work/token/softhsm2.conf"
    cp "$work/token.pem" "$work/token/token.pem"
fi

# RSA and EC certificates sign with SHA-256: the issuer's country alone would not choose a
# digest that OpenSSL has.
printf '[Main]\r\nhashAlgOID=2.16.840.1.101.3.4.2.1\r\n' > "$work/korvalo.ini"

# Put everything in place only once all of it has been made.
rm -rf "$dir/store" "$dir/card" "$dir/token"
mv "$work/store" "$work/card" "$dir/"
[ "$with_token" = 1 ] && mv "$work/token" "$dir/"
mv "$work/ca.pem" "$work/ca.key" "$work/korvalo.ini" "$dir/"
chmod 600 "$dir/ca.key" "$dir/card/card.key" "$dir/store/02-sidorova.pem"
[ "$with_token" = 1 ] && chmod -R go-rwx "$dir/token/tokens"

echo "demo certificates made in $dir:"
echo "  CA:    $dir/ca.pem"
echo "  store: $dir/store (01-ivanov.p12, 02-sidorova.pem, 03-kozlov.p12 with password 1234)"
echo "  card:  $dir/card/card.pem, $dir/card/card.key"
if [ "$with_token" = 1 ]; then
    echo "  token: \"Korvalo Demo\", PIN 1234 (SOFTHSM2_CONF=$dir/token/softhsm2.conf)"
else
    echo "  token: not made (it needs softhsm2-util, p11tool and $softhsm_module)"
fi
echo "  settings: $dir/korvalo.ini (hashAlgOID=2.16.840.1.101.3.4.2.1)"
