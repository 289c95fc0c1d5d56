# Samples of the stream forms that splitters once delivered in part (sourced
# by make-media.sh, in tests/data, with its helpers). The variants of the
# other samples (unknown Matroska sizes, headers and garbage in front of a
# transport stream, joined program streams) are made by the tests.

# H.264 in a DVD program stream without access-unit delimiters, two
# pictures in most PES packets.
run $(video 176x144 2) $(tone 440 48000 2) $AV $OUT \
  -c:v libx264 -preset veryfast -g 25 -bf 0 -pix_fmt yuv420p -x264-params aud=0 \
  -c:a mp2 -b:a 64k -f vob ps-h264-noaud.mpg

# MPEG-2.5 MP3 (11.025 kHz mono) in a transport stream.
run $(video 176x144 2) $(tone 440 11025 2) $AV $OUT \
  -c:v mpeg2video -b:v 200k -c:a libmp3lame -ar 11025 -ac 1 -b:a 16k \
  -f mpegts ts-mp3-mpeg25.ts

# MPEG-2 low-rate MP2 (16 kHz) in a program stream, with a 1 kHz burst
# at the start of every second.
run $(video 176x144 3) \
  -f lavfi -i "aevalsrc=if(lt(mod(t\,1)\,0.1)\,0.5*sin(2*PI*1000*t)\,0):s=16000:d=3" $AV $OUT \
  -c:v mpeg2video -b:v 100k -c:a mp2 -ar 16000 -b:a 64k -f mpeg ps-mp2-16k.mpg
