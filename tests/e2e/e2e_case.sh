#!/bin/bash
# One end-to-end case: runs pellomar-e2e on a sample and checks what it wrote
# with ffprobe and ffmpeg, the independent checkers.
#
#   e2e_case.sh E2E_BINARY WORK_DIR CASE
#
# Needs PELLOMAR_TEST_DATA (the samples) and the environment of the other
# tests (QT_QPA_PLATFORM, PELLOMAR_REGISTRY_DIR).
set -u

BIN=$1
WORK=$2
CASE=$3
DATA=${PELLOMAR_TEST_DATA:?PELLOMAR_TEST_DATA is not set}

# The ffmpeg tool reads and writes the small test files on one thread: the
# cases run side by side, and threads of their own would only crowd the
# machine (what it decodes is the same either way). The scripts the cases
# start get it too.
ffmpeg() { command ffmpeg -threads 1 -filter_threads 1 "$@"; }
export -f ffmpeg

FAILED=0
fail() {
  echo "FAIL: $*"
  FAILED=1
}

rm -rf "$WORK"
mkdir -p "$WORK" "$PELLOMAR_REGISTRY_DIR"

# The job settings the source page stores after probing the 2 s, 176x144,
# 25 frames/s MPEG-2 program-stream samples.
SOURCE_SETS=(--set m_nSourceFormat=16384 --set m_nSourceWidth=176 --set m_nSourceHeight=144
             --set m_fDuration=2 --set m_dSourceFrameRate=25)
SOURCE_SECONDS=2.0
SOURCE_FRAMES=50

# run TYPE SOURCE TARGET [pellomar-e2e arguments...]: the job must end done.
run() {
  local type=$1 source=$2 target=$3
  shift 3
  echo "+ pellomar-e2e --type $type --source $source --target $target $*"
  "$BIN" --type "$type" --source "$source" --target "$target" --timeout 120 "$@" >"$WORK/run.log" 2>&1
  local rc=$?
  cat "$WORK/run.log"
  [ $rc -eq 0 ] || fail "pellomar-e2e exited with $rc"
  grep -qx "job result: done" "$WORK/run.log" || fail "the job did not end done"
  [ -s "$target" ] || fail "no output at $target"
  no_sanitizer_report
}

# no_sanitizer_report: the run's output holds no sanitizer finding (a failing
# job exits non-zero anyway, so its exit code alone cannot tell).
no_sanitizer_report() {
  ! grep -q "Sanitizer\|runtime error:" "$WORK/run.log" || fail "the sanitizers reported a fault"
}

# expect_dvd_authored FILE PAL|NTSC: dvdauthor makes a title of the DVD
# target without a warning (it counts the sound frames that start in each
# packet from the packet's own time, as a player does).
expect_dvd_authored() {
  local dir=$WORK/dvdauthor-$(basename "${1%.*}")
  rm -rf "$dir"
  VIDEO_FORMAT=$2 dvdauthor -o "$dir" -t "$1" >"$dir.log" 2>&1 ||
    { cat "$dir.log"; fail "dvdauthor refused $(basename "$1")"; return 0; }
  ! grep -q "WARN\|ERR" "$dir.log" ||
    { grep "WARN\|ERR" "$dir.log" | sort | uniq -c; fail "dvdauthor warns about $(basename "$1")"; }
  rm -rf "$dir"
}

# expect_sound_times_rise FILE MAX_EQUAL: the first sound stream's packet
# times, as ffprobe reads them, never fall back and repeat at most
# MAX_EQUAL times. A DVD's AC-3 packet keeps the time of the first frame
# that starts in it; where the frame before ends in its first bytes the
# ffmpeg tool gives that frame the packet's time too, as it does for its
# own DVDs, so a DVD may show one repeat where a frame falls so.
expect_sound_times_rise() {
  local got
  got=$(ffprobe -v error -select_streams a:0 -show_entries packet=pts -of csv=p=0 "$1" |
    awk -F, -v most="$2" '$1 != "" { if (n++) { if ($1 < p) { printf "%s after %s; ", $1, p; bad++ }
                                                  else if ($1 == p && ++eq > most) { printf "%s twice; ", $1; bad++ } }
                                     p = $1; if (bad >= 3) exit }')
  [ -z "$got" ] || fail "$1: sound packet times: $got"
}

# probe FILE ENTRIES SELECT: one ffprobe value.
probe() {
  ffprobe -v error -select_streams "$3" -show_entries "$2" -of default=nw=1:nk=1 "$1" 2>/dev/null | head -n 1
}

