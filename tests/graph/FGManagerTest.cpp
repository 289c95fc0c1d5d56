// The graph manager: rendering by records and installed filters, dead ends,
// removal, the running object table, forwarding to the inner graph, and
// the internal registry's table.

#include <gtest/gtest.h>

#include "graph/core/GraphUtil.h"
#include "graph/registry/FGManagerCustom.h"
#include "tests/graph/GraphTestFilters.h"

namespace {

using gt::PinSpec;
using gt::TestRecord;

::testing::Environment* const env = ::testing::AddGlobalTestEnvironment(new gt::PlatformEnvironment);

// Stream kinds of their own, so that no platform filter takes them.
PELLOMAR_DEFINE_GUID(MAJ_V, "F1000000-0000-4000-8000-000000000001");
PELLOMAR_DEFINE_GUID(MAJ_A, "F1000000-0000-4000-8000-000000000002");
PELLOMAR_DEFINE_GUID(MAJ_X, "F1000000-0000-4000-8000-000000000003");
PELLOMAR_DEFINE_GUID(SUB_COMP, "F2000000-0000-4000-8000-000000000001");
PELLOMAR_DEFINE_GUID(SUB_RAW, "F2000000-0000-4000-8000-000000000002");
PELLOMAR_DEFINE_GUID(CLSID_Src, "F3000000-0000-4000-8000-000000000001");
PELLOMAR_DEFINE_GUID(CLSID_Dec, "F3000000-0000-4000-8000-000000000002");
PELLOMAR_DEFINE_GUID(CLSID_Dec2, "F3000000-0000-4000-8000-000000000003");
PELLOMAR_DEFINE_GUID(CLSID_Rend, "F3000000-0000-4000-8000-000000000004");
PELLOMAR_DEFINE_GUID(CLSID_Installed, "F3000000-0000-4000-8000-000000000005");
PELLOMAR_DEFINE_GUID(CLSID_Mixer, "F3000000-0000-4000-8000-000000000006");

const wchar_t* const kFile = L"/no/such/dir/movie.test";

std::unique_ptr<TestRecord> Source() {
  auto rec = std::make_unique<TestRecord>(
      CLSID_Src, L"", kMeritLow,
      std::vector<PinSpec>{{L"Video", PINDIR_OUTPUT, {{MAJ_V, SUB_COMP}}},
                           {L"Audio", PINDIR_OUTPUT, {{MAJ_A, SUB_COMP}}},
                           {L"~Video", PINDIR_OUTPUT, {{MAJ_V, SUB_COMP}}}},
      true);
  rec->Extensions().push_back(L".test");
  return rec;
}

std::unique_ptr<TestRecord> Decoder(const CLSID& clsid, const wchar_t* name, UINT64 merit, GUID inSub = SUB_COMP) {
  auto rec = std::make_unique<TestRecord>(clsid, name, merit,
                                          std::vector<PinSpec>{{L"In", PINDIR_INPUT, {{MAJ_V, inSub}}},
                                                               {L"Out", PINDIR_OUTPUT, {{MAJ_V, SUB_RAW}}}});
  rec->AddType(MAJ_V, inSub);
  return rec;
}

std::unique_ptr<TestRecord> Renderer() {
  auto rec = std::make_unique<TestRecord>(CLSID_Rend, L"Renderer", kMeritLow,
                                          std::vector<PinSpec>{{L"In", PINDIR_INPUT, {{MAJ_V, SUB_RAW}}}});
  rec->AddType(MAJ_V, SUB_RAW);
  return rec;
}

struct Manager : gt::TestManager {
  Manager() {
    AddSourceRecord(Source());
    AddTransformRecord(Renderer());
  }
};

CComPtr<IGraphBuilder2> NewManager(Manager** raw = nullptr) {
  auto* m = new Manager;
  if (raw) *raw = m;
  return CComPtr<IGraphBuilder2>(m);
}

std::vector<std::wstring> DeadEnd(IGraphBuilder2* g, int index, std::vector<CMediaType>* types = nullptr) {
  CComQIPtr<IGraphBuilderDeadEnd> d(g);
  std::vector<std::wstring> path;
  std::vector<CMediaType> mts;
  EXPECT_EQ(d->GetDeadEnd(index, path, mts), S_OK);
  if (types) *types = mts;
  return path;
}

TEST(FGManager, RenderFileChainsDecoderAndRendererAndRecordsDeadEnds) {
  Manager* m = nullptr;
  CComPtr<IGraphBuilder2> g = NewManager(&m);
  m->Transform(Decoder(CLSID_Dec, L"Decoder", kMeritSystemPreferred));
  EXPECT_EQ(g->RenderFile(kFile, nullptr), VFW_S_PARTIAL_RENDER);
  EXPECT_EQ(gt::FilterNames(g), (std::vector<std::wstring>{kFile, L"Decoder", L"Renderer"}));

  CComQIPtr<IGraphBuilderDeadEnd> d(g);
  ASSERT_EQ(d->GetCount(), 1u);
  std::vector<CMediaType> types;
  EXPECT_EQ(DeadEnd(g, 0, &types), std::vector<std::wstring>{std::wstring(kFile) + L"::Audio"});
  ASSERT_EQ(types.size(), 1u);
  EXPECT_EQ(types[0].majortype, MAJ_A);

  // The "~" pin stays free although a decoder would take it.
  CComPtr<IBaseFilter> source;
  ASSERT_EQ(g->FindFilterByName(kFile, &source), S_OK);
  EXPECT_EQ(g->IsPinConnected(gt::PinOf(source, 0)), S_OK);
  EXPECT_EQ(g->IsPinConnected(gt::PinOf(source, 2)), S_FALSE);

  // Out-of-range indexes leave the caller's lists alone.
  std::vector<std::wstring> path{L"keep"};
  std::vector<CMediaType> mts;
  EXPECT_EQ(d->GetDeadEnd(1, path, mts), E_FAIL);
  EXPECT_EQ(d->GetDeadEnd(-1, path, mts), E_FAIL);
  EXPECT_EQ(path, std::vector<std::wstring>{L"keep"});

  // Removing downstream leaves the source alone and unconnected.
  EXPECT_EQ(g->RemoveDownstream(source), S_OK);
  EXPECT_EQ(gt::FilterNames(g), std::vector<std::wstring>{kFile});
  EXPECT_EQ(g->IsPinConnected(gt::PinOf(source, 0)), S_FALSE);
  EXPECT_EQ(g->RemoveDownstream(nullptr), E_INVALIDARG);
}

TEST(FGManager, DeadEndsDeeperInTheChain) {
  // The decoder's output has no renderer: the dead end lies past it.
  gt::TestManager* m = new gt::TestManager;
  CComPtr<IGraphBuilder2> g(m);
  m->AddSourceRecord(Source());
  m->Transform(Decoder(CLSID_Dec, L"Decoder", kMeritSystemPreferred));
  // The file reader, tried last, cannot open the file: its failure is the
  // answer.
  EXPECT_TRUE(FAILED(g->RenderFile(kFile, nullptr)));
  // Nothing of the failed attempt stays in the graph.
  EXPECT_TRUE(gt::FilterNames(g).empty());
  CComQIPtr<IGraphBuilderDeadEnd> d(g);
  ASSERT_EQ(d->GetCount(), 2u);
  std::vector<std::wstring> first = DeadEnd(g, 0), second = DeadEnd(g, 1);
  EXPECT_EQ(first, (std::vector<std::wstring>{std::wstring(kFile) + L"::Video", L"Decoder::Out"}));
  EXPECT_EQ(second, std::vector<std::wstring>{std::wstring(kFile) + L"::Audio"});
}

TEST(FGManager, MeritOrderAndExactTypesFirst) {
  {
    Manager* m = nullptr;
    CComPtr<IGraphBuilder2> g = NewManager(&m);
    m->Transform(Decoder(CLSID_Dec, L"Low", kMeritLow));
    m->Transform(Decoder(CLSID_Dec2, L"High", kMeritSystemPreferred));
    g->RenderFile(kFile, nullptr);
    EXPECT_EQ(gt::FilterNames(g), (std::vector<std::wstring>{kFile, L"High", L"Renderer"}));
  }
  {
    Manager* m = nullptr;
    CComPtr<IGraphBuilder2> g = NewManager(&m);
    m->Transform(Decoder(CLSID_Dec, L"Wildcard", kMeritLow, GUID_NULL));
    m->Transform(Decoder(CLSID_Dec2, L"Exact", kMeritLow));
    g->RenderFile(kFile, nullptr);
    EXPECT_EQ(gt::FilterNames(g), (std::vector<std::wstring>{kFile, L"Exact", L"Renderer"}));
  }
}

HRESULT CreateInstalled(IUnknown* outer, REFIID riid, void** ppv) {
  if (outer) return CLASS_E_NOAGGREGATION;
  auto* f = new gt::TestFilter(CLSID_Installed,
                               {{L"In", PINDIR_INPUT, {{MAJ_V, SUB_COMP}}}, {L"Out", PINDIR_OUTPUT, {{MAJ_V, SUB_RAW}}}},
                               false);
  f->AddRef();
  HRESULT hr = f->QueryInterface(riid, ppv);
  f->Release();
  return hr;
}

class Installed : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoRegisterClass(CLSID_Installed, &CreateInstalled)));
    ASSERT_EQ(m_mapper.CoCreateInstance(CLSID_FilterMapper2), S_OK);
    REGPINTYPES in{&MAJ_V, &SUB_COMP}, out{&MAJ_V, &SUB_RAW};
    REGFILTERPINS2 pins[2] = {{0, 1, 1, &in, 0, nullptr, nullptr},
                              {REG_PINFLAG_B_OUTPUT, 1, 1, &out, 0, nullptr, nullptr}};
    REGFILTER2 rf{};
    rf.dwVersion = 2;
    rf.dwMerit = 0x600000;
    rf.cPins2 = 2;
    rf.rgPins2 = pins;
    ASSERT_EQ(m_mapper->RegisterFilter(CLSID_Installed, L"Installed Decoder", nullptr, &CLSID_LegacyAmFilterCategory,
                                       nullptr, &rf),
              S_OK);
  }
  void TearDown() override {
    m_mapper->UnregisterFilter(&CLSID_LegacyAmFilterCategory, nullptr, CLSID_Installed);
    CoRevokeClass(CLSID_Installed);
  }
  CComPtr<IFilterMapper2> m_mapper;
};

