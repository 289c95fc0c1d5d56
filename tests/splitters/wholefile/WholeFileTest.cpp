// Splitters deliver the whole file also where recorders, muxers and joins
// write it in unusual ways: each file is read by its splitter alone and
// every output is compared with libavformat's packets (ffprobe's) of the
// file, or of the unchanged files it was made from.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "splitters/matroska/MatroskaSplitter.h"
#include "splitters/mpeg/MpegSplitter.h"
#include "splitters/realmedia/RealMediaSplitter.h"
#include "tests/splitters/SplitterGraph.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// EBML variable-length numbers, enough to walk a file's top of the tree.
size_t IdLength(BYTE b) { return b & 0x80 ? 1 : b & 0x40 ? 2 : b & 0x20 ? 3 : 4; }
size_t SizeLength(BYTE b) {
  size_t n = 1;
  while (n < 8 && !(b & (0x80 >> (n - 1)))) n++;
  return n;
}
uint64_t SizeValue(const Bytes& d, size_t p, size_t n) {
  uint64_t v = d[p] & (0xFF >> n);
  for (size_t i = 1; i < n; i++) v = v << 8 | d[p + i];
  return v;
}

// The Segment's and every Cluster's size field rewritten to "unknown" (all
// ones, the same width), as a recorder that cannot seek back writes them.
Bytes UnknownClusterSizes(Bytes d) {
  auto unknown = [&](size_t p, size_t n) {
    d[p] = static_cast<BYTE>((0x80 >> (n - 1)) | (0xFF >> n));
    std::fill(d.begin() + static_cast<ptrdiff_t>(p + 1), d.begin() + static_cast<ptrdiff_t>(p + n), BYTE(0xFF));
  };
  for (size_t p = 0; p + 12 < d.size();) {
    const size_t idLen = IdLength(d[p]), sizeLen = SizeLength(d[p + idLen]);
    const uint64_t size = SizeValue(d, p + idLen, sizeLen);
    const bool segment = idLen == 4 && d[p] == 0x18 && d[p + 1] == 0x53;
    const bool cluster = idLen == 4 && d[p] == 0x1F && d[p + 1] == 0x43;
    if (segment || cluster) unknown(p + idLen, sizeLen);
    // Into the Segment, over everything else.
    p += idLen + sizeLen + (segment ? 0 : size);
  }
  return d;
}

// The video track's Language element ("und", 7 bytes) replaced by a
// ContentEncodings element of one empty ContentEncoding of the same length.
Bytes EmptyContentEncoding(Bytes d) {
  const BYTE language[] = {0x22, 0xB5, 0x9C, 0x83, 'u', 'n', 'd'};
  const BYTE encodings[] = {0x6D, 0x80, 0x40, 0x03, 0x62, 0x40, 0x80};
  auto at = std::search(d.begin(), d.end(), std::begin(language), std::end(language));
  EXPECT_NE(at, d.end());
  if (at != d.end()) std::copy(std::begin(encodings), std::end(encodings), at);
  return d;
}

// A capture card's "TFrc" header in front of the transport stream.
Bytes TfrcHeader(Bytes d) {
  Bytes head(1660, 0);
  memcpy(head.data(), "TFrc", 4);
  d.insert(d.begin(), head.begin(), head.end());
  return d;
}

// 1000 bytes of something else, without a transport sync byte, in front.
Bytes LeadingGarbage(Bytes d) {
  Bytes head(1000);
  for (size_t i = 0; i < head.size(); i++) head[i] = static_cast<BYTE>(i * 7 + 1 == 0x47 ? 0x11 : i * 7 + 1);
  d.insert(d.begin(), head.begin(), head.end());
  return d;
}

// An empty ".SUB" chunk behind the last chunk of a RealMedia file.
Bytes EmptySubChunk(Bytes d) {
  const BYTE chunk[] = {'.', 'S', 'U', 'B', 0, 0, 0, 10, 0, 0};
  d.insert(d.end(), std::begin(chunk), std::end(chunk));
  return d;
}

