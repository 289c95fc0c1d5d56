#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/dshow/Errors.h"
#include "platform/dshow/Guids.h"
#include "platform/dshow/MediaTimeSeeking.h"
#include "platform/dshow/Unknown.h"

namespace {

// The seeking of a filter that knows its duration and nothing else, held
// by a reference count the forwarded calls must leave as they found it.
class CTimed final : public CMediaTimeSeeking {
 public:
  CTimed() : CMediaTimeSeeking(AM_SEEKING_CanGetDuration | AM_SEEKING_CanGetStopPos) {}
  STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  STDMETHODIMP GetDuration(LONGLONG* duration) override {
    CheckPointer(duration, E_POINTER);
    *duration = 5 * UNITS;
    return S_OK;
  }
  STDMETHODIMP ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                 const GUID* sourceFormat) override {
    return ConvertMediaTime(target, targetFormat, source, sourceFormat);
  }
  ULONG refs = 1;
};

class CPassOn final : public CForwardedSeeking {
 public:
  explicit CPassOn(IMediaSeeking* target) : m_target(target) {}
  STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  STDMETHODIMP_(ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }

 protected:
  HRESULT SeekingTarget(IMediaSeeking** target) override {
    if (!m_target) return VFW_E_NOT_CONNECTED;
    *target = m_target;
    m_target->AddRef();
    return S_OK;
  }

 private:
  IMediaSeeking* m_target;
};

// One question to a seeking interface: its answer and the value it gives.
struct Question {
  const char* what;
  HRESULT answer;
  LONGLONG value;
  std::function<HRESULT(IMediaSeeking*, LONGLONG*)> ask;
};

std::vector<Question> Questions() {
  const DWORD had = AM_SEEKING_CanGetDuration | AM_SEEKING_CanGetStopPos;
  auto check = [](DWORD asked) {
    return [asked](IMediaSeeking* s, LONGLONG* v) {
      DWORD caps = asked;
      const HRESULT hr = s->CheckCapabilities(&caps);
      *v = caps;
      return hr;
    };
  };
  auto none = [](HRESULT (IMediaSeeking::*call)(const GUID*), const GUID* format) {
    return [call, format](IMediaSeeking* s, LONGLONG*) { return (s->*call)(format); };
  };
  return {
      {"capabilities", S_OK, had,
       [](IMediaSeeking* s, LONGLONG* v) {
         DWORD caps = 0;
         const HRESULT hr = s->GetCapabilities(&caps);
         *v = caps;
         return hr;
       }},
      {"all asked are had", S_OK, AM_SEEKING_CanGetDuration, check(AM_SEEKING_CanGetDuration)},
      {"nothing asked", S_OK, 0, check(0)},
      {"some asked are had", S_FALSE, AM_SEEKING_CanGetDuration,
       check(AM_SEEKING_CanGetDuration | AM_SEEKING_CanSeekAbsolute)},
      {"none asked are had", E_FAIL, 0, check(AM_SEEKING_CanSeekAbsolute)},
      {"media time supported", S_OK, 0, none(&IMediaSeeking::IsFormatSupported, &TIME_FORMAT_MEDIA_TIME)},
      {"frames not supported", S_FALSE, 0, none(&IMediaSeeking::IsFormatSupported, &TIME_FORMAT_FRAME)},
      {"no format to check", E_POINTER, 0, none(&IMediaSeeking::IsFormatSupported, nullptr)},
      {"using media time", S_OK, 0, none(&IMediaSeeking::IsUsingTimeFormat, &TIME_FORMAT_MEDIA_TIME)},
      {"set to media time", S_OK, 0, none(&IMediaSeeking::SetTimeFormat, &TIME_FORMAT_MEDIA_TIME)},
      {"set to frames", E_INVALIDARG, 0, none(&IMediaSeeking::SetTimeFormat, &TIME_FORMAT_FRAME)},
      {"set to no format", E_POINTER, 0, none(&IMediaSeeking::SetTimeFormat, nullptr)},
      {"preferred format", S_OK, 0,
       [](IMediaSeeking* s, LONGLONG* v) {
         GUID f = GUID_NULL;
         const HRESULT hr = s->QueryPreferredFormat(&f);
         *v = f == TIME_FORMAT_MEDIA_TIME ? 0 : 1;
         return hr;
       }},
      {"stop is the duration", S_OK, 5 * UNITS, [](IMediaSeeking* s, LONGLONG* v) { return s->GetStopPosition(v); }},
      {"latest available is the duration", S_OK, 5 * UNITS,
       [](IMediaSeeking* s, LONGLONG* v) {
         LONGLONG earliest = -1;
         const HRESULT hr = s->GetAvailable(&earliest, v);
         return FAILED(hr) || earliest == 0 ? hr : E_UNEXPECTED;
       }},
      {"earliest alone", S_OK, 0, [](IMediaSeeking* s, LONGLONG* v) { return s->GetAvailable(v, nullptr); }},
      {"media time converted", S_OK, 7, [](IMediaSeeking* s, LONGLONG* v) {
         return s->ConvertTimeFormat(v, nullptr, 7, &TIME_FORMAT_MEDIA_TIME);
       }},
      {"frames not converted", E_INVALIDARG, 0, [](IMediaSeeking* s, LONGLONG* v) {
         return s->ConvertTimeFormat(v, &TIME_FORMAT_FRAME, 7, nullptr);
       }},
      {"no current position", E_NOTIMPL, 0, [](IMediaSeeking* s, LONGLONG* v) { return s->GetCurrentPosition(v); }},
      {"no positioning", E_NOTIMPL, 0,
       [](IMediaSeeking* s, LONGLONG* v) { return s->SetPositions(v, AM_SEEKING_AbsolutePositioning, nullptr, 0); }},
      {"no rate", E_NOTIMPL, 0,
       [](IMediaSeeking* s, LONGLONG*) {
         double rate = 0;
         return s->GetRate(&rate);
       }},
      {"preroll is none", S_OK, 0, [](IMediaSeeking* s, LONGLONG* v) { return s->GetPreroll(v); }},
  };
}

// A filter's own answers and the same answers passed on through another
// object, which holds no reference after any call.
TEST(MediaTimeSeeking, AnswersAlikeDirectAndPassedOn) {
  CTimed timed;
  CPassOn passOn(&timed);
  for (IMediaSeeking* s : {static_cast<IMediaSeeking*>(&timed), static_cast<IMediaSeeking*>(&passOn)}) {
    const std::string through = s == &timed ? "direct" : "passed on";
    for (const Question& q : Questions()) {
      LONGLONG value = 0;
      EXPECT_EQ(q.ask(s, &value), q.answer) << q.what << ", " << through;
      if (q.answer == S_OK || q.answer == S_FALSE) {
        EXPECT_EQ(value, q.value) << q.what << ", " << through;
      }
      EXPECT_EQ(timed.refs, 1u) << q.what << ", " << through;
    }
  }
}

TEST(MediaTimeSeeking, PassedOnWithoutTargetAnswersWhyForEveryCall) {
  CPassOn passOn(nullptr);
  for (const Question& q : Questions()) {
    LONGLONG value = 0;
    EXPECT_EQ(q.ask(&passOn, &value), VFW_E_NOT_CONNECTED) << q.what;
  }
}

}  // namespace
