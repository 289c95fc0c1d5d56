// Job settings record: defaults, per-type defaults, template copy and the
// codec, frame-rate and container name tables.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "conversion/ConvertOpt.h"

namespace {

// A record in which every field holds a value that no default uses, so
// that any field a call touches by mistake shows up.
CConvertOpt MarkedRecord() {
  CConvertOpt o;
  o.m_nType = 77;
  o.m_nSourceFormat = 0x40;
  o.m_strSource = "/in/source.avi";
  o.m_strTarget = "/out/target.mp4";
  o.m_nWidth = 640;
  o.m_nHeight = 480;
  o.m_nSourceWidth = 720;
  o.m_nSourceHeight = 576;
  o.m_nMpegKind = 9;
  o.m_nMpegRateIndex = 8;
  o.m_nMpegRateNum = 24000;
  o.m_nMpegRateDen = 7;
  o.m_nTvStandard = 5;
  o.m_nDiscSize = 6;
  o.m_nChannels = 6;
  o.m_nSampleRate = 22050;
  o.m_nAudioBitrate = 333;
  o.m_astrPictures = {"a.jpg", "b.png"};
  o.m_fPictureInterval = 7.25f;
  o.m_strAudioFile = "/in/music.mp3";
  o.m_strPictureFolder = "/out/pics/";
  o.m_dSourceFrameRate = 23.976;
  o.m_dFrameRate = 12.5;
  o.m_nWmProfile = 4;
  o.m_bNoSplit = 1;
  o.m_nSplitIndex = 5;
  o.m_fDuration = 123.5f;
  o.m_nPreset = 42;
  o.m_nVideoBitrate = 999;
  o.m_nFrameRateIndex = 17;
  o.m_nProfile = 13;
  o.m_nVideoCodec = 21;
  o.m_nAudioCodec = 22;
  o.m_nPspFileNumber = 4321;
  o.m_fThumbTime = 3.5f;
  o.m_bResize = false;
  return o;
}

// Field-by-field comparison with names, so a failure says which field.
void ExpectSameRecord(const CConvertOpt& want, const CConvertOpt& got) {
#define PM_FIELD(f) EXPECT_EQ(want.f, got.f) << #f
  PM_FIELD(m_nType); PM_FIELD(m_nSourceFormat); PM_FIELD(m_strSource);
  PM_FIELD(m_strTarget); PM_FIELD(m_nWidth); PM_FIELD(m_nHeight);
  PM_FIELD(m_nSourceWidth); PM_FIELD(m_nSourceHeight); PM_FIELD(m_nMpegKind);
  PM_FIELD(m_nMpegRateIndex); PM_FIELD(m_nMpegRateNum); PM_FIELD(m_nMpegRateDen);
  PM_FIELD(m_nTvStandard); PM_FIELD(m_nDiscSize); PM_FIELD(m_nChannels);
  PM_FIELD(m_nSampleRate); PM_FIELD(m_nAudioBitrate); PM_FIELD(m_astrPictures);
  PM_FIELD(m_fPictureInterval); PM_FIELD(m_strAudioFile);
  PM_FIELD(m_strPictureFolder); PM_FIELD(m_dSourceFrameRate);
  PM_FIELD(m_dFrameRate); PM_FIELD(m_nWmProfile); PM_FIELD(m_bNoSplit);
  PM_FIELD(m_nSplitIndex); PM_FIELD(m_fDuration); PM_FIELD(m_nPreset);
  PM_FIELD(m_nVideoBitrate); PM_FIELD(m_nFrameRateIndex); PM_FIELD(m_nProfile);
  PM_FIELD(m_nVideoCodec); PM_FIELD(m_nAudioCodec); PM_FIELD(m_nPspFileNumber);
  PM_FIELD(m_fThumbTime); PM_FIELD(m_bResize);
#undef PM_FIELD
}

} // namespace

