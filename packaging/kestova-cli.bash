# SPDX-License-Identifier: GPL-3.0-or-later
# bash completion for kestova-cli                          -*- shell-script -*-
# Installed as share/bash-completion/completions/kestova-cli, where
# bash-completion loads it the first time kestova-cli is completed.

# File names, one per reply even when they hold spaces; bash-completion's own
# helper when it is loaded (it also quotes what it inserts).
_kestova_cli_files()
{
    if declare -F _filedir >/dev/null; then
        _filedir
    else
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}

_kestova_cli()
{
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}

    local commands="list watch probe info clock colors ls add sync rm mv get put export show backup restore frame"
    local global_opts="--frame --wait --help --help-all --version"

    # Options that take a value: complete the value.
    case $prev in
        --frame)
            # PATH[,key=value...]: the path part is a file name.
            if [[ $cur != *,* ]]; then
                _kestova_cli_files
            fi
            return
            ;;
        --format)
            COMPREPLY=($(compgen -W "bmp jpg" -- "$cur"))
            return
            ;;
        --rotate)
            COMPREPLY=($(compgen -W "left right" -- "$cur"))
            return
            ;;
        --crop)
            COMPREPLY=($(compgen -W "centre attention north south east west" -- "$cur"))
            return
            ;;
        --wait)
            # An optional number of seconds; otherwise the command follows.
            [[ $cur == [0-9]* ]] && return
            ;;
        --quality | --font | --background | --lcd | --flash | --album-start | --max | \
            --erase-opcode | --dpfh | --dpfh-target)
            return
            ;;
    esac

    # The command (and "frame"'s own subcommand) is the first word that is
    # neither an option nor the value of --frame.
    local i word command="" sub=""
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
            --frame) ((i++)) ;;
            --wait)
                if [[ ${COMP_WORDS[i+1]} =~ ^([0-9]+([.][0-9]*)?|forever)$ ]] && ((i + 1 < COMP_CWORD)); then
                    ((i++))
                fi
                ;;
            -*) ;;
            *)
                if [[ -z $command ]]; then
                    command=$word
                elif [[ $command == frame && -z $sub ]]; then
                    sub=$word
                fi
                ;;
        esac
    done

    local opts="" words_only=""
    case $command in
        "")
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "$global_opts" -- "$cur"))
            else
                COMPREPLY=($(compgen -W "$commands" -- "$cur"))
            fi
            return
            ;;
        list | info | ls | probe | clock) opts="--json" words_only=1 ;;
        watch) words_only=1 ;;
        colors) opts="--font --background" words_only=1 ;;
        add) opts="--quality --rotate --crop --recursive" ;;
        sync)
            opts="--quality --rotate --crop --recursive --dry-run"
            if [[ $cur != -* ]]; then
                compopt -o filenames 2>/dev/null
                mapfile -t COMPREPLY < <(compgen -d -- "$cur")
                return
            fi
            ;;
        backup) opts="--force" ;;
        restore) opts="--dry-run" ;;
        rm | mv) words_only=1 ;;
        get) opts="--force" ;;
        put | show) ;;
        export) opts="--format --force" ;;
        frame)
            if [[ -z $sub ]]; then
                COMPREPLY=($(compgen -W "new" -- "$cur"))
                return
            fi
            opts="--lcd --flash --album-start --max --erase-opcode --program-mode --dpfh --dpfh-target --force --json --demo"
            ;;
        *) return ;;
    esac

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$opts --help" -- "$cur"))
    elif [[ -z $words_only ]]; then
        _kestova_cli_files
    fi
}

complete -F _kestova_cli kestova-cli
