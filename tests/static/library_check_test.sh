#!/usr/bin/env bash
# What a package accepts as HIDUSB_DLL.  Each bad library must be refused
# with one line that says what is wrong, and no package written; each good
# one is bundled as it is.  The libraries are the build's
# (library_fixtures.sh), of both widths.
#
# Usage: library_check_test.sh BINDIR PLATFORM SCRATCH FIXTURES
#   BINDIR    shipped files (agent.exe, the stand-in HIDUSB.dll)
#   PLATFORM  x86 or x64, the width of BINDIR
#   SCRATCH   a folder of this test's own in the build tree (emptied first)
#   FIXTURES  the libraries library_fixtures.sh made for this width
# AGENT_ACTIONS and OSSLSIGNCODE as for package.sh.
set -uo pipefail
[ $# -eq 4 ] || { sed -n '2,13p' "$0"; exit 2; }
BINDIR=$(cd "$1" && pwd) PLATFORM=$2 SCRATCH=$(realpath -m "$3") F=$(realpath -m "$4")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/../../installer/package.sh"
# The packages are built unsigned; signing is signing_test.sh's business.
unset ${SIGN_VARIABLES}

source "$HERE/../checks.sh"

rm -rf "$SCRATCH" && mkdir -p "$SCRATCH" || fail "cannot create $SCRATCH"
[ -f "$F/ready" ] || fail "no test libraries in $F (the build makes them: library_fixtures.sh)"
case $PLATFORM in
    x86) other=x64 ;;
    x64) other=x86 ;;
    *) fail "platform must be x86 or x64, not '$PLATFORM'" ;;
esac
# As an ERE: the width's words, with ( ) + escaped.
width() { [ "$1" = x86 ] && echo '32-bit \(PE32\)' || echo '64-bit \(PE32\+\)'; }

# ------------------------------------------------------------- cases
# name | file | expected: "refused" or "accepted" | the one line it must print (an ERE)
CASES="
other width|$F/other-width.dll|refused|is a $(width $other) library; this package is $PLATFORM and needs a $(width $PLATFORM) one\$
no ordinal 2|$F/no-ordinal-2.dll|refused|does not export ordinal 2, which the agent imports \(it exports: 1 3\)\$
not a DLL (agent.exe)|$BINDIR/agent.exe|refused|is a program, not a DLL
missing file|$F/missing.dll|refused|does not exist\$
not a PE file (C source)|$F/lib.c|refused|is not a Windows PE file\$
object file, not an image|$F/object.o|refused|is not a Windows PE image
changed after signing|$F/changed-after-signing.dll|refused|signature that does not match its contents
the stand-in (ordinal 2 alone)|$BINDIR/HIDUSB.dll|accepted|warning: HIDUSB_DLL .* is not signed \(Authenticode\): Smart App Control and WDAC block unsigned DLLs\$
ordinal 2 named, more ordinals|$F/named-2-and-more.dll|accepted|is not signed \(Authenticode\)
signed by its vendor|$F/signed.dll|accepted|is signed \(Authenticode\) by /O=Ostrel Test/CN=Signing Test Vendor\$
"

# The one line of standard error $1 must be, matching $2.
one_line() {
    [ "$(printf '%s\n' "$1" | grep -c .)" -eq 1 ] && printf '%s\n' "$1" | grep -Eq "^package: .*$2"
}

n=0
while IFS='|' read -r name file want line; do
    [ -n "$name" ] || continue
    n=$((n + 1))
    # The check alone.
    err=$(check_device_library "$file" "$PLATFORM" 2>&1 >/dev/null); rc=$?
    if [ "$want" = refused ] && [ $rc -eq 0 ]; then bad "$name: check_device_library accepted it"
    elif [ "$want" = accepted ] && [ $rc -ne 0 ]; then bad "$name: check_device_library refused it: $err"
    elif ! one_line "$err" "$line"; then bad "$name: check_device_library said, not one line matching '$line':"$'\n'"$err"
    else ok "$name: check: ${err#package: }"
    fi
    # A package with it.
    out=$SCRATCH/packages/$n
    pkg=$(HIDUSB_DLL=$file build_package "$BINDIR" "$PLATFORM" "$out" 2>"$SCRATCH/package.err"); rc=$?
    written=$(find "$out" -name '*.msi' 2>/dev/null)
    if [ "$want" = refused ]; then
        lines=$(grep -c . "$SCRATCH/package.err")
        if [ $rc -eq 0 ] || [ -n "$written" ]; then bad "$name: a package was built: ${written:-$pkg}"
        elif [ "$lines" -ne 1 ]; then bad "$name: build_package said $lines lines, not one: $(cat "$SCRATCH/package.err")"
        else ok "$name: no package written, one line"
        fi
    elif [ $rc -ne 0 ] || [ ! -f "$pkg" ]; then
        bad "$name: build_package failed: $(cat "$SCRATCH/package.err")"
    else
        # The library inside is the given file, byte for byte.
        rm -rf "$out/x" && mkdir -p "$out/x" && (cd "$out/x" && msiextract "$pkg" >/dev/null 2>&1)
        inside=$(find "$out/x" -iname HIDUSB.dll | head -1)
        if [ -n "$inside" ] && cmp -s "$inside" "$file"; then ok "$name: bundled as given in $(basename "$pkg")"
        else bad "$name: $(basename "$pkg") does not carry the given library${inside:+ (it differs)}"
        fi
    fi
done <<<"$CASES"

verdict "library check"