# expect_format FILE NAME: ffprobe's container name.
expect_format() {
  local got
  got=$(ffprobe -v error -show_entries format=format_name -of default=nw=1:nk=1 "$1")
  [ "$got" = "$2" ] || fail "$1: container '$got', expected '$2'"
}

# expect_streams FILE "video audio": codec names of every stream, in order.
expect_streams() {
  local got
  got=$(ffprobe -v error -show_entries stream=codec_name -of default=nw=1:nk=1 "$1" | tr '\n' ' ' | sed 's/ $//')
  [ "$got" = "$2" ] || fail "$1: streams '$got', expected '$2'"
}

# expect_stream_set FILE "a b": the same codec names in any order (FLV
# readers list streams in the order of their first packets).
expect_stream_set() {
  local got want
  got=$(ffprobe -v error -show_entries stream=codec_name -of default=nw=1:nk=1 "$1" | sort | tr '\n' ' ')
  want=$(echo "$2" | tr ' ' '\n' | sort | tr '\n' ' ')
  [ "$got" = "$want" ] || fail "$1: streams '$got', expected '$want' in any order"
}

# expect_video FILE WIDTH HEIGHT RATE: size, and as many decoded frames as
# the source's length gives at RATE, give or take two frames.
expect_video() {
  local file=$1 width=$2 height=$3 rate=$4
  local w h frames want
  w=$(probe "$file" stream=width v:0)
  h=$(probe "$file" stream=height v:0)
  [ "$w" = "$width" ] && [ "$h" = "$height" ] || fail "$file: picture ${w}x${h}, expected ${width}x${height}"
  frames=$(ffmpeg -nostdin -v error -i "$file" -map 0:v:0 -f framemd5 - 2>/dev/null | grep -vc '^#')
  want=$(awk -v s=$SOURCE_SECONDS -v r="$rate" 'BEGIN { printf "%d", s * r + 0.5 }')
  if [ $((frames - want)) -gt 2 ] || [ $((want - frames)) -gt 2 ]; then
    fail "$file: $frames video frames decoded, expected $want (2 s at $rate/s)"
  fi
}

# seconds_of_sound FILE: length of the first sound stream, decoded.
seconds_of_sound() {
  local bytes
  bytes=$(ffmpeg -nostdin -v error -i "$1" -map 0:a:0 -f s16le -ac 1 -ar 48000 - 2>/dev/null | wc -c)
  awk -v b="$bytes" 'BEGIN { printf "%.4f", b / 2 / 48000 }'
}

# expect_audio FILE RATE CHANNELS FRAME_SAMPLES: sample rate, channels, and
# a decoded length within two codec frames of the source's sound.
expect_audio() {
  local file=$1 rate=$2 channels=$3 frame=$4
  local r c got
  r=$(probe "$file" stream=sample_rate a:0)
  c=$(probe "$file" stream=channels a:0)
  [ "$r" = "$rate" ] && [ "$c" = "$channels" ] || fail "$file: audio ${r} Hz ${c} ch, expected ${rate} Hz ${channels} ch"
  got=$(seconds_of_sound "$file")
  awk -v g="$got" -v w="$SOURCE_SOUND" -v r="$rate" -v f="$frame" 'BEGIN {
        tol = 2 * f / r; exit !(g >= w - tol && g <= w + tol) }' ||
    fail "$file: $got s of sound decoded, expected $SOURCE_SOUND s within two frames of $frame samples"
}

# band_level FILE CHANNEL FREQ: RMS level (dB) of one channel of the first
# sound stream around FREQ.
band_level() {
  ffmpeg -nostdin -v info -i "$1" -map 0:a:0 \
    -af "pan=mono|c0=$2,bandpass=f=$3:width_type=q:w=8,astats=measure_overall=RMS_level:measure_perchannel=none" \
    -f null - 2>&1 | sed -n 's/.*RMS level dB: \(.*\)/\1/p' | tail -n 1
}

# expect_tones FILE: the samples' 440 Hz left and 660 Hz right tones are
# still on their own sides (no swapped, mixed or lost channel).
expect_tones() {
  local l440 l660 r440 r660
  l440=$(band_level "$1" c0 440)
  l660=$(band_level "$1" c0 660)
  r440=$(band_level "$1" c1 440)
  r660=$(band_level "$1" c1 660)
  echo "$1: left 440/660 Hz $l440/$l660 dB, right $r440/$r660 dB"
  awk -v a="$l440" -v b="$l660" -v c="$r440" -v d="$r660" \
    'BEGIN { exit !(a != "" && d != "" && a - b >= 10 && d - c >= 10 && a > -20 && d > -20) }' ||
    fail "$1: the left channel should carry 440 Hz and the right 660 Hz"
}

