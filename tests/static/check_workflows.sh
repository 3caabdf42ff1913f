#!/usr/bin/env bash
# The GitHub Actions workflows, checked where they are written: GitHub
# only reads them once they are pushed, and a misspelled key there makes a
# job that never runs, or runs without what it was given.  Each workflow
# must pass the validator ./dev installs from npm (GitHub's workflow schema,
# and the jobs that one needs); and the validator must refuse the same
# workflow with one fault put in, so that a validator that accepts anything
# fails here.  Then the verdict the Windows job gives on the kit's output.
#
# Usage: check_workflows.sh VALIDATOR WORKFLOWS SCRATCH
#   VALIDATOR  the folder ./dev installed the validator into
#   WORKFLOWS  .github/workflows
#   SCRATCH    a folder of this test's own in the build tree (emptied first)
set -uo pipefail
[ $# -eq 3 ] || { sed -n '2,13p' "$0"; exit 2; }
VALIDATOR=$1/node_modules/.bin/action-validator WORKFLOWS=$2 SCRATCH=$3
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/../checks.sh"
source "$HERE/../kit/windows_kit.sh"

[ -x "$VALIDATOR" ] || fail "no workflow validator in $1 (./dev build installs it)"
rm -rf "$SCRATCH" && mkdir -p "$SCRATCH" || fail "cannot create $SCRATCH"

# valid FILE: the validator accepts it; what it says is kept for a refusal.
valid() { "$VALIDATOR" "$1" >"$SCRATCH/said" 2>&1; }
said() { grep -q -- "$1" "$SCRATCH/said"; }

for workflow in "$WORKFLOWS"/*.yml; do
    name=${workflow##*/}
    if valid "$workflow"; then ok "$name: a valid workflow"; else bad "$name: refused:"; sed 's/^/  /' "$SCRATCH/said"; fi
done

# The Windows workflow, one fault each: the sed that puts it in, and what
# the validator's refusal must say.
WINDOWS=$WORKFLOWS/windows.yml
while IFS='|' read -r what edit says; do
    if ! sed "$edit" "$WINDOWS" >"$SCRATCH/mutant.yml"; then
        bad "mutant '$what': the edit is not one sed takes"
    elif cmp -s "$WINDOWS" "$SCRATCH/mutant.yml"; then
        bad "mutant '$what' is the workflow itself: the edit no longer matches"
    elif valid "$SCRATCH/mutant.yml"; then
        bad "mutant '$what' was accepted"
    else
        check "mutant '$what' was refused, saying $says" said "$says"
    fi
done <<'EOF'
a misspelled key (run-on)|s/^    runs-on: windows/    run-on: windows/|property 'run-on' is not allowed
a job that needs one that is not there|s/^    needs: build$/    needs: bulid/|unresolved job bulid
an event GitHub has not got|s/^  pull_request:$/  pull_requests:/|"path": "/on"
a step with both uses and run|s#^      - uses: actions/checkout@v4$#&\n        run: echo#|"path": "/jobs/build/steps/1"
EOF

# The kit's output, as the Windows job judges it: its last line must count
# some cases passed and none failed.
while IFS='|' read -r what last passes; do
    printf 'kit: tests.exe: 2 passed, 0 failed, 0 skipped\r\n%b' "$last" >"$SCRATCH/kit.txt"
    if kit_verdict "$SCRATCH/kit.txt" >/dev/null; then verdict=pass; else verdict=fail; fi
    [ "$verdict" = "$passes" ] && ok "kit output ending with $what: $verdict" || bad "kit output ending with $what: $verdict"
done <<'EOF'
its count, none failed|12 passed, 0 failed\r\n|pass
its count, then blank lines|12 passed, 0 failed\r\n\r\n \r\n|pass
a failure counted|11 passed, 1 failed\r\n|fail
nothing run|0 passed, 0 failed\r\n|fail
an interruption|kit: interrupted; 3 passed, 0 failed so far\r\n|fail
no count (a refused start)|kit: run this from an elevated prompt\r\n|fail
EOF
: >"$SCRATCH/empty.txt"
kit_verdict "$SCRATCH/empty.txt" >/dev/null && bad "empty kit output: pass" || ok "empty kit output: fail"
kit_verdict "$SCRATCH/missing.txt" >/dev/null && bad "no kit output at all: pass" || ok "no kit output at all: fail"

verdict workflows
