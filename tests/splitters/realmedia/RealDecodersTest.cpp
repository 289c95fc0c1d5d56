// The RealVideo and RealAudio decoders over the codec modules of this
// build: pictures and PCM against libavcodec decoding the same file
// directly, the records and messages the modules get, the block
// reorderings, the output times, and streams that must be refused.
#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswresample/swresample.h>
}

#include "tests/splitters/realmedia/RealMediaTestKit.h"

using namespace rmkit;

namespace {

// libavcodec's own decode of one stream of a file: I420 pictures (video)
// or interleaved 16-bit PCM (audio), in decode order.
struct Reference {
  std::vector<Bytes> pictures;
  std::vector<int64_t> pictureMs;
  std::vector<int16_t> pcm;
  int width = 0, height = 0;
};

Reference DecodeDirectly(const std::string& path, int streamIndex) {
  Reference ref;
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return ref;
  avformat_find_stream_info(fmt, nullptr);
  AVStream* st = fmt->streams[streamIndex];
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(ctx, st->codecpar);
  avcodec_open2(ctx, codec, nullptr);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  SwrContext* swr = nullptr;
  auto drain = [&] {
    while (avcodec_receive_frame(ctx, frame) == 0) {
      if (ctx->codec_type == AVMEDIA_TYPE_VIDEO) {
        ref.width = frame->width;
        ref.height = frame->height;
        Bytes pic;
        for (int p = 0; p < 3; p++) {
          const int w = p ? frame->width / 2 : frame->width, h = p ? frame->height / 2 : frame->height;
          for (int y = 0; y < h; y++) pic.insert(pic.end(), frame->data[p] + y * frame->linesize[p], frame->data[p] + y * frame->linesize[p] + w);
        }
        ref.pictures.push_back(std::move(pic));
        ref.pictureMs.push_back(av_rescale_q(frame->pts, st->time_base, AVRational{1, 1000}));
      } else {
        if (!swr) {
          swr_alloc_set_opts2(&swr, &frame->ch_layout, AV_SAMPLE_FMT_S16, frame->sample_rate, &frame->ch_layout,
                              static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
          swr_init(swr);
        }
        std::vector<int16_t> out(static_cast<size_t>(frame->nb_samples) * frame->ch_layout.nb_channels);
        uint8_t* planes[1] = {reinterpret_cast<uint8_t*>(out.data())};
        const int got = swr_convert(swr, planes, frame->nb_samples, const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
        out.resize(static_cast<size_t>(std::max(got, 0)) * frame->ch_layout.nb_channels);
        ref.pcm.insert(ref.pcm.end(), out.begin(), out.end());
      }
      av_frame_unref(frame);
    }
  };
  while (av_read_frame(fmt, pkt) >= 0) {
    if (pkt->stream_index == streamIndex) {
      avcodec_send_packet(ctx, pkt);
      drain();
    }
    av_packet_unref(pkt);
  }
  avcodec_send_packet(ctx, nullptr);
  drain();
  swr_free(&swr);
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
  avformat_close_input(&fmt);
  return ref;
}

double Psnr(const Bytes& a, const Bytes& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double se = 0;
  for (size_t i = 0; i < a.size(); i++) se += (a[i] - b[i]) * (a[i] - b[i]);
  if (se == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * a.size() / se);
}

CComPtr<IBaseFilter> RealVideo() {
  HRESULT hr = S_OK;
  return toy::Hold(new CRealVideoDecoder(nullptr, &hr));
}
CComPtr<IBaseFilter> RealAudio() {
  HRESULT hr = S_OK;
  return toy::Hold(new CRealAudioDecoder(nullptr, &hr));
}

class RealDecoders : public ::testing::Test {
 protected:
  void SetUp() override { UseBuiltCodecs(); }
};

}  // namespace

TEST_F(RealDecoders, PicturesAndSoundMatchLibavcodec) {
  const std::string path = TestDataPath("rm-rv20-ac3.rm");
  Graph g(path, [](int pin) { return pin == 0 ? RealVideo() : RealAudio(); });
  ASSERT_EQ(g.loaded, S_OK);
  ASSERT_TRUE(g.sinks[0]) << "the RealVideo decoder did not connect";
  ASSERT_TRUE(g.sinks[1]) << "the RealAudio decoder did not connect";
  EXPECT_EQ(g.sinks[0]->Type().subtype, MEDIASUBTYPE_YV12);
  g.Run();

  const Reference video = DecodeDirectly(path, 0);
  const auto pictures = g.sinks[0]->Samples();
  ASSERT_EQ(pictures.size(), video.pictures.size());
  for (size_t i = 0; i < pictures.size(); i++) {
    // The output is YV12: V before U.
    Bytes i420 = pictures[i].data;
    const size_t luma = 176 * 144, chroma = luma / 4;
    ASSERT_EQ(i420.size(), luma + 2 * chroma);
    std::swap_ranges(i420.begin() + luma, i420.begin() + luma + chroma, i420.begin() + luma + chroma);
    EXPECT_GE(Psnr(i420, video.pictures[i]), 60) << "picture " << i;
    EXPECT_EQ(pictures[i].start, video.pictureMs[i] * 10000) << "picture " << i;
  }

  const Reference audio = DecodeDirectly(path, 1);
  std::vector<int16_t> ours;
  for (const Sample& s : g.sinks[1]->Samples())
    ours.insert(ours.end(), reinterpret_cast<const int16_t*>(s.data.data()),
                reinterpret_cast<const int16_t*>(s.data.data() + s.data.size()));
  ASSERT_GT(ours.size(), 48000u);
  const size_t n = std::min(ours.size(), audio.pcm.size());
  double signal = 0, noise = 0;
  for (size_t i = 0; i < n; i++) {
    signal += double(audio.pcm[i]) * audio.pcm[i];
    noise += double(audio.pcm[i] - ours[i]) * (audio.pcm[i] - ours[i]);
  }
  EXPECT_GT(10 * std::log10(signal / std::max(noise, 1.0)), 60);
}
