# Samples of the MPEG video decoder's aspect and chroma handling (sourced by
# make-media.sh).

# MPEG-1 elementary stream flagged 16:9 at CIF size: the aspect travels only
# as the sequence header's pel aspect ratio code.
run $(video 352x288 1) $OUT -c:v mpeg1video -b:v 400k -g 12 -bf 2 -aspect 16:9 -f mpeg1video mpeg1-16x9.m1v
# MPEG-2 4:2:2 in a program stream with MPEG audio: a chroma format the
# decoder's 4:2:0 frame buffers cannot hold.
run $(video 320x240 1) $(stereo 48000 1) $AV $OUT \
  -c:v mpeg2video -pix_fmt yuv422p -b:v 800k -g 12 -bf 2 -c:a mp2 -b:a 128k -f mpeg mpeg2-422.mpg
