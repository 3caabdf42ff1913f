# The Wine test bed, sourced by ./dev, by CTest's emulator (tests/wine-run)
# and by the installer test; the demo, bench and soak get it through ./dev.
# It is the one place that knows the configurations, the environment a
# Windows program is run in, how a prefix is made, and how Wine is started
# and stopped for a run.
#
# A configuration is a build of the sources in a kind of Wine prefix:
#
#   x86    the shipped 32-bit build (build/), Wine's 32-bit loader, a win32
#          prefix: the agent on 32-bit Windows;
#   wow64  the same files, Wine's 32-bit loader, a win64 prefix: the agent as
#          it runs on 64-bit Windows, with the 32-bit registry view and
#          Program Files (x86) (its CTest tree build/wow64 runs build/'s tests);
#   x64    the same sources built for x86-64 (build/x64), Wine's 64-bit
#          loader, a win64 prefix: where 32-bit programs cannot run, and where
#          a pointer-width fault shows.
#
# Each has a home folder of its own (build/, build/wow64, build/x64) with its
# prefixes, so that the three run side by side, each with its own wineserver
# and desktop.  TESTBED_BUILD moves the whole build folder elsewhere.

TB_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
TB_BUILD=${TESTBED_BUILD:-$TB_ROOT/build}
TB_CONFIGS="x86 wow64 x64"
# Debian's wine script always picks the 32-bit loader: the loaders are
# called directly.
TB_WINE32=/usr/lib/wine/wine
TB_WINE64=/usr/lib/wine/wine64

# testbed_starter ARRAY LOADER: ARRAY becomes the command that starts a
# Windows program under LOADER: through its preloader (Debian's
# wine32-preloader and wine64-preloader), which reserves the address ranges
# Windows programs need before anything of Linux's is mapped.  Without it the
# kernel's address-space randomisation now and then puts a library there, and
# a Wine program then dies as it starts (CreateProcess: ERROR_INTERNAL_ERROR).
# What Wine starts from a program is started the same way.
testbed_starter() {
    local -n starter=$1
    starter=("$2")
    [ ! -x "$2-preloader" ] || starter=("$2-preloader" "$2")
}

# testbed_use CONFIG: the configuration's facts, as TB_* variables.
#   TB_TREE      its CMake build tree     TB_HOME    its own folder
#   TB_PREFIX    its test prefix          TB_ARCH    win32 or win64
#   TB_LOADER    the loader its programs run under
#   TB_START     (an array) the command that starts one of its programs
#   TB_TOOLCHAIN its CMake toolchain file (cmake/TB_TOOLCHAIN.cmake)
#   TB_PLATFORM  x86 or x64, the width of its files
#   TB_TRIPLET   the MinGW-w64 triplet of its tools (as the toolchain file
#                names it), for objdump and windres of its width
#   TB_LABEL     what it is, in words
testbed_use() {
    TB_CONFIG=$1
    case $1 in
        x86)   TB_TREE=$TB_BUILD TB_HOME=$TB_BUILD TB_ARCH=win32 TB_LOADER=$TB_WINE32 \
               TB_TOOLCHAIN=mingw-i686 TB_PLATFORM=x86 TB_LABEL="the shipped 32-bit build" ;;
        wow64) TB_TREE=$TB_BUILD TB_HOME=$TB_BUILD/wow64 TB_ARCH=win64 TB_LOADER=$TB_WINE32 \
               TB_TOOLCHAIN=mingw-i686 TB_PLATFORM=x86 TB_LABEL="the shipped 32-bit build in a 64-bit prefix (WoW64)" ;;
        x64)   TB_TREE=$TB_BUILD/x64 TB_HOME=$TB_BUILD/x64 TB_ARCH=win64 TB_LOADER=$TB_WINE64 \
               TB_TOOLCHAIN=mingw-x86_64 TB_PLATFORM=x64 TB_LABEL="the x86-64 build" ;;
        *) printf 'testbed: no configuration "%s" (there are: %s)\n' "$1" "$TB_CONFIGS" >&2; return 1 ;;
    esac
    TB_PREFIX=$TB_HOME/wineprefix
    testbed_starter TB_START "$TB_LOADER"
    TB_TRIPLET=$(sed -n 's/^set(MINGW_TRIPLET \(.*\))$/\1/p' "$TB_ROOT/cmake/$TB_TOOLCHAIN.cmake")
}

# testbed_env [PREFIX]: the environment a program of the configuration in
# hand runs in, in PREFIX (default: its test prefix): headless, quiet, and
# without the .NET and HTML add-ons' installers.
testbed_env() {
    export WINEPREFIX=${1:-$TB_PREFIX} WINELOADER=$TB_LOADER WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY WINEARCH
}

