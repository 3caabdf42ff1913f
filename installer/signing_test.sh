#!/usr/bin/env bash
# Signing the package and its programs (sign.sh, through package.sh), with a
# throwaway CA made here: a PKCS#12 key, and the same key on a SoftHSM2 token
# through PKCS#11.  Checks that every signature verifies against that CA and
# not against the system's store alone, that a changed byte no longer
# verifies, that signing changed nothing but the signature (the Authenticode
# digest of each signed program equals that of the unsigned build), that
# SHA256SUMS matches, that a vendor's library is bundled as its vendor signed
# it, and that each wrong configuration stops with one line and no package.
# Prints the time signing and verifying take and the package's sizes.
#
# Usage: signing_test.sh BINDIR PLATFORM SCRATCH
#   BINDIR    shipped files (agent.exe, the stand-in HIDUSB.dll)
#   PLATFORM  x86 or x64, the width of BINDIR
#   SCRATCH   a folder of this test's own in the build tree (emptied first)
# OSSLSIGNCODE may name another osslsigncode (e.g. Debian bookworm's 2.5);
# AGENT_ACTIONS as for package.sh.
set -uo pipefail
[ $# -eq 3 ] || { sed -n '2,18p' "$0"; exit 2; }
BINDIR=$(cd "$1" && pwd) PLATFORM=$2 SCRATCH=$(realpath -m "$3")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/package.sh"
source "$HERE/test_certificates.sh"
unset ${SIGN_VARIABLES}
ACTIONS=${AGENT_ACTIONS:-$BINDIR/../installer/agent-actions.dll}
TOOL=${OSSLSIGNCODE:-osslsigncode}
SYSTEM_STORE=/etc/ssl/certs/ca-certificates.crt

source "$HERE/../tests/checks.sh"
CASE=setup
die() { CASE=setup fail "$*"; }

rm -rf "$SCRATCH" && mkdir -p "$SCRATCH" || die "cannot create $SCRATCH"
say "osslsigncode: $("$TOOL" --version 2>/dev/null | head -1 | sed 's/,.*//') ($(command -v "$TOOL"))"

# ------------------------------------------------------------- keys
make_test_ca "$SCRATCH/ca" "Signing Test Root" &&
make_code_signing "$SCRATCH/signer" "$SCRATCH/ca" "Signing Test Publisher" &&
make_test_ca "$SCRATCH/other-ca" "Other Test Root" &&
make_code_signing "$SCRATCH/stranger" "$SCRATCH/other-ca" "Signing Test Stranger" &&
make_code_signing "$SCRATCH/vendor" "$SCRATCH/other-ca" "Signing Test Vendor" &&
# A certificate naming a CRL distribution point, as public ones do: nothing
# listens on the loopback's discard port, so a fetch would fail.
make_code_signing "$SCRATCH/with-cdp" "$SCRATCH/ca" "Signing Test Publisher With CDP" http://127.0.0.1:9/test.crl \
    || die "making the test certificates"
PUBLISHER="/O=Ostrel Test/CN=Signing Test Publisher"
echo "not the password" >"$SCRATCH/wrong-password"
echo "not a shared object" >"$SCRATCH/not-a-module.so"

# The same key on a SoftHSM2 token kept in the build tree.
export SOFTHSM2_CONF=$SCRATCH/softhsm2.conf
mkdir -p "$SCRATCH/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n' \
    "$SCRATCH/tokens" >"$SOFTHSM2_CONF"
MODULE=$(ls /usr/lib/softhsm/libsofthsm2.so /usr/lib/*-linux-gnu/softhsm/libsofthsm2.so 2>/dev/null | head -1)
[ -n "$MODULE" ] || die "SoftHSM2's PKCS#11 module is missing (Debian package: softhsm2)"
echo 5271 >"$SCRATCH/pin" && echo 0000 >"$SCRATCH/wrong-pin"
softhsm2-util --init-token --free --label ostrel-signing --so-pin 86420 --pin 5271 >/dev/null &&
softhsm2-util --import "$SCRATCH/signer/key.pem" --token ostrel-signing --label code-signing --id 01 --pin 5271 >/dev/null \
    || die "cannot put the test key on a SoftHSM2 token"
TOKEN_KEY='pkcs11:token=ostrel-signing;object=code-signing;type=private'

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
# A field of osslsigncode's verify output ("Current message digest", ...).
verify_field() { "$TOOL" verify -in "$1" -CAfile "$SCRATCH/ca/ca.pem" 2>/dev/null \
    | awk -F': *' -v f="$2" 'index($0, f) == 1 { sub(/ .*/, "", $2); print $2; exit }'; }
