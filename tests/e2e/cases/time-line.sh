# Times that one place could believe against what the streams show, on the
# time-coded material (timecode.sh): header frame times and time scales
# damaged both ways, late stamps near the end of MPEG streams, moved
# Matroska times (the picture gaps of the platform's WMV source to every
# target are rows of the matrix, cases/timecode.sh). Every row must bring
# each frame and second of the source to its own place, or lose only what
# the damage took (tc-check). The
# groups named tc_matrix_* carry the "timecode" label (run once, not again
# under ThreadSanitizer); tl_headers stays among the e2e cases.

# tl_source CONTAINER NAME TOOL WHAT ARGS...: the clean time-coded source of
# CONTAINER damaged by `TOOL WHAT SRC OUT ARGS...` (tc-patch.py or
# time-damage.py) into $WORK, sharing the clean one's manifest; more
# manifest lines (what the damage may take) come from TL_LINES. Prints the
# path, nothing when it cannot be made.
tl_source() {
  local container=$1 name=$2 tool=$3 what=$4 clean out
  shift 4
  clean=$(tc_source "$container" clean) || return 1
  out=$WORK/tl-$container-$name.${clean##*.}
  python3 "$tool" "$what" "$clean" "$out" "$@" >/dev/null || { fail "could not damage $clean ($what)"; return 1; }
  cp "$clean.manifest" "$out.manifest"
  [ -z "${TL_LINES:-}" ] || printf '%s\n' "$TL_LINES" >>"$out.manifest"
  echo "$out"
}

# tl_rescaled NAME TRACK EXPRESSION: the clean time-coded MP4 with track
# TRACK's media time scale s set to EXPRESSION (of s, for awk).
tl_rescaled() {
  local clean scale
  clean=$(tc_source mp4 clean) || return 1
  scale=$(ffprobe -v error -select_streams "$2" -show_entries stream=time_base -of csv=p=0 "$clean" | cut -d/ -f2)
  [ -n "$scale" ] || { fail "$clean: no time scale of track $2"; return 1; }
  tl_source mp4 "$1" "$TC_PATCH" mp4-timescale "$2" "$(awk -v s="$scale" "BEGIN { printf \"%d\", $3 }")"
}

# tl_each SOURCE KIND...: one row of SOURCE to each KIND.
tl_each() {
  local src=$1 kind
  shift
  [ -n "$src" ] || return 0
  for kind in "$@"; do tc_row "$src" "$kind"; done
}

# The picture track's media time scale a thousand times too fine (one
# picture would show) to every target type; set to 1, and the sound
# track's a thousand times too fine or a hundred times too coarse, to MP4.
case_tc_matrix_tl_mp4_timescale_a() {
  tl_each "$(tl_rescaled vscale-fine 0 "s * 1000")" avi wmv mpeg vcd
}
case_tc_matrix_tl_mp4_timescale_b() {
  tl_each "$(tl_rescaled vscale-fine 0 "s * 1000")" dvd ntsc 3gp psp
}
case_tc_matrix_tl_mp4_timescale_c() {
  tl_each "$(tl_rescaled vscale-fine 0 "s * 1000")" ipod mp4 flv
}
case_tc_matrix_tl_mp4_timescale_d() {
  tl_each "$(tl_rescaled vscale-1 0 1)" mp4 wmv
  tl_each "$(tl_rescaled ascale-fine 1 "s * 1000")" mp4
  tl_each "$(tl_rescaled ascale-coarse 1 "s / 100")" mp4
}

# Header frame times: an AVI picture stream's rate a thousand times too
# high or its scale a thousand times too large, a Matroska DefaultDuration
# of 4.29 s; a Matroska cluster timed 0 in place of its own time and the
# last five sound blocks moved 3 s on.
case_tl_headers() {
  tl_each "$(tl_source avi rate-high "$TC_PATCH" avi-rate 0 25000 1)" mp4
  tl_each "$(tl_source avi scale-large "$TC_PATCH" avi-rate 0 25 1000)" mp4
  tl_each "$(tc_source mkv badheader)" avi
  # The probe and the log go by the blocks' own spacing, said once.
  grep -q "160x120, 25.000 frames/s" "$WORK/run.log" || fail "mkv badheader: the probe does not give the blocks' 25 frames/s"
  [ "$(grep -c "default frame time of 4294 ms is far from the spacing of its own block times (40 ms)" "$WORK/run.log")" = 1 ] ||
    fail "mkv badheader: the log does not say once that the default frame time was replaced"
  tl_each "$(tc_source mkv badheader)" wmv
  tl_each "$(tc_source mkv vgap7-last)" avi
  tl_each "$(tl_source mkv cluster-zero "$TC_PATCH" mkv-cluster-time 1 0)" mp4
  tl_each "$(TL_LINES="damage 7.8 8" tl_source mkv sound-late "$TC_DAMAGE" mkv-late 2 5 3000)" mp4
}

# One late time near the end: the last picture packet of an MPEG-2 program
# stream 8 s late, of a transport stream 9 s and 4 s late, the last AC-3 packet of
# a VOB 3 s late; a transport stream's sound stamped at the end of the
# 33-bit clock from its fourth packet on.
case_tc_matrix_tl_late_stamps() {
  local TL_LINES="damage 7.9 8"
  tl_each "$(tl_source vob late8 "$TC_DAMAGE" pes-late v 8)" mp4
  tl_each "$(tl_source ts late9 "$TC_DAMAGE" pes-late v 9)" mp4
  tl_each "$(tl_source ts late4 "$TC_DAMAGE" pes-late v 4)" mp4
  tl_each "$(tl_source vob sound-late3 "$TC_DAMAGE" pes-late a 3)" mp4
  TL_LINES=""
  tl_each "$(tl_source ts sound-wild "$TC_DAMAGE" pes-from a 3 0x1FFFFFFFF)" mp4
}
