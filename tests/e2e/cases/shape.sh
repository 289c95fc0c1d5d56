# Pictures upright and at their shape. A turned track (a phone's recording
# held on its side: the track header's matrix turns it) comes out as a
# player shows it, in every target and still picture, its frames in order
# (tc_row, against the time-coded material turned by tc-patch.py); the MPEG
# targets state the shape they are shown at, and a DVD is one dvdauthor
# takes without a word.

# The target kinds every turned source goes to.
SHAPE_TURN_TARGETS="mp4 avi wmv 3gp pictures"

# shape_turn_rows CONTAINER DEGREES: the turned source to every target; the
# checker demands the orientation a player shows (the manifest's).
shape_turn_rows() {
  local src kind
  src=$(tc_source "$1" "rot$2") || { fail "no $1 source turned $2 degrees"; return 0; }
  for kind in $SHAPE_TURN_TARGETS; do tc_row "$src" "$kind"; done
}

# A few under both sanitizer builds: the probe and the log see the turn.
case_shape_turn() {
  local src
  src=$(tc_source mp4 rot90) || { fail "no turned MP4 source"; return 0; }
  tc_row "$src" mp4
  # The source page shows the picture as it is shown (the material is
  # 160x120 as stored), and the log says it was turned.
  grep -q "^probe: .* 120x160," "$WORK/run.log" || fail "the probe does not see the turned shape"
  grep -q "turned 90 degrees clockwise" "$WORK/run.log" || fail "the log does not say the picture was turned"
  src=$(tc_source mov rot270) || { fail "no turned MOV source"; return 0; }
  tc_row "$src" pictures
}

# A quarter turn each way to every target; the half turn, whose pixels the
# encoder engine's own tests cover, to MP4 and WMV (the encoder engine and
# the WMV path).
case_tc_matrix_turn_mp4_90() { shape_turn_rows mp4 90; }
case_tc_matrix_turn_mov_270() { shape_turn_rows mov 270; }
case_tc_matrix_turn_mp4_180() { SHAPE_TURN_TARGETS="mp4 wmv" shape_turn_rows mp4 180; }

# shape_source NAME WIDTH HEIGHT: a 4 s source of that shape (square
# pixels), colour to its edges so that bars show.
shape_source() {
  local out=$WORK/shape-$1.mp4
  [ -f "$out" ] || ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=$2x$3:rate=25:duration=4" \
    -f lavfi -i "sine=frequency=440:duration=4" -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac \
    -shortest "$out" || fail "ffmpeg could not write $out"
  echo "$out"
}

# shape_shown FILE: the display aspect ffprobe reads, and the shape the
# picture is shown at inside its bars (cropdetect's area at the pixel shape).
shape_shown() {
  local w h sar crop
  IFS=, read -r w h sar < <(ffprobe -v error -select_streams v:0 -show_entries \
    stream=width,height,sample_aspect_ratio -of csv=p=0 "$1")
  crop=$(ffmpeg -nostdin -hide_banner -i "$1" -vf cropdetect=limit=24:round=2:reset=0 -f null - 2>&1 |
    grep -o "crop=[0-9:]*" | tail -n 1)
  awk -v w="$w" -v h="$h" -v sar="$sar" -v crop="${crop#crop=}" 'BEGIN {
    split(sar, s, ":"); split(crop, c, ":")
    if (s[2] == 0) { s[1] = 1; s[2] = 1 }
    printf "%.4f %.4f\n", w * s[1] / (h * s[2]), c[1] * s[1] / (c[2] * s[2])
  }'
}

# shape_mpeg_row SOURCE SHAPE NAME DAR TYPE SETTINGS...: the source (shown
# at SHAPE) to an MPEG target whose frame must be shown at DAR, the picture
# inside it at the source's shape; a DVD (NAME dvd-*) through dvdauthor.
shape_mpeg_row() {
  local src=$1 shape=$2 name=$3 dar=$4 type=$5 out shown
  shift 5
  out=$WORK/$(basename "${src%.*}")-$name.mpg
  run "$type" "$src" "$out" "$@"
  [ -s "$out" ] || return 0
  shown=$(shape_shown "$out")
  echo "$(basename "$out"): frame and picture shown at $shown (want $dar and $shape)"
  awk -v got="$shown" -v dar="$dar" -v shape="$shape" 'BEGIN {
    split(got, g, " "); split(dar, d, ":"); split(shape, p, ":")
    exit !(g[1] / (d[1] / d[2]) > 0.99 && g[1] / (d[1] / d[2]) < 1.01 &&
           g[2] / (p[1] / p[2]) > 0.97 && g[2] / (p[1] / p[2]) < 1.03) }' ||
    fail "$(basename "$out"): shown at $shown, want a $dar frame and a $shape picture"
  case $name in
    dvd-*)
      local standard=PAL
      [ "${name%-ntsc}" = "$name" ] || standard=NTSC
      expect_dvd_authored "$out" "$standard"
      ;;
  esac
}

# shape_mpeg_rows SOURCE SHAPE DVD_DAR MPEG1_DAR MPEG2_DAR: every MPEG
# target of a source.
shape_mpeg_rows() {
  local src=$1 shape=$2
  shape_mpeg_row "$src" "$shape" dvd-pal "$3" 3 --set m_nMpegKind=4 --set m_nTvStandard=0
  shape_mpeg_row "$src" "$shape" dvd-ntsc "$3" 3 --set m_nMpegKind=4 --set m_nTvStandard=1
  shape_mpeg_row "$src" "$shape" svcd 4:3 3 --set m_nMpegKind=3 --set m_nTvStandard=0
  # MPEG-1 pixel shapes are one of fourteen: a VCD is shown 4:3 within them.
  shape_mpeg_row "$src" "$shape" vcd 1.3347:1 3 --set m_nMpegKind=2 --set m_nTvStandard=0
  shape_mpeg_row "$src" "$shape" vcd-ntsc 1.3394:1 3 --set m_nMpegKind=2 --set m_nTvStandard=1
  shape_mpeg_row "$src" "$shape" mpeg1 "$4" 2 --set m_nMpegKind=0 --set m_nWidth=352 --set m_nHeight=288 \
    --set m_nMpegRateNum=25 --set m_nMpegRateDen=1
  shape_mpeg_row "$src" "$shape" mpeg2 "$5" 2 --set m_nMpegKind=1 --set m_nWidth=720 --set m_nHeight=576 \
    --set m_nMpegRateNum=25 --set m_nMpegRateDen=1
}

# Every MPEG target of two shapes: the label "shape" keeps them out of the
# ThreadSanitizer pass (case_shape_mpeg_turned stays there).
case_shape_matrix_mpeg_4_3() { shape_mpeg_rows "$(shape_source 4-3 320 240)" 4:3 4:3 1.3347:1 4:3; }
case_shape_matrix_mpeg_16_9() { shape_mpeg_rows "$(shape_source 16-9 320 180)" 16:9 16:9 1.8148:1 16:9; }
# A picture turned upright stands: a DVD shows it between bars.
case_shape_mpeg_turned() {
  local src
  src=$(tc_source mp4 rot90) || { fail "no turned MP4 source"; return 0; }
  shape_mpeg_row "$src" 3:4 dvd-pal 4:3 3 --set m_nMpegKind=4 --set m_nTvStandard=0
  shape_mpeg_row "$src" 3:4 mpeg2 5:4 2 --set m_nMpegKind=1 --set m_nWidth=720 --set m_nHeight=576 \
    --set m_nMpegRateNum=25 --set m_nMpegRateDen=1
}
