// The atom library over real files made by ffmpeg (MP4, MOV, 3GP, 3G2, and
// variants re-wrapped at run time), compared with what libavformat reads
// from the same files: the sample tables (place, size, times and key flag of
// every sample), sample entries and descriptors; a file above 4 GB; and
// damaged and random files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "foundation/AsyncFileReader.h"
#include "foundation/BaseSplitterFile.h"
#include "mp4/MP4HeaderAtoms.h"
#include "mp4/MP4LeafAtoms.h"
#include "mp4/MP4SampleEntry.h"
#include "mp4/MP4SampleTableAtoms.h"
#include "tests/mp4/AtomBuilder.h"
#include "tests/mp4/AvReference.h"

namespace {

using namespace mp4test;

// A file read through the splitter's own path: file reader, splitter file
// and the stream over it.
struct OpenedFile {
  explicit OpenedFile(const std::string& path) {
    std::wstring wide(path.begin(), path.end());
    HRESULT hr = S_OK;
    reader = new CAsyncFileReader(wide.c_str(), &hr);
    reader->NonDelegatingAddRef();
    if (FAILED(hr)) return;
    IAsyncReader* async = nullptr;
    reader->NonDelegatingQueryInterface(IID_IAsyncReader, reinterpret_cast<void**>(&async));
    file = std::make_unique<CBaseSplitterFile>(async, hr);
    async->Release();
    if (FAILED(hr)) return;
    stream = new MP4_AsyncReaderStream(file.get());
    mp4 = std::make_unique<MP4_File>(*stream, factory);
  }
  ~OpenedFile() {
    mp4.reset();
    if (stream) stream->Release();
    file.reset();
    reader->NonDelegatingRelease();
  }
  MP4_Movie* Movie() const { return mp4 ? mp4->GetMovie() : nullptr; }

