// pellomar-e2e: runs one job through the real main window, headless, and
// reports the run log and the job's outcome.
//
//   pellomar-e2e --type N --source PATH --target PATH [--set FIELD=VALUE]...
//                [--timeout SECONDS] [--stop-after N] [--hold-video-at SECONDS]
//                [--shrink-source-after N] [--remove-source-after N] [--replace-source-after N]
//                [--next-source PATH --next-target PATH]...
//
// Each job is filled as the window's pages fill it: the type's defaults,
// then what the source page's probe of its source found (length, picture
// size, frame rate, source format), then the --set values, which override.
// A source the probe cannot read keeps the type's defaults (the job's own
// run tells why), and the driver says so ("probe: ...").
//
// Each --next-target adds one more job with the first job's settings, the
// source given last (the first job's when none) and that target, so that a
// run of several jobs can be watched; every job's result and the target its
// row shows are reported ("job N: done, target PATH").
//
// --stop-after stops the job as a user would (Stop on the main window) once
// its target holds N bytes (for pictures: once N pictures are written), and
// reports how long the stop took and the process's threads before the job,
// at most while it ran, and after it:
// "stopped after N after Y ms; threads before A, running B, after C".
//
// --hold-video-at holds the first (WMV) job's pictures from that time on,
// before they reach the writer, until the graph stops: its position stands still
// as a job's does that hangs. --shrink-source-after cuts the source to half
// its size once the target holds N bytes, as a file that shrinks while it
// is converted; --remove-source-after removes it then, and
// --replace-source-after puts another file in its place under its name.
//
// --stop-past stops the job once its progress line says more than SECONDS
// were converted ("stopped past SECONDS s: converted C s"), so that a job
// whose times run away is told without waiting for it.
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/JobRunners.h"
#include "app/SourceProbe.h"
#include "app/TambrelApp.h"
#include "app/TambrelDlg.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/ui/Afx.h"
#include "resources/ResourceIds.h"
#include "tests/platform/dshow/HoldFilter.h"

