// The parse states, display order and robustness of CMpeg2Dec.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "decoders/mpeg2video/Mpeg2Dec.h"
#include "tests/decoders/mpeg2video/Mpeg2TestSupport.h"

namespace {

std::vector<int> Without(const std::vector<int>& states, int drop) {
  std::vector<int> out;
  for (int s : states)
    if (s != drop) out.push_back(s);
  return out;
}

// Feeding the stream one byte at a time splits every start code across
// ranges; the result must not change.
TEST(Mpeg2Parser, StartCodesSplitAcrossRangesAreFound) {
  const std::vector<uint8_t> es = ReadTestFile("mpeg2-gop12-b2.m2v");
  const DecodeRun whole = OurDecode(es, es.size(), 1);
  const DecodeRun bytes = OurDecode(es, 1, 1);
  EXPECT_EQ(whole.states, bytes.states);
  ASSERT_EQ(whole.frames.size(), bytes.frames.size());
  for (size_t i = 0; i < whole.frames.size(); ++i) EXPECT_EQ(whole.frames[i].y, bytes.frames[i].y);
}

TEST(Mpeg2Parser, StateSequenceOfAnElementaryStream) {
  const std::vector<uint8_t> es = ReadTestFile("mpeg2-gop12-b2.m2v");
  const DecodeRun run = OurDecode(es, 997, 3);
  ASSERT_FALSE(run.states.empty());
  EXPECT_EQ(run.states.front(), CMpeg2Dec::STATE_SEQUENCE);
  EXPECT_EQ(run.states.back(), CMpeg2Dec::STATE_END);
  // Frame pictures only: every header (4) is followed by its completion (7).
  const std::vector<int> pictures =
      Without(Without(Without(run.states, CMpeg2Dec::STATE_SEQUENCE_REPEATED), CMpeg2Dec::STATE_GOP),
              CMpeg2Dec::STATE_SEQUENCE);
  for (size_t i = 0; i + 1 < pictures.size(); i += 2) {
    EXPECT_EQ(pictures[i], CMpeg2Dec::STATE_PICTURE);
    EXPECT_EQ(pictures[i + 1], CMpeg2Dec::STATE_SLICE);
  }
  EXPECT_EQ(std::count(run.states.begin(), run.states.end(), CMpeg2Dec::STATE_PICTURE), 50);
}

// Display order: I0 is held until P3 completes, B pictures show when done.
TEST(Mpeg2Parser, PicturesComeOutInDisplayOrder) {
  const std::vector<uint8_t> es = ReadTestFile("mpeg2-gop12-b2.m2v");
  const DecodeRun run = OurDecode(es, 65536, 4);
  ASSERT_EQ(run.frames.size(), 50u);
  const int gop[12] = {1, 3, 3, 2, 3, 3, 2, 3, 3, 2, 3, 3};
  for (size_t i = 0; i < 48; ++i) EXPECT_EQ(run.frames[i].codingType, gop[i % 12]) << i;
}

// Without a sequence end code the last reference picture is still held when
// the input ends; Flush gives it, so no conversion loses its last frame.
TEST(Mpeg2Parser, FlushGivesTheHeldReferencePicture) {
  std::vector<uint8_t> es = ReadTestFile("mpeg2-gop12-b2.m2v");
  const uint8_t end[4] = {0, 0, 1, 0xB7};
  if (es.size() > 4 && std::equal(end, end + 4, es.end() - 4)) es.resize(es.size() - 4);
  const DecodeRun unflushed = OurDecode(es, 4096, 5, false);
  const DecodeRun flushed = OurDecode(es, 4096, 5, true);
  const std::vector<TestFrame> ref = ReferenceDecode(ReadTestFile("mpeg2-gop12-b2.m2v"));
  EXPECT_LT(unflushed.frames.size(), ref.size());
  ASSERT_EQ(flushed.frames.size(), ref.size());
  EXPECT_GE(Psnr(flushed.frames.back(), ref.back()), 48.0);
}

// A stream cut inside the slices of its last picture: Flush completes that
// picture with what arrived, then gives the held reference.
TEST(Mpeg2Parser, FlushCompletesATruncatedLastPicture) {
  std::vector<uint8_t> es = ReadTestFile("mpeg2-gop12-b2.m2v");
  es.resize(es.size() - 200);
  const DecodeRun run = OurDecode(es, 4096, 6, true);
  EXPECT_EQ(run.frames.size(), 50u);
  EXPECT_EQ(run.states.back(), CMpeg2Dec::STATE_END);
}

TEST(Mpeg2Parser, StreamStartingMidGroupWaitsForASequenceHeader) {
  const std::vector<uint8_t> full = ReadTestFile("mpeg2-gop12-b2.m2v");
  std::vector<uint8_t> es(full.begin() + 3000, full.end());
  const DecodeRun run = OurDecode(es, 4096, 7);
  ASSERT_FALSE(run.states.empty());
  EXPECT_EQ(run.states.front(), CMpeg2Dec::STATE_SEQUENCE);
  // The pictures up to the second group are lost, the two B pictures of
  // the open group whose forward reference was among them are not shown,
  // and everything from the group's I picture on decodes as in full.
  const std::vector<TestFrame> ref = ReferenceDecode(full);
  ASSERT_EQ(run.frames.size(), ref.size() - 12);
  EXPECT_EQ(run.frames.front().codingType, 1);
  for (size_t i = 0; i < run.frames.size(); ++i)
    EXPECT_GE(Psnr(run.frames[i], ref[i + 12]), 48.0) << i;
}

TEST(Mpeg2Parser, RepeatedSequenceHeaderReturnsState2) {
  const DecodeRun run = OurDecode(ReadTestFile("mpeg2-gop12-b2.m2v"), 4096, 8);
  EXPECT_EQ(std::count(run.states.begin(), run.states.end(), CMpeg2Dec::STATE_SEQUENCE), 1);
  EXPECT_GE(std::count(run.states.begin(), run.states.end(), CMpeg2Dec::STATE_SEQUENCE_REPEATED), 3);
}

// Two sequences of different sizes back to back: the first one's held
// picture is still given (state 8) and the new one is taken at once.
TEST(Mpeg2Parser, SizeChangeKeepsEveryPicture) {
  std::vector<uint8_t> a = ReadTestFile("mpeg2-gop12-b2.m2v");
  const std::vector<uint8_t> b = ReadTestFile("mpeg2-odd-208x112.m2v");
  const uint8_t end[4] = {0, 0, 1, 0xB7};
  if (std::equal(end, end + 4, a.end() - 4)) a.resize(a.size() - 4);  // no sequence end between them
  a.insert(a.end(), b.begin(), b.end());
  const DecodeRun run = OurDecode(a, 4096, 9);
  ASSERT_EQ(run.frames.size(), 100u);
  EXPECT_EQ(run.frames[49].width, 176);
  EXPECT_EQ(run.frames[50].width, 208);
  EXPECT_EQ(run.frames[50].codingType, 1);
  EXPECT_EQ(std::count(run.states.begin(), run.states.end(), CMpeg2Dec::STATE_SEQUENCE), 2);
}

TEST(Mpeg2Parser, SkippedPicturesAreMarkedAndNotDecoded) {
  const std::vector<uint8_t> es = ReadTestFile("mpeg2-gop12-b2.m2v");
  CMpeg2Dec dec;
  dec.SetBuffer(es.data(), es.data() + es.size());
  int skipped = 0, shownB = 0;
  for (int state; (state = dec.Parse()) != CMpeg2Dec::STATE_BUFFER;) {
    if (state == CMpeg2Dec::STATE_PICTURE) {
      const Mpeg2Picture* p = dec.Info().m_current_picture;
      ASSERT_NE(p, nullptr);
      dec.Skip((p->flags & Mpeg2Picture::CODING_TYPE_MASK) == 3);
    }
    if (state == CMpeg2Dec::STATE_SLICE) {
      const Mpeg2Picture* p = dec.Info().m_display_picture;
      if (p && (p->flags & Mpeg2Picture::CODING_TYPE_MASK) == 3) {
        EXPECT_TRUE(p->flags & Mpeg2Picture::FLAG_SKIP);
        ++skipped;
      }
      if (p && !(p->flags & Mpeg2Picture::FLAG_SKIP) && (p->flags & 7) == 3) ++shownB;
    }
  }
  EXPECT_EQ(skipped, 32);
  EXPECT_EQ(shownB, 0);
}

TEST(Mpeg2Parser, SequenceInformation) {
  const std::vector<uint8_t> es = ReadTestFile("mpeg2-interlaced.mpg");
  CMpeg2Dec dec;
  const std::vector<uint8_t> v = VideoElementaryStream("mpeg2-interlaced.mpg");
  dec.SetBuffer(v.data(), v.data() + v.size());
  ASSERT_EQ(dec.Parse(), CMpeg2Dec::STATE_SEQUENCE);
  const Mpeg2Sequence* s = dec.Info().m_sequence;
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->picture_width, 352u);
  EXPECT_EQ(s->picture_height, 288u);
  EXPECT_EQ(s->width, 352u);
  EXPECT_EQ(s->height, 288u);  // already a multiple of 32
  EXPECT_EQ(s->frame_period, 1080000u);  // 25 frames/s
  EXPECT_TRUE(s->flags & Mpeg2Sequence::FLAG_MPEG2);
  EXPECT_FALSE(s->flags & Mpeg2Sequence::FLAG_PROGRESSIVE_SEQUENCE);
  // Interlaced frame pictures: two fields, top first.
  int state;
  while ((state = dec.Parse()) != CMpeg2Dec::STATE_PICTURE) ASSERT_NE(state, 0);
  const Mpeg2Picture* p = dec.Info().m_current_picture;
  EXPECT_EQ(p->nb_fields, 2u);
  EXPECT_TRUE(p->flags & Mpeg2Picture::FLAG_TOP_FIELD_FIRST);
  EXPECT_FALSE(p->flags & Mpeg2Picture::FLAG_PROGRESSIVE_FRAME);
}

