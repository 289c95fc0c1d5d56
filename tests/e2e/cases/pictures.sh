# Movies made of picture lists (type 0 with pictures, as the picture-list
# page leaves the job): the three list samples of tests/data, a JPEG of the
# job's 160x120 size, a narrow PNG and a wide BMP, each fitted into that size
# with its aspect kept on black. Sourced by e2e_case.sh.

PICTURES=("$DATA/list-160x120.jpg" "$DATA/list-90x150.png" "$DATA/list-192x96.bmp")
# How ffmpeg fits each into 160x120, the reference of the likeness checks.
PICTURE_FITS=("null" "scale=72:120,pad=160:120:44:0" "scale=160:80,pad=160:120:0:20")

# picture_job TARGET SECONDS RATE SOUND PICTURE...: the settings the
# picture-list and AVI pages give such a job (SOUND may be empty).
picture_job() {
  local target=$1 seconds=$2 rate=$3 sound=$4 p
  shift 4
  local sets=(--set m_fPictureInterval="$seconds" --set m_nSourceWidth=160 --set m_nSourceHeight=120
              --set m_dFrameRate="$rate" --set m_strAudioFile="$sound")
  for p in "$@"; do sets+=(--set m_astrPictures="$p"); done
  PICTURE_JOB=(0 "$1--- etc" "$target" "${sets[@]}")
}

# expect_pictures FILE SECONDS RATE: as many frames as the pictures' time
# at RATE (a frame that starts before the end is shown), and each picture in
# the middle of its time like the picture fitted by ffmpeg.
expect_pictures() {
  local file=$1 seconds=$2 rate=$3 frames want i frame psnr
  frames=$(ffmpeg -nostdin -v error -i "$file" -map 0:v:0 -f framemd5 - 2>/dev/null | grep -vc '^#')
  want=$(awk -v s="$seconds" -v r="$rate" 'BEGIN { f = 3 * s * r; n = int(f); if (n < f - 1e-9) n++; print n }')
  [ "$frames" = "$want" ] || fail "$file: $frames frames, expected $want (3 pictures of $seconds s at $rate/s)"
  for i in 0 1 2; do
    frame=$(awk -v i=$i -v s="$seconds" -v r="$rate" 'BEGIN { printf "%d", (i + 0.5) * s * r }')
    psnr=$(ffmpeg -nostdin -v info -i "$file" -i "${PICTURES[$i]}" -filter_complex \
      "[0:v]trim=start_frame=$frame:end_frame=$((frame + 1)),setpts=PTS-STARTPTS,format=yuv420p[a];[1:v]${PICTURE_FITS[$i]},format=yuv420p[b];[a][b]psnr" \
      -f null - 2>&1 | sed -n 's/.*PSNR.* average:\([0-9.inf]*\).*/\1/p' | tail -n 1)
    echo "$file: frame $frame against ${PICTURES[$i]##*/} fitted: PSNR $psnr dB"
    awk -v p="$psnr" 'BEGIN { exit !(p == "inf" || (p != "" && (p + 0) >= 25)) }' ||
      fail "$file: frame $frame has PSNR '$psnr' dB against ${PICTURES[$i]##*/} fitted into 160x120"
  done
}

# sound_level FILE FROM TO: RMS level (dB) of the first sound stream there.
sound_level() {
  ffmpeg -nostdin -v info -i "$1" -map 0:a:0 \
    -af "atrim=$2:$3,astats=measure_overall=RMS_level:measure_perchannel=none" -f null - 2>&1 |
    sed -n 's/.*RMS level dB: \(.*\)/\1/p' | tail -n 1
}

# expect_level FILE FROM TO MIN MAX: that level lies between MIN and MAX.
expect_level() {
  local level
  level=$(sound_level "$1" "$2" "$3")
  echo "$1: sound from $2 to $3 s at $level dB"
  awk -v l="$level" -v a="$4" -v b="$5" 'BEGIN { if (l == "-inf") l = -1000; exit !(l != "" && l >= a && l <= b) }' ||
    fail "$1: sound from $2 to $3 s at '$level' dB, expected between $4 and $5"
}

