# Samples of the RoQ splitter and decoders (sourced by make-media.sh). The
# DSM tests build their files from other samples with a writer of their own.

# RoQ at its fixed 30 frames/s and 22050 Hz: stereo with video (2 s, so that
# a seek to 1 s has a codebook to land on), mono with video, sound alone.
run $(video 96x64 2 30) $(stereo 22050 2) $AV $OUT -c:v roqvideo -c:a roq_dpcm -f roq roq-stereo.roq
run $(video 64x48 1 30) $(tone 440 22050 1) $AV $OUT -c:v roqvideo -c:a roq_dpcm -f roq roq-mono.roq
run $(tone 440 22050 1) $OUT -c:a roq_dpcm -f roq roq-audio.roq
