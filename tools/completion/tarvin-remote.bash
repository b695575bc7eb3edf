# tools/completion/tarvin-remote.bash: bash completion of tarvin-remote.
# Commands and options come from the tool's own help, so they are never
# out of date: the first word completes to a command, a word that starts
# with a dash to an option of the command before it, anything else to a
# file name.

_tarvin_remote_words() {
  # Options named in `tarvin-remote help COMMAND`: "-n,--lines N", "--db FILE".
  tarvin-remote help "$1" 2>/dev/null | grep -oE '(^|[ ,])--?[a-zA-Z][a-zA-Z-]*' | tr -d ' ,' | sort -u
}

_tarvin_remote() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  if [ "$COMP_CWORD" -eq 1 ]; then
    local commands
    commands="$(tarvin-remote help 2>/dev/null | sed -n '/^Subcommands:/,/^$/p' | awk 'NR > 1 && NF { print $1 }') help"
    mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
  elif [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$(_tarvin_remote_words "${COMP_WORDS[1]}")" -- "$cur")
  else
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
}
complete -F _tarvin_remote tarvin-remote
