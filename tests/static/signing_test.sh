#!/usr/bin/env bash
# Signing the package and its programs (sign.sh, through package.sh) with the
# build's throwaway keys (test_certificates.sh): a PKCS#12 key whose every
# signature is time-stamped by an RFC 3161 authority this test runs on the
# loopback address, and the same key on a SoftHSM2 token through PKCS#11,
# signing without timestamps (SIGN_NO_TIMESTAMP=1).  Checks that every
# signature verifies against the test CA and not against the system's store
# alone, carries this authority's timestamp (or none), that a changed byte no
# longer verifies, that signing changed nothing but the signature (the
# Authenticode digest of each signed program equals that of the unsigned
# build), that SHA256SUMS matches, that a vendor's library is bundled as its
# vendor signed it, and that each wrong configuration (no timestamp asked
# for, an authority that cannot be reached or is not trusted, ...) stops
# with one line and no package.  Prints the time signing and verifying take
# and the package's sizes.
#
# Usage: signing_test.sh BINDIR PLATFORM SCRATCH KEYS LIBRARIES
#   BINDIR     shipped files (agent.exe, the stand-in HIDUSB.dll)
#   PLATFORM   x86 or x64, the width of BINDIR
#   SCRATCH    a folder of this test's own in the build tree (emptied first)
#   KEYS       the build's test keys (test_certificates.sh)
#   LIBRARIES  the build's test libraries (library_fixtures.sh): signed.dll
# OSSLSIGNCODE may name another osslsigncode (e.g. Debian bookworm's 2.5);
# AGENT_ACTIONS as for package.sh; PYTHON the python3 that runs the
# authority (default /usr/bin/python3).
set -uo pipefail
[ $# -eq 5 ] || { sed -n '2,26p' "$0"; exit 2; }
BINDIR=$(cd "$1" && pwd) PLATFORM=$2 SCRATCH=$(realpath -m "$3") KEYS=$(realpath -m "$4") LIBS=$(realpath -m "$5")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/../../installer/package.sh"
unset ${SIGN_VARIABLES}
ACTIONS=${AGENT_ACTIONS:-$BINDIR/../installer/agent-actions.dll}
TOOL=${OSSLSIGNCODE:-osslsigncode}
PYTHON=${PYTHON:-/usr/bin/python3}
SYSTEM_STORE=/etc/ssl/certs/ca-certificates.crt

source "$HERE/../checks.sh"
CASE=setup
die() { CASE=setup fail "$*"; }

rm -rf "$SCRATCH" && mkdir -p "$SCRATCH" || die "cannot create $SCRATCH"
[ -f "$KEYS/ready" ] || die "no test keys in $KEYS (the build makes them: test_certificates.sh)"
[ -f "$LIBS/ready" ] || die "no test libraries in $LIBS (the build makes them: library_fixtures.sh)"
say "osslsigncode: $("$TOOL" --version 2>/dev/null | head -1 | sed 's/,.*//') ($(command -v "$TOOL"))"
CA=$KEYS/ca/ca.pem TSA_CA=$KEYS/tsa-ca/ca.pem
PUBLISHER="/O=Ostrel Test/CN=Signing Test Publisher"
echo "not the password" >"$SCRATCH/wrong-password"
echo "not a shared object" >"$SCRATCH/not-a-module.so"

# A copy of the build's SoftHSM2 token: what a run does to it stays here.
export SOFTHSM2_CONF=$SCRATCH/softhsm2.conf
cp -r "$KEYS/token/tokens" "$SCRATCH/tokens" || die "cannot copy the token from $KEYS/token"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n' \
    "$SCRATCH/tokens" >"$SOFTHSM2_CONF"
MODULE=$(ls /usr/lib/softhsm/libsofthsm2.so /usr/lib/*-linux-gnu/softhsm/libsofthsm2.so 2>/dev/null | head -1)
[ -n "$MODULE" ] || die "SoftHSM2's PKCS#11 module is missing (Debian package: softhsm2)"
echo 0000 >"$SCRATCH/wrong-pin"
TOKEN_KEY='pkcs11:token=ostrel-signing;object=code-signing;type=private'

# ------------------------------------------------------------- time stamps
# The authority answers on a port the system picks, and writes it once it
# listens; it ends with this test (by its PID) or by itself.
TSA_PID=
stop_authority() { [ -z "$TSA_PID" ] || { kill "$TSA_PID" 2>/dev/null; wait "$TSA_PID" 2>/dev/null; TSA_PID=; }; }
trap stop_authority EXIT
mkdir -p "$SCRATCH/tsa" && : >"$SCRATCH/tsa/requests"
"$PYTHON" "$HERE/timestamp_server.py" "$KEYS/tsa" "$SCRATCH/tsa/port" "$SCRATCH/tsa/requests" 300 \
    </dev/null >/dev/null 2>"$SCRATCH/tsa/errors" &
TSA_PID=$!
for (( i = 0; i < 400; i++ )); do   # 20 s at most; it listens within a fraction of one
    [ ! -s "$SCRATCH/tsa/port" ] && kill -0 "$TSA_PID" 2>/dev/null || break
    sleep 0.05
done
[ -s "$SCRATCH/tsa/port" ] || die "the time-stamping authority did not start: $(head -3 "$SCRATCH/tsa/errors")"
TSA_URL=http://127.0.0.1:$(cat "$SCRATCH/tsa/port")/
TSA_ISSUER="/O=Ostrel Test/CN=Timestamp Test Root"
TSA_SERIAL=$(openssl x509 -in "$KEYS/tsa/cert.pem" -noout -serial | sed 's/^serial=//')
answers() { grep -c '^answered' "$SCRATCH/tsa/requests"; }

# ------------------------------------------------------------- reading files
# A PE file's Authenticode digest (SHA-256), computed here from its layout
# rather than by osslsigncode: the file up to its certificate table (or its
# end), less the optional header's CheckSum and the certificate table's
# directory entry.  An unsigned file has no signature to read a digest from,
# and the one osslsigncode computes while signing is what is under test.
u32() { od -An --endian=little -t u4 -j "$2" -N 4 "$1" | tr -d ' '; }
u16() { od -An --endian=little -t u2 -j "$2" -N 2 "$1" | tr -d ' '; }
bytes() { tail -c +$(( $2 + 1 )) "$1" | head -c $(( $3 - $2 )); }
pe_digest() {
    local f=$1 opt checksum entry table end
    opt=$(( $(u32 "$f" 60) + 24 ))
    checksum=$(( opt + 64 ))
    case $(u16 "$f" $opt) in 267) entry=$(( opt + 96 + 4 * 8 )) ;; 523) entry=$(( opt + 112 + 4 * 8 )) ;; *) return 1 ;; esac
    table=$(u32 "$f" $entry) end=$(stat -c %s "$f")
    [ "$table" -eq 0 ] || end=$table
    { head -c $checksum "$f"; bytes "$f" $(( checksum + 4 )) $entry; bytes "$f" $(( entry + 8 )) $end; } \
        | sha256sum | cut -c1-64 | tr a-f A-F
}
# One osslsigncode verify of a file against the test CA and the authority's
# root, in VERIFY; what follows reads it.
VERIFY=
verify_file() { VERIFY=$("$TOOL" verify -in "$1" -CAfile "$CA" -TSA-CAfile "$TSA_CA" </dev/null 2>&1); }
verified() { grep -q '^Signature verification: ok' <<<"$VERIFY"; }
field() { awk -F': *' -v f="$1" 'index($0, f) == 1 { sub(/ .*/, "", $2); print $2; exit }' <<<"$VERIFY"; }
signer() { awk '/Signer.s certificate:/ { s = 1 } s && /Subject:/ { sub(/^[^:]*: */, ""); print; exit }' <<<"$VERIFY"; }
# The signature's timestamp as "ISSUER|SERIAL|TIME": osslsigncode 2.9 says
# "Timestamp time:" and then the authority's issuer and serial; 2.5 "The
# signature is timestamped:", then the same.
timestamp() {
    awk '/^[[:space:]]*Timestamp time: |^The signature is timestamped: / { sub(/^[^:]*: */, ""); t = $0; next }
         t != "" && i == "" && /^[[:space:]]*Issuer ?: / { sub(/^[^:]*: */, ""); i = $0; next }
         t != "" && s == "" && /^[[:space:]]*Serial ?: / { sub(/^[^:]*: */, ""); s = $0 }
         END { if (t != "") print i "|" s "|" t }' <<<"$VERIFY"
}
# Time-stamped by this test's authority while the package was built
# (STAMP_FROM..STAMP_TO), and the timestamp verifies.
stamped_here() {
    local issuer serial time when
    IFS='|' read -r issuer serial time <<<"$(timestamp)"
    [ "$issuer" = "$TSA_ISSUER" ] && [ "${serial^^}" = "${TSA_SERIAL^^}" ] && when=$(date -d "$time" +%s 2>/dev/null) &&
        [ "$when" -ge "$STAMP_FROM" ] && [ "$when" -le "$STAMP_TO" ] &&
        grep -q '^Timestamp Server Signature verification: ok' <<<"$VERIFY"
}
not_stamped() { [ -z "$(timestamp)" ] && grep -q '^Timestamp is not available' <<<"$VERIFY"; }
# (Read whole: with pipefail, grep -q ending the pipe early could fail it.)
verifies() { local out; out=$("$TOOL" verify -in "$1" -CAfile "$2" </dev/null 2>&1); grep -q '^Signature verification: ok' <<<"$out"; }
refused_by() { ! verifies "$@"; }
unsigned() { local out; out=$("$TOOL" verify -in "$1" </dev/null 2>&1); grep -Eq 'No signature found|has no signature' <<<"$out"; }
# The package's files, and the custom actions' DLL from its Binary table.
extract() {
    rm -rf "$2" && mkdir -p "$2" && (cd "$2" && msiextract "$1" >/dev/null 2>&1) \
        && msiinfo extract "$1" Binary.AgentActions >"$2/agent-actions.dll" && find "$2" -type f
}
inside() { grep -i "/$1\$" <<<"$FILES" | head -1; }

