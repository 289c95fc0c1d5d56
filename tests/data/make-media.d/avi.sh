# AVI samples beside avi-xvid-pcm.avi and avi-mjpeg-mp3.avi: DivX-tagged
# MPEG-4 with two audio streams, and H.264 with AAC.
run $(video 176x144 1) $(stereo 44100 1) $(stereo 48000 1) -map 0:v -map 1:a -map 2:a $OUT \
  -c:v mpeg4 -vtag DX50 -b:v 200k -g 12 -bf 0 -c:a:0 libmp3lame -b:a:0 96k -c:a:1 ac3 -b:a:1 96k \
  -f avi avi-dx50-mp3-ac3.avi
run $(video 176x144 1) $(stereo 44100 1) $AV $OUT \
  -c:v libx264 -preset veryfast -g 25 -bf 0 -pix_fmt yuv420p -c:a aac -b:a 64k -f avi avi-h264-aac.avi
