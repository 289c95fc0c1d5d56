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
  ["3gp rot90 mp4"]="--known|the turn an MP4 track's matrix asks for is not applied: the picture comes out upright"
  ["mov rot90 mp4"]="--known|the turn an MP4 track's matrix asks for is not applied: the picture comes out upright"
  ["mp4 rot90 mp4"]="--known|the turn an MP4 track's matrix asks for is not applied: the picture comes out upright"
  ["mp4-gst rot90 mp4"]="--known|the turn an MP4 track's matrix asks for is not applied: the picture comes out upright"
  ["3gp cut mp4"]="--fails|1. Code: 0x"
  ["3gp vgap7-last mp4"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["avi vgap7-last mp4"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["dsm vgap7-last mp4"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["flv vgap7-last mp4"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["m2ts vgap15 mp4"]="--known|the picture after a gap is shown from the gap's start, not the one before it held"
  ["m2ts vgap7-last mp4"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["m2ts zeroed mp4"]="--known|after damage in an M2TS file every picture comes 80 ms late"
  ["mkv badheader 3gp"]="--known|a damaged DefaultDuration outweighs the blocks' own times: minutes of picture"
  ["mkv badheader avi"]="--known|a damaged DefaultDuration outweighs the blocks' own times: minutes of picture"
  ["mkv badheader dvd"]="--known|a damaged DefaultDuration outweighs the blocks' own times: minutes of picture"
  ["mkv badheader flv"]="--known|a damaged DefaultDuration outweighs the blocks' own times: minutes of picture"
  ["mkv badheader ipod"]="--known|a damaged DefaultDuration outweighs the blocks' own times: minutes of picture"
  ["mkv badheader mp4"]="--known|a damaged DefaultDuration outweighs the blocks' own times: minutes of picture"
  ["mkv badheader mpeg"]="--known|a damaged DefaultDuration outweighs the blocks' own times: minutes of picture"
  ["mkv badheader ntsc"]="--known|a damaged DefaultDuration outweighs the blocks' own times: minutes of picture"
  ["mkv badheader pictures"]="--known|a damaged DefaultDuration outweighs the blocks' own times: minutes of picture"
  ["mkv badstamp 3gp"]="--known|a Matroska picture with a damaged time is dropped: the pictures after it up to the next key frame come out broken"
  ["mkv badstamp avi"]="--known|a Matroska picture with a damaged time is dropped: the pictures after it up to the next key frame come out broken"
  ["mkv badstamp dvd"]="--known|a Matroska picture with a damaged time is dropped: the pictures after it up to the next key frame come out broken"
  ["mkv badstamp flv"]="--known|a Matroska picture with a damaged time is dropped: the pictures after it up to the next key frame come out broken"
  ["mkv badstamp ipod"]="--known|a Matroska picture with a damaged time is dropped: the pictures after it up to the next key frame come out broken"
  ["mkv badstamp mp4"]="--known|a Matroska picture with a damaged time is dropped: the pictures after it up to the next key frame come out broken"
  ["mkv badstamp mpeg"]="--known|a Matroska picture with a damaged time is dropped: the pictures after it up to the next key frame come out broken"
  ["mkv badstamp ntsc"]="--known|a Matroska picture with a damaged time is dropped: the pictures after it up to the next key frame come out broken"
  ["mkv vgap15 3gp"]="--known|the picture after a gap is shown from the gap's start, not the one before it held"
  ["mkv vgap15 avi"]="--known|the picture after a gap is shown from the gap's start, not the one before it held"
  ["mkv vgap15 dvd"]="--known|the picture after a gap is shown from the gap's start, not the one before it held"
  ["mkv vgap15 flv"]="--known|the picture after a gap is shown from the gap's start, not the one before it held"
  ["mkv vgap15 ipod"]="--known|the picture after a gap is shown from the gap's start, not the one before it held"
  ["mkv vgap15 mp4"]="--known|the picture after a gap is shown from the gap's start, not the one before it held"
  ["mkv vgap15 mpeg"]="--known|the picture after a gap is shown from the gap's start, not the one before it held"
  ["mkv vgap15 ntsc"]="--known|the picture after a gap is shown from the gap's start, not the one before it held"
  ["mkv vgap15 pictures"]="--known|still pictures leave a picture gap out: those after it are numbered as if it were not there"
  ["mkv vgap7 pictures"]="--known|still pictures leave a picture gap out: those after it are numbered as if it were not there"
  ["mkv vgap7-early pictures"]="--known|still pictures leave a picture gap out: those after it are numbered as if it were not there"
  ["mkv vgap7-last 3gp"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["mkv vgap7-last avi"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["mkv vgap7-last dvd"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["mkv vgap7-last flv"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["mkv vgap7-last ipod"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["mkv vgap7-last mp4"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["mkv vgap7-last mpeg"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["mkv vgap7-last ntsc"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["mkv-gst badheader mp4"]="--known|a damaged DefaultDuration outweighs the blocks' own times: minutes of picture"
  ["mkv-gst badstamp mp4"]="--known|a Matroska picture with a damaged time is dropped: the pictures after it up to the next key frame come out broken"
  ["mkv-mkvmerge badheader mp4"]="--known|a damaged DefaultDuration outweighs the blocks' own times: minutes of picture"
  ["mkv-mkvmerge badstamp mp4"]="--known|a Matroska picture with a damaged time is dropped: the pictures after it up to the next key frame come out broken"
  ["mkv-mkvmerge vgap15 mp4"]="--known|the picture after a gap is shown from the gap's start, not the one before it held"
  ["mkv-mkvmerge vgap7-last mp4"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["mov cut mp4"]="--fails|1. Code: 0x"
  ["mov vgap7-last mp4"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["mp4 cut mp4"]="--fails|1. Code: 0x"
  ["mp4 vgap15 mp4"]="--known|the picture after a gap is shown from the gap's start, not the one before it held"
  ["mp4 vgap7-last mp4"]="--known|the last picture, 7 s after the one before, is lost"
  ["mp4-gst cut mp4"]="--fails|1. Code: 0x"
  ["ogg clockjump mp4"]="--known|the second link of a chained Ogg file is left out"
  ["ogg vgap7-last mp4"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["ps vgap15 mp4"]="--known|the picture after a gap is shown from the gap's start, not the one before it held"
  ["ps vgap7 mp4"]="--known|the picture after a gap is shown from the gap's start, not the one before it held"
  ["ps vgap7-early mp4"]="--known|the picture after a gap is shown from the gap's start, not the one before it held"
  ["ts clockjump avi"]="--known|the last two pictures before an MPEG stream's clock jump are lost"
  ["ts clockjump dvd"]="--known|the last two pictures before an MPEG stream's clock jump are lost"
  ["ts clockjump ipod"]="--known|the last two pictures before an MPEG stream's clock jump are lost"
  ["ts clockjump mp4"]="--known|the last two pictures before an MPEG stream's clock jump are lost"
  ["ts clockjump mpeg"]="--known|the last two pictures before an MPEG stream's clock jump are lost"
  ["ts clockjump ntsc"]="--known|the last two pictures before an MPEG stream's clock jump are lost"
  ["ts vgap7-last 3gp"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["ts vgap7-last avi"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["ts vgap7-last dvd"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["ts vgap7-last flv"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["ts vgap7-last ipod"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["ts vgap7-last mp4"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["ts vgap7-last mpeg"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["ts vgap7-last ntsc"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["vob clockjump mp4"]="--known|the last two pictures before an MPEG stream's clock jump are lost"
  ["vob vgap15 mp4"]="--known|the picture after a gap is shown from the gap's start, not the one before it held"
  ["vob vgap7-early mp4"]="--known|the picture after a gap is shown from the gap's start, not the one before it held"
  ["wmv vgap15 3gp"]="--known|the pictures after a 15 s gap of a WMV come out 15 s early, before their sound"
  ["wmv vgap15 avi"]="--known|the pictures after a 15 s gap of a WMV come out 15 s early, before their sound"
  ["wmv vgap15 dvd"]="--known|the pictures after a 15 s gap of a WMV come out 15 s early, before their sound"
  ["wmv vgap15 flv"]="--known|the pictures after a 15 s gap of a WMV come out 15 s early, before their sound"
  ["wmv vgap15 ipod"]="--known|the pictures after a 15 s gap of a WMV come out 15 s early, before their sound"
  ["wmv vgap15 mp4"]="--known|the pictures after a 15 s gap of a WMV come out 15 s early, before their sound"
  ["wmv vgap15 mpeg"]="--known|the pictures after a 15 s gap of a WMV come out 15 s early, before their sound"
  ["wmv vgap15 ntsc"]="--known|the pictures after a 15 s gap of a WMV come out 15 s early, before their sound"
  ["wmv vgap7 3gp"]="--known|the picture after a 7 s gap of a WMV runs on for hundreds of seconds"
  ["wmv vgap7 avi"]="--known|the picture after a 7 s gap of a WMV runs on for hundreds of seconds"
  ["wmv vgap7 dvd"]="--known|the picture after a 7 s gap of a WMV runs on for hundreds of seconds"
  ["wmv vgap7 flv"]="--known|the picture after a 7 s gap of a WMV runs on for hundreds of seconds"
  ["wmv vgap7 ipod"]="--known|the picture after a 7 s gap of a WMV runs on for hundreds of seconds"
  ["wmv vgap7 mp4"]="--known|the picture after a 7 s gap of a WMV runs on for hundreds of seconds"
  ["wmv vgap7 mpeg"]="--known|the picture after a 7 s gap of a WMV runs on for hundreds of seconds"
  ["wmv vgap7 ntsc"]="--known|the picture after a 7 s gap of a WMV runs on for hundreds of seconds"
  ["wmv vgap7-last 3gp"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["wmv vgap7-last avi"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["wmv vgap7-last dvd"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["wmv vgap7-last flv"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["wmv vgap7-last ipod"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["wmv vgap7-last mp4"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["wmv vgap7-last mpeg"]="--known|the last picture, 7 s after the one before, is held past the end"
  ["wmv vgap7-last ntsc"]="--known|the last picture, 7 s after the one before, is held past the end"
)

# tc_expect CONTAINER CASE KIND: the options of the row, one a line.
tc_expect() {
  local e=${TC_EXPECT["$1 $2 $3"]:-${TC_EXPECT["$1 $2 *"]:-}}
  [ -z "$e" ] || tr '|' '\n' <<<"$e"
}

# tc_source_check CONTAINER CASE SOURCE: the manifest says what the source
# holds: the ffmpeg tool's reading of an undamaged source passes the checker.
# Not for DSM, which it does not read, for two files joined whose headers
# end them (it reads both parts on one clock), nor for a picture step of
# more than 10 s in MPEG streams (it takes that for a jump of the clock).
tc_source_check() {
  local table
  case $2 in clean|vgap7|vgap7-early|vgap7-last|agap3|rot90) ;; vgap15|clockjump) ;; *) return 0 ;; esac
  [ "$1" != dsm ] || return 0
  [ "$2" != clockjump ] || [[ " $TC_WHOLE_FILES " != *" $1 "* ]] || return 0
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
# against their manifests first).
case_tc_matrix_mp4_avi() { tc_rows mp4 avi; }
case_tc_matrix_mp4_mkv() { tc_rows mp4 mkv; }
case_tc_matrix_mp4_mkv_mkvmerge() { tc_rows mp4 mkv-mkvmerge; }
case_tc_matrix_mp4_mkv_gst() { tc_rows mp4 mkv-gst; }
case_tc_matrix_mp4_mp4() { tc_rows mp4 mp4; }
case_tc_matrix_mp4_mp4_gst() { tc_rows mp4 mp4-gst; }
case_tc_matrix_mp4_mov() { tc_rows mp4 mov; }
case_tc_matrix_mp4_3gp() { tc_rows mp4 3gp; }
case_tc_matrix_mp4_ps() { tc_rows mp4 ps; }
case_tc_matrix_mp4_ts() { tc_rows mp4 ts; }
case_tc_matrix_mp4_m2ts() { tc_rows mp4 m2ts; }
case_tc_matrix_mp4_vob() { tc_rows mp4 vob; }
case_tc_matrix_mp4_flv() { tc_rows mp4 flv; }
case_tc_matrix_mp4_ogg() { tc_rows mp4 ogg; }
case_tc_matrix_mp4_wmv() { tc_rows mp4 wmv; }
case_tc_matrix_mp4_rm() { tc_rows mp4 rm; }
case_tc_matrix_mp4_dsm() { tc_rows mp4 dsm; }

# Three containers to each of the other target types: the cases that tell
# the classes of fault apart (the others repeat them), which keeps the suite
# within CI's time; TC_TARGET_CASES="$TC_CASES" runs them all.
TC_TARGET_CASES=${TC_TARGET_CASES:-clean vgap7 vgap15 vgap7-last agap3 clockjump zeroed}
case_tc_matrix_avi_mkv() { tc_rows avi mkv $TC_TARGET_CASES; }
case_tc_matrix_avi_wmv() { tc_rows avi wmv $TC_TARGET_CASES; }
case_tc_matrix_avi_ts() { tc_rows avi ts $TC_TARGET_CASES; }
case_tc_matrix_wmv_mkv() { tc_rows wmv mkv $TC_TARGET_CASES; }
case_tc_matrix_wmv_wmv() { tc_rows wmv wmv $TC_TARGET_CASES; }
case_tc_matrix_wmv_ts() { tc_rows wmv ts $TC_TARGET_CASES; }
case_tc_matrix_mpeg_mkv() { tc_rows mpeg mkv $TC_TARGET_CASES; }
case_tc_matrix_mpeg_wmv() { tc_rows mpeg wmv $TC_TARGET_CASES; }
case_tc_matrix_mpeg_ts() { tc_rows mpeg ts $TC_TARGET_CASES; }
case_tc_matrix_vcd_mkv() { tc_rows vcd mkv $TC_TARGET_CASES; }
case_tc_matrix_vcd_wmv() { tc_rows vcd wmv $TC_TARGET_CASES; }
case_tc_matrix_vcd_ts() { tc_rows vcd ts $TC_TARGET_CASES; }
case_tc_matrix_dvd_mkv() { tc_rows dvd mkv $TC_TARGET_CASES; }
case_tc_matrix_dvd_wmv() { tc_rows dvd wmv $TC_TARGET_CASES; }
case_tc_matrix_dvd_ts() { tc_rows dvd ts $TC_TARGET_CASES; }
case_tc_matrix_ntsc_mkv() { tc_rows ntsc mkv $TC_TARGET_CASES; }
case_tc_matrix_ntsc_wmv() { tc_rows ntsc wmv $TC_TARGET_CASES; }
case_tc_matrix_ntsc_ts() { tc_rows ntsc ts $TC_TARGET_CASES; }
case_tc_matrix_3gp_mkv() { tc_rows 3gp mkv $TC_TARGET_CASES; }
case_tc_matrix_3gp_wmv() { tc_rows 3gp wmv $TC_TARGET_CASES; }
case_tc_matrix_3gp_ts() { tc_rows 3gp ts $TC_TARGET_CASES; }
case_tc_matrix_psp_mkv() { tc_rows psp mkv $TC_TARGET_CASES; }
case_tc_matrix_psp_wmv() { tc_rows psp wmv $TC_TARGET_CASES; }
case_tc_matrix_psp_ts() { tc_rows psp ts $TC_TARGET_CASES; }
case_tc_matrix_ipod_mkv() { tc_rows ipod mkv $TC_TARGET_CASES; }
case_tc_matrix_ipod_wmv() { tc_rows ipod wmv $TC_TARGET_CASES; }
case_tc_matrix_ipod_ts() { tc_rows ipod ts $TC_TARGET_CASES; }
case_tc_matrix_flv_mkv() { tc_rows flv mkv $TC_TARGET_CASES; }
case_tc_matrix_flv_wmv() { tc_rows flv wmv $TC_TARGET_CASES; }
case_tc_matrix_flv_ts() { tc_rows flv ts $TC_TARGET_CASES; }
case_tc_matrix_pictures_mkv() { tc_rows pictures mkv $TC_TARGET_CASES; }
case_tc_matrix_pictures_wmv() { tc_rows pictures wmv $TC_TARGET_CASES; }
case_tc_matrix_pictures_ts() { tc_rows pictures ts $TC_TARGET_CASES; }

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
