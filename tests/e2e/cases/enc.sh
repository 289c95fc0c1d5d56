# End-to-end cases of what the encoders and containers of the MP4 family
# take: AMR sound from a record that asks for another rate and layout, and
# a video codec that the container has no place for.

# 3GP with AMR-NB from the 48 kHz stereo sample and the record as a fresh
# 3GP job holds it (44100 Hz, two channels): the sound is resampled and
# mixed down to the one layout AMR-NB takes.
case_3gp_amr_from_stereo() {
  local out=$WORK/out.3gp
  run 5 "$MP2" "$out" "${SOURCE_SETS[@]}" --set m_nWidth=176 --set m_nHeight=144 --set m_nAudioCodec=0
  expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
  expect_streams "$out" "mpeg4 amr_nb"
  expect_audio "$out" 8000 1 160
  expect_clean_decode "$out"
}

# H.263+ into 3GP: refused while the graph is built, with the reason, and
# no target file is left behind.
case_3gp_h263p_refused() {
  local out=$WORK/out.3gp
  "$BIN" --type 5 --source "$MP2" --target "$out" --timeout 60 "${SOURCE_SETS[@]}" \
    --set m_nWidth=176 --set m_nHeight=144 --set m_nVideoCodec=3 >"$WORK/run.log" 2>&1
  local rc=$?
  cat "$WORK/run.log"
  [ $rc -ne 0 ] || fail "pellomar-e2e exited 0 for H.263+ into 3GP"
  grep -qx "job result: failed" "$WORK/run.log" || fail "no 'job result: failed' for H.263+ into 3GP"
  grep -q '^1\. Code: 0x80070057, .*h263p video cannot be written into a 3gp file' "$WORK/run.log" ||
    fail "the run log does not give the reason for job 1"
  [ ! -e "$out" ] || fail "a target was left at $out"
  no_sanitizer_report
}
