// Shared set-up of the graph converter tests: the platform's classes
// registered once per test program, sample paths and an output folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "conversion/GraphConverter.h"
#include "platform/codecs/CodecsRegister.h"
#include "platform/dshow/DShowRegister.h"
#include "platform/wmf/WmfRegister.h"
#include "tests/conversion/MuxGraph.h"
#include "tests/RealCodecKeys.h"

namespace convtest {

class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ASSERT_EQ(S_OK, DShowRegisterPlatform());
    ASSERT_EQ(S_OK, CodecsRegisterPlatform());
    ASSERT_EQ(S_OK, WmfRegisterPlatform());
#ifdef PELLOMAR_REAL_CODEC_DIR
    // The codec modules are built beside the program, not beside the tests.
    PointRealCodecKeys(PELLOMAR_REAL_CODEC_DIR);
#endif
  }
  void TearDown() override {
    g_WMProfiles.clear();
    CoUninitialize();
  }
};
inline ::testing::Environment* const env = ::testing::AddGlobalTestEnvironment(new Environment);

inline std::string DataFile(const char* name) {
  const char* dir = std::getenv("PELLOMAR_TEST_DATA");
  return std::string(dir ? dir : PELLOMAR_SOURCE_DIR "/tests/data") + "/" + name;
}

// A folder for outputs inside the test's own registry folder.
inline std::string OutDir(const char* fallback) {
  const char* dir = std::getenv("PELLOMAR_REGISTRY_DIR");
  std::string out = std::string(dir ? dir : fallback) + "/out";
  std::filesystem::create_directories(out);
  return out;
}

inline CComPtr<CGraphConverter> NewConverter() { return CComPtr<CGraphConverter>(new CGraphConverter); }

// Runs the job's graph to its end and, as the main window does, gives the
// job's files their targets' names when it completed (removes them when not).
inline GraphEvents PlayJob(CGraphConverter* conv) {
  GraphEvents ev = PlayToEnd(static_cast<IGraphBuilder2*>(conv));
  EXPECT_EQ("", conv->FinishFiles(ev.completes == 1 && ev.aborts == 0));
  return ev;
}

}  // namespace convtest
