# Stream time across streams: files of writers that leave one stream's gap
# while the other goes on, change the frame rate, cut, chain or split files,
# or stamp one picture far out, and copies of ours with a time damaged. Each
# job is filled as the window fills it (the driver's probe gives the source's
# length, size and rate) and must end done within ten times the source's
# length, with every flash and beep of the source, each beep within 45 ms of
# where it sits against its flash and each stream as long as the source's
# (within 0.2 s), so no output is longer than its source and a second. One
# case per group of rows, so that the groups run side by side.

TO_DAMAGE=$(dirname "$0")/time-damage.py

# to_write OUT COMMAND...: a file written by another program; its messages
# are shown only when it fails.
to_write() {
  local out=$1
  shift
  "$@" >"$WORK/writer.log" 2>&1 && [ -s "$out" ] || { cat "$WORK/writer.log"; fail "$1 could not write $out"; }
}

# to_gap SECONDS: the flash-and-beep picture with SECONDS left out from
# 2.5 s on while the sound goes on (as a broadcast recording that loses its
# picture for a while), written by ffmpeg with each picture's own time into
# $WORK/gap-SECONDS.{nut,ts,mpg,mkv,mp4}. The NUT copy is raw and read back
# exactly as written.
to_gap() {
  local gap=$1 m base=$WORK/gap-$1 ext codecs
  m=$(wt_material $((gap + 5)) 48000)
  for ext in nut ts mpg mkv mp4; do
    case $ext in
      nut) codecs=(-c:v rawvideo -c:a pcm_s16le) ;;
      ts) codecs=(-c:v mpeg2video -b:v 400k -c:a mp2 -f mpegts) ;;
      mpg) codecs=(-c:v mpeg2video -b:v 400k -c:a mp2 -f vob) ;;
      mkv) codecs=(-c:v mpeg4 -q:v 4 -c:a libmp3lame) ;;
      mp4) codecs=(-c:v libx264 -preset veryfast -c:a aac) ;;
    esac
    to_write "$base.$ext" ffmpeg -nostdin -v error -y -i "$m.y4m" -i "$m.wav" \
      -vf "select='not(between(t\,2.5\,$((gap + 2)).5))'" -fps_mode passthrough "${codecs[@]}" "$base.$ext"
  done
}

# One-stream gaps of 7 s and of 15 s (beyond the 5 s and 10 s steps at
# which a stage alone could take a gap for a jump of the clock): the picture
# holds its last frame over the gap and every picture after it keeps its
# time.
case_time_owner_gap_7() {
  to_gap 7
  local ext
  for ext in ts mpg mkv mp4; do wt_row "$WORK/gap-7.$ext" - 12 mp4; done
}

# The ffmpeg tool takes a step of more than 10 s in a transport or program
# stream for a jump of the clock and closes it: what it reads of those two
# is not the source, the raw copy is.
case_time_owner_gap_15() {
  to_gap 15
  local ext
  for ext in ts mpg; do wt_row "$WORK/gap-15.$ext" - 20 mp4 "$("$WT_CHECK" "$WORK/gap-15.nut")"; done
  for ext in mkv mp4; do wt_row "$WORK/gap-15.$ext" - 20 mp4; done
}

# Absurd time-to-sample deltas: ffmpeg's MP4 (H.264, AAC) and 3GP (H.263,
# AMR) with one picture's delta set to 0xFFFFFFFF (a step of days), and with
# every delta made negative (0xFFFFFC18). The job converts as the undamaged
# file does, taking the stream's own step for the damaged one.
case_time_owner_mp4_deltas() {
  local m ext src
  m=$(wt_material 4 44100)
  to_write "$WORK/steps.mp4" ffmpeg -nostdin -v error -y -i "$m.y4m" -i "$m.wav" -c:v libx264 -preset veryfast \
    -c:a aac "$WORK/steps.mp4"
  to_write "$WORK/steps.3gp" ffmpeg -nostdin -v error -y -i "$m.y4m" -i "$m.wav" -vf scale=176:144 -c:v h263 \
    -c:a libopencore_amrnb -ar 8000 -ac 1 "$WORK/steps.3gp"
  for ext in mp4 3gp; do
    src=$WORK/steps.$ext
    python3 "$TO_DAMAGE" stts "$src" "$WORK/one-delta.$ext" one 50 0xFFFFFFFF || fail "could not damage $src"
    python3 "$TO_DAMAGE" stts "$src" "$WORK/negative.$ext" all 0xFFFFFC18 || fail "could not damage $src"
    wt_row "$WORK/one-delta.$ext" - 4 mp4 "$("$WT_CHECK" "$src")"
    wt_row "$WORK/negative.$ext" - 4 mp4 "$("$WT_CHECK" "$src")"
  done
}

