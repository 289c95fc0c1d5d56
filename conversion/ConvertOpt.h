// The settings record of one conversion job, and the name tables that turn
// the pages' codec, profile and frame-rate choices into encoder names.
#pragma once

#include <string>
#include <vector>

#include "platform/win32/Types.h"

// Conversion type of a job (CConvertOpt::m_nType). The values are stored in
// job lists and compared as plain integers, so they are fixed.
enum ConvertType : int {
  CONVERT_AVI = 0,
  CONVERT_WMV = 1,                // WMV/ASF through the Windows Media writer
  CONVERT_MPEG = 2,
  CONVERT_DISC = 3,               // VCD/SVCD/DVD
  CONVERT_PALNTSC = 4,            // PAL/NTSC change of an MPEG file
  CONVERT_3GP = 5,
  CONVERT_PSP = 6,
  CONVERT_IPOD = 7,
  CONVERT_MP4 = 8,
  CONVERT_FLV = 9,                // FLV or SWF, chosen by m_nProfile
  CONVERT_VIDEO_TO_PICTURES = 10,
  CONVERT_PICTURES_TO_VIDEO = 11,
  CONVERT_TYPE_COUNT = 12
};

// MP4-family profile codes (m_nProfile); FLV jobs use 6 for an FLV target.
enum ConvertProfile : int {
  PROFILE_3GP = 0,
  PROFILE_3G2 = 1,
  PROFILE_PSP = 2,
  PROFILE_IPOD = 3,
  PROFILE_MP4 = 4,
  PROFILE_MOV = 5,
  PROFILE_FLV = 6
};

// Target classes of GetContainerFromExtension. 3 is unused (never returned).
enum ContainerClass : int {
  CONTAINER_UNKNOWN = 0,
  CONTAINER_AVI = 1,
  CONTAINER_MPEG = 2,
  CONTAINER_ASF = 4,
  CONTAINER_3GP = 5,
  CONTAINER_MP4 = 6,
  CONTAINER_FLV = 7,
  CONTAINER_MOV = 8,
  CONTAINER_RM = 9
};

class CConvertOpt {
public:
  CConvertOpt();
  virtual ~CConvertOpt();

  CConvertOpt(const CConvertOpt&) = default;
  CConvertOpt& operator=(const CConvertOpt&) = default;

  // Stores the type and lays that type's defaults over the record; any
  // field the type does not name keeps its value.
  void SetType(int type);

  // Takes the target settings of a batch template; the source, its probe
  // results, the target path, the picture list and the PSP numbering stay.
  void CopySettings(const CConvertOpt& other);

  // Encoder codec names of AVI and FLV jobs (by m_nType).
  std::string GetVideoCodecName(int index) const;
  std::string GetAudioCodecName(int index) const;

  // Encoder codec names and frame rate of the MP4 family (by profile).
  static std::string GetProfileVideoCodecName(int profile, int index);
  static std::string GetProfileAudioCodecName(int profile, int index);
  static void GetProfileFrameRate(int profile, int index, int* num, int* den);

  // Class of a target extension (without the point, any letter case).
  static int GetContainerFromExtension(const std::string& extension);

  int m_nType;
  int m_nSourceFormat;
  std::string m_strSource;
  std::string m_strTarget;
  int m_nWidth;
  int m_nHeight;
  int m_nSourceWidth;
  int m_nSourceHeight;
  int m_nMpegKind;
  int m_nMpegRateIndex;
  int m_nMpegRateNum;
  int m_nMpegRateDen;
  int m_nTvStandard;
  int m_nDiscSize;
  WORD m_nChannels;
  int m_nSampleRate;
  int m_nAudioBitrate;
  std::vector<std::string> m_astrPictures;
  float m_fPictureInterval;
  std::string m_strAudioFile;
  std::string m_strPictureFolder;
  // The user chose to replace files of the picture names in the folder.
  int m_bReplacePictures = 0;
  // The user chose to replace the file that has the target's name (asked
  // when the job was added, or at Start when the file came later).
  int m_bReplaceTarget = 0;
  // The user named the target: a new source keeps it (the proposed name
  // follows the source).
  int m_bTargetNamed = 0;
  double m_dSourceFrameRate;
  double m_dFrameRate;
  int m_nWmProfile;
  std::string m_strSourceInfo;
  std::string m_strSourceDescription;
  int m_bNoSplit;
  int m_nSplitIndex;
  float m_fDuration;
  int m_nPreset;
  int m_nVideoBitrate;
  int m_nFrameRateIndex;
  int m_nProfile;
  int m_nVideoCodec;
  int m_nAudioCodec;
  int m_nPspFileNumber;
  float m_fThumbTime;
  bool m_bResize;
};
