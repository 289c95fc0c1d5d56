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

# Variants of the samples above, written as recorders, capture cards and
# tools write them.
# A live recording: the Segment's and every Cluster's size are unknown (all
# ones, of the same width).
perl -0777 -e '$_ = <STDIN>;
  while (/\x18\x53\x80\x67|\x1f\x43\xb6\x75/g) {
    my $p = pos; my $b = ord(substr($_, $p, 1)); my $n = 1;
    $n++ while $n < 8 && !($b & (0x80 >> ($n - 1)));
    substr($_, $p, $n) = chr((0x80 >> ($n - 1)) | (0xff >> $n)) . ("\xff" x ($n - 1));
    pos($_) = $p + $n;
  }
  print' <mkv-h264-aac.mkv >mkv-unknown-sizes.mkv
# The video track's Language element replaced by a ContentEncodings element
# of one empty ContentEncoding (zlib by default) of the same length.
perl -0777 -pe 's/\x22\xb5\x9c\x83und/\x6d\x80\x40\x03\x62\x40\x80/' mkv-h264-aac.mkv >mkv-empty-encoding.mkv
# A capture card's 1660-byte "TFrc" header in front of a transport stream.
{ printf 'TFrc'; head -c 1656 /dev/zero; cat h264-aac.ts; } >ts-tfrc-header.ts
# 1000 bytes without a sync byte in front of a transport stream.
{ head -c 1000 /dev/zero | tr '\0' 'A'; cat h264-aac.ts; } >ts-garbage-in-front.ts
# An empty ".SUB" chunk behind the last chunk of a RealMedia file.
{ cat rm-rv20-ac3.rm; printf '.SUB\0\0\0\n\0\0'; } >rm-empty-sub.rm
