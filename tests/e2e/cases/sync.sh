# Picture/sound timing: each flash-and-beep sample of tests/data (a white
# flash and a 1 kHz beep starting together at 0, 1 and 2 s; some with the
# sound starting late) converted to each target type with a picture. Every
# flash and beep must come through, each beep stay within 45 ms of where it
# sits against its flash in the source, and each stream end within 0.2 s of
# the source's. One case per target type, so the types run side by side.

SYNC_CHECK=$(dirname "$0")/sync-check.sh

# The samples: file, SourceFormat bit, frames/s.
SYNC_SOURCES=(
  "sync-ps-late.mpg 16384 25"
  "sync.vob 16384 25"
  "sync-h264-50.ts 16384 50"
  "sync-bframes.avi 512 25"
  "sync-edit.mp4 524288 25"
  "sync-late.mp4 524288 25"
  "sync.mov 524288 29.97"
  "sync.mkv 64 24"
  "sync.flv 1048576 25"
  "sync.wmv 2097152 25"
  "sync.rm 256 25"
)

# Rows that do not hold yet, per target type, left out until their faults
# are mended: none at present.
declare -A SYNC_OPEN=()

# sync_rows TYPE TARGET_NAME [--set ...]: every sample to that target
# but the open rows of the calling case.
sync_rows() {
  local type=$1 name=$2 open=" ${SYNC_OPEN[${FUNCNAME[1]#case_sync_}]:-} "
  shift 2
  local row file format rate src out got want wrong
  for row in "${SYNC_SOURCES[@]}"; do
    read -r file format rate <<<"$row"
    [[ $open == *" $file "* ]] && continue
    src=$DATA/$file
    out=$WORK/${file%.*}/$name
    mkdir -p "$(dirname "$out")"
    run "$type" "$src" "$out" --set m_nSourceFormat="$format" --set m_nSourceWidth=160 \
      --set m_nSourceHeight=120 --set m_fDuration=3 --set m_dSourceFrameRate="$rate" "$@"
    [ -s "$out" ] || continue
    want=$("$SYNC_CHECK" "$src")
    got=$("$SYNC_CHECK" "$out")
    wrong=$(sync_within "$got" "$want")$(sync_frames "$out" "$want")
    echo "sync $file -> $name: $got (source: $want)"
    [ -z "$wrong" ] || fail "$file -> $name: $wrong"
  done
}

case_sync_avi() {
  sync_rows 0 out.avi --set m_nWidth=160 --set m_nHeight=120 --set m_dFrameRate=25
}

case_sync_wmv() {
  SYNC_OWN_TIMES=1 sync_rows 1 out.wmv --set m_nWmProfile=4
}

# A source without sound to WMV (made here: 2 s of MPEG-2 picture alone in a
# program stream): the target gets a silent sound track as long as the
# picture.
case_sync_wmv_silent() {
  local src=$WORK/picture-only.mpg out=$WORK/silent.wmv got peak
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=160x120:rate=25:duration=2" -c:v mpeg2video -b:v 200k \
    -f mpeg "$src" || fail "ffmpeg could not write $src"
  run 1 "$src" "$out" --set m_nSourceFormat=16384 --set m_nSourceWidth=160 --set m_nSourceHeight=120 \
    --set m_fDuration=2 --set m_dSourceFrameRate=25 --set m_nWmProfile=4
  expect_streams "$out" "wmv2 wmav2"
  expect_clean_decode "$out"
  got=$("$SYNC_CHECK" "$out")
  echo "silent.wmv: $got"
  awk -v g="$got" 'BEGIN { split(g, a, " "); v = a[8]; s = a[10]
      exit !(v >= 1.8 && v <= 2.2 && s - v <= 0.2 && v - s <= 0.2) }' ||
    fail "$out: picture and sound should both last the source's 2 s: $got"
  peak=$(ffmpeg -nostdin -i "$out" -map 0:a:0 -af volumedetect -f null - 2>&1 | sed -n 's/.*max_volume: \([-0-9.]*\) dB.*/\1/p')
  awk -v p="$peak" 'BEGIN { exit !(p != "" && p <= -80) }' || fail "$out: the sound track is not silent (peak '$peak' dB)"
}

case_sync_mpeg() {
  sync_rows 2 out.mpg --set m_nWidth=160 --set m_nHeight=120 --set m_nMpegKind=0 \
    --set m_nMpegRateNum=25 --set m_nMpegRateDen=1
}

