#!/bin/bash
# End-to-end benchmark: whole jobs through pellomar-e2e (Release build)
# against the ffmpeg command line doing the same conversions in the same run,
# once single-threaded (-threads 1) and once with its default threads: VCD,
# DVD, MP4 (H.264), PSP and iPod (MPEG-4 320x240) and still pictures (one a
# second) from a 60 s 720x576 MPEG-2 program stream, and MP4 (H.264), AVI
# (MPEG-4) and WMV from a 60 s 1280x720 H.264 MP4. Prints the wall and
# processor (user + system) times and the peak resident memory of each
# process with our ratios to ffmpeg's, and the processor time of our
# user-interface thread while the job ran. Not a test: it never fails on a
# time.
#
#   bench/e2e_bench.sh [BUILD_DIR] [WORK_DIR]
#
# BUILD_DIR defaults to build/release (configured and built with
# `cmake --preset release` when pellomar-e2e is missing there); WORK_DIR holds
# the sources and the outputs (default: a temporary folder, removed at the
# end, except sources made by an earlier run in BENCH_SOURCE_DIR are reused).
# BENCH_JOBS lists the jobs to run (default: all of vcd dvd mp4 mp4-720p
# avi-720p wmv-720p pictures psp ipod). BENCH_ROUNDS runs each job that many
# times, ours and ffmpeg's in turn, and prints the medians (default 1).
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/release}
E2E=$BUILD/app/pellomar-e2e
if [ ! -x "$E2E" ]; then
  echo "building pellomar-e2e in $BUILD ..."
  if [ "$BUILD" = "$ROOT/build/release" ]; then
    (cd "$ROOT" && cmake --preset release >/dev/null)
  else
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  cmake --build "$BUILD" --target pellomar-e2e pmrhelper >/dev/null
fi

