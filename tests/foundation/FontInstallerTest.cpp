#include <gtest/gtest.h>

#include <fontconfig/fontconfig.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/FontInstaller.h"

namespace fs = std::filesystem;

namespace {

// fontconfig keeps what it read of the system's configuration until it is
// finished; the program does that when the tests are over.
class FontconfigEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { FcFini(); }
};
const auto* const g_fontconfigEnvironment = ::testing::AddGlobalTestEnvironment(new FontconfigEnvironment);

// What the fake entry points saw.
struct Calls {
  int fileAdds = 0, fileRemoves = 0, memAdds = 0, memRemoves = 0, moves = 0;
  int fontsPerFile = 1;
  DWORD fontsInMemory = 1;
  bool blockDeletion = false;
  std::vector<std::string> files;
  std::vector<std::string> moved;
  std::vector<HANDLE> removedHandles;
};
Calls* g_calls = nullptr;

int FakeAddFile(LPCSTR name, DWORD flags, PVOID) {
  ++g_calls->fileAdds;
  g_calls->files.emplace_back(name);
  EXPECT_EQ(flags, FR_PRIVATE);
  EXPECT_TRUE(fs::exists(name));
  return g_calls->fontsPerFile;
}
BOOL FakeRemoveFile(LPCSTR name, DWORD, PVOID) {
  ++g_calls->fileRemoves;
  if (g_calls->blockDeletion) {
    // A non-empty folder in the file's place cannot be deleted, as a font
    // file still in use could not be.
    fs::remove(name);
    fs::create_directories(fs::path(name) / "busy");
  }
  return TRUE;
}
HANDLE FakeAddMem(PVOID, DWORD, PVOID, DWORD* fonts) {
  ++g_calls->memAdds;
  *fonts = g_calls->fontsInMemory;
  return g_calls->fontsInMemory ? reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x100 + g_calls->memAdds)) : nullptr;
}
BOOL FakeRemoveMem(HANDLE h) {
  ++g_calls->memRemoves;
  g_calls->removedHandles.push_back(h);
  return TRUE;
}
BOOL FakeMove(LPCSTR from, LPCSTR to, DWORD flags) {
  ++g_calls->moves;
  EXPECT_EQ(to, nullptr);
  EXPECT_EQ(flags, 4u);
  g_calls->moved.emplace_back(from);
  return TRUE;
}

class FontInstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls = &calls;
    // A folder of our own for the temporary files, to see what is left.
    tmp = fs::path(testing::TempDir()) / ("fonts_" + std::to_string(getpid()));
    fs::remove_all(tmp);
    fs::create_directories(tmp);
    const char* old = std::getenv("TMPDIR");
    oldTmp = old ? old : "";
    hadTmp = old != nullptr;
    setenv("TMPDIR", tmp.c_str(), 1);
  }
  void TearDown() override {
    if (hadTmp)
      setenv("TMPDIR", oldTmp.c_str(), 1);
    else
      unsetenv("TMPDIR");
    fs::remove_all(tmp);
    g_calls = nullptr;
  }
  size_t FilesLeft() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(tmp), fs::directory_iterator()));
  }
  CFontInstaller::EntryPoints All() const {
    CFontInstaller::EntryPoints e;
    e.addFontResourceExA = &FakeAddFile;
    e.removeFontResourceExA = &FakeRemoveFile;
    e.addFontMemResourceEx = &FakeAddMem;
    e.removeFontMemResourceEx = &FakeRemoveMem;
    e.moveFileExA = &FakeMove;
    return e;
  }

  Calls calls;
  fs::path tmp;
  std::string oldTmp;
  bool hadTmp = false;
  const std::vector<BYTE> font = std::vector<BYTE>(300, 0x5A);
};

