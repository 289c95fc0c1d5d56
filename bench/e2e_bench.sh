#!/bin/bash
# End-to-end benchmark: whole jobs through pellomar-e2e (Release build) on a
# 60 s 720x576 MPEG-2 program stream, to VCD and to MP4 (H.264), against the
# ffmpeg command line doing the same conversions in the same run, once
# single-threaded (-threads 1) and once with its default threads. Prints the
# wall and processor (user + system) times with their ratios, our peak
# resident memory and the processor time of our user-interface thread while
# the job ran. Not a test: it never fails on a time.
#
#   bench/e2e_bench.sh [BUILD_DIR] [WORK_DIR]
#
# BUILD_DIR defaults to build/release (configured and built with
# `cmake --preset release` when pellomar-e2e is missing there); WORK_DIR holds
# the source and the outputs (default: a temporary folder, removed at the end,
# except a source made by an earlier run in BENCH_SOURCE_DIR is reused).
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
if [ ! -s "$SRC" ]; then
  echo "making the benchmark source ..."
  "$ROOT/tests/data/make-media.sh" --bench "$SRC_DIR" >/dev/null
fi
SECONDS_LONG=$(ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$SRC")

export QT_QPA_PLATFORM=offscreen
export PELLOMAR_REGISTRY_DIR=$WORK/registry
mkdir -p "$PELLOMAR_REGISTRY_DIR"

# timed NAME COMMAND...: runs the command under /usr/bin/time -v; sets
# WALL (seconds) and RSS (peak resident kB).
timed() {
  local name=$1
  shift
  local report=$WORK/$name.time
  if ! /usr/bin/time -v -o "$report" "$@" >"$WORK/$name.log" 2>&1; then
    echo "$name failed; its output:" >&2
    tail -n 30 "$WORK/$name.log" >&2
    exit 1
  fi
  WALL=$(awk -F': ' '/Elapsed \(wall clock\)/ {
           n = split($2, p, ":"); s = 0; for (i = 1; i <= n; ++i) s = s * 60 + p[i]; print s }' "$report")
  RSS=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$report")
  CPU=$(awk -F': ' '/User time \(seconds\)|System time \(seconds\)/ { s += $2 } END { printf "%.2f", s }' "$report")
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

FF="ffmpeg -nostdin -hide_banner -loglevel error -y"
COMMON_SETS=(--set m_nSourceFormat=16384 --set m_nSourceWidth=720 --set m_nSourceHeight=576
             --set "m_fDuration=$SECONDS_LONG" --set m_dSourceFrameRate=25)

printf "source: %s (%.1f s, 720x576 MPEG-2 + MP2)\n" "$SRC" "$SECONDS_LONG"
printf "machine: %s, %s cores\n\n" "$(uname -m)" "$(nproc)"
printf "%-6s %-5s %8s %8s %8s %9s %9s\n" job what ours "ff -t1" "ff auto" "ours/-t1" "ours/auto"

bench() {
  local name=$1 ours_args=$2
  shift 2
  # shellcheck disable=SC2086 # the argument strings are meant to split
  timed "$name-ours" "$E2E" --timeout 1800 --source "$SRC" --target "$WORK/ours-$name" "${COMMON_SETS[@]}" $ours_args
  local ours=$WALL oursCpu=$CPU rss=$RSS
  local ui
  ui=$(sed -n 's/^ui thread cpu: \([0-9.]*\) s$/\1/p' "$WORK/$name-ours.log")
  # shellcheck disable=SC2086
  timed "$name-ff1" $FF -threads 1 -i "$SRC" -threads 1 "$@" "$WORK/ff1-$name"
  local ff1=$WALL ff1Cpu=$CPU
  # shellcheck disable=SC2086
  timed "$name-ffn" $FF -i "$SRC" "$@" "$WORK/ffn-$name"
  local ffn=$WALL ffnCpu=$CPU
  printf "%-6s %-5s %8.2f %8.2f %8.2f %9s %9s\n" "${name%.*}" wall "$ours" "$ff1" "$ffn" \
    "$(ratio "$ours" "$ff1")" "$(ratio "$ours" "$ffn")"
  printf "%-6s %-5s %8.2f %8.2f %8.2f %9s %9s\n" "" cpu "$oursCpu" "$ff1Cpu" "$ffnCpu" \
    "$(ratio "$oursCpu" "$ff1Cpu")" "$(ratio "$oursCpu" "$ffnCpu")"
  printf "%-6s our peak RSS %d kB; user-interface thread %s s of processor time during the job (%s%% of a core)\n" \
    "" "$rss" "$ui" "$(awk -v u="$ui" -v w="$ours" 'BEGIN { if (w > 0) printf "%.1f", 100 * u / w; else print "n/a" }')"
}

# VCD PAL: 352x288 MPEG-1 at 25 frames/s, MP2 224 kbit/s 44.1 kHz, VCD mux.
bench vcd.mpg "--type 3 --set m_nMpegKind=2 --set m_nTvStandard=0 --set m_nWidth=352 --set m_nHeight=288 --set m_dFrameRate=25" \
  -target pal-vcd

# MP4: H.264 512 kbit/s at the source size and 25 frames/s, AAC 128 kbit/s
# 44.1 kHz stereo (the MP4 page's defaults with the 25 frames/s choice).
bench mp4.mp4 "--type 8 --set m_nWidth=720 --set m_nHeight=576 --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100" \
  -r 25 -c:v libx264 -b:v 512k -g 12 -c:a aac -b:a 128k -ar 44100 -ac 2 -f mp4

echo
echo "ratios above 1 mean slower than ffmpeg. Our decoding and MPEG-1 encoding run on one"
echo "thread each; libx264 in our MP4 job picks its own thread count, as ffmpeg's default does."
