// Structures, enumerations and flag values of the media-streaming layer.
//
// Format blocks (VIDEOINFOHEADER, WAVEFORMATEX, ...) are copied, stored and
// compared by byte offset, so their layout is that of the platform and is
// pinned with static_asserts. AM_MEDIA_TYPE and the other structures holding
// pointers are never serialised and take the natural 64-bit layout.
#pragma once

#include <cstddef>

#include "platform/com/Unknown.h"
#include "platform/win32/Gdi.h"
#include "platform/win32/Types.h"

struct IBaseFilter;
struct IFilterGraph;
struct IPin;

using REFTIME = double;
using HEVENT = DWORD_PTR;
using HSEMAPHORE = DWORD_PTR;
using OAEVENT = LONG_PTR;
using OAHWND = LONG_PTR;
using OAFilterState = LONG;

// 100-ns units per second; media times are REFERENCE_TIME values.
constexpr REFERENCE_TIME UNITS = 10000000;
constexpr REFERENCE_TIME MILLISECONDS = 10000;

// ---------------------------------------------------------------------------
// Media types

struct AM_MEDIA_TYPE {
  GUID majortype;
  GUID subtype;
  BOOL bFixedSizeSamples;
  BOOL bTemporalCompression;
  ULONG lSampleSize;
  GUID formattype;
  IUnknown* pUnk;
  ULONG cbFormat;
  BYTE* pbFormat;
};
using PAM_MEDIA_TYPE = AM_MEDIA_TYPE*;

enum PIN_DIRECTION { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 };

enum FILTER_STATE { State_Stopped = 0, State_Paused = 1, State_Running = 2 };

constexpr int MAX_PIN_NAME = 128;
constexpr int MAX_FILTER_NAME = 128;

struct PIN_INFO {
  IBaseFilter* pFilter;
  PIN_DIRECTION dir;
  WCHAR achName[MAX_PIN_NAME];
};

struct FILTER_INFO {
  WCHAR achName[MAX_FILTER_NAME];
  IFilterGraph* pGraph;
};

struct ALLOCATOR_PROPERTIES {
  LONG cBuffers;
  LONG cbBuffer;
  LONG cbAlign;
  LONG cbPrefix;
};
static_assert(sizeof(ALLOCATOR_PROPERTIES) == 16);

// ---------------------------------------------------------------------------
// Samples

struct AM_SAMPLE2_PROPERTIES {
  DWORD cbData;
  DWORD dwTypeSpecificFlags;
  DWORD dwSampleFlags;
  LONG lActual;
  REFERENCE_TIME tStart;
  REFERENCE_TIME tStop;
  DWORD dwStreamId;
  AM_MEDIA_TYPE* pMediaType;
  BYTE* pbBuffer;
  LONG cbBuffer;
};

// dwSampleFlags
constexpr DWORD AM_SAMPLE_SPLICEPOINT = 0x01;
constexpr DWORD AM_SAMPLE_PREROLL = 0x02;
constexpr DWORD AM_SAMPLE_DATADISCONTINUITY = 0x04;
constexpr DWORD AM_SAMPLE_TYPECHANGED = 0x08;
constexpr DWORD AM_SAMPLE_TIMEVALID = 0x10;
constexpr DWORD AM_SAMPLE_TIMEDISCONTINUITY = 0x40;
constexpr DWORD AM_SAMPLE_FLUSH_ON_PAUSE = 0x80;
constexpr DWORD AM_SAMPLE_STOPVALID = 0x100;
constexpr DWORD AM_SAMPLE_ENDOFSTREAM = 0x200;

// dwStreamId
constexpr DWORD AM_STREAM_MEDIA = 0;
constexpr DWORD AM_STREAM_CONTROL = 1;

