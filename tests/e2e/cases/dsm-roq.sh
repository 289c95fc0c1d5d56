# End-to-end cases of the RoQ and DSM sources (sourced by e2e_case.sh; one
# function per case).

# The DSM writer of the splitter tests, built next to them.
DSM_MUX=$(dirname "$BIN")/../tests/splitters/dsm/dsm-mux

# to_mp4 SOURCE FORMAT WIDTH HEIGHT RATE PICTURES FRAME: type 8 of a 2 s
# source of that SourceFormat bit to H.264 and AAC at 25 frames/s, checked
# against the pictures and the sound of the source; output frame 37 is
# compared with the source's frame FRAME.
to_mp4() {
  local src=$1 format=$2 width=$3 height=$4 rate=$5 pictures=$6 frame=$7 out=$WORK/out.mp4
  run 8 "$src" "$out" --set m_nSourceFormat="$format" --set m_nSourceWidth="$width" \
    --set m_nSourceHeight="$height" --set m_fDuration=2 --set m_dSourceFrameRate="$rate" \
    --set m_nWidth="$width" --set m_nHeight="$height" --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 \
    --set m_nSampleRate=44100
  expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
  expect_streams "$out" "h264 aac"
  expect_video "$out" "$width" "$height" 25
  expect_audio "$out" 44100 2 1024
  expect_tones "$out"
  expect_clean_decode "$out"
  expect_likeness "$out" "$pictures" 28
  expect_likeness "$out" "$pictures" 28 37 "$frame"
}

case_roq_to_mp4() {  # type 8 from RoQ: RoQ video at 30 frames/s and DPCM stereo
  local src=$DATA/roq-stereo.roq
  SOURCE_SOUND=$(seconds_of_sound "$src")
  # 1.48 s is frame 44 at 30 frames/s.
  to_mp4 "$src" 2048 96 64 30 "$src" 44
}

case_dsm_to_mp4() {  # type 8 from DSM: MPEG-4 part 2 and MP3, put into DSM by the tests' writer
  local video=$DATA/mpeg4-ipp.m4v sound=$DATA/mp3-44100.mp3 src=$WORK/in.dsm
  "$DSM_MUX" "$src" "$video" "$sound" || fail "dsm-mux could not write $src"
  SOURCE_SOUND=$(seconds_of_sound "$sound")
  to_mp4 "$src" 131072 176 144 25 "$video" 37
}
