# End-to-end cases of D2V projects. The projects are written at run time for
# the closed-GOP MPEG-2 samples by the test tool built beside the tests.

# d2v_project PROJECT [writer options] FILE...
d2v_project() {
  local tool
  tool=$(dirname "$BIN")/../tests/sources/d2v/d2v-make-project
  [ -x "$tool" ] || { fail "no project writer at $tool"; return 1; }
  "$tool" "$@" || fail "the project writer failed for $*"
}

# d2v_source WIDTH HEIGHT FRAMES: the job settings the source page stores for
# a project at 25 frames/s, and the length the checks expect (the last two
# pictures of a project never become frames).
d2v_source() {
  SOURCE_SECONDS=$(awk -v f="$3" 'BEGIN { printf "%.2f", f / 25 }')
  D2V_SETS=(--set m_nSourceFormat=16 --set m_nSourceWidth="$1" --set m_nSourceHeight="$2"
            --set m_fDuration="$SOURCE_SECONDS" --set m_dSourceFrameRate=25)
}

# An elementary stream to H.264 in MP4. A project has no sound; the muxer
# writes silence beside the video.
case_d2v_mp4() {
  local project=$WORK/cgop.d2v out=$WORK/out.mp4
  d2v_project "$project" --idct 2 "$DATA/d2v-cgop.m2v"
  d2v_source 176 144 48
  run 8 "$project" "$out" "${D2V_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
  expect_streams "$out" "h264 aac"
  expect_video "$out" 176 144 25
  expect_clean_decode "$out"
  expect_likeness "$out" "$DATA/d2v-cgop.m2v" 30
  expect_likeness "$out" "$DATA/d2v-cgop.m2v" 30 33
}

# Interlaced video from a program stream (its sound is not part of a
# project), to MPEG-4 part 2 at half the size.
case_d2v_vob_mp4() {
  local project=$WORK/interlaced.d2v out=$WORK/out.mp4
  d2v_project "$project" --ps --idct 1 "$DATA/d2v-cgop-interlaced.vob"
  d2v_source 352 288 23
  run 8 "$project" "$out" "${D2V_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nVideoCodec=0 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
  expect_streams "$out" "mpeg4 aac"
  expect_video "$out" 176 144 25
  expect_clean_decode "$out"
  expect_likeness "$out" "$DATA/d2v-cgop-interlaced.vob" 26 10
}

# Interlaced 4:2:2 video to Xvid-tagged MPEG-4 in AVI at the job's size,
# which is not the source's.
case_d2v_422_avi() {
  local project=$WORK/422.d2v out=$WORK/out.avi
  d2v_project "$project" --idct 2 "$DATA/d2v-422-interlaced.m2v"
  d2v_source 176 160 23
  run 0 "$project" "$out" "${D2V_SETS[@]}" --set m_nWidth=352 --set m_nHeight=320 --set m_dFrameRate=25
  expect_format "$out" avi
  expect_video "$out" 352 320 25
  expect_clean_decode "$out"
  expect_likeness "$out" "$DATA/d2v-422-interlaced.m2v" 30
  expect_likeness "$out" "$DATA/d2v-422-interlaced.m2v" 30 20
}