# Absurd MPEG time stamps: ffmpeg's M2TS, transport and program streams
# (MPEG-2, MP2) with the picture packet at 1.5 s stamped 0 or at the end of
# the 33-bit clock. The job converts as the undamaged file does.
case_time_owner_mpeg_stamps() {
  local m ext src stamp
  m=$(wt_material 4 48000)
  for ext in m2ts ts mpg; do
    src=$WORK/stamps.$ext
    case $ext in
      m2ts) to_write "$src" ffmpeg -nostdin -v error -y -i "$m.y4m" -i "$m.wav" -c:v mpeg2video -b:v 400k -c:a mp2 \
        -f mpegts -mpegts_m2ts_mode 1 "$src" ;;
      ts) to_write "$src" ffmpeg -nostdin -v error -y -i "$m.y4m" -i "$m.wav" -c:v mpeg2video -b:v 400k -c:a mp2 \
        -f mpegts "$src" ;;
      mpg) to_write "$src" ffmpeg -nostdin -v error -y -i "$m.y4m" -i "$m.wav" -c:v mpeg2video -b:v 400k -c:a mp2 \
        -f vob "$src" ;;
    esac
    for stamp in 0 0x1FFFFFFFF; do
      python3 "$TO_DAMAGE" pes "$src" "$WORK/stamp-$stamp.$ext" 1.5 "$stamp" || fail "could not damage $src"
      wt_row "$WORK/stamp-$stamp.$ext" - 4 mp4 "$("$WT_CHECK" "$src")"
    done
  done
}

# Two 4 KB blocks of a transport stream swapped (a bad copy), both from the
# stretch between two flashes: every flash and beep is still there.
case_time_owner_ts_swap() {
  local m src=$WORK/swap-source.ts bad=$WORK/swapped.ts from to
  m=$(wt_material 4 48000)
  to_write "$src" ffmpeg -nostdin -v error -y -i "$m.y4m" -i "$m.wav" -c:v mpeg2video -b:v 400k -c:a mp2 -f mpegts "$src"
  # The first whole block after the picture of 1.3 s and the one two blocks
  # on, which must end before the picture of 1.9 s.
  read -r from to < <(ffprobe -v error -select_streams v:0 -show_entries packet=pts_time,pos -of csv=p=0 "$src" |
    awk -F, '$1 != "" && $2 != "N/A" {
        t = $1 - 0; if (first == "") first = t
        if (from == "" && t - first >= 1.3) from = $2
        if (to == "" && t - first >= 1.9) to = $2 }
      END { a = int(from / 4096) + 1; if ((a + 3) * 4096 <= to) print a * 4096, (a + 2) * 4096 }')
  [ -n "$from" ] || { fail "$src: no two blocks between the flashes of 1 s and 2 s"; return; }
  swapped "$src" "$bad" "$from" "$to" 4096
  wt_row "$bad" - 4 mp4 "$("$WT_CHECK" "$src")"
}

