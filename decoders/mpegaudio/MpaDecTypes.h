// Identifiers and media types of the audio decoder: the filter's class id,
// the Vorbis types it takes, the accepted input pairs and the decoding path
// that each input subtype goes to.
#pragma once

#include "platform/dshow/MediaType.h"

PELLOMAR_DEFINE_GUID(CLSID_MpaDecFilter, "3D446B6F-71DE-4437-BE15-8CE47174340F");
PELLOMAR_DEFINE_GUID(CLSID_MpaDecPropertyPage, "24103041-884B-4772-B0D3-A600E7CBFEC7");

// Vorbis as the decoder takes it: a format block with the three stream
// headers behind a 24-byte head.
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_Vorbis2, "8D2FD10B-5841-4A6B-8905-588FEC1ADED9");
PELLOMAR_DEFINE_GUID(FORMAT_VorbisFormat2, "B36E107F-A938-4387-93C7-55E966757473");

enum class MpaInputKind { Mpa, Lpcm, Ac3, Dts, Aac, Ps2Pcm, Ps2Adpcm, Vorbis };

// The decoding path for an input subtype; unknown subtypes are MPEG audio.
MpaInputKind ClassifyMpaInput(const GUID& subtype);

// True when the (major type, subtype) pair is one the decoder accepts.
bool IsAcceptedMpaInput(const GUID& majortype, const GUID& subtype);

// One accepted input pair; the table is what the filter registers.
struct MpaInputPair {
  const GUID* majortype;
  const GUID* subtype;
};
const MpaInputPair* MpaInputPairs(size_t* count);
