#!/bin/sh
# Lists two applications for --list-apps; otherwise refuses to start, giving the arguments it
# was run with as the reason.
[ "$1" = --list-apps ] && printf '4242\tFirefox\tfirefox\n77\tmpv\tmpv\n' && exit 0
printf 'WAITING\nERROR:arguments: %s\n' "$*" >&2
read -r _
