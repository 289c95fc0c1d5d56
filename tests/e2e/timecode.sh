# Time-coded sources and the rows that check a target against them
# (sourced by e2e_case.sh).
#
#   tc_source CONTAINER CASE [SECONDS]
#       Prints the path of a source made in $WORK (once per run) and writes
#       its manifest next to it (SOURCE.manifest: which frames at which
#       times, which seconds of sound where, what damage may take; see
#       timecode/TcCheck.cpp). Prints nothing and returns 1 when that
#       container's writer cannot make the case.
#       CONTAINER: avi mkv mp4 mov 3gp ps ts m2ts vob flv ogg wmv rm dsm, and
#       the writer variants mkv-mkvmerge mkv-gst mp4-gst.
#       CASE:
#         clean        the material as written (8 s)
#         vgap7        no picture from 10 s to 17 s, the sound goes on (20 s)
#         vgap7-early  no picture from 3 s to 10 s (13 s)
#         vgap15       no picture from 2.5 s to 17.5 s (20 s)
#         vgap7-last   the last picture alone, 7 s after the one before (12 s)
#         agap3        no sound from 4 s to 7 s, the picture goes on (10 s)
#         clockjump    two files joined byte for byte, the second on a clock
#                      of its own (10 s); the material of the second half
#                      follows that of the first
#         badstamp     one picture's time damaged (where the container has
#                      times of its own)
#         badheader    a header's frame time or length damaged (AVI main
#                      header's frame time, Matroska DefaultDuration, MP4
#                      movie and track lengths, FLV length and frame rate,
#                      ASF length)
#         zeroed       20,000 bytes zeroed at 45 % of the file
#         cut          the file cut at 70 %
#         rot90 rot180 rot270  (MP4, MOV, 3GP) the picture track's matrix turned
#       SECONDS overrides the length of clean, zeroed, cut and badstamp.
#
#   tc_row SOURCE KIND [options]
#       Converts SOURCE to target KIND (a key of WT_TARGETS, or "pictures")
#       through `run`, reads the output back with tc-check against
#       SOURCE.manifest, prints the checker's table and fails the case with
#       the faults found. Options:
#         --may-lose A-B      source seconds the row allows to be lost
#         --orientation NAME  how the picture must come out (default: the
#                             manifest's, upright)
#         --fails TEXT        the job must fail, its log saying TEXT
#         --known TEXT        a known fault of today's code, TEXT saying what
#                             it is: the row passes while the checker (or a
#                             job that runs away or fails) shows a fault, and
#                             fails once the fault is gone, so that whoever
#                             mends it takes the mark away
#         --set FIELD=VALUE   one more setting of the job
#
#   tc_check [tc-check arguments]   the checker itself
#   tc-patch.py (TC_PATCH)          the damages, usable on any file
#
# The tools tc-gen and tc-check are built with the tests; the CMake file
# passes their paths in TC_GEN and TC_CHECK.

TC_GEN=${TC_GEN:-$(dirname "$BIN")/../tests/e2e/tc-gen}
TC_CHECK=${TC_CHECK:-$(dirname "$BIN")/../tests/e2e/tc-check}
TC_PATCH=$(dirname "${BASH_SOURCE[0]}")/tc-patch.py
TC_DAMAGE=$(dirname "${BASH_SOURCE[0]}")/time-damage.py
TC_DSM_MUX=$(dirname "$BIN")/../tests/splitters/dsm/dsm-mux

tc_check() { "$TC_CHECK" "$@"; }

# A job that converts 10 s more than its source holds, or writes a target
# this large (the largest, a 20 s DVD, is under 20 MB), runs away: it is
# stopped there.
TC_RUNAWAY_MB=48

# Sources are made once for all the cases of a build, in TC_SOURCES (by
# default beside the cases' work folders), under a name that changes with
# the tools that make them.
if [ -z "${TC_SOURCES:-}" ]; then
  TC_SOURCES=$(dirname "$WORK")/tc-sources-$(cat "$TC_GEN" "${BASH_SOURCE[0]}" "$TC_PATCH" "$TC_DAMAGE" 2>/dev/null |
    md5sum | cut -c1-12)
fi
mkdir -p "$TC_SOURCES"