namespace {

// CPU seconds (user + system) the calling thread has used so far.
double ThreadCpuSeconds() {
  std::ifstream in("/proc/thread-self/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Fields after the command name, which is in parentheses and may hold blanks.
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Runs the event loop until the condition no longer holds or the time is up.
// The loop sleeps between events; the condition is looked at on a timer, so
// waiting costs no processor time.
void WaitWhile(const std::function<bool()>& condition, qint64 limitMs) {
  QElapsedTimer clock;
  clock.start();
  QEventLoop loop;
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, [&] {
    if (!condition() || clock.elapsed() >= limitMs) loop.quit();
  });
  check.start(20);
  if (condition()) loop.exec();
}

using Setter = std::function<bool(CConvertOpt&, const std::string&)>;

template <class T>
Setter Number(T CConvertOpt::*field) {
  return [field](CConvertOpt& job, const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end) return false;
    job.*field = static_cast<T>(value);
    return true;
  };
}

Setter Text(std::string CConvertOpt::*field) {
  return [field](CConvertOpt& job, const std::string& text) {
    job.*field = text;
    return true;
  };
}

// A list field: each --set appends one entry.
Setter Append(std::vector<std::string> CConvertOpt::*field) {
  return [field](CConvertOpt& job, const std::string& text) {
    (job.*field).push_back(text);
    return true;
  };
}

const std::map<std::string, Setter>& Fields() {
  static const std::map<std::string, Setter> fields = {
      {"m_nSourceFormat", Number(&CConvertOpt::m_nSourceFormat)},
      {"m_strSource", Text(&CConvertOpt::m_strSource)},
      {"m_strTarget", Text(&CConvertOpt::m_strTarget)},
      {"m_nWidth", Number(&CConvertOpt::m_nWidth)},
      {"m_nHeight", Number(&CConvertOpt::m_nHeight)},
      {"m_nSourceWidth", Number(&CConvertOpt::m_nSourceWidth)},
      {"m_nSourceHeight", Number(&CConvertOpt::m_nSourceHeight)},
      {"m_nMpegKind", Number(&CConvertOpt::m_nMpegKind)},
      {"m_nMpegRateIndex", Number(&CConvertOpt::m_nMpegRateIndex)},
      {"m_nMpegRateNum", Number(&CConvertOpt::m_nMpegRateNum)},
      {"m_nMpegRateDen", Number(&CConvertOpt::m_nMpegRateDen)},
      {"m_nTvStandard", Number(&CConvertOpt::m_nTvStandard)},
      {"m_nDiscSize", Number(&CConvertOpt::m_nDiscSize)},
      {"m_nChannels", Number(&CConvertOpt::m_nChannels)},
      {"m_nSampleRate", Number(&CConvertOpt::m_nSampleRate)},
      {"m_nAudioBitrate", Number(&CConvertOpt::m_nAudioBitrate)},
      {"m_fPictureInterval", Number(&CConvertOpt::m_fPictureInterval)},
      {"m_strAudioFile", Text(&CConvertOpt::m_strAudioFile)},
      {"m_astrPictures", Append(&CConvertOpt::m_astrPictures)},
      {"m_strPictureFolder", Text(&CConvertOpt::m_strPictureFolder)},
      {"m_bReplacePictures", Number(&CConvertOpt::m_bReplacePictures)},
      {"m_dSourceFrameRate", Number(&CConvertOpt::m_dSourceFrameRate)},
      {"m_dFrameRate", Number(&CConvertOpt::m_dFrameRate)},
      {"m_nWmProfile", Number(&CConvertOpt::m_nWmProfile)},
      {"m_bNoSplit", Number(&CConvertOpt::m_bNoSplit)},
      {"m_nSplitIndex", Number(&CConvertOpt::m_nSplitIndex)},
      {"m_fDuration", Number(&CConvertOpt::m_fDuration)},
      {"m_nPreset", Number(&CConvertOpt::m_nPreset)},
      {"m_nVideoBitrate", Number(&CConvertOpt::m_nVideoBitrate)},
      {"m_nFrameRateIndex", Number(&CConvertOpt::m_nFrameRateIndex)},
      {"m_nProfile", Number(&CConvertOpt::m_nProfile)},
      {"m_nVideoCodec", Number(&CConvertOpt::m_nVideoCodec)},
      {"m_nAudioCodec", Number(&CConvertOpt::m_nAudioCodec)},
      {"m_nPspFileNumber", Number(&CConvertOpt::m_nPspFileNumber)},
      {"m_fThumbTime", Number(&CConvertOpt::m_fThumbTime)},
      {"m_bResize", Number(&CConvertOpt::m_bResize)},
  };
  return fields;
}

using SetList = std::vector<std::pair<std::string, std::string>>;

// The --set values, in order; false (and a message) for a field or value
// the driver does not know.
bool ApplySets(const SetList& sets, CConvertOpt* job) {
  for (const auto& [field, value] : sets) {
    auto it = Fields().find(field);
    if (it == Fields().end() || !it->second(*job, value)) {
      std::fprintf(stderr, "pellomar-e2e: cannot set %s=%s\n", field.c_str(), value.c_str());
      return false;
    }
  }
  return true;
}

// One job as the pages make it: the type's defaults, the source page's
// probe of the source, then the --set values.
std::unique_ptr<CConvertOpt> MakeJob(int type, const std::string& source, const std::string& target,
                                     const SetList& sets) {
  auto job = std::make_unique<CConvertOpt>();
  job->SetType(type);
  job->m_strSource = source;
  job->m_strTarget = target;
  // A picture job's source page is the picture list, which probes nothing.
  if (type != CONVERT_PICTURES_TO_VIDEO) {
    SourceMediaInfo info;
    const HRESULT hr = ProbeSourceQuietly(nullptr, source, &info);
    if (SUCCEEDED(hr)) {
      ApplySourceProbe(source, info, job.get());
      std::printf("probe: %s: format %d, %dx%d, %.3f frames/s, %.3f s\n", source.c_str(), info.format, info.width,
                  info.height, static_cast<double>(info.frameRate), static_cast<double>(info.duration));
    } else {
      std::printf("probe: %s: not read (0x%08X), the job keeps its defaults\n", source.c_str(),
                  static_cast<unsigned>(hr));
    }
  }
  ApplySets(sets, job.get());
  return job;
}

int Usage() {
  std::fprintf(stderr,
               "usage: pellomar-e2e --type N --source PATH --target PATH [--set FIELD=VALUE]... "
               "[--timeout SECONDS] [--stop-after BYTES] [--stop-past SECONDS]\n");
  return 2;
}

// Threads of this process.
int ThreadCount() {
  std::error_code ec;
  int n = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++n;
  return n;
}

// What the job has written so far: the bytes of the target, which is
// written as "<target>.part" until the job ends, or for a picture series the
// pictures in its folder.
long long Written(const CConvertOpt& job) {
  std::error_code ec;
  if (job.m_nType != CONVERT_VIDEO_TO_PICTURES) {
    auto size = std::filesystem::file_size(job.m_strTarget + ".part", ec);
    if (ec) size = std::filesystem::file_size(job.m_strTarget, ec);
    return ec ? 0 : static_cast<long long>(size);
  }
  long long n = 0;
  for (auto it = std::filesystem::directory_iterator(job.m_strPictureFolder, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    n += it->path().extension() == ".jpg" ? 1 : 0;
  return n;
}

PELLOMAR_DEFINE_GUID(kClsPictureHold, "7A9E0003-0000-4000-8000-0000000A9901");

// Passes pictures on until one at or after its time comes; that one waits
// until the graph stops.
class CPictureHold final : public CTransformFilter {
 public:
  explicit CPictureHold(REFERENCE_TIME at) : CTransformFilter(NAME("picture hold"), nullptr, kClsPictureHold), m_at(at) {}
  HRESULT CheckInputType(const CMediaType* in) override {
    return *in->Type() == MEDIATYPE_Video ? S_OK : E_INVALIDARG;
  }
  HRESULT CheckTransform(const CMediaType*, const CMediaType*) override { return S_OK; }
  HRESULT GetMediaType(int position, CMediaType* pmt) override {
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    return position < 0 ? E_INVALIDARG : pmt->Set(m_pInput->CurrentMediaType());
  }
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES*) override {
    ALLOCATOR_PROPERTIES wanted{}, actual{};
    HRESULT hr = m_pInput->m_pAllocator->GetProperties(&wanted);
    return SUCCEEDED(hr) ? alloc->SetProperties(&wanted, &actual) : hr;
  }
  HRESULT Transform(IMediaSample* in, IMediaSample* out) override {
    REFERENCE_TIME start = 0, stop = 0;
    const HRESULT timed = in->GetTime(&start, &stop);
    if (SUCCEEDED(timed) && start >= m_at) {
      std::unique_lock<std::mutex> lock(m_lock);
      m_released.wait(lock, [&] { return m_stopped; });
      return S_FALSE;
    }
    BYTE *from = nullptr, *to = nullptr;
    in->GetPointer(&from);
    out->GetPointer(&to);
    const long length = in->GetActualDataLength();
    if (!from || !to || length > out->GetSize()) return S_FALSE;
    std::memcpy(to, from, static_cast<size_t>(length));
    out->SetActualDataLength(length);
    if (SUCCEEDED(timed)) out->SetTime(&start, &stop);
    return S_OK;
  }
  STDMETHODIMP Stop() override {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_stopped = true;
    }
    m_released.notify_all();
    return CTransformFilter::Stop();
  }

 private:
  const REFERENCE_TIME m_at;
  std::mutex m_lock;
  std::condition_variable m_released;
  bool m_stopped = false;
};

// Puts a picture hold in front of the writer's picture input: the graph's
// filter without outputs that takes video.
HRESULT InsertPictureHold(IGraphBuilder* graph, REFERENCE_TIME at) {
  CComPtr<IEnumFilters> filters;
  if (FAILED(graph->EnumFilters(&filters))) return E_FAIL;
  for (CComPtr<IBaseFilter> filter; filters->Next(1, &filter, nullptr) == S_OK; filter.Release()) {
    CComPtr<IEnumPins> pins;
    filter->EnumPins(&pins);
    CComPtr<IPin> input;
    bool hasOutput = false;
    for (CComPtr<IPin> pin; pins && pins->Next(1, &pin, nullptr) == S_OK; pin.Release()) {
      PIN_DIRECTION dir;
      pin->QueryDirection(&dir);
      CMediaType mt;
      if (dir == PINDIR_OUTPUT) hasOutput = true;
      else if (SUCCEEDED(pin->ConnectionMediaType(&mt)) && mt.majortype == MEDIATYPE_Video) input = pin;
    }
    if (hasOutput || !input) continue;
    CComPtr<IPin> peer;
    CMediaType mt;
    input->ConnectedTo(&peer);
    input->ConnectionMediaType(&mt);
    graph->Disconnect(peer);
    graph->Disconnect(input);
    CComPtr<IBaseFilter> hold = Hold(new CPictureHold(at));
    CComPtr<IPin> holdIn, holdOut;
    hold->FindPin(L"XForm In", &holdIn);
    hold->FindPin(L"XForm Out", &holdOut);
    HRESULT hr = graph->AddFilter(hold, L"Picture Hold");
    if (SUCCEEDED(hr)) hr = holdIn && holdOut ? graph->ConnectDirect(peer, holdIn, &mt) : E_FAIL;
    if (SUCCEEDED(hr)) hr = graph->ConnectDirect(holdOut, input, &mt);
    return hr;
  }
  return VFW_E_NOT_FOUND;
}

// The real converter of a WMV job with a picture hold put in once it is
// built (the writer takes the sound without waiting for the picture, as
// when a job's picture is stuck).
class HeldJob final : public CGraphConverterJob {
 public:
  HeldJob(HWND window, REFERENCE_TIME at) : CGraphConverterJob(window), m_at(at) {}
  HRESULT BuildAsfGraph(const std::string& s, const std::string& t, int profile) override {
    HRESULT hr = CGraphConverterJob::BuildAsfGraph(s, t, profile);
    return hr == S_OK ? InsertPictureHold(Graph(), m_at) : hr;
  }

