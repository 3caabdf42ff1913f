#!/usr/bin/env bash
# The test bed's reading of a GoogleTest JSON report (testbed_reported_pass),
# on which wine-run lets a program pass whose loader Wine's own crash ended
# after the program had finished: only a whole report of passed cases counts.
# Usage: testbed_test.sh SCRATCH
set -uo pipefail
[ $# -eq 1 ] || { sed -n '2,5p' "$0"; exit 2; }
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/../testbed.sh"
source "$HERE/../checks.sh"
SCRATCH=$1
rm -rf "$SCRATCH" && mkdir -p "$SCRATCH" || fail "cannot create $SCRATCH"

# A report as GoogleTest writes it on Windows (CRLF): TESTS, FAILURES and
# ERRORS at the top, and one suite whose own counts are 0; CUT lines off its end.
report() {
    local tests=$1 failures=$2 errors=$3 cut=${4:-0}
    printf '{\n  "tests": %s,\n  "failures": %s,\n  "disabled": 0,\n  "errors": %s,\n  "name": "AllTests",\n  "testsuites": [\n    {\n      "name": "Suite",\n      "tests": 1,\n      "failures": 0,\n      "errors": 0\n    }\n  ]\n}\n' \
        "$tests" "$failures" "$errors" | head -n $(( 15 - cut )) | sed 's/$/\r/'
}

# name | tests failures errors cut | counts as passed (yes/no)
while IFS='|' read -r CASE counts expected; do
    [ -n "$CASE" ] || continue
    read -ra args <<<"$counts"
    report "${args[@]}" >"$SCRATCH/report.json"
    if [ "$expected" = yes ]; then
        check "counts as passed" testbed_reported_pass "$SCRATCH/report.json"
    else
        check "does not count as passed" not testbed_reported_pass "$SCRATCH/report.json"
    fi
done <<'EOF'
every case passed|8 0 0|yes
a case failed|8 1 0|no
a case in error|8 0 1|no
no case ran|0 0 0|no
cut off before its end|8 0 0 1|no
only its first lines|8 0 0 9|no
EOF
CASE="empty file"
: >"$SCRATCH/report.json"
check "does not count as passed" not testbed_reported_pass "$SCRATCH/report.json"
CASE="no file"
check "does not count as passed" not testbed_reported_pass "$SCRATCH/missing.json"
CASE=
verdict testbed