  CAsyncFileReader* reader = nullptr;
  std::unique_ptr<CBaseSplitterFile> file;
  MP4_AtomFactory factory;
  MP4_AsyncReaderStream* stream = nullptr;
  std::unique_ptr<MP4_File> mp4;
};

bool IsPcm(AVCodecID id) { return id >= AV_CODEC_ID_PCM_S16LE && id < AV_CODEC_ID_ADPCM_IMA_QT; }

// Every sample of a track against libavformat's packets of its stream.
void CompareTrack(MP4_Track& track, const AvStreamInfo& theirs) {
  const uint32_t count = track.GetSampleCount();
  auto* stss = track.GetSampleTable()->GetStssAtom();
  std::vector<MP4_Sample> ours(count);
  for (uint32_t i = 0; i < count; i++) ASSERT_EQ(track.GetSample(i, ours[i]), MP4_SUCCESS) << i;

  if (IsPcm(theirs.codec) && theirs.packets.size() != count) {
    // libavformat joins PCM samples of a chunk into one packet: each packet
    // must be a run of whole samples of ours, in order.
    size_t i = 0;
    for (const AvPacketInfo& p : theirs.packets) {
      ASSERT_LT(i, ours.size());
      ASSERT_EQ(static_cast<int64_t>(ours[i].GetOffset()), p.pos);
      int64_t bytes = 0;
      while (bytes < p.size && i < ours.size()) bytes += ours[i++].GetSize();
      EXPECT_EQ(bytes, p.size);
    }
    EXPECT_EQ(i, ours.size());
    return;
  }
  ASSERT_EQ(theirs.packets.size(), count);
  for (uint32_t i = 0; i < count; i++) {
    const AvPacketInfo& p = theirs.packets[i];
    const MP4_Sample& s = ours[i];
    SCOPED_TRACE("sample " + std::to_string(i));
    EXPECT_EQ(static_cast<int64_t>(s.GetOffset()), p.pos);
    EXPECT_EQ(static_cast<int>(s.GetSize()), p.size);
    EXPECT_EQ(static_cast<int64_t>(s.GetDts()), p.dts);
    EXPECT_EQ(s.GetCts(), p.pts);
    const bool key = !stss || stss->GetEntries().empty() || stss->IsSampleSync(i + 1);
    EXPECT_EQ(key, p.key);
  }
}

// The sample entry's and description's view of the codec against
// libavformat's codec parameters.
void CompareEntry(MP4_Track& track, const AvStreamInfo& theirs) {
  auto* stsd = dynamic_cast<MP4_StsdAtom*>(track.GetTrakAtom().FindChild("mdia/minf/stbl/stsd"));
  ASSERT_NE(stsd, nullptr);
  MP4_SampleEntry* entry = stsd->GetSampleEntry(0);
  if (!entry) return;  // a timed-text or unknown entry
  EXPECT_EQ(entry->GetType(), __builtin_bswap32(theirs.tag));
  if (auto* audio = dynamic_cast<MP4_AudioSampleEntry*>(entry)) {
    EXPECT_EQ(static_cast<int>(audio->GetSampleRate()), theirs.sample_rate);
    // AAC and AMR entries give a channel count of 2 whatever their streams hold.
    if (IsPcm(theirs.codec) || theirs.codec == AV_CODEC_ID_ADPCM_IMA_QT) {
      EXPECT_EQ(audio->GetChannelCount(), theirs.channels);
    }
  }
  if (auto* visual = dynamic_cast<MP4_VisualSampleEntry*>(entry)) {
    EXPECT_EQ(visual->GetWidth(), theirs.width);
    EXPECT_EQ(visual->GetHeight(), theirs.height);
  }
  if (auto* avcc = dynamic_cast<MP4_AvcCAtom*>(entry->GetChild(MP4_FourCC("avcC")))) {
    const MP4_DataBuffer& raw = avcc->GetRawBytes();
    EXPECT_EQ(std::vector<uint8_t>(raw.GetData(), raw.GetData() + raw.GetDataSize()), theirs.extradata);
  }
  if (auto* mpeg = dynamic_cast<MP4_MpegSampleDescription*>(track.GetSampleDescription(0))) {
    std::vector<uint8_t> dsi;
    if (const MP4_DataBuffer* info = mpeg->GetDecoderInfo()) dsi.assign(info->GetData(), info->GetData() + info->GetDataSize());
    EXPECT_EQ(dsi, theirs.extradata);
    if (theirs.codec == AV_CODEC_ID_AAC) {
      EXPECT_EQ(mpeg->GetObjectTypeId(), 0x40);
    }
    if (theirs.codec == AV_CODEC_ID_MPEG4) {
      EXPECT_EQ(mpeg->GetObjectTypeId(), 0x20);
    }
    if (theirs.codec == AV_CODEC_ID_MP3) {
      EXPECT_EQ(mpeg->GetObjectTypeId(), 0x6B);
    }
  }
}

struct FileCase {
  const char* name;
  const char* variant_args;  // ffmpeg arguments making it from a sample; null: the sample itself
  std::vector<MP4_Track::Type> types;
};

std::string PathOf(const FileCase& c) {
  if (!c.variant_args) return TestDataPath(c.name);
  std::string args = c.variant_args;
  const size_t at = args.find("%s");
  std::string source = args.substr(at + 2, args.find(' ', at) - at - 2);
  args.replace(at, 2 + source.size(), "'" + TestDataPath(source) + "'");
  return MakeVariant(c.name, args);
}

const std::vector<FileCase>& Files() {
  using T = MP4_Track;
  static const std::vector<FileCase> files = {
      {"mp4-h264-aac.mp4", nullptr, {T::TYPE_VIDEO, T::TYPE_AUDIO}},
      {"3gp-h263-amrnb.3gp", nullptr, {T::TYPE_VIDEO, T::TYPE_AUDIO}},
      {"3g2-mpeg4-aac.3g2", nullptr, {T::TYPE_VIDEO, T::TYPE_AUDIO}},
      {"mov-mpeg4-aac.mov", nullptr, {T::TYPE_VIDEO, T::TYPE_AUDIO}},
      {"mov-mjpeg-pcm.mov", nullptr, {T::TYPE_VIDEO, T::TYPE_AUDIO}},
      {"mov-ima4.mov", nullptr, {T::TYPE_AUDIO}},
      {"mp4-text-chapters.mp4", nullptr, {T::TYPE_VIDEO, T::TYPE_AUDIO, T::TYPE_TEXT, T::TYPE_TEXT}},
      {"faststart.mp4", "-i %smp4-h264-aac.mp4 -c copy -fflags +bitexact -movflags +faststart -f mp4",
       {T::TYPE_VIDEO, T::TYPE_AUDIO}},
      {"from-mp4.mov", "-i %smp4-h264-aac.mp4 -c copy -fflags +bitexact -f mov", {T::TYPE_VIDEO, T::TYPE_AUDIO}},
      {"mp3.mp4", "-i %smp3-44100.mp3 -c copy -fflags +bitexact -f mp4", {T::TYPE_AUDIO}},
      {"mpeg2.mp4", "-i %smpeg2-gop12-b2.m2v -c copy -fflags +bitexact -f mp4", {T::TYPE_VIDEO}},
      {"mpeg1.mp4", "-i %smpeg1-odd-208x112.m1v -c copy -fflags +bitexact -f mp4", {T::TYPE_VIDEO}},
  };
  return files;
}

TEST(MP4File, SampleTablesAndEntriesMatchLibavformat) {
  for (const FileCase& c : Files()) {
    SCOPED_TRACE(c.name);
    const std::string path = PathOf(c);
    ASSERT_FALSE(path.empty()) << "could not make the variant";
    const AvReference ref = ReadWithLibavformat(path);
    ASSERT_TRUE(ref.ok);
    OpenedFile f(path);
    ASSERT_NE(f.Movie(), nullptr);
    std::vector<MP4_Track::Type> types;
    for (MP4_Track* track : f.Movie()->GetTracks()) {
      types.push_back(track->GetType());
      SCOPED_TRACE("track " + std::to_string(track->GetId()));
      const AvStreamInfo* theirs = ref.ById(static_cast<int>(track->GetId()));
      // libavformat keeps a QuickTime chapter track to itself.
      if (!theirs || (theirs->packets.empty() && theirs->codec == AV_CODEC_ID_BIN_DATA)) continue;
      EXPECT_EQ(track->GetMediaTimeScale(), static_cast<uint32_t>(theirs->time_base.den));
      EXPECT_EQ(theirs->time_base.num, 1);
      if (!theirs->handler_name.empty()) {
        EXPECT_EQ(track->GetTrackName(), theirs->handler_name);
      }
      CompareTrack(*track, *theirs);
      CompareEntry(*track, *theirs);
    }
    EXPECT_EQ(types, c.types);
  }
}

TEST(MP4File, ChaptersAndMetadata) {
  OpenedFile f(TestDataPath("mp4-text-chapters.mp4"));
  ASSERT_NE(f.Movie(), nullptr);
  MP4_MoovAtom* moov = f.Movie()->GetMoovAtom();
  auto* chpl = dynamic_cast<MP4_ChplAtom*>(moov->FindChild("udta/chpl"));
  ASSERT_NE(chpl, nullptr);
  ASSERT_EQ(chpl->GetChapters().size(), 2u);
  EXPECT_EQ(chpl->GetChapters()[0].name, "Opening");
  EXPECT_EQ(chpl->GetChapters()[1].name, "Closing");
  EXPECT_EQ(chpl->GetChapters()[1].start, 5000000u);
  const AvReference ref = ReadWithLibavformat(TestDataPath("mp4-text-chapters.mp4"));
  auto* data = dynamic_cast<MP4_DataAtom*>(moov->FindChild("udta/meta/ilst/\xA9" "ART/data"));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data->GetData().GetData()), data->GetData().GetDataSize()),
            ref.tags.at("artist"));
  auto* tx3g = dynamic_cast<MP4_Tx3gSampleEntry*>(
      dynamic_cast<MP4_StsdAtom*>(moov->FindChild("trak[2]/mdia/minf/stbl/stsd"))->GetSampleEntry(0));
  ASSERT_NE(tx3g, nullptr);
  std::string font;
  EXPECT_TRUE(tx3g->GetFontNameById(tx3g->GetDescription().style.font_id, font));
  EXPECT_EQ(font, "Arial");
}

