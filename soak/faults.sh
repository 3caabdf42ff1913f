# Shows that the soak catches the faults it exists for: builds broken copies
# of the agent from the current sources and soaks each, expecting a failure,
# and soaks an unbroken copy built the same way, expecting a pass.
#
#   SOAK_FAULTS=1 ./dev soak      (DEV_WIDTHS=x64 for the x86-64 build)
#   bash soak/faults.sh           the same
#
# Sourced by soak.sh's run_soak, within ./dev; takes from there the
# configuration in hand (TB_*, testbed_*), ROOT, say, die and soak_driver.
# Run by hand it hands over to ./dev.
#
# Each fault is a small named edit, made with sed on a copy of agent/ in
# build/faults/<name>/src (build/x64/faults for the x86-64 build); the copy
# is compiled and linked with the very commands and flags CMake wrote for
# the real agent (flags.make, objects1, link.txt), into
# build/faults/<name>/agent.exe beside a copy of HIDUSB.dll.  The edit as a
# patch is kept in fault.diff there, the soak's output in soak.log.

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    SOAK_FAULTS=1 exec "$(cd "$(dirname "$0")/.." && pwd)/dev" soak
fi

# The short soak that ./dev test runs, so that its catching every fault is
# what is shown.  Each phase draws the same sequence whatever its count, so
# the full soak sends all the short one sends, and more: what the short one
# catches, the full one catches too.  Each fault is still far past its
# tolerance: a handle per event is over 1000 handles, 4 KiB per launch
# 1600 KiB in phase 5 alone.  SOAK_ARGS (counts) makes the runs longer.
FAULT_SOAK_ARGS=(--short)

FAULTS=(unbroken null_read handle_leak memory_leak hang no_quote_refusal)
declare -gA FAULT_WHAT=(
    [unbroken]="nothing: the sources as they are, built this way"
    [null_read]="event record read without checking it is readable"
    [handle_leak]="a process handle opened per event, never closed"
    [memory_leak]="4 KiB committed per launch, never freed"
    [hang]="the window sleeps forever on event code 0x200"
    [no_quote_refusal]="a quote in InstallDir no longer refused"
)

# Each edit takes the sed script on stdin and the copy's folder in $1.
edit() { sed -i -e "$(cat)" "$1"; }

break_unbroken() { :; }

break_null_read() {
    edit "$1/event_record.cpp" <<'EOF'
s/if (first == 0 || last < first)/if (last < first)/
s/if (!IsReadableByte(first) || !IsReadableByte(last))/if (false \&\& (!IsReadableByte(first) || !IsReadableByte(last)))/
EOF
}

break_handle_leak() {
    edit "$1/agent_window.cpp" <<'EOF'
s/^\( *\)case AGENT_MSG_EVENT: {$/&\n\1    OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId());/
EOF
}

break_memory_leak() {
    edit "$1/launch.cpp" <<'EOF'
/^void LaunchProductApplication(void)$/{n;s/$/\n    volatile char *leak = (volatile char *)VirtualAlloc(NULL, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);\n    if (leak)\n        leak[0] = 1;/}
EOF
}

break_hang() {
    edit "$1/agent_window.cpp" <<'EOF'
s/^\( *\)if (ReadEventCode(lParam, &dwCode) && dwCode == AGENT_EVENT_LAUNCH)$/\1if (ReadEventCode(lParam, \&dwCode) \&\& dwCode == 0x200)\n\1    Sleep(INFINITE);\n&/
EOF
}

