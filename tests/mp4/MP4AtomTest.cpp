// The atom library over hand-built atoms: header rules, the factory's
// context rules and nesting limit, path lookup, parents, the leaf and table
// atoms with their lookups and write-back, sample entries, descriptors,
// sample descriptions, the sample table and compressed movie headers.
#include <gtest/gtest.h>
#include <zlib.h>

#include "mp4/MP4Descriptors.h"
#include "mp4/MP4HeaderAtoms.h"
#include "mp4/MP4LeafAtoms.h"
#include "mp4/MP4SampleEntry.h"
#include "mp4/MP4SampleTableAtoms.h"
#include "tests/mp4/AtomBuilder.h"

namespace {

using namespace mp4test;

Bytes U32s(std::initializer_list<uint32_t> values) {
  Bytes b;
  for (uint32_t v : values) Put32(b, v);
  return b;
}

// The bytes of a table atom: version 0, the entry count, the entries.
Bytes Table(const std::string& type, uint32_t count, std::initializer_list<uint32_t> entries) {
  Bytes p;
  Put32(p, count);
  PutBytes(p, U32s(entries));
  return FullBox(type, 0, 0, p);
}

// A sound entry of QuickTime version 0 or 1 with the given children.
Bytes SoundEntry(const std::string& type, uint16_t version, uint32_t rate, const Bytes& children,
                 uint32_t spp = 0, uint32_t bpf = 0) {
  Bytes p(6, 0);
  Put16(p, 1);        // data reference
  Put16(p, version);  // version
  Put16(p, 0);
  Put32(p, 0);
  Put16(p, 2);  // channels
  Put16(p, 16);
  Put16(p, 0);
  Put16(p, 0);
  Put32(p, rate << 16);
  if (version == 1) PutBytes(p, U32s({spp, spp * 4, bpf, 2}));
  PutBytes(p, children);
  return Box(type, p);
}

Bytes VisualEntry(const std::string& type, uint16_t w, uint16_t h, const std::string& compressor, const Bytes& children,
                  uint8_t name_length_override = 0) {
  Bytes p(6, 0);
  Put16(p, 1);
  p.resize(p.size() + 16, 0);
  Put16(p, w);
  Put16(p, h);
  PutBytes(p, U32s({0x00480000, 0x00480000, 0}));
  Put16(p, 1);
  Bytes name(32, 0);
  name[0] = name_length_override ? name_length_override : static_cast<uint8_t>(compressor.size());
  std::copy(compressor.begin(), compressor.end(), name.begin() + 1);
  PutBytes(p, name);
  Put16(p, 24);
  Put16(p, 0xFFFF);
  PutBytes(p, children);
  return Box(type, p);
}

Bytes Stsd(std::initializer_list<Bytes> entries) {
  Bytes p;
  Put32(p, static_cast<uint32_t>(entries.size()));
  for (const Bytes& e : entries) PutBytes(p, e);
  return FullBox("stsd", 0, 0, p);
}

// An ES descriptor with a decoder configuration (and its information when
// given) and an SL configuration.
Bytes EsDescriptor(uint8_t object_type, uint8_t stream_type, const Bytes& dsi) {
  Bytes dcd;
  Put8(dcd, object_type);
  Put8(dcd, (stream_type << 2) | 1);
  Put24(dcd, 0);
  Put32(dcd, 128000);
  Put32(dcd, 96000);
  if (!dsi.empty()) {
    Put8(dcd, 5);
    Put8(dcd, dsi.size());
    PutBytes(dcd, dsi);
  }
  Bytes es;
  Put16(es, 1);
  Put8(es, 0);
  Put8(es, 4);
  Put8(es, dcd.size());
  PutBytes(es, dcd);
  PutBytes(es, {6, 1, 2});
  Bytes d = {3, static_cast<uint8_t>(es.size())};
  PutBytes(d, es);
  return d;
}

Bytes Esds(const Bytes& descriptor) { return FullBox("esds", 0, 0, descriptor); }

// ---------------------------------------------------------------------------
// Header rules and the factory

TEST(MP4Factory, HeaderRules) {
  struct Case {
    const char* what;
    Bytes file;
    std::vector<uint64_t> sizes;  // sizes of the top-level atoms read
  };
  Bytes to_end = {0, 0, 0, 0, 's', 'k', 'i', 'p'};
  to_end.resize(18, 7);
  Bytes seven = {0, 0, 0, 7, 'f', 'r', 'e', 'e', 0, 0, 0, 0};
  Bytes too_long = Box("free", Bytes(4));
  too_long[3] = 100;
  Bytes large_small = {0, 0, 0, 1, 'f', 'r', 'e', 'e', 0, 0, 0, 0, 0, 0, 0, 12};
  const Case cases[] = {
      {"size 0 runs to the end", Cat({Box("free", {}), to_end}), {8, 18}},
      {"64-bit size with a zero high word", Cat({LargeBox("free", Bytes(4)), Box("skip", {})}), {20, 8}},
      {"size below 8 stops the file", Cat({Box("free", {}), seven, Box("skip", {})}), {8}},
      {"size past the end stops the file", Cat({Box("free", {}), too_long}), {8}},
      {"64-bit size below 16", Cat({Box("free", {}), large_small}), {8}},
      {"a few bytes of garbage", Bytes{1, 2, 3}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Parsed p(c.file);
    EXPECT_EQ(p.Movie(), nullptr);
    std::vector<uint64_t> sizes;
    for (MP4_Atom* a : p.file->GetOtherAtoms()) sizes.push_back(a->GetSize());
    EXPECT_EQ(sizes, c.sizes);
  }
  OneAtom large(LargeBox("free", Bytes(4)));
  ASSERT_NE(large.atom, nullptr);
  EXPECT_EQ(large.atom->GetHeaderSize(), 16u);
  EXPECT_EQ(Written(*large.atom), large.bytes);
}

TEST(MP4Factory, ContextDecidesTheClass) {
  const Bytes mp4a = SoundEntry("mp4a", 0, 44100, {});
  const Bytes msadpcm = SoundEntry(std::string("ms\x00\x02", 4), 0, 22050, {});
  // mp4a and ms?? entries are sample entries only directly in stsd.
  OneAtom stsd(Stsd({mp4a, msadpcm}));
  auto* s = stsd.As<MP4_StsdAtom>();
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(s->GetSampleDescriptionCount(), 2u);
  EXPECT_NE(dynamic_cast<MP4_Mp4aSampleEntry*>(s->GetSampleEntry(0)), nullptr);
  EXPECT_NE(dynamic_cast<MP4_AudioSampleEntry*>(s->GetSampleEntry(1)), nullptr);

  OneAtom wave(Box("wave", Cat({Box("frma", U32s({MP4_FourCC("mp4a")})), mp4a, msadpcm})));
  auto* w = wave.As<MP4_ContainerAtom>();
  ASSERT_NE(w, nullptr);
  EXPECT_NE(dynamic_cast<MP4_UnknownAtom*>(w->GetChild(MP4_FourCC("mp4a"))), nullptr);
  EXPECT_NE(dynamic_cast<MP4_UnknownAtom*>(w->GetChild(MP4_FourCC("ms\x00\x02"))), nullptr);
  EXPECT_NE(dynamic_cast<MP4_FrmaAtom*>(w->GetChild(MP4_FourCC("frma"))), nullptr);

  // "rtp " is the SDP atom in hnti and a hint entry elsewhere.
  Bytes rtp_payload = U32s({MP4_FourCC("sdp ")});
  PutText(rtp_payload, "v=0");
  OneAtom udta(Box("udta", Cat({Box("hnti", Box("rtp ", rtp_payload)), Box("rtp ", Bytes(16))})));
  auto* u = udta.As<MP4_ContainerAtom>();
  ASSERT_NE(u, nullptr);
  auto* sdp = dynamic_cast<MP4_RtpAtom*>(u->FindChild("hnti/rtp "));
  ASSERT_NE(sdp, nullptr);
  EXPECT_EQ(sdp->GetSdpText(), "v=0");
  EXPECT_NE(dynamic_cast<MP4_RtpHintSampleEntry*>(u->GetChild(MP4_FourCC("rtp "))), nullptr);
  EXPECT_EQ(udta.factory.GetContext(), 0u);
}

TEST(MP4Factory, DeepNestingStopsAtTheLimit) {
  Bytes atom = Box("free", {});
  for (int i = 0; i < 200; i++) atom = Box("udta", atom);
  OneAtom deep(atom);
  ASSERT_NE(deep.atom, nullptr);
  int depth = 0;
  for (MP4_Atom* a = deep.atom; a; depth++) {
    auto* c = dynamic_cast<MP4_ContainerAtom*>(a);
    a = c ? c->GetChildren().FirstItem() : nullptr;
  }
  EXPECT_EQ(depth, MP4_AtomFactory::kMaxDepth);
}

TEST(MP4Atom, PathLookup) {
  const Bytes ilst = Box("ilst", Box("\xA9nam", Box("data", Bytes(8))));
  const Bytes meta = FullBox("meta", 0, 0, Cat({FullBox("hdlr", 0, 0, Bytes(20)), ilst}));
  const Bytes trak1 = Box("trak", Box("mdia", Box("free", Bytes(1))));
  const Bytes trak2 = Box("trak", Box("mdia", Box("free", Bytes(2))));
  OneAtom moov(Box("moov", Cat({trak1, trak2, Box("udta", meta)})));
  auto* m = moov.As<MP4_MoovAtom>();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->GetTrakAtoms().ItemCount(), 2u);
  MP4_Atom* il = m->FindChild("udta/meta/ilst");
  ASSERT_NE(il, nullptr);
  EXPECT_EQ(il->GetType(), MP4_FourCC("ilst"));
  EXPECT_NE(m->FindChild("udta/meta/ilst/\xA9nam/data"), nullptr);
  MP4_Atom* second = m->FindChild("trak[1]/mdia/free");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->GetSize(), 10u);
  EXPECT_EQ(m->FindChild("trak[0]/mdia/free")->GetSize(), 9u);
  for (const char* bad : {"", "tra", "trak[", "trak[x]", "trak[1", "trakX", "trak[2]/mdia", "mvhd"})
    EXPECT_EQ(m->FindChild(bad), nullptr) << bad;
  // Made on request, as empty containers, only for index 0.
  EXPECT_EQ(m->FindChild("udta/abcd[1]", true), nullptr);
  const uint64_t before = m->GetSize();
  MP4_Atom* made = m->FindChild("udta/abcd/efgh", true);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(m->FindChild("udta/abcd/efgh"), made);
  EXPECT_EQ(m->GetSize(), before + 16);
}

