// Reading speed of the disc readers: the whole byte stream of a DVD title
// set (by its IFO file), a CDXA file or a CD track ("X:\TrackNN.cda" with
// PELLOMAR_DRIVES naming the image) pulled through the reader's
// IAsyncReader in 64 KB reads, as a parser pulls it, against plain reads of
// the files that hold the same bytes, in the same run. For example:
//
//   ffmpeg -i long.mpg -c copy -f dvd /tmp/bench/t.vob
//   build/release/tests/sources/disc-tool titleset /tmp/bench/t.vob /tmp/bench/dvd
//   build/release/bench/discread_bench /tmp/bench/dvd/VIDEO_TS/VTS_01_0.IFO [runs]
//
// The reference reads the VOB files of the set (VTS_01_1.VOB on), the whole
// CDXA file, or the cue sheet's BINARY file.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "foundation/FilterHelpers.h"
#include "platform/com/Com.h"
#include "platform/dshow/DShowRegister.h"
#include "platform/win32/Drives.h"
#include "sources/cdda/CDDAReader.h"
#include "sources/cdxa/CDXAReader.h"
#include "sources/vts/VTSReader.h"

namespace {

using Clock = std::chrono::steady_clock;

bool EndsWith(std::string s, const char* tail) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string t(tail);
  return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

// Pulls the whole stream; the bytes read, or -1.
long long PullAll(IBaseFilter* filter, const std::string& name) {
  CComQIPtr<IFileSourceFilter> fs(filter);
  if (!fs || FAILED(fs->Load(Utf8ToWide(name).c_str(), nullptr))) return -1;
  CComPtr<IEnumPins> pins;
  CComPtr<IPin> pin;
  if (FAILED(filter->EnumPins(&pins)) || pins->Next(1, &pin, nullptr) != S_OK) return -1;
  CComQIPtr<IAsyncReader> reader(pin);
  LONGLONG total = 0, available = 0;
  if (!reader || FAILED(reader->Length(&total, &available))) return -1;
  std::vector<BYTE> buffer(65536);
  for (LONGLONG at = 0; at < total; at += 65536) {
    const LONG n = static_cast<LONG>(std::min<LONGLONG>(65536, total - at));
    if (FAILED(reader->SyncRead(at, n, buffer.data()))) return -1;
  }
  return total;
}

long long ReadFiles(const std::vector<std::string>& files) {
  std::vector<char> buffer(65536);
  long long total = 0;
  for (const std::string& f : files) {
    FILE* in = fopen(f.c_str(), "rb");
    if (!in) return -1;
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), in)) > 0) total += static_cast<long long>(n);
    fclose(in);
  }
  return total;
}

template <class Reader>
CComPtr<IBaseFilter> Make() {
  HRESULT hr = S_OK;
  auto* r = new Reader(nullptr, &hr);
  return CComPtr<IBaseFilter>(static_cast<IBaseFilter*>(r));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s IFO|CDXA|X:\\TrackNN.cda [runs]\n", argv[0]);
    return 2;
  }
  const std::string name = argv[1];
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (DShowRegisterPlatform() != S_OK) return 1;

  std::vector<std::string> reference;
  CComPtr<IBaseFilter> (*make)() = nullptr;
  if (EndsWith(name, ".ifo")) {
    make = &Make<CVTSReader>;
    const std::string base = name.substr(0, name.size() - 5);  // ".../VTS_01_"
    for (int n = 1; n < 100; ++n) {
      const std::string vob = base + std::to_string(n) + ".VOB";
      if (FILE* f = fopen(vob.c_str(), "rb")) {
        fclose(f);
        reference.push_back(vob);
      } else {
        break;
      }
    }
  } else if (EndsWith(name, ".cda")) {
    make = &Make<CCDDAReader>;
    std::string target;
    if (!GetDriveTarget(name[0], &target)) return 1;
    reference.push_back(target.substr(0, target.size() - 4) + ".bin");
  } else {
    make = &Make<CCDXAReader>;
    reference.push_back(name);
  }

  double ours = 1e30, plain = 1e30;
  long long bytes = 0, plainBytes = 0;
  for (int i = 0; i < runs; ++i) {
    auto t0 = Clock::now();
    CComPtr<IBaseFilter> filter = make();
    bytes = PullAll(filter, name);
    ours = std::min(ours, std::chrono::duration<double>(Clock::now() - t0).count());
    t0 = Clock::now();
    plainBytes = ReadFiles(reference);
    plain = std::min(plain, std::chrono::duration<double>(Clock::now() - t0).count());
    if (bytes < 0 || plainBytes < 0) {
      std::fprintf(stderr, "reading %s failed\n", name.c_str());
      return 1;
    }
  }
  std::printf("stream: %s, %lld bytes (the files: %lld bytes)\n", name.c_str(), bytes, plainBytes);
  std::printf("reader through IAsyncReader: %.3f s (best of %d), %.0f MB/s\n", ours, runs, bytes / ours / 1e6);
  std::printf("plain reads of the files: %.3f s (best of %d), %.0f MB/s\n", plain, runs, plainBytes / plain / 1e6);
  std::printf("ratio (ours / plain): %.2f\n", ours / plain);
  CoUninitialize();
  return 0;
}
