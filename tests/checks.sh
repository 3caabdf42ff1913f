# Sourced by the shell tests: one way to report a check, so that every log
# reads alike ("ok   [case] what" / "FAIL [case] what") and counts alike.
#
#   ok WHAT, bad WHAT    one check passed or failed; "[$CASE]" first when set
#   check WHAT CMD...    ok or bad by CMD's exit status
#   not CMD...           CMD's exit status turned round, for check (never
#                        a check inside an eval'd string)
#   fail WHAT            bad, then the test ends: what follows stands on it
#   verdict NAME         "NAME: N passed, N failed"; false when one failed
#
# A test whose every step stands on the one before sets CHECKS_STOP=1, and
# then any bad ends it.

FAILED=0 PASSED=0 CASE=${CASE:-}
say() { printf '%s\n' "$*"; }
ok() { say "ok   ${CASE:+[$CASE] }$*"; PASSED=$((PASSED + 1)); }
bad() { say "FAIL ${CASE:+[$CASE] }$*"; FAILED=$((FAILED + 1)); [ -z "${CHECKS_STOP:-}" ] || exit 1; }
fail() { bad "$@"; exit 1; }
check() { local what=$1; shift; if "$@"; then ok "$what"; else bad "$what"; fi; }
not() { ! "$@"; }
verdict() { say "$1: $PASSED passed, $FAILED failed"; [ "$FAILED" -eq 0 ]; }
