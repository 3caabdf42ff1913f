#!/usr/bin/env bash
# Builds the agent's Windows Installer package with wixl (Debian's msitools).
#
# Sourced (by ./dev):   build_package BINDIR PLATFORM OUTDIR [VERSION]
# Run directly:         installer/package.sh BINDIR PLATFORM OUTDIR [VERSION]
#
#   BINDIR    the shipped files: agent.exe and our stand-in HIDUSB.dll
#             (build/bin, or build/x64/bin for the x86-64 build)
#   PLATFORM  x86 or x64, the width BINDIR was built for
#   OUTDIR    where the package goes (created)
#   VERSION   major.minor.build; default: the contents of installer/VERSION.
#             Tests pass one to build an older and a newer package.
# Environment:
#   HIDUSB_DLL  the device library to bundle.  Unset, empty, or the same
#               bytes as BINDIR/HIDUSB.dll: the stand-in is bundled, and the
#               package is named ostrel-agent-VERSION-demo.msi and its product
#               "Ostrel Agent (demo, stand-in device library)".  Otherwise:
#               ostrel-agent-VERSION.msi, product "Ostrel Agent".
#   AGENT_ACTIONS  the built agent-actions.dll, the package's custom
#               actions; default BINDIR/../installer/agent-actions.dll (where
#               installer/CMakeLists.txt puts it in the same build tree).
#   SIGN_*      a code-signing key: our programs and the package are signed
#               (see sign.sh); none given, the package is unsigned.
# HIDUSB_DLL is checked first (check_library.sh).  SHA256SUMS is written
# beside the package.
# Prints the package's path on success; returns non-zero with a message otherwise.

INSTALLER_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$INSTALLER_DIR/check_library.sh"
source "$INSTALLER_DIR/sign.sh"

package_fail() { printf 'package: %s\n' "$*" >&2; return 1; }