TEST(ConvertOptDefaults, ConstructorSetsDocumentedValues) {
  const CConvertOpt o;
  EXPECT_EQ(o.m_nType, 2);
  EXPECT_TRUE(o.m_strSource.empty());
  EXPECT_TRUE(o.m_strTarget.empty());
  EXPECT_EQ(o.m_nWidth, 0);
  EXPECT_EQ(o.m_nHeight, 0);
  EXPECT_EQ(o.m_nSourceWidth, 0);
  EXPECT_EQ(o.m_nSourceHeight, 0);
  EXPECT_EQ(o.m_nMpegKind, 2);
  EXPECT_EQ(o.m_nMpegRateIndex, 3);
  EXPECT_EQ(o.m_nMpegRateNum, 30000);
  EXPECT_EQ(o.m_nMpegRateDen, 1001);
  EXPECT_EQ(o.m_nTvStandard, 0);
  EXPECT_EQ(o.m_nDiscSize, 0);
  EXPECT_EQ(o.m_nChannels, 2);
  EXPECT_EQ(o.m_nSampleRate, 44100);
  EXPECT_EQ(o.m_nAudioBitrate, 192);
  EXPECT_TRUE(o.m_astrPictures.empty());
  EXPECT_FLOAT_EQ(o.m_fPictureInterval, 3.0f);
  EXPECT_TRUE(o.m_strAudioFile.empty());
  EXPECT_TRUE(o.m_strPictureFolder.empty());
  EXPECT_DOUBLE_EQ(o.m_dSourceFrameRate, 25.0);
  EXPECT_DOUBLE_EQ(o.m_dFrameRate, 25.0);
  EXPECT_EQ(o.m_nWmProfile, -1);
  EXPECT_TRUE(o.m_strSourceInfo.empty());
  EXPECT_TRUE(o.m_strSourceDescription.empty());
  EXPECT_EQ(o.m_bNoSplit, 0);
  EXPECT_EQ(o.m_nSplitIndex, 0);
  EXPECT_FLOAT_EQ(o.m_fDuration, 6000.0f);
  EXPECT_EQ(o.m_nVideoBitrate, 192);
  EXPECT_EQ(o.m_nFrameRateIndex, 3);
  EXPECT_EQ(o.m_nProfile, 0);
  EXPECT_EQ(o.m_nVideoCodec, 0);
  EXPECT_EQ(o.m_nAudioCodec, 0);
  EXPECT_EQ(o.m_nPspFileNumber, 1);
  EXPECT_FLOAT_EQ(o.m_fThumbTime, 1.0f);
  EXPECT_TRUE(o.m_bResize);
  // Written by the pages later, but a fresh record must still be defined.
  EXPECT_EQ(o.m_nSourceFormat, 0);
  EXPECT_EQ(o.m_nPreset, 0);
}

// Each type's row: the fields SetType must write, laid over a marked record;
// every other field must keep its marked value.
TEST(ConvertOptSetType, EachTypeChangesOnlyItsOwnRow) {
  using Row = std::function<void(CConvertOpt&)>;
  const std::vector<std::pair<int, Row>> rows = {
    {0, [](CConvertOpt& o) { o.m_nVideoCodec = 0; o.m_nAudioCodec = 1;
          o.m_nSampleRate = 44100; o.m_nAudioBitrate = 128; o.m_nVideoBitrate = 384; }},
    {1, [](CConvertOpt&) {}},
    {2, [](CConvertOpt& o) { o.m_nMpegKind = 0; }},
    {3, [](CConvertOpt& o) { o.m_nMpegKind = 2; }},
    {4, [](CConvertOpt&) {}},
    {5, [](CConvertOpt& o) { o.m_nChannels = 2; o.m_nProfile = 0; o.m_nPreset = 9;
          o.m_nAudioBitrate = 64; }},
    {6, [](CConvertOpt& o) { o.m_nChannels = 2; o.m_nProfile = 2; o.m_nPreset = 0;
          o.m_nAudioBitrate = 64; }},
    {7, [](CConvertOpt& o) { o.m_nChannels = 2; o.m_nProfile = 3; o.m_nPreset = 2;
          o.m_nAudioBitrate = 64; }},
    {8, [](CConvertOpt& o) { o.m_nChannels = 2; o.m_nProfile = 4; o.m_nPreset = 0;
          o.m_nAudioBitrate = 128; o.m_nVideoBitrate = 512; o.m_nFrameRateIndex = 0; }},
    {9, [](CConvertOpt& o) { o.m_nChannels = 2; o.m_dFrameRate = 15.0; o.m_nProfile = 6;
          o.m_nAudioBitrate = 80; o.m_nVideoBitrate = 256; }},
    {10, [](CConvertOpt& o) { o.m_fPictureInterval = 1000.0f; }},
    {11, [](CConvertOpt& o) { o.m_fPictureInterval = 0.5f; }},
    // Unknown codes are stored and nothing else changes.
    {12, [](CConvertOpt&) {}},
    {-1, [](CConvertOpt&) {}},
  };
  for (const auto& [type, row] : rows) {
    SCOPED_TRACE("type " + std::to_string(type));
    CConvertOpt want = MarkedRecord();
    want.m_nType = type;
    row(want);
    CConvertOpt got = MarkedRecord();
    got.SetType(type);
    ExpectSameRecord(want, got);
  }
}

