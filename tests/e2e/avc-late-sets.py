#!/usr/bin/env python3
"""Writes an MPEG transport stream whose H.264 parameter sets do not lie in
one transport packet: the SEI unit first (as some encoders write it), then a
filler unit sized so that the sequence and picture parameter sets run across
a packet's end.

    avc-late-sets.py RAW_H264 SOUND OUT_TS

RAW_H264 is an Annex B stream that begins with its parameter sets and SEI (as
the x264 tool writes it); SOUND is any file with a sound stream. ffmpeg muxes
the two; the filler's size is tried until the layout is the one wanted.
Exits 1 when no size gives it.
"""
import os
import re
import subprocess
import sys


def units(data):
    """The NAL units of an Annex B stream, each with its start code."""
    starts = [m.start() for m in re.finditer(b"\x00\x00\x01", data)]
    out = []
    for n, k in enumerate(starts):
        begin = k - 1 if k > 0 and data[k - 1] == 0 else k
        if n + 1 < len(starts):
            nxt = starts[n + 1]
            end = nxt - 1 if data[nxt - 1] == 0 else nxt
        else:
            end = len(data)
        out.append(data[begin:end])
    return out


def kind(unit):
    return unit[unit.index(b"\x00\x00\x01") + 3] & 0x1F


def video_payload(ts):
    """The payload bytes of the first PID that carries a video PES packet,
    and the payload offsets at which its transport packets begin."""
    pid_of_video = None
    payload, starts = bytearray(), []
    for i in range(0, len(ts) - 187, 188):
        p = ts[i:i + 188]
        pid = ((p[1] & 0x1F) << 8) | p[2]
        field = (p[3] >> 4) & 3
        offset = 4 + (1 + p[4] if field & 2 else 0)
        if not field & 1 or offset >= 188:
            continue
        body = p[offset:]
        if pid_of_video is None and p[1] & 0x40 and body[:4] == b"\x00\x00\x01\xe0":
            pid_of_video = pid
        if pid == pid_of_video:
            starts.append(len(payload))
            payload += body
    return bytes(payload), starts


def sets_split(ts):
    payload, starts = video_payload(ts)
    sps = payload.find(b"\x00\x00\x00\x01\x67")
    pps = payload.find(b"\x00\x00\x00\x01\x68", sps + 1)
    if sps < 0 or pps < 0:
        return False
    # The sequence parameter set itself (from its type byte to its last
    # byte) runs across a packet's end.
    packet = lambda pos: max(n for n, s in enumerate(starts) if s <= pos)
    return packet(sps + 4) != packet(pps - 1)


def main():
    raw, sound, out = sys.argv[1:4]
    parts = units(open(raw, "rb").read())
    sets = [u for u in parts[:4] if kind(u) in (7, 8)]
    sei = [u for u in parts[:4] if kind(u) == 6]
    rest = [u for u in parts if u not in sets and u not in sei]
    if len(sets) != 2 or not sei:
        sys.exit("the stream does not begin with its parameter sets and SEI")
    for size in range(0, 400, 3):
        filler = b"\x00\x00\x00\x01\x0c" + b"\xff" * size + b"\x80"
        stream = out + ".264"
        with open(stream, "wb") as f:
            f.write(b"".join(sei + [filler] + sets + rest))
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "h264", "-r", "25", "-i", stream,
                        "-i", sound, "-map", "0:v", "-map", "1:a", "-c:v", "copy", "-c:a", "mp2",
                        "-f", "mpegts", out], check=True)
        os.remove(stream)
        if sets_split(open(out, "rb").read()):
            return
    sys.exit("no filler size puts the parameter sets across a packet's end")


if __name__ == "__main__":
    main()
