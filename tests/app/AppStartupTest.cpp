// Start-up and shutdown of the application object: the resource module
// found next to the program (or missing), the Windows Media runtime and its
// profiles, quartz.dll's error texts, and the notices' show-once flags read
// from the machine's key or, for a user who may not write it, the user's.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "app/TambrelApp.h"
#include "app/TambrelDlg.h"
#include "conversion/GraphConverter.h"
#include "platform/dshow/Errors.h"
#include "platform/ui/Afx.h"
#include "platform/ui/Resource.h"
#include "platform/win32/CodePage.h"
#include "platform/win32/Module.h"
#include "platform/win32/Registry.h"
#include "platform/wmf/WmfInterfaces.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kAppKey = "SOFTWARE\\Quorvel Software\\Pellomar";
constexpr const char* kValueNames[] = {"ShowOnce", "PSP ShowOnce", "3GP ShowOnce", "IPod ShowOnce"};

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "app-startup-tests";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override {
    UiPumpMessages();
    app_.reset();
  }

 private:
  std::unique_ptr<QApplication> app_;
};

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

fs::path ExecutableDir() { return fs::read_symlink("/proc/self/exe").parent_path(); }

fs::path RegistryFile(const char* root) {
  const char* dir = std::getenv("PELLOMAR_REGISTRY_DIR");
  return fs::path(dir ? dir : "") / (std::string(root) + ".reg");
}

void SetStoreWritable(const char* root, bool writable) {
  const fs::path file = RegistryFile(root);
  if (!fs::exists(file)) return;
  ::chmod(file.c_str(), writable ? 0644 : 0444);
}

// Writes the four values under one root, or leaves out those given as -1.
void WriteFlags(HKEY root, const long (&values)[4]) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(root, kAppKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
  for (int i = 0; i < 4; ++i) {
    if (values[i] < 0) continue;
    const DWORD v = static_cast<DWORD>(values[i]);
    ASSERT_EQ(RegSetValueExA(key, kValueNames[i], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v),
              ERROR_SUCCESS);
  }
  RegCloseKey(key);
}

void DeleteAppKey(HKEY root) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, kAppKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    for (const char* name : kValueNames) RegDeleteValueA(key, name);
    RegCloseKey(key);
  }
  RegDeleteKeyA(root, kAppKey);
}

bool KeyExists(HKEY root) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, kAppKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void SetFlags(DWORD value) {
  g_dwShowOnce = g_dwPspShowOnce = g_dw3gpShowOnce = g_dwIPodShowOnce = value;
}

class AppStartup : public ::testing::Test {
 protected:
  void SetUp() override {
    SetStoreWritable("HKEY_LOCAL_MACHINE", true);
    DeleteAppKey(HKEY_LOCAL_MACHINE);
    DeleteAppKey(HKEY_CURRENT_USER);
    ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE));
    ASSERT_FALSE(KeyExists(HKEY_CURRENT_USER));
    SetFlags(0);
    InstallModule(true);
  }
  void TearDown() override {
    SetStoreWritable("HKEY_LOCAL_MACHINE", true);
    InstallModule(true);
  }

  // The program looks for its resource module in its own folder; this test
  // program has a folder of its own for it.
  static void InstallModule(bool present) {
    const fs::path target = ExecutableDir() / "pmrhelper.so";
    std::error_code ec;
    if (present)
      fs::copy_file(PMRHELPER_MODULE, target, fs::copy_options::overwrite_existing, ec);
    else
      fs::remove(target, ec);
    ASSERT_FALSE(ec) << ec.message();
    ASSERT_EQ(fs::exists(target), present);
  }
};

TEST_F(AppStartup, ResourceModuleNextToTheProgramBecomesTheResourceHandle) {
  CTambrelApp app;
  app.StartUp();
  ASSERT_NE(app.ResourceModule(), nullptr);
  EXPECT_NE(AfxGetResourceHandle(), nullptr);
  // Strings and templates now come from the module.
  EXPECT_FALSE(UiLoadString(128).empty());
  CMenu menu;
  EXPECT_TRUE(menu.LoadMenu(238));
  app.ExitInstance();
  EXPECT_EQ(app.ResourceModule(), nullptr);
  EXPECT_EQ(AfxGetResourceHandle(), nullptr);
  EXPECT_TRUE(UiLoadString(128).empty());
}

TEST_F(AppStartup, MissingResourceModuleFailsQuietly) {
  InstallModule(false);
  CTambrelApp app;
  int boxes = 0;
  UiSetMessageBoxHook([&](const std::string&, const std::string&, UINT) {
    ++boxes;
    return IDOK;
  });
  app.StartUp();
  EXPECT_EQ(app.ResourceModule(), nullptr);
  EXPECT_EQ(AfxGetResourceHandle(), nullptr);
  EXPECT_TRUE(UiLoadString(128).empty());
  CMenu menu;
  EXPECT_FALSE(menu.LoadMenu(238));
  // The rest of start-up still happens.
  EXPECT_NE(app.QuartzModule(), nullptr);
  EXPECT_EQ(g_bWMAvailable, 1);
  EXPECT_FALSE(g_WMProfiles.empty());
  app.ExitInstance();
  UiSetMessageBoxHook(nullptr);
  EXPECT_EQ(boxes, 0);
}

