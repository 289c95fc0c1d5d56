#!/usr/bin/env python3
"""Damage for the time-coded sources: one file in, one file out (any file).

  tc-patch.py zero SRC OUT FRACTION BYTES        BYTES zeroed from FRACTION of the file on
  tc-patch.py cut SRC OUT FRACTION               the file cut short at FRACTION
  tc-patch.py dup SRC OUT FRACTION BYTES         BYTES at FRACTION written twice in a row
  tc-patch.py swap SRC OUT FRACTION1 FRACTION2 BYTES
                                                 two stretches of BYTES change places
  tc-patch.py join OUT FILE...                   files joined byte for byte
  tc-patch.py avi-rate SRC OUT STREAM RATE SCALE stream STREAM's dwRate and dwScale
  tc-patch.py avi-frame-time SRC OUT VALUE       the main header's dwMicroSecPerFrame
  tc-patch.py mkv-default-duration SRC OUT TRACK VALUE
                                                 track TRACK's DefaultDuration (ns)
  tc-patch.py mkv-cluster-time SRC OUT INDEX VALUE
                                                 cluster INDEX's timecode
  tc-patch.py mkv-block-time SRC OUT TRACK INDEX VALUE
                                                 the relative time (int16) of block INDEX
                                                 of track TRACK
  tc-patch.py mp4-timescale SRC OUT TRACK VALUE  track TRACK's mdhd time scale
  tc-patch.py mp4-rotate SRC OUT TRACK DEGREES   track TRACK's tkhd matrix turned 90/180/270
  tc-patch.py mp4-duration SRC OUT TRACK VALUE   the movie's and track TRACK's stated
                                                 durations (mvhd, tkhd, mdhd) set to VALUE
  tc-patch.py flv-meta SRC OUT NAME VALUE        the number NAME of the onMetaData tag
                                                 (duration, framerate ...)
  tc-patch.py asf-duration SRC OUT SECONDS       the ASF file properties' play and send
                                                 durations
  tc-patch.py flv-time SRC OUT INDEX VALUE       video tag INDEX's time stamp (ms)
  tc-patch.py ogg-granule SRC OUT SERIAL INDEX VALUE
                                                 page INDEX of the stream's granule position
  tc-patch.py window SRC FROM TO                 the source seconds whose packets lie in
                                                 bytes [FROM, TO) of SRC (ffprobe's view),
                                                 as "damage A B" for a manifest

Tracks and streams count from 0 in file order; values take 0x...; a
fraction is of the file's size. Each damage prints "bytes FROM TO" of what it
changed, for the manifest's damage window.
"""
import json
import struct
import subprocess
import sys


def num(text):
    return int(text, 0) if not any(c in text for c in ".e") or text.startswith("0x") else float(text)


def at_fraction(data, fraction):
    return max(0, min(len(data), int(len(data) * float(fraction))))


# ---- RIFF (AVI) ----

def riff_chunks(data, start, end):
    while start + 8 <= end:
        fourcc, size = data[start:start + 4], struct.unpack("<I", data[start + 4:start + 8])[0]
        yield start, fourcc, size
        start += 8 + size + (size & 1)


def avi_headers(data):
    """Offsets of avih's body and of each strh's body, in file order."""
    avih, strh = None, []

    def walk(start, end):
        nonlocal avih
        for at, fourcc, size in riff_chunks(data, start, end):
            if fourcc in (b"RIFF", b"LIST"):
                if data[at + 8:at + 12] != b"movi":
                    walk(at + 12, min(end, at + 8 + size))
            elif fourcc == b"avih":
                avih = at + 8
            elif fourcc == b"strh":
                strh.append(at + 8)

    walk(0, len(data))
    if avih is None or not strh:
        raise SystemExit("no AVI headers")
    return avih, strh


# ---- EBML (Matroska) ----

def ebml_id(data, at):
    first = data[at]
    width = 1
    while width <= 4 and not first & (0x80 >> (width - 1)):
        width += 1
    return data[at:at + width], at + width