// Damaged streams: bytes flipped, runs zeroed and pieces cut out. Decoding
// must neither crash nor read outside its input (AddressSanitizer), and must
// come back: the pictures after the damage decode like the reference.
TEST(Mpeg2Parser, DamagedStreamsResynchronise) {
  const std::vector<uint8_t> clean = ReadTestFile("mpeg2-gop12-b2.m2v");
  const std::vector<TestFrame> ref = ReferenceDecode(clean);
  std::mt19937 rng(12);
  for (int round = 0; round < 12; ++round) {
    std::vector<uint8_t> es = clean;
    // Damage only the first third; the last group must come through clean.
    const size_t limit = es.size() / 3;
    for (int n = 0; n < 40; ++n) {
      const size_t at = rng() % limit;
      switch (round % 3) {
        case 0: es[at] ^= static_cast<uint8_t>(1 + rng() % 255); break;
        case 1: std::fill(es.begin() + at, es.begin() + std::min(limit, at + 50), 0); break;
        default: es.erase(es.begin() + at, es.begin() + std::min(limit, at + 1 + rng() % 300)); break;
      }
    }
    const DecodeRun run = OurDecode(es, 1 + rng() % 5000, round);
    ASSERT_GE(run.frames.size(), 12u);
    // The last 12 displayed pictures are the clean last group.
    for (size_t i = 0; i < 12; ++i) {
      const TestFrame& ours = run.frames[run.frames.size() - 12 + i];
      EXPECT_GE(Psnr(ours, ref[ref.size() - 12 + i]), 48.0) << "round " << round << " frame " << i;
    }
  }
}

