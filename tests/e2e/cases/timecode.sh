# Time-coded rows (timecode.sh): every case in every container to MP4, and
# every case in three containers (Matroska, ASF/WMV, transport stream) to
# each target type. Each row converts as the window would and must bring
# every frame and second of the source to its own place (tc-check). The
# cases named tc_matrix_* carry the ctest label "timecode" (not run again
# under ThreadSanitizer); the tc_smoke case keeps a few rows there. The
# matrix_tc_* groups become cases (case_tc_matrix_*) once their rows are
# marked.

TC_CASES="clean vgap7 vgap7-early vgap15 vgap7-last agap3 clockjump badstamp badheader zeroed cut"

# Known faults of today's code, by "CONTAINER CASE KIND": the row passes while
# the fault shows and fails once it is gone (take the line away then).
declare -A TC_KNOWN=(
  ["wmv vgap7 avi"]="the picture after a 7 s gap of a WMV runs on for hundreds of seconds"
  ["wmv vgap15 mp4"]="the pictures after a 15 s gap of a WMV come out 15 s early, before their sound"
  ["mkv vgap7-last avi"]="the last picture of a Matroska file, 7 s after the one before, is held past the end"
  ["ts clockjump mpeg"]="the last two pictures before a transport stream's clock jump are lost"
  ["mkv badheader mp4"]="a damaged DefaultDuration outweighs the blocks' own times: minutes of picture"
)

# tc_rows KIND CONTAINER [CASE...]: one row of each case's source (all
# cases by default) to KIND; a case the container's writer cannot make is
# told and left out.
tc_rows() {
  local kind=$1 container=$2 case src known
  shift 2
  for case in ${*:-$TC_CASES}; do
    src=$(tc_source "$container" "$case") || { echo "no $container source of $case: left out"; continue; }
    known=${TC_KNOWN["$container $case $kind"]:-}
    if [ -n "$known" ]; then
      tc_row "$src" "$kind" --known "$known"
    else
      tc_row "$src" "$kind"
    fi
  done
}

# A few rows under both sanitizer builds.
case_tc_smoke() {
  tc_rows mp4 mkv clean vgap7-early zeroed
  tc_rows avi wmv clean vgap7
  tc_rows mpeg ts agap3 clockjump
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
