#!/usr/bin/env bash
# Authenticode signing of what a package carries, and of the package: SHA-256
# signatures made with Debian's osslsigncode, each verified before it counts.
# Sourced by package.sh, which calls, in this order:
#   signing_setup                  reads the environment below (one line)
#   stage_programs DIR FILE...     copies our programs into DIR, signed
#   sign_package MSI               signs the package in place
#   write_checksums MSI            SHA256SUMS beside it
#   say_signed MSI                 one line: what was signed, by whom, how long
# Each prints one line to standard error and returns 1 when it fails.
#
# Environment (nothing SIGN_* set: an unsigned package, said in one line):
#   SIGN_PKCS12            a PKCS#12 file with the code-signing key and its
#                          certificate chain
#   SIGN_PASSWORD_FILE     a file holding that file's password (first line)
# or a key on a PKCS#11 token (publicly trusted code-signing keys are issued
# on hardware), through OpenSSL's pkcs11 engine (libengine-pkcs11-openssl):
#   SIGN_PKCS11_MODULE     the token's PKCS#11 module (a .so)
#   SIGN_PKCS11_KEY        the private key, as a pkcs11: URI
#                          (e.g. pkcs11:token=NAME;object=LABEL;type=private)
#   SIGN_PKCS11_CERT       the key's certificate and its chain (PEM)
#   SIGN_PKCS11_PIN_FILE   a file holding the token's user PIN (first line)
# and, with either, one of:
#   SIGN_TIMESTAMP_URL     an RFC 3161 time-stamping server (osslsigncode -ts):
#                          every signature carries its timestamp, so it stays
#                          valid after the certificate expires.  Each
#                          timestamp is verified too, against
#   SIGN_TSA_CAFILE        the time-stamping authority's trust anchors (PEM);
#                          default: the system's store
#   SIGN_NO_TIMESTAMP=1    sign without a timestamp, as tests and development
#                          builds do: such a signature ends with its
#                          certificate.  Neither given: refused, one line.
# and, with either key:
#   SIGN_CAFILE            trust anchors the signatures are verified against
#                          (PEM); default: the system's store
#   SIGN_CRLFILE           CRLs for that chain (PEM).  osslsigncode 2.9 fetches
#                          the CRL of a certificate that names a distribution
#                          point (every public one does) and fails without the
#                          network unless the CRL is given here; 2.5 does not.
#   OSSLSIGNCODE           the osslsigncode to run; default: the one on PATH
# Any of these given without a complete key, a file that is missing, a
# password, PIN or module that does not work: one line and no package, never
# an unsigned one.
#
# Only options that both osslsigncode 2.5 (Debian bookworm) and 2.9
# (bookworm-backports) have are used.  No -pkcs11engine: 2.5 loads an engine
# given by path under a wrong id ("bad engine id"), and both find the
# pkcs11 engine by its id in OpenSSL's engines folder when none is given.

SIGN_DESCRIPTION="Ostrel Agent"
SIGN_VARIABLES="SIGN_PKCS12 SIGN_PASSWORD_FILE SIGN_PKCS11_MODULE SIGN_PKCS11_KEY SIGN_PKCS11_CERT
    SIGN_PKCS11_PIN_FILE SIGN_TIMESTAMP_URL SIGN_TSA_CAFILE SIGN_NO_TIMESTAMP SIGN_CAFILE SIGN_CRLFILE"

key_kind() { case $SIGN_MODE in pkcs12) echo "PKCS#12 key" ;; pkcs11) echo "PKCS#11 token's key" ;; esac; }
sign_fail() { printf 'package: signing: %s\n' "$*" >&2; return 1; }
osslsigncode_tool() { "${OSSLSIGNCODE:-osslsigncode}" "$@" </dev/null; }
now_ns() { date +%s%N; }
seconds() { awk -v ns="$1" 'BEGIN { printf "%.2f", ns / 1e9 }'; }

# A readable, non-empty file named by variable $1.
need_file() {
    local name=$1 value=${!1:-}
    [ -n "$value" ] || { sign_fail "$name is set but empty"; return; }
    [ -f "$value" ] && [ -r "$value" ] || { sign_fail "$name $value does not exist or cannot be read"; return; }
    [ -s "$value" ] || sign_fail "$name $value is empty"
}

