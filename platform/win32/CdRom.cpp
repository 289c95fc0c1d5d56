#include "platform/win32/CdRom.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/cdrom.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

void PutMsf(TRACK_DATA& t, LONGLONG lba) {
  const LONGLONG f = lba + 150;  // addresses count the 2 s lead-in gap
  t.Address[0] = 0;
  t.Address[1] = static_cast<UCHAR>(f / (60 * 75));
  t.Address[2] = static_cast<UCHAR>(f / 75 % 60);
  t.Address[3] = static_cast<UCHAR>(f % 75);
}

void PutLength(UCHAR* field, size_t value) {
  field[0] = static_cast<UCHAR>(value >> 8);
  field[1] = static_cast<UCHAR>(value);
}

// ---------------------------------------------------------------------------
// Linux back-end

class LinuxCdDevice final : public CdDevice {
 public:
  explicit LinuxCdDevice(int fd) : m_fd(fd) {}

  DWORD ReadToc(CDROM_TOC* toc) override {
    std::memset(toc, 0, sizeof *toc);
    cdrom_tochdr header{};
    if (::ioctl(m_fd, CDROMREADTOCHDR, &header) != 0) return Error();
    if (header.cdth_trk0 < 1 || header.cdth_trk1 < header.cdth_trk0 || header.cdth_trk1 > 99)
      return ERROR_BAD_FORMAT;
    toc->FirstTrack = header.cdth_trk0;
    toc->LastTrack = header.cdth_trk1;
    int n = 0;
    for (int track = header.cdth_trk0; track <= header.cdth_trk1 + 1; ++track, ++n) {
      cdrom_tocentry entry{};
      entry.cdte_track = static_cast<__u8>(track > header.cdth_trk1 ? CDROM_LEADOUT : track);
      entry.cdte_format = CDROM_MSF;
      if (::ioctl(m_fd, CDROMREADTOCENTRY, &entry) != 0) return Error();
      TRACK_DATA& t = toc->TrackData[n];
      t.Control = entry.cdte_ctrl & 0xF;
      t.Adr = entry.cdte_adr & 0xF;
      t.TrackNumber = entry.cdte_track;
      t.Address[1] = entry.cdte_addr.msf.minute;
      t.Address[2] = entry.cdte_addr.msf.second;
      t.Address[3] = entry.cdte_addr.msf.frame;
    }
    PutLength(toc->Length, 2 + 8 * static_cast<size_t>(n));
    return NO_ERROR;
  }

  DWORD ReadCdText(std::vector<BYTE>* answer) override {
    answer->clear();
    BYTE header[4] = {};
    if (DWORD err = ReadTocFormat5(header, sizeof header, nullptr); err != NO_ERROR) return err;
    const size_t total = (static_cast<size_t>(header[0]) << 8 | header[1]) + 2;
    if (total <= 4) return NO_ERROR;  // no CD-TEXT
    answer->resize(total);
    size_t got = 0;
    if (DWORD err = ReadTocFormat5(answer->data(), static_cast<unsigned>(total), &got); err != NO_ERROR) {
      answer->clear();
      return err;
    }
    answer->resize(got);
    return NO_ERROR;
  }

  DWORD ReadAudioSector(LONGLONG lba, BYTE* sector) override {
    if (lba < 0 || lba > 0x7FFFFFFF) return ERROR_SECTOR_NOT_FOUND;
    cdrom_read_audio request{};
    request.addr.lba = static_cast<int>(lba);
    request.addr_format = CDROM_LBA;
    request.nframes = 1;
    request.buf = sector;
    if (::ioctl(m_fd, CDROMREADAUDIO, &request) != 0) return Error();
    return NO_ERROR;
  }

 private:
  static DWORD Error() {
    switch (errno) {
      case EACCES:
      case EPERM: return ERROR_ACCESS_DENIED;
      case ENOMEDIUM:
      case EBUSY: return ERROR_NOT_READY;
      case ENOTTY:
      case EINVAL: return ERROR_INVALID_FUNCTION;
      default: return ERROR_READ_FAULT;
    }
  }

