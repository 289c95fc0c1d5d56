# End-to-end cases of jobs that a user stops, of sources that change their
# picture size, and of a job that must fail with its reason. Sourced by
# e2e_case.sh.

# run_job TYPE SOURCE TARGET [pellomar-e2e arguments...]: runs the job
# whatever its outcome; its output is in $WORK/run.log.
run_job() {
  local type=$1 source=$2 target=$3
  shift 3
  echo "+ pellomar-e2e --type $type --source $source --target $target $*"
  "$BIN" --type "$type" --source "$source" --target "$target" --timeout 120 "$@" >"$WORK/run.log" 2>&1
  cat "$WORK/run.log"
  no_sanitizer_report
}

# A 40 s source, long enough that a job is surely still running when it is
# stopped.
make_long_source() {
  LONG=$WORK/long.mpg
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=176x144:rate=25:duration=40 \
    -f lavfi -i sine=frequency=440:sample_rate=44100:duration=40 \
    -c:v mpeg2video -g 12 -b:v 400k -c:a mp2 -b:a 128k -f mpeg "$LONG" || fail "ffmpeg could not make the source"
}

# stop_job TYPE TARGET WRITTEN [pellomar-e2e arguments...]: runs the job on
# the long source and stops it once WRITTEN bytes (pictures for type 10)
# are written; the stop must end the job within a second and leave no
# thread of its graph behind.
stop_job() {
  local type=$1 target=$2 written=$3
  shift 3
  make_long_source
  run_job "$type" "$LONG" "$target" --stop-after "$written" --set m_nSourceFormat=16384 \
    --set m_nSourceWidth=176 --set m_nSourceHeight=144 --set m_fDuration=40 --set m_dSourceFrameRate=25 "$@"
  local line took before running after
  line=$(grep "^stopped after" "$WORK/run.log")
  [ -n "$line" ] || { fail "the job ended before it could be stopped"; return; }
  took=$(echo "$line" | sed -n 's/.* after \([0-9]*\) ms;.*/\1/p')
  before=$(echo "$line" | sed -n 's/.*threads before \([0-9]*\),.*/\1/p')
  running=$(echo "$line" | sed -n 's/.*running \([0-9]*\),.*/\1/p')
  after=$(echo "$line" | sed -n 's/.*after \([0-9]*\)$/\1/p')
  # ThreadSanitizer slows every step of the stop (closing the output
  # included) several times over.
  local bound=1000
  [ -n "${TSAN_OPTIONS:-}" ] && bound=5000
  [ "$took" -le "$bound" ] || fail "the stop took $took ms, more than $bound"
  [ "$running" -gt "$before" ] || fail "no graph thread was seen while the job ran"
  [ "$after" -le "$before" ] || fail "$((after - before)) thread(s) of the graph outlived the stop"
  grep -qx "job result: failed" "$WORK/run.log" || fail "a stopped job must not count as done"
}

# expect_partial FILE CODEC: the output of a stopped job is readable: it
# has its video stream, some of its pictures and decodes without a fault.
expect_partial() {
  local frames
  [ "$(probe "$1" stream=codec_name v:0)" = "$2" ] || fail "$1: no $2 video stream"
  frames=$(ffmpeg -nostdin -v error -i "$1" -map 0:v:0 -f framemd5 - 2>/dev/null | grep -vc '^#')
  [ "$frames" -gt 0 ] && [ "$frames" -lt 1000 ] || fail "$1: $frames pictures, expected part of the 1000"
  expect_clean_decode "$1"
}

case_stop_mpeg() {  # type 2
  local out=$WORK/out.mpg
  stop_job 2 "$out" 200000 --set m_nWidth=176 --set m_nHeight=144 --set m_nMpegKind=0 \
    --set m_nMpegRateNum=25 --set m_nMpegRateDen=1
  expect_partial "$out" mpeg1video
}

case_stop_vcd() {  # type 3
  local out=$WORK/out.mpg
  stop_job 3 "$out" 200000 --set m_nMpegKind=2 --set m_nTvStandard=0
  expect_partial "$out" mpeg1video
}

case_stop_mp4() {  # type 8
  local out=$WORK/out.mp4
  stop_job 8 "$out" 200000 --set m_nWidth=176 --set m_nHeight=144 --set m_nVideoCodec=2 \
    --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  expect_partial "$out" h264
}

case_stop_wmv() {  # type 1
  local out=$WORK/out.wmv
  stop_job 1 "$out" 200000 --set m_nWmProfile=4
  expect_partial "$out" wmv2
}

case_stop_pictures() {  # type 10
  local dir=$WORK/pictures
  mkdir -p "$dir"
  stop_job 10 "$dir/" 3 --set "m_strPictureFolder=$dir/" --set m_fPictureInterval=500
  local count
  count=$(ls "$dir" | wc -l)
  [ "$count" -ge 3 ] && [ "$count" -lt 80 ] || fail "$count pictures, expected part of the 80"
  for f in "$dir"/img_*.jpg; do expect_clean_decode "$f"; done
}

