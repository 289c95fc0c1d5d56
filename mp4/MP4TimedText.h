// 3GPP timed text (tx3g samples) as SSA dialogue lines: the default style
// of the sample entry, the modifier boxes behind the text (styles,
// highlights, blinking, text boxes, karaoke) and the text box as margins
// and a clip rectangle.
#pragma once

#include <string>

#include "mp4/MP4SampleEntry.h"
#include "platform/win32/Types.h"

struct MP4TimedTextSample {
  std::wstring text;  // one character per element
  const BYTE* boxes = nullptr;  // the modifier boxes after the text
  size_t boxes_size = 0;
  MP4_Tx3gSampleEntry::Description entry;
  std::string font;  // the default style's font name
  int frame_width = 640, frame_height = 480;
  int offset_x = 0, offset_y = 0;  // where the track is placed in the frame
  int duration_ms = 0;
};

struct MP4TimedTextLine {
  std::string line;  // UTF-8, line breaks as they stand in the text
  RECT box{};        // the text box, moved by the track's offset
};

MP4TimedTextLine ConvertTimedText(const MP4TimedTextSample& sample);

// The line that draws the text box in the background colour (RGBA).
std::string TimedTextBoxLine(const RECT& box, DWORD background_rgba);

// Every CR removed and every LF written as "\N", as SSA lines take breaks.
std::string SsaLineBreaks(const std::string& text);