  // READ TOC/PMA/ATIP with format 5 (CD-TEXT) through SCSI pass-through.
  DWORD ReadTocFormat5(BYTE* buffer, unsigned length, size_t* got) {
    unsigned char cdb[10] = {0x43, 0, 5, 0, 0, 0, 0, static_cast<unsigned char>(length >> 8),
                             static_cast<unsigned char>(length), 0};
    unsigned char sense[32] = {};
    sg_io_hdr_t io{};
    io.interface_id = 'S';
    io.dxfer_direction = SG_DXFER_FROM_DEV;
    io.cmd_len = sizeof cdb;
    io.cmdp = cdb;
    io.dxfer_len = length;
    io.dxferp = buffer;
    io.mx_sb_len = sizeof sense;
    io.sbp = sense;
    io.timeout = 10000;
    if (::ioctl(m_fd, SG_IO, &io) != 0) return Error();
    if (io.status != 0 || io.host_status != 0 || (io.driver_status & ~0x08) != 0) return ERROR_READ_FAULT;
    if (got) *got = length - static_cast<unsigned>(std::max(io.resid, 0));
    return NO_ERROR;
  }

  int m_fd;
};

// ---------------------------------------------------------------------------
// Disc-image back-end

class CdImage final : public CdDevice {
 public:
  ~CdImage() override {
    if (m_bin >= 0) ::close(m_bin);
  }

  DWORD Open(const std::string& cuePath) {
    std::ifstream cue(cuePath, std::ios::binary);
    if (!cue) return ERROR_FILE_NOT_FOUND;
    std::string text((std::istreambuf_iterator<char>(cue)), std::istreambuf_iterator<char>());
    if (text.size() > kMaxSheet) return ERROR_BAD_FORMAT;
    const size_t slash = cuePath.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string() : cuePath.substr(0, slash + 1);

    std::istringstream lines(text);
    std::string line, binName, textName;
    bool indexed = true;
    while (std::getline(lines, line)) {
      std::istringstream words(line);
      std::string keyword;
      if (!(words >> keyword)) continue;
      for (char& c : keyword) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (keyword == "FILE") {
        std::string type;
        if (!binName.empty() || !ReadName(words, binName) || !(words >> type) || Upper(type) != "BINARY")
          return ERROR_BAD_FORMAT;
      } else if (keyword == "CDTEXTFILE") {
        if (!ReadName(words, textName)) return ERROR_BAD_FORMAT;
      } else if (keyword == "TRACK") {
        int number = 0;
        std::string type;
        if (binName.empty() || !indexed || !(words >> number >> type) || number < 1 || number > 99 ||
            m_tracks.size() >= 99)
          return ERROR_BAD_FORMAT;
        type = Upper(type);
        if (type != "AUDIO" && type != "MODE1/2352" && type != "MODE2/2352") return ERROR_BAD_FORMAT;
        m_tracks.push_back(Track{number, type == "AUDIO" ? UCHAR(0) : UCHAR(4), 0});
        indexed = false;
      } else if (keyword == "INDEX") {
        int number = -1;
        std::string msf;
        if (m_tracks.empty() || !(words >> number >> msf)) return ERROR_BAD_FORMAT;
        LONGLONG lba = 0;
        if (!ParseMsf(msf, &lba)) return ERROR_BAD_FORMAT;
        if (number == 1) {
          m_tracks.back().lba = lba;
          indexed = true;
        }
      }
    }
    if (m_tracks.empty() || !indexed) return ERROR_BAD_FORMAT;

    m_bin = ::open((folder + binName).c_str(), O_RDONLY | O_CLOEXEC);
    if (m_bin < 0) return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    struct stat st {};
    if (::fstat(m_bin, &st) != 0) return ERROR_READ_FAULT;
    m_sectors = st.st_size / CD_RAW_SECTOR_SIZE;

    if (!textName.empty()) {
      std::ifstream packs(folder + textName, std::ios::binary);
      if (!packs) return ERROR_FILE_NOT_FOUND;
      m_cdText.assign(std::istreambuf_iterator<char>(packs), std::istreambuf_iterator<char>());
      if (m_cdText.size() > kMaxCdText) return ERROR_BAD_FORMAT;
      if (!m_cdText.empty() && m_cdText.size() % 18 == 0) {
        // Bare packs: put the header a drive gives in front of them.
        const size_t length = m_cdText.size() + 2;
        m_cdText.insert(m_cdText.begin(), {BYTE(length >> 8), BYTE(length), 0, 0});
      }
    }
    return NO_ERROR;
  }