TEST(MP4Atom, ChildrenAndSizes) {
  OneAtom outer(Box("udta", Box("minf", Cat({Box("free", {}), Box("skip", Bytes(4))}))));
  auto* udta = outer.As<MP4_ContainerAtom>();
  ASSERT_NE(udta, nullptr);
  auto* inner = dynamic_cast<MP4_ContainerAtom*>(udta->GetChild(MP4_FourCC("minf")));
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(udta->GetSize(), 36u);

  auto* first = new MP4_ContainerAtom(MP4_FourCC("frst"));
  EXPECT_EQ(inner->AddChild(first, 0), MP4_SUCCESS);
  EXPECT_EQ(inner->GetChildren().FirstItem(), first);
  EXPECT_EQ(udta->GetSize(), 44u);
  auto* mid = new MP4_ContainerAtom(MP4_FourCC("midl"));
  EXPECT_EQ(inner->AddChild(mid, 2), MP4_SUCCESS);
  EXPECT_EQ(inner->GetChild(MP4_FourCC("midl")), mid);
  auto* stray = new MP4_ContainerAtom(MP4_FourCC("stry"));
  EXPECT_EQ(inner->AddChild(stray, 9), MP4_ERROR_OUT_OF_RANGE);
  EXPECT_EQ(inner->AddChild(mid), MP4_ERROR_INVALID_PARAMETERS);  // has a parent
  EXPECT_EQ(udta->RemoveChild(mid), MP4_ERROR_INVALID_PARAMETERS);
  EXPECT_EQ(mid->Detach(), MP4_SUCCESS);
  EXPECT_EQ(mid->GetParent(), nullptr);
  EXPECT_EQ(inner->DeleteChild(MP4_FourCC("frst")), MP4_SUCCESS);
  EXPECT_EQ(inner->DeleteChild(MP4_FourCC("frst")), MP4_FAILURE);
  EXPECT_EQ(udta->GetSize(), 36u);
  // What is written is what the sizes say.
  EXPECT_EQ(Written(*udta), outer.bytes);
  delete mid;
  delete stray;
}

// ---------------------------------------------------------------------------
// Leaf atoms

