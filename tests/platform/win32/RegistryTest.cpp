#include "platform/win32/Registry.h"

#include <dirent.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// The bytes of a literal that may hold zero bytes, without the literal's own
// terminator.
template <size_t N>
std::string_view Literal(const char (&text)[N]) {
  return std::string_view(text, N - 1);
}

namespace fs = std::filesystem;

namespace {

constexpr const char* kTestKey = "Software\\Pellomar Test";

// A child process of this test binary: when PELLOMAR_REGISTRY_CHILD is set
// it runs one registry job before main and exits with its result, so the
// parent can watch what another process's changes look like.
int RunChildJob(const std::string& job) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return 10;
  int rc = 0;
  if (job == "write") {
    const char text[] = "hello from the child";
    const DWORD number = 4242;
    if (RegSetValueExA(key, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text) != ERROR_SUCCESS ||
        RegSetValueExA(key, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4) != ERROR_SUCCESS)
      rc = 11;
  } else if (job == "churn") {
    // Alternating long and short values, so a torn file would be visible.
    for (int i = 0; i < 150 && rc == 0; ++i) {
      const std::string text = std::string(i % 2 ? 20000 : 10, static_cast<char>('a' + i % 26));
      if (RegSetValueExA(key, "Churn", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>(text.size() + 1)) != ERROR_SUCCESS)
        rc = 12;
    }
  } else {
    rc = 13;
  }
  RegCloseKey(key);
  return rc;
}

const bool g_childJobRan = [] {
  if (const char* job = std::getenv("PELLOMAR_REGISTRY_CHILD")) _exit(RunChildJob(job));
  return false;
}();

pid_t StartChild(const std::string& job) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.push_back("PELLOMAR_REGISTRY_CHILD=" + job);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char exe[] = "/proc/self/exe";
  char* argv[] = {exe, nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, exe, nullptr, nullptr, argv, envp.data()) != 0) return -1;
  return pid;
}

int WaitChild(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class RegistryTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("PELLOMAR_REGISTRY_DIR");
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::path(base && *base ? base : fs::temp_directory_path().string() + "/pellomar-registry-test") /
           (std::string(info->name()) + "-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    ASSERT_EQ(setenv("PELLOMAR_REGISTRY_DIR", dir_.c_str(), 1), 0);
    saved_ = base ? base : "";
    RegistryReloadForTest();
  }
  void TearDown() override {
    chmod(dir_.c_str(), 0755);
    fs::remove_all(dir_);
    if (!saved_.empty()) setenv("PELLOMAR_REGISTRY_DIR", saved_.c_str(), 1);
    RegistryReloadForTest();
  }

  fs::path Store(const char* root) const { return dir_ / (std::string(root) + ".reg"); }

  std::vector<std::string> FolderEntries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    return names;
  }

  HKEY Create(HKEY root, const char* path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
  }

  static LONG SetString(HKEY key, const char* name, const std::string& text, bool terminator = true) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + (terminator ? 1 : 0)));
  }
  static LONG SetDword(HKEY key, const char* name, DWORD v) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
  }
  static std::string GetString(HKEY key, const char* name) {
    std::vector<char> buf(32768);
    DWORD size = static_cast<DWORD>(buf.size());
    if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf.data()), &size) != ERROR_SUCCESS)
      return "<missing>";
    return std::string(buf.data());
  }

  fs::path dir_;
  std::string saved_;
};

// ---------------------------------------------------------------------------
// Between processes

TEST_F(RegistryTest, ChildProcessWritesPersistAndAreSeenThroughAnOpenHandle) {
  HKEY key = Create(HKEY_CURRENT_USER, kTestKey);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(GetString(key, "Text"), "<missing>");

  const pid_t child = StartChild("write");
  ASSERT_GT(child, 0);
  ASSERT_EQ(WaitChild(child), 0);

  // The handle opened before the change sees it on its next call.
  EXPECT_EQ(GetString(key, "Text"), "hello from the child");
  DWORD number = 0, size = 4, type = 0;
  ASSERT_EQ(RegQueryValueExA(key, "Number", nullptr, &type, reinterpret_cast<BYTE*>(&number), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(number, 4242u);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  // And it is in the file: a fresh read of the store has it.
  RegistryReloadForTest();
  HKEY again = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kTestKey, 0, KEY_READ, &again), ERROR_SUCCESS);
  EXPECT_EQ(GetString(again, "Text"), "hello from the child");
  RegCloseKey(again);
}

