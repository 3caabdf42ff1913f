#!/usr/bin/env bash
# The packages the package's life test installs, made by the build (custom
# commands in tests/package/CMakeLists.txt), once, not at each test run.
#
# Usage: test_packages.sh plain BINDIR PLATFORM OUTDIR [VERSION]
#        test_packages.sh failing BINDIR PLATFORM OUTDIR
#        test_packages.sh signed BINDIR PLATFORM OUTDIR KEYS
#   plain    BINDIR's files packaged unsigned, as VERSION (default:
#            installer/VERSION);
#   failing  the plain package with one deferred step after StartAgent that
#            fails (cmd /c exit 3, its exit code checked): the installation
#            rolls back after the agent was started;
#   signed   the same, signed with the build's throwaway test key
#            (KEYS: tests/static/test_certificates.sh's set, never shipped)
# Whatever SIGN_* the developer's environment holds is ignored: the plain
# packages are unsigned and the signed one is signed by the test's own key.
set -uo pipefail
[ $# -ge 4 ] || { sed -n '2,17p' "$0"; exit 2; }
KIND=$1 BINDIR=$2 PLATFORM=$3 OUTDIR=$4 VERSION= KEYS=
[ "$KIND" = signed ] && KEYS=${5:-} || VERSION=${5:-}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/../../installer/package.sh"
unset ${SIGN_VARIABLES} SIGN_NO_TIMESTAMP
rm -rf "$OUTDIR"
case $KIND in
    plain)
        build_package "$BINDIR" "$PLATFORM" "$OUTDIR" $VERSION >/dev/null ;;
    failing)
        msi=$(build_package "$BINDIR" "$PLATFORM" "$OUTDIR") || exit 1
        start=$(msiinfo export "$msi" InstallExecuteSequence | tr -d '\r' | awk -F'\t' '$1 == "StartAgent" { print $3 }')
        [ -n "$start" ] || { echo "test_packages: no StartAgent in $msi" >&2; exit 1; }
        # 34: an executable in a folder; 0x400: deferred.
        msibuild "$msi" \
            -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('FailAfterStart', $((34 | 0x400)), 'SystemFolder', '\"[SystemFolder]cmd.exe\" /c exit 3')" \
            -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('FailAfterStart', '', $((start + 1)))" \
            || { rm -f "$msi"; echo "test_packages: cannot add the failing step to $msi" >&2; exit 1; }
        rm -f "$OUTDIR/SHA256SUMS" ;;
    signed)
        [ -f "$KEYS/ready" ] || { echo "test_packages: no test keys in '$KEYS'" >&2; exit 2; }
        # No time-stamping server is reachable here, and the key is a
        # throwaway: signing without a time stamp is what is meant.
        SIGN_NO_TIMESTAMP=1 SIGN_PKCS12=$KEYS/signer/sign.p12 SIGN_PASSWORD_FILE=$KEYS/signer/password \
            SIGN_CAFILE=$KEYS/ca/ca.pem build_package "$BINDIR" "$PLATFORM" "$OUTDIR" >/dev/null ;;
    *) echo "test_packages: KIND is plain, failing or signed, not '$KIND'" >&2; exit 2 ;;
esac
