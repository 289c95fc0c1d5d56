# Time-coded rows (timecode.sh): every case in every container to MP4, and
# every case in three containers (Matroska, ASF/WMV, transport stream) to
# each target type. Each row converts as the window would and must bring
# every frame and second of the source to its own place (tc-check). The
# cases named tc_matrix_* carry the ctest label "timecode" (not run again
# under ThreadSanitizer); the tc_smoke case keeps a few rows there. The
# matrix_tc_* groups become cases (case_tc_matrix_*) once their rows are
# marked.

TC_CASES="clean vgap7 vgap7-early vgap15 vgap7-last agap3 clockjump badstamp badheader zeroed cut rot90"

# What a row expects where it is not a faithful copy, by "CONTAINER CASE
# KIND" ("*" for every kind): tc_row's options. A known fault passes while it
# shows and fails once it is gone (take the line away then).
declare -A TC_EXPECT=(
  ["3gp cut mp4"]="--fails|1. Code: 0x"
  ["mov cut mp4"]="--fails|1. Code: 0x"
  ["mp4 cut mp4"]="--fails|1. Code: 0x"
  ["mp4-gst cut mp4"]="--fails|1. Code: 0x"
)

# tc_expect CONTAINER CASE KIND: the options of the row, one a line.
tc_expect() {
  local e=${TC_EXPECT["$1 $2 $3"]:-${TC_EXPECT["$1 $2 *"]:-}}
  [ -z "$e" ] || tr '|' '\n' <<<"$e"
}

# tc_source_check CONTAINER CASE SOURCE: the manifest says what the source
# holds: the ffmpeg tool's reading of an undamaged source passes the checker.
# Not for DSM, which it does not read, for two files joined whose headers
# end them (it reads both parts on one clock), for a clock jump in FLV, Ogg
# and M2TS (it stops at the second file's header, or reads the second part
# on the first one's clock), for a picture gap in Ogg (it times the first
# picture after the gap by counting back from the page's end, as if there
# were no gap), nor for a picture step of more than 10 s in MPEG streams (it
# takes that for a jump of the clock).
tc_source_check() {
  local table
  case $2 in clean|vgap7|vgap7-early|vgap7-last|agap3|rot90) ;; vgap15|clockjump) ;; *) return 0 ;; esac
  [ "$1" != dsm ] || return 0
  [ "$2" != clockjump ] || [[ " $TC_WHOLE_FILES flv ogg m2ts " != *" $1 "* ]] || return 0
  [[ "$1 $2" != "ogg vgap"* ]] || return 0
  [ "$2" != vgap15 ] || [[ " ps ts m2ts vob " != *" $1 "* ]] || return 0
  table=$("$TC_CHECK" --manifest "$3.manifest" "$3") ||
    { echo "$table"; fail "$(basename "$3"): the source is not what its manifest says"; }
}

# tc_rows KIND CONTAINER [CASE...]: one row of each case's source (all
# cases by default) to KIND; a case the container's writer cannot make is
# told and left out.
tc_rows() {
  local kind=$1 container=$2 case src options
  shift 2
  for case in ${*:-$TC_CASES}; do
    src=$(tc_source "$container" "$case") || { echo "no $container source of $case: left out"; continue; }
    [ "$kind" != mp4 ] || tc_source_check "$container" "$case" "$src"
    mapfile -t options < <(tc_expect "$container" "$case" "$kind")
    tc_row "$src" "$kind" "${options[@]}"
  done
}

# A few rows under both sanitizer builds.
case_tc_smoke() {
  tc_rows mp4 mkv clean badheader
  tc_rows avi wmv clean
  tc_rows mpeg ts agap3 zeroed
}

# Every case of each container to MP4 (the undamaged sources checked
# against their manifests first). A second writer of a container takes the
# cases where writers lay the file out in their own ways: the long picture
# gap, the damages of times and bytes, the turn.
TC_VARIANT_CASES=${TC_VARIANT_CASES:-vgap15 badstamp zeroed rot90}
case_tc_matrix_mp4_avi() { tc_rows mp4 avi; }
case_tc_matrix_mp4_mkv() { tc_rows mp4 mkv; }
case_tc_matrix_mp4_mkv_mkvmerge() { tc_rows mp4 mkv-mkvmerge $TC_VARIANT_CASES; }
case_tc_matrix_mp4_mkv_gst() { tc_rows mp4 mkv-gst $TC_VARIANT_CASES; }
case_tc_matrix_mp4_mp4() { tc_rows mp4 mp4; }
case_tc_matrix_mp4_mp4_gst() { tc_rows mp4 mp4-gst $TC_VARIANT_CASES; }
case_tc_matrix_mp4_mov() { tc_rows mp4 mov $TC_VARIANT_CASES; }
case_tc_matrix_mp4_3gp() { tc_rows mp4 3gp $TC_VARIANT_CASES; }
case_tc_matrix_mp4_ps() { tc_rows mp4 ps; }
case_tc_matrix_mp4_ts() { tc_rows mp4 ts; }
case_tc_matrix_mp4_m2ts() { tc_rows mp4 m2ts $TC_VARIANT_CASES; }
case_tc_matrix_mp4_vob() { tc_rows mp4 vob $TC_VARIANT_CASES; }
case_tc_matrix_mp4_flv() { tc_rows mp4 flv; }
case_tc_matrix_mp4_ogg() { tc_rows mp4 ogg; }
case_tc_matrix_mp4_wmv() { tc_rows mp4 wmv; }
case_tc_matrix_mp4_rm() { tc_rows mp4 rm; }
case_tc_matrix_mp4_dsm() { tc_rows mp4 dsm; }