def ebml_size(data, at):
    first = data[at]
    width = 1
    while width <= 8 and not first & (0x80 >> (width - 1)):
        width += 1
    value = first & (0xFF >> width)
    for b in data[at + 1:at + width]:
        value = value << 8 | b
    unknown = value == (1 << (7 * width)) - 1
    return (None if unknown else value), at + width


SEGMENT, CLUSTER, TRACKS, TRACK_ENTRY = b"\x18\x53\x80\x67", b"\x1f\x43\xb6\x75", b"\x16\x54\xae\x6b", b"\xae"
DEFAULT_DURATION, TIMECODE, SIMPLE_BLOCK, BLOCK_GROUP, BLOCK = b"\x23\xe3\x83", b"\xe7", b"\xa3", b"\xa0", b"\xa1"
TRACK_NUMBER = b"\xd7"
MASTERS = {SEGMENT, CLUSTER, TRACKS, TRACK_ENTRY, BLOCK_GROUP}


def ebml_walk(data, start, end, path=()):
    """(id, offset of the body, body size, path) of every element, depth first."""
    while start < end:
        eid, at = ebml_id(data, start)
        size, body = ebml_size(data, at)
        if size is None:
            size = end - body
        yield eid, body, size, path
        if eid in MASTERS:
            yield from ebml_walk(data, body, min(end, body + size), path + (eid,))
        start = body + size


def put_uint(out, body, size, value):
    if value >= 1 << (8 * size):
        raise SystemExit("%d does not fit %d bytes" % (value, size))
    out[body:body + size] = value.to_bytes(size, "big")


def mkv_tracks(data):
    """The track numbers in file order and the DefaultDuration body of each."""
    numbers, durations = [], []
    for eid, body, size, path in ebml_walk(data, 0, len(data)):
        if eid == TRACK_ENTRY:
            numbers.append(None)
            durations.append(None)
        elif path and path[-1] == TRACK_ENTRY and eid == TRACK_NUMBER:
            numbers[-1] = int.from_bytes(data[body:body + size], "big")
        elif path and path[-1] == TRACK_ENTRY and eid == DEFAULT_DURATION:
            durations[-1] = (body, size)
    return numbers, durations


# ---- ISO boxes (MP4) ----

BOX_CONTAINERS = {b"moov", b"trak", b"mdia", b"minf", b"stbl"}


def boxes(data, start, end):
    while start + 8 <= end:
        size, kind = struct.unpack(">I4s", data[start:start + 8])
        head = 8
        if size == 1:
            size, head = struct.unpack(">Q", data[start + 8:start + 16])[0], 16
        elif size == 0:
            size = end - start
        if size < head or start + size > end:
            raise SystemExit("bad box at %d" % start)
        yield start, head, size, kind
        start += size


def mp4_tracks(data):
    """For each trak in file order: {kind: offset of its body} of tkhd and mdhd
    (and mvhd, the movie's, in every entry)."""
    found = []
    for at, head, size, kind in boxes(data, 0, len(data)):
        if kind != b"moov":
            continue
        mvhd = next((c + h for c, h, _, k in boxes(data, at + head, at + size) if k == b"mvhd"), None)
        for tat, thead, tsize, tkind in boxes(data, at + head, at + size):
            if tkind != b"trak":
                continue
            entry = {"mvhd": mvhd}
            for cat, chead, csize, ckind in boxes(data, tat + thead, tat + tsize):
                if ckind == b"tkhd":
                    entry["tkhd"] = cat + chead
                if ckind == b"mdia":
                    for mat, mhead, msize, mkind in boxes(data, cat + chead, cat + csize):
                        if mkind == b"mdhd":
                            entry["mdhd"] = mat + mhead
            found.append(entry)
    if not found:
        raise SystemExit("no tracks")
    return found


# ---- the damages ----

def damage_bytes(first, last):
    print("bytes %d %d" % (first, last))


