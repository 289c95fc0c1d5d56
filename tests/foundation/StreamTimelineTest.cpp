// The shared time line's decisions on steps that no end-to-end file shows
// apart (each row's packets are built here, interleaved as a muxer writes
// them): which steps are kept, moved for every stream, taken back for one
// stream, or replaced as single damaged times.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "foundation/DamageLog.h"
#include "platform/dshow/StreamTime.h"
#include "foundation/StreamTimeline.h"

namespace {

constexpr DWORD kVideo = 1, kAudio = 2;
constexpr REFERENCE_TIME kMs = StreamTime::kMillisecond;

struct In {
  DWORD track;
  REFERENCE_TIME ms;  // INT64_MIN: untimed
};

// Video every 40 ms and sound every 26 ms from `fromMs` to `toMs`, in time
// order; `video`/`audio` map each stream's own time to the time written.
std::vector<In> Interleaved(REFERENCE_TIME fromMs, REFERENCE_TIME toMs,
                            const std::function<REFERENCE_TIME(REFERENCE_TIME)>& video,
                            const std::function<REFERENCE_TIME(REFERENCE_TIME)>& audio) {
  std::vector<In> out;
  REFERENCE_TIME v = fromMs, a = fromMs;
  while (v < toMs || a < toMs) {
    if (v < toMs && (a >= toMs || v <= a)) {
      if (video) out.push_back({kVideo, video(v)});
      v += 40;
    } else {
      if (audio) out.push_back({kAudio, audio(a)});
      a += 26;
    }
  }
  return out;
}

REFERENCE_TIME Same(REFERENCE_TIME t) { return t; }

struct Row {
  const char* name;
  REFERENCE_TIME lengthMs;
  std::vector<In> in;
  // Each packet's time handed on, as a function of its written time and
  // of its place among its stream's packets.
  std::function<REFERENCE_TIME(DWORD track, REFERENCE_TIME ms, size_t index)> want;
  const char* note;  // a part of the damage log's text, or "" for none
};

std::vector<Row> Rows() {
  std::vector<Row> rows;
  // Picture lost for 7 s while the sound goes on: a gap, kept.
  rows.push_back({"PictureGapKept", 16000,
                  Interleaved(0, 16000, [](REFERENCE_TIME t) { return t >= 4000 && t < 11000 ? INT64_MIN : t; }, Same),
                  [](DWORD, REFERENCE_TIME ms, size_t) { return ms; }, ""});
  // Every stream starts anew at 0 after 3 s (two files joined): the second
  // part follows the first.
  rows.push_back({"JoinFollows", 0,
                  Interleaved(0, 6000, [](REFERENCE_TIME t) { return t < 3000 ? t : t - 3000; },
                              [](REFERENCE_TIME t) { return t < 3000 ? t : t - 3000; }),
                  [](DWORD track, REFERENCE_TIME ms, size_t index) {
                    // The first part's pictures end at 3000, its sound at 3016.
                    const size_t firstPart = track == kVideo ? 75 : 116;
                    return index < firstPart ? ms : ms + 3000;
                  },
                  ""});
  // One picture time far out: the picture goes on untimed (the decoder
  // counts it on from the one before); a sound time far out takes the
  // stream's own step.
  rows.push_back({"SingleDamagedTime", 4000,
                  Interleaved(0, 4000, [](REFERENCE_TIME t) { return t == 2000 ? 3600000 : t; },
                              [](REFERENCE_TIME t) { return t == 2002 ? -3600000 : t; }),
                  [](DWORD, REFERENCE_TIME ms, size_t) {
                    return ms == 3600000 ? INT64_MIN : ms == -3600000 ? 2002 : ms;
                  },
                  "its own step was taken instead"});
  // A picture that starts 2,561,047 hours in, beside sound from 0.
  rows.push_back({"WildStart", 4000,
                  Interleaved(0, 4000, [](REFERENCE_TIME t) { return t + 9219769200000LL; }, Same),
                  [](DWORD track, REFERENCE_TIME ms, size_t) { return track == kVideo ? ms - 9219769200000LL : ms; },
                  "starts at"});
  // The picture's times jump 100 s ahead for good while the sound goes on:
  // the picture goes on from its own run.
  rows.push_back({"OneStreamRunsAway", 0,
                  Interleaved(0, 4000, [](REFERENCE_TIME t) { return t < 2000 ? t : t + 100000; }, Same),
                  [](DWORD track, REFERENCE_TIME ms, size_t) {
                    return track == kVideo && ms >= 100000 ? ms - 100000 : ms;
                  },
                  "while the other streams go on"});
  // Sound alone, its clock set back by 10 s: nothing to keep in step with,
  // the stream goes on at once.
  rows.push_back({"SingleStreamJumpClosed", 0,
                  Interleaved(0, 4000, nullptr, [](REFERENCE_TIME t) { return t < 2000 ? t + 10000 : t; }),
                  // The first part ends at 12002, less the little sound may overlap.
                  [](DWORD, REFERENCE_TIME ms, size_t index) { return index < 77 ? ms : ms + 9980; },
                  ""});
  // Every picture time given twice (a writer that stamps each packet of a
  // frame): no step at all.
  rows.push_back({"RepeatedTimesAreNoStep", 4000,
                  [] {
                    std::vector<In> in;
                    for (const In& p : Interleaved(0, 4000, Same, Same)) {
                      in.push_back(p);
                      if (p.track == kVideo) in.push_back(p);
                    }
                    return in;
                  }(),
                  [](DWORD, REFERENCE_TIME ms, size_t) { return ms; }, ""});
  // The last picture stamped 8 s late, past where every stream ends: no
  // gap but a damaged time, counted on from the picture before.
  rows.push_back({"LateLastPictureIsNoGap", 2000,
                  [] {
                    std::vector<In> in = Interleaved(0, 2000, Same, Same);
                    in.push_back({kVideo, 10000});
                    return in;
                  }(),
                  [](DWORD, REFERENCE_TIME ms, size_t) { return ms == 10000 ? INT64_MIN : ms; },
                  "far out of its run"});
  // A stretch of sound written before the one that precedes it (blocks of
  // a copy out of order): each keeps its own time, so that the sink drops
  // what overlaps instead of appending it after.
  rows.push_back({"SoundOutOfOrderKeepsItsTimes", 4000,
                  [] {
                    std::vector<In> in, late;
                    for (const In& p : Interleaved(0, 4000, Same, Same)) {
                      const bool early = p.track == kAudio && p.ms >= 1014 && p.ms < 2002;
                      if (early) late.push_back(p);
                      if (p.track == kAudio && p.ms == 2522) in.insert(in.end(), late.begin(), late.end());
                      if (!early) in.push_back(p);
                    }
                    return in;
                  }(),
                  [](DWORD, REFERENCE_TIME ms, size_t) { return ms; }, ""});
  // No picture from 2.5 s to 17.5 s while the sound goes on, the pictures
  // in decoding order: the first picture past the gap comes ahead of the
  // last two before it, which refer to it. A gap, kept.
  rows.push_back({"PictureGapInDecodingOrder", 20000,
                  [] {
                    std::vector<In> in;
                    for (const In& p : Interleaved(0, 20000, Same, Same)) {
                      if (p.track == kVideo && p.ms >= 2500 && p.ms < 17520) continue;
                      if (p.track == kVideo && p.ms == 2440) in.push_back({kVideo, 17520});
                      if (!(p.track == kVideo && p.ms == 17520)) in.push_back(p);
                    }
                    return in;
                  }(),
                  [](DWORD, REFERENCE_TIME ms, size_t) { return ms; }, ""});
  return rows;
}

class StreamTimelineRows : public ::testing::TestWithParam<Row> {};

TEST_P(StreamTimelineRows, HandsOnTheTimesTheConversionFollows) {
  const Row& row = GetParam();
  CDamageLog log;
  CStreamTimeline line(&log);
  line.Reset(0, row.lengthMs * kMs);
  CMediaType video, audio;
  video.majortype = MEDIATYPE_Video;
  audio.majortype = MEDIATYPE_Audio;
  bool hasVideo = false, hasAudio = false;
  for (const In& in : row.in) (in.track == kVideo ? hasVideo : hasAudio) = true;
  if (hasVideo) line.AddStream(kVideo, video);
  if (hasAudio) line.AddStream(kAudio, audio);

  CStreamTimeline::Ready ready;
  for (const In& in : row.in) {
    auto p = std::make_unique<Packet>();
    p->TrackNumber = in.track;
    p->rtStart = in.ms == INT64_MIN ? INVALID_TIME : in.ms * kMs;
    p->rtStop = in.ms == INT64_MIN ? INVALID_TIME : p->rtStart + kMs;
    p->push_back(static_cast<BYTE>(in.track));
    line.Add(std::move(p), ready);
  }
  line.Flush(ready);

  // Every packet comes out, each stream's in its own order.
  std::vector<REFERENCE_TIME> written[3];
  for (const In& in : row.in)
    if (in.ms != INT64_MIN) written[in.track].push_back(in.ms);
  size_t seen[3] = {};
  size_t handed = 0;
  for (const auto& p : ready) {
    const DWORD track = p->TrackNumber;
    // Packets written untimed come out untimed and are not counted.
    if (p->rtStart == INVALID_TIME && seen[track] < written[track].size() &&
        row.want(track, written[track][seen[track]], seen[track]) != INT64_MIN)
      continue;
    ASSERT_LT(seen[track], written[track].size());
    const size_t index = seen[track]++;
    const REFERENCE_TIME want = row.want(track, written[track][index], index);
    EXPECT_EQ(p->rtStart == INVALID_TIME ? INT64_MIN : p->rtStart / kMs, want)
        << "track " << track << " packet " << index << " written at " << written[track][index];
    ++handed;
  }
  EXPECT_EQ(handed, written[1].size() + written[2].size());
  const std::string report = log.Report();
  if (*row.note)
    EXPECT_NE(report.find(row.note), std::string::npos) << report;
  else
    EXPECT_EQ(report, "");
}

INSTANTIATE_TEST_SUITE_P(Steps, StreamTimelineRows, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });

}  // namespace