TEST_F(Installed, InstalledFilterFoundThroughTheMapperUnlessBlocked) {
  {
    Manager* m = nullptr;
    CComPtr<IGraphBuilder2> g = NewManager(&m);
    m->Transform(Decoder(CLSID_Dec, L"Low", kMeritLow));
    g->RenderFile(kFile, nullptr);
    // The installed decoder's platform merit 0x600000 beats the low merit.
    EXPECT_EQ(gt::FilterNames(g), (std::vector<std::wstring>{kFile, L"Installed Decoder", L"Renderer"}));
  }
  {
    Manager* m = nullptr;
    CComPtr<IGraphBuilder2> g = NewManager(&m);
    m->Transform(Decoder(CLSID_Dec, L"Preferred", kMeritSystemPreferred));
    g->RenderFile(kFile, nullptr);
    EXPECT_EQ(gt::FilterNames(g), (std::vector<std::wstring>{kFile, L"Preferred", L"Renderer"}));
  }
  {
    Manager* m = nullptr;
    CComPtr<IGraphBuilder2> g = NewManager(&m);
    m->AddTransformRecord(std::make_unique<CFGFilterRegistry>(CLSID_Installed, kMeritBlocked));
    EXPECT_TRUE(FAILED(g->RenderFile(kFile, nullptr)));
    EXPECT_TRUE(gt::FilterNames(g).empty());
  }
}

