# Damage passed over by one rule in every container: after damage the
# splitter goes on at the first unit after it that stands whole, so every
# second of the source is in its place or missing (tone-seconds.py), and the
# log names the bytes. Index and sample-table entries that point elsewhere
# are read where the file's own layout puts their data (the pictures equal
# the undamaged file's) and are told; a stream whose codec headers are
# damaged is called damaged; the same file gives the same pictures on every
# run. Sourced by e2e_case.sh (zeroed, doubled and same_output are those of
# damage.sh).

TONES="$(dirname "${BASH_SOURCE[0]}")/../tone-seconds.py"
INDEX_DAMAGE="$(dirname "${BASH_SOURCE[0]}")/../index-damage.py"
RESYNC_SETS=(--set m_nWidth=160 --set m_nHeight=120 --set m_nVideoCodec=2 --set m_nFrameRateIndex=1
             --set m_nSampleRate=44100)

# tone_source NAME EXT [ffmpeg output options...]: 10 s of moving picture
# whose every second s sounds at 300 + 100 x s Hz.
tone_source() {
  local name=$1 ext=$2
  shift 2
  ffmpeg -nostdin -v error -y -threads 1 -f lavfi -i testsrc2=size=160x120:rate=25:duration=10 \
    -f lavfi -i "aevalsrc='0.5*sin(2*PI*(300+100*floor(t))*t)':s=44100:d=10" -threads 1 "$@" "$WORK/$name.$ext" ||
    fail "ffmpeg could not write $name.$ext"
  echo "$WORK/$name.$ext"
}

# lost SRC OUT POS LEN: the stretch is gone, as a bad copy leaves it.
lost() { { head -c "$3" "$1"; tail -c +$(($3 + $4 + 1)) "$1"; } >"$2"; }

# resync_row NAME DAMAGED LOGLINE: converted, the log names the damage and
# every second is in its place or missing.
resync_row() {
  run 8 "$2" "$WORK/$1.mp4" "${RESYNC_SETS[@]}"
  grep -q "$3" "$WORK/run.log" || fail "$1: the run log does not say \"$3\""
  /usr/bin/python3 "$TONES" "$WORK/$1.mp4" || fail "$1: a second of the source came out in another's place"
}

case_resync_avi() {
  local src size
  src=$(tone_source avi avi -c:v mpeg4 -vtag XVID -b:v 200k -g 25 -c:a libmp3lame -b:a 64k)
  size=$(stat -c %s "$src")
  zeroed "$src" "$WORK/zeroed.avi" $((size * 45 / 100)) 20000
  resync_row avi-zeroed "$WORK/zeroed.avi" "The source is damaged: bytes [0-9]*-[0-9]* (19[0-9][0-9][0-9] bytes)"
  doubled "$src" "$WORK/doubled.avi" $((size / 2)) 3000
  resync_row avi-doubled "$WORK/doubled.avi" "The source is damaged: bytes [0-9]*-[0-9]* (3000 bytes)"
  lost "$src" "$WORK/lost.avi" $((size / 2)) 3000
  resync_row avi-lost "$WORK/lost.avi" "$DAMAGED"
}

case_resync_flv_matroska() {
  local src size
  src=$(tone_source flv flv -c:v flv -b:v 200k -c:a libmp3lame -b:a 64k)
  size=$(stat -c %s "$src")
  zeroed "$src" "$WORK/zeroed.flv" $((size * 45 / 100)) 20000
  resync_row flv-zeroed "$WORK/zeroed.flv" "$DAMAGED"
  src=$(tone_source mkv mkv -c:v libx264 -preset veryfast -g 25 -c:a libvorbis -q:a 1)
  size=$(stat -c %s "$src")
  zeroed "$src" "$WORK/zeroed.mkv" $((size * 45 / 100)) 20000
  resync_row mkv-zeroed "$WORK/zeroed.mkv" "$DAMAGED"
}

