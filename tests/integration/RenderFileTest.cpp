// Every sample file rendered by the system's graph manager into the
// platform's renderers, as a player would: the renderers take decoded data
// only, so each video stream must reach its renderer through a decoder, and
// pictures must arrive when the graph runs to its end.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "foundation/FilterHelpers.h"
#include "graph/registry/FGManagerCustom.h"
#include "platform/codecs/CodecsRegister.h"
#include "platform/com/Com.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/DShowRegister.h"
#include "platform/dshow/NullRenderers.h"
#include "splitters/avi/AviSplitter.h"
#include "tests/foundation/FfprobeInfo.h"
#include "tests/splitters/realmedia/RealMediaTestKit.h"

namespace {

class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ASSERT_EQ(DShowRegisterPlatform(), S_OK);
    ASSERT_EQ(CodecsRegisterPlatform(), S_OK);
    ASSERT_EQ(AviRegisterPlatformSplitter(), S_OK);
    rmkit::UseBuiltCodecs();  // the RealMedia decoders find this build's codecs
  }
  void TearDown() override { CoUninitialize(); }
};
::testing::Environment* const env = ::testing::AddGlobalTestEnvironment(new Environment);

std::vector<CComPtr<IBaseFilter>> Filters(IFilterGraph* graph) {
  std::vector<CComPtr<IBaseFilter>> out;
  CComPtr<IEnumFilters> e;
  if (SUCCEEDED(graph->EnumFilters(&e)))
    for (CComPtr<IBaseFilter> f; e->Next(1, &f, nullptr) == S_OK; f.Release()) out.push_back(f);
  return out;
}

std::vector<CComPtr<IPin>> Pins(IBaseFilter* filter, PIN_DIRECTION dir) {
  std::vector<CComPtr<IPin>> out;
  CComPtr<IEnumPins> e;
  if (SUCCEEDED(filter->EnumPins(&e)))
    for (CComPtr<IPin> pin; e->Next(1, &pin, nullptr) == S_OK; pin.Release()) {
      PIN_DIRECTION d;
      if (SUCCEEDED(pin->QueryDirection(&d)) && d == dir) out.push_back(pin);
    }
  return out;
}

bool Decoded(const CMediaType& mt) {
  return std::any_of(std::begin(kNullVideoRendererSubtypes), std::end(kNullVideoRendererSubtypes),
                     [&](const GUID& s) { return mt.subtype == s; });
}

// Walks upstream from a video renderer to the first connection that carries
// compressed pictures: the filter it feeds is the decoder. Null when the
// pictures were never compressed on the way.
IBaseFilter* DecoderBefore(IBaseFilter* renderer) {
  IBaseFilter* filter = renderer;
  for (int steps = 0; filter && steps < 32; ++steps) {
    IBaseFilter* next = nullptr;
    for (auto& in : Pins(filter, PINDIR_INPUT)) {
      CMediaType mt;
      if (in->ConnectionMediaType(&mt) != S_OK || mt.majortype != MEDIATYPE_Video) continue;
      if (!Decoded(mt)) return filter;
      CComPtr<IPin> peer;
      if (in->ConnectedTo(&peer) == S_OK) next = GetFilterFromPin(peer);
    }
    filter = next;
  }
  return nullptr;
}

// Files left out, each for a reason the project documents: containers and
// codecs it does not read, pictures (no movie), and bare video streams, for
// which no source filter exists (on the platform as here, a source is
// chosen for a container; nothing turns a bare picture stream into a
// rendered one).
bool LeftOut(const std::filesystem::path& file) {
  static const std::set<std::string> kExtensions = {".md", ".sh", ".bmp", ".jpg", ".png",
                                                    ".m1v", ".m2v", ".m4v", ".h264"};
  static const std::set<std::string> kFiles = {
      "flv-h264-aac.flv",  // FLV reads Sorenson H.263 with MP3 or PCM only
      "rm-rv10-ra144.rm",  // RealVideo 1 is not decoded
      "mpeg2-422.mpg",     // 4:2:2 MPEG-2 video: the decoder gives the stream up
      "st-undecodable.avi",        // a picture code no decoder takes, on purpose
      "st-undecodable-sound.avi",  // a sound code no decoder takes, on purpose
      "st-flv-h264-mp3.flv",       // H.264 in FLV is not read
      "st-hevc-vorbis.mkv",        // HEVC in Matroska is not read
  };
  return kExtensions.count(file.extension().string()) || kFiles.count(file.filename().string());
}

// An output pin left unconnected that offers pictures.
bool UnrenderedVideo(IPin* pin) {
  if (CComPtr<IPin> peer; pin->ConnectedTo(&peer) == S_OK) return false;
  CComPtr<IEnumMediaTypes> types;
  AM_MEDIA_TYPE* first = nullptr;
  if (FAILED(pin->EnumMediaTypes(&types)) || !types || types->Next(1, &first, nullptr) != S_OK || !first)
    return false;
  const bool video = first->majortype == MEDIATYPE_Video;
  DeleteMediaType(first);
  return video;
}

TEST(RenderFile, EverySampleReachesItsRenderersThroughDecoders) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(TestDataPath("")))
    if (entry.is_regular_file() && !LeftOut(entry.path())) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  ASSERT_GT(files.size(), 50u);
  int videoFiles = 0;
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    CComPtr<IGraphBuilder2> graph = new CFGManagerCustom(NAME("render"), nullptr, ~0u, ~0u);
    const HRESULT hr = graph->RenderFile(file.wstring().c_str(), nullptr);
    // A partial render leaves out streams nothing decodes (sound codecs of
    // the Matroska sample); pictures are checked below.
    EXPECT_TRUE(hr == S_OK || hr == VFW_S_PARTIAL_RENDER) << std::hex << hr;
    std::vector<CComPtr<IBaseFilter>> renderers;
    for (auto& f : Filters(graph)) {
      for (auto& out : Pins(f, PINDIR_OUTPUT))
        EXPECT_FALSE(UnrenderedVideo(out)) << "pictures of " << GetFilterName(f) << " left unrendered";
      if (GetFilterClsid(f) != CLSID_VideoRenderer) continue;
      renderers.push_back(f);
      IBaseFilter* decoder = DecoderBefore(f);
      EXPECT_NE(decoder, nullptr) << "pictures reach the renderer undecoded";
    }
    if (SUCCEEDED(hr)) {
      CComQIPtr<IMediaControl> control(graph);
      CComQIPtr<IMediaEvent> events(graph);
      ASSERT_TRUE(control && events);
      ASSERT_EQ(control->Run(), S_OK);
      long code = 0;
      EXPECT_EQ(events->WaitForCompletion(60000, &code), S_OK);
      EXPECT_EQ(code, EC_COMPLETE);
      for (auto& r : renderers) {
        int frames = 0;
        CComQIPtr<IQualProp> stats(r);
        ASSERT_TRUE(stats);
        EXPECT_EQ(stats->get_FramesDrawn(&frames), S_OK);
        EXPECT_GT(frames, 0);
      }
      EXPECT_EQ(control->Stop(), S_OK);
    }
    if (!renderers.empty()) ++videoFiles;
    for (auto& f : Filters(graph)) graph->RemoveFilter(f);
  }
  EXPECT_GT(videoFiles, 30);
}

}  // namespace