# The signing certificate's subject as osslsigncode prints it, from PEM on stdin.
certificate_subject() { openssl x509 -noout -subject -nameopt compat 2>/dev/null | sed 's/^subject=//'; }

# What is said here of a tool's output reads it from a here-string, never
# from a pipe: under pipefail (./dev's, and the tests'), a reader that stops
# at its match fails the pipe whenever the writer still had lines to give,
# and a signature that verifies would be reported as one that does not.

# What openssl's CLI said went wrong: the reason of its first error, or its first line.
openssl_reason() {
    local reason
    reason=$(awk -F: '/^[0-9A-F]+:error:/ { print $6; exit }' <<<"$1")
    printf '%s' "${reason:-$(head -1 <<<"$1")}"
}

# The most telling line of a failed osslsigncode run: its own first message,
# and the reason of the first OpenSSL error ("PIN incorrect").
failure_reason() {
    local own reason
    own=$(awk '!/^[0-9A-F]+:error:|^Engine "|^(Failed|Succeeded)$|^[[:space:]]*$/ { print; exit }' <<<"$1")
    reason=$(awk -F: '/^[0-9A-F]+:error:/ { print $6; exit }' <<<"$1")
    printf '%s' "${own:-osslsigncode failed}${reason:+ ($reason)}"
}

# A timestamp from SIGN_TIMESTAMP_URL for every signature, or none when
# SIGN_NO_TIMESTAMP=1 says so; adds to SIGN_KEY_ARGS and SIGN_VERIFY_ARGS.
timestamp_setup() {
    if [ -n "${SIGN_NO_TIMESTAMP+set}" ] && [ "$SIGN_NO_TIMESTAMP" != 1 ]; then
        sign_fail "SIGN_NO_TIMESTAMP is '$SIGN_NO_TIMESTAMP'; only SIGN_NO_TIMESTAMP=1 signs without a timestamp"; return
    fi
    if [ -z "${SIGN_TIMESTAMP_URL+set}" ]; then
        [ -z "${SIGN_TSA_CAFILE+set}" ] || { sign_fail "SIGN_TSA_CAFILE is given without SIGN_TIMESTAMP_URL"; return; }
        [ -n "${SIGN_NO_TIMESTAMP+set}" ] || { sign_fail "no time-stamping server: set SIGN_TIMESTAMP_URL (RFC 3161), so that the signatures outlive the certificate, or SIGN_NO_TIMESTAMP=1 to sign without timestamps (tests, development)"; return; }
        return 0
    fi
    [ -n "$SIGN_TIMESTAMP_URL" ] || { sign_fail "SIGN_TIMESTAMP_URL is set but empty"; return; }
    [ -z "${SIGN_NO_TIMESTAMP+set}" ] || { sign_fail "give SIGN_TIMESTAMP_URL or SIGN_NO_TIMESTAMP=1, not both"; return; }
    SIGN_KEY_ARGS+=(-ts "$SIGN_TIMESTAMP_URL")
    if [ -n "${SIGN_TSA_CAFILE+set}" ]; then
        need_file SIGN_TSA_CAFILE || return
        SIGN_VERIFY_ARGS+=(-TSA-CAfile "$SIGN_TSA_CAFILE")
    else
        SIGN_VERIFY_ARGS+=(-TSA-CAfile /etc/ssl/certs/ca-certificates.crt)
    fi
}

