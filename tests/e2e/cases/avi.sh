# End-to-end cases of AVI sources: 1 s, 176x144, 25 frames/s samples whose
# sound is the 440/660 Hz stereo pair.

# avi_source FILE: the job settings the source page stores for an AVI
# sample, and the length the checks expect.
avi_source() {
  AVI_SRC=$DATA/$1
  AVI_SETS=(--set m_nSourceFormat=512 --set m_nSourceWidth=176 --set m_nSourceHeight=144
            --set m_fDuration=1 --set m_dSourceFrameRate=25)
  SOURCE_SECONDS=1.0
  SOURCE_SOUND=$(seconds_of_sound "$AVI_SRC")
}

# MPEG-4 (DivX tag) with two sound streams to MP4: the first one is taken.
case_avi_mp4() {
  avi_source avi-dx50-mp3-ac3.avi
  local out=$WORK/out.mp4
  run 8 "$AVI_SRC" "$out" "${AVI_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
  expect_streams "$out" "h264 aac"
  expect_video "$out" 176 144 25
  expect_audio "$out" 44100 2 1024
  expect_tones "$out"
  expect_clean_decode "$out"
  expect_likeness "$out" "$AVI_SRC" 30
  # The sample has no frame at 0.04 s: output frame 18 (0.72 s) is the
  # source's 18th picture.
  expect_likeness "$out" "$AVI_SRC" 30 18 17
}

# Xvid with a B picture and PCM to MP4 (MPEG-4 part 2 at 30 frames/s).
case_avi_pcm_mp4() {
  avi_source avi-xvid-pcm.avi
  local out=$WORK/out.mp4
  run 8 "$AVI_SRC" "$out" "${AVI_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nVideoCodec=0 --set m_nFrameRateIndex=0 --set m_nSampleRate=44100
  expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
  expect_streams "$out" "mpeg4 aac"
  expect_video "$out" 176 144 30
  expect_audio "$out" 44100 2 1024
  expect_tones "$out"
  expect_clean_decode "$out"
  expect_likeness "$out" "$AVI_SRC" 28
}

# Motion JPEG and MP3 to MPEG-1.
case_avi_mpeg() {
  avi_source avi-mjpeg-mp3.avi
  local out=$WORK/out.mpg
  run 2 "$AVI_SRC" "$out" "${AVI_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nMpegKind=0 --set m_nMpegRateNum=25 --set m_nMpegRateDen=1
  expect_format "$out" mpeg
  expect_streams "$out" "mpeg1video mp2"
  expect_video "$out" 176 144 25
  expect_audio "$out" 44100 2 1152
  expect_tones "$out"
  expect_clean_decode "$out"
  expect_likeness "$out" "$AVI_SRC" 30
  # The sample has no frame at 0.04 s: output frame 18 (0.72 s) is the
  # source's 18th picture.
  expect_likeness "$out" "$AVI_SRC" 30 18 17
}

# H.264 and AAC to MPEG-2.
case_avi_h264_mpeg() {
  avi_source avi-h264-aac.avi
  local out=$WORK/out.mpg
  run 2 "$AVI_SRC" "$out" "${AVI_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nMpegKind=1 --set m_nMpegRateNum=25 --set m_nMpegRateDen=1
  expect_format "$out" mpeg
  expect_streams "$out" "mpeg2video mp2"
  expect_video "$out" 176 144 25
  expect_audio "$out" 44100 2 1152
  expect_tones "$out"
  expect_clean_decode "$out"
  # No frame at 0.04 s in the sample: output frame 12 (0.48 s) is the
  # source's 12th picture.
  expect_likeness "$out" "$AVI_SRC" 30 12 11
}
