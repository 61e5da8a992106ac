#!/bin/sh
# Ignores QUIT and the end of its input, so only SIGKILL ends it.
trap '' TERM INT HUP
printf 'WAITING\n' >&2
while :; do sleep 0.05; done