# tc_raw SECONDS FIRST_SECOND: the raw material from FIRST_SECOND on (frames
# from FIRST_SECOND * 25) as BASE.y4m and BASE.wav; prints BASE.
tc_raw() {
  local base=$TC_SOURCES/raw-$1-$2
  [ -f "$base.y4m" ] || { "$TC_GEN" picture "$base.y4m.$$" "$1" $(($2 * 25)) && mv "$base.y4m.$$" "$base.y4m"; } ||
    fail "tc-gen could not write $base.y4m"
  [ -f "$base.wav" ] || { "$TC_GEN" sound "$base.wav.$$" "$1" "$2" && mv "$base.wav.$$" "$base.wav"; } ||
    fail "tc-gen could not write $base.wav"
  echo "$base"
}

# tc_quiet COMMAND...: runs a writer; its messages only when it fails.
tc_quiet() {
  "$@" >"$WORK/tc-writer.log" 2>&1 && return 0
  cat "$WORK/tc-writer.log"
  return 1
}

# The ffmpeg tool's codecs and muxer for each container (a key frame each
# second, so that damage costs at most a second of picture).
declare -A TC_FFMPEG=(
  [avi]="-c:v mpeg4 -g 25 -q:v 4 -c:a libmp3lame -b:a 128k -f avi"
  [mkv]="-c:v libx264 -preset veryfast -g 25 -c:a aac -b:a 128k -f matroska"
  [mp4]="-c:v libx264 -preset veryfast -g 25 -c:a aac -b:a 128k -f mp4"
  [mov]="-c:v mpeg4 -g 25 -q:v 4 -c:a aac -b:a 128k -f mov"
  [3gp]="-c:v mpeg4 -g 25 -q:v 4 -c:a libopencore_amrnb -ar 8000 -ac 1 -b:a 12.2k -f 3gp"
  [ps]="-c:v mpeg1video -g 25 -b:v 500k -c:a mp2 -b:a 192k -f mpeg"
  [ts]="-c:v mpeg2video -g 25 -b:v 500k -c:a mp2 -b:a 192k -f mpegts"
  [m2ts]="-c:v libx264 -preset veryfast -g 25 -c:a ac3 -b:a 192k -f mpegts -mpegts_m2ts_mode 1"
  [vob]="-c:v mpeg2video -g 25 -b:v 500k -c:a ac3 -b:a 192k -f vob"
  [flv]="-c:v flv -g 25 -b:v 400k -c:a libmp3lame -ar 44100 -b:a 128k -f flv"
  [ogg]="-c:v libtheora -g 25 -q:v 7 -c:a libvorbis -q:a 4 -f ogg"
  [wmv]="-c:v wmv2 -g 25 -b:v 500k -c:a wmav2 -b:a 128k -f asf"
  [rm]="-c:v rv20 -g 25 -b:v 400k -c:a ac3 -b:a 128k -f rm"
  [dsm]="-c:v mpeg4 -g 25 -q:v 4 -c:a libmp3lame -b:a 128k -f nut"
  [mkv-mkvmerge]="-c:v libx264 -preset veryfast -g 25 -c:a ac3 -b:a 192k -f matroska"
)

# Containers whose headers end a file: of two of them joined, the second
# may be left out.
TC_WHOLE_FILES="avi mkv mkv-mkvmerge mkv-gst mp4 mp4-gst mov 3gp wmv rm"