verifies() { "$TOOL" verify -in "$1" -CAfile "$2" </dev/null 2>&1 | grep -q '^Signature verification: ok'; }
signer_of() { "$TOOL" verify -in "$1" 2>/dev/null | awk '/Signer.s certificate:/ { s = 1 } s && /Subject:/ { sub(/^[^:]*: */, ""); print; exit }'; }
unsigned() { local out; out=$("$TOOL" verify -in "$1" 2>&1); grep -Eq 'No signature found|has no signature' <<<"$out"; }
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
    start=$(date +%s%N)
    PKG=$(unset ${SIGN_VARIABLES}; [ $# -eq 0 ] || export "$@"; build_package "$BINDIR" "$PLATFORM" "$out" 2>"$SCRATCH/err")
    local rc=$?
    BUILD_SECONDS=$(awk -v ns=$(( $(date +%s%N) - start )) 'BEGIN { printf "%.2f", ns / 1e9 }')
    ERR=$(cat "$SCRATCH/err")
    return $rc
}
sums_match() { (cd "$(dirname "$1")" && grep -q " $(basename "$1")\$" SHA256SUMS && sha256sum --quiet -c SHA256SUMS); }

# The checks every signed package passes; $1 the package.
check_signed_package() {
    local pkg=$1 f name original
    check "the package verifies against the test CA" verifies "$pkg" "$SCRATCH/ca/ca.pem"
    check "... but not against the system's store alone" eval '! verifies "$pkg" "$SYSTEM_STORE"'
    check "the package is signed by $PUBLISHER, SHA-256" \
        eval '[ "$(signer_of "$pkg")" = "$PUBLISHER" ] && [ "$(verify_field "$pkg" "Message digest algorithm")" = SHA256 ]'
    check "SHA256SUMS beside it matches" sums_match "$pkg"
    changed_copy "$pkg" "$(cabinet_offset "$pkg")" "$SCRATCH/changed.msi"
    check "a byte changed in its cabinet no longer verifies" eval '! verifies "$SCRATCH/changed.msi" "$SCRATCH/ca/ca.pem"'
    FILES=$(extract "$pkg" "$SCRATCH/extracted")
    for name in agent.exe agent-actions.dll HIDUSB.dll; do
        f=$(inside "$name")
        case $name in agent-actions.dll) original=$ACTIONS ;; *) original=$BINDIR/$name ;; esac
        [ -n "$f" ] || { bad "$name is not in the package"; continue; }
        check "$name verifies against the test CA, signed by the publisher" \
            eval 'verifies "$f" "$SCRATCH/ca/ca.pem" && [ "$(signer_of "$f")" = "$PUBLISHER" ]'
        check "$name's signed digest is that of the unsigned build ($(pe_digest "$original" | cut -c1-12)...)" \
            eval '[ "$(verify_field "$f" "Current message digest")" = "$(pe_digest "$original")" ]'
        check "$name: this test's digest of the signed file is osslsigncode's" \
            eval '[ "$(verify_field "$f" "Calculated message digest")" = "$(pe_digest "$f")" ]'
    done
    f=$(inside agent.exe)
    changed_copy "$f" "$(code_offset "$f")" "$SCRATCH/changed.exe"
    check "agent.exe with a byte of code changed no longer verifies" \
        eval '! verifies "$SCRATCH/changed.exe" "$SCRATCH/ca/ca.pem"'
}

# "signing 0.04 s, verifying 0.02 s" from build_package's line.
TIMES=
note_times() { TIMES+="$1: $(sed -n 's/.*; \(signing [0-9.]* s, verifying [0-9.]* s\)$/\1/p' <<<"$ERR") (whole package ${BUILD_SECONDS} s); "; }

# ------------------------------------------------------------- cases
CASE=unsigned
if package_with "$SCRATCH/unsigned"; then
    ok "built $(basename "$PKG") without a certificate"
    check "said so in exactly one line" eval '[ "$(grep -c . <<<"$ERR")" -eq 1 ] && grep -q "^package: not signing: " <<<"$ERR"'
    check "the package carries no signature" unsigned "$PKG"
    FILES=$(extract "$PKG" "$SCRATCH/extracted")
    check "agent.exe in it is the unsigned build" cmp -s "$(inside agent.exe)" "$BINDIR/agent.exe"
    check "SHA256SUMS beside it matches" sums_match "$PKG"
    UNSIGNED_SIZE=$(stat -c %s "$PKG") UNSIGNED_SECONDS=$BUILD_SECONDS
