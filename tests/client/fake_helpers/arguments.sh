#!/bin/sh
# Refuses to start, giving the arguments it was run with as the reason.
printf 'WAITING\nERROR:arguments: %s\n' "$*" >&2
read -r _