# The product code is derived from the version and the width, so that the same
# version is always the same product: a second install of it is a maintenance
# run, not a second copy beside the first, and a different build of an
# installed version is refused instead of installed twice.
derived_product_code() {
    local h
    h=$(printf 'ostrel-agent|%s|%s' "$1" "$2" | sha1sum | tr a-f A-F)
    # Name-based layout: version nibble 5, variant bits 10.
    printf '%s-%s-5%s-%X%s-%s\n' "${h:0:8}" "${h:8:4}" "${h:13:3}" \
        $(( (16#${h:16:1} & 3) | 8 )) "${h:17:3}" "${h:20:12}"
}

# The FILEVERSION of a PE file's version resource as a.b.c.d, or nothing.
file_version() {
    local windres=$1 file=$2
    "$windres" -i "$file" -J coff -O rc 2>/dev/null \
        | awk '/^ FILEVERSION / { sub(/^ FILEVERSION /, ""); gsub(/ /, ""); gsub(/,/, "."); print; exit }'
}

# What wixl cannot express, done in the built package's tables:
#  - RemoveExistingProducts goes after InstallExecute (see agent.wxs), so
#    that StopAgents has run before the old version's files go;
#  - every custom action gets its exact type (wixl marks property-setting
#    actions as not impersonated, which means nothing for them, and cannot
#    write all the bits): see CUSTOM_ACTION_TYPES;
#  - START_AGENT joins SecureCustomProperties: only public properties listed
#    there reach the installation's server side when a user without
#    administrator rights installs with UAC consent (Windows Installer's
#    restricted public properties), and START_AGENT=0 would be dropped;
#  - every file with a version resource gets its version in the File table
#    (wixl leaves it empty, so Windows Installer's versioning rules would take
#    it for an unversioned file), and loses its MsiFileHash row, which is
#    for unversioned files only.
# The custom actions' types, as Windows Installer's bits add up: 1 a DLL from
# the Binary table, 51 (3 + 48) a property set from formatted text, 0x40
# return ignored, 0x100 rollback only, 0x400 in-script (deferred), 0x800 not
# impersonated (the installer's own context, LocalSystem).
CUSTOM_ACTION_TYPES="StopAgents.Data:51 StopAgents:$((1 | 0x40 | 0x400 | 0x800))
    StartAgent.Data:51 StartAgent.Rollback.Data:51 StartAgent.Rollback:$((1 | 0x40 | 0x100 | 0x400 | 0x800))
    StartAgent:$((1 | 0x40 | 0x400 | 0x800))"
edit_tables() {
    local msi=$1 stage=$2 windres=$3 file name version queries=() action secure
    queries+=("UPDATE InstallExecuteSequence SET Sequence=1504 WHERE Action='RemoveExistingProducts'")
    for action in $CUSTOM_ACTION_TYPES; do
        queries+=("UPDATE CustomAction SET Type=${action##*:} WHERE Action='${action%:*}'")
    done
    secure=$(msiinfo export "$msi" Property | tr -d '\r' | awk -F'\t' '$1 == "SecureCustomProperties" { print $2 }')
    queries+=("UPDATE Property SET Value='START_AGENT${secure:+;$secure}' WHERE Property='SecureCustomProperties'")
    # Our file's language is its resources' (0x0404); a vendor's is its own.
    local language
    for file in AgentExe:agent.exe:1028 DeviceLibrary:HIDUSB.dll:; do
        IFS=: read -r file name language <<<"$file"
        version=$(file_version "$windres" "$stage/$name")
        [ -n "$version" ] || continue
        queries+=("UPDATE File SET Version='$version'${language:+, Language='$language'} WHERE File='$file'")
        queries+=("DELETE FROM MsiFileHash WHERE File_='$file'")
    done
    local args=() q
    for q in "${queries[@]}"; do args+=(-q "$q"); done
    msibuild "$msi" "${args[@]}"
}

build_package() {
    local bindir=${1:-} platform=${2:-} outdir=${3:-}
    local version=${4:-$(tr -d ' \r\n' <"$INSTALLER_DIR/VERSION")}
    [ -n "$outdir" ] || { package_fail "usage: build_package BINDIR PLATFORM OUTDIR [VERSION]"; return; }
    local windres
    case $platform in
        x86) windres=i686-w64-mingw32-windres ;;
        x64) windres=x86_64-w64-mingw32-windres ;;
        *) package_fail "platform must be x86 or x64, not '$platform'"; return ;;
    esac
    # Windows Installer compares only these three fields, each within its range.
    [[ $version =~ ^([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,5})$ ]] \
        && [ "${BASH_REMATCH[1]}" -le 255 ] && [ "${BASH_REMATCH[2]}" -le 255 ] && [ "${BASH_REMATCH[3]}" -le 65535 ] \
        || { package_fail "version '$version' is not major.minor.build (255.255.65535 at most)"; return; }
    command -v wixl >/dev/null || { package_fail "wixl is missing (Debian package: wixl)"; return; }
    command -v msibuild >/dev/null || { package_fail "msibuild is missing (Debian package: msitools)"; return; }

    local stand_in=$bindir/HIDUSB.dll library=${HIDUSB_DLL:-}
    local actions=${AGENT_ACTIONS:-$bindir/../installer/agent-actions.dll} f
    for f in "$bindir/agent.exe" "$stand_in" "$actions" ${library:+"$library"}; do
        [ -f "$f" ] || { package_fail "missing $f"; return; }
    done
    if [ -n "$library" ]; then check_device_library "$library" "$platform" || return; fi
    signing_setup || return
    local name=ostrel-agent-$version product="Ostrel Agent"
    if [ -z "$library" ] || cmp -s "$library" "$stand_in"; then
        library=$stand_in
        name+=-demo
        product+=" (demo, stand-in device library)"
    fi

    mkdir -p "$outdir" || { package_fail "cannot create $outdir"; return; }
    local out stage
    out=$(realpath "$outdir")/$name.msi
    # What goes into the package is gathered in one folder first, our
    # programs signed there (a vendor's library goes in as its vendor made it).
    stage=$(realpath "$outdir")/.stage-$name
    rm -rf "$stage" && mkdir -p "$stage" || { package_fail "cannot create $stage"; return; }
    local ours=("$bindir/agent.exe" "$actions")
    [ "$library" != "$stand_in" ] || ours+=("$stand_in")
    stage_programs "$stage" "${ours[@]}" || { rm -rf "$stage"; return 1; }
    [ "$library" = "$stand_in" ] || cp "$library" "$stage/HIDUSB.dll" \
        || { rm -rf "$stage"; package_fail "cannot stage $library"; return; }
    # wixl takes no absolute Source paths: it is run from / with paths relative to it.
    # wixl reports some elements it cannot build only as a warning and leaves
    # them out of the package, so any diagnostic counts as a failure.
    local log
    log=$(cd / && wixl -a "$platform" -o "$out" \
        -D Platform="$platform" -D Version="$version" -D ProductName="$product" \
        -D ProductCode="$(derived_product_code "$version" "$platform")" \
        -D BinDir="${stage#/}" -D DeviceLibrary="${stage#/}/HIDUSB.dll" -D AgentActions="${stage#/}/agent-actions.dll" \
        "$INSTALLER_DIR/agent.wxs" 2>&1)
    if [ $? -ne 0 ] || [ -n "$log" ]; then
        rm -f "$out"; rm -rf "$stage"
        package_fail "wixl failed for $out:"$'\n'"$log"
        return
    fi
    log=$(edit_tables "$out" "$stage" "$windres" 2>&1)
    local rc=$?
    rm -rf "$stage"
    [ $rc -eq 0 ] || { rm -f "$out"; package_fail "msibuild failed for $out: $log"; return; }
    # Signed last: the signature covers the tables as edited.
    sign_package "$out" || { rm -f "$out"; return 1; }
    write_checksums "$out" || return
    say_signed
    printf '%s\n' "$out"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    build_package "$@"
fi
