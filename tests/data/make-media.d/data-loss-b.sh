# Samples of sources that were delivered only in part (sourced by
# make-media.sh).

# patch32 FILE ATOM AT VALUE: writes the big-endian 32-bit VALUE AT bytes
# after the type of the first ATOM in FILE.
patch32() {
  local at
  at=$(grep -obUa "$2" "$1" | head -n 1 | cut -d: -f1)
  [ -n "$at" ] || { echo "$0: no $2 in $1" >&2; exit 1; }
  printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $(($4 >> 24 & 255)) $(($4 >> 16 & 255)) $(($4 >> 8 & 255)) $(($4 & 255)))" |
    dd of="$1" bs=1 seek=$((at + 4 + $3)) conv=notrunc status=none
}

# QuickTime version-0 sound as older QuickTime writes it: the stsz counts
# single sound frames with a sample size of 1 (ffmpeg writes the frame size).
for kind in twos:pcm_s16be sowt:pcm_s16le; do
  run $(stereo 8000 2) $OUT -c:a "${kind#*:}" -f mov "mov-${kind%%:*}-size1.mov"
  patch32 "mov-${kind%%:*}-size1.mov" stsz 4 1
done

# Constant-rate MP3 of 8 s for the network stream source (served at a pace).
run $(stereo 44100 8) $OUT -c:a libmp3lame -b:a 64k -write_xing 0 mp3-44100-8s.mp3
