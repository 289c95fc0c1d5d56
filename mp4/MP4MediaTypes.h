// The media types the MP4 splitter offers for a track, made from the
// track's sample description (or, without one, from its sample entries),
// and the subtitle types and format blocks of its text outputs.
#pragma once

#include <string>
#include <vector>

#include "mp4/MP4File.h"
#include "platform/dshow/MediaType.h"

class CMP4SplitterFile;

namespace mp4split {

PELLOMAR_DEFINE_GUID(MEDIATYPE_Subtitle, "E487EB08-6B26-4BE9-9DD3-993434D313FD");
PELLOMAR_DEFINE_GUID(FORMAT_SubtitleInfo, "A33D2F7D-96BC-4337-B23B-A8B9FBC295E9");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_VOBSUB, "F7239E31-9599-4E43-8DD5-FBAF75CF37F1");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_SSA, "370689E7-B226-4F67-978D-F10BC1A9C6AE");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_UTF8, "87C0B230-03A8-4FDF-8010-B27A5848200D");

#pragma pack(push, 1)
struct SUBTITLEINFO {
  DWORD dwOffset;  // of the text behind the block
  CHAR IsoLang[4];
  char16_t TrackName[256];
};
#pragma pack(pop)
static_assert(sizeof(SUBTITLEINFO) == 520);

// The plain-text twin of a text track is filed under the track id xor this.
constexpr DWORD kPlainTextTrack = 0x80402010;

struct TrackTypeContext {
  CMP4SplitterFile* file = nullptr;  // read at the first sample for MPEG headers
  std::wstring name;
  std::string language;
  int text_width = 640, text_height = 480;  // PlayResX/Y of SSA scripts
};

// The types in the order they are offered; empty when the track has none.
std::vector<CMediaType> TrackMediaTypes(MP4_Track& track, const MP4_Sample& first, const TrackTypeContext& context);

// PCM or float sound in the wave format, or one of QuickTime's codes for
// uncompressed sound.
bool IsUncompressedSound(const AM_MEDIA_TYPE& mt);

// A SUBTITLEINFO block with `text` behind it.
std::vector<BYTE> SubtitleInfoBlock(const std::string& language, const std::wstring& name, const std::string& text);

// The VobSub index text for a 64-byte (or longer) palette of Y, Cb, Cr
// entries.
std::string VobSubIndex(int width, int height, const BYTE* palette);

}  // namespace mp4split
