#!/usr/bin/env bash
# What the package ships (the agent, the stand-in device library and the
# custom actions) built a second time, in a tree and a configuration of its
# own, must come out byte for byte as in BUILDDIR: whoever signs and ships
# them must be able to rebuild the same bytes from the same commit.
# Usage: check_reproducible.sh build|compare CMAKE SOURCEDIR TOOLCHAIN BUILDDIR SECONDDIR
#   build    (the build runs it, after the first tree's shipped files) makes
#            the second tree once and then brings it up to date, as the
#            first is: its log is SECONDDIR.log
#   compare  (the test) compares the two trees' shipped files
set -uo pipefail
mode=$1 cmake=$2 source=$3 toolchain=$4 build=$5 second=$6
shipped="bin/agent.exe bin/HIDUSB.dll installer/agent-actions.dll"

if [ "$mode" = build ]; then
    { [ -f "$second/CMakeCache.txt" ] ||
          "$cmake" -S "$source" -B "$second" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DBUILD_TESTING=OFF; } \
        >"$second.log" 2>&1 &&
    "$cmake" --build "$second" --target agent hidusb agent-actions >>"$second.log" 2>&1 \
        || { tail -20 "$second.log"; echo "check_reproducible: the second build failed (log: $second.log)"; exit 1; }
    exit 0
fi
source "$(dirname "${BASH_SOURCE[0]}")/../checks.sh"
[ -f "$second/CMakeCache.txt" ] || fail "no second build at $second (the build makes it)"
for f in $shipped; do
    if cmp -s "$build/$f" "$second/$f"; then
        ok "$f: the same bytes in both builds ($(wc -c <"$build/$f") bytes)"
    else
        bad "$f differs between two builds:"
        cmp -l "$build/$f" "$second/$f" | head -5
    fi
done
verdict "the shipped files rebuilt"
