# MPEG-2 intra blocks coded with the second coefficient table
# (intra_vlc_format) and quantiser scales from the non-linear table
# (q_scale_type), as DVD encoders often write them.
run $(video 112x80 0.6) $OUT -c:v mpeg2video -b:v 300k -g 12 -bf 2 \
  -intra_vlc 1 -non_linear_quant 1 -qmax 28 mpeg2-intra-vlc.m2v
