// The MPEG splitter in a filter graph, each output into a recording sink:
// pins, types and names; packet sizes and time stamps against ffprobe's
// packets; stream selection; seeking; bad files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>

#include "foundation/FilterHelpers.h"
#include "platform/dshow/DShowRegister.h"
#include "splitters/mpeg/MpegSplitter.h"
#include "tests/foundation/FfprobeInfo.h"
#include "tests/foundation/MemAsyncReader.h"
#include "tests/foundation/SplitterGraph.h"
#include "tests/foundation/ToyFilters.h"

namespace {

struct ProbePacket {
  int stream = 0;
  long long pts = 0;  // 90 kHz, or LLONG_MIN
  long size = 0;
};

std::vector<ProbePacket> ProbePackets(const std::string& path) {
  std::vector<ProbePacket> out;
  std::string cmd = "ffprobe -v error -show_entries packet=stream_index,pts,size -of csv=p=0 '" + path + "'";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char line[256];
  while (fgets(line, sizeof(line), p)) {
    ProbePacket pk;
    char pts[64] = {};
    if (sscanf(line, "%d,%63[^,],%ld", &pk.stream, pts, &pk.size) != 3) continue;
    pk.pts = pts[0] == 'N' ? LLONG_MIN : atoll(pts);
    out.push_back(pk);
  }
  pclose(p);
  return out;
}

using Graph = SplitterGraph<CMpegSourceFilter>;

// Checks one output against the ffprobe packets of one stream: the byte
// total (less `trim` bytes per probe packet), and every time stamp we
// deliver is one of the probe's, both counted from their first.
void CompareStream(const std::vector<toy::Received>& ours, const std::vector<ProbePacket>& probe, int stream,
                   long trim, bool samePackets) {
  std::vector<ProbePacket> theirs;
  for (const auto& p : probe)
    if (p.stream == stream) theirs.push_back(p);
  ASSERT_FALSE(theirs.empty());
  ASSERT_FALSE(ours.empty());
  long long ourBytes = 0, theirBytes = 0;
  for (const auto& r : ours) ourBytes += r.length;
  for (const auto& p : theirs) theirBytes += p.size - trim;
  EXPECT_EQ(ourBytes, theirBytes);
  if (samePackets) {
    ASSERT_EQ(ours.size(), theirs.size());
    for (size_t i = 0; i < ours.size(); i++) EXPECT_EQ(ours[i].length, theirs[i].size - trim) << "packet " << i;
  }

  ASSERT_TRUE(ours[0].timed);
  std::vector<long long> theirTicks;
  for (const auto& p : theirs)
    if (p.pts != LLONG_MIN) theirTicks.push_back(p.pts - theirs[0].pts);
  int timed = 0;
  for (const auto& r : ours) {
    if (!r.timed) continue;
    timed++;
    long long ticks = (r.start - ours[0].start) * 90 / 10000;
    bool found = false;
    for (long long t : theirTicks) found = found || std::llabs(t - ticks) <= 1;
    EXPECT_TRUE(found) << "time " << r.start << " is no packet time of ffprobe's";
  }
  EXPECT_GT(timed, 0);
}

TEST(MpegSplitter, PinsTypesAndNames) {
  Graph g(TestDataPath("ts-2programs.ts"));
  ASSERT_EQ(g.loaded, S_OK);
  ASSERT_EQ(g.splitter->GetPinCount(), 3);
  EXPECT_EQ(g.PinName(0), L"Video");
  EXPECT_EQ(g.PinName(1), L"Audio");
  EXPECT_EQ(g.PinName(2), L"Subtitle");
  EXPECT_EQ(g.PinType(0).subtype, MEDIASUBTYPE_MPEG2_VIDEO);
  EXPECT_EQ(g.PinType(1).subtype, MEDIASUBTYPE_MPEG1AudioPayload);
  EXPECT_EQ(g.PinType(2).subtype, MEDIASUBTYPE_DVD_SUBPICTURE);
  EXPECT_EQ(GetFilterClsid(g.hold), CLSID_MpegSourceFilter);
  // The source form has no input pin; the splitter form has one.
  HRESULT hr = S_OK;
  CComPtr<IBaseFilter> splitter = toy::Hold(new CMpegSplitterFilter(nullptr, &hr));
  EXPECT_NE(GetFirstPinByDirection(splitter, PINDIR_INPUT), nullptr);
  EXPECT_EQ(GetFirstPinByDirection(g.hold, PINDIR_INPUT), nullptr);
}

TEST(MpegSplitter, PacketsMatchFfprobe) {
  if (!HaveFfprobe()) GTEST_SKIP() << "no ffprobe";
  struct Case {
    const char* name;
    int audioStream;
    long audioTrim;      // header bytes ffprobe keeps in each audio packet
    bool audioPackets;   // one of our packets per ffprobe packet
    bool videoPackets;
  };
  const Case cases[] = {
      {"mpeg1-ps.mpg", 1, 0, false, false},   {"mpeg2-ps-mp2.mpg", 1, 0, false, false},
      {"vob-ac3.vob", 1, 0, false, false},    {"vob-dts.vob", 1, 0, false, false},
      {"vob-lpcm.vob", 1, 3, false, false},    {"ts-2programs.ts", 1, 0, false, false},
      {"h264-aac.ts", 1, 7, true, true},      {"m2ts-h264-ac3.m2ts", 1, 0, false, true},
  };
  // The last LPCM packet of the VOB has no time stamp: it joins the timed
  // packet before it while that one still waits in the output queue, so
  // the LPCM bytes and times are compared but not the packet count.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto probe = ProbePackets(TestDataPath(c.name));
    Graph g(TestDataPath(c.name));
    ASSERT_EQ(g.loaded, S_OK);
    g.RunToEnd();
    CompareStream(g.sinks[0]->Samples(), probe, 0, 0, c.videoPackets);
    if (c.audioStream >= 0) CompareStream(g.sinks[1]->Samples(), probe, c.audioStream, c.audioTrim, c.audioPackets);
  }
}

