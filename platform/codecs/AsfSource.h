// The Windows Media ASF source ({187463A0-5BB7-11D3-ACBE-0080C75E246E})
// over libavformat's ASF demuxer. IFileSourceFilter::Load opens the file
// (a file the demuxer cannot parse fails with VFW_E_INVALID_FILE_FORMAT
// and leaves no pins); each video and audio stream gets an output pin
// ("Raw Video 0", "Raw Audio 1", ...) delivering its compressed packets
// with the stream's FourCC or wave format tag, so the installed decoders
// pick them up. Packets of streams whose pin is not connected are dropped.
// Pins offer IMediaSeeking for the duration; playing restarts at the
// beginning of the file.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/codecs/FfmpegMedia.h"
#include "platform/dshow/Source.h"

struct AVFormatContext;

PELLOMAR_DEFINE_GUID(CLSID_WMAsfReader, "187463A0-5BB7-11D3-ACBE-0080C75E246E");

// The demuxer shared by the pins; thread-safe.
class CAsfDemux {
 public:
  ~CAsfDemux();
  HRESULT Open(const std::string& path);
  AVFormatContext* Context() const { return m_fmt; }
  // Streams whose packets are kept; others are dropped while reading.
  void SetWanted(int stream, bool wanted);
  // Back to the start with empty queues.
  void Rewind();
  // The next packet of a stream, or null at its end (or on a read error).
  AvPacketPtr Next(int stream);
  REFERENCE_TIME Duration() const;

 private:
  std::mutex m_lock;
  AVFormatContext* m_fmt = nullptr;
  std::vector<std::deque<AvPacketPtr>> m_queues;
  std::vector<bool> m_wanted;
  bool m_eof = false;
  bool m_played = false;
};

class CAsfSourceFilter;

class CAsfOutputPin final : public CSourceStream, public IMediaSeeking {
 public:
  CAsfOutputPin(HRESULT* phr, CAsfSourceFilter* filter, LPCWSTR name, int stream, const CMediaType& mt);

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  HRESULT GetMediaType(CMediaType* pmt) override;
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override;
  HRESULT FillBuffer(IMediaSample* sample) override;
  HRESULT OnThreadStartPlay() override;
  int Stream() const { return m_stream; }

  // IMediaSeeking: media time only; the duration and stop position are
  // known, positioning is not supported.
  STDMETHODIMP GetCapabilities(DWORD* caps) override;
  STDMETHODIMP CheckCapabilities(DWORD* caps) override;
  STDMETHODIMP IsFormatSupported(const GUID* format) override;
  STDMETHODIMP QueryPreferredFormat(GUID* format) override;
  STDMETHODIMP GetTimeFormat(GUID* format) override;
  STDMETHODIMP IsUsingTimeFormat(const GUID* format) override;
  STDMETHODIMP SetTimeFormat(const GUID* format) override;
  STDMETHODIMP GetDuration(LONGLONG* duration) override;
  STDMETHODIMP GetStopPosition(LONGLONG* stop) override;
  STDMETHODIMP GetCurrentPosition(LONGLONG* current) override;
  STDMETHODIMP ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                 const GUID* sourceFormat) override;
  STDMETHODIMP SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override;
  STDMETHODIMP GetPositions(LONGLONG* current, LONGLONG* stop) override;
  STDMETHODIMP GetAvailable(LONGLONG* earliest, LONGLONG* latest) override;
  STDMETHODIMP SetRate(double rate) override;
  STDMETHODIMP GetRate(double* rate) override;
  STDMETHODIMP GetPreroll(LONGLONG* preroll) override;

 private:
  CAsfSourceFilter* m_owner;
  int m_stream;
  CMediaType m_type;
  long m_bufferSize;
  bool m_first = true;
};

class CAsfSourceFilter final : public CSource, public IFileSourceFilter {
 public:
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);
  ~CAsfSourceFilter() override;

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP Pause() override;

  // IFileSourceFilter. A second Load is refused (VFW_E_ALREADY_CONNECTED
  // style: E_UNEXPECTED).
  STDMETHODIMP Load(LPCOLESTR fileName, const AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* pmt) override;

  CAsfDemux& Demux() { return m_demux; }

 private:
  explicit CAsfSourceFilter(LPUNKNOWN outer);
  static bool StreamType(const struct AVStream* st, CMediaType& mt);

  CAsfDemux m_demux;
  std::wstring m_file;
};
