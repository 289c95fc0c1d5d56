// The pin connection protocol between two filters, without a graph.
#include <gtest/gtest.h>

#include <algorithm>

#include "TestFilters.h"

using namespace dshowtest;

namespace {

class PinConnection : public ::testing::Test {
 protected:
  void SetUp() override {
    out = TestOutFilter::Create();
    in = TestInFilter::Create();
  }
  void TearDown() override {
    out->pin().DisconnectInternal();
    in->pin().DisconnectInternal();
    out->Release();
    in->Release();
  }
  TestOutPin& op() { return out->pin(); }
  TestInPin& ip() { return in->pin(); }

  TestOutFilter* out = nullptr;
  TestInFilter* in = nullptr;
};

int IndexOf(const std::vector<std::string>& calls, const char* what) {
  auto it = std::find(calls.begin(), calls.end(), what);
  return it == calls.end() ? -1 : static_cast<int>(it - calls.begin());
}

TEST_F(PinConnection, OutputTypesAreTriedBeforeInputTypes) {
  op().offered = {MakeType(MEDIATYPE_Video, MEDIASUBTYPE_YV12), MakeType(MEDIATYPE_Video, MEDIASUBTYPE_RGB32)};
  op().accepted = {MEDIASUBTYPE_YV12, MEDIASUBTYPE_RGB32, MEDIASUBTYPE_YUY2};
  ip().offered = {MakeType(MEDIATYPE_Video, MEDIASUBTYPE_YUY2)};
  ip().accepted = {MEDIASUBTYPE_RGB32, MEDIASUBTYPE_YUY2};

  ASSERT_EQ(op().Connect(&ip(), nullptr), S_OK);
  // YV12 (first offered) is refused by the input; RGB32, the output's second
  // type, wins over the input's own YUY2.
  EXPECT_EQ(op().CurrentMediaType().subtype, MEDIASUBTYPE_RGB32);
  EXPECT_EQ(ip().CurrentMediaType().subtype, MEDIASUBTYPE_RGB32);
  EXPECT_EQ(op().GetConnected(), static_cast<IPin*>(&ip()));
  EXPECT_EQ(ip().GetConnected(), static_cast<IPin*>(&op()));
  // The allocator is agreed and shared.
  ASSERT_NE(op().m_pAllocator, nullptr);
  EXPECT_EQ(op().m_pAllocator, ip().m_pAllocator);
}

TEST_F(PinConnection, InputTypesAreUsedWhenTheOutputOffersNone) {
  op().accepted = {MEDIASUBTYPE_YUY2};
  ip().offered = {MakeType(MEDIATYPE_Video, MEDIASUBTYPE_RGB24), MakeType(MEDIATYPE_Video, MEDIASUBTYPE_YUY2)};
  ip().accepted = {MEDIASUBTYPE_RGB24, MEDIASUBTYPE_YUY2};
  ASSERT_EQ(op().Connect(&ip(), nullptr), S_OK);
  EXPECT_EQ(ip().CurrentMediaType().subtype, MEDIASUBTYPE_YUY2);
}

TEST_F(PinConnection, HooksRunInProtocolOrder) {
  op().offered = {MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM)};
  op().accepted = {MEDIASUBTYPE_PCM};
  ip().accepted = {MEDIASUBTYPE_PCM};
  ASSERT_EQ(op().Connect(&ip(), nullptr), S_OK);
  const auto& o = op().log.calls;
  const auto& i = ip().log.calls;
  ASSERT_GE(IndexOf(o, "out.CheckMediaType"), 0);
  ASSERT_GE(IndexOf(i, "in.CheckMediaType"), 0);
  EXPECT_LT(IndexOf(i, "in.CheckMediaType"), IndexOf(i, "in.CompleteConnect"));
  EXPECT_LT(IndexOf(o, "out.CheckMediaType"), IndexOf(o, "out.CompleteConnect"));
  EXPECT_LT(IndexOf(o, "out.CompleteConnect"), IndexOf(o, "out.DecideBufferSize"));
  EXPECT_EQ(IndexOf(o, "out.BreakConnect"), -1);
}