# tc_write CONTAINER RAW OUT [VIDEO_FILTER [AUDIO_FILTER]]: the material RAW
# encoded and muxed; filters that drop frames or sound keep every other
# time as it was.
tc_write() {
  local container=$1 raw=$2 out=$3 vf=${4:-} af=${5:-} tmp
  local filters=()
  [ -z "$vf" ] || filters+=(-vf "$vf")
  [ -z "$af" ] || filters+=(-af "asetnsamples=n=480,$af")
  case $container in
    mkv-gst|mp4-gst)
      [ -z "$vf$af" ] || return 3
      local mux="matroskamux" audio="vorbisenc ! vorbisparse"
      [ "$container" = mkv-gst ] || { mux="mp4mux"; audio="avenc_aac ! aacparse"; }
      tc_quiet gst-launch-1.0 -q "$mux" name=m ! filesink location="$out" filesrc location="$raw.y4m" ! y4mdec ! \
        videoconvert ! x264enc key-int-max=25 speed-preset=veryfast ! h264parse ! queue ! m. \
        filesrc location="$raw.wav" ! wavparse ! audioconvert ! $audio ! queue ! m. || return 1
      ;;
    *)
      [ -n "${TC_FFMPEG[$container]:-}" ] || return 3
      tmp=$out
      case $container in dsm) tmp=$out.nut ;; mkv-mkvmerge) tmp=$out.ffmpeg.mkv ;; esac
      # shellcheck disable=SC2086 # the codec settings are words
      tc_quiet ffmpeg -nostdin -v error -y -i "$raw.y4m" -i "$raw.wav" "${filters[@]}" ${vf:+-fps_mode passthrough} \
        ${TC_FFMPEG[$container]} "$tmp" || return 1
      case $container in
        dsm) tc_quiet "$TC_DSM_MUX" "$out" "$tmp" || return 1 ;;
        mkv-mkvmerge) tc_quiet mkvmerge -q -o "$out" "$tmp"; [ $? -le 1 ] && [ -s "$out" ] || return 1 ;;
      esac
      ;;
  esac
  [ -s "$out" ]
}

