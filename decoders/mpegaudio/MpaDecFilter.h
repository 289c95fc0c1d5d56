// The audio decoder filter: MPEG-1/2 audio, AC-3, DTS, AAC, DVD LPCM, PS2
// PCM and ADPCM and Vorbis to PCM, or AC-3 and DTS passed through as
// S/PDIF bursts.
#pragma once

#include <deque>

#include "decoders/common/DecoderInputPin.h"
#include "decoders/common/SpecifyPropertyPages2.h"
#include "decoders/mpegaudio/IMpaDecFilter.h"
#include "decoders/mpegaudio/MpaDecPaths.h"
#include "decoders/mpegaudio/PcmOutput.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/SoundClock.h"
#include "platform/dshow/Transform.h"

class CMpaDecInputPin : public CDecoderInputPin {
 public:
  CMpaDecInputPin(CTransformFilter* filter, HRESULT* phr, LPCWSTR name);
};

class CMpaDecFilter : public CTransformFilter,
                      public CMpaDecPaths,
                      public IMpaDecFilter,
                      public ISpecifyPropertyPages2 {
 public:
  CMpaDecFilter(LPUNKNOWN outer, HRESULT* phr);
  ~CMpaDecFilter() override;

  // Factories for the filter registry: the constructor form and the class
  // table's form.
  static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* phr);
  static HRESULT CreateObject(IUnknown* outer, REFIID riid, void** ppv);

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // CTransformFilter
  HRESULT Receive(IMediaSample* sample) override;
  HRESULT EndOfStream() override;
  HRESULT EndFlush() override;
  HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
  HRESULT CheckInputType(const CMediaType* in) override;
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT SetMediaType(PIN_DIRECTION dir, const CMediaType* pmt) override;
  HRESULT StartStreaming() override;
  HRESULT StopStreaming() override;

  // ISpecifyPropertyPages2
  HRESULT STDMETHODCALLTYPE GetPages(CAUUID* pages) override;
  HRESULT STDMETHODCALLTYPE CreatePage(const GUID& guid, IPropertyPage** page) override;

  // IMpaDecFilter
  HRESULT STDMETHODCALLTYPE SetSampleFormat(int format) override;
  int STDMETHODCALLTYPE GetSampleFormat() override;
  HRESULT STDMETHODCALLTYPE SetNormalize(bool normalize) override;
  bool STDMETHODCALLTYPE GetNormalize() override;
  HRESULT STDMETHODCALLTYPE SetSpeakerConfig(int selector, int config) override;
  int STDMETHODCALLTYPE GetSpeakerConfig(int selector) override;
  HRESULT STDMETHODCALLTYPE SetDynamicRangeControl(int selector, bool enabled) override;
  bool STDMETHODCALLTYPE GetDynamicRangeControl(int selector) override;
  HRESULT STDMETHODCALLTYPE SetBoost(float boost) override;
  float STDMETHODCALLTYPE GetBoost() override;

 protected:
  WORD OutputChannels() const override;
  HRESULT Deliver(const float* values, size_t count, DWORD rate, WORD channels, DWORD mask) override;
  HRESULT DeliverBitstream(const BYTE* frame, size_t length, int64_t bitRate, WORD dataType) override;
  // Makes the downstream allocator hold frames of the type: S_FALSE when
  // nothing changes, S_OK when the type must go with the next sample.
  HRESULT ReconnectOutput(size_t frames, const CMediaType& mt);
  // Sample times, type change and flags shared by both deliveries. `cut`
  // is the time taken off the frame's front (its samples before the
  // stream's start); a frame that still begins before it is dropped.
  HRESULT PrepareSample(IMediaSample* sample, REFERENCE_TIME duration, HRESULT reconnect, const CMediaType& mt,
                        bool* dropped, REFERENCE_TIME cut = 0);
  void ResetPeak() { m_peak = 0.1f; }

  // Keeps an input sample's time with where its bytes begin in the input.
  void NoteInputTime(REFERENCE_TIME start);
  // For the frame about to be delivered, which begins at `frameAt` in the
  // input (a PCM block: holds `pcmBytes` of it, `pcmFrames` at `rate`): moves
  // the output clock to the time of the sample the frame is the first to
  // begin in, where that strays from the clock by more than a frame.
  void FollowInputTime(uint64_t frameAt, size_t pcmBytes, size_t pcmFrames, DWORD rate);
  // Input times not yet reached by a frame, in input order; a sample's time
  // is that of the first frame that begins in it.
  struct InputTime {
    uint64_t at;
    REFERENCE_TIME time;
  };
  std::deque<InputTime> m_inputTimes;
  static constexpr size_t kMaxInputTimes = 256;
  REFERENCE_TIME m_rtStart = 0;
  // The length of the last frame delivered: how far the input's times may
  // stray from the counted ones before they are followed.
  REFERENCE_TIME m_rtFrame = 0;
  CSoundTimeFollower m_follower;
  REFERENCE_TIME m_rtLastInput = INT64_MIN;  // the last input time seen
  // Frames delivered.
  uint64_t m_nFrames = 0;
  bool m_fDiscontinuity = false;
  float m_peak = 0.1f;

  CCritSec m_csProps;
  int m_sampleFormat = SF_PCM16;
  bool m_normalize = false;
  int m_speakerConfig[3] = {2, 2, 1};
  bool m_dynamicRange[3] = {false, false, false};
  float m_boost = 1.0f;
};
