// The Matroska splitter in a filter graph, each output into a recording
// sink: pins, types and names; packet payloads, times and key frames
// against libavformat reading the same file; seeking; track information,
// key frames, properties, attachments and chapters; files it refuses or
// that are damaged; the delivery rules on hand-built files.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <map>
#include <random>

extern "C" {
#include <libavformat/avformat.h>
}

#include "foundation/FilterHelpers.h"
#include "platform/dshow/DShowRegister.h"
#include "splitters/matroska/MatroskaMediaTypes.h"
#include "splitters/matroska/MatroskaSplitter.h"
#include "tests/foundation/FfprobeInfo.h"
#include "tests/foundation/MemAsyncReader.h"
#include "tests/foundation/SplitterGraph.h"
#include "tests/foundation/ToyFilters.h"
#include "tests/splitters/matroska/EbmlWriter.h"

using namespace MatroskaReader;
using ebml::Bytes;

namespace {

constexpr DWORD Fcc(const char (&s)[5]) { return MAKEFOURCC(s[0], s[1], s[2], s[3]); }

// One packet as libavformat reads it, times in 100 ns.
struct RefPacket {
  int64_t start = 0;
  bool key = false;
  int64_t duration = 0;
  std::vector<BYTE> data;
};

// The packets of every stream that has any, by stream index.
std::map<int, std::vector<RefPacket>> ReadWithLibavformat(const std::string& path) {
  std::map<int, std::vector<RefPacket>> out;
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return out;
  AVPacket* pkt = av_packet_alloc();
  while (av_read_frame(fmt, pkt) >= 0) {
    const AVStream* st = fmt->streams[pkt->stream_index];
    RefPacket r;
    r.start = av_rescale_q(pkt->pts, st->time_base, AVRational{1, 10000000});
    r.duration = av_rescale_q(pkt->duration, st->time_base, AVRational{1, 10000000});
    r.key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
    r.data.assign(pkt->data, pkt->data + pkt->size);
    out[pkt->stream_index].push_back(std::move(r));
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  avformat_close_input(&fmt);
  return out;
}

// The command line is passed to the shell as it stands.
bool RunCommand(const std::string& cmd) { return system(cmd.c_str()) == 0; }

std::string TempPath(const std::string& name) { return testing::TempDir() + "matroska-" + name; }

using Graph = SplitterGraph<CMatroskaSourceFilter>;

// ---------------------------------------------------------------------------
// Pins and types

struct PinExpect {
  const wchar_t* name;
  GUID subtype;
  GUID formattype;
  int types;  // how many types the pin offers
};

struct FileExpect {
  const char* file;
  std::vector<PinExpect> pins;
};

TEST(MatroskaSplitter, PinsTypesAndNames) {
  const GUID avc1 = FourCCGuid(Fcc("AVC1")), mp4v = FourCCGuid(Fcc("MP4V")), mp42 = FourCCGuid(Fcc("MP42"));
  const FileExpect files[] = {
      {"mkv-h264-aac.mkv",
       {{L"Undetermined (Video 1)", avc1, FORMAT_MPEG2Video, 1},
        {L"German, Commentary (Audio 1)", FourCCGuid(0x00FF), FORMAT_WaveFormatEx, 1}}},
      {"mkv-mpeg4-vorbis.mkv",
       {{L"Undetermined (Video 1)", mp4v, FORMAT_MPEG2Video, 1},
        {L"Undetermined (Audio 1)", MEDIASUBTYPE_Vorbis2, FORMAT_VorbisFormat2, 2}}},
      // ffmpeg writes MPEG-2 without its sequence header as private data:
      // the type comes from the first frame.
      {"mkv-video-codecs.mkv",
       {{L"Undetermined (Video 1)", MEDIASUBTYPE_MPEG2_VIDEO, FORMAT_MPEG2Video, 1},
        {L"Undetermined (Video 2)", mp42, FORMAT_VideoInfo, 1}}},
      {"mkv-audio-codecs.mkv",
       {{L"Undetermined (Audio 1)", FourCCGuid(0x0055), FORMAT_WaveFormatEx, 1},
        {L"Undetermined (Audio 2)", FourCCGuid(0x0050), FORMAT_WaveFormatEx, 1},
        {L"Undetermined (Audio 3)", FourCCGuid(0x2000), FORMAT_WaveFormatEx, 1},
        {L"Undetermined (Audio 4)", FourCCGuid(0x2001), FORMAT_WaveFormatEx, 1},
        {L"Undetermined (Audio 5)", FourCCGuid(0x0001), FORMAT_WaveFormatEx, 1},
        {L"Undetermined (Audio 6)", FourCCGuid(0x0003), FORMAT_WaveFormatEx, 1},
        {L"Undetermined (Audio 7)", FourCCGuid(0x00FF), FORMAT_WaveFormatEx, 1},
        {L"Undetermined (Audio 8)", MEDIASUBTYPE_FLAC_FRAMED, FORMAT_WaveFormatEx, 2},
        {L"Undetermined (Audio 9)", FourCCGuid(0x5756), FORMAT_WaveFormatEx, 1},
        {L"Undetermined (Audio 10)", FourCCGuid(0x77A1), FORMAT_WaveFormatEx, 1},
        {L"Undetermined (Audio 11)", FourCCGuid(0x0002), FORMAT_WaveFormatEx, 1},
        {L"French (Subtitle 1)", MEDIASUBTYPE_UTF8, FORMAT_SubtitleInfo, 1},
        {L"Undetermined (Subtitle 2)", MEDIASUBTYPE_ASS, FORMAT_SubtitleInfo, 1}}},
  };
  for (const FileExpect& f : files) {
    SCOPED_TRACE(f.file);
    Graph g(TestDataPath(f.file));
    ASSERT_EQ(g.loaded, S_OK);
    ASSERT_EQ(g.splitter->GetPinCount(), static_cast<int>(f.pins.size()));
    for (size_t i = 0; i < f.pins.size(); i++) {
      SCOPED_TRACE(i);
      const PinExpect& e = f.pins[i];
      EXPECT_EQ(g.PinName(static_cast<int>(i)), e.name);
      const CMediaType mt = g.PinType(static_cast<int>(i));
      EXPECT_EQ(mt.subtype, e.subtype);
      EXPECT_EQ(mt.formattype, e.formattype);
      CMediaType more;
      EXPECT_EQ(g.Pin(static_cast<int>(i))->GetMediaType(e.types, &more), VFW_S_NO_MORE_ITEMS);
    }
  }
  // The source form has no input pin; the splitter form has one.
  HRESULT hr = S_OK;
  CComPtr<IBaseFilter> splitter = toy::Hold(new CMatroskaSplitterFilter(nullptr, &hr));
  EXPECT_NE(GetFirstPinByDirection(splitter, PINDIR_INPUT), nullptr);
  EXPECT_EQ(GetFilterClsid(splitter), CLSID_MatroskaSplitterFilter);
}

TEST(MatroskaSplitter, FormatBlocksCarryTheTrackHeaders) {
  {
    Graph g(TestDataPath("mkv-h264-aac.mkv"));
    ASSERT_EQ(g.loaded, S_OK);
    const CMediaType v = g.PinType(0);
    const auto* m2 = reinterpret_cast<const MPEG2VIDEOINFO*>(v.pbFormat);
    EXPECT_EQ(m2->hdr.bmiHeader.biWidth, 176);
    EXPECT_EQ(m2->hdr.bmiHeader.biHeight, 144);
    EXPECT_EQ(m2->dwFlags, 4u) << "4-byte NAL lengths";
    ASSERT_GT(m2->cbSequenceHeader, 4u);
    const BYTE* sets = reinterpret_cast<const BYTE*>(m2->dwSequenceHeader);
    EXPECT_EQ(sets[2] & 0x1F, 7) << "the sequence parameter set first, behind its 2-byte length";
    EXPECT_EQ(m2->hdr.AvgTimePerFrame, 400000) << "from the default duration";
    const CMediaType a = g.PinType(1);
    const auto* wfe = reinterpret_cast<const WAVEFORMATEX*>(a.pbFormat);
    EXPECT_EQ(wfe->nSamplesPerSec, 44100u);
    EXPECT_EQ(wfe->nChannels, 2);
    EXPECT_GE(wfe->cbSize, 2) << "the AudioSpecificConfig";
    EXPECT_EQ(wfe->cbSize, a.cbFormat - sizeof(WAVEFORMATEX));
  }
  {
    Graph g(TestDataPath("mkv-mpeg4-vorbis.mkv"));
    ASSERT_EQ(g.loaded, S_OK);
    const CMediaType v = g.PinType(0);
    const auto* m2 = reinterpret_cast<const MPEG2VIDEOINFO*>(v.pbFormat);
    EXPECT_EQ(m2->hdr.dwPictAspectRatioX * 9, m2->hdr.dwPictAspectRatioY * 16) << "the display size";
    EXPECT_EQ(m2->hdr.AvgTimePerFrame, 400000);
    const CMediaType a = g.PinType(1);
    const DWORD* fields = reinterpret_cast<const DWORD*>(a.pbFormat);
    EXPECT_EQ(fields[0], 2u);
    EXPECT_EQ(fields[1], 44100u);
    EXPECT_EQ(a.cbFormat, 24 + fields[3] + fields[4] + fields[5]) << "the three Vorbis headers";
  }
  {
    Graph g(TestDataPath("mkv-audio-codecs.mkv"));
    ASSERT_EQ(g.loaded, S_OK);
    const CMediaType s = g.PinType(11);
    const auto* si = reinterpret_cast<const SUBTITLEINFO*>(s.pbFormat);
    EXPECT_EQ(si->dwOffset, 520u);
    EXPECT_STREQ(si->IsoLang, "fre");
  }
}

// ---------------------------------------------------------------------------
// Packets against libavformat

// Each output's packets are libavformat's packets of its stream: the same
// payloads, key-frame flags and start times, ours counted from the first
// cluster (one offset for the whole file).
void ComparePackets(Graph& g, const std::map<int, std::vector<RefPacket>>& ref, bool subtitleStops) {
  ASSERT_FALSE(ref.empty());
  bool haveOffset = false;
  REFERENCE_TIME offset = 0;
  for (int i = 0; i < g.splitter->GetPinCount(); i++) {
    SCOPED_TRACE(i);
    const auto it = ref.find(i);
    ASSERT_NE(it, ref.end());
    const std::vector<RefPacket>& theirs = it->second;
    const std::vector<toy::Received> ours = g.sinks[static_cast<size_t>(i)]->Samples();
    ASSERT_EQ(ours.size(), theirs.size());
    const CMediaType mt = g.PinType(i);
    const bool subtitle = mt.majortype == MEDIATYPE_Subtitle;
    // libavformat puts back the first 20 bytes of each WavPack block header,
    // which Matroska leaves out.
    const size_t skip = mt.subtype == FourCCGuid(0x5756) ? 20 : 0;
    for (size_t k = 0; k < ours.size(); k++) {
      SCOPED_TRACE(k);
      ASSERT_TRUE(ours[k].timed);
      if (!haveOffset) {
        offset = theirs[k].start - ours[k].start;
        haveOffset = true;
      }
      EXPECT_EQ(ours[k].start + offset, theirs[k].start);
      EXPECT_EQ(ours[k].sync, theirs[k].key);
      ASSERT_GE(theirs[k].data.size(), skip);
      EXPECT_EQ(ours[k].data, std::vector<BYTE>(theirs[k].data.begin() + static_cast<std::ptrdiff_t>(skip), theirs[k].data.end()));
      if (subtitle && subtitleStops) {
        EXPECT_EQ(ours[k].stop + offset, theirs[k].start + theirs[k].duration);
      }
    }
  }
}

TEST(MatroskaSplitter, PacketsMatchLibavformat) {
  for (const char* name :
       {"mkv-h264-aac.mkv", "mkv-h264-vorbis.mkv", "mkv-mpeg4-vorbis.mkv", "mkv-video-codecs.mkv", "mkv-audio-codecs.mkv"}) {
    SCOPED_TRACE(name);
    const std::string path = TestDataPath(name);
    const auto ref = ReadWithLibavformat(path);
    Graph g(path);
    ASSERT_EQ(g.loaded, S_OK);
    g.RunToEnd();
    ComparePackets(g, ref, true);
  }
}

TEST(MatroskaSplitter, ACueLessFileWrittenToAPipeIsIndexedBeforeStreaming) {
  const std::string path = TempPath("pipe.mkv");
  ASSERT_TRUE(RunCommand("ffmpeg -v error -nostdin -y -i '" + TestDataPath("mkv-h264-aac.mkv") +
                         "' -map 0 -c copy -f matroska - | cat > '" + path + "'"));
  const auto ref = ReadWithLibavformat(path);
  Graph g(path);
  ASSERT_EQ(g.loaded, S_OK);
  CComQIPtr<IKeyFrameInfo> keys(g.hold);
  UINT count = 99;
  ASSERT_EQ(keys->KeyFrameCount(count), S_OK);
  EXPECT_EQ(count, 0u) << "the file has no cue index of its own";
  g.RunToEnd();
  ComparePackets(g, ref, true);
  ASSERT_EQ(keys->KeyFrameCount(count), S_OK);
  EXPECT_GE(count, 1u) << "one cue point per cluster after the scan";

  // Seeking goes through the scanned index: the key frame at 1 s starts
  // the video of a seek to 1.5 s.
  g.Seek(15000000);
  g.RunToEnd();
  auto video = g.sinks[0]->Samples();
  ASSERT_FALSE(video.empty());
  EXPECT_EQ(video[0].start, 10000000 - 15000000);
  EXPECT_TRUE(video[0].sync);
  remove(path.c_str());
}

TEST(MatroskaSplitter, VorbisHeadersComeFirstWhenTheDecoderWantsThemAsPackets) {
  const std::string path = TestDataPath("mkv-mpeg4-vorbis.mkv");
  const auto ref = ReadWithLibavformat(path);
  Graph g(path, {{1, 1}});
  ASSERT_EQ(g.loaded, S_OK);
  ASSERT_EQ(g.PinType(1).subtype, MEDIASUBTYPE_Vorbis);
  g.RunToEnd();
  const auto audio = g.sinks[1]->Samples();
  const auto& theirs = ref.at(1);
  ASSERT_EQ(audio.size(), theirs.size() + 3);
  const BYTE kinds[3] = {1, 3, 5};
  for (int i = 0; i < 3; i++) {
    ASSERT_FALSE(audio[static_cast<size_t>(i)].data.empty());
    EXPECT_EQ(audio[static_cast<size_t>(i)].data[0], kinds[i]) << "identification, comment, setup";
    EXPECT_EQ(audio[static_cast<size_t>(i)].start, 0);
    EXPECT_EQ(audio[static_cast<size_t>(i)].stop, 1);
  }
  EXPECT_EQ(audio[3].data, theirs[0].data);
}

// ---------------------------------------------------------------------------
// Information interfaces, properties, attachments, chapters

TEST(MatroskaSplitter, TrackInfoAndKeyFramesFromTheCues) {
  const std::string path = TestDataPath("mkv-h264-aac.mkv");
  Graph g(path);
  ASSERT_EQ(g.loaded, S_OK);
  CComQIPtr<IMediaSeeking> seeking(g.hold);
  LONGLONG duration = 0;
  ASSERT_EQ(seeking->GetDuration(&duration), S_OK);
  EXPECT_EQ(duration, 20230000) << "the segment's duration";
  CComQIPtr<ITrackInfo> info(g.hold);
  ASSERT_TRUE(info);
  ASSERT_EQ(info->GetTrackCount(), 2u);
  TrackElement te{};
  te.Size = sizeof te;
  ASSERT_TRUE(info->GetTrackInfo(1, &te));
  EXPECT_EQ(te.Size, sizeof te);
  EXPECT_EQ(te.Type, 2);
  EXPECT_STREQ(te.Language, "ger");
  TrackExtendedInfoAudio ta{};
  ASSERT_TRUE(info->GetTrackExtendedInfo(1, &ta));
  const float rate = ta.SamplingFreq;
  const UINT channels = ta.Channels;
  EXPECT_EQ(rate, 44100.0f);
  EXPECT_EQ(channels, 2u);
  TrackExtendedInfoVideo tv{};
  ASSERT_TRUE(info->GetTrackExtendedInfo(0, &tv));
  const UINT width = tv.PixelWidth, height = tv.PixelHeight;
  EXPECT_EQ(width, 176u);
  EXPECT_EQ(height, 144u);
  BSTR codec = info->GetTrackCodecID(0);
  ASSERT_NE(codec, nullptr);
  EXPECT_STREQ(codec, L"V_MPEG4/ISO/AVC");
  SysFreeString(codec);
  BSTR name = info->GetTrackName(1);
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, L"Commentary");
  SysFreeString(name);
  EXPECT_FALSE(info->GetTrackInfo(2, &te));
  EXPECT_EQ(info->GetTrackCodecID(2), nullptr);

  // The cue points are libavformat's index of the video stream (which it
  // reads from the cues behind the clusters on its first seek).
  AVFormatContext* fmt = nullptr;
  ASSERT_GE(avformat_open_input(&fmt, path.c_str(), nullptr, nullptr), 0);
  ASSERT_GE(av_seek_frame(fmt, 0, 0, AVSEEK_FLAG_BACKWARD), 0);
  AVStream* st = fmt->streams[0];
  const int entries = avformat_index_get_entries_count(st);
  std::vector<REFERENCE_TIME> theirs;
  for (int i = 0; i < entries; i++)
    theirs.push_back(av_rescale_q(avformat_index_get_entry(st, i)->timestamp, st->time_base, AVRational{1, 10000000}));
  avformat_close_input(&fmt);

  CComQIPtr<IKeyFrameInfo> keys(g.hold);
  UINT count = 0;
  ASSERT_EQ(keys->KeyFrameCount(count), S_OK);
  ASSERT_EQ(count, theirs.size());
  std::vector<REFERENCE_TIME> ours(count + 4);
  UINT room = static_cast<UINT>(ours.size());
  EXPECT_EQ(keys->GetKeyFrames(&TIME_FORMAT_MEDIA_TIME, ours.data(), room), S_OK);
  ASSERT_EQ(room, count);
  ours.resize(room);
  EXPECT_EQ(ours, theirs);
  room = 1;
  EXPECT_EQ(keys->GetKeyFrames(&TIME_FORMAT_MEDIA_TIME, ours.data(), room), S_OK);
  EXPECT_EQ(room, 1u);
  EXPECT_EQ(keys->GetKeyFrames(&TIME_FORMAT_FRAME, ours.data(), room), E_INVALIDARG);
  EXPECT_EQ(keys->GetKeyFrames(nullptr, ours.data(), room), E_POINTER);
}

TEST(MatroskaSplitter, PropertiesAttachmentsAndChapters) {
  {
    Graph g(TestDataPath("mkv-h264-aac.mkv"));
    ASSERT_EQ(g.loaded, S_OK);
    CComQIPtr<IDSMPropertyBag> bag(g.Pin(1));
    ASSERT_TRUE(bag);
    BSTR v = nullptr;
    ASSERT_EQ(bag->GetProperty(L"NAME", &v), S_OK);
    EXPECT_STREQ(v, L"Commentary");
    SysFreeString(v);
    ASSERT_EQ(bag->GetProperty(L"LANG", &v), S_OK);
    EXPECT_STREQ(v, L"ger");
    SysFreeString(v);
  }
  {
    // Chapter times count from the first cluster, as packet times do.
    const std::string path = TestDataPath("mkv-mpeg4-vorbis.mkv");
    const auto ref = ReadWithLibavformat(path);
    Graph g(path);
    ASSERT_EQ(g.loaded, S_OK);
    g.RunToEnd();
    const auto video = g.sinks[0]->Samples();
    ASSERT_FALSE(video.empty());
    const REFERENCE_TIME offset = ref.at(0).at(0).start - video[0].start;
    CComQIPtr<IAMMediaContent> content(g.hold);
    BSTR title = nullptr;
    ASSERT_EQ(content->get_Title(&title), S_OK);
    EXPECT_STREQ(title, L"Test Card");
    SysFreeString(title);
    CComQIPtr<IDSMChapterBag> chapters(g.hold);
    ASSERT_EQ(chapters->GetChapterCount(), 2u);
    const wchar_t* names[] = {L"Opening", L"Closing"};
    for (DWORD i = 0; i < 2; i++) {
      REFERENCE_TIME start = -1;
      BSTR name = nullptr;
      ASSERT_EQ(chapters->GetChapter(i, &start, &name), S_OK);
      EXPECT_EQ(start + offset, static_cast<REFERENCE_TIME>(i) * 10000000);
      EXPECT_STREQ(name, names[i]);
      SysFreeString(name);
    }
  }
  {
    Graph g(TestDataPath("mkv-audio-codecs.mkv"));
    ASSERT_EQ(g.loaded, S_OK);
    CComQIPtr<IDSMResourceBag> resources(g.hold);
    ASSERT_EQ(resources->GetResourceCount(), 1u);
    BSTR name = nullptr, desc = nullptr, mime = nullptr;
    BYTE* data = nullptr;
    DWORD length = 0;
    DWORD_PTR tag = 1;
    ASSERT_EQ(resources->GetResource(0, &name, &desc, &mime, &data, &length, &tag), S_OK);
    EXPECT_STREQ(name, L"tiny.ttf");
    EXPECT_STREQ(mime, L"application/x-truetype-font");
    EXPECT_EQ(length, 1024u);
    EXPECT_EQ(std::count(data, data + length, 'F'), 1024);
    EXPECT_EQ(tag, 0u);
    SysFreeString(name);
    SysFreeString(desc);
    SysFreeString(mime);
    CoTaskMemFree(data);
  }
}

// ---------------------------------------------------------------------------
// Refused and damaged files

TEST(MatroskaSplitter, RefusedFilesAndUnreadCodecs) {
  const std::string webm = TempPath("audio.webm");
  ASSERT_TRUE(RunCommand("ffmpeg -v error -nostdin -y -i '" + TestDataPath("mkv-mpeg4-vorbis.mkv") +
                         "' -map 0:a -c copy -f webm '" + webm + "'"));
  const std::string raw = TempPath("uncompressed.mkv");
  ASSERT_TRUE(ebml::WriteFile(
      raw, ebml::Cat({ebml::Header(), ebml::Segment(ebml::Cat(
                                          {ebml::Info(), ebml::Tracks({{1, 1, "V_UNCOMPRESSED", {}, ebml::VideoSize(8, 8)}}),
                                           ebml::Cluster(0, ebml::SimpleBlock(1, 0, true, Bytes(96, 0)))}))})));
  const std::string unknown = TempPath("unknown-codec.mkv");
  ASSERT_TRUE(ebml::WriteFile(
      unknown, ebml::Cat({ebml::Header(),
                          ebml::Segment(ebml::Cat({ebml::Info(), ebml::Tracks({{1, 2, "A_NOSUCH", {}, {}}}),
                                                   ebml::Cluster(0, ebml::SimpleBlock(1, 0, true, Bytes(9, 0)))}))})));
  {
    Graph g(webm);
    EXPECT_EQ(g.loaded, E_FAIL);
  }
  // A track of a codec nothing reads keeps its pin, named by its codec, so
  // that a job can say what it cannot convert.
  for (const auto& [path, codec] : {std::pair{raw, "V_UNCOMPRESSED"}, {unknown, "A_NOSUCH"}}) {
    SCOPED_TRACE(path);
    Graph g(path);
    ASSERT_EQ(g.loaded, S_OK);
    EXPECT_EQ(UnreadCodecName(g.PinType(0)), codec);
    remove(path.c_str());
  }
  remove(webm.c_str());
}

TEST(MatroskaSplitter, TruncatedDamagedAndRandomFilesEndCleanly) {
  const auto bytes = MemAsyncReader::LoadFile(TestDataPath("mkv-h264-aac.mkv"));
  const auto codecs = MemAsyncReader::LoadFile(TestDataPath("mkv-audio-codecs.mkv"));
  std::mt19937 rng(25);
  std::vector<std::vector<BYTE>> inputs;
  inputs.emplace_back(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 3));
  inputs.emplace_back(codecs.begin(), codecs.begin() + static_cast<std::ptrdiff_t>(codecs.size() / 2 + 77));
  std::vector<BYTE> damaged = bytes;
  for (size_t i = damaged.size() / 4; i < damaged.size() / 2; i++) damaged[i] = static_cast<BYTE>(rng());
  inputs.push_back(damaged);
  // Scattered single-byte damage all through, headers included.
  for (int round = 0; round < 4; round++) {
    std::vector<BYTE> flipped = round % 2 ? codecs : bytes;
    for (int i = 0; i < 40; i++) flipped[rng() % flipped.size()] ^= static_cast<BYTE>(1 + rng() % 255);
    inputs.push_back(flipped);
  }
  std::vector<BYTE> random(100000);
  for (auto& b : random) b = static_cast<BYTE>(rng());
  random[0] = 0x1A, random[1] = 0x45, random[2] = 0xDF, random[3] = 0xA3;
  inputs.push_back(random);

