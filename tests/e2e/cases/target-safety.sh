# End-to-end cases of what a job does to the files that are there already:
# an existing target is replaced only by a finished job (never by a stopped,
# stalled or failed one), a full disk fails the job cleanly, nothing the job
# writes may be its source, two jobs of one run keep apart, pipes are
# refused, picture series never write over a file the job did not write, a
# source that ends short is named, long names fit, and a signal leaves no
# temporary file. Sourced by e2e_case.sh (the helpers run_job, stop_job,
# make_long_source and expect_partial are those of robustness.sh).

MP4_SETS=(--set m_nWidth=176 --set m_nHeight=144 --set m_nVideoCodec=2 --set m_nFrameRateIndex=1
          --set m_nSampleRate=44100)

# expect_failed_with TEXT: the job failed and its log line holds TEXT.
expect_failed_with() {
  grep -qx "job result: failed" "$WORK/run.log" || fail "the job did not end failed"
  grep -qF -- "$1" "$WORK/run.log" || fail "the log does not say: $1"
}

# expect_junk FILE: FILE still holds the user's own line.
expect_junk() {
  [ "$(cat "$1" 2>/dev/null)" = "the user's own file" ] || fail "$1 was changed or removed"
}

# expect_no_temporary DIR: no temporary file of a job is left in DIR.
expect_no_temporary() {
  local left
  left=$(find "$1" -maxdepth 1 -name '*.part' | tr '\n' ' ')
  [ -z "$left" ] || fail "temporary files left behind: $left"
}

# A 2 s source whose noise keeps the encoders at their highest rates, so
# that its outputs are large.
make_noisy_source() {
  NOISY=$WORK/noisy.mpg
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc=size=176x144:rate=25:duration=${1:-2},noise=alls=100:allf=t" \
    -f lavfi -i sine=frequency=440:sample_rate=44100:duration=${1:-2} -c:v mpeg2video -q:v 2 -c:a mp2 \
    -f mpeg "$NOISY" || fail "ffmpeg could not make the noisy source"
}

# with_tmpfs DIR BYTES: a tmpfs of BYTES mounted at DIR until the case ends.
# Fails (the caller skips its checks) when the test cannot mount, that is
# when it does not run as root.
MOUNTS=()
with_tmpfs() {
  if [ "$(id -u)" != 0 ]; then
    echo "skipped: a tmpfs is mounted only when the test runs as root"
    return 1
  fi
  mkdir -p "$1"
  mount -t tmpfs -o size="$2" tmpfs "$1" || { fail "could not mount a tmpfs at $1"; return 1; }
  MOUNTS+=("$1")
  trap 'for m in "${MOUNTS[@]}"; do umount "$m"; done' EXIT
}

case_target_kept_when_job_fails() {  # H.263 takes no 320x240: the encoder refuses to open
  echo "the user's own file" >"$WORK/out.3gp"
  run_job 5 "$MP2" "$WORK/out.3gp" "${SOURCE_SETS[@]}" --set m_nWidth=320 --set m_nHeight=240 \
    --set m_nVideoCodec=1 --set m_nFrameRateIndex=3 --set m_nVideoBitrate=64 --set m_nSampleRate=8000 \
    --set m_nAudioBitrate=12 --set m_nChannels=1 --set m_nAudioCodec=0 --set m_nProfile=0
  expect_failed_with "Error while opening codec"
  expect_junk "$WORK/out.3gp"
  expect_no_temporary "$WORK"
}

case_target_replaced_when_job_succeeds() {
  echo "the user's own file" >"$WORK/out.mp4"
  run 8 "$MP2" "$WORK/out.mp4" "${SOURCE_SETS[@]}" "${MP4_SETS[@]}"
  expect_streams "$WORK/out.mp4" "h264 aac"
  expect_clean_decode "$WORK/out.mp4"
  expect_no_temporary "$WORK"
}

