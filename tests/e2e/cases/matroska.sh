# Conversions from Matroska sources (sourced by e2e_case.sh).

# The settings the source page stores after probing the 2 s, 176x144,
# 25 frames/s Matroska samples.
MKV_SOURCE_SETS=(--set m_nSourceFormat=64 --set m_nSourceWidth=176 --set m_nSourceHeight=144
                 --set m_fDuration=2 --set m_dSourceFrameRate=25)

# mkv_to_mp4 SOURCE VIDEO_CODEC VIDEO_NAME: type 8 at the source's size and
# 25 frames/s, AAC at 44.1 kHz.
mkv_to_mp4() {
  local src=$DATA/$1 out=$WORK/out.mp4
  # The tones last 2 s; what a decoder makes of the codec's priming and
  # padding around them differs from one decoder to another.
  SOURCE_SOUND=2.0
  run 8 "$src" "$out" "${MKV_SOURCE_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nVideoCodec="$2" --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
  expect_streams "$out" "$3 aac"
  expect_video "$out" 176 144 25
  expect_audio "$out" 44100 2 1024
  expect_tones "$out"
  expect_clean_decode "$out"
  expect_likeness "$out" "$src" 30
  expect_likeness "$out" "$src" 30 37
}

case_mkv_h264_aac_mp4() { mkv_to_mp4 mkv-h264-aac.mkv 2 h264; }

case_mkv_mpeg4_vorbis_mp4() { mkv_to_mp4 mkv-mpeg4-vorbis.mkv 0 mpeg4; }