# expect_clean_decode FILE: ffmpeg decodes every stream without a complaint.
expect_clean_decode() {
  local errors
  errors=$(ffmpeg -nostdin -v error -i "$1" -map 0 -f null - 2>&1)
  [ -z "$errors" ] || fail "$1: ffmpeg reports while decoding: $errors"
}

# expect_likeness FILE SOURCE MIN_DB [FRAME [SOURCE_FRAME]]: video frame
# FRAME (default 0) looks like frame SOURCE_FRAME (default FRAME) of the
# source brought to the output's size, so pictures are neither upside down,
# shifted, of the wrong colours, nor taken from the wrong time. An output
# shown at another shape than the source's that keeps the source's shape
# between bars is compared between them.
expect_likeness() {
  local file=$1 source=$2 min=$3 frame=${4:-0}
  local sframe=${5:-$frame}
  local w h psnr area crop=""
  w=$(probe "$file" stream=width v:0)
  h=$(probe "$file" stream=height v:0)
  area=$(likeness_area "$file" "$source" "$frame" "$w" "$h")
  if [ -n "$area" ]; then
    crop="crop=$area,"
    IFS=: read -r w h _ <<<"$area"
  fi
  psnr=$(ffmpeg -nostdin -v info -i "$file" -i "$source" -filter_complex \
    "[0:v]trim=start_frame=$frame:end_frame=$((frame + 1)),setpts=PTS-STARTPTS,${crop}format=yuv420p[a];[1:v]trim=start_frame=$sframe:end_frame=$((sframe + 1)),setpts=PTS-STARTPTS,scale=$w:$h,format=yuv420p[b];[a][b]psnr" \
    -f null - 2>&1 | sed -n 's/.*PSNR.* average:\([0-9.inf]*\).*/\1/p' | tail -n 1)
  echo "$file: frame $frame against source frame $sframe${crop:+ (between bars, $area)}: PSNR $psnr dB"
  awk -v p="$psnr" -v m="$min" 'BEGIN { exit !(p == "inf" || (p != "" && (p + 0) >= m)) }' ||
    fail "$file: frame $frame has PSNR '$psnr' dB against source frame $sframe, expected at least $min"
}

# likeness_area FILE SOURCE FRAME W H: the picture between the bars of a
# frame shown at another shape than the source's (bars left and right for a
# narrower source, above and below for a wider one) as W:H:X:Y, or nothing.
likeness_area() {
  local shapes found
  shapes=$(for f in "$1" "$2"; do
    ffprobe -v error -select_streams v:0 -show_entries stream=width,height,sample_aspect_ratio -of csv=p=0 "$f" |
      head -n 1
  done)
  found=$(ffmpeg -nostdin -hide_banner -i "$1" -vf "trim=start_frame=$3:end_frame=$(($3 + 1)),cropdetect=limit=24:round=2:reset=0:skip=0" \
    -f null - 2>&1 | grep -o "crop=[0-9:]*" | tail -n 1)
  [ -n "$found" ] || return 0
  echo "$shapes" | awk -F, -v crop="${found#crop=}" -v w="$4" -v h="$5" '
    { split($3, s, ":"); if (s[2] == 0 || $3 == "N/A") { s[1] = 1; s[2] = 1 }; shape[NR] = $1 * s[1] / ($2 * s[2]) }
    END {
      split(crop, c, ":")
      if (shape[1] / shape[2] > 1.02 && c[1] < w) printf "%d:%d:%d:0\n", c[1], h, c[3]
      else if (shape[2] / shape[1] > 1.02 && c[2] < h) printf "%d:%d:0:%d\n", w, c[2], c[4]
    }'
}

# Flash-and-beep rows: a source made here with a writer whose timing is
# the case (a white flash and a 1 kHz beep starting together each second),
# converted, and sync-check.sh's view of the output held against the
# source's.

