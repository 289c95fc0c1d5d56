# Every picture a player shows is kept, at the shape a player shows it:
# H.264 coded in several slices a picture, container headers whose picture
# size differs from the stream's, and pixels that are not square. The
# sources are made here with x264, HandBrake and small patches of our own.
# Sourced by e2e_case.sh.

# flash_source OUT: 4 s of dark 320x240 picture at 25 frames/s with two
# white frames at the start of every second, and a beep with each flash.
flash_source() {
  local video=$WORK/flash-video.mkv
  ffmpeg -nostdin -v error -y -f lavfi \
    -i "color=c=black:size=320x240:rate=25:duration=4,drawbox=c=white:t=fill:enable=lt(mod(t\,1)\,0.08),format=yuv420p" \
    -f yuv4mpegpipe - | x264 --quiet --slices 4 --demuxer y4m -o "$video" - 2>/dev/null ||
    fail "x264 could not write $video"
  ffmpeg -nostdin -v error -y -i "$video" \
    -f lavfi -i "aevalsrc=0.5*sin(2*PI*1000*t)*lt(mod(t\,1)\,0.12):c=stereo:s=48000:d=4" \
    -map 0:v -map 1:a -c:v copy -c:a aac -b:a 64k "$1" || fail "ffmpeg could not write $1"
}

# bright_frames FILE: how many pictures are mostly white.
bright_frames() {
  ffmpeg -nostdin -v error -i "$1" -map 0:v:0 -vf "signalstats,metadata=print:key=lavfi.signalstats.YAVG:file=-" \
    -f null - 2>/dev/null | awk -F= '/YAVG/ && $2 + 0 > 128 { n++ } END { print n + 0 }'
}

# slices_row EXT FORMAT: the flash source in that container to MP4 at its
# own rate, twice: every white frame and beep in place, the same pictures
# on both runs.
slices_row() {
  local src=$WORK/slices.$1 out want got wrong
  flash_source "$src"
  want=$(bright_frames "$src")
  [ "$want" = 8 ] || fail "$src: $want white frames made, expected 8"
  for out in "$WORK/first.mp4" "$WORK/second.mp4"; do
    run 8 "$src" "$out" --set m_nSourceFormat="$2" --set m_nSourceWidth=320 --set m_nSourceHeight=240 \
      --set m_fDuration=4 --set m_dSourceFrameRate=25 --set m_nWidth=320 --set m_nHeight=240 \
      --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=48000
    got=$(bright_frames "$out")
    [ "$got" = "$want" ] || fail "$out: $got white frames, the source has $want"
    wrong=$(sync_within "$("$SYNC_CHECK" "$out")" "$("$SYNC_CHECK" "$src")")
    [ -z "$wrong" ] || fail "$out: $wrong"
  done
  ! grep -q "damaged" "$WORK/run.log" || fail "a sound source was reported damaged"
  same_output "$WORK/first.mp4" "$WORK/second.mp4" || fail "$src: the second run wrote other pictures"
}

case_slices_mkv() { slices_row mkv 64; }
case_slices_mp4() { slices_row mp4 524288; }
case_slices_ts() { slices_row ts 16384; }

# A single white frame each second at 23.976 frames/s into 3GP at 14.985:
# the output picture of 0.2 s is nearest the white frame of 0.209 s (the
# frame before it, of 0.167 s, is dark), so every flash is shown.
case_nearest_3gp() {
  local src=$WORK/nearest.mkv out=$WORK/nearest.3gp got
  ffmpeg -nostdin -v error -y -f lavfi \
    -i "color=c=black:size=160x120:rate=24000/1001:duration=10,drawbox=c=white:t=fill:enable=eq(mod(n\,24)\,5),format=yuv420p" \
    -f lavfi -i "sine=f=440:d=10" -c:v libx264 -preset veryfast -c:a libvorbis "$src" ||
    fail "ffmpeg could not write $src"
  run 5 "$src" "$out" --set m_nSourceFormat=64 --set m_nSourceWidth=160 --set m_nSourceHeight=120 \
    --set m_fDuration=10 --set m_dSourceFrameRate=23.976 --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nVideoCodec=1 --set m_nFrameRateIndex=3 --set m_nVideoBitrate=64 --set m_nSampleRate=8000 \
    --set m_nAudioBitrate=12 --set m_nChannels=1 --set m_nAudioCodec=0 --set m_nProfile=0
  got=$(bright_frames "$out")
  [ "$got" = 10 ] || fail "$out: $got of the source's 10 white frames shown"
}

