#include "conversion/ConvertOpt.h"

#include <cctype>

CConvertOpt::CConvertOpt()
    : m_nType(CONVERT_MPEG),
      // Source format and preset are written by the pages before use; they
      // start at 0 so that a copy of a fresh record never reads garbage.
      m_nSourceFormat(0),
      m_nWidth(0),
      m_nHeight(0),
      m_nSourceWidth(0),
      m_nSourceHeight(0),
      m_nMpegKind(2),
      m_nMpegRateIndex(3),
      m_nMpegRateNum(30000),
      m_nMpegRateDen(1001),
      m_nTvStandard(0),
      m_nDiscSize(0),
      m_nChannels(2),
      m_nSampleRate(44100),
      m_nAudioBitrate(192),
      m_fPictureInterval(3.0f),
      m_dSourceFrameRate(25.0),
      m_dFrameRate(25.0),
      m_nWmProfile(-1),
      m_bNoSplit(0),
      m_nSplitIndex(0),
      m_fDuration(6000.0f),
      m_nPreset(0),
      m_nVideoBitrate(192),
      m_nFrameRateIndex(3),
      m_nProfile(PROFILE_3GP),
      m_nVideoCodec(0),
      m_nAudioCodec(0),
      m_nPspFileNumber(1),
      m_fThumbTime(1.0f),
      m_bResize(true) {}

CConvertOpt::~CConvertOpt() = default;

void CConvertOpt::SetType(int type) {
  m_nType = type;
  switch (type) {
  case CONVERT_AVI:
    m_nVideoCodec = 0;
    m_nAudioCodec = 1;
    m_nSampleRate = 44100;
    m_nAudioBitrate = 128;
    m_nVideoBitrate = 384;
    break;
  case CONVERT_MPEG:
    m_nMpegKind = 0;
    break;
  case CONVERT_DISC:
    m_nMpegKind = 2;
    break;
  case CONVERT_3GP:
    m_nChannels = 2;
    m_nProfile = PROFILE_3GP;
    m_nPreset = 9;
    m_nAudioBitrate = 64;
    break;
  case CONVERT_PSP:
    m_nChannels = 2;
    m_nProfile = PROFILE_PSP;
    m_nPreset = 0;
    m_nAudioBitrate = 64;
    break;
  case CONVERT_IPOD:
    m_nChannels = 2;
    m_nProfile = PROFILE_IPOD;
    m_nPreset = 2;
    m_nAudioBitrate = 64;
    break;
  case CONVERT_MP4:
    m_nChannels = 2;
    m_nProfile = PROFILE_MP4;
    m_nPreset = 0;
    m_nAudioBitrate = 128;
    m_nVideoBitrate = 512;
    m_nFrameRateIndex = 0;
    break;
  case CONVERT_FLV:
    m_nChannels = 2;
    m_dFrameRate = 15.0;
    m_nProfile = PROFILE_FLV;
    m_nAudioBitrate = 80;
    m_nVideoBitrate = 256;
    break;
  case CONVERT_VIDEO_TO_PICTURES:
    m_fPictureInterval = 1000.0f;
    break;
  case CONVERT_PICTURES_TO_VIDEO:
    m_fPictureInterval = 0.5f;
    break;
  default:
    // WMV/ASF and PAL/NTSC keep every setting; unknown codes are only stored.
    break;
  }
}

