# End-to-end cases of files written in forms that splitters once delivered
# in part: the whole picture and sound of each comes out, in place.

# whole_job SOURCE FORMAT_BIT SECONDS TONES: to H.264/AAC in MP4 at
# 176x144, 25 frames/s, stereo; TONES 1 for the samples' 440/660 Hz tones.
whole_job() {
  local out=$WORK/out.mp4
  SOURCE_SECONDS=$3
  run 8 "$1" "$out" --set m_nSourceFormat="$2" --set m_nSourceWidth=176 --set m_nSourceHeight=144 \
    --set m_fDuration="$3" --set m_dSourceFrameRate=25 --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  expect_streams "$out" "h264 aac"
  expect_video "$out" 176 144 25
  expect_audio "$out" 44100 2 1024
  [ "$4" = 1 ] && expect_tones "$out"
  expect_clean_decode "$out"
}

case_mkv_unknown_sizes_to_mp4() {  # a live Matroska recording whose segment and clusters have no size: all 2 s
  SOURCE_SOUND=2.0
  whole_job "$DATA/mkv-unknown-sizes.mkv" 64 2 1
  expect_likeness "$WORK/out.mp4" "$DATA/mkv-h264-aac.mkv" 30 45
}

case_mkv_empty_content_encoding_to_mp4() {  # an empty ContentEncoding (zlib by default) over plain frames
  SOURCE_SOUND=2.0
  whole_job "$DATA/mkv-empty-encoding.mkv" 64 2 1
  expect_likeness "$WORK/out.mp4" "$DATA/mkv-h264-aac.mkv" 30 45
}

case_ts_tfrc_header_to_mp4() {  # a capture card's 1660-byte "TFrc" header in front: from the first picture on
  SOURCE_SOUND=$(seconds_of_sound "$DATA/h264-aac.ts")
  whole_job "$DATA/ts-tfrc-header.ts" 16384 2 1
  expect_likeness "$WORK/out.mp4" "$DATA/h264-aac.ts" 30 0
}

case_ts_garbage_in_front_to_mp4() {  # 1000 bytes without a sync byte in front of a transport stream
  SOURCE_SOUND=$(seconds_of_sound "$DATA/h264-aac.ts")
  whole_job "$DATA/ts-garbage-in-front.ts" 16384 2 1
  expect_likeness "$WORK/out.mp4" "$DATA/h264-aac.ts" 30 0
}

case_ps_h264_without_delimiters_to_mp4() {  # H.264 in a program stream without access-unit delimiters: every picture
  SOURCE_SOUND=$(seconds_of_sound "$DATA/ps-h264-noaud.mpg")
  whole_job "$DATA/ps-h264-noaud.mpg" 16384 2 0
  expect_likeness "$WORK/out.mp4" "$DATA/ps-h264-noaud.mpg" 30 25
  expect_likeness "$WORK/out.mp4" "$DATA/ps-h264-noaud.mpg" 30 48
}

case_ts_mpeg25_mp3_to_mp4() {  # 11.025 kHz MP3 in a transport stream: the sound is found and decoded
  # The sound begins 0.1 s before the picture: that much is cut.
  SOURCE_SOUND=2.0
  whole_job "$DATA/ts-mp3-mpeg25.ts" 16384 2 0
  local tone other
  tone=$(band_level "$WORK/out.mp4" c0 440)
  other=$(band_level "$WORK/out.mp4" c0 1000)
  awk -v t="$tone" -v o="$other" 'BEGIN { exit !(t != "" && t > -30 && t - o >= 15) }' ||
    fail "no 440 Hz tone in the sound ($tone dB, $other dB at 1 kHz)"
}