TEST_F(RegistryTest, ReadersNeverSeeAPartialStoreWhileAnotherProcessWrites) {
  HKEY key = Create(HKEY_CURRENT_USER, kTestKey);
  ASSERT_EQ(SetString(key, "Churn", "start"), ERROR_SUCCESS);
  const std::string header = "; Pellomar registry 1\n";

  const pid_t child = StartChild("churn");
  ASSERT_GT(child, 0);
  int status = 0;
  int rounds = 0;
  bool allWhole = true;
  do {
    const std::string text = ReadFile(Store("HKEY_CURRENT_USER"));
    if (text.compare(0, header.size(), header) != 0 || text.back() != '\n') allWhole = false;
    const std::string value = GetString(key, "Churn");
    const bool known = value == "start" || ((value.size() == 10 || value.size() == 20000) &&
                                            value.find_first_not_of(value[0]) == std::string::npos);
    if (!known) allWhole = false;
    ++rounds;
  } while (waitpid(child, &status, WNOHANG) == 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(allWhole);
  EXPECT_GT(rounds, 0);

  // The last write won, and nothing but the store and its lock is left.
  EXPECT_EQ(GetString(key, "Churn").size(), 20000u);
  for (const auto& name : FolderEntries()) {
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
    EXPECT_EQ(name.find(".damaged"), std::string::npos) << name;
  }
  RegCloseKey(key);
}

// ---------------------------------------------------------------------------
// Read-only stores

TEST_F(RegistryTest, ReadOnlyMachineStoreRefusesWriteAccessButReads) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvel Software\\Pellomar");
  ASSERT_EQ(SetDword(key, "ShowOnce", 1), ERROR_SUCCESS);
  RegCloseKey(key);
  const fs::path store = Store("HKEY_LOCAL_MACHINE");
  ASSERT_EQ(chmod(store.c_str(), 0444), 0);
  const std::string before = ReadFile(store);

  HKEY denied = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvel Software\\Pellomar", 0, KEY_ALL_ACCESS, &denied),
            static_cast<LONG>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(denied, nullptr);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvel Software\\Pellomar", 0, KEY_SET_VALUE, &denied),
            static_cast<LONG>(ERROR_ACCESS_DENIED));
  HKEY created = nullptr;
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\New", 0, nullptr, 0, KEY_READ, nullptr, &created, nullptr),
            static_cast<LONG>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "Direct", 1), static_cast<LONG>(ERROR_ACCESS_DENIED));

  HKEY reader = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvel Software\\Pellomar", 0, KEY_READ, &reader),
            ERROR_SUCCESS);
  DWORD v = 0, size = 4;
  EXPECT_EQ(RegQueryValueExA(reader, "ShowOnce", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(v, 1u);
  EXPECT_EQ(SetDword(reader, "ShowOnce", 0), static_cast<LONG>(ERROR_ACCESS_DENIED));
  RegCloseKey(reader);

  // The plain open asks for what the store allows: reading.
  HKEY plain = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvel Software\\Pellomar", &plain), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(plain, "ShowOnce", 0), static_cast<LONG>(ERROR_ACCESS_DENIED));
  RegCloseKey(plain);

  EXPECT_EQ(ReadFile(store), before);
  // The user's own store is not affected.
  HKEY user = Create(HKEY_CURRENT_USER, "SOFTWARE\\Quorvel Software\\Pellomar");
  EXPECT_EQ(SetDword(user, "ShowOnce", 1), ERROR_SUCCESS);
  RegCloseKey(user);
}

TEST_F(RegistryTest, MissingStoreInReadOnlyFolderRefusesWrites) {
  fs::create_directories(dir_);
  ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_ALL_ACCESS, &key), static_cast<LONG>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(fs::exists(Store("HKEY_LOCAL_MACHINE")));
}

// ---------------------------------------------------------------------------
// Damaged stores

TEST_F(RegistryTest, DamagedStoreIsSetAsideReportedOnceAndStartsEmpty) {
  fs::create_directories(dir_);
  const std::string garbage = "this is not a registry\n[unterminated\n";
  { std::ofstream(Store("HKEY_CURRENT_USER"), std::ios::binary) << garbage; }

  testing::internal::CaptureStderr();
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("damaged"), std::string::npos);
  EXPECT_EQ(err.find("damaged"), err.rfind("damaged (")) << err;

  std::vector<std::string> aside;
  for (const auto& name : FolderEntries())
    if (name.rfind("HKEY_CURRENT_USER.reg.damaged-", 0) == 0) aside.push_back(name);
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(ReadFile(dir_ / aside[0]), garbage);
  EXPECT_FALSE(fs::exists(Store("HKEY_CURRENT_USER")));

  // The fresh root works and persists.
  HKEY made = Create(HKEY_CURRENT_USER, "Software\\After");
  EXPECT_EQ(SetString(made, "Ok", "yes"), ERROR_SUCCESS);
  RegCloseKey(made);
  RegistryReloadForTest();
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\After", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(GetString(key, "Ok"), "yes");
  RegCloseKey(key);
}

