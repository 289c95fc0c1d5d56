#!/usr/bin/python3
# Reads the sound of a target made from a source whose every second s holds
# a tone of 300 + 100 x s Hz, and checks that each tone it finds stands in
# the second it belongs to: a second of the source is in its place or
# missing, never moved and never there twice. Prints a line per second of
# the target (the tones heard in it, "-" for none) and the faults; exits 1
# on a fault.
#   tone-seconds.py TARGET [SECONDS]
# SECONDS: the source's length (default 10); tones of later seconds are
# faults too. A tone heard less than half a second after its second is
# named but passes: what a decoder still held when a gap began comes out
# after it (the sound's sync is checked by rows of its own).
import math
import struct
import subprocess
import sys

RATE = 8000
WINDOW = RATE // 10  # 100 ms


def tones(path):
    raw = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:a:0", "-ac", "1", "-ar",
                          str(RATE), "-f", "s16le", "-"], capture_output=True, check=False).stdout
    n = len(raw) // 2
    samples = struct.unpack("<%dh" % n, raw[:2 * n])
    found = []
    for w in range(n // WINDOW):
        seg = samples[w * WINDOW:(w + 1) * WINDOW]
        if sum(x * x for x in seg) < 1e4 * WINDOW:
            found.append(None)
            continue
        powers = []
        for k in range(40):
            c = 2 * math.cos(2 * math.pi * (300 + 100 * k) / RATE)
            a = b = 0.0
            for x in seg:
                a, b = x + c * a - b, a
            powers.append(a * a + b * b - c * a * b)
        # A window of one clear tone; one of several, or of noise (a decoder
        # starting again after a gap), tells no second.
        ranked = sorted(powers, reverse=True)
        found.append(powers.index(ranked[0]) if ranked[0] > 5 * ranked[1] else None)
    return found


def main():
    path = sys.argv[1]
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    found = tones(path)
    faults, notes = [], []
    for w, k in enumerate(found):
        if k is None:
            continue
        t = w / 10.0
        # A window that straddles a second's start may hold either tone.
        if k == int(t) or (abs(t - round(t)) < 0.15 and k == round(t) - 1):
            continue
        if k < t < k + 1.5:
            notes.append("the tone of second %d late, at %.1f s" % (k, t))
        else:
            faults.append("the tone of second %d at %.1f s" % (k, t))
        if k >= seconds:
            faults.append("a tone past the source's end at %.1f s" % t)
    for s in range(0, (len(found) + 9) // 10):
        heard = sorted({k for k in found[s * 10:s * 10 + 10] if k is not None})
        print("%3d s: %s" % (s, " ".join(map(str, heard)) or "-"))
    for n in notes[:10]:
        print("note:", n)
    for f in faults[:10]:
        print("fault:", f)
    return 1 if faults else 0


sys.exit(main())
