# End-to-end cases of jobs that cannot be converted: each fails with the true
# cause as the first words inside the brackets of its log line ("N. Code:
# 0x..., <code's text> -- [<cause>...]"), never with a generic text that
# hides it. The jobs are filled as the window fills them after a probe that
# could not finish (no picture size of their own). Sourced by e2e_case.sh
# (run_job is robustness.sh's).

# The texts that say nothing of the cause.
GENERIC_TEXTS=("-- [No Video Stream" "not one the program reads" "could not be opened as a movie"
               "No source reads this kind of file")

# expect_cause TEXT: the job failed, its coded log line's brackets begin
# with TEXT, and no generic text stands in for it.
expect_cause() {
  local line generic
  grep -qx "job result: failed" "$WORK/run.log" || fail "the job did not end failed"
  line=$(grep '^1\. Code: 0x[0-9a-f]*, .* -- \[' "$WORK/run.log" | head -n 1)
  [ -n "$line" ] || fail "no coded failure line for job 1"
  case "$line" in
    *" -- [$1"*) ;;
    *) fail "the log line does not begin its reason with '$1': $line" ;;
  esac
  for generic in "${GENERIC_TEXTS[@]}"; do
    ! grep -qF -- "$generic" "$WORK/run.log" || fail "the log says '$generic'"
  done
}

# cause_row SOURCE KIND TEXT: the job of SOURCE to target KIND (of
# WT_TARGETS, or pictures) fails with TEXT and writes nothing. The job keeps
# the size 0 (the source's) that the window leaves when the probe could not
# find one.
cause_row() {
  local src=$1 kind=$2 text=$3 type name settings out
  if [ "$kind" = pictures ]; then
    type=10 name=pictures/ settings=
  else
    read -r type name settings <<<"${WT_TARGETS[$kind]}"
  fi
  out=$WORK/$(basename "${src%.*}")-$kind/$name
  mkdir -p "$(dirname "$out")"
  [ "$kind" != pictures ] || settings="--set m_strPictureFolder=$(dirname "$out")/ --set m_fPictureInterval=1000"
  # shellcheck disable=SC2086 # the settings are words
  run_job "$type" "$src" "$out" $settings --set m_nWidth=0 --set m_nHeight=0
  expect_cause "$text"
  [ -z "$(ls -A "$(dirname "$out")")" ] || fail "$(basename "$src") -> $kind wrote $(ls "$(dirname "$out")")"
}

# A picture no decoder of the program takes is named, whatever the target.
case_undecoded_picture_is_named() {
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=160x120:rate=25:duration=1 \
    -f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 -c:v libx265 -x265-params log-level=error \
    -c:a mp2 "$WORK/hevc.mkv" &&
    ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=720x576:rate=25:duration=0.4 \
      -f lavfi -i sine=frequency=440:sample_rate=48000:duration=0.4 -c:v dvvideo -pix_fmt yuv420p \
      -c:a pcm_s16le "$WORK/dv.mov" || fail "ffmpeg could not make the sources"
  local kind
  for kind in avi flv 3gp ipod mpeg pictures; do
    cause_row "$WORK/hevc.mkv" "$kind" "The video stream of the source (V_MPEGH/ISO/HEVC) could not be decoded"
    cause_row "$WORK/dv.mov" "$kind" "The video stream of the source (dvcp) could not be decoded"
  done
}

# A target made of pictures says so of a source of sound alone.
case_soundless_pictures_say_so() {
  ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 -c:a mp2 -f mpeg \
    "$WORK/sound.mpg" || fail "ffmpeg could not make the source"
  cause_row "$WORK/sound.mpg" avi "An AVI movie at the source's picture size needs a picture, and the source has none"
  cause_row "$WORK/sound.mpg" flv "An FLV movie at the source's picture size needs a picture, and the source has none"
  cause_row "$WORK/sound.mpg" pictures "Still pictures are taken from the source's video, and the source has none"
}

# Files the program knows but reads with none of its sources are named as
# such, and so is a file the user may not read.
case_unread_files_are_named() {
  local f="ffmpeg -nostdin -v error -y"
  $f -f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 "$WORK/sound.flac" &&
    $f -f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 "$WORK/sound.aiff" &&
    $f -f lavfi -i testsrc=size=160x120:rate=25:duration=1 -c:v libvpx -b:v 200k "$WORK/movie.webm" &&
    $f -f lavfi -i testsrc=size=160x120:rate=25:duration=2 -f lavfi -i sine=frequency=440:duration=2 \
      -c:v mpeg4 -c:a aac "$WORK/whole.mp4" || fail "ffmpeg could not make the sources"
  # A recording stopped before its index was written: the movie data
  # without the moov atom that ffmpeg writes at the end.
  head -c 40000 "$WORK/whole.mp4" >"$WORK/cut.mp4"
  ! grep -q moov "$WORK/cut.mp4" || fail "the cut file still holds its index"
  cause_row "$WORK/sound.flac" mpeg "The file is a FLAC sound file; the program does not read FLAC files."
  cause_row "$WORK/sound.aiff" avi "The file is an AIFF sound file; the program does not read AIFF files."
  cause_row "$WORK/movie.webm" mpeg "The file is a WebM movie, a kind of Matroska file the program does not read."
  cause_row "$WORK/cut.mp4" avi "The file is an MP4 or QuickTime movie whose index (the moov atom) is missing"
  # The same cut file named .mov, as a camera names it.
  cp "$WORK/cut.mp4" "$WORK/cut.mov"
  cause_row "$WORK/cut.mov" mpeg "The file is an MP4 or QuickTime movie whose index (the moov atom) is missing"
  # A file the user may not read (as root: without the capabilities that
  # read any file).
  cp "$DATA/mpeg2-ps-mp2.mpg" "$WORK/private.mpg"
  chmod 000 "$WORK/private.mpg"
  local as=()
  [ "$(id -u)" != 0 ] || as=(setpriv --bounding-set=-dac_override,-dac_read_search --)
  mkdir -p "$WORK/private-mpeg"
  echo "+ ${as[*]} pellomar-e2e --type 2 --source $WORK/private.mpg"
  "${as[@]}" "$BIN" --type 2 --source "$WORK/private.mpg" --target "$WORK/private-mpeg/out.mpg" --timeout 60 \
    --set m_nWidth=176 --set m_nHeight=144 >"$WORK/run.log" 2>&1
  cat "$WORK/run.log"
  no_sanitizer_report
  expect_cause "Access was denied: the user may not read the source file $WORK/private.mpg"
  grep -q '^1\. Code: 0x80070005, ' "$WORK/run.log" || fail "the code is not E_ACCESSDENIED's"
}