HEADER_SIZE=$(dirname "$0")/header-size.sh

# header_row NAME FORMAT TYPE TARGET CODEC [ffmpeg options...]: 2 s of 320x240
# picture and sound written by ffmpeg into NAME, whose headers then say
# 320x256 (as VLC writes them), converted: the pictures keep their own size
# and are not stretched, and the run log says so once.
header_row() {
  local name=$1 format=$2 type=$3 target=$4 size
  shift 4
  local src=$WORK/$name out=$WORK/$name-out.$target
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=25:duration=2 -f lavfi -i "sine=f=440:d=2" \
    "$@" "$WORK/whole-$name" || fail "ffmpeg could not write $name"
  cp "$WORK/whole-$name" "$src"
  "$HEADER_SIZE" "$src" 320 256 || fail "could not patch $src"
  size=$(probe "$src" stream=width v:0)x$(probe "$src" stream=height v:0)
  echo "$src: ffprobe reads ${size}"
  local sets=(--set m_nSourceFormat="$format" --set m_nSourceWidth=320 --set m_nSourceHeight=240
              --set m_fDuration=2 --set m_dSourceFrameRate=25)
  if [ "$target" = wmv ]; then
    run 1 "$src" "$out" "${sets[@]}" --set m_nWmProfile=4  # the source's size
  else
    run 8 "$src" "$out" "${sets[@]}" --set m_nWidth=320 --set m_nHeight=240 --set m_nVideoCodec=2 \
      --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  fi
  size=$(probe "$out" stream=width v:0)x$(probe "$out" stream=height v:0)
  [ "$size" = 320x240 ] || fail "$out: pictures of $size, the stream's are 320x240"
  expect_likeness "$out" "$WORK/whole-$name" 30
  [ "$(grep -c "pictures are 320x240 while the file's header says 320x256" "$WORK/run.log")" = 1 ] ||
    fail "$name: the run log does not say once that the stream's size differs from the header's"
  ! grep -q "damaged" "$WORK/run.log" || fail "$name: the pictures were taken as damaged"
}

case_header_size_asf() {
  header_row wmv2.wmv 2097152 wmv wmv -c:v wmv2 -b:v 800k -c:a wmav2 -b:a 64k
}

case_header_size_avi() {
  # MPEG-4 keeps its size in the set-up data, as VLC writes it.
  header_row mpeg4.avi 512 wmv wmv -c:v mpeg4 -vtag XVID -flags +global_header -b:v 800k -c:a libmp3lame -b:a 64k
  # WMV2 has none: its pictures say it.
  header_row wmv2.avi 512 mp4 mp4 -c:v wmv2 -b:v 800k -c:a libmp3lame -b:a 64k
}

# square_shape FILE: width to height of the white square of the first
# second's last picture as a player shows it (its pixel shape applied).
square_shape() {
  local box sar
  box=$(ffmpeg -nostdin -v info -i "$1" -map 0:v:0 -vf "cropdetect=round=1:skip=0" -frames:v 12 -f null - 2>&1 |
    sed -n 's/.* x1:\([0-9]*\) x2:\([0-9]*\) y1:\([0-9]*\) y2:\([0-9]*\) .*/\1 \2 \3 \4/p' | tail -n 1)
  sar=$(probe "$1" stream=sample_aspect_ratio v:0)
  awk -v b="$box" -v s="$sar" 'BEGIN { split(b, e, " "); n = split(s, r, ":")
      x = (n == 2 && r[1] > 0 && r[2] > 0) ? r[1] / r[2] : 1
      if (e[4] > e[3]) printf "%.4f", (e[2] - e[1] + 1) * x / (e[4] - e[3] + 1) }'
}

