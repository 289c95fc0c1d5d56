// "Veyl Frame Changer": turns decoded video into a sequence at a fixed frame
// rate. Frames that come too early are dropped, gaps are filled by repeating
// frames, and every output frame is stamped anew (frame n starts at n frame
// durations from the start of streaming). The picture data passes unchanged;
// a repeat goes out as an empty sample, which the sinks read as the picture
// before it shown once more (as an AVI's empty chunk is).
//
// Each output frame shows the input frame whose time is nearest to its own,
// so a frame is held until the next one shows where it stops being the
// nearest; a gap holds the picture before it, and the last frame lasts one
// frame time of the stream. Steps in the times are not judged here: every
// source's times come through the shared time line, which judges them with
// every stream in view.
//
// Beside that it can write JPEG pictures of the frames it delivers: one
// thumbnail at a given time (mode 1) or a numbered series "img_%d.jpg" at a
// fixed interval (mode 2).
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "conversion/PassThroughFilter.h"
#include "conversion/StillWriter.h"

class CJobFiles;

PELLOMAR_DEFINE_GUID(CLSID_FrameRateChanger, "72878B34-6702-469F-8308-23D653210C06");

class CFrameRateChanger;

// Takes a new picture size from upstream while streaming (the decoder's
// output renegotiation); the frames go on downstream carrying it.
class CFrameChangerInputPin : public CTransformInputPin {
 public:
  CFrameChangerInputPin(CFrameRateChanger* filter, HRESULT* phr);
  STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* pmt) override;
};

class CFrameRateChanger : public CPassThroughFilter, public IRunReport {
 public:
  enum ImageMode { kNoImages = 0, kThumbnail = 1, kSeries = 2 };

  CFrameRateChanger(LPUNKNOWN outer, HRESULT* phr);
  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

  // Output rate num/den frames per second; 0 in either keeps the input's
  // frames and times. Refused (E_FAIL) once both pins are connected, since
  // the output type already carries the frame duration.
  HRESULT SetFrameRate(int num, int den);
  // 1: RGB input only (pictures can be written); 0: any video subtype.
  HRESULT SetInputMode(int mode);
  // Lets input mode 1 take the decoders' 4:2:0 planar pictures (YV12,
  // I420) too, for a sink that reads them; pictures of such frames are
  // converted to RGB only when they are written.
  // Refused (E_UNEXPECTED) once the input is connected.
  HRESULT SetPlanarInput(bool accept);
  // mode 1: `path` is the picture file, `timeMs` the time of the frame;
  // mode 2: `path` is the folder, `timeMs` the interval. A box of width and
  // height (both non-zero) fits the pictures on a white canvas.
  HRESULT SetImageOutput(int mode, LPCWSTR path, int timeMs, int width, int height);
  // The job's files: the pictures of a series are then each written as a
  // new file (never through a link or over a file the job did not write,
  // unless the user chose to `replace` those) and a failed job removes
  // them. Without, they are written straight under their names.
  void SetPictureFiles(std::shared_ptr<CJobFiles> files, bool replace);
  // The clockwise turn (0, 90, 180 or 270 degrees) the frames are shown
  // with: the pictures are written upright. The frames pass unturned.
  void SetPictureTurn(int degrees);

  HRESULT CheckInputType(const CMediaType* in) override;
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override;
  HRESULT StartStreaming() override;
  HRESULT StopStreaming() override;
  HRESULT Receive(IMediaSample* sample) override;
  HRESULT EndOfStream() override;
  HRESULT EndFlush() override;

  // IRunReport: why the run failed (a picture that could not be written),
  // and, as a note, a first picture moved to the start.
  std::string GetRunError() const override;
  std::string GetRunNote() const override;

 protected:
  // A frame is copied when it brings a new format, or when one is still to
  // go downstream; the copy carries it in the output form.
  bool BringsNewFormat() override;
  bool NewOutputFormat(CMediaType* mt) override;

 private:
  friend class CFrameChangerInputPin;
  // The output type for an input type: its VideoInfo form for a
  // VideoInfo2 RGB input, with the output frame duration.
  HRESULT OutputTypeFor(const CMediaType& in, CMediaType* out);
  // While streaming: a type of the same format as the input's that
  // downstream takes in its output form.
  bool IsAcceptedFormatChange(const CMediaType& in);
  // The input took a new format: the next output frame carries it.
  void OnInputFormatChange(const CMediaType& in);
  // Ends the run with a reason the graph hears.
  HRESULT FailRun(HRESULT hr, const std::string& text);

