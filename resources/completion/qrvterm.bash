# Bash completion for qrvterm and qrvterm-run: options, the option values
# they know, the system's serial ports (by-id names first, then device paths;
# under $QRV_DEVICE_ROOT/dev when set, as the programs look there), and the
# module types of ./Module (or of the user's data folder after --user-data).

_qrvterm_ports()
{
    local dev=${QRV_DEVICE_ROOT:+$QRV_DEVICE_ROOT/}dev dev_root
    dev_root=${dev%/dev}
    local p
    for p in "$dev"/serial/by-id/* "$dev"/ttyUSB* "$dev"/ttyACM* "$dev"/ttyS* "$dev"/rfcomm*; do
        [ -e "$p" ] && printf '%s\n' "${p#"$dev_root"}"
    done
    printf '%s\n' 'Simulated module'
}

_qrvterm_module_types()
{
    local folder=Module word
    for word in "${COMP_WORDS[@]}"; do
        [ "$word" = --user-data ] && folder=${XDG_DATA_HOME:-$HOME/.local/share}/qrvterm/Module
    done
    [ -d "$folder" ] || return
    local f
    while IFS= read -r f; do
        f=${f#"$folder"/}
        printf '%s\n' "${f%.ini}"
    done < <(find "$folder" -name '*.ini' -type f 2>/dev/null | sort)
}

# _qrvterm_complete OPTIONS...: fills COMPREPLY for the word being completed.
_qrvterm_complete()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=
    [ "$COMP_CWORD" -gt 0 ] && prev=${COMP_WORDS[COMP_CWORD-1]}
    local IFS=$'\n'
    COMPREPLY=()
    case $prev in
        --port)
            # The entry with a space is offered quoted.
            local p
            for p in $(_qrvterm_ports); do
                [[ $p == "$cur"* || \"$p == "$cur"* ]] || continue
                if [ "$p" = 'Simulated module' ]; then COMPREPLY+=('"Simulated module"'); else COMPREPLY+=("$p"); fi
            done
            return ;;
        --end) COMPREPLY=($(compgen -W $'NULL\nCR\nLF\nCRLF\nSUB' -- "$cur")); return ;;
        --parity) COMPREPLY=($(compgen -W $'NONE\nEVEN\nODD' -- "$cur")); return ;;
        --stop) COMPREPLY=($(compgen -W $'1\n1.5\n2' -- "$cur")); return ;;
        --data) COMPREPLY=($(compgen -W $'5\n6\n7\n8' -- "$cur")); return ;;
        --speed) COMPREPLY=($(compgen -W $'4800\n9600\n19200\n38400\n57600\n115200\n230400\n460800\n921600' -- "$cur")); return ;;
        --json|--junit|--csv|--expect|--log|--port-file) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        --log-dir) COMPREPLY=($(compgen -d -- "$cur")); return ;;
        --ports|--count|--timeout|--sim-delay|--reconnect|--max-outages|--deadline|--char-delay|--line-delay|--pulse-dtr) return ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$*" -- "$cur"))
        return
    fi
    if [ "${COMP_WORDS[0]##*/}" = qrvterm-run ]; then
        COMPREPLY=($(compgen -W "$(_qrvterm_module_types)" -- "$cur") $(compgen -f -X '!*.ini' -- "$cur"))
    fi
}

_qrvterm()
{
    _qrvterm_complete --help --help-all --version --port --no-web-view --log-dir --no-reconnect --user-data
}

_qrvterm_run()
{
    _qrvterm_complete --help --help-all --version --port --ports --port-file --count --user-data --speed --data --parity \
        --stop --rts --dtr --char-delay --line-delay --pulse-dtr --end --timeout --keep-going --json --decode --junit --csv --expect --sim-delay --reconnect \
        --max-outages --deadline --log --list --probe
}

complete -F _qrvterm qrvterm
complete -F _qrvterm_run qrvterm-run