TEST(FGManager, DirectConnectionGuards) {
  CComPtr<IGraphBuilder2> g = NewManager();
  auto src = gt::Hold(new gt::TestFilter(CLSID_Src, {{L"Out", PINDIR_OUTPUT, {{MAJ_V, SUB_COMP}}}}, false));
  const std::vector<PinSpec> dec = {{L"In", PINDIR_INPUT, {{MAJ_V, GUID_NULL}}},
                                    {L"In2", PINDIR_INPUT, {{MAJ_V, GUID_NULL}}},
                                    {L"Out", PINDIR_OUTPUT, {{MAJ_V, SUB_COMP}}}};
  auto a = gt::Hold(new gt::TestFilter(CLSID_Dec, dec, false));
  auto b = gt::Hold(new gt::TestFilter(CLSID_Dec, dec, false));
  ASSERT_EQ(g->AddFilter(src, L"src"), S_OK);
  ASSERT_EQ(g->AddFilter(a, L"a"), S_OK);
  ASSERT_EQ(g->AddFilter(b, L"b"), S_OK);
  ASSERT_EQ(g->ConnectDirect(gt::PinOf(src, 0), gt::PinOf(a, 0), nullptr), S_OK);
  EXPECT_EQ(g->ConnectDirect(gt::PinOf(a, 2), gt::PinOf(a, 1), nullptr), VFW_E_CIRCULAR_GRAPH);
  EXPECT_EQ(g->ConnectDirect(gt::PinOf(a, 2), gt::PinOf(b, 0), nullptr), VFW_E_CANNOT_CONNECT);
  EXPECT_EQ(g->IsPinConnected(gt::PinOf(b, 0)), S_FALSE);
  EXPECT_EQ(g->Connect(gt::PinOf(a, 0), nullptr), VFW_E_INVALID_DIRECTION);
  EXPECT_EQ(g->Connect(gt::PinOf(src, 0), nullptr), VFW_E_ALREADY_CONNECTED);
  EXPECT_EQ(g->ConnectPinToFilterDirect(gt::PinOf(a, 0), b, nullptr), VFW_E_INVALID_DIRECTION);
  EXPECT_EQ(g->IsPinDirection(nullptr, PINDIR_INPUT), E_POINTER);
  EXPECT_EQ(g->RenderEx(gt::PinOf(a, 2), 2, nullptr), E_INVALIDARG);
}

