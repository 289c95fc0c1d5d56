#include <gtest/gtest.h>

#include <cstring>

#include "foundation/PixelConversion.h"
#include "platform/dshow/MediaType.h"

namespace {

CMediaType VideoType(const GUID& subtype, const GUID& format, DWORD compression, ULONG blockSize) {
  CMediaType mt(&MEDIATYPE_Video);
  mt.SetSubtype(&subtype);
  mt.SetFormatType(&format);
  BYTE* block = mt.AllocFormatBuffer(blockSize);
  const size_t bmi = format == FORMAT_VideoInfo2 ? 72 : 48;
  // Fill with a pattern so that kept and template bytes can be told apart.
  for (ULONG i = 0; i < blockSize; ++i) block[i] = static_cast<BYTE>(0x40 + i % 32);
  if (blockSize >= bmi + 20) std::memcpy(block + bmi + 16, &compression, 4);
  return mt;
}

DWORD MaskAt(const CMediaType& mt, size_t offset) {
  DWORD v;
  std::memcpy(&v, mt.pbFormat + offset, 4);
  return v;
}

TEST(CompleteVideoFormatBlock, BitFieldTypesGainTheirMasks) {
  CMediaType mt = VideoType(MEDIASUBTYPE_RGB565, FORMAT_VideoInfo, BI_BITFIELDS, 88);
  std::vector<BYTE> before(mt.pbFormat, mt.pbFormat + 88);
  CompleteVideoFormatBlock(mt);
  ASSERT_EQ(mt.cbFormat, 100u);
  EXPECT_EQ(std::memcmp(mt.pbFormat, before.data(), 88), 0);
  EXPECT_EQ(MaskAt(mt, 88), 0xF800u);
  EXPECT_EQ(MaskAt(mt, 92), 0x07E0u);
  EXPECT_EQ(MaskAt(mt, 96), 0x001Fu);

  CMediaType v2 = VideoType(MEDIASUBTYPE_RGB555, FORMAT_VideoInfo2, BI_BITFIELDS, 112);
  CompleteVideoFormatBlock(v2);
  ASSERT_EQ(v2.cbFormat, 124u);
  EXPECT_EQ(MaskAt(v2, 112), 0x7C00u);
  EXPECT_EQ(MaskAt(v2, 116), 0x03E0u);
  EXPECT_EQ(MaskAt(v2, 120), 0x001Fu);

  CMediaType rgb32 = VideoType(MEDIASUBTYPE_RGB32, FORMAT_VideoInfo, BI_BITFIELDS, 88);
  CompleteVideoFormatBlock(rgb32);
  ASSERT_EQ(rgb32.cbFormat, 100u);
  EXPECT_EQ(MaskAt(rgb32, 88), 0x00FF0000u);
}

TEST(CompleteVideoFormatBlock, OtherKnownTypesGetTheBareHeaderSize) {
  // A block with trailing bytes is cut to the header.
  CMediaType yuy2 = VideoType(MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, MAKEFOURCC('Y', 'U', 'Y', '2'), 120);
  CompleteVideoFormatBlock(yuy2);
  EXPECT_EQ(yuy2.cbFormat, 88u);
  CMediaType i420 = VideoType(MEDIASUBTYPE_I420, FORMAT_VideoInfo2, MAKEFOURCC('I', '4', '2', '0'), 140);
  CompleteVideoFormatBlock(i420);
  EXPECT_EQ(i420.cbFormat, 112u);
}

TEST(CompleteVideoFormatBlock, UnknownTypesAreLeftAlone) {
  // Wrong compression for the subtype, unknown subtype, other format type.
  CMediaType mismatch = VideoType(MEDIASUBTYPE_RGB565, FORMAT_VideoInfo, MAKEFOURCC('Y', 'V', '1', '2'), 96);
  CompleteVideoFormatBlock(mismatch);
  EXPECT_EQ(mismatch.cbFormat, 96u);
  CMediaType unknown = VideoType(MEDIASUBTYPE_UYVY, FORMAT_VideoInfo, MAKEFOURCC('U', 'Y', 'V', 'Y'), 96);
  CompleteVideoFormatBlock(unknown);
  EXPECT_EQ(unknown.cbFormat, 96u);
  CMediaType mpeg = VideoType(MEDIASUBTYPE_YUY2, FORMAT_MPEGVideo, MAKEFOURCC('Y', 'U', 'Y', '2'), 96);
  CompleteVideoFormatBlock(mpeg);
  EXPECT_EQ(mpeg.cbFormat, 96u);
  // Too short to hold the compression field.
  CMediaType tiny = VideoType(MEDIASUBTYPE_RGB565, FORMAT_VideoInfo, BI_BITFIELDS, 60);
  CompleteVideoFormatBlock(tiny);
  EXPECT_EQ(tiny.cbFormat, 60u);
}

TEST(CompleteVideoFormatBlock, AShortBlockIsNotOverRead) {
  // 70 bytes hold the compression field but not the whole header; the
  // rest comes from the template (under ASan a read past 70 would fail).
  CMediaType mt = VideoType(MEDIASUBTYPE_RGB565, FORMAT_VideoInfo, BI_BITFIELDS, 70);
  std::vector<BYTE> before(mt.pbFormat, mt.pbFormat + 70);
  CompleteVideoFormatBlock(mt);
  ASSERT_EQ(mt.cbFormat, 100u);
  EXPECT_EQ(std::memcmp(mt.pbFormat, before.data(), 70), 0);
  for (size_t i = 70; i < 88; ++i) EXPECT_EQ(mt.pbFormat[i], 0) << i;  // template header tail
  EXPECT_EQ(MaskAt(mt, 88), 0xF800u);
}

}  // namespace
