# Samples whose every stream must convert, or whose job must fail naming the
# stream it cannot read (sourced by make-media.sh). Each lasts one second at
# 160x120; the sound is a 440 Hz tone unless said otherwise.

# mono RATE SECONDS: a 440 Hz sine at half scale
mono() { echo "-f lavfi -i aevalsrc=0.5*sin(2*PI*440*t):c=mono:s=$1:d=$2"; }
SV="$(video 160x120 1)"
SMALL="-c:v mpeg4 -q:v 8 -g 25"

# Pictures the decoders used to miss (Motion JPEG in QuickTime and Theora
# have samples of their own: mov-mjpeg-pcm.mov, theora-vorbis.ogg).
run $SV $(stereo 44100 1) $AV $OUT -c:v libx265 -preset ultrafast -x265-params log-level=error \
  -tag:v hvc1 -c:a aac -b:a 64k -f mp4 st-hevc.mp4
run $SV $(stereo 44100 1) $AV $OUT -c:v libvpx -b:v 100k -g 25 -c:a libvorbis -q:a 0 -f matroska st-vp8-vorbis.mkv
# The first video tag (a key frame) is dropped: the stream starts on a
# difference picture.
run $SV $(stereo 44100 1) $AV $OUT -c:v flv1 -q:v 8 -g 10 -bsf:v "noise=drop=eq(n\,0)" -c:a libmp3lame -b:a 64k \
  -f flv st-flv-nokey.flv
# FLV with codecs the splitter reads no pictures or sound of: the job must
# fail naming them (H.264; AAC), or read them (little-endian PCM).
run $SV $(stereo 44100 1) $AV $OUT -c:v libx264 -preset ultrafast -c:a libmp3lame -b:a 64k -f flv st-flv-h264-mp3.flv
run $SV $(stereo 44100 1) $AV $OUT -c:v flv1 -q:v 8 -g 10 -c:a aac -b:a 64k -f flv st-flv-aac.flv
# Matroska tracks of codecs nothing here reads: the job must fail naming them.
run $SV $(stereo 44100 1) $AV $OUT -c:v libx265 -preset ultrafast -x265-params log-level=error \
  -c:a libvorbis -q:a 0 -f matroska st-hevc-vorbis.mkv
run $SV $(mono 22050 1) $AV $OUT $SMALL -c:a flac -f matroska st-flac.mkv
run $SV $(mono 11025 1) $AV $OUT -c:v flv1 -q:v 8 -g 10 -c:a pcm_s16le -f flv st-flv-pcmle.flv

# Sound the splitters used to offer no pin for.
run $SV $(mono 44100 1) $AV $OUT $SMALL -c:a alac -f mov st-alac.mov
run $SV $(mono 44100 1) $AV $OUT $SMALL -c:a pcm_s24be -f mov st-in24.mov
run $SV $(mono 96000 1) $AV $OUT $SMALL -c:a pcm_s16le -f mov st-lpcm-96k.mov
run $SV $(stereo 48000 1) $AV $OUT $SMALL -c:a ac3 -b:a 128k -f mov st-ac3.mov
run $SV $(mono 8000 1) $AV $OUT -c:v rv20 -q:v 8 -g 25 -c:a real_144 -f rm st-ra144.rm

# Mono AC-3 in each container that carries it.
for c in matroska:mkv avi:avi vob:mpg mpegts:ts; do
  run $SV $(mono 48000 1) $AV $OUT -c:v mpeg2video -b:v 200k -c:a ac3 -b:a 64k -f "${c%%:*}" "st-ac3-mono.${c#*:}"
done
# 5.1 AC-3 near full scale: a plain stereo downmix would clip.
run $SV -f lavfi -i "aevalsrc=0.9*sin(2*PI*440*t)|0.9*sin(2*PI*660*t)|0.9*sin(2*PI*440*t)|0*t|0.9*sin(2*PI*440*t)|0.9*sin(2*PI*660*t):c=5.1:s=48000:d=1" \
  $AV $OUT -c:v mpeg2video -b:v 200k -c:a ac3 -b:a 384k -f vob st-ac3-loud51.mpg
# The same as DTS, whose library lowers the level of no 5.1 downmix.
run $SV -f lavfi -i "aevalsrc=0.9*sin(2*PI*440*t)|0.9*sin(2*PI*660*t)|0.9*sin(2*PI*440*t)|0*t|0.9*sin(2*PI*440*t)|0.9*sin(2*PI*660*t):c=5.1:s=48000:d=1" \
  $AV $OUT -c:v mpeg2video -b:v 200k -c:a dca -strict -2 -b:a 768k -f matroska st-dts-loud51.mkv
# Two sound streams: the first (440 Hz) is converted.
run $SV $(mono 44100 1) -f lavfi -i "aevalsrc=0.5*sin(2*PI*1000*t):c=mono:s=44100:d=1" -map 0:v -map 1:a -map 2:a \
  $OUT -c:v libtheora -q:v 3 -g 25 -c:a libvorbis -q:a 0 -f ogg st-two-vorbis.ogg
# A picture stream under a code no decoder takes (ffmpeg writes no unknown
# code itself: the MPEG-4 code is replaced).
run $SV $(stereo 44100 1) $AV $OUT $SMALL -c:a libmp3lame -b:a 64k -f avi st-undecodable.avi
LC_ALL=C sed -i 's/FMP4/ZZZZ/g' st-undecodable.avi
# A sound stream under a wave format tag no decoder takes (0x1234).
run $SV $(mono 8000 1) $AV $OUT $SMALL -c:a pcm_s16le -f avi st-undecodable-sound.avi
at=$(grep -obUa strf st-undecodable-sound.avi | sed -n 2p | cut -d: -f1)
printf '\064\022' | dd of=st-undecodable-sound.avi bs=1 seek=$((at + 8)) conv=notrunc status=none