case_short_target_name() {  # a name of five characters is a path like any other
  pushd "$WORK" >/dev/null || return
  run 8 "$MP2" x.mp4 "${SOURCE_SETS[@]}" "${MP4_SETS[@]}"
  popd >/dev/null || return
  expect_streams "$WORK/x.mp4" "h264 aac"
}

case_disk_fills_during_job() {  # MP4, FLV and WMV targets on a 300 kB disk
  make_noisy_source
  local dir=$WORK/full
  with_tmpfs "$dir" 300k || return 0
  echo "the user's own file" >"$dir/out.mp4"
  run_job 8 "$NOISY" "$dir/out.mp4" "${SOURCE_SETS[@]}" "${MP4_SETS[@]}" --set m_nVideoBitrate=3000
  expect_failed_with "Could not write '$dir/out.mp4': No space left on device"
  expect_junk "$dir/out.mp4"
  run_job 9 "$NOISY" "$dir/out.flv" "${SOURCE_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nProfile=6 --set m_nVideoBitrate=3000
  expect_failed_with "Could not write '$dir/out.flv': No space left on device"
  run_job 1 "$NOISY" "$dir/out.wmv" "${SOURCE_SETS[@]}" --set m_nWmProfile=4
  expect_failed_with "Could not write '$dir/out.wmv': A disk error occurred during a write operation"
  [ "$(ls "$dir")" = out.mp4 ] || fail "the failed jobs left files: $(ls "$dir" | tr '\n' ' ')"
}

case_disk_fills_at_trailer() {  # room for every packet of an MP4, none for its index
  make_noisy_source
  mkdir -p "$WORK/ref"
  run 8 "$NOISY" "$WORK/ref/end.mp4" "${SOURCE_SETS[@]}" "${MP4_SETS[@]}" --set m_nVideoBitrate=3000
  local size moov pages
  size=$(stat -c %s "$WORK/ref/end.mp4")
  moov=$(grep -obUa moov "$WORK/ref/end.mp4" | tail -n 1 | cut -d: -f1)
  [ -n "$moov" ] || { fail "no moov box in the reference output"; return; }
  # Whole pages for the data before the index; the index needs one more.
  pages=$(((moov - 4 + 4095) / 4096))
  [ $(((size + 4095) / 4096)) -gt "$pages" ] || { fail "the index shares the data's last page"; return; }
  local dir=$WORK/end
  with_tmpfs "$dir" $((pages * 4096)) || return 0
  run_job 8 "$NOISY" "$dir/end.mp4" "${SOURCE_SETS[@]}" "${MP4_SETS[@]}" --set m_nVideoBitrate=3000
  expect_failed_with "Could not write '$dir/end.mp4': No space left on device"
  [ -z "$(ls "$dir")" ] || fail "the failed job left files: $(ls "$dir" | tr '\n' ' ')"
}

case_split_part_named_like_the_source() {  # a DVD cut at 9 MB: its second part would be the source
  make_noisy_source 14
  mkdir -p "$WORK/split"
  mv "$NOISY" "$WORK/split/clip_1.mpg"
  local before
  before=$(md5sum <"$WORK/split/clip_1.mpg")
  run_job 3 "$WORK/split/clip_1.mpg" "$WORK/split/clip.mpg" --set m_nSourceFormat=16384 \
    --set m_nSourceWidth=176 --set m_nSourceHeight=144 --set m_fDuration=14 --set m_dSourceFrameRate=25 \
    --set m_nMpegKind=4 --set m_nSplitIndex=99 --set m_nWidth=720 --set m_nHeight=576
  expect_failed_with "The target is the source file itself: $WORK/split/clip_1.mpg"
  [ "$(md5sum <"$WORK/split/clip_1.mpg")" = "$before" ] || fail "the source was written over"
  [ "$(ls "$WORK/split")" = clip_1.mpg ] || fail "the failed job left files: $(ls "$WORK/split" | tr '\n' ' ')"
}

