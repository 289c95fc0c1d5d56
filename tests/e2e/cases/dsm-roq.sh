# End-to-end cases of the RoQ and DSM sources (sourced by e2e_case.sh; one
# function per case).

# The DSM writer of the splitter tests, built next to them.
DSM_MUX=$(dirname "$BIN")/../tests/splitters/dsm/dsm-mux

case_roq_to_mp4() {  # type 8 from RoQ: RoQ video (30 frames/s) and DPCM stereo to H.264 and AAC at 25 frames/s
  local src=$DATA/roq-stereo.roq out=$WORK/out.mp4
  SOURCE_SOUND=$(seconds_of_sound "$src")
  run 8 "$src" "$out" --set m_nSourceFormat=2048 --set m_nSourceWidth=96 --set m_nSourceHeight=64 \
    --set m_fDuration=2 --set m_dSourceFrameRate=30 --set m_nWidth=96 --set m_nHeight=64 \
    --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
  expect_streams "$out" "h264 aac"
  expect_video "$out" 96 64 25
  expect_audio "$out" 44100 2 1024
  expect_tones "$out"
  expect_clean_decode "$out"
  expect_likeness "$out" "$src" 28
  # 1.48 s: frame 37 at 25 frames/s, frame 44 of the source.
  expect_likeness "$out" "$src" 28 37 44
}

case_dsm_to_mp4() {  # type 8 from DSM: MPEG-4 part 2 and MP3, put into DSM by the tests' writer
  local video=$DATA/mpeg4-ipp.m4v sound=$DATA/mp3-44100.mp3 src=$WORK/in.dsm out=$WORK/out.mp4
  "$DSM_MUX" "$src" "$video" "$sound" || fail "dsm-mux could not write $src"
  SOURCE_SOUND=$(seconds_of_sound "$sound")
  run 8 "$src" "$out" --set m_nSourceFormat=131072 --set m_nSourceWidth=176 --set m_nSourceHeight=144 \
    --set m_fDuration=2 --set m_dSourceFrameRate=25 --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
  expect_streams "$out" "h264 aac"
  expect_video "$out" 176 144 25
  expect_audio "$out" 44100 2 1024
  expect_tones "$out"
  expect_clean_decode "$out"
  expect_likeness "$out" "$video" 28
  expect_likeness "$out" "$video" 28 37
}
