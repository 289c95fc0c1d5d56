// A DVD video title set as one run of 2048-byte sectors: the IFO file
// VTS_nn_0.IFO names the set, VTS_nn_0.VOB is its menu and VTS_nn_1.VOB
// onward hold the title, read one after the other.
#pragma once

#include <string>
#include <vector>

#include "platform/win32/MfcFile.h"

// A file read in 2048-byte logical blocks.
class CLBAFile {
 public:
  bool IsOpen() const { return m_file.m_hFile != CFile::hFileNull; }
  // Read only, others may read, sequential scan.
  bool Open(const std::string& path);
  // Closing a file that is not open does nothing.
  void Close();

  int GetLength() const;    // whole blocks
  int GetPosition() const;  // in blocks
  int Seek(int lba);
  // One block; false when fewer bytes come.
  bool Read(BYTE* buffer) { return Read(buffer, 1) == 1; }
  // Up to `count` blocks in one read: the whole blocks read (a block read
  // in part is read again next time).
  int Read(BYTE* buffer, int count);

 private:
  CFile m_file;
};

class CVobFile {
 public:
  CVobFile() = default;
  ~CVobFile() { Close(); }
  CVobFile(const CVobFile&) = delete;
  CVobFile& operator=(const CVobFile&) = delete;

  // Opens the set of an IFO file (whose first 12 bytes must be
  // "DVDVIDEO-VTS"); `vobs` receives the VOB files found.
  bool Open(const std::string& ifoPath, std::vector<std::string>& vobs);
  // Opens the listed files as one run; the title starts at `offset`
  // sectors, or at 0 for a single file. A file of the list that cannot be
  // opened fails the whole list.
  bool OpenVobs(const std::vector<std::string>& vobs, int offset = 0);
  void Close();

  // In sectors, relative to the title's start.
  int GetLength() const { return m_size - m_offset; }
  int GetPosition() const { return m_pos - m_offset; }
  // Moves to a sector of the title (clamped to it) and returns the
  // position reached: the old one when the file holding it cannot be
  // opened.
  int Seek(int pos);
  // The next sector; false at the end or when it cannot be read.
  bool Read(BYTE* buffer) { return Read(buffer, 1) == 1; }
  // Up to `count` next sectors, as many as the file holding the next one
  // has: the count read, 0 at the end or when none can be read.
  int Read(BYTE* buffer, int count);

  // Where the UDF file system of the drive holding the set places a file
  // of the list; false when the set is not on a drive of the map or the
  // disc does not show the file.
  bool GetDiscExtent(size_t file, DWORD* firstSector, DWORD* length) const;

 private:
  struct VobEntry {
    std::string path;
    int size = 0;  // sectors
    DWORD discSector = 0;
    DWORD discLength = 0;  // 0: not found on the disc
  };

  // The file holding an absolute sector and that file's first sector; -1
  // when none does.
  int FileAt(int sector, int* start) const;
  bool OpenFileAt(int sector);
  void LocateOnDisc();

  std::vector<VobEntry> m_files;
  int m_iFile = -1;
  CLBAFile m_file;
  int m_pos = 0, m_size = 0, m_offset = 0;
  HANDLE m_hDrive = INVALID_HANDLE_VALUE;
};