TEST_F(FontInstallerTest, FileInstallFirstAndTheMemoryWayNotTried) {
  CFontInstaller installer(All());
  EXPECT_TRUE(installer.Install(font));
  EXPECT_EQ(calls.fileAdds, 1);
  EXPECT_EQ(calls.memAdds, 0);
  ASSERT_EQ(calls.files.size(), 1u);
  EXPECT_EQ(fs::file_size(calls.files[0]), 300u);
  EXPECT_EQ(fs::path(calls.files[0]).parent_path(), tmp);
  EXPECT_EQ(fs::path(calls.files[0]).filename().string().rfind("g_f", 0), 0u);

  installer.Uninstall();
  EXPECT_EQ(calls.fileRemoves, 1);
  EXPECT_FALSE(fs::exists(calls.files[0]));
  installer.Uninstall();  // nothing more to do
  EXPECT_EQ(calls.fileRemoves, 1);
  EXPECT_EQ(calls.memRemoves, 0);
  EXPECT_EQ(calls.moves, 0);
}

TEST_F(FontInstallerTest, AFailedFileInstallLeavesNoFileAndFallsBackToMemory) {
  calls.fontsPerFile = 0;
  {
    CFontInstaller installer(All());
    EXPECT_TRUE(installer.Install(font.data(), font.size()));
    EXPECT_EQ(calls.fileAdds, 1);
    EXPECT_EQ(calls.memAdds, 1);
    EXPECT_EQ(FilesLeft(), 0u);
  }  // the destructor uninstalls
  EXPECT_EQ(calls.memRemoves, 1);
  ASSERT_EQ(calls.removedHandles.size(), 1u);
  EXPECT_EQ(calls.removedHandles[0], reinterpret_cast<HANDLE>(0x101));

  calls.fontsInMemory = 0;
  CFontInstaller failing(All());
  EXPECT_FALSE(failing.Install(font));
  EXPECT_EQ(FilesLeft(), 0u);
}

TEST_F(FontInstallerTest, NothingToInstallWithOrWithoutEntryPoints) {
  CFontInstaller none{CFontInstaller::EntryPoints{}};
  EXPECT_FALSE(none.Install(font));
  none.Uninstall();
  CFontInstaller installer(All());
  EXPECT_FALSE(installer.Install(nullptr, 10));
  EXPECT_FALSE(installer.Install(std::vector<BYTE>()));
  EXPECT_EQ(calls.fileAdds + calls.memAdds, 0);
  EXPECT_EQ(FilesLeft(), 0u);
}

TEST_F(FontInstallerTest, AFileStillInUseIsLeftForTheNextRestart) {
  calls.blockDeletion = true;
  CFontInstaller installer(All());
  ASSERT_TRUE(installer.Install(font));
  installer.Uninstall();
  ASSERT_EQ(calls.moves, 1);
  EXPECT_EQ(calls.moved[0], calls.files[0]);
  installer.Uninstall();
  EXPECT_EQ(calls.moves, 1);
}

TEST_F(FontInstallerTest, FontconfigApplicationFontsOnThisSystem) {
  const char* path = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
  std::ifstream in(path, std::ios::binary);
  if (!in) GTEST_SKIP() << "no DejaVu Sans here";
  const std::vector<BYTE> real((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  auto appFonts = [] {
    FcFontSet* set = FcConfigGetFonts(FcConfigGetCurrent(), FcSetApplication);
    return set ? set->nfont : 0;
  };
  const int before = appFonts();
  {
    CFontInstaller a, b;
    EXPECT_TRUE(a.Install(real));
    EXPECT_TRUE(b.Install(real));
    EXPECT_EQ(appFonts(), before + 2);
    EXPECT_EQ(FilesLeft(), 2u);
    // Not a font: refused, and its temporary file is gone.
    EXPECT_FALSE(a.Install(font));
    EXPECT_EQ(FilesLeft(), 2u);

    // Removing one installer's font keeps the other's.
    a.Uninstall();
    EXPECT_EQ(appFonts(), before + 1);
    EXPECT_EQ(FilesLeft(), 1u);
  }
  EXPECT_EQ(appFonts(), before);
  EXPECT_EQ(FilesLeft(), 0u);
}

}  // namespace
