// Source filters over libavformat's demuxers: a demuxer shared by the
// filter's output pins, each pin pulling its own stream's packets (packets
// of the other wanted streams wait in per-stream queues), and the pins that
// deliver them with the stream's FourCC or wave format tag, so that the
// installed decoders pick them up. Packets of streams whose pin is not
// connected are dropped. Every packet read goes through the shared time
// line, as a splitter's do, so that the pins deliver the times the
// conversion follows. Pins offer IMediaSeeking for the duration; playing
// always starts at the beginning.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/codecs/FfmpegMedia.h"
#include "platform/dshow/MediaTimeSeeking.h"
#include "platform/dshow/RunReport.h"
#include "platform/dshow/Source.h"
#include "platform/dshow/StreamTimeline.h"

struct AVFormatContext;
struct AVIOContext;
struct AVStream;

// A demuxed packet with the times the time line handed it on with
// (INT64_MIN: none).
struct FfPacket {
  AvPacketPtr av;
  DWORD TrackNumber = 0;  // the stream's index
  BOOL bDiscontinuity = FALSE;
  REFERENCE_TIME rtStart = INT64_MIN;
  REFERENCE_TIME rtStop = INT64_MIN;
  size_t size() const { return av ? static_cast<size_t>(av->size) : 0; }
};
using FfPacketPtr = std::unique_ptr<FfPacket>;

extern template class CStreamTimelineOf<FfPacket>;

// The demuxer; thread-safe.
class CFfDemux {
 public:
  CFfDemux() = default;
  CFfDemux(const CFfDemux&) = delete;
  CFfDemux& operator=(const CFfDemux&) = delete;
  ~CFfDemux();

  // Opens a file, or the bytes of an upstream reader, with the named
  // demuxer only. VFW_E_INVALID_FILE_FORMAT when it cannot parse them.
  HRESULT Open(const std::string& path, const char* format);
  HRESULT Open(IAsyncReader* reader, const char* format);
  void Close();
  AVFormatContext* Context() const { return m_fmt; }
  // Streams whose packets are kept; others are dropped while reading.
  void SetWanted(int stream, bool wanted);
  // Back to the start with empty queues and a new run of the time line.
  void Rewind();
  // The next packet of a stream, or null at its end (or on a read error).
  FfPacketPtr Next(int stream);
  REFERENCE_TIME Duration() const;
  // What the time line mended in the runs so far, a line for each kind
  // with its count.
  std::string TimeNotes() const;

  // The media type a stream's pin offers; false for a stream no pin can
  // carry.
  static bool StreamType(const AVStream* st, CMediaType& mt);
  // The picture size of a video stream: for a codec that takes it from
  // the container, the size its first key picture decodes whole at
  // (KeyPictureSize). Reads ahead: the next run starts from the beginning
  // again.
  bool StreamPictureSize(int stream, int* width, int* height);

 private:
  struct ReaderIo;
  // The time line over the demuxer's packets, keeping what it mended.
  class CTimeline : public CStreamTimelineOf<FfPacket> {
   public:
    std::string Notes() const;

   protected:
    void Note(const std::string& what, const char* units) override;

   private:
    struct Kind {
      std::string what;
      const char* units;
      UINT64 count;
    };
    std::vector<Kind> m_notes;
  };
  HRESULT Finish(AVFormatContext* fmt, int err);
  void CloseLocked();
  // A packet read, through the time line to the queues.
  void Queue(AvPacketPtr p);
  void QueueReady();

  mutable std::mutex m_lock;
  AVFormatContext* m_fmt = nullptr;
  AVIOContext* m_io = nullptr;
  std::unique_ptr<ReaderIo> m_readerIo;
  std::vector<std::deque<FfPacketPtr>> m_queues;
  CTimeline m_timeline;
  CTimeline::Ready m_ready;
  std::vector<bool> m_wanted;
  bool m_eof = false;
  bool m_readAhead = false;
  bool m_played = false;
};

class CFfDemuxSource;

class CFfDemuxPin final : public CSourceStream, public CMediaTimeSeeking {
 public:
  CFfDemuxPin(HRESULT* phr, CFfDemuxSource* filter, LPCWSTR name, int stream, const CMediaType& mt);

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  HRESULT GetMediaType(CMediaType* pmt) override;
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override;
  // A packet larger than a sample goes out over several samples, the
  // first carrying its times.
  HRESULT FillBuffer(IMediaSample* sample) override;
  HRESULT OnThreadStartPlay() override;
  int Stream() const { return m_stream; }

  // IMediaSeeking: media time only; the duration and stop position are
  // known, positioning is not supported.
  STDMETHODIMP GetDuration(LONGLONG* duration) override;
  STDMETHODIMP SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override;
  STDMETHODIMP GetPositions(LONGLONG* current, LONGLONG* stop) override;
  STDMETHODIMP SetRate(double rate) override;
  STDMETHODIMP GetRate(double* rate) override;

 private:
  CFfDemuxSource* m_owner;
  int m_stream;
  CMediaType m_type;
  long m_bufferSize;
  bool m_first = true;
  // What is left of a packet larger than a sample.
  FfPacketPtr m_rest;
  int m_restOffset = 0;
};

// A source filter whose output pins read one CFfDemux.
class CFfDemuxSource : public CSource, public IRunReport {
 public:
  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  CFfDemux& Demux() { return m_demux; }
  // From stopped: the connected pins' streams are wanted and the demuxer
  // starts again from the beginning.
  STDMETHODIMP Pause() override;
  // IRunReport: no error of its own; as a note, a picture size of a
  // stream's own that differs from the container's, and the times the
  // time line mended.
  std::string GetRunError() const override { return {}; }
  std::string GetRunNote() const override { return m_strNote + m_demux.TimeNotes(); }

 protected:
  CFfDemuxSource(LPCTSTR name, LPUNKNOWN outer, REFCLSID clsid);
  ~CFfDemuxSource() override;

  // One pin per stream that has a type: "<video prefix><n>" and "<audio
  // prefix><n>", counted per kind. VFW_E_INVALID_FILE_FORMAT without any.
  HRESULT CreatePins(const wchar_t* videoPrefix, const wchar_t* audioPrefix);
  // Takes the pins out of the filter; they live on (unconnected) until the
  // filter goes, as the graph may still hold them.
  void RetirePins();

  CFfDemux m_demux;

 private:
  std::string m_strNote;
  std::vector<std::unique_ptr<CFfDemuxPin>> m_retired;
};
