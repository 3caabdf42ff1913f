#!/usr/bin/env bash
# Throwaway certificate authorities, code-signing keys, a time-stamping
# authority's key and a SoftHSM2 token for the tests, made with openssl.
# The build makes them once (tests/CMakeLists.txt), never a test run; they
# are never committed.
#
# Run:   test_certificates.sh DIR     makes the whole set below in DIR
# Sourced, for a test that makes its own:
#   make_test_ca DIR NAME              DIR/ca.pem, DIR/ca.key, DIR/ca.crl
#   make_code_signing DIR CADIR NAME [CDP]
#                                      DIR/cert.pem (signer), DIR/chain.pem
#                                      (signer, then CA), DIR/key.pem
#                                      (PKCS#8), DIR/sign.p12 and its
#                                      password in DIR/password
#
# The set, <build tree>/installer/test-keys/, for any test that signs (a
# package test builds its signed package from signer/sign.p12, password and
# ca/ca.pem):
#   ca/        "Signing Test Root", the publisher's CA (ca.pem, ca.crl)
#   signer/    "Signing Test Publisher", issued by ca/
#   with-cdp/  "Signing Test Publisher With CDP", issued by ca/, naming a CRL
#              distribution point on the loopback's discard port, where
#              nothing listens
#   other-ca/  "Other Test Root", which nothing of ours trusts
#   stranger/  "Signing Test Stranger", issued by other-ca/
#   vendor/    "Signing Test Vendor", issued by other-ca/: a device library's
#   tsa-ca/    "Timestamp Test Root", the time-stamping authority's CA
#   tsa/       "Timestamp Test Authority", issued by tsa-ca/ for time stamping
#              only: cert.pem, key.pem, chain.pem
#   token/     a SoftHSM2 token "ostrel-signing" holding signer/'s key as
#              "code-signing": tokens/ (copy it before use: a test must not
#              change the build's), softhsm2.conf, pin
#   ready      written last; what the build checks
# Every certificate and CRL is valid for TEST_CERT_DAYS (ten years) from the
# build that made it, so a build tree stays usable that long; the set is made
# again whenever this file changes (or is removed).

TEST_CERT_DAYS=3650

test_openssl() { openssl "$@" </dev/null >/dev/null 2>"$OPENSSL_LOG" || { cat "$OPENSSL_LOG" >&2; return 1; }; }

# A serial of 16 hex digits without a leading zero, so that every tool
# prints it alike.
test_serial() { local s; s=$(openssl rand -hex 8); printf '0x4%s' "${s:1}"; }

make_test_ca() {
    local dir=$1 name=$2
    mkdir -p "$dir/db" && : >"$dir/db/index.txt" && echo 1000 >"$dir/db/crlnumber" || return
    OPENSSL_LOG=$dir/openssl.log
    test_openssl req -x509 -newkey rsa:2048 -noenc -keyout "$dir/ca.key" -out "$dir/ca.pem" -days $TEST_CERT_DAYS \
        -subj "/O=Ostrel Test/CN=$name" -set_serial "$(test_serial)" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign || return
    # An empty CRL, for osslsigncode 2.9's revocation check of a certificate
    # that names a distribution point.
    printf '[ca]\ndefault_ca = test\n[test]\ndatabase = %s\ncrlnumber = %s\ndefault_md = sha256\ndefault_crl_days = %s\n' \
        "$dir/db/index.txt" "$dir/db/crlnumber" $TEST_CERT_DAYS >"$dir/ca.cnf"
    test_openssl ca -config "$dir/ca.cnf" -gencrl -keyfile "$dir/ca.key" -cert "$dir/ca.pem" -out "$dir/ca.crl"
}

# make_certificate DIR CADIR NAME USAGE [EXTRA]: DIR/key.pem, DIR/cert.pem
# and DIR/chain.pem, for the extended key usage USAGE; EXTRA is one more
# extension line.
make_certificate() {
    local dir=$1 ca=$2 name=$3 usage=$4 extra=${5:-}
    mkdir -p "$dir" || return
    OPENSSL_LOG=$dir/openssl.log
    printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\nsubjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n' \
        "$usage" >"$dir/ext.cnf"
    [ -z "$extra" ] || echo "$extra" >>"$dir/ext.cnf"
    test_openssl req -newkey rsa:2048 -noenc -keyout "$dir/key.pem" -out "$dir/cert.csr" -subj "/O=Ostrel Test/CN=$name" &&
    test_openssl x509 -req -in "$dir/cert.csr" -CA "$ca/ca.pem" -CAkey "$ca/ca.key" -set_serial "$(test_serial)" \
        -days $TEST_CERT_DAYS -out "$dir/cert.pem" -extfile "$dir/ext.cnf" || return
    cat "$dir/cert.pem" "$ca/ca.pem" >"$dir/chain.pem"
}

# CDP, when given, is a CRL distribution point URL written into the certificate.
make_code_signing() {
    local dir=$1 ca=$2 name=$3 cdp=${4:-}
    make_certificate "$dir" "$ca" "$name" codeSigning ${cdp:+"crlDistributionPoints=URI:$cdp"} || return
    openssl rand -hex 12 >"$dir/password"
    test_openssl pkcs12 -export -in "$dir/cert.pem" -inkey "$dir/key.pem" -certfile "$ca/ca.pem" \
        -out "$dir/sign.p12" -passout file:"$dir/password"
}

# The signer's key on a SoftHSM2 token kept in DIR/tokens.
make_token() {
    local dir=$1 key=$2
    mkdir -p "$dir/tokens" || return
    printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n' \
        "$dir/tokens" >"$dir/softhsm2.conf"
    echo 5271 >"$dir/pin"
    command -v softhsm2-util >/dev/null || { echo "softhsm2-util is missing (Debian package: softhsm2)" >&2; return 1; }
    SOFTHSM2_CONF=$dir/softhsm2.conf softhsm2-util --init-token --free --label ostrel-signing --so-pin 86420 --pin 5271 \
        >/dev/null &&
    SOFTHSM2_CONF=$dir/softhsm2.conf softhsm2-util --import "$key" --token ostrel-signing --label code-signing --id 01 \
        --pin 5271 >/dev/null
}

make_test_keys() {
    local dir=${1:?usage: test_certificates.sh DIR}
    rm -rf "$dir" && mkdir -p "$dir" || return
    make_test_ca "$dir/ca" "Signing Test Root" &&
    make_code_signing "$dir/signer" "$dir/ca" "Signing Test Publisher" &&
    make_code_signing "$dir/with-cdp" "$dir/ca" "Signing Test Publisher With CDP" http://127.0.0.1:9/test.crl &&
    make_test_ca "$dir/other-ca" "Other Test Root" &&
    make_code_signing "$dir/stranger" "$dir/other-ca" "Signing Test Stranger" &&
    make_code_signing "$dir/vendor" "$dir/other-ca" "Signing Test Vendor" &&
    make_test_ca "$dir/tsa-ca" "Timestamp Test Root" &&
    # RFC 3161 2.3: a time-stamping authority's certificate has this one
    # extended key usage, marked critical.
    make_certificate "$dir/tsa" "$dir/tsa-ca" "Timestamp Test Authority" critical,timeStamping &&
    make_token "$dir/token" "$dir/signer/key.pem" || { echo "test_certificates.sh: making $dir failed" >&2; return 1; }
    date -u '+made %Y-%m-%d %H:%M UTC' >"$dir/ready"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    make_test_keys "$@"
fi