// dwTypeSpecificFlags of video samples
constexpr DWORD AM_VIDEO_FLAG_FIELD_MASK = 0x0003;
constexpr DWORD AM_VIDEO_FLAG_INTERLEAVED_FRAME = 0x0000;
constexpr DWORD AM_VIDEO_FLAG_FIELD1 = 0x0001;
constexpr DWORD AM_VIDEO_FLAG_FIELD2 = 0x0002;
constexpr DWORD AM_VIDEO_FLAG_FIELD1FIRST = 0x0004;
constexpr DWORD AM_VIDEO_FLAG_WEAVE = 0x0008;
constexpr DWORD AM_VIDEO_FLAG_IPB_MASK = 0x0030;
constexpr DWORD AM_VIDEO_FLAG_I_SAMPLE = 0x0000;
constexpr DWORD AM_VIDEO_FLAG_P_SAMPLE = 0x0010;
constexpr DWORD AM_VIDEO_FLAG_B_SAMPLE = 0x0020;
constexpr DWORD AM_VIDEO_FLAG_REPEAT_FIELD = 0x0040;

// IMemAllocator::GetBuffer flags
constexpr DWORD AM_GBF_PREVFRAMESKIPPED = 1;
constexpr DWORD AM_GBF_NOTASYNCPOINT = 2;
constexpr DWORD AM_GBF_NOWAIT = 4;
constexpr DWORD AM_GBF_NODDSURFACELOCK = 8;

// ---------------------------------------------------------------------------
// Quality control

enum QualityMessageType { Famine = 0, Flood = 1 };

struct Quality {
  QualityMessageType Type;
  LONG Proportion;
  REFERENCE_TIME Late;
  REFERENCE_TIME TimeStamp;
};

// ---------------------------------------------------------------------------
// Seeking

enum AM_SEEKING_SEEKING_FLAGS : DWORD {
  AM_SEEKING_NoPositioning = 0x00,
  AM_SEEKING_AbsolutePositioning = 0x01,
  AM_SEEKING_RelativePositioning = 0x02,
  AM_SEEKING_IncrementalPositioning = 0x03,
  AM_SEEKING_PositioningBitsMask = 0x03,
  AM_SEEKING_SeekToKeyFrame = 0x04,
  AM_SEEKING_ReturnTime = 0x08,
  AM_SEEKING_Segment = 0x10,
  AM_SEEKING_NoFlush = 0x20,
};

enum AM_SEEKING_SEEKING_CAPABILITIES : DWORD {
  AM_SEEKING_CanSeekAbsolute = 0x001,
  AM_SEEKING_CanSeekForwards = 0x002,
  AM_SEEKING_CanSeekBackwards = 0x004,
  AM_SEEKING_CanGetCurrentPos = 0x008,
  AM_SEEKING_CanGetStopPos = 0x010,
  AM_SEEKING_CanGetDuration = 0x020,
  AM_SEEKING_CanPlayBackwards = 0x040,
  AM_SEEKING_CanDoSegments = 0x080,
  AM_SEEKING_Source = 0x100,
};

// IAMExtendedSeeking capabilities
constexpr LONG AM_EXSEEK_CANSEEK = 1;
constexpr LONG AM_EXSEEK_CANSCAN = 2;
constexpr LONG AM_EXSEEK_MARKERSEEK = 4;
constexpr LONG AM_EXSEEK_SCANWITHOUTCLOCK = 8;
constexpr LONG AM_EXSEEK_NOSTANDARDREPAINT = 16;
constexpr LONG AM_EXSEEK_BUFFERING = 32;
constexpr LONG AM_EXSEEK_SENDS_VIDEOFRAMEREADY = 64;

// ---------------------------------------------------------------------------
// Filter flags and graph constants

constexpr ULONG AM_FILTER_MISC_FLAGS_IS_RENDERER = 1;
constexpr ULONG AM_FILTER_MISC_FLAGS_IS_SOURCE = 2;

constexpr DWORD AM_RENDEREX_RENDERTOEXISTINGRENDERERS = 1;

constexpr DWORD AM_FILE_OVERWRITE = 1;

constexpr DWORD AMSTREAMSELECTINFO_ENABLED = 1;
constexpr DWORD AMSTREAMSELECTINFO_EXCLUSIVE = 2;
constexpr DWORD AMSTREAMSELECTENABLE_ENABLE = 1;
constexpr DWORD AMSTREAMSELECTENABLE_ENABLEALL = 2;

