#!/usr/bin/env python3
"""Makes passed.wav, the chime that announces a passed alert message.

Two bell-like strikes, a fifth apart and rising, about 0.7 s in all: short enough not to
cover speech in the room, clear enough to be heard over it. Written as plain PCM WAV,
16-bit mono at 44.1 kHz with no chunks beyond "fmt " and "data", which every player reads.

    python3 make-chime.py [output.wav]
"""

import math
import struct
import sys
import wave

RATE = 44100
PEAK = 0.6  # of full scale, leaving headroom for the overtones


def strike(frequency, start, length, samples):
    """Adds one bell strike: a fundamental with two softer overtones, a fast attack and an
    exponential decay, so it sounds like a chime and not a beep."""
    attack = int(0.005 * RATE)
    first = int(start * RATE)
    count = int(length * RATE)
    for i in range(count):
        t = i / RATE
        envelope = min(1.0, i / attack) * math.exp(-5.0 * t)
        value = (math.sin(2 * math.pi * frequency * t)
                 + 0.4 * math.sin(2 * math.pi * 2 * frequency * t)
                 + 0.15 * math.sin(2 * math.pi * 3 * frequency * t)) / 1.55
        index = first + i
        if index < len(samples):
            samples[index] += envelope * value


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else "passed.wav"
    total = 0.75
    samples = [0.0] * int(total * RATE)
    strike(880.0, 0.0, 0.6, samples)   # A5
    strike(1318.5, 0.15, 0.6, samples)  # E6
    loudest = max(abs(s) for s in samples)
    # A short fade at the very end, so the file stops without a click.
    fade = int(0.02 * RATE)
    frames = bytearray()
    for i, s in enumerate(samples):
        gain = min(1.0, (len(samples) - i) / fade)
        frames += struct.pack("<h", int(round(s / loudest * PEAK * gain * 32767)))
    with wave.open(output, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(bytes(frames))


if __name__ == "__main__":
    main()
