# End-to-end cases of the disc sources: a DVD title set, a track of a CD
# image behind a drive letter and a VideoCD CDXA file (sourced by
# e2e_case.sh; one function per case).

# The writer of disc forms, built next to the tests.
DISC_TOOL=$(dirname "$BIN")/../tests/sources/disc-tool

case_dvd_title_set_to_mp4() {  # type 8 from a title set, named by its IFO file
  local vob=$WORK/title.vob root=$WORK/dvd out=$WORK/out.mp4
  ffmpeg -nostdin -v error -y -i "$MP2" -c copy -f dvd "$vob" || fail "ffmpeg could not write $vob"
  "$DISC_TOOL" titleset "$vob" "$root" || fail "disc-tool could not write the title set"
  run 8 "$root/VIDEO_TS/VTS_01_0.IFO" "$out" --set m_nSourceFormat=4 --set m_nSourceWidth=176 \
    --set m_nSourceHeight=144 --set m_fDuration=2 --set m_dSourceFrameRate=25 --set m_nWidth=176 \
    --set m_nHeight=144 --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
  expect_streams "$out" "h264 aac"
  expect_video "$out" 176 144 25
  expect_audio "$out" 44100 2 1024
  expect_tones "$out"
  expect_clean_decode "$out"
  expect_likeness "$out" "$MP2" 30
  expect_likeness "$out" "$MP2" 30 37
}

case_cd_track_to_mp4() {  # type 8 from track 1 of a CD image on drive P: the sound alone
  local pcm=$WORK/sound.pcm out=$WORK/out.mp4
  ffmpeg -nostdin -v error -y -i "$MP2" -vn -ac 2 -ar 44100 -f s16le "$pcm" || fail "ffmpeg could not write $pcm"
  "$DISC_TOOL" cd "$pcm" "$WORK/cd" || fail "disc-tool could not write the CD image"
  export PELLOMAR_DRIVES="P=$WORK/cd/disc.cue"
  run 8 'P:\Track01.cda' "$out" --set m_nSourceFormat=1 --set m_fDuration=2 --set m_nWidth=176 \
    --set m_nHeight=144 --set m_nVideoCodec=2 --set m_nFrameRateIndex=1 --set m_nSampleRate=44100
  expect_format "$out" "mov,mp4,m4a,3gp,3g2,mj2"
  expect_streams "$out" "aac"
  expect_audio "$out" 44100 2 1024
  expect_tones "$out"
  expect_clean_decode "$out"
}

case_vcd_cdxa_to_mpeg() {  # type 2 from a VideoCD's CDXA file
  local vcd=$WORK/vcd.mpg dat=$WORK/AVSEQ01.DAT out=$WORK/out.mpg
  ffmpeg -nostdin -v error -y -i "$MP2" -target pal-vcd "$vcd" || fail "ffmpeg could not write $vcd"
  "$DISC_TOOL" cdxa "$vcd" "$dat" || fail "disc-tool could not write $dat"
  run 2 "$dat" "$out" --set m_nSourceFormat=2 --set m_nSourceWidth=352 --set m_nSourceHeight=288 \
    --set m_fDuration=2 --set m_dSourceFrameRate=25 --set m_nWidth=176 --set m_nHeight=144 \
    --set m_nMpegKind=0 --set m_nMpegRateNum=25 --set m_nMpegRateDen=1
  expect_format "$out" mpeg
  expect_streams "$out" "mpeg1video mp2"
  expect_video "$out" 176 144 25
  expect_audio "$out" 44100 2 1152
  expect_tones "$out"
  expect_clean_decode "$out"
  expect_likeness "$out" "$MP2" 28
}
