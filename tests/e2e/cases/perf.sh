# Cases about what a job costs beside its output.

# While a job runs, the user-interface thread only answers its timers and the
# messages it is sent: a loop that waits by spinning burns a whole core for
# the length of the job, far above this bound.
case_ui_idle() {
  local out=$WORK/out.mpg
  run 3 "$MP2" "$out" "${SOURCE_SETS[@]}" --set m_nMpegKind=2 --set m_nTvStandard=0 \
    --set m_nWidth=352 --set m_nHeight=288 --set m_dFrameRate=25
  local cpu
  cpu=$(sed -n 's/^ui thread cpu: \([0-9.]*\) s$/\1/p' "$WORK/run.log")
  echo "user-interface thread: $cpu s of processor time while the job ran"
  awk -v c="$cpu" 'BEGIN { exit !(c != "" && c + 0 < 0.25) }' ||
    fail "the user-interface thread used '$cpu' s of processor time during the job, expected under 0.25 s"
}

# The VCD job's pictures against ffmpeg's own VCD conversion of the same
# source: the colour conversion and scaling must not fall below the quality
# they had when both ran through swscale in RGB.
case_vcd_quality() {
  local out=$WORK/out.mpg ref=$WORK/ffmpeg-vcd.mpg
  run 3 "$MP2" "$out" "${SOURCE_SETS[@]}" --set m_nMpegKind=2 --set m_nTvStandard=0 \
    --set m_nWidth=352 --set m_nHeight=288 --set m_dFrameRate=25
  # The 11:9 sample keeps its shape in the 4:3 VCD, between bars of 14 columns.
  ffmpeg -nostdin -v error -y -i "$MP2" -vf "scale=324:288:flags=bicubic,pad=352:288:14:0" -target pal-vcd "$ref" ||
    fail "ffmpeg could not make the reference"
  local psnr
  psnr=$(ffmpeg -nostdin -v info -i "$out" -i "$ref" -filter_complex "[0:v][1:v]psnr" -f null - 2>&1 |
    sed -n 's/.*PSNR.* average:\([0-9.inf]*\).*/\1/p' | tail -n 1)
  echo "PSNR against ffmpeg's VCD conversion: $psnr dB"
  awk -v p="$psnr" -v min=41.7 'BEGIN { exit !(p == "inf" || (p != "" && p + 0 >= min)) }' ||
    fail "PSNR '$psnr' dB against ffmpeg's VCD conversion, expected at least 41.7"
}
