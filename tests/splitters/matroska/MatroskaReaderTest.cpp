// The Matroska reader on hand-built EBML: value and size coding, the node
// walk with its recovery, lacing, content encodings and the file model's
// open sequence.
#include <gtest/gtest.h>
#include <zlib.h>

#include <memory>

#include "splitters/matroska/MatroskaFile.h"
#include "tests/foundation/MemAsyncReader.h"
#include "tests/splitters/matroska/EbmlWriter.h"

using namespace MatroskaReader;
using ebml::Bytes;

namespace {

// A file model over bytes in memory; `arriving` makes it a file still
// being written (its total length unknown).
struct Opened {
  explicit Opened(const Bytes& bytes, bool arriving = false) {
    reader = new MemAsyncReader(std::vector<BYTE>(bytes.begin(), bytes.end()));
    if (arriving) reader->SetLengths(0, static_cast<LONGLONG>(bytes.size()));
    file = std::make_unique<CMatroskaFile>(reader, hr);
  }
  ~Opened() {
    file.reset();
    reader->Release();
  }
  MemAsyncReader* reader;
  HRESULT hr = E_FAIL;
  std::unique_ptr<CMatroskaFile> file;
};

// ---------------------------------------------------------------------------
// Values

enum class Kind { UInt, Int, Float, Id, Length, SignedLength };

struct ValueCase {
  const char* what;
  Kind kind;
  Bytes bytes;  // an element (for UInt, Int, Float) or a bare coded field
  bool valid;
  double value;
};

TEST(MatroskaReader, ValuesAndCodings) {
  const Bytes header = ebml::Header();
  const ValueCase cases[] = {
      {"CInt FF FE", Kind::Int, {0x81, 0x82, 0xFF, 0xFE}, true, -2},
      {"CInt 7F FE", Kind::Int, {0x81, 0x82, 0x7F, 0xFE}, true, 0x7FFE},
      {"CInt of size 0", Kind::Int, {0x81, 0x80}, true, 0},
      {"CInt of 8 bytes", Kind::Int, {0x81, 0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD}, true, -3},
      {"CInt of 9 bytes", Kind::Int, {0x81, 0x89, 0, 0, 0, 0, 0, 0, 0, 0, 1}, false, 0},
      {"CUInt of size 0", Kind::UInt, {0x81, 0x80}, true, 0},
      {"CUInt 01 00 00", Kind::UInt, {0x81, 0x83, 0x01, 0x00, 0x00}, true, 65536},
      {"CFloat single", Kind::Float, {0x81, 0x84, 0x3F, 0xC0, 0x00, 0x00}, true, 1.5},
      {"CFloat double", Kind::Float, {0x81, 0x88, 0x40, 0x02, 0, 0, 0, 0, 0, 0}, true, 2.25},
      {"CFloat of size 5", Kind::Float, {0x81, 0x85, 0x3F, 0xC0, 0, 0, 0}, false, 0},
      {"identifier 0x0F", Kind::Id, {0x0F, 0x43, 0xB6, 0x75}, false, 0},
      {"identifier 0x10", Kind::Id, {0x10, 0x43, 0xA7, 0x70}, true, 0x1043A770},
      {"identifier 0x42 86", Kind::Id, {0x42, 0x86}, true, 0x4286},
      {"size byte 0", Kind::Length, {0x00, 0x81}, false, 0},
      {"size 0x4001", Kind::Length, {0x40, 0x01}, true, 1},
      {"size 0x81", Kind::Length, {0x81}, true, 1},
      {"signed 0xBF", Kind::SignedLength, {0xBF}, true, 0},
      {"signed 0x80", Kind::SignedLength, {0x80}, true, -63},
      {"signed 0x4000", Kind::SignedLength, {0x40, 0x00}, true, -8191},
      {"signed 0x5FFF", Kind::SignedLength, {0x5F, 0xFF}, true, 0},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.what);
    Opened o(ebml::Cat({header, c.bytes}));
    ASSERT_EQ(o.hr, S_OK);
    CMatroskaNode root(o.file.get());
    o.file->Seek(static_cast<LONGLONG>(header.size()));
    bool valid = false;
    double value = 0;
    switch (c.kind) {
      case Kind::UInt:
      case Kind::Int:
      case Kind::Float: {
        CMatroskaNode n(&root);
        ASSERT_TRUE(n.IsValid());
        if (c.kind == Kind::UInt) {
          CUInt v;
          valid = SUCCEEDED(v.Parse(&n)) && v.IsValid();
          value = static_cast<double>(v.Value());
        } else if (c.kind == Kind::Int) {
          CInt v;
          valid = SUCCEEDED(v.Parse(&n)) && v.IsValid();
          value = static_cast<double>(v.Value());
        } else {
          CFloat v;
          valid = SUCCEEDED(v.Parse(&n)) && v.IsValid();
          value = v.Value();
        }
        break;
      }
      case Kind::Id: {
        CID v;
        valid = SUCCEEDED(v.Parse(&root)) && v.IsValid();
        value = v.Value();
        break;
      }
      case Kind::Length: {
        CLength v;
        valid = SUCCEEDED(v.Parse(&root)) && v.IsValid();
        value = static_cast<double>(v.Value());
        break;
      }
      case Kind::SignedLength: {
        CSignedLength v;
        valid = SUCCEEDED(v.Parse(&root)) && v.IsValid();
        value = static_cast<double>(v.Signed());
        break;
      }
    }
    EXPECT_EQ(valid, c.valid);
    if (c.valid) {
      EXPECT_EQ(value, c.value);
    }
  }
}

