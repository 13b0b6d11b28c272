#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks the bash completion and the manual page of kestova-cli against the
# program itself: every subcommand and option that its --help lists is
# completed and documented, and the completion offers the right values.
#
# usage: check_cli_docs.sh KESTOVA_CLI COMPLETION_SCRIPT MANUAL_SOURCE WORK_DIR
set -uo pipefail
cli=$1 completion=$2 manual=$3 work=$4

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# shellcheck source=/dev/null
source "$completion"

# complete WORD...: COMPREPLY for the command line "kestova-cli WORD..." with
# the cursor at the end of the last word.
complete_line() {
    COMP_WORDS=(kestova-cli "$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="${COMP_WORDS[*]}"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _kestova_cli
}
# expect_reply "WORDS" WANT...: the reply holds exactly WANT (in any order).
expect_reply() {
    local line=$1
    shift
    read -ra words <<<"$line"
    [[ $line == *" " ]] && words+=("")
    complete_line "${words[@]}"
    local got want
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
    want=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
    [ "$got" = "$want" ] || fail "completing 'kestova-cli $line': got [$got], want [$want]"
}
# offers "WORDS" WORD...: the reply holds at least these.
offers() {
    local line=$1
    shift
    read -ra words <<<"$line"
    [[ $line == *" " ]] && words+=("")
    complete_line "${words[@]}"
    local w
    for w in "$@"; do
        printf '%s\n' "${COMPREPLY[@]}" | grep -qxF -- "$w" || fail "completing 'kestova-cli $line' does not offer $w"
    done
}

# Options of one --help page (the lines of its Options section), without
# the help options that every subcommand repeats.
options_of() {
    "$cli" "$@" --help | awk '/^Options:/ {on=1; next} /^[A-Za-z]/ {on=0} on' |
        grep -oE '^ +(-[a-z],)?--[a-z][a-z-]*' | grep -oE -- '--[a-z][a-z-]*' |
        grep -vxE -- '--help|--help-all' | sort -u
}
subcommands_of() {
    "$cli" "$@" --help | awk '/^Subcommands:/ {on=1; next} /^[A-Za-z]/ {on=0} on' | awk 'NF {print $1}'
}

commands=$(subcommands_of)
[ -n "$commands" ] || fail "kestova-cli --help lists no subcommands"

# Every subcommand, every option: completed and in the manual page.
offers " " $commands
offers "-" --help --help-all $(options_of)
for o in --help --help-all $(options_of); do
    grep -qF -- "*$o*" "$manual" || fail "the manual page does not describe $o"
done
for c in $commands; do
    subs=$(subcommands_of "$c")
    if [ -n "$subs" ]; then
        offers "$c " $subs
        for s in $subs; do
            grep -qE -- "^\*$c $s\*" "$manual" || fail "the manual page has no entry for '$c $s'"
            opts=$(options_of "$c" "$s")
            offers "$c $s -" $opts
            for o in $opts; do grep -qF -- "*$o*" "$manual" || fail "the manual page does not describe $c $s $o"; done
        done
        continue
    fi
    grep -qE -- "^\*$c\*" "$manual" || fail "the manual page has no entry for '$c'"
    opts=$(options_of "$c")
    offers "$c -" $opts
    for o in $opts; do
        # Each option is described in the subcommand's own entry.
        awk -v c="$c" '$0 ~ "^\\*" c "\\*" {on=1; print; next} /^\*[a-z]/ && !/^\*-/ {on=0} on' "$manual" |
            grep -qF -- "*$o*" || fail "the manual page's entry for '$c' does not describe $o"
    done
done

# Values.
expect_reply "ex" export
expect_reply "export 1- out --format " bmp jpg
expect_reply "export 1- out --format j" jpg
expect_reply "--frame f.img add --rotate " left right
expect_reply "sync --crop a" attention
expect_reply "add --dry-run --crop " centre attention north south east west
expect_reply "frame " new
expect_reply "colors --font " # a colour: nothing to offer
expect_reply "rm " # a range: no file names

# --frame and picture arguments complete file names, spaces included.
rm -rf "$work" && mkdir -p "$work/frames"
touch "$work/frames/one.img" "$work/frames/two frames.img"
expect_reply "--frame $work/frames/" "$work/frames/one.img" "$work/frames/two frames.img"
expect_reply "--frame $work/frames/t" "$work/frames/two frames.img"
expect_reply "--frame $work/frames/one.img,latency_us=1" # options after the comma: no file names
expect_reply "--frame $work/frames/one.img add $work/frames/o" "$work/frames/one.img"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "completion and manual page cover $(wc -w <<<"$commands") subcommands"
