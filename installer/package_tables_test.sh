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
#    agent starts after InstallFinalize;
#  - the contexts: StopAgents deferred and not impersonated (LocalSystem),
#    StartAgent immediate, impersonated also on a terminal server, never for
#    LocalSystem (UserSID S-1-5-18) or with START_AGENT=0;
#  - Restart Manager off (MSIRESTARTMANAGERCONTROL=Disable).
# Usage: package_tables_test.sh BINDIR PLATFORM SCRATCH
set -uo pipefail
[ $# -eq 3 ] || { sed -n '2,17p' "$0"; exit 2; }
BINDIR=$(cd "$1" && pwd) PLATFORM=$2 SCRATCH=$(realpath -m "$3")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/package.sh"
unset ${SIGN_VARIABLES}
case $PLATFORM in x86) WINDRES=i686-w64-mingw32-windres ;; *) WINDRES=x86_64-w64-mingw32-windres ;; esac
VERSION=$(tr -d ' \r\n' <"$HERE/VERSION")

source "$HERE/../tests/checks.sh"

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
    check "$name carries file and product version $VERSION" eval \
        'grep -q "FILEVERSION ${VERSION//./, }, 0" <<<"$text" && grep -q "PRODUCTVERSION ${VERSION//./, }, 0" <<<"$text"'
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
order="InstallValidate InstallInitialize StopAgents.Data StopAgents InstallExecute RemoveExistingProducts RemoveFiles InstallFiles InstallFinalize StartAgent"
last=-1 in_order=yes
for action in $order; do
    s=$(seq_of "$action") || { in_order="no $action"; break; }
    [ "$s" -gt "$last" ] || { in_order="no: $action at $s"; break; }
    last=$s
done
check "in order: $order" [ "$in_order" = yes ]
check "StopAgents (and its data) run on a first install or upgrade, a repair and an uninstall" eval \
    '[ "$(field InstallExecuteSequence 2 StopAgents)" = "NOT Installed OR REINSTALL OR REMOVE" ] &&
     [ "$(field InstallExecuteSequence 2 StopAgents.Data)" = "NOT Installed OR REINSTALL OR REMOVE" ]'
check "StartAgent only with START_AGENT=1, not on removal, never for LocalSystem" \
    [ "$(field InstallExecuteSequence 2 StartAgent)" = 'START_AGENT="1" AND NOT REMOVE~="ALL" AND UserSID<>"S-1-5-18"' ]

# ------------------------------------------------------------- the contexts
type_of() { field CustomAction 2 "$1"; }
has_bits() { (( ($1 & $2) == $2 )); }
check "StopAgents: DLL entry StopAgents, deferred (0x400), not impersonated (0x800), failure ignored (0x40)" eval \
    'has_bits "$(type_of StopAgents)" $((1 | 0x40 | 0x400 | 0x800)) && [ "$(field CustomAction 3 StopAgents)/$(field CustomAction 4 StopAgents)" = AgentActions/StopAgents ]'
check "StopAgents is given the installed agent's path" eval \
    '[ "$(type_of StopAgents.Data)" = 51 ] && [ "$(field CustomAction 3 StopAgents.Data)" = StopAgents ] &&
     [ "$(field CustomAction 4 StopAgents.Data)" = "[INSTALLDIR]agent.exe" ]'
check "StartAgent: DLL entry StartAgent, immediate, impersonated, also on a terminal server (0x4000)" eval \
    '[ "$(type_of StartAgent)" = $((1 | 0x40 | 0x4000)) ] && [ "$(field CustomAction 4 StartAgent)" = StartAgent ]'
check "Restart Manager is off, START_AGENT defaults to 1" eval \
    '[ "$(field Property 2 MSIRESTARTMANAGERCONTROL)" = Disable ] && [ "$(field Property 2 START_AGENT)" = 1 ]'

verdict "package tables ($(basename "$PKG"), $PLATFORM)"
