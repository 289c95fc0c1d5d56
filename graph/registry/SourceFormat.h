// The kinds of source container, one bit each: the internal source rows
// carry them, the splitter mask is made of them and the graph manager
// reports the bit of the source it chose.
#pragma once

#include "platform/win32/Types.h"

enum SourceFormat : DWORD {
  SourceFormat_CDDA = 0x1,
  SourceFormat_CDXA = 0x2,
  SourceFormat_DVD = 0x4,
  SourceFormat_Flic = 0x8,
  SourceFormat_D2V = 0x10,
  SourceFormat_DTSAC3 = 0x20,
  SourceFormat_Matroska = 0x40,
  SourceFormat_Shoutcast = 0x80,
  SourceFormat_RealMedia = 0x100,
  SourceFormat_AVI = 0x200,
  SourceFormat_RoQ = 0x800,
  SourceFormat_Ogg = 0x1000,
  SourceFormat_Nut = 0x2000,
  SourceFormat_MPEG = 0x4000,
  SourceFormat_MPA = 0x10000,
  SourceFormat_DSM = 0x20000,
  SourceFormat_Subtitle = 0x40000,
  SourceFormat_MP4 = 0x80000,
  SourceFormat_FLV = 0x100000,
  SourceFormat_WMV = 0x200000,
  SourceFormat_Registry = 0x800000,
};
