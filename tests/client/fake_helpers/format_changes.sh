#!/bin/sh
# Captures a tenth of a second at 48 kHz mono, loses the stream, and resumes at 44.1 kHz stereo.
printf 'WAITING\nCAPTURE_STARTED\n' >&2
printf '[2026-01-01T00:00:00Z] Audio format: 48000.0Hz, 1ch, 32bit\n' >&2
head -c 19200 /dev/zero | tr '\0' '\1'
printf 'ERROR:STREAM_STOPPED:Connection terminated\n' >&2
while read -r command; do
    case "$command" in
    START)
        printf 'CAPTURE_STARTED\n[2026-01-01T00:00:01Z] Audio format: 44100.0Hz, 2ch, 32bit\n' >&2
        head -c 8000 /dev/zero
        ;;
    QUIT) exit 0 ;;
    esac
done
