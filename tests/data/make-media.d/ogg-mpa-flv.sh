# Samples of the Ogg, MPEG audio and FLV splitters (sourced by make-media.sh).

# --- Ogg ---------------------------------------------------------------------
# Vorbis with comments: title, artist, language and two chapters.
run $(tone 440 22050 1) $OUT -c:a libvorbis -q:a 0 \
  -metadata TITLE=Song -metadata ARTIST=Someone -metadata LANGUAGE=eng \
  -metadata CHAPTER01=00:00:00.250 -metadata CHAPTER02=00:00:00.750 -metadata CHAPTER02NAME=Second \
  -f ogg vorbis-tags.ogg
# Two Vorbis streams at different rates.
run $(tone 440 22050 1) $(tone 880 11025 1) -map 0:a -map 1:a $OUT -c:a libvorbis -q:a 0 \
  -f ogg vorbis-2streams.ogg
# Theora and Vorbis, each order of first pages.
run $(video 64x48 1) $(tone 440 22050 1) -map 0:v -map 1:a $OUT \
  -c:v libtheora -q:v 3 -c:a libvorbis -q:a 0 -f ogg theora-vorbis.ogg
run $(video 64x48 1) $(tone 440 22050 1) -map 1:a -map 0:v $OUT \
  -c:v libtheora -q:v 3 -c:a libvorbis -q:a 0 -f ogg vorbis-theora.ogg
# MPEG-4 part 2 without B pictures, which the tests wrap into OGM files.
run $(video 176x144 2) $OUT -c:v mpeg4 -b:v 200k -g 25 -bf 0 -f m4v mpeg4-ipp.m4v

# --- MPEG audio --------------------------------------------------------------
# ID3v2.3 in front (with the encoder's Info frame) and ID3v1 at the end.
run $(tone 440 44100 1) $OUT -c:a libmp3lame -b:a 64k -id3v2_version 3 -write_id3v1 1 \
  -metadata title=Song -metadata date=1999 -metadata track=7 -metadata artist=Someone \
  -metadata album=Album -metadata comment=Note -f mp3 mp3-id3v23.mp3
# ID3v2.4 (syncsafe frame sizes, UTF-8 text).
run $(tone 440 44100 1) $OUT -c:a libmp3lame -b:a 64k -id3v2_version 4 -write_xing 0 \
  -metadata title=Sông -metadata date=2004 -metadata artist=Someone -f mp3 mp3-id3v24.mp3
# MPEG-2.5 layer III at 8 kHz.
run $(tone 440 8000 1) $OUT -c:a libmp3lame -b:a 16k -write_xing 0 -id3v2_version 0 -f mp3 mp3-8000.mp3

# --- FLV ---------------------------------------------------------------------
run $(video 128x96 1) $(tone 440 22050 1) $AV $OUT \
  -c:v flv -b:v 100k -c:a pcm_u8 -f flv flv-flv1-pcm.flv
# H.264 and AAC, which the FLV splitter gives no outputs for.
run $(video 128x96 1) $(tone 440 22050 1) $AV $OUT \
  -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -b:a 32k -f flv flv-h264-aac.flv
