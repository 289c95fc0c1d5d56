// Splitters deliver the whole file also where recorders, muxers and joins
// write it in unusual ways: each file is read by its splitter alone and
// every output is compared with libavformat's packets (ffprobe's) of the
// file, or of the unchanged files it was made from.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "splitters/matroska/MatroskaSplitter.h"
#include "splitters/mpeg/MpegSplitter.h"
#include "splitters/realmedia/RealMediaSplitter.h"
#include "tests/splitters/SplitterGraph.h"

namespace {

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
  const char* file;                // the sample read
  std::vector<const char*> parts;  // the unchanged samples it was made of
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
    if (match & kBytes) { EXPECT_EQ(ourBytes, refBytes); }
    if (match & (kCount | kSizes | kOwnTimes)) { ASSERT_EQ(ours.size(), ref.size()); }
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
      if (match & kSizes) { EXPECT_EQ(ours[i].length, ref[i].size - trim) << "packet " << i; }
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
      {"unknown sizes", Kind::Matroska, "mkv-unknown-sizes.mkv", {"mkv-h264-aac.mkv"}, kFrames, kFrames},
      {"empty content encoding", Kind::Matroska, "mkv-empty-encoding.mkv", {"mkv-h264-aac.mkv"}, kFrames, kFrames},
      {"TFrc header", Kind::Mpeg, "ts-tfrc-header.ts", {"h264-aac.ts"}, kFrames, adts, 7},
      {"garbage in front", Kind::Mpeg, "ts-garbage-in-front.ts", {"h264-aac.ts"}, kFrames, adts, 7},
      {"H.264 program stream", Kind::Mpeg, "ps-h264-noaud.mpg", {"ps-h264-noaud.mpg"}, kBytes | kSizes | kKnownTimes,
       kBytes | kKnownTimes},
      {"MPEG-2.5 MP3 in TS", Kind::Mpeg, "ts-mp3-mpeg25.ts", {"ts-mp3-mpeg25.ts"}, kBytes | kKnownTimes,
       kBytes | kKnownTimes},
      {"16 kHz MP2", Kind::Mpeg, "ps-mp2-16k.mpg", {"ps-mp2-16k.mpg"}, kBytes | kKnownTimes, kBytes | kKnownTimes},
      {"empty .SUB chunk", Kind::RealMedia, "rm-empty-sub.rm", {"rm-rv20-ac3.rm"}, kBytes, kBytes},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = TestDataPath(c.file);
    if (c.kind == Kind::Matroska) Check<CMatroskaSourceFilter>(c, path);
    if (c.kind == Kind::Mpeg) Check<CMpegSourceFilter>(c, path);
    if (c.kind == Kind::RealMedia) Check<CRealMediaSourceFilter>(c, path);
  }
  // Two program streams joined byte for byte: the times go on at the join.
  std::ifstream a(TestDataPath("mpeg2-ps-mp2.mpg"), std::ios::binary), b(TestDataPath("mpeg2-interlaced.mpg"), std::ios::binary);
  std::vector<BYTE> joined(std::istreambuf_iterator<char>(a), {});
  joined.insert(joined.end(), std::istreambuf_iterator<char>(b), {});
  const std::string path = splittertest::WriteTemp("joined.mpg", joined);
  Check<CMpegSourceFilter>({"two program streams", Kind::Mpeg, nullptr, {"mpeg2-ps-mp2.mpg", "mpeg2-interlaced.mpg"},
                            kBytes | kLastTime, kBytes},
                           path);
  remove(path.c_str());
}

}  // namespace