# sync_within OUT_LINE SOURCE_LINE: the checks of one row on two lines of
# sync-check.sh; prints what is wrong, nothing when the row holds.
sync_within() {
  awk -v o="$1" -v s="$2" 'BEGIN {
      split(o, a, " "); split(s, b, " ")
      if (a[2] != b[2]) printf "%d flashes, the source has %d; ", a[2], b[2]
      if (a[4] != b[4]) printf "%d beeps, the source has %d; ", a[4], b[4]
      n = split(a[6], os, ","); split(b[6], ss, ",")
      if (a[4] == b[4] && a[6] != "-")
        for (i = 1; i <= n; i++) {
          d = os[i] - ss[i]
          if (d > 45 || d < -45) printf "beep %d moved %d ms against its flash; ", i, d
        }
      if (a[8] - b[8] > 0.2 || b[8] - a[8] > 0.2) printf "picture ends at %s s, the source at %s s; ", a[8], b[8]
      if (a[10] - b[10] > 0.2 || b[10] - a[10] > 0.2) printf "sound ends at %s s, the source at %s s; ", a[10], b[10]
    }'
}

# sync_frames OUT SOURCE_LINE: as many pictures at the output's rate as the
# source's picture lasts from 0, to the nearest one (the source's last
# frame comes through); prints what is wrong. Not for a target that keeps
# the source's own frame times (SYNC_OWN_TIMES set).
sync_frames() {
  [ -z "${SYNC_OWN_TIMES:-}" ] || return 0
  local frames rate
  frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$1")
  rate=$(ffprobe -v error -select_streams v:0 -show_entries stream=r_frame_rate -of csv=p=0 "$1")
  awk -v n="$frames" -v r="$rate" -v s="$2" 'BEGIN {
      split(s, b, " "); split(r, q, "/"); want = b[8] * q[1] / q[2]
      if (n - want > 0.55 || want - n > 0.55) printf "%d pictures at %s frames/s, the source lasts %.2f frames; ", n, r, want
    }'
}

WT_CHECK=$(dirname "$0")/sync-check.sh
# Time-coded sources, their checker and rows (timecode.sh).
. "$(dirname "$0")/timecode.sh"

# The settings of each target type: type code, target name, settings.
declare -A WT_TARGETS=(
  [avi]="0 out.avi --set m_nWidth=160 --set m_nHeight=120 --set m_dFrameRate=25"
  [wmv]="1 out.wmv --set m_nWmProfile=4"
  [mpeg]="2 out.mpg --set m_nWidth=160 --set m_nHeight=120 --set m_nMpegKind=0 --set m_nMpegRateNum=25 --set m_nMpegRateDen=1"
  [vcd]="3 vcd.mpg --set m_nMpegKind=2 --set m_nTvStandard=0 --set m_nWidth=352 --set m_nHeight=288 --set m_dFrameRate=25"
  [dvd]="3 dvd.mpg --set m_nMpegKind=4 --set m_nTvStandard=0 --set m_nWidth=720 --set m_nHeight=576 --set m_dFrameRate=25"
  [ntsc]="4 ntsc.mpg --set m_nMpegKind=2 --set m_nTvStandard=1 --set m_nWidth=352 --set m_nHeight=240 --set m_dFrameRate=29.97"
  [3gp]="5 out.3gp --set m_nWidth=176 --set m_nHeight=144 --set m_nVideoCodec=1 --set m_nFrameRateIndex=3 --set m_nVideoBitrate=64 --set m_nSampleRate=8000 --set m_nAudioBitrate=12 --set m_nChannels=1 --set m_nAudioCodec=0 --set m_nProfile=0"
  [psp]="6 M4V00001.mp4 --set m_nWidth=320 --set m_nHeight=240 --set m_nVideoCodec=0 --set m_nFrameRateIndex=0 --set m_nVideoBitrate=768 --set m_nSampleRate=24000 --set m_nAudioBitrate=128 --set m_nChannels=2 --set m_nAudioCodec=0"
  [ipod]="7 ipod.mp4 --set m_nWidth=320 --set m_nHeight=240 --set m_nVideoCodec=0 --set m_nFrameRateIndex=2 --set m_nVideoBitrate=640 --set m_nSampleRate=44100 --set m_nAudioBitrate=128 --set m_nChannels=2 --set m_nAudioCodec=0 --set m_nProfile=3"
  [mp4]="8 out.mp4 --set m_nWidth=160 --set m_nHeight=120 --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100"
  [flv]="9 out.flv --set m_nWidth=160 --set m_nHeight=120 --set m_nVideoBitrate=256 --set m_nSampleRate=44100 --set m_nAudioBitrate=80 --set m_dFrameRate=15 --set m_nProfile=6"
)

