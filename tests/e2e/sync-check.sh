#!/bin/bash
# Finds the flashes and beeps of a flash-and-beep file (tests/data/sync*)
# with FFmpeg's signalstats and astats filters and prints one line:
#
#   flashes N beeps M shift_ms S1,S2,... video_s V audio_s A
#
# A flash starts at the first frame whose mean luma passes 128 after a dark
# one; a beep at the first 5 ms window of sound above -30 dB after a quiet
# one. Each beep's shift is its start minus the start of the nearest flash
# (positive: the sound comes late). video_s and audio_s are the streams'
# ends (last frame's time plus a frame, end of the last sound), on the
# decoder's clock, so a stream starting late or early shows in its shift
# and not only in its length.
#
#   sync-check.sh FILE [rebase]
#
# With "rebase" the picture's times count from its first frame, as a player
# shows a picture whose clock runs far from the sound's (a file whose
# picture times start at some absurd value).
set -u
file=$1
rebase=${2:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

ffmpeg -nostdin -v error -i "$file" -filter_complex \
  "[0:v:0]${rebase:+setpts=PTS-STARTPTS,}signalstats,metadata=print:key=lavfi.signalstats.YAVG:file=$tmp/v.txt[v];[0:a:0]aresample=48000,aformat=channel_layouts=mono,asetnsamples=n=240:p=0,astats=metadata=1:reset=1:measure_perchannel=none:measure_overall=RMS_level,ametadata=print:key=lavfi.astats.Overall.RMS_level:file=$tmp/a.txt[a]" \
  -map "[v]" -map "[a]" -f null - || { echo "sync-check: ffmpeg could not read $file" >&2; exit 1; }

# Each file holds "frame:N pts:P pts_time:T" lines, each followed by its
# "key=value" line.
awk -v vfile="$tmp/v.txt" -v afile="$tmp/a.txt" '
  function load(path, times, values,   n, line, f, t) {
    n = 0
    while ((getline line < path) > 0) {
      if (line ~ /pts_time:/) { sub(/.*pts_time:/, "", line); t = line + 0 }
      else if (line ~ /=/) { sub(/.*=/, "", line); times[n] = t; values[n] = line; n++ }
    }
    return n
  }
  function onsets(n, times, values, limit, out,   i, m, on, v) {
    m = 0; on = 0
    for (i = 0; i < n; i++) {
      v = values[i]
      if (v == "-inf" || v == "") v = -1000
      if (v + 0 > limit) { if (!on) out[m++] = times[i]; on = 1 } else on = 0
    }
    return m
  }
  BEGIN {
    nv = load(vfile, vt, vv); na = load(afile, at, av)
    nf = onsets(nv, vt, vv, 128, flash)
    nb = onsets(na, at, av, -30, beep)
    shifts = ""
    for (i = 0; i < nb; i++) {
      best = ""
      for (j = 0; j < nf; j++) {
        d = beep[i] - flash[j]
        if (best == "" || (d < 0 ? -d : d) < (best < 0 ? -best : best)) best = d
      }
      if (best != "") shifts = shifts (shifts == "" ? "" : ",") sprintf("%d", best * 1000 + (best < 0 ? -0.5 : 0.5))
    }
    step = nv > 1 ? vt[nv - 1] - vt[nv - 2] : 0
    vend = nv ? vt[nv - 1] + step : 0
    aend = na ? at[na - 1] + 0.005 : 0
    printf "flashes %d beeps %d shift_ms %s video_s %.3f audio_s %.3f\n", nf, nb, (shifts == "" ? "-" : shifts), vend, aend
  }'
