# End-to-end cases of MPEG sources whose picture is no whole number of
# macroblocks (sourced by e2e_case.sh; one function per case).

# make_unaligned_source CODEC: a 2 s, 202x150, 25 frames/s program stream
# (440 Hz left, 660 Hz right) in $UNALIGNED. 202 is neither a multiple of 16
# nor gives RGB24 rows of whole 4-byte words; 150 is no multiple of 16.
make_unaligned_source() {
  UNALIGNED=$WORK/unaligned-$1.mpg
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=202x150:rate=25:duration=2 \
    -f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 \
    -f lavfi -i sine=frequency=660:sample_rate=44100:duration=2 \
    -filter_complex "[1:a][2:a]amerge=inputs=2,volume=4[a]" -map 0:v -map "[a]" \
    -c:v "$1" -g 12 -bf 2 -b:v 1M -c:a mp2 -b:a 192k -f mpeg "$UNALIGNED" || fail "ffmpeg could not make the source"
  SOURCE_SOUND=$(seconds_of_sound "$UNALIGNED")
  UNALIGNED_SETS=(--set m_nSourceFormat=16384 --set m_nSourceWidth=202 --set m_nSourceHeight=150
                  --set m_fDuration=2 --set m_dSourceFrameRate=25)
}

case_mpeg2_unaligned_to_mp4() {  # type 8, H.264 at the source's size
  make_unaligned_source mpeg2video
  local out=$WORK/out.mp4
  run 8 "$UNALIGNED" "$out" "${UNALIGNED_SETS[@]}" --set m_nWidth=202 --set m_nHeight=150 \
    --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
  expect_streams "$out" "h264 aac"
  expect_video "$out" 202 150 25
  expect_audio "$out" 44100 2 1024
  expect_tones "$out"
  expect_clean_decode "$out"
  expect_likeness "$out" "$UNALIGNED" 30
  expect_likeness "$out" "$UNALIGNED" 30 37
}

case_mpeg2_unaligned_to_vcd() {  # type 3, VCD PAL: the picture scaled to 352x288
  make_unaligned_source mpeg2video
  local out=$WORK/out.mpg
  run 3 "$UNALIGNED" "$out" "${UNALIGNED_SETS[@]}" --set m_nMpegKind=2 --set m_nTvStandard=0 \
    --set m_nWidth=352 --set m_nHeight=288 --set m_dFrameRate=25
  expect_streams "$out" "mpeg1video mp2"
  expect_video "$out" 352 288 25
  expect_clean_decode "$out"
  expect_likeness "$out" "$UNALIGNED" 26 37
}

case_mpeg2_unaligned_to_pictures() {  # type 10, one picture a second at the source's size
  make_unaligned_source mpeg2video
  local dir=$WORK/pictures
  mkdir -p "$dir"
  run 10 "$UNALIGNED" "$dir/" "${UNALIGNED_SETS[@]}" --set "m_strPictureFolder=$dir/" --set m_fPictureInterval=1000
  local names
  names=$(cd "$dir" && ls | sort | tr '\n' ' ' | sed 's/ $//')
  [ "$names" = "img_1.jpg img_2.jpg" ] || fail "pictures written: '$names', expected img_1.jpg img_2.jpg"
  [ -f "$dir/img_2.jpg" ] || return
  [ "$(probe "$dir/img_2.jpg" stream=width v:0)x$(probe "$dir/img_2.jpg" stream=height v:0)" = 202x150 ] ||
    fail "img_2.jpg: not 202x150"
  expect_likeness "$dir/img_2.jpg" "$UNALIGNED" 30 0 25
}

case_mpeg1_unaligned_to_mpeg() {  # type 2 from MPEG-1, whose pictures the platform's decoder draws
  make_unaligned_source mpeg1video
  local out=$WORK/out.mpg
  run 2 "$UNALIGNED" "$out" "${UNALIGNED_SETS[@]}" --set m_nWidth=202 --set m_nHeight=150 \
    --set m_nMpegKind=0 --set m_nMpegRateNum=25 --set m_nMpegRateDen=1
  expect_streams "$out" "mpeg1video mp2"
  expect_video "$out" 202 150 25
  expect_tones "$out"
  expect_clean_decode "$out"
  expect_likeness "$out" "$UNALIGNED" 30
  expect_likeness "$out" "$UNALIGNED" 30 37
}

case_odd_height_to_wmv() {  # type 1 at the source's size: a 176x145 picture (RGB from the decoder) becomes 176x144
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=176x145:rate=25:duration=2 \
    -f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 \
    -f lavfi -i sine=frequency=660:sample_rate=44100:duration=2 \
    -filter_complex "[1:a][2:a]amerge=inputs=2,volume=4[a]" -map 0:v -map "[a]" \
    -c:v mpeg4 -vtag XVID -q:v 2 -c:a libmp3lame -b:a 192k -f avi "$WORK/odd.avi" || fail "ffmpeg could not make the source"
  SOURCE_SOUND=$(seconds_of_sound "$WORK/odd.avi")
  local out=$WORK/out.wmv
  run 1 "$WORK/odd.avi" "$out" --set m_nSourceFormat=512 --set m_nSourceWidth=176 --set m_nSourceHeight=145 \
    --set m_fDuration=2 --set m_dSourceFrameRate=25 --set m_nWmProfile=4
  expect_streams "$out" "wmv2 wmav2"
  expect_video "$out" 176 144 25
  expect_audio "$out" 44100 2 2048
  expect_tones "$out"
  expect_clean_decode "$out"
  expect_likeness "$out" "$WORK/odd.avi" 30
  expect_likeness "$out" "$WORK/odd.avi" 30 37
}
