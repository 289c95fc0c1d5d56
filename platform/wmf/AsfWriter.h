// The Windows Media ASF writer filter (CLSID_WMAsfWriter): encodes what its
// input pins receive with FFmpeg's WMV2 and WMA2 encoders into an ASF file.
//
// The profile (IConfigAsfWriter, default: the 768 Kbps system profile)
// decides the input pins: "Video Input 01" (RGB24/32/555/565, YV12, I420,
// YUY2, UYVY video-info types) when it has video, then "Audio Input 01"
// (16-bit PCM) when it has audio; a profile with audio whose audio pin stays
// unconnected while video comes in writes a silent sound track as long as
// the picture. Reconfiguring needs a stopped filter and
// recreates the pins (connected ones are disconnected first). The file is
// opened when the filter pauses from stopped (an existing file only with
// AM_FILE_OVERWRITE set) and closed with a complete index after the end of
// stream on every connected pin, which raises EC_COMPLETE; an encoding or
// writing failure closes what was written and raises EC_ERRORABORT. A stop
// before the end also closes the file properly. IMediaSeeking reports how
// far the least advanced stream still coming in has been written.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <pthread.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/codecs/FfmpegMedia.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/SinkPosition.h"
#include "platform/wmf/WmfInterfaces.h"

struct AVFormatContext;
struct AVAudioFifo;
class CWMAsfWriter;

class CAsfWriterInputPin final : public CBaseInputPin {
 public:
  CAsfWriterInputPin(CWMAsfWriter* filter, CCritSec* lock, HRESULT* phr, bool video, LPCWSTR name);
  HRESULT CheckMediaType(const CMediaType* pmt) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT Active() override;
  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override;
  bool IsVideo() const { return m_video; }

 private:
  CWMAsfWriter* m_writer;
  bool m_video;
  // The format of the samples: the connection's until a sample brings a
  // new one (a picture size change). Streaming thread only once active.
  CMediaType m_streamType;
};

