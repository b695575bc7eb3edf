#!/bin/sh
# tests/tools/man_pages_test.sh MANDIR
#
# The manual pages made at build time render with man(1) without a single
# warning, each has the sections a reader looks for and names every other
# page under SEE ALSO, and there is one for
# the example host and for tarvin-remote and at least its subcommands
# discover, tail, set-level, record and query. Every subcommand's page says
# its exit status and shows examples; the pages of the commands that print
# records (tail, replay, query) name every field of a record and a gap that
# docs/record.schema.json has. Exits 77 (skipped) without man.
set -eu
dir=$1
schema=$(cd "$(dirname "$0")/../.." && pwd)/docs/record.schema.json
# Every key a record or a gap may have.
# shellcheck disable=SC2016  # $defs is the schema's key, not a variable
schema_fields=$(python3 -c 'import json, sys
defs = json.load(open(sys.argv[1]))["$defs"]
print(" ".join(sorted(set(defs["record"]["properties"]) | set(defs["gap"]["properties"]))))' "$schema")
command -v man >/dev/null 2>&1 || { echo "skipped: man not installed"; exit 77; }
status=0
for name in tarvin-remote tarvin-remote-discover tarvin-remote-tail tarvin-remote-set-level \
  tarvin-remote-record tarvin-remote-query tarvin-example-host; do
  [ -f "$dir/$name.1" ] || { echo "missing: $dir/$name.1"; status=1; }
done
for page in "$dir"/*.1; do
  warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null) || true
  text=$(MANWIDTH=80 man -E UTF-8 -l "$page" 2>/dev/null)
  if [ -n "$warnings" ]; then
    printf '%s: warnings:\n%s\n' "$page" "$warnings"
    status=1
  fi
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS; do
    printf '%s\n' "$text" | grep -q "^$section" || { echo "$page: no $section section"; status=1; }
  done
  name=$(basename "$page" .1)
  case $name in
    tarvin-remote-*)
      for section in "EXIT STATUS" EXAMPLES; do
        printf '%s\n' "$text" | grep -q "^$section" || { echo "$page: no $section section"; status=1; }
      done ;;
  esac
  case $name in
    tarvin-remote-tail | tarvin-remote-replay | tarvin-remote-query)
      # A field is named in bold: a .B or .BR item, or \fBfield\fR in the text.
      fields=$(awk '/^\.SH/ { on = $0 == ".SH \"JSON FIELDS\"" } on' "$page")
      [ -n "$fields" ] || { echo "$page: no JSON FIELDS section"; status=1; }
      for field in $schema_fields; do
        printf '%s\n' "$fields" | grep -Eq "^\.BR? ([^ ]+ )*$field( |\$)|\\\\fB$field\\\\fR" ||
          { echo "$page: JSON FIELDS lacks $field"; status=1; }
      done ;;
  esac
  # SEE ALSO names every page.
  for other in "$dir"/*.1; do
    name=$(basename "$other" .1)
    sed -n '/^\.SH "SEE ALSO"/,$p' "$page" | grep -q "^\.BR $name (1)" ||
      { echo "$page: SEE ALSO lacks $name(1)"; status=1; }
  done
done
exit $status