// IGraphConfig flags
constexpr DWORD AM_GRAPH_CONFIG_RECONNECT_DIRECTCONNECT = 0x1;
constexpr DWORD AM_GRAPH_CONFIG_RECONNECT_CACHE_REMOVED_FILTERS = 0x2;
constexpr DWORD AM_GRAPH_CONFIG_RECONNECT_USE_ONLY_CACHED_FILTERS = 0x4;
constexpr DWORD AM_FILTER_FLAGS_REMOVABLE = 0x1;
constexpr DWORD REMFILTERF_LEAVECONNECTED = 0x1;

// Event notification flags of IMediaEventEx
constexpr LONG AM_MEDIAEVENT_NONOTIFY = 0x01;

// ---------------------------------------------------------------------------
// Filter registration (filter mapper)

constexpr DWORD MERIT_PREFERRED = 0x800000;
constexpr DWORD MERIT_NORMAL = 0x600000;
constexpr DWORD MERIT_UNLIKELY = 0x400000;
constexpr DWORD MERIT_DO_NOT_USE = 0x200000;
constexpr DWORD MERIT_SW_COMPRESSOR = 0x100000;
constexpr DWORD MERIT_HW_COMPRESSOR = 0x100050;

constexpr DWORD REG_PINFLAG_B_ZERO = 0x1;
constexpr DWORD REG_PINFLAG_B_RENDERER = 0x2;
constexpr DWORD REG_PINFLAG_B_MANY = 0x4;
constexpr DWORD REG_PINFLAG_B_OUTPUT = 0x8;

struct REGPINTYPES {
  const CLSID* clsMajorType;
  const CLSID* clsMinorType;
};

struct REGPINMEDIUM {
  CLSID clsMedium;
  DWORD dw1;
  DWORD dw2;
};

struct REGFILTERPINS {
  LPWSTR strName;
  BOOL bRendered;
  BOOL bOutput;
  BOOL bZero;
  BOOL bMany;
  const CLSID* clsConnectsToFilter;
  const WCHAR* strConnectsToPin;
  UINT nMediaTypes;
  const REGPINTYPES* lpMediaType;
};

struct REGFILTERPINS2 {
  DWORD dwFlags;
  UINT cInstances;
  UINT nMediaTypes;
  const REGPINTYPES* lpMediaType;
  UINT nMediums;
  const REGPINMEDIUM* lpMedium;
  const CLSID* clsPinCategory;
};

struct REGFILTER2 {
  DWORD dwVersion;
  DWORD dwMerit;
  union {
    struct {
      ULONG cPins;
      const REGFILTERPINS* rgPins;
    };
    struct {
      ULONG cPins2;
      const REGFILTERPINS2* rgPins2;
    };
  };
};

// IFilterMapper2::EnumMatchingFilters and ICreateDevEnum flags
constexpr DWORD CDEF_DEVMON_FILTER = 0x2;

// ---------------------------------------------------------------------------
// Video format blocks

constexpr DWORD AMINTERLACE_IsInterlaced = 0x00000001;
constexpr DWORD AMINTERLACE_1FieldPerSample = 0x00000002;
constexpr DWORD AMINTERLACE_Field1First = 0x00000004;
constexpr DWORD AMINTERLACE_FieldPatternMask = 0x00000030;
constexpr DWORD AMINTERLACE_FieldPatField1Only = 0x00000000;
constexpr DWORD AMINTERLACE_FieldPatField2Only = 0x00000010;
constexpr DWORD AMINTERLACE_FieldPatBothRegular = 0x00000020;
constexpr DWORD AMINTERLACE_FieldPatBothIrregular = 0x00000030;
constexpr DWORD AMINTERLACE_DisplayModeMask = 0x000000C0;
constexpr DWORD AMINTERLACE_DisplayModeBobOnly = 0x00000000;
constexpr DWORD AMINTERLACE_DisplayModeWeaveOnly = 0x00000040;
constexpr DWORD AMINTERLACE_DisplayModeBobOrWeave = 0x00000080;

constexpr DWORD AMCONTROL_USED = 0x00000001;
constexpr DWORD AMCONTROL_PAD_TO_4x3 = 0x00000002;
constexpr DWORD AMCONTROL_PAD_TO_16x9 = 0x00000004;

