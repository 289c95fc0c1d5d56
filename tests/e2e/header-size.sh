#!/bin/bash
# Writes another picture size into the headers of an AVI or ASF file, as a
# writer that rounds its size up does; the stream itself keeps its own.
# AVI: the main header, the video stream header's frame and its bitmap
# header. ASF: the video stream's picture size and its bitmap header.
#
#   header-size.sh FILE WIDTH HEIGHT
set -eu
file=$1
width=$2
height=$3

# le N BYTES: N as little-endian bytes
le() {
  local i
  for ((i = 0; i < $2; i++)); do printf "\\x$(printf %02x $(($1 >> (8 * i) & 255)))"; done
}
# put OFFSET: stdin over the file's bytes there
put() { dd of="$file" bs=1 seek="$1" conv=notrunc status=none; }
# first PATTERN: the offset of the pattern's first match
first() { LC_ALL=C grep -obUaP "$1" "$file" | head -n 1 | cut -d: -f1; }

case $(head -c 4 "$file") in
  RIFF)
    at=$(first 'avih')
    le "$width" 4 | put $((at + 8 + 32))
    le "$height" 4 | put $((at + 8 + 36))
    at=$(first 'strh[\s\S]{4}vids')
    le "$width" 2 | put $((at + 8 + 52))
    le "$height" 2 | put $((at + 8 + 54))
    # The bitmap header is the format of the stream header before it.
    at=$((at + $(tail -c +$((at + 1)) "$file" | LC_ALL=C grep -obUaP 'strf' | head -n 1 | cut -d: -f1)))
    le "$width" 4 | put $((at + 8 + 4))
    le "$height" 4 | put $((at + 8 + 8))
    ;;
  *)
    # The stream properties object whose stream type is video.
    at=$(first '\x91\x07\xdc\xb7\xb7\xa9\xcf\x11\x8e\xe6[\s\S]{14}\xc0\xef\x19\xbc')
    [ -n "$at" ] || { echo "header-size.sh: no video stream properties in $file" >&2; exit 1; }
    le "$width" 4 | put $((at + 78))
    le "$height" 4 | put $((at + 82))
    le "$width" 4 | put $((at + 93))
    le "$height" 4 | put $((at + 97))
    ;;
esac
