#!/usr/bin/env bash
# The package's life test (package_test.exe) under Wine, in a prefix of its
# own, <the configuration's home>/package-prefix, whose wineserver is
# stopped at the end, whatever fails; msiexec's logs stay in
# <home>/package-logs.
#
# Usage: run_package_test.sh CONFIG [GTEST OPTIONS...]
#   CONFIG  the build tree's configuration (tests/testbed.sh); TESTBED_CONFIG
#           takes its place.  wow64 runs the shipped package a second time,
#           in a 64-bit prefix: there it takes the cases where the prefix's
#           kind shows (Program Files (x86), the Run value and the product
#           key in the 32-bit view, StopAgents finding a 32-bit agent); the
#           rest does not depend on it and runs in x86.
set -uo pipefail
[ $# -ge 1 ] || { sed -n '2,12p' "$0"; exit 2; }
source "$(dirname "${BASH_SOURCE[0]}")/../testbed.sh"
testbed_use "${TESTBED_CONFIG:-$1}" || exit 2
shift
PREFIX=$TB_HOME/package-prefix LOGS=$TB_HOME/package-logs
VIEW_CASES=PackageLife.Install:PackageLife.Upgrade:PackageLife.Uninstall:PackageLife.NoStart*
VIEW_CASES+=:PackageLife/OverReleased.UpgradeEndsTheReleasedAgent/Here
filter=()
[ "$TB_CONFIG" != wow64 ] || filter=(--gtest_filter="$VIEW_CASES")

# What a killed run left running there would be found by this run's cases;
# and what a failed or killed run left installed there would be taken for
# the machine's own installation, which the cases leave alone: a prefix
# whose last run did not pass is made again.
testbed_stop "$PREFIX"
[ -f "$PREFIX.passed" ] || rm -rf "$PREFIX"
rm -f "$PREFIX.passed"
# Bare: the cases never open an address, and the recorder the test prefix
# takes for the browser logs beside itself, where the agent tests read.
out=$(testbed_prefix "$PREFIX" bare) || { echo "package test: cannot create the prefix $PREFIX: $out"; exit 1; }
trap 'testbed_stop "$PREFIX"' EXIT
testbed_env "$PREFIX"
testbed_start "$PREFIX"
rm -rf "$LOGS" && mkdir -p "$LOGS"
"${TB_START[@]}" "$TB_TREE/tests/package_test.exe" --packages="$(testbed_winpath "$TB_TREE/packages")" \
    --logs="$(testbed_winpath "$LOGS")" "${filter[@]}" "$@" </dev/null
rc=$?
[ $rc -ne 0 ] || touch "$PREFIX.passed"
exit $rc
