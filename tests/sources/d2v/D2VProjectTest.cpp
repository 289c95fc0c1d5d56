// The D2V project text: its settings, damaged texts, and the frame table
// built from the picture flags (before trimming, trimmed, marked, located).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sources/d2v/D2VProject.h"

namespace {

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

const std::string kProject =
    "DVD2AVIProjectFile\n"
    "1\n"
    "8 /x/a.m2v\n"
    "\n"
    "Stream_Type=1,0,0\n"
    "iDCT_Algorithm=2\n"
    "YUVRGB_Scale=1\n"
    "Luminance=128,0\n"
    "Picture_Size=0,0,0,0,0,0\n"
    "Field_Operation=0\n"
    "Frame_Rate=25000\n"
    "Location=0,0,0,0\n"
    "\n"
    "7 0 0 2 2 2 2 2 2\n"
    "7 0 1F 2 2 2 2 9\n";

TEST(D2VProjectText, Settings) {
  D2VProject p;
  std::string error;
  const std::string text = Replace(Replace(kProject, "Picture_Size=0,0,0,0,0,0", "Picture_Size=8,8,16,16,720,480"),
                                   "Luminance=128,0", "Luminance=129,-3");
  ASSERT_TRUE(p.Parse(text, error)) << error;
  EXPECT_EQ(p.files, std::vector<std::string>{"/x/a.m2v"});
  EXPECT_EQ(p.streamType, 1);
  EXPECT_EQ(p.idct, 2);
  EXPECT_TRUE(p.lumFilter);
  EXPECT_EQ(p.lumGain, 129);
  EXPECT_EQ(p.lumOffset, -3);
  EXPECT_EQ(p.clipTop, 8);
  EXPECT_EQ(p.clipBottom, 8);
  EXPECT_EQ(p.clipLeft, 16);
  EXPECT_EQ(p.clipRight, 16);
  EXPECT_EQ(p.frameRate, 25000);
  EXPECT_EQ(p.pictures, 10u);
  ASSERT_EQ(p.gops.size(), 2u);
  EXPECT_EQ(p.gops[1].firstPicture, 6u);
  EXPECT_EQ(p.gops[1].position, 0x1Fu * 2048);
  EXPECT_TRUE(p.topFieldFirst);
  // Ten whole pictures, the last two dropped.
  EXPECT_EQ(p.frames.size(), 8u);
  EXPECT_TRUE(p.allProgressive);
}

std::string ManyFiles(int n) {
  std::string list = std::to_string(n) + "\n";
  for (int i = 0; i < n; ++i) list += "8 /x/a.m2v\n";
  return Replace(kProject, "1\n8 /x/a.m2v\n", list);
}

std::string LongGop(int pictures) {
  std::string index = "7 0 0";
  for (int i = 0; i < pictures; ++i) index += " 2";
  return Replace(kProject, "7 0 0 2 2 2 2 2 2\n7 0 1F 2 2 2 2 9", index + " 7 0 1 2 2 2 9");
}

// Texts that still load, and what they give.
struct Accepted {
  const char* name;
  std::string text;
  bool lumFilter;
  uint32_t frames;
};

class D2VProjectAccepts : public ::testing::TestWithParam<Accepted> {};

TEST_P(D2VProjectAccepts, Loads) {
  D2VProject p;
  std::string error;
  ASSERT_TRUE(p.Parse(GetParam().text, error)) << error;
  EXPECT_EQ(p.lumFilter, GetParam().lumFilter);
  EXPECT_EQ(p.frames.size(), GetParam().frames);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, D2VProjectAccepts,
    ::testing::Values(
        Accepted{"Plain", kProject, false, 8},
        Accepted{"BlankLinesAndCrLf",
                 Replace(Replace(kProject, "YUVRGB_Scale=1\n", "\r\n   \r\n\tYUVRGB_Scale=1\r\n\n"),
                         "Frame_Rate=25000\n", "Frame_Rate=25000\r\n"),
                 false, 8},
        Accepted{"IndexWithoutEnd", Replace(kProject, " 9\n", ""), false, 8},
        Accepted{"IndexEndsAtBadValue", Replace(kProject, " 2 9\n", " x 2 2"), false, 7},
        Accepted{"LuminanceOn", Replace(kProject, "Luminance=128,0", "Luminance=129,0"), true, 8},
        Accepted{"OldLuminanceLine", Replace(kProject, "Luminance=128,0", "Luminance_Filter=90,12"), false, 8},
        Accepted{"LongKeyLine", Replace(kProject, "Stream_Type=1,0,0", "Stream_Type=1,0,0" + std::string(300, ' ')),
                 false, 8},
        Accepted{"HexWithPrefix", Replace(kProject, "7 0 1F", "7 0 0x1f"), false, 8},
        Accepted{"GopOfTheCacheSize", LongGop(1023), false, 1024}),
    [](const auto& info) { return std::string(info.param.name); });

// Texts that must be refused, each with a reason naming what is wrong.
struct Refused {
  const char* name;
  std::string text;
  const char* reason;
};

class D2VProjectRefuses : public ::testing::TestWithParam<Refused> {};

TEST_P(D2VProjectRefuses, WithAReason) {
  D2VProject p;
  std::string error;
  EXPECT_FALSE(p.Parse(GetParam().text, error));
  EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, D2VProjectRefuses,
    ::testing::Values(
        Refused{"Header", Replace(kProject, "DVD2AVIProjectFile", "DVD2AVIProjectFilx"), "not a DVD2AVI"},
        Refused{"Empty", "", "not a DVD2AVI"},
        Refused{"FileCountMissing", Replace(kProject, "1\n8 /x", "x\n8 /x"), "file count"},
        Refused{"NoFiles", Replace(kProject, "1\n8 /x/a.m2v\n", "0\n"), "0 files"},
        Refused{"TooManyFiles", ManyFiles(257), "257 files"},
        Refused{"PathTooLong", Replace(kProject, "8 /x/a.m2v", "260 /" + std::string(259, 'a')), "at most 259"},
        Refused{"PathShorterThanLength", Replace(kProject, "8 /x/a.m2v", "12 /x/a.m2v"), "shorter"},
        Refused{"StreamTypeValues", Replace(kProject, "Stream_Type=1,0,0", "Stream_Type=1,0"), "Stream_Type"},
        Refused{"IdctRange", Replace(kProject, "iDCT_Algorithm=2", "iDCT_Algorithm=5"), "iDCT_Algorithm 5"},
        Refused{"ScaleMissing", Replace(kProject, "YUVRGB_Scale=1\n", ""), "YUVRGB_Scale"},
        Refused{"LuminanceValues", Replace(kProject, "Luminance=128,0", "Luminance=128"), "Luminance"},
        Refused{"PictureSizeValues", Replace(kProject, "Picture_Size=0,0,0,0,0,0", "Picture_Size=0,0,0,0,0"),
                "Picture_Size"},
        Refused{"NegativeClip", Replace(kProject, "Picture_Size=0,0,0,0,0,0", "Picture_Size=0,-8,0,0,0,0"),
                "negative"},
        Refused{"FieldOperation", Replace(kProject, "Field_Operation=0", "Field_Operation=3"), "Field_Operation 3"},
        Refused{"ZeroFrameRate", Replace(kProject, "Frame_Rate=25000", "Frame_Rate=0"), "Frame_Rate 0"},
        Refused{"FrameRateOverflow", Replace(kProject, "Frame_Rate=25000", "Frame_Rate=99999999999"), "Frame_Rate"},
        Refused{"LocationValues", Replace(kProject, "Location=0,0,0,0", "Location=0,0,0"), "Location"},
        Refused{"NoGop", Replace(Replace(kProject, "7 0 0 ", ""), "7 0 1F ", ""), "no GOP"},
        Refused{"GopFile", Replace(kProject, "7 0 1F", "7 1 1F"), "names file 1 of 1"},
        Refused{"PicturesBeforeGop", Replace(kProject, "7 0 0 2", "2 7 0 0 2"), "before its first GOP"},
        Refused{"GopTooLong", LongGop(1024), "at most 1023"}),
    [](const auto& info) { return std::string(info.param.name); });

// The frame table before trimming, for each field operation.
struct TableCase {
  const char* name;
  int fieldOperation;
  std::vector<uint8_t> flags;
  std::vector<std::pair<uint32_t, uint32_t>> frames;  // top, bottom
};

class D2VFrameTable : public ::testing::TestWithParam<TableCase> {};

TEST_P(D2VFrameTable, Builds) {
  const TableCase& c = GetParam();
  const std::vector<D2VFrameEntry> frames = BuildD2VFrames(c.fieldOperation, c.flags);
  std::vector<std::pair<uint32_t, uint32_t>> got;
  for (const D2VFrameEntry& f : frames) got.emplace_back(f.top, f.bottom);
  EXPECT_EQ(got, c.frames);
}

INSTANTIATE_TEST_SUITE_P(
    Cadences, D2VFrameTable,
    ::testing::Values(
        // 3:2 pull-down: one frame per picture when forcing film, five
        // frames of fields otherwise.
        TableCase{"PullDownFilm", 1, {3, 0, 1, 2}, {{0, 0}, {1, 1}, {2, 2}, {3, 3}}},
        TableCase{"PullDownFields", 0, {3, 0, 1, 2}, {{0, 0}, {0, 1}, {1, 2}, {2, 2}, {3, 3}}},
        // Swapping pairs each frame's bottom field with the next top field.
        TableCase{"PullDownSwapped", 2, {3, 0, 1, 2}, {{0, 0}, {1, 1}, {2, 2}, {3, 2}, {3, 3}}},
        TableCase{"SwappedBottomFirst", 2, {0, 0, 0}, {{0, 1}, {1, 2}, {2, 2}}},
        // Bottom field first with a repeated field.
        TableCase{"RepeatBottomFirst", 0, {1, 0, 0}, {{0, 0}, {1, 0}, {2, 1}}},
        // Film forcing drops a picture after three without a repeated field
        // and doubles one after three with.
        TableCase{"FilmDrops", 1, {0, 0, 0, 0, 0, 0, 0, 0}, {{0, 0}, {1, 1}, {3, 3}, {4, 4}, {5, 5}, {6, 6}}},
        TableCase{"FilmDoubles", 1, {1, 1, 1, 1}, {{0, 0}, {1, 1}, {2, 2}, {2, 2}, {3, 3}}},
        TableCase{"NoPictures", 0, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(D2VFrameTable, TrimmingDropsTheLastTwoPictures) {
  for (int op : {0, 1}) {
    std::vector<D2VFrameEntry> frames = BuildD2VFrames(op, {3, 0, 1, 2});
    TrimD2VFrames(frames, 4, op);
    ASSERT_EQ(frames.size(), 2u) << "field operation " << op;
    EXPECT_EQ(frames[1].top, op == 1 ? 1u : 0u);
    EXPECT_EQ(frames[1].bottom, 1u);
  }
  std::vector<D2VFrameEntry> few = BuildD2VFrames(0, {0, 0});
  TrimD2VFrames(few, 2, 0);
  EXPECT_TRUE(few.empty());
}

TEST(D2VFrameTable, NeighboursSharingAPictureAreMarked) {
  std::vector<D2VFrameEntry> frames = BuildD2VFrames(0, {3, 0, 1, 2});
  MarkD2VFrames(frames, 0);
  const std::vector<int> next = {1, 1, 1, 0, 0}, prev = {0, 1, 1, 1, 0};
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].nextShares, next[i]) << i;
    EXPECT_EQ(frames[i].prevShares, prev[i]) << i;
  }
}

TEST(D2VFrameTable, LocatesFramesInTheirGops) {
  D2VProject p;
  std::string error;
  // GOPs at pictures 0, 4, 8 of 12 pictures; frames from fields paired.
  ASSERT_TRUE(p.Parse(Replace(kProject, "7 0 0 2 2 2 2 2 2\n7 0 1F 2 2 2 2 9",
                              "7 0 0 2 2 3 0 7 0 5 1 2 2 2 7 0 9 2 2 2 2 9"),
                      error))
      << error;
  ASSERT_FALSE(p.allProgressive);
  struct Want {
    uint32_t frame, target;
    D2VFrameMode mode;
    size_t gop;
    uint32_t gopPictures, position;
  };
  // Frames: 0/0 1/1 2/2 2/3 3/4 4/4 5/5 ... 11/11, trimmed before 10/10.
  ASSERT_EQ(p.frames.size(), 11u);
  for (const Want& w : {Want{0, 0, D2VFrameMode::Whole, 0, 5, 0}, Want{3, 2, D2VFrameMode::TopFromLower, 0, 5, 3},
                        Want{4, 3, D2VFrameMode::TopFromLower, 0, 5, 4}, Want{5, 4, D2VFrameMode::Whole, 1, 5, 0},
                        Want{8, 7, D2VFrameMode::Whole, 1, 5, 3}}) {
    const D2VFrameLocation l = p.Locate(w.frame);
    EXPECT_EQ(l.target, w.target) << "frame " << w.frame;
    EXPECT_EQ(l.mode, w.mode) << "frame " << w.frame;
    EXPECT_EQ(l.gop, w.gop) << "frame " << w.frame;
    EXPECT_EQ(l.gopPictures, w.gopPictures) << "frame " << w.frame;
    EXPECT_EQ(l.position, w.position) << "frame " << w.frame;
  }
  // The last GOP counts to the end of the index.
  D2VProject q;
  ASSERT_TRUE(q.Parse(kProject, error)) << error;
  EXPECT_EQ(q.Locate(7).gop, 1u);
  EXPECT_EQ(q.Locate(7).gopPictures, 5u);
  EXPECT_EQ(q.Locate(7).position, 1u);
}

}  // namespace
