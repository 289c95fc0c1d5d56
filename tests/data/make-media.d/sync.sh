# Flash-and-beep samples of the picture/sound timing cases (sourced by
# make-media.sh): 3 s of black 160x120 picture with a white flash and a
# 1 kHz beep of 120 ms starting together at 0, 1 and 2 s. The flashes fall on
# whole seconds, where the frames of every target rate begin, so a faithful
# conversion keeps each beep on its flash.

# flash RATE: the picture at RATE frames/s
flash() {
  echo "-f lavfi -i color=c=black:size=160x120:rate=$1:duration=3,drawbox=c=white:t=fill:enable=lt(mod(t\,1)\,0.12),format=yuv420p"
}
# beep RATE [LATE]: the sound at RATE Hz, stereo; with LATE the track starts
# LATE seconds after the picture (what comes before is not in the file)
beep() {
  echo "${2:+-itsoffset $2} -f lavfi -i aevalsrc=0.5*sin(2*PI*1000*t)*lt(mod(t\,1)\,0.12):c=stereo:s=$1:d=3${2:+,atrim=start=$2}"
}

# MPEG-2 + MP2 program stream whose sound starts 0.4 s after the picture.
run $(flash 25) $(beep 48000 0.4) $AV $OUT \
  -c:v mpeg2video -b:v 200k -g 12 -bf 2 -c:a mp2 -b:a 96k -f mpeg sync-ps-late.mpg
# DVD-style VOB: MPEG-2 + AC-3.
run $(flash 25) $(beep 48000) $AV $OUT \
  -c:v mpeg2video -b:v 200k -g 12 -bf 2 -c:a ac3 -b:a 96k -f vob sync.vob
# Transport stream: H.264 at 50 frames/s + AAC.
run $(flash 50) $(beep 48000) $AV $OUT \
  -c:v libx264 -preset veryfast -g 50 -c:a aac -b:a 64k -f mpegts sync-h264-50.ts
# AVI: MPEG-4 part 2 with B-frames + MP3.
run $(flash 25) $(beep 44100) $AV $OUT \
  -c:v mpeg4 -vtag XVID -b:v 150k -g 25 -bf 1 -c:a libmp3lame -b:a 64k -f avi sync-bframes.avi
# MP4: H.264 with B-frames as ffmpeg writes it by default (an edit list takes
# away the composition delay) + AAC.
run $(flash 25) $(beep 48000) $AV $OUT \
  -c:v libx264 -preset veryfast -g 25 -c:a aac -b:a 64k -f mp4 sync-edit.mp4
# MP4 whose sound starts 0.25 s after the picture (an empty edit in front).
run $(flash 25) $(beep 48000 0.25) $AV $OUT \
  -c:v libx264 -preset veryfast -g 25 -bf 0 -c:a aac -b:a 64k -f mp4 sync-late.mp4
# QuickTime: MPEG-4 part 2 + AAC at 29.97 frames/s.
run $(flash 30000/1001) $(beep 44100) $AV $OUT \
  -c:v mpeg4 -b:v 150k -g 30 -c:a aac -b:a 64k -f mov sync.mov
# Matroska: H.264 + Vorbis at 24 frames/s.
run $(flash 24) $(beep 48000) $AV $OUT \
  -c:v libx264 -preset veryfast -g 24 -c:a libvorbis -q:a 1 -f matroska sync.mkv
# FLV: Sorenson H.263 + MP3.
run $(flash 25) $(beep 44100) $AV $OUT \
  -c:v flv -b:v 150k -c:a libmp3lame -b:a 64k -f flv sync.flv
# Windows Media: WMV2 + WMA2.
run $(flash 25) $(beep 44100) $AV $OUT \
  -c:v wmv2 -b:v 150k -c:a wmav2 -b:a 64k -f asf sync.wmv
# RealMedia: RealVideo 2 + AC-3.
run $(flash 25) $(beep 48000) $AV $OUT \
  -c:v rv20 -b:v 150k -g 25 -c:a ac3 -b:a 96k -f rm sync.rm
