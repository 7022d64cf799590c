#!/usr/bin/env python3
"""Makes silence.wav, the alarm for an input line that has fallen silent.

It must never be taken for the passed-message chime: where the chime strikes two bright bell
notes rising, this plays two held, lower notes falling (D5 to A4), twice, with the hollow
timbre of odd overtones, about 1.3 s in all. Written like the chime, as plain PCM WAV, 16-bit
mono at 44.1 kHz with no chunks beyond "fmt " and "data".

    python3 make-silence.py [output.wav]
"""

import math
import struct
import sys
import wave

RATE = 44100
PEAK = 0.6  # of full scale, as the chime


def tone(frequency, start, length, samples):
    """Adds one held note: a fundamental with softer odd overtones, a short attack and release,
    so it sounds steady like a signal horn rather than struck like a bell."""
    ramp = int(0.015 * RATE)
    first = int(start * RATE)
    count = int(length * RATE)
    for i in range(count):
        t = i / RATE
        envelope = min(1.0, i / ramp, (count - i) / ramp)
        value = (math.sin(2 * math.pi * frequency * t)
                 + 0.33 * math.sin(2 * math.pi * 3 * frequency * t)
                 + 0.2 * math.sin(2 * math.pi * 5 * frequency * t)) / 1.53
        index = first + i
        if index < len(samples):
            samples[index] += envelope * value


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else "silence.wav"
    total = 1.3
    samples = [0.0] * int(total * RATE)
    for start in (0.0, 0.7):
        tone(587.3, start, 0.25, samples)         # D5
        tone(440.0, start + 0.3, 0.25, samples)   # A4
    loudest = max(abs(s) for s in samples)
    frames = bytearray()
    for s in samples:
        frames += struct.pack("<h", int(round(s / loudest * PEAK * 32767)))
    with wave.open(output, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(bytes(frames))


if __name__ == "__main__":
    main()
