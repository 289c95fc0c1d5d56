// Splitters read past damage: each sample is damaged in memory (a stretch
// zeroed, or written twice as a bad copy does) and read by its splitter;
// what lies after the damage must come out as it does from the whole file,
// with the same times, and the splitter must tell the bytes it skipped.
// (RoQ counts its times by chunk, so what damage takes moves the times
// after it; its rows are in the end-to-end table.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "splitters/avi/AviSplitter.h"
#include "splitters/dsm/DSMSplitter.h"
#include "splitters/flv/FLVSplitter.h"
#include "splitters/matroska/MatroskaSplitter.h"
#include "splitters/mpa/MpaSplitter.h"
#include "splitters/mpeg/MpegSplitter.h"
#include "splitters/ogg/OggSplitter.h"
#include "splitters/realmedia/RealMediaSplitter.h"
#include "tests/splitters/SplitterGraph.h"
#include "tests/splitters/dsm/DsmWriter.h"

namespace {

using Bytes = std::vector<BYTE>;

struct Reading {
  std::vector<std::vector<toy::Received>> packets;  // per output pin
  std::string report;
};

template <class Source>
Reading Read(const std::string& path) {
  splittertest::SourceGraph<Source> g(path);
  Reading run;
  EXPECT_EQ(g.loaded, S_OK) << path;
  if (FAILED(g.loaded)) return run;
  g.RunToEnd();
  for (int pin = 0; pin < g.OutputCount(); pin++)
    run.packets.push_back(g.sinks[static_cast<size_t>(pin)] ? g.Samples(pin) : std::vector<toy::Received>{});
  run.report = CComQIPtr<IRunReport>(g.hold)->GetRunNote();
  return run;
}

struct Case {
  const char* file;
  bool doubled;  // else zeroed
  Reading (*read)(const std::string&);
  // When given, only the 12 bytes from where these 4 first stand after 40%
  // of the file are zeroed (a header).
  const char* header = nullptr;
};

TEST(Damaged, WhatFollowsTheDamageComesOutWithItsOwnTimes) {
  const Case cases[] = {
      {"flv-flv1-mp3.flv", false, Read<CFLVSourceFilter>},      {"flv-flv1-mp3.flv", true, Read<CFLVSourceFilter>},
      {"avi-mjpeg-mp3.avi", false, Read<CAviSourceFilter>},     {"avi-mjpeg-mp3.avi", true, Read<CAviSourceFilter>},
      {"mkv-h264-aac.mkv", false, Read<CMatroskaSourceFilter>}, {"mkv-h264-aac.mkv", true, Read<CMatroskaSourceFilter>},
      {"rm-rv20-ac3.rm", false, Read<CRealMediaSourceFilter>},  {"rm-rv20-ac3.rm", true, Read<CRealMediaSourceFilter>},
      // A cluster's header: its blocks are timed by its cue point.
      {"mkv-h264-aac.mkv", false, Read<CMatroskaSourceFilter>, "\x1F\x43\xB6\x75"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + (c.doubled ? " doubled" : c.header ? " header zeroed" : " zeroed"));
    const Bytes whole = MemAsyncReader::LoadFile(TestDataPath(c.file));
    ASSERT_GT(whole.size(), 20000u);
    // 4000 bytes from 60% of the file on, at no boundary of the format's
    // units: more than one of them.
    size_t at = whole.size() * 3 / 5 + 13, length = 4000;
    if (c.header) {
      const auto* id = reinterpret_cast<const BYTE*>(c.header);
      at = static_cast<size_t>(
          std::search(whole.begin() + static_cast<ptrdiff_t>(whole.size() * 2 / 5), whole.end(), id, id + 4) -
          whole.begin());
      length = 12;
      ASSERT_LT(at + length, whole.size());
    }
    Bytes damaged = whole;
    if (c.doubled)
      damaged.insert(damaged.begin() + static_cast<ptrdiff_t>(at + length), whole.begin() + static_cast<ptrdiff_t>(at),
                     whole.begin() + static_cast<ptrdiff_t>(at + length));
    else
      std::fill_n(damaged.begin() + static_cast<ptrdiff_t>(at), length, BYTE(0));

    const Reading ref = c.read(TestDataPath(c.file));
    const Reading got = c.read(splittertest::WriteTemp(std::string("damaged-") + c.file, damaged));
    ASSERT_EQ(got.packets.size(), ref.packets.size());
    EXPECT_NE(got.report.find("bytes"), std::string::npos) << "no skipped bytes told: " << got.report;
    for (size_t pin = 0; pin < ref.packets.size(); pin++) {
      SCOPED_TRACE("pin " + std::to_string(pin));
      // Every packet of the whole file that comes out comes out at its own
      // time, and few are lost: those the damage touched.
      std::multimap<uint64_t, REFERENCE_TIME> times;
      for (const auto& r : ref.packets[pin]) times.emplace(r.hash, r.start);
      size_t found = 0;
      for (const auto& r : got.packets[pin]) {
        const auto [first, last] = times.equal_range(r.hash);
        if (first == last) continue;
        found++;
        EXPECT_TRUE(std::any_of(first, last, [&](const auto& t) { return t.second == r.start; }))
            << "a packet of the whole file came out at " << r.start;
      }
      // (Twice the damaged share of them, and a few.)
      const size_t all = ref.packets[pin].size(), lost = all * 2 * length / whole.size() + 4;
      EXPECT_GE(found + lost, all) << found << " of " << all << " packets came out";
      ASSERT_FALSE(got.packets[pin].empty());
      EXPECT_EQ(got.packets[pin].back().hash, ref.packets[pin].back().hash) << "the last packet is read";
    }
  }
}

// The splitters whose times the damage may move (or whose packets the
// pins join as they flow) tell the bytes they skipped too; a file merely
// cut short tells nothing.
TEST(Damaged, EverySplitterTellsWhatItSkippedAndNothingOfACutEnd) {
  struct Told {
    const char* name;
    Bytes whole;
    Reading (*read)(const std::string&);
  };
  auto data = [](const char* file) { return MemAsyncReader::LoadFile(TestDataPath(file)); };
  const Told cases[] = {
      {"mpeg2-ps-mp2.mpg", data("mpeg2-ps-mp2.mpg"), Read<CMpegSourceFilter>},
      {"h264-aac.ts", data("h264-aac.ts"), Read<CMpegSourceFilter>},
      {"st-two-vorbis.ogg", data("st-two-vorbis.ogg"), Read<COggSourceFilter>},
      {"mp3-44100-8s.mp3", data("mp3-44100-8s.mp3"), Read<CMpaSourceFilter>},
      {"muxed.dsm", dsmtest::MuxFiles({TestDataPath("mpeg4-ipp.m4v"), TestDataPath("mp3-44100.mp3")}),
       Read<CDSMSourceFilter>},
  };
  for (const Told& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_GT(c.whole.size(), 20000u);
    // 4000 bytes from 30% of the file on: over some of its units' headers.
    const size_t at = c.whole.size() * 3 / 10 + 13, length = 4000;
    Bytes damaged = c.whole;
    std::fill_n(damaged.begin() + static_cast<ptrdiff_t>(at), length, BYTE(0));
    const Bytes cut(c.whole.begin(), c.whole.begin() + static_cast<ptrdiff_t>(c.whole.size() * 2 / 3 + 7));

    EXPECT_EQ(c.read(splittertest::WriteTemp(std::string("whole-") + c.name, c.whole)).report, "");
    EXPECT_EQ(c.read(splittertest::WriteTemp(std::string("cut-") + c.name, cut)).report, "");
    const std::string told = c.read(splittertest::WriteTemp(std::string("zeroed-") + c.name, damaged)).report;
    // One stretch, from where the units stop (at most a unit before the
    // zeroed bytes) to the next unit behind them.
    long long from = -1, to = -1;
    ASSERT_EQ(std::sscanf(told.c_str(), "The source is damaged: bytes %lld-%lld", &from, &to), 2) << told;
    EXPECT_GE(from, static_cast<long long>(at) - 65536);
    EXPECT_LT(from, static_cast<long long>(at + length));
    EXPECT_GE(to, static_cast<long long>(at + length) - 1);
  }
}

}  // namespace
