# Every stream of a source converts, or the job fails naming the one it
# cannot read (sourced by e2e_case.sh): one row per kind of source.

# seconds_of_video FILE: from the first decoded picture's start to the
# last one's end (sources may skip repeated pictures or start late).
seconds_of_video() {
  ffprobe -v error -select_streams v:0 -show_entries frame=best_effort_timestamp_time,pkt_duration_time \
    -of csv=p=0 "$1" | awk -F, '$1 ~ /^[0-9.]+$/ { d = $2 ~ /^[0-9.]+$/ ? $2 : 0; if (n++ == 0 || $1 < a) a = $1;
      if ($1 + d > e) e = $1 + d } END { if (n) printf "%.3f", e - a }'
}

# sound_stat FILE KEY: an overall astats value of the first sound stream.
sound_stat() {
  ffmpeg -nostdin -v info -i "$1" -map 0:a:0 -af "astats=measure_perchannel=none" -f null - 2>&1 |
    sed -n "s/.*\] $2: \(.*\)/\1/p" | tail -n 1
}

# near WHAT GOT WANT TOLERANCE: GOT is within TOLERANCE of WANT.
near() {
  awk -v g="$2" -v w="$3" -v t="$4" 'BEGIN { exit !(g != "" && w != "" && g - w <= t && w - g <= t) }' ||
    fail "$1: got '$2', expected '$3' within $4"
}

# check_converted SOURCE TARGET: both streams there, each as long as the
# source's; the sound as loud as ffmpeg's own stereo rendering of the
# source (its downmix of 5.1 does not clip) and at 440 Hz on its first
# channel.
check_converted() {
  local src=$1 out=$2 l440 l220 l880
  expect_streams "$out" "h264 aac"
  near "$out: seconds of video" "$(seconds_of_video "$out")" "$(seconds_of_video "$src")" 0.2
  near "$out: seconds of sound" "$(seconds_of_sound "$out")" "$(seconds_of_sound "$src")" 0.2
  ffmpeg -nostdin -v error -y -i "$src" -map 0:a:0 -ac 2 "$WORK/stereo.wav"
  near "$out: RMS level (dB)" "$(sound_stat "$out" "RMS level dB")" "$(sound_stat "$WORK/stereo.wav" "RMS level dB")" 1.5
  l440=$(band_level "$out" c0 440)
  l220=$(band_level "$out" c0 220)
  l880=$(band_level "$out" c0 880)
  echo "$out: 220/440/880 Hz $l220/$l440/$l880 dB"
  awk -v a="$l220" -v b="$l440" -v c="$l880" 'BEGIN { exit !(b != "" && b - a >= 10 && b - c >= 10) }' ||
    fail "$out: the tone is not at 440 Hz"
  expect_clean_decode "$out"
}

# stream_job SOURCE FORMAT_BIT TARGET SAMPLE_FORMAT: type 8 (H.264 and AAC
# in MP4) of a 1 s 160x120 source, with the audio decoder's output set to
# SAMPLE_FORMAT (0 16-bit, 1 24-bit, 2 32-bit, 3 float) on its settings
# page; prints the job's result.
stream_job() {
  printf '; Pellomar registry 1\n[]\n[Software]\n[Software\\Brisdane]\n[Software\\Brisdane\\Filters]\n[Software\\Brisdane\\Filters\\MPEG Audio Decoder]\n"SampleFormat"=dword:0000000%d\n' \
    "$4" >"$PELLOMAR_REGISTRY_DIR/HKEY_CURRENT_USER.reg"
  "$BIN" --type 8 --source "$1" --target "$3" --timeout 120 --set m_nSourceFormat="$2" \
    --set m_nSourceWidth=160 --set m_nSourceHeight=120 --set m_fDuration=1 --set m_dSourceFrameRate=25 \
    --set m_nWidth=160 --set m_nHeight=120 --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 \
    --set m_nSampleRate=44100 >"$WORK/run.log" 2>&1
  cat "$WORK/run.log"
  no_sanitizer_report
}

