# End-to-end cases of the bit rates the encoders keep: every target once,
# from a 10 s, 320x240, 25 frames/s source in which every picture moves
# (over a 2 s clip a rate control can miss its rate by any amount unseen).
# Rates are measured on the output with ffprobe: the bytes of a stream's
# packets over its length. Video must land within 15% (the encoders keep
# 5% here; a rate control that lets the output run away ends 20-90% above),
# constant-rate sound within 5%.

BITRATE_SRC=$DATA/mp4-h264-aac-320x240-10s.mp4
BITRATE_SETS=(--set m_nSourceFormat=524288 --set m_nSourceWidth=320 --set m_nSourceHeight=240
              --set m_fDuration=10 --set m_dSourceFrameRate=25)

# packet_bits FILE SELECT: the bits in every packet of one stream.
packet_bits() {
  ffprobe -v error -select_streams "$2" -show_entries packet=size -of csv=p=0 "$1" |
    awk '{ n += $1 } END { printf "%d", n * 8 }'
}

# expect_kbps FILE WHAT KBPS SECONDS WANT PERCENT: a measured rate lies
# within PERCENT of the WANT kbit/s the job asked for.
expect_kbps() {
  echo "$1: $2 at $3 kbit/s over $4 s, asked for $5 kbit/s (within $6%)"
  awk -v got="$3" -v want="$5" -v p="$6" 'BEGIN { exit !(got >= want * (1 - p / 100) && got <= want * (1 + p / 100)) }' ||
    fail "$1: $2 at $3 kbit/s, more than $6% away from the $5 kbit/s asked for"
}

# expect_video_kbps FILE RATE WANT: the video stream over its pictures' length
# at the output's frame rate, within 15%.
expect_video_kbps() {
  local frames seconds
  frames=$(ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 "$1" | wc -l)
  seconds=$(awk -v f="$frames" -v r="$2" 'BEGIN { printf "%.3f", f / r }')
  expect_kbps "$1" video "$(awk -v b="$(packet_bits "$1" v:0)" -v s="$seconds" 'BEGIN { printf "%.1f", b / s / 1000 }')" \
    "$seconds" "$3" 15
}

# expect_audio_kbps FILE WANT: constant-rate sound over its decoded length,
# within 5%.
expect_audio_kbps() {
  local seconds
  seconds=$(seconds_of_sound "$1")
  expect_kbps "$1" audio "$(awk -v b="$(packet_bits "$1" a:0)" -v s="$seconds" 'BEGIN { printf "%.1f", b / s / 1000 }')" \
    "$seconds" "$2" 5
}

case_bitrate_avi() {  # type 0: Xvid-tagged MPEG-4 at 384 kbit/s, MP3 at 128
  local out=$WORK/out.avi
  run 0 "$BITRATE_SRC" "$out" "${BITRATE_SETS[@]}" --set m_nWidth=320 --set m_nHeight=240 \
    --set m_dFrameRate=25 --set m_nVideoBitrate=384 --set m_nAudioBitrate=128
  expect_streams "$out" "mpeg4 mp3"
  expect_video_kbps "$out" 25 384
  expect_audio_kbps "$out" 128
}

case_bitrate_mp4() {  # type 8: MPEG-4 part 2 at 512 kbit/s and 30 frames/s
  local out=$WORK/out.mp4
  run 8 "$BITRATE_SRC" "$out" "${BITRATE_SETS[@]}" --set m_nWidth=320 --set m_nHeight=240 \
    --set m_nVideoCodec=0 --set m_nFrameRateIndex=0 --set m_nVideoBitrate=512 --set m_nSampleRate=44100
  expect_streams "$out" "mpeg4 aac"
  expect_video_kbps "$out" 30 512
}

case_bitrate_psp() {  # type 6 with preset 1: MPEG-4 320x240 at 768 kbit/s and 30000/1001
  local out=$WORK/M4V00001.mp4
  run 6 "$BITRATE_SRC" "$out" "${BITRATE_SETS[@]}" --set m_nWidth=320 --set m_nHeight=240 --set m_nVideoCodec=0 \
    --set m_nFrameRateIndex=0 --set m_nVideoBitrate=768 --set m_nSampleRate=24000 --set m_nAudioBitrate=128 \
    --set m_nChannels=2 --set m_nAudioCodec=0 --set m_fThumbTime=0
  expect_streams "$out" "mpeg4 aac"
  expect_video_kbps "$out" 29.97 768
}

case_bitrate_3gp() {  # type 5 with preset 10: H.263 176x144 at 64 kbit/s and 15000/1001, AMR-NB
  local out=$WORK/out.3gp
  run 5 "$BITRATE_SRC" "$out" "${BITRATE_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 --set m_nVideoCodec=1 \
    --set m_nFrameRateIndex=3 --set m_nVideoBitrate=64 --set m_nSampleRate=8000 --set m_nAudioBitrate=12 \
    --set m_nChannels=1 --set m_nAudioCodec=0 --set m_nProfile=0
  expect_streams "$out" "h263 amr_nb"
  expect_video_kbps "$out" 14.985 64
}

case_bitrate_flv() {  # type 9: Sorenson H.263 at 256 kbit/s and 15 frames/s, MP3 at 80
  local out=$WORK/out.flv
  run 9 "$BITRATE_SRC" "$out" "${BITRATE_SETS[@]}" --set m_nWidth=320 --set m_nHeight=240 --set m_nVideoBitrate=256 \
    --set m_nSampleRate=44100 --set m_nAudioBitrate=80 --set m_dFrameRate=15 --set m_nProfile=6
  expect_stream_set "$out" "flv1 mp3"
  expect_video_kbps "$out" 15 256
  expect_audio_kbps "$out" 80
}

case_bitrate_vcd() {  # type 3, VCD PAL: MPEG-1 at 1150 kbit/s, MP2 at 224
  local out=$WORK/out.mpg
  run 3 "$BITRATE_SRC" "$out" "${BITRATE_SETS[@]}" --set m_nMpegKind=2 --set m_nTvStandard=0 \
    --set m_nWidth=352 --set m_nHeight=288 --set m_dFrameRate=25
  expect_streams "$out" "mpeg1video mp2"
  expect_video_kbps "$out" 25 1150
  expect_audio_kbps "$out" 224
}