struct VIDEOINFOHEADER {
  RECT rcSource;
  RECT rcTarget;
  DWORD dwBitRate;
  DWORD dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  BITMAPINFOHEADER bmiHeader;
};
static_assert(offsetof(VIDEOINFOHEADER, AvgTimePerFrame) == 40);
static_assert(offsetof(VIDEOINFOHEADER, bmiHeader) == 48);
static_assert(sizeof(VIDEOINFOHEADER) == 88);

struct VIDEOINFOHEADER2 {
  RECT rcSource;
  RECT rcTarget;
  DWORD dwBitRate;
  DWORD dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  DWORD dwInterlaceFlags;
  DWORD dwCopyProtectFlags;
  DWORD dwPictAspectRatioX;
  DWORD dwPictAspectRatioY;
  union {
    DWORD dwControlFlags;
    DWORD dwReserved1;
  };
  DWORD dwReserved2;
  BITMAPINFOHEADER bmiHeader;
};
static_assert(offsetof(VIDEOINFOHEADER2, dwInterlaceFlags) == 48);
static_assert(offsetof(VIDEOINFOHEADER2, dwControlFlags) == 64);
static_assert(offsetof(VIDEOINFOHEADER2, bmiHeader) == 72);
static_assert(sizeof(VIDEOINFOHEADER2) == 112);

struct MPEG1VIDEOINFO {
  VIDEOINFOHEADER hdr;
  DWORD dwStartTimeCode;
  DWORD cbSequenceHeader;
  BYTE bSequenceHeader[1];
};
static_assert(offsetof(MPEG1VIDEOINFO, bSequenceHeader) == 96);

struct MPEG2VIDEOINFO {
  VIDEOINFOHEADER2 hdr;
  DWORD dwStartTimeCode;
  DWORD cbSequenceHeader;
  DWORD dwProfile;
  DWORD dwLevel;
  DWORD dwFlags;
  DWORD dwSequenceHeader[1];
};
static_assert(offsetof(MPEG2VIDEOINFO, dwStartTimeCode) == 112);
static_assert(offsetof(MPEG2VIDEOINFO, dwSequenceHeader) == 132);
static_assert(sizeof(MPEG2VIDEOINFO) == 136);

// Size of a format block including its sequence header.
#define SIZE_MPEG1VIDEOINFO(p) (offsetof(MPEG1VIDEOINFO, bSequenceHeader) + (p)->cbSequenceHeader)
#define SIZE_MPEG2VIDEOINFO(p) (offsetof(MPEG2VIDEOINFO, dwSequenceHeader) + (p)->cbSequenceHeader)
#define MPEG1_SEQUENCE_INFO(p) ((const BYTE*)(p)->bSequenceHeader)
#define MPEG2_SEQUENCE_INFO(p) ((const BYTE*)(p)->dwSequenceHeader)

enum AM_MPEG2Profile {
  AM_MPEG2Profile_Simple = 1,
  AM_MPEG2Profile_Main = 2,
  AM_MPEG2Profile_SNRScalable = 3,
  AM_MPEG2Profile_SpatiallyScalable = 4,
  AM_MPEG2Profile_High = 5,
};

enum AM_MPEG2Level {
  AM_MPEG2Level_Low = 1,
  AM_MPEG2Level_Main = 2,
  AM_MPEG2Level_High1440 = 3,
  AM_MPEG2Level_High = 4,
};

// MPEG2VIDEOINFO::dwFlags
constexpr DWORD AMMPEG2_DoPanScan = 0x00000001;
constexpr DWORD AMMPEG2_DVDLine21Field1 = 0x00000002;
constexpr DWORD AMMPEG2_DVDLine21Field2 = 0x00000004;
constexpr DWORD AMMPEG2_SourceIsLetterboxed = 0x00000008;
constexpr DWORD AMMPEG2_FilmCameraMode = 0x00000010;
constexpr DWORD AMMPEG2_LetterboxAnalogOut = 0x00000020;
constexpr DWORD AMMPEG2_DSS_UserData = 0x00000040;
constexpr DWORD AMMPEG2_DVB_UserData = 0x00000080;
constexpr DWORD AMMPEG2_27MhzTimebase = 0x00000100;
constexpr DWORD AMMPEG2_WidescreenAnalogOut = 0x00000200;

