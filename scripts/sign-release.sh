#!/usr/bin/env bash
# Signs an installer image with a SHA-256 Authenticode signature whose description is the
# program's name and whose URL is the service's web root. The unsigned image is only read.
#
# Usage: sign-release.sh UNSIGNED.exe SIGNED.exe
#
# The key and certificate come from the environment, either
#   BRIVOK_SIGN_PKCS12    a PKCS#12 (.pfx/.p12) file with the key and certificate chain, or
#   BRIVOK_SIGN_KEY       a private key file (PEM or DER) together with
#   BRIVOK_SIGN_CERT      its certificate (chain) file (PEM, DER or SPC);
#   BRIVOK_SIGN_PASSWORD  the password of the PKCS#12 file or of an encrypted key (optional);
#   BRIVOK_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server to counter-sign (optional).
# With none of them, a throwaway self-signed test certificate is made once under
# build/signing/ and used: the result is test-signed and no Windows machine trusts it.
# BRIVOK_ROOT is the web root (https://www.brivok.com/ when unset).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

[ $# = 2 ] || { echo "usage: $0 UNSIGNED.exe SIGNED.exe" >&2; exit 2; }
unsigned=$1
signed=$2
name="BriVok Buttons"
root=${BRIVOK_ROOT:-https://www.brivok.com/}
test_dir="$here/build/signing"
test_key="$test_dir/test-signing.key"
test_cert="$test_dir/test-signing.crt"

fail() { echo "sign-release: $*" >&2; exit 1; }

[ -f "$unsigned" ] || fail "no image to sign: $unsigned"
[ "$(realpath -m "$unsigned")" != "$(realpath -m "$signed")" ] ||
    fail "the signed file must not replace the unsigned image"
command -v osslsigncode >/dev/null || fail "osslsigncode is missing (make deps)"

pkcs12=${BRIVOK_SIGN_PKCS12:-}
key=${BRIVOK_SIGN_KEY:-}
cert=${BRIVOK_SIGN_CERT:-}
if [ -n "$pkcs12" ] && { [ -n "$key" ] || [ -n "$cert" ]; }; then
    fail "give either BRIVOK_SIGN_PKCS12 or BRIVOK_SIGN_KEY with BRIVOK_SIGN_CERT, not both"
fi
if [ -n "$key$cert" ] && { [ -z "$key" ] || [ -z "$cert" ]; }; then
    fail "BRIVOK_SIGN_KEY and BRIVOK_SIGN_CERT go together"
fi

make_test_certificate() {
    mkdir -p "$test_dir"
    (
        flock 9
        # Kept between runs; made again when missing or about to expire.
        if [ -f "$test_key" ] && [ -f "$test_cert" ] &&
            openssl x509 -in "$test_cert" -noout -checkend 86400 >/dev/null 2>&1; then
            exit 0
        fi
        rm -f "$test_key" "$test_cert"
        openssl req -x509 -newkey rsa:3072 -sha256 -nodes -days 3650 \
            -subj "/CN=BriVok Buttons TEST SIGNING ONLY/O=Untrusted test certificate" \
            -addext "basicConstraints=critical,CA:FALSE" \
            -addext "keyUsage=critical,digitalSignature" \
            -addext "extendedKeyUsage=codeSigning" \
            -keyout "$test_key.new" -out "$test_cert.new" >"$test_dir/openssl.log" 2>&1 ||
            { cat "$test_dir/openssl.log" >&2; exit 1; }
        chmod 600 "$test_key.new"
        rm -f "$test_dir/openssl.log"
        mv "$test_key.new" "$test_key"
        mv "$test_cert.new" "$test_cert"
    ) 9>"$test_dir/.lock" || fail "could not make the test certificate"
}

args=(sign -h sha256 -n "$name" -i "$root")
test_signed=0
if [ -n "$pkcs12" ]; then
    [ -f "$pkcs12" ] || fail "no PKCS#12 file: $pkcs12"
    args+=(-pkcs12 "$pkcs12")
elif [ -n "$key" ]; then
    [ -f "$key" ] && [ -f "$cert" ] || fail "no key or certificate file: $key, $cert"
    args+=(-key "$key" -certs "$cert")
else
    make_test_certificate
    args+=(-key "$test_key" -certs "$test_cert")
    test_signed=1
fi
[ -z "${BRIVOK_SIGN_TIMESTAMP_URL:-}" ] || args+=(-ts "$BRIVOK_SIGN_TIMESTAMP_URL")

mkdir -p "$(dirname "$signed")"
partial="$signed.partial"
log="$signed.log"
rm -f "$signed" "$partial"
# The password goes through a pipe, never the command line where other users could see it.
if [ -n "${BRIVOK_SIGN_PASSWORD:-}" ]; then
    printf '%s' "$BRIVOK_SIGN_PASSWORD" |
        osslsigncode "${args[@]}" -readpass /dev/stdin -in "$unsigned" -out "$partial" >"$log" 2>&1
else
    osslsigncode "${args[@]}" -in "$unsigned" -out "$partial" </dev/null >"$log" 2>&1
fi || { cat "$log" >&2; rm -f "$partial" "$log"; fail "signing failed; nothing was written"; }
rm -f "$log"
chmod 755 "$partial"
mv "$partial" "$signed"

if [ "$test_signed" = 1 ]; then
    echo "TEST-SIGNED: $signed carries a throwaway self-signed test certificate"
    echo "  ($test_cert); Windows will not trust it. Set BRIVOK_SIGN_PKCS12 (with"
    echo "  BRIVOK_SIGN_PASSWORD) or BRIVOK_SIGN_KEY and BRIVOK_SIGN_CERT to sign for release."
else
    echo "signed: $signed"
fi