case_two_jobs_one_target() {  # the later job of the run takes "b (2).mp4"
  make_noisy_source 1
  run 8 "$MP2" "$WORK/b.mp4" "${SOURCE_SETS[@]}" "${MP4_SETS[@]}" --next-source "$NOISY" \
    --next-target "$WORK/b.mp4"
  grep -qx "job 2: done, target $WORK/b (2).mp4" "$WORK/run.log" || fail "the second row does not show b (2).mp4"
  # Not what the user asked for: the log says so.
  grep -qxF "2. An earlier job of this run wrote $WORK/b.mp4; this job's file is $WORK/b (2).mp4" "$WORK/run.log" ||
    fail "the log does not say where the second job's file went"
  local first second
  first=$(ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$WORK/b.mp4")
  second=$(ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$WORK/b (2).mp4")
  awk -v a="$first" -v b="$second" 'BEGIN { exit !(a > 1.5 && b > 0.5 && b < 1.5) }' ||
    fail "b.mp4 lasts $first s and b (2).mp4 $second s: expected the 2 s and the 1 s source"
}

case_pipes_are_refused() {  # a named pipe as the source, as the target and as a picture
  mkfifo "$WORK/in.mpg" "$WORK/out.mp4"
  run_job 8 "$WORK/in.mpg" "$WORK/o.mp4" "${SOURCE_SETS[@]}" "${MP4_SETS[@]}" --timeout 20
  expect_failed_with "The source is not a regular file: $WORK/in.mpg"
  run_job 8 "$MP2" "$WORK/out.mp4" "${SOURCE_SETS[@]}" "${MP4_SETS[@]}" --timeout 20
  expect_failed_with "The target is not a regular file: $WORK/out.mp4"
  [ -p "$WORK/out.mp4" ] || fail "the pipe given as the target was replaced"
  # A picture of a series whose name is taken by a pipe.
  mkdir -p "$WORK/pictures"
  mkfifo "$WORK/pictures/img_2.jpg"
  run_job 10 "$MP2" "$WORK/pictures/" "${SOURCE_SETS[@]}" --set "m_strPictureFolder=$WORK/pictures/" \
    --set m_fPictureInterval=1000 --timeout 20
  expect_failed_with "Could not write the picture $WORK/pictures/img_2.jpg: not a regular file"
}

case_stopped_job_keeps_its_part() {  # beside an existing target, named as stopped
  local out=$WORK/stop.mp4
  echo "the user's own file" >"$out"
  stop_job 8 "$out" 200000 "${MP4_SETS[@]}"
  expect_junk "$out"
  local part
  part=$(find "$WORK" -maxdepth 1 -name 'stop (stopped at * s).mp4')
  [ -n "$part" ] || { fail "no 'stop (stopped at N s).mp4' beside the target: $(ls "$WORK" | tr '\n' ' ')"; return; }
  expect_partial "$part" h264
  expect_no_temporary "$WORK"
}

# expect_only DIR NAMES...: DIR holds these names and nothing else.
expect_only() {
  local dir=$1 got want
  shift
  got=$(cd "$dir" && ls -A | sort | tr '\n' ' ')
  want=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
  [ "$got" = "$want" ] || fail "$dir holds '$got', expected '$want'"
}

case_stalled_job_fails_and_the_batch_goes_on() {  # pictures held at 3 s of a WMV job, sound goes on to the end
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=176x144:rate=25:duration=10 \
    -f lavfi -i sine=frequency=440:sample_rate=44100:duration=10 -c:v mpeg2video -c:a mp2 -f mpeg "$WORK/ten.mpg" ||
    fail "ffmpeg could not make the source"
  echo "the user's own file" >"$WORK/out.wmv"
  run_job 1 "$WORK/ten.mpg" "$WORK/out.wmv" "${SOURCE_SETS[@]}" --set m_fDuration=10 --set m_nWmProfile=4 \
    --hold-video-at 3 --next-target "$WORK/next.wmv" --timeout 200
  grep -qx "1. The conversion made no progress for 20 s at 3.0 s of 10.0 s" "$WORK/run.log" ||
    fail "the stalled job's text does not say where it stopped"
  grep -qx "job 1: failed, target $WORK/out.wmv" "$WORK/run.log" || fail "the stalled job did not fail"
  grep -qx "job 2: done, target $WORK/next.wmv" "$WORK/run.log" || fail "the next job did not run to its end"
  expect_junk "$WORK/out.wmv"
  expect_streams "$WORK/next.wmv" "wmv2 wmav2"
  expect_only "$WORK" ten.mpg out.wmv next.wmv run.log
}

case_source_ends_short() {  # probed at 10 s, 5 s there: done, and the log says so
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=176x144:rate=25:duration=5 \
    -f lavfi -i sine=frequency=440:sample_rate=44100:duration=5 -c:v mpeg2video -c:a mp2 -f mpeg "$WORK/cut.mpg" ||
    fail "ffmpeg could not make the source"
  run 8 "$WORK/cut.mpg" "$WORK/cut.mp4" "${SOURCE_SETS[@]}" "${MP4_SETS[@]}" --set m_fDuration=10
  grep -qx "1. The source ended at 5.0 s of the 10.0 s expected; the target holds what was converted" "$WORK/run.log" ||
    fail "the log does not name the length converted"
  grep -q "^progress line: Total Length:  10.00 s, Converted Length:   5.0[0-9] s" "$WORK/run.log" ||
    fail "the completion line does not show what was converted"
}

case_source_shrinks_during_job() {  # cut to half while converted: failed, the earlier target kept
  make_noisy_source 40
  echo "the user's own file" >"$WORK/out.mp4"
  run_job 8 "$NOISY" "$WORK/out.mp4" "${SOURCE_SETS[@]}" "${MP4_SETS[@]}" --set m_fDuration=40 \
    --shrink-source-after 50000
  grep -q "^source cut from" "$WORK/run.log" || { fail "the job ended before the source could be cut"; return; }
  expect_failed_with "1. The source file changed while it was converted: it ended at "
  expect_junk "$WORK/out.mp4"
  expect_only "$WORK" noisy.mpg out.mp4 run.log
}

case_long_target_names() {  # 255 bytes, of plain and of two-byte characters, and 251
  local name
  for name in "$(printf 'a%.0s' $(seq 251)).mp4" "$(printf '\xc3\xa9%.0s' $(seq 125))x.mp4" \
    "$(printf 'b%.0s' $(seq 247)).mp4"; do
    run 8 "$MP2" "$WORK/$name" "${SOURCE_SETS[@]}" "${MP4_SETS[@]}"
    expect_streams "$WORK/$name" "h264 aac"
  done
  expect_no_temporary "$WORK"
}

# kill_writing_job SIG: a job of the long source to out.mp4, sent SIG once
# out.mp4.part holds bytes; returns the program's exit status.
kill_writing_job() {
  # Started with every signal at its default (a background job of a
  # script ignores SIGINT).
  perl -e '$SIG{INT} = $SIG{HUP} = $SIG{TERM} = $SIG{QUIT} = "DEFAULT"; exec @ARGV' -- "$BIN" --type 8 \
    --source "$LONG" --target "$WORK/out.mp4" --timeout 120 "${SOURCE_SETS[@]}" "${MP4_SETS[@]}" \
    --set m_fDuration=40 >"$WORK/run.log" 2>&1 &
  local pid=$!
  for _ in $(seq 600); do
    [ -s "$WORK/out.mp4.part" ] && break
    sleep 0.1
  done
  [ -s "$WORK/out.mp4.part" ] || fail "SIG$1: the job wrote nothing to out.mp4.part"
  kill -s "$1" "$pid"
  wait "$pid"
}

case_signal_removes_temporary_file() {  # SIGTERM, SIGINT and SIGHUP during a job
  make_long_source
  echo "the user's own file" >"$WORK/out.mp4"
  local sig status
  for sig in TERM INT HUP; do
    kill_writing_job "$sig"
    status=$?
    [ "$status" -eq $((128 + $(kill -l "$sig"))) ] || fail "SIG$sig: the program ended with $status, not by the signal"
    expect_junk "$WORK/out.mp4"
    expect_only "$WORK" long.mpg out.mp4 run.log
  done
}

case_pictures_interval_zero() {  # the frame changer refuses it and the job fails
  mkdir -p "$WORK/pictures"
  run_job 10 "$MP2" "$WORK/pictures/" "${SOURCE_SETS[@]}" --set "m_strPictureFolder=$WORK/pictures/" \
    --set m_fPictureInterval=0
  expect_failed_with "The frame changer refused the picture output"
  [ -z "$(ls "$WORK/pictures")" ] || fail "pictures were written: $(ls "$WORK/pictures" | tr '\n' ' ')"
}

# Picture series of one picture a second of the 2 s sample.
case_pictures_never_write_over_files() {
  local dir=$WORK/pictures source=$WORK/source.mpg
  mkdir -p "$dir"
  cp "$MP2" "$source"
  local before
  before=$(md5sum <"$source")
  echo "the user's own file" >"$WORK/other.txt"
  # Taken names, the user not asked: the job fails before it writes, naming
  # the first of them.
  echo "the user's own file" >"$dir/img_1.jpg"
  ln -s "$source" "$dir/img_2.jpg"
  ln -s "$WORK/other.txt" "$dir/img_3.jpg"
  run_job 10 "$source" "$dir/" "${SOURCE_SETS[@]}" --set "m_strPictureFolder=$dir/" --set m_fPictureInterval=1000
  expect_failed_with "Could not write the picture $dir/img_1.jpg: a file of that name is already there"
  expect_only "$dir" img_1.jpg img_2.jpg img_3.jpg
  # The user chose to replace them: the source is still never a target,
  # whatever link leads to it.
  run_job 10 "$source" "$dir/" "${SOURCE_SETS[@]}" --set "m_strPictureFolder=$dir/" --set m_fPictureInterval=1000 \
    --set m_bReplacePictures=1
  expect_failed_with "Could not write the picture $dir/img_2.jpg: it is the source file"
  expect_junk "$dir/img_1.jpg"
  # Without the link to the source: the pictures take the names, and the
  # link to another file is replaced, not written through.
  rm "$dir/img_2.jpg"
  run_job 10 "$source" "$dir/" "${SOURCE_SETS[@]}" --set "m_strPictureFolder=$dir/" --set m_fPictureInterval=1000 \
    --set m_bReplacePictures=1
  grep -qx "job result: done" "$WORK/run.log" || fail "the series with replacing chosen did not end done"
  expect_only "$dir" img_1.jpg img_2.jpg img_3.jpg
  local f
  for f in img_1.jpg img_2.jpg; do
    [ -f "$dir/$f" ] && [ ! -L "$dir/$f" ] && expect_streams "$dir/$f" mjpeg
  done
  [ -L "$dir/img_3.jpg" ] || fail "the link img_3.jpg, past the series' end, was touched"
  expect_junk "$WORK/other.txt"
  [ "$(md5sum <"$source")" = "$before" ] || fail "the source was written over"
}

case_pictures_fill_the_disk() {  # a series fails on a full disk: its pictures go, the user's file stays
  make_long_source
  local dir=$WORK/full
  with_tmpfs "$dir" 100k || return 0
  echo "the user's own file" >"$dir/notes.txt"
  run_job 10 "$LONG" "$dir/" --set m_nSourceFormat=16384 --set m_nSourceWidth=176 --set m_nSourceHeight=144 \
    --set m_fDuration=40 --set "m_strPictureFolder=$dir/" --set m_fPictureInterval=100
  expect_failed_with "Could not write the picture $dir/img_"
  expect_junk "$dir/notes.txt"
  expect_only "$dir" notes.txt
}

# Removed, or replaced by another file, while converted: the job read the
# file whole through its own opening, so the result stays. The probe said
# 22 s of the 20 s there, as probes of some sources say a little more.
case_source_gone_after_it_was_read() {
  make_noisy_source 20
  local how out
  for how in remove replace; do
    out=$WORK/$how.mp4
    cp "$NOISY" "$WORK/source.mpg"
    run_job 8 "$WORK/source.mpg" "$out" "${SOURCE_SETS[@]}" "${MP4_SETS[@]}" --set m_fDuration=22 \
      "--$how-source-after" 50000
    grep -q "^source ${how}d$" "$WORK/run.log" || { fail "$how: the job ended before the source could go"; continue; }
    grep -qx "job result: done" "$WORK/run.log" || fail "$how: the job did not end done"
    local word=removed
    [ $how = replace ] && word="replaced by another file"
    grep -qx "1. The source file was $word after it was read; the target was made from the file as it was read" \
      "$WORK/run.log" || fail "$how: the log does not say what became of the source"
    grep -qx "1. The source ended at 20.0 s of the 22.0 s expected; the target holds what was converted" \
      "$WORK/run.log" || fail "$how: the log does not say how much there was"
    expect_streams "$out" "h264 aac"
    awk -v d="$(ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$out")" \
      'BEGIN { exit !(d > 19.5 && d < 20.5) }' || fail "$how: $out is not the whole 20 s"
    expect_clean_decode "$out"
  done
  expect_no_temporary "$WORK"
}

case_backslash_in_names() {  # "a\b.mpg" is one file of this folder, as a source and as a target
  cp "$MP2" "$WORK/a\\b.mpg"
  run 8 "$WORK/a\\b.mpg" "$WORK/c\\d.mp4" "${SOURCE_SETS[@]}" "${MP4_SETS[@]}"
  expect_streams "$WORK/c\\d.mp4" "h264 aac"
  cmp -s "$MP2" "$WORK/a\\b.mpg" || fail "the source was changed"
  expect_only "$WORK" 'a\b.mpg' 'c\d.mp4' run.log
}

case_killed_job_leftover_replaced() {  # SIGKILL and SIGQUIT leave out.mp4.part; the next job of out.mp4 takes it back
  make_long_source
  echo "the user's own file" >"$WORK/other.mp4.part"
  local sig
  for sig in QUIT KILL; do
    kill_writing_job "$sig"
    rm -f "$WORK"/core*
    # Only a signal that leaves no time for cleaning up (SIGKILL) leaves it.
    [ "$sig" = QUIT ] && [ -e "$WORK/out.mp4.part" ] && fail "SIGQUIT left out.mp4.part"
  done
  [ -e "$WORK/out.mp4.part" ] || fail "SIGKILL left no out.mp4.part to take back"
  run 8 "$MP2" "$WORK/out.mp4" "${SOURCE_SETS[@]}" "${MP4_SETS[@]}"
  expect_streams "$WORK/out.mp4" "h264 aac"
  # A user's own file of a job's temporary name is no leftover.
  run 8 "$MP2" "$WORK/other.mp4" "${SOURCE_SETS[@]}" "${MP4_SETS[@]}"
  expect_streams "$WORK/other.mp4" "h264 aac"
  expect_junk "$WORK/other.mp4.part"
  expect_only "$WORK" long.mpg out.mp4 other.mp4 other.mp4.part run.log
}

case_source_grows_during_job() {  # doubled while converted: done with what it held, and the log says so
  make_noisy_source 8
  run 8 "$NOISY" "$WORK/grown.mp4" "${SOURCE_SETS[@]}" "${MP4_SETS[@]}" --set m_fDuration=8 --grow-source-after 50000
  grep -q "^source grown from" "$WORK/run.log" || { fail "the job ended before the source could grow"; return; }
  grep -q "The source grew while the job read it, from [0-9]* to [0-9]* bytes: the job converted the [0-9]* bytes it held when the job began (8 s)" \
    "$WORK/run.log" || fail "the log does not say that the source grew and what was converted"
}
