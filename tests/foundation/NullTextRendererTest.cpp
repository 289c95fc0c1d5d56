#include <gtest/gtest.h>

#include "foundation/FilterHelpers.h"
#include "foundation/NullTextRenderer.h"
#include "platform/dshow/DShowRegister.h"
#include "tests/foundation/ToyFilters.h"

namespace {

CMediaType TypeOf(const GUID& major, const GUID& sub) {
  CMediaType mt(&major);
  mt.SetSubtype(&sub);
  return mt;
}

HRESULT Check(CBasePin* pin, const GUID& major, const GUID& sub) {
  CMediaType mt = TypeOf(major, sub);
  return pin->CheckMediaType(&mt);
}

TEST(NullTextRenderer, PinAndAcceptedTypes) {
  HRESULT hr = S_OK;
  auto* renderer = new CNullTextRenderer(nullptr, &hr);
  CComPtr<IBaseFilter> hold = toy::Hold(renderer);
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(renderer->GetPinCount(), 1);
  EXPECT_EQ(renderer->GetPin(1), nullptr);
  EXPECT_EQ(renderer->GetPin(-1), nullptr);
  CBasePin* pin = renderer->GetPin(0);
  ASSERT_NE(pin, nullptr);
  EXPECT_EQ(GetPinName(pin), L"In");
  EXPECT_EQ(GetFilterClsid(hold), CLSID_NullTextRenderer);

  EXPECT_EQ(Check(pin, MEDIATYPE_Video, MEDIASUBTYPE_YV12), E_FAIL);
  EXPECT_EQ(Check(pin, MEDIATYPE_Audio, MEDIASUBTYPE_PCM), E_FAIL);
  EXPECT_EQ(Check(pin, MEDIATYPE_Text, GUID_NULL), S_OK);
  EXPECT_EQ(Check(pin, MEDIATYPE_ScriptCommand, GUID_NULL), S_OK);
  EXPECT_EQ(Check(pin, MakeGuid("E487EB08-6B26-4BE9-9DD3-993434D313FD"), GUID_NULL), S_OK);
  // Any major type with a subpicture subtype.
  const GUID odd = MakeGuid("11111111-2222-3333-4444-555555555555");
  EXPECT_EQ(Check(pin, odd, MEDIASUBTYPE_DVD_SUBPICTURE), S_OK);
  EXPECT_EQ(Check(pin, odd, MakeGuid("7B57308F-5154-4C36-B903-52FE76E184FC")), S_OK);
  EXPECT_EQ(Check(pin, odd, MakeGuid("DA5B82EE-6BD2-426F-BF1E-30112DA78AE1")), S_OK);
  EXPECT_EQ(Check(pin, odd, MEDIASUBTYPE_MPEG2_VIDEO), E_FAIL);
}

TEST(NullTextRenderer, SwallowsATextStreamInAGraph) {
  ASSERT_EQ(DShowRegisterPlatform(), S_OK);
  CComPtr<IFilterGraph> graph;
  ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                             reinterpret_cast<void**>(&graph)),
            S_OK);
  auto* source = new toy::Source({{TypeOf(MEDIATYPE_Video, MEDIASUBTYPE_YV12)}, {TypeOf(MEDIATYPE_Text, GUID_NULL)}});
  CComPtr<IBaseFilter> src = toy::Hold(source);
  HRESULT hr = S_OK;
  CComPtr<IBaseFilter> renderer = toy::Hold(new CNullTextRenderer(nullptr, &hr));
  ASSERT_EQ(graph->AddFilter(src, L"Source"), S_OK);
  ASSERT_EQ(graph->AddFilter(renderer, L"Null Text"), S_OK);
  IPin* in = GetFirstPinByDirection(renderer, PINDIR_INPUT);
  ASSERT_NE(in, nullptr);

  // The video pin is refused, the text pin connects.
  EXPECT_TRUE(FAILED(graph->ConnectDirect(source->Out(0), in, nullptr)));
  ASSERT_EQ(graph->ConnectDirect(source->Out(1), in, nullptr), S_OK);
  EXPECT_EQ(GetUpstreamFilter(renderer), src.p);
  EXPECT_TRUE(IsSinkFilter(renderer));

  CComQIPtr<IMediaControl> control(graph);
  ASSERT_TRUE(control);
  ASSERT_EQ(control->Run(), S_OK);
  toy::OutPin* out = source->Out(1);
  for (int i = 0; i < 5; ++i) {
    IMediaSample* sample = nullptr;
    ASSERT_EQ(out->GetDeliveryBuffer(&sample, nullptr, nullptr, 0), S_OK);
    sample->SetActualDataLength(3);
    EXPECT_EQ(out->Deliver(sample), S_OK);
    sample->Release();
  }
  // The end of a subtitle stream completes nothing: the renderer is no end
  // of the graph that the completion count waits for.
  EXPECT_EQ(out->DeliverEndOfStream(), S_OK);
  EXPECT_EQ(control->Stop(), S_OK);
  // Stopped, it takes no samples.
  IMediaSample* sample = nullptr;
  EXPECT_TRUE(FAILED(out->GetDeliveryBuffer(&sample, nullptr, nullptr, 0)));
  EXPECT_EQ(sample, nullptr);
  graph->RemoveFilter(renderer);
  graph->RemoveFilter(src);
}

}  // namespace