case_streams_every_one_or_named() {
  # sample | SourceFormat bit | "done" or the format the failure names |
  # the audio decoder's sample format (default 16-bit)
  local rows="
mov-mjpeg-pcm.mov|524288|done
st-hevc.mp4|524288|done
theora-vorbis.ogg|4096|done
vorbis-theora.ogg|4096|done
st-vp8-vorbis.mkv|64|done
st-flv-nokey.flv|1048576|done
st-flv-pcmle.flv|1048576|done
st-flv-h264-mp3.flv|1048576|FLV video codec 7
st-flv-aac.flv|1048576|FLV sound format 10
st-hevc-vorbis.mkv|64|V_MPEGH/ISO/HEVC
st-flac.mkv|64|FLAC
st-alac.mov|524288|done
st-in24.mov|524288|done
st-lpcm-96k.mov|524288|done
st-ac3.mov|524288|done
st-ra144.rm|256|done
st-ac3-mono.mkv|64|done
st-ac3-mono.avi|512|done
st-ac3-mono.mpg|16384|done
st-ac3-mono.ts|16384|done
st-ac3-loud51.mpg|16384|done
st-dts-loud51.mkv|64|done
st-ac3-mono.mkv|64|done|1
st-ac3-mono.ts|16384|done|2
st-ac3-loud51.mpg|16384|done|3
st-two-vorbis.ogg|4096|done
st-undecodable.avi|512|ZZZZ
st-undecodable-sound.avi|512|wave format 0x1234"
  local name bit want format src out
  while IFS='|' read -r name bit want format; do
    [ -n "$name" ] || continue
    echo "=== $name ${format:+(sample format $format)}"
    src=$DATA/$name
    out=$WORK/${name%.*}.mp4
    stream_job "$src" "$bit" "$out" "${format:-0}"
    if [ "$want" = done ]; then
      grep -qx "job result: done" "$WORK/run.log" || { fail "$name: the job did not end done"; continue; }
      check_converted "$src" "$out"
    else
      grep -qx "job result: failed" "$WORK/run.log" || fail "$name: the job did not fail"
      grep -q "($want)" "$WORK/run.log" || fail "$name: the failure does not name '$want'"
      [ ! -e "$out" ] || fail "$name: a target was left at $out"
    fi
  done <<<"$rows"
}

# write_outside_sample NAME: writes $WORK/NAME with another program than
# ours, as users get them; 1 s of 160x120 pictures with 440 Hz on the left
# and 660 Hz on the right.
write_outside_sample() {
  local out=$WORK/$1 name=${1%.*}
  local tone="aevalsrc=0.5*sin(2*PI*440*t)|0.5*sin(2*PI*660*t):c=stereo:d=1"
  local ff=(ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=160x120:rate=25:duration=1")
  local pictures=(videotestsrc num-buffers=25 ! video/x-raw,width=160,height=120,framerate=25/1)
  case $1 in
    # QuickTime sound as ffmpeg writes it: 'in24', 'in32', 'fl32' and
    # 'fl64' with 'enda' at 48 kHz; 'lpcm' with its flags at 96 kHz.
    ff-*.mov)
      local codec=pcm_${name#ff-} rate=48000
      [ "${codec%-96k}" != "$codec" ] && codec=${codec%-96k} rate=96000
      "${ff[@]}" -f lavfi -i "$tone:s=$rate" -c:v mjpeg -q:v 8 -c:a "$codec" -f mov "$out" ;;
    # GStreamer's QuickTime muxer: 'sowt' and 'twos' of 24 and 32 bits.
    gst-*.mov)
      ffmpeg -nostdin -v error -y -f lavfi -i "$tone:s=48000" "$WORK/tone.wav"
      gst-launch-1.0 -q "${pictures[@]}" ! jpegenc ! qtmux name=m ! filesink location="$out" \
        filesrc location="$WORK/tone.wav" ! wavparse ! audioconvert ! "audio/x-raw,format=${name#gst-}" ! m. ;;
    # H.264 in FLV: the x264 tool's (no sound), GStreamer's with AAC.
    x264.flv)
      "${ff[@]}" -f yuv4mpegpipe -pix_fmt yuv420p "$WORK/pictures.y4m"
      x264 --quiet --preset ultrafast -o "$out" "$WORK/pictures.y4m" 2>/dev/null ;;
    gst-h264-aac.flv)
      gst-launch-1.0 -q "${pictures[@]}" ! x264enc ! h264parse ! flvmux name=m ! filesink location="$out" \
        audiotestsrc num-buffers=43 ! audio/x-raw,rate=44100,channels=2 ! avenc_aac ! aacparse ! m. ;;
    # DVD program streams cut short (a copy broken off): the first keeps
    # one AC-3 packet, whose first frame begins 5 ms before the picture;
    # the second, whose sound begins 0.4 s late, keeps only the start of
    # its first AC-3 frame.
    cut-ac3.vob | cut-ac3-late.vob)
      local late=() offsets
      [ "$1" = cut-ac3-late.vob ] && late=(-itsoffset 0.4)
      ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=160x120:rate=25:duration=1" "${late[@]}" \
        -f lavfi -i "$tone:s=48000" -target pal-dvd -s 160x120 "$WORK/dvd.vob"
      # The byte offsets of the private-stream packets (AC-3) in it.
      mapfile -t offsets < <(LC_ALL=C grep -obUaP '\x00\x00\x01\xbd' "$WORK/dvd.vob" | cut -d: -f1)
      if [ "$1" = cut-ac3.vob ]; then head -c "${offsets[1]}" "$WORK/dvd.vob" >"$out"
      else head -c $((offsets[0] + 600)) "$WORK/dvd.vob" >"$out"; fi ;;
    # H.264 in a transport stream with its SEI unit first and its parameter
    # sets across a packet's end.
    x264-late-sets.ts)
      "${ff[@]}" -f yuv4mpegpipe -pix_fmt yuv420p "$WORK/pictures.y4m"
      x264 --quiet --preset ultrafast -o "$WORK/pictures.264" "$WORK/pictures.y4m" 2>/dev/null
      ffmpeg -nostdin -v error -y -f lavfi -i "$tone:s=48000" "$WORK/tone.wav"
      "$(dirname "$0")/avc-late-sets.py" "$WORK/pictures.264" "$WORK/tone.wav" "$out" ;;
    # The FLV header alone: no tag of any stream.
    empty.flv) printf 'FLV\001\005\000\000\000\011\000\000\000\000' >"$out" ;;
    # Movie fragments: an empty movie header (ffmpeg, GStreamer), and one
    # that lists only the samples before the first fragment.
    ff-frag.mp4) "${ff[@]}" -c:v libx264 -movflags frag_keyframe+empty_moov "$out" ;;
    ff-frag-moov.mp4) "${ff[@]}" -c:v libx264 -g 10 -movflags frag_keyframe "$out" ;;
    gst-frag.mp4)
      gst-launch-1.0 -q "${pictures[@]}" ! x264enc key-int-max=10 ! h264parse ! mp4mux fragment-duration=400 \
        ! filesink location="$out" ;;
  esac
}