TEST_F(RegistryTest, TruncatedOrMalformedLinesCountAsDamage) {
  const char* bad[] = {
      "; Pellomar registry 1\n\"v\"=dword:1\n",                        // value before any key
      "; Pellomar registry 1\n[K]\n\"v\"=dword:12\n",                   // short dword
      "; Pellomar registry 1\n[K]\n\"v\"=sz:\"open\n",                  // cut-off string
      "; Pellomar registry 1\n[K]\n\"v\"=hex(3):01,0\n",                // cut-off byte
      "; Pellomar registry 1\n[K]\n\"v\"=hex(99999999999):01\n",        // type out of range
      "; Pellomar registry 1\n[K\\\\L]\n",                              // empty key part
      "; Pellomar registry 1\n[K%zz]\n",                                // bad escape
  };
  fs::create_directories(dir_);
  for (const char* text : bad) {
    RegistryReloadForTest();
    for (const auto& e : fs::directory_iterator(dir_)) fs::remove(e.path());
    { std::ofstream(Store("HKEY_CLASSES_ROOT"), std::ios::binary) << text; }
    testing::internal::CaptureStderr();
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "K", 0, KEY_READ, &key), static_cast<LONG>(ERROR_FILE_NOT_FOUND))
        << text;
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(fs::exists(Store("HKEY_CLASSES_ROOT"))) << text;
  }
}

