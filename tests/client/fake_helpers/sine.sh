#!/bin/sh
# Delivers two seconds of a 440 Hz sine at half of full scale, as the helper would, then waits
# for QUIT: a known level for the lossy encoders, whatever a server plays.
printf 'WAITING\nCAPTURE_STARTED\n' >&2
printf '[2026-01-01T00:00:00Z] Audio format: 48000.0Hz, 1ch, 32bit\n' >&2
sox -q -n -t f32 -r 48000 -c 1 - synth 2 sine 440 vol 0.5
while read -r command; do
    [ "$command" = QUIT ] && exit 0
done
