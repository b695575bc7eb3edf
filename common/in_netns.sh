#!/bin/sh
# common/in_netns.sh [--user] [--warn WHO] COMMAND [ARG...]
#
# Runs COMMAND in a network namespace of its own with only loopback up, so
# that its targets never compete for ports 57008-57017 with those of tests
# running in parallel, a demo or anything else on the machine. Where
# namespaces are not allowed (they need root) COMMAND runs as it is.
#   --user      without root, try an unprivileged user namespace as well
#   --warn WHO  say on stderr, as WHO, when COMMAND runs outside a namespace
# Scripts that run targets call it rather than unshare themselves.
user='' who=''
while :; do
  case $1 in
    --user) user=1; shift ;;
    --warn) who=$2; shift 2 ;;
    *) break ;;
  esac
done
if unshare -n true 2>/dev/null; then
  exec unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$@"
fi
if [ -n "$user" ] && unshare -rn true 2>/dev/null; then
  exec unshare -rn sh -c 'ip link set lo up && exec "$@"' sh "$@"
fi
[ -n "$who" ] && echo "$who: warning: cannot create a network namespace; running on this host's loopback" >&2
exec "$@"