TEST(MP4LeafAtoms, FieldsAndEdgeCases) {
  Bytes mdhd1;
  Put64(mdhd1, 1);
  Put64(mdhd1, 2);
  Put32(mdhd1, 48000);
  Put64(mdhd1, 0x100000000ull);
  Put16(mdhd1, 0x55C4);
  Put16(mdhd1, 0);
  OneAtom v1(FullBox("mdhd", 1, 0, mdhd1));
  ASSERT_NE(v1.As<MP4_MdhdAtom>(), nullptr);
  EXPECT_EQ(v1.As<MP4_MdhdAtom>()->GetTimeScale(), 48000u);
  EXPECT_EQ(v1.As<MP4_MdhdAtom>()->GetDuration(), 0x100000000ull);
  EXPECT_STREQ(v1.As<MP4_MdhdAtom>()->GetLanguage(), "und");
  OneAtom nolang(FullBox("mdhd", 0, 0, Cat({U32s({0, 0, 600, 1200}), Bytes(4)})));
  EXPECT_STREQ(nolang.As<MP4_MdhdAtom>()->GetLanguage(), "");
  EXPECT_EQ(nolang.As<MP4_MdhdAtom>()->GetDurationMs(), 2000u);

  // A count larger than the atom keeps the entries that fit.
  OneAtom stco(Table("stco", 10, {100, 200}));
  ASSERT_NE(stco.As<MP4_StcoAtom>(), nullptr);
  EXPECT_EQ(stco.As<MP4_StcoAtom>()->GetChunkCount(), 2u);
  MP4_UI64 offset = 0;
  EXPECT_EQ(stco.As<MP4_StcoAtom>()->GetChunkOffset(2, offset), MP4_SUCCESS);
  EXPECT_EQ(offset, 200u);
  EXPECT_EQ(stco.As<MP4_StcoAtom>()->GetChunkOffset(3, offset), MP4_ERROR_OUT_OF_RANGE);
  EXPECT_EQ(stco.As<MP4_StcoAtom>()->GetChunkOffset(0, offset), MP4_ERROR_OUT_OF_RANGE);
  OneAtom tiny(FullBox("stco", 0, 0, {}));
  EXPECT_EQ(tiny.As<MP4_StcoAtom>()->GetChunkCount(), 0u);
  // co64 keeps all 64 bits.
  Bytes co64;
  Put32(co64, 1);
  Put64(co64, 0x123456789ull);
  OneAtom big(FullBox("co64", 0, 0, co64));
  EXPECT_EQ(big.As<MP4_Co64Atom>()->GetChunkOffset(1, offset), MP4_SUCCESS);
  EXPECT_EQ(offset, 0x123456789ull);

  OneAtom hdlr32(FullBox("hdlr", 0, 0, Cat({Bytes(4), U32s({MP4_FourCC("vide")}), Bytes(12)})));
  EXPECT_EQ(hdlr32.As<MP4_HdlrAtom>()->GetHandlerType(), MP4_FourCC("vide"));
  EXPECT_EQ(hdlr32.As<MP4_HdlrAtom>()->GetHandlerName(), "");
  Bytes pascal = Cat({Bytes(4), U32s({MP4_FourCC("soun")}), Bytes(12), Bytes{5}});
  PutText(pascal, "Sound");
  OneAtom hdlr_mov(FullBox("hdlr", 0, 0, pascal));
  EXPECT_EQ(hdlr_mov.As<MP4_HdlrAtom>()->GetHandlerName(), "Sound");

  OneAtom url12(FullBox("url ", 0, 0, {}));
  EXPECT_EQ(url12.As<MP4_UrlAtom>()->GetLocation(), "");
  OneAtom url(FullBox("url ", 0, 0, Bytes{'a', 'b', 0, 'c'}));
  EXPECT_EQ(url.As<MP4_UrlAtom>()->GetLocation(), "ab");

  Bytes schm = U32s({MP4_FourCC("iAEC"), 1});
  PutText(schm, "http://x");
  OneAtom no_uri(FullBox("schm", 0, 0, schm));
  EXPECT_EQ(no_uri.As<MP4_SchmAtom>()->GetSchemeUri(), "");
  OneAtom with_uri(FullBox("schm", 0, 1, schm));
  EXPECT_EQ(with_uri.As<MP4_SchmAtom>()->GetSchemeUri(), "http://x");

  Bytes chpl = {0, 0, 0, 0, 2};
  Put64(chpl, 0);
  PutBytes(chpl, {3, 'O', 'n', 'e'});
  Put64(chpl, 5000000);
  PutBytes(chpl, {9, 'T', 'w'});  // cut short
  OneAtom chapters(FullBox("chpl", 1, 0, chpl));
  const auto& list = chapters.As<MP4_ChplAtom>()->GetChapters();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, "One");

  // Atoms shorter than their fields read zeros, not the next atom.
  OneAtom short_tkhd(Cat({FullBox("tkhd", 0, 0, U32s({0, 0})), Box("free", U32s({77, 77, 77}))}));
  EXPECT_EQ(short_tkhd.As<MP4_TkhdAtom>()->GetTrackId(), 0u);
}

TEST(MP4LeafAtoms, WriteBackGivesTheSameBytes) {
  Bytes mvhd0 = U32s({1, 2, 600, 1200, 0x00010000});
  PutBytes(mvhd0, {1, 0});
  mvhd0.resize(mvhd0.size() + 10, 0);
  PutBytes(mvhd0, U32s({0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000}));
  mvhd0.resize(mvhd0.size() + 24, 0);
  Put32(mvhd0, 3);
  Bytes tkhd0 = U32s({1, 2, 7, 0, 500});
  tkhd0.resize(tkhd0.size() + 16, 0);
  PutBytes(tkhd0, U32s({0x00010000, 0, 0, 0, 0x00010000, 0, 0x00050000, 0x00070000, 0x40000000}));
  PutBytes(tkhd0, U32s({176 << 16, 144 << 16}));
  Bytes hdlr = Cat({Bytes(4), U32s({MP4_FourCC("vide")}), Bytes(12)});
  PutText(hdlr, "VideoHandler");
  hdlr.push_back(0);
  Bytes stsz_const = U32s({4, 3});
  Bytes iSFM = {0x81, 0, 8};
  Bytes dref = U32s({1});
  PutBytes(dref, FullBox("url ", 0, 1, {}));
  const Bytes atoms[] = {
      FullBox("mvhd", 0, 0, mvhd0),
      FullBox("tkhd", 0, 1, tkhd0),
      FullBox("mdhd", 0, 0, Cat({U32s({1, 2, 600, 1200}), Bytes{0x55, 0xC4, 0, 0}})),
      FullBox("hdlr", 0, 0, hdlr),
      FullBox("vmhd", 0, 1, Bytes(8)),
      FullBox("smhd", 0, 0, Bytes(4)),
      FullBox("dref", 0, 0, dref),
      Table("stco", 2, {100, 200}),
      Table("stts", 2, {3, 1000, 2, 500}),
      Table("ctts", 2, {1, 0, 2, 0xFFFFFE00}),
      Table("stss", 3, {1, 13, 25}),
      Table("stsc", 2, {1, 4, 1, 3, 2, 1}),
      Table("stsz", 0, {3, 10, 20, 30}),
      FullBox("stsz", 0, 0, stsz_const),
      Box("ftyp", U32s({MP4_FourCC("isom"), 512, MP4_FourCC("isom"), MP4_FourCC("mp41")})),
      Box("frma", U32s({MP4_FourCC("mp4a")})),
      FullBox("schm", 0, 0, U32s({MP4_FourCC("iAEC"), 1})),
      FullBox("iKMS", 0, 0, Bytes{'k', 'm', 's'}),
      FullBox("iSFM", 0, 0, iSFM),
      Box("sdp ", Bytes{'v', '=', '0'}),
      Box("tims", U32s({90000})),
      Box("hint", U32s({1, 2})),
      FullBox("hmhd", 0, 0, Cat({Bytes{0, 100, 0, 50}, U32s({8000, 4000, 0})})),
      FullBox("esds", 0, 0, EsDescriptor(0x40, 5, {0x12, 0x10})),
  };
  for (const Bytes& bytes : atoms) {
    OneAtom a(bytes);
    ASSERT_NE(a.atom, nullptr);
    SCOPED_TRACE(FourCharsToString(a.atom->GetType()));
    EXPECT_EQ(dynamic_cast<MP4_UnknownAtom*>(a.atom), nullptr);
    EXPECT_EQ(Written(*a.atom), bytes);
  }
  // Kept as bytes, not written.
  for (const char* type : {"avcC", "ftab", "cmvd", "dcom", "data"}) {
    OneAtom a(Box(type, Bytes(8, 1)));
    ASSERT_NE(a.atom, nullptr);
    EXPECT_EQ(a.atom->WriteFields(*a.stream), MP4_FAILURE) << type;
  }
}

// ---------------------------------------------------------------------------
// Table atoms and their lookups