TEST_F(AppStartup, InitInstanceReturnsFalseWhenTheMainWindowCannotBeMade) {
  InstallModule(false);
  CTambrelApp app;
  EXPECT_FALSE(app.InitInstance());
  EXPECT_EQ(app.m_pMainWnd, nullptr);
  app.ExitInstance();
}

TEST_F(AppStartup, InitInstanceRunsTheMainWindowModallyAndReturnsFalse) {
  CTambrelApp app;
  bool sawMainWindow = false;
  std::string caption;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) return;
    if (auto* dlg = dynamic_cast<CTambrelDlg*>(AfxGetApp()->m_pMainWnd)) {
      sawMainWindow = true;
      dlg->GetWindowText(caption);
    }
    modal->close();
  });
  closer.start(20);
  EXPECT_FALSE(app.InitInstance());
  closer.stop();
  EXPECT_TRUE(sawMainWindow);
  EXPECT_EQ(caption.rfind("Pellomar ", 0), 0u) << caption;
  EXPECT_EQ(app.m_pMainWnd, nullptr);
  app.ExitInstance();
}

TEST_F(AppStartup, QuartzErrorTextsReachableThroughGetProcAddress) {
  CTambrelApp app;
  app.StartUp();
  ASSERT_NE(app.QuartzModule(), nullptr);
  using Fn = DWORD (*)(HRESULT, char*, DWORD);
  FARPROC proc = GetProcAddress(app.QuartzModule(), "AMGetErrorTextA");
  ASSERT_NE(proc, nullptr);
  auto fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
  char text[256] = {};
  const DWORD length = fn(VFW_E_NOT_CONNECTED, text, sizeof text);
  EXPECT_GT(length, 0u);
  EXPECT_EQ(length, std::strlen(text));
  char direct[256] = {};
  AMGetErrorTextA(VFW_E_NOT_CONNECTED, direct, sizeof direct);
  EXPECT_STREQ(text, direct);
  app.ExitInstance();
  EXPECT_EQ(app.QuartzModule(), nullptr);
}

std::string ProfileName(IWMProfile* profile) {
  DWORD length = 0;
  if (FAILED(profile->GetName(nullptr, &length)) || length == 0) return {};
  std::wstring wide(length, L'\0');
  if (FAILED(profile->GetName(wide.data(), &length))) return {};
  wide.resize(wcslen(wide.c_str()));
  const int size = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(size > 0 ? size : 1), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, text.data(), size, nullptr, nullptr);
  text.resize(std::strlen(text.c_str()));
  return text;
}

TEST_F(AppStartup, WindowsMediaProfilesListedInTheRuntimesOrder) {
  CTambrelApp app;
  app.StartUp();
  EXPECT_NE(g_hWMVCore, nullptr);
  ASSERT_NE(g_pfnWMCreateProfileManager, nullptr);
  EXPECT_EQ(g_bWMAvailable, 1);

  // The runtime's own numbering, asked independently.
  CComPtr<IWMProfileManager> manager;
  ASSERT_TRUE(SUCCEEDED(g_pfnWMCreateProfileManager(&manager)));
  {
    CComPtr<IWMProfileManager2> manager2;
    ASSERT_TRUE(SUCCEEDED(manager->QueryInterface(IID_PPV_ARGS(&manager2))));
    manager2->SetSystemProfileVersion(WMT_VER_8_0);
  }
  DWORD count = 0;
  ASSERT_TRUE(SUCCEEDED(manager->GetSystemProfileCount(&count)));
  ASSERT_GT(count, 0u);
  ASSERT_EQ(g_WMProfiles.size(), count);
  for (DWORD i = 0; i < count; ++i) {
    CComPtr<IWMProfile> profile;
    ASSERT_TRUE(SUCCEEDED(manager->LoadSystemProfile(i, &profile)));
    ASSERT_NE(g_WMProfiles[i].profile, nullptr) << i;
    EXPECT_FALSE(g_WMProfiles[i].name.empty()) << i;
    EXPECT_EQ(g_WMProfiles[i].name, ProfileName(profile)) << i;
    EXPECT_EQ(g_WMProfiles[i].name, ProfileName(g_WMProfiles[i].profile)) << i;
  }
  manager.Release();

  app.ExitInstance();
  EXPECT_TRUE(g_WMProfiles.empty());
  EXPECT_EQ(g_hWMVCore, nullptr);
  EXPECT_EQ(g_pfnWMCreateProfileManager, nullptr);
}

TEST_F(AppStartup, RestartListsTheProfilesOnce) {
  size_t first = 0;
  {
    CTambrelApp app;
    app.StartUp();
    first = g_WMProfiles.size();
    app.ExitInstance();
  }
  CTambrelApp app;
  app.StartUp();
  EXPECT_EQ(g_WMProfiles.size(), first);
  app.ExitInstance();
}

