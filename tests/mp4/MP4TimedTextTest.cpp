// 3GPP timed text to SSA lines, over hand-built samples: the default style,
// each kind of modifier box, karaoke and vertical text, the text box with
// its margins, broken boxes; and the subtitle format blocks and the VobSub
// palette.
#include <gtest/gtest.h>

#include "mp4/MP4MediaTypes.h"
#include "mp4/MP4TimedText.h"
#include "tests/mp4/AtomBuilder.h"

namespace {

using namespace mp4test;

MP4TimedTextSample Sample(const std::wstring& text, const Bytes& boxes = {}) {
  static Bytes keep;
  keep = boxes;
  MP4TimedTextSample s;
  s.text = text;
  s.boxes = keep.data();
  s.boxes_size = keep.size();
  s.entry.vertical_justification = 0xFF;  // bottom
  s.entry.style.font_size = 18;
  s.entry.style.text_color_rgba = 0xFFFFFFFF;
  s.font = "Arial";
  s.frame_width = 640;
  s.frame_height = 480;
  s.duration_ms = 2000;
  return s;
}

const std::string kDefault = "{\\b0\\i0\\u0}{\\fs18}{\\1cffffff\\1a00}{\\fnArial}{\\an1}{\\2cffffff\\2a00}";
const std::string kReset = "{\\1cffffff\\1a00}{\\fs18}{\\b0\\i0\\u0}";

Bytes ModBox(const std::string& type, const Bytes& payload) { return Box(type, payload); }

TEST(MP4TimedText, DefaultStyleAndWholeFrameBox) {
  const MP4TimedTextLine out = ConvertTimedText(Sample(L"Hi"));
  EXPECT_EQ(out.line, "0,0,Text,,2,2,2,2,,{\\clip(0,0,640,480)}" + kDefault + "Hi");
  EXPECT_EQ(out.box.right, 640);
}

TEST(MP4TimedText, AlignmentAndFonts) {
  struct Align {
    int h, v, an;
  };
  for (const Align& a : {Align{0, 0, 7}, Align{1, 0, 8}, Align{-1, 0, 9}, Align{0, 1, 4}, Align{1, 1, 5},
                         Align{0, -1, 1}, Align{-1, -1, 3}}) {
    MP4TimedTextSample s = Sample(L"x");
    s.entry.horizontal_justification = static_cast<uint8_t>(a.h);
    s.entry.vertical_justification = static_cast<uint8_t>(a.v);
    EXPECT_NE(ConvertTimedText(s).line.find("{\\an" + std::to_string(a.an) + "}"), std::string::npos) << a.h << a.v;
  }
  struct Font {
    const char* in;
    const char* out;
  };
  for (const Font& f : {Font{"serif", "Times New Roman"}, Font{"SANS-SERIF", "Arial"}, Font{"monospace", "Courier New"},
                        Font{"Comic", "Comic"}}) {
    MP4TimedTextSample s = Sample(L"x");
    s.font = f.in;
    EXPECT_NE(ConvertTimedText(s).line.find(std::string("{\\fn") + f.out + "}"), std::string::npos) << f.in;
  }
}

Bytes Styl(std::initializer_list<std::array<uint32_t, 6>> records, int count = -1) {
  Bytes p;
  Put16(p, count < 0 ? records.size() : static_cast<size_t>(count));
  for (const auto& r : records) {
    Put16(p, r[0]);
    Put16(p, r[1]);
    Put16(p, r[2]);
    Put8(p, r[3]);
    Put8(p, r[4]);
    Put32(p, r[5]);
  }
  return ModBox("styl", p);
}

TEST(MP4TimedText, ModifierBoxes) {
  struct Case {
    const char* what;
    std::wstring text;
    Bytes boxes;
    std::string body;  // what follows the default style
  };
  Bytes hclr_hlit = ModBox("hclr", Bytes{0x00, 0xFF, 0x00, 0xFF});
  PutBytes(hclr_hlit, ModBox("hlit", Bytes{0, 0, 0, 2}));
  Bytes krok;
  Put32(krok, 0);
  Put16(krok, 2);
  for (uint32_t v : {500u, 0x00000002u, 1200u, 0x00020004u}) Put32(krok, v);
  const std::string hl = "{\\1c000000\\1aff}";  // the background colour, transparent
  const Case cases[] = {
      {"styl", L"abcd", Styl({{1, 3, 1, 3, 24, 0xFF000080}}),
       "a{\\1c0000ff\\1a7f}{\\fs24}{\\b1\\i1\\u0}bc" + kReset + "d"},
      {"styl out of range and empty", L"ab", Styl({{5, 9, 1, 1, 9, 0}, {1, 1, 1, 1, 9, 0}}), "ab"},
      {"hclr and hlit", L"abc", hclr_hlit, "{\\3c00ff00\\3a00}{\\bord0.1}ab{\\1cffffff\\1a00}{\\bord}c"},
      {"blnk over 2000 ms", L"ab", ModBox("blnk", Bytes{0, 0, 0, 1}),
       "{\\t(0, 750, \\alpha&Hff&)}{\\t(750, 1500, \\alpha&H00&)}{\\t(1500, 2250, \\alpha&Hff&)}a{\\alpha}b"},
      {"krok", L"abcd", ModBox("krok", krok),
       "{\\kt0\\kf50}" + hl + "ab{\\kt}{\\1cffffff\\1a00}{\\kt50\\kf70}" + hl + "cd{\\kt}{\\1cffffff\\1a00}"},
      {"unknown boxes are passed over", L"ab", Cat({ModBox("zzzz", Bytes(5)), ModBox("blnk", Bytes{0, 1, 0, 2})}),
       "a{\\t(0, 750, \\alpha&Hff&)}{\\t(750, 1500, \\alpha&H00&)}{\\t(1500, 2250, \\alpha&Hff&)}b{\\alpha}"},
      {"a box size below 8 ends the walk", L"ab", Cat({Bytes{0, 0, 0, 4, 'b', 'l', 'n', 'k', 0, 0, 0, 1},
                                                       ModBox("blnk", Bytes{0, 0, 0, 1})}),
       "ab"},
      {"a box past the sample ends the walk", L"ab", Bytes{0, 0, 1, 0, 'b', 'l', 'n', 'k', 0, 0, 0, 1}, "ab"},
      {"a record count past its box", L"abc", Styl({{0, 1, 1, 1, 9, 0xFFFFFFFF}}, 5000),
       "{\\1cffffff\\1a00}{\\fs9}{\\b1\\i0\\u0}a" + kReset + "bc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string line = ConvertTimedText(Sample(c.text, c.boxes)).line;
    const size_t at = line.find(kDefault);
    ASSERT_NE(at, std::string::npos) << line;
    EXPECT_EQ(line.substr(at + kDefault.size()), c.body);
  }
}

TEST(MP4TimedText, TextBoxMarginsAndOffset) {
  Bytes tbox;
  for (uint16_t v : {10, 20, 110, 220}) Put16(tbox, v);
  MP4TimedTextSample s = Sample(L"x", ModBox("tbox", tbox));
  s.offset_x = 5;
  s.offset_y = 7;
  const MP4TimedTextLine out = ConvertTimedText(s);
  EXPECT_EQ(out.line.substr(0, out.line.find(kDefault)), "0,0,Text,,27,417,19,365,,{\\clip(25,17,225,117)}");
  EXPECT_EQ(TimedTextBoxLine(out.box, 0x11223380),
            "0,-1,Text,,0,0,0,0,,{\\an7\\pos(25,17)\\1c332211\\1a7f\\bord0\\shad0}{\\p1}m 0 0 l 200 0 l 200 100 l 0 "
            "100 {\\p0}");
  // The entry's own box, and one too small for its inner rectangle.
  MP4TimedTextSample own = Sample(L"x");
  own.entry.text_box = {0, 0, 3, 3};
  EXPECT_EQ(ConvertTimedText(own).line.substr(0, 35), "0,0,Text,,0,0,0,0,,{\\clip(0,0,3,3)}");
}

TEST(MP4TimedText, KaraokeAndVerticalText) {
  MP4TimedTextSample karaoke = Sample(L"ab\ncd", ModBox("krok", Bytes{0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 1}));
  karaoke.entry.display_flags = 0x800;
  karaoke.entry.background_color_rgba = 0x0000FFFF;  // blue highlight
  karaoke.duration_ms = 2500;
  const std::string line = ConvertTimedText(karaoke).line;
  // The highlight after the default style; (2500 - 500) / 10 centiseconds
  // spread 2:2 over the two lines; no krok box then.
  EXPECT_NE(line.find(kDefault + "{\\1cff0000\\1a00}{\\kf100}ab\n{\\kf100}cd"), std::string::npos) << line;
  EXPECT_EQ(line.find("\\kt"), std::string::npos);

  MP4TimedTextSample vertical = Sample(L"ab");
  vertical.entry.display_flags = 0x20000;
  EXPECT_NE(ConvertTimedText(vertical).line.find(kDefault + "a\\Nb\\N"), std::string::npos);
  EXPECT_EQ(SsaLineBreaks("a\r\nb\nc"), "a\\Nb\\Nc");
}

TEST(MP4SubtitleTypes, InfoBlockAndVobSubPalette) {
  const std::wstring long_name(300, L'n');
  const std::vector<BYTE> block = mp4split::SubtitleInfoBlock("english", long_name, "script");
  ASSERT_EQ(block.size(), 520u + 6);
  const auto* si = reinterpret_cast<const mp4split::SUBTITLEINFO*>(block.data());
  EXPECT_EQ(si->dwOffset, 520u);
  EXPECT_EQ(std::string(si->IsoLang, 3), "eng");
  EXPECT_EQ(si->IsoLang[3], 0);
  EXPECT_EQ(si->TrackName[254], u'n');
  EXPECT_EQ(si->TrackName[255], 0);  // the name keeps its end
  EXPECT_EQ(std::string(block.begin() + 520, block.end()), "script");

  // Y, Cb, Cr: black below the luma range (not the wrap of its low byte),
  // white at and above its top, and a red (Y 81, Cb 90, Cr 240).
  BYTE palette[64] = {};
  const BYTE entries[][3] = {{0, 128, 128}, {16, 128, 128}, {235, 128, 128}, {255, 128, 128}, {81, 90, 240}};
  for (int i = 0; i < 16; i++) {
    const BYTE* e = entries[std::min(i, 4)];
    palette[4 * i + 1] = e[0];
    palette[4 * i + 2] = e[1];
    palette[4 * i + 3] = e[2];
  }
  const std::string index = mp4split::VobSubIndex(720, 576, palette);
  EXPECT_EQ(index.substr(0, index.find("palette: ")),
            "# VobSub index file, v7 (do not modify this line!)\nsize: 720x576\n");
  EXPECT_EQ(index.substr(index.find("palette: ") + 9, 34), "000000,000000,ffffff,ffffff,e80807");
}

}  // namespace