enum class Kind { Matroska, Mpeg, RealMedia };

// What of an output is compared with the reference stream of its kind.
enum Match : unsigned {
  kBytes = 1,       // the same bytes in all
  kCount = 2,       // as many packets
  kSizes = 4,       // packet by packet the same sizes
  kOwnTimes = 8,    // packet by packet the same time (or the next frame's)
  kKnownTimes = 16, // every time stamp one of the reference's
  kLastTime = 32,   // the latest time stamp the reference's, within a frame
  kFrames = kBytes | kCount | kSizes | kOwnTimes,
};

struct Case {
  const char* name;
  Kind kind;
  std::vector<const char*> parts;  // samples joined byte for byte
  Bytes (*derive)(Bytes);          // null: as joined
  unsigned video, audio;           // Match flags
  int audioTrim = 0;  // header bytes the reference keeps in each audio packet
};

struct Ref {
  long long pts = LLONG_MIN, duration = 0;
  int size = 0;
};

// The reference of the joined parts: each part's packets (as ffprobe
// -show_packets lists them) with times that go on from where the part
// before ended, counted like the splitters count: from the first time
// stamp in the file (for Matroska the first cluster's: its first block's).
std::vector<Ref> Reference(const Case& c, AVMediaType type) {
  std::vector<Ref> out;
  long long base = 0;
  const AVRational hns = {1, 10000000};
  for (const char* part : c.parts) {
    const std::string path = TestDataPath(part);
    AVFormatContext* ctx = nullptr;
    EXPECT_EQ(avformat_open_input(&ctx, path.c_str(), nullptr, nullptr), 0) << path;
    if (!ctx) return out;
    avformat_find_stream_info(ctx, nullptr);
    AVPacket* pkt = av_packet_alloc();
    long long first = LLONG_MIN, firstPos = LLONG_MAX, last = LLONG_MIN;
    const size_t begin = out.size();
    while (av_read_frame(ctx, pkt) >= 0) {
      const AVStream* st = ctx->streams[pkt->stream_index];
      Ref r;
      r.size = pkt->size;
      r.duration = av_rescale_q(pkt->duration, st->time_base, hns);
      if (pkt->pts != AV_NOPTS_VALUE) {
        r.pts = av_rescale_q(pkt->pts, st->time_base, hns);
        if (pkt->pos >= 0 && pkt->pos < firstPos) firstPos = pkt->pos, first = r.pts;
        last = std::max(last, r.pts + r.duration);
      }
      if (st->codecpar->codec_type == type) out.push_back(r);
      av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&ctx);
    for (size_t i = begin; i < out.size(); i++)
      if (out[i].pts != LLONG_MIN) out[i].pts += base - first;
    base += last - first;
  }
  return out;
}

