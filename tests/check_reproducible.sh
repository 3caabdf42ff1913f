#!/usr/bin/env bash
# Builds what the package ships (the agent, the stand-in device library and
# the custom actions) once more, from scratch in a folder of its own, and
# compares them byte for byte with the ones in BUILDDIR: whoever signs and
# ships them must be able to rebuild the same bytes from the same commit.
# Usage: check_reproducible.sh CMAKE SOURCEDIR TOOLCHAIN BUILDDIR SCRATCHDIR
set -uo pipefail
cmake=$1
source=$2
toolchain=$3
build=$4
scratch=$5
shipped="bin/agent.exe bin/HIDUSB.dll installer/agent-actions.dll"
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

rm -rf "$scratch"
if ! "$cmake" -S "$source" -B "$scratch" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DBUILD_TESTING=OFF \
        >"$scratch.log" 2>&1 ||
   ! "$cmake" --build "$scratch" -j2 --target agent hidusb agent-actions >>"$scratch.log" 2>&1; then
    tail -20 "$scratch.log"
    fail "the second build failed (log: $scratch.log)"
fi
for f in $shipped; do
    if cmp -s "$build/$f" "$scratch/$f"; then
        ok "$f: the same bytes in both builds ($(wc -c <"$build/$f") bytes)"
    else
        bad "$f differs between two builds:"
        cmp -l "$build/$f" "$scratch/$f" | head -5
    fi
done
verdict "the shipped files rebuilt" || exit 1
rm -rf "$scratch" "$scratch.log"
