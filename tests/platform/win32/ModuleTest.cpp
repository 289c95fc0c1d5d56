#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <string>

#include "platform/win32/File.h"
#include "platform/win32/Module.h"

namespace {

intptr_t First() { return 1; }
intptr_t Second() { return 2; }
intptr_t Third() { return 3; }

std::string ExePath() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}
std::string ExeFolder() {
  const std::string exe = ExePath();
  return exe.substr(0, exe.find_last_of('/'));
}

}  // namespace

TEST(BuiltinModule, NamesMatchWithoutCaseFolderOrExtension) {
  RegisterBuiltinModule("PmFake.DLL", {{"DllGetClassObject", 1, First}, {"", 5, Second}});
  HMODULE byHandle = GetModuleHandleA("pmfake.dll");
  ASSERT_NE(byHandle, nullptr);
  HMODULE loaded = LoadLibraryA("PMFAKE");
  EXPECT_EQ(loaded, byHandle);
  EXPECT_EQ(LoadLibraryA("C:\\Windows\\System32\\pmFake.dll"), byHandle);
  EXPECT_EQ(LoadLibraryW(L"pmfake.DLL"), byHandle);
  EXPECT_EQ(GetModuleHandleW(L"PMFAKE.dll"), byHandle);

  FARPROC p = GetProcAddress(loaded, "DllGetClassObject");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p(), 1);
  p = GetProcAddress(loaded, MAKEINTRESOURCE(5));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p(), 2);
  EXPECT_EQ(GetProcAddress(loaded, MAKEINTRESOURCE(1)), First);
  // Export names keep their case, as on the home platform.
  EXPECT_EQ(GetProcAddress(loaded, "dllgetclassobject"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(GetProcAddress(loaded, MAKEINTRESOURCE(9)), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(GetProcAddress(loaded, nullptr), nullptr);

  // Built-in modules stay however often they are freed.
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(FreeLibrary(loaded));
  EXPECT_EQ(GetModuleHandleA("pmfake"), byHandle);

  // Registering again replaces the exports.
  RegisterBuiltinModule("pmfake.dll", {{"Other", 0, Third}});
  EXPECT_EQ(GetModuleHandleA("pmfake"), byHandle);
  EXPECT_EQ(GetProcAddress(byHandle, "DllGetClassObject"), nullptr);
  EXPECT_EQ(GetProcAddress(byHandle, "Other"), Third);

  char path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(byHandle, path, MAX_PATH), 0u);
  EXPECT_EQ(std::string(path), ExeFolder() + "/pmfake.dll");
}

TEST(BuiltinModule, VersionInformation) {
  RegisterBuiltinModule("pmver.dll", {}, 0x00060001, 0x1DB10002);
  RegisterBuiltinModule("pmnover.dll", {});
  DWORD handle = 7;
  const DWORD size = GetFileVersionInfoSizeA("C:\\somewhere\\PMVER.DLL", &handle);
  ASSERT_GT(size, 0u);
  EXPECT_EQ(handle, 0u);
  std::vector<BYTE> block(size);
  EXPECT_FALSE(GetFileVersionInfoA("pmver.dll", 0, size - 1, block.data()));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  ASSERT_TRUE(GetFileVersionInfoA("pmver.dll", 0, size, block.data()));
  VS_FIXEDFILEINFO* info = nullptr;
  UINT len = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<LPVOID*>(&info), &len));
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(len, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(info->dwSignature, VS_FFI_SIGNATURE);
  EXPECT_EQ(info->dwFileVersionMS, 0x00060001u);
  EXPECT_EQ(info->dwFileVersionLS, 0x1DB10002u);
  LPVOID other = nullptr;
  EXPECT_FALSE(VerQueryValueA(block.data(), "\\StringFileInfo\\040904b0\\FileVersion", &other, &len));

  // Anything else has no version.
  EXPECT_EQ(GetFileVersionInfoSizeA("pmnover.dll", &handle), 0u);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
  EXPECT_EQ(GetFileVersionInfoSizeA(ExePath().c_str(), &handle), 0u);
  EXPECT_EQ(GetFileVersionInfoSizeA(nullptr, &handle), 0u);
  BYTE junk[64] = {1, 2, 3};
  EXPECT_FALSE(VerQueryValueA(junk, "\\", &other, &len));
  EXPECT_EQ(other, nullptr);
}

TEST(SharedModule, LoadsNextToExecutableWithReferenceCount) {
  HMODULE m = LoadLibraryA("pmtestmod.dll");
  ASSERT_NE(m, nullptr) << GetLastError();
  using Add = int (*)(int, int);
  auto add = reinterpret_cast<Add>(reinterpret_cast<void*>(GetProcAddress(m, "pm_test_add")));
  ASSERT_NE(add, nullptr);
  EXPECT_EQ(add(2, 3), 5);
  EXPECT_EQ(GetProcAddress(m, "pm_missing"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  // Shared objects have no ordinals.
  EXPECT_EQ(GetProcAddress(m, MAKEINTRESOURCE(1)), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);

  char path[MAX_PATH];
  const DWORD len = GetModuleFileNameA(m, path, MAX_PATH);
  ASSERT_GT(len, 0u);
  EXPECT_EQ(std::string(path), ExeFolder() + "/pmtestmod.so");

  // The same object by other names and by its path is the same module.
  EXPECT_EQ(LoadLibraryA("PMTESTMOD"), m);
  EXPECT_EQ(LoadLibraryA((ExeFolder() + "/pmtestmod.so").c_str()), m);
  EXPECT_EQ(GetModuleHandleA("pmtestmod.dll"), m);
  EXPECT_TRUE(FreeLibrary(m));
  EXPECT_TRUE(FreeLibrary(m));
  EXPECT_EQ(GetModuleHandleA("pmtestmod.dll"), m);
  EXPECT_TRUE(FreeLibrary(m));
  EXPECT_EQ(GetModuleHandleA("pmtestmod.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_FALSE(FreeLibrary(m));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetProcAddress(m, "pm_test_add"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(SharedModule, MissingAndBrokenModules) {
  EXPECT_EQ(LoadLibraryA("pmnosuchmodule.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(LoadLibraryA("C:\\Windows\\winhlp32.exe"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(LoadLibraryA(""), nullptr);
  EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
  EXPECT_EQ(GetModuleHandleA("pmnosuchmodule"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

  // A file that is not a shared object.
  char tmp[MAX_PATH];
  GetTempPathA(MAX_PATH, tmp);
  char name[MAX_PATH];
  ASSERT_NE(GetTempFileNameA(tmp, "pmb", 0, name), 0u);
  const std::string bogus = std::string(name) + ".dll";
  std::ofstream(bogus) << "not a library";
  EXPECT_EQ(LoadLibraryA(bogus.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
  DeleteFileA(bogus.c_str());
  DeleteFileA(name);

  EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(&tmp), "x"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Executable, HandleAndFileName) {
  HMODULE exe = GetModuleHandleA(nullptr);
  ASSERT_NE(exe, nullptr);
  EXPECT_EQ(GetModuleHandleW(nullptr), exe);
  char path[MAX_PATH];
  const DWORD len = GetModuleFileNameA(nullptr, path, MAX_PATH);
  EXPECT_EQ(std::string(path, len), ExePath());
  EXPECT_EQ(GetModuleFileNameA(exe, path, MAX_PATH), len);
  // Too small a buffer: truncated, terminated, and reported.
  char small[8];
  EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), sizeof small);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::string(small), ExePath().substr(0, 7));
  EXPECT_TRUE(FreeLibrary(exe));
  EXPECT_EQ(GetModuleHandleA(nullptr), exe);
}