void CConvertOpt::CopySettings(const CConvertOpt& other) {
  m_nType = other.m_nType;
  m_nWidth = other.m_nWidth;
  m_nHeight = other.m_nHeight;
  m_nMpegKind = other.m_nMpegKind;
  m_nMpegRateIndex = other.m_nMpegRateIndex;
  m_nMpegRateNum = other.m_nMpegRateNum;
  m_nMpegRateDen = other.m_nMpegRateDen;
  m_nTvStandard = other.m_nTvStandard;
  m_nDiscSize = other.m_nDiscSize;
  m_nChannels = other.m_nChannels;
  m_nSampleRate = other.m_nSampleRate;
  m_nAudioBitrate = other.m_nAudioBitrate;
  m_fPictureInterval = other.m_fPictureInterval;
  m_strPictureFolder = other.m_strPictureFolder;
  m_bReplacePictures = other.m_bReplacePictures;
  m_dSourceFrameRate = other.m_dSourceFrameRate;
  m_dFrameRate = other.m_dFrameRate;
  m_nWmProfile = other.m_nWmProfile;
  m_bNoSplit = other.m_bNoSplit;
  m_nSplitIndex = other.m_nSplitIndex;
  m_nPreset = other.m_nPreset;
  m_nVideoBitrate = other.m_nVideoBitrate;
  m_nFrameRateIndex = other.m_nFrameRateIndex;
  m_nProfile = other.m_nProfile;
  m_nVideoCodec = other.m_nVideoCodec;
  m_nAudioCodec = other.m_nAudioCodec;
  m_fThumbTime = other.m_fThumbTime;
  m_bResize = other.m_bResize;
}

std::string CConvertOpt::GetVideoCodecName(int index) const {
  if (m_nType == CONVERT_FLV)
    return "flv";
  if (m_nType == CONVERT_AVI) {
    switch (index) {
    case 0: return "xvid";
    case 1: return "divx";
    case 2: return "msmpeg4v2";
    case 3: return "h264";
    default: break;
    }
  }
  return "mpeg4";
}

std::string CConvertOpt::GetAudioCodecName(int index) const {
  if (m_nType == CONVERT_FLV)
    return "mp3";
  switch (index) {
  case 0: return "pcm_s16le";
  case 1: return "mp3";
  case 2: return "adpcm_ms";
  case 3: return "aac";
  default: return "mp3";
  }
}

std::string CConvertOpt::GetProfileVideoCodecName(int profile, int index) {
  switch (index) {
  case 1:
    return (profile == PROFILE_3GP || profile == PROFILE_3G2) ? "h263" : "h264";
  case 2: return "h264";
  case 3: return "h263p";
  default: return "mpeg4";
  }
}

std::string CConvertOpt::GetProfileAudioCodecName(int profile, int index) {
  if (profile == PROFILE_3GP || profile == PROFILE_3G2) {
    switch (index) {
    case 0: return "amr_nb";
    case 1: return "amr_wb";
    default: return "aac";
    }
  }
  return index == 1 ? "mp3" : "aac";
}

void CConvertOpt::GetProfileFrameRate(int profile, int index, int* num, int* den) {
  int n = 15000;
  int d = 1001;
  switch (index) {
  case 0:
    if (profile == PROFILE_PSP) { n = 30000; d = 1001; } else { n = 30; d = 1; }
    break;
  case 1:
    if (profile == PROFILE_PSP) { n = 15000; d = 1001; } else { n = 25; d = 1; }
    break;
  case 2: n = 24; d = 1; break;
  case 4: n = 12; d = 1; break;
  default: break;  // index 3 and anything unknown: 15000/1001
  }
  if (num)
    *num = n;
  if (den)
    *den = d;
}

int CConvertOpt::GetContainerFromExtension(const std::string& extension) {
  std::string ext;
  ext.reserve(extension.size());
  for (unsigned char c : extension)
    ext.push_back(static_cast<char>(std::tolower(c)));

  // Same order as the target pages have always tested the names.
  struct Entry { const char* ext; int container; };
  static const Entry kTable[] = {
    {"avi", CONTAINER_AVI},  {"mpg", CONTAINER_MPEG}, {"mpeg", CONTAINER_MPEG},
    {"asf", CONTAINER_ASF},  {"wmv", CONTAINER_ASF},  {"mov", CONTAINER_MOV},
    {"rm", CONTAINER_RM},    {"rmvb", CONTAINER_RM},  {"3gp", CONTAINER_3GP},
    {"3g2", CONTAINER_3GP},  {"mp4", CONTAINER_MP4},  {"flv", CONTAINER_FLV},
    {"swf", CONTAINER_FLV},
  };
  for (const Entry& e : kTable)
    if (ext == e.ext)
      return e.container;
  return CONTAINER_UNKNOWN;
}
