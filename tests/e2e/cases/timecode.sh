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
  ["wmv vgap7 avi"]="--known|the picture after a 7 s gap of a WMV runs on for hundreds of seconds"
  ["wmv vgap15 mp4"]="--known|the pictures after a 15 s gap of a WMV come out 15 s early, before their sound"
  ["mkv vgap7-last avi"]="--known|the last picture of a Matroska file, 7 s after the one before, is held past the end"
  ["mkv badheader mp4"]="--known|a damaged DefaultDuration outweighs the blocks' own times: minutes of picture"
  ["ts clockjump mpeg"]="--known|the last two pictures before a transport stream's clock jump are lost"
)

# tc_expect CONTAINER CASE KIND: the options of the row, one a line.
tc_expect() {
  local e=${TC_EXPECT["$1 $2 $3"]:-${TC_EXPECT["$1 $2 *"]:-}}
  [ -z "$e" ] || tr '|' '\n' <<<"$e"
}

# tc_rows KIND CONTAINER [CASE...]: one row of each case's source (all
# cases by default) to KIND; a case the container's writer cannot make is
# told and left out.
tc_rows() {
  local kind=$1 container=$2 case src options
  shift 2
  for case in ${*:-$TC_CASES}; do
    src=$(tc_source "$container" "$case") || { echo "no $container source of $case: left out"; continue; }
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

# Every case of each container to MP4.
matrix_tc_mp4_avi() { tc_rows mp4 avi; }
matrix_tc_mp4_mkv() { tc_rows mp4 mkv; }
matrix_tc_mp4_mkv_mkvmerge() { tc_rows mp4 mkv-mkvmerge; }
matrix_tc_mp4_gst() { tc_rows mp4 mkv-gst; tc_rows mp4 mp4-gst; }
matrix_tc_mp4_mp4() { tc_rows mp4 mp4; }
matrix_tc_mp4_mov() { tc_rows mp4 mov; }
matrix_tc_mp4_3gp() { tc_rows mp4 3gp; }
matrix_tc_mp4_ps() { tc_rows mp4 ps; }
matrix_tc_mp4_ts() { tc_rows mp4 ts; }
matrix_tc_mp4_m2ts() { tc_rows mp4 m2ts; }
matrix_tc_mp4_vob() { tc_rows mp4 vob; }
matrix_tc_mp4_flv() { tc_rows mp4 flv; }
matrix_tc_mp4_ogg() { tc_rows mp4 ogg; }
matrix_tc_mp4_wmv() { tc_rows mp4 wmv; }
matrix_tc_mp4_rm() { tc_rows mp4 rm; }
matrix_tc_mp4_dsm() { tc_rows mp4 dsm; }

# Every case of three containers to each of the other target types.
tc_targets() {
  local container
  for container in mkv wmv ts; do tc_rows "$1" "$container"; done
}
matrix_tc_avi() { tc_targets avi; }
matrix_tc_wmv() { tc_targets wmv; }
matrix_tc_mpeg() { tc_targets mpeg; }
matrix_tc_vcd() { tc_targets vcd; }
matrix_tc_dvd() { tc_targets dvd; }
matrix_tc_ntsc() { tc_targets ntsc; }
matrix_tc_3gp() { tc_targets 3gp; }
matrix_tc_psp() { tc_targets psp; }
matrix_tc_ipod() { tc_targets ipod; }
matrix_tc_flv() { tc_targets flv; }
matrix_tc_pictures() { tc_targets pictures; }

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

# The manifests say what the sources hold: the ffmpeg tool's reading of each
# undamaged source (but DSM's, which it does not read, and files joined
# whose headers end them, of which it reads both parts on one clock) passes
# the checker.
TC_CONTAINERS="avi mkv mkv-mkvmerge mkv-gst mp4 mp4-gst mov 3gp ps ts m2ts vob flv ogg wmv rm"
case_tc_matrix_sources() {
  local container case src table
  for container in $TC_CONTAINERS; do
    for case in clean vgap7 vgap7-early vgap15 vgap7-last agap3 clockjump rot90; do
      [ "$case" != clockjump ] || [[ " $TC_WHOLE_FILES " != *" $container "* ]] || continue
      src=$(tc_source "$container" "$case") || continue
      table=$("$TC_CHECK" --manifest "$src.manifest" "$src") || { echo "$table"; fail "$(basename "$src"): the source is not what its manifest says"; }
    done
  done
}