def patch(what, args):
    if what == "join":
        out = b"".join(open(a, "rb").read() for a in args[1:])
        open(args[0], "wb").write(out)
        return
    src, dst, rest = args[0], args[1], args[2:]
    data = open(src, "rb").read()
    out = bytearray(data)
    if what == "zero":
        at, count = at_fraction(data, rest[0]), int(rest[1])
        out[at:at + count] = bytes(len(out[at:at + count]))
        damage_bytes(at, at + count)
    elif what == "cut":
        at = at_fraction(data, rest[0])
        out = out[:at]
        damage_bytes(at, len(data))
    elif what == "dup":
        at, count = at_fraction(data, rest[0]), int(rest[1])
        out[at:at] = data[at:at + count]
        damage_bytes(at, at + count)
    elif what == "swap":
        a, b, count = at_fraction(data, rest[0]), at_fraction(data, rest[1]), int(rest[2])
        a, b = min(a, b), max(a, b)
        if b - a < count or b + count > len(data):
            raise SystemExit("the stretches overlap or run past the end")
        out[a:a + count], out[b:b + count] = data[b:b + count], data[a:a + count]
        damage_bytes(a, b + count)
    elif what == "avi-rate":
        _, strh = avi_headers(data)
        stream, rate, scale = int(rest[0]), num(rest[1]), num(rest[2])
        struct.pack_into("<II", out, strh[stream] + 20, scale & 0xFFFFFFFF, rate & 0xFFFFFFFF)
    elif what == "avi-frame-time":
        avih, _ = avi_headers(data)
        struct.pack_into("<I", out, avih, num(rest[0]) & 0xFFFFFFFF)
    elif what == "mkv-default-duration":
        _, durations = mkv_tracks(data)
        track, value = int(rest[0]), num(rest[1])
        if track >= len(durations) or durations[track] is None:
            raise SystemExit("track %d has no DefaultDuration" % track)
        put_uint(out, *durations[track], value)
    elif what == "mkv-cluster-time":
        index, value = int(rest[0]), num(rest[1])
        clusters = [(b, s) for e, b, s, p in ebml_walk(data, 0, len(data)) if e == TIMECODE and p and p[-1] == CLUSTER]
        if index >= len(clusters):
            raise SystemExit("the file has %d clusters" % len(clusters))
        put_uint(out, *clusters[index], value)
    elif what == "mkv-block-time":
        numbers, _ = mkv_tracks(data)
        track, index, value = numbers[int(rest[0])], int(rest[1]), num(rest[2])
        blocks = []
        for eid, body, size, path in ebml_walk(data, 0, len(data)):
            if eid == SIMPLE_BLOCK or (eid == BLOCK and path and path[-1] == BLOCK_GROUP):
                tnum, at = ebml_size(data, body)
                if tnum == track:
                    blocks.append(at)
        if index >= len(blocks):
            raise SystemExit("the track has %d blocks" % len(blocks))
        struct.pack_into(">h", out, blocks[index], value)
    elif what == "mp4-timescale":
        tracks = mp4_tracks(data)
        mdhd = tracks[int(rest[0])]["mdhd"]
        struct.pack_into(">I", out, mdhd + (20 if data[mdhd] == 1 else 12), num(rest[1]) & 0xFFFFFFFF)
    elif what == "mp4-rotate":
        tracks = mp4_tracks(data)
        tkhd = tracks[int(rest[0])]["tkhd"]
        matrix_at = tkhd + (52 if data[tkhd] == 1 else 40)
        one, zero = 0x10000, 0
        matrix = {0: (one, zero, zero, one), 90: (zero, one, -one, zero), 180: (-one, zero, zero, -one),
                  270: (zero, -one, one, zero)}[int(rest[1]) % 360]
        a, b, c, d = matrix
        struct.pack_into(">iiiiiiiii", out, matrix_at, a, b, 0, c, d, 0, 0, 0, 0x40000000)
    elif what == "mp4-duration":
        entry, value = mp4_tracks(data)[int(rest[0])], num(rest[1])
        # Where the duration stands in each box, by its version.
        for kind, v0, v1 in (("mvhd", 16, 24), ("tkhd", 20, 28), ("mdhd", 16, 24)):
            at = entry.get(kind)
            if at is None:
                raise SystemExit("no %s" % kind)
            if data[at] == 1:
                struct.pack_into(">Q", out, at + v1, value & (1 << 64) - 1)
            else:
                struct.pack_into(">I", out, at + v0, value & 0xFFFFFFFF)
    elif what == "flv-meta":
        name, value = rest[0].encode(), float(rest[1])
        at = data.find(struct.pack(">H", len(name)) + name + b"\x00")
        if at < 0:
            raise SystemExit("no number %s in the metadata" % rest[0])
        struct.pack_into(">d", out, at + 2 + len(name) + 1, value)
    elif what == "asf-duration":
        guid = bytes.fromhex("a1dcab8c47a9cf118ee400c00c205365")
        at = data.find(guid)
        if at < 0:
            raise SystemExit("no file properties object")
        ticks = int(float(rest[0]) * 10000000)
        struct.pack_into("<QQ", out, at + 64, ticks, ticks)
    elif what == "flv-time":
        index, value = int(rest[0]), num(rest[1])
        at, seen = 9 + 4, 0
        while at + 11 <= len(data):
            kind, size = data[at] & 0x1F, int.from_bytes(data[at + 1:at + 4], "big")
            if kind == 9:
                if seen == index:
                    out[at + 4:at + 7] = (value & 0xFFFFFF).to_bytes(3, "big")
                    out[at + 7] = (value >> 24) & 0xFF
                    break
                seen += 1
            at += 11 + size + 4
        else:
            raise SystemExit("the file has %d video tags" % seen)
    elif what == "ogg-granule":
        serial, index, value = int(rest[0]), int(rest[1]), num(rest[2])
        at, seen, crc_fix = 0, 0, None
        while True:
            at = data.find(b"OggS", at)
            if at < 0:
                raise SystemExit("stream %d has %d pages" % (serial, seen))
            if struct.unpack("<I", data[at + 14:at + 18])[0] == serial or serial < 0:
                if seen == index:
                    struct.pack_into("<q", out, at + 6, value)
                    crc_fix = at
                    break
                seen += 1
            at += 4
        fix_ogg_crc(out, crc_fix)
    else:
        raise SystemExit("no damage '%s'" % what)
    open(dst, "wb").write(out)


