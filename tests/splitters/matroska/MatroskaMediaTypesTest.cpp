// Track to media type mapping for the codec identifiers ffmpeg does not
// write, profile strings, private data that is short or runs over, and the
// display-aspect twins.
#include <gtest/gtest.h>

#include <functional>

#include "foundation/FilterHelpers.h"
#include "splitters/matroska/MatroskaMediaTypes.h"

using namespace MatroskaReader;

namespace {

constexpr DWORD Fcc(const char (&s)[5]) { return MAKEFOURCC(s[0], s[1], s[2], s[3]); }

std::vector<BYTE> BitmapHeader(DWORD compression, WORD bits) {
  BITMAPINFOHEADER bih{};
  bih.biSize = sizeof bih;
  bih.biWidth = 32;
  bih.biHeight = 16;
  bih.biPlanes = 1;
  bih.biBitCount = bits;
  bih.biCompression = compression;
  const auto* p = reinterpret_cast<const BYTE*>(&bih);
  return {p, p + sizeof bih};
}

// The MPEG-2 sequence header of a 176x144 picture (with its extension).
const std::vector<BYTE> kMpeg2Sequence = {0x00, 0x00, 0x01, 0xB3, 0x0B, 0x00, 0x90, 0x13, 0xFF, 0xFF, 0xE0,
                                          0x18, 0x00, 0x00, 0x01, 0xB5, 0x14, 0x8A, 0x00, 0x01, 0x00, 0x00};

struct Case {
  const char* what;
  std::function<void(TrackEntry&)> setup;
  std::vector<GUID> subtypes;
  std::function<void(const std::vector<CMediaType>&)> check;
};

TEST(MatroskaMediaTypes, CodecIdentifiersAndPrivateData) {
  auto video = [](const char* codec, std::vector<BYTE> priv) {
    return [=](TrackEntry& te) {
      te.TrackType.Set(1);
      te.CodecID.assign(codec, codec + strlen(codec));
      te.CodecPrivate.assign(priv.begin(), priv.end());
      te.v.PixelWidth.Set(32);
      te.v.PixelHeight.Set(16);
    };
  };
  auto audio = [](const char* codec, std::vector<BYTE> priv, double rate = 22050) {
    return [=](TrackEntry& te) {
      te.TrackType.Set(2);
      te.CodecID.assign(codec, codec + strlen(codec));
      te.CodecPrivate.assign(priv.begin(), priv.end());
      te.a.SamplingFrequency.Set(rate);
      te.a.Channels.Set(2);
      te.a.BitDepth.Set(16);
    };
  };
  auto subtitle = [](const char* codec) {
    return [=](TrackEntry& te) {
      te.TrackType.Set(0x11);
      te.CodecID.assign(codec, codec + strlen(codec));
    };
  };
  const auto wave = [](const CMediaType& mt) { return reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat); };

  std::vector<BYTE> acmShort(17, 0);
  std::vector<BYTE> acmOver(20, 0);
  acmOver[0] = 0x02;  // MS ADPCM
  acmOver[16] = 50;   // claims 50 extra bytes, has 2