TEST_F(PinConnection, PartialTypeFiltersTheCandidates) {
  op().offered = {MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM), MakeType(MEDIATYPE_Video, MEDIASUBTYPE_RGB32)};
  op().accepted = {MEDIASUBTYPE_PCM, MEDIASUBTYPE_RGB32};
  ip().accepted = {MEDIASUBTYPE_PCM, MEDIASUBTYPE_RGB32};
  CMediaType partial(&MEDIATYPE_Video);
  ASSERT_EQ(op().Connect(&ip(), &partial), S_OK);
  EXPECT_EQ(ip().CurrentMediaType().majortype, MEDIATYPE_Video);
}

TEST_F(PinConnection, FullTypeIsTheOnlyCandidate) {
  op().offered = {MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM)};
  op().accepted = {MEDIASUBTYPE_PCM, MEDIASUBTYPE_IEEE_FLOAT};
  ip().accepted = {MEDIASUBTYPE_PCM};
  CMediaType full = MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_IEEE_FLOAT);
  EXPECT_EQ(op().Connect(&ip(), &full), VFW_E_TYPE_NOT_ACCEPTED);
  EXPECT_FALSE(op().IsConnected());
  EXPECT_FALSE(ip().IsConnected());
}

TEST_F(PinConnection, RefusalBreaksTheConnectionAndLeavesBothSidesFree) {
  op().offered = {MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM)};
  op().accepted = {MEDIASUBTYPE_PCM};
  ip().accepted = {MEDIASUBTYPE_MP3};
  EXPECT_EQ(op().Connect(&ip(), nullptr), VFW_E_NO_ACCEPTABLE_TYPES);
  EXPECT_FALSE(op().IsConnected());
  EXPECT_FALSE(ip().IsConnected());
  EXPECT_GE(IndexOf(op().log.calls, "out.BreakConnect"), 0);
  EXPECT_EQ(op().m_pAllocator, nullptr);
  EXPECT_EQ(op().m_pInputPin, nullptr);
}

TEST_F(PinConnection, FailedCompleteConnectUndoesBothSides) {
  op().offered = {MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM)};
  op().accepted = {MEDIASUBTYPE_PCM};
  ip().accepted = {MEDIASUBTYPE_PCM};
  op().failComplete = true;
  HRESULT hr = op().Connect(&ip(), nullptr);
  EXPECT_TRUE(FAILED(hr));
  EXPECT_FALSE(op().IsConnected());
  EXPECT_FALSE(ip().IsConnected());
  EXPECT_GE(IndexOf(ip().log.calls, "in.BreakConnect"), 0);
}

TEST_F(PinConnection, AllocatorRefusalFailsTheConnection) {
  op().offered = {MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM)};
  op().accepted = {MEDIASUBTYPE_PCM};
  ip().accepted = {MEDIASUBTYPE_PCM};
  op().bufferSize = -5;  // no allocator takes a negative size
  EXPECT_TRUE(FAILED(op().Connect(&ip(), nullptr)));
  EXPECT_FALSE(op().IsConnected());
  EXPECT_FALSE(ip().IsConnected());
}

TEST_F(PinConnection, SameDirectionIsRefused) {
  TestInFilter* other = TestInFilter::Create();
  other->pin().accepted = {MEDIASUBTYPE_PCM};
  ip().offered = {MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM)};
  ip().accepted = {MEDIASUBTYPE_PCM};
  EXPECT_EQ(ip().Connect(&other->pin(), nullptr), VFW_E_INVALID_DIRECTION);
  EXPECT_FALSE(other->pin().IsConnected());
  other->Release();
}

TEST_F(PinConnection, ConnectedPinsRefuseAnotherConnectionAndReconnectAfterDisconnect) {
  op().offered = {MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM), MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_MP3)};
  op().accepted = {MEDIASUBTYPE_PCM, MEDIASUBTYPE_MP3};
  ip().accepted = {MEDIASUBTYPE_PCM, MEDIASUBTYPE_MP3};
  ASSERT_EQ(op().Connect(&ip(), nullptr), S_OK);
  EXPECT_EQ(op().Connect(&ip(), nullptr), VFW_E_ALREADY_CONNECTED);
  CMediaType pcm = MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
  EXPECT_EQ(ip().ReceiveConnection(&op(), &pcm), VFW_E_ALREADY_CONNECTED);

  EXPECT_EQ(op().Disconnect(), S_OK);
  EXPECT_EQ(ip().Disconnect(), S_OK);
  EXPECT_EQ(op().Disconnect(), S_FALSE);
  CMediaType mp3 = MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_MP3, 7);
  ASSERT_EQ(op().Connect(&ip(), &mp3), S_OK);
  EXPECT_TRUE(ip().CurrentMediaType() == mp3);

  AM_MEDIA_TYPE got{};
  ASSERT_EQ(ip().ConnectionMediaType(&got), S_OK);
  EXPECT_EQ(got.subtype, MEDIASUBTYPE_MP3);
  ASSERT_EQ(got.cbFormat, 4u);
  EXPECT_EQ(got.pbFormat[0], 7);
  FreeMediaType(got);
}