# testbed_prefix [PREFIX [bare]]: makes the prefix once, for the
# configuration in hand: the null graphics driver, no debugger for a program
# that faults (it ends at once with its exception code instead of hanging the
# run), and the recorder test program as the http and https handler, so that
# a test sees which address the shell was asked to open (not in a bare
# prefix, which keeps Wine's own browser, as a Windows machine keeps its
# own).  One marker says it is ready.  Prints what failed and returns 1.
testbed_prefix() {
    local prefix=${1:-$TB_PREFIX} bare=${2:-} boot=$TB_WINE32 booter
    local aedebug='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
    [ -f "$prefix/.testbed-ready" ] && return 0
    # A win64 prefix is made by the 64-bit loader, whichever runs in it later.
    [ "$TB_ARCH" = win64 ] && boot=$TB_WINE64
    testbed_starter booter "$boot"
    rm -rf "$prefix"
    mkdir -p "$(dirname "$prefix")"
    (
        testbed_env "$prefix"
        WINEARCH=$TB_ARCH WINELOADER=$boot "${booter[@]}" wineboot -i </dev/null >/dev/null 2>"$prefix.err" \
            || { echo "wineboot failed under $boot: $(tail -1 "$prefix.err")"; exit 1; }
        local win scheme failed=
        win=$(testbed_winpath "$TB_TREE/tests/recorder.exe")
        [ -n "$win" ] || { echo "winepath gave no Windows path for $TB_TREE/tests/recorder.exe"; exit 1; }
        { "${TB_START[@]}" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f &&
          "${TB_START[@]}" reg add "$aedebug" /v Debugger /d '' /f && "${TB_START[@]}" reg add "$aedebug" /v Auto /d 1 /f
        } </dev/null >/dev/null 2>&1 || failed=1
        for scheme in http https; do
            [ -n "$bare" ] || "${TB_START[@]}" reg add "HKCR\\$scheme\\shell\\open\\command" /ve /d "\"$win\" \"%1\"" /f \
                </dev/null >/dev/null 2>&1 || failed=1
        done
        [ -z "$failed" ] || { echo "could not set up the prefix with reg"; exit 1; }
        wineserver -w
    ) || return 1
    rm -f "$prefix.err"
    touch "$prefix/.testbed-ready"
}

# testbed_start [PREFIX]: one wineserver for a whole run instead of one per
# program, and Wine's own background services started now, detached from
# our output: started by the first program of a run, they would inherit its
# standard handles, and whoever reads that pipe (CTest, a terminal
# pipeline) would wait for them.
testbed_start() {
    ( testbed_env "${1:-$TB_PREFIX}"; wineserver -p; "${TB_START[@]}" cmd /c exit ) </dev/null >/dev/null 2>&1 || true
}

# testbed_stop PREFIX...: ends each prefix's wineserver and every program in it.
testbed_stop() {
    local prefix
    for prefix in "$@"; do
        [ -d "$prefix" ] || continue
        ( export WINEPREFIX=$prefix; wineserver -k; wineserver -w ) </dev/null >/dev/null 2>&1 || true
    done
}

# testbed_reported_pass FILE: FILE is a whole GoogleTest JSON report
# (GTEST_OUTPUT=json:...) of at least one case, none failed or in error.
testbed_reported_pass() {
    awk '{ sub(/\r$/, "") }
         !done && /^  "(tests|failures|errors)": [0-9]+,$/ { gsub(/[",:]/, ""); n[$1] = $2 + 0; seen[$1] = 1 }
         /^  "testsuites": \[/ { done = 1 }
         { last = $0 }
         END { exit !(seen["tests"] && seen["failures"] && seen["errors"] && n["tests"] > 0 &&
                      n["failures"] == 0 && n["errors"] == 0 && last == "}") }' "$1" 2>/dev/null
}

# testbed_run PROGRAM [ARGS...]: a program of the configuration in hand,
# in the environment testbed_env has set; testbed_quiet, the same with
# neither input nor output, for its exit code only.
testbed_run() { "${TB_START[@]}" "$@"; }
testbed_quiet() { "${TB_START[@]}" "$@" </dev/null >/dev/null 2>&1; }

# testbed_winpath PATH: the Windows path of a Linux one ("" when Wine gives
# none); testbed_unixpath, the other way.
testbed_winpath() { "${TB_START[@]}" winepath -w "$1" </dev/null 2>/dev/null | tr -d '\r'; }
testbed_unixpath() { "${TB_START[@]}" winepath -u "$1" </dev/null 2>/dev/null; }

# testbed_wait SECONDS COMMAND...: polls COMMAND every tenth of a second
# until it succeeds; 1 when it has not within SECONDS.
testbed_wait() {
    local tenths=$(($1 * 10)) i
    shift
    for ((i = 0; i < tenths; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}