TEST(ConvertOptSetType, ChangingFromMp4To3gpKeepsMp4OnlyFields) {
  CConvertOpt o;
  o.SetType(CONVERT_MP4);
  o.SetType(CONVERT_3GP);
  EXPECT_EQ(o.m_nType, 5);
  EXPECT_EQ(o.m_nVideoBitrate, 512);
  EXPECT_EQ(o.m_nFrameRateIndex, 0);
  EXPECT_EQ(o.m_nProfile, 0);
  EXPECT_EQ(o.m_nPreset, 9);
  EXPECT_EQ(o.m_nAudioBitrate, 64);
}

TEST(ConvertOptCopySettings, CopiesTargetSettingsAndKeepsSourceFields) {
  const CConvertOpt from = MarkedRecord();
  CConvertOpt to;
  to.m_nSourceFormat = 3;
  to.m_strSource = "/batch/one.mpg";
  to.m_strTarget = "/batch/one_pmr.mp4";
  to.m_nSourceWidth = 352;
  to.m_nSourceHeight = 288;
  to.m_astrPictures = {"keep.jpg"};
  to.m_strAudioFile = "/batch/keep.wav";
  to.m_strSourceInfo = "info";
  to.m_strSourceDescription = "MPEG-1 System Stream";
  to.m_fDuration = 12.0f;
  to.m_nPspFileNumber = 17;
  const CConvertOpt before = to;

  to.CopySettings(from);

  // Expected: the template's values for the copied fields, the record's own
  // values for the rest.
  CConvertOpt want = from;
  want.m_nSourceFormat = before.m_nSourceFormat;
  want.m_strSource = before.m_strSource;
  want.m_strTarget = before.m_strTarget;
  want.m_nSourceWidth = before.m_nSourceWidth;
  want.m_nSourceHeight = before.m_nSourceHeight;
  want.m_astrPictures = before.m_astrPictures;
  want.m_strAudioFile = before.m_strAudioFile;
  want.m_strSourceInfo = before.m_strSourceInfo;
  want.m_strSourceDescription = before.m_strSourceDescription;
  want.m_fDuration = before.m_fDuration;
  want.m_nPspFileNumber = before.m_nPspFileNumber;
  ExpectSameRecord(want, to);
}

TEST(ConvertOptNames, AviCodecNamesByIndex) {
  CConvertOpt o;
  o.SetType(CONVERT_AVI);
  EXPECT_EQ(o.GetVideoCodecName(0), "xvid");
  EXPECT_EQ(o.GetVideoCodecName(1), "divx");
  EXPECT_EQ(o.GetVideoCodecName(2), "msmpeg4v2");
  EXPECT_EQ(o.GetVideoCodecName(3), "h264");
  EXPECT_EQ(o.GetVideoCodecName(4), "mpeg4");
  EXPECT_EQ(o.GetVideoCodecName(-1), "mpeg4");
  EXPECT_EQ(o.GetAudioCodecName(0), "pcm_s16le");
  EXPECT_EQ(o.GetAudioCodecName(1), "mp3");
  EXPECT_EQ(o.GetAudioCodecName(2), "adpcm_ms");
  EXPECT_EQ(o.GetAudioCodecName(3), "aac");
  EXPECT_EQ(o.GetAudioCodecName(4), "mp3");
  EXPECT_EQ(o.GetAudioCodecName(-5), "mp3");
}

TEST(ConvertOptNames, FlvGivesFlvAndMp3ForEveryIndex) {
  CConvertOpt o;
  o.SetType(CONVERT_FLV);
  for (int i = -1; i <= 5; ++i) {
    EXPECT_EQ(o.GetVideoCodecName(i), "flv") << i;
    EXPECT_EQ(o.GetAudioCodecName(i), "mp3") << i;
  }
}

TEST(ConvertOptNames, OtherTypesGiveMpeg4Video) {
  CConvertOpt o;
  o.SetType(CONVERT_MP4);
  EXPECT_EQ(o.GetVideoCodecName(0), "mpeg4");
  EXPECT_EQ(o.GetVideoCodecName(3), "mpeg4");
  // The audio table does not depend on the type except for FLV.
  EXPECT_EQ(o.GetAudioCodecName(3), "aac");
}