TEST(MP4TableAtoms, Lookups) {
  OneAtom stts_atom(Table("stts", 2, {3, 1000, 2, 500}));
  auto* stts = stts_atom.As<MP4_SttsAtom>();
  ASSERT_NE(stts, nullptr);
  struct Dts {
    uint32_t sample;
    MP4_Result result;
    uint64_t dts, duration;
  };
  for (const Dts& d : {Dts{1, 0, 0, 1000}, Dts{3, 0, 2000, 1000}, Dts{4, 0, 3000, 500}, Dts{5, 0, 3500, 500},
                       Dts{6, MP4_FAILURE, 0, 0}, Dts{0, MP4_FAILURE, 0, 0}}) {
    MP4_UI64 dts = 9, duration = 9;
    EXPECT_EQ(stts->GetDts(d.sample, dts, duration), d.result) << d.sample;
    EXPECT_EQ(dts, d.dts) << d.sample;
    EXPECT_EQ(duration, d.duration) << d.sample;
  }
  struct Index {
    uint64_t ts;
    MP4_Result result;
    uint32_t index;
  };
  for (const Index& i : {Index{0, 0, 0}, Index{2999, 0, 2}, Index{3499, 0, 3}, Index{3500, 0, 4},
                         Index{4000, MP4_FAILURE, 0}}) {
    MP4_UI32 index = 9;
    EXPECT_EQ(stts->GetSampleIndexForTimeStamp(i.ts, index), i.result) << i.ts;
    EXPECT_EQ(index, i.index) << i.ts;
  }

  OneAtom stsc_atom(Table("stsc", 2, {1, 4, 1, 3, 2, 1}));
  auto* stsc = stsc_atom.As<MP4_StscAtom>();
  struct Chunk {
    uint32_t sample, chunk, skip;
  };
  for (const Chunk& c : {Chunk{1, 1, 0}, Chunk{3, 1, 2}, Chunk{5, 2, 0}, Chunk{9, 3, 0}, Chunk{10, 3, 1},
                         Chunk{13, 5, 0}, Chunk{1000, 498, 1}}) {
    MP4_UI32 chunk = 0, skip = 0, description = 0;
    EXPECT_EQ(stsc->GetChunkForSample(c.sample, chunk, skip, description), MP4_SUCCESS) << c.sample;
    EXPECT_EQ(chunk, c.chunk) << c.sample;
    EXPECT_EQ(skip, c.skip) << c.sample;
    EXPECT_EQ(description, 1u);
  }
  // First chunks that do not rise end the table there.
  OneAtom broken(Table("stsc", 3, {1, 4, 1, 5, 2, 1, 3, 9, 1}));
  EXPECT_EQ(broken.As<MP4_StscAtom>()->GetEntries().size(), 2u);
  OneAtom empty_chunks(Table("stsc", 1, {1, 0, 1}));
  MP4_UI32 c = 0, s = 0, d = 0;
  EXPECT_EQ(empty_chunks.As<MP4_StscAtom>()->GetChunkForSample(1, c, s, d), MP4_ERROR_INVALID_FORMAT);

  OneAtom stss_atom(Table("stss", 3, {1, 13, 25}));
  auto* stss = stss_atom.As<MP4_StssAtom>();
  EXPECT_TRUE(stss->IsSampleSync(13));
  EXPECT_FALSE(stss->IsSampleSync(14));
  EXPECT_FALSE(stss->IsSampleSync(26));

  OneAtom stsz_atom(Table("stsz", 0, {3, 10, 20, 30}));
  auto* stsz = stsz_atom.As<MP4_StszAtom>();
  MP4_Size size = 7;
  EXPECT_EQ(stsz->GetSampleSize(4, size), MP4_ERROR_OUT_OF_RANGE);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(stsz->GetSampleSize(2, size), MP4_SUCCESS);
  EXPECT_EQ(size, 20u);
  MP4_UI64 total = 0;
  EXPECT_EQ(stsz->GetSampleSizes(1, 3, total), MP4_SUCCESS);
  EXPECT_EQ(total, 30u);
  EXPECT_EQ(stsz->GetSampleSizes(1, 4, total), MP4_ERROR_OUT_OF_RANGE);
  // A table count beyond the atom keeps what is there.
  OneAtom short_stsz(Table("stsz", 0, {1000000, 5}));
  EXPECT_EQ(short_stsz.As<MP4_StszAtom>()->GetSampleCount(), 1u);

  OneAtom ctts_atom(Table("ctts", 2, {2, 100, 3, 0xFFFFFF00}));
  MP4_UI32 cts = 0;
  EXPECT_EQ(ctts_atom.As<MP4_CttsAtom>()->GetCtsOffset(2, cts), MP4_SUCCESS);
  EXPECT_EQ(cts, 100u);
  EXPECT_EQ(ctts_atom.As<MP4_CttsAtom>()->GetCtsOffset(5, cts), MP4_SUCCESS);
  EXPECT_EQ(static_cast<int32_t>(cts), -256);
  EXPECT_EQ(ctts_atom.As<MP4_CttsAtom>()->GetCtsOffset(6, cts), MP4_FAILURE);
}

// ---------------------------------------------------------------------------
// The sample table

Bytes Stbl(std::initializer_list<Bytes> children) {
  Bytes p;
  for (const Bytes& c : children) PutBytes(p, c);
  return Box("stbl", p);
}

TEST(MP4SampleTable, CombinesTheAtoms) {
  // Chunks of 2 samples at 1000 and 5000; sizes 10, 20, 30, 40; durations
  // 100; composition offsets 200, -100, 0, 0.
  OneAtom stbl(Stbl({Stsd({SoundEntry("mp4a", 0, 44100, {})}), Table("stts", 1, {4, 100}),
                     Table("ctts", 3, {1, 200, 1, 0xFFFFFF9C, 2, 0}), Table("stsc", 1, {1, 2, 1}),
                     Table("stsz", 0, {4, 10, 20, 30, 40}), Table("stco", 2, {1000, 5000})}));
  MP4_AtomSampleTable table(stbl.As<MP4_ContainerAtom>(), *stbl.stream);
  ASSERT_EQ(table.GetSampleCount(), 4u);
  struct Expect {
    uint64_t offset;
    uint32_t size;
    uint64_t dts;
    int64_t cts;
  };
  const Expect expect[] = {{1000, 10, 0, 200}, {1010, 20, 100, 0}, {5000, 30, 200, 200}, {5030, 40, 300, 300}};
  for (uint32_t i = 0; i < 4; i++) {
    MP4_Sample s;
    ASSERT_EQ(table.GetSample(i, s), MP4_SUCCESS);
    EXPECT_EQ(s.GetOffset(), expect[i].offset) << i;
    EXPECT_EQ(s.GetSize(), expect[i].size) << i;
    EXPECT_EQ(s.GetDts(), expect[i].dts) << i;
    EXPECT_EQ(s.GetCts(), expect[i].cts) << i;
    EXPECT_EQ(s.GetDuration(), 100u);
    EXPECT_EQ(s.GetDescriptionIndex(), 0u);
    EXPECT_EQ(s.GetDataStream(), stbl.stream);
  }
  MP4_Sample s;
  EXPECT_EQ(table.GetSample(4, s), MP4_ERROR_OUT_OF_RANGE);
  // The entry has no esds: it gives no description.
  EXPECT_EQ(table.GetSampleDescriptionCount(), 1u);
  EXPECT_EQ(table.GetSampleDescription(0), nullptr);
}

