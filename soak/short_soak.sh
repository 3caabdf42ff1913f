#!/usr/bin/env bash
# The short soak as ./dev test runs it: the driver with --short, in a Wine
# prefix of its own (<the configuration's home>/soak-test-prefix, the
# recorder as its browser), so that it runs beside the agent tests instead
# of taking turns with them on the configuration's desktop.  The prefix's
# wineserver is stopped at the end, whatever fails.
# Usage: short_soak.sh CONFIG   (TESTBED_CONFIG takes its place)
set -uo pipefail
[ $# -eq 1 ] || { sed -n '2,7p' "$0"; exit 2; }
source "$(dirname "${BASH_SOURCE[0]}")/../tests/testbed.sh"
testbed_use "${TESTBED_CONFIG:-$1}" || exit 2
PREFIX=$TB_HOME/soak-test-prefix
# What a killed run left running there would be soaked beside this one.
testbed_stop "$PREFIX"
out=$(testbed_prefix "$PREFIX") || { echo "short soak: cannot create the prefix $PREFIX: $out"; exit 1; }
trap 'testbed_stop "$PREFIX"' EXIT
testbed_env "$PREFIX"
testbed_start "$PREFIX"
"${TB_START[@]}" "$TB_TREE/soak/soak.exe" --short </dev/null