# Two clips of different picture sizes joined: the job follows the change
# and writes every picture at the job's size, each like its source picture.
make_joined_source() {
  local size
  for size in 176x144 320x240; do
    ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=$size:rate=25:duration=1 \
      -f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 \
      -c:v mpeg2video -g 12 -b:v 800k -c:a mp2 -b:a 128k -f mpeg "$WORK/part-$size.mpg" ||
      fail "ffmpeg could not make a part"
  done
  printf "file '%s'\nfile '%s'\n" "$WORK/part-176x144.mpg" "$WORK/part-320x240.mpg" >"$WORK/parts.txt"
  JOINED=$WORK/joined.mpg
  ffmpeg -nostdin -v error -y -f concat -safe 0 -i "$WORK/parts.txt" -c copy -f mpeg "$JOINED" ||
    fail "ffmpeg could not join the parts"
}

case_size_change_mpeg() {  # type 2
  make_joined_source
  local out=$WORK/out.mpg
  run 2 "$JOINED" "$out" "${SOURCE_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nMpegKind=0 --set m_nMpegRateNum=25 --set m_nMpegRateDen=1
  expect_video "$out" 176 144 25
  expect_clean_decode "$out"
  expect_likeness "$out" "$WORK/part-176x144.mpg" 30 10 10
  expect_likeness "$out" "$WORK/part-320x240.mpg" 30 37 12
}

case_size_change_mp4() {  # type 8, H.264 at 320x240 from both sizes, stretched (no bars)
  make_joined_source
  local out=$WORK/out.mp4
  run 8 "$JOINED" "$out" "${SOURCE_SETS[@]}" --set m_nWidth=320 --set m_nHeight=240 --set m_bResize=0 \
    --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  expect_video "$out" 320 240 25
  expect_clean_decode "$out"
  expect_likeness "$out" "$WORK/part-176x144.mpg" 28 10 10
  expect_likeness "$out" "$WORK/part-320x240.mpg" 30 37 12
}

# A damaged sequence header in the middle says 192 pixels wide instead of
# 176: the job follows it (and back at the next header) and ends.
case_size_change_damaged() {
  local src=$WORK/damaged.mpg out=$WORK/out.mpg
  cp "$AC3" "$src"
  printf '\x0c' | dd of="$src" bs=1 seek=102098 conv=notrunc 2>/dev/null
  run 2 "$src" "$out" "${SOURCE_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nMpegKind=0 --set m_nMpegRateNum=25 --set m_nMpegRateDen=1
  expect_video "$out" 176 144 25
}

# A target that cannot be opened: the engine's own text reaches the log.
case_target_cannot_be_opened() {
  run_job 2 "$MP2" /proc/pellomar-e2e-out.mpg "${SOURCE_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144
  grep -qx "job result: failed" "$WORK/run.log" || fail "the job did not end failed"
  grep -qF "/proc/pellomar-e2e-out.mpg" "$WORK/run.log" || fail "the log does not name the target"
  # The job's text ends its line: the result follows on a line of its own.
  grep -q ".job result:" "$WORK/run.log" && fail "the job's text is not ended by a line break"
}

# Failures say what is true on this system. A stream no decoder of the
# program reads is named, with a note that no codec package adds one; a job
# that fails in a stage gets no codec note at all; a target of pictures says
# so of a source without a picture (the PSP's muxer would only say that it
# could not write a header).
case_failures_name_their_true_cause() {
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=176x144:rate=25:duration=2 \
    -f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 -c:v mpeg2video -c:a flac "$WORK/flac.mkv" &&
    ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 -c:a mp2 -f mpeg \
      "$WORK/sound.mpg" || fail "ffmpeg could not make the sources"
  # type|source|its format bit|target|the log says|and says
  local -a rows=(
    "8|$WORK/flac.mkv|64|out.mp4|The sound stream of the source (FLAC) could not be decoded| Pellomar decodes with its own decoders, and none of them reads FLAC; no codec package adds one]"
    "5|$DATA/avi-xvid-pcm.avi|512|out.3gp|Error while opening codec|"
    "6|$WORK/sound.mpg|16384|psp.mp4|A PSP movie needs a picture, and the source has none: it holds no video stream]|"
    "3|$WORK/sound.mpg|16384|vcd.mpg|A VCD needs a picture, and the source has none: it holds no video stream]|"
  )
  local row type src format out says also
  for row in "${rows[@]}"; do
    IFS='|' read -r type src format out says also <<<"$row"
    run_job "$type" "$src" "$WORK/$out" --set m_nSourceFormat="$format" --set m_fDuration=2 --set m_nWidth=320 --set m_nHeight=240 --set m_nVideoCodec=1 \
      --set m_nProfile=$([ "$type" = 6 ] && echo 2 || echo 0) --set m_nMpegKind=2 --set m_nSampleRate=8000 \
      --set m_nChannels=1 --set m_nAudioBitrate=12 --set m_nVideoBitrate=64 --set m_fThumbTime=1
    expect_failed_with "$says"
    [ -z "$also" ] || expect_failed_with "$also"
    ! grep -qi "ffdshow\|incorrect codec" "$WORK/run.log" || fail "$out: the log names a package or a header: $(grep -i "ffdshow\|incorrect codec" "$WORK/run.log")"
    [ ! -e "$WORK/$out" ] || fail "$out was written"
  done
}
