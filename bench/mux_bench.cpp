// Encodes 60 s of 720x576 frames (with a stereo tone) through the muxer
// filter in a filter graph, to MPEG-2 and to H.264 MP4, and the same kind of
// raw input with the ffmpeg command line using the same codec settings,
// single-threaded. Prints both times and their ratio: the muxer's own cost
// (queues, worker, copies) over the encoders'.
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "conversion/MpegMuxer.h"
#include "platform/com/ComBase.h"
#include "platform/dshow/DShowRegister.h"
#include "tests/conversion/PushSource.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWidth = 720, kHeight = 576, kRate = 25, kSeconds = 60;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

PushSourceConfig SourceConfig() {
  PushSourceConfig cfg;
  cfg.width = kWidth;
  cfg.height = kHeight;
  cfg.bottomUp = false;  // top-down: neither side has to flip
  cfg.rateNum = kRate;
  cfg.frames = kRate * kSeconds;
  cfg.sampleRate = 44100;
  return cfg;
}

// Our side: push source -> muxer in a graph, from Run to EC_COMPLETE.
double RunGraph(void (*configure)(CMpegMuxer*), const std::string& out) {
  CComPtr<IBaseFilter> muxer;
  if (FAILED(CMpegMuxer::CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&muxer)))) return -1;
  auto* m = static_cast<CMpegMuxer*>(muxer.p);
  configure(m);
  m->SetFileName(out);
  CComPtr<IBaseFilter> src = CPushSource::Create(SourceConfig());
  CComPtr<IGraphBuilder> graph;
  if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                              reinterpret_cast<void**>(&graph))))
    return -1;
  graph->AddFilter(src, L"Source");
  graph->AddFilter(muxer, L"Veyl Mpeg Muxer");
  for (const wchar_t* name : {L"Video", L"Audio"}) {
    IPin* out = nullptr;
    IPin* in = nullptr;
    src->FindPin(name, &out);
    muxer->FindPin(name, &in);
    HRESULT hr = out && in ? graph->ConnectDirect(out, in, nullptr) : E_FAIL;
    if (out) out->Release();
    if (in) in->Release();
    if (FAILED(hr)) return -1;
  }
  CComQIPtr<IMediaControl> control(graph);
  CComQIPtr<IMediaEventEx> events(graph);
  const auto t0 = Clock::now();
  if (FAILED(control->Run())) return -1;
  long code = 0;
  LONG_PTR p1 = 0, p2 = 0;
  while (events->GetEvent(&code, &p1, &p2, -1) == S_OK && code != EC_COMPLETE && code != EC_ERRORABORT) {
  }
  const auto t1 = Clock::now();
  control->Stop();
  if (code != EC_COMPLETE) {
    std::fprintf(stderr, "run failed: 0x%lx %s\n", static_cast<unsigned long>(p1), m->Engine().GetLastError().c_str());
    return -1;
  }
  return Seconds(t0, t1);
}

// The reference: the same frames piped to ffmpeg, a tone from its own
// generator, the same encoder settings, one thread.
double RunFfmpeg(const std::string& codecArgs, const std::string& out) {
  const std::string cmd = "ffmpeg -y -v error -threads 1 -f rawvideo -pix_fmt bgr24 -s " + std::to_string(kWidth) +
                          "x" + std::to_string(kHeight) + " -r " + std::to_string(kRate) +
                          " -i - -f lavfi -i sine=frequency=440:sample_rate=44100 -ac 2 -t " +
                          std::to_string(kSeconds) + " -threads 1 " + codecArgs + " '" + out + "'";
  // The same pictures the push source sends, made up front.
  PushSourceConfig cfg = SourceConfig();
  std::vector<std::vector<BYTE>> pictures;
  for (int n = 0; n < kRate; ++n) {
    std::vector<BYTE> f(static_cast<size_t>(cfg.FrameBytes()));
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) {
        BYTE* p = &f[static_cast<size_t>(y) * cfg.Stride() + x * 3];
        const bool bar = ((x + n * 4) % kWidth) < kWidth / 8;
        p[0] = bar ? 255 : static_cast<BYTE>(x * 255 / kWidth);
        p[1] = bar ? 255 : static_cast<BYTE>(y * 255 / kHeight);
        p[2] = bar ? 255 : 128;
      }
    pictures.push_back(std::move(f));
  }
  const auto t0 = Clock::now();
  FILE* pipe = popen(cmd.c_str(), "w");
  if (!pipe) return -1;
  for (int n = 0; n < cfg.frames; ++n) {
    const auto& pic = pictures[static_cast<size_t>(n) % pictures.size()];
    if (fwrite(pic.data(), 1, pic.size(), pipe) != pic.size()) break;
  }
  const int status = pclose(pipe);
  const auto t1 = Clock::now();
  return status == 0 ? Seconds(t0, t1) : -1;
}

void Mpeg2(CMpegMuxer* m) {
  m->SetFormatIndex(1);
  m->SetVideoSize(kWidth, kHeight);
  m->SetFrameRate(kRate, 1);
}

void H264(CMpegMuxer* m) {
  m->SetProfile(4);
  m->SetVideoSize(kWidth, kHeight);
  m->SetFrameRate(kRate, 1);
  m->SetVideoCodec("h264", 2000);
  m->SetAudioCodec("aac", 64, 44100, 2);
}

}  // namespace

int main() {
  const fs::path dir = fs::temp_directory_path() / "pellomar-mux-bench";
  fs::create_directories(dir);
  if (!std::getenv("PELLOMAR_REGISTRY_DIR")) setenv("PELLOMAR_REGISTRY_DIR", (dir / "registry").c_str(), 1);
  if (FAILED(DShowRegisterPlatform())) {
    std::fprintf(stderr, "platform registration failed\n");
    return 1;
  }
  struct Case {
    const char* label;
    void (*configure)(CMpegMuxer*);
    const char* ext;
    std::string ffmpegArgs;
  };
  const Case cases[] = {
      {"MPEG-2 (vob)", Mpeg2, "mpg",
       "-c:v mpeg2video -b:v 4200k -maxrate 6000k -minrate 2500k -bufsize 1835008 -g 12 -flags +bitexact "
       "-c:a mp2 -b:a 224k -ar 44100 -f vob"},
      {"H.264 MP4", H264, "mp4", "-c:v libx264 -b:v 2000k -g 12 -flags +bitexact -c:a aac -b:a 64k -ar 44100 -f mp4"},
  };
  std::printf("%d s of %dx%d at %d fps with stereo audio\n", kSeconds, kWidth, kHeight, kRate);
  for (const Case& c : cases) {
    const double ours = RunGraph(c.configure, (dir / (std::string("muxer.") + c.ext)).string());
    const double ref = RunFfmpeg(c.ffmpegArgs, (dir / (std::string("ffmpeg.") + c.ext)).string());
    if (ours < 0 || ref < 0) {
      std::printf("%-14s failed (muxer %.2f s, ffmpeg %.2f s)\n", c.label, ours, ref);
      continue;
    }
    std::printf("%-14s muxer graph %7.2f s   ffmpeg -threads 1 %7.2f s   ratio %.3f\n", c.label, ours, ref,
                ours / ref);
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
