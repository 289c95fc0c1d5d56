# End-to-end cases of sources that used to be delivered only in part: the
# whole sound (and picture) of each comes out.

# sound_job TYPE SOURCE TARGET FORMAT_BIT: an audio-only job to AAC in MP4.
sound_job() {
  run "$1" "$2" "$3" --set m_nSourceFormat="$4" --set m_fDuration=1 --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  expect_streams "$3" "aac"
  expect_audio "$3" 44100 2 1024
  expect_tones "$3"
  expect_clean_decode "$3"
}

case_mov_twos_size1_to_mp4() {  # QuickTime 16-bit big-endian stereo counted in frames of size 1: all 2 s
  SOURCE_SOUND=$(seconds_of_sound "$DATA/mov-twos-size1.mov")
  sound_job 8 "$DATA/mov-twos-size1.mov" "$WORK/out.mp4" 524288
}

case_mov_sowt_size1_to_mp4() {  # the same with little-endian samples
  SOURCE_SOUND=$(seconds_of_sound "$DATA/mov-sowt-size1.mov")
  sound_job 8 "$DATA/mov-sowt-size1.mov" "$WORK/out.mp4" 524288
}

case_avi_idx1_without_sound_to_mpeg() {  # AVI whose idx1 lists no sound chunk: the sound is found in the movi list
  local src=$WORK/unlisted.avi out=$WORK/out.mpg at
  # The idx1 entries of stream 1 are renamed to a stream the file lacks.
  at=$(grep -obUa idx1 "$DATA/avi-mjpeg-mp3.avi" | tail -n 1 | cut -d: -f1)
  [ -n "$at" ] || fail "no idx1 in the sample"
  { head -c "$at" "$DATA/avi-mjpeg-mp3.avi"; tail -c +$((at + 1)) "$DATA/avi-mjpeg-mp3.avi" | LC_ALL=C sed 's/01wb/09wb/g'; } >"$src"
  cmp -s "$src" "$DATA/avi-mjpeg-mp3.avi" && fail "the index was not changed"
  SOURCE_SOUND=$(seconds_of_sound "$DATA/avi-mjpeg-mp3.avi")
  SOURCE_SECONDS=1.0
  run 2 "$src" "$out" --set m_nSourceFormat=512 --set m_nSourceWidth=176 --set m_nSourceHeight=144 \
    --set m_fDuration=1 --set m_dSourceFrameRate=25 --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nMpegKind=0 --set m_nMpegRateNum=25 --set m_nMpegRateDen=1
  expect_streams "$out" "mpeg1video mp2"
  expect_video "$out" 176 144 25
  expect_audio "$out" 44100 2 1152
  expect_tones "$out"
  expect_clean_decode "$out"
}

case_paced_stream_to_mp4() {  # ICY stream sent at 4 times its rate, converted faster: no sound lost at rebuffers or the end
  local src=$DATA/mp3-44100-8s.mp3 out=$WORK/out.mp4 port server got
  start_icy_server "$src" 64 8192 "Artist - Song" 32000
  SOURCE_SOUND=$(seconds_of_sound "$src")
  sound_job 8 "http://127.0.0.1:$port/stream" "$out" 128
  kill "$server" 2>/dev/null
  wait "$server" 2>/dev/null
  # A lost stretch shows: the encoder's padding only adds to the length.
  got=$(seconds_of_sound "$out")
  awk -v g="$got" -v w="$SOURCE_SOUND" 'BEGIN { exit !(g >= w - 0.01) }' ||
    fail "$out: $got s of sound, the stream had $SOURCE_SOUND s"
}