# expect_sound_length FILE SECONDS: the decoded sound is as long as the
# pictures, within two MP3 frames (the last one is filled up, and the
# encoder's delay is not taken off in AVI files).
expect_sound_length() {
  local got
  got=$(seconds_of_sound "$1")
  awk -v g="$got" -v w="$2" 'BEGIN { exit !(g >= w - 0.053 && g <= w + 0.053) }' ||
    fail "$1: $got s of sound, expected $2 s (the pictures' time)"
}

# Three pictures of 1 s at the page's 15 frames/s with the 2 s MP3: the
# sound, then silence up to the end of the pictures.
case_picture_list_fill() {
  local out=$WORK/fill.avi
  picture_job "$out" 1 15 "$DATA/mp3-44100.mp3" "${PICTURES[@]}"
  run "${PICTURE_JOB[@]}"
  expect_format "$out" avi
  expect_streams "$out" "mpeg4 mp3"
  [ "$(probe "$out" stream=width v:0)x$(probe "$out" stream=height v:0)" = 160x120 ] || fail "$out: not 160x120"
  [ "$(probe "$out" stream=r_frame_rate v:0)" = 15/1 ] || fail "$out: not 15 frames/s"
  expect_pictures "$out" 1 15
  expect_tones "$out"
  expect_level "$out" 0.2 1.8 -20 0
  expect_level "$out" 2.3 2.9 -1000 -80
  expect_sound_length "$out" 3
  expect_clean_decode "$out"
}

# Half a second each at 24 frames/s, whose frame time is no whole number
# of 100 ns units: 36 frames, and the 2 s sound cut at 1.5 s.
case_picture_list_cut() {
  local out=$WORK/cut.avi
  picture_job "$out" 0.5 24 "$DATA/mp3-44100.mp3" "${PICTURES[@]}"
  run "${PICTURE_JOB[@]}"
  [ "$(probe "$out" stream=r_frame_rate v:0)" = 24/1 ] || fail "$out: not 24 frames/s"
  expect_pictures "$out" 0.5 24
  expect_level "$out" 0.2 1.4 -20 0
  expect_sound_length "$out" 1.5
}

# Without a sound file the movie gets a silent track as long as its pictures.
case_picture_list_silent() {
  local out=$WORK/silent.avi
  picture_job "$out" 0.8 25 "" "${PICTURES[@]}"
  run "${PICTURE_JOB[@]}"
  expect_pictures "$out" 0.8 25
  expect_level "$out" 0 2.4 -1000 -80
  expect_sound_length "$out" 2.4
}

# A picture that cannot be read, anywhere in the list, and a sound file
# that cannot be read: the job fails naming the file and writes no target.
case_picture_list_bad() {
  local bad=$WORK/bad out=$WORK/out.avi file sound
  mkdir -p "$bad/folder.png"
  head -c 3000 "${PICTURES[0]}" >"$bad/cut.jpg"
  head -c 300 "${PICTURES[1]}" >"$bad/cut.png"
  head -c 20000 "${PICTURES[2]}" >"$bad/cut.bmp"
  echo "no picture" >"$bad/text.jpg"
  echo "no sound" >"$bad/text.mp3"
  # "picture sound" rows; "-" is no sound file.
  local rows=("$bad/missing.jpg -" "$bad/folder.png -" "$bad/cut.jpg -" "$bad/cut.png -" "$bad/cut.bmp -"
              "$bad/text.jpg -" "${PICTURES[2]} $bad/text.mp3" "${PICTURES[2]} $bad/missing.wav")
  local row
  for row in "${rows[@]}"; do
    read -r file sound <<<"$row"
    [ "$sound" = - ] && sound=
    rm -f "$out"
    picture_job "$out" 1 15 "$sound" "${PICTURES[0]}" "$file" "${PICTURES[1]}"
    run_job "${PICTURE_JOB[@]}"
    grep -qx "job result: failed" "$WORK/run.log" || fail "$row: the job did not end failed"
    if [ -n "$sound" ]; then
      grep -qF "$sound" "$WORK/run.log" || fail "$row: the log does not name the sound file"
    else
      grep -qF "$file" "$WORK/run.log" || fail "$row: the log does not name the picture"
    fi
    [ ! -e "$out" ] || fail "$row: a target was left behind"
  done
}
