# RealMedia sources (sourced by e2e_case.sh).

# type 8 from RealVideo 2 and byte-swapped AC-3 ("dnet"): H.264 and AAC
case_rm_rv20_ac3_mp4() {
  local src=$DATA/rm-rv20-ac3.rm out=$WORK/out.mp4
  SOURCE_SOUND=$(seconds_of_sound "$src")
  run 8 "$src" "$out" --set m_nSourceFormat=256 --set m_nSourceWidth=176 --set m_nSourceHeight=144 \
    --set m_fDuration=2 --set m_dSourceFrameRate=25 --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=48000
  expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
  expect_streams "$out" "h264 aac"
  expect_video "$out" 176 144 25
  expect_audio "$out" 48000 2 1024
  expect_tones "$out"
  expect_clean_decode "$out"
  expect_likeness "$out" "$src" 28
  expect_likeness "$out" "$src" 28 37
}
