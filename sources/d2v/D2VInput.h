// The input of the D2V engine: the project's MPEG files read one after the
// other as one stream (a read that ends in one file goes on at the start of
// the next), with the video payload taken out of program-stream packets,
// and cut at start codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CD2VInput {
 public:
  CD2VInput() = default;
  ~CD2VInput();
  CD2VInput(const CD2VInput&) = delete;
  CD2VInput& operator=(const CD2VInput&) = delete;

  // Opens every file read-only; false (with the reason) when one cannot be.
  bool Open(const std::vector<std::string>& paths, std::string& error);
  // Program streams give their video from MPEG-2 PES packets of stream
  // 0xE0; other streams are the video itself.
  void SetProgramStream(bool programStream) { m_programStream = programStream; }
  size_t FileCount() const { return m_files.size(); }

  // Goes to byte `offset` of file `file` and forgets what was read ahead.
  void Seek(size_t file, uint64_t offset);

  // The code byte of the next start code (0x000001xx); the bytes after it
  // follow. False at the end of the last file.
  bool NextStartCode(uint8_t& code);
  // The bytes from here to the next start code prefix, or to the end of the
  // data; valid until the next call. A unit longer than kMaxUnit is cut
  // there (the next start code search passes over the rest).
  void Unit(const uint8_t*& data, size_t& size);

  // Video bytes consumed since the last Seek: bounds searches.
  uint64_t Consumed() const { return m_consumed + m_esPos; }

  static constexpr size_t kMaxUnit = size_t{8} << 20;

 private:
  static constexpr size_t kReadSize = 2048 * 32;

  // Raw file bytes into dst, going on at the start of the next file when
  // one ends; 0 only at the end of the last file.
  size_t ReadRaw(uint8_t* dst, size_t n);
  int RawByte();
  void RawSkip(size_t n);
  bool RefillRaw();
  // Appends video bytes to the buffer; false at the end of the data.
  bool FillEs();
  // Appends the next piece of PES payload of stream 0xE0.
  bool DemuxSome(size_t room);

  std::vector<int> m_files;
  size_t m_current = 0;
  bool m_programStream = false;
  bool m_end = false;

  // Raw bytes of a program stream.
  std::vector<uint8_t> m_raw;
  size_t m_rawPos = 0, m_rawEnd = 0;
  uint64_t m_payloadLeft = 0;

  // Video bytes: [m_esPos, m_esEnd) of m_es are not consumed yet.
  std::vector<uint8_t> m_es;
  size_t m_esPos = 0, m_esEnd = 0;
  uint64_t m_consumed = 0;
};
