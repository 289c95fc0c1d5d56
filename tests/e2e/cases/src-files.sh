# End-to-end cases of the raw DTS/AC-3, FLIC and network stream sources
# (sourced by e2e_case.sh; one function per case).

# The FLIC writer and the loopback ICY server of the source tests.
FLIC_WRITE=$(dirname "$BIN")/../tests/sources/flic/flic-write
ICY_SERVE=$(dirname "$BIN")/../tests/sources/shoutcast/icy-serve

# start_icy_server FILE KBITS METAINT TITLE [BYTES_PER_SECOND]: the loopback
# stream server in the background; sets server (its pid) and port.
start_icy_server() {
  "$ICY_SERVE" "$@" >"$WORK/port" &
  server=$!
  for _ in $(seq 100); do
    port=$(head -n 1 "$WORK/port" 2>/dev/null)
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || fail "the stream server did not start"
}

# audio_only_job TYPE SOURCE TARGET FORMAT_BIT [--set ...]: a job from a
# source without pictures.
audio_only_job() {
  local type=$1 src=$2 out=$3 format=$4
  shift 4
  run "$type" "$src" "$out" --set m_nSourceFormat="$format" --set m_fDuration=1 --set m_nWidth=176 \
    --set m_nHeight=144 "$@"
}

case_ac3_to_mp4() {  # type 8 from raw AC-3 (48 kHz stereo) to AAC
  local src=$DATA/ac3-2.0-48000.ac3 out=$WORK/out.mp4
  SOURCE_SOUND=$(seconds_of_sound "$src")
  audio_only_job 8 "$src" "$out" 32 --set m_nVideoCodec=2 --set m_nSampleRate=48000
  expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
  expect_streams "$out" "aac"
  expect_audio "$out" 48000 2 1024
  expect_tones "$out"
  expect_clean_decode "$out"
}

case_swapped_ac3_to_mpeg() {  # type 2 from byte-swapped raw AC-3 (44.1 kHz) to MPEG-1 audio
  local src=$WORK/swapped.ac3 out=$WORK/out.mpg
  dd if="$DATA/ac3-2.0-44100.ac3" of="$src" conv=swab status=none || fail "could not swap the sample"
  SOURCE_SOUND=$(seconds_of_sound "$DATA/ac3-2.0-44100.ac3")
  audio_only_job 2 "$src" "$out" 32 --set m_nMpegKind=0 --set m_nMpegRateNum=25 --set m_nMpegRateDen=1
  expect_format "$out" mpeg
  expect_streams "$out" "mp2"
  expect_audio "$out" 44100 2 1152
  expect_tones "$out"
  expect_clean_decode "$out"
}

case_dts_to_mpeg() {  # type 2 from raw DTS 5.1 to MPEG-1 audio
  local src=$DATA/dts-5.1-48000.dts out=$WORK/out.mpg
  SOURCE_SOUND=$(seconds_of_sound "$src")
  audio_only_job 2 "$src" "$out" 32 --set m_nMpegKind=0 --set m_nMpegRateNum=25 --set m_nMpegRateDen=1
  expect_format "$out" mpeg
  expect_streams "$out" "mp2"
  expect_audio "$out" 44100 2 1152
  expect_clean_decode "$out"
}

case_flic_to_mp4() {  # type 8 from an FLC animation (160x120, 10 frames/s, 2 s) to H.264
  local raw=$WORK/frames.pal8 src=$WORK/anim.flc out=$WORK/out.mp4
  ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=160x120:rate=10:duration=2 \
    -vf "split[a][b];[a]palettegen=stats_mode=single[p];[b][p]paletteuse=new=1" \
    -f rawvideo -pix_fmt pal8 "$raw" || fail "ffmpeg could not make the frames"
  "$FLIC_WRITE" "$raw" 160 120 100 "$src" || fail "flic-write could not write $src"
  run 8 "$src" "$out" --set m_nSourceFormat=8 --set m_nSourceWidth=160 --set m_nSourceHeight=120 \
    --set m_fDuration=2 --set m_dSourceFrameRate=10 --set m_nWidth=160 --set m_nHeight=120 \
    --set m_nVideoCodec=2 --set m_nFrameRateIndex=1
  expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
  expect_streams "$out" "h264 aac"  # the sound track is silence: the source has none
  expect_video "$out" 160 120 25
  expect_clean_decode "$out"
  expect_likeness "$out" "$src" 30 0 0
  expect_likeness "$out" "$src" 30 25 10
}

case_stream_to_mp4() {  # type 8 from a loopback ICY stream (2 s of MP3, metadata every 8192 bytes) to AAC
  local out=$WORK/out.mp4 port server
  start_icy_server "$DATA/mp3-44100.mp3" 128 8192 "Artist - Song"
  SOURCE_SOUND=$(seconds_of_sound "$DATA/mp3-44100.mp3")
  audio_only_job 8 "http://127.0.0.1:$port/stream" "$out" 128 --set m_nVideoCodec=2 --set m_nSampleRate=44100
  kill "$server" 2>/dev/null
  wait "$server" 2>/dev/null
  expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
  expect_streams "$out" "aac"
  expect_audio "$out" 44100 2 1024
  expect_tones "$out"
  expect_clean_decode "$out"
}
