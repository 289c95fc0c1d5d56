#include "decoders/mpegaudio/MpaDecTypes.h"

namespace {

// The four packagings in which DVD-style audio arrives.
#define PACKAGINGS(sub)                                                                     \
  {&MEDIATYPE_DVD_ENCRYPTED_PACK, &sub}, {&MEDIATYPE_MPEG2_PACK, &sub}, {&MEDIATYPE_MPEG2_PES, &sub}, \
      {&MEDIATYPE_Audio, &sub}

const MpaInputPair kInputs[] = {
    {&MEDIATYPE_Audio, &MEDIASUBTYPE_MP3},
    {&MEDIATYPE_Audio, &MEDIASUBTYPE_MPEG1AudioPayload},
    {&MEDIATYPE_Audio, &MEDIASUBTYPE_MPEG1Payload},
    {&MEDIATYPE_Audio, &MEDIASUBTYPE_MPEG1Packet},
    PACKAGINGS(MEDIASUBTYPE_MPEG2_AUDIO),
    PACKAGINGS(MEDIASUBTYPE_DOLBY_AC3),
    {&MEDIATYPE_Audio, &MEDIASUBTYPE_WAVE_DOLBY_AC3},
    PACKAGINGS(MEDIASUBTYPE_DTS),
    {&MEDIATYPE_Audio, &MEDIASUBTYPE_WAVE_DTS},
    PACKAGINGS(MEDIASUBTYPE_DVD_LPCM_AUDIO),
    PACKAGINGS(MEDIASUBTYPE_AAC),
    PACKAGINGS(MEDIASUBTYPE_MP4A),
    PACKAGINGS(MEDIASUBTYPE_mp4a),
    PACKAGINGS(MEDIASUBTYPE_PS2_PCM),
    PACKAGINGS(MEDIASUBTYPE_PS2_ADPCM),
    {&MEDIATYPE_Audio, &MEDIASUBTYPE_Vorbis2},
};
static_assert(sizeof(kInputs) / sizeof(kInputs[0]) == 43);

#undef PACKAGINGS

}  // namespace

MpaInputKind ClassifyMpaInput(const GUID& s) {
  if (s == MEDIASUBTYPE_DVD_LPCM_AUDIO) return MpaInputKind::Lpcm;
  if (s == MEDIASUBTYPE_DOLBY_AC3 || s == MEDIASUBTYPE_WAVE_DOLBY_AC3) return MpaInputKind::Ac3;
  if (s == MEDIASUBTYPE_DTS || s == MEDIASUBTYPE_WAVE_DTS) return MpaInputKind::Dts;
  if (s == MEDIASUBTYPE_AAC || s == MEDIASUBTYPE_MP4A || s == MEDIASUBTYPE_mp4a) return MpaInputKind::Aac;
  if (s == MEDIASUBTYPE_PS2_PCM) return MpaInputKind::Ps2Pcm;
  if (s == MEDIASUBTYPE_PS2_ADPCM) return MpaInputKind::Ps2Adpcm;
  if (s == MEDIASUBTYPE_Vorbis2) return MpaInputKind::Vorbis;
  return MpaInputKind::Mpa;
}

bool IsAcceptedMpaInput(const GUID& majortype, const GUID& subtype) {
  for (const MpaInputPair& pair : kInputs) {
    if (*pair.majortype == majortype && *pair.subtype == subtype) return true;
  }
  return false;
}

const MpaInputPair* MpaInputPairs(size_t* count) {
  if (count) *count = sizeof(kInputs) / sizeof(kInputs[0]);
  return kInputs;
}