class CWMAsfWriter final : public CBaseFilter,
                           public IFileSinkFilter2,
                           public IConfigAsfWriter,
                           public IMediaSeeking,
                           public IRunReport {
 public:
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);
  ~CWMAsfWriter() override;

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  int GetPinCount() override;
  CBasePin* GetPin(int n) override;
  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;

  // IFileSinkFilter2
  STDMETHODIMP SetFileName(LPCOLESTR fileName, const AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP SetMode(DWORD flags) override;
  STDMETHODIMP GetMode(DWORD* flags) override;

  // IConfigAsfWriter
  STDMETHODIMP ConfigureFilterUsingProfileId(DWORD profileId) override;
  STDMETHODIMP GetCurrentProfileId(DWORD* profileId) override;
  STDMETHODIMP ConfigureFilterUsingProfileGuid(REFGUID) override { return E_NOTIMPL; }
  STDMETHODIMP GetCurrentProfileGuid(GUID*) override { return E_NOTIMPL; }
  STDMETHODIMP ConfigureFilterUsingProfile(IWMProfile* profile) override;
  STDMETHODIMP GetCurrentProfile(IWMProfile** profile) override;
  STDMETHODIMP SetIndexMode(BOOL index) override;
  STDMETHODIMP GetIndexMode(BOOL* index) override;

  // IMediaSeeking
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
  STDMETHODIMP ConvertTimeFormat(LONGLONG*, const GUID*, LONGLONG, const GUID*) override { return E_NOTIMPL; }
  STDMETHODIMP SetPositions(LONGLONG*, DWORD, LONGLONG*, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetPositions(LONGLONG* current, LONGLONG* stop) override;
  STDMETHODIMP GetAvailable(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
  STDMETHODIMP SetRate(double) override { return E_NOTIMPL; }
  STDMETHODIMP GetRate(double*) override { return E_NOTIMPL; }
  STDMETHODIMP GetPreroll(LONGLONG*) override { return E_NOTIMPL; }

  // IRunReport: why the last run failed when the writer can say more than
  // its code (a time no ASF file can hold); no note.
  std::string GetRunError() const override;
  std::string GetRunNote() const override { return {}; }

  // Called by the pins.
  HRESULT OnVideo(IMediaSample* sample, const CMediaType& type);
  HRESULT OnAudio(IMediaSample* sample, const CMediaType& type);
  HRESULT OnEndOfStream(CAsfWriterInputPin* pin);
  // The picture has been written up to `end`; `done`: the sound waits for
  // it no more.
  void PictureReached(REFERENCE_TIME end, bool done);
  // A flush: the pictures waiting for the encoder go.
  void DropPictures();

 private:
  explicit CWMAsfWriter(LPUNKNOWN outer);
  HRESULT ApplyProfile(const WmProfileContents& c, const std::wstring& name);
  HRESULT OpenFile();
  HRESULT Encode(AVCodecContext* ctx, int stream, const AVFrame* frame);
  HRESULT FlushAudio(bool last);
  // Silent samples into the sound queue.
  HRESULT WriteSilence(int64_t samples);
  // Silence until the sound reaches `ms` (the picture's end so far).
  HRESULT SilenceUpTo(int64_t ms);
  // Closes the file (trailer when the header was written). Caller holds m_mux.
  void CloseFile();
  HRESULT Fail(HRESULT hr);
  // The sound waits while it runs more than kAudioLead ahead of the
  // picture, as a muxer interleaves: else the splitter upstream would read
  // the picture's stream ahead without bound to keep the sound coming.
  void PaceAudio(REFERENCE_TIME start);
  static constexpr REFERENCE_TIME kAudioLead = 10000000;

  // Pictures are encoded on a thread of the writer's own: the streaming
  // thread only reads each into a frame and goes on with the next, so the
  // decoding upstream and the encoding run side by side.
  struct QueuedPicture {
    AvFramePtr frame;
    REFERENCE_TIME start = 0, stop = 0;
    bool timed = false;
  };
  void EncoderLoop();
  void StartEncoder();
  // Ends the encoding thread; the pictures still queued are dropped.
  void StopEncoder();
  // Until every queued picture has been encoded (or the writer stops).
  void DrainPictures();
  HRESULT EncodePicture(QueuedPicture& picture);  // m_mux held
  static constexpr size_t kMaxQueuedPictures = 2;
  // A time the file cannot hold: keeps the text that names it, for the
  // failure the caller reports.
  HRESULT RefuseTime(const char* stream, int64_t ms);

  CCritSec m_lock;
  std::mutex m_mux;
  // The streaming thread last inside a write, and what tells a stuck file
  // (Stop breaks its write after kOutputStallNs without a transfer).
  class WritingLock {
   public:
    explicit WritingLock(CWMAsfWriter& writer);
    ~WritingLock();
    WritingLock(const WritingLock&) = delete;
    WritingLock& operator=(const WritingLock&) = delete;

   private:
    CWMAsfWriter& m_writer;
  };
  static int OutputInterrupted(void* writer);
  static constexpr int64_t kOutputStallNs = 15'000'000'000;
  std::mutex m_writerLock;
  pthread_t m_writerThread{};
  bool m_hasWriter = false;
  std::atomic<int64_t> m_lastOutputNs{0};
  std::atomic<bool> m_abandoned{false};
  std::vector<std::unique_ptr<CAsfWriterInputPin>> m_pins;
  std::vector<std::unique_ptr<CAsfWriterInputPin>> m_retired;  // pins handed out before a reconfigure
  WmProfileContents m_profile;
  std::wstring m_profileName;
  DWORD m_profileId = 0;
  std::wstring m_file;
  DWORD m_mode = 0;
  BOOL m_index = TRUE;

  // Streaming state, under m_mux.
  AVFormatContext* m_fmt = nullptr;
  bool m_headerWritten = false;
  bool m_failed = false;
  bool m_finished = false;
  AvCodecContextPtr m_video, m_audio;
  int m_videoStream = -1, m_audioStream = -1;
  AvFramePtr m_audioFrame;
  AvPacketPtr m_packet;
  SwrPtr m_swr;
  AVAudioFifo* m_fifo = nullptr;
  REFERENCE_TIME m_frameTime = 400000;
  int64_t m_lastVideoPts = -1;  // milliseconds
  // The encoder counts frames at the stream's rate; the packets leave with
  // the frames' own times (milliseconds), in order, as nothing reorders.
  int64_t m_videoFrames = 0;
  std::deque<int64_t> m_videoTimes;
  int64_t m_audioPts = 0;
  // The first sound sample goes where its time puts it against the
  // picture: silence in front of a late start, an early start cut.
  bool m_audioStartPending = true;
  int64_t m_audioSkip = 0;  // output samples still to cut
  bool m_silentAudio = false;  // no sound comes in: silence follows the picture
  // By stream: picture 0, sound 1.
  CSinkPosition m_position{2};
  std::vector<CAsfWriterInputPin*> m_ended;
  // Sound pacing, under m_paceLock (taken after m_mux, never before it).
  std::mutex m_paceLock;
  std::condition_variable m_paceCv;
  REFERENCE_TIME m_pictureReached = 0;
  bool m_pictureDone = true;
  // The encoding thread and its queue, under m_qLock (never taken while
  // waiting for m_mux).
  std::thread m_encoder;
  std::mutex m_qLock;
  std::condition_variable m_qCv;
  std::deque<QueuedPicture> m_pictures;
  std::vector<AvFramePtr> m_spareFrames;
  bool m_encoding = false;
  bool m_quitEncoder = false;
  std::atomic<bool> m_stopEncoder{false};
  // What the streaming thread needs without m_mux: the run failed, and the
  // encoder's picture size (0 while no picture stream is open).
  std::atomic<bool> m_runFailed{false};
  std::atomic<int> m_encWidth{0}, m_encHeight{0};
  SwsPtr m_readSws;  // the picture pin's streaming thread only
  // Pictures are read into buffers laid out like the encoder's own (with
  // its margins' row lengths), so that it encodes them where they are
  // instead of copying each first. Made while stopped, when the file opens.
  struct BufferPoolDeleter {
    void operator()(AVBufferPool* p) const { av_buffer_pool_uninit(&p); }
  };
  std::unique_ptr<AVBufferPool, BufferPoolDeleter> m_picturePool;
  int m_poolLines[3] = {};
  void MakePicturePool();
  // Gives `frame` a fresh buffer of the pool (false when there is none).
  bool TakePoolBuffer(AVFrame* frame) const;
  mutable std::mutex m_errorLock;
  std::string m_runError;
};
