# End-to-end cases of MPEG audio in modes libmad refuses (sourced by
# e2e_case.sh; one function per case).

case_mono_224k_audio() {  # type 8 from a VCD-style file whose MP2 is mono at 224 kbit/s
  local src=$DATA/mpeg1-mono-224k.mpg out=$WORK/out.mp4
  SOURCE_SOUND=$(seconds_of_sound "$src")
  run 8 "$src" "$out" "${SOURCE_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100 --set m_nChannels=1
  expect_streams "$out" "h264 aac"
  expect_audio "$out" 44100 1 1024
  # The tone itself at the source's level, not a stretch of silence of the
  # right length.
  local level want
  level=$(band_level "$out" c0 440)
  want=$(band_level "$src" c0 440)
  echo "$out: 440 Hz at $level dB, source $want dB"
  awk -v l="$level" -v w="$want" 'BEGIN { exit !(l != "" && w != "" && l - w < 3 && w - l < 3) }' ||
    fail "$out: 440 Hz at '$level' dB, expected the source's '$want' dB within 3 dB"
  expect_clean_decode "$out"
}
