#!/usr/bin/env python3
"""Damaged times for the end-to-end rows: one file in, one file out.

  time-damage.py stts SRC OUT one INDEX VALUE   the picture track's time-to-sample
                                                table, one entry a sample, with
                                                sample INDEX's delta set to VALUE
  time-damage.py stts SRC OUT all VALUE         every delta of the picture track
                                                set to VALUE
  time-damage.py pes SRC OUT SECONDS VALUE      the presentation (and decoding)
                                                time of the picture packet nearest
                                                SECONDS into the file set to VALUE
                                                (90 kHz ticks); SRC is a transport
                                                stream (188- or 192-byte packets)
                                                or a program stream
  time-damage.py pes-late SRC OUT KIND SECONDS  the last timed packet of KIND (v: picture,
                                                a: sound) stamped SECONDS later
  time-damage.py pes-from SRC OUT KIND INDEX VALUE
                                                every timed packet of KIND from the
                                                INDEX-th on stamped VALUE (90 kHz ticks)
  time-damage.py mkv-late SRC OUT TRACK COUNT MS the last COUNT simple blocks of track
                                                number TRACK timed MS later
  time-damage.py sizes SRC OUT                  a Matroska file whose seek head,
                                                segment information, tracks and
                                                tags state an unknown size

Values are numbers (0x... allowed). The MP4's movie header must follow its
media data (ffmpeg's default), so no chunk offset moves.
"""
import struct
import sys

CONTAINERS = {b"moov", b"trak", b"mdia", b"minf", b"stbl"}


def boxes(data, start, end):
    while start + 8 <= end:
        size, kind = struct.unpack(">I4s", data[start:start + 8])
        if size < 8 or start + size > end:
            raise SystemExit("bad box at %d" % start)
        yield start, size, kind
        start += size


def child(data, at, kind):
    """The first box of that kind inside the box at `at`, or None."""
    size = struct.unpack(">I", data[at:at + 4])[0]
    return next((c for c, _, k in boxes(data, at + 8, at + size) if k == kind), None)


def picture_stts(data):
    """The offsets of moov, trak, mdia, minf, stbl and stts of the picture track."""
    moov = next(a for a, _, k in boxes(data, 0, len(data)) if k == b"moov")
    size = struct.unpack(">I", data[moov:moov + 4])[0]
    for trak, _, kind in boxes(data, moov + 8, moov + size):
        mdia = child(data, trak, b"mdia") if kind == b"trak" else None
        hdlr = child(data, mdia, b"hdlr") if mdia is not None else None
        if hdlr is None or data[hdlr + 16:hdlr + 20] != b"vide":
            continue
        path = [moov, trak, mdia]
        for kind in (b"minf", b"stbl", b"stts"):
            path.append(child(data, path[-1], kind))
            if path[-1] is None:
                raise SystemExit("the picture track has no " + kind.decode())
        return path
    raise SystemExit("no picture track")


def stts(data, mode, args):
    path = picture_stts(data)
    at = path[-1]
    size = struct.unpack(">I", data[at:at + 4])[0]
    count = struct.unpack(">I", data[at + 12:at + 16])[0]
    entries = [struct.unpack(">II", data[at + 16 + 8 * i:at + 24 + 8 * i]) for i in range(count)]
    if mode == "all":
        value = int(args[0], 0) & 0xFFFFFFFF
        entries = [(n, value) for n, _ in entries]
    else:
        index, value = int(args[0], 0), int(args[1], 0) & 0xFFFFFFFF
        deltas = [d for n, d in entries for _ in range(n)]
        if not 0 <= index < len(deltas):
            raise SystemExit("the track has %d samples" % len(deltas))
        deltas[index] = value
        entries = [(1, d) for d in deltas]
    body = data[at + 8:at + 12] + struct.pack(">I", len(entries)) + b"".join(struct.pack(">II", *e) for e in entries)
    grown = 8 + len(body) - size
    mdat = [a for a, _, k in boxes(data, 0, len(data)) if k == b"mdat"]
    if grown and any(a > path[0] for a in mdat):
        raise SystemExit("the movie header comes before the media data")
    out = bytearray(data[:at]) + struct.pack(">I4s", 8 + len(body), b"stts") + body + data[at + size:]
    for parent in path[:-1]:
        struct.pack_into(">I", out, parent, struct.unpack(">I", out[parent:parent + 4])[0] + grown)
    return bytes(out)


def read_time(b):
    return ((b[0] >> 1) & 7) << 30 | b[1] << 22 | (b[2] >> 1) << 15 | b[3] << 7 | b[4] >> 1


def write_time(out, at, value):
    value &= (1 << 33) - 1
    out[at] = (out[at] & 0xF0) | ((value >> 29) & 0x0E) | 1
    out[at + 1] = (value >> 22) & 0xFF
    out[at + 2] = ((value >> 14) & 0xFE) | 1
    out[at + 3] = (value >> 7) & 0xFF
    out[at + 4] = ((value << 1) & 0xFE) | 1


