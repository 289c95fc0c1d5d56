// Tremor and the libvorbis that FFmpeg loads export the same names. Both
// must decode correctly in one process, in either order.
#include <gtest/gtest.h>
#include <dlfcn.h>

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "tests/decoders/mpegaudio/CapturePaths.h"
#include "tests/decoders/mpegaudio/MediaReference.h"

namespace {

std::vector<BYTE> VorbisFormatFromXiph(const std::vector<uint8_t>& laced) {
  size_t pos = 1;
  uint32_t sizes[3] = {};
  for (int i = 0; i < 2; ++i) {
    while (laced.at(pos) == 255) sizes[i] += laced[pos++];
    sizes[i] += laced[pos++];
  }
  sizes[2] = static_cast<uint32_t>(laced.size() - pos - sizes[0] - sizes[1]);
  std::vector<BYTE> block(24);
  std::memcpy(block.data() + 12, sizes, 12);
  block.insert(block.end(), laced.begin() + static_cast<long>(pos), laced.end());
  return block;
}

DecodedAudio DecodeWithOurPaths(const DemuxedAudio& in) {
  CCapturePaths paths;
  CMediaType mt;
  mt.SetType(&MEDIATYPE_Audio);
  mt.SetSubtype(&MEDIASUBTYPE_Vorbis2);
  mt.SetFormatType(&FORMAT_VorbisFormat2);
  const auto format = VorbisFormatFromXiph(in.extradata);
  mt.SetFormat(format.data(), static_cast<ULONG>(format.size()));
  paths.SetInputType(mt);
  paths.InitDecoders();
  for (const auto& p : in.packets) {
    paths.AppendInput(p.data(), p.size());
    EXPECT_EQ(paths.ProcessInput(), S_OK);
  }
  DecodedAudio out;
  out.channels = paths.VorbisChannels();
  out.rate = static_cast<int>(paths.VorbisRate());
  out.samples = paths.samples;
  return out;
}

// Encodes a second of a tone with FFmpeg's libvorbis encoder; every call
// goes through libvorbis and libvorbisenc.
int EncodeWithLibvorbis() {
  const AVCodec* codec = avcodec_find_encoder_by_name("libvorbis");
  if (!codec) return -1;
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->sample_rate = 44100;
  ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
  av_channel_layout_default(&ctx->ch_layout, 2);
  ctx->bit_rate = 96000;
  int packets = 0;
  if (avcodec_open2(ctx, codec, nullptr) == 0) {
    AVFrame* frame = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    const int perFrame = ctx->frame_size ? ctx->frame_size : 1024;
    for (int n = 0; n < 44100 / perFrame; ++n) {
      frame->nb_samples = perFrame;
      frame->format = ctx->sample_fmt;
      av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
      av_frame_get_buffer(frame, 0);
      for (int ch = 0; ch < 2; ++ch) {
        float* d = reinterpret_cast<float*>(frame->data[ch]);
        for (int i = 0; i < frame->nb_samples; ++i) d[i] = 0.3f * std::sin(0.06f * (n * frame->nb_samples + i));
      }
      frame->pts = static_cast<int64_t>(n) * frame->nb_samples;
      avcodec_send_frame(ctx, frame);
      av_frame_unref(frame);
      while (avcodec_receive_packet(ctx, pkt) == 0) {
        ++packets;
        av_packet_unref(pkt);
      }
    }
    avcodec_send_frame(ctx, nullptr);
    while (avcodec_receive_packet(ctx, pkt) == 0) {
      ++packets;
      av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    av_frame_free(&frame);
  }
  avcodec_free_context(&ctx);
  return packets;
}

TEST(TremorIsolation, BothVorbisLibrariesDecodeInOneProcess) {
  const DemuxedAudio in = DemuxWithFFmpeg(TestDataPath("vorbis.ogg"));
  // FFmpeg's decoder over libvorbis, before and after ours.
  const DecodedAudio before = DecodeWithFFmpeg(TestDataPath("vorbis.ogg"), "libvorbis");
  const DecodedAudio ours = DecodeWithOurPaths(in);
  const DecodedAudio after = DecodeWithFFmpeg(TestDataPath("vorbis.ogg"), "libvorbis");
  const DecodedAudio native = DecodeWithFFmpeg(TestDataPath("vorbis.ogg"), "vorbis");

  ASSERT_EQ(ours.channels, 2);
  EXPECT_GT(AlignedSnrDb(native.samples, ours.samples, 2, 4096), 80);
  EXPECT_GT(AlignedSnrDb(native.samples, before.samples, 2, 4096), 80);
  EXPECT_EQ(before.samples, after.samples);
  EXPECT_GT(EncodeWithLibvorbis(), 10);

  // The process-wide name belongs to libvorbis; ours is not exported.
  void* global = dlsym(RTLD_DEFAULT, "vorbis_synthesis");
  ASSERT_NE(global, nullptr);
  Dl_info info{};
  ASSERT_NE(dladdr(global, &info), 0);
  EXPECT_NE(std::strstr(info.dli_fname, "libvorbis.so"), nullptr) << info.dli_fname;
}

}  // namespace