def fix_ogg_crc(out, at):
    segments = out[at + 26]
    size = 27 + segments + sum(out[at + 27:at + 27 + segments])
    struct.pack_into("<I", out, at + 22, 0)
    crc = 0
    for b in out[at:at + size]:
        crc ^= b << 24
        for _ in range(8):
            crc = (crc << 1) ^ 0x04C11DB7 if crc & 0x80000000 else crc << 1
        crc &= 0xFFFFFFFF
    struct.pack_into("<I", out, at + 22, crc)


def window(src, first, last):
    """The source seconds of the packets that lie in bytes [first, last)."""
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "packet=pts_time,dts_time,pos,size",
                            "-of", "json", src], capture_output=True, text=True)
    packets = json.loads(probe.stdout or "{}").get("packets", [])
    times = []
    for p in packets:
        t = p.get("pts_time", p.get("dts_time"))
        if t is None or "pos" not in p:
            continue
        pos, size = int(p["pos"]), int(p.get("size", 0))
        if pos < last and pos + size + 4096 > first:
            times.append(float(t))
    start = min((float(p.get("pts_time", p.get("dts_time", 0)) or 0) for p in packets if "pts_time" in p), default=0)
    if not times:
        return None
    return min(times) - start, max(times) - start


def main():
    if len(sys.argv) < 3:
        raise SystemExit(__doc__)
    what = sys.argv[1]
    if what == "window":
        span = window(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
        if span:
            print("%.3f %.3f" % span)
        return
    patch(what, sys.argv[2:])


main()