TEST(MP4File, FragmentedFilesHaveNoSamplesInTheMovie) {
  const std::string path = MakeVariant(
      "fragmented.mp4",
      "-i '" + TestDataPath("mp4-h264-aac.mp4") + "' -c copy -movflags frag_keyframe+empty_moov -f mp4");
  ASSERT_FALSE(path.empty());
  OpenedFile f(path);
  ASSERT_NE(f.Movie(), nullptr);
  ASSERT_EQ(f.Movie()->GetTracks().ItemCount(), 2u);
  for (MP4_Track* t : f.Movie()->GetTracks()) EXPECT_EQ(t->GetSampleCount(), 0u);
  // The fragments stay top-level atoms of their own.
  size_t fragments = 0;
  for (MP4_Atom* a : f.mp4->GetOtherAtoms()) fragments += a->GetType() == MP4_FourCC("moof");
  EXPECT_GT(fragments, 0u);
  EXPECT_TRUE(f.mp4->HasMovieFragments());
}

// ---------------------------------------------------------------------------
// Above 4 GB: a large mdat (64-bit size) before the moov, chunk offsets in
// co64. The file is sparse: only the ends of the gap hold bytes.

// The boxes of a moov with every stco made a co64 moved by `delta`.
Bytes WithCo64(const Bytes& box, uint64_t delta) {
  const std::string type(box.begin() + 4, box.begin() + 8);
  if (type == "stco") {
    const uint32_t count = Be32(&box[12]);
    Bytes p;
    Put32(p, count);
    for (uint32_t i = 0; i < count; i++) Put64(p, Be32(&box[16 + 4 * i]) + delta);
    return FullBox("co64", 0, 0, p);
  }
  if (type != "moov" && type != "trak" && type != "mdia" && type != "minf" && type != "stbl") return box;
  Bytes payload;
  for (size_t pos = 8; pos + 8 <= box.size();) {
    const uint32_t size = Be32(&box[pos]);
    PutBytes(payload, WithCo64(Bytes(box.begin() + pos, box.begin() + pos + size), delta));
    pos += size;
  }
  return Box(type, payload);
}

