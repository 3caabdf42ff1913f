#!/usr/bin/env bash
# Checks the device library a package is to bundle (HIDUSB_DLL), so that a
# wrong file fails here, once, instead of as a loader error box at every
# user's logon on every machine the package reaches.
#
# Sourced (by package.sh):  check_device_library FILE PLATFORM
#   FILE      the library
#   PLATFORM  x86 or x64, the package's width
# Accepts only a PE image with the DLL flag in its file header, of the
# package's width (PE32 and i386 for x86, PE32+ and AMD64 for x64), that
# exports ordinal 2 (by ordinal alone or with a name; other exports do not
# matter): the agent imports ordinal 2 and nothing else.  Otherwise prints one
# line saying what is wrong and returns 1.  On success it prints one line
# saying whether the library carries an Authenticode signature and whose.
# All lines go to standard error.
#
# Environment: OSSLSIGNCODE, the osslsigncode to read signatures with
# (default: osslsigncode on PATH).
#
# The PE headers and the export table are read with x86_64-w64-mingw32-objdump:
# ./dev installs it with the toolchain, it is the binutils release the files
# were built with, and it reads both pei-i386 and pei-x86-64 (the i686 one
# reads only pei-i386, and would call a 64-bit library "not a PE file"
# instead of saying its width).  Debian's own objdump reads both as well, but
# the binutils package it comes in is not one ./dev asks for.

LIBRARY_OBJDUMP=${LIBRARY_OBJDUMP:-x86_64-w64-mingw32-objdump}

library_fail() { printf 'package: HIDUSB_DLL %s\n' "$*" >&2; return 1; }

# The ordinals FILE's export address table gives an address, from objdump's
# lines "[   0] +base[   2] 18f4 Export RVA" (or "Forwarder RVA").  An empty
# slot has address 0 and is no export.
exported_ordinals() {
    printf '%s\n' "$1" | awk '
        /^Export Address Table -- Ordinal Base/ { inside = 1; next }
        inside && /^[[:space:]]*$/ { exit }
        inside && match($0, /\+base\[ *[0-9]+\] +[0-9a-fA-F]+ /) {
            split(substr($0, RSTART, RLENGTH), f, /[][ ]+/)
            if (f[3] !~ /^0+$/) print f[2]
        }'
}

width_name() { case $1 in x86) echo "32-bit (PE32)" ;; x64) echo "64-bit (PE32+)" ;; esac; }

check_device_library() {
    local file=${1:-} platform=${2:-} dump format characteristics magic found ordinals
    case $platform in
        x86|x64) ;;
        *) library_fail "check: platform must be x86 or x64, not '$platform'"; return ;;
    esac
    [ -e "$file" ] || { library_fail "$file does not exist"; return; }
    [ -f "$file" ] && [ -r "$file" ] || { library_fail "$file is not a readable file"; return; }
    command -v "$LIBRARY_OBJDUMP" >/dev/null \
        || { library_fail "$file cannot be read: $LIBRARY_OBJDUMP is missing (Debian package: binutils-mingw-w64-x86-64)"; return; }
    dump=$(LC_ALL=C "$LIBRARY_OBJDUMP" -p "$file" 2>/dev/null) \
        || { library_fail "$file is not a Windows PE file"; return; }
    format=$(awk 'match($0, /file format [^ ]*$/) { print substr($0, RSTART + 12); exit }' <<<"$dump")
    characteristics=$(awk '$1 == "Characteristics" { print $2; exit }' <<<"$dump")
    magic=$(awk '$1 == "Magic" { print $2; exit }' <<<"$dump")
    case $format in
        pei-i386|pei-x86-64) ;;
        *) library_fail "$file is not a Windows PE image (objdump reads it as ${format:-nothing it knows})"; return ;;
    esac
    # IMAGE_FILE_DLL in the file header's Characteristics.
    [[ $characteristics =~ ^0x[0-9a-fA-F]+$ ]] && (( characteristics & 0x2000 )) \
        || { library_fail "$file is a program, not a DLL (no DLL flag in its file header's Characteristics, ${characteristics:-none})"; return; }
    case $magic/$format in
        010b/pei-i386) found=x86 ;;
        020b/pei-x86-64) found=x64 ;;
        *) library_fail "$file has a PE magic $magic that does not match its machine ($format)"; return ;;
    esac
    if [ "$found" != "$platform" ]; then
        library_fail "$file is a $(width_name "$found") library; this package is $platform and needs a $(width_name "$platform") one"
        return
    fi
    ordinals=$(exported_ordinals "$dump" | sort -n | tr '\n' ' ')
    ordinals=${ordinals% }
    [[ " $ordinals " == *" 2 "* ]] \
        || { library_fail "$file does not export ordinal 2, which the agent imports (it exports: ${ordinals:-nothing})"; return; }
    say_library_signature "$file"
}

# One line: who signed the library, or a warning that nobody did.  Signing it
# is its vendor's business (a package never re-signs it), but Smart App
# Control and WDAC policies refuse to load an unsigned DLL as they refuse an
# unsigned program.  A signature that no longer matches the bytes means the
# file was changed after its vendor signed it, and fails the check.
say_library_signature() {
    local file=$1 tool=${OSSLSIGNCODE:-osslsigncode} out current calculated subject
    command -v "$tool" >/dev/null || { library_fail "$file: cannot read its signature: $tool is missing (Debian package: osslsigncode)"; return; }
    # Only the signature's own digest and signer are read here; whether its
    # chain is trusted depends on the machine it is installed on.
    out=$("$tool" verify -in "$file" 2>&1 </dev/null)
    # (Read from here-strings: see sign.sh.)
    if grep -q 'No signature found' <<<"$out"; then
        printf 'package: warning: HIDUSB_DLL %s is not signed (Authenticode): Smart App Control and WDAC block unsigned DLLs\n' "$file" >&2
        return 0
    fi
    current=$(awk -F': *' '/^Current message digest/ { print $2; exit }' <<<"$out")
    calculated=$(awk -F': *' '/^Calculated message digest/ { print $2; exit }' <<<"$out")
    subject=$(awk '/Signer.s certificate:/ { s = 1 } s && /Subject:/ { sub(/^[^:]*: */, ""); print; exit }' <<<"$out")
    if [ -z "$current" ] || [ -z "$calculated" ]; then
        library_fail "$file: its signature could not be read ($tool said: $(grep -m1 . <<<"$out"))"
        return
    fi
    if [ "${current// /}" != "${calculated// /}" ]; then
        library_fail "$file has an Authenticode signature that does not match its contents (changed after signing?)"
        return
    fi
    printf 'package: HIDUSB_DLL %s is signed (Authenticode) by %s\n' "$file" "${subject:-an unnamed signer}" >&2
}
