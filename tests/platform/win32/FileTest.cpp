#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "platform/win32/File.h"
#include "platform/win32/MfcFile.h"

namespace {

// A fresh folder under the temporary folder, removed with its files.
class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, tmp), 0u);
    std::string pattern = std::string(tmp) + "pmfileXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (DIR* d = opendir(dir_.c_str())) {
      while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        std::string p = dir_ + "/" + n;
        if (rmdir(p.c_str()) != 0) unlink(p.c_str());
      }
      closedir(d);
    }
    rmdir(dir_.c_str());
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  static std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static void Put(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
  }

  std::string dir_;
};

}  // namespace

TEST_F(FileTest, CreateWriteReadSeekAndSize) {
  const std::string name = Path("a.bin");
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "hello world", 11, &n, nullptr));
  EXPECT_EQ(n, 11u);
  DWORD high = 99;
  EXPECT_EQ(GetFileSize(h, &high), 11u);
  EXPECT_EQ(high, 0u);
  EXPECT_EQ(SetFilePointer(h, 6, nullptr, FILE_BEGIN), 6u);
  char buf[32] = {};
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(std::string(buf, n), "world");
  // At the end a read succeeds with nothing.
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 0u);

  EXPECT_EQ(SetFilePointer(h, -5, nullptr, FILE_END), 6u);
  EXPECT_EQ(SetFilePointer(h, -2, nullptr, FILE_CURRENT), 4u);
  EXPECT_EQ(SetFilePointer(h, -10, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  // The failed move left the position alone.
  LARGE_INTEGER zero{}, pos{};
  ASSERT_TRUE(SetFilePointerEx(h, zero, &pos, FILE_CURRENT));
  EXPECT_EQ(pos.QuadPart, 4);

  // 64-bit form: a position past 4 GB in a sparse file.
  LONG hi = 1;
  EXPECT_EQ(SetFilePointer(h, 16, &hi, FILE_BEGIN), 16u);
  EXPECT_EQ(hi, 1);
  EXPECT_EQ(GetLastError(), NO_ERROR);
  ASSERT_TRUE(SetEndOfFile(h));
  LARGE_INTEGER size{};
  ASSERT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(size.QuadPart, (1LL << 32) + 16);
  EXPECT_EQ(GetFileSize(h, &high), 16u);
  EXPECT_EQ(high, 1u);
  // The 32-bit form refuses to land past 4 GB.
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);

  LARGE_INTEGER four{};
  four.QuadPart = 4;
  ASSERT_TRUE(SetFilePointerEx(h, four, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(h));
  ASSERT_TRUE(FlushFileBuffers(h));
  ASSERT_TRUE(CloseHandle(h));
  EXPECT_EQ(Slurp(name), "hell");

  // CREATE_NEW on an existing file fails; OPEN_ALWAYS reports it existed.
  EXPECT_EQ(CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  h = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  // No write access through a read-only handle.
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(n, 0u);
  CloseHandle(h);

  h = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileSize(h, nullptr), 0u);
  EXPECT_FALSE(ReadFile(h, buf, 1, &n, nullptr));  // write-only handle
  CloseHandle(h);
}

TEST_F(FileTest, OpenErrorsAndBadHandles) {
  const std::string missing = Path("missing.bin");
  EXPECT_EQ(CreateFileA(missing.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  const std::string noFolder = Path("nofolder/x.bin");
  EXPECT_EQ(CreateFileA(noFolder.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  // A folder is not a file.
  EXPECT_EQ(CreateFileA(dir_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(CreateFileA(missing.c_str(), GENERIC_READ, 0, nullptr, 99, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateFileA(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);

  char buf[4];
  DWORD n = 7;
  EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, buf, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(WriteFile(nullptr, buf, 4, &n, nullptr));
  EXPECT_EQ(GetFileSize(nullptr, nullptr), INVALID_FILE_SIZE);
  EXPECT_EQ(SetFilePointer(INVALID_HANDLE_VALUE, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  // An event handle is not a file.
  HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_FALSE(ReadFile(ev, buf, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(ev);
}

TEST_F(FileTest, WideNamesBackslashesAndAttributes) {
  const std::string utf8 = Path("caf\xC3\xA9.txt");
  std::wstring wide(dir_.begin(), dir_.end());
  wide += L"\\caf\u00e9.txt";
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n;
  WriteFile(h, "abc", 3, &n, nullptr);
  CloseHandle(h);
  EXPECT_EQ(Slurp(utf8), "abc");
  EXPECT_EQ(GetFileAttributesW(wide.c_str()), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(GetFileAttributesA(dir_.c_str()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesA(Path("none").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  chmod(utf8.c_str(), 0444);
  EXPECT_EQ(GetFileAttributesA(utf8.c_str()), FILE_ATTRIBUTE_READONLY);
  chmod(utf8.c_str(), 0644);

  // An unpaired surrogate is no name at all.
  const wchar_t bad[] = {L'a', static_cast<wchar_t>(0xD800), 0};
  EXPECT_EQ(CreateFileW(bad, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_TRUE(DeleteFileW(wide.c_str()));
  EXPECT_FALSE(DeleteFileW(wide.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(FileTest, MoveCopyDeleteAndFolders) {
  const std::string a = Path("a"), b = Path("b"), c = Path("c");
  Put(a, "first");
  Put(b, "second");
  EXPECT_FALSE(MoveFileA(a.c_str(), b.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(Slurp(b), "second");
  EXPECT_TRUE(MoveFileExA(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(Slurp(b), "first");
  EXPECT_EQ(GetFileAttributesA(a.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_FALSE(MoveFileA(a.c_str(), c.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  EXPECT_TRUE(CopyFileA(b.c_str(), c.c_str(), TRUE));
  EXPECT_EQ(Slurp(c), "first");
  EXPECT_FALSE(CopyFileA(b.c_str(), c.c_str(), TRUE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  Put(b, "third");
  EXPECT_TRUE(CopyFileA(b.c_str(), c.c_str(), FALSE));
  EXPECT_EQ(Slurp(c), "third");
  // Copying onto itself must not destroy the file.
  EXPECT_FALSE(CopyFileA(c.c_str(), c.c_str(), FALSE));
  EXPECT_EQ(Slurp(c), "third");

  // Deferred moves are only recorded.
  const size_t before = PendingDelayedMoves().size();
  EXPECT_TRUE(MoveFileExA(c.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  auto pending = PendingDelayedMoves();
  ASSERT_EQ(pending.size(), before + 1);
  EXPECT_EQ(pending.back().from, c);
  EXPECT_TRUE(pending.back().to.empty());
  EXPECT_EQ(Slurp(c), "third");
  EXPECT_FALSE(MoveFileExA(c.c_str(), nullptr, 0));

  const std::string sub = Path("sub");
  EXPECT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));
  EXPECT_FALSE(CreateDirectoryA(sub.c_str(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(CreateDirectoryA(Path("x/y").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(DeleteFileA(sub.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  Put(sub + "/f", "x");
  EXPECT_FALSE(RemoveDirectoryA(sub.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_TRUE(DeleteFileA((sub + "/f").c_str()));
  EXPECT_TRUE(RemoveDirectoryA(sub.c_str()));
  EXPECT_TRUE(DeleteFileA(b.c_str()));
  EXPECT_TRUE(DeleteFileA(c.c_str()));
}

TEST_F(FileTest, TempPathAndNames) {
  char small[2];
  char tmp[MAX_PATH];
  const DWORD len = GetTempPathA(MAX_PATH, tmp);
  ASSERT_GT(len, 0u);
  EXPECT_EQ(std::strlen(tmp), len);
  EXPECT_EQ(tmp[len - 1], '/');
  EXPECT_EQ(GetTempPathA(sizeof small, small), len + 1);  // size needed

  std::set<std::string> names;
  for (int i = 0; i < 20; ++i) {
    char name[MAX_PATH];
    const UINT u = GetTempFileNameA(dir_.c_str(), "g_font", 0, name);
    ASSERT_NE(u, 0u);
    const std::string s = name;
    EXPECT_EQ(s.rfind(dir_ + "/g_f", 0), 0u) << s;
    EXPECT_EQ(s.substr(s.size() - 4), ".tmp");
    EXPECT_EQ(GetFileAttributesA(name), FILE_ATTRIBUTE_NORMAL);  // created
    names.insert(s);
  }
  EXPECT_EQ(names.size(), 20u);

  char fixed[MAX_PATH];
  EXPECT_EQ(GetTempFileNameA(dir_.c_str(), "pre", 0xABC, fixed), 0xABCu);
  EXPECT_EQ(std::string(fixed), dir_ + "/preABC.tmp");
  EXPECT_EQ(GetFileAttributesA(fixed), INVALID_FILE_ATTRIBUTES);  // only named

  EXPECT_EQ(GetTempFileNameA(Path("nofolder").c_str(), "x", 0, fixed), 0u);
  const std::string longFolder(300, 'a');
  EXPECT_EQ(GetTempFileNameA(longFolder.c_str(), "x", 5, fixed), 0u);
  EXPECT_EQ(GetLastError(), ERROR_BUFFER_OVERFLOW);
}

TEST_F(FileTest, FindFiles) {
  Put(Path("drvA.DLL"), "1");
  Put(Path("drvb.dll"), "22");
  Put(Path("other.dll"), "3");
  WIN32_FIND_DATAA fd;
  HANDLE f = FindFirstFileA((dir_ + "\\drv*.dll").c_str(), &fd);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  std::set<std::string> found{fd.cFileName};
  while (FindNextFileA(f, &fd)) found.insert(fd.cFileName);
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(FindClose(f));
  EXPECT_EQ(found, (std::set<std::string>{"drvA.DLL", "drvb.dll"}));

  f = FindFirstFileA(Path("other.dll").c_str(), &fd);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  EXPECT_EQ(fd.nFileSizeLow, 1u);
  EXPECT_EQ(fd.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
  FindClose(f);

  f = FindFirstFileA(Path("*.*").c_str(), &fd);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  int count = 1;
  while (FindNextFileA(f, &fd)) ++count;
  EXPECT_EQ(count, 3);
  FindClose(f);

  EXPECT_EQ(FindFirstFileA(Path("zz*").c_str(), &fd), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(FindFirstFileA(Path("none/*").c_str(), &fd), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
}

TEST_F(FileTest, MfcFileReadsWithSequentialFlags) {
  const std::string name = Path("data.bin");
  std::string data;
  for (int i = 0; i < 1000; ++i) data.push_back(static_cast<char>(i * 7));
  Put(name, data);

  CFile file;
  CFileException error;
  ASSERT_TRUE(file.Open(name.c_str(), 0x88020, &error));
  EXPECT_EQ(0x88020u, CFile::modeRead | CFile::shareDenyWrite | CFile::typeBinary | CFile::osSequentialScan);
  EXPECT_EQ(error.m_cause, CFileException::none);
  EXPECT_EQ(file.GetLength(), 1000u);
  EXPECT_EQ(file.GetFileName(), "data.bin");
  EXPECT_EQ(file.GetFilePath(), name);

  char buf[16];
  EXPECT_EQ(file.Seek(990, CFile::begin), 990u);
  EXPECT_EQ(file.Read(buf, sizeof buf), 10u);
  EXPECT_EQ(std::string(buf, 10), data.substr(990));
  EXPECT_EQ(file.Read(buf, sizeof buf), 0u);
  EXPECT_EQ(file.Seek(-20, CFile::current), 980u);
  EXPECT_EQ(file.Seek(-1000, CFile::current), 980u);  // refused, position kept
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(file.GetPosition(), 980u);
  EXPECT_EQ(file.SeekToEnd(), 1000u);
  file.SeekToBegin();
  EXPECT_EQ(file.Read(buf, 4), 4u);
  EXPECT_EQ(std::string(buf, 4), data.substr(0, 4));

  // The raw handle works with the file calls.
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(file.m_hFile, buf, 4, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), data.substr(4, 4));

  // Writing through a read-only file is an error, not silent loss.
  EXPECT_THROW(file.Write("x", 1), CFileException);
  file.Close();
  EXPECT_EQ(file.m_hFile, CFile::hFileNull);
  EXPECT_EQ(file.Read(buf, 4), 0u);
  EXPECT_EQ(file.GetLength(), 0u);
  try {
    file.Write("x", 1);
    ADD_FAILURE() << "write to a closed file did not fail";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.m_cause, CFileException::invalidFile);
  }

  EXPECT_FALSE(file.Open(Path("missing").c_str(), 0x88020, &error));
  EXPECT_EQ(error.m_cause, CFileException::fileNotFound);
  EXPECT_EQ(error.m_lOsError, static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(file.Open(name.c_str(), CFile::modeRead | 3));
  EXPECT_EQ(file.m_hFile, CFile::hFileNull);
}

TEST_F(FileTest, MfcFileCreateWriteAndLength) {
  const std::string name = Path("out.bin");
  CFile file;
  ASSERT_TRUE(file.Open(name.c_str(), CFile::modeCreate | CFile::modeReadWrite | CFile::typeBinary));
  file.Write("0123456789", 10);
  file.SetLength(4);
  EXPECT_EQ(file.GetLength(), 4u);
  EXPECT_EQ(file.GetPosition(), 10u);  // SetLength keeps the position
  file.SetLength(6);
  file.Flush();
  file.Close();
  EXPECT_EQ(Slurp(name), std::string("0123\0\0", 6));

  // modeNoTruncate keeps what is there.
  ASSERT_TRUE(file.Open(name.c_str(), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite));
  EXPECT_EQ(file.GetLength(), 6u);
  file.SeekToEnd();
  file.Write("!", 1);
  file.Close();
  EXPECT_EQ(Slurp(name), std::string("0123\0\0!", 7));
  ASSERT_TRUE(file.Open(name.c_str(), CFile::modeCreate | CFile::modeWrite));
  EXPECT_EQ(file.GetLength(), 0u);
}

// A backslash is a character of a name here where the name exists so, or
// where only the name's own folder is there; in a name of a folder that is
// there, and always after a drive, it separates folders.
TEST_F(FileTest, BackslashesAreCharactersWhereTheNameIsSo) {
  Put(Path("a\\b.mpg"), "x");
  Put(Path("a\\b"), "y");  // a file, not a folder: "a\\b\\c" has no folder "a/b"
  ASSERT_EQ(mkdir(Path("sub").c_str(), 0700), 0);
  struct Row {
    std::string given, expected;
  } rows[] = {
      {Path("a\\b.mpg"), Path("a\\b.mpg")},          // the file as written
      {Path("sub\\new.mp4"), Path("sub/new.mp4")},   // a new file in a folder
      {Path("c\\d.mp4"), Path("c\\d.mp4")},          // a new file of this folder
      {"C:\\nowhere\\x.dll", "C:/nowhere/x.dll"},    // the platform's own name
  };
  for (const Row& r : rows) EXPECT_EQ(win32_detail::NativePath(r.given.c_str()), r.expected) << r.given;
}
