// The muxer filter: the sink that encodes the decoded video frames (RGB24
// or RGB32) and 16-bit PCM audio into the target file through the encoder
// engine, optionally cut into parts of a given size ("name_1.ext", ...).
//
// Settings are taken only while the filter is stopped. The worker reports
// the end of a run with EC_COMPLETE, or EC_ERRORABORT carrying the engine's
// failure code.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "conversion/EncoderEngine.h"
#include "conversion/JobFiles.h"
#include "conversion/MuxerBase.h"

PELLOMAR_DEFINE_GUID(CLSID_MpegMuxer, "6FEC7403-9DF8-44AA-AEE2-8CE86E0838D4");

class CMpegMuxer : public CMuxerBase {
 public:
  // How the output container is chosen.
  enum { SelectByIndex = 0, SelectByProfile = 1, SelectByName = 2 };
  static constexpr size_t kMaxOutputText = 256;

  CMpegMuxer(LPUNKNOWN outer, HRESULT* phr);
  ~CMpegMuxer() override;
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);
  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // Each returns S_OK, E_INVALIDARG for a value out of range (nothing
  // changes) or VFW_E_WRONG_STATE when the filter is not stopped.
  HRESULT SetFormatIndex(unsigned index);      // 0..7, selects by index
  HRESULT SetProfile(unsigned profile);        // 0..5, selects by profile
  HRESULT SetFormatName(const std::string& name);  // selects by name
  HRESULT SetFrameRate(int num, int den);      // 8 to 100 frames per second
  HRESULT SetVideoSize(int width, int height); // each at least 10
  HRESULT SetSplitSize(int size);              // at least 4096 (kilobytes)
  // The frame rectangle is one of the picture as it is shown (turned).
  HRESULT SetFrameRect(int left, int right, int top, int bottom, int fitMode);
  // The clockwise turn (0, 90, 180 or 270 degrees) the source's pictures
  // are shown with; the output is written upright.
  HRESULT SetPictureTurn(int degrees);
  HRESULT SetVideoCodec(const std::string& name, int kbps);
  HRESULT SetAudioCodec(const std::string& name, int kbps, int hz, int channels);
  // By index the output always ends in ".mpg".
  HRESULT SetFileName(const std::string& path);
  // Cut to 256 characters; taken in any state.
  HRESULT SetOutputText(const std::string& text);
  // The job's files: each output part is then written under a temporary
  // name from them (without, straight under its own name), and a failed
  // run discards them.
  void SetJobFiles(std::shared_ptr<CJobFiles> files) { m_pFiles = std::move(files); }
  // The length the sound of the output is cut or filled with silence to
  // (100 ns units); 0 takes the sound as it comes.
  HRESULT SetStreamLength(REFERENCE_TIME length);

  // Read-outs for the converter's checks and the tests.
  int SelectMode() const { return m_nSelectMode; }
  int FormatIndex() const { return m_nFormatIndex; }
  int Profile() const { return m_nProfile; }
  const std::string& FormatName() const { return m_strFormatName; }
  const std::string& FileName() const { return m_strFileName; }
  const std::string& OutputText() const { return m_strOutputText; }
  int SplitSize() const { return m_nSplitSize; }
  int Width() const { return m_nWidth; }
  int Height() const { return m_nHeight; }
  int RateNum() const { return m_nRateNum; }
  int RateDen() const { return m_nRateDen; }
  const CEncoderEngine& Engine() const { return m_engine; }
  // IRunReport: why the last run failed (the sink's or the engine's text).
  std::string GetRunError() const override;

 protected:
  HRESULT CanStart() override;
  HRESULT BeginRun() override;
  HRESULT TakeSample(MuxSample& sample) override;
  HRESULT EndRun(bool everyStreamEnded) override;
  void AbortRun() override;
  bool AbandonStalledOutput(int64_t waitSinceNs) override { return m_engine.AbandonStalledOutput(waitSinceNs); }

 private:
  HRESULT StartPart();
  HRESULT ConfigureEngine();

  int m_nSelectMode = SelectByProfile;
  int m_nFormatIndex = 2;
  int m_nProfile = 4;
  std::string m_strFormatName;
  int m_nWidth = 320, m_nHeight = 240;
  bool m_bSizeSet = false;  // a disc format keeps its own size unless one is set
  int m_nRateNum = 25, m_nRateDen = 1;
  std::string m_strVideoCodec = "mpeg4";
  int m_nVideoKbps = 192;
  std::string m_strAudioCodec = "aac";
  int m_nAudioKbps = 64;
  int m_nSampleRate = 24000, m_nChannels = 2;
  std::string m_strFileName;
  std::string m_strOutputText;
  int m_nSplitSize = 0;  // the given size minus 20; 0: one file
  int m_rcFrame[4] = {0, 0, 0, 0};  // left, right, top, bottom
  int m_nFitMode = 0;
  int m_nTurn = 0;
  REFERENCE_TIME m_rtStreamLength = 0;

  // Worker state of the current run.
  CEncoderEngine m_engine;
  CMediaType m_mtVideo;  // the video format in force during a run
  mutable std::mutex m_errorLock;
  std::string m_strRunError;
  std::string m_strStem, m_strExt;
  std::shared_ptr<CJobFiles> m_pFiles;
  int m_nPart = 0;
  REFERENCE_TIME m_rtLastStop = 0;  // last valid stop time handed to the engine
};
