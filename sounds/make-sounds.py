#!/usr/bin/env python3
"""Makes the program's two sounds, written as plain PCM WAV, 16-bit mono at 44.1 kHz with no
chunks beyond "fmt " and "data", which every player reads.

passed.wav announces a passed alert message: two bell-like strikes, a fifth apart and rising,
about 0.7 s in all: short enough not to cover speech in the room, clear enough to be heard over
it.

silence.wav is the alarm for an input line that has fallen silent. It must never be taken for
the chime: where the chime strikes two bright bell notes rising, this plays two held, lower
notes falling (D5 to A4), twice, with the hollow timbre of odd overtones, about 1.3 s in all.

    python3 make-sounds.py [folder]
"""

import math
import os
import struct
import sys
import wave

RATE = 44100
PEAK = 0.6  # of full scale, leaving headroom for the overtones


def add(samples, start, count, envelope, value):
    first = int(start * RATE)
    for i in range(count):
        index = first + i
        if index < len(samples):
            samples[index] += envelope(i) * value(i / RATE)


def strike(frequency, start, length, samples):
    """One bell strike: a fundamental with two softer overtones, a fast attack and an
    exponential decay, so it sounds like a chime and not a beep."""
    attack = int(0.005 * RATE)
    add(samples, start, int(length * RATE),
        lambda i: min(1.0, i / attack) * math.exp(-5.0 * (i / RATE)),
        lambda t: (math.sin(2 * math.pi * frequency * t)
                   + 0.4 * math.sin(2 * math.pi * 2 * frequency * t)
                   + 0.15 * math.sin(2 * math.pi * 3 * frequency * t)) / 1.55)


def tone(frequency, start, length, samples):
    """One held note: a fundamental with softer odd overtones, a short attack and release, so
    it sounds steady like a signal horn rather than struck like a bell."""
    ramp = int(0.015 * RATE)
    count = int(length * RATE)
    add(samples, start, count,
        lambda i: min(1.0, i / ramp, (count - i) / ramp),
        lambda t: (math.sin(2 * math.pi * frequency * t)
                   + 0.33 * math.sin(2 * math.pi * 3 * frequency * t)
                   + 0.2 * math.sin(2 * math.pi * 5 * frequency * t)) / 1.53)


def write(path, samples, fade_seconds):
    """Scales the loudest sample to PEAK; a short fade at the very end, where asked, so the file
    stops without a click."""
    loudest = max(abs(s) for s in samples)
    fade = int(fade_seconds * RATE)
    frames = bytearray()
    for i, s in enumerate(samples):
        gain = min(1.0, (len(samples) - i) / fade) if fade else 1.0
        frames += struct.pack("<h", int(round(s / loudest * PEAK * gain * 32767)))
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(bytes(frames))


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))

    chime = [0.0] * int(0.75 * RATE)
    strike(880.0, 0.0, 0.6, chime)    # A5
    strike(1318.5, 0.15, 0.6, chime)  # E6
    write(os.path.join(folder, "passed.wav"), chime, 0.02)

    alarm = [0.0] * int(1.3 * RATE)
    for start in (0.0, 0.7):
        tone(587.3, start, 0.25, alarm)        # D5
        tone(440.0, start + 0.3, 0.25, alarm)  # A4
    write(os.path.join(folder, "silence.wav"), alarm, 0)


if __name__ == "__main__":
    main()