case_sync_vcd() {
  sync_rows 3 out.mpg --set m_nMpegKind=2 --set m_nTvStandard=0 --set m_nWidth=352 \
    --set m_nHeight=288 --set m_dFrameRate=25
}

case_sync_3gp() {
  sync_rows 5 out.3gp --set m_nWidth=176 --set m_nHeight=144 --set m_nVideoCodec=1 \
    --set m_nFrameRateIndex=3 --set m_nVideoBitrate=64 --set m_nSampleRate=8000 --set m_nAudioBitrate=12 \
    --set m_nChannels=1 --set m_nAudioCodec=0 --set m_nProfile=0
}

case_sync_psp() {
  sync_rows 6 M4V00001.mp4 --set m_nWidth=320 --set m_nHeight=240 --set m_nVideoCodec=0 \
    --set m_nFrameRateIndex=0 --set m_nVideoBitrate=768 --set m_nSampleRate=24000 --set m_nAudioBitrate=128 \
    --set m_nChannels=2 --set m_nAudioCodec=0 --set m_fThumbTime=1
}

case_sync_ipod() {
  sync_rows 7 out.mp4 --set m_nWidth=320 --set m_nHeight=240 --set m_nVideoCodec=0 \
    --set m_nFrameRateIndex=2 --set m_nVideoBitrate=640 --set m_nSampleRate=44100 --set m_nAudioBitrate=128 \
    --set m_nChannels=2 --set m_nAudioCodec=0 --set m_nProfile=3
}

case_sync_mp4() {
  sync_rows 8 out.mp4 --set m_nWidth=160 --set m_nHeight=120 --set m_nVideoCodec=2 \
    --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
}

case_sync_flv() {
  sync_rows 9 out.flv --set m_nWidth=160 --set m_nHeight=120 --set m_nVideoBitrate=256 \
    --set m_nSampleRate=44100 --set m_nAudioBitrate=80 --set m_dFrameRate=15 --set m_nProfile=6
}

# A DVD job from 6 s of full-size MPEG-2 + MP2 (made here: too large to keep
# as a sample): every AC-3 frame with a time of its own, picture and sound as
# long as the source's.
case_sync_dvd() {
  local src=$WORK/dvd-source.mpg out=$WORK/dvd.mpg got want
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=720x576:rate=25:duration=6" \
    -f lavfi -i "sine=f=440:r=48000:d=6" -ac 2 -c:v mpeg2video -b:v 300k -c:a mp2 -b:a 128k -f mpeg "$src" ||
    fail "ffmpeg could not write $src"
  run 3 "$src" "$out" --set m_nSourceFormat=16384 --set m_nSourceWidth=720 --set m_nSourceHeight=576 \
    --set m_fDuration=6 --set m_dSourceFrameRate=25 --set m_nMpegKind=4 --set m_nTvStandard=0 \
    --set m_nWidth=720 --set m_nHeight=576 --set m_dFrameRate=25
  expect_clean_decode "$out"
  expect_sound_times_rise "$out" 1
  expect_dvd_authored "$out" PAL
  for s in v a; do
    got=$(ffprobe -v error -select_streams $s:0 -show_entries stream=duration -of csv=p=0 "$out")
    awk -v g="$got" 'BEGIN { exit !(g >= 5.9 && g <= 6.1) }' || fail "$out: stream $s lasts '$got' s, the source 6 s"
  done
}

# MPEG targets read back with every time in order, from an AVI with MP3
# sound (made here: 11 s of a small dark picture with a flash every tenth
# frame, so that many small pictures share a packet). Readers give a
# packet's time to the first unit they find in it; where that was another
# unit than the muxer meant, two units came out at one time (pictures of
# MPEG-1 around an I picture); a DVD keeps the times its players read.
# Rows: name, type, then the target's settings.
MPEG_TIMES_ROWS=(
  "mpeg1 2 m_nMpegKind=0 m_nWidth=160 m_nHeight=120 m_nMpegRateNum=25 m_nMpegRateDen=1"
  "mpeg2 2 m_nMpegKind=1 m_nWidth=160 m_nHeight=120 m_nMpegRateNum=25 m_nMpegRateDen=1"
  "vcd 3 m_nMpegKind=2 m_nTvStandard=0 m_nWidth=352 m_nHeight=288 m_dFrameRate=25"
  "svcd-ntsc 3 m_nMpegKind=3 m_nTvStandard=1 m_nWidth=480 m_nHeight=480 m_dFrameRate=29.97"
  "dvd 3 m_nMpegKind=4 m_nTvStandard=0 m_nWidth=720 m_nHeight=576 m_dFrameRate=25"
  "dvd-ntsc 4 m_nMpegKind=4 m_nTvStandard=1 m_nWidth=720 m_nHeight=480 m_dFrameRate=29.97"
)

