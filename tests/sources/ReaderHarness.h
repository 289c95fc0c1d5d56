// A disc reader filter loaded with a name, and its output pin's byte
// stream read through IAsyncReader as a downstream parser reads it.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "foundation/FilterHelpers.h"
#include "platform/dshow/DShowRegister.h"
#include "tests/foundation/ToyFilters.h"
#include "tests/sources/DiscImages.h"

namespace disctest {

// A path in a temporary folder of this test process alone, removed when
// the process ends.
inline std::string Tmp(const std::string& name) {
  static const struct Folder {
    std::string path = testing::TempDir() + "disc-" + std::to_string(getpid());
    Folder() { mkdir(path.c_str(), 0755); }
    ~Folder() { std::system(("rm -rf '" + path + "'").c_str()); }
  } folder;
  return folder.path + "/" + name;
}

inline std::string DataFile(const std::string& name) {
  const char* dir = std::getenv("PELLOMAR_TEST_DATA");
  return std::string(dir ? dir : PELLOMAR_SOURCE_DIR "/tests/data") + "/" + name;
}

// Runs a shell command; true when it succeeds.
inline bool Sh(const std::string& command) { return std::system(command.c_str()) == 0; }

template <class Reader>
struct LoadedReader {
  Reader* reader = nullptr;
  CComPtr<IBaseFilter> hold;
  CComPtr<IAsyncReader> async;
  HRESULT loaded = E_FAIL;

  explicit LoadedReader(const std::string& name) {
    EXPECT_EQ(DShowRegisterPlatform(), S_OK);
    HRESULT hr = S_OK;
    reader = new Reader(nullptr, &hr);
    hold = toy::Hold(reader);
    EXPECT_EQ(hr, S_OK);
    CComQIPtr<IFileSourceFilter> fs(hold);
    EXPECT_TRUE(fs);
    loaded = fs->Load(Utf8ToWide(name).c_str(), nullptr);
    if (SUCCEEDED(loaded) && reader->GetPinCount() == 1)
      reader->GetPin(0)->QueryInterface(IID_IAsyncReader, reinterpret_cast<void**>(&async));
  }

  LONGLONG Length() {
    LONGLONG total = -1, available = -1;
    EXPECT_EQ(async->Length(&total, &available), S_OK);
    return total;
  }
  GUID Subtype() { return reader->GetPinCount() ? reader->LoadType()->subtype : GUID_NULL; }
  // The whole stream in reads of an odd size, so that reads end inside
  // sectors.
  Bytes ReadStream() {
    const LONGLONG total = Length();
    Bytes out(static_cast<size_t>(total));
    for (LONGLONG at = 0; at < total; at += 7001) {
      const LONG n = static_cast<LONG>(std::min<LONGLONG>(7001, total - at));
      EXPECT_EQ(async->SyncRead(at, n, out.data() + at), S_OK) << "at " << at;
    }
    return out;
  }
};

}  // namespace disctest