TEST(MP4SampleTable, CountIsWhatCanBeLocatedAndTimed) {
  struct Case {
    const char* what;
    Bytes stts, stsc, stsz, stco;
    uint32_t count;
  };
  const Case cases[] = {
      {"decode times of 3", Table("stts", 1, {3, 1}), Table("stsc", 1, {1, 1, 1}), Table("stsz", 0, {5, 1, 1, 1, 1, 1}),
       Table("stco", 5, {0, 1, 2, 3, 4}), 3},
      {"two chunks of 2", Table("stts", 1, {9, 1}), Table("stsc", 1, {1, 2, 1}), Table("stsz", 0, {5, 1, 1, 1, 1, 1}),
       Table("stco", 2, {0, 8}), 4},
      {"one size, more samples than bytes", Table("stts", 1, {0xFFFFFFFF, 1}), Table("stsc", 1, {1, 0xFFFFFFFF, 1}),
       FullBox("stsz", 0, 0, U32s({1, 0xFFFFFFFF})), Table("stco", 1, {0}), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OneAtom stbl(Stbl({c.stts, c.stsc, c.stsz, c.stco}));
    MP4_AtomSampleTable table(stbl.As<MP4_ContainerAtom>(), *stbl.stream);
    // The last case is bounded by the stream: the bytes of this stbl.
    const uint32_t expect = c.count ? c.count : static_cast<uint32_t>(stbl.bytes.size());
    EXPECT_EQ(table.GetSampleCount(), expect);
  }
}

TEST(MP4SampleTable, QuickTimeSoundCorrection) {
  struct Case {
    const char* what;
    std::vector<Bytes> entries;
    uint32_t count, size, delta;
  };
  const Bytes twos = SoundEntry("twos", 1, 44100, {}, 1024, 4);
  const Case cases[] = {
      {"spp 1024, bpf 4", {twos}, 8, 4, 1024},
      {"spp 0 leaves the tables", {SoundEntry("twos", 1, 44100, {}, 0, 4)}, 8192, 1, 1},
      {"two such entries correct once", {twos, twos}, 8, 4, 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes stsd_payload;
    Put32(stsd_payload, c.entries.size());
    for (const Bytes& e : c.entries) PutBytes(stsd_payload, e);
    OneAtom stbl(Stbl({FullBox("stsd", 0, 0, stsd_payload), Table("stts", 1, {8192, 1}),
                       Table("stsc", 1, {1, 4096, 1}), FullBox("stsz", 0, 0, U32s({1, 8192})),
                       Table("stco", 2, {0, 100})}));
    // A large enough "file" behind it.
    MP4_MemoryByteStream* big = nullptr;
    std::vector<uint8_t> room(1 << 16);
    big = new MP4_MemoryByteStream(room.data(), room.size());
    MP4_AtomSampleTable table(stbl.As<MP4_ContainerAtom>(), *big);
    EXPECT_EQ(table.GetSampleCount(), c.count);
    MP4_Sample s;
    ASSERT_EQ(table.GetSample(c.count - 1, s), MP4_SUCCESS);
    EXPECT_EQ(s.GetSize(), c.size);
    EXPECT_EQ(s.GetDuration(), c.delta);
    big->Release();
  }
}

TEST(MP4SampleTable, GeneratedStblDescribesTheSameSamples) {
  Parsed p(LoadSample("mp4-h264-aac.mp4"));
  ASSERT_NE(p.Movie(), nullptr);
  for (MP4_Track* track : p.Movie()->GetTracks()) {
    MP4_ContainerAtom* made = nullptr;
    ASSERT_EQ(track->GetSampleTable()->GenerateStblAtom(made), MP4_SUCCESS);
    std::unique_ptr<MP4_ContainerAtom> hold(made);
    // The video entry is H.264 without an esds, which has no description to
    // write; the sound entry is rewritten from its description.
    auto* stsd = dynamic_cast<MP4_StsdAtom*>(made->GetChild(MP4_FourCC("stsd")));
    ASSERT_NE(stsd, nullptr);
    EXPECT_EQ(stsd->GetSampleDescriptionCount(), track->GetType() == MP4_Track::TYPE_AUDIO ? 1u : 0u);
    const Bytes written = Written(*made);
    ASSERT_FALSE(written.empty());
    OneAtom again(written);
    MP4_AtomSampleTable table(again.As<MP4_ContainerAtom>(), *p.stream);
    ASSERT_EQ(table.GetSampleCount(), track->GetSampleCount());
    for (uint32_t i = 0; i < table.GetSampleCount(); i++) {
      MP4_Sample a, b;
      ASSERT_EQ(track->GetSample(i, a), MP4_SUCCESS);
      ASSERT_EQ(table.GetSample(i, b), MP4_SUCCESS);
      EXPECT_EQ(a.GetOffset(), b.GetOffset());
      EXPECT_EQ(a.GetSize(), b.GetSize());
      EXPECT_EQ(a.GetDts(), b.GetDts());
    }
  }
}

// ---------------------------------------------------------------------------
// Sample entries and descriptions

TEST(MP4SampleEntries, AudioVersions) {
  const Bytes esds = Esds(EsDescriptor(0x40, 5, {0x12, 0x10}));
  // Version 2: rate 44100.0 as a double, structure size 72 plus 4 extra.
  Bytes v2(6, 0);
  Put16(v2, 1);
  Put16(v2, 2);
  Put16(v2, 0);
  Put32(v2, 0);
  PutBytes(v2, {0, 3, 0, 16, 0xFF, 0xFE, 0, 0, 0, 1, 0, 0});
  Put32(v2, 76);
  double rate = 44100.0;
  uint64_t bits = 0;
  std::memcpy(&bits, &rate, 8);
  Put64(v2, bits);
  Put32(v2, 6);
  v2.resize(v2.size() + 20 + 4, 0);
  PutBytes(v2, esds);
  Bytes bad_v2 = v2;
  bad_v2[31] = 60;  // structure size below 72
  Bytes v3 = SoundEntry("mp4a", 0, 8000, {});
  v3[17] = 3;

  OneAtom stsd(Stsd({SoundEntry("mp4a", 0, 48000, Box("wave", Cat({Box("frma", U32s({MP4_FourCC("mp4a")})), esds}))),
                     SoundEntry("mp4a", 1, 44100, esds, 1024, 8), Box("mp4a", v2), Box("mp4a", bad_v2),
                     v3, SoundEntry("samr", 0, 8000, Box("damr", Bytes(9)))}));
  auto* s = stsd.As<MP4_StsdAtom>();
  ASSERT_NE(s, nullptr);
  // The two broken entries are passed over.
  ASSERT_EQ(s->GetSampleDescriptionCount(), 4u);

  auto* wave = dynamic_cast<MP4_MpegAudioSampleDescription*>(s->GetSampleDescription(0));
  ASSERT_NE(wave, nullptr);
  EXPECT_EQ(wave->GetSampleRate(), 48000u);
  EXPECT_EQ(wave->GetObjectTypeId(), 0x40);
  EXPECT_EQ(wave->GetStreamType(), 5);
  EXPECT_EQ(wave->GetAvgBitrate(), 96000u);
  ASSERT_NE(wave->GetDecoderInfo(), nullptr);
  EXPECT_EQ(wave->GetDecoderInfo()->GetDataSize(), 2u);

  auto* v1 = dynamic_cast<MP4_AudioSampleEntry*>(s->GetSampleEntry(1));
  ASSERT_NE(v1, nullptr);
  EXPECT_EQ(v1->GetSamplesPerPacket(), 1024u);
  EXPECT_EQ(v1->GetBytesPerFrame(), 8u);
  EXPECT_EQ(v1->GetFieldsSize(), 44u);
  EXPECT_NE(s->GetSampleDescription(1), nullptr);  // its esds follows the 16 bytes

  auto* e2 = dynamic_cast<MP4_AudioSampleEntry*>(s->GetSampleEntry(2));
  ASSERT_NE(e2, nullptr);
  EXPECT_EQ(e2->GetSampleRateFixed(), 44100u << 16);
  EXPECT_EQ(e2->GetSampleRate(), 44100u);
  EXPECT_EQ(e2->GetSampleSize(), 0u);
  EXPECT_EQ(e2->GetChannelCount(), 6u);
  EXPECT_NE(s->GetSampleDescription(2), nullptr);

  // No esds: no description.
  EXPECT_EQ(s->GetSampleEntry(3)->GetType(), MP4_FourCC("samr"));
  EXPECT_EQ(s->GetSampleDescription(3), nullptr);
  EXPECT_EQ(s->GetSampleDescription(4), nullptr);
}

TEST(MP4SampleEntries, VisualTextAndHint) {
  Bytes tx3g(6, 0);
  Put16(tx3g, 1);
  PutBytes(tx3g, U32s({0x800}));
  PutBytes(tx3g, {1, 0xFF});
  PutBytes(tx3g, U32s({0x10203040}));
  PutBytes(tx3g, {0, 10, 0, 20, 0, 100, 0, 200});
  PutBytes(tx3g, {0, 0, 0, 0, 0, 2, 1, 18});
  Put32(tx3g, 0xFFFFFFFF);
  Bytes ftab = {0, 2, 0, 1, 5, 'S', 'e', 'r', 'i', 'f', 0, 2, 4, 'M', 'o', 'n', 'o'};
  PutBytes(tx3g, Box("ftab", ftab));
  Bytes rtp(6, 0);
  Put16(rtp, 1);
  PutBytes(rtp, {0, 1, 0, 1});
  Put32(rtp, 1450);

  OneAtom stsd(Stsd({VisualEntry("avc1", 176, 144, "Lavc", Box("avcC", Bytes(20, 1))),
                     VisualEntry("mp4v", 320, 240, "abcde", Esds(EsDescriptor(0x20, 4, {0, 0, 1, 0xB0}))),
                     VisualEntry("cvid", 8, 8, "", {}, 32), Box("tx3g", tx3g), Box("rtp ", rtp),
                     Box("mp4v", Bytes(10))}));
  auto* s = stsd.As<MP4_StsdAtom>();
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(s->GetSampleDescriptionCount(), 6u);

  auto* avc1 = dynamic_cast<MP4_Avc1SampleEntry*>(s->GetSampleEntry(0));
  ASSERT_NE(avc1, nullptr);
  EXPECT_EQ(avc1->GetWidth(), 176);
  EXPECT_EQ(avc1->GetCompressorName(), "Lavc");
  EXPECT_NE(dynamic_cast<MP4_AvcCAtom*>(avc1->GetChild(MP4_FourCC("avcC"))), nullptr);
  EXPECT_EQ(s->GetSampleDescription(0), nullptr);  // no esds

  auto* mp4v = dynamic_cast<MP4_MpegVideoSampleDescription*>(s->GetSampleDescription(1));
  ASSERT_NE(mp4v, nullptr);
  EXPECT_EQ(mp4v->GetWidth(), 320);
  EXPECT_EQ(mp4v->GetHeight(), 240);
  EXPECT_EQ(mp4v->GetCompressorName(), "abcde");
  EXPECT_EQ(mp4v->GetObjectTypeId(), 0x20);

  EXPECT_EQ(dynamic_cast<MP4_VisualSampleEntry*>(s->GetSampleEntry(2))->GetCompressorName(), "");

  auto* text = dynamic_cast<MP4_Tx3gSampleEntry*>(s->GetSampleEntry(3));
  ASSERT_NE(text, nullptr);
  const auto& d = text->GetDescription();
  EXPECT_EQ(d.display_flags, 0x800u);
  EXPECT_EQ(static_cast<int8_t>(d.vertical_justification), -1);
  EXPECT_EQ(d.background_color_rgba, 0x10203040u);
  EXPECT_EQ(d.text_box.right, 200);
  EXPECT_EQ(d.style.font_id, 2);
  EXPECT_EQ(d.style.font_size, 18);
  std::string font;
  EXPECT_TRUE(text->GetFontNameById(2, font));
  EXPECT_EQ(font, "Mono");
  EXPECT_FALSE(text->GetFontNameById(3, font));
  auto* unknown = dynamic_cast<MP4_UnknownSampleDescription*>(s->GetSampleDescription(3));
  ASSERT_NE(unknown, nullptr);
  EXPECT_EQ(unknown->GetSampleEntry(), text);
  EXPECT_NE(dynamic_cast<MP4_UnknownSampleDescription*>(s->GetSampleDescription(4)), nullptr);
  // An entry shorter than its fields has no children and no description.
  EXPECT_EQ(s->GetSampleDescription(5), nullptr);
}

TEST(MP4SampleEntries, EncryptedEntriesWrapTheOriginal) {
  const Bytes esds = Esds(EsDescriptor(0x40, 5, {0x12, 0x10}));
  Bytes schm = U32s({MP4_FourCC("iAEC"), 1});
  PutText(schm, "uri");
  const Bytes schi = Box("schi", Cat({FullBox("iKMS", 0, 0, Bytes{'k'}), FullBox("iSFM", 0, 0, Bytes{0x80, 0, 8})}));
  const Bytes sinf = Box("sinf", Cat({Box("frma", U32s({MP4_FourCC("mp4a")})), FullBox("schm", 0, 1, schm), schi}));
  const Bytes no_schm = Box("sinf", Box("frma", U32s({MP4_FourCC("mp4a")})));
  OneAtom stsd(Stsd({SoundEntry("enca", 0, 44100, Cat({esds, sinf})), SoundEntry("enca", 0, 44100, Cat({esds, no_schm})),
                     VisualEntry("encv", 16, 16, "", Cat({Esds(EsDescriptor(0x20, 4, {})),
                                                          Box("sinf", FullBox("schm", 0, 0, schm))}))}));
  auto* s = stsd.As<MP4_StsdAtom>();
  ASSERT_NE(s, nullptr);
  auto* isma = dynamic_cast<MP4_IsmaCrypSampleDescription*>(s->GetSampleDescription(0));
  ASSERT_NE(isma, nullptr);
  EXPECT_EQ(isma->GetType(), MP4_SampleDescription::TYPE_ISMACRYP);
  EXPECT_EQ(isma->GetOriginalFormat(), MP4_FourCC("mp4a"));
  EXPECT_EQ(isma->GetSchemeType(), MP4_FourCC("iAEC"));
  EXPECT_EQ(isma->GetSchemeVersion(), 1u);
  EXPECT_EQ(isma->GetSchemeUri(), "uri");
  EXPECT_NE(dynamic_cast<const MP4_MpegAudioSampleDescription*>(isma->GetOriginalSampleDescription()), nullptr);
  EXPECT_EQ(isma->GetSchemeInfo().GetChildren().ItemCount(), 2u);
  EXPECT_NE(dynamic_cast<MP4_IkmsAtom*>(isma->GetSchemeInfo().GetChild(MP4_FourCC("iKMS"))), nullptr);
  EXPECT_EQ(s->GetSampleDescription(1), nullptr);
  auto* video = dynamic_cast<MP4_IsmaCrypSampleDescription*>(s->GetSampleDescription(2));
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(video->GetOriginalFormat(), MP4_FourCC("mp4v"));  // no frma
}

TEST(MP4SampleDescriptions, TurnBackIntoEntries) {
  MP4_DataBuffer dsi;
  const uint8_t asc[2] = {0x11, 0x90};
  dsi.SetData(asc, 2);
  MP4_MpegAudioSampleDescription audio(0x40, 48000, 16, 2, &dsi, 0, 128000, 96000);
  MP4_MpegAudioSampleDescription bare(0x6B, 44100, 16, 2, nullptr, 0, 0, 0);
  MP4_MpegVideoSampleDescription video(0x20, 352, 288, 24, "enc", &dsi, 0, 0, 500000);
  MP4_MpegSystemSampleDescription system(0x20, 0xE0, &dsi, 0, 0, 0);
  std::unique_ptr<MP4_Atom> entries[] = {std::unique_ptr<MP4_Atom>(audio.ToAtom()),
                                         std::unique_ptr<MP4_Atom>(bare.ToAtom()),
                                         std::unique_ptr<MP4_Atom>(video.ToAtom()),
                                         std::unique_ptr<MP4_Atom>(system.ToAtom())};
  Bytes payload;
  Put32(payload, 4);
  for (auto& e : entries) {
    ASSERT_NE(e, nullptr);
    PutBytes(payload, Written(*e));
  }
  OneAtom stsd(FullBox("stsd", 0, 0, payload));
  auto* s = stsd.As<MP4_StsdAtom>();
  ASSERT_EQ(s->GetSampleDescriptionCount(), 4u);
  auto* a = dynamic_cast<MP4_MpegAudioSampleDescription*>(s->GetSampleDescription(0));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->GetSampleRate(), 48000u);
  EXPECT_EQ(a->GetChannelCount(), 2);
  EXPECT_EQ(a->GetAvgBitrate(), 96000u);
  ASSERT_NE(a->GetDecoderInfo(), nullptr);
  EXPECT_EQ(std::memcmp(a->GetDecoderInfo()->GetData(), asc, 2), 0);
  auto* b = dynamic_cast<MP4_MpegAudioSampleDescription*>(s->GetSampleDescription(1));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->GetDecoderInfo(), nullptr);  // none written, none read
  EXPECT_EQ(b->GetObjectTypeId(), 0x6B);
  auto* v = dynamic_cast<MP4_MpegVideoSampleDescription*>(s->GetSampleDescription(2));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->GetWidth(), 352);
  EXPECT_EQ(v->GetCompressorName(), "enc");
  auto* sys = dynamic_cast<MP4_MpegSystemSampleDescription*>(s->GetSampleDescription(3));
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(sys->GetObjectTypeId(), 0xE0);
  EXPECT_EQ(sys->GetStreamType(), 0x20);
}

