// What the machine's codec lists tell of the installed codecs: Video for
// Windows' ICInfo for the video decoder's FourCCs and the audio compression
// manager's format tag details for the sound formats that are decoded. The
// lists name exactly what the decoders here take, so a format the program
// converts is never shown as unknown.
#pragma once

#include "platform/win32/Types.h"

constexpr DWORD ICTYPE_VIDEO = 0x63646976;  // 'vidc'

struct ICINFO {
  DWORD dwSize;
  DWORD fccType;
  DWORD fccHandler;
  DWORD dwFlags;
  DWORD dwVersion;
  DWORD dwVersionICM;
  WCHAR szName[16];
  WCHAR szDescription[128];
  WCHAR szDriver[128];
};

// The codec of `fccHandler` (a FourCC, in any letter case), or, for a
// handler below 256, the codec of that index. FALSE when there is none.
BOOL ICInfo(DWORD fccType, DWORD fccHandler, ICINFO* info);

using HACMDRIVER = void*;
using MMRESULT = UINT;
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT ACMERR_NOTPOSSIBLE = 512;
constexpr DWORD ACM_FORMATTAGDETAILSF_INDEX = 0;
constexpr DWORD ACM_FORMATTAGDETAILSF_FORMATTAG = 1;
constexpr int ACMFORMATTAGDETAILS_FORMATTAG_CHARS = 48;

struct ACMFORMATTAGDETAILSA {
  DWORD cbStruct;
  DWORD dwFormatTagIndex;
  // A wave format tag, or the FourCC of a sound format that has none (the
  // QuickTime sample formats).
  DWORD dwFormatTag;
  DWORD cbFormatSize;
  DWORD fdwSupport;
  DWORD cStandardFormats;
  char szFormatTag[ACMFORMATTAGDETAILS_FORMATTAG_CHARS];
};

// The name of the format of `dwFormatTag` (ACM_FORMATTAGDETAILSF_FORMATTAG)
// or of index `dwFormatTagIndex` (ACM_FORMATTAGDETAILSF_INDEX); the driver
// is ignored. ACMERR_NOTPOSSIBLE when no codec takes it.
MMRESULT acmFormatTagDetailsA(HACMDRIVER driver, ACMFORMATTAGDETAILSA* details, DWORD flags);
