// CD drive I/O: the control codes the program sends to a drive handle
// ("\\.\X:", see Drives.h) and the records they exchange.
//
// Behind a drive handle stands a CdDevice. A block device gets the Linux
// back-end (the kernel's CD-ROM ioctls, and SCSI pass-through for CD-TEXT);
// a drive mapped to a cue sheet gets the disc-image back-end, which serves
// the table of contents from the sheet, raw 2352-byte sectors from its
// BINARY file and CD-TEXT from its CDTEXTFILE. Any other handle answers
// ERROR_INVALID_FUNCTION.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/win32/File.h"
#include "platform/win32/Types.h"

constexpr DWORD ERROR_NOT_READY = 21;
constexpr DWORD ERROR_SECTOR_NOT_FOUND = 27;
constexpr DWORD ERROR_BAD_FORMAT = 11;

constexpr DWORD CdRomControlCode(DWORD function, DWORD method) {
  // Device type CD-ROM (2), read access (1).
  return (2u << 16) | (1u << 14) | (function << 2) | method;
}
constexpr DWORD IOCTL_CDROM_READ_TOC = CdRomControlCode(0x0000, 0);
constexpr DWORD IOCTL_CDROM_RAW_READ = CdRomControlCode(0x000F, 2);
constexpr DWORD IOCTL_CDROM_READ_TOC_EX = CdRomControlCode(0x0015, 0);

constexpr int MAXIMUM_NUMBER_TRACKS = 100;
constexpr DWORD CD_RAW_SECTOR_SIZE = 2352;
constexpr UCHAR CDROM_LEADOUT_TRACK = 0xAA;

struct TRACK_DATA {
  UCHAR Reserved;
  UCHAR Control : 4;  // bit 2 set: a data track
  UCHAR Adr : 4;
  UCHAR TrackNumber;
  UCHAR Reserved1;
  UCHAR Address[4];  // 0, minutes, seconds, frames (75 a second)
};
static_assert(sizeof(TRACK_DATA) == 8);

// Length counts the bytes after itself: 2 + 8 per entry, the lead-out
// entry included.
struct CDROM_TOC {
  UCHAR Length[2];  // big-endian
  UCHAR FirstTrack;
  UCHAR LastTrack;
  TRACK_DATA TrackData[MAXIMUM_NUMBER_TRACKS];
};
static_assert(sizeof(CDROM_TOC) == 804);

constexpr UCHAR CDROM_READ_TOC_EX_FORMAT_TOC = 0;
constexpr UCHAR CDROM_READ_TOC_EX_FORMAT_CDTEXT = 5;

struct CDROM_READ_TOC_EX {
  UCHAR Format : 4;
  UCHAR Reserved1 : 3;
  UCHAR Msf : 1;
  UCHAR SessionTrack;
  UCHAR Reserved2;
  UCHAR Reserved3;
};
static_assert(sizeof(CDROM_READ_TOC_EX) == 4);

struct CDROM_TOC_CD_TEXT_DATA_BLOCK {
  UCHAR PackType;
  UCHAR TrackNumber : 7;
  UCHAR ExtensionFlag : 1;
  UCHAR SequenceNumber;
  UCHAR CharacterPosition : 4;
  UCHAR BlockNumber : 3;
  UCHAR Unicode : 1;  // double-byte characters
  union {
    UCHAR Text[12];
    char16_t WText[6];
  };
  UCHAR CRC[2];
};
static_assert(sizeof(CDROM_TOC_CD_TEXT_DATA_BLOCK) == 18);

// Length counts the bytes after itself: 2 + 18 per pack.
struct CDROM_TOC_CD_TEXT_DATA {
  UCHAR Length[2];  // big-endian
  UCHAR Reserved1;
  UCHAR Reserved2;
  CDROM_TOC_CD_TEXT_DATA_BLOCK Descriptors[1];
};

enum TRACK_MODE_TYPE { YellowMode2, XAForm2, CDDA };

// DiskOffset is the first sector times 2048, whatever the sector size.
struct RAW_READ_INFO {
  LARGE_INTEGER DiskOffset;
  ULONG SectorCount;
  TRACK_MODE_TYPE TrackMode;
};
static_assert(sizeof(RAW_READ_INFO) == 16);

// IOCTL_CDROM_READ_TOC fills a CDROM_TOC; IOCTL_CDROM_READ_TOC_EX with the
// CD-TEXT format gives the CD-TEXT answer, cut to the output size (a 4-byte
// buffer gets the header, which tells the full size); IOCTL_CDROM_RAW_READ
// reads CD audio sectors of 2352 bytes. The overlapped form is not
// supported.
BOOL DeviceIoControl(HANDLE device, DWORD controlCode, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                     DWORD outSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped);

// The back-end of a drive handle. Each call returns NO_ERROR or the
// platform's error code.
class CdDevice {
 public:
  virtual ~CdDevice() = default;
  // The table of contents as the drive gives it, lead-out entry included.
  virtual DWORD ReadToc(CDROM_TOC* toc) = 0;
  // The CD-TEXT answer: a 4-byte header (big-endian length of what follows,
  // plus 2) and 18-byte packs; empty when the disc has none.
  virtual DWORD ReadCdText(std::vector<BYTE>* answer) = 0;
  // One raw audio sector of 2352 bytes.
  virtual DWORD ReadAudioSector(LONGLONG lba, BYTE* sector) = 0;
};

// Over a descriptor of a CD block device, which stays the caller's.
std::unique_ptr<CdDevice> OpenLinuxCdDevice(int fd);

// A cue sheet and the files it names:
//   FILE "disc.bin" BINARY          raw 2352-byte sectors, one FILE only
//   TRACK nn AUDIO|MODE1/2352|MODE2/2352
//   INDEX 01 mm:ss:ff               the track's first sector in that file
//   CDTEXTFILE "disc.cdt"           CD-TEXT packs, bare or behind their
//                                   4-byte header (then given as they are)
// Other keywords are skipped. Names are relative to the sheet's folder. The
// lead-out follows the last whole sector of the BINARY file. The table of
// contents is given as the sheet says, in its order, so a damaged sheet
// makes a damaged disc. A sheet that cannot be read or parsed fails with
// ERROR_BAD_FORMAT (or the file error).
std::unique_ptr<CdDevice> OpenCdImage(const std::string& cuePath, DWORD* error);

// A drive target that names a cue sheet (".cue", any case).
bool IsCdImageName(const std::string& path);

namespace win32_detail {
// The CD back-end of a file handle, or null.
CdDevice* CdDeviceOf(HANDLE h);
}  // namespace win32_detail