break_no_quote_refusal() {
    edit "$1/launch.cpp" <<'EOF'
s/if (\*in == '"' || /if (/
EOF
}

# The value of NAME in a CMake flags.make.
flag() { sed -n "s/^$1 = //p" "$2"; }

# Builds the agent from the copy in $1 into $1/agent.exe.
build_variant() {
    local dir=$1 agent_dir=$TB_TREE/agent o objects=() link
    mkdir -p "$dir/obj"
    # objects1 lists the agent's objects, its checks library's and its
    # compiled resources, relative to build/agent.
    for o in $(cat "$agent_dir/CMakeFiles/agent.dir/objects1"); do
        case $o in
            *.cpp.obj)
                local flags=$agent_dir/$(dirname "$o")/flags.make file cxx
                file=$(basename "$o" .obj)
                cxx=$(sed -n 's/^# compile CXX with //p' "$flags")
                # shellcheck disable=SC2046  # the flags are words
                (cd "$agent_dir" && "$cxx" $(flag CXX_DEFINES "$flags") $(flag CXX_INCLUDES "$flags") \
                    $(flag CXX_FLAGS "$flags") -c "$dir/src/$file" -o "$dir/obj/$file.obj") || return 1
                objects+=("$dir/obj/$file.obj") ;;
            *) objects+=("$agent_dir/$o") ;;
        esac
    done
    printf '%s\n' "${objects[@]}" >"$dir/objects1"
    link=$(sed -e "s|CMakeFiles/agent.dir/objects.a|$dir/objects.a|g" \
               -e "s|@CMakeFiles/agent.dir/objects1|@$dir/objects1|" \
               -e "s| -o [^ ]*| -o $dir/agent.exe|" \
               -e "s|--out-implib,[^ ]*|--out-implib,$dir/libagent.dll.a|" "$agent_dir/CMakeFiles/agent.dir/link.txt")
    (cd "$agent_dir" && bash -e -c "$link") || return 1
    cp "$TB_TREE/bin/HIDUSB.dll" "$dir/"
}

# The first failure the soak reported, for the summary line.
first_failure() { grep -a -m1 '^soak: FAIL: ' "$1" | sed -e 's/^soak: FAIL: //' | cut -c1-160; }

run_faults() {
    local name dir rc result start missed=0
    say "soak: faults on $TB_LABEL, soak options ${FAULT_SOAK_ARGS[*]} ${SOAK_ARGS:-}"
    for name in "${FAULTS[@]}"; do
        dir=$TB_TREE/faults/$name
        rm -rf "$dir"
        mkdir -p "$dir/src"
        cp "$ROOT"/agent/*.cpp "$ROOT"/agent/*.h "$dir/src/"
        "break_$name" "$dir/src"
        # An edit that no longer matches the sources would soak an unbroken
        # agent and report the fault as not caught; say so instead.
        diff -ru "$ROOT/agent" "$dir/src" >"$dir/fault.diff" && [ "$name" != unbroken ] \
            && die "soak: the edit for $name no longer changes anything in agent/"
        build_variant "$dir" >"$dir/build.log" 2>&1 \
            || die "soak: building $name failed (see ${dir#$ROOT/}/build.log)"
        rc=0 start=$SECONDS
        # shellcheck disable=SC2086  # word splitting of SOAK_ARGS is intended
        soak_driver "$dir/agent.exe" "${FAULT_SOAK_ARGS[@]}" ${SOAK_ARGS:-} >"$dir/soak.log" 2>&1 || rc=$?
        if [ "$name" = unbroken ]; then
            [ "$rc" -eq 0 ] && result="passed, as it must" || { result="FAILED: $(first_failure "$dir/soak.log")"; missed=1; }
        elif [ "$rc" -eq 1 ] && grep -aq '^soak: FAIL: ' "$dir/soak.log"; then
            result="caught: $(first_failure "$dir/soak.log")"
        else
            result="NOT caught (driver exit code $rc)"
            missed=1
        fi
        printf '%-17s %-52s %4ss  %s\n' "$name" "${FAULT_WHAT[$name]}" $((SECONDS - start)) "$result"
    done
    say "soak: each soak's output is in ${TB_TREE#$ROOT/}/faults/<name>/soak.log"
    [ "$missed" -eq 0 ] || die "soak: a fault was not caught, or the unbroken agent failed (see above)"
}
