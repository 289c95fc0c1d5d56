#!/usr/bin/env python3
"""avc-late-sets.py RAW_H264 SOUND OUT_TS: an MPEG transport stream (ffmpeg's
muxer) of the Annex B stream RAW_H264 (parameter sets, then SEI, as the x264
tool writes it) with SOUND, its SEI unit first and a filler unit sized so
that the sequence parameter set runs across a transport packet's end."""
import os
import re
import subprocess
import sys


def sps_split(ts):
    # The payload of the PID whose first packet starts a video PES packet,
    # and where each of its packets begins in it.
    video, payload, starts = None, bytearray(), []
    for i in range(0, len(ts) - 187, 188):
        p = ts[i:i + 188]
        pid, field = ((p[1] & 0x1F) << 8) | p[2], (p[3] >> 4) & 3
        body = p[4 + (1 + p[4] if field & 2 else 0):]
        if video is None and p[1] & 0x40 and body[:4] == b"\x00\x00\x01\xe0":
            video = pid
        if pid == video and field & 1:
            starts.append(len(payload))
            payload += body
    sps = payload.find(b"\x00\x00\x00\x01\x67")
    pps = payload.find(b"\x00\x00\x00\x01\x68", sps + 1)
    packet = lambda pos: max(n for n, s in enumerate(starts) if s <= pos)
    return sps >= 0 and pps > sps and packet(sps + 4) != packet(pps - 1)


raw, sound, out = sys.argv[1:4]
# The units with their start codes: SPS, PPS, SEI, then the pictures.
data = open(raw, "rb").read()
starts = [m.start() for m in re.finditer(b"\x00?\x00\x00\x01", data)]
units = [data[a:b] for a, b in zip(starts, starts[1:] + [len(data)])]
if [u[u.index(b"\x00\x00\x01") + 3] & 0x1F for u in units[:3]] != [7, 8, 6]:
    sys.exit("the stream does not begin with its parameter sets and SEI")
for size in range(0, 400, 3):
    filler = b"\x00\x00\x00\x01\x0c" + b"\xff" * size + b"\x80"
    with open(out + ".264", "wb") as f:
        f.write(b"".join([units[2], filler, units[0], units[1]] + units[3:]))
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "h264", "-r", "25", "-i", out + ".264",
                    "-i", sound, "-map", "0:v", "-map", "1:a", "-c:v", "copy", "-c:a", "mp2", "-f", "mpegts", out],
                   check=True)
    os.remove(out + ".264")
    if sps_split(open(out, "rb").read()):
        sys.exit(0)
sys.exit("no filler size puts the sequence parameter set across a packet's end")