TEST(MP4File, LargeMdatBeforeTheMovieAndOffsetsAbove4GB) {
  const Bytes sample = LoadSample("mp4-h264-aac.mp4");
  const Bytes ftyp = TopLevelBox(sample, "ftyp");
  const Bytes mdat = TopLevelBox(sample, "mdat");
  const Bytes moov = TopLevelBox(sample, "moov");
  ASSERT_FALSE(ftyp.empty() || mdat.empty() || moov.empty());
  const size_t old_payload = static_cast<size_t>(std::search(sample.begin(), sample.end(), mdat.begin(), mdat.end()) -
                                                 sample.begin()) + 8;
  const uint64_t gap = 5ull << 30;
  const uint64_t new_payload = ftyp.size() + 16 + gap;
  const uint64_t mdat_size = 16 + gap + (mdat.size() - 8);

  const std::string path = "mp4-variants/large-mdat.mp4";
  std::system("mkdir -p mp4-variants");
  const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  Bytes head = ftyp;
  Put32(head, 1);
  PutText(head, "mdat");
  Put64(head, mdat_size);
  const Bytes tail = WithCo64(moov, new_payload - old_payload);
  bool written = pwrite(fd, head.data(), head.size(), 0) == static_cast<ssize_t>(head.size()) &&
                 pwrite(fd, mdat.data() + 8, mdat.size() - 8, static_cast<off_t>(new_payload)) ==
                     static_cast<ssize_t>(mdat.size() - 8) &&
                 pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(new_payload + mdat.size() - 8)) ==
                     static_cast<ssize_t>(tail.size());
  close(fd);
  if (!written) {
    unlink(path.c_str());
    GTEST_SKIP() << "no room for a sparse file";
  }

  const AvReference ref = ReadWithLibavformat(path);
  ASSERT_TRUE(ref.ok);
  {
    OpenedFile f(path);
    ASSERT_NE(f.Movie(), nullptr);
    ASSERT_EQ(f.mp4->GetOtherAtoms().ItemCount(), 2u);
    MP4_Atom* large = *std::next(f.mp4->GetOtherAtoms().begin());
    EXPECT_EQ(large->GetType(), MP4_FourCC("mdat"));
    EXPECT_EQ(large->GetSize(), mdat_size);
    for (MP4_Track* track : f.Movie()->GetTracks()) {
      EXPECT_NE(track->GetTrakAtom().FindChild("mdia/minf/stbl/co64"), nullptr);
      CompareTrack(*track, *ref.ById(static_cast<int>(track->GetId())));
      // The bytes at the far offsets are the sample's own.
      MP4_Sample s;
      MP4_DataBuffer data;
      ASSERT_EQ(track->ReadSample(0, s, data), MP4_SUCCESS);
      EXPECT_GT(s.GetOffset(), 0x100000000ull);
      EXPECT_EQ(std::memcmp(data.GetData(), &sample[s.GetOffset() - (new_payload - old_payload)], s.GetSize()), 0);
    }
  }
  unlink(path.c_str());
}

