#include "tests/decoders/mpegaudio/MediaReference.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

std::string TestDataPath(const char* name) {
  const char* dir = std::getenv("PELLOMAR_TEST_DATA");
  return std::string(dir ? dir : PELLOMAR_SOURCE_DIR "/tests/data") + "/" + name;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

namespace {

struct Input {
  AVFormatContext* fmt = nullptr;
  int stream = -1;
  explicit Input(const std::string& path) {
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) throw std::runtime_error("open " + path);
    if (avformat_find_stream_info(fmt, nullptr) < 0) throw std::runtime_error("probe " + path);
    stream = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (stream < 0) throw std::runtime_error("no audio in " + path);
  }
  ~Input() { avformat_close_input(&fmt); }
  AVCodecParameters* par() const { return fmt->streams[stream]->codecpar; }
};

float SampleAt(const AVFrame* f, int ch, int i, int channels) {
  const auto fmt = static_cast<AVSampleFormat>(f->format);
  const bool planar = av_sample_fmt_is_planar(fmt);
  const int plane = planar ? ch : 0;
  const int index = planar ? i : i * channels + ch;
  const uint8_t* d = f->extended_data[plane];
  switch (av_get_packed_sample_fmt(fmt)) {
    case AV_SAMPLE_FMT_FLT:
      return reinterpret_cast<const float*>(d)[index];
    case AV_SAMPLE_FMT_DBL:
      return static_cast<float>(reinterpret_cast<const double*>(d)[index]);
    case AV_SAMPLE_FMT_S16:
      return reinterpret_cast<const int16_t*>(d)[index] / 32768.0f;
    case AV_SAMPLE_FMT_S32:
      return static_cast<float>(reinterpret_cast<const int32_t*>(d)[index] / 2147483648.0);
    default:
      throw std::runtime_error("sample format");
  }
}

}  // namespace

DecodedAudio DecodeWithFFmpeg(const std::string& path, const char* decoderName) {
  Input in(path);
  const AVCodec* codec =
      decoderName ? avcodec_find_decoder_by_name(decoderName) : avcodec_find_decoder(in.par()->codec_id);
  if (!codec) throw std::runtime_error("no decoder");
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(ctx, in.par());
  ctx->thread_count = 1;
  if (avcodec_open2(ctx, codec, nullptr) < 0) throw std::runtime_error("open decoder");
  DecodedAudio out;
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  auto drain = [&]() {
    while (avcodec_receive_frame(ctx, frame) == 0) {
      out.rate = frame->sample_rate;
      out.channels = frame->ch_layout.nb_channels;
      for (int i = 0; i < frame->nb_samples; ++i)
        for (int ch = 0; ch < out.channels; ++ch) out.samples.push_back(SampleAt(frame, ch, i, out.channels));
      av_frame_unref(frame);
    }
  };
  while (av_read_frame(in.fmt, pkt) >= 0) {
    if (pkt->stream_index == in.stream) {
      avcodec_send_packet(ctx, pkt);
      drain();
    }
    av_packet_unref(pkt);
  }
  avcodec_send_packet(ctx, nullptr);
  drain();
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
  return out;
}

DemuxedAudio DemuxWithFFmpeg(const std::string& path) {
  Input in(path);
  DemuxedAudio out;
  out.rate = in.par()->sample_rate;
  out.channels = in.par()->ch_layout.nb_channels;
  out.extradata.assign(in.par()->extradata, in.par()->extradata + in.par()->extradata_size);
  AVPacket* pkt = av_packet_alloc();
  while (av_read_frame(in.fmt, pkt) >= 0) {
    if (pkt->stream_index == in.stream) out.packets.emplace_back(pkt->data, pkt->data + pkt->size);
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  return out;
}

double AlignedSnrDb(const std::vector<float>& ref, const std::vector<float>& test, int channels, int maxShift) {
  const long refFrames = static_cast<long>(ref.size() / channels);
  const long testFrames = static_cast<long>(test.size() / channels);
  // Pick the shift on a window in the middle, then measure over the whole
  // overlap.
  const long window = std::min<long>(2048, std::min(refFrames, testFrames) / 4);
  const long start = std::min(refFrames, testFrames) / 2 - window / 2;
  int best = 0;
  double bestErr = INFINITY;
  // Nearest shifts first, so that a window the shift does not change (a
  // silent one) keeps the two decodes where they are.
  for (int k = 0; k <= 2 * maxShift; ++k) {
    const int shift = (k & 1) ? -(k + 1) / 2 : k / 2;
    if (start + shift < 0 || start + shift + window > testFrames) continue;
    double err = 0;
    for (long i = start; i < start + window; ++i) {
      const double d = ref[i * channels] - test[(i + shift) * channels];
      err += d * d;
    }
    if (err < bestErr) {
      bestErr = err;
      best = shift;
    }
  }
  double signal = 0, noise = 0;
  for (long i = 0; i < refFrames; ++i) {
    const long j = i + best;
    if (j < 0 || j >= testFrames) continue;
    for (int ch = 0; ch < channels; ++ch) {
      const double r = ref[i * channels + ch];
      const double d = r - test[j * channels + ch];
      signal += r * r;
      noise += d * d;
    }
  }
  if (noise == 0) return 200;
  return 10 * std::log10(signal / noise);
}