TEST(ConvertOptNames, ProfileVideoCodecNames) {
  EXPECT_EQ(CConvertOpt::GetProfileVideoCodecName(0, 1), "h263");
  EXPECT_EQ(CConvertOpt::GetProfileVideoCodecName(1, 1), "h263");
  for (int profile : {2, 3, 4, 5, 6}) {
    EXPECT_EQ(CConvertOpt::GetProfileVideoCodecName(profile, 1), "h264") << profile;
  }
  for (int profile = 0; profile <= 5; ++profile) {
    EXPECT_EQ(CConvertOpt::GetProfileVideoCodecName(profile, 0), "mpeg4");
    EXPECT_EQ(CConvertOpt::GetProfileVideoCodecName(profile, 2), "h264");
    EXPECT_EQ(CConvertOpt::GetProfileVideoCodecName(profile, 3), "h263p");
    EXPECT_EQ(CConvertOpt::GetProfileVideoCodecName(profile, 4), "mpeg4");
    EXPECT_EQ(CConvertOpt::GetProfileVideoCodecName(profile, -1), "mpeg4");
  }
}

TEST(ConvertOptNames, ProfileAudioCodecNames) {
  for (int profile : {0, 1}) {
    EXPECT_EQ(CConvertOpt::GetProfileAudioCodecName(profile, 0), "amr_nb");
    EXPECT_EQ(CConvertOpt::GetProfileAudioCodecName(profile, 1), "amr_wb");
    EXPECT_EQ(CConvertOpt::GetProfileAudioCodecName(profile, 2), "aac");
    EXPECT_EQ(CConvertOpt::GetProfileAudioCodecName(profile, 99), "aac");
  }
  for (int profile : {2, 3, 4, 5, -3}) {
    EXPECT_EQ(CConvertOpt::GetProfileAudioCodecName(profile, 0), "aac");
    EXPECT_EQ(CConvertOpt::GetProfileAudioCodecName(profile, 1), "mp3");
    EXPECT_EQ(CConvertOpt::GetProfileAudioCodecName(profile, 2), "aac");
    EXPECT_EQ(CConvertOpt::GetProfileAudioCodecName(profile, -1), "aac");
  }
}

TEST(ConvertOptNames, ProfileFrameRates) {
  struct Case { int profile, index, num, den; };
  const Case cases[] = {
    {2, 0, 30000, 1001}, {4, 0, 30, 1},  {0, 0, 30, 1},
    {2, 1, 15000, 1001}, {3, 1, 25, 1},  {5, 1, 25, 1},
    {2, 2, 24, 1},       {4, 2, 24, 1},
    {2, 3, 15000, 1001}, {0, 3, 15000, 1001},
    {2, 4, 12, 1},       {1, 4, 12, 1},
    {4, 7, 15000, 1001}, {2, -1, 15000, 1001},
  };
  for (const Case& c : cases) {
    int num = -1, den = -1;
    CConvertOpt::GetProfileFrameRate(c.profile, c.index, &num, &den);
    EXPECT_EQ(num, c.num) << c.profile << "/" << c.index;
    EXPECT_EQ(den, c.den) << c.profile << "/" << c.index;
  }
  // A caller that only wants one half must not crash.
  int num = 0;
  CConvertOpt::GetProfileFrameRate(4, 0, &num, nullptr);
  EXPECT_EQ(num, 30);
}

TEST(ConvertOptNames, ContainerFromExtension) {
  const std::pair<const char*, int> cases[] = {
    {"avi", 1}, {"mpg", 2}, {"mpeg", 2}, {"MPEG", 2}, {"asf", 4}, {"WmV", 4},
    {"3gp", 5}, {"3G2", 5}, {"mp4", 6}, {"flv", 7}, {"swf", 7}, {"SWF", 7},
    {"Swf", 7}, {"mov", 8}, {"rm", 9}, {"RMVB", 9},
    {"mkv", 0}, {"", 0}, {".avi", 0}, {"avi ", 0}, {"mp", 0}, {"mpegg", 0},
  };
  for (const auto& [ext, want] : cases)
    EXPECT_EQ(CConvertOpt::GetContainerFromExtension(ext), want) << '"' << ext << '"';
  // 3 is reserved and never returned.
  for (const char* ext : {"avi", "mpg", "vob", "m2v", "dat", "ts"})
    EXPECT_NE(CConvertOpt::GetContainerFromExtension(ext), 3) << ext;
}