# wt_material SECONDS RATE: $WORK/material-SECONDS-RATE.{y4m,wav}, the
# flash-and-beep picture (25 frames/s, 160x120) and sound (stereo at RATE Hz)
# of sync.sh as raw streams for the writers.
wt_material() {
  local base=$WORK/material-$1-$2
  [ -f "$base.y4m" ] || ffmpeg -nostdin -v error -y -f lavfi \
    -i "color=c=black:size=160x120:rate=25:duration=$1,drawbox=c=white:t=fill:enable=lt(mod(t\,1)\,0.12),format=yuv420p" \
    -f yuv4mpegpipe "$base.y4m" || fail "ffmpeg could not write $base.y4m"
  [ -f "$base.wav" ] || ffmpeg -nostdin -v error -y -f lavfi \
    -i "aevalsrc=0.5*sin(2*PI*1000*t)*lt(mod(t\,1)\,0.12):c=stereo:s=$2:d=$1" "$base.wav" ||
    fail "ffmpeg could not write $base.wav"
  echo "$base"
}

# gst OUT PIPELINE...: a file written by GStreamer.
gst() {
  local out=$1
  shift
  gst-launch-1.0 -q "$@" >"$WORK/gst.log" 2>&1 && [ -s "$out" ] || { cat "$WORK/gst.log"; fail "GStreamer could not write $out"; }
}

# wt_far_mkv OUT MATERIAL: GStreamer's Matroska of wt_material's MATERIAL
# (MPEG-4 with B-frames, AC-3) given a picture on a clock 2,561,047 hours
# ahead: it keeps one picture block there.
wt_far_mkv() {
  gst "$1" matroskamux name=m ! filesink location="$1" filesrc location="$2.y4m" ! y4mdec ! videoconvert ! \
    avenc_mpeg4 max-bframes=2 bitrate=300000 ! mpeg4videoparse ! identity ts-offset=9219769200000000000 ! m. \
    filesrc location="$2.wav" ! wavparse ! audioconvert ! avenc_ac3 ! ac3parse ! m.
}

# wt_row SOURCE FORMAT SECONDS KIND [WANT [rebase]]: one conversion of
# SOURCE (its SourceFormat bit, SECONDS long) to target type KIND; WANT is
# what sync-check.sh says of a faithful copy (by default: of the source).
# FORMAT "-" leaves the source's format, size, rate and length to the
# driver's probe, as the source page fills them. With "rebase" the source's
# picture is read from its first frame on, as a player shows a picture whose
# times start far from the sound's.
wt_row() {
  local src=$1 format=$2 seconds=$3 kind=$4 want=${5:-} rebase=${6:-}
  local type name settings got wrong out
  local source_sets=(--set m_nSourceFormat="$format" --set m_nSourceWidth=160 --set m_nSourceHeight=120
                     --set m_fDuration="$seconds" --set m_dSourceFrameRate=25)
  [ "$format" != - ] || source_sets=()
  read -r type name settings <<<"${WT_TARGETS[$kind]}"
  out=$WORK/$(basename "${src%.*}")-$kind/$name
  mkdir -p "$(dirname "$out")"
  # shellcheck disable=SC2086 # the settings are words
  run "$type" "$src" "$out" "${source_sets[@]}" $settings --timeout $((seconds * 10))
  # What a run-away wrote is not worth reading through.
  if grep -q "timed out" "$WORK/run.log"; then
    fail "$(basename "$src") -> $kind ran longer than ten times its length"
    return 0
  fi
  [ -s "$out" ] || return 0
  [ -n "$want" ] || want=$("$WT_CHECK" "$src" $rebase)
  got=$("$WT_CHECK" "$out")
  wrong=$(sync_within "$got" "$want")
  # WMV keeps the source's own frame times; the others count frames (of a
  # picture that lasts longer than its one frame).
  [ "$kind" = wmv ] || [ "$(echo "$want" | awk '{ print ($8 > 0) }')" = 0 ] || wrong+=$(sync_frames "$out" "$want")
  echo "wild-timing $(basename "$src") -> $kind: $got (want: $want)"
  [ -z "$wrong" ] || fail "$(basename "$src") -> $kind: $wrong"
}

# wt_twice LINE: what sync-check.sh says of a clip, for the clip played
# twice in a row: the second play begins where the first one's longer
# stream ends.
wt_twice() {
  awk '{ end = $8 > $10 ? $8 : $10
         printf "flashes %d beeps %d shift_ms %s,%s video_s %.3f audio_s %.3f\n", 2 * $2, 2 * $4, $6, $6, end + $8, end + $10 }' <<<"$1"
}

