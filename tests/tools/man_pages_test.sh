#!/bin/sh
# tests/tools/man_pages_test.sh MANDIR
#
# The manual pages made at build time render with man(1) without a single
# warning, each has the sections a reader looks for and names every other
# page under SEE ALSO, and there is one for
# the example host and for tarvin-remote and at least its subcommands
# discover, tail and set-level. Exits 77 (skipped) without man.
set -eu
dir=$1
command -v man >/dev/null 2>&1 || { echo "skipped: man not installed"; exit 77; }
status=0
for name in tarvin-remote tarvin-remote-discover tarvin-remote-tail tarvin-remote-set-level tarvin-example-host; do
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
  # SEE ALSO names every page.
  for other in "$dir"/*.1; do
    name=$(basename "$other" .1)
    sed -n '/^\.SH "SEE ALSO"/,$p' "$page" | grep -q "^\.BR $name (1)" ||
      { echo "$page: SEE ALSO lacks $name(1)"; status=1; }
  done
done
exit $status