  const std::string path = TempPath("bad.mkv");
  for (size_t i = 0; i < inputs.size(); i++) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(ebml::WriteFile(path, Bytes(inputs[i].begin(), inputs[i].end())));
    Graph g(path);
    if (FAILED(g.loaded)) continue;
    g.RunToEnd();
    g.Seek(10000000);
    g.RunToEnd();
  }
  remove(path.c_str());
}

// ---------------------------------------------------------------------------
// Delivery rules on a hand-built file

TEST(MatroskaSplitter, HandBuiltBlocksAreTimedUnlacedAndDecoded) {
  Bytes bih(40, 0);
  bih[0] = 40;
  bih[4] = 16;  // width
  bih[8] = 16;  // height
  bih[12] = 1;  // planes
  bih[14] = 24;
  const DWORD xvid = Fcc("XVID");
  std::memcpy(&bih[16], &xvid, 4);
  std::vector<BYTE> plain(2500);
  for (size_t i = 0; i < plain.size(); i++) plain[i] = static_cast<BYTE>(i % 251);
  uLongf packedSize = compressBound(static_cast<uLong>(plain.size()));
  Bytes packed(packedSize);
  ASSERT_EQ(compress(packed.data(), &packedSize, plain.data(), static_cast<uLong>(plain.size())), Z_OK);
  packed.resize(packedSize);
  const Bytes cut(packed.begin(), packed.end() - 5);

  // Tracks: 1 video without block durations and a default duration of
  // 40 ms; 2 PCM laced three frames to a block; 3 text subtitles without
  // durations; 4 WavPack with correction data; 5 zlib-compressed frames;
  // 6 header-stripped frames (and private data).
  const Bytes tracks = ebml::Tracks(
      {{1, 1, "V_MS/VFW/FOURCC", bih, ebml::Cat({ebml::UInt(0x23E383, 40000000), ebml::VideoSize(16, 16)})},
       {2, 2, "A_PCM/INT/LIT", {}, ebml::AudioFormat(8000, 1)},
       {3, 0x11, "S_TEXT/UTF8", {}, {}},
       {4, 2, "A_WAVPACK4", {0x10, 0x04}, ebml::AudioFormat(8000, 1)},
       {5, 2, "A_PCM/INT/LIT", {}, ebml::Cat({ebml::AudioFormat(8000, 1), ebml::Compression(0, 1)})},
       {6, 2, "A_AAC", {0x12},
        ebml::Cat({ebml::AudioFormat(44100, 2), ebml::Compression(3, 3, {0xFF, 0xF1}), ebml::Str(0x22B59C, "qqq")})}});
  const Bytes duration3 = ebml::UInt(0x9B, 3);
  const Bytes blocks = ebml::Cat({
      ebml::SimpleBlock(1, 0, true, ebml::Frame(10, 0xA0)),
      ebml::BlockGroup(ebml::BlockBody(2, 0, 0x02, ebml::Cat({{0x02, 4, 5}, Bytes(4, 1), Bytes(5, 2), Bytes(6, 3)})),
                       duration3),
      ebml::SimpleBlock(3, 2, true, {'h', 'i'}),
      ebml::BlockGroup(ebml::BlockBody(4, 2, 0x00, Bytes(8, 4)),
                       ebml::Cat({duration3, ebml::Element(0x75A1, ebml::Element(0xA6, ebml::Cat({ebml::UInt(0xEE, 1),
                                                                                               ebml::Element(0xA5, Bytes(3, 9))})))})),
      ebml::BlockGroup(ebml::BlockBody(5, 3, 0x00, packed), duration3),
      ebml::BlockGroup(ebml::BlockBody(5, 4, 0x00, cut), duration3),
      ebml::BlockGroup(ebml::BlockBody(6, 4, 0x00, {0x50, 0x80}), duration3),
      ebml::SimpleBlock(1, 40, false, ebml::Frame(11, 0xA1)),
      ebml::SimpleBlock(1, 80, false, ebml::Frame(12, 0xA2)),
  });
  const std::string path = TempPath("hand-built.mkv");
  // The first cluster at 1000 ms: the zero of the output.
  ASSERT_TRUE(ebml::WriteFile(
      path, ebml::Cat({ebml::Header(), ebml::Segment(ebml::Cat({ebml::Info(1000000, 1100), tracks, ebml::Cluster(1000, blocks)}))})));

  Graph g(path);
  ASSERT_EQ(g.loaded, S_OK);
  ASSERT_EQ(g.splitter->GetPinCount(), 6) << "header stripping of the private data keeps the track";
  // No language is English; a code the language table does not know
  // names no language.
  EXPECT_EQ(g.PinName(0), L"English (Video 1)");
  EXPECT_EQ(g.PinName(2), L"English (Subtitle 1)");
  EXPECT_EQ(g.PinName(4), L"English (Audio 3)");
  EXPECT_EQ(g.PinName(5), L" (Audio 4)");
  g.RunToEnd();
  constexpr REFERENCE_TIME ms = 10000;

  const auto video = g.sinks[0]->Samples();
  ASSERT_EQ(video.size(), 3u);
  EXPECT_EQ(video[0].start, 0);
  EXPECT_EQ(video[0].stop, 40 * ms) << "ends where the next frame begins";
  EXPECT_EQ(video[1].stop, 80 * ms);
  EXPECT_EQ(video[2].stop, 120 * ms) << "the last frame ends after the default duration";
  EXPECT_TRUE(video[0].sync);
  EXPECT_FALSE(video[1].sync);

  const auto laced = g.sinks[1]->Samples();
  ASSERT_EQ(laced.size(), 3u);
  for (size_t i = 0; i < 3; i++) {
    EXPECT_EQ(laced[i].start, static_cast<REFERENCE_TIME>(i) * ms);
    EXPECT_EQ(laced[i].stop, static_cast<REFERENCE_TIME>(i + 1) * ms);
    EXPECT_EQ(laced[i].length, static_cast<LONG>(4 + i));
    EXPECT_EQ(laced[i].sync, i == 0) << "only the first frame keeps the block's flags";
  }

  const auto text = g.sinks[2]->Samples();
  ASSERT_EQ(text.size(), 1u);
  EXPECT_EQ(text[0].start, 2 * ms);
  EXPECT_EQ(text[0].stop, 2 * ms) << "a subtitle without duration is not held back";

  const auto wavpack = g.sinks[3]->Samples();
  ASSERT_EQ(wavpack.size(), 2u);
  EXPECT_EQ(wavpack[1].data, Bytes(3, 9)) << "the correction data right behind its block";
  EXPECT_EQ(wavpack[1].start, wavpack[0].start);
  EXPECT_EQ(wavpack[1].stop, wavpack[0].stop);

  const auto zlib = g.sinks[4]->Samples();
  ASSERT_EQ(zlib.size(), 2u) << "the frame that does not inflate whole goes on";
  EXPECT_EQ(zlib[0].data, Bytes(plain.begin(), plain.end()));
  EXPECT_EQ(zlib[1].data, cut) << "as it stands";

  const auto stripped = g.sinks[5]->Samples();
  ASSERT_EQ(stripped.size(), 1u);
  EXPECT_EQ(stripped[0].data, (Bytes{0xFF, 0xF1, 0x50, 0x80}));
  const CMediaType aac = g.PinType(5);
  const auto* wfe = reinterpret_cast<const WAVEFORMATEX*>(aac.pbFormat);
  ASSERT_EQ(wfe->cbSize, 3);
  EXPECT_EQ(reinterpret_cast<const BYTE*>(wfe + 1)[0], 0xFF) << "the private data has its header back";
  remove(path.c_str());
}

}  // namespace