# Decides whether and how to sign: sets SIGN_MODE (none, pkcs12, pkcs11),
# SIGN_KEY_ARGS and SIGN_VERIFY_ARGS.
signing_setup() {
    local v given=() p11=() out
    SIGN_MODE=none SIGN_KEY_ARGS=() SIGN_VERIFY_ARGS=() SIGNER= SIGN_NS=0 VERIFY_NS=0 SIGNED_NAMES=()
    for v in $SIGN_VARIABLES; do [ -z "${!v+set}" ] || given+=("$v"); done
    for v in SIGN_PKCS11_MODULE SIGN_PKCS11_KEY SIGN_PKCS11_CERT SIGN_PKCS11_PIN_FILE; do
        [ -z "${!v+set}" ] || p11+=("$v")
    done
    if [ ${#given[@]} -eq 0 ]; then
        printf 'package: not signing: no certificate given (SIGN_PKCS12 or SIGN_PKCS11_*), so the package and its programs are unsigned\n' >&2
        return 0
    fi
    if [ -n "${SIGN_PKCS12+set}" ] && [ ${#p11[@]} -gt 0 ]; then
        sign_fail "give SIGN_PKCS12 or SIGN_PKCS11_*, not both (${p11[*]} set)"; return
    elif [ -n "${SIGN_PKCS12+set}" ]; then
        SIGN_MODE=pkcs12
    elif [ ${#p11[@]} -gt 0 ]; then
        SIGN_MODE=pkcs11
    else
        sign_fail "${given[*]} set, but no certificate: give SIGN_PKCS12 or SIGN_PKCS11_*"; return
    fi
    command -v "${OSSLSIGNCODE:-osslsigncode}" >/dev/null \
        || { sign_fail "${OSSLSIGNCODE:-osslsigncode} is missing (Debian package: osslsigncode)"; return; }
    command -v openssl >/dev/null || { sign_fail "openssl is missing (Debian package: openssl)"; return; }

    if [ $SIGN_MODE = pkcs12 ]; then
        [ -n "${SIGN_PASSWORD_FILE+set}" ] || { sign_fail "SIGN_PKCS12 is given without SIGN_PASSWORD_FILE"; return; }
        need_file SIGN_PKCS12 && need_file SIGN_PASSWORD_FILE || return
        # The key's own certificate; older files need OpenSSL 3's legacy ciphers.
        out=$(openssl pkcs12 -in "$SIGN_PKCS12" -passin file:"$SIGN_PASSWORD_FILE" -nokeys -clcerts 2>&1 </dev/null) \
            || out=$(openssl pkcs12 -legacy -in "$SIGN_PKCS12" -passin file:"$SIGN_PASSWORD_FILE" -nokeys -clcerts 2>&1 </dev/null) \
            || { sign_fail "SIGN_PKCS12 $SIGN_PKCS12 does not open with the password in SIGN_PASSWORD_FILE ($(openssl_reason "$out"))"; return; }
        [ -n "$(printf '%s\n' "$out" | certificate_subject)" ] \
            || { sign_fail "SIGN_PKCS12 $SIGN_PKCS12 holds no certificate for its key"; return; }
        SIGN_KEY_ARGS=(-pkcs12 "$SIGN_PKCS12" -readpass "$SIGN_PASSWORD_FILE")
    else
        [ -z "${SIGN_PASSWORD_FILE+set}" ] || { sign_fail "SIGN_PASSWORD_FILE goes with SIGN_PKCS12; a token's PIN is in SIGN_PKCS11_PIN_FILE"; return; }
        local missing=()
        for v in SIGN_PKCS11_MODULE SIGN_PKCS11_KEY SIGN_PKCS11_CERT SIGN_PKCS11_PIN_FILE; do
            [ -n "${!v+set}" ] || missing+=("$v")
        done
        [ ${#missing[@]} -eq 0 ] || { sign_fail "a PKCS#11 key needs SIGN_PKCS11_MODULE, SIGN_PKCS11_KEY, SIGN_PKCS11_CERT and SIGN_PKCS11_PIN_FILE; missing: ${missing[*]}"; return; }
        need_file SIGN_PKCS11_MODULE && need_file SIGN_PKCS11_CERT && need_file SIGN_PKCS11_PIN_FILE || return
        [[ $SIGN_PKCS11_KEY == pkcs11:* ]] || { sign_fail "SIGN_PKCS11_KEY must be a pkcs11: URI, not '$SIGN_PKCS11_KEY'"; return; }
        local engines
        engines=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')
        [ -f "$engines/pkcs11.so" ] \
            || { sign_fail "OpenSSL's pkcs11 engine is not in $engines (Debian package: libengine-pkcs11-openssl)"; return; }
        [ -n "$(certificate_subject <"$SIGN_PKCS11_CERT")" ] || { sign_fail "SIGN_PKCS11_CERT $SIGN_PKCS11_CERT holds no PEM certificate"; return; }
        SIGN_KEY_ARGS=(-pkcs11module "$SIGN_PKCS11_MODULE" -certs "$SIGN_PKCS11_CERT" -key "$SIGN_PKCS11_KEY"
                       -readpass "$SIGN_PKCS11_PIN_FILE")
    fi
    timestamp_setup || return
    if [ -n "${SIGN_CAFILE+set}" ]; then
        need_file SIGN_CAFILE || return
        SIGN_VERIFY_ARGS+=(-CAfile "$SIGN_CAFILE")
    else
        SIGN_VERIFY_ARGS+=(-CAfile /etc/ssl/certs/ca-certificates.crt)
    fi
    if [ -n "${SIGN_CRLFILE+set}" ]; then
        need_file SIGN_CRLFILE || return
        SIGN_VERIFY_ARGS+=(-CRLfile "$SIGN_CRLFILE")
    fi
}

# osslsigncode's output as one line, for a failure it gave no reason for:
# its end, where its verdict is (or is missing).
osslsigncode_said() {
    local said
    said=$(grep -Ev '^[[:space:]]*$' <<<"$1" | tr '\n\t' '  ')
    said=${said% }
    [ ${#said} -le 600 ] || said="... ${said: -600}"
    echo "osslsigncode said: $said"
}

# How osslsigncode ended, when not with status 0: one clause to add.
exit_status() {
    [ "$1" -eq 0 ] && return
    if [ "$1" -gt 128 ]; then echo " (osslsigncode was ended by signal $(( $1 - 128 )))"
    else echo " (osslsigncode exited with status $1)"
    fi
}

# Why osslsigncode's verify output says a signature failed, in a few words.
verify_failure() {
    local out=$1 why
    if grep -Eq 'No signature found|has no signature' <<<"$out"; then
        echo "it has no signature"
    elif grep -Eq '(message digest|DigitalSignature) *:.*MISMATCH' <<<"$out"; then
        echo "its contents do not match the signature (digest mismatch)"
    elif why=$(sed -n '/Verify error:/{s/.*Verify error: *//p;q}' <<<"$out") && [ -n "$why" ]; then
        echo "its chain is not trusted: $why"
    else
        # (osslsigncode 2.9 reports a CRL it could not fetch even where the
        # CRL was given and the signature verifies: that is never the reason.)
        why=$(awk '!/HTTP failure|Faild to get CRL|Failed to get CRL/ && tolower($0) ~ /fail|error|use the/ { print; exit }' \
            <<<"$out")
        printf '%s\n' "${why:-$(osslsigncode_said "$out")}"
    fi
}

# Why the timestamp in osslsigncode's verify output failed: the error its
# check of the authority's chain gave (2.5 and 2.9 word it differently).
timestamp_failure() {
    local out=$1 why
    if grep -q '^Timestamp is not available' <<<"$out"; then
        echo "it carries none"
        return
    fi
    why=$(sed -n '/^TSA.s certificates file/,/^Timestamp Server Signature verification/{/\(Verify error\|Error\):/{s/.*\(Verify error\|Error\): *//p;q}}' \
        <<<"$out")
    if [ -n "$why" ]; then
        echo "the time-stamping authority is not trusted (SIGN_TSA_CAFILE): $why"
        return
    fi
    # No reason named: what it said of the timestamp (those lines are
    # indented), to its verdict; or all it said, when nothing of one.
    why=$(sed -n '/^[[:space:]]*Timestamp/,/^Timestamp Server Signature verification/p' <<<"$out")
    [ -n "$why" ] || why=$out
    osslsigncode_said "$why"
}

# Verifies FILE's signature against SIGN_VERIFY_ARGS' anchors; SIGNER is
# who signed it, for the closing line.
verify_signature() {
    local file=$1 name=$2 start out rc
    start=$(now_ns)
    out=$(osslsigncode_tool verify -in "$file" "${SIGN_VERIFY_ARGS[@]}" 2>&1); rc=$?
    VERIFY_NS=$(( VERIFY_NS + $(now_ns) - start ))
    if ! grep -q '^Signature verification: ok' <<<"$out"; then
        sign_fail "the signature of $name does not verify: $(verify_failure "$out")$(exit_status $rc)"
        return
    fi
    # (Still a failure: a verifier that did not end well is not trusted.)
    if [ $rc -ne 0 ]; then
        sign_fail "osslsigncode said the signature of $name verifies, then exited with status $rc"
        return
    fi
    # osslsigncode says "Signature verification: ok" for a signature whose
    # certificate is valid today even when its timestamp fails; a time-stamped
    # signature counts only with a timestamp that verifies.
    if [ -n "${SIGN_TIMESTAMP_URL:-}" ] && ! grep -q '^Timestamp Server Signature verification: ok' <<<"$out"; then
        sign_fail "the timestamp of $name does not verify: $(timestamp_failure "$out")"
        return
    fi
    SIGNER=$(awk '/Signer.s certificate:/ { s = 1 } s && /Subject:/ { sub(/^[^:]*: */, ""); print; exit }' <<<"$out")
}

# Signs IN into OUT (SHA-256) and verifies OUT.
sign_file() {
    local in=$1 out=$2 name start log
    name=$(basename "$in")
    rm -f "$out"
    start=$(now_ns)
    log=$(osslsigncode_tool sign "${SIGN_KEY_ARGS[@]}" -h sha256 -n "$SIGN_DESCRIPTION" -in "$in" -out "$out" 2>&1)
    if [ $? -ne 0 ] || [ ! -s "$out" ]; then
        rm -f "$out"
        if grep -q 'RFC 3161 timestamping failed' <<<"$log"; then
            sign_fail "signing $name: the time-stamping server $SIGN_TIMESTAMP_URL gave no timestamp: $(failure_reason "$log")"
        else
            sign_fail "signing $name with the $(key_kind) failed: $(failure_reason "$log")"
        fi
        return
    fi
    SIGN_NS=$(( SIGN_NS + $(now_ns) - start ))
    verify_signature "$out" "$name" || { rm -f "$out"; return 1; }
    SIGNED_NAMES+=("$name")
}

# Our programs as they go into the package: DIR/<name> for each FILE, signed
# when a certificate is given.  Only programs we build are passed here: a
# vendor's library keeps its vendor's signature (or its lack of one).
stage_programs() {
    local dir=$1 f; shift
    for f in "$@"; do
        if [ "$SIGN_MODE" = none ]; then
            cp -p "$f" "$dir/" || { sign_fail "cannot copy $f to $dir"; return; }
        else
            sign_file "$f" "$dir/$(basename "$f")" || return
        fi
    done
}

# Signs the package in place (nothing when no certificate is given).
sign_package() {
    local msi=$1
    [ "$SIGN_MODE" != none ] || return 0
    sign_file "$msi" "$msi.signed" && mv "$msi.signed" "$msi" \
        || { rm -f "$msi.signed"; return 1; }
}

# SHA256SUMS beside the package, for whoever downloads it.
write_checksums() {
    local dir name
    dir=$(dirname "$1") name=$(basename "$1")
    ( cd "$dir" && sha256sum "$name" >SHA256SUMS.new && mv SHA256SUMS.new SHA256SUMS ) \
        || sign_fail "cannot write $dir/SHA256SUMS"
}

say_signed() {
    [ "$SIGN_MODE" != none ] || return 0
    local stamp="time-stamped by ${SIGN_TIMESTAMP_URL:-}"
    [ -n "${SIGN_TIMESTAMP_URL:-}" ] || stamp="no timestamps (SIGN_NO_TIMESTAMP=1)"
    printf 'package: signed %s (SHA-256, %s, %s, %s), every signature verified; signing %s s, verifying %s s\n' \
        "${SIGNED_NAMES[*]}" "$SIGNER" "$(key_kind)" "$stamp" \
        "$(seconds $SIGN_NS)" "$(seconds $VERIFY_NS)" >&2
}
