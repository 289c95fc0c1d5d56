# Samples of the D2V project source (sourced by make-media.sh). The tests
# write the projects for them at run time. Closed GOPs: every GOP shows its
# own pictures from its I picture on, as the projects' GOP table expects
# (ffmpeg's open GOPs lend their first GOP two pictures of the second).
NOSC="-sc_threshold 1000000000"

# MPEG-2 video elementary stream, GOP 10 with 2 B pictures.
run $(video 176x144 2) $OUT -flags +bitexact+cgop $NOSC -c:v mpeg2video -b:v 200k -g 12 -bf 2 \
  d2v-cgop.m2v
# Interlaced (top field first, field DCT and motion) in a program stream
# with MPEG audio beside it.
run $(video 352x288 1) $(stereo 48000 1) $AV $OUT -flags +bitexact+cgop+ilme+ildct $NOSC \
  -vf setfield=tff -c:v mpeg2video -b:v 500k -g 12 -bf 2 -top 1 \
  -c:a mp2 -b:a 64k -f vob d2v-cgop-interlaced.vob
# 4:2:2 and interlaced (top field first, field DCT and motion), so that the
# extra chroma blocks of each macroblock are coded in field order too.
run $(video 176x160 1) $OUT -flags +bitexact+cgop+ilme+ildct $NOSC -vf setfield=tff \
  -c:v mpeg2video -pix_fmt yuv422p -b:v 300k -g 12 -bf 2 -top 1 d2v-422-interlaced.m2v
