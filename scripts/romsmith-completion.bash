# bash completion for romsmith: options, command words (taken from the
# program's own command table) and file names.
_romsmith() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  local i word=
  # The first word that is not an option (or an option's value) is the command.
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      -f | -c | --file | --command) ((i++)) ;;
      -*) ;;
      *) word=${COMP_WORDS[i]}; break ;;
    esac
  done
  case $prev in
    -f | --file) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    -c | --command) COMPREPLY=(); return ;;
  esac
  if [[ -z $word ]]; then
    if [[ $cur == -* ]]; then
      COMPREPLY=($(compgen -W '-f -c -k -h -V --file --command --keep-going --help --version' -- "$cur"))
    else
      local cmds
      cmds=$("${COMP_WORDS[0]}" help 2>/dev/null | sed -n 's/^\t\([a-z0-9]*\).*/\1/p' | grep -vx quit)
      COMPREPLY=($(compgen -W "$cmds" -- "$cur"))
    fi
    return
  fi
  case $word in
    ls) [[ $cur == -* ]] && { COMPREPLY=($(compgen -W '-l --json' -- "$cur")); return; } ;;
    put) [[ $cur == -* ]] && { COMPREPLY=($(compgen -W '--mode --owner' -- "$cur")); return; } ;;
    mkdir) [[ $cur == -* ]] && { COMPREPLY=($(compgen -W '-p' -- "$cur")); return; } ;;
    ln) [[ $cur == -* ]] && { COMPREPLY=($(compgen -W '-s' -- "$cur")); return; } ;;
    mkcramfs)
      [[ $prev == -N ]] && { COMPREPLY=($(compgen -W 'big little host' -- "$cur")); return; }
      [[ $cur == -* ]] && { COMPREPLY=($(compgen -W '-N' -- "$cur")); return; } ;;
    help) COMPREPLY=($(compgen -W "$("${COMP_WORDS[0]}" help 2>/dev/null | sed -n 's/^\t\([a-z0-9]*\).*/\1/p' | grep -vx quit)" -- "$cur")); return ;;
  esac
  COMPREPLY=($(compgen -f -- "$cur"))
}
complete -o filenames -o bashdefault -F _romsmith romsmith
