#!/bin/sh
# What the shipped binaries ask of the loader, read with objdump:
#  - agent.exe is a GUI program of the build's width (PE32 for the shipped
#    32-bit build) importing only system DLLs and HIDUSB.dll, the latter by
#    ordinal 2 alone;
#  - agent.exe does not import SHELL32.dll at load, and the shell is the one
#    library it can load on demand: every DLL name in its file is imported
#    at load or is SHELL32.dll;
#  - HIDUSB.dll exports exactly one entry, ordinal 2, with no name;
#  - nothing needs the compiler's runtime DLLs.
# Usage: check_binaries.sh OBJDUMP PE_MAGIC BINDIR [TESTBINDIR]
# (PE_MAGIC: 010b for PE32, 020b for PE32+)
objdump=$1
magic=$2
bin=$3
tests=$4
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
[ "$on_demand" = shell32.dll ] \
    || fail "agent.exe should name exactly one DLL beyond its imports, SHELL32.dll, but names: ${on_demand:-none}"

lib=$bin/HIDUSB.dll
exports=$("$objdump" -p "$lib")
echo "$exports" | grep -Eq 'Ordinal Base[[:space:]]+2$' || fail "HIDUSB.dll ordinal base is not 2"
echo "$exports" | grep -Eq 'Export Address Table[[:space:]]+00000001$' || fail "HIDUSB.dll does not export exactly one entry"
echo "$exports" | grep -Eq '\[Name Pointer/Ordinal\] Table[[:space:]]+00000000$' || fail "HIDUSB.dll exports a name"

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