else
    bad "build_package failed: $ERR"
fi

CASE=pkcs12
if package_with "$SCRATCH/pkcs12" SIGN_PKCS12="$SCRATCH/signer/sign.p12" \
        SIGN_PASSWORD_FILE="$SCRATCH/signer/password" SIGN_CAFILE="$SCRATCH/ca/ca.pem"; then
    ok "built and signed $(basename "$PKG")"
    check "said what it signed in one line" eval '[ "$(grep -c . <<<"$ERR")" -eq 1 ] && grep -q "^package: signed agent.exe agent-actions.dll HIDUSB.dll $(basename "$PKG") " <<<"$ERR"'
    check_signed_package "$PKG"
    note_times "PKCS#12"; SIGNED_SIZE=$(stat -c %s "$PKG")
else
    bad "build_package failed: $ERR"
fi

CASE=pkcs11
if package_with "$SCRATCH/pkcs11" SIGN_PKCS11_MODULE="$MODULE" SIGN_PKCS11_KEY="$TOKEN_KEY" \
        SIGN_PKCS11_CERT="$SCRATCH/signer/chain.pem" SIGN_PKCS11_PIN_FILE="$SCRATCH/pin" SIGN_CAFILE="$SCRATCH/ca/ca.pem"; then
    ok "built and signed $(basename "$PKG") with the key on the SoftHSM2 token"
    check_signed_package "$PKG"
    note_times "PKCS#11 (SoftHSM2)"
else
    bad "build_package failed: $ERR"
fi

# A vendor's signed library goes in as its vendor signed it: never re-signed.
CASE=vendor-library
"$TOOL" sign -certs "$SCRATCH/vendor/chain.pem" -key "$SCRATCH/vendor/key.pem" -h sha256 \
    -in "$BINDIR/HIDUSB.dll" -out "$SCRATCH/vendor/HIDUSB.dll" >/dev/null 2>&1 || die "signing the vendor's library"
if package_with "$SCRATCH/vendor-package" HIDUSB_DLL="$SCRATCH/vendor/HIDUSB.dll" SIGN_PKCS12="$SCRATCH/signer/sign.p12" \
        SIGN_PASSWORD_FILE="$SCRATCH/signer/password" SIGN_CAFILE="$SCRATCH/ca/ca.pem"; then
    FILES=$(extract "$PKG" "$SCRATCH/extracted")
    check "$(basename "$PKG"): HIDUSB.dll is the vendor's file byte for byte" cmp -s "$(inside HIDUSB.dll)" "$SCRATCH/vendor/HIDUSB.dll"
    check "the check named the vendor as its signer" grep -q 'HIDUSB.dll is signed (Authenticode) by /O=Ostrel Test/CN=Signing Test Vendor$' <<<"$ERR"
    check "our programs and the package are signed by the publisher" \
        eval '[ "$(signer_of "$(inside agent.exe)")" = "$PUBLISHER" ] && [ "$(signer_of "$PKG")" = "$PUBLISHER" ]'
    check "the line lists what was signed, not the vendor's library" \
        grep -q "^package: signed agent.exe agent-actions.dll $(basename "$PKG") " <<<"$ERR"
else
    bad "build_package failed: $ERR"
fi

# osslsigncode 2.9 fetches the CRL a certificate names; given, it needs no network.
CASE=crl-given
if package_with "$SCRATCH/cdp" SIGN_PKCS12="$SCRATCH/with-cdp/sign.p12" SIGN_PASSWORD_FILE="$SCRATCH/with-cdp/password" \
        SIGN_CAFILE="$SCRATCH/ca/ca.pem" SIGN_CRLFILE="$SCRATCH/ca/ca.crl"; then
    ok "a certificate naming a CRL distribution point verifies offline with SIGN_CRLFILE"
else
    bad "build_package failed: $ERR"
fi

