#!/usr/bin/python3
# Damages the index of an AVI file or the sample tables of an MP4 file in one
# place, as a bad writer or a flipped bit leaves them:
#   index-damage.py SOURCE TARGET KIND [TRACK]
# AVI (idx1), the entry of the picture in the middle: other (points at the
# picture chunk three later), sound (at the sound chunk after it), past
# (beyond the file's end), shift (100 bytes on).
# MP4 (stco of the TRACK-th track, 0 the first), the chunk in the middle:
# shift (1000 bytes on), zero, past (beyond the file's end), other (the
# offset of the chunk three later); stsc0: the first sample-to-chunk entry
# names chunk 0.
import struct
import sys

src, out, kind = sys.argv[1:4]
track = int(sys.argv[4]) if len(sys.argv) > 4 else 0
d = bytearray(open(src, "rb").read())


def put32(pos, value, big):
    d[pos:pos + 4] = struct.pack(">I" if big else "<I", value)


def get32(pos, big):
    return struct.unpack(">I" if big else "<I", d[pos:pos + 4])[0]


if d[:4] == b"RIFF":
    i = d.find(b"idx1")
    n = get32(i + 4, False) // 16
    entry = lambda k: i + 8 + 16 * k
    pictures = [k for k in range(n) if d[entry(k) + 2:entry(k) + 4] == b"dc"]
    k = pictures[len(pictures) // 2]
    if kind == "other":
        d[entry(k) + 8:entry(k) + 12] = d[entry(pictures[len(pictures) // 2 + 3]) + 8:][:4]
    elif kind == "sound":
        a = next(j for j in range(k, n) if d[entry(j) + 2:entry(j) + 4] == b"wb")
        d[entry(k) + 8:entry(k) + 12] = d[entry(a) + 8:][:4]
    elif kind == "past":
        put32(entry(k) + 8, len(d) + 100, False)
    elif kind == "shift":
        put32(entry(k) + 8, get32(entry(k) + 8, False) + 100, False)
else:
    tables = []

    def walk(off, end):
        while off + 8 <= end:
            size, typ = get32(off, True), bytes(d[off + 4:off + 8])
            if size < 8:
                break
            if typ in (b"moov", b"trak", b"mdia", b"minf", b"stbl"):
                walk(off + 8, off + size)
            if typ in (b"stco", b"stsc"):
                tables.append((typ, off))
            off += size

    walk(0, len(d))
    stco = [off for typ, off in tables if typ == b"stco"][track]
    stsc = [off for typ, off in tables if typ == b"stsc"][track]
    n = get32(stco + 12, True)
    entry = lambda k: stco + 16 + 4 * k
    k = n // 2
    if kind == "shift":
        put32(entry(k), get32(entry(k), True) + 1000, True)
    elif kind == "zero":
        put32(entry(k), 0, True)
    elif kind == "past":
        put32(entry(k), len(d) + 5000, True)
    elif kind == "other":
        put32(entry(k), get32(entry(k + 3), True), True)
    elif kind == "stsc0":
        put32(stsc + 16, 0, True)
open(out, "wb").write(d)
