# Matroska samples (sourced by make-media.sh, in tests/data, with its helpers).
#
# The conversion sources, one codec sample per kind of track ffmpeg writes to
# Matroska, and track metadata, display aspect, chapters, subtitles and an
# attachment. Variants (cue-less, webm, hand-built EBML) are made by the
# tests at run time.

MKV_TMP=$(mktemp -d)
trap 'rm -rf "$MKV_TMP"' EXIT

# H.264 + AAC, with a named German audio track.
run $(video 176x144 2) $(stereo 44100 2) $AV $OUT \
  -c:v libx264 -preset veryfast -g 25 -pix_fmt yuv420p -c:a aac -b:a 64k \
  -metadata:s:a:0 language=ger -metadata:s:a:0 title=Commentary \
  -f matroska mkv-h264-aac.mkv

# MPEG-4 part 2 + Vorbis, 16:9 display aspect and two chapters.
cat >"$MKV_TMP/chapters.txt" <<'EOF'
;FFMETADATA1
[CHAPTER]
TIMEBASE=1/1000
START=0
END=1000
title=Opening
[CHAPTER]
TIMEBASE=1/1000
START=1000
END=2000
title=Closing
EOF
run $(video 176x144 2) $(stereo 44100 2) -i "$MKV_TMP/chapters.txt" -map 0:v -map 1:a \
  -fflags +bitexact -flags +bitexact -threads 1 -map_metadata 2 -map_chapters 2 -metadata "title=Test Card" \
  -c:v mpeg4 -b:v 200k -g 25 -bf 1 -aspect 16:9 -c:a libvorbis -q:a 1 \
  -f matroska mkv-mpeg4-vorbis.mkv

# Video codecs stored with their own codec ids: MPEG-2 and an MS-VFW
# FourCC track. ffmpeg's Matroska muxer writes no private data for MPEG-2
# (even with a global header): the sequence header is only in the frames.
# It writes no RealVideo either; the tests build such tracks themselves.
run $(video 176x144 1) $(video 176x144 1) -map 0:v -map 1:v $OUT \
  -c:v:0 mpeg2video -b:v:0 60k -flags:v:0 +global_header \
  -c:v:1 msmpeg4v2 -b:v:1 60k \
  -f matroska mkv-video-codecs.mkv

# Audio codecs, two subtitle formats and a font attachment (a stand-in blob:
# the splitter hands attachments on without reading them).
cat >"$MKV_TMP/subs.srt" <<'EOF'
1
00:00:00,200 --> 00:00:00,600
First line

2
00:00:00,700 --> 00:00:00,900
Second line
EOF
head -c 1024 /dev/zero | tr '\0' 'F' >"$MKV_TMP/tiny.ttf"
run $(tone 440 44100 1) $(tone 440 48000 1) $(tone 440 8000 1) $(tone 440 22050 1) \
  -i "$MKV_TMP/subs.srt" -i "$MKV_TMP/subs.srt" \
  -map 0:a -map 0:a -map 1:a -map 1:a -map 2:a -map 2:a -map 0:a -map 3:a -map 3:a -map 3:a -map 3:a \
  -map 4:s -map 5:s $OUT \
  -c:a:0 libmp3lame -b:a:0 32k -c:a:1 mp2 -b:a:1 64k -c:a:2 ac3 -b:a:2 64k -c:a:3 dca -strict -2 -b:a:3 192k \
  -c:a:4 pcm_s16le -c:a:5 pcm_f32le -c:a:6 aac -b:a:6 32k -c:a:7 flac -c:a:8 wavpack -c:a:9 tta \
  -c:a:10 adpcm_ms -c:s:0 srt -c:s:1 ass -metadata:s:s:0 language=fre \
  -attach "$MKV_TMP/tiny.ttf" -metadata:s:t:0 mimetype=application/x-truetype-font \
  -metadata:s:t:0 filename=tiny.ttf \
  -f matroska mkv-audio-codecs.mkv

rm -rf "$MKV_TMP"
trap - EXIT
