// Media types of a Matroska track, built from its codec identifier and its
// codec private data, and the GUIDs of the types that are not the
// platform's own.
#pragma once

#include <string>
#include <vector>

#include "platform/dshow/DShow.h"
#include "platform/dshow/MediaType.h"
#include "splitters/matroska/MatroskaFile.h"

namespace MatroskaReader {

// Vorbis with its three headers in the format block, and Vorbis whose
// headers come as the first packets of the stream.
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_Vorbis2, "8D2FD10B-5841-4A6B-8905-588FEC1ADED9");
PELLOMAR_DEFINE_GUID(FORMAT_VorbisFormat2, "B36E107F-A938-4387-93C7-55E966757473");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_Vorbis, "CDDCA2D5-6D75-4F98-840E-737BEDD5C63B");
PELLOMAR_DEFINE_GUID(FORMAT_VorbisFormat, "6BDDFA7E-9F22-46A9-AB5E-884EFF294D9F");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_FLAC_FRAMED, "1541C5C0-CDDF-477D-BC0A-86F8AE7F8354");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_DiracVideo, "64726376-0000-0010-8000-00AA00389B71");
// Subtitle streams and their text formats.
PELLOMAR_DEFINE_GUID(MEDIATYPE_Subtitle, "E487EB08-6B26-4BE9-9DD3-993434D313FD");
PELLOMAR_DEFINE_GUID(FORMAT_SubtitleInfo, "A33D2F7D-96BC-4337-B23B-A8B9FBC295E9");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_UTF8, "87C0B230-03A8-4FDF-8010-B27A5848200D");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_SSA, "3020560F-255A-4DDC-806E-6C5CC6DCD70A");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_ASS, "326444F7-686F-47FF-A4B2-C8C96307B4C2");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_SSF, "76C421C4-DB89-42EC-936E-A9FBC1794714");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_USF, "B753B29A-0A96-45BE-985F-68351D9CAB90");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_VOBSUB, "F7239E31-9599-4E43-8DD5-FBAF75CF37F1");

// The format block of a subtitle type: the codec private data follows at
// dwOffset.
#pragma pack(push, 1)
struct SUBTITLEINFO {
  DWORD dwOffset;
  CHAR IsoLang[4];
  char16_t TrackName[256];
};
#pragma pack(pop)
static_assert(sizeof(SUBTITLEINFO) == 520);

}  // namespace MatroskaReader

// The types offered for a track, preferred first; empty when the track's
// codec is not one the splitter knows or its private data is malformed.
// `defaultName` receives the track's kind name ("Video", "Audio",
// "Subtitle"), empty for other kinds. `firstFrame`, when given, stands in
// for MPEG-2 private data that holds no sequence header.
std::vector<CMediaType> MakeMatroskaMediaTypes(const MatroskaReader::TrackEntry& te, std::wstring& defaultName,
                                               const std::vector<BYTE>* firstFrame = nullptr);

// The parameter sets of an AVC decoder configuration record, each with its
// 16-bit length; false when a set runs past the record.
bool AvcParameterSets(const BYTE* record, size_t length, std::vector<BYTE>& sets);
