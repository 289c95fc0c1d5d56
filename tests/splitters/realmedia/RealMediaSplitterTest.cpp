// The RealMedia splitter in a graph: pins, types and names, and what each
// output delivers against libavformat's packets of the same file; frame
// assembly, AAC access units, chapters, subtitles, the seek index and
// damaged files on files written here.
#include "tests/splitters/realmedia/RealMediaTestKit.h"

using namespace rmkit;

namespace {

const GUID kRV10 = FourCCGuid(MAKEFOURCC('R', 'V', '1', '0'));
const GUID kRV20 = FourCCGuid(MAKEFOURCC('R', 'V', '2', '0'));
const GUID kRV40 = FourCCGuid(MAKEFOURCC('R', 'V', '4', '0'));
const GUID kDNET = FourCCGuid(MAKEFOURCC('D', 'N', 'E', 'T'));

// The frame layout the pin delivers: slice count less 1, (1, offset) per
// slice, then the frame.
Bytes Framed(const std::vector<DWORD>& offsets, const Bytes& frame) {
  Bytes b{static_cast<BYTE>(offsets.size() - 1)};
  for (DWORD o : offsets) {
    for (DWORD v : {1u, o})
      for (int i = 0; i < 4; i++) b.push_back(static_cast<BYTE>(v >> (8 * i)));
  }
  Put(b, frame);
  return b;
}

Bytes Pattern(size_t n, BYTE seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = static_cast<BYTE>(seed + i * 7);
  return b;
}

// A file with one RealVideo 4 stream and the given packets.
Bytes VideoFile(const std::vector<Bytes>& packets, const Bytes& extraChunks = {}) {
  Bytes f = FileHeader();
  Put(f, Prop(2000));
  Put(f, Mdpr(0, "Video", "video/x-pn-realvideo", VideoFormat("RV40", 176, 144)));
  Put(f, extraChunks);
  Put(f, Data(packets));
  return f;
}

}  // namespace

TEST(RealMediaSplitter, FfmpegFilesMatchLibavformat) {
  struct Case {
    const char* file;
    std::vector<GUID> subtypes;  // first type of each pin, in stream order
    std::vector<std::wstring> names;
  };
  const Case cases[] = {
      {"rm-rv20-ac3.rm", {kRV20, MEDIASUBTYPE_WAVE_DOLBY_AC3}, {L"Output 00 (The Video Stream)", L"Output 01 (The Audio Stream)"}},
      // RealAudio 14.4 under the code "lpcJ" is no listed codec: no pin.
      {"rm-rv10-ra144.rm", {kRV10}, {L"Output 00 (The Video Stream)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = TestDataPath(c.file);
    Graph g(path);
    ASSERT_EQ(g.loaded, S_OK);
    ASSERT_EQ(g.source->GetPinCount(), static_cast<int>(c.subtypes.size()));
    for (size_t i = 0; i < c.subtypes.size(); i++) {
      EXPECT_EQ(g.PinName(static_cast<int>(i)), c.names[i]);
      EXPECT_EQ(g.sinks[i]->Type().subtype, c.subtypes[i]);
    }
    // The AC-3 type of DNET comes first, the stream's own second.
    if (c.subtypes.size() > 1) {
      CComPtr<IEnumMediaTypes> types;
      ASSERT_EQ(g.source->GetPin(1)->EnumMediaTypes(&types), S_OK);
      AM_MEDIA_TYPE* mt[2] = {};
      ULONG got = 0;
      ASSERT_EQ(types->Next(2, mt, &got), S_OK);
      EXPECT_EQ(mt[1]->subtype, kDNET);
      EXPECT_EQ(reinterpret_cast<WAVEFORMATEX*>(mt[0]->pbFormat)->wFormatTag, 0x2000);
      EXPECT_EQ(reinterpret_cast<WAVEFORMATEX*>(mt[1]->pbFormat)->wFormatTag, 0x2005);
      EXPECT_EQ(reinterpret_cast<WAVEFORMATEX*>(mt[1]->pbFormat)->nSamplesPerSec, 48000u);
      for (auto* t : mt) DeleteMediaType(t);
    }
    LONGLONG duration = 0;
    CComQIPtr<IMediaSeeking>(g.hold)->GetDuration(&duration);
    // The file properties' duration, as ffprobe reads it too.
    const double probed = atof(Ffprobe("-show_entries format=duration", path)["format.duration"].c_str());
    EXPECT_NEAR(duration / 1e7, probed, 0.05);

    g.Run();
    for (size_t i = 0; i < c.subtypes.size(); i++) {
      SCOPED_TRACE(i);
      const auto ours = g.sinks[i]->Samples();
      const auto theirs = ReferencePackets(path, static_cast<int>(i));
      ASSERT_EQ(ours.size(), theirs.size());
      for (size_t k = 0; k < ours.size(); k++) {
        // Video frames in the slice-table layout libavcodec takes, and the
        // AC-3 frames swapped back, byte for byte.
        ASSERT_EQ(ours[k].data, theirs[k].data) << "packet " << k;
        EXPECT_EQ(ours[k].start, theirs[k].ms * 10000) << "packet " << k;
        EXPECT_EQ(ours[k].sync, theirs[k].key) << "packet " << k;
      }
    }
  }
}
