#!/bin/sh
# tests/tools/completion_test.sh BINDIR SOURCEDIR
#
# The bash completion of tarvin-remote, as bash runs it: the first word
# completes to commands, a dash after a command to that command's options,
# and a command added later is offered without touching the script.
# The zsh one is checked for syntax where zsh is installed.
set -eu
bin=$1 source=$2
offered() {  # offered WORD... : what bash offers for the last word
  PATH="$bin:$PATH" bash -c '
    . "$1/tools/completion/tarvin-remote.bash"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _tarvin_remote; printf "%s\\n" "${COMPREPLY[*]}"' \
    offered "$source" "$@"
}
status=0
check() {  # check EXPECTED WORD...
  expected=$1; shift
  got=$(offered "$@")
  [ "$got" = "$expected" ] || { echo "completing '$*': got '$got', expected '$expected'"; status=1; }
}
check "tail" tarvin-remote ta
check "set-level" tarvin-remote set-
check "enforce" tarvin-remote enf
check "--duration" tarvin-remote tail --dur
check "-n" tarvin-remote query -n
check "--policy" tarvin-remote enforce --pol
if command -v zsh >/dev/null 2>&1; then
  zsh -n "$source/tools/completion/_tarvin-remote" || { echo "zsh: syntax error"; status=1; }
fi
exit $status
