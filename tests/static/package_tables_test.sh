#!/usr/bin/env bash
# What the built package's tables promise, read with msitools on the build
# machine (no Wine): what Wine's msiexec cannot show, since it runs every
# action as the installing user, in one session, and ignores some of the
# custom action types' bits.
#  - versions: the package's, every program's version resource (agent.exe,
#    agent-actions.dll) and the File table's agree with installer/VERSION;
#  - the files: agent.exe and HIDUSB.dll, nothing else, and the actions' DLL
#    in the Binary table;
#  - the sequence: every agent ends (StopAgents, run by the InstallExecute
#    before the old version's removal) before any file changes, and the
#    agent starts once every file is in place, before InstallFinalize, its
#    rollback action before it;
#  - the contexts: every custom action's type, bit by bit (deferred, not
#    impersonated, rollback, return ignored), since Wine's msiexec runs every
#    action alike; never with START_AGENT=0, which is a secure property;
#  - Restart Manager off (MSIRESTARTMANAGERCONTROL=Disable).
# Usage: package_tables_test.sh BINDIR PLATFORM SCRATCH
set -uo pipefail
[ $# -eq 3 ] || { sed -n '2,17p' "$0"; exit 2; }
BINDIR=$(cd "$1" && pwd) PLATFORM=$2 SCRATCH=$(realpath -m "$3")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/../../installer/package.sh"
unset ${SIGN_VARIABLES}
case $PLATFORM in x86) WINDRES=i686-w64-mingw32-windres ;; *) WINDRES=x86_64-w64-mingw32-windres ;; esac
VERSION=$(tr -d ' \r\n' <"$HERE/../../installer/VERSION")

source "$HERE/../checks.sh"

rm -rf "$SCRATCH" && mkdir -p "$SCRATCH"
PKG=$(build_package "$BINDIR" "$PLATFORM" "$SCRATCH" 2>"$SCRATCH/err") || { cat "$SCRATCH/err"; exit 1; }
table() { msiinfo export "$PKG" "$1" | tail -n +4 | tr -d '\r'; }
# Field $2 of the row of table $1 whose first field is $3.
field() { table "$1" | awk -F'\t' -v key="$3" -v n="$2" '$1 == key { print $n; found = 1 } END { exit !found }'; }
seq_of() { field InstallExecuteSequence 3 "$1"; }
(cd "$SCRATCH" && msiextract "$PKG" >/dev/null) && msiinfo extract "$PKG" Binary.AgentActions >"$SCRATCH/agent-actions.dll"
program() { find "$SCRATCH" -iname "$1" -type f | head -1; }
version_text() { "$WINDRES" -i "$1" -J coff -O rc 2>/dev/null | sed -n '/VERSIONINFO/,/^END/p'; }

# ------------------------------------------------------------- versions
check "the package's version is installer/VERSION, $VERSION" [ "$(field Property 2 ProductVersion)" = "$VERSION" ]
check "the File table gives agent.exe that version, in language 1028 (0x0404)" \
    [ "$(field File 5 AgentExe) $(field File 6 AgentExe)" = "$VERSION.0 1028" ]
for name in agent.exe agent-actions.dll; do
    text=$(version_text "$(program "$name")")
    for line in "FILEVERSION ${VERSION//./, }, 0" "PRODUCTVERSION ${VERSION//./, }, 0"; do
        check "$name carries $line" grep -qF "$line" <<<"$text"
    done
    # Strings in the resources' language, 0x0404, in Unicode (1200).
    for line in 'BLOCK "040404B0"' 'VALUE "Translation", 0x404, 1200' 'VALUE "CompanyName", "Ostrel"' \
                'VALUE "ProductName", "Ostrel Agent"' "VALUE \"OriginalFilename\", \"$name\"" \
                "VALUE \"FileVersion\", \"$VERSION\"" "VALUE \"ProductVersion\", \"$VERSION\"" 'VALUE "FileDescription", "Ostrel'; do
        check "$name's version resource: $line" grep -qF "$line" <<<"$text"
    done
done

