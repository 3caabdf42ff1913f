#!/bin/sh
# What the shipped binaries ask of the loader, read on the build machine with
# objdump and windres:
#  - agent.exe is a GUI program of the build's width (PE32 for the shipped
#    32-bit build) importing only system DLLs and HIDUSB.dll, the latter by
#    ordinal 2 alone;
#  - agent.exe does not import SHELL32.dll at load, and the shell and COM
#    are what it loads on demand: every DLL name in its file is imported at
#    load or is SHELL32.dll or OLE32.dll;
#  - HIDUSB.dll exports exactly one entry, ordinal 2, with no name;
#  - every program the package installs (agent.exe) is terminal-server
#    aware, and carries the application manifest (asInvoker, no uiAccess,
#    Windows 7 to 11) in language 0x0404; it and the DLLs that go into the
#    package (HIDUSB.dll, agent-actions.dll) keep ASLR (with the relocations
#    it needs) and DEP, with high-entropy addresses on x86-64;
#  - nothing needs the compiler's runtime DLLs.
# Usage: check_binaries.sh OBJDUMP WINDRES PE_MAGIC BINDIR INSTALLERDIR [TESTBINDIR]
# (PE_MAGIC: 010b for PE32, 020b for PE32+)
objdump=$1
windres=$2
magic=$3
bin=$4
installer=$5
tests=$6
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

dlls_of() { "$objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort; }

# The block of import lines that follows "DLL Name: $2" in $1's dump.
imports_from() {
    "$objdump" -p "$1" | awk -v dll="$2" '
        /DLL Name:/ { inside = (tolower($3) == tolower(dll)); next }
        inside && /^[[:space:]]*$/ { inside = 0 }
        inside && /Hint\/Ord/ { next }
        inside { print }'
}

agent=$bin/agent.exe
dump=$("$objdump" -p "$agent") || { echo "FAIL: cannot read $agent"; exit 1; }
echo "$dump" | grep -q "Magic[[:space:]]*$magic" || fail "agent.exe's optional header magic is not $magic"
echo "$dump" | grep -q 'Subsystem[[:space:]]*00000002' || fail "agent.exe is not a GUI-subsystem program"

for dll in $(dlls_of "$agent"); do
    case $dll in
        kernel32.dll|user32.dll|advapi32.dll|msvcrt.dll|hidusb.dll) ;;
        *) fail "agent.exe imports $dll" ;;
    esac
done
imports=$(dlls_of "$agent")
echo "$imports" | grep -qx hidusb.dll || fail "agent.exe does not import HIDUSB.dll at load"
hid=$(imports_from "$agent" HIDUSB.dll)
[ "$(echo "$hid" | wc -l)" -eq 1 ] || fail "agent.exe imports more than one entry of HIDUSB.dll: $hid"
echo "$hid" | grep -Eq '^[[:space:]]*80+2[[:space:]]+0*2[[:space:]]+<none>' \
    || fail "agent.exe does not import HIDUSB.dll by ordinal 2 alone: $hid"
on_demand=
for dll in $(grep -aoi '[A-Za-z0-9_.-]*\.dll' "$agent" | tr 'A-Z' 'a-z' | sort -u); do
    echo "$imports" | grep -qx "$dll" || on_demand="$on_demand${on_demand:+ }$dll"
done
[ "$on_demand" = "ole32.dll shell32.dll" ] \
    || fail "agent.exe should name exactly OLE32.dll and SHELL32.dll beyond its imports, but names: ${on_demand:-none}"

lib=$bin/HIDUSB.dll
exports=$("$objdump" -p "$lib")
echo "$exports" | grep -Eq 'Ordinal Base[[:space:]]+2$' || fail "HIDUSB.dll ordinal base is not 2"
echo "$exports" | grep -Eq 'Export Address Table[[:space:]]+00000001$' || fail "HIDUSB.dll does not export exactly one entry"
echo "$exports" | grep -Eq '\[Name Pointer/Ordinal\] Table[[:space:]]+00000000$' || fail "HIDUSB.dll exports a name"

# The manifest as text: windres prints a resource's bytes as quoted pieces,
# cut where it likes, under the last LANGUAGE line before it.
manifest_of() {
    "$windres" -i "$1" -J coff -O rc 2>/dev/null | awk '
        /^LANGUAGE / { language = $2 $3 }
        /^1 24 / { inside = 1; print "language " language; next }
        inside && /^END/ { inside = 0 }
        inside && /^  "/ { sub(/^  "/, ""); sub(/"$/, ""); gsub(/""/, "\""); gsub(/\\n/, ""); text = text $0 }
        END { print text }'
}

# ASLR, with the relocations it needs, and DEP; $2 more flags.
check_hardening() {
    local name=$(basename "$1") dump flags flag
    dump=$("$objdump" -p "$1") || { fail "cannot read $name"; return; }
    flags=$(echo "$dump" | sed -n '/^DllCharacteristics/,/^SizeOfStackReserve/p')
    for flag in DYNAMIC_BASE NX_COMPAT ${2:-}; do
        echo "$flags" | grep -q "$flag" || fail "$name is not marked $flag"
    done
    if [ "$magic" = 020b ]; then
        echo "$flags" | grep -q HIGH_ENTROPY_VA || fail "$name is not marked HIGH_ENTROPY_VA"
    fi
    # Without relocations the loader cannot move the image, whatever the flag says.
    echo "$dump" | grep -Eq '^Entry 5 0*[1-9a-f][0-9a-f]* [0-9a-f]+ Base Relocation' \
        || fail "$name has no base relocations, so ASLR cannot move it"
}

check_installed_program() {
    local name=$(basename "$1") manifest id
    check_hardening "$1" TERMINAL_SERVICE_AWARE
    manifest=$(manifest_of "$1")
    echo "$manifest" | grep -q '^language 4,1$' || fail "$name has no manifest (resource 1 of type 24) in language 0x0404"
    echo "$manifest" | grep -q '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' \
        || fail "$name's manifest does not ask for asInvoker without uiAccess"
    for id in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
              1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
        echo "$manifest" | grep -q "<supportedOS Id=\"{$id}\"/>" || fail "$name's manifest lacks supportedOS $id"
    done
}


check_installed_program "$agent"
check_hardening "$lib"
check_hardening "$installer/agent-actions.dll"

for f in "$bin"/*.exe "$bin"/*.dll ${tests:+"$tests"/*.exe}; do
    for dll in $(dlls_of "$f"); do
        case $dll in
            libgcc*|libstdc++*|libwinpthread*) fail "$(basename "$f") needs $dll" ;;
        esac
    done
done

if [ $failures -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "binaries: all checks passed"