# mkvmerge: the second part of a file split at 3 s (its first MP3 frames
# need the part before), and a file whose picture times come from a
# timestamps file (frames 50-99 at 50 frames/s, the rest at 25).
case_time_owner_mkvmerge() {
  local m whole=$WORK/whole.mkv vfr=$WORK/vfr.mkv
  m=$(wt_material 6 44100)
  # At 96 kbit/s the first frames of the second part lean on frames of the
  # first.
  to_write "$whole" ffmpeg -nostdin -v error -y -i "$m.y4m" -i "$m.wav" -c:v mpeg4 -q:v 4 -g 25 -c:a libmp3lame \
    -b:a 96k "$whole"
  to_write "$WORK/split-002.mkv" mkvmerge -q -o "$WORK/split.mkv" --split timestamps:3s "$whole"
  wt_row "$WORK/split-002.mkv" - 3 mp4
  # The picture at 50 frames/s, of which every other frame is kept but for
  # frames 100-149 (2-3 s): 175 frames whose flashes lie where the
  # timestamps file puts them.
  to_write "$WORK/vfr.h264" ffmpeg -nostdin -v error -y -f lavfi \
    -i "color=c=black:size=160x120:rate=50:duration=6,drawbox=c=white:t=fill:enable=lt(mod(t\,1)\,0.12),format=yuv420p" \
    -vf "select='not(mod(n\,2))+between(n\,100\,149)'" -fps_mode passthrough -c:v libx264 -preset veryfast -bf 0 \
    -f h264 "$WORK/vfr.h264"
  awk 'BEGIN { print "# timestamp format v2"
      for (i = 0; i < 175; i++) print (i < 50 ? i * 40 : i < 100 ? 2000 + (i - 50) * 20 : 3000 + (i - 100) * 40) }' \
    >"$WORK/vfr.txt"
  to_write "$WORK/vfr.mka" ffmpeg -nostdin -v error -y -i "$m.wav" -c:a libvorbis "$WORK/vfr.mka"
  to_write "$vfr" mkvmerge -q -o "$vfr" --timestamps "0:$WORK/vfr.txt" "$WORK/vfr.h264" "$WORK/vfr.mka"
  wt_row "$vfr" - 6 mp4
}

# VLC's muxers (cvlc --sout): FLV (Sorenson H.263, MP3 whose first sound
# times step unevenly) and MP4 (H.264 whose time-to-sample table starts
# with one sample of duration 0 and whose sync-sample table leaves out the
# first key frame, AAC).
case_time_owner_vlc() {
  local m raw vdir=$WORK/vlc as=()
  m=$(wt_material 6 44100)
  # VLC refuses to run as root: it runs as nobody in a folder of its own.
  mkdir -p "$vdir" && chmod 777 "$vdir"
  [ "$(id -u)" != 0 ] || as=(runuser -u nobody --)
  raw=$vdir/raw.mkv
  to_write "$raw" ffmpeg -nostdin -v error -y -i "$m.y4m" -i "$m.wav" -c:v mpeg4 -q:v 3 -c:a pcm_s16le "$raw"
  chmod 644 "$raw"
  to_write "$vdir/vlc.flv" timeout 120 "${as[@]}" env HOME="$vdir" cvlc -q --no-sout-all --sout-keep "$raw" \
    --sout "#transcode{vcodec=FLV1,vb=300,acodec=mp3,ab=96,channels=2,samplerate=44100}:std{access=file,mux=ffmpeg{mux=flv},dst=$vdir/vlc.flv}" \
    vlc://quit
  to_write "$vdir/vlc.mp4" timeout 120 "${as[@]}" env HOME="$vdir" cvlc -q --no-sout-all --sout-keep "$raw" \
    --sout "#transcode{vcodec=h264,vb=300,acodec=mp4a,ab=96,channels=2,samplerate=44100}:std{access=file,mux=mp4,dst=$vdir/vlc.mp4}" \
    vlc://quit
  # VLC's picture and sound start a few milliseconds apart, differently on
  # each run: WMV keeps the source's own picture times, which a target of
  # its own rate would round by up to half a frame.
  wt_row "$vdir/vlc.flv" - 6 wmv
  wt_row "$vdir/vlc.mp4" - 6 mp4
}

# GStreamer's transport stream with LAME's variable-rate MP3 (frames of
# 104 to 731 bytes, one a packet): the sound keeps its times however the
# frames' sizes vary.
case_time_owner_vbr() {
  local m ts=$WORK/vbr.ts
  m=$(wt_material 4 44100)
  gst "$ts" mpegtsmux name=mx ! filesink location="$ts" filesrc location="$m.y4m" ! y4mdec ! videoconvert ! \
    x264enc bitrate=300 ! h264parse ! mx. filesrc location="$m.wav" ! wavparse ! audioconvert ! lamemp3enc ! \
    mpegaudioparse ! mx.
  wt_row "$ts" - 4 mp4
}

