# Damage passed over by one rule in every container, over time-coded
# sources (timecode.sh): after damage the splitter goes on at the first unit
# after it that stands whole, so every second of the source is in its place
# or missing and none is there twice (tc-check), and the log names the
# bytes. Index and sample-table entries that point elsewhere are read where
# the file's own layout puts their data (nothing is lost) and are told; a
# stream whose codec headers are damaged is called damaged; the same file
# gives the same pictures on every run. Sourced by e2e_case.sh (doubled and
# same_output are those of damage.sh).

INDEX_DAMAGE="$(dirname "${BASH_SOURCE[0]}")/../index-damage.py"

# tc_variant SOURCE NAME PATCH ARGS...: a time-coded source damaged once
# more by tc-patch.py into $WORK/NAME, with its manifest; prints the path.
tc_variant() {
  local src=$1 out=$WORK/$2
  shift 2
  cp "$src.manifest" "$out.manifest"
  tc_damage "$src" "$out" "$out.manifest" "$@" || { fail "tc-patch.py could not make $out"; return 1; }
  echo "$out"
}

# tc_damage_row SOURCE LOGLINE: to MP4, every second of the source in its
# place or (within the damage) missing, none twice; the log names the damage.
tc_damage_row() {
  tc_row "$1" mp4
  grep -q "$2" "$WORK/run.log" || fail "$(basename "$1"): the run log does not say \"$2\""
}

case_tc_resync() {  # 20,000 bytes zeroed at 45 %, 3000 bytes at the middle written twice
  local container src
  for container in avi flv mkv; do
    src=$(tc_source "$container" zeroed) && tc_damage_row "$src" "$DAMAGED"
    src=$(tc_source "$container" clean) && src=$(tc_variant "$src" "doubled.$container" dup 0.5 3000) &&
      tc_damage_row "$src" "$DAMAGED"
  done
  # The AVI splitter names the stretch it passed over, not the chunks
  # around it: the bytes zeroed, from the chunk header they hit to the next
  # whole chunk.
  src=$(tc_source avi zeroed) && tc_row "$src" mp4 &&
    grep -q "The source is damaged: bytes [0-9]*-[0-9]* (\(19\|2[01]\)[0-9][0-9][0-9] bytes)" "$WORK/run.log" ||
    fail "zeroed AVI: the log does not name one stretch of about 20,000 bytes"
}

# tc_index_rows CONTAINER LOGLINE KIND[:TRACK]...: each copy of the clean
# source with one index or sample-table entry damaged (index-damage.py)
# converts whole, every second in its place and none lost, and the log
# says what was mended.
tc_index_rows() {
  local container=$1 line=$2 src row kind track out
  shift 2
  src=$(tc_source "$container" clean) || return 0
  for row in "$@"; do
    kind=${row%%:*}
    track=${row#*:}
    [ "$track" = "$row" ] && track=0
    out=$WORK/index-$kind-$track.$container
    python3 "$INDEX_DAMAGE" "$src" "$out" "$kind" "$track" || { fail "index-damage.py could not make $out"; continue; }
    cp "$src.manifest" "$out.manifest"
    tc_row "$out" mp4
    grep -q "$line" "$WORK/run.log" || fail "$(basename "$out"): the run log does not say \"$line\""
  done
}

case_tc_index_damage() {
  tc_index_rows mp4 "chunk offsets that pointed outside the file or at other bytes than their chunk's" \
    shift zero past other:1
  tc_index_rows mp4 "a sample-to-chunk table that did not begin at the first chunk" stsc0 stsc0:1
  tc_index_rows avi "chunks whose index entries pointed elsewhere were read where the file's own chunks put them" \
    other sound past shift
}

case_tc_codec_headers() {  # Vorbis set-up headers with bits flipped (GStreamer's Matroska), an Ogg file cut inside them
  local src at out
  src=$(tc_source mkv-gst clean) || return 0
  out=$WORK/flipped.mkv
  cp "$src" "$out"
  cp "$src.manifest" "$out.manifest"
  at=$(LC_ALL=C grep -obUaP "\x05vorbis" "$src" | head -n 1 | cut -d: -f1)
  for i in $(seq 10); do
    printf '\x55' | dd of="$out" bs=1 seek=$((at + 40 + i * 97)) conv=notrunc status=none
  done
  tc_row "$out" mp4 --fails "The sound stream of the source (Vorbis) is damaged: its decoder set-up data"
  grep -q "no codec package adds one" "$WORK/run.log" && fail "flipped.mkv: damage is called a missing codec"
  src=$(tc_source ogg clean) && out=$(tc_variant "$src" cut.ogg cut 0.01) &&
    tc_row "$out" mp4 --fails "The sound stream of the source (Vorbis) is damaged: its decoder set-up data"
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
      run 8 "$WORK/$src.ogg" "$WORK/$src-$n.mp4" --set m_nWidth=160 --set m_nHeight=120 --set m_nVideoCodec=2
      [ "$n" = 1 ] || same_output "$WORK/$src-1.mp4" "$WORK/$src-$n.mp4" ||
        fail "$src.ogg: run $n wrote other pictures or sound than run 1"
    done
  done
}
