#!/usr/bin/env bash
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
#  - the custom actions start the agent with the session users' tokens,
#    never through Secondary Logon nor with the desktop shell's token;
#  - nothing needs the compiler's runtime DLLs.
# Usage: check_binaries.sh OBJDUMP WINDRES PE_MAGIC BINDIR INSTALLERDIR [TESTBINDIR]
# (PE_MAGIC: 010b for PE32, 020b for PE32+)
set -uo pipefail
objdump=$1
windres=$2
magic=$3
bin=$4
installer=$5
tests=${6:-}
source "$(dirname "${BASH_SOURCE[0]}")/../checks.sh"

# has ERE TEXT: a line of TEXT matches.
has() { grep -Eq -- "$1" <<<"$2"; }

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
dump=$("$objdump" -p "$agent") || fail "cannot read $agent"
check "agent.exe's optional header magic is $magic" has "Magic[[:space:]]*$magic" "$dump"
check "agent.exe is a GUI-subsystem program" has 'Subsystem[[:space:]]*00000002' "$dump"

imports=$(dlls_of "$agent")
others=$(grep -vxE 'kernel32.dll|user32.dll|advapi32.dll|msvcrt.dll|hidusb.dll' <<<"$imports" | tr '\n' ' ')
check "agent.exe imports system DLLs and HIDUSB.dll only${others:+, not $others}" [ -z "$others" ]
check "agent.exe imports HIDUSB.dll at load" has '^hidusb\.dll$' "$imports"
hid=$(imports_from "$agent" HIDUSB.dll)
by_ordinal_2() { [ "$(wc -l <<<"$hid")" -eq 1 ] && has '^[[:space:]]*80+2[[:space:]]+0*2[[:space:]]+<none>' "$hid"; }
check "agent.exe imports one entry of HIDUSB.dll, by ordinal 2 alone: $(echo $hid)" by_ordinal_2
on_demand=
for dll in $(grep -aoi '[A-Za-z0-9_.-]*\.dll' "$agent" | tr 'A-Z' 'a-z' | sort -u); do
    grep -qx "$dll" <<<"$imports" || on_demand="$on_demand${on_demand:+ }$dll"
done
check "agent.exe names exactly OLE32.dll and SHELL32.dll beyond its imports (names: ${on_demand:-none})" \
    [ "$on_demand" = "ole32.dll shell32.dll" ]

exports=$("$objdump" -p "$bin/HIDUSB.dll") || fail "cannot read $bin/HIDUSB.dll"
check "HIDUSB.dll's ordinal base is 2" has 'Ordinal Base[[:space:]]+2$' "$exports"
check "HIDUSB.dll exports exactly one entry" has 'Export Address Table[[:space:]]+00000001$' "$exports"
check "HIDUSB.dll exports no name" has '\[Name Pointer/Ordinal\] Table[[:space:]]+00000000$' "$exports"

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
    local name dump flags flag
    name=$(basename "$1")
    dump=$("$objdump" -p "$1") || { bad "cannot read $name"; return; }
    flags=$(sed -n '/^DllCharacteristics/,/^SizeOfStackReserve/p' <<<"$dump")
    for flag in DYNAMIC_BASE NX_COMPAT ${2:-} $([ "$magic" = 020b ] && echo HIGH_ENTROPY_VA); do
        check "$name is marked $flag" has "$flag" "$flags"
    done
    # Without relocations the loader cannot move the image, whatever the flag says.
    check "$name has base relocations, so ASLR can move it" \
        has '^Entry 5 0*[1-9a-f][0-9a-f]* [0-9a-f]+ Base Relocation' "$dump"
}

check_installed_program() {
    local name manifest id
    name=$(basename "$1")
    check_hardening "$1" TERMINAL_SERVICE_AWARE
    manifest=$(manifest_of "$1")
    check "$name has a manifest (resource 1 of type 24) in language 0x0404" has '^language 4,1$' "$manifest"
    check "$name's manifest asks for asInvoker without uiAccess" \
        has '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' "$manifest"
    for id in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
              1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
        check "$name's manifest has supportedOS $id" has "<supportedOS Id=\"\\{$id\\}\"/>" "$manifest"
    done
}

check_installed_program "$agent"
check_hardening "$bin/HIDUSB.dll"
check_hardening "$installer/agent-actions.dll"

# How StartAgent starts the agents, read from the custom actions' imports,
# since under Wine every way of starting one works alike: with each session
# user's own token (WTSQueryUserToken, which only LocalSystem may call) and
# CreateProcessAsUser, never through the Secondary Logon service
# (CreateProcessWithTokenW), which security baselines switch off, nor with
# the token of the installing desktop's shell.
action_imports=$("$objdump" -p "$installer/agent-actions.dll" | awk '
    /^The Import Tables/ { inside = 1 } /^The Export Tables/ { inside = 0 }
    inside && NF == 3 && $2 ~ /^[0-9]+$/ { print $3 }')
for name in WTSEnumerateSessionsW WTSGetActiveConsoleSessionId WTSQueryUserToken CreateProcessAsUserW CreateEnvironmentBlock; do
    check "agent-actions.dll calls $name" grep -qx "$name" <<<"$action_imports"
done
for name in CreateProcessWithTokenW GetShellWindow; do
    check "agent-actions.dll does not call $name" not grep -qx "$name" <<<"$action_imports"
done

runtime=
for f in "$bin"/*.exe "$bin"/*.dll ${tests:+"$tests"/*.exe}; do
    for dll in $(dlls_of "$f"); do
        case $dll in
            libgcc*|libstdc++*|libwinpthread*) runtime="$runtime $(basename "$f") needs $dll;" ;;
        esac
    done
done
check "nothing needs the compiler's runtime DLLs${runtime:+:$runtime}" [ -z "$runtime" ]

verdict binaries
