// The FLIC source on files of the tests' own writer, frame by frame against
// libavcodec's FLIC decoder.
#include <gtest/gtest.h>

#include <set>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "sources/flic/FLICSource.h"
#include "tests/sources/flic/FlicWriter.h"
#include "tests/splitters/SplitterGraph.h"

namespace {

using flictest::Bytes;
using flictest::Frame;

// Frames as 32-bit pixels, blue first; the fourth byte is left out.
std::vector<Bytes> DecodeWithLavc(const std::string& path) {
  std::vector<Bytes> out;
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return out;
  const AVCodec* codec = avcodec_find_decoder(fmt->streams[0]->codecpar->codec_id);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(ctx, fmt->streams[0]->codecpar);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  if (avcodec_open2(ctx, codec, nullptr) == 0) {
    auto drain = [&] {
      while (avcodec_receive_frame(ctx, frame) == 0) {
        Bytes rgb;
        const auto* pal = reinterpret_cast<const uint32_t*>(frame->data[1]);
        for (int y = 0; y < frame->height; y++)
          for (int x = 0; x < frame->width; x++) {
            const uint32_t c = pal[frame->data[0][y * frame->linesize[0] + x]];
            rgb.insert(rgb.end(), {uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16)});
          }
        out.push_back(std::move(rgb));
      }
    };
    while (av_read_frame(fmt, pkt) >= 0) {
      avcodec_send_packet(ctx, pkt);
      av_packet_unref(pkt);
      drain();
    }
    avcodec_send_packet(ctx, nullptr);
    drain();
  }
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
  avformat_close_input(&fmt);
  return out;
}

// The sources seek on their pin.
CComQIPtr<IMediaSeeking> PinSeeking(splittertest::SourceGraph<CFLICSource>& g) {
  return CComQIPtr<IMediaSeeking>(static_cast<IPin*>(g.filter->GetPin(0)));
}