TEST(FGManager, ConnectFilterCountsOutputs) {
  Manager* m = nullptr;
  CComPtr<IGraphBuilder2> g = NewManager(&m);
  auto three = gt::Hold(new gt::TestFilter(CLSID_Src,
                                           {{L"A", PINDIR_OUTPUT, {{MAJ_V, SUB_RAW}}},
                                            {L"B", PINDIR_OUTPUT, {{MAJ_X, SUB_RAW}}},
                                            {L"C", PINDIR_OUTPUT, {{MAJ_V, SUB_RAW}}}},
                                           false));
  ASSERT_EQ(g->AddFilter(three, L"three"), S_OK);
  EXPECT_EQ(g->ConnectFilter(three, nullptr), VFW_S_PARTIAL_RENDER);
  EXPECT_EQ(g->ConnectFilter(three, nullptr), VFW_E_CANNOT_RENDER);
  auto sink = gt::Hold(new gt::TestFilter(CLSID_Rend, {{L"In", PINDIR_INPUT, {{MAJ_V, SUB_RAW}}}}, false));
  ASSERT_EQ(g->AddFilter(sink, L"sink"), S_OK);
  EXPECT_EQ(g->ConnectFilter(sink, nullptr), S_FALSE);
  EXPECT_EQ(g->ConnectFilter(nullptr, nullptr), E_POINTER);
}

