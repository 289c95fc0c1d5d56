# Conversions from the MP4 family of sources (MP4, QuickTime, 3GPP), read
# by the system's own MP4 source filter.

# mp4_source SOURCE SECONDS: the settings the source page stores for a
# 176x144, 25 frames/s sample of that length, and its decoded sound.
mp4_source() {
  SOURCE_SETS=(--set m_nSourceFormat=524288 --set m_nSourceWidth=176 --set m_nSourceHeight=144
               --set "m_fDuration=$2" --set m_dSourceFrameRate=25)
  SOURCE_SECONDS=$2
  SOURCE_SOUND=$(seconds_of_sound "$1")
}

case_mp4_to_mp4() {  # type 8 from H.264 + AAC in MP4
  local src=$DATA/mp4-h264-aac.mp4 out=$WORK/out.mp4
  mp4_source "$src" 2
  run 8 "$src" "$out" "${SOURCE_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
  expect_streams "$out" "h264 aac"
  expect_video "$out" 176 144 25
  expect_audio "$out" 44100 2 1024
  expect_tones "$out"
  expect_clean_decode "$out"
  expect_likeness "$out" "$src" 30
  # The edit list takes away the composition delay of the B pictures.
  expect_likeness "$out" "$src" 30 37
}

case_mov_to_mpeg() {  # type 2 from MPEG-4 part 2 + AAC in QuickTime
  local src=$DATA/mov-mpeg4-aac.mov out=$WORK/out.mpg
  mp4_source "$src" 1
  run 2 "$src" "$out" "${SOURCE_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nMpegKind=0 --set m_nMpegRateNum=25 --set m_nMpegRateDen=1
  expect_format "$out" mpeg
  expect_streams "$out" "mpeg1video mp2"
  expect_video "$out" 176 144 25
  expect_audio "$out" 44100 2 1152
  expect_tones "$out"
  expect_clean_decode "$out"
  expect_likeness "$out" "$src" 30
  expect_likeness "$out" "$src" 30 20
}

case_3gp_to_avi() {  # type 0 from H.263 + AMR-NB (mono, 8 kHz) in 3GPP
  local src=$DATA/3gp-h263-amrnb.3gp out=$WORK/out.avi
  mp4_source "$src" 2
  run 0 "$src" "$out" "${SOURCE_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 --set m_dFrameRate=25
  expect_format "$out" avi
  expect_streams "$out" "mpeg4 mp3"
  expect_video "$out" 176 144 25
  expect_audio "$out" 44100 2 1152
  expect_clean_decode "$out"
  expect_likeness "$out" "$src" 25
  expect_likeness "$out" "$src" 25 37
}

case_mp4_text_to_mpeg() {  # type 2 from MP4 with timed text and chapters beside the sound and picture
  local src=$DATA/mp4-text-chapters.mp4 out=$WORK/out.mpg
  mp4_source "$src" 1
  run 2 "$src" "$out" "${SOURCE_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nMpegKind=0 --set m_nMpegRateNum=25 --set m_nMpegRateDen=1
  expect_format "$out" mpeg
  expect_streams "$out" "mpeg1video mp2"
  expect_video "$out" 176 144 25
  expect_audio "$out" 44100 2 1152
  expect_tones "$out"
  expect_clean_decode "$out"
  expect_likeness "$out" "$src" 30
}

case_ima4_sound_to_mp4() {  # QuickTime IMA ADPCM sound, audio only: decoded, its 440 Hz tone kept
  local src=$DATA/mov-ima4.mov out=$WORK/out.mp4
  SOURCE_SOUND=$(seconds_of_sound "$src")
  run 8 "$src" "$out" --set m_nSourceFormat=524288 --set m_fDuration=1 --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  expect_streams "$out" "aac"
  expect_audio "$out" 44100 2 1024
  # The mono sound is spread on two channels, 3 dB lower on each.
  local level want
  level=$(band_level "$out" c0 440)
  want=$(band_level "$src" c0 440)
  echo "$out: 440 Hz at $level dB, the source's at $want dB"
  awk -v l="$level" -v w="$want" 'BEGIN { d = l - (w - 3); exit !(l != "" && w != "" && d > -1.5 && d < 1.5) }' ||
    fail "$out: the 440 Hz tone at $level dB, expected 3 dB below the source's $want dB"
  expect_clean_decode "$out"
}