# Ogg: two Theora + Vorbis files of ffmpeg put one after the other with
# cat (both links with one serial number per stream) is read to its end;
# a file cut by oggCut so that it starts on a beep keeps that beep in an
# FLV target.
case_time_owner_ogg() {
  local m ogg=$WORK/link.ogg
  m=$(wt_material 4 48000)
  to_write "$ogg" ffmpeg -nostdin -v error -y -i "$m.y4m" -i "$m.wav" -c:v libtheora -g 25 -q:v 6 -c:a libvorbis \
    -q:a 3 "$ogg"
  cat "$ogg" "$ogg" >"$WORK/chained.ogg"
  wt_row "$WORK/chained.ogg" - 8 mp4 "$(wt_twice "$("$WT_CHECK" "$ogg")")"
  to_write "$WORK/cut.ogg" oggCut -s 1000 -l 3000 -i "$ogg" -o "$WORK/cut.ogg"
  wt_row "$WORK/cut.ogg" - 3 flv
}

# Run-aways without a sane stated length: a three-track mkvmerge file (the
# GStreamer Matroska of wild-timing.sh whose one picture is stamped
# 2,561,047 hours ahead, and two more sound tracks), and a Matroska file
# that states no length, with four header sizes (seek head, segment
# information, tracks, tags) damaged to unknown. Each ends with the
# source's content.
case_time_owner_runaway() {
  local m far=$WORK/far.mkv three=$WORK/three-tracks.mkv
  m=$(wt_material 5 48000)
  wt_far_mkv "$far" "$m"
  to_write "$WORK/sound.ogg" ffmpeg -nostdin -v error -y -i "$m.wav" -c:a libvorbis "$WORK/sound.ogg"
  to_write "$WORK/sound.mp3" ffmpeg -nostdin -v error -y -i "$m.wav" -c:a libmp3lame "$WORK/sound.mp3"
  to_write "$three" mkvmerge -q -o "$three" "$far" "$WORK/sound.ogg" "$WORK/sound.mp3"
  wt_row "$three" - 5 mp4 "" rebase
  # ffmpeg writing to a pipe states no length (no duration, no cues, a
  # segment of unknown size).
  ffmpeg -nostdin -v error -y -i "$m.y4m" -i "$m.wav" -c:v mpeg4 -q:v 4 -c:a libmp3lame -f matroska - \
    >"$WORK/piped.mkv" || fail "ffmpeg could not write piped.mkv"
  python3 "$TO_DAMAGE" sizes "$WORK/piped.mkv" "$WORK/no-length.mkv" || fail "could not damage piped.mkv"
  wt_row "$WORK/no-length.mkv" - 5 mp4 "$("$WT_CHECK" "$WORK/piped.mkv")"
}

# MPEG targets' own time stamps, from an AVI of ffmpeg (MPEG-4, MP3): a DVD
# whose AC-3 packet times rise and that dvdauthor takes without a word, and
# an MPEG-1 file whose pictures fill every frame slot (one picture a frame time, none left out,
# none twice: the ffmpeg tool reads the first such fault of the present
# writer at 27 s).
case_time_owner_mpeg_targets() {
  local m avi=$WORK/mp3.avi out got
  m=$(wt_material 30 44100)
  to_write "$avi" ffmpeg -nostdin -v error -y -i "$m.y4m" -i "$m.wav" -c:v mpeg4 -q:v 4 -c:a libmp3lame -b:a 128k "$avi"
  wt_row "$avi" - 30 dvd
  out=$WORK/mp3-dvd/dvd.mpg
  if [ -s "$out" ]; then
    expect_sound_times_rise "$out" 8
    expect_dvd_authored "$out" PAL
    got=$(ffmpeg -nostdin -v warning -i "$out" -map 0:v -c copy -f null - 2>&1 | grep -i "monoton" | head -n 3)
    [ -z "$got" ] || fail "$out: ffmpeg reads its pictures back with: $got"
  fi
  wt_row "$avi" - 30 mpeg
  out=$WORK/mp3-mpeg/out.mpg
  [ -s "$out" ] || return 0
  # Each picture's time as the ffmpeg tool shows it (its own, or the one its
  # decoding order gives) one slot of 3600 ticks of the 90 kHz clock (25
  # frames/s) after the one before. The last picture, which the decoder
  # gives out at the end without a time, has none to check.
  got=$(ffprobe -v error -select_streams v:0 -show_entries frame=best_effort_timestamp -of csv=p=0 "$out" |
    awk -F, '$1 != "" && $1 != "N/A" { if (n++ && $1 - p != 3600) printf "%s after %s; ", $1, p; p = $1 }')
  [ -z "$got" ] || fail "$out: pictures not one frame slot apart: $got"
}