struct DVINFO {
  DWORD dwDVAAuxSrc;
  DWORD dwDVAAuxCtl;
  DWORD dwDVAAuxSrc1;
  DWORD dwDVAAuxCtl1;
  DWORD dwDVVAuxSrc;
  DWORD dwDVVAuxCtl;
  DWORD dwDVReserved[2];
};
static_assert(sizeof(DVINFO) == 32);

// ---------------------------------------------------------------------------
// Audio format blocks (byte-packed, as in wave files)

constexpr WORD WAVE_FORMAT_UNKNOWN = 0x0000;
constexpr WORD WAVE_FORMAT_PCM = 0x0001;
constexpr WORD WAVE_FORMAT_ADPCM = 0x0002;
constexpr WORD WAVE_FORMAT_IEEE_FLOAT = 0x0003;
constexpr WORD WAVE_FORMAT_DRM = 0x0009;
constexpr WORD WAVE_FORMAT_MPEG = 0x0050;
constexpr WORD WAVE_FORMAT_MPEGLAYER3 = 0x0055;
constexpr WORD WAVE_FORMAT_DOLBY_AC3_SPDIF = 0x0092;
constexpr WORD WAVE_FORMAT_AAC = 0x00FF;
constexpr WORD WAVE_FORMAT_DOLBY_AC3 = 0x2000;
constexpr WORD WAVE_FORMAT_DVD_DTS = 0x2001;
constexpr WORD WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

#pragma pack(push, 1)
struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
};

struct WAVEFORMATEXTENSIBLE {
  WAVEFORMATEX Format;
  union {
    WORD wValidBitsPerSample;
    WORD wSamplesPerBlock;
    WORD wReserved;
  } Samples;
  DWORD dwChannelMask;
  GUID SubFormat;
};

struct MPEG1WAVEFORMAT {
  WAVEFORMATEX wfx;
  WORD fwHeadLayer;
  DWORD dwHeadBitrate;
  WORD fwHeadMode;
  WORD fwHeadModeExt;
  WORD wHeadEmphasis;
  WORD fwHeadFlags;
  DWORD dwPTSLow;
  DWORD dwPTSHigh;
};

struct MPEGLAYER3WAVEFORMAT {
  WAVEFORMATEX wfx;
  WORD wID;
  DWORD fdwFlags;
  WORD nBlockSize;
  WORD nFramesPerBlock;
  WORD nCodecDelay;
};

struct DOLBYAC3WAVEFORMAT {
  WAVEFORMATEX wfx;
  BYTE bBigEndian;
  BYTE bsid;
  BYTE lfeon;
  BYTE copyrightb;
  BYTE nAuxBitsCode;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(offsetof(WAVEFORMATEX, nSamplesPerSec) == 4);
static_assert(offsetof(WAVEFORMATEX, cbSize) == 16);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);
static_assert(offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask) == 20);
static_assert(offsetof(WAVEFORMATEXTENSIBLE, SubFormat) == 24);
static_assert(sizeof(MPEG1WAVEFORMAT) == 40);
static_assert(sizeof(MPEGLAYER3WAVEFORMAT) == 30);
static_assert(sizeof(DOLBYAC3WAVEFORMAT) == 23);

using PWAVEFORMATEX = WAVEFORMATEX*;
using LPWAVEFORMATEX = WAVEFORMATEX*;

// MPEG1WAVEFORMAT fields
constexpr WORD ACM_MPEG_LAYER1 = 0x0001;
constexpr WORD ACM_MPEG_LAYER2 = 0x0002;
constexpr WORD ACM_MPEG_LAYER3 = 0x0004;
constexpr WORD ACM_MPEG_STEREO = 0x0001;
constexpr WORD ACM_MPEG_JOINTSTEREO = 0x0002;
constexpr WORD ACM_MPEG_DUALCHANNEL = 0x0004;
constexpr WORD ACM_MPEG_SINGLECHANNEL = 0x0008;
constexpr WORD ACM_MPEG_PRIVATEBIT = 0x0001;
constexpr WORD ACM_MPEG_COPYRIGHT = 0x0002;
constexpr WORD ACM_MPEG_ORIGINALHOME = 0x0004;
constexpr WORD ACM_MPEG_PROTECTIONBIT = 0x0008;
constexpr WORD ACM_MPEG_ID_MPEG1 = 0x0010;

