#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Validates every menu entry, metadata file and manual page in the tree,
# including those of programs that this build does not install.
# usage: check_sources.sh PACKAGING_DIR
set -uo pipefail
dir=$1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for d in "$dir"/*.desktop; do
    out=$(desktop-file-validate "$d" 2>&1) && [ -z "$out" ] || { echo "$out"; fail "$(basename "$d")"; }
done
for m in "$dir"/*.metainfo.xml; do
    appstreamcli validate --no-net "$m" || fail "$(basename "$m")"
    # The desktop entry it launches is the one in the tree.
    launch=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$m")
    [ -f "$dir/$launch" ] || fail "$(basename "$m") launches $launch, which is not in the tree"
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for s in "$dir"/man/*.1.scd; do
    name=$(basename "$s" .scd)
    scdoc <"$s" >"$tmp/$name" || { fail "scdoc $name"; continue; }
    MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$tmp/$name" >/dev/null 2>"$tmp/err" || fail "man $name"
    [ -s "$tmp/err" ] && { cat "$tmp/err"; fail "man warns on $name"; }
done
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "sources valid"