TEST(FGManager, FailedConnectionToAnExistingFilterFreesBothPins) {
  // "mixer" takes the video but its output leads nowhere: the connection to
  // it is undone on both ends, so its input can be used afterwards.
  CComPtr<IGraphBuilder2> g(new gt::TestManager);
  auto src = gt::Hold(new gt::TestFilter(CLSID_Src, {{L"Out", PINDIR_OUTPUT, {{MAJ_V, SUB_COMP}}}}, false));
  auto mixer = gt::Hold(new gt::TestFilter(
      CLSID_Mixer, {{L"In", PINDIR_INPUT, {{MAJ_V, SUB_COMP}}}, {L"Out", PINDIR_OUTPUT, {{MAJ_X, SUB_RAW}}}}, false));
  ASSERT_EQ(g->AddFilter(src, L"src"), S_OK);
  ASSERT_EQ(g->AddFilter(mixer, L"mixer"), S_OK);
  EXPECT_EQ(g->Render(gt::PinOf(src, 0)), VFW_E_CANNOT_RENDER);
  EXPECT_EQ(g->IsPinConnected(gt::PinOf(src, 0)), S_FALSE);
  EXPECT_EQ(g->IsPinConnected(gt::PinOf(mixer, 0)), S_FALSE);
  EXPECT_EQ(g->ConnectDirect(gt::PinOf(src, 0), gt::PinOf(mixer, 0), nullptr), S_OK);
}

class MiscRenderer : public gt::TestFilter, public IAMFilterMiscFlags {
 public:
  MiscRenderer() : gt::TestFilter(CLSID_Rend, {{L"In", PINDIR_INPUT, {{MAJ_V, GUID_NULL}}}}, false) {}
  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IAMFilterMiscFlags) return GetInterfaceAs<IAMFilterMiscFlags>(this, ppv);
    return gt::TestFilter::NonDelegatingQueryInterface(riid, ppv);
  }
  ULONG STDMETHODCALLTYPE GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_RENDERER; }
};

TEST(FGManager, RenderToExistingRenderersAndMediaControl) {
  CComPtr<IGraphBuilder2> g(new gt::TestManager);
  auto src = gt::Hold(new gt::TestFilter(CLSID_Src, {{L"Out", PINDIR_OUTPUT, {{MAJ_V, SUB_COMP}}}}, false));
  auto* rend = new MiscRenderer;
  CComPtr<IBaseFilter> hold(static_cast<IBaseFilter*>(static_cast<CBaseFilter*>(rend)));
  ASSERT_EQ(g->AddFilter(src, L"src"), S_OK);
  ASSERT_EQ(g->AddFilter(hold, L"sink"), S_OK);
  ASSERT_EQ(g->RenderEx(gt::PinOf(src, 0), AM_RENDEREX_RENDERTOEXISTINGRENDERERS, nullptr), S_OK);
  EXPECT_EQ(g->IsPinConnected(rend->GetPin(0)), S_OK);

  CComQIPtr<IMediaControl> control(g);
  ASSERT_TRUE(control);
  ASSERT_TRUE(SUCCEEDED(control->Run()));
  FILTER_STATE state = State_Stopped;
  EXPECT_EQ(hold->GetState(0, &state), S_OK);
  EXPECT_EQ(state, State_Running);
  ASSERT_TRUE(SUCCEEDED(control->Stop()));
  EXPECT_EQ(hold->GetState(0, &state), S_OK);
  EXPECT_EQ(state, State_Stopped);
  EXPECT_TRUE(IsRendererFilter(hold) == false);
  EXPECT_FALSE(CComQIPtr<IMediaControl>(CComQIPtr<IGraphBuilderDeadEnd>(g)) == nullptr);
}

