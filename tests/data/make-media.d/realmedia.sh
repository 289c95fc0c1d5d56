# RealMedia samples (sourced by make-media.sh). ffmpeg writes RealVideo 1
# and 2, AC-3 as byte-swapped "dnet" and RealAudio 14.4 (as "lpcJ"), all in
# version 4 audio headers and without an index chunk.
run $(video 176x144 2) $(stereo 48000 2) $AV $OUT \
  -c:v rv20 -b:v 200k -g 25 -c:a ac3 -b:a 96k -f rm rm-rv20-ac3.rm
run $(video 176x144 1) $(tone 440 8000 1) $AV $OUT \
  -c:v rv10 -b:v 150k -g 25 -c:a real_144 -ar 8000 -ac 1 -f rm rm-rv10-ra144.rm
