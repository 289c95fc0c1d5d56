#!/bin/sh
# Makes the small media samples of tests/data with the ffmpeg command-line
# tool. Sources are synthetic (testsrc2, smptebars, sine, aevalsrc) and every
# muxer and encoder runs bit-exact and single-threaded without metadata, so
# re-running with the same ffmpeg build gives the same bytes.
#
#   make-media.sh              remake every sample next to this script
#   make-media.sh --bench DIR  make only the long benchmark sources into DIR
#                              (kept out of tests/data: it is far too large)
set -eu

FFMPEG=${FFMPEG:-ffmpeg}
HERE=$(cd "$(dirname "$0")" && pwd)

# Input and output options shared by every run.
IN="-hide_banner -loglevel error -nostdin -y"
OUT="-fflags +bitexact -flags +bitexact -map_metadata -1 -map_chapters -1 -threads 1"

# video SIZE SECONDS [RATE]: the moving test picture
video() { echo "-f lavfi -i testsrc2=size=$1:rate=${3:-25}:duration=$2"; }
# tone FREQ RATE SECONDS: a mono sine
tone() { echo "-f lavfi -i sine=frequency=$1:sample_rate=$2:duration=$3"; }
# stereo RATE SECONDS: different tones left and right, so channel swaps show
stereo() {
  echo "-f lavfi -i aevalsrc=0.5*sin(2*PI*440*t)|0.5*sin(2*PI*660*t):c=stereo:s=$1:d=$2"
}
# surround RATE SECONDS: six channels with six tones (L R C LFE Ls Rs)
surround() {
  echo "-f lavfi -i aevalsrc=0.4*sin(2*PI*440*t)|0.4*sin(2*PI*550*t)|0.4*sin(2*PI*660*t)|0.4*sin(2*PI*70*t)|0.4*sin(2*PI*770*t)|0.4*sin(2*PI*880*t):c=5.1:s=$1:d=$2"
}

run() {
  # shellcheck disable=SC2086 # option strings are meant to split
  "$FFMPEG" $IN "$@"
}