  bool RateActive() const { return m_nRateNum != 0 && m_nRateDen != 0; }
  // A frame's times as the output follows them: a stop that is no frame
  // length becomes the start; a first picture too far from the start to
  // lead the sound is moved to 0, and the stream with it.
  void PlaceTimes(REFERENCE_TIME& start, REFERENCE_TIME& stop);
  // The sample that goes downstream for an input frame (the input itself,
  // or its copy carrying a new format); S_FALSE when there is none.
  HRESULT PassOn(IMediaSample* sample, IMediaSample** out);
  // Shows the held frame on the output frames still to come whose time is
  // by `until` (`inclusive`: at it too), and lets it go.
  HRESULT ShowHeld(REFERENCE_TIME until, bool inclusive);
  // The held frame, to its own end (the stream ends, or a new format
  // comes whose buffers upstream makes anew).
  HRESULT ShowHeldToItsEnd();
  void DropHeld();
  // Empty samples on the next output frames: the picture before, again.
  HRESULT DeliverRepeats(IMediaSample* like, LONGLONG count);
  // Start of output frame n, exact in integer arithmetic so that repeated
  // frames and long runs stay on the same grid.
  REFERENCE_TIME FrameStart(LONGLONG n) const;
  // Keep-rate mode: the stop a frame leaves with.
  REFERENCE_TIME KeptStop(REFERENCE_TIME start, REFERENCE_TIME stop);
  // Rate mode: how long the last frame lasts, when no frame follows it.
  REFERENCE_TIME StreamFrameTime() const;
  // The input type's frame duration, 0 when it names none.
  REFERENCE_TIME TypedFrameTime() const;
  HRESULT StampAndDeliver(IMediaSample* out, REFERENCE_TIME start, REFERENCE_TIME stop);
  HRESULT Deliver(IMediaSample* out);
  // A failure when a picture of the series could not be written (the run
  // has failed then).
  HRESULT WriteImage(IMediaSample* frame, REFERENCE_TIME stop);
  // False, with the reason, when the picture file could not be written.
  bool SaveFrame(IMediaSample* frame, const std::string& path, std::string* reason);

  int m_nRateNum = 25;
  int m_nRateDen = 1;
  // The input frame shown last, until the next one shows how long: what
  // goes downstream for it (a reference of our own), its times and format.
  struct HeldFrame {
    IMediaSample* sample = nullptr;
    REFERENCE_TIME start = INT64_MIN;
    REFERENCE_TIME stop = INT64_MIN;
    CMediaType format;
  };
  HeldFrame m_held;
  // The shortest step between two input frames so far, and the step that
  // led to the last one.
  REFERENCE_TIME m_rtFrameStep = 0;
  REFERENCE_TIME m_rtLastStep = 0;
  // Upstream's buffer count: with few, a frame is held in a copy.
  long m_nUpstreamBuffers = 0;
  // The last input start and the shortest step seen between two starts,
  // the stream's own frame time.
  REFERENCE_TIME m_rtLastInputStart = 0;
  REFERENCE_TIME m_rtInputStep = 0;
  // Where the last input frame ends when no frame follows it; the move of
  // a first picture that lay too far from the start.
  REFERENCE_TIME m_rtExpected = 0;
  REFERENCE_TIME m_rtLead = 0;
  // 64-bit: a gap in the input can add many frames at once.
  LONGLONG m_nFramesIn = 0;
  LONGLONG m_nFramesOut = 0;
  int m_nInputMode = 1;
  bool m_bPlanarInput = false;
  int m_nImageMode = kNoImages;
  std::string m_strImagePath;
  int m_nImageWidth = 0;
  int m_nImageHeight = 0;
  REFERENCE_TIME m_rtImageTime = 5000000;
  REFERENCE_TIME m_rtLastImageStop = 0;
  int m_nImageIndex = 0;
  // The frames' format: the connection type until a sample brings another.
  CMediaType m_mtFrame;
  // The output form of a format change, for the next output frame.
  CMediaType m_mtPendingOutput;
  bool m_bOutputTypePending = false;
  int m_nImagesWritten = 0;
  CStillWriter m_pictures;
  mutable std::mutex m_errorLock;
  std::string m_strRunError;
  std::string m_strLeadNote;
};