TEST(MpegSplitter, StreamSelectionListsAndSwitchesStreams) {
  if (!HaveFfprobe()) GTEST_SKIP() << "no ffprobe";
  Graph g(TestDataPath("vob-multiaudio.vob"));
  ASSERT_EQ(g.loaded, S_OK);
  CComQIPtr<IAMStreamSelect> select(g.hold);
  ASSERT_TRUE(select);
  DWORD count = 0;
  ASSERT_EQ(select->Count(&count), S_OK);
  EXPECT_EQ(count, 5u);  // video, three audio, the subpicture placeholder

  std::vector<DWORD> flags, groups;
  for (LONG i = 0; i < static_cast<LONG>(count); i++) {
    AM_MEDIA_TYPE* mt = nullptr;
    DWORD f = 9, grp = 9;
    WCHAR* name = nullptr;
    ASSERT_EQ(select->Info(i, &mt, &f, nullptr, &grp, &name, nullptr, nullptr), S_OK);
    ASSERT_NE(mt, nullptr);
    ASSERT_NE(name, nullptr);
    if (i == 2) {
      EXPECT_STREQ(name, L"Audio (0000,bd,81)");
    }
    DeleteMediaType(mt);
    CoTaskMemFree(name);
    flags.push_back(f);
    groups.push_back(grp);
  }
  EXPECT_EQ(flags, (std::vector<DWORD>{3, 3, 0, 0, 3}));
  EXPECT_EQ(groups, (std::vector<DWORD>{0, 1, 1, 1, 2}));

  // Past the last stream: nothing, and said so.
  AM_MEDIA_TYPE* mt = reinterpret_cast<AM_MEDIA_TYPE*>(1);
  WCHAR* name = reinterpret_cast<WCHAR*>(1);
  EXPECT_EQ(select->Info(5, &mt, nullptr, nullptr, nullptr, &name, nullptr, nullptr), S_FALSE);
  EXPECT_EQ(mt, nullptr);
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(select->Enable(5, AMSTREAMSELECTENABLE_ENABLE), S_FALSE);
  EXPECT_EQ(select->Enable(3, 0), E_NOTIMPL);

  // The MP2 stream takes the audio pin over.
  ASSERT_EQ(select->Enable(3, AMSTREAMSELECTENABLE_ENABLE), S_OK);
  DWORD f = 0;
  ASSERT_EQ(select->Info(3, nullptr, &f, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(f, 3u);
  ASSERT_EQ(select->Info(1, nullptr, &f, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(f, 0u);
  g.RunToEnd();
  auto probe = ProbePackets(TestDataPath("vob-multiaudio.vob"));
  CompareStream(g.sinks[1]->Samples(), probe, 3, 0, false);
}

TEST(MpegSplitter, EnablingAStreamOfAnotherProgramMovesTheOtherPins) {
  if (!HaveFfprobe()) GTEST_SKIP() << "no ffprobe";
  Graph g(TestDataPath("ts-2programs.ts"));
  ASSERT_EQ(g.loaded, S_OK);
  CComQIPtr<IAMStreamSelect> select(g.hold);
  // Streams: video 1, video 2, audio 1, audio 2, placeholder.
  ASSERT_EQ(select->Enable(3, AMSTREAMSELECTENABLE_ENABLE), S_OK);
  DWORD f = 0;
  ASSERT_EQ(select->Info(1, nullptr, &f, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(f, 3u) << "the video pin follows to the second program";
  g.RunToEnd();
  auto probe = ProbePackets(TestDataPath("ts-2programs.ts"));
  CompareStream(g.sinks[0]->Samples(), probe, 2, 0, false);
  CompareStream(g.sinks[1]->Samples(), probe, 3, 0, false);
}

TEST(MpegSplitter, SeekingStartsNearTheTimeAskedFor) {
  Graph g(TestDataPath("mpeg2-ps-mp2.mpg"));
  ASSERT_EQ(g.loaded, S_OK);
  CComQIPtr<IMediaSeeking> seeking(g.hold);
  LONGLONG duration = 0;
  ASSERT_EQ(seeking->GetDuration(&duration), S_OK);
  EXPECT_NEAR(duration, 20000000, 5000000);

  // 0.8 s is close enough to the start to read from byte 0.
  LONGLONG pos = 8000000;
  ASSERT_EQ(seeking->SetPositions(&pos, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
  g.RunToEnd();
  auto early = g.sinks[0]->Samples();
  ASSERT_FALSE(early.empty());
  EXPECT_NEAR(early[0].start, -pos, 10000);
  for (auto* s : g.sinks) s->Clear();

  pos = 15000000;
  ASSERT_EQ(seeking->SetPositions(&pos, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
  g.RunToEnd();
  auto late = g.sinks[0]->Samples();
  ASSERT_FALSE(late.empty());
  auto firstTimed = std::find_if(late.begin(), late.end(), [](const toy::Received& r) { return r.timed; });
  ASSERT_NE(firstTimed, late.end());
  // Delivery starts a little before the time asked for (segment time 0)
  // and well after the file's start.
  EXPECT_LE(firstTimed->start, 0);
  EXPECT_GT(firstTimed->start, -pos);
  // Fewer bytes than from the start; packets are not counted, because the
  // output queue merges untimed pieces into their timed packet depending
  // on how far delivery lags.
  auto bytes = [](const std::vector<toy::Received>& v) {
    int64_t n = 0;
    for (const auto& r : v) n += r.length;
    return n;
  };
  EXPECT_LT(bytes(late), bytes(early));
}

TEST(MpegSplitter, TruncatedAndRandomFilesEndCleanly) {
  auto bytes = MemAsyncReader::LoadFile(TestDataPath("h264-aac.ts"));
  auto vob = MemAsyncReader::LoadFile(TestDataPath("vob-ac3.vob"));
  std::mt19937 rng(11);
  std::vector<std::vector<BYTE>> inputs;
  inputs.emplace_back(bytes.begin(), bytes.begin() + bytes.size() / 3);
  inputs.emplace_back(vob.begin(), vob.begin() + vob.size() / 2 + 77);
  // Damage in the middle of a file.
  std::vector<BYTE> damaged = vob;
  for (size_t i = damaged.size() / 4; i < damaged.size() / 2; i++) damaged[i] = static_cast<BYTE>(rng());
  inputs.push_back(damaged);
  std::vector<BYTE> random(200000);
  for (auto& b : random) b = static_cast<BYTE>(rng());
  inputs.push_back(random);

  std::string path = testing::TempDir() + "mpegsplitter-bad.bin";
  for (size_t i = 0; i < inputs.size(); i++) {
    SCOPED_TRACE(i);
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(inputs[i].data(), 1, inputs[i].size(), f);
    fclose(f);
    Graph g(path);
    if (FAILED(g.loaded)) continue;
    g.RunToEnd();
  }
  remove(path.c_str());
}


// ---------------------------------------------------------------------------
// Joins: what the join hands on of packets that cross a jump of the clock.
// Sound of 1000 bytes a second in packets of a second, pictures of 40 ms.

struct JoinInput {
  DWORD track;       // 1 sound, 2 picture
  double seconds;    // presentation time
  bool clockBack;    // a program stream's clock steps back before it
};

struct JoinCase {
  const char* name;
  std::vector<JoinInput> packets;
  std::vector<double> times;  // as handed on, in order
  std::vector<bool> marked;   // discontinuous
};

CMediaType JoinType(DWORD track) {
  CMediaType mt;
  if (track == 1) {
    mt.SetType(&MEDIATYPE_Audio);
    mt.SetSubtype(&MEDIASUBTYPE_MPEG1AudioPayload);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    auto* wfx = reinterpret_cast<WAVEFORMATEX*>(mt.AllocFormatBuffer(sizeof(WAVEFORMATEX)));
    *wfx = WAVEFORMATEX{};
    wfx->nAvgBytesPerSec = 1000;
  } else {
    mt.SetType(&MEDIATYPE_Video);
    mt.SetSubtype(&MEDIASUBTYPE_AVC1);
    mt.SetFormatType(&FORMAT_VideoInfo);
    auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(mt.AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
    *vih = VIDEOINFOHEADER{};
    vih->AvgTimePerFrame = 400000;
  }
  return mt;
}

class Join : public ::testing::TestWithParam<JoinCase> {};

TEST_P(Join, ThePartAfterAJumpFollowsThePartBefore) {
  const JoinCase& c = GetParam();
  CMpegJoin join;
  join.Reset(0, 0);
  join.AddStream(1, JoinType(1));
  join.AddStream(2, JoinType(2));
  CMpegJoin::Ready ready;
  for (const JoinInput& in : c.packets) {
    if (in.clockBack) join.ClockStepped();
    auto p = std::make_unique<Packet>();
    p->TrackNumber = in.track;
    p->assign(in.track == 1 ? 1000 : 10, 0);
    (*p)[0] = 0xFF, (*p)[1] = 0xFD;  // a sound frame begins at once
    p->rtStart = static_cast<REFERENCE_TIME>(in.seconds * UNITS + 0.5);
    p->rtStop = p->rtStart + 1;
    join.Add(std::move(p), ready);
  }
  join.Flush(ready);
  ASSERT_EQ(ready.size(), c.times.size());
  for (size_t i = 0; i < ready.size(); ++i) {
    EXPECT_NEAR(ready[i]->rtStart / 1e7, c.times[i], 1e-6) << "packet " << i;
    EXPECT_EQ(ready[i]->bDiscontinuity != FALSE, c.marked[i]) << "packet " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Join,
    ::testing::Values(
        // Two program streams joined: the second begins where the first ends (3 s).
        JoinCase{"ProgramStreamsJoined",
                 {{1, 0, false}, {2, 0, false}, {1, 1, false}, {2, 2.96, false}, {1, 2, false},
                  {1, 0.5, true}, {2, 0.52, false}, {1, 1.5, false}},
                 {0, 0, 1, 2.96, 2, 3, 3.02, 4},
                 {false, false, false, false, false, true, true, false}},
        // A transport stream's clock jumps ahead by an hour.
        JoinCase{"ClockJumpsAhead",
                 {{2, 0, false}, {1, 0, false}, {2, 0.96, false}, {2, 3600, false}, {1, 3600, false}},
                 {0, 0, 0.96, 1, 1},
                 {false, false, false, true, true}},
        // A picture gap in a stream whose sound goes on through it is no jump.
        JoinCase{"PictureGapWithSoundGoingOn",
                 {{1, 0, false}, {2, 0, false}, {1, 1, false}, {1, 2, false}, {1, 3, false}, {1, 4, false},
                  {1, 5, false}, {1, 6, false}, {2, 7, false}, {1, 7, false}},
                 {0, 0, 1, 2, 3, 4, 5, 6, 7, 7},
                 {false, false, false, false, false, false, false, false, false, false}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