namespace {

TEST(MatroskaSplitter, SeekingByHandBuiltCues) {
  const Bytes info = ebml::Info(1000000, 2000);
  const Bytes tracks = ebml::Tracks({{1, 1, "V_MS/VFW/FOURCC", Bytes(40, 0), ebml::VideoSize(16, 16)},
                                     {2, 2, "A_PCM/INT/LIT", {}, ebml::AudioFormat(8000, 1)}});
  const Bytes first = ebml::Cluster(
      0, ebml::Cat({ebml::SimpleBlock(1, 0, true, {1}), ebml::SimpleBlock(2, 0, true, {2}),
                    ebml::SimpleBlock(1, 500, false, {3})}));
  // Audio before the key frame in the second cluster is not delivered
  // after a seek into it; audio behind it is, whatever its time.
  const Bytes second = ebml::Cluster(
      1000, ebml::Cat({ebml::SimpleBlock(2, -10, true, {4}), ebml::SimpleBlock(1, 0, true, {5}),
                       ebml::SimpleBlock(2, -5, true, {6}), ebml::SimpleBlock(1, 500, false, {7})}));
  const uint64_t secondAt = info.size() + tracks.size() + first.size();
  const Bytes cues = ebml::Element(
      0x1C53BB6B, ebml::Element(0xBB, ebml::Cat({ebml::UInt(0xB3, 1000),
                                                 ebml::Element(0xB7, ebml::Cat({ebml::UInt(0xF7, 1),
                                                                                ebml::UInt(0xF1, secondAt)}))})));
  const std::string path = TempPath("cues.mkv");
  ASSERT_TRUE(ebml::WriteFile(
      path, ebml::Cat({ebml::Header(), ebml::Segment(ebml::Cat({info, tracks, first, second, cues}))})));

  Graph g(path);
  ASSERT_EQ(g.loaded, S_OK);
  CComQIPtr<IKeyFrameInfo> keys(g.hold);
  UINT count = 0;
  ASSERT_EQ(keys->KeyFrameCount(count), S_OK);
  EXPECT_EQ(count, 1u);

  // Before the first cue point: from the first cluster.
  g.Seek(5000000);
  g.RunToEnd();
  auto video = g.sinks[0]->Samples();
  ASSERT_EQ(video.size(), 4u);
  EXPECT_EQ(video[0].start, -5000000);

  g.Seek(10200000);
  g.RunToEnd();
  video = g.sinks[0]->Samples();
  ASSERT_EQ(video.size(), 2u);
  EXPECT_EQ(video[0].data, Bytes{5});
  EXPECT_EQ(video[0].start, -200000);
  const auto audio = g.sinks[1]->Samples();
  ASSERT_EQ(audio.size(), 1u);
  EXPECT_EQ(audio[0].data, Bytes{6});

  // A seek to 0 starts at the first block, even though the file has cues.
  g.Seek(0);
  g.RunToEnd();
  video = g.sinks[0]->Samples();
  ASSERT_EQ(video.size(), 4u);
  EXPECT_EQ(video[0].start, 0);
  EXPECT_TRUE(video[0].discontinuity);
  remove(path.c_str());
}

}  // namespace

