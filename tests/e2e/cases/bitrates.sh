# End-to-end cases of the bit rates the encoders keep: every target once,
# from a 10 s, 320x240, 25 frames/s source in which every picture moves
# (over a 2 s clip a rate control can miss its rate by any amount unseen).
# Rates are measured on the output with ffprobe: the bytes of a stream's
# packets over its length. Video must land within 15% (the encoders keep
# 5% here; a rate control that lets the output run away ends 20-90% above),
# constant-rate sound within 5%.

# expect_kbps FILE SELECT SECONDS WANT PERCENT: the packets of one stream
# over SECONDS come within PERCENT of WANT kbit/s.
expect_kbps() {
  local got
  got=$(ffprobe -v error -select_streams "$2" -show_entries packet=size -of csv=p=0 "$1" |
    awk -v s="$3" '{ n += $1 } END { printf "%.1f", n * 8 / s / 1000 }')
  echo "$1: $2 at $got kbit/s over $3 s, asked for $4 kbit/s (within $5%)"
  awk -v g="$got" -v w="$4" -v p="$5" 'BEGIN { exit !(g >= w * (1 - p / 100) && g <= w * (1 + p / 100)) }' ||
    fail "$1: $2 at $got kbit/s, more than $5% away from the $4 kbit/s asked for"
}

# bitrate_case TYPE TARGET STREAMS FPS VIDEO_KBPS AUDIO_KBPS [--set ...]:
# runs the job and checks its rates; the video's length is its pictures at
# FPS, the sound's its decoded length; AUDIO_KBPS "-" skips a sound whose
# rate is not constant.
bitrate_case() {
  local type=$1 out=$WORK/$2 streams=$3 fps=$4 vkbps=$5 akbps=$6 frames
  shift 6
  run "$type" "$DATA/mp4-h264-aac-320x240-10s.mp4" "$out" --set m_nSourceFormat=524288 --set m_nSourceWidth=320 \
    --set m_nSourceHeight=240 --set m_fDuration=10 --set m_dSourceFrameRate=25 "$@"
  expect_stream_set "$out" "$streams"
  frames=$(ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 "$out" | wc -l)
  expect_kbps "$out" v:0 "$(awk -v f="$frames" -v r="$fps" 'BEGIN { printf "%.3f", f / r }')" "$vkbps" 15
  [ "$akbps" = - ] || expect_kbps "$out" a:0 "$(seconds_of_sound "$out")" "$akbps" 5
}

case_bitrate_avi() {  # Xvid-tagged MPEG-4 and MP3
  bitrate_case 0 out.avi "mpeg4 mp3" 25 384 128 --set m_nWidth=320 --set m_nHeight=240 --set m_dFrameRate=25 \
    --set m_nVideoBitrate=384 --set m_nAudioBitrate=128
}

case_bitrate_mp4() {  # MPEG-4 part 2 at 30 frames/s and AAC
  bitrate_case 8 out.mp4 "mpeg4 aac" 30 512 - --set m_nWidth=320 --set m_nHeight=240 --set m_nVideoCodec=0 \
    --set m_nFrameRateIndex=0 --set m_nVideoBitrate=512 --set m_nSampleRate=44100
}

case_bitrate_psp() {  # preset 1: MPEG-4 at 30000/1001 and AAC at 24 kHz
  bitrate_case 6 M4V00001.mp4 "mpeg4 aac" 29.97 768 - --set m_nWidth=320 --set m_nHeight=240 \
    --set m_nVideoCodec=0 --set m_nFrameRateIndex=0 --set m_nVideoBitrate=768 --set m_nSampleRate=24000 \
    --set m_nAudioBitrate=128 --set m_nChannels=2 --set m_nAudioCodec=0 --set m_fThumbTime=0
}

case_bitrate_3gp() {  # preset 10: H.263 176x144 at 15000/1001 and AMR-NB (stored with a header per frame)
  bitrate_case 5 out.3gp "h263 amr_nb" 14.985 64 - --set m_nWidth=176 --set m_nHeight=144 --set m_nVideoCodec=1 \
    --set m_nFrameRateIndex=3 --set m_nVideoBitrate=64 --set m_nSampleRate=8000 --set m_nAudioBitrate=12 \
    --set m_nChannels=1 --set m_nAudioCodec=0 --set m_nProfile=0
}

case_bitrate_flv() {  # Sorenson H.263 at 15 frames/s and MP3
  bitrate_case 9 out.flv "flv1 mp3" 15 256 80 --set m_nWidth=320 --set m_nHeight=240 --set m_nVideoBitrate=256 \
    --set m_nSampleRate=44100 --set m_nAudioBitrate=80 --set m_dFrameRate=15 --set m_nProfile=6
}

case_bitrate_vcd() {  # VCD PAL: MPEG-1 at 1150 kbit/s and MP2 at 224
  bitrate_case 3 out.mpg "mpeg1video mp2" 25 1150 224 --set m_nMpegKind=2 --set m_nTvStandard=0 \
    --set m_nWidth=352 --set m_nHeight=288 --set m_dFrameRate=25
}