  const Case cases[] = {
      {"AAC with SBR: the doubled-rate type first",
       audio("A_AAC/MPEG4/LC/SBR", {}),
       {FourCCGuid(0x00FF), FourCCGuid(0x00FF)},
       [&](const std::vector<CMediaType>& mts) {
         EXPECT_EQ(wave(mts[0])->nSamplesPerSec, 44100u);
         EXPECT_EQ(wave(mts[0])->cbSize, 5);
         EXPECT_EQ(wave(mts[1])->nSamplesPerSec, 22050u);
         EXPECT_EQ(wave(mts[1])->cbSize, 2);
       }},
      {"AAC main profile",
       audio("A_AAC/MPEG2/MAIN", {}),
       {FourCCGuid(0x00FF)},
       [&](const std::vector<CMediaType>& mts) {
         const BYTE* asc = reinterpret_cast<const BYTE*>(wave(mts[0]) + 1);
         EXPECT_EQ(asc[0] >> 3, 1) << "object type 1";
       }},
      {"AAC without a known profile", audio("A_AAC/MPEG4/XYZ", {}), {}, nullptr},
      {"Vorbis with two headers: only the packet type",
       audio("A_VORBIS", {1, 2, 'a', 'b', 'c'}),
       {MEDIASUBTYPE_Vorbis},
       [](const std::vector<CMediaType>& mts) { EXPECT_EQ(mts[0].cbFormat, 24u); }},
      {"Vorbis whose header sizes run over", audio("A_VORBIS", {2, 200, 1, 'a'}), {MEDIASUBTYPE_Vorbis}, nullptr},
      {"ACM format too short", audio("A_MS/ACM", acmShort), {}, nullptr},
      {"ACM format claiming more than it has",
       audio("A_MS/ACM", acmOver),
       {FourCCGuid(0x0002)},
       [&](const std::vector<CMediaType>& mts) { EXPECT_EQ(wave(mts[0])->cbSize, 2); }},
      {"RealAudio", audio("A_REAL/COOK", {7, 7}), {FourCCGuid(Fcc("COOK"))},
       [](const std::vector<CMediaType>& mts) {
         EXPECT_TRUE(mts[0].bTemporalCompression);
         EXPECT_EQ(mts[0].cbFormat, sizeof(WAVEFORMATEX) + 2);
       }},
      {"RealVideo 2", video("V_REAL/RV20", {1, 2, 3}), {FourCCGuid(Fcc("RV20"))},
       [](const std::vector<CMediaType>& mts) {
         EXPECT_EQ(mts[0].formattype, FORMAT_VideoInfo);
         EXPECT_EQ(mts[0].cbFormat, sizeof(VIDEOINFOHEADER) + 3);
       }},
      {"VfW with a display size: the VIDEOINFOHEADER2 twin first",
       [&](TrackEntry& te) {
         video("V_MS/VFW/FOURCC", BitmapHeader(Fcc("XVID"), 12))(te);
         te.v.DisplayWidth.Set(16);
         te.v.DisplayHeight.Set(9);
         te.DefaultDuration.Set(40000000);
       },
       {FourCCGuid(Fcc("XVID")), FourCCGuid(Fcc("XVID"))},
       [](const std::vector<CMediaType>& mts) {
         ASSERT_EQ(mts[0].formattype, FORMAT_VideoInfo2);
         const auto* v2 = reinterpret_cast<const VIDEOINFOHEADER2*>(mts[0].pbFormat);
         EXPECT_EQ(v2->dwPictAspectRatioX, 16u);
         EXPECT_EQ(v2->dwPictAspectRatioY, 9u);
         EXPECT_EQ(v2->AvgTimePerFrame, 400000);
         EXPECT_EQ(v2->bmiHeader.biWidth, 32);
         EXPECT_EQ(mts[1].formattype, FORMAT_VideoInfo);
         EXPECT_EQ(reinterpret_cast<const VIDEOINFOHEADER*>(mts[1].pbFormat)->AvgTimePerFrame, 400000);
       }},
      {"VfW uncompressed by bit count", video("V_MS/VFW/FOURCC", BitmapHeader(0, 24)), {MEDIASUBTYPE_RGB24}, nullptr},
      {"VfW header too short", video("V_MS/VFW/FOURCC", std::vector<BYTE>(39, 0)), {}, nullptr},
      {"AVC with too little private data is MPEG-4", video("V_MPEG4/ISO/AVC", {1, 2, 3, 4, 5}),
       {FourCCGuid(Fcc("MP4V"))}, nullptr},
      {"AVC parameter set running over", video("V_MPEG4/ISO/AVC", {1, 0x64, 0, 0x1E, 0xFF, 0xE1, 0, 9, 0x67}), {},
       nullptr},
      {"AVC without its picture set count", video("V_MPEG4/ISO/AVC", {1, 0x64, 0, 0x1E, 0xFF, 0xE1, 0, 1, 0x67}), {},
       nullptr},
      {"AVC decoder configuration",
       video("V_MPEG4/ISO/AVC", {1, 0x64, 0, 0x1E, 0xFD, 0xE1, 0, 2, 0x67, 0x64, 1, 0, 1, 0x68}),
       {FourCCGuid(Fcc("AVC1"))},
       [](const std::vector<CMediaType>& mts) {
         const auto* m2 = reinterpret_cast<const MPEG2VIDEOINFO*>(mts[0].pbFormat);
         EXPECT_EQ(m2->dwProfile, 0x64u);
         EXPECT_EQ(m2->dwLevel, 0x1Eu);
         EXPECT_EQ(m2->dwFlags, 2u);
         EXPECT_EQ(m2->cbSequenceHeader, 7u);
       }},
      {"Dirac", video("V_DIRAC", {9, 9, 9, 9}), {MEDIASUBTYPE_DiracVideo},
       [](const std::vector<CMediaType>& mts) {
         EXPECT_EQ(mts[0].formattype, FORMAT_VideoInfo2Ex);
         EXPECT_EQ(mts[0].cbFormat, sizeof(VIDEOINFOHEADER2) + 4 + 4);
       }},
      {"MPEG-2 with its sequence header", video("V_MPEG2", kMpeg2Sequence), {MEDIASUBTYPE_MPEG2_VIDEO}, nullptr},
      {"MPEG-2 without one", video("V_MPEG2", {}), {}, nullptr},
      {"uncompressed video", video("V_UNCOMPRESSED", {}), {}, nullptr},
      {"plain text subtitles", subtitle("S_TEXT/ASCII"), {GUID_NULL},
       [](const std::vector<CMediaType>& mts) { EXPECT_EQ(mts[0].majortype, MEDIATYPE_Text); }},
      {"VobSub", subtitle("S_VOBSUB"), {MEDIASUBTYPE_VOBSUB}, nullptr},
      {"SSA by its short name", subtitle("S_SSA"), {MEDIASUBTYPE_SSA}, nullptr},
      {"unknown subtitles", subtitle("S_IMAGE/BMP"), {}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TrackEntry te;
    c.setup(te);
    std::wstring kind;
    const std::vector<CMediaType> mts = MakeMatroskaMediaTypes(te, kind);
    EXPECT_FALSE(kind.empty());
    ASSERT_EQ(mts.size(), c.subtypes.size());
    for (size_t i = 0; i < mts.size(); i++) EXPECT_EQ(mts[i].subtype, c.subtypes[i]) << i;
    if (c.check && !mts.empty()) c.check(mts);
  }

  // MPEG-2 private data without a sequence header: the first frame's.
  TrackEntry te;
  video("V_MPEG2", {1, 2, 3})(te);
  std::vector<BYTE> frame = kMpeg2Sequence;
  frame.insert(frame.end(), {0x00, 0x00, 0x01, 0xB8, 0x00});
  std::wstring kind;
  const std::vector<CMediaType> mts = MakeMatroskaMediaTypes(te, kind, &frame);
  ASSERT_EQ(mts.size(), 1u);
  const auto* m2 = reinterpret_cast<const MPEG2VIDEOINFO*>(mts[0].pbFormat);
  EXPECT_EQ(m2->cbSequenceHeader, kMpeg2Sequence.size()) << "the header without the frame behind it";
}

}  // namespace