// ---------------------------------------------------------------------------
// Descriptors

TEST(MP4Descriptors, Reading) {
  struct Case {
    const char* what;
    Bytes bytes;
    MP4_Result result;
    uint8_t tag;
    uint32_t header, payload;
  };
  const Case cases[] = {
      {"four length bytes", {0x40, 0x80, 0x80, 0x80, 0x05, 1, 2, 3, 4, 5}, 0, 0x40, 5, 5},
      {"a fifth length byte is payload", {0x40, 0x80, 0x80, 0x80, 0x81, 0x01, 2}, 0, 0x40, 5, 1},
      {"payload past the stream", {5, 10, 1, 2}, MP4_ERROR_INVALID_FORMAT, 0, 0, 0},
      {"SL configuration of 2 bytes", {6, 2, 2, 2}, MP4_ERROR_INVALID_FORMAT, 0, 0, 0},
      {"SL configuration", {6, 1, 9}, 0, 6, 2, 1},
      {"nothing", {}, MP4_ERROR_EOS, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto* s = new MP4_MemoryByteStream(c.bytes.data(), c.bytes.size());
    MP4_Descriptor* d = nullptr;
    EXPECT_EQ(MP4_DescriptorFactory::CreateDescriptorFromStream(*s, d), c.result);
    if (c.result == 0) {
      ASSERT_NE(d, nullptr);
      EXPECT_EQ(d->GetTag(), c.tag);
      EXPECT_EQ(d->GetHeaderSize(), c.header);
      EXPECT_EQ(d->GetPayloadSize(), c.payload);
      MP4_Position pos = 0;
      s->Tell(pos);
      EXPECT_EQ(pos, c.header + c.payload);
    } else {
      EXPECT_EQ(d, nullptr);
    }
    delete d;
    s->Release();
  }
}

TEST(MP4Descriptors, EsDescriptorFlagsConfigAndInspection) {
  // OCR flag (0x20): an OCR id after the ES id, no URL.
  Bytes ocr = {3, 5, 0, 7, 0x20, 0x12, 0x34};
  OneAtom with_ocr(Esds(ocr));
  const MP4_EsDescriptor* es = with_ocr.As<MP4_EsdsAtom>()->GetEsDescriptor();
  ASSERT_NE(es, nullptr);
  EXPECT_EQ(es->GetEsId(), 7);
  EXPECT_EQ(es->GetOcrEsId(), 0x1234);
  EXPECT_EQ(es->GetUrl(), "");
  EXPECT_EQ(es->GetDecoderConfigDescriptor(), nullptr);
  // URL flag (0x40) with a stream dependence (0x80).
  Bytes url = {3, 10, 0, 1, 0xC0, 0, 9, 3, 'a', 'b', 'c', 0};
  OneAtom with_url(Esds(url));
  es = with_url.As<MP4_EsdsAtom>()->GetEsDescriptor();
  ASSERT_NE(es, nullptr);
  EXPECT_EQ(es->GetDependsOn(), 9);
  EXPECT_EQ(es->GetUrl(), "abc");
  // An esds whose descriptor is not an ES descriptor holds none.
  OneAtom not_es(Esds({4, 2, 0, 0}));
  EXPECT_EQ(not_es.As<MP4_EsdsAtom>()->GetEsDescriptor(), nullptr);
  // An audio entry over an ES descriptor without configuration: none.
  OneAtom stsd(Stsd({SoundEntry("mp4a", 0, 44100, Esds(ocr))}));
  EXPECT_EQ(stsd.As<MP4_StsdAtom>()->GetSampleDescription(0), nullptr);

  OneAtom full(Esds(EsDescriptor(0x40, 5, {0x12, 0x10})));
  MP4_TextInspector inspector;
  full.atom->Inspect(inspector);
  const std::string& text = inspector.Text();
  EXPECT_NE(text.find("#[ES] size=2+"), std::string::npos) << text;
  EXPECT_NE(text.find("#[DecoderConfig]"), std::string::npos);
  EXPECT_NE(text.find("object_type = 64"), std::string::npos);
  EXPECT_NE(text.find("#[DecoderSpecificInfo] size=2+2"), std::string::npos);
  EXPECT_NE(text.find("12 10 "), std::string::npos);
  EXPECT_NE(text.find("#[06] size=2+1"), std::string::npos);
}

TEST(MP4Descriptors, DeepNestingAndLongPayloadsAreBounded) {
  Bytes d = {0x20, 0};
  for (int i = 0; i < 300; i++) {
    Bytes es = {0, 1, 0};
    PutBytes(es, d);
    const size_t n = es.size();
    d = {3, static_cast<uint8_t>(0x80 | ((n >> 21) & 0x7F)), static_cast<uint8_t>(0x80 | ((n >> 14) & 0x7F)),
         static_cast<uint8_t>(0x80 | ((n >> 7) & 0x7F)), static_cast<uint8_t>(n & 0x7F)};
    PutBytes(d, es);
  }
  OneAtom deep(Esds(d));
  EXPECT_NE(deep.As<MP4_EsdsAtom>()->GetEsDescriptor(), nullptr);
  // A decoder-specific payload claiming more than the esds holds.
  Bytes big = {3, 8, 0, 1, 0, 5, 0x8F, 0xFF, 0xFF, 0x7F};
  OneAtom too_long(Esds(big));
  const MP4_EsDescriptor* es = too_long.As<MP4_EsdsAtom>()->GetEsDescriptor();
  ASSERT_NE(es, nullptr);
  EXPECT_EQ(es->GetDecoderConfigDescriptor(), nullptr);
  // An ES descriptor claiming more than the esds holds is none.
  OneAtom es_too_long(Esds({3, 0x80, 0x80, 0x80, 40, 0, 1, 0}));
  EXPECT_EQ(es_too_long.As<MP4_EsdsAtom>()->GetEsDescriptor(), nullptr);
}

// ---------------------------------------------------------------------------
// Compressed movie headers

Bytes Compress(const Bytes& in) {
  uLongf size = compressBound(in.size());
  Bytes out(size);
  EXPECT_EQ(compress2(out.data(), &size, in.data(), in.size(), 9), Z_OK);
  out.resize(size);
  return out;
}

Bytes CompressedMoov(const Bytes& inner_moov, uint32_t declared, const Bytes& data) {
  Bytes cmvd;
  Put32(cmvd, declared);
  PutBytes(cmvd, data);
  return Box("moov", Box("cmov", Cat({Box("dcom", U32s({MP4_FourCC("zlib")})), Box("cmvd", cmvd)})));
}

std::string InspectChildren(MP4_ContainerAtom& atom, MP4_UI32 skip_type) {
  MP4_TextInspector inspector;
  for (MP4_Atom* child : atom.GetChildren())
    if (child->GetType() != skip_type) child->Inspect(inspector);
  return inspector.Text();
}

TEST(MP4CompressedMovie, InflatesToTheSameTree) {
  const Bytes file = LoadSample("mp4-h264-aac.mp4");
  const Bytes moov = TopLevelBox(file, "moov");
  ASSERT_FALSE(moov.empty());
  Parsed plain(file);
  ASSERT_NE(plain.Movie(), nullptr);

  // The compressed form in place of the plain one (the data stays where it
  // was: only the moov changes, and it lies behind the data).
  Bytes packed = file;
  const size_t at = static_cast<size_t>(std::search(packed.begin(), packed.end(), moov.begin(), moov.end()) - packed.begin());
  ASSERT_EQ(at + moov.size(), packed.size());
  packed.resize(at);
  PutBytes(packed, CompressedMoov(moov, moov.size(), Compress(moov)));
  Parsed compressed(packed);
  ASSERT_NE(compressed.Movie(), nullptr);
  MP4_MoovAtom* outer = compressed.Movie()->GetMoovAtom();
  EXPECT_NE(outer->GetChild(MP4_FourCC("cmov")), nullptr);
  EXPECT_EQ(outer->GetChild(MP4_FourCC("moov")), nullptr);
  EXPECT_EQ(InspectChildren(*outer, MP4_FourCC("cmov")), InspectChildren(*plain.Movie()->GetMoovAtom(), 0));
  ASSERT_EQ(compressed.Movie()->GetTracks().ItemCount(), 2u);
  auto a = plain.Movie()->GetTracks().begin();
  for (MP4_Track* t : compressed.Movie()->GetTracks()) {
    ASSERT_EQ(t->GetSampleCount(), (*a)->GetSampleCount());
    for (uint32_t i = 0; i < t->GetSampleCount(); i++) {
      MP4_Sample x, y;
      ASSERT_EQ(t->GetSample(i, x), MP4_SUCCESS);
      ASSERT_EQ((*a)->GetSample(i, y), MP4_SUCCESS);
      EXPECT_EQ(x.GetOffset(), y.GetOffset());
      EXPECT_EQ(x.GetCts(), y.GetCts());
    }
    ++a;
  }
}

TEST(MP4CompressedMovie, BrokenOrOversizedDataLeavesTheMoovAsRead) {
  const Bytes moov = TopLevelBox(LoadSample("mp4-h264-aac.mp4"), "moov");
  Bytes corrupt = Compress(moov);
  corrupt[corrupt.size() / 2] ^= 0x55;
  corrupt[corrupt.size() / 2 + 1] ^= 0xAA;
  const Bytes zeros(8 << 20, 0);
  struct Case {
    const char* what;
    Bytes moov;
  };
  const Case cases[] = {
      {"corrupt data", CompressedMoov(moov, moov.size(), corrupt)},
      {"more than it declares", CompressedMoov(moov, 1000, Compress(zeros))},
      {"not zlib data", CompressedMoov(moov, moov.size(), Bytes(100, 7))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OneAtom a(c.moov);
    auto* m = a.As<MP4_MoovAtom>();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->GetChildren().ItemCount(), 1u);
    EXPECT_EQ(m->GetTrakAtoms().ItemCount(), 0u);
  }
  // A compressed movie inside a compressed movie is not inflated again.
  const Bytes inner = CompressedMoov(moov, moov.size(), Compress(moov));
  OneAtom nested(CompressedMoov(inner, inner.size(), Compress(inner)));
  auto* m = nested.As<MP4_MoovAtom>();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->GetTrakAtoms().ItemCount(), 0u);
  EXPECT_EQ(m->GetChildren().ItemCount(), 2u);  // both cmov atoms
}

}  // namespace

// The turns a matrix gives, by its entries a, b, c, d (16.16); a mirror, a
// skew or another angle is no turn.
TEST(MP4LeafAtoms, MatrixTurns) {
  const MP4_UI32 one = 0x10000, minus = 0xFFFF0000u, two = 0x20000;
  const struct {
    MP4_UI32 a, b, c, d;
    int turn;
  } rows[] = {
      {one, 0, 0, one, 0},      {0, one, minus, 0, 90},  {minus, 0, 0, minus, 180}, {0, minus, one, 0, 270},
      {0, two, 0xFFFE0000u, 0, 90},  // scaled alike both ways
      {minus, 0, 0, one, -1},        // mirrored
      {0, one, one, 0, -1},          // mirrored and turned
      {one, one, 0, one, -1},        // skewed
      {0, 0, 0, 0, -1},              // none stated
  };
  for (const auto& r : rows) {
    const MP4_UI32 matrix[9] = {r.a, r.b, 0, r.c, r.d, 0, 0x01000000, 0x02000000, 0x40000000};
    EXPECT_EQ(MP4_MatrixTurn(matrix), r.turn) << std::hex << r.a << " " << r.b << " " << r.c << " " << r.d;
  }
}
