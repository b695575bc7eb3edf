#!/bin/sh
# tools/man/make_man_pages.sh OUTDIR REMOTE HOST VERSION
#
# The manual pages of the tools, made by help2man from the built binaries'
# own --help, so a page says what the tool does: tarvin-remote(1), one page
# per subcommand that `tarvin-remote --help` lists (tarvin-remote-tail(1),
# ...), and tarvin-example-host(1). Sections --help has no room for (exit
# status, signals, files, see also) come from the .h2m files beside this
# script: NAME.h2m on page NAME, records.h2m (the record line and its JSON
# fields) on the pages of the commands that print records, common.h2m on
# every tarvin-remote page. help2man appends a section that several files
# have in the order they are given: the shared text first, the command's own
# after it.
set -eu
out=$1 remote=$2 host=$3 version=$4
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"

# page NAME PROGRAM DESCRIPTION [INCLUDE...]: those of the INCLUDEs that exist.
page() {
  name=$1 program=$2 description=$3
  shift 3
  includes=""
  for file in "$@"; do
    [ -f "$file" ] && includes="$includes --include=$file"
  done
  # shellcheck disable=SC2086  # one word per --include
  help2man --no-info --no-discard-stderr --version-string="$version" --section=1 \
    --name="$description" $includes --output="$out/$name.1.tmp" "$program"
  # help2man names a subcommand's page after the program's first word: use
  # the page's own name, as git-log(1) does, so man and whatis find it.
  title=$(printf '%s' "$name" | tr '[:lower:]' '[:upper:]')
  sed -e "s/^\\.TH .* \"1\" /.TH $title \"1\" /" \
      -e "s/^tarvin-remote \\([a-z-]*\\) \\\\- /tarvin-remote-\\1 \\\\- /" \
      "$out/$name.1.tmp" > "$out/$name.1"
  rm -f "$out/$name.1.tmp"
}

# The first letter lower case: "List the targets" -> "list the targets".
lower_first() { printf '%s' "$1" | sed 's/^./\L&/'; }

# The subcommands, from the list in the main --help: "  tail   Register ...".
commands=$("$remote" --help | sed -n '/^Subcommands:/,/^$/p' | sed '1d;/^$/d')

# SEE ALSO on every page: every page, from the same list, so a new command
# is never missing from it.
see_also="$out/see_also.h2m"
{
  echo "[SEE ALSO]"
  echo ".BR tarvin-remote (1),"
  printf '%s\n' "$commands" | while read -r command _; do echo ".BR tarvin-remote-$command (1),"; done
  echo ".BR tarvin-example-host (1)"
} > "$see_also"

# The commands whose output is records, in the line format and JSON of
# records.h2m.
prints_records() { case $1 in tail | replay | query) return 0 ;; *) return 1 ;; esac; }

page tarvin-remote "$remote" "talk to tarvin remote log targets over UDP" "$here/tarvin-remote.h2m" \
  "$here/common.h2m" "$see_also"
printf '%s\n' "$commands" | while read -r command description; do
  records=""
  prints_records "$command" && records="$here/records.h2m"
  # shellcheck disable=SC2086  # no word when the command prints no records
  page "tarvin-remote-$command" "$remote $command" "$(lower_first "$description")" $records \
    "$here/tarvin-remote-$command.h2m" "$here/common.h2m" "$see_also"
done
page tarvin-example-host "$host" "an application that logs through the tarvin remote log target plug-in" \
  "$here/tarvin-example-host.h2m" "$see_also"
rm -f "$see_also"

# Installed gzipped, as man reads them and Debian keeps them; the plain
# pages stay for the checks.
for f in "$out"/*.1; do gzip -9nc "$f" > "$f.gz"; done
