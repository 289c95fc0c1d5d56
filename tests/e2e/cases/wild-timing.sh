# Timing of files from other writers (GStreamer, mencoder, mplex): stream
# starts, frames without a packet, time-stamp jumps, joined files and times
# far outside a stream's run. Each row makes its source here with the writer
# that shows the case, converts it, and wants the job to end done within ten
# times the source's length, with every flash and beep of the source, each
# beep within 45 ms of where it sits against its flash and each stream as
# long as the source's (within 0.2 s). One case per group of rows, so that
# the groups run side by side.

# AVI stream starts: mencoder writes the delay of its B-frames (and of
# -audio-delay) into the sound's stream header (dwStart): 640/16000 s with
# CBR MP3, 2 x 1152/44100 s with VBR MP3, and 261 ms more for a sound that
# starts late.
case_wild_timing_avi_start() {
  local m src=$WORK/raw.avi
  m=$(wt_material 3 44100)
  ffmpeg -nostdin -v error -y -i "$m.y4m" -i "$m.wav" -c:v rawvideo -c:a pcm_s16le "$src" ||
    fail "ffmpeg could not write $src"
  local lavc=(-ovc lavc -lavcopts vcodec=mpeg4:vbitrate=300:vmax_b_frames=2 -noskip -mc 0)
  mencoder -really-quiet "$src" "${lavc[@]}" -oac mp3lame -lameopts cbr:br=128 -o "$WORK/menc-cbr.avi"
  mencoder -really-quiet "$src" "${lavc[@]}" -oac mp3lame -lameopts vbr=2 -o "$WORK/menc-vbr.avi"
  mencoder -really-quiet "$src" "${lavc[@]}" -oac mp3lame -lameopts cbr:br=64 -audio-delay 0.261 \
    -o "$WORK/menc-late.avi"
  for f in menc-cbr menc-vbr menc-late; do
    [ -s "$WORK/$f.avi" ] || { fail "mencoder could not write $f.avi"; continue; }
    for kind in mp4 flv dvd; do wt_row "$WORK/$f.avi" 512 3 "$kind"; done
  done
}

# Frames without a packet: GStreamer's Theora encoder leaves the packets of
# frames that repeat the one before empty (here every frame of the still
# picture between the flashes), and an AVI gets empty chunks where frames
# are missing (frames 37 and 61-62 of a 4 s source, each gap followed by a
# flash of its own). The picture after each gap keeps its own time in every
# target type.
case_wild_timing_gaps() {
  local m ogg=$WORK/theora.ogv avi=$WORK/empty-chunks.avi
  m=$(wt_material 4 44100)
  gst "$ogg" oggmux name=m ! filesink location="$ogg" filesrc location="$m.y4m" ! y4mdec ! videoconvert ! \
    theoraenc ! m. filesrc location="$m.wav" ! wavparse ! audioconvert ! vorbisenc ! m.
  for kind in avi wmv mpeg vcd ntsc 3gp psp ipod mp4 flv; do wt_row "$ogg" 4096 4 "$kind"; done
  ffmpeg -nostdin -v error -y -f lavfi -i "color=c=black:size=160x120:rate=25:duration=4,format=yuv420p,\
geq=lum='16+12*mod(X+N*3\,32)/32':cb=128:cr=128,drawbox=c=white:t=fill:enable=lt(mod(t\,1)\,0.12)+eq(n\,38)+eq(n\,63)" \
    -f lavfi -i "aevalsrc=0.5*sin(2*PI*1000*t)*(lt(mod(t\,1)\,0.12)+between(t\,1.52\,1.56)+between(t\,2.52\,2.56)):c=stereo:s=44100:d=4" \
    -vf "select='not(eq(n\,37)+between(n\,61\,62))'" -fps_mode passthrough -c:v mpeg4 -q:v 4 -c:a libmp3lame \
    -b:a 96k "$avi" || fail "ffmpeg could not write $avi"
  for kind in mp4 mpeg 3gp; do wt_row "$avi" 512 4 "$kind"; done
}

# Times far outside the stream's run: GStreamer's Matroska muxer, given a
# picture on a clock 2,561,047 hours ahead, keeps one picture block there
# beside 8 s of AC-3; its ASF muxer writes WMV2 pictures from 3,600,000 s on
# beside WMA2 from 0. No job fills such a jump: each ends at once with the
# sound and the pictures there are, the picture going on from where it was
# (as a player shows it), and says so in its log.
case_wild_timing_runaway() {
  local m mkv=$WORK/far-picture.mkv wmv=$WORK/far-picture.wmv
  m=$(wt_material 8 48000)
  wt_far_mkv "$mkv" "$m"
  gst "$wmv" asfmux name=m ! filesink location="$wmv" filesrc location="$m.y4m" ! y4mdec ! videoconvert ! \
    avenc_wmv2 bitrate=300000 ! m. filesrc location="$m.wav" ! wavparse ! audioconvert ! audioresample ! \
    audio/x-raw,rate=44100 ! avenc_wmav2 ! m.
  for kind in mp4 dvd avi flv wmv; do
    wt_row "$mkv" 64 8 "$kind" "" rebase
    grep -q "^1\. The picture starts at 2561047:" "$WORK/run.log" || fail "far-picture.mkv -> $kind: no log line of the jump"
  done
  for kind in mp4 avi wmv; do
    wt_row "$wmv" 2097152 8 "$kind" "" rebase
    grep -q "^1\. The picture starts at 1000:00:00.000" "$WORK/run.log" || fail "far-picture.wmv -> $kind: no log line of the jump"
  done
}

