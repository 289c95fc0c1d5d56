# A 10 s source with motion in every picture, for the checks that the
# encoders keep the bit rates they were given (short clips let a rate
# control get away with anything).
run $(video 320x240 10) $(stereo 44100 10) $AV $OUT \
  -c:v libx264 -preset veryfast -crf 32 -g 50 -pix_fmt yuv420p -c:a aac -b:a 48k \
  -f mp4 mp4-h264-aac-320x240-10s.mp4