template <class Source>
void Check(const Case& c, const std::string& path) {
  splittertest::SourceGraph<Source> g(path);
  ASSERT_EQ(g.loaded, S_OK);
  g.RunToEnd();
  int checked = 0;
  for (int pin = 0; pin < g.OutputCount(); pin++) {
    const CMediaType mt = g.PinType(pin);
    const bool video = mt.majortype == MEDIATYPE_Video && mt.subtype != MEDIASUBTYPE_DVD_SUBPICTURE;
    if (!video && mt.majortype != MEDIATYPE_Audio) continue;
    SCOPED_TRACE(video ? "video" : "audio");
    const std::vector<Ref> ref = Reference(c, video ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO);
    const std::vector<toy::Received> ours = g.Samples(pin);
    const unsigned match = video ? c.video : c.audio;
    const long trim = video ? 0 : c.audioTrim;
    ASSERT_FALSE(ref.empty());
    checked++;

    long long ourBytes = 0, refBytes = 0;
    for (const auto& r : ours) ourBytes += r.length;
    for (const auto& p : ref) refBytes += p.size - trim;
    if (match & kBytes) {
      EXPECT_EQ(ourBytes, refBytes);
    }
    if (match & (kCount | kSizes | kOwnTimes)) {
      ASSERT_EQ(ours.size(), ref.size());
    }
    std::vector<long long> refTimes;
    for (const auto& p : ref)
      if (p.pts != LLONG_MIN) refTimes.push_back(p.pts);
    if (match & kLastTime) {
      long long last = LLONG_MIN;
      for (const auto& r : ours)
        if (r.timed) last = std::max<long long>(last, r.start);
      EXPECT_NEAR(last, *std::max_element(refTimes.begin(), refTimes.end()), 400000) << "the times go on to the end";
    }
    // Times within a millisecond; frames cut from a PES packet take its
    // time where they start or where they end.
    for (size_t i = 0; i < ours.size(); i++) {
      if ((match & kSizes)) {
        EXPECT_EQ(ours[i].length, ref[i].size - trim) << "packet " << i;
      }
      if ((match & kOwnTimes) && ours[i].timed && ref[i].pts != LLONG_MIN) {
        EXPECT_NEAR(ours[i].start, ref[i].pts, 10000 + ref[i].duration) << "packet " << i;
      }
      if ((match & kKnownTimes) && ours[i].timed) {
        const bool known = std::any_of(refTimes.begin(), refTimes.end(),
                                       [&](long long t) { return std::llabs(t - ours[i].start) <= 10000; });
        EXPECT_TRUE(known) << "packet " << i << " at " << ours[i].start << " has no time of the reference";
      }
    }
  }
  EXPECT_EQ(checked, 2) << "a video and an audio output";
}

TEST(WholeFile, EveryPacketOfTheFileIsDelivered) {
  if (!HaveFfprobe()) GTEST_SKIP() << "no ffprobe";
  // ADTS frames cut from the transport stream's PES packets take the
  // packet's time where one begins, which is not always the frame's own.
  const unsigned adts = kBytes | kSizes | kKnownTimes;
  const Case cases[] = {
      {"unknown-size clusters", Kind::Matroska, {"mkv-h264-aac.mkv"}, UnknownClusterSizes, kFrames, kFrames},
      {"empty content encoding", Kind::Matroska, {"mkv-h264-aac.mkv"}, EmptyContentEncoding, kFrames, kFrames},
      {"TFrc header", Kind::Mpeg, {"h264-aac.ts"}, TfrcHeader, kFrames, adts, 7},
      {"garbage in front", Kind::Mpeg, {"h264-aac.ts"}, LeadingGarbage, kFrames, adts, 7},
      {"H.264 program stream", Kind::Mpeg, {"ps-h264-noaud.mpg"}, nullptr, kBytes | kSizes | kKnownTimes,
       kBytes | kKnownTimes},
      {"MPEG-2.5 MP3 in TS", Kind::Mpeg, {"ts-mp3-mpeg25.ts"}, nullptr, kBytes | kKnownTimes,
       kBytes | kKnownTimes},
      {"two program streams", Kind::Mpeg, {"mpeg2-ps-mp2.mpg", "mpeg2-interlaced.mpg"}, nullptr,
       kBytes | kLastTime, kBytes},
      {"16 kHz MP2", Kind::Mpeg, {"ps-mp2-16k.mpg"}, nullptr, kBytes | kKnownTimes, kBytes | kKnownTimes},
      {"empty .SUB chunk", Kind::RealMedia, {"rm-rv20-ac3.rm"}, EmptySubChunk, kBytes, kBytes},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes;
    for (const char* part : c.parts) {
      const Bytes b = ReadAll(TestDataPath(part));
      bytes.insert(bytes.end(), b.begin(), b.end());
    }
    if (c.derive) bytes = c.derive(bytes);
    const std::string path = splittertest::WriteTemp("wholefile.bin", bytes);
    if (c.kind == Kind::Matroska) Check<CMatroskaSourceFilter>(c, path);
    if (c.kind == Kind::Mpeg) Check<CMpegSourceFilter>(c, path);
    if (c.kind == Kind::RealMedia) Check<CRealMediaSourceFilter>(c, path);
    remove(path.c_str());
  }
}

}  // namespace