# expect_times_in_order FILE [dvd STANDARD]: ffmpeg reads every time in
# order; each stream's packets come with rising decoding times; every
# picture is one frame after the one before (only the last one may come
# without a time: no reader can time the last reference picture without a
# time of its own). A DVD's sound keeps the times its players read
# (expect_sound_times_rise, expect_dvd_authored).
expect_times_in_order() {
  local file=$1 dvd=${2:-} standard=${3:-} said rate s streams="v a"
  if [ -n "$dvd" ]; then
    streams=v
    expect_sound_times_rise "$file" 3
    expect_dvd_authored "$file" "$standard"
    said=$(ffmpeg -nostdin -v warning -i "$file" -map 0:v -f null - 2>&1 | grep -i monoton | head -n 3)
  else
    said=$(ffmpeg -nostdin -v warning -i "$file" -map 0 -f null - 2>&1 | grep -i monoton | head -n 3)
  fi
  [ -z "$said" ] || fail "$file: ffmpeg reads times out of order: $said"
  for s in $streams; do
    said=$(ffprobe -v error -select_streams $s:0 -show_entries packet=dts -of csv=p=0 "$file" |
      awk -F, '$1 != "N/A" && $1 != "" { if (seen && $1 <= last) { printf "%s after %s; ", $1, last; if (++n == 3) exit }
                                          seen = 1; last = $1 }')
    [ -z "$said" ] || fail "$file: stream $s: decoding times do not rise: $said"
  done
  rate=$(probe "$file" stream=r_frame_rate v:0)
  said=$(ffprobe -v error -select_streams v:0 -show_entries frame=best_effort_timestamp -of csv=p=0 "$file" |
    grep . | awk -F, -v r="$rate" 'BEGIN { split(r, q, "/"); step = 90000 * q[2] / q[1] }
      untimed { printf "a picture without a time before the last; "; exit }
      $1 == "N/A" { untimed = 1; next }
      seen && $1 - last != step { printf "picture %d at %s after %s; ", NR, $1, last; if (++n == 3) exit }
      { seen = 1; last = $1 }')
  [ -z "$said" ] || fail "$file: pictures are not one frame apart: $said"
}

# mpeg_times_rows NAME...: the rows of that name.
mpeg_times_rows() {
  local src=$WORK/flashes.avi row name type sets out want
  ffmpeg -nostdin -v error -y -f lavfi \
    -i "color=c=black:size=160x120:rate=25:duration=11,geq=lum='if(lt(mod(N\,10)\,1)\,235\,16)':cb=128:cr=128" \
    -f lavfi -i "sine=f=1000:r=44100:d=11" -ac 2 -c:v mpeg4 -q:v 5 -c:a libmp3lame -b:a 128k "$src" ||
    fail "ffmpeg could not write $src"
  for want in "$@"; do
    for row in "${MPEG_TIMES_ROWS[@]}"; do
      read -r name type sets <<<"$row"
      [ "$name" = "$want" ] || continue
      out=$WORK/$name.mpg
      # shellcheck disable=SC2046  # one --set per setting
      run "$type" "$src" "$out" --set m_nSourceFormat=512 --set m_nSourceWidth=160 --set m_nSourceHeight=120 \
        --set m_fDuration=11 --set m_dSourceFrameRate=25 $(printf -- '--set %s ' $sets)
      case $name in
        dvd) expect_times_in_order "$out" dvd PAL ;;
        dvd-ntsc) expect_times_in_order "$out" dvd NTSC ;;
        *) expect_times_in_order "$out" ;;
      esac
    done
  done
}

case_mpeg_times_mpeg() { mpeg_times_rows mpeg1 mpeg2; }
case_mpeg_times_vcd() { mpeg_times_rows vcd svcd-ntsc; }
case_mpeg_times_dvd() { mpeg_times_rows dvd; }
case_mpeg_times_dvd_ntsc() { mpeg_times_rows dvd-ntsc; }
