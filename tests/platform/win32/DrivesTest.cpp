// Drive letters from the environment, device names, calls a drive handle
// refuses, and existing files found whatever the case of their names.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "platform/win32/CdRom.h"
#include "platform/win32/Drives.h"

namespace {

// First in the file: the map is read from the environment once.
TEST(Drives, MapFromTheEnvironment) {
  setenv("PELLOMAR_DRIVES", "e=/tmp/disc.cue;F=/dev/null|/tmp;bad;G=", 1);
  std::string target, folder;
  ASSERT_TRUE(GetDriveTarget('E', &target, &folder));
  EXPECT_EQ(target, "/tmp/disc.cue");
  EXPECT_EQ(folder, "");
  ASSERT_TRUE(GetDriveTarget('f', &target, &folder));
  EXPECT_EQ(folder, "/tmp");
  EXPECT_FALSE(GetDriveTarget('G', &target));
  EXPECT_FALSE(GetDriveTarget('D', &target));  // the default gives way to the variable
  std::string onDrive;
  EXPECT_EQ(DriveOfPath("/tmp/VIDEO_TS/VTS_01_0.IFO", &onDrive), 0);  // no such folder
  EXPECT_EQ(DriveOfPath("/tmp/x.IFO", &onDrive), 'F');
  EXPECT_EQ(onDrive, "x.IFO");

  EXPECT_EQ(DeviceNameLetter("\\\\.\\f:"), 'F');
  EXPECT_EQ(DeviceNameLetter("//./F:"), 'F');
  for (const char* name : {"\\\\.\\F:\\", "\\\\.\\FF:", "F:", "\\\\?\\F:"}) EXPECT_EQ(DeviceNameLetter(name), 0) << name;
}

TEST(Drives, HandlesWithoutACdRefuseTheCdCalls) {
  SetDriveTarget('F', "/dev/null");
  HANDLE h = CreateFileA("\\\\.\\F:", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CDROM_TOC toc;
  DWORD got = 0;
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_CDROM_READ_TOC, nullptr, 0, &toc, sizeof toc, &got, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  CloseHandle(h);
  EXPECT_EQ(CreateFileA("\\\\.\\Q:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(Files, ExistingNamesAreFoundInAnyCase) {
  const std::string dir = testing::TempDir();
  std::ofstream(dir + "VTS_09_1.VOB") << "x";
  HANDLE h = CreateFileA((dir + "vts_09_1.vob").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileSize(h, nullptr), 1u);
  CloseHandle(h);
  EXPECT_NE(GetFileAttributesA((dir + "Vts_09_1.Vob").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetFileAttributesA((dir + "vts_09_2.vob").c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
