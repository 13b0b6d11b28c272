#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# kestova-cli list and watch against a virtual frame whose image file is
# renamed away and back: list must say why it is not taken, watch must print
# online, offline, online, and end cleanly (exit 0) on SIGINT.
set -euo pipefail
cli=$1
dir=$(mktemp -d)
pid=
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$dir"; }
trap cleanup EXIT
cd "$dir"

fail() { echo "FAIL: $*"; echo "--- watch.out"; cat watch.out 2>/dev/null; echo "--- watch.err"; cat watch.err 2>/dev/null; exit 1; }

# Waits until watch.out has $1 lines.
wait_lines() {
    for _ in $(seq 1 100); do
        [ "$(wc -l < watch.out)" -ge "$1" ] && return 0
        sleep 0.1
    done
    fail "watch printed $(wc -l < watch.out) lines, expected $1"
}

"$cli" frame new f.img > /dev/null

out=$("$cli" --frame f.img list)
grep -Eq '^  f\.img +virtual +norvelta' <<< "$out" || fail "list does not show the virtual frame: $out"
json=$("$cli" --frame f.img list --json)
grep -q '"node": "f.img", "vendor": "norvelta"' <<< "$json" || fail "list --json: $json"

"$cli" --frame f.img watch > watch.out 2> watch.err &
pid=$!
wait_lines 1
mv f.img f.away
wait_lines 2
out=$("$cli" --frame f.img list)
grep -q 'f.img .*image file is missing' <<< "$out" || fail "list while the image is away: $out"
mv f.away f.img
wait_lines 3

kill -INT "$pid"
rc=0
wait "$pid" || rc=$?
pid=
[ "$rc" -eq 0 ] || fail "watch ended with $rc after SIGINT"

[ "$(wc -l < watch.out)" -eq 3 ] || fail "expected exactly 3 event lines"
sed -n 1p watch.out | grep -Eq ' online +f\.img norvelta' || fail "line 1 is not online"
sed -n 2p watch.out | grep -Eq ' offline f\.img$' || fail "line 2 is not offline"
sed -n 3p watch.out | grep -Eq ' online +f\.img norvelta' || fail "line 3 is not online"
echo "ok"
