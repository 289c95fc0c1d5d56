#include "tests/decoders/mpeg2video/Mpeg2TestSupport.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include "decoders/mpeg2video/Mpeg2Dec.h"

std::string TestDataPath(const std::string& name) {
  const char* dir = std::getenv("PELLOMAR_TEST_DATA");
  return std::string(dir ? dir : PELLOMAR_SOURCE_DIR "/tests/data") + "/" + name;
}

std::vector<uint8_t> ReadTestFile(const std::string& name) {
  std::ifstream f(TestDataPath(name), std::ios::binary);
  if (!f) throw std::runtime_error("missing test file " + name);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

std::vector<uint8_t> VideoElementaryStream(const std::string& name) {
  if (name.ends_with(".m1v") || name.ends_with(".m2v")) return ReadTestFile(name);
  AVFormatContext* fmt = nullptr;
  const std::string path = TestDataPath(name);
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0)
    throw std::runtime_error("cannot open " + name);
  std::unique_ptr<AVFormatContext*, void (*)(AVFormatContext**)> guard(&fmt, avformat_close_input);
  avformat_find_stream_info(fmt, nullptr);
  const int video = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (video < 0) throw std::runtime_error("no video in " + name);
  std::vector<uint8_t> es;
  AVPacket* pkt = av_packet_alloc();
  while (av_read_frame(fmt, pkt) >= 0) {
    if (pkt->stream_index == video) es.insert(es.end(), pkt->data, pkt->data + pkt->size);
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  return es;
}

namespace {

bool HasSequenceExtension(const std::vector<uint8_t>& es) {
  for (size_t i = 0; i + 4 <= es.size(); ++i)
    if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1 && es[i + 3] == 0xB5) return true;
  return false;
}

void TakeFrames(AVCodecContext* ctx, AVFrame* frame, std::vector<TestFrame>& out) {
  while (avcodec_receive_frame(ctx, frame) == 0) {
    TestFrame f;
    f.width = frame->width;
    f.height = frame->height;
    auto plane = [&](int i, int w, int h, std::vector<uint8_t>& dst) {
      dst.resize(static_cast<size_t>(w) * h);
      for (int r = 0; r < h; ++r)
        std::memcpy(&dst[static_cast<size_t>(r) * w], frame->data[i] + r * frame->linesize[i], w);
    };
    int sx = 1, sy = 1;
    av_pix_fmt_get_chroma_sub_sample(static_cast<AVPixelFormat>(frame->format), &sx, &sy);
    f.chromaWidth = (f.width + (1 << sx) - 1) >> sx;
    f.chromaHeight = (f.height + (1 << sy) - 1) >> sy;
    plane(0, f.width, f.height, f.y);
    plane(1, f.chromaWidth, f.chromaHeight, f.u);
    plane(2, f.chromaWidth, f.chromaHeight, f.v);
    out.push_back(std::move(f));
    av_frame_unref(frame);
  }
}

}  // namespace