TEST(FGManager, RunningObjectTable) {
  CComPtr<IGraphBuilder2> g(new gt::TestManager);
  EXPECT_EQ(g->RemoveFromROT(), S_FALSE);
  EXPECT_EQ(g->AddToROT(), S_OK);
  EXPECT_EQ(g->AddToROT(), S_FALSE);
  CComPtr<IRunningObjectTable> rot;
  ASSERT_EQ(GetRunningObjectTable(0, &rot), S_OK);
  CComPtr<IEnumMoniker> e;
  ASSERT_EQ(rot->EnumRunning(&e), S_OK);
  bool found = false;
  for (CComPtr<IMoniker> m; e->Next(1, &m, nullptr) == S_OK; m.Release()) {
    LPOLESTR name = nullptr;
    m->GetDisplayName(nullptr, nullptr, &name);
    std::wstring text = name ? name : L"";
    CoTaskMemFree(name);
    wchar_t pid[16];
    std::swprintf(pid, 16, L"%08x", static_cast<unsigned>(GetCurrentProcessId()));
    if (text.starts_with(L"!FilterGraph ") && text.ends_with(std::wstring(L" pid ") + pid + L" (Ostrel)")) found = true;
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(g->RemoveFromROT(), S_OK);
  EXPECT_EQ(g->RemoveFromROT(), S_FALSE);
}

TEST(GraphUtil, RendererPredicatesAndCodecTags) {
  auto named = gt::Hold(new gt::TestFilter(CLSID_Rend, {}, false));
  CComPtr<IGraphBuilder2> g(new gt::TestManager);
  ASSERT_EQ(g->AddFilter(named, L"My RENDERER"), S_OK);
  EXPECT_TRUE(IsRendererFilter(named));
  CComPtr<IBaseFilter> audio;
  ASSERT_EQ(audio.CoCreateInstance(CLSID_DSoundRender), S_OK);
  EXPECT_TRUE(IsAudioRendererFilter(audio));
  EXPECT_FALSE(IsAudioRendererFilter(named));
  EXPECT_EQ(FormatCodecTag(MAKEFOURCC('x', 'v', 'i', 'd'), false), L"xvid - 0x64697678");
  EXPECT_EQ(FormatCodecTag(0x55, true), L"0x55");
  // Tags that are no text are shown as numbers.
  EXPECT_EQ(FormatCodecTag(0xFF, false), L"0xff");
  EXPECT_EQ(FormatCodecTag(0x2000, false), L" - 0x2000");
}

// ---------------------------------------------------------------------------
// The internal registry

struct Custom : CFGManagerCustom {
  Custom(DWORD splitters, DWORD decoders) : CFGManagerCustom(NAME("custom"), nullptr, splitters, decoders) {}
  using CFGManager::TransformRecords;
  const CFGFilter* Find(const std::wstring& name) const {
    for (auto& r : TransformRecords())
      if (r->GetName() == name) return r.get();
    return nullptr;
  }
};

TEST(FGManagerCustom, DecoderMaskChoosesMeritAndName) {
  CComPtr<IGraphBuilder2> hold;
  auto* all = new Custom(~0u, ~0u);
  hold = all;
  ASSERT_TRUE(all->Find(L"AC3 Audio Decoder"));
  EXPECT_EQ(all->Find(L"AC3 Audio Decoder")->GetMerit(), kMeritSystemPreferred);
  EXPECT_TRUE(all->Find(L"NullTextRenderer"));
  EXPECT_EQ(all->Find(L"NullTextRenderer")->GetMerit(), kMeritLow);

  auto* none = new Custom(0, 0);
  CComPtr<IGraphBuilder2> hold2(none);
  for (const wchar_t* name : {L"MPEG-1 Audio Decoder", L"MPEG-2 Audio Decoder", L"LPCM Audio Decoder",
                              L"AC3 Audio Decoder", L"DTS Decoder", L"AAC Decoder", L"PS2 Audio Decoder",
                              L"Vorbis Audio Decoder"}) {
    const CFGFilter* rec = none->Find(std::wstring(name) + L" (low merit)");
    ASSERT_TRUE(rec) << std::wstring(name).size();
    EXPECT_EQ(rec->GetMerit(), kMeritLow);
    EXPECT_FALSE(none->Find(name));
  }
  auto* mpa = new Custom(0, 0x10);
  CComPtr<IGraphBuilder2> hold3(mpa);
  EXPECT_TRUE(mpa->Find(L"MPEG-1 Audio Decoder"));
  EXPECT_TRUE(mpa->Find(L"MPEG-2 Audio Decoder"));
  EXPECT_TRUE(mpa->Find(L"LPCM Audio Decoder (low merit)"));

  // The AC-3 row takes the AVI wave tag as well as the MPEG-2 kinds.
  const CFGFilter* ac3 = all->Find(L"AC3 Audio Decoder");
  EXPECT_TRUE(ac3->CheckTypes({MEDIATYPE_Audio, MEDIASUBTYPE_WAVE_DOLBY_AC3}, true));
  EXPECT_TRUE(ac3->CheckTypes({MEDIATYPE_MPEG2_PES, MEDIASUBTYPE_DOLBY_AC3}, true));
  EXPECT_FALSE(ac3->CheckTypes({MEDIATYPE_Audio, MEDIASUBTYPE_DTS}, false));
}

TEST(FGManagerCustom, InstalledFiltersPreferredAndBlocked) {
  auto* c = new Custom(~0u, ~0u);
  CComPtr<IGraphBuilder2> hold(c);
  int blocked = 0;
  const CFGFilter* preferred = nullptr;
  GUID preferredClsid;
  GuidFromString("04FE9017-F873-410E-871E-AB91661A4EF7", preferredClsid);
  GUID versionChecked;
  GuidFromString("B38C58A0-1809-11D6-A458-EDAE78F1DF12", versionChecked);
  for (auto& r : c->TransformRecords()) {
    if (r->GetMerit() == kMeritBlocked) {
      ++blocked;
      EXPECT_NE(r->GetCLSID(), versionChecked);  // its server is not registered here
    }
    if (r->GetCLSID() == preferredClsid) preferred = r.get();
  }
  EXPECT_EQ(blocked, 5);
  ASSERT_TRUE(preferred);
  EXPECT_EQ(preferred->GetMerit(), kMeritSystemPreferred);
  EXPECT_TRUE(preferred->CheckTypes({MEDIATYPE_Video, FourCCGuid(MAKEFOURCC('a', 'v', 'c', '1'))}, true));
  EXPECT_FALSE(preferred->CheckTypes({MEDIATYPE_Video, FourCCGuid(MAKEFOURCC('M', 'J', 'P', 'G'))}, false));
}

PELLOMAR_DEFINE_GUID(CLSID_HiResRenderer, "94297043-BD82-4DFD-B0DE-8177739C6D20");

class BagRenderer : public gt::TestFilter, public IPropertyBag {
 public:
  BagRenderer() : gt::TestFilter(CLSID_HiResRenderer, {}, false) {}
  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IPropertyBag) return GetInterfaceAs<IPropertyBag>(this, ppv);
    return gt::TestFilter::NonDelegatingQueryInterface(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE Read(LPCOLESTR, VARIANT*, IErrorLog*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Write(LPCOLESTR name, VARIANT* value) override {
    written = name;
    hiRes = value->vt == VT_BOOL && value->boolVal == VARIANT_TRUE;
    return S_OK;
  }
  std::wstring written;
  bool hiRes = false;
};

TEST(FGManagerCustom, HighResolutionOutputAskedOfOneRendererClass) {
  CComPtr<IGraphBuilder2> g(new Custom(~0u, ~0u));
  auto* r = new BagRenderer;
  CComPtr<IBaseFilter> hold(static_cast<IBaseFilter*>(static_cast<CBaseFilter*>(r)));
  ASSERT_EQ(g->AddFilter(hold, L"audio"), S_OK);
  EXPECT_EQ(r->written, L"_HIRESOUTPUT");
  EXPECT_TRUE(r->hiRes);
}

}  // namespace