if [ $# -ge 2 ]; then
  WORK=$2
  mkdir -p "$WORK"
  CLEAN=0
else
  WORK=$(mktemp -d)
  CLEAN=1
fi
trap '[ $CLEAN -eq 1 ] && rm -rf "$WORK"' EXIT

SRC_DIR=${BENCH_SOURCE_DIR:-$WORK}
SRC=$SRC_DIR/bench-mpeg2-720x576-60s.mpg
SRC720=$SRC_DIR/bench-h264-aac-1280x720-60s.mp4
if [ ! -s "$SRC" ] || [ ! -s "$SRC720" ]; then
  echo "making the benchmark sources ..."
  "$ROOT/tests/data/make-media.sh" --bench "$SRC_DIR" >/dev/null
fi
SECONDS_LONG=$(ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$SRC")
SECONDS_720=$(ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$SRC720")
JOBS=${BENCH_JOBS:-vcd dvd mp4 mp4-720p avi-720p wmv-720p pictures psp ipod}
ROUNDS=${BENCH_ROUNDS:-1}

export QT_QPA_PLATFORM=offscreen
export PELLOMAR_REGISTRY_DIR=$WORK/registry
mkdir -p "$PELLOMAR_REGISTRY_DIR"

# timed NAME COMMAND...: runs the command under /usr/bin/time -v; appends
# its wall and processor seconds and peak resident kB to $WORK/NAME.runs.
timed() {
  local name=$1
  shift
  local report=$WORK/$name.time
  if ! /usr/bin/time -v -o "$report" "$@" >"$WORK/$name.log" 2>&1; then
    echo "$name failed; its output:" >&2
    tail -n 30 "$WORK/$name.log" >&2
    exit 1
  fi
  awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0; for (i = 1; i <= n; ++i) s = s * 60 + p[i]; w = s }
              /User time \(seconds\)|System time \(seconds\)/ { c += $2 }
              /Maximum resident set size/ { r = $2 }
              END { printf "%s %.2f %d\n", w, c, r }' "$report" >>"$WORK/$name.runs"
}

# median NAME COLUMN: the median of one column (1 wall, 2 cpu, 3 rss) of
# NAME's runs; sets nothing, prints it.
median() {
  awk -v c="$2" '{ print $c }' "$WORK/$1.runs" | sort -n |
    awk '{ a[NR] = $1 } END { if (NR % 2) print a[(NR + 1) / 2]; else printf "%.2f\n", (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

FF="ffmpeg -nostdin -hide_banner -loglevel error -y"
SETS_576=(--set m_nSourceFormat=16384 --set m_nSourceWidth=720 --set m_nSourceHeight=576
          --set "m_fDuration=$SECONDS_LONG" --set m_dSourceFrameRate=25)
SETS_720=(--set m_nSourceFormat=524288 --set m_nSourceWidth=1280 --set m_nSourceHeight=720
          --set "m_fDuration=$SECONDS_720" --set m_dSourceFrameRate=25)

printf "sources: %s (%.1f s, 720x576 MPEG-2 + MP2), %s (%.1f s, 1280x720 H.264 + AAC)\n" \
  "$SRC" "$SECONDS_LONG" "$SRC720" "$SECONDS_720"
printf "machine: %s, %s cores, load average %s\n\n" "$(uname -m)" "$(nproc)" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf "%-9s %-8s %9s %9s %9s %9s %9s\n" job what ours "ff -t1" "ff auto" "ours/-t1" "ours/auto"

row() {
  printf "%-9s %-8s %9s %9s %9s %9s %9s\n" "$1" "$2" "$3" "$4" "$5" "$(ratio "$3" "$4")" "$(ratio "$3" "$5")"
}

# bench NAME SOURCE "OUR ARGUMENTS" FFMPEG_OUTPUT_ARGUMENTS...
# A NAME ending in "/" is a picture series: both write numbered pictures
# into a folder of that name.
bench() {
  local name=$1 src=$2 ours_args=$3
  shift 3
  local sets=("${SETS_576[@]}")
  [ "$src" = "$SRC720" ] && sets=("${SETS_720[@]}")
  local label=${name%/} ours=$WORK/ours-$name ff1=$WORK/ff1-$name ffn=$WORK/ffn-$name
  if [ "${name%/}" != "$name" ]; then
    mkdir -p "$ours" "$ff1" "$ffn"
    sets+=(--set "m_strPictureFolder=$ours")
    ff1=$ff1/img_%d.jpg
    ffn=$ffn/img_%d.jpg
  fi
  rm -f "$WORK/$label".*.runs
  local round
  for round in $(seq "$ROUNDS"); do
    # A series writes only new files: each round starts with empty folders.
    [ "${name%/}" != "$name" ] && rm -f "$ours"/* "${ff1%/*}"/* "${ffn%/*}"/*
    # shellcheck disable=SC2086 # the argument strings are meant to split
    timed "$label.ours" "$E2E" --timeout 1800 --source "$src" --target "$ours" "${sets[@]}" $ours_args
    # shellcheck disable=SC2086
    timed "$label.ff1" $FF -threads 1 -i "$src" -threads 1 "$@" "$ff1"
    # shellcheck disable=SC2086
    timed "$label.ffn" $FF -i "$src" "$@" "$ffn"
  done
  local ui
  ui=$(sed -n 's/^ui thread cpu: \([0-9.]*\) s$/\1/p' "$WORK/$label.ours.log")
  row "${label%.*}" "wall s" "$(median "$label.ours" 1)" "$(median "$label.ff1" 1)" "$(median "$label.ffn" 1)"
  row "" "cpu s" "$(median "$label.ours" 2)" "$(median "$label.ff1" 2)" "$(median "$label.ffn" 2)"
  row "" "peak MB" "$(($(median "$label.ours" 3) / 1024))" "$(($(median "$label.ff1" 3) / 1024))" \
    "$(($(median "$label.ffn" 3) / 1024))"
  printf "%-9s user-interface thread %s s of processor time during the last job (%s%% of a core)\n" \
    "" "$ui" "$(awk -v u="$ui" -v w="$(median "$label.ours" 1)" 'BEGIN { if (w > 0) printf "%.1f", 100 * u / w; else print "n/a" }')"
}

for job in $JOBS; do
  case $job in
    # VCD PAL: 352x288 MPEG-1 at 25 frames/s, MP2 224 kbit/s 44.1 kHz, VCD mux.
    vcd) bench vcd.mpg "$SRC" "--type 3 --set m_nMpegKind=2 --set m_nTvStandard=0 --set m_nWidth=352 --set m_nHeight=288 --set m_dFrameRate=25" \
           -target pal-vcd ;;
    # DVD PAL: 720x576 MPEG-2 at 25 frames/s, MP2 448 kbit/s 48 kHz, DVD mux.
    dvd) bench dvd.mpg "$SRC" "--type 3 --set m_nMpegKind=4 --set m_nTvStandard=0 --set m_nWidth=720 --set m_nHeight=576 --set m_dFrameRate=25" \
           -target pal-dvd ;;
    # MP4: H.264 512 kbit/s at the source size and 25 frames/s, AAC 128 kbit/s
    # 44.1 kHz stereo (the MP4 page's defaults with the 25 frames/s choice).
    mp4) bench mp4.mp4 "$SRC" "--type 8 --set m_nWidth=720 --set m_nHeight=576 --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100" \
           -r 25 -c:v libx264 -b:v 512k -g 12 -c:a aac -b:a 128k -ar 44100 -ac 2 -f mp4 ;;
    # The same MP4 settings at 640x360 from the 720p source.
    mp4-720p) bench mp4-720p.mp4 "$SRC720" "--type 8 --set m_nWidth=640 --set m_nHeight=360 --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100" \
           -r 25 -s 640x360 -c:v libx264 -b:v 512k -g 12 -c:a aac -b:a 128k -ar 44100 -ac 2 -f mp4 ;;
    # AVI: Xvid-tagged MPEG-4 384 kbit/s at 640x360, MP3 128 kbit/s 44.1 kHz
    # (the AVI page's defaults) from the 720p source.
    avi-720p) bench avi-720p.avi "$SRC720" "--type 0 --set m_nWidth=640 --set m_nHeight=360 --set m_dFrameRate=25" \
           -r 25 -s 640x360 -c:v mpeg4 -vtag XVID -b:v 384k -g 12 -c:a libmp3lame -b:a 128k -ar 44100 -ac 2 -f avi ;;
    # WMV: the writer's default profile (WMV2 704 kbit/s at the source size,
    # a key frame every 5 s, WMA2 64 kbit/s 44.1 kHz stereo) from the 720p
    # source.
    wmv-720p) bench wmv-720p.wmv "$SRC720" "--type 1" \
           -c:v wmv2 -b:v 704k -g 125 -c:a wmav2 -b:a 64k -ar 44100 -ac 2 -f asf ;;
    # Still pictures: one a second at the source's size (JPEG).
    pictures) bench pictures/ "$SRC" "--type 10 --set m_fPictureInterval=1000" -vf fps=1 -f image2 ;;
    # PSP with its 160x120 thumbnail at 1 s, and the iPod job with the same
    # encoder settings (MPEG-4 768 kbit/s 320x240, AAC 128 kbit/s 24 kHz):
    # the two should cost the same.
    psp) bench psp.mp4 "$SRC" "--type 6 --set m_nWidth=320 --set m_nHeight=240 --set m_nVideoCodec=0 --set m_nFrameRateIndex=0 --set m_nVideoBitrate=768 --set m_nSampleRate=24000 --set m_nAudioBitrate=128 --set m_nChannels=2 --set m_nAudioCodec=0 --set m_fThumbTime=1" \
           -r 30000/1001 -s 320x240 -c:v mpeg4 -b:v 768k -g 12 -c:a aac -b:a 128k -ar 24000 -ac 2 -f psp ;;
    ipod) bench ipod.mp4 "$SRC" "--type 7 --set m_nWidth=320 --set m_nHeight=240 --set m_nVideoCodec=0 --set m_nFrameRateIndex=0 --set m_nVideoBitrate=768 --set m_nSampleRate=24000 --set m_nAudioBitrate=128 --set m_nChannels=2 --set m_nAudioCodec=0 --set m_nProfile=3" \
           -r 30 -s 320x240 -c:v mpeg4 -b:v 768k -g 12 -c:a aac -b:a 128k -ar 24000 -ac 2 -f ipod ;;
    *) echo "unknown job $job" >&2; exit 2 ;;
  esac
done

echo
echo "ratios above 1 mean slower (or larger) than ffmpeg. Our MPEG-2 decoding runs on one thread; MPEG-1/2"
echo "encoding in slices on a thread for each quarter of a PAL picture; H.264 is decoded on the library's"
echo "frame threads, and libx264 in our MP4 jobs picks its own thread count, as ffmpeg's default does."
