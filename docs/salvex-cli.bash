# bash completion for salvex-cli                                   -*- shell-script -*-
_salvex_cli() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  local words=("${COMP_WORDS[@]}") cword=$COMP_CWORD
  local commands="devices partitions volumes lost-drives ls cat find lost-data save undelete image map-files mount"
  local command="" i
  for ((i = 1; i < cword; i++)); do
    case " $commands " in *" ${words[i]} "*) command=${words[i]}; break ;; esac
  done
  if [[ -z $command ]]; then
    COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
    return
  fi
  case $prev in
    --to) COMPREPLY=($(compgen -d -- "$cur")); return ;;
    --report | --map | --dfxml) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --as) COMPREPLY=($(compgen -W "disk drive floppy" -- "$cur")); return ;;
    --fat) COMPREPLY=($(compgen -W "none 1 2" -- "$cur")); return ;;
    --tree) COMPREPLY=($(compgen -W "root deleted lost" -- "$cur")); return ;;
    --overwrite) COMPREPLY=($(compgen -W "ask all none" -- "$cur")); return ;;
    --on-read-error) COMPREPLY=($(compgen -W "abort ignore retry=3" -- "$cur")); return ;;
    --sector-size) COMPREPLY=($(compgen -W "512 1024 2048 4096" -- "$cur")); return ;;
    --volume | --first | --last | --path | --mask | --retries | --threads) return ;;
  esac
  local common="--as --system-disks --sector-size --map --help"
  local opts
  case $command in
    devices | partitions) opts="--json" ;;
    volumes) opts="--json --quiet --search-lost --first --last --threads" ;;
    lost-drives) opts="--json --quiet --first --last --threads --on-read-error" ;;
    ls) opts="--volume --deleted --tree --path --recursive --json --bodyfile --dfxml --quiet --search-lost --first --last --threads" ;;
    cat) opts="--volume --deleted --tree --fat --on-read-error --quiet --search-lost --first --last --threads" ;;
    find) opts="--volume --json --dfxml --quiet" ;;
    lost-data) opts="--volume --first --last --threads --no-files --fat --to --overwrite --report --allow-examined-device --on-read-error --dfxml --json --quiet" ;;
    save) opts="--volume --deleted --tree --fat --to --overwrite --report --allow-examined-device --on-read-error --dfxml --json --quiet --search-lost --first --last --threads" ;;
    mount) opts="--volume --foreground --search-lost --first --last --threads" ;;
    image) opts="--map --retries --reverse --sector-size --json --quiet"; common="--help" ;;
    map-files) opts="--no-lost --json --quiet" ;;
    undelete) opts="--volume --mask --fat --to --overwrite --report --allow-examined-device --on-read-error --dfxml --json --quiet --search-lost --first --last --threads" ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$opts $common" -- "$cur"))
  else
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
} &&
  complete -F _salvex_cli salvex-cli