TEST(Mpeg2Parser, RandomBytesNeitherCrashNorHang) {
  std::mt19937 rng(13);
  for (int round = 0; round < 30; ++round) {
    std::vector<uint8_t> junk(20000 + rng() % 20000);
    for (auto& b : junk) b = static_cast<uint8_t>(rng());
    // Sprinkle start codes so that the header and slice paths run too.
    const uint8_t codes[] = {0xB3, 0xB5, 0xB8, 0x00, 0x01, 0x02, 0xB7, 0xB2, 0xAF};
    for (int n = 0; n < 200; ++n) {
      const size_t at = rng() % (junk.size() - 4);
      junk[at] = 0;
      junk[at + 1] = 0;
      junk[at + 2] = 1;
      junk[at + 3] = codes[rng() % sizeof(codes)];
    }
    const DecodeRun run = OurDecode(junk, 1 + rng() % 3000, round);
    EXPECT_GT(run.states.size(), 0u);
  }
}

// Junk spliced into a valid stream: the decoder recovers at the next
// sequence header and decodes the rest exactly like a clean stream.
TEST(Mpeg2Parser, RecoversAfterJunkAtTheNextSequenceHeader) {
  const std::vector<uint8_t> clean = ReadTestFile("mpeg2-gop30-b3.m2v");
  std::vector<uint8_t> es(5000);
  std::mt19937 rng(14);
  for (auto& b : es) b = static_cast<uint8_t>(rng());
  es.insert(es.end(), clean.begin(), clean.end());
  const DecodeRun run = OurDecode(es, 4096, 15);
  const std::vector<TestFrame> ref = ReferenceDecode(clean);
  ASSERT_EQ(run.frames.size(), ref.size());
  for (size_t i = 0; i < ref.size(); ++i) EXPECT_GE(Psnr(run.frames[i], ref[i]), 48.0) << i;
}

// Close followed by Init returns the parser to its fresh state.
TEST(Mpeg2Parser, CloseAndInitStartOver) {
  const std::vector<uint8_t> es = ReadTestFile("mpeg1-odd-208x112.m1v");
  CMpeg2Dec dec;
  dec.SetBuffer(es.data(), es.data() + es.size() / 2);
  while (dec.Parse() != CMpeg2Dec::STATE_BUFFER) {
  }
  dec.Close();
  EXPECT_EQ(dec.Parse(), CMpeg2Dec::STATE_BUFFER);
  dec.Init();
  dec.SetBuffer(es.data(), es.data() + es.size());
  EXPECT_EQ(dec.Parse(), CMpeg2Dec::STATE_SEQUENCE);
  EXPECT_EQ(dec.Info().m_sequence->picture_width, 208u);
  EXPECT_FALSE(dec.Info().m_sequence->flags & Mpeg2Sequence::FLAG_MPEG2);
}

}  // namespace
