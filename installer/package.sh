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
#   AGENT_STOP  the built agent-stop.exe; default BINDIR/../installer/agent-stop.exe
#               (where installer/CMakeLists.txt puts it in the same build tree).
# Prints the package's path on success; returns non-zero with a message otherwise.

INSTALLER_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

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

build_package() {
    local bindir=${1:-} platform=${2:-} outdir=${3:-}
    local version=${4:-$(tr -d ' \r\n' <"$INSTALLER_DIR/VERSION")}
    [ -n "$outdir" ] || { package_fail "usage: build_package BINDIR PLATFORM OUTDIR [VERSION]"; return; }
    case $platform in x86|x64) ;; *) package_fail "platform must be x86 or x64, not '$platform'"; return ;; esac
    # Windows Installer compares only these three fields, each within its range.
    [[ $version =~ ^([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,5})$ ]] \
        && [ "${BASH_REMATCH[1]}" -le 255 ] && [ "${BASH_REMATCH[2]}" -le 255 ] && [ "${BASH_REMATCH[3]}" -le 65535 ] \
        || { package_fail "version '$version' is not major.minor.build (255.255.65535 at most)"; return; }
    command -v wixl >/dev/null || { package_fail "wixl is missing (Debian package: wixl)"; return; }

    local stand_in=$bindir/HIDUSB.dll library=${HIDUSB_DLL:-}
    local stop=${AGENT_STOP:-$bindir/../installer/agent-stop.exe} f
    for f in "$bindir/agent.exe" "$stand_in" "$stop" ${library:+"$library"}; do
        [ -f "$f" ] || { package_fail "missing $f"; return; }
    done
    local name=ostrel-agent-$version product="Ostrel Agent"
    if [ -z "$library" ] || cmp -s "$library" "$stand_in"; then
        library=$stand_in
        name+=-demo
        product+=" (demo, stand-in device library)"
    fi

    mkdir -p "$outdir" || { package_fail "cannot create $outdir"; return; }
    local out
    out=$(realpath "$outdir")/$name.msi
    # wixl takes no absolute Source paths: it is run from / with paths relative to it.
    local rel_bin rel_library rel_stop log
    rel_bin=$(realpath "$bindir") rel_library=$(realpath "$library") rel_stop=$(realpath "$stop")
    # wixl reports some elements it cannot build only as a warning and leaves
    # them out of the package, so any diagnostic counts as a failure.
    log=$(cd / && wixl -a "$platform" -o "$out" \
        -D Platform="$platform" -D Version="$version" -D ProductName="$product" \
        -D ProductCode="$(derived_product_code "$version" "$platform")" \
        -D BinDir="${rel_bin#/}" -D DeviceLibrary="${rel_library#/}" -D AgentStop="${rel_stop#/}" \
        "$INSTALLER_DIR/agent.wxs" 2>&1)
    if [ $? -ne 0 ] || [ -n "$log" ]; then
        rm -f "$out"
        package_fail "wixl failed for $out:"$'\n'"$log"
        return
    fi
    printf '%s\n' "$out"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    build_package "$@"
fi
