// The damage log of the splitters: skipped ranges merged however often and
// in whatever order they are told, a range that runs to the end, mended
// times counted per kind, and the report lines the job's log shows.
#include <gtest/gtest.h>

#include "foundation/DamageLog.h"

namespace {

TEST(DamageLog, ReportsWhatWasSkippedAndMendedOnce) {
  const struct {
    const char* what;
    std::vector<std::tuple<LONGLONG, LONGLONG, bool>> skipped;
    std::vector<const char*> mended;
    const char* report;
  } cases[] = {
      {"nothing", {}, {}, ""},
      {"an empty range is none", {{10, 10, false}, {500, 500, true}}, {}, ""},
      {"one range, told again after a seek", {{100, 200, false}, {100, 200, false}, {150, 180, false}}, {},
       "The source is damaged: bytes 100-199 (100 bytes) could not be read and were skipped.\n"},
      {"touching ranges join, in any order", {{300, 400, false}, {100, 200, false}, {200, 300, false}}, {},
       "The source is damaged: bytes 100-399 (300 bytes) could not be read and were skipped.\n"},
      {"four places: three are named",
       {{10, 20, false}, {30, 40, false}, {50, 60, false}, {70, 80, false}},
       {},
       "The source is damaged in 4 places: 40 bytes could not be read and were skipped (bytes 10-19, 30-39, "
       "50-59, ...).\n"},
      {"a tail, and what lay before it",
       {{10, 20, false}, {900, 1000, true}, {950, 1000, false}},
       {},
       "The source is damaged: bytes 10-19 (10 bytes) could not be read and were skipped.\n"
       "The source is damaged from byte 900 to its end: nothing after it could be read.\n"},
      {"mended times by kind, with their counts",
       {},
       {"Track 1: a", "Track 2: b", "Track 1: a"},
       "Track 1: a (2 samples).\nTrack 2: b (1 sample).\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CDamageLog log;
    for (const auto& [from, to, end] : c.skipped) log.Skipped(from, to, end);
    for (const char* m : c.mended) log.Mended(m, "samples");
    EXPECT_EQ(log.Report(), c.report);
    LONGLONG tail = 0;
    EXPECT_EQ(log.UnreadableTail(tail), std::string(c.what).rfind("a tail", 0) == 0);
    log.Clear();
    EXPECT_EQ(log.Report(), "");
  }
}

}  // namespace