case_ps_mp2_16k_to_mp4() {  # 16 kHz MP2 in a program stream: no frame lost, the bursts every 10 s stay in place
  local src=$WORK/mp2-16k.mpg out=$WORK/out.mp4 onsets
  ffmpeg -nostdin -v error -f lavfi -i "testsrc=size=176x144:rate=25:duration=30" -f lavfi \
    -i "aevalsrc=if(lt(mod(t\,10)\,0.1)\,0.5*sin(2*PI*1000*t)\,0):s=16000:d=30" \
    -c:v mpeg2video -b:v 100k -c:a mp2 -ar 16000 -b:a 64k -f mpeg "$src" || fail "no source made"
  SOURCE_SOUND=$(seconds_of_sound "$src")
  whole_job "$src" 16384 30 0
  onsets=$(ffmpeg -nostdin -v info -i "$out" -map 0:a:0 -af silencedetect=n=-30dB:d=0.5 -f null - 2>&1 |
    sed -n 's/.*silence_end: \([0-9.]*\).*/\1/p' | head -n 2 | tr '\n' ' ')
  echo "$out: bursts begin at 0 $onsets s"
  echo "$onsets" | awk '{ exit !(NF == 2 && $1 > 9.98 && $1 < 10.02 && $2 > 19.98 && $2 < 20.02) }' ||
    fail "$out: the bursts begin at $onsets s, expected 10 and 20 s"
}

case_ps_joined_to_mp4() {  # two program streams joined byte for byte (the clock restarts, the size changes): both, in order
  local src=$WORK/joined.mpg out=$WORK/out.mp4
  cat "$DATA/mpeg2-ps-mp2.mpg" "$DATA/mpeg2-interlaced.mpg" >"$src"
  SOURCE_SOUND=3.0
  whole_job "$src" 16384 3 1
  expect_likeness "$out" "$DATA/mpeg2-ps-mp2.mpg" 30 40 40
  expect_likeness "$out" "$DATA/mpeg2-interlaced.mpg" 26 60 10
}

case_d2v_index_past_the_data_to_mp4() {  # a D2V index of 100 pictures over files that hold 50: all 50, then the end
  local out=$WORK/out.mp4 frames
  cp "$DATA/d2v-cgop.m2v" "$WORK/a.m2v"
  cp "$DATA/d2v-cgop.m2v" "$WORK/b.m2v"
  d2v_project "$WORK/long.d2v" --idct 2 "$WORK/a.m2v" "$WORK/b.m2v"
  : >"$WORK/b.m2v"
  d2v_source 176 144 98
  run 8 "$WORK/long.d2v" "$out" "${D2V_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  frames=$(ffmpeg -nostdin -v error -i "$out" -map 0:v:0 -f framemd5 - 2>/dev/null | grep -vc '^#')
  [ "$frames" = 50 ] || fail "$out: $frames frames, the files hold 50"
  expect_clean_decode "$out"
  expect_likeness "$out" "$DATA/d2v-cgop.m2v" 30 49 49
}

case_d2v_open_gop_start_to_mp4() {  # a D2V project whose stream opens on an open GOP: every picture from its I picture on
  local src=$WORK/open.m2v cut=$WORK/cut.m2v out=$WORK/out.mp4 at levels want
  # Each picture's grey level tells its number: 16 + 2 n.
  ffmpeg -nostdin -v error -f lavfi -i "color=c=black:s=176x144:r=25:d=3,format=yuv420p,geq=lum='16+2*N':cb=128:cr=128" \
    -flags +bitexact -sc_threshold 1000000000 -c:v mpeg2video -b:v 400k -g 12 -bf 2 "$src" || fail "no source made"
  # From the second sequence header on: its GOP begins with two B pictures
  # of the GOP before, which cannot be decoded.
  at=$(LC_ALL=C grep -obaP '\x00\x00\x01\xb3' "$src" | sed -n 2p | cut -d: -f1)
  [ -n "$at" ] || fail "no second sequence header in $src"
  tail -c +$((at + 1)) "$src" >"$cut"
  d2v_project "$WORK/cut.d2v" --idct 2 "$cut"
  d2v_source 176 144 63
  run 8 "$WORK/cut.d2v" "$out" "${D2V_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  levels=$(ffmpeg -nostdin -v error -i "$out" -map 0:v:0 -vf signalstats,metadata=print:key=lavfi.signalstats.YAVG:file=- \
    -f null - 2>/dev/null | sed -n 's/.*YAVG=\([0-9.]*\).*/\1/p' | awk '{ printf "%d ", ($1 - 16) / 2 + 0.5 }')
  want=$(seq -s ' ' 12 74)
  [ "$levels" = "$want " ] || fail "$out: pictures $levels, expected $want"
}
