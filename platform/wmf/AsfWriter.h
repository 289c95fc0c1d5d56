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
//
// It is a queued sink: each pin's streaming thread turns its samples into
// records (a picture read straight into a buffer of the video encoder's
// own; the sound resampled and encoded) and the worker encodes the pictures
// and writes the file in time order, so that decoding, reading, sound and
// picture encoding run side by side and the file is interleaved as it is
// written.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/codecs/FfmpegMedia.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/QueuedSink.h"
#include "platform/dshow/SoundClock.h"
#include "platform/wmf/WmfInterfaces.h"

struct AVFormatContext;
struct AVAudioFifo;
class CWMAsfWriter;

// A record of the writer: a picture in one of the video encoder's buffers,
// or what the sound encoder made of a sound sample.
struct AsfSample : QueuedRecord {
  size_t QueuedBytes() const override;

  AvFramePtr m_picture;
  std::vector<AvPacketPtr> m_packets;
  // The sound could not be encoded: the run fails when the record is taken.
  HRESULT m_hrSound = S_OK;
};

class CAsfWriterInputPin final : public CQueuedInputPin {
 public:
  CAsfWriterInputPin(CWMAsfWriter* filter, CCritSec* lock, HRESULT* phr, bool video, LPCWSTR name);
  HRESULT CheckMediaType(const CMediaType* pmt) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT Active() override;
  STDMETHODIMP EndOfStream() override;

 protected:
  HRESULT MakeRecord(IMediaSample* sample, std::unique_ptr<QueuedRecord>* record) override;

 private:
  CWMAsfWriter* m_writer;
  // The format of the samples: the connection's until a sample brings a
  // new one (a picture size change). Streaming thread only once active.
  CMediaType m_streamType;
  SwsPtr m_readSws;
};