constexpr WORD MPEGLAYER3_ID_UNKNOWN = 0;
constexpr WORD MPEGLAYER3_ID_MPEG = 1;
constexpr WORD MPEGLAYER3_ID_CONSTANTFRAMESIZE = 2;
constexpr DWORD MPEGLAYER3_FLAG_PADDING_ISO = 0;
constexpr DWORD MPEGLAYER3_FLAG_PADDING_ON = 1;
constexpr DWORD MPEGLAYER3_FLAG_PADDING_OFF = 2;

// Speaker positions of WAVEFORMATEXTENSIBLE::dwChannelMask
constexpr DWORD SPEAKER_FRONT_LEFT = 0x1;
constexpr DWORD SPEAKER_FRONT_RIGHT = 0x2;
constexpr DWORD SPEAKER_FRONT_CENTER = 0x4;
constexpr DWORD SPEAKER_LOW_FREQUENCY = 0x8;
constexpr DWORD SPEAKER_BACK_LEFT = 0x10;
constexpr DWORD SPEAKER_BACK_RIGHT = 0x20;
constexpr DWORD SPEAKER_FRONT_LEFT_OF_CENTER = 0x40;
constexpr DWORD SPEAKER_FRONT_RIGHT_OF_CENTER = 0x80;
constexpr DWORD SPEAKER_BACK_CENTER = 0x100;
constexpr DWORD SPEAKER_SIDE_LEFT = 0x200;
constexpr DWORD SPEAKER_SIDE_RIGHT = 0x400;
constexpr DWORD SPEAKER_TOP_CENTER = 0x800;

// ---------------------------------------------------------------------------
// Property sets (IKsPropertySet)

constexpr DWORD KSPROPERTY_SUPPORT_GET = 1;
constexpr DWORD KSPROPERTY_SUPPORT_SET = 2;

// Rate-change property set
enum AM_PROPERTY_TS_RATE_CHANGE {
  AM_RATE_SimpleRateChange = 1,
  AM_RATE_ExactRateChange = 2,
  AM_RATE_MaxFullDataRate = 3,
  AM_RATE_Step = 4,
  AM_RATE_UseRateVersion = 5,
  AM_RATE_QueryFullFrameRate = 6,
  AM_RATE_QueryLastRateSegPTS = 7,
  AM_RATE_CorrectTS = 8,
};

struct AM_SimpleRateChange {
  REFERENCE_TIME StartTime;
  LONG Rate;
};

struct AM_QueryRate {
  LONG lMaxForwardFullFrame;
  LONG lMaxReverseFullFrame;
};

// DVD sub-picture property set
enum AM_PROPERTY_DVDSUBPIC {
  AM_PROPERTY_DVDSUBPIC_PALETTE = 0,
  AM_PROPERTY_DVDSUBPIC_HLI = 1,
  AM_PROPERTY_DVDSUBPIC_COMPOSIT_ON = 2,
};

struct AM_DVD_YUV {
  BYTE Reserved;
  BYTE Y;
  BYTE U;
  BYTE V;
};

struct AM_PROPERTY_SPPAL {
  AM_DVD_YUV sppal[16];
};

struct AM_COLCON {
  BYTE emph1col : 4;
  BYTE emph2col : 4;
  BYTE backcol : 4;
  BYTE patcol : 4;
  BYTE emph1con : 4;
  BYTE emph2con : 4;
  BYTE backcon : 4;
  BYTE patcon : 4;
};

struct AM_PROPERTY_SPHLI {
  WORD HLISS;
  WORD Reserved;
  ULONG StartPTM;
  ULONG EndPTM;
  WORD StartX;
  WORD StartY;
  WORD StopX;
  WORD StopY;
  AM_COLCON ColCon;
};
static_assert(sizeof(AM_COLCON) == 4);
static_assert(sizeof(AM_PROPERTY_SPHLI) == 24);

using AM_PROPERTY_COMPOSIT_ON = BOOL;

// Aspect-ratio modes of mixer and renderer pins
enum AM_ASPECT_RATIO_MODE { AM_ARMODE_STRETCHED = 0, AM_ARMODE_LETTER_BOX, AM_ARMODE_CROP, AM_ARMODE_STRETCHED_AS_PRIMARY };