# Each of the other target types from three containers: Matroska (through
# the splitters' time line) with a picture gap, the last picture alone and a
# sound gap, ASF/WMV (the platform's source) with the long picture gap, and
# the transport stream with its clock jump; the cases left out repeat those
# classes of fault. A picture series is read one file at a time: it takes the picture
# gaps and the clock jump. TC_TARGET_CASES="$TC_CASES" runs every case from
# all three.
tc_target_rows() {
  tc_rows "$1" mkv ${TC_TARGET_CASES:-vgap7 vgap7-last agap3}
  tc_rows "$1" wmv ${TC_TARGET_CASES:-vgap15}
  tc_rows "$1" ts ${TC_TARGET_CASES:-clockjump}
}
case_tc_matrix_avi() { tc_target_rows avi; }
case_tc_matrix_wmv() { tc_target_rows wmv; }
case_tc_matrix_mpeg() { tc_target_rows mpeg; }
case_tc_matrix_vcd() { tc_target_rows vcd; }
case_tc_matrix_dvd() { tc_target_rows dvd; }
case_tc_matrix_ntsc() { tc_target_rows ntsc; }
case_tc_matrix_3gp() { tc_target_rows 3gp; }
case_tc_matrix_psp() { tc_target_rows psp; }
case_tc_matrix_ipod() { tc_target_rows ipod; }
case_tc_matrix_flv() { tc_target_rows flv; }
case_tc_matrix_pictures() {
  tc_rows pictures mkv ${TC_TARGET_CASES:-vgap7 vgap15 clockjump}
  tc_rows pictures wmv ${TC_TARGET_CASES:-vgap7}
  tc_rows pictures ts ${TC_TARGET_CASES:-vgap15}
}

# The checker against outputs with a known fault, made from the material by
# the ffmpeg tool: each must fail on its own check (and the faithful copy
# pass), so that no check of a row can pass whatever it is given.
#   NAME|FILTERS (ffmpeg -filter_complex over [0:v] and [1:a] to [v] [a])|CHECKS THAT FAIL
TC_CHECKER_ROWS=(
  "faithful|[0:v]null[v];[1:a]anull[a]|"
  "sound 60 ms late|[0:v]null[v];[1:a]adelay=60:all=1[a]|against the picture"
  "second 6 in the place of second 3|[0:v]null[v];[1:a]asplit[a1][a2];[a1]atrim=0:3[p];[a2]atrim=6:7,asetpts=PTS-STARTPTS[q];[1:a]atrim=4:8,asetpts=PTS-STARTPTS[r];[p][q][r]concat=n=3:v=0:a=1[a]|seconds missing;seconds present twice"
  "second 4 lost, the rest moved earlier|[0:v]null[v];[1:a]asplit[a1][a2];[a1]atrim=0:4[p];[a2]atrim=5:8,asetpts=PTS-STARTPTS[q];[p][q]concat=n=2:v=0:a=1[a]|seconds missing;against the picture"
  "a second of picture shown again|[0:v]split[v1][v2];[v1]trim=0:5,setpts=PTS-STARTPTS[p];[v2]trim=4:7,setpts=PTS-STARTPTS[q];[p][q]concat=n=2:v=1:a=0[v];[1:a]anull[a]|shown out of order;off their time"
  "pictures from 5 s shown 2 s early|[0:v]select='lt(n\,75)+gte(n\,125)',setpts=N/25/TB[v];[1:a]anull[a]|off their time"
  "last picture held 3 s past the end|[0:v]tpad=stop_mode=clone:stop_duration=3[v];[1:a]anull[a]|length;past the source's end"
  "picture turned 90 degrees|[0:v]transpose=1,scale=160:120:force_original_aspect_ratio=decrease,pad=160:120:(ow-iw)/2:0[v];[1:a]anull[a]|orientation"
)

case_tc_checker() {
  local raw row name graph want out table check failed
  raw=$(tc_raw 8 0)
  tc_manifest "$WORK/checker.manifest" 8
  for row in "${TC_CHECKER_ROWS[@]}"; do
    IFS='|' read -r name graph want <<<"$row"
    out=$WORK/checker-${name// /-}.mkv
    tc_quiet ffmpeg -nostdin -v error -y -i "$raw.y4m" -i "$raw.wav" -filter_complex "$graph" -map "[v]" -map "[a]" \
      -c:v libx264 -preset veryfast -g 25 -c:a aac -b:a 128k "$out" || { fail "ffmpeg could not write $out"; continue; }
    table=$("$TC_CHECK" --manifest "$WORK/checker.manifest" "$out")
    echo "$name:"
    echo "$table"
    failed=$(echo "$table" | awk '/ FAULT$/ { sub(/^  [a-z]+ +/, ""); sub(/  .*/, ""); print }')
    if [ -z "$want" ]; then
      [ -z "$failed" ] || fail "checker: a faithful copy fails on: $(echo $failed)"
      continue
    fi
    IFS=';' read -r -a checks <<<"$want"
    for check in "${checks[@]}"; do
      echo "$failed" | grep -qxF "$check" || fail "checker: '$name' passes the check '$check'"
    done
  done
}