# Each must stop with one line and leave no package: name | environment | the line (ERE).
P12="SIGN_PKCS12=$SCRATCH/signer/sign.p12"
PW="SIGN_PASSWORD_FILE=$SCRATCH/signer/password"
CA="SIGN_CAFILE=$SCRATCH/ca/ca.pem"
P11="SIGN_PKCS11_KEY=$TOKEN_KEY SIGN_PKCS11_CERT=$SCRATCH/signer/chain.pem SIGN_PKCS11_PIN_FILE=$SCRATCH/pin $CA"
BAD_CONFIGURATIONS="
no password file|$P12 $CA|SIGN_PKCS12 is given without SIGN_PASSWORD_FILE\$
password file missing|$P12 SIGN_PASSWORD_FILE=$SCRATCH/no-such-file $CA|SIGN_PASSWORD_FILE .*/no-such-file does not exist or cannot be read\$
wrong password|$P12 SIGN_PASSWORD_FILE=$SCRATCH/wrong-password $CA|does not open with the password in SIGN_PASSWORD_FILE \(.*password.*\)\$
PKCS#12 file missing|SIGN_PKCS12=$SCRATCH/no-such.p12 $PW $CA|SIGN_PKCS12 .*/no-such.p12 does not exist
empty SIGN_PKCS12|SIGN_PKCS12= $PW|SIGN_PKCS12 is set but empty\$
PKCS#12 and PKCS#11 both|$P12 $PW SIGN_PKCS11_MODULE=$MODULE|give SIGN_PKCS12 or SIGN_PKCS11_\*, not both
PKCS#11 without its certificate|SIGN_PKCS11_MODULE=$MODULE SIGN_PKCS11_KEY=$TOKEN_KEY SIGN_PKCS11_PIN_FILE=$SCRATCH/pin|missing: SIGN_PKCS11_CERT\$
PKCS#11 module missing|SIGN_PKCS11_MODULE=$SCRATCH/no-such-module.so $P11|SIGN_PKCS11_MODULE .*/no-such-module.so does not exist
PKCS#11 module does not load|SIGN_PKCS11_MODULE=$SCRATCH/not-a-module.so $P11|signing agent.exe with the PKCS#11 token's key failed: .*not-a-module.so
wrong PIN|SIGN_PKCS11_MODULE=$MODULE $P11 SIGN_PKCS11_PIN_FILE=$SCRATCH/wrong-pin|failed: .*PIN incorrect
key not on the token|SIGN_PKCS11_MODULE=$MODULE $P11 SIGN_PKCS11_KEY=pkcs11:token=ostrel-signing;object=no-such-key|failed: .*no-such-key
key URI not pkcs11:|SIGN_PKCS11_MODULE=$MODULE $P11 SIGN_PKCS11_KEY=$SCRATCH/signer/key.pem|SIGN_PKCS11_KEY must be a pkcs11: URI
time-stamp server alone|SIGN_TIMESTAMP_URL=http://127.0.0.1:9/|SIGN_TIMESTAMP_URL set, but no certificate
time-stamp server unreachable|$P12 $PW $CA SIGN_TIMESTAMP_URL=http://127.0.0.1:9/|signing agent.exe with the PKCS#12 key failed
signer from another CA|SIGN_PKCS12=$SCRATCH/stranger/sign.p12 SIGN_PASSWORD_FILE=$SCRATCH/stranger/password $CA|signature of agent.exe does not verify: its chain is not trusted
test CA not given: the system's store|$P12 $PW|signature of agent.exe does not verify: its chain is not trusted
"
while IFS='|' read -r CASE environment line; do
    [ -n "$CASE" ] || continue
    read -ra assignments <<<"$environment"
    if package_with "$SCRATCH/bad" "${assignments[@]}"; then
        bad "built $PKG"
    elif [ -n "$(find "$SCRATCH/bad" -name '*.msi' -o -name '.programs.*' 2>/dev/null)" ]; then
        bad "left behind: $(find "$SCRATCH/bad" -name '*.msi' -o -name '.programs.*')"
    elif [ "$(grep -c . <<<"$ERR")" -ne 1 ] || ! grep -Eq "^package: signing: .*$line" <<<"$ERR"; then
        bad "said, not one line matching '$line':"$'\n'"$ERR"
    else
        ok "${ERR#package: signing: }"
    fi
done <<<"$BAD_CONFIGURATIONS"

CASE=all
say "times: $TIMES"
say "package size: unsigned ${UNSIGNED_SIZE:-?} bytes (built in ${UNSIGNED_SECONDS:-?} s), signed ${SIGNED_SIZE:-?} bytes"
verdict signing
