#!/bin/sh
# The member check fails on its fixture and names exactly the members that
# the fixture's code lacks (expected-missing.txt), none that it has.
# Usage: check_methods_fixture.sh CHECK_SCRIPT FIXTURE_ROOT
out=$(sh "$1" "$2" 2>&1) && { echo "the check passed a map that names missing members"; exit 1; }
printf '%s\n' "$out" | diff "$2/expected-missing.txt" -
