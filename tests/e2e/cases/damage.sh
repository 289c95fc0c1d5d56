# Damaged sources: variants of samples made here, one row per container
# and kind of damage (bytes doubled, stretches swapped or zeroed, a broken
# time). Each job must end done within its time-out, hold at least what the
# source holds outside the damaged bytes (within 0.5 s) and no more than a
# second beyond the source, give the same pictures and sound when run
# again, and name the damage in the run log. Sourced by e2e_case.sh.

# doubled SRC OUT POS LEN: the stretch written twice, as a bad copy does.
doubled() { { head -c $(($3 + $4)) "$1"; bytes_at "$1" "$3" "$4"; tail -c +$(($3 + $4 + 1)) "$1"; } >"$2"; }
# zeroed SRC OUT POS LEN
zeroed() { cp "$1" "$2" && dd if=/dev/zero of="$2" bs=1 seek="$3" count="$4" conv=notrunc status=none; }
# patched SRC OUT POS HEX: bytes written over.
patched() { cp "$1" "$2" && printf "$(echo "$4" | sed 's/../\\x&/g')" | dd of="$2" bs=1 seek="$3" conv=notrunc status=none; }
# scrambled SRC OUT SEED COUNT END: COUNT bytes before END set to other
# values, the same ones for the same seed.
scrambled() {
  local size=$5 i value at
  cp "$1" "$2"
  # RANDOM is read in this shell only: a subshell draws its own numbers.
  RANDOM=$3
  for ((i = 0; i < $4; i++)); do
    value=$((RANDOM % 256))
    at=$(((RANDOM * 32768 + RANDOM) % size))
    printf "\\x$(printf %02x $value)" | dd of="$2" bs=1 seek=$at conv=notrunc status=none
  done
}

# seconds FILE SELECT [RANGES]: how long the stream lasts by its packets
# (first to last, plus a typical packet); with RANGES ("from:to ..."), how
# long its packets whose bytes meet each range last together instead ("-"
# for none: 0).
seconds() {
  ffprobe -v error -select_streams "$2" -show_entries packet=pts_time,size,pos -of csv=p=0 "$1" |
    awk -F, -v r="${3:-}" '$1 != "N/A" { t[n] = $1 + 0; at[n] = $3; sz[n] = $2; n++ }
      END {
        if (n < 2) { print 0; exit }
        lo = hi = t[0]
        for (i = 0; i < n; i++) { if (t[i] < lo) lo = t[i]; if (t[i] > hi) hi = t[i] }
        d = (hi - lo) / (n - 1)
        if (r == "-") { print 0; exit }
        if (r == "") { printf "%.3f\n", hi - lo + d; exit }
        m = split(r, rs, " "); lost = 0
        for (k = 1; k <= m; k++) {
          split(rs[k], a, ":"); first = ""; last = ""
          for (i = 0; i < n; i++)
            if (at[i] < a[2] && at[i] + sz[i] > a[1]) {
              if (first == "" || t[i] < first) first = t[i]
              if (last == "" || t[i] > last) last = t[i]
            }
          if (first != "") lost += last - first + d
        }
        printf "%.3f\n", lost
      }'
}

# damage_row NAME SOURCE DAMAGED FORMAT RANGES LOGLINE [--set ...]: the
# damaged file to MP4 twice; RANGES are the bytes of the source the damage
# took ("-" when it took none).
damage_row() {
  local name=$1 src=$2 bad=$3 format=$4 ranges=$5 line=$6
  shift 6
  local out=$WORK/$name.mp4 again=$WORK/$name-again.mp4 s want got
  for target in "$out" "$again"; do
    run 8 "$bad" "$target" --set m_nSourceFormat="$format" --set m_nWidth=160 --set m_nHeight=120 \
      --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100 "$@"
  done
  grep -q "$line" "$WORK/run.log" || fail "$name: the run log does not say \"$line\""
  for s in v:0 a:0; do
    want=$(awk -v a="$(seconds "$src" "$s")" -v b="$(seconds "$src" "$s" "$ranges")" 'BEGIN { print a - b }')
    got=$(seconds "$out" "$s")
    echo "$name $s: $got s written, the source holds $(seconds "$src" "$s") s, $want s outside the damage"
    awk -v g="$got" -v w="$want" -v a="$(seconds "$src" "$s")" 'BEGIN { exit !(g >= w - 0.5 && g <= a + 1) }' ||
      fail "$name $s: $got s written, expected at least $want s less 0.5 and at most the source's $(seconds "$src" "$s") s and 1"
  done
  same_output "$out" "$again" || fail "$name: the second run wrote other pictures or sound"
}