# The sound of a source's streams comes out as loud and at the same pitch,
# or the job fails naming what it cannot read; every file is written by
# another program at test time.
case_streams_from_other_writers() {
  # sample | SourceFormat bit | "done" or the text the failure holds |
  # how far the sound's level may lie from the source's (dB, default 1: a
  # single frame of sound is padded to whole frames of the encoder's)
  local rows="
ff-s24le.mov|524288|done
ff-s32le.mov|524288|done
ff-f32le.mov|524288|done
ff-f64le.mov|524288|done
ff-s24le-96k.mov|524288|done
ff-s24be-96k.mov|524288|done
gst-S24LE.mov|524288|done
gst-S32LE.mov|524288|done
gst-S24BE.mov|524288|done
cut-ac3.vob|16384|done|3
cut-ac3-late.vob|16384|The sound stream of the source (AC-3) could not be read
x264-late-sets.ts|16384|done
x264.flv|1048576|(FLV video codec 7) could not be decoded
gst-h264-aac.flv|1048576|(FLV video codec 7) could not be decoded;(FLV sound format 10) could not be decoded
empty.flv|1048576|The FLV file holds no picture or sound stream.
ff-frag.mp4|524288|The file is a fragmented MP4 (movie fragments)
ff-frag-moov.mp4|524288|The file is a fragmented MP4 (movie fragments)
gst-frag.mp4|524288|The file is a fragmented MP4 (movie fragments)"
  local name bit want level src out text texts
  while IFS='|' read -r name bit want level; do
    [ -n "$name" ] || continue
    echo "=== $name"
    src=$WORK/$name
    out=$WORK/${name%.*}-converted.mp4
    write_outside_sample "$name"
    [ -s "$src" ] || { fail "$name: the sample could not be written"; continue; }
    stream_job "$src" "$bit" "$out" 0
    if [ "$want" = done ]; then
      grep -qx "job result: done" "$WORK/run.log" || { fail "$name: the job did not end done"; continue; }
      near "$out: seconds of video" "$(seconds_of_video "$out")" "$(seconds_of_video "$src")" 0.2
      near "$out: seconds of sound" "$(seconds_of_sound "$out")" "$(seconds_of_sound "$src")" 0.1
      near "$out: RMS level (dB)" "$(sound_stat "$out" "RMS level dB")" "$(sound_stat "$src" "RMS level dB")" "${level:-1}"
      expect_tones "$out"
    else
      grep -qx "job result: failed" "$WORK/run.log" || fail "$name: the job did not fail"
      IFS=';' read -ra texts <<<"$want"
      for text in "${texts[@]}"; do
        grep -qF "$text" "$WORK/run.log" || fail "$name: the failure does not say '$text'"
      done
      [ ! -e "$out" ] || fail "$name: a target was left at $out"
    fi
  done <<<"$rows"
}
