#!/usr/bin/env bash
# The device libraries the package tests give to a package as HIDUSB_DLL,
# built once by the build (tests/CMakeLists.txt) from a few lines of C with
# both MinGW-w64 compilers, so the other width is at hand whichever width
# this build tree is.
#
# Usage: library_fixtures.sh DIR PLATFORM KEYS
#   DIR       where they go (emptied first); DIR/ready is written last
#   PLATFORM  x86 or x64, the build tree's width
#   KEYS      the test keys (test_certificates.sh): vendor/ signs signed.dll
# Makes, in DIR:
#   lib.c                     their source (also a file that is no PE file)
#   object.o                  an i686 object file: PE, but no image
#   other-width.dll           the other width, exporting ordinal 2
#   no-ordinal-2.dll          exports ordinals 1 and 3 only
#   named-2-and-more.dll      ordinals 1 and 2 by name and 7 by ordinal
#   signed.dll                that one, signed by "Signing Test Vendor"
#   changed-after-signing.dll signed.dll with a byte of code changed
# OSSLSIGNCODE as for package.sh.
set -uo pipefail
[ $# -eq 3 ] || { sed -n '2,20p' "$0"; exit 2; }
DIR=$1 PLATFORM=$2 KEYS=$3
failed() { echo "library_fixtures.sh: $*" >&2; exit 1; }

case $PLATFORM in
    x86) THIS=i686-w64-mingw32-gcc-posix OTHER=x86_64-w64-mingw32-gcc-posix ;;
    x64) THIS=x86_64-w64-mingw32-gcc-posix OTHER=i686-w64-mingw32-gcc-posix ;;
    *) failed "platform must be x86 or x64, not '$PLATFORM'" ;;
esac
rm -rf "$DIR" && mkdir -p "$DIR" || failed "cannot create $DIR"
cat >"$DIR/lib.c" <<'EOF'
int first(int a) { return a + 1; }
int second(int a) { return a + 2; }
int third(int a) { return a + 3; }
EOF
# fixture NAME COMPILER EXPORTS...: a DLL whose .def file lists EXPORTS.
fixture() {
    local name=$1 cc=$2; shift 2
    { printf 'LIBRARY %s\nEXPORTS\n' "$name.dll"; printf '  %s\n' "$@"; } >"$DIR/$name.def"
    "$cc" -Wall -Wextra -Werror -shared -s -o "$DIR/$name.dll" "$DIR/lib.c" "$DIR/$name.def" 2>"$DIR/$name.log" \
        || failed "building $name.dll: $(head -3 "$DIR/$name.log")"
}
fixture other-width "$OTHER" "second @2 NONAME"
fixture no-ordinal-2 "$THIS" "first @1 NONAME" "third @3"
fixture named-2-and-more "$THIS" "first @1" "second @2" "third @7 NONAME"
i686-w64-mingw32-gcc-posix -c -o "$DIR/object.o" "$DIR/lib.c" || failed "compiling object.o"

# A vendor's signed library, and the same with one byte of code changed after signing.
"${OSSLSIGNCODE:-osslsigncode}" sign -certs "$KEYS/vendor/chain.pem" -key "$KEYS/vendor/key.pem" -h sha256 \
    -in "$DIR/named-2-and-more.dll" -out "$DIR/signed.dll" </dev/null >"$DIR/sign.log" 2>&1 \
    || failed "signing signed.dll: $(head -3 "$DIR/sign.log")"
cp "$DIR/signed.dll" "$DIR/changed-after-signing.dll" || failed "copying signed.dll"
code=$(LC_ALL=C x86_64-w64-mingw32-objdump -h "$DIR/signed.dll" | awk '$2 == ".text" { print $6 }')
[ -n "$code" ] || failed "signed.dll has no .text section"
printf '\x90' | dd of="$DIR/changed-after-signing.dll" bs=1 seek=$((16#$code + 16)) conv=notrunc 2>/dev/null \
    || failed "changing changed-after-signing.dll"
date -u '+made %Y-%m-%d %H:%M UTC' >"$DIR/ready"
