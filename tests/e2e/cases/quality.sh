# Cases about what the pictures of the main jobs look like: each target
# against ffmpeg's own conversion of the same full-size PAL clip, made at run
# time (2 s, 720x576 MPEG-2 and MP2).

# quality_clip: the clip's path, made once per case.
quality_clip() {
  local clip=$WORK/clip-720x576.mpg
  if [ ! -s "$clip" ]; then
    ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=720x576:rate=25:duration=2 \
      -f lavfi -i "aevalsrc=0.5*sin(2*PI*440*t)|0.5*sin(2*PI*660*t):c=stereo:s=48000:d=2" \
      -map 0:v -map 1:a -c:v mpeg2video -b:v 6000k -g 12 -bf 2 -c:a mp2 -b:a 224k -f vob "$clip" ||
      fail "ffmpeg could not make the clip"
  fi
  echo "$clip"
}

QUALITY_SETS=(--set m_nSourceFormat=16384 --set m_nSourceWidth=720 --set m_nSourceHeight=576
              --set m_fDuration=2 --set m_dSourceFrameRate=25)

# expect_psnr OURS REF MIN: average PSNR of our pictures against the
# reference's (ffmpeg's conversion, or the clip itself), frame by frame in
# order (the two may start at different times).
expect_psnr() {
  local psnr
  psnr=$(ffmpeg -nostdin -v info -i "$1" -i "$2" -filter_complex \
    "[0:v]setpts=N/(25*TB)[a];[1:v]setpts=N/(25*TB)[b];[a][b]psnr" -f null - 2>&1 |
    sed -n 's/.*PSNR.* average:\([0-9.inf]*\).*/\1/p' | tail -n 1)
  echo "$1: PSNR against $(basename "$2") $psnr dB"
  awk -v p="$psnr" -v min="$3" 'BEGIN { exit !(p == "inf" || (p != "" && p + 0 >= min)) }' ||
    fail "$1: PSNR '$psnr' dB against $(basename "$2"), expected at least $3"
}

# The four main jobs, each against ffmpeg doing the same: VCD (scaled), DVD
# (at the source's size; the clip's square pixels show it 5:4, so the 4:3
# discs keep it between bars left and right), MP4 H.264 at the source's
# size and a fitted 320x240 AVI (bars left and right). The bounds are what the jobs gave while
# the decoder's pictures still reached the encoder as RGB.
case_quality_main_jobs() {
  local clip ff="ffmpeg -nostdin -v error -y"
  clip=$(quality_clip)
  run 3 "$clip" "$WORK/vcd.mpg" "${QUALITY_SETS[@]}" --set m_nMpegKind=2 --set m_nTvStandard=0 \
    --set m_nWidth=352 --set m_nHeight=288 --set m_dFrameRate=25
  $ff -i "$clip" -vf "scale=332:288:flags=bicubic,pad=352:288:10:0" -target pal-vcd "$WORK/ff-vcd.mpg" ||
    fail "ffmpeg: VCD"
  expect_psnr "$WORK/vcd.mpg" "$WORK/ff-vcd.mpg" 44.7

  run 3 "$clip" "$WORK/dvd.mpg" "${QUALITY_SETS[@]}" --set m_nMpegKind=4 --set m_nTvStandard=0 \
    --set m_nWidth=720 --set m_nHeight=576 --set m_dFrameRate=25
  $ff -i "$clip" -vf "scale=676:576:flags=bicubic,pad=720:576:22:0" -target pal-dvd "$WORK/ff-dvd.mpg" ||
    fail "ffmpeg: DVD"
  expect_psnr "$WORK/dvd.mpg" "$WORK/ff-dvd.mpg" 48.7

  run 8 "$clip" "$WORK/out.mp4" "${QUALITY_SETS[@]}" --set m_nWidth=720 --set m_nHeight=576 \
    --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  $ff -i "$clip" -r 25 -c:v libx264 -b:v 512k -g 12 -an "$WORK/ff.mp4" || fail "ffmpeg: MP4"
  expect_psnr "$WORK/out.mp4" "$WORK/ff.mp4" 39.0

  run 0 "$clip" "$WORK/out.avi" "${QUALITY_SETS[@]}" --set m_nWidth=320 --set m_nHeight=240 --set m_dFrameRate=25
  $ff -i "$clip" -vf "scale=300:240:flags=bicubic,pad=320:240:10:0" -c:v mpeg4 -vtag XVID -b:v 384k -an \
    "$WORK/ff.avi" || fail "ffmpeg: AVI"
  expect_psnr "$WORK/out.avi" "$WORK/ff.avi" 42.5
}

# A fitted picture's side bars are black to their edge: on a 720x576 clip
# made 320x240 the bars are 10 columns each, and none of the columns beside
# the picture is grey.
case_fitted_bars_black() {
  local clip out=$WORK/out.avi
  clip=$(quality_clip)
  run 0 "$clip" "$out" "${QUALITY_SETS[@]}" --set m_nWidth=320 --set m_nHeight=240 --set m_dFrameRate=25
  # The mean grey level (0 black, 255 white) of each bar column of the
  # middle frame; the picture's own columns beside them are far brighter.
  local column level
  for column in 0 4 9 310 313 319; do
    level=$(ffmpeg -nostdin -v error -i "$out" -vf "select=eq(n\,25),format=gray,crop=1:240:$column:0" \
      -frames:v 1 -f rawvideo - 2>/dev/null | od -An -v -tu1 | tr -s ' ' '\n' |
      awk 'NF { s += $1; ++n } END { if (n == 240) printf "%d", s / n }')
    echo "column $column: mean level $level"
    [ -n "$level" ] && [ "$level" -le 16 ] || fail "$out: column $column of the bars has mean level '$level', expected black"
  done
}

# WMV pictures against the clip itself, at the source's size (1500 Kbps
# profile) and made 320x240 by the writer (256 Kbps profile). The bounds are
# what the jobs gave while the pictures reached the writer as RGB.
case_quality_wmv() {
  local clip profile min
  clip=$(quality_clip)
  for profile in "4 36.4" "1 30.1"; do
    read -r profile min <<<"$profile"
    run 1 "$clip" "$WORK/out-$profile.wmv" "${QUALITY_SETS[@]}" --set m_nWmProfile="$profile"
    ffmpeg -nostdin -v error -y -i "$WORK/out-$profile.wmv" -vf scale=720:576:flags=bicubic -c:v ffv1 \
      "$WORK/up-$profile.mkv" || fail "ffmpeg could not read $WORK/out-$profile.wmv"
    expect_psnr "$WORK/up-$profile.mkv" "$clip" "$min"
  done
}