# ------------------------------------------------------------- files
check "it installs agent.exe and HIDUSB.dll and nothing else" \
    [ "$(table File | cut -f3 | sort | tr '\n' ' ')" = "HIDUSB.dll agent.exe " ]
check "the custom actions' DLL is in the Binary table" [ "$(table Binary | cut -f1)" = AgentActions ]

# ------------------------------------------------------------- the sequence
order="InstallValidate InstallInitialize StopAgents.Data StopAgents InstallExecute RemoveExistingProducts RemoveFiles
       InstallFiles WriteRegistryValues StartAgent.Data StartAgent.Rollback.Data StartAgent.Rollback StartAgent
       InstallFinalize"
last=-1 in_order=yes
for action in $order; do
    s=$(seq_of "$action") || { in_order="no $action"; break; }
    [ "$s" -gt "$last" ] || { in_order="no: $action at $s"; break; }
    last=$s
done
check "in order: $(echo $order)" [ "$in_order" = yes ]
# Each action's condition: StopAgents on a first install or upgrade, a repair
# and an uninstall; StartAgent and its rollback after anything but a removal,
# unless START_AGENT=0.
stop_when="NOT Installed OR REINSTALL OR REMOVE" start_when='START_AGENT="1" AND NOT REMOVE~="ALL"'
for row in "StopAgents.Data|$stop_when" "StopAgents|$stop_when" "StartAgent.Data|$start_when" \
           "StartAgent.Rollback.Data|$start_when" "StartAgent.Rollback|$start_when" "StartAgent|$start_when"; do
    action=${row%%|*} want=${row#*|}
    got=$(field InstallExecuteSequence 2 "$action")
    check "$action runs when $want${got:+ (the table says: $got)}" [ "$got" = "$want" ]
done

# ------------------------------------------------------------- the contexts
# CustomAction rows: action, type, source, target.  The types, bit by bit:
# 1 a DLL from the Binary table, 51 a property set from formatted text,
# 0x40 return ignored, 0x100 rollback, 0x400 deferred, 0x800 not
# impersonated (LocalSystem: it reaches every session, and only it may ask
# for a session user's token), never 0x200 (commit actions do not run when
# rollback is disabled).
DLL_DEFERRED_SYSTEM=$((1 | 0x40 | 0x400 | 0x800))
expected_actions="StopAgents.Data 51 StopAgents [INSTALLDIR]agent.exe
StopAgents $DLL_DEFERRED_SYSTEM AgentActions StopAgents
StartAgent.Data 51 StartAgent [INSTALLDIR]agent.exe
StartAgent.Rollback.Data 51 StartAgent.Rollback [INSTALLDIR]agent.exe
StartAgent.Rollback $((DLL_DEFERRED_SYSTEM | 0x100)) AgentActions StopAgents
StartAgent $DLL_DEFERRED_SYSTEM AgentActions StartAgent"
actual_actions=$(table CustomAction | awk -F'\t' '{ print $1, $2, $3, $4 }' | sort)
while read -r action want_row; do
    got_row=$(awk -v a="$action" '$1 == a { $1 = ""; sub(/^ /, ""); print }' <<<"$actual_actions")
    check "custom action $action: type, source and target are $want_row${got_row:+ (the table has: $got_row)}" \
        [ "$got_row" = "$want_row" ]
done <<<"$expected_actions"
check "no other custom action" [ "$(cut -d' ' -f1 <<<"$actual_actions" | tr '\n' ' ')" = \
    "$(sort <<<"$expected_actions" | cut -d' ' -f1 | tr '\n' ' ')" ]

# ------------------------------------------------------------- properties
secure=$(field Property 2 SecureCustomProperties | tr ';' '\n')
for property in START_AGENT WIX_UPGRADE_DETECTED WIX_DOWNGRADE_DETECTED; do
    check "$property is a secure public property (SecureCustomProperties: $(echo $secure))" grep -qx "$property" <<<"$secure"
done
check "START_AGENT defaults to 1" [ "$(field Property 2 START_AGENT)" = 1 ]
check "Restart Manager is off" [ "$(field Property 2 MSIRESTARTMANAGERCONTROL)" = Disable ]

verdict "package tables ($(basename "$PKG"), $PLATFORM)"