# same_output A B: the same frames (CRCs of every picture and sound frame,
# stream by stream: how the writer interleaves them may differ); the first
# difference is shown.
same_output() {
  local s
  for s in v a; do
    diff <(ffmpeg -nostdin -v error -i "$1" -map 0:$s -f framecrc - 2>/dev/null) \
      <(ffmpeg -nostdin -v error -i "$2" -map 0:$s -f framecrc - 2>/dev/null) | head -n 4 | grep . && return 1
  done
  return 0
}

# make_source NAME EXT [ffmpeg output options...]: 5 s of moving 160x120
# picture and a tone into $WORK/NAME.EXT, one thread so the bytes are the
# same on every machine.
make_source() {
  local name=$1 ext=$2
  shift 2
  ffmpeg -nostdin -v error -y -threads 1 -f lavfi -i testsrc2=size=160x120:rate=25:duration=5 \
    -f lavfi -i "sine=f=440:r=44100:d=5" -threads 1 "$@" "$WORK/$name.$ext" || fail "ffmpeg could not write $name.$ext"
  echo "$WORK/$name.$ext"
}

DAMAGE_SETS=(--set m_nSourceWidth=160 --set m_nSourceHeight=120 --set m_fDuration=5 --set m_dSourceFrameRate=25)
DAMAGED="The source is damaged"

case_damage_avi() {
  local src mid
  src=$(make_source avi avi -c:v mpeg4 -vtag XVID -b:v 200k -g 25 -c:a libmp3lame -b:a 64k)
  mid=$(($(stat -c %s "$src") / 2))
  # A stretch written twice moves every chunk after it away from the index.
  doubled "$src" "$WORK/doubled.avi" $((mid + 13)) 3000
  damage_row avi-doubled "$src" "$WORK/doubled.avi" 512 "$((mid + 3013)):$((mid + 3014))" "$DAMAGED" "${DAMAGE_SETS[@]}"
  zeroed "$src" "$WORK/zeroed.avi" $((mid + 7)) 3000
  damage_row avi-zeroed "$src" "$WORK/zeroed.avi" 512 "$((mid + 7)):$((mid + 3007))" "$DAMAGED" "${DAMAGE_SETS[@]}"
}

case_damage_flv() {
  local src mid
  src=$(make_source flv flv -c:v flv -b:v 200k -c:a libmp3lame -b:a 64k)
  mid=$(($(stat -c %s "$src") / 2))
  swapped "$src" "$WORK/swapped.flv" $((mid - 3001)) $((mid + 2003)) 2000
  damage_row flv-swapped "$src" "$WORK/swapped.flv" 1048576 \
    "$((mid - 3001)):$((mid - 1001)) $((mid + 2003)):$((mid + 4003))" "$DAMAGED" "${DAMAGE_SETS[@]}"
}

case_damage_matroska() {
  local src mid
  src=$(make_source mkv mkv -c:v libx264 -preset veryfast -g 25 -c:a libvorbis -q:a 1 -cluster_time_limit 1000)
  mid=$(($(stat -c %s "$src") / 2))
  # Blocks out of their order inside a cluster.
  swapped "$src" "$WORK/reordered.mkv" $((mid - 1501)) $((mid + 503)) 1000
  damage_row mkv-reordered "$src" "$WORK/reordered.mkv" 64 \
    "$((mid - 1501)):$((mid - 501)) $((mid + 503)):$((mid + 1503))" "$DAMAGED" "${DAMAGE_SETS[@]}"
  # The third cluster's time set far past the file: its blocks are dropped,
  # not followed by a minute of repeated pictures.
  local cluster next at size
  cluster=$(LC_ALL=C grep -obUaP "\x1f\x43\xb6\x75" "$src" | sed -n 3p | cut -d: -f1)
  next=$(LC_ALL=C grep -obUaP "\x1f\x43\xb6\x75" "$src" | sed -n 4p | cut -d: -f1)
  at=$((cluster + $(bytes_at "$src" "$cluster" 16 | LC_ALL=C grep -obUaP "\xe7" | head -n 1 | cut -d: -f1) + 1))
  size=$(($(bytes_at "$src" "$at" 1 | od -An -tu1) & 15))
  patched "$src" "$WORK/late.mkv" $((at + 1)) "$(printf 'ff%.0s' $(seq "$size"))"
  damage_row mkv-late "$src" "$WORK/late.mkv" 64 "$cluster:$next" "timed far outside" "${DAMAGE_SETS[@]}"
  # The header's four eight-byte sizes (Segment, Void, both track entries)
  # set to 0xFFFFFFFF: each is cut back to what holds it, and past the Void,
  # which then runs to the end, the elements behind it are found.
  cp "$src" "$WORK/sizes.mkv"
  for at in $(LC_ALL=C grep -obUaP "\x18\x53\x80\x67|\xec\x01\x00\x00|\xae\x01\x00\x00" "$src" | head -n 4 | cut -d: -f1); do
    [ "$(bytes_at "$src" "$at" 1 | od -An -tx1 | tr -d ' ')" = 18 ] && at=$((at + 3))
    printf '\xff\xff\xff\xff' | dd of="$WORK/sizes.mkv" bs=1 seek=$((at + 5)) conv=notrunc status=none
  done
  damage_row mkv-sizes "$src" "$WORK/sizes.mkv" 64 - "$DAMAGED" "${DAMAGE_SETS[@]}"
}