# tc_manifest OUT SECONDS [LINES...]: the manifest of a source whose picture
# and sound run from 0 to SECONDS, or of the LINES given.
tc_manifest() {
  local out=$1 seconds=$2
  shift 2
  {
    echo "rate 25"
    if [ $# -eq 0 ]; then
      echo "picture 0 $seconds"
      echo "sound 0 $seconds"
    else
      printf '%s\n' "$@"
    fi
  } >"$out"
}

# tc_damage SOURCE DAMAGED MANIFEST PATCH ARGS...: DAMAGED made from SOURCE by
# tc-patch.py, with the source seconds of the bytes it changed (widened by
# the second after them, to the next key frame) added to MANIFEST.
tc_damage() {
  local src=$1 out=$2 manifest=$3 what=$4 span
  shift 4
  span=$(python3 "$TC_PATCH" "$what" "$src" "$out" "$@") || return 1
  set -- $span
  [ "${1:-}" = bytes ] || return 0
  span=$(python3 "$TC_PATCH" window "$src" "$2" "$3") || return 1
  if [ -n "$span" ]; then
    awk -v s="$span" 'BEGIN { split(s, a, " "); printf "damage %.3f %.3f\n", a[1] - 0.1, a[2] + 1.1 }' >>"$manifest"
  fi
}

# Writers that cannot keep a stream's gap: the ffmpeg tool's RealMedia
# muxer counts both streams' times on, and AVI sound has no times.
declare -A TC_NO_GAP=([rm]="vgap7 vgap7-early vgap15 vgap7-last agap3" [avi]="agap3")

tc_source() {
  local container=$1 case=$2 out ext=${1%%-*} rc
  [ "$ext" != ps ] || ext=mpg
  out=$TC_SOURCES/tc-$container-$case${3:+-$3}.$ext
  # One case makes it; the others wait for it.
  (
    flock 9
    [ ! -e "$out.none" ] || exit 3
    [ -s "$out" ] && [ -s "$out.manifest" ] && exit 0
    rm -f "$out" "$out.manifest"
    tc_make "$out" "$ext" "$@"
    rc=$?
    [ $rc -ne 3 ] || touch "$out.none"
    [ $rc -eq 0 ] && [ -s "$out" ] && [ -s "$out.manifest" ] || exit $((rc ? rc : 1))
  ) 9>"$out.lock"
  rc=$?
  # 3: the container's writer cannot make the case.
  [ $rc -ne 3 ] || return 1
  [ $rc -eq 0 ] || { fail "could not make the $container source of $case"; return 1; }
  echo "$out"
}

# The picture gaps: the source's length, the first frame left out and the
# first one after the gap.
declare -A TC_PICTURE_GAPS=([vgap7]="20 250 425" [vgap7-early]="13 75 250" [vgap15]="20 63 438"
                            [vgap7-last]="12 124 299")

# tc_time FRAME: the second at which FRAME belongs.
tc_time() { awk -v n="$1" 'BEGIN { printf "%.2f", n / 25 }'; }

# tc_make OUT EXT CONTAINER CASE [SECONDS]: makes a source and its manifest;
# 3 when the container's writer cannot make the case.
tc_make() {
  local out=$1 ext=$2 container=$3 case=$4 seconds=${5:-} raw manifest=$1.manifest
  [[ " ${TC_NO_GAP[$container]:-} " != *" $case "* ]] || return 3
  case $case in
    clean|zeroed|cut|badstamp|badheader|rot90|rot180|rot270)
      seconds=${seconds:-8}
      raw=$(tc_raw "$seconds" 0)
      tc_write "$container" "$raw" "$out.clean.$ext" || return $?
      tc_manifest "$manifest" "$seconds"
      case $case in
        clean) mv "$out.clean.$ext" "$out" ;;
        zeroed) tc_damage "$out.clean.$ext" "$out" "$manifest" zero 0.45 20000 || return $? ;;
        cut) tc_damage "$out.clean.$ext" "$out" "$manifest" cut 0.7 || return $? ;;
        badstamp)
          case $container in
            ts|m2ts|ps|vob) python3 "$TC_DAMAGE" pes "$out.clean.$ext" "$out" 4 0x1FFFFFFFF >/dev/null || return $? ;;
            mp4|mov|3gp|mp4-gst) python3 "$TC_DAMAGE" stts "$out.clean.$ext" "$out" one 100 0xFFFFFFFF || return $? ;;
            mkv|mkv-*) python3 "$TC_PATCH" mkv-block-time "$out.clean.$ext" "$out" 0 100 0x7FFF || return $? ;;
            flv) python3 "$TC_PATCH" flv-time "$out.clean.$ext" "$out" 100 0x7FFFFFFF || return $? ;;
            *) return 3 ;;
          esac
          echo "damage 3.9 4.1" >>"$manifest"
          ;;
        badheader)
          case $container in
            avi) python3 "$TC_PATCH" avi-frame-time "$out.clean.$ext" "$out" 0xFFFFFFFF || return $? ;;
            mkv|mkv-*) python3 "$TC_PATCH" mkv-default-duration "$out.clean.$ext" "$out" 0 0xFFFFFFFF || return $? ;;
            mp4|mov|3gp|mp4-gst) python3 "$TC_PATCH" mp4-duration "$out.clean.$ext" "$out" 0 0xFFFFFFF0 || return $? ;;
            flv)
              python3 "$TC_PATCH" flv-meta "$out.clean.$ext" "$out.1.$ext" duration 36000 &&
                python3 "$TC_PATCH" flv-meta "$out.1.$ext" "$out" framerate 1000 || return $?
              ;;
            wmv) python3 "$TC_PATCH" asf-duration "$out.clean.$ext" "$out" 36000 || return $? ;;
            *) return 3 ;;
          esac
          ;;
        rot90|rot180|rot270)
          case $container in
            mp4|mov|3gp|mp4-gst) python3 "$TC_PATCH" mp4-rotate "$out.clean.$ext" "$out" 0 "${case#rot}" || return $? ;;
            *) return 3 ;;
          esac
          echo "orientation turned-${case#rot}" >>"$manifest"
          ;;
      esac
      ;;
    vgap7|vgap7-early|vgap15|vgap7-last)
      local from to
      read -r seconds from to <<<"${TC_PICTURE_GAPS[$case]}"
      raw=$(tc_raw "$seconds" 0)
      tc_write "$container" "$raw" "$out" "select='lt(n\,$from)+gte(n\,$to)'" || return $?
      tc_manifest "$manifest" "$seconds" "picture 0 $(tc_time "$from")" "picture $(tc_time "$to") $seconds" \
        "sound 0 $seconds"
      ;;
    agap3)
      raw=$(tc_raw 10 0)
      tc_write "$container" "$raw" "$out" "" "aselect='lt(t\,4)+gte(t\,7)'" || return $?
      tc_manifest "$manifest" 10 "picture 0 10" "sound 0 4" "sound 7 10"
      ;;
    clockjump)
      tc_write "$container" "$(tc_raw 5 0)" "$out.a.$ext" || return $?
      tc_write "$container" "$(tc_raw 5 5)" "$out.b.$ext" || return $?
      python3 "$TC_PATCH" join "$out" "$out.a.$ext" "$out.b.$ext" || return $?
      if [[ " $TC_WHOLE_FILES " == *" $container "* ]]; then
        # The second file may be read on or left out, not mixed up.
        tc_manifest "$manifest" 10 "picture 0 10" "sound 0 10" "damage 5 10"
      else
        tc_manifest "$manifest" 10
      fi
      ;;
    *)
      return 3
      ;;
  esac
}