class CWMAsfWriter final : public CQueuedSinkFilter,
                           public IFileSinkFilter2,
                           public IConfigAsfWriter {
 public:
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);
  ~CWMAsfWriter() override;

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  int GetPinCount() override;
  CBasePin* GetPin(int n) override;

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

  // IMediaSeeking: the duration (and stop) is the longest upstream one.
  STDMETHODIMP GetDuration(LONGLONG* duration) override;
  STDMETHODIMP GetStopPosition(LONGLONG* stop) override;
  STDMETHODIMP GetPositions(LONGLONG* current, LONGLONG* stop) override;

  // IRunReport: why the last run failed when the writer can say more than
  // its code (a time no ASF file can hold); no note.
  std::string GetRunError() const override;
  std::string GetRunNote() const override { return {}; }

  // The picture pin's streaming thread: reads a picture of type `type`
  // into a buffer of the encoder's in `record`. S_FALSE while no picture
  // stream is open; S_OK without a picture for one too short to read.
  HRESULT ReadPicture(const CMediaType& type, const BYTE* data, size_t length, AsfSample* record, SwsPtr& sws);
  // The picture pin's streaming thread, for each picture read: where the
  // pictures taken in so far end.
  void PictureTaken(bool timed, REFERENCE_TIME start, REFERENCE_TIME stop);
  // The sound pin's streaming thread: resamples and encodes 16-bit PCM of
  // type `type` (its media time `start` when `timed`; marked `discontinuity`
  // after a break) into `packets`. FinishSound: the end of the sound, what
  // the resampler and the encoder still hold.
  HRESULT EncodeSound(const CMediaType& type, const BYTE* data, size_t length, bool timed, bool discontinuity,
                      REFERENCE_TIME start, std::vector<AvPacketPtr>& packets);
  HRESULT FinishSound(std::vector<AvPacketPtr>& packets);

 protected:
  HRESULT CanStart() override;
  HRESULT TakeRecord(QueuedRecord& record) override;
  HRESULT EndRun(bool everyStreamEnded) override;
  void AbortRun() override;
  bool AbandonStalledOutput(int64_t waitSinceNs) override { return m_outputWatch.Abandon(waitSinceNs); }

 private:
  explicit CWMAsfWriter(LPUNKNOWN outer);
  HRESULT ApplyProfile(const WmProfileContents& c, const std::wstring& name);
  HRESULT OpenFile();
  // Closes the file (trailer when the header was written).
  void CloseFile();
  // The encoders go only while no streaming thread can read a picture: the
  // picture pin takes its buffers from the video encoder.
  void ReleaseEncoders();
  // A frame of the video encoder's own size and row lengths, from its pool.
  AvFramePtr NewPicture() const;
  // Sends `frame` to the encoder (null: drains it) and takes what it gives
  // into `packets`, with the stream's index and times in its time base.
  HRESULT Encode(AVCodecContext* ctx, int stream, AVRational streamBase, const AVFrame* frame,
                 std::vector<AvPacketPtr>& packets);
  // Into the file, in the order given (the worker).
  HRESULT Write(std::vector<AvPacketPtr>& packets);
  HRESULT EncodePicture(AsfSample& picture);
  // Encodes the sound queue's whole frames (every sample when `last`).
  HRESULT FlushAudio(bool last, std::vector<AvPacketPtr>& packets);
  // Drains the video encoder (and a silent sound) and writes the trailer.
  HRESULT Finish();
  // Silent samples into the sound queue.
  HRESULT WriteSilence(int64_t samples);
  // Input samples through the resampler into the sound queue, less what is
  // still to be cut, and the queue's whole frames encoded; `frames` of
  // silence of the input's format the same way.
  HRESULT Resample(const BYTE* data, int frames, std::vector<AvPacketPtr>& packets);
  HRESULT ResampleSilence(const WAVEFORMATEX& wfx, int64_t frames, std::vector<AvPacketPtr>& packets);
  // Silence until the sound reaches `ms` (the picture's end so far).
  HRESULT SilenceUpTo(int64_t ms, std::vector<AvPacketPtr>& packets);
  // A time the file cannot hold: keeps the text that names it, for the
  // failure the caller reports.
  HRESULT RefuseTime(const char* stream, int64_t ms);

  std::vector<std::unique_ptr<CAsfWriterInputPin>> m_pins;
  std::vector<std::unique_ptr<CAsfWriterInputPin>> m_retired;  // pins handed out before a reconfigure
  WmProfileContents m_profile;
  std::wstring m_profileName;
  DWORD m_profileId = 0;
  std::wstring m_file;
  DWORD m_mode = 0;
  BOOL m_index = TRUE;

  // Made while stopped and kept until the next start (or the end of the
  // filter). During a run the file and the picture encoding are the
  // worker's, the picture pin allocates from m_video meanwhile, and the
  // sound is the sound pin's streaming thread's (the worker's when no sound
  // comes in and the track is silence).
  AVFormatContext* m_fmt = nullptr;
  COutputWatch m_outputWatch;
  bool m_headerWritten = false;
  AvCodecContextPtr m_video, m_audio;
  int m_videoStream = -1, m_audioStream = -1;
  AVRational m_audioBase{1, 1000};  // the sound stream's time base in the file
  AvFramePtr m_audioFrame;
  AvPacketPtr m_videoPacket, m_audioPacket;
  SwrPtr m_swr;
  AVAudioFifo* m_fifo = nullptr;
  std::vector<AvPacketPtr> m_written;  // the worker's packets on their way out
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
  // Where the sound goes on after a break; where the pictures taken in so
  // far end (the picture pin's thread writes it).
  CSoundClock m_soundClock;
  std::atomic<REFERENCE_TIME> m_pictureEnd{INT64_MAX};
  std::vector<BYTE> m_silence;  // a block of silent input, for gaps
  bool m_silentAudio = false;  // no sound comes in: silence follows the picture
  std::vector<std::vector<float>> m_resampled;  // the sound's planes, reused

  mutable std::mutex m_errorLock;
  std::string m_runError;
};