case_damage_realmedia() {
  local src=$DATA/sync.rm mid
  mid=$(($(stat -c %s "$src") / 2))
  zeroed "$src" "$WORK/zeroed.rm" $((mid + 7)) 3000
  damage_row rm-zeroed "$src" "$WORK/zeroed.rm" 256 "$((mid + 7)):$((mid + 3007))" "$DAMAGED" \
    --set m_fDuration=3 --set m_dSourceFrameRate=25
  # Damage from the middle to the end: nothing after it reads, and the job
  # fails saying so rather than ending done with half the source.
  zeroed "$src" "$WORK/tail.rm" $((mid + 7)) $(($(stat -c %s "$src") - mid - 7))
  "$BIN" --type 8 --source "$WORK/tail.rm" --target "$WORK/tail.mp4" --timeout 120 --set m_nSourceFormat=256 \
    --set m_nWidth=160 --set m_nHeight=120 --set m_nVideoCodec=2 --set m_nSampleRate=44100 --set m_fDuration=3 \
    >"$WORK/run.log" 2>&1
  cat "$WORK/run.log"
  no_sanitizer_report
  grep -qx "job result: failed" "$WORK/run.log" || fail "tail.rm: a job with half its source unreadable ended done"
  grep -q "damaged from byte [0-9]* on: nothing after it could be read" "$WORK/run.log" ||
    fail "tail.rm: the run log does not say that nothing after the damage could be read"
}

case_damage_roq() {
  local src=$DATA/roq-stereo.roq mid
  mid=$(($(stat -c %s "$src") / 2))
  doubled "$src" "$WORK/doubled.roq" $((mid + 13)) 3000
  damage_row roq-doubled "$src" "$WORK/doubled.roq" 0 "$((mid + 3013)):$((mid + 3014))" "$DAMAGED" --set m_fDuration=2
}

case_damage_mp4() {
  local src=$DATA/sync-edit.mp4 ctts
  # One byte of a composition offset: the picture would play 330 s late.
  ctts=$(grep -obUa "ctts" "$src" | head -n 1 | cut -d: -f1)
  patched "$src" "$WORK/ctts.mp4" $((ctts + 12 + 8 * 10 + 5)) 40
  damage_row mp4-ctts "$src" "$WORK/ctts.mp4" 524288 - "composition times far outside" \
    --set m_fDuration=3 --set m_dSourceFrameRate=25
  # An edit-list file with bytes changed all over its pictures and sound:
  # what comes out differs from the source, but not from run to run.
  src=$(make_source edit mp4 -c:v libx264 -preset veryfast -g 25 -c:a aac -b:a 64k)
  # (The first 128 KiB: the movie header lies behind them.)
  scrambled "$src" "$WORK/scrambled.mp4" 4 880 131072
  for target in "$WORK/scrambled-1.mp4" "$WORK/scrambled-2.mp4"; do
    run 8 "$WORK/scrambled.mp4" "$target" --set m_nSourceFormat=524288 --set m_nWidth=160 --set m_nHeight=120 \
      --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100 "${DAMAGE_SETS[@]}"
  done
  same_output "$WORK/scrambled-1.mp4" "$WORK/scrambled-2.mp4" || fail "scrambled.mp4: the second run wrote other frames"
}

# A file with another one appended to it (as a broken copy or `cat`
# leaves): its own movie converts whole, nothing of the other comes out, and
# the log tells the bytes left out. (No segment ids in the Matroska files:
# nothing but their place tells the two movies apart.)
case_damage_appended() {
  local first second
  first=$(make_source first mp4 -c:v libx264 -preset veryfast -g 25 -c:a aac -b:a 64k -movflags +faststart)
  second=$(make_source second mp4 -c:v libx264 -preset veryfast -g 25 -c:a aac -b:a 64k -t 3 -movflags +faststart)
  cat "$first" "$second" >"$WORK/appended.mp4"
  damage_row mp4-appended "$first" "$WORK/appended.mp4" 524288 - "$DAMAGED" "${DAMAGE_SETS[@]}"
  first=$(make_source first mkv -c:v libx264 -preset veryfast -g 25 -c:a libvorbis -q:a 1 -fflags +bitexact)
  second=$(make_source second mkv -c:v libx264 -preset veryfast -g 25 -c:a libvorbis -q:a 1 -t 3 -fflags +bitexact)
  cat "$first" "$second" >"$WORK/appended.mkv"
  damage_row mkv-appended "$first" "$WORK/appended.mkv" 64 - "$DAMAGED" "${DAMAGE_SETS[@]}"
}