def picture_headers(data, sids=range(0xE0, 0xF0)):
    """(offset of the PES header, its PTS) of each picture (or `sids`) packet with a time."""
    found = []
    step = 192 if len(data) > 4 and data[0] != 0x47 and data[4] == 0x47 else 188
    if data[:1] == b"\x47" or step == 192:
        lead = step - 188
        for p in range(0, len(data) - step + 1, step):
            pkt = p + lead
            if data[pkt] != 0x47 or not data[pkt + 1] & 0x40:
                continue
            at = pkt + 4
            if data[pkt + 3] & 0x20:
                at += 1 + data[pkt + 4]
            if data[at:at + 3] == b"\x00\x00\x01" and data[at + 3] in sids:
                found.append(at)
    else:
        at = data.find(b"\x00\x00\x01")
        while at >= 0:
            sid = data[at + 3] if at + 3 < len(data) else 0
            if sid in sids and data[at + 6] & 0xC0 == 0x80:
                found.append(at)
            at = data.find(b"\x00\x00\x01", at + 4)
    return [(at, read_time(data[at + 9:at + 14])) for at in found if data[at + 7] & 0x80]


def pes(data, args):
    seconds, value = float(args[0]), int(args[1], 0)
    headers = picture_headers(data)
    if not headers:
        raise SystemExit("no picture packet with a time")
    first = min(t for _, t in headers)
    at, _ = min(headers, key=lambda h: abs(h[1] - first - seconds * 90000))
    out = bytearray(data)
    write_time(out, at + 9, value)
    if data[at + 7] & 0x40:
        write_time(out, at + 14, value)
    return bytes(out)


def kind_headers(data, kind):
    sids = range(0xE0, 0xF0) if kind == "v" else [0xBD] + list(range(0xC0, 0xE0))
    headers = picture_headers(data, set(sids))
    if not headers:
        raise SystemExit("no packet of that kind with a time")
    return headers


def restamp(data, headers, value_of):
    out = bytearray(data)
    for at, pts in headers:
        write_time(out, at + 9, value_of(pts))
        if data[at + 7] & 0x40:
            write_time(out, at + 14, value_of(read_time(data[at + 14:at + 19])))
    return bytes(out)


def pes_late(data, args):
    shift = int(float(args[1]) * 90000)
    return restamp(data, kind_headers(data, args[0])[-1:], lambda t: t + shift)


def pes_from(data, args):
    value = int(args[2], 0)
    return restamp(data, kind_headers(data, args[0])[int(args[1]):], lambda t: value)


def ebml_number(data, at):
    width = 1
    while width < 8 and not data[at] & (0x80 >> (width - 1)):
        width += 1
    value = data[at] & (0xFF >> width)
    for b in data[at + 1:at + width]:
        value = value << 8 | b
    return value, width


def mkv_late(data, args):
    track, count, shift = int(args[0]), int(args[1]), int(args[2])
    out = bytearray(data)
    found = []
    cluster = data.find(b"\x1f\x43\xb6\x75")
    while cluster >= 0:
        size, width = ebml_number(data, cluster + 4)
        body = cluster + 4 + width
        at = body
        while at < min(body + size, len(data)):
            first = data[at]
            idw = 1 if first & 0x80 else 2 if first & 0x40 else 3 if first & 0x20 else 4
            length, lw = ebml_number(data, at + idw)
            if first == 0xA3:  # a simple block: track number, then its time
                number, nw = ebml_number(data, at + idw + lw)
                if number == track:
                    found.append(at + idw + lw + nw)
            at += idw + lw + length
        cluster = data.find(b"\x1f\x43\xb6\x75", body + size)
    if len(found) < count:
        raise SystemExit("track %d has %d simple blocks" % (track, len(found)))
    for at in found[-count:]:
        struct.pack_into(">h", out, at, struct.unpack(">h", data[at:at + 2])[0] + shift)
    return bytes(out)


def sizes(data):
    out = bytearray(data)
    for name in (b"\x11\x4d\x9b\x74", b"\x15\x49\xa9\x66", b"\x16\x54\xae\x6b", b"\x12\x54\xc3\x67"):
        at = out.find(name)
        if at < 0:
            raise SystemExit("no element %s" % name.hex())
        at += len(name)
        width = 1
        while width < 8 and not out[at] & (0x80 >> (width - 1)):
            width += 1
        # All value bits set: the size is unknown.
        out[at:at + width] = bytes([(0xFF >> (width - 1))]) + b"\xff" * (width - 1)
    return bytes(out)


def main():
    what, src, dst = sys.argv[1:4]
    data = open(src, "rb").read()
    if what == "stts":
        out = stts(data, sys.argv[4], sys.argv[5:])
    elif what == "pes":
        out = pes(data, sys.argv[4:])
    elif what == "pes-late":
        out = pes_late(data, sys.argv[4:])
    elif what == "pes-from":
        out = pes_from(data, sys.argv[4:])
    elif what == "mkv-late":
        out = mkv_late(data, sys.argv[4:])
    else:
        out = sizes(data)
    open(dst, "wb").write(out)


main()