TEST(MatroskaReader, UnknownSizeRunsToTheEndOfTheFile) {
  const Bytes header = ebml::Header();
  const Bytes bytes = ebml::Cat({header, {0x81, 0xFF}, Bytes(37, 0)});
  Opened o(bytes);
  CMatroskaNode root(o.file.get());
  o.file->Seek(static_cast<LONGLONG>(header.size()));
  CMatroskaNode n(&root);
  ASSERT_TRUE(n.IsValid());
  EXPECT_EQ(n.Size(), 37u);
  EXPECT_EQ(n.EndPos(), bytes.size());
}

// ---------------------------------------------------------------------------
// Node walk

TEST(MatroskaReader, ChildrenSiblingsAndSizes) {
  const Bytes header = ebml::Header();
  // An empty element, then a parent with two children, the second
  // claiming more than its parent holds.
  const Bytes parent = ebml::Element(0xC1, ebml::Cat({ebml::UInt(0xC2, 7), {0xC3, 0x90, 1, 2}}));
  const Bytes bytes = ebml::Cat({header, {0xC0, 0x80}, parent});
  Opened o(bytes);
  CMatroskaNode root(o.file.get());
  o.file->Seek(static_cast<LONGLONG>(header.size()));
  CMatroskaNode empty(&root);
  ASSERT_TRUE(empty.IsValid());
  EXPECT_EQ(empty.Child(), nullptr) << "an element of size 0 has no children";
  ASSERT_TRUE(empty.Next());
  EXPECT_EQ(empty.Id(), 0xC1u);
  auto child = empty.Child();
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(child->Id(), 0xC2u);
  ASSERT_TRUE(child->Next());
  EXPECT_EQ(child->Id(), 0xC3u);
  EXPECT_EQ(child->EndPos(), empty.EndPos()) << "a child never reaches past its parent";
  EXPECT_FALSE(child->Next()) << "the last child has no next";
  EXPECT_FALSE(empty.Next()) << "the last top-level element has no next";
}

TEST(MatroskaReader, DamageBetweenTopLevelElementsIsSkipped) {
  const Bytes tracks = ebml::Tracks({{}});
  const Bytes bytes =
      ebml::Cat({ebml::Header(), ebml::Segment(ebml::Cat({ebml::Info(), Bytes{0x00, 0x00, 0x42, 0x13, 0x00}, tracks,
                                                          ebml::Cluster(0, ebml::SimpleBlock(1, 0, true, {1})),
                                                          Bytes{0x00, 0x17, 0x00},
                                                          ebml::Cluster(5, ebml::SimpleBlock(1, 0, true, {2}))}))});
  Opened o(bytes);
  ASSERT_EQ(o.hr, S_OK);
  ASSERT_EQ(o.file->m_segment.Tracks.size(), 1u);
  EXPECT_EQ(o.file->m_segment.Tracks[0]->te.size(), 1u);

  // Both clusters are reached across the damage.
  CMatroskaNode root(o.file.get());
  auto segment = root.Child(kIdSegment);
  ASSERT_NE(segment, nullptr);
  auto cluster = segment->Child(kIdCluster);
  ASSERT_NE(cluster, nullptr);
  ASSERT_TRUE(cluster->Next(true));
  Cluster c;
  ASSERT_EQ(c.ParseTimeCode(cluster.get()), S_OK);
  EXPECT_EQ(c.TimeCode.Value(), 5u);
  EXPECT_FALSE(cluster->Next(true));
}