# tc_target KIND: "TYPE NAME SETTINGS..." of a target kind.
tc_target() {
  if [ "$1" = pictures ]; then
    echo "10 pictures/"
  else
    echo "${WT_TARGETS[$1]:-}"
  fi
}

tc_row() {
  local src=$1 kind=$2
  shift 2
  local may=() orientation=() fails="" known="" sets=() type name settings out dir table rc saved
  while [ $# -gt 0 ]; do
    case $1 in
      --may-lose) may+=(--may-lose "$2"); shift 2 ;;
      --orientation) orientation=(--orientation "$2"); shift 2 ;;
      --fails) fails=$2; shift 2 ;;
      --known) known=$2; shift 2 ;;
      --set) sets+=(--set "$2"); shift 2 ;;
      *) fail "tc_row: unknown option $1"; return 0 ;;
    esac
  done
  if [ -z "$src" ] || [ ! -s "$src" ]; then
    fail "tc_row: no source for $kind"
    return 0
  fi
  read -r type name settings <<<"$(tc_target "$kind")"
  [ -n "$type" ] || { fail "tc_row: no target kind $kind"; return 0; }
  dir=$WORK/$(basename "${src%.*}")-$kind
  rm -rf "$dir"
  mkdir -p "$dir"
  out=$dir/$name
  if [ "$kind" = pictures ]; then
    out=$dir/pictures/
    mkdir -p "$out"
    settings="--set m_strPictureFolder=$out --set m_fPictureInterval=1000"
  fi
  local label
  label="$(basename "$src") -> $kind"
  # The run's own verdict is kept apart: a known fault may show as a job that
  # fails or runs away.
  saved=$FAILED
  FAILED=0
  # shellcheck disable=SC2086 # the settings are words
  local past
  past=$(awk '$1 == "picture" || $1 == "sound" { if ($3 > end) end = $3 } END { printf "%d", end + 10 }' "$src.manifest")
  run "$type" "$src" "$out" $settings "${sets[@]}" --timeout 90 --stop-after $((TC_RUNAWAY_MB << 20)) \
    --stop-past "$past"
  local job_failed=$FAILED
  FAILED=$saved
  # No sanitizer finding is ever a known fault.
  no_sanitizer_report
  local verdict="" faults=""
  if [ -n "$fails" ]; then
    grep -qx "job result: failed" "$WORK/run.log" && grep -qF "$fails" "$WORK/run.log" ||
      verdict="the job should fail saying '$fails'"
  elif grep -q "^stopped after" "$WORK/run.log"; then
    verdict="the job ran away: its target passed $TC_RUNAWAY_MB MB"
  elif grep -q "^stopped past" "$WORK/run.log"; then
    verdict="the job ran away: $(grep "^stopped past" "$WORK/run.log" | head -n 1)"
  elif grep -q "timed out" "$WORK/run.log"; then
    verdict="the job ran longer than 90 s"
  elif [ "$job_failed" != 0 ]; then
    verdict="the job did not end done"
  else
    if [ "$kind" = pictures ]; then
      table=$("$TC_CHECK" --manifest "$src.manifest" "${orientation[@]}" --pictures 1 $(ls -v "$out"img_*.jpg 2>/dev/null))
    else
      table=$("$TC_CHECK" --manifest "$src.manifest" "${may[@]}" "${orientation[@]}" "$out")
    fi
    rc=$?
    echo "$table"
    if [ $rc -ne 0 ]; then
      faults=$(echo "$table" | awk '/ FAULT$/ { sub(/^ +/, ""); sub(/ +FAULT$/, ""); gsub(/  +/, " "); printf "%s%s", sep, $0; sep = "; " }')
      verdict="checker: ${faults:-could not read the output (exit $rc)}"
    fi
  fi
  if [ -n "$known" ]; then
    if [ -n "$verdict" ]; then
      echo "known fault still there: $label: $known ($verdict)"
    else
      fail "$label: the known fault '$known' is gone: take its mark away"
    fi
  elif [ -n "$verdict" ]; then
    fail "$label: $verdict"
  else
    echo "row passed: $label"
  fi
}
