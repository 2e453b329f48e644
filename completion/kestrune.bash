# bash completion for kestrune: options before the command, the commands,
# then package files (and DIR, an entry name is left to the user).

_kestrune() {
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    local commands="--list --extract --export --test --list-json --cat --pack --create-sample --help --gui"
    local options="--tree --include --exclude -v --verbose --aes-key --oodle --version --format --like --order --pak-version --mount-point --compression --vpk-version --split-size"
    local packages='@(wad|WAD|pak|PAK|vpk|VPK|pk3|PK3|bundle|unity3d|assets)'

    # Where the command is, if one has been typed: the options end there.
    local i command="" at=0
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
        --include | --exclude | --aes-key | --oodle | --format | --like | --order | --pak-version | --mount-point | --compression | --vpk-version | --split-size) ((i++)) ;;
        --list | --extract | --export | --test | --list-json | --cat | --pack | --create-sample | --help | -h | --gui)
            command=${COMP_WORDS[i]}
            at=$i
            break
            ;;
        esac
    done

    if [[ -z $command ]]; then
        case $prev in
        --include | --exclude | --aes-key | --mount-point | --split-size)
            COMPREPLY=()
            return
            ;;
        --format)
            COMPREPLY=($(compgen -W "unreal vpk wad quake kestrune" -- "$cur"))
            return
            ;;
        --pak-version)
            COMPREPLY=($(compgen -W "1 2 3 4 5 6 7 8a 8b 9 10 11" -- "$cur"))
            return
            ;;
        --compression)
            COMPREPLY=($(compgen -W "None Zlib Gzip LZ4 Zstd Oodle" -- "$cur"))
            return
            ;;
        --vpk-version)
            COMPREPLY=($(compgen -W "1 2" -- "$cur"))
            return
            ;;
        --oodle | --like | --order)
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        esac
        COMPREPLY=($(compgen -W "$options $commands" -- "$cur"))
        return
    fi

    local argument=$((COMP_CWORD - at))
    compopt -o filenames 2>/dev/null
    case $command in
    --list | --test | --list-json | --cat)
        if ((argument == 1)); then
            COMPREPLY=($(compgen -f -X "!*.$packages" -- "$cur") $(compgen -d -- "$cur"))
        fi
        ;;
    --extract | --export)
        if ((argument == 1)); then
            COMPREPLY=($(compgen -f -X "!*.$packages" -- "$cur") $(compgen -d -- "$cur"))
        elif ((argument == 2)); then
            COMPREPLY=($(compgen -d -- "$cur"))
        fi
        ;;
    --pack)
        if ((argument == 1)); then
            COMPREPLY=($(compgen -d -- "$cur"))
        elif ((argument == 2)); then
            COMPREPLY=($(compgen -f -- "$cur"))
        fi
        ;;
    --create-sample)
        ((argument == 1)) && COMPREPLY=($(compgen -f -- "$cur"))
        ;;
    esac
}
shopt -s extglob 2>/dev/null
complete -F _kestrune kestrune