// ---------------------------------------------------------------------------
// Damaged and random input: reading never fails worse than "no movie" or
// "fewer samples", and everything a parse yields can be walked.

void WalkEverything(const Bytes& bytes) {
  Parsed p(bytes);
  MP4_TextInspector inspector;
  p.file->Inspect(inspector);
  if (!p.Movie()) return;
  for (MP4_Track* t : p.Movie()->GetTracks()) {
    ASSERT_LE(t->GetSampleCount(), bytes.size());
    MP4_Sample s;
    MP4_DataBuffer data;
    for (uint32_t i = 0; i < t->GetSampleCount() && i < 5000; i++) {
      if (MP4_SUCCEEDED(t->ReadSample(i, s, data))) {
        ASSERT_LE(s.GetOffset() + s.GetSize(), bytes.size());
      }
      t->GetSampleDescription(s.GetDescriptionIndex());
    }
    MP4_UI32 index = 0;
    t->GetSampleIndexForTimeStampMs(500, index);
    t->GetTrackName();
    t->GetTrackLanguage();
    if (auto* stsd = dynamic_cast<MP4_StsdAtom*>(t->GetTrakAtom().FindChild("mdia/minf/stbl/stsd")))
      for (uint32_t i = 0; i < stsd->GetSampleDescriptionCount(); i++) stsd->GetSampleDescription(i);
  }
  Written(*p.Movie()->GetMoovAtom());
}

TEST(MP4File, DamagedAndRandomFilesAreReadSafely) {
  std::mt19937 random(20240601);
  const char* names[] = {"mp4-h264-aac.mp4", "3gp-h263-amrnb.3gp", "mov-mpeg4-aac.mov", "mov-ima4.mov",
                         "mp4-text-chapters.mp4", "3g2-mpeg4-aac.3g2"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    const Bytes whole = LoadSample(name);
    const Bytes moov = TopLevelBox(whole, "moov");
    const size_t moov_at =
        static_cast<size_t>(std::search(whole.begin(), whole.end(), moov.begin(), moov.end()) - whole.begin());
    // Cut anywhere: a file cut inside its movie has none.
    for (int k = 0; k < 24; k++) {
      const size_t cut = whole.size() * static_cast<size_t>(k) / 24;
      Bytes part(whole.begin(), whole.begin() + cut);
      WalkEverything(part);
      Parsed p(part);
      if (cut < moov_at + moov.size()) {
        EXPECT_EQ(p.Movie(), nullptr) << cut;
      }
    }
    // Bytes changed at random, more often inside the movie header.
    for (int k = 0; k < 150; k++) {
      Bytes damaged = whole;
      const int flips = 1 + static_cast<int>(random() % 8);
      for (int i = 0; i < flips; i++) {
        const size_t at = random() % 2 ? moov_at + random() % moov.size() : random() % whole.size();
        damaged[at] = static_cast<uint8_t>(random());
      }
      WalkEverything(damaged);
    }
  }
  for (int k = 0; k < 100; k++) {
    Bytes noise(random() % 4096);
    for (auto& b : noise) b = static_cast<uint8_t>(random());
    // Sometimes behind a plausible header.
    if (k % 2) noise.insert(noise.begin(), {0, 0, 0x10, 0, 'm', 'o', 'o', 'v'});
    WalkEverything(noise);
  }
}

}  // namespace
