#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the build into a temporary prefix and checks what a distribution
# and a desktop need from it: every file in its place, the menu entries and
# metadata accepted by their validators, the manual pages rendering without
# a warning, and every program answering --version with the project version.
#
# usage: check_install_tree.sh CMAKE BUILD_DIR WORK_DIR VERSION HAS_KESTOVA
set -uo pipefail
cmake=$1 build=$2 work=$3 version=$4 has_kestova=$5

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
if ! "$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    fail "cmake --install"
    exit 1
fi

programs=(mackestova)
[ "$has_kestova" = 1 ] && programs+=(kestova)

expected=(
    bin/kestova-cli
    lib/udev/rules.d/60-kestova.rules
    share/man/man1/kestova-cli.1.gz
    share/bash-completion/completions/kestova-cli
    share/doc/kestova/copyright
    share/doc/kestova/changelog.gz
)
for p in "${programs[@]}"; do
    expected+=(
        "bin/$p"
        "share/applications/$p.desktop"
        "share/metainfo/org.kestova.$p.metainfo.xml"
        "share/icons/hicolor/scalable/apps/$p.svg"
        "share/man/man1/$p.1.gz"
    )
    for size in 16 22 24 32 48 64 128 256; do
        expected+=("share/icons/hicolor/${size}x${size}/apps/$p.png")
    done
done
for f in "${expected[@]}"; do
    [ -f "$prefix/$f" ] || fail "missing $f"
done
# Nothing for a program that is not built: no menu entry may offer it.
if [ "$has_kestova" != 1 ]; then
    for f in bin/kestova share/applications/kestova.desktop share/man/man1/kestova.1.gz; do
        [ -e "$prefix/$f" ] && fail "$f installed without the kestova program"
    done
fi

# One licence everywhere: the machine-readable copyright file, every
# AppStream entry, and the licence text at the top of the source tree.
grep -qx 'License: GPL-3.0+' "$prefix/share/doc/kestova/copyright" || fail "copyright file does not grant GPL-3.0+"
grep -qi 'all rights reserved' "$prefix/share/doc/kestova/copyright" && fail "copyright file still reserves all rights"
for m in "$prefix"/share/metainfo/*.metainfo.xml; do
    grep -q '<project_license>GPL-3.0-or-later</project_license>' "$m" || fail "$(basename "$m"): no GPL-3.0-or-later"
done
cmp -s "$(dirname "$0")/../../LICENSE" /usr/share/common-licenses/GPL-3 || fail "LICENSE is not the GPL 3 text"

# Each PNG holds the size its folder names (width and height from the IHDR).
for png in "$prefix"/share/icons/hicolor/*x*/apps/*.png; do
    [ -f "$png" ] || continue
    want=$(basename "$(dirname "$(dirname "$png")")")
    got=$(od -An -tu1 -j16 -N8 "$png" | awk '{printf "%dx%d", $3*256+$4, $7*256+$8}')
    [ "$got" = "$want" ] || fail "$png is $got, not $want"
done

# Menu entries: valid, and each starts a program that the install holds.
for d in "$prefix"/share/applications/*.desktop; do
    out=$(desktop-file-validate "$d" 2>&1) || fail "desktop-file-validate $d"
    [ -z "$out" ] || { echo "$out"; fail "desktop-file-validate reports on $(basename "$d")"; }
    exec_prog=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$d")
    [ -x "$prefix/bin/$exec_prog" ] || fail "$(basename "$d") starts $exec_prog, which is not installed"
    icon=$(sed -n 's/^Icon=//p' "$d")
    [ -f "$prefix/share/icons/hicolor/48x48/apps/$icon.png" ] || fail "$(basename "$d") names icon $icon, not installed"
done

# AppStream: no error and no warning; the newest release is this version.
for m in "$prefix"/share/metainfo/*.metainfo.xml; do
    appstreamcli validate --no-net "$m" >"$work/as.log" 2>&1 || { cat "$work/as.log"; fail "appstreamcli validate $(basename "$m")"; }
    top=$(grep -o '<release version="[^"]*"' "$m" | head -1 | cut -d'"' -f2)
    [ "$top" = "$version" ] || fail "$(basename "$m"): newest release $top, project version $version"
done
top=$(zcat "$prefix/share/doc/kestova/changelog.gz" | sed -n '1s/^kestova (\([^)]*\)).*/\1/p')
[ "$top" = "$version" ] || fail "changelog: newest entry $top, project version $version"

# Manual pages render without a warning and name the program.
for page in "$prefix"/share/man/man1/*.1.gz; do
    name=$(basename "$page" .1.gz)
    if ! out=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$page" 2>"$work/man.err"); then
        fail "man -l $name"
    fi
    if [ -s "$work/man.err" ]; then cat "$work/man.err"; fail "man reports warnings on $name(1)"; fi
    grep -q "^NAME" <<<"$out" && grep -q "$name -" <<<"$out" || fail "$name(1) has no NAME line"
done

# One version everywhere, printed without a display.
for p in kestova-cli "${programs[@]}"; do
    [ -x "$prefix/bin/$p" ] || continue
    got=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= "$prefix/bin/$p" --version 2>&1)
    [ "$got" = "$p $version" ] || fail "$p --version printed '$got', not '$p $version'"
done

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "install tree in $prefix: ${#expected[@]} files present and valid"