void RunFrom(splittertest::SourceGraph<CFLICSource>& g, REFERENCE_TIME t) {
  g.sinks[0]->Clear();
  LONGLONG pos = t;
  ASSERT_EQ(PinSeeking(g)->SetPositions(&pos, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
  g.RunToEnd();
}

Bytes WithoutFourthByte(const Bytes& bgrx) {
  Bytes rgb;
  for (size_t i = 0; i + 4 <= bgrx.size(); i += 4) rgb.insert(rgb.end(), {bgrx[i], bgrx[i + 1], bgrx[i + 2]});
  return rgb;
}

Bytes Gradient(int shift) {
  Bytes p;
  for (int i = 0; i < 256; i++) p.insert(p.end(), {uint8_t(i), uint8_t(255 - i), uint8_t((i * 7 + shift) & 0xFF)});
  return p;
}

// A square moving over a striped background, with a palette change, a
// stored (or run-coded) frame and a black frame on the way.
std::vector<Frame> Animation(int w, int h, int count) {
  std::vector<Frame> frames;
  for (int f = 0; f < count; f++) {
    Frame fr;
    fr.pixels.resize(size_t(w) * h);
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++) {
        const bool square = x >= 3 * f && x < 3 * f + 12 && y >= 2 * f && y < 2 * f + 10;
        fr.pixels[size_t(y) * w + x] = square ? uint8_t(200 + f) : uint8_t((x / 4 + y / 3) % 40);
      }
    if (f == 0) fr.palette = Gradient(0);
    if (f == 4) fr.palette = Gradient(90);
    // libavcodec takes stored frames only of widths that are multiples of 4.
    if (f == 5) fr.kind = w % 4 ? Frame::kRun : Frame::kCopy;
    if (f == 6) {
      fr.kind = Frame::kBlack;
      fr.pixels.assign(fr.pixels.size(), 0);
    }
    frames.push_back(std::move(fr));
  }
  return frames;
}

// Frame n as the writer was given it, through the palette in force (in an
// FLI file stored with 6 bits and widened again).
Bytes Truth(const std::vector<Frame>& frames, int n, bool sixBit) {
  Bytes palette;
  for (int f = 0; f <= n; f++)
    if (!frames[size_t(f)].palette.empty()) palette = frames[size_t(f)].palette;
  if (sixBit)
    for (uint8_t& v : palette) v = uint8_t((v >> 2) << 2 | v >> 6);
  Bytes rgb;
  for (uint8_t i : frames[size_t(n)].pixels) rgb.insert(rgb.end(), {palette[3 * i + 2], palette[3 * i + 1], palette[3 * i]});
  return rgb;
}

// The pixels of 3-byte rows without their last column when `dropLast`.
Bytes LeftColumns(const Bytes& rgb, int width, bool dropLast) {
  if (!dropLast) return rgb;
  Bytes out;
  for (size_t at = 0; at + 3 * width <= rgb.size(); at += 3 * width)
    out.insert(out.end(), rgb.begin() + long(at), rgb.begin() + long(at + 3 * (width - 1)));
  return out;
}

struct FileCase {
  const char* name;
  int width, height;
  flictest::Options options;
};

class FlicFiles : public testing::TestWithParam<FileCase> {};

// Every frame (deltas, runs, copies, black frames, palettes of 64 and 256
// levels, odd widths) as libavcodec decodes it; the ring frame is not
// played.
TEST_P(FlicFiles, FramesMatchLibavcodec) {
  const FileCase& c = GetParam();
  const int count = 9;
  const std::vector<Frame> frames = Animation(c.width, c.height, count);
  const bool oddFlc = c.options.flc && c.width % 2;
  const std::string path = splittertest::WriteTemp(c.name, flictest::Write(c.width, c.height, frames, c.options));
  const std::vector<Bytes> ref = DecodeWithLavc(path);
  ASSERT_GE(ref.size(), size_t(count));

  splittertest::SourceGraph<CFLICSource> g(path);
  ASSERT_EQ(g.loaded, S_OK);
  const CMediaType mt = g.PinType(0);
  ASSERT_EQ(mt.subtype, MEDIASUBTYPE_RGB32);
  const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(mt.Format());
  EXPECT_EQ(vih->bmiHeader.biWidth, c.width);
  EXPECT_EQ(vih->bmiHeader.biHeight, -c.height);
  const int speed = std::max(c.options.speed, 1);
  const REFERENCE_TIME frameTime = c.options.flc ? speed * 10000 : speed * 10000000LL / 70;
  EXPECT_EQ(vih->AvgTimePerFrame, frameTime);
  LONGLONG duration = 0;
  EXPECT_EQ(PinSeeking(g)->GetDuration(&duration), S_OK);
  EXPECT_EQ(duration, count * frameTime);

  g.RunToEnd();
  const auto samples = g.Samples(0);
  ASSERT_EQ(samples.size(), size_t(count));
  for (int i = 0; i < count; i++) {
    EXPECT_EQ(samples[size_t(i)].start, i * frameTime);
    const Bytes ours = WithoutFourthByte(samples[size_t(i)].data);
    EXPECT_TRUE(ours == Truth(frames, i, !c.options.flc)) << "frame " << i;
    // libavcodec puts the last pixel of an odd FLC line (its own opcode)
    // past the picture, so that column is left to the check above.
    EXPECT_TRUE(LeftColumns(ours, c.width, oddFlc) == LeftColumns(ref[size_t(i)], c.width, oddFlc)) << "frame " << i;
  }

  // Back to frame 7 after the end: it follows the stored frame 5.
  RunFrom(g, 7 * frameTime + 1);
  const auto again = g.Samples(0);
  ASSERT_EQ(again.size(), 2u);
  EXPECT_TRUE(again[0].discontinuity);
  EXPECT_TRUE(WithoutFourthByte(again[0].data) == Truth(frames, 7, !c.options.flc));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FlicFiles,
    testing::Values(FileCase{"even.flc", 64, 48, {true, 40, true, false}},
                    FileCase{"odd.flc", 65, 41, {true, 0, false, true}},
                    FileCase{"odd.fli", 63, 47, {false, 5, true, true}}),
    [](const auto& info) {
      std::string n = info.param.name;
      for (char& ch : n)
        if (ch == '.') ch = '_';
      return n;
    });

// Seeking back restarts from the last full frame: the frames between the
// start and it are not decoded again, only their colour chunks replayed.
TEST(FlicDecoder, SeekingBackStartsAtTheLastFullFrame) {
  const Bytes file = flictest::Write(64, 48, Animation(64, 48, 9));
  std::set<LONGLONG> reads;
  CFLICDecoder d;
  auto read = [&](LONGLONG at, void* buffer, LONG n) -> LONG {
    reads.insert(at);
    if (at < 0 || at >= LONGLONG(file.size())) return 0;
    const LONG k = std::min<LONG>(n, LONG(file.size() - at));
    std::memcpy(buffer, file.data() + at, size_t(k));
    return k;
  };
  ASSERT_TRUE(d.Open(read, LONGLONG(file.size())));
  EXPECT_TRUE(d.IsFullFrame(0) && d.IsFullFrame(5) && d.IsFullFrame(6) && !d.IsFullFrame(7));
  ASSERT_TRUE(d.Decode(8));
  const Bytes at8(d.Pixels(), d.Pixels() + 64 * 48);
  reads.clear();
  ASSERT_TRUE(d.Decode(7));
  // Frames 6 (black, full) and 7 only, plus frames 0 and 4 for their palettes.
  EXPECT_EQ(reads.size(), 4u);
  ASSERT_TRUE(d.Decode(8));
  EXPECT_TRUE(Bytes(d.Pixels(), d.Pixels() + 64 * 48) == at8);
  EXPECT_FALSE(d.Decode(9));
}

// Damaged files load cleanly or not at all, and play to their end without
// a write outside the frame (the sanitizers watch) and without hanging.
TEST(FlicSource, DamagedFiles) {
  const Bytes good = flictest::Write(32, 24, Animation(32, 24, 6), {true, 10, false, false});
  const size_t frame1 = 128 + (good[128] | good[129] << 8 | good[130] << 16);
  const struct {
    const char* what;
    size_t at;      // where the damage goes
    Bytes bytes;    // written there
    size_t keep;    // the file is cut here (0: whole)
    int frames;     // played; -1: the load fails
  } cases[] = {
      {"depth 16", 12, {16, 0}, 0, -1},
      {"not a FLIC", 4, {0x34, 0x12}, 0, -1},
      {"header only", 0, {}, 128, -1},
      {"frame chunk of size 0", frame1, {0, 0, 0, 0}, 0, 1},
      {"last frame cut short", 0, {}, good.size() - 5, 5},
      {"sub-chunk of size 0", frame1 + 16, {0, 0, 0, 0}, 0, 6},
      {"sub-chunk larger than its frame", frame1 + 16, {0xFF, 0xFF, 0xFF, 0x7F}, 0, 6},
      {"byte run past the picture", 128 + 16 + 778 + 6 + 1, {0x7F, 0xFF, 0x7F, 0xFF, 0x7F}, 0, 6},
      {"word delta skipping past the last line", frame1 + 16 + 6, {1, 0, 0x00, 0xC0, 1, 0}, 0, 6},
      {"word delta with a long literal", frame1 + 16 + 6, {1, 0, 1, 0, 0, 0x7F}, 0, 6},
      {"palette of many packets", 128 + 16 + 6, {0xFF, 0xFF}, 0, 6},
      {"width 0", 8, {0, 0}, 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes file = good;
    if (c.keep) file.resize(c.keep);
    for (size_t i = 0; i < c.bytes.size() && c.at + i < file.size(); i++) file[c.at + i] = c.bytes[i];
    splittertest::SourceGraph<CFLICSource> g(splittertest::WriteTemp("damaged.flc", file));
    if (c.frames < 0) {
      EXPECT_EQ(g.loaded, E_FAIL);
      continue;
    }
    ASSERT_EQ(g.loaded, S_OK);
    g.RunToEnd();
    EXPECT_EQ(g.Samples(0).size(), size_t(c.frames));
  }
}

}  // namespace
