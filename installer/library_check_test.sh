#!/usr/bin/env bash
# What a package accepts as HIDUSB_DLL.  Each bad library must be refused
# with one line that says what is wrong, and no package written; each good
# one is bundled as it is.  The fixture libraries are built here from a few
# lines of C with both MinGW-w64 compilers, so the other width is at hand
# whichever width this build tree is.
#
# Usage: library_check_test.sh BINDIR PLATFORM SCRATCH
#   BINDIR    shipped files (agent.exe, the stand-in HIDUSB.dll)
#   PLATFORM  x86 or x64, the width of BINDIR
#   SCRATCH   a folder of this test's own in the build tree (emptied first)
# AGENT_ACTIONS and OSSLSIGNCODE as for package.sh.
set -uo pipefail
[ $# -eq 3 ] || { sed -n '2,14p' "$0"; exit 2; }
BINDIR=$(cd "$1" && pwd) PLATFORM=$2 SCRATCH=$(realpath -m "$3")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/package.sh"
source "$HERE/test_certificates.sh"
# The packages are built unsigned; signing is signing_test.sh's business.
unset ${SIGN_VARIABLES}

source "$HERE/../tests/checks.sh"

rm -rf "$SCRATCH" && mkdir -p "$SCRATCH/fixtures" || { say "FAIL cannot create $SCRATCH"; exit 1; }
F=$SCRATCH/fixtures

# ------------------------------------------------------------- fixtures
case $PLATFORM in
    x86) THIS=i686-w64-mingw32-gcc-posix OTHER=x86_64-w64-mingw32-gcc-posix ;;
    x64) THIS=x86_64-w64-mingw32-gcc-posix OTHER=i686-w64-mingw32-gcc-posix ;;
    *) say "FAIL platform must be x86 or x64"; exit 2 ;;
esac
cat >"$F/lib.c" <<'EOF'
int first(int a) { return a + 1; }
int second(int a) { return a + 2; }
int third(int a) { return a + 3; }
EOF
# fixture NAME COMPILER EXPORTS...: a DLL whose .def file lists EXPORTS.
fixture() {
    local name=$1 cc=$2; shift 2
    { printf 'LIBRARY %s\nEXPORTS\n' "$name.dll"; printf '  %s\n' "$@"; } >"$F/$name.def"
    "$cc" -Wall -Wextra -Werror -shared -s -o "$F/$name.dll" "$F/lib.c" "$F/$name.def" 2>"$F/$name.log" \
        || { say "FAIL building the fixture $name.dll: $(head -3 "$F/$name.log")"; exit 1; }
}
fixture other-width "$OTHER" "second @2 NONAME"
fixture no-ordinal-2 "$THIS" "first @1 NONAME" "third @3"
fixture named-2-and-more "$THIS" "first @1" "second @2" "third @7 NONAME"
# A vendor's signed library, and the same with one byte of code changed after signing.
make_test_ca "$SCRATCH/ca" "Library Test Root" && make_code_signing "$SCRATCH/vendor" "$SCRATCH/ca" "Library Test Vendor" \
    || { say "FAIL making the test certificates"; exit 1; }
"${OSSLSIGNCODE:-osslsigncode}" sign -certs "$SCRATCH/vendor/cert.pem" -key "$SCRATCH/vendor/key.pem" -h sha256 \
    -in "$F/named-2-and-more.dll" -out "$F/signed.dll" >/dev/null 2>&1 || { say "FAIL signing the fixture"; exit 1; }
cp "$F/signed.dll" "$F/changed-after-signing.dll"
code=$(LC_ALL=C x86_64-w64-mingw32-objdump -h "$F/signed.dll" | awk '$2 == ".text" { print $6 }')
printf '\x90' | dd of="$F/changed-after-signing.dll" bs=1 seek=$((16#$code + 16)) conv=notrunc 2>/dev/null
i686_object=$F/object.o
i686-w64-mingw32-gcc-posix -c -o "$i686_object" "$F/lib.c"
other=$([ "$PLATFORM" = x86 ] && echo x64 || echo x86)
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
object file, not an image|$i686_object|refused|is not a Windows PE image
changed after signing|$F/changed-after-signing.dll|refused|signature that does not match its contents
the stand-in (ordinal 2 alone)|$BINDIR/HIDUSB.dll|accepted|warning: HIDUSB_DLL .* is not signed \(Authenticode\): Smart App Control and WDAC block unsigned DLLs\$
ordinal 2 named, more ordinals|$F/named-2-and-more.dll|accepted|is not signed \(Authenticode\)
signed by its vendor|$F/signed.dll|accepted|is signed \(Authenticode\) by /O=Ostrel Test/CN=Library Test Vendor\$
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
