#!/usr/bin/env python3
"""A parent of halvo-audio-helper in Python's standard library alone.

Launches the helper, reads the "Audio format:" line from its standard error, records SECONDS of
its standard output into a 16-bit WAVE file with the wave module (the helper sends 32-bit float
samples, which the wave module cannot write), then sends STOP and QUIT.

Usage: record_wav.py SECONDS OUT.wav [HELPER [ARGUMENTS...]]
HELPER defaults to halvo-audio-helper on PATH.
"""
import array
import os
import re
import subprocess
import sys
import threading
import wave

FORMAT_LINE = re.compile(r"Audio format: ([0-9.]+)Hz, (\d+)ch, (\d+)bit")


class HelperState:
    """What the helper said on standard error, read by a thread of its own so that the helper
    never blocks on a full stderr pipe."""

    def __init__(self):
        self.changed = threading.Condition()
        self.format = None  # (rate, channels, bits)
        self.error = None  # the first ERROR: signal
        self.ended = False

    def read(self, stream):
        for raw in stream:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            with self.changed:
                match = FORMAT_LINE.search(line)
                if match and self.format is None:
                    self.format = (round(float(match[1])), int(match[2]), int(match[3]))
                elif line.startswith("ERROR:") and self.error is None:
                    self.error = line
                self.changed.notify_all()
        with self.changed:
            self.ended = True
            self.changed.notify_all()


def float_to_16_bit(data):
    samples = array.array("f")
    samples.frombytes(data)
    if sys.byteorder != "little":
        samples.byteswap()
    converted = array.array("h", (int(max(-1.0, min(1.0, s)) * 32767) if s == s else 0
                                  for s in samples))
    if sys.byteorder != "little":
        converted.byteswap()
    return converted.tobytes()


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    seconds = float(sys.argv[1])
    output = sys.argv[2]
    command = sys.argv[3:] or ["halvo-audio-helper"]

    helper = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
    state = HelperState()
    threading.Thread(target=state.read, args=(helper.stderr,), daemon=True).start()

    # Audio may come before the format line is read: keep it until the format is known.
    audio = bytearray()
    needed = None
    while needed is None or len(audio) < needed:
        chunk = os.read(helper.stdout.fileno(), 65536)
        with state.changed:
            if state.error:
                break
            if needed is None and state.format:
                rate, channels, bits = state.format
                if bits != 32:
                    sys.exit(f"expected 32-bit float audio, got {bits}-bit")
                needed = round(seconds * rate) * channels * 4
        if not chunk:
            break
        audio += chunk

    try:
        helper.stdin.write(b"STOP\nQUIT\n")
        helper.stdin.close()
    except BrokenPipeError:
        pass  # the helper has already ended
    # Read on until the helper exits, so that it never blocks on a full stdout pipe.
    while os.read(helper.stdout.fileno(), 65536):
        pass
    status = helper.wait()

    with state.changed:
        state.changed.wait_for(lambda: state.ended, timeout=5)
        if state.error:
            sys.exit(f"the helper said {state.error} (exit status {status})")
        if needed is None or len(audio) < needed:
            sys.exit(f"the helper ended after {len(audio)} bytes (exit status {status})")
        rate, channels, _ = state.format

    with wave.open(output, "wb") as file:
        file.setnchannels(channels)
        file.setsampwidth(2)
        file.setframerate(rate)
        file.writeframes(float_to_16_bit(bytes(audio[:needed])))
    print(f"{output}: {seconds:g} s, {rate} Hz, {channels} channel(s), 16-bit; "
          f"helper exit status {status}")
    return 0 if status == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