 private:
  REFERENCE_TIME m_at;
};

// The main window whose first job gets a picture hold, when asked for.
class E2eDlg final : public CTambrelDlg {
 public:
  REFERENCE_TIME holdAt = -1;

 protected:
  std::unique_ptr<CJobBuilder> CreateJobBuilder() override {
    if (holdAt < 0 || m_bHeld) return CTambrelDlg::CreateJobBuilder();
    m_bHeld = true;
    return std::make_unique<HeldJob>(GetSafeHwnd(), holdAt);
  }

 private:
  bool m_bHeld = false;
};

}  // namespace

int main(int argc, char** argv) {
  int type = -1;
  std::string source, target;
  SetList setList;
  std::vector<std::pair<std::string, std::string>> moreJobs;  // source, target
  std::string nextSource;
  double timeout = 600;
  long long stopAfter = -1;
  double holdAt = -1;
  long long shrinkAfter = -1, removeAfter = -1, replaceAfter = -1;
  double stopPast = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    const std::string value = argv[++i];
    if (arg == "--type") {
      type = std::atoi(value.c_str());
    } else if (arg == "--source") {
      source = value;
    } else if (arg == "--target") {
      target = value;
    } else if (arg == "--timeout") {
      timeout = std::atof(value.c_str());
    } else if (arg == "--stop-after") {
      stopAfter = std::atoll(value.c_str());
    } else if (arg == "--stop-past") {
      stopPast = std::atof(value.c_str());
    } else if (arg == "--hold-video-at") {
      holdAt = std::atof(value.c_str());
    } else if (arg == "--shrink-source-after") {
      shrinkAfter = std::atoll(value.c_str());
    } else if (arg == "--remove-source-after") {
      removeAfter = std::atoll(value.c_str());
    } else if (arg == "--replace-source-after") {
      replaceAfter = std::atoll(value.c_str());
    } else if (arg == "--next-source") {
      nextSource = value;
    } else if (arg == "--next-target") {
      moreJobs.emplace_back(nextSource, value);
    } else if (arg == "--set") {
      const size_t eq = value.find('=');
      if (eq == std::string::npos) return Usage();
      setList.emplace_back(value.substr(0, eq), value.substr(eq + 1));
    } else {
      return Usage();
    }
  }
  if (type < 0 || type >= CONVERT_TYPE_COUNT || source.empty() || target.empty()) return Usage();

  {
    CConvertOpt check;
    if (!ApplySets(setList, &check)) return 2;
  }

  QApplication qapp(argc, argv);
  // Notices are answered as a user who accepts them.
  UiSetMessageBoxHook([](const std::string& text, const std::string&, UINT type) {
    std::fprintf(stderr, "notice: %s\n", text.c_str());
    const UINT buttons = type & 0xF;
    return buttons == MB_YESNO || buttons == MB_YESNOCANCEL ? IDYES : IDOK;
  });

  CTambrelApp app;
  // The real start-up; the driver then holds the main window itself, so it
  // can watch the run instead of a modal loop.
  app.StartUp();
  // The probes need the filters start-up registers.
  auto job = MakeJob(type, source, target, setList);
  std::vector<std::unique_ptr<CConvertOpt>> jobs;
  for (const auto& [nextSrc, nextTarget] : moreJobs)
    jobs.push_back(MakeJob(type, nextSrc.empty() ? source : nextSrc, nextTarget, setList));
  int status = -1;
  std::string log;
  double uiCpu = 0;
  {
    E2eDlg dlg;
    if (holdAt >= 0) dlg.holdAt = static_cast<REFERENCE_TIME>(holdAt * 10000000.0);
    dlg.AddJob(job.release());
    for (auto& more : jobs) dlg.AddJob(more.release());
    if (dlg.Create(CTambrelDlg::IDD)) {
      // The log window that ends a failed run waits for a click; close it.
      QTimer closer;
      QObject::connect(&closer, &QTimer::timeout, [] {
        if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
      });
      closer.start(50);
      QCoreApplication::processEvents();
      // A sanitizer runtime starts a helper thread of its own with the first
      // thread made; it must not count as one of the job's.
      std::thread([] {}).join();
      const int threadsBefore = ThreadCount();
      int threadsRunning = threadsBefore;
      const CConvertOpt& watched = *dlg.GetJob(0);
      dlg.OnStartStop();
      // From here the graph runs on its own threads: the user-interface
      // thread only answers timers and posted messages.
      const double cpuAtStart = ThreadCpuSeconds();
      bool stopped = false;
      auto stopWhenWritten = [&] {
        if (stopAfter < 0 || stopped || !dlg.IsConverting()) return;
        threadsRunning = std::max(threadsRunning, ThreadCount());
        const long long written = Written(watched);
        if (written < stopAfter) return;
        stopped = true;
        // The user's Stop: the graph stops at once, the run ends with the
        // next-job message.
        const auto start = std::chrono::steady_clock::now();
        dlg.StopConversion();
        while (dlg.GetJobStatus(0) == kJobRunning) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        // A thread whose work has ended may take a moment more to leave the
        // process (the platform's threads are detached): wait for it, bounded.
        int threadsAfter = ThreadCount();
        for (int i = 0; i < 400 && threadsAfter > threadsBefore; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
          threadsAfter = ThreadCount();
        }
        std::printf("stopped after %lld after %lld ms; threads before %d, running %d, after %d\n", written,
                    static_cast<long long>(took.count()), threadsBefore, threadsRunning, threadsAfter);
      };
      bool shrunk = false;
      auto shrinkWhenWritten = [&] {
        if (shrinkAfter < 0 || shrunk || !dlg.IsConverting() || Written(watched) < shrinkAfter) return;
        shrunk = true;
        std::error_code ec;
        const auto size = std::filesystem::file_size(watched.m_strSource, ec);
        if (!ec) std::filesystem::resize_file(watched.m_strSource, size / 2, ec);
        std::printf("source cut from %llu to %llu bytes%s\n", static_cast<unsigned long long>(size),
                    static_cast<unsigned long long>(size / 2), ec ? " failed" : "");
      };
      bool gone = false;
      auto removeWhenWritten = [&] {
        const long long after = removeAfter >= 0 ? removeAfter : replaceAfter;
        if (after < 0 || gone || !dlg.IsConverting() || Written(watched) < after) return;
        gone = true;
        std::error_code ec;
        if (removeAfter >= 0) {
          std::filesystem::remove(watched.m_strSource, ec);
          std::printf("source removed%s\n", ec ? " failed" : "");
          return;
        }
        const std::string other = watched.m_strSource + ".other";
        std::ofstream(other) << "another file";
        std::filesystem::rename(other, watched.m_strSource, ec);
        std::printf("source replaced%s\n", ec ? " failed" : "");
      };
      bool stoppedPast = false;
      auto stopWhenPast = [&] {
        if (stopPast < 0 || stoppedPast || !dlg.IsConverting()) return;
        std::string line;
        dlg.GetDlgItemText(IDC_PROGRESS_LINE, line);
        const size_t at = line.find("Converted Length:");
        if (at == std::string::npos) return;
        const double converted = std::atof(line.c_str() + at + 17);
        if (converted <= stopPast) return;
        stoppedPast = true;
        std::printf("stopped past %.2f s: converted %.2f s\n", stopPast, converted);
        dlg.StopConversion();
      };
      WaitWhile(
          [&] {
            stopWhenPast();
            stopWhenWritten();
            shrinkWhenWritten();
            removeWhenWritten();
            return dlg.IsConverting();
          },
          static_cast<qint64>(timeout * 1000));
      uiCpu = ThreadCpuSeconds() - cpuAtStart;
      if (dlg.IsConverting()) {
        std::fprintf(stderr, "pellomar-e2e: timed out, stopping\n");
        dlg.StopConversion();
        WaitWhile([&] { return dlg.GetJobStatus(0) == kJobRunning; }, 60 * 1000);
      }
      log = dlg.GetRunLog();
      std::string line;
      dlg.GetDlgItemText(IDC_PROGRESS_LINE, line);
      log += "progress line: " + line + "\n";
      status = dlg.GetJobStatus(0);
      for (int n = 0; n < dlg.GetJobCount() && !moreJobs.empty(); ++n) {
        log += "job " + std::to_string(n + 1) + ": " + (dlg.GetJobStatus(n) == kJobDone ? "done" : "failed") +
               ", target " + dlg.GetJobTargetText(n) + "\n";
        if (dlg.GetJobStatus(n) != kJobDone) status = dlg.GetJobStatus(n);
      }
      dlg.DestroyWindow();
    } else {
      log = "The main window could not be made.\n";
    }
  }
  UiPumpMessages();
  app.ExitInstance();
  std::printf("%s", log.c_str());
  const bool done = status == kJobDone;
  std::printf("ui thread cpu: %.3f s\n", uiCpu);
  std::printf("job result: %s\n", done ? "done" : "failed");
  return done ? 0 : 1;
}