// ---------------------------------------------------------------------------
// Lacing

struct LacingCase {
  const char* what;
  uint8_t flags;  // lacing bits
  Bytes rest;     // lacing header and frame bytes
  std::vector<size_t> sizes;  // empty: the block is refused
};

TEST(MatroskaReader, LacingModes) {
  auto bytesOf = [](std::initializer_list<Bytes> parts) { return ebml::Cat(parts); };
  const LacingCase cases[] = {
      {"none", 0x00, Bytes(7, 1), {7}},
      {"Xiph 255, 0", 0x02, bytesOf({{0x01, 0xFF, 0x00}, Bytes(260, 1)}), {255, 5}},
      {"Xiph 255, 10", 0x02, bytesOf({{0x01, 0xFF, 0x0A}, Bytes(270, 1)}), {265, 5}},
      {"Xiph sizes past the block", 0x02, bytesOf({{0x01, 0xFF, 0x0A}, Bytes(100, 1)}), {}},
      {"Xiph size bytes past the block", 0x02, {0x03, 0xFF, 0xFF}, {}},
      {"fixed c = 2 over 10 bytes", 0x04, bytesOf({{0x02}, Bytes(10, 1)}), {3, 3, 3}},
      {"fixed c = 255", 0x04, bytesOf({{0xFF}, Bytes(512, 1)}), std::vector<size_t>(256, 2)},
      {"EBML c = 0", 0x06, bytesOf({{0x00}, Bytes(9, 1)}), {9}},
      {"EBML c = 2, E4 BF", 0x06, bytesOf({{0x02, 0xE4, 0xBF}, Bytes(250, 1)}), {100, 100, 50}},
      {"EBML c = 2, E4 9F", 0x06, bytesOf({{0x02, 0xE4, 0x9F}, Bytes(250, 1)}), {100, 68, 82}},
      {"EBML size going negative", 0x06, bytesOf({{0x02, 0x82, 0x80}, Bytes(50, 1)}), {}},
      {"EBML sizes past the block", 0x06, bytesOf({{0x02, 0xE4, 0xBF}, Bytes(150, 1)}), {}},
  };
  for (const LacingCase& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes header = ebml::Header();
    const Bytes block = ebml::Element(0xA3, ebml::BlockBody(3, -2, c.flags, c.rest));
    Opened o(ebml::Cat({header, block, Bytes{0xEC, 0x80}}));
    CMatroskaNode root(o.file.get());
    o.file->Seek(static_cast<LONGLONG>(header.size()));
    CMatroskaNode n(&root);
    ASSERT_TRUE(n.IsValid());
    BlockGroup bg;
    const HRESULT hr = SimpleBlock::ParseInto(&n, true, bg);
    if (c.sizes.empty()) {
      EXPECT_TRUE(FAILED(hr));
      EXPECT_TRUE(bg.b.BlockData.empty());
      continue;
    }
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(bg.b.TrackNumber.Value(), 3u);
    EXPECT_EQ(bg.b.TimeCode.Value(), -2);
    EXPECT_TRUE(bg.ReferenceBlock.IsValid()) << "no key-frame flag: a reference";
    std::vector<size_t> sizes;
    for (const auto& f : bg.b.BlockData) sizes.push_back(f.size());
    EXPECT_EQ(sizes, c.sizes);
  }
}

// ---------------------------------------------------------------------------
// Content encodings

