#!/bin/sh
# Builds what the package ships (the agent, the stand-in device library and
# the custom actions) once more, from scratch in a folder of its own, and
# compares them byte for byte with the ones in BUILDDIR: whoever signs and
# ships them must be able to rebuild the same bytes from the same commit.
# Usage: check_reproducible.sh CMAKE SOURCEDIR TOOLCHAIN BUILDDIR SCRATCHDIR
cmake=$1
source=$2
toolchain=$3
build=$4
scratch=$5
shipped="bin/agent.exe bin/HIDUSB.dll installer/agent-actions.dll"

rm -rf "$scratch"
if ! "$cmake" -S "$source" -B "$scratch" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DBUILD_TESTING=OFF \
        >"$scratch.log" 2>&1 ||
   ! "$cmake" --build "$scratch" -j2 --target agent hidusb agent-actions >>"$scratch.log" 2>&1; then
    tail -20 "$scratch.log"
    echo "FAIL: the second build failed (log: $scratch.log)"
    exit 1
fi
failures=0
for f in $shipped; do
    if cmp -s "$build/$f" "$scratch/$f"; then
        echo "same: $f ($(wc -c <"$build/$f") bytes)"
    else
        echo "FAIL: $f differs between two builds:"
        cmp -l "$build/$f" "$scratch/$f" | head -5
        failures=$((failures + 1))
    fi
done
[ $failures -eq 0 ] || exit 1
rm -rf "$scratch" "$scratch.log"
echo "binaries: the shipped files rebuild byte for byte"