TEST_F(AppStartup, FlagsComeFromTheMachineKeyWhenItOpens) {
  WriteFlags(HKEY_LOCAL_MACHINE, {1, 2, 3, 4});
  WriteFlags(HKEY_CURRENT_USER, {10, 20, 30, 40});
  CTambrelApp app;
  app.StartUp();
  EXPECT_EQ(g_dwShowOnce, 1u);
  EXPECT_EQ(g_dwPspShowOnce, 2u);
  EXPECT_EQ(g_dw3gpShowOnce, 3u);
  EXPECT_EQ(g_dwIPodShowOnce, 4u);
  app.ExitInstance();
}

TEST_F(AppStartup, FlagsComeFromTheUserKeyWhenTheMachineStoreIsReadOnly) {
  WriteFlags(HKEY_LOCAL_MACHINE, {1, 2, 3, 4});
  WriteFlags(HKEY_CURRENT_USER, {10, 20, 30, 40});
  SetStoreWritable("HKEY_LOCAL_MACHINE", false);
  // The machine's key can still be read, just not opened for writing.
  ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE));
  CTambrelApp app;
  app.StartUp();
  EXPECT_EQ(g_dwShowOnce, 10u);
  EXPECT_EQ(g_dwPspShowOnce, 20u);
  EXPECT_EQ(g_dw3gpShowOnce, 30u);
  EXPECT_EQ(g_dwIPodShowOnce, 40u);
  app.ExitInstance();
}

TEST_F(AppStartup, FlagsComeFromTheUserKeyWhenTheMachineHasNone) {
  WriteFlags(HKEY_CURRENT_USER, {0, 1, 1, 0});
  SetFlags(7);
  CTambrelApp app;
  app.StartUp();
  EXPECT_EQ(g_dwShowOnce, 0u);
  EXPECT_EQ(g_dwPspShowOnce, 1u);
  EXPECT_EQ(g_dw3gpShowOnce, 1u);
  EXPECT_EQ(g_dwIPodShowOnce, 0u);
  app.ExitInstance();
}

TEST_F(AppStartup, MissingValuesOfAnOpenKeyReadZero) {
  // Only "3GP ShowOnce" is stored, and only under the machine's key: the
  // user's values are not consulted for the missing ones.
  WriteFlags(HKEY_LOCAL_MACHINE, {-1, -1, 1, -1});
  WriteFlags(HKEY_CURRENT_USER, {5, 5, 5, 5});
  SetFlags(9);
  CTambrelApp app;
  app.StartUp();
  EXPECT_EQ(g_dwShowOnce, 0u);
  EXPECT_EQ(g_dwPspShowOnce, 0u);
  EXPECT_EQ(g_dw3gpShowOnce, 1u);
  EXPECT_EQ(g_dwIPodShowOnce, 0u);
  app.ExitInstance();
}

TEST_F(AppStartup, NoKeyUnderEitherRootLeavesEveryFlagZero) {
  CTambrelApp app;
  app.StartUp();
  EXPECT_EQ(g_dwShowOnce, 0u);
  EXPECT_EQ(g_dwPspShowOnce, 0u);
  EXPECT_EQ(g_dw3gpShowOnce, 0u);
  EXPECT_EQ(g_dwIPodShowOnce, 0u);
  app.ExitInstance();
}

TEST_F(AppStartup, ValuesOfAnotherTypeOrSizeKeepWhatTheQueryGives) {
  WriteFlags(HKEY_LOCAL_MACHINE, {-1, -1, -1, -1});
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAppKey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  // Two bytes of binary data fit the flag and are taken as they are.
  const BYTE two[] = {0x05, 0x01};
  ASSERT_EQ(RegSetValueExA(key, "ShowOnce", 0, REG_BINARY, two, sizeof two), ERROR_SUCCESS);
  // A string fits too: its bytes with the terminator.
  ASSERT_EQ(RegSetValueExA(key, "PSP ShowOnce", 0, REG_SZ, reinterpret_cast<const BYTE*>("1"), 2), ERROR_SUCCESS);
  // Eight bytes do not fit: the query fails and the flag reads 0.
  const unsigned long long wide = 0x0000000100000001ull;
  ASSERT_EQ(RegSetValueExA(key, "3GP ShowOnce", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&wide), sizeof wide),
            ERROR_SUCCESS);
  const DWORD one = 1;
  ASSERT_EQ(RegSetValueExA(key, "IPod ShowOnce", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one),
            ERROR_SUCCESS);
  RegCloseKey(key);
  SetFlags(0xFFFFFFFFu);
  CTambrelApp app;
  app.StartUp();
  EXPECT_EQ(g_dwShowOnce, 0x0105u);
  EXPECT_EQ(g_dwPspShowOnce, static_cast<DWORD>('1'));
  EXPECT_EQ(g_dw3gpShowOnce, 0u);
  EXPECT_EQ(g_dwIPodShowOnce, 1u);
  app.ExitInstance();
}

}  // namespace
