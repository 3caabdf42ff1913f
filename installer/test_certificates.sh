#!/usr/bin/env bash
# Throwaway certificate authorities and code-signing keys for the signing
# tests, made with openssl at test time in a scratch folder of the build tree.
# They live two days and are never committed.  Sourced by the tests:
#   make_test_ca DIR NAME              DIR/ca.pem, DIR/ca.key, DIR/ca.crl
#   make_code_signing DIR CADIR NAME   DIR/cert.pem (signer), DIR/chain.pem
#                                      (signer, then CA), DIR/key.pem
#                                      (PKCS#8), DIR/sign.p12 and its
#                                      password in DIR/password

test_openssl() { openssl "$@" </dev/null >/dev/null 2>"$OPENSSL_LOG" || { cat "$OPENSSL_LOG" >&2; return 1; }; }

make_test_ca() {
    local dir=$1 name=$2
    mkdir -p "$dir/db" && : >"$dir/db/index.txt" && echo 1000 >"$dir/db/crlnumber" || return
    OPENSSL_LOG=$dir/openssl.log
    test_openssl req -x509 -newkey rsa:2048 -noenc -keyout "$dir/ca.key" -out "$dir/ca.pem" -days 2 \
        -subj "/O=Ostrel Test/CN=$name" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign || return
    # An empty CRL, for osslsigncode 2.9's revocation check of a certificate
    # that names a distribution point.
    printf '[ca]\ndefault_ca = test\n[test]\ndatabase = %s\ncrlnumber = %s\ndefault_md = sha256\ndefault_crl_days = 2\n' \
        "$dir/db/index.txt" "$dir/db/crlnumber" >"$dir/ca.cnf"
    test_openssl ca -config "$dir/ca.cnf" -gencrl -keyfile "$dir/ca.key" -cert "$dir/ca.pem" -out "$dir/ca.crl"
}

# CDP, when given, is a CRL distribution point URL written into the certificate.
make_code_signing() {
    local dir=$1 ca=$2 name=$3 cdp=${4:-}
    mkdir -p "$dir" || return
    OPENSSL_LOG=$dir/openssl.log
    printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\nsubjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n' \
        >"$dir/ext.cnf"
    [ -z "$cdp" ] || echo "crlDistributionPoints=URI:$cdp" >>"$dir/ext.cnf"
    test_openssl req -newkey rsa:2048 -noenc -keyout "$dir/key.pem" -out "$dir/cert.csr" -subj "/O=Ostrel Test/CN=$name" &&
    test_openssl x509 -req -in "$dir/cert.csr" -CA "$ca/ca.pem" -CAkey "$ca/ca.key" -set_serial "0x$(openssl rand -hex 8)" \
        -days 2 -out "$dir/cert.pem" -extfile "$dir/ext.cnf" || return
    cat "$dir/cert.pem" "$ca/ca.pem" >"$dir/chain.pem"
    openssl rand -hex 12 >"$dir/password"
    test_openssl pkcs12 -export -in "$dir/cert.pem" -inkey "$dir/key.pem" -certfile "$ca/ca.pem" \
        -out "$dir/sign.p12" -passout file:"$dir/password"
}