# Bytes of a file, for damaged copies.
# bytes_at FILE POS LEN
bytes_at() { tail -c +$(($2 + 1)) "$1" | head -c "$3"; }
# swapped SRC OUT POS1 POS2 LEN: two stretches change places.
swapped() {
  { head -c "$3" "$1"; bytes_at "$1" "$4" "$5"; bytes_at "$1" $(($3 + $5)) $(($4 - $3 - $5))
    bytes_at "$1" "$3" "$5"; tail -c +$(($4 + $5 + 1)) "$1"; } >"$2"
}

MP2=$DATA/mpeg2-ps-mp2.mpg
AC3=$DATA/mpeg2-ps-ac3.mpg
# Both samples hold the same length of sound (2.016 s decoded).
SOURCE_SOUND=$(seconds_of_sound "$MP2")

case $CASE in
  mpeg1)  # type 2, MPEG-1 at the source's size and 25 frames/s
    out=$WORK/out.mpg
    run 2 "$MP2" "$out" "${SOURCE_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 \
      --set m_nMpegKind=0 --set m_nMpegRateNum=25 --set m_nMpegRateDen=1
    expect_format "$out" mpeg
    expect_streams "$out" "mpeg1video mp2"
    expect_video "$out" 176 144 25
    expect_audio "$out" 44100 2 1152
    expect_tones "$out"
    expect_clean_decode "$out"
    expect_likeness "$out" "$MP2" 30
    expect_likeness "$out" "$MP2" 30 37
    ;;
  mpeg1-ac3)  # type 2 from the AC-3 sample
    out=$WORK/out.mpg
    run 2 "$AC3" "$out" "${SOURCE_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 \
      --set m_nMpegKind=0 --set m_nMpegRateNum=25 --set m_nMpegRateDen=1
    expect_format "$out" mpeg
    expect_streams "$out" "mpeg1video mp2"
    expect_video "$out" 176 144 25
    expect_audio "$out" 44100 2 1152
    expect_tones "$out"
    expect_clean_decode "$out"
    ;;
  vcd)  # type 3, VCD PAL: 352x288 at 25 frames/s, MP2 44.1 kHz
    out=$WORK/out.mpg
    run 3 "$MP2" "$out" "${SOURCE_SETS[@]}" --set m_nMpegKind=2 --set m_nTvStandard=0 \
      --set m_nWidth=352 --set m_nHeight=288 --set m_dFrameRate=25
    expect_format "$out" mpeg
    expect_streams "$out" "mpeg1video mp2"
    expect_video "$out" 352 288 25
    expect_audio "$out" 44100 2 1152
    expect_tones "$out"
    expect_clean_decode "$out"
    expect_likeness "$out" "$MP2" 28
    expect_likeness "$out" "$MP2" 28 37
    ;;
  mp4)  # type 8, H.264 and AAC at 25 frames/s
    out=$WORK/out.mp4
    run 8 "$MP2" "$out" "${SOURCE_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 \
      --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
    expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
    expect_streams "$out" "h264 aac"
    expect_video "$out" 176 144 25
    expect_audio "$out" 44100 2 1024
    expect_tones "$out"
    expect_clean_decode "$out"
    expect_likeness "$out" "$MP2" 30
    expect_likeness "$out" "$MP2" 30 37
    ;;
  mp4-ac3)  # type 8 from the AC-3 sample, MPEG-4 part 2 at the page's 30 frames/s
    out=$WORK/out.mp4
    run 8 "$AC3" "$out" "${SOURCE_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 \
      --set m_nVideoCodec=0 --set m_nFrameRateIndex=0 --set m_nSampleRate=48000
    expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
    expect_streams "$out" "mpeg4 aac"
    expect_video "$out" 176 144 30
    expect_audio "$out" 48000 2 1024
    expect_tones "$out"
    expect_clean_decode "$out"
    ;;
  avi)  # type 0, Xvid-tagged MPEG-4 and MP3
    out=$WORK/out.avi
    run 0 "$MP2" "$out" "${SOURCE_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 --set m_dFrameRate=25
    expect_format "$out" avi
    expect_streams "$out" "mpeg4 mp3"
    expect_video "$out" 176 144 25
    expect_audio "$out" 44100 2 1152
    expect_tones "$out"
    expect_clean_decode "$out"
    expect_likeness "$out" "$MP2" 30
    expect_likeness "$out" "$MP2" 30 37
    ;;
  wmv)  # type 1 with the page's choice, the 1500 kbit/s source-size profile
    out=$WORK/out.wmv
    run 1 "$MP2" "$out" "${SOURCE_SETS[@]}" --set m_nWmProfile=4
    expect_format "$out" asf
    expect_streams "$out" "wmv2 wmav2"
    expect_video "$out" 176 144 25
    expect_audio "$out" 44100 2 2048
    expect_tones "$out"
    expect_clean_decode "$out"
    expect_likeness "$out" "$MP2" 30
    expect_likeness "$out" "$MP2" 30 37
    ;;
  pictures)  # type 10, one picture a second at the source's size
    dir=$WORK/pictures
    mkdir -p "$dir"
    run 10 "$MP2" "$dir/" "${SOURCE_SETS[@]}" --set "m_strPictureFolder=$dir/" --set m_fPictureInterval=1000
    # "$dir/" as a target is a folder; the run's own check only wants it there
    names=$(cd "$dir" && ls | sort | tr '\n' ' ' | sed 's/ $//')
    [ "$names" = "img_1.jpg img_2.jpg" ] || fail "pictures written: '$names', expected img_1.jpg img_2.jpg"
    for f in "$dir"/img_*.jpg; do
      [ -f "$f" ] || continue
      expect_streams "$f" mjpeg
      [ "$(probe "$f" stream=width v:0)x$(probe "$f" stream=height v:0)" = 176x144 ] || fail "$f: not 176x144"
      expect_clean_decode "$f"
    done
    # img_1 from the frame at 0 s, img_2 from the frame at 1 s
    [ -f "$dir/img_1.jpg" ] && expect_likeness "$dir/img_1.jpg" "$MP2" 30 0 0
    [ -f "$dir/img_2.jpg" ] && expect_likeness "$dir/img_2.jpg" "$MP2" 30 0 25
    ;;
  3gp)  # type 5 with preset 10: H.263 176x144 at 15000/1001, AMR-NB mono 8 kHz
    out=$WORK/out.3gp
    run 5 "$MP2" "$out" "${SOURCE_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 --set m_nVideoCodec=1 \
      --set m_nFrameRateIndex=3 --set m_nVideoBitrate=64 --set m_nSampleRate=8000 --set m_nAudioBitrate=12 \
      --set m_nChannels=1 --set m_nAudioCodec=0 --set m_nProfile=0
    expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
    expect_streams "$out" "h263 amr_nb"
    expect_video "$out" 176 144 14.985
    expect_audio "$out" 8000 1 160
    expect_clean_decode "$out"
    ;;
  psp)  # type 6 with preset 1: MPEG-4 320x240 at 30000/1001, AAC 24 kHz, thumbnail at 1 s
    out=$WORK/M4V00001.mp4
    run 6 "$MP2" "$out" "${SOURCE_SETS[@]}" --set m_nWidth=320 --set m_nHeight=240 --set m_nVideoCodec=0 \
      --set m_nFrameRateIndex=0 --set m_nVideoBitrate=768 --set m_nSampleRate=24000 --set m_nAudioBitrate=128 \
      --set m_nChannels=2 --set m_nAudioCodec=0 --set m_fThumbTime=1
    expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
    expect_streams "$out" "mpeg4 aac"
    expect_video "$out" 320 240 29.97
    expect_audio "$out" 24000 2 1024
    expect_tones "$out"
    expect_clean_decode "$out"
    thumb=$WORK/M4V00001.THM
    if [ -s "$thumb" ]; then
      expect_streams "$thumb" mjpeg
      [ "$(probe "$thumb" stream=width v:0)x$(probe "$thumb" stream=height v:0)" = 160x120 ] ||
        fail "$thumb: not 160x120"
      expect_clean_decode "$thumb"
      # The 176x144 frame shown at 1 s fitted into the box: 147x120 between
      # white bars. The output frame that covers 1 s (0.968-1.001 s) shows
      # the source's of 0.96-1.0 s. Upside-down, stretched or discoloured
      # thumbnails fall far below.
      psnr=$(ffmpeg -nostdin -v info -i "$thumb" -i "$MP2" -filter_complex \
        "[0:v]format=yuv444p[a];[1:v]trim=start_frame=24:end_frame=25,setpts=PTS-STARTPTS,scale=147:120,pad=160:120:7:0:white,format=yuv444p[b];[a][b]psnr" \
        -f null - 2>&1 | sed -n 's/.*PSNR.* average:\([0-9.inf]*\).*/\1/p' | tail -n 1)
      echo "$thumb: PSNR $psnr dB against the source's frame at 1 s in the box"
      awk -v p="$psnr" 'BEGIN { exit !(p == "inf" || (p != "" && (p + 0) >= 24)) }' ||
        fail "$thumb: PSNR '$psnr' dB against the source's frame at 1 s fitted into 160x120, expected at least 24"
    else
      fail "no thumbnail at $thumb"
    fi
    ;;
  ipod)  # type 7 with preset 3: MPEG-4 320x240 at 24 frames/s, AAC 44.1 kHz
    out=$WORK/out.mp4
    run 7 "$MP2" "$out" "${SOURCE_SETS[@]}" --set m_nWidth=320 --set m_nHeight=240 --set m_nVideoCodec=0 \
      --set m_nFrameRateIndex=2 --set m_nVideoBitrate=640 --set m_nSampleRate=44100 --set m_nAudioBitrate=128 \
      --set m_nChannels=2 --set m_nAudioCodec=0 --set m_nProfile=3
    expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
    expect_streams "$out" "mpeg4 aac"
    expect_video "$out" 320 240 24
    expect_audio "$out" 44100 2 1024
    expect_tones "$out"
    expect_clean_decode "$out"
    ;;
  flv)  # type 9: Sorenson H.263 at 15 frames/s and MP3
    out=$WORK/out.flv
    run 9 "$MP2" "$out" "${SOURCE_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 --set m_nVideoBitrate=256 \
      --set m_nSampleRate=44100 --set m_nAudioBitrate=80 --set m_dFrameRate=15 --set m_nProfile=6
    expect_format "$out" flv
    expect_stream_set "$out" "flv1 mp3"
    expect_video "$out" 176 144 15
    expect_audio "$out" 44100 2 1152
    expect_tones "$out"
    expect_clean_decode "$out"
    ;;
  vcd-ntsc)  # type 4, PAL to NTSC: VCD 352x240 at 30000/1001
    out=$WORK/out.mpg
    run 4 "$MP2" "$out" "${SOURCE_SETS[@]}" --set m_nMpegKind=2 --set m_nTvStandard=1 \
      --set m_nWidth=352 --set m_nHeight=240 --set m_dFrameRate=29.97
    expect_format "$out" mpeg
    expect_streams "$out" "mpeg1video mp2"
    [ "$(probe "$out" stream=r_frame_rate v:0)" = 30000/1001 ] || fail "$out: not 30000/1001 frames/s"
    expect_video "$out" 352 240 29.97
    expect_audio "$out" 44100 2 1152
    expect_tones "$out"
    expect_clean_decode "$out"
    ;;
  bad-profile)  # a Windows Media profile past the list fails the build
    out=$WORK/out.wmv
    "$BIN" --type 1 --source "$MP2" --target "$out" --timeout 60 "${SOURCE_SETS[@]}" \
      --set m_nWmProfile=99 >"$WORK/run.log" 2>&1
    rc=$?
    cat "$WORK/run.log"
    [ $rc -ne 0 ] || fail "pellomar-e2e exited 0 for a profile past the list"
    grep -qx "job result: failed" "$WORK/run.log" || fail "no 'job result: failed' for a profile past the list"
    grep -q '^1\. Code: 0x80070057, ' "$WORK/run.log" || fail "the run log does not give E_INVALIDARG for job 1"
    no_sanitizer_report
    ;;
  missing-source)  # a job whose source does not exist fails and says so
    out=$WORK/out.mpg
    "$BIN" --type 2 --source "$WORK/no-such-file.mpg" --target "$out" --timeout 60 \
      --set m_nWidth=176 --set m_nHeight=144 >"$WORK/run.log" 2>&1
    rc=$?
    cat "$WORK/run.log"
    [ $rc -ne 0 ] || fail "pellomar-e2e exited 0 for a missing source"
    grep -qx "job result: failed" "$WORK/run.log" || fail "no 'job result: failed' for a missing source"
    grep -q '^1\. Code: 0x' "$WORK/run.log" || fail "the run log has no coded failure line for job 1"
    no_sanitizer_report
    ;;
  *)
    # Cases of the other sources live in cases/*.sh, one function each,
    # named case_<name> with "-" written as "_".
    for group in "$(dirname "$0")"/cases/*.sh; do
      [ -f "$group" ] && . "$group"
    done
    fn=case_${CASE//-/_}
    if declare -F "$fn" >/dev/null; then
      "$fn"
    else
      echo "unknown case $CASE"
      exit 2
    fi
    ;;
esac

if [ $FAILED -ne 0 ]; then
  echo "case $CASE failed"
  exit 1
fi
echo "case $CASE passed"
