// What the job runners hand to a job's converter, per conversion type.
//
// The runners talk to the converter through CJobBuilder, so that the same
// hand-over serves the real graph converter and any other graph source.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "conversion/ConvertOpt.h"
#include "platform/com/ComPtr.h"
#include "platform/dshow/Interfaces.h"

class CGraphConverter;

class CJobBuilder {
 public:
  virtual ~CJobBuilder() = default;

  virtual void SetFrameRate(int num, int den) = 0;
  virtual void SetOutputSize(int width, int height) = 0;
  virtual void SetSplitSize(int size) = 0;
  virtual void SetFrameRect(int left, int top, int right, int bottom, int resize) = 0;
  virtual void SetEncoderParams(const std::string& videoCodec, int videoKbps, const std::string& audioCodec,
                                int audioKbps, int sampleRate, int channels) = 0;
  virtual void SetImageOutput(int mode, const std::wstring& path, int time, int width, int height) = 0;
  // A picture series may replace files of its pictures' names.
  virtual void SetReplacePictures(bool /*replace*/) {}
  // The user chose to replace the files that have the target's names.
  virtual void SetReplaceTarget(bool /*replace*/) {}
  // The pictures (and sound file) a job is made of in place of its source.
  virtual void SetPictureList(const std::vector<std::string>& /*pictures*/, double /*seconds*/, int /*width*/,
                              int /*height*/, const std::string& /*soundFile*/) {}

  virtual HRESULT BuildMpegGraph(const std::string& source, const std::string& target, int kind) = 0;
  // larger: the disc's larger picture (704 wide) instead of its standard one.
  virtual HRESULT BuildVcdGraph(const std::string& source, const std::string& target, int ntsc, int discKind,
                                int larger) = 0;
  virtual HRESULT BuildMP4Graph(const std::string& source, const std::string& target, int profile) = 0;
  virtual HRESULT BuildAviFlvGraph(const std::string& source, const std::string& target,
                                   const std::string& format) = 0;
  virtual HRESULT BuildPicturesGraph(const std::string& source, const std::string& folder, int interval, int width,
                                     int height) = 0;
  virtual HRESULT BuildAsfGraph(const std::string& source, const std::string& target, int profileIndex) = 0;

  // The graph that runs the job; holding it keeps the converter alive.
  virtual IGraphBuilder* Graph() = 0;
  // Why the running graph failed, as the filter that failed said it, or
  // empty.
  virtual std::string RunErrorText() { return std::string(); }
  // What the run did to the source that its log should say, or empty.
  virtual std::string RunNoteText() { return std::string(); }
  // Once the graph has stopped: the job's files take their targets' names
  // (`keep`) or are removed. A job the user stopped (`stoppedAt`, in
  // seconds, not negative) keeps what it wrote beside a file that was
  // there before it began. Returns why keeping failed, or "".
  virtual std::string FinishFiles(bool /*keep*/, double /*stoppedAt*/) { return std::string(); }
  // After FinishFiles: each target the job kept, with the name its file
  // took (its own, or one beside a file that was there).
  virtual std::vector<std::pair<std::string, std::string>> KeptFiles() { return {}; }
};

// The real converter of a job.
class CGraphConverterJob : public CJobBuilder {
 public:
  explicit CGraphConverterJob(HWND window);
  ~CGraphConverterJob() override;

  void SetFrameRate(int num, int den) override;
  void SetOutputSize(int width, int height) override;
  void SetSplitSize(int size) override;
  void SetFrameRect(int left, int top, int right, int bottom, int resize) override;
  void SetEncoderParams(const std::string& videoCodec, int videoKbps, const std::string& audioCodec, int audioKbps,
                        int sampleRate, int channels) override;
  void SetImageOutput(int mode, const std::wstring& path, int time, int width, int height) override;
  void SetReplacePictures(bool replace) override;
  void SetReplaceTarget(bool replace) override;
  void SetPictureList(const std::vector<std::string>& pictures, double seconds, int width, int height,
                      const std::string& soundFile) override;
  HRESULT BuildMpegGraph(const std::string& source, const std::string& target, int kind) override;
  HRESULT BuildVcdGraph(const std::string& source, const std::string& target, int ntsc, int discKind,
                        int larger) override;
  HRESULT BuildMP4Graph(const std::string& source, const std::string& target, int profile) override;
  HRESULT BuildAviFlvGraph(const std::string& source, const std::string& target, const std::string& format) override;
  HRESULT BuildPicturesGraph(const std::string& source, const std::string& folder, int interval, int width,
                             int height) override;
  HRESULT BuildAsfGraph(const std::string& source, const std::string& target, int profileIndex) override;
  IGraphBuilder* Graph() override { return m_pGraph; }
  std::string RunErrorText() override;
  std::string RunNoteText() override;
  std::string FinishFiles(bool keep, double stoppedAt) override;
  std::vector<std::pair<std::string, std::string>> KeptFiles() override;

 private:
  CGraphConverter* m_pConverter = nullptr;  // kept alive by m_pGraph
  CComPtr<IGraphBuilder> m_pGraph;
};

// Seeking source codes: which filter's position drives the progress.
constexpr int kSeekGraph = 0;
constexpr int kSeekAvi = 0x200;
constexpr int kSeekMpeg = 0x4000;
constexpr int kSeekMp4 = 0x80000;
constexpr int kSeekAsf = 0x200000;

// The hand-over of each runner: settings, then the target's builder. The
// builder's result is returned; `seekingSource` gets the runner's code.
HRESULT HandOverAviJob(const CConvertOpt& job, CJobBuilder& builder, int* seekingSource);
HRESULT HandOverFlvJob(const CConvertOpt& job, CJobBuilder& builder, int* seekingSource);
HRESULT HandOverAsfJob(const CConvertOpt& job, CJobBuilder& builder, int* seekingSource);
HRESULT HandOverMpegJob(const CConvertOpt& job, CJobBuilder& builder, int* seekingSource);
HRESULT HandOverMp4Job(const CConvertOpt& job, CJobBuilder& builder, int* seekingSource);
HRESULT HandOverPicturesJob(const CConvertOpt& job, CJobBuilder& builder, int* seekingSource);

// Split size in bytes of a disc job's split choice; 0 means no split.
int SplitSizeOf(int index);
// The PSP thumbnail beside the target: its extension replaced by ".THM".
std::wstring ThumbnailPath(const std::string& target);
// The readable text of a result code.
std::string ResultText(HRESULT hr);
// "Code: 0x%x, %s -- [%s]" with the code, its text and the builder's text.
std::string FormatFailure(HRESULT hr, const std::string& previous);
// The log text of job `number` whose graph aborted with `hr`: the code, the
// failing filter's own text when there is one, else the hint for the job's
// type or the code's text. Every part ends with a line break.
std::string AbortMessage(int number, const CConvertOpt& job, HRESULT hr, const std::string& runError);