std::vector<TestFrame> ReferenceDecode(const std::vector<uint8_t>& es) {
  const AVCodecID id = HasSequenceExtension(es) ? AV_CODEC_ID_MPEG2VIDEO : AV_CODEC_ID_MPEG1VIDEO;
  const AVCodec* codec = avcodec_find_decoder(id);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->thread_count = 1;
  avcodec_open2(ctx, codec, nullptr);
  AVCodecParserContext* parser = av_parser_init(id);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  std::vector<TestFrame> out;
  std::vector<uint8_t> padded(es);
  padded.resize(es.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  const uint8_t* p = padded.data();
  int left = static_cast<int>(es.size());
  for (bool done = false; !done;) {
    uint8_t* data = nullptr;
    int size = 0;
    const bool flushing = left == 0;  // an empty call hands out the last frame
    const int used = av_parser_parse2(parser, ctx, &data, &size, p, left, AV_NOPTS_VALUE,
                                      AV_NOPTS_VALUE, 0);
    p += used;
    left -= used;
    if (size) {
      pkt->data = data;
      pkt->size = size;
      avcodec_send_packet(ctx, pkt);
      TakeFrames(ctx, frame, out);
    }
    if (flushing && size == 0) done = true;
  }
  avcodec_send_packet(ctx, nullptr);
  TakeFrames(ctx, frame, out);
  av_frame_free(&frame);
  av_packet_free(&pkt);
  av_parser_close(parser);
  avcodec_free_context(&ctx);
  return out;
}

namespace {

void Collect(CMpeg2Dec& dec, DecodeRun& run) {
  const CMpeg2Info& info = dec.Info();
  const Mpeg2Picture* pic = info.m_display_picture;
  const Mpeg2FrameBuffer* fb = info.m_display_fbuf;
  if (!pic || !fb || !info.m_sequence || (pic->flags & Mpeg2Picture::FLAG_SKIP)) return;
  const Mpeg2Sequence& s = *info.m_sequence;
  TestFrame f;
  f.width = static_cast<int>(s.picture_width);
  f.height = static_cast<int>(s.picture_height);
  f.codingType = static_cast<int>(pic->flags & Mpeg2Picture::CODING_TYPE_MASK);
  auto plane = [&](const uint8_t* src, int stride, int w, int h, std::vector<uint8_t>& dst) {
    dst.resize(static_cast<size_t>(w) * h);
    for (int r = 0; r < h; ++r) std::memcpy(&dst[static_cast<size_t>(r) * w], src + r * stride, w);
  };
  plane(fb->buf[0], static_cast<int>(s.width), f.width, f.height, f.y);
  plane(fb->buf[1], static_cast<int>(s.width / 2), (f.width + 1) / 2, (f.height + 1) / 2, f.u);
  plane(fb->buf[2], static_cast<int>(s.width / 2), (f.width + 1) / 2, (f.height + 1) / 2, f.v);
  run.frames.push_back(std::move(f));
}

void Drain(CMpeg2Dec& dec, DecodeRun& run) {
  // Every call either consumes input or changes state; the bound only turns
  // a parser bug into a test failure instead of a hang.
  for (int guard = 0; guard < 1000000; ++guard) {
    const int state = dec.Parse();
    if (state == CMpeg2Dec::STATE_BUFFER) return;
    run.states.push_back(state);
    if (state == CMpeg2Dec::STATE_INVALID) ++run.invalid;
    if (state == CMpeg2Dec::STATE_SLICE || state == CMpeg2Dec::STATE_END) Collect(dec, run);
  }
  throw std::runtime_error("parser does not ask for more input");
}

}  // namespace

DecodeRun OurDecode(const std::vector<uint8_t>& es, size_t maxPiece, uint32_t seed, bool flush) {
  CMpeg2Dec dec;
  DecodeRun run;
  std::mt19937 rng(seed);
  std::uniform_int_distribution<size_t> piece(1, std::max<size_t>(1, maxPiece));
  size_t pos = 0;
  while (pos < es.size()) {
    const size_t n = std::min(piece(rng), es.size() - pos);
    // A copy per piece lets AddressSanitizer see any read past the piece.
    std::vector<uint8_t> chunk(es.begin() + pos, es.begin() + pos + n);
    dec.SetBuffer(chunk.data(), chunk.data() + chunk.size());
    Drain(dec, run);
    pos += n;
  }
  if (flush) {
    dec.Flush();
    Drain(dec, run);
  }
  return run;
}

double Psnr(const TestFrame& a, const TestFrame& b) {
  if (a.width != b.width || a.height != b.height) return 0;
  double se = 0;
  size_t n = 0;
  auto add = [&](const std::vector<uint8_t>& x, const std::vector<uint8_t>& y) {
    for (size_t i = 0; i < x.size() && i < y.size(); ++i) {
      const double d = double(x[i]) - double(y[i]);
      se += d * d;
    }
    n += x.size();
  };
  add(a.y, b.y);
  add(a.u, b.u);
  add(a.v, b.v);
  if (se == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * double(n) / se);
}
