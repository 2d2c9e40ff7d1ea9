# bash completion for quorvane
_quorvane() {
    local cur prev words cword
    _init_completion || return
    if [[ $cword -eq 1 ]]; then
        COMPREPLY=($(compgen -W "create list test extract help --help --version" -- "$cur"))
        return
    fi
    if [[ ${words[1]} == help ]]; then
        [[ $cword -eq 2 ]] && COMPREPLY=($(compgen -W "create list test extract" -- "$cur"))
        return
    fi
    case $prev in
        -o | --output | --stub) _filedir; return ;;
        -d | --destination | -C | --directory) _filedir -d; return ;;
        --mtime | -j | --threads | --exclude) return ;;
    esac
    local options="-q --quiet -v --verbose -h --help"
    case ${words[1]} in
        create) options+=" -o --output --stub --payload-only --mtime -j --threads --exclude -C --directory" ;;
        list) options+=" --json --exclude" ;;
        test) options+=" -j --threads" ;;
        extract) options+=" -d --destination --overwrite --skip-existing -c --stdout -j --threads --exclude" ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    else
        _filedir
    fi
}
complete -F _quorvane quorvane