# Joins: two transport streams of GStreamer (MPEG-2 video and MP2, each
# clip's clock from the same start, so the times step back at the join; one
# of them with its sound ending early) and
# two DVD program streams of mplex, each put after itself with cat. No frame
# is lost and sound and picture stay together on both sides of the join.
case_wild_timing_joins() {
  local m ts=$WORK/clip.ts ps=$WORK/clip.mpg want
  m=$(wt_material 6 48000)
  gst "$ts" mpegtsmux name=m ! filesink location="$ts" filesrc location="$m.y4m" ! y4mdec ! videoconvert ! \
    mpeg2enc format=3 bitrate=400 ! mpegvideoparse ! m. filesrc location="$m.wav" ! wavparse ! audioconvert ! \
    avenc_mp2 ! mpegaudioparse ! m.
  cat "$ts" "$ts" >"$WORK/joined.ts"
  for kind in mpeg ntsc 3gp psp mp4; do wt_row "$WORK/joined.ts" 16384 12 "$kind" "$(wt_twice "$("$WT_CHECK" "$ts")")"; done
  # The clip with its sound 0.3 s shorter than its picture: after the join
  # the sound goes on with its own picture, silence filling the gap, in the
  # encoders' targets and in the ASF writer's.
  ffmpeg -nostdin -v error -y -i "$m.wav" -t 5.7 "$WORK/short.wav" || fail "ffmpeg could not write short.wav"
  gst "$WORK/short.ts" mpegtsmux name=m ! filesink location="$WORK/short.ts" filesrc location="$m.y4m" ! y4mdec ! \
    videoconvert ! mpeg2enc format=3 bitrate=400 ! mpegvideoparse ! m. filesrc location="$WORK/short.wav" ! \
    wavparse ! audioconvert ! avenc_mp2 ! mpegaudioparse ! m.
  cat "$WORK/short.ts" "$WORK/short.ts" >"$WORK/short-joined.ts"
  want=$(awk '{ printf "flashes %d beeps %d shift_ms %s,%s video_s %.3f audio_s %.3f\n", 2 * $2, 2 * $4, $6, $6, 2 * $8, $8 + $10 }' \
    <<<"$("$WT_CHECK" "$WORK/short.ts")")
  for kind in mp4 wmv; do wt_row "$WORK/short-joined.ts" 16384 12 "$kind" "$want"; done
  ffmpeg -nostdin -v error -y -i "$m.y4m" -vf scale=720:576 -f yuv4mpegpipe "$WORK/dvd.y4m" &&
    mpeg2enc -v 0 -f 8 -b 1500 -o "$WORK/dvd.m2v" <"$WORK/dvd.y4m" && mp2enc -v 0 -r 48000 -o "$WORK/dvd.mp2" <"$m.wav" &&
    mplex -v 0 -f 8 -o "$ps" "$WORK/dvd.m2v" "$WORK/dvd.mp2" || fail "mjpegtools could not write $ps"
  cat "$ps" "$ps" >"$WORK/joined.vob"
  for kind in mp4 mpeg dvd; do wt_row "$WORK/joined.vob" 16384 12 "$kind" "$(wt_twice "$("$WT_CHECK" "$ps")")"; done
}

# Damaged times: one byte changed in the composition offsets of an MP4 that
# GStreamer wrote (x264 with B-frames, AAC) puts one picture near two hours.
# The job ends with the source's length and sync, as the undamaged file has.
case_wild_timing_damaged() {
  local m mp4=$WORK/bframes.mp4 bad=$WORK/bframes-damaged.mp4
  m=$(wt_material 5 48000)
  gst "$mp4" mp4mux name=m ! filesink location="$mp4" filesrc location="$m.y4m" ! y4mdec ! videoconvert ! \
    x264enc bitrate=300 bframes=2 key-int-max=25 ! h264parse ! m. filesrc location="$m.wav" ! wavparse ! \
    audioconvert ! avenc_aac ! aacparse ! m.
  # The top byte of the 41st composition offset.
  python3 -c "
import sys
d = bytearray(open(sys.argv[1], 'rb').read())
i = d.find(b'ctts')
d[i + 12 + 8 * 40 + 4] = 1
open(sys.argv[2], 'wb').write(d)" "$mp4" "$bad" || fail "could not damage $mp4"
  for kind in mp4 avi; do wt_row "$bad" 524288 5 "$kind" "$("$WT_CHECK" "$mp4")"; done
}