std::unique_ptr<ContentEncoding> Encoding(uint64_t type, uint64_t algo, uint64_t scope, uint64_t order,
                                          const Bytes& settings = {}) {
  auto ce = std::make_unique<ContentEncoding>();
  ce->ContentEncodingType.Set(type);
  ce->ContentEncodingScope.Set(scope);
  ce->ContentEncodingOrder.Set(order);
  ce->cc.ContentCompAlgo.Set(algo);
  ce->cc.ContentCompSettings.assign(settings.begin(), settings.end());
  return ce;
}

std::vector<BYTE> Deflate(const std::vector<BYTE>& in) {
  uLongf size = compressBound(static_cast<uLong>(in.size()));
  std::vector<BYTE> out(size);
  EXPECT_EQ(compress(out.data(), &size, in.data(), static_cast<uLong>(in.size())), Z_OK);
  out.resize(size);
  return out;
}

TEST(MatroskaReader, ContentEncodings) {
  std::vector<BYTE> plain(3000);
  for (size_t i = 0; i < plain.size(); i++) plain[i] = static_cast<BYTE>(i * 7 + i / 13);
  const std::vector<BYTE> packed = Deflate(plain);

  struct Case {
    const char* what;
    std::vector<std::unique_ptr<ContentEncoding>> encodings;
    std::vector<BYTE> data;
    UINT64 scope;
    bool ok;
    std::vector<BYTE> result;
  };
  std::vector<Case> cases;
  auto add = [&](const char* what, std::vector<BYTE> data, UINT64 scope, bool ok, std::vector<BYTE> result) {
    cases.push_back({what, {}, std::move(data), scope, ok, std::move(result)});
    return &cases.back().encodings;
  };

  // 3000 bytes: exactly three output rounds, ended by the stream's end.
  add("zlib to a multiple of 1000", packed, 1, true, plain)->push_back(Encoding(0, 0, 1, 0));
  add("zlib cut short", std::vector<BYTE>(packed.begin(), packed.end() - 6), 1, false, {})
      ->push_back(Encoding(0, 0, 1, 0));
  add("zlib of garbage", std::vector<BYTE>(100, 0x55), 1, false, {})->push_back(Encoding(0, 0, 1, 0));
  add("header stripping succeeds", {3, 4}, 2, true, {1, 2, 3, 4})->push_back(Encoding(0, 3, 2, 0, {1, 2}));
  add("other scope passed over", {3, 4}, 1, true, {3, 4})->push_back(Encoding(0, 3, 2, 0, {1, 2}));
  add("encryption cannot be undone", {3, 4}, 1, false, {})->push_back(Encoding(1, 0, 1, 0));
  add("unknown algorithm", {3, 4}, 1, false, {})->push_back(Encoding(0, 2, 1, 0));
  {
    // Written as: strip [9] (order 0), then deflate (order 1); read back
    // highest order first.
    std::vector<BYTE> stripped(plain.begin() + 1, plain.end());
    auto* list = add("two encodings, highest order first", Deflate(stripped), 1, true, {});
    cases.back().result = stripped;
    cases.back().result.insert(cases.back().result.begin(), plain[0]);
    list->push_back(Encoding(0, 3, 1, 0, {plain[0]}));
    list->push_back(Encoding(0, 0, 1, 1));
  }

  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    TrackEntry te;
    for (auto& e : c.encodings) te.ces.ce.push_back(std::move(e));
    std::vector<BYTE> data = c.data;
    EXPECT_EQ(te.ApplyContentEncodings(data, c.scope), c.ok);
    if (c.ok) {
      EXPECT_EQ(data, c.result);
    }
  }
}

TEST(MatroskaReader, AnInflationBombIsRefused) {
  TrackEntry te;
  te.ces.ce.push_back(Encoding(0, 0, 1, 0));
  std::vector<BYTE> data = Deflate(std::vector<BYTE>(80u << 20, 0));
  EXPECT_FALSE(te.ApplyContentEncodings(data, 1));
}

// ---------------------------------------------------------------------------
// File model

