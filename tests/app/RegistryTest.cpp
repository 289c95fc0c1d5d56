// The registry key wrapper over the file-backed registry: round trips,
// missing values, the 256-byte string limit and the HKEY_LOCAL_MACHINE to
// HKEY_CURRENT_USER fallback of the product settings.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/Registry.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kSettingsKey = "SOFTWARE\\Quorvel Software\\Pellomar";
constexpr const char* kShowOnceNames[] = {"ShowOnce", "PSP ShowOnce", "3GP ShowOnce",
                                          "IPod ShowOnce"};

class RegistryTest : public ::testing::Test {
protected:
  void SetUp() override {
    // The folder belongs to this test program alone; start every case
    // from empty stores.
    const char* dir = std::getenv("PELLOMAR_REGISTRY_DIR");
    if (!dir) {
      // Run by hand: one fixed folder, emptied on every case.
      const fs::path own = fs::temp_directory_path() / "pellomar-registry-wrapper-test";
      ::setenv("PELLOMAR_REGISTRY_DIR", own.c_str(), 1);
      dir = std::getenv("PELLOMAR_REGISTRY_DIR");
    }
    dir_ = dir;
    fs::create_directories(dir_);
    for (const auto& entry : fs::directory_iterator(dir_))
      fs::remove_all(entry.path());
    RegistryReloadForTest();
  }

  void TearDown() override {
    // Leave the folder removable and writable for the next run.
    std::error_code ec;
    fs::permissions(dir_ / "HKEY_LOCAL_MACHINE.reg", fs::perms::owner_write, fs::perm_options::add,
                    ec);
    RegistryReloadForTest();
  }

  // Raw write through the platform call, for values the wrapper cannot make.
  static void SetRaw(HKEY root, const char* key, const char* name, DWORD type,
                     const std::vector<BYTE>& data) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExA(root, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(k, name, 0, type, data.data(), static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    RegCloseKey(k);
  }

  fs::path dir_;
};

} // namespace

TEST_F(RegistryTest, DWordRoundTripSurvivesReopenAndReload) {
  {
    CRegistry reg;
    ASSERT_TRUE(reg.Create(HKEY_CURRENT_USER, "Software\\Test\\Numbers"));
    EXPECT_TRUE(reg.SetDWordValue("Zero", 0));
    EXPECT_TRUE(reg.SetDWordValue("Big", 0xFFFFFFFFu));
    EXPECT_TRUE(reg.SetDWordValue("Some", 0x12345678u));
    EXPECT_EQ(reg.Close(), ERROR_SUCCESS);
  }
  // What was flushed must come back from the file, not from a cache.
  RegistryReloadForTest();
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Numbers"));
  DWORD v = 99;
  EXPECT_TRUE(reg.QueryDWordValue("Zero", &v));
  EXPECT_EQ(v, 0u);
  EXPECT_TRUE(reg.QueryDWordValue("Big", &v));
  EXPECT_EQ(v, 0xFFFFFFFFu);
  EXPECT_TRUE(reg.QueryDWordValue("Some", &v));
  EXPECT_EQ(v, 0x12345678u);
  // Overwriting replaces.
  EXPECT_TRUE(reg.SetDWordValue("Some", 7));
  EXPECT_TRUE(reg.QueryDWordValue("Some", &v));
  EXPECT_EQ(v, 7u);
}