  DWORD ReadToc(CDROM_TOC* toc) override {
    std::memset(toc, 0, sizeof *toc);
    toc->FirstTrack = static_cast<UCHAR>(m_tracks.front().number);
    toc->LastTrack = static_cast<UCHAR>(m_tracks.back().number);
    size_t n = 0;
    for (const Track& t : m_tracks) {
      TRACK_DATA& e = toc->TrackData[n++];
      e.Control = t.control;
      e.Adr = 1;
      e.TrackNumber = static_cast<UCHAR>(t.number);
      PutMsf(e, t.lba);
    }
    TRACK_DATA& leadOut = toc->TrackData[n++];
    leadOut.Adr = 1;
    leadOut.TrackNumber = CDROM_LEADOUT_TRACK;
    PutMsf(leadOut, std::min<LONGLONG>(m_sectors, kMaxLba));
    PutLength(toc->Length, 2 + 8 * n);
    return NO_ERROR;
  }

  DWORD ReadCdText(std::vector<BYTE>* answer) override {
    *answer = m_cdText;
    return NO_ERROR;
  }

  DWORD ReadAudioSector(LONGLONG lba, BYTE* sector) override {
    if (lba < 0 || lba >= m_sectors) return ERROR_SECTOR_NOT_FOUND;
    size_t done = 0;
    while (done < CD_RAW_SECTOR_SIZE) {
      const ssize_t n = ::pread(m_bin, sector + done, CD_RAW_SECTOR_SIZE - done,
                                static_cast<off_t>(lba * CD_RAW_SECTOR_SIZE + static_cast<LONGLONG>(done)));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return ERROR_READ_FAULT;
      done += static_cast<size_t>(n);
    }
    return NO_ERROR;
  }

 private:
  struct Track {
    int number;
    UCHAR control;
    LONGLONG lba;
  };
  static constexpr size_t kMaxSheet = 64 * 1024;
  static constexpr size_t kMaxCdText = 0x10000 + 4;
  // The last address that minutes of one byte can give.
  static constexpr LONGLONG kMaxLba = 255LL * 60 * 75 + 59 * 75 + 74 - 150;

  static std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  }

  // A file name, in double quotes when it holds blanks. It may lead out of
  // the sheet's folder: the sheet is the user's own file.
  static bool ReadName(std::istringstream& words, std::string& name) {
    words >> std::ws;
    if (words.peek() == '"') {
      words.get();
      if (!std::getline(words, name, '"')) return false;
    } else if (!(words >> name)) {
      return false;
    }
    return !name.empty();
  }

  static bool ParseMsf(const std::string& text, LONGLONG* lba) {
    unsigned m = 0, s = 0, f = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u:%u:%u%c", &m, &s, &f, &tail) != 3 || m > 255 || s > 59 || f > 74)
      return false;
    *lba = (static_cast<LONGLONG>(m) * 60 + s) * 75 + f;
    return *lba <= kMaxLba;
  }

  std::vector<Track> m_tracks;
  std::vector<BYTE> m_cdText;
  int m_bin = -1;
  LONGLONG m_sectors = 0;
};

}  // namespace

std::unique_ptr<CdDevice> OpenLinuxCdDevice(int fd) { return std::make_unique<LinuxCdDevice>(fd); }

