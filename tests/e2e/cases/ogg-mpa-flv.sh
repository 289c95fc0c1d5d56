# End-to-end cases of the Ogg, MPEG audio and FLV sources (sourced by
# e2e_case.sh; one function per case).

# The OGM writer of the splitter tests, built next to them.
OGM_MUX=$(dirname "$BIN")/../tests/splitters/ogg/ogm-mux

# mp4_from FORMAT SOURCE PICTURES [FRAME [FIRST]]: type 8 of a 2 s, 176x144,
# 25 frames/s source of that SourceFormat bit to H.264 and AAC, checked
# against the source's pictures and sound; output frame 37 is compared with
# the source's frame FRAME (37), and output frame FIRST (0) with the source's
# first.
mp4_from() {
  local format=$1 src=$2 pictures=$3 frame=${4:-37} first=${5:-0} out=$WORK/out.mp4
  run 8 "$src" "$out" --set m_nSourceFormat="$format" --set m_nSourceWidth=176 --set m_nSourceHeight=144 \
    --set m_fDuration=2 --set m_dSourceFrameRate=25 --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
  expect_streams "$out" "h264 aac"
  expect_video "$out" 176 144 25
  expect_audio "$out" 44100 2 1024
  expect_tones "$out"
  expect_clean_decode "$out"
  expect_likeness "$out" "$pictures" 28 "$first" 0
  expect_likeness "$out" "$pictures" 28 37 "$frame"
}

case_flv_to_mp4() {  # type 8 from FLV: Sorenson H.263 and MP3 to H.264 and AAC
  local src=$DATA/flv-flv1-mp3.flv
  SOURCE_SOUND=$(seconds_of_sound "$src")
  # Its pictures start at 0.025 s, after the sound: output frame 0 has no
  # picture yet (the first is nearer to frame 1), frame 37 (1.48 s) shows
  # the source's of 1.465 s.
  mp4_from 1048576 "$src" "$src" 36 1
  local luma
  luma=$(ffmpeg -nostdin -v error -i "$WORK/out.mp4" -vf "trim=end_frame=1,signalstats,metadata=print:key=lavfi.signalstats.YAVG:file=-" \
    -f null - | sed -n 's/.*YAVG=//p' | head -n 1)
  awk -v y="$luma" 'BEGIN { exit !(y != "" && y + 0 <= 20) }' || fail "out.mp4: frame 0 has luma '$luma', expected black"
}

case_ogm_to_mp4() {  # type 8 from OGM: MPEG-4 video and Vorbis, wrapped by the tests' page writer
  local video=$DATA/mpeg4-ipp.m4v src=$WORK/in.ogm
  "$OGM_MUX" "$video" "$DATA/vorbis.ogg" 176 144 "$src" || fail "ogm-mux could not write $src"
  SOURCE_SOUND=$(seconds_of_sound "$DATA/vorbis.ogg")
  mp4_from 4096 "$src" "$video"
}

case_mp3_to_mp4() {  # type 8 from an MP3 file: no video, so the target holds the sound alone
  local src=$DATA/mp3-44100.mp3 out=$WORK/out.mp4
  SOURCE_SOUND=$(seconds_of_sound "$src")
  run 8 "$src" "$out" --set m_nSourceFormat=65536 --set m_fDuration=2 --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
  expect_streams "$out" "aac"
  expect_audio "$out" 44100 2 1024
  expect_tones "$out"
  expect_clean_decode "$out"
}

case_vorbis_to_pictures() {  # type 10 from Ogg Vorbis: pictures need video, the job fails and says so
  local dir=$WORK/pictures
  mkdir -p "$dir"
  "$BIN" --type 10 --source "$DATA/vorbis.ogg" --target "$dir/" --timeout 60 --set m_nSourceFormat=4096 \
    --set "m_strPictureFolder=$dir/" --set m_fPictureInterval=1000 >"$WORK/run.log" 2>&1
  local rc=$?
  cat "$WORK/run.log"
  [ $rc -ne 0 ] || fail "pellomar-e2e exited 0 for pictures of a sound file"
  grep -qx "job result: failed" "$WORK/run.log" || fail "no 'job result: failed' for pictures of a sound file"
  grep -qF -- "-- [Still pictures are taken from the source's video, and the source has none" "$WORK/run.log" ||
    fail "the run log does not say that the source has no video"
  [ -z "$(ls -A "$dir")" ] || fail "pictures were written: $(ls "$dir")"
  no_sanitizer_report
}