TEST_F(PinConnection, DisconnectNeedsAStoppedFilter) {
  op().offered = {MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM)};
  op().accepted = {MEDIASUBTYPE_PCM};
  ip().accepted = {MEDIASUBTYPE_PCM};
  ASSERT_EQ(op().Connect(&ip(), nullptr), S_OK);
  ASSERT_EQ(out->Pause(), S_OK);
  EXPECT_EQ(op().Disconnect(), VFW_E_NOT_STOPPED);
  ASSERT_EQ(out->Stop(), S_OK);
  EXPECT_EQ(op().Disconnect(), S_OK);
}

TEST_F(PinConnection, QueriesOnUnconnectedAndConnectedPins) {
  IPin* peer = reinterpret_cast<IPin*>(1);
  EXPECT_EQ(op().ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
  EXPECT_EQ(peer, nullptr);
  AM_MEDIA_TYPE mt{};
  EXPECT_EQ(op().ConnectionMediaType(&mt), VFW_E_NOT_CONNECTED);

  ip().accepted = {MEDIASUBTYPE_PCM};
  CMediaType pcm = MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
  CMediaType mp3 = MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_MP3);
  EXPECT_EQ(ip().QueryAccept(&pcm), S_OK);
  EXPECT_EQ(ip().QueryAccept(&mp3), S_FALSE);

  PIN_INFO info{};
  ASSERT_EQ(ip().QueryPinInfo(&info), S_OK);
  EXPECT_EQ(info.dir, PINDIR_INPUT);
  EXPECT_STREQ(info.achName, L"In");
  EXPECT_EQ(info.pFilter, static_cast<IBaseFilter*>(in));
  info.pFilter->Release();

  IPin* found = nullptr;
  ASSERT_EQ(out->FindPin(L"Out", &found), S_OK);
  EXPECT_EQ(found, static_cast<IPin*>(&op()));
  found->Release();
  EXPECT_EQ(out->FindPin(L"Nope", &found), VFW_E_NOT_FOUND);
}

TEST_F(PinConnection, EnumeratorsListPinsAndTypes) {
  op().offered = {MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, 9), MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_MP3)};
  IEnumMediaTypes* types = nullptr;
  ASSERT_EQ(op().EnumMediaTypes(&types), S_OK);
  AM_MEDIA_TYPE* got[3] = {};
  ULONG n = 0;
  EXPECT_EQ(types->Next(3, got, &n), S_FALSE);
  ASSERT_EQ(n, 2u);
  EXPECT_EQ(got[0]->subtype, MEDIASUBTYPE_PCM);
  ASSERT_EQ(got[0]->cbFormat, 4u);
  EXPECT_EQ(got[0]->pbFormat[0], 9);
  EXPECT_EQ(got[1]->subtype, MEDIASUBTYPE_MP3);
  DeleteMediaType(got[0]);
  DeleteMediaType(got[1]);
  op().IncrementTypeVersion();
  EXPECT_EQ(types->Next(1, got, &n), VFW_E_ENUM_OUT_OF_SYNC);
  EXPECT_EQ(types->Reset(), S_OK);
  EXPECT_EQ(types->Skip(1), S_OK);
  ASSERT_EQ(types->Next(1, got, nullptr), S_OK);
  EXPECT_EQ(got[0]->subtype, MEDIASUBTYPE_MP3);
  DeleteMediaType(got[0]);
  types->Release();

  IEnumPins* pins = nullptr;
  ASSERT_EQ(out->EnumPins(&pins), S_OK);
  IPin* pin = nullptr;
  ASSERT_EQ(pins->Next(1, &pin, nullptr), S_OK);
  EXPECT_EQ(pin, static_cast<IPin*>(&op()));
  pin->Release();
  EXPECT_EQ(pins->Next(1, &pin, nullptr), S_FALSE);
  pins->Release();
}

}  // namespace
