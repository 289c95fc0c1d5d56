# Samples of mono MPEG-1 layer II above 192 kbit/s (sourced by make-media.sh).
# The standard allows no single-channel mode at these rates, but encoders
# write it all the same: ffmpeg does for a VCD-style file made with
# -ac 1 -b:a 224k.

# Elementary stream, 2 s of a 440 Hz tone at 44.1 kHz.
run $(tone 440 44100 2) $OUT -c:a mp2 -ac 1 -b:a 224k -f mp2 mp2-mono-224k.mp2
# VCD-style MPEG-1 system stream (2324-byte packs) with that audio.
run $(video 176x144 2) $(tone 440 44100 2) $AV $OUT \
  -c:v mpeg1video -b:v 300k -c:a mp2 -ac 1 -b:a 224k -f vcd mpeg1-mono-224k.mpg