TEST_F(RegistryTest, HandEditedStoreWithCommentsAndCrLfReads) {
  fs::create_directories(dir_);
  {
    std::ofstream(Store("HKEY_CLASSES_ROOT"), std::ios::binary)
        << "; Pellomar registry 1\r\n; a note\r\n\r\n[Software\\RealNetworks\\Preferences\\DT_Codecs]\r\n"
           "@=sz:\"/opt/real/codecs\"\r\n";
  }
  char buf[261] = {};
  LONG size = sizeof buf;
  ASSERT_EQ(RegQueryValueA(HKEY_CLASSES_ROOT, "software\\realnetworks\\preferences\\dt_codecs", buf, &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(buf, "/opt/real/codecs");
  EXPECT_EQ(size, 17);
}

// ---------------------------------------------------------------------------
// Values, sizes and enumeration

TEST_F(RegistryTest, EveryValueRoundTripsThroughTheStore) {
  struct Case {
    std::string name;
    DWORD type;
    std::vector<BYTE> data;
  };
  auto bytes = [](std::string_view s) { return std::vector<BYTE>(s.begin(), s.end()); };
  const std::vector<Case> cases = {
      {"", REG_SZ, bytes(Literal("default\0"))},
      {"Quote \"and\" back\\slash", REG_SZ, bytes(Literal("line\nbreak\t\"q\"\\ \x7f \xd0\x96\0"))},
      {"@", REG_EXPAND_SZ, bytes(Literal("%HOME%\\x\0"))},
      {"NoTerminator", REG_SZ, bytes("abc")},
      {"Embedded", REG_SZ, bytes(Literal("a\0b\0"))},
      {"EmptyString", REG_SZ, {}},
      {"Dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
      {"ShortDword", REG_DWORD, {1, 2, 3}},
      {"Binary", REG_BINARY, {0, 255, 10, 13, 0}},
      {"EmptyBinary", REG_BINARY, {}},
      {"Multi", REG_MULTI_SZ, bytes(Literal("one\0two\0\0"))},
      {"Qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
      {"Odd type", 0x12345678u, {9}},
      {"\xe5\x90\x8d=[x]", REG_NONE, {}},
  };
  const char* keyPath = "Software\\Odd [name] 100%\\\xc3\xa9t\xc3\xa9";
  HKEY key = Create(HKEY_CURRENT_USER, keyPath);
  for (const auto& c : cases)
    ASSERT_EQ(RegSetValueExA(key, c.name.c_str(), 0, c.type, c.data.data(), static_cast<DWORD>(c.data.size())),
              ERROR_SUCCESS)
        << c.name;
  HKEY emptyKey = Create(HKEY_CURRENT_USER, "Software\\Empty");
  RegCloseKey(emptyKey);
  RegCloseKey(key);

  RegistryReloadForTest();
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, keyPath, 0, KEY_READ, &key), ERROR_SUCCESS);
  for (DWORD i = 0; i < cases.size(); ++i) {
    char name[64] = {};
    DWORD cchName = sizeof name, type = 0, size = 0;
    ASSERT_EQ(RegEnumValueA(key, i, name, &cchName, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    std::vector<BYTE> data(size);
    cchName = sizeof name;
    ASSERT_EQ(RegEnumValueA(key, i, name, &cchName, nullptr, &type, data.data(), &size), ERROR_SUCCESS);
    const Case& c = cases[i];
    EXPECT_EQ(std::string(name, cchName), c.name);
    EXPECT_EQ(type, c.type) << c.name;
    std::vector<BYTE> expected = c.data;
    // Strings come back terminated even when stored without.
    if ((c.type == REG_SZ || c.type == REG_EXPAND_SZ || c.type == REG_MULTI_SZ) &&
        (expected.empty() || expected.back() != 0))
      expected.push_back(0);
    EXPECT_EQ(data, expected) << c.name;
  }
  char name[8];
  DWORD cchName = sizeof name;
  EXPECT_EQ(RegEnumValueA(key, static_cast<DWORD>(cases.size()), name, &cchName, nullptr, nullptr, nullptr, nullptr),
            static_cast<LONG>(ERROR_NO_MORE_ITEMS));
  RegCloseKey(key);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Empty", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(RegistryTest, QuerySizeProtocol) {
  HKEY key = Create(HKEY_CURRENT_USER, kTestKey);
  ASSERT_EQ(SetString(key, "Batch Output", "/videos/out"), ERROR_SUCCESS);
  ASSERT_EQ(SetString(key, "Bare", "abc", false), ERROR_SUCCESS);

  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueExA(key, "Batch Output", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 12u);  // with the terminator

  char small[5];
  std::memset(small, 'X', sizeof small);
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExA(key, "Batch Output", nullptr, nullptr, reinterpret_cast<BYTE*>(small), &size),
            static_cast<LONG>(ERROR_MORE_DATA));
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(std::string(small, 5), "XXXXX");

  char exact[12];
  size = sizeof exact;
  EXPECT_EQ(RegQueryValueExA(key, "BATCH OUTPUT", nullptr, nullptr, reinterpret_cast<BYTE*>(exact), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(exact, "/videos/out");

  // Stored without its terminator: reported and returned with one.
  char bare[4];
  std::memset(bare, 'X', sizeof bare);
  size = 3;
  EXPECT_EQ(RegQueryValueExA(key, "Bare", nullptr, nullptr, reinterpret_cast<BYTE*>(bare), &size),
            static_cast<LONG>(ERROR_MORE_DATA));
  EXPECT_EQ(size, 4u);
  size = sizeof bare;
  EXPECT_EQ(RegQueryValueExA(key, "Bare", nullptr, nullptr, reinterpret_cast<BYTE*>(bare), &size), ERROR_SUCCESS);
  EXPECT_STREQ(bare, "abc");

  // The wide view converts and counts wide characters.
  ASSERT_EQ(SetString(key, "Wide", "\xd0\x96x"), ERROR_SUCCESS);
  size = 0;
  ASSERT_EQ(RegQueryValueExW(key, L"Wide", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 3 * sizeof(wchar_t));
  wchar_t wide[3];
  ASSERT_EQ(RegQueryValueExW(key, L"wide", nullptr, nullptr, reinterpret_cast<BYTE*>(wide), &size), ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(wide), L"\x0416x");
  const wchar_t written[] = L"\x65e5\x672c";
  ASSERT_EQ(RegSetValueExW(key, L"FromWide", 0, REG_SZ, reinterpret_cast<const BYTE*>(written), sizeof written),
            ERROR_SUCCESS);
  EXPECT_EQ(GetString(key, "FromWide"), "\xe6\x97\xa5\xe6\x9c\xac");

  // A query without size or data just confirms the value and its type.
  type = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Bare", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(RegQueryValueExA(key, "Bare", nullptr, &type, reinterpret_cast<BYTE*>(bare), nullptr),
            static_cast<LONG>(ERROR_INVALID_PARAMETER));
  size = 4;
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, reinterpret_cast<BYTE*>(bare), &size),
            static_cast<LONG>(ERROR_FILE_NOT_FOUND));

  // The default value through RegQueryValueA: "" when unset.
  char def[8] = "zzz";
  LONG lsize = sizeof def;
  EXPECT_EQ(RegQueryValueA(HKEY_CURRENT_USER, kTestKey, def, &lsize), ERROR_SUCCESS);
  EXPECT_STREQ(def, "");
  EXPECT_EQ(lsize, 1);
  RegCloseKey(key);
}

TEST_F(RegistryTest, EnumerationOfKeysAndKeyInfo) {
  const char* names[] = {"{B}", "a", "Charlie"};
  HKEY parent = Create(HKEY_CLASSES_ROOT, "Media Type\\{e436eb83-524f-11ce-9f53-0020af0ba770}");
  for (const char* n : names) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyA(parent, n, &k), ERROR_SUCCESS);
    RegCloseKey(k);
  }
  ASSERT_EQ(SetString(parent, "0", "0,4,,52494646"), ERROR_SUCCESS);

  std::vector<std::string> seen;
  for (DWORD i = 0;; ++i) {
    char name[16];
    DWORD cch = sizeof name;
    FILETIME ft{};
    const LONG r = RegEnumKeyExA(parent, i, name, &cch, nullptr, nullptr, nullptr, &ft);
    if (r == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) break;
    ASSERT_EQ(r, ERROR_SUCCESS);
    EXPECT_EQ(cch, std::strlen(name));
    EXPECT_NE(ft.dwHighDateTime, 0u);
    seen.push_back(name);
    ASSERT_LT(i, 10u);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "Charlie", "{B}"}));

  char tiny[7];
  DWORD cch = sizeof tiny;  // "Charlie" needs 8 with its terminator
  EXPECT_EQ(RegEnumKeyExA(parent, 1, tiny, &cch, nullptr, nullptr, nullptr, nullptr),
            static_cast<LONG>(ERROR_MORE_DATA));
  char plain[8];
  EXPECT_EQ(RegEnumKeyA(parent, 1, plain, sizeof plain), ERROR_SUCCESS);
  EXPECT_STREQ(plain, "Charlie");
  wchar_t wide[8];
  cch = 8;
  EXPECT_EQ(RegEnumKeyExW(parent, 2, wide, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(wide), L"{B}");

  DWORD subKeys = 0, maxSub = 0, values = 0, maxName = 0, maxData = 0;
  ASSERT_EQ(RegQueryInfoKeyA(parent, nullptr, nullptr, nullptr, &subKeys, &maxSub, nullptr, &values, &maxName,
                             &maxData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 3u);
  EXPECT_EQ(maxSub, 7u);
  EXPECT_EQ(values, 1u);
  EXPECT_EQ(maxName, 1u);
  EXPECT_EQ(maxData, 14u);

  wchar_t wname[4];
  DWORD wcch = 4, size = 0, type = 0;
  ASSERT_EQ(RegEnumValueW(parent, 0, wname, &wcch, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(wname), L"0");
  EXPECT_EQ(size, 14 * sizeof(wchar_t));
  RegCloseKey(parent);
}

// ---------------------------------------------------------------------------
// Keys and handles

TEST_F(RegistryTest, KeyNamesAreCaseInsensitiveAndCasePreserving) {
  DWORD disposition = 0;
  HKEY a = nullptr, b = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\GNU\\ffdshow", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &a,
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\gnu\\FFDSHOW\\", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &b,
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_NE(a, b);
  ASSERT_EQ(SetDword(a, "xvid", 1), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(b, "XVID", 2), ERROR_SUCCESS);  // the same value
  DWORD count = 0;
  ASSERT_EQ(RegQueryInfoKeyA(a, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(count, 1u);
  char name[8];
  DWORD cch = sizeof name;
  ASSERT_EQ(RegEnumValueA(a, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "xvid");

  HKEY gnu = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "software\\gnu", 0, KEY_READ, &gnu), ERROR_SUCCESS);
  char sub[16];
  ASSERT_EQ(RegEnumKeyA(gnu, 0, sub, sizeof sub), ERROR_SUCCESS);
  EXPECT_STREQ(sub, "ffdshow");
  RegCloseKey(gnu);
  RegCloseKey(a);
  RegCloseKey(b);
}

TEST_F(RegistryTest, HandlesAreDistinctClosableAndInvalidAfterClose) {
  HKEY key = Create(HKEY_CURRENT_USER, kTestKey);
  ASSERT_NE(key, nullptr);
  EXPECT_NE(key, HKEY_CURRENT_USER);
  EXPECT_NE(key, HKEY_LOCAL_MACHINE);
  EXPECT_NE(key, HKEY_CLASSES_ROOT);
  EXPECT_EQ(RegFlushKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), static_cast<LONG>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(SetDword(key, "x", 1), static_cast<LONG>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(RegFlushKey(key), static_cast<LONG>(ERROR_INVALID_HANDLE));
  HKEY reopened = Create(HKEY_CURRENT_USER, kTestKey);
  EXPECT_NE(reopened, key);  // never reused
  RegCloseKey(reopened);

  EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(nullptr), static_cast<LONG>(ERROR_INVALID_HANDLE));
  HKEY bogus = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000005u));
  HKEY out = nullptr;
  EXPECT_EQ(RegOpenKeyExA(bogus, "x", 0, KEY_READ, &out), static_cast<LONG>(ERROR_INVALID_HANDLE));
}

TEST_F(RegistryTest, AccessRightsDeletionAndBadArguments) {
  HKEY writer = Create(HKEY_CURRENT_USER, "Software\\Brisdane\\Filters\\MPEG Video Decoder");
  ASSERT_EQ(SetDword(writer, "Brightness", 128), ERROR_SUCCESS);

  HKEY reader = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Brisdane\\Filters\\MPEG Video Decoder", 0, KEY_READ, &reader),
            ERROR_SUCCESS);
  EXPECT_EQ(SetDword(reader, "Brightness", 1), static_cast<LONG>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(RegDeleteValueA(reader, "Brightness"), static_cast<LONG>(ERROR_ACCESS_DENIED));
  HKEY writeOnly = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Brisdane", 0, KEY_SET_VALUE, &writeOnly), ERROR_SUCCESS);
  DWORD v = 0, size = 4;
  EXPECT_EQ(RegQueryValueExA(writeOnly, "x", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size),
            static_cast<LONG>(ERROR_ACCESS_DENIED));
  RegCloseKey(writeOnly);

  // A key with sub-keys is not deleted; a leaf is, and its open handles see it gone.
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Brisdane\\Filters"), static_cast<LONG>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(RegDeleteValueW(writer, L"brightness"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(writer, "Brightness"), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Brisdane\\Filters\\MPEG Video Decoder"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Brisdane\\Filters\\MPEG Video Decoder"),
            static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(SetDword(writer, "Brightness", 1), static_cast<LONG>(ERROR_KEY_DELETED));
  size = 4;
  EXPECT_EQ(RegQueryValueExA(reader, "Brightness", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size),
            static_cast<LONG>(ERROR_KEY_DELETED));
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), static_cast<LONG>(ERROR_ACCESS_DENIED));
  RegCloseKey(reader);
  RegCloseKey(writer);

  HKEY out = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, nullptr),
            static_cast<LONG>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, ("Software\\" + std::string(300, 'k')).c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &out, nullptr),
            static_cast<LONG>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(RegSetValueExA(HKEY_CURRENT_USER, "x", 0, REG_BINARY, nullptr, 4),
            static_cast<LONG>(ERROR_INVALID_PARAMETER));
}

TEST_F(RegistryTest, ConcurrentWritersFromThreadsAllLand) {
  constexpr int kThreads = 4, kValues = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      HKEY key = nullptr;
      const std::string path = "Software\\Threads\\T" + std::to_string(t);
      if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
          ERROR_SUCCESS)
        return;
      for (int i = 0; i < kValues; ++i) {
        const DWORD v = static_cast<DWORD>(t * 1000 + i);
        RegSetValueExA(key, ("V" + std::to_string(i)).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
      }
      RegCloseKey(key);
    });
  }
  for (auto& th : threads) th.join();
  RegistryReloadForTest();
  for (int t = 0; t < kThreads; ++t) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, ("Software\\Threads\\T" + std::to_string(t)).c_str(), 0, KEY_READ, &key),
              ERROR_SUCCESS);
    for (int i = 0; i < kValues; ++i) {
      DWORD v = 0, size = 4;
      ASSERT_EQ(RegQueryValueExA(key, ("V" + std::to_string(i)).c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&v),
                                 &size),
                ERROR_SUCCESS);
      EXPECT_EQ(v, static_cast<DWORD>(t * 1000 + i));
    }
    RegCloseKey(key);
  }
}

}  // namespace