# aspect_row SOURCE FORMAT WIDTH HEIGHT TYPE OUT [--set ...]: the square
# of an anamorphic source keeps its shape within 3 % in the target.
aspect_row() {
  local src=$1 format=$2 width=$3 height=$4 type=$5 out=$6 shape
  shift 6
  shape=$(square_shape "$src")
  awk -v s="$shape" 'BEGIN { exit !(s > 0.97 && s < 1.03) }' || fail "$src: its own square is $shape wide to high"
  run "$type" "$src" "$out" --set m_nSourceFormat="$format" --set m_nSourceWidth="$width" \
    --set m_nSourceHeight="$height" --set m_fDuration=2 --set m_dSourceFrameRate=25 "$@"
  shape=$(square_shape "$out")
  echo "$out: $(probe "$out" stream=width v:0)x$(probe "$out" stream=height v:0)," \
    "pixels $(probe "$out" stream=sample_aspect_ratio v:0), the square $shape wide to high"
  awk -v s="$shape" 'BEGIN { exit !(s > 0.97 && s < 1.03) }' || fail "$out: the square is $shape wide to high"
}

# HandBrake's "Fast 480p30" of a 5:4 picture: 720x480 with pixels of 5:6,
# and with --width 640: 640x480 with pixels of 15:16. Into MP4 at 320x240
# with the job's bars.
case_aspect_handbrake() {
  local src=$WORK/square.mp4
  ffmpeg -nostdin -v error -y -f lavfi \
    -i "color=c=black:size=1000x800:rate=25:duration=2,drawbox=x=250:y=150:w=500:h=500:c=white:t=fill" \
    -f lavfi -i "sine=f=440:d=2" -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac "$src" ||
    fail "ffmpeg could not write $src"
  HandBrakeCLI -i "$src" -o "$WORK/hb.mp4" --preset "Fast 480p30" >/dev/null 2>&1 || fail "HandBrakeCLI failed"
  HandBrakeCLI -i "$src" -o "$WORK/hb640.mp4" --preset "Fast 480p30" --width 640 >/dev/null 2>&1 ||
    fail "HandBrakeCLI failed"
  aspect_row "$WORK/hb.mp4" 524288 720 480 8 "$WORK/hb-320.mp4" --set m_nWidth=320 --set m_nHeight=240 \
    --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  # Windows Media at the source's size, and at a profile's 320x240 (no bars
  # there: the pixels take the shape that shows the picture as it was).
  aspect_row "$WORK/hb640.mp4" 524288 640 480 1 "$WORK/hb640.wmv" --set m_nWmProfile=4
  aspect_row "$WORK/hb.mp4" 524288 720 480 1 "$WORK/hb-320.wmv" --set m_nWmProfile=1
}

# x264 with a pixel shape of 5:6: in the stream alone (a transport stream
# by ffmpeg's libx264), and in Matroska's display size as well (x264's own
# writer).
case_aspect_x264_sar() {
  local picture="color=c=black:size=720x480:rate=25:duration=2,drawbox=x=210:y=115:w=300:h=250:c=white:t=fill"
  ffmpeg -nostdin -v error -y -f lavfi -i "$picture,format=yuv420p" -f yuv4mpegpipe - |
    x264 --quiet --sar 5:6 --demuxer y4m -o "$WORK/sar.mkv" - 2>/dev/null || fail "x264 failed"
  ffmpeg -nostdin -v error -y -i "$WORK/sar.mkv" -f lavfi -i "sine=f=440:d=2" -map 0:v -map 1:a -c:v copy \
    -c:a aac "$WORK/sar-av.mkv" || fail "ffmpeg could not write sar-av.mkv"
  ffmpeg -nostdin -v error -y -f lavfi -i "$picture,setsar=5/6" -f lavfi -i "sine=f=440:d=2" -c:v libx264 \
    -preset veryfast -pix_fmt yuv420p -c:a aac "$WORK/sar-av.ts" || fail "ffmpeg could not write sar-av.ts"
  aspect_row "$WORK/sar-av.ts" 16384 720 480 0 "$WORK/sar.avi" --set m_nWidth=320 --set m_nHeight=240 \
    --set m_dFrameRate=25
  aspect_row "$WORK/sar-av.mkv" 64 720 480 8 "$WORK/sar-own.mp4" --set m_nWidth=720 --set m_nHeight=480 \
    --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
}