TEST_F(RegistryTest, StringRoundTripWritesPlainTextType) {
  {
    CRegistry reg;
    ASSERT_TRUE(reg.Create(HKEY_CURRENT_USER, "Software\\Test\\Texts"));
    EXPECT_TRUE(reg.SetStringValue("Batch Output", "/home/user/Videos/out"));
    EXPECT_TRUE(reg.SetStringValue("Short", "abc"));
    EXPECT_TRUE(reg.SetStringValue("Empty", ""));
  }
  RegistryReloadForTest();
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Texts"));
  std::string text = "old";
  EXPECT_TRUE(reg.QueryStringValue("Batch Output", text));
  EXPECT_EQ(text, "/home/user/Videos/out");
  EXPECT_TRUE(reg.QueryStringValue("Short", text));
  EXPECT_EQ(text, "abc");
  EXPECT_TRUE(reg.QueryStringValue("Empty", text));
  EXPECT_EQ(text, "");

  // Stored as REG_SZ, and its text (the query adds only a terminator).
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Test\\Texts", 0, KEY_READ, &k),
            ERROR_SUCCESS);
  DWORD type = REG_NONE;
  char data[16] = {};
  DWORD size = sizeof data;
  EXPECT_EQ(RegQueryValueExA(k, "Short", nullptr, &type, reinterpret_cast<BYTE*>(data), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_STREQ(data, "abc");
  EXPECT_LE(size, 4u);
  RegCloseKey(k);
}

TEST_F(RegistryTest, MissingValuesGiveFalseAndClearTheTarget) {
  CRegistry reg;
  ASSERT_TRUE(reg.Create(HKEY_CURRENT_USER, "Software\\Test\\Missing"));
  DWORD v = 1234;
  EXPECT_FALSE(reg.QueryDWordValue("Nothing", &v));
  EXPECT_EQ(v, 0u);
  std::string text = "previous";
  EXPECT_FALSE(reg.QueryStringValue("Nothing", text));
  EXPECT_TRUE(text.empty());
  EXPECT_FALSE(reg.QueryDWordValue("Nothing", nullptr));
}

TEST_F(RegistryTest, StringLimitIs255CharactersAndNothingReadsPastTheBuffer) {
  CRegistry reg;
  ASSERT_TRUE(reg.Create(HKEY_CURRENT_USER, "Software\\Test\\Long"));
  const std::string fits(255, 'a');
  const std::string too_long(256, 'b');
  EXPECT_TRUE(reg.SetStringValue("Fits", fits));
  EXPECT_TRUE(reg.SetStringValue("TooLong", too_long));
  std::string text;
  EXPECT_TRUE(reg.QueryStringValue("Fits", text));
  EXPECT_EQ(text, fits);
  text = "x";
  EXPECT_FALSE(reg.QueryStringValue("TooLong", text));
  EXPECT_TRUE(text.empty());

  // A value of another type fills the whole buffer without any zero byte.
  SetRaw(HKEY_CURRENT_USER, "Software\\Test\\Long", "Full", REG_BINARY,
         std::vector<BYTE>(256, 'c'));
  text = "x";
  EXPECT_FALSE(reg.QueryStringValue("Full", text));
  EXPECT_TRUE(text.empty());

  // The type is not checked: binary data reads up to its first zero byte.
  SetRaw(HKEY_CURRENT_USER, "Software\\Test\\Long", "Bytes", REG_BINARY,
         {'h', 'i', 0, 'x', 'y'});
  EXPECT_TRUE(reg.QueryStringValue("Bytes", text));
  EXPECT_EQ(text, "hi");
}

TEST_F(RegistryTest, DWordQueryTakesOtherTypesThatFit) {
  CRegistry reg;
  ASSERT_TRUE(reg.Create(HKEY_CURRENT_USER, "Software\\Test\\Types"));
  ASSERT_TRUE(reg.SetStringValue("Text", "ab"));
  DWORD v = 0;
  EXPECT_TRUE(reg.QueryDWordValue("Text", &v));
  EXPECT_EQ(v, static_cast<DWORD>('a') | static_cast<DWORD>('b') << 8);

  // Too large for four bytes: a failure, and the target holds 0.
  SetRaw(HKEY_CURRENT_USER, "Software\\Test\\Types", "Wide", REG_BINARY,
         {1, 2, 3, 4, 5, 6, 7, 8});
  v = 55;
  EXPECT_FALSE(reg.QueryDWordValue("Wide", &v));
  EXPECT_EQ(v, 0u);
}

TEST_F(RegistryTest, UnopenedWrapperRefusesEverythingAndClosesNothing) {
  CRegistry reg;
  EXPECT_FALSE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Nowhere"));
  EXPECT_FALSE(reg.SetDWordValue("A", 1));
  EXPECT_FALSE(reg.SetStringValue("B", "b"));
  DWORD v = 3;
  EXPECT_FALSE(reg.QueryDWordValue("A", &v));
  EXPECT_EQ(v, 0u);
  std::string text = "t";
  EXPECT_FALSE(reg.QueryStringValue("B", text));
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(reg.Close(), static_cast<LONG>(ERROR_INVALID_HANDLE));
  // The failed open created nothing.
  CRegistry check;
  EXPECT_FALSE(check.Open(HKEY_CURRENT_USER, "Software\\Test\\Nowhere"));
}

TEST_F(RegistryTest, OpenAfterOpenSwitchesKeysAndCloseEndsAccess) {
  CRegistry a;
  ASSERT_TRUE(a.Create(HKEY_CURRENT_USER, "Software\\Test\\One"));
  ASSERT_TRUE(a.SetDWordValue("Id", 1));
  ASSERT_TRUE(a.Create(HKEY_CURRENT_USER, "Software\\Test\\Two"));
  ASSERT_TRUE(a.SetDWordValue("Id", 2));
  ASSERT_TRUE(a.Open(HKEY_CURRENT_USER, "Software\\Test\\One"));
  DWORD v = 0;
  EXPECT_TRUE(a.QueryDWordValue("Id", &v));
  EXPECT_EQ(v, 1u);
  EXPECT_EQ(a.Close(), ERROR_SUCCESS);
  EXPECT_FALSE(a.QueryDWordValue("Id", &v));
  EXPECT_EQ(a.Close(), static_cast<LONG>(ERROR_INVALID_HANDLE));
}

// The product settings are read from HKEY_LOCAL_MACHINE when that key opens
// with full access, else from HKEY_CURRENT_USER.
TEST_F(RegistryTest, SettingsFallBackToCurrentUserWhenMachineStoreIsReadOnly) {
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    CRegistry reg;
    ASSERT_TRUE(reg.Create(root, kSettingsKey));
    DWORD base = root == HKEY_LOCAL_MACHINE ? 10 : 20;
    for (const char* name : kShowOnceNames)
      ASSERT_TRUE(reg.SetDWordValue(name, base++));
  }

  auto read_settings = [](std::vector<DWORD>* values) {
    CRegistry reg;
    if (!reg.Open(HKEY_LOCAL_MACHINE, kSettingsKey) && !reg.Open(HKEY_CURRENT_USER, kSettingsKey))
      return false;
    for (const char* name : kShowOnceNames) {
      DWORD v = 0;
      reg.QueryDWordValue(name, &v);
      values->push_back(v);
    }
    return true;
  };

  std::vector<DWORD> values;
  ASSERT_TRUE(read_settings(&values));
  EXPECT_EQ(values, (std::vector<DWORD>{10, 11, 12, 13}));

  // A limited user: the machine store can be read but not written.
  const fs::path machine = dir_ / "HKEY_LOCAL_MACHINE.reg";
  ASSERT_TRUE(fs::exists(machine));
  fs::permissions(machine, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  RegistryReloadForTest();

  CRegistry machine_key;
  EXPECT_FALSE(machine_key.Open(HKEY_LOCAL_MACHINE, kSettingsKey));
  EXPECT_FALSE(machine_key.Create(HKEY_LOCAL_MACHINE, kSettingsKey));
  values.clear();
  ASSERT_TRUE(read_settings(&values));
  EXPECT_EQ(values, (std::vector<DWORD>{20, 21, 22, 23}));

  // Missing under both roots: nothing opens and nothing is read.
  CRegistry none;
  EXPECT_FALSE(none.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nobody"));
  EXPECT_FALSE(none.Open(HKEY_CURRENT_USER, "SOFTWARE\\Nobody"));
}
