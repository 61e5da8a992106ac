#!/bin/sh
# Writes the kinds of stderr a parent must survive, some audio, and exits 3.
printf 'WAITING\n' >&2
printf '\001\002 binary garbage \377\n' >&2
printf '[2026-12-06T08:44:00Z] Audio format: 44100.0Hz, 2ch, 32bit\n' >&2
printf 'abcdefgh'
printf '[2026-12-06T08:44:00Z] Stream error: first\nsecond\n' >&2
printf 'ERROR:STREAM_STOPPED:first\nsecond\n' >&2
printf 'CAPTURE_STARTED\n' >&2
printf 'a last line without a line feed' >&2
exit 3
