#!/bin/sh
# Exits at once on QUIT but leaves a child that keeps both output pipes open.
sleep 20 &
printf 'WAITING\n' >&2
read command
exit 0