std::unique_ptr<CdDevice> OpenCdImage(const std::string& cuePath, DWORD* error) {
  auto image = std::make_unique<CdImage>();
  const DWORD err = image->Open(cuePath);
  if (error) *error = err;
  if (err != NO_ERROR) return nullptr;
  return image;
}

bool IsCdImageName(const std::string& path) {
  if (path.size() < 4) return false;
  std::string ext = path.substr(path.size() - 4);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".cue";
}

BOOL DeviceIoControl(HANDLE device, DWORD controlCode, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                     DWORD outSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
  if (bytesReturned) *bytesReturned = 0;
  auto fail = [](DWORD err) {
    SetLastError(err);
    return FALSE;
  };
  if (!KernelObject::FromHandle(device)) return fail(ERROR_INVALID_HANDLE);
  CdDevice* cd = win32_detail::CdDeviceOf(device);
  if (!cd || overlapped) return fail(ERROR_INVALID_FUNCTION);
  if (!bytesReturned) return fail(ERROR_INVALID_PARAMETER);
  auto* out = static_cast<BYTE*>(outBuffer);

  switch (controlCode) {
    case IOCTL_CDROM_READ_TOC: {
      if (!out || outSize < 4) return fail(ERROR_INSUFFICIENT_BUFFER);
      CDROM_TOC toc;
      if (DWORD err = cd->ReadToc(&toc); err != NO_ERROR) return fail(err);
      const DWORD size =
          std::min<DWORD>({outSize, static_cast<DWORD>(sizeof toc), (DWORD(toc.Length[0]) << 8 | toc.Length[1]) + 2});
      std::memcpy(out, &toc, size);
      *bytesReturned = size;
      return TRUE;
    }
    case IOCTL_CDROM_READ_TOC_EX: {
      if (!inBuffer || inSize < sizeof(CDROM_READ_TOC_EX)) return fail(ERROR_INVALID_PARAMETER);
      CDROM_READ_TOC_EX request;
      std::memcpy(&request, inBuffer, sizeof request);
      if (request.Format != CDROM_READ_TOC_EX_FORMAT_CDTEXT) return fail(ERROR_INVALID_PARAMETER);
      if (!out || outSize < 4) return fail(ERROR_INSUFFICIENT_BUFFER);
      std::vector<BYTE> answer;
      if (DWORD err = cd->ReadCdText(&answer); err != NO_ERROR) return fail(err);
      if (answer.size() < 4) answer.assign({0, 2, 0, 0});  // a disc without CD-TEXT
      const DWORD size = std::min<DWORD>(outSize, static_cast<DWORD>(answer.size()));
      std::memcpy(out, answer.data(), size);
      *bytesReturned = size;
      return TRUE;
    }
    case IOCTL_CDROM_RAW_READ: {
      if (!inBuffer || inSize < sizeof(RAW_READ_INFO)) return fail(ERROR_INVALID_PARAMETER);
      RAW_READ_INFO info;
      std::memcpy(&info, inBuffer, sizeof info);
      if (info.TrackMode != CDDA || info.DiskOffset.QuadPart < 0 || info.DiskOffset.QuadPart % 2048 ||
          info.SectorCount == 0)
        return fail(ERROR_INVALID_PARAMETER);
      if (!out || outSize / CD_RAW_SECTOR_SIZE < info.SectorCount) return fail(ERROR_INSUFFICIENT_BUFFER);
      const LONGLONG first = info.DiskOffset.QuadPart / 2048;
      for (ULONG i = 0; i < info.SectorCount; ++i) {
        if (DWORD err = cd->ReadAudioSector(first + i, out + size_t(i) * CD_RAW_SECTOR_SIZE); err != NO_ERROR)
          return fail(err);
      }
      *bytesReturned = info.SectorCount * CD_RAW_SECTOR_SIZE;
      return TRUE;
    }
    default: return fail(ERROR_INVALID_FUNCTION);
  }
}