# index_rows SOURCE EXT LOGLINE KIND[:TRACK]...: each damaged copy gives the
# pictures and sound of the undamaged file, and the log says what was mended.
index_rows() {
  local src=$1 ext=$2 line=$3 row kind track
  shift 3
  run 8 "$src" "$WORK/clean.mp4" "${RESYNC_SETS[@]}"
  for row in "$@"; do
    kind=${row%%:*}
    track=${row#*:}
    [ "$track" = "$row" ] && track=0
    /usr/bin/python3 "$INDEX_DAMAGE" "$src" "$WORK/$kind-$track.$ext" "$kind" "$track"
    run 8 "$WORK/$kind-$track.$ext" "$WORK/$kind-$track-out.mp4" "${RESYNC_SETS[@]}"
    grep -q "$line" "$WORK/run.log" || fail "$kind-$track.$ext: the run log does not say \"$line\""
    same_output "$WORK/clean.mp4" "$WORK/$kind-$track-out.mp4" || fail "$kind-$track.$ext: other pictures or sound"
  done
}

case_index_damage_mp4() {
  local src
  src=$(tone_source mp4 mp4 -c:v libx264 -preset veryfast -g 25 -c:a aac -b:a 64k)
  index_rows "$src" mp4 "chunk offsets that pointed outside the file or at other bytes than their chunk's" \
    shift zero past other:1
  index_rows "$src" mp4 "a sample-to-chunk table that did not begin at the first chunk" stsc0 stsc0:1
}

case_index_damage_avi() {
  local src
  src=$(tone_source avi avi -c:v mpeg4 -vtag XVID -b:v 200k -g 25 -c:a libmp3lame -b:a 64k)
  index_rows "$src" avi "chunks whose index entries pointed elsewhere were read where the file's own chunks put them" \
    other sound past shift
}

case_damaged_codec_headers() {  # Vorbis headers with bits flipped in Matroska, an Ogg file cut inside them
  local src at
  src=$(tone_source vorbis mkv -c:v libx264 -preset veryfast -g 25 -c:a libvorbis -q:a 1)
  at=$(LC_ALL=C grep -obUaP "\x05vorbis" "$src" | head -n 1 | cut -d: -f1)
  cp "$src" "$WORK/flipped.mkv"
  for i in $(seq 10); do
    printf '\x55' | dd of="$WORK/flipped.mkv" bs=1 seek=$((at + 40 + i * 97)) conv=notrunc status=none
  done
  src=$(tone_source theora ogg -c:v libtheora -q:v 5 -c:a libvorbis)
  head -c $(($(stat -c %s "$src") / 100)) "$src" >"$WORK/cut.ogg"
  local bad
  for bad in "$WORK/flipped.mkv" "$WORK/cut.ogg"; do
    "$BIN" --type 8 --source "$bad" --target "$WORK/out.mp4" --timeout 120 "${RESYNC_SETS[@]}" >"$WORK/run.log" 2>&1
    cat "$WORK/run.log"
    no_sanitizer_report
    grep -qx "job result: failed" "$WORK/run.log" || fail "$bad: a job without the sound's headers ended done"
    grep -q "The sound stream of the source (Vorbis) is damaged: its decoder set-up data" "$WORK/run.log" ||
      fail "$bad: the log does not call the sound stream damaged"
    grep -q "no codec package adds one" "$WORK/run.log" && fail "$bad: damage is called a missing codec"
  done
}

case_same_pictures_every_run() {  # Theora with empty packets (the picture before, again), and a stretch doubled
  gst-launch-1.0 -q videotestsrc num-buffers=250 pattern=smpte horizontal-speed=1 ! \
    video/x-raw,width=160,height=120,framerate=25/1 ! theoraenc bitrate=48 drop-frames=true ! oggmux name=m ! \
    filesink location="$WORK/empty.ogg" audiotestsrc num-buffers=430 ! audio/x-raw,rate=44100 ! vorbisenc ! m. ||
    fail "gst-launch-1.0 could not write empty.ogg"
  doubled "$WORK/empty.ogg" "$WORK/doubled.ogg" $(($(stat -c %s "$WORK/empty.ogg") * 7 / 10)) 20000
  local src n
  for src in empty doubled; do
    for n in 1 2 3 4 5; do
      run 8 "$WORK/$src.ogg" "$WORK/$src-$n.mp4" "${RESYNC_SETS[@]}"
      [ "$n" = 1 ] || same_output "$WORK/$src-1.mp4" "$WORK/$src-$n.mp4" ||
        fail "$src.ogg: run $n wrote other pictures or sound than run 1"
    done
  done
}