# A copy of FILE with one byte changed at OFFSET.
changed_copy() {
    cp "$1" "$3" && printf '\x5a' | dd of="$3" bs=1 seek="$2" conv=notrunc 2>/dev/null
}
code_offset() { echo $(( 16#$(LC_ALL=C x86_64-w64-mingw32-objdump -h "$1" | awk '$2 == ".text" { print $6 }') + 64 )); }
# Inside the package's cabinet, past its header: a byte every stream digest covers.
cabinet_offset() { echo $(( $(grep -abo MSCF "$1" | head -1 | cut -d: -f1) + 200 )); }

# ------------------------------------------------------------- building
PKG= ERR= BUILD_SECONDS=
package_with() {   # package_with OUTDIR VAR=VALUE...: build_package with that environment
    local out=$1 start; shift
    rm -rf "$out"
    STAMP_FROM=$(date +%s)
    start=$(date +%s%N)
    PKG=$(unset ${SIGN_VARIABLES}; [ $# -eq 0 ] || export "$@"; build_package "$BINDIR" "$PLATFORM" "$out" 2>"$SCRATCH/err")
    local rc=$?
    STAMP_TO=$(( $(date +%s) + 1 ))
    BUILD_SECONDS=$(awk -v ns=$(( $(date +%s%N) - start )) 'BEGIN { printf "%.2f", ns / 1e9 }')
    ERR=$(cat "$SCRATCH/err")
    return $rc
}
sums_match() { (cd "$(dirname "$1")" && grep -q " $(basename "$1")\$" SHA256SUMS && sha256sum --quiet -c SHA256SUMS); }
# build_package's standard error was one line, matching the ERE $1.
said_one_line() { [ "$(grep -c . <<<"$ERR")" -eq 1 ] && grep -Eq "$1" <<<"$ERR"; }

# What the signature in VERIFY says of its timestamp: STAMP "here" (this
# test's authority) or "none".
check_stamp() {
    local name=$1
    if [ "$STAMP" = here ]; then
        if stamped_here; then ok "$name carries the authority's verified timestamp ($(timestamp | cut -d'|' -f3))"
        else bad "$name does not carry a verified timestamp of $TSA_ISSUER, serial $TSA_SERIAL, made while it was signed: '$(timestamp)'"
        fi
    else
        check "$name carries no timestamp" not_stamped
    fi
}

# The checks every signed package passes; $1 the package, $2 its timestamps
# ("here" or "none").
check_signed_package() {
    local pkg=$1 f name original
    STAMP=$2
    verify_file "$pkg"
    check "the package verifies against the test CA" verified
    check "... but not against the system's store alone" refused_by "$pkg" "$SYSTEM_STORE"
    check "the package is signed by $PUBLISHER" test "$(signer)" = "$PUBLISHER"
    check "... with SHA-256" test "$(field "Message digest algorithm")" = SHA256
    check_stamp "the package"
    check "SHA256SUMS beside it matches" sums_match "$pkg"
    changed_copy "$pkg" "$(cabinet_offset "$pkg")" "$SCRATCH/changed.msi"
    check "a byte changed in its cabinet no longer verifies" refused_by "$SCRATCH/changed.msi" "$CA"
    FILES=$(extract "$pkg" "$SCRATCH/extracted")
    for name in agent.exe agent-actions.dll HIDUSB.dll; do
        f=$(inside "$name")
        case $name in agent-actions.dll) original=$ACTIONS ;; *) original=$BINDIR/$name ;; esac
        [ -n "$f" ] || { bad "$name is not in the package"; continue; }
        verify_file "$f"
        check "$name verifies against the test CA" verified
        check "$name is signed by the publisher" test "$(signer)" = "$PUBLISHER"
        check "$name's signed digest is that of the unsigned build ($(pe_digest "$original" | cut -c1-12)...)" \
            test "$(field "Current message digest")" = "$(pe_digest "$original")"
        check "$name: this test's digest of the signed file is osslsigncode's" \
            test "$(field "Calculated message digest")" = "$(pe_digest "$f")"
        check_stamp "$name"
    done
    f=$(inside agent.exe)
    changed_copy "$f" "$(code_offset "$f")" "$SCRATCH/changed.exe"
    check "agent.exe with a byte of code changed no longer verifies" refused_by "$SCRATCH/changed.exe" "$CA"
}

# "signing 0.04 s, verifying 0.02 s" from build_package's line.
TIMES=
note_times() { TIMES+="$1: $(sed -n 's/.*; \(signing [0-9.]* s, verifying [0-9.]* s\)$/\1/p' <<<"$ERR") (whole package ${BUILD_SECONDS} s); "; }

# ------------------------------------------------------------- cases
P12="SIGN_PKCS12=$KEYS/signer/sign.p12"
PW="SIGN_PASSWORD_FILE=$KEYS/signer/password"
TRUST="SIGN_CAFILE=$CA"
NO_TS=SIGN_NO_TIMESTAMP=1

CASE=unsigned
if package_with "$SCRATCH/unsigned"; then
    ok "built $(basename "$PKG") without a certificate"
    check "said so in exactly one line" said_one_line "^package: not signing: "
    check "the package carries no signature" unsigned "$PKG"
    FILES=$(extract "$PKG" "$SCRATCH/extracted")
    check "agent.exe in it is the unsigned build" cmp -s "$(inside agent.exe)" "$BINDIR/agent.exe"
    check "SHA256SUMS beside it matches" sums_match "$PKG"
    UNSIGNED_SIZE=$(stat -c %s "$PKG") UNSIGNED_SECONDS=$BUILD_SECONDS
else
    bad "build_package failed: $ERR"
fi

CASE=pkcs12-timestamped
before=$(answers)
if package_with "$SCRATCH/pkcs12" "$P12" "$PW" "$TRUST" SIGN_TIMESTAMP_URL="$TSA_URL" SIGN_TSA_CAFILE="$TSA_CA"; then
    ok "built, signed and time-stamped $(basename "$PKG")"
    check "said what it signed, and by which authority, in one line" \
        said_one_line "^package: signed agent.exe agent-actions.dll HIDUSB.dll $(basename "$PKG") .*time-stamped by $TSA_URL"
    check "the authority answered four requests, one per signature" test $(( $(answers) - before )) -eq 4
    check_signed_package "$PKG" here
    note_times "PKCS#12, time-stamped"; SIGNED_SIZE=$(stat -c %s "$PKG")
else
    bad "build_package failed: $ERR"
fi

CASE=pkcs11-no-timestamp
before=$(answers)
if package_with "$SCRATCH/pkcs11" SIGN_PKCS11_MODULE="$MODULE" SIGN_PKCS11_KEY="$TOKEN_KEY" \
        SIGN_PKCS11_CERT="$KEYS/signer/chain.pem" SIGN_PKCS11_PIN_FILE="$KEYS/token/pin" "$TRUST" "$NO_TS"; then
    ok "built and signed $(basename "$PKG") with the key on the SoftHSM2 token"
    check "said it made no timestamps" said_one_line "^package: signed .*, no timestamps \(SIGN_NO_TIMESTAMP=1\)"
    check "the authority was not asked" test "$(answers)" -eq "$before"
    check_signed_package "$PKG" none
    note_times "PKCS#11 (SoftHSM2)"
else
    bad "build_package failed: $ERR"
fi

# A vendor's signed library goes in as its vendor signed it: never re-signed.
CASE=vendor-library
VENDOR_DLL=$LIBS/signed.dll
if package_with "$SCRATCH/vendor-package" HIDUSB_DLL="$VENDOR_DLL" "$P12" "$PW" "$TRUST" "$NO_TS"; then
    FILES=$(extract "$PKG" "$SCRATCH/extracted")
    check "$(basename "$PKG"): HIDUSB.dll is the vendor's file byte for byte" cmp -s "$(inside HIDUSB.dll)" "$VENDOR_DLL"
    check "the check named the vendor as its signer" grep -q "^package: HIDUSB_DLL $VENDOR_DLL is signed (Authenticode) by /O=Ostrel Test/CN=Signing Test Vendor\$" <<<"$ERR"
    verify_file "$(inside agent.exe)"
    check "agent.exe is signed by the publisher" test "$(signer)" = "$PUBLISHER"
    verify_file "$PKG"
    check "the package is signed by the publisher" test "$(signer)" = "$PUBLISHER"
    check "the line lists what was signed, not the vendor's library" \
        grep -q "^package: signed agent.exe agent-actions.dll $(basename "$PKG") " <<<"$ERR"
else
    bad "build_package failed: $ERR"
fi

# osslsigncode 2.9 fetches the CRL a certificate names; given, it needs no network.
CASE=crl-given
if package_with "$SCRATCH/cdp" SIGN_PKCS12="$KEYS/with-cdp/sign.p12" SIGN_PASSWORD_FILE="$KEYS/with-cdp/password" \
        "$TRUST" SIGN_CRLFILE="$KEYS/ca/ca.crl" "$NO_TS"; then
    ok "a certificate naming a CRL distribution point verifies offline with SIGN_CRLFILE"
else
    bad "build_package failed: $ERR"
fi

# A verifier that goes on after its verdict, with more than a pipe holds:
# its verdict still counts (read whole, this test runs under pipefail).
CASE=long-verifier-output
printf '#!/bin/sh\n"%s" "$@"; rc=$?\n[ "$1" != verify ] || seq 1 30000\nexit $rc\n' "$(command -v "$TOOL")" \
    >"$SCRATCH/long-osslsigncode" && chmod +x "$SCRATCH/long-osslsigncode"
if package_with "$SCRATCH/long" OSSLSIGNCODE="$SCRATCH/long-osslsigncode" "$P12" "$PW" "$TRUST" "$NO_TS"; then
    ok "a signature verifies when osslsigncode says more after 'Signature verification: ok'"
else
    bad "build_package failed: $ERR"
fi

# Each must stop with one line and leave nothing behind: name | environment | the line (ERE).
# Each names a complete key and SIGN_NO_TIMESTAMP=1 unless what it tests is
# one of them, so that it fails for its own reason.
P11="SIGN_PKCS11_KEY=$TOKEN_KEY SIGN_PKCS11_CERT=$KEYS/signer/chain.pem SIGN_PKCS11_PIN_FILE=$KEYS/token/pin $TRUST $NO_TS"
TSA="SIGN_TIMESTAMP_URL=$TSA_URL SIGN_TSA_CAFILE=$TSA_CA"
BAD_CONFIGURATIONS="
no password file|$P12 $TRUST $NO_TS|SIGN_PKCS12 is given without SIGN_PASSWORD_FILE\$
password file missing|$P12 SIGN_PASSWORD_FILE=$SCRATCH/no-such-file $TRUST $NO_TS|SIGN_PASSWORD_FILE .*/no-such-file does not exist or cannot be read\$
wrong password|$P12 SIGN_PASSWORD_FILE=$SCRATCH/wrong-password $TRUST $NO_TS|does not open with the password in SIGN_PASSWORD_FILE \(.*password.*\)\$
PKCS#12 file missing|SIGN_PKCS12=$SCRATCH/no-such.p12 $PW $TRUST $NO_TS|SIGN_PKCS12 .*/no-such.p12 does not exist
empty SIGN_PKCS12|SIGN_PKCS12= $PW $NO_TS|SIGN_PKCS12 is set but empty\$
PKCS#12 and PKCS#11 both|$P12 $PW SIGN_PKCS11_MODULE=$MODULE $NO_TS|give SIGN_PKCS12 or SIGN_PKCS11_\*, not both
PKCS#11 without its certificate|SIGN_PKCS11_MODULE=$MODULE SIGN_PKCS11_KEY=$TOKEN_KEY SIGN_PKCS11_PIN_FILE=$KEYS/token/pin $NO_TS|missing: SIGN_PKCS11_CERT\$
PKCS#11 module missing|SIGN_PKCS11_MODULE=$SCRATCH/no-such-module.so $P11|SIGN_PKCS11_MODULE .*/no-such-module.so does not exist
PKCS#11 module does not load|SIGN_PKCS11_MODULE=$SCRATCH/not-a-module.so $P11|signing agent.exe with the PKCS#11 token's key failed: .*not-a-module.so
wrong PIN|SIGN_PKCS11_MODULE=$MODULE $P11 SIGN_PKCS11_PIN_FILE=$SCRATCH/wrong-pin|failed: .*PIN incorrect
key not on the token|SIGN_PKCS11_MODULE=$MODULE $P11 SIGN_PKCS11_KEY=pkcs11:token=ostrel-signing;object=no-such-key|failed: .*no-such-key
key URI not pkcs11:|SIGN_PKCS11_MODULE=$MODULE $P11 SIGN_PKCS11_KEY=$KEYS/signer/key.pem|SIGN_PKCS11_KEY must be a pkcs11: URI
no timestamp asked for|$P12 $PW $TRUST|no time-stamping server: set SIGN_TIMESTAMP_URL .*, or SIGN_NO_TIMESTAMP=1 to sign without
SIGN_NO_TIMESTAMP not 1|$P12 $PW $TRUST SIGN_NO_TIMESTAMP=yes|SIGN_NO_TIMESTAMP is 'yes'; only SIGN_NO_TIMESTAMP=1 signs without a timestamp\$
a timestamp and none|$P12 $PW $TRUST $TSA $NO_TS|give SIGN_TIMESTAMP_URL or SIGN_NO_TIMESTAMP=1, not both\$
the authority's CA without a server|$P12 $PW $TRUST $NO_TS SIGN_TSA_CAFILE=$TSA_CA|SIGN_TSA_CAFILE is given without SIGN_TIMESTAMP_URL\$
time-stamp server alone|SIGN_TIMESTAMP_URL=$TSA_URL|SIGN_TIMESTAMP_URL set, but no certificate
time-stamp server unreachable|$P12 $PW $TRUST SIGN_TIMESTAMP_URL=http://127.0.0.1:9/|signing agent.exe: the time-stamping server http://127.0.0.1:9/ gave no timestamp: .*127.0.0.1:9
time-stamping authority not trusted|$P12 $PW $TRUST SIGN_TIMESTAMP_URL=$TSA_URL SIGN_TSA_CAFILE=$CA|the timestamp of agent.exe does not verify: the time-stamping authority is not trusted
signer from another CA|SIGN_PKCS12=$KEYS/stranger/sign.p12 SIGN_PASSWORD_FILE=$KEYS/stranger/password $TRUST $NO_TS|signature of agent.exe does not verify: its chain is not trusted
test CA not given: the system's store|$P12 $PW $NO_TS|signature of agent.exe does not verify: its chain is not trusted
"
while IFS='|' read -r CASE environment line; do
    [ -n "$CASE" ] || continue
    read -ra assignments <<<"$environment"
    if package_with "$SCRATCH/bad" "${assignments[@]}"; then
        bad "built $PKG"
    elif [ -n "$(find "$SCRATCH/bad" -mindepth 1 2>/dev/null)" ]; then
        bad "left behind: $(find "$SCRATCH/bad" -mindepth 1 | head -3 | tr '\n' ' ')"
    elif ! said_one_line "^package: signing: .*$line"; then
        bad "said, not one line matching '$line':"$'\n'"$ERR"
    else
        ok "${ERR#package: signing: }"
    fi
done <<<"$BAD_CONFIGURATIONS"

CASE=all
say "times: $TIMES"
say "package size: unsigned ${UNSIGNED_SIZE:-?} bytes (built in ${UNSIGNED_SECONDS:-?} s), signed and time-stamped ${SIGNED_SIZE:-?} bytes"
verdict signing
