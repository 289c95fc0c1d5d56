# MP4, QuickTime and 3GPP samples of the MP4 splitter and its atom library
# (sourced by make-media.sh, in tests/data). Variants that are only
# re-wrapped (faststart, fragmented, MOV from MP4, MPEG audio and video in
# MP4) and the hand-built ones are made by the tests at run time.

# MPEG-4 part 2 + AAC in QuickTime: the AAC entry holds its esds inside a
# "wave" atom.
run $(video 176x144 1) $(stereo 44100 1) $AV $OUT \
  -c:v mpeg4 -b:v 200k -g 25 -bf 1 -c:a aac -b:a 64k -f mov mov-mpeg4-aac.mov
# Motion JPEG + big-endian 16-bit PCM ("twos") in QuickTime.
run $(video 176x144 1) $(tone 440 8000 1) $AV $OUT \
  -c:v mjpeg -q:v 31 -pix_fmt yuvj420p -c:a pcm_s16be -f mov mov-mjpeg-pcm.mov
# QuickTime IMA ADPCM alone: a version 1 sound entry whose sample table
# counts single sound samples.
run $(tone 440 8000 1) $OUT -c:a adpcm_ima_qt -f mov mov-ima4.mov
# 3GPP2: MPEG-4 part 2 + AAC.
run $(video 176x144 1) $(stereo 22050 1) $AV $OUT \
  -c:v mpeg4 -b:v 150k -c:a aac -b:a 48k -f 3g2 3g2-mpeg4-aac.3g2

# H.264 + AAC + 3GPP timed text from a styled ASS script, with chapters and
# iTunes-style metadata (the chapter and metadata maps replace the
# "none" of $OUT).
MP4_TMP=$(mktemp -d)
cat >"$MP4_TMP/subs.ass" <<'ASS'
[Script Info]
ScriptType: v4.00+
PlayResX: 176
PlayResY: 144

[V4+ Styles]
Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding
Style: Default,Arial,16,&H00FFFFFF,&H000000FF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,1,0,2,10,10,10,1

[Events]
Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text
Dialogue: 0,0:00:00.00,0:00:00.40,Default,,0,0,0,,Hello {\b1}bold{\b0} world
Dialogue: 0,0:00:00.50,0:00:00.90,Default,,0,0,0,,Line one\NLine {\i1}two{\i0} {\c&H0000FF&}red{\c}
ASS
cat >"$MP4_TMP/meta.txt" <<'META'
;FFMETADATA1
title=Test Title
artist=Test Artist
album=Test Album
track=7
date=2024
genre=Test Genre
comment=A comment

[CHAPTER]
TIMEBASE=1/1000
START=0
END=500
title=Opening

[CHAPTER]
TIMEBASE=1/1000
START=500
END=1000
title=Closing
META
run $(video 176x144 1) $(stereo 44100 1) -i "$MP4_TMP/subs.ass" -i "$MP4_TMP/meta.txt" \
  -map 0:v -map 1:a -map 2:s -fflags +bitexact -flags +bitexact -threads 1 -map_metadata 3 -map_chapters 3 \
  -c:v libx264 -preset veryfast -g 25 -pix_fmt yuv420p -c:a aac -b:a 48k -c:s mov_text \
  -f mp4 mp4-text-chapters.mp4
rm -rf "$MP4_TMP"