namespace {

// A chapter atom with its displays (language, text) and nested atoms.
Bytes Atom(uint64_t uid, uint64_t startMs, std::vector<std::pair<std::string, std::string>> displays,
           const Bytes& nested = {}) {
  Bytes payload = ebml::Cat({ebml::UInt(0x73C4, uid), ebml::UInt(0x91, startMs * 1000000)});
  for (const auto& [language, text] : displays)
    payload = ebml::Cat({payload, ebml::Element(0x80, ebml::Cat({ebml::Str(0x85, text), ebml::Str(0x437C, language)}))});
  return ebml::Element(0xB6, ebml::Cat({payload, nested}));
}

TEST(MatroskaSplitter, ChaptersInTheUsersLanguageWithTheirLevels) {
  const Bytes chapters = ebml::Element(
      0x1043A770,
      ebml::Element(0x45B9, ebml::Cat({Atom(11, 0, {{"eng", "Start"}, {"ger", "Anfang"}},
                                           Atom(12, 500, {{"eng", "Inside"}, {"ger", "Innen"}},
                                                Atom(13, 700, {{"fre", "Dedans"}}))),
                                      // A uid of 0 and a repeated uid name their own atoms.
                                      Atom(0, 1000, {{"ger", "Null"}}), Atom(11, 1500, {{"eng", "Again"}})})));
  // Chapters are found through the seek head.
  const Bytes info = ebml::Info();
  const Bytes tracks = ebml::Tracks({{1, 2, "A_AC3", {}, ebml::AudioFormat(48000, 2)}});
  auto seekHead = [](uint64_t at) {
    return ebml::Element(0x114D9B74, ebml::Element(0x4DBB, ebml::Cat({ebml::Element(0x53AB, ebml::Id(0x1043A770)),
                                                                      ebml::UInt(0x53AC, at)})));
  };
  const uint64_t chaptersAt = seekHead(0).size() + info.size() + tracks.size();
  ASSERT_LT(chaptersAt, 256u);
  const std::string path = TempPath("chapters.mkv");
  ASSERT_TRUE(ebml::WriteFile(
      path, ebml::Cat({ebml::Header(), ebml::Segment(ebml::Cat({seekHead(chaptersAt), info, tracks, chapters,
                                                                ebml::Cluster(0, ebml::SimpleBlock(1, 0, true, {1}))}))})));
  setenv("LC_ALL", "de_DE.UTF-8", 1);
  Graph g(path);
  unsetenv("LC_ALL");
  ASSERT_EQ(g.loaded, S_OK);
  CComQIPtr<IDSMChapterBag> bag(g.hold);
  const std::vector<std::pair<REFERENCE_TIME, std::wstring>> expected = {
      {0, L"Anfang"}, {5000000, L"+ Innen"}, {7000000, L"++ Dedans"}, {10000000, L"Null"}, {15000000, L"Again"}};
  ASSERT_EQ(bag->GetChapterCount(), expected.size());
  for (DWORD i = 0; i < expected.size(); i++) {
    REFERENCE_TIME start = -1;
    BSTR name = nullptr;
    ASSERT_EQ(bag->GetChapter(i, &start, &name), S_OK);
    EXPECT_EQ(start, expected[i].first);
    EXPECT_EQ(std::wstring(name), expected[i].second);
    SysFreeString(name);
  }
  remove(path.c_str());
}

}  // namespace