TEST(MatroskaReader, OpenRefusesWhatIsNotMatroska) {
  const Bytes body = ebml::Segment(ebml::Cat({ebml::Info(), ebml::Tracks({{}})}));
  struct Case {
    const char* what;
    Bytes bytes;
    HRESULT hr;
  } cases[] = {
      {"Matroska", ebml::Cat({ebml::Header(), body}), S_OK},
      {"not EBML", ebml::Cat({{0x1A, 0x45, 0xDF, 0xA2}, body}), E_FAIL},
      {"webm", ebml::Cat({ebml::Header("webm"), body}), E_FAIL},
      {"read version 3", ebml::Cat({ebml::Header("matroska", 3), body}), E_FAIL},
      {"three bytes", {0x1A, 0x45, 0xDF}, E_FAIL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Opened o(c.bytes);
    EXPECT_EQ(o.hr, c.hr);
  }
}

TEST(MatroskaReader, SegmentsSeekIndexAndFirstClusterTime) {
  // Segment 1 has no UID, so a second Segment is read into the same
  // record; its Info overwrites the scale.
  const Bytes first = ebml::Segment(ebml::Cat({ebml::Info(1000000), ebml::Tracks({{}})}));
  const Bytes second = ebml::Segment(ebml::Cat({ebml::Info(500000), ebml::Tracks({{}})}));
  Opened o(ebml::Cat({ebml::Header(), first, second}));
  ASSERT_EQ(o.hr, S_OK);
  EXPECT_EQ(o.file->m_segment.Tracks.size(), 2u);
  EXPECT_EQ(o.file->m_segment.SegmentInfo.TimeCodeScale.Value(), 500000u);

  // Cues behind the clusters, found through the seek head when the file is
  // whole; the first cluster's time is the zero of the output.
  const Bytes info = ebml::Info(1000000);
  const Bytes tracks = ebml::Tracks({{}});
  const Bytes cluster = ebml::Cluster(1000, ebml::SimpleBlock(1, 0, true, {1, 2, 3}));
  const Bytes cues = ebml::Element(
      0x1C53BB6B,
      ebml::Element(0xBB, ebml::Cat({ebml::UInt(0xB3, 1000),
                                     ebml::Element(0xB7, ebml::Cat({ebml::UInt(0xF7, 1), ebml::UInt(0xF1, 0)}))})));
  auto seekHead = [](uint64_t cuesAt) {
    return ebml::Element(0x114D9B74, ebml::Element(0x4DBB, ebml::Cat({ebml::Element(0x53AB, ebml::Id(0x1C53BB6B)),
                                                                      ebml::UInt(0x53AC, cuesAt)})));
  };
  // Positions below 256 take one byte, so one pass gives the layout.
  const size_t headSize = seekHead(0).size();
  const uint64_t cuesAt = headSize + info.size() + tracks.size() + cluster.size();
  ASSERT_LT(cuesAt, 256u);
  const Bytes file = ebml::Cat({ebml::Header(), ebml::Segment(ebml::Cat({seekHead(cuesAt), info, tracks, cluster, cues}))});

  Opened whole(file);
  ASSERT_EQ(whole.hr, S_OK);
  ASSERT_EQ(whole.file->m_segment.Cues.size(), 1u);
  EXPECT_EQ(whole.file->m_segment.Cues[0]->CuePoints.size(), 1u);
  EXPECT_EQ(whole.file->m_rtOffset, 10000000);

  Opened arriving(file, true);
  ASSERT_EQ(arriving.hr, S_OK);
  EXPECT_TRUE(arriving.file->m_segment.Cues.empty()) << "a file still arriving does not read ahead for its cues";
}

TEST(MatroskaReader, XiphLacedPrivateData) {
  std::vector<std::vector<BYTE>> packets;
  const BYTE three[] = {2, 3, 1, 'a', 'b', 'c', 'd', 'e', 'f'};
  ASSERT_TRUE(SplitXiphLaced(three, sizeof three, packets));
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[0].size(), 3u);
  EXPECT_EQ(packets[1].size(), 1u);
  EXPECT_EQ(packets[2], (std::vector<BYTE>{'e', 'f'}));
  const BYTE overrun[] = {2, 30, 1, 'a', 'b'};
  EXPECT_FALSE(SplitXiphLaced(overrun, sizeof overrun, packets));
  const BYTE cut[] = {2, 255};
  EXPECT_FALSE(SplitXiphLaced(cut, sizeof cut, packets));
}

}  // namespace