if [ "${1:-}" = "--bench" ]; then
  [ $# -eq 2 ] || { echo "usage: $0 --bench DIR" >&2; exit 2; }
  mkdir -p "$2"
  case "$(cd "$2" && pwd)/" in
    "$HERE"/*) echo "$0: the benchmark source must not go into $HERE" >&2; exit 2 ;;
  esac
  # Full-size PAL MPEG-2 program stream, a minute long.
  run $(video 720x576 60) $(stereo 48000 60) -map 0:v -map 1:a $OUT \
    -c:v mpeg2video -b:v 6000k -maxrate 8000k -bufsize 1835k -g 12 -bf 2 \
    -c:a mp2 -b:a 224k -f vob "$2/bench-mpeg2-720x576-60s.mpg"
  echo "$2/bench-mpeg2-720x576-60s.mpg"
  # Full-size H.264 and AAC in Matroska, a minute long.
  run $(video 720x576 60) $(stereo 48000 60) -map 0:v -map 1:a $OUT \
    -c:v libx264 -preset veryfast -b:v 4000k -g 50 -pix_fmt yuv420p -c:a aac -b:a 160k \
    -f matroska "$2/bench-h264-aac-720x576-60s.mkv"
  echo "$2/bench-h264-aac-720x576-60s.mkv"
  # Full-size MPEG-4 (Xvid tag) with MP3 in AVI, a minute long.
  run $(video 720x576 60) $(stereo 44100 60) -map 0:v -map 1:a $OUT \
    -c:v mpeg4 -vtag XVID -b:v 4000k -g 250 -bf 1 -c:a libmp3lame -b:a 192k -f avi \
    "$2/bench-mpeg4-mp3-720x576-60s.avi"
  echo "$2/bench-mpeg4-mp3-720x576-60s.avi"
  # 720p H.264 and AAC in MP4, a minute long.
  run $(video 1280x720 60) $(stereo 48000 60) -map 0:v -map 1:a $OUT \
    -c:v libx264 -preset veryfast -b:v 5000k -g 50 -pix_fmt yuv420p -c:a aac -b:a 160k \
    -f mp4 "$2/bench-h264-aac-1280x720-60s.mp4"
  echo "$2/bench-h264-aac-1280x720-60s.mp4"
  exit 0
fi
[ $# -eq 0 ] || { echo "usage: $0 [--bench DIR]" >&2; exit 2; }

cd "$HERE"
AV="-map 0:v -map 1:a"

# --- MPEG program streams and VOBs -------------------------------------------
run $(video 176x144 2) $(stereo 44100 2) $AV $OUT \
  -c:v mpeg1video -b:v 400k -c:a mp2 -b:a 128k -f mpeg mpeg1-ps.mpg
run $(video 176x144 2) $(stereo 48000 2) $AV $OUT \
  -c:v mpeg2video -b:v 500k -g 12 -bf 2 -c:a mp2 -b:a 128k -f vob mpeg2-ps-mp2.mpg
run $(video 176x144 2) $(stereo 48000 2) $AV $OUT \
  -c:v mpeg2video -b:v 500k -g 12 -bf 2 -c:a ac3 -b:a 128k -f vob mpeg2-ps-ac3.mpg
run $(video 352x288 1) $(surround 48000 1) $AV $OUT \
  -c:v mpeg2video -b:v 600k -g 12 -bf 2 -c:a ac3 -b:a 384k -f vob vob-ac3.vob
run $(video 352x288 1) $(stereo 48000 1) $AV $OUT \
  -c:v mpeg2video -b:v 600k -g 12 -bf 2 -c:a pcm_dvd -sample_fmt s16 -f vob vob-lpcm.vob
run $(video 352x288 1) $(stereo 48000 1) $AV $OUT \
  -c:v mpeg2video -b:v 600k -g 12 -bf 2 -c:a dca -strict -2 -b:a 768k -f vob vob-dts.vob
# DVD LPCM of 24 bits (pcm_dvd takes s32 for it), audio only: stereo at
# 48 kHz and mono at 96 kHz. ffmpeg writes no 20-bit LPCM; the tests build
# that from known samples instead.
run $(stereo 48000 1) $OUT -c:a pcm_dvd -sample_fmt s32 -f vob vob-lpcm24.vob
run $(tone 440 96000 0.25) $OUT -c:a pcm_dvd -sample_fmt s32 -f vob vob-lpcm24-mono-96k.vob
# Three audio streams: AC-3 5.1, AC-3 stereo, MPEG audio layer II.
run $(video 352x288 1) $(surround 48000 1) $(stereo 48000 1) $(tone 1000 48000 1) \
  -map 0:v -map 1:a -map 2:a -map 3:a $OUT \
  -c:v mpeg2video -b:v 600k -g 12 -bf 2 \
  -c:a:0 ac3 -b:a:0 384k -c:a:1 ac3 -b:a:1 192k -c:a:2 mp2 -b:a:2 128k \
  -f vob vob-multiaudio.vob
# A program stream with MPEG audio and no video at all.
run $(stereo 44100 2) $OUT -c:a mp2 -b:a 128k -f vob mpeg-ps-mp2-only.mpg
# The same with a DVD subpicture stream in front of it: one pack (SCR 0) with
# one private-stream-1 packet (sub-stream 0x20, PTS 0) holding a 2x2
# subpicture unit. ffmpeg cannot encode a subpicture from nothing, so the
# bytes are written here.
{
  printf '\000\000\001\272\104\000\004\000\004\001\001\211\303\370'
  printf '\000\000\001\275\000\047\201\200\005\041\000\001\000\001\040'
  # unit size 30, control at 6; RLE: one line per field, 2 pixels of colour 1
  printf '\000\036\000\006\220\220'
  # control: date 0, next 6, start display, colours, alpha, area 0..1 x 0..1,
  # field offsets 4 and 5, end
  printf '\000\000\000\006\001\003\062\020\004\377\360'
  printf '\005\000\000\001\000\000\001\006\000\004\000\005\377'
  cat mpeg-ps-mp2-only.mpg
} > mpeg-ps-subpic-mp2.mpg

# --- MPEG-2 video variants ---------------------------------------------------
# Interlaced frame pictures with field DCT and field motion, top field first.
run $(video 352x288 1) $(stereo 48000 1) $AV $OUT \
  -vf setfield=tff -c:v mpeg2video -b:v 1000k -g 12 -bf 2 \
  -flags +bitexact+ilme+ildct -top 1 -alternate_scan 1 \
  -c:a mp2 -b:a 128k -f vob mpeg2-interlaced.mpg
# GOP structures: intra only; 12 with 2 B pictures; 30 with 3 B pictures.
run $(video 176x144 2) $OUT -c:v mpeg2video -b:v 400k -g 1 -bf 0 mpeg2-gop1-intra.m2v
run $(video 176x144 2) $OUT -c:v mpeg2video -b:v 400k -g 12 -bf 2 mpeg2-gop12-b2.m2v
run $(video 176x144 2) $OUT -c:v mpeg2video -b:v 400k -g 30 -bf 3 mpeg2-gop30-b3.m2v
# Odd macroblock counts: 208x112 is 13 x 7 macroblocks.
run $(video 208x112 2) $OUT -c:v mpeg1video -b:v 200k -g 12 -bf 2 mpeg1-odd-208x112.m1v
run $(video 208x112 2) $OUT -c:v mpeg2video -b:v 200k -g 12 -bf 2 mpeg2-odd-208x112.m2v

# --- Transport streams -------------------------------------------------------
# Two programs: MPEG-2 + MP2 and MPEG-2 + AC-3.
run $(video 176x144 2) $(stereo 48000 2) -f lavfi -i smptebars=size=176x144:rate=25:duration=2 \
  $(tone 880 48000 2) -map 0:v -map 1:a -map 2:v -map 3:a $OUT \
  -c:v mpeg2video -b:v 400k -g 12 -bf 2 -c:a:0 mp2 -b:a:0 128k -c:a:1 ac3 -b:a:1 96k \
  -program program_num=1:title=One:st=0:st=1 -program program_num=2:title=Two:st=2:st=3 \
  -f mpegts ts-2programs.ts
# 192-byte packets with the 4-byte arrival time stamp in front.
run $(video 352x288 2) $(stereo 48000 2) $AV $OUT \
  -c:v libx264 -preset veryfast -g 25 -pix_fmt yuv420p -c:a ac3 -b:a 192k \
  -f mpegts -mpegts_m2ts_mode 1 m2ts-h264-ac3.m2ts
run $(video 176x144 2) $(stereo 48000 2) $AV $OUT \
  -c:v libx264 -preset veryfast -g 25 -pix_fmt yuv420p -c:a aac -b:a 96k \
  -f mpegts h264-aac.ts

# --- Elementary audio and video streams ------------------------------------
run $(video 176x144 2) $OUT -c:v libx264 -preset veryfast -g 25 -pix_fmt yuv420p \
  -f h264 h264-raw.h264
run $(stereo 44100 2) $OUT -c:a aac -b:a 96k -f adts aac-adts.aac
run $(stereo 44100 2) $OUT -c:a mp2 -b:a 128k -f mp2 mp2-44100.mp2
run $(stereo 44100 2) $OUT -c:a libmp3lame -b:a 128k -write_xing 0 -id3v2_version 0 \
  -f mp3 mp3-44100.mp3
for rate in 48000 44100 32000; do
  run $(stereo $rate 1) $OUT -c:a ac3 -b:a 192k -f ac3 "ac3-2.0-$rate.ac3"
  run $(surround $rate 1) $OUT -c:a ac3 -b:a 384k -f ac3 "ac3-5.1-$rate.ac3"
done
run $(surround 48000 1) $OUT -c:a dca -strict -2 -b:a 768k -f dts dts-5.1-48000.dts
run $(stereo 22050 1) $OUT -c:a pcm_u8 -f wav wav-u8.wav
run $(stereo 22050 1) $OUT -c:a pcm_s16le -f wav wav-s16.wav
run $(stereo 22050 1) $OUT -c:a pcm_s24le -f wav wav-s24.wav
run $(stereo 22050 1) $OUT -c:a pcm_s32le -f wav wav-s32.wav
run $(stereo 44100 2) $OUT -c:a libvorbis -q:a 3 -f ogg vorbis.ogg

# --- Other containers --------------------------------------------------------
run $(video 176x144 1) $(stereo 44100 1) $AV $OUT \
  -c:v mpeg4 -vtag xvid -b:v 300k -g 25 -bf 1 -c:a pcm_s16le -f avi avi-xvid-pcm.avi
run $(video 176x144 1) $(stereo 44100 1) $AV $OUT \
  -c:v mjpeg -q:v 8 -pix_fmt yuvj420p -c:a libmp3lame -b:a 128k -f avi avi-mjpeg-mp3.avi
run $(video 176x144 2) $(stereo 44100 2) $AV $OUT \
  -c:v wmv2 -b:v 300k -c:a wmav2 -b:a 64k -f asf asf-wmv2-wmav2.wmv
run $(video 176x144 2) $(stereo 44100 2) $AV $OUT \
  -c:v flv -b:v 300k -c:a libmp3lame -b:a 96k -f flv flv-flv1-mp3.flv
run $(video 176x144 2) $(stereo 44100 2) $AV $OUT \
  -c:v libx264 -preset veryfast -g 25 -pix_fmt yuv420p -c:a aac -b:a 96k \
  -f mp4 mp4-h264-aac.mp4
run $(video 176x144 2) $(tone 440 8000 2) $AV $OUT \
  -c:v h263 -b:v 128k -c:a libopencore_amrnb -ar 8000 -ac 1 -b:a 12.2k \
  -f 3gp 3gp-h263-amrnb.3gp
run $(video 176x144 2) $(stereo 48000 2) $AV $OUT \
  -c:v libx264 -preset veryfast -g 25 -pix_fmt yuv420p -c:a libvorbis -q:a 3 \
  -f matroska mkv-h264-vorbis.mkv

# --- Still pictures ----------------------------------------------------------
PIC="-f lavfi -i smptebars=size=176x144:rate=1:duration=1 -frames:v 1"
run $PIC $OUT -c:v mjpeg -q:v 3 -pix_fmt yuvj420p -f image2 picture.jpg
run $PIC $OUT -c:v png -pix_fmt rgb24 -f image2 picture.png
run $PIC $OUT -c:v bmp -pix_fmt bgr24 -f image2 picture.bmp

# --- Samples of the other sources: one part each in make-media.d/ -----------
for part in "$HERE"/make-media.d/*.sh; do
  [ -f "$part" ] || continue
  # shellcheck disable=SC1090 # parts share the helpers above
  . "$part"
done
