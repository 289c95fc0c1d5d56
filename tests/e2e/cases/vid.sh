# End-to-end cases of the MPEG video decoder's limits (sourced by
# e2e_case.sh; one function per case).

# A 4:2:2 MPEG-2 program stream: the decoder's frame buffers are 4:2:0, so
# the job must fail and say why, not end as a success without pictures, and
# the target holds nothing a player would choke on.
case_mpeg2_422_fails_naming_the_format() {  # type 8, MP4
  local out=$WORK/out.mp4
  echo "+ pellomar-e2e --type 8 --source $DATA/mpeg2-422.mpg --target $out"
  "$BIN" --type 8 --source "$DATA/mpeg2-422.mpg" --target "$out" --timeout 120 --set m_nSourceFormat=16384 \
    --set m_nSourceWidth=320 --set m_nSourceHeight=240 --set m_fDuration=1 --set m_dSourceFrameRate=25 \
    --set m_nWidth=320 --set m_nHeight=240 --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 \
    --set m_nSampleRate=44100 >"$WORK/run.log" 2>&1
  local rc=$?
  cat "$WORK/run.log"
  [ $rc -ne 0 ] || fail "pellomar-e2e exited 0 for a 4:2:2 source"
  grep -qx "job result: failed" "$WORK/run.log" || fail "the job did not end failed"
  grep -q "MPEG-2 4:2:2 video is not supported" "$WORK/run.log" || fail "the run log does not name the 4:2:2 format"
  [ ! -e "$out" ] || expect_clean_decode "$out"
  no_sanitizer_report
}
