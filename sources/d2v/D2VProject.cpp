#include "sources/d2v/D2VProject.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A number at `pos` as a formatted scan reads it: white space, then a
// signed decimal or an unsigned hexadecimal value that fits 32 bits.
bool ScanNumber(std::string_view s, size_t& pos, bool hex, int64_t& value) {
  size_t p = pos;
  while (p < s.size() && IsSpace(s[p])) ++p;
  bool negative = false;
  if (p < s.size() && (s[p] == '+' || (!hex && s[p] == '-'))) negative = s[p++] == '-';
  if (hex && p + 1 < s.size() && s[p] == '0' && (s[p + 1] == 'x' || s[p + 1] == 'X') &&
      p + 2 < s.size() && HexDigit(s[p + 2]) >= 0)
    p += 2;
  const int base = hex ? 16 : 10;
  const int64_t limit = hex ? int64_t{std::numeric_limits<uint32_t>::max()}
                            : int64_t{std::numeric_limits<int32_t>::max()} + (negative ? 1 : 0);
  int64_t v = 0;
  size_t digits = 0;
  for (; p < s.size(); ++p, ++digits) {
    const int d = hex ? HexDigit(s[p]) : (std::isdigit(static_cast<unsigned char>(s[p])) ? s[p] - '0' : -1);
    if (d < 0) break;
    v = v * base + d;
    if (v > limit) return false;
  }
  if (!digits) return false;
  value = negative ? -v : v;
  pos = p;
  return true;
}

// A reading position in the project text.
class CProjectText {
 public:
  explicit CProjectText(std::string_view text) : m_text(text) {}

  bool Number(bool hex, int64_t& value) { return ScanNumber(m_text, m_pos, hex, value); }

  void SkipSpace() {
    while (m_pos < m_text.size() && IsSpace(m_text[m_pos])) ++m_pos;
  }

  // Up to `n` characters to the end of the line; false when the line ends
  // (or the text does) before `n` characters.
  bool Exactly(size_t n, std::string& out) {
    const size_t end = std::min(m_text.size(), m_pos + n);
    const size_t nl = m_text.find('\n', m_pos);
    if (end - m_pos < n || (nl != std::string_view::npos && nl < end)) return false;
    out.assign(m_text.substr(m_pos, n));
    m_pos = end;
    return true;
  }

  // The next line that is not blank, read in pieces of at most 255
  // characters as a line reader with a 256-byte buffer would; leading white
  // space is dropped.
  bool KeyLine(std::string_view& line) {
    while (m_pos < m_text.size()) {
      size_t n = std::min<size_t>(255, m_text.size() - m_pos);
      const size_t nl = m_text.find('\n', m_pos);
      if (nl != std::string_view::npos && nl - m_pos + 1 < n) n = nl - m_pos + 1;
      std::string_view piece = m_text.substr(m_pos, n);
      m_pos += n;
      size_t lead = 0;
      while (lead < piece.size() && IsSpace(piece[lead])) ++lead;
      if (lead < piece.size()) {
        line = piece.substr(lead);
        return true;
      }
    }
    return false;
  }

 private:
  std::string_view m_text;
  size_t m_pos = 0;
};

}  // namespace

int ScanD2VLine(std::string_view line, std::string_view format, int64_t* values, int maxValues) {
  size_t p = 0;
  int count = 0;
  for (size_t f = 0; f < format.size(); ++f) {
    const char c = format[f];
    if (IsSpace(c)) {
      while (p < line.size() && IsSpace(line[p])) ++p;
    } else if (c == '%' && f + 1 < format.size() && (format[f + 1] == 'd' || format[f + 1] == 'X')) {
      int64_t v = 0;
      if (count >= maxValues || !ScanNumber(line, p, format[f + 1] == 'X', v)) return count;
      values[count++] = v;
      ++f;
    } else {
      if (p >= line.size() || line[p] != c) return count;
      ++p;
    }
  }
  return count;
}

std::vector<D2VFrameEntry> BuildD2VFrames(int fieldOperation, const std::vector<uint8_t>& flags) {
  std::vector<D2VFrameEntry> frames;
  auto whole = [&frames](uint32_t p) { frames.push_back({p, p, 0, 0}); };

  if (fieldOperation == 1) {
    // Force film: counts of pictures without (n) and with (r) a repeated
    // field find the pull-down cadence; a picture whose fields were all
    // repeated elsewhere gives no frame, and one that carries a whole extra
    // frame's worth of fields gives two.
    int n = 0, r = 0, limit = 3;
    for (uint32_t p = 0; p < flags.size(); ++p) {
      if (flags[p] & 1)
        ++r;
      else
        ++n;
      if (n - r == limit) {
        n = r = 0;
        limit = 5;
      } else {
        whole(p);
      }
      if (r - n == limit) {
        n = r = 0;
        limit = 5;
        whole(p);
      }
    }
    return frames;
  }

  // Field pairing in stream order. A pending frame has only one of its
  // fields; `pendingTop` says which.
  enum { kNone, kTop, kBottom } pending = kNone;
  D2VFrameEntry open{0, 0, 0, 0};
  for (uint32_t p = 0; p < flags.size(); ++p) {
    const bool wasPending = pending != kNone;
    if (pending == kNone) {
      whole(p);
    } else if (pending == kTop) {
      open.bottom = p;
      frames.push_back(open);
      open = {p, 0, 0, 0};
    } else {
      open.top = p;
      frames.push_back(open);
      open = {0, p, 0, 0};
    }
    if (flags[p] & 1) {
      bool hasTop = pending == kTop, hasBottom = pending == kBottom;
      if (!wasPending) open = {0, 0, 0, 0};
      if (!(flags[p] & 2)) {
        open.bottom = p;
        hasBottom = true;
      } else {
        open.top = p;
        hasTop = true;
      }
      if (hasTop && hasBottom) {
        frames.push_back(open);
        pending = kNone;
      } else {
        pending = hasTop ? kTop : kBottom;
      }
    }
  }

  if (fieldOperation == 2 && !flags.empty() && frames.size() > 1) {
    // Swapping the field order pairs each frame's second field with the
    // next frame's first.
    const bool tff = !(flags[0] & 2);
    for (size_t i = 0; i + 1 < frames.size(); ++i) {
      if (!tff)
        frames[i].top = frames[i + 1].top;
      else
        frames[i].bottom = frames[i + 1].bottom;
    }
  }
  return frames;
}

void TrimD2VFrames(std::vector<D2VFrameEntry>& frames, uint32_t pictures, int fieldOperation) {
  // The last pictures of the index may lack what follows them in the
  // stream (the anchor that releases them in display order).
  const uint32_t limit = pictures >= 2 ? pictures - 2 : 0;
  while (!frames.empty()) {
    const D2VFrameEntry& f = frames.back();
    const bool late = fieldOperation == 1 ? f.top >= limit : (f.top >= limit || f.bottom >= limit);
    if (!late) break;
    frames.pop_back();
  }
}

void MarkD2VFrames(std::vector<D2VFrameEntry>& frames, int fieldOperation) {
  if (fieldOperation == 1) return;
  for (size_t i = 0; i + 1 < frames.size(); ++i) {
    const D2VFrameEntry& a = frames[i];
    const D2VFrameEntry& b = frames[i + 1];
    if (a.top == b.top || a.top == b.bottom || a.bottom == b.top || a.bottom == b.bottom) {
      frames[i].nextShares = 1;
      frames[i + 1].prevShares = 1;
    }
  }
}

bool D2VProject::Parse(std::string_view text, std::string& error) {
  auto fail = [&error](std::string why) {
    error = std::move(why);
    return false;
  };
  if (text.substr(0, 18) != "DVD2AVIProjectFile") return fail("not a DVD2AVI project file");
  CProjectText in(text.substr(18));

  int64_t count = 0;
  if (!in.Number(false, count)) return fail("the file count is missing");
  if (count < 1 || count > static_cast<int64_t>(kMaxFiles))
    return fail("the project lists " + std::to_string(count) + " files (1 to 256 are read)");
  files.clear();
  for (int64_t i = 0; i < count; ++i) {
    int64_t length = 0;
    if (!in.Number(false, length)) return fail("the length of file name " + std::to_string(i + 1) + " is missing");
    if (length < 1 || length > static_cast<int64_t>(kMaxPath))
      return fail("file name " + std::to_string(i + 1) + " is " + std::to_string(length) +
                  " characters long (at most 259)");
    in.SkipSpace();
    std::string path;
    if (!in.Exactly(static_cast<size_t>(length), path))
      return fail("file name " + std::to_string(i + 1) + " is shorter than its length");
    files.push_back(std::move(path));
  }

  int64_t v[6] = {};
  std::string_view line;
  auto key = [&](std::string_view format, int n, std::string_view name) {
    if (!in.KeyLine(line) || ScanD2VLine(line, format, v, 6) != n) {
      error = "the " + std::string(name) + " line is missing or incomplete";
      return false;
    }
    return true;
  };

  if (!key("\nStream_Type=%d,%X,%X\n", 3, "Stream_Type")) return false;
  streamType = static_cast<int>(v[0]);
  streamTypeValues[0] = static_cast<uint32_t>(v[1]);
  streamTypeValues[1] = static_cast<uint32_t>(v[2]);

  if (!key("iDCT_Algorithm=%d\n", 1, "iDCT_Algorithm")) return false;
  if (v[0] < 1 || v[0] > 4) return fail("iDCT_Algorithm " + std::to_string(v[0]) + " is not 1 to 4");
  idct = static_cast<int>(v[0]);

  if (!key("YUVRGB_Scale=%d\n", 1, "YUVRGB_Scale")) return false;
  yuvRgbScale = static_cast<int>(v[0]);

  if (!in.KeyLine(line)) return fail("the Luminance line is missing");
  if (ScanD2VLine(line, "Luminance=%d,%d\n", v, 6) == 2) {
    // The filter's arithmetic is kept within 32 bits by bounding both.
    lumGain = static_cast<int>(std::clamp<int64_t>(v[0], -65536, 65536));
    lumOffset = static_cast<int>(std::clamp<int64_t>(v[1], -65536, 65536));
    lumFilter = !(v[0] == 128 && v[1] == 0);
  } else if (ScanD2VLine(line, "Luminance_Filter=%d,%d\n", v, 6) == 2) {
    lumFilter = false;
    lumGain = 128;
    lumOffset = 0;
  } else {
    return fail("the Luminance line is missing or incomplete");
  }

  if (!key("Picture_Size=%d,%d,%d,%d,%d,%d\n", 6, "Picture_Size")) return false;
  if (v[0] < 0 || v[1] < 0 || v[2] < 0 || v[3] < 0) return fail("a clipping value of Picture_Size is negative");
  clipTop = static_cast<int>(v[0]);
  clipBottom = static_cast<int>(v[1]);
  clipLeft = static_cast<int>(v[2]);
  clipRight = static_cast<int>(v[3]);
  resize[0] = static_cast<int>(v[4]);
  resize[1] = static_cast<int>(v[5]);

  if (!key("Field_Operation=%d\n", 1, "Field_Operation")) return false;
  if (v[0] < 0 || v[0] > 2) return fail("Field_Operation " + std::to_string(v[0]) + " is not 0 to 2");
  fieldOperation = static_cast<int>(v[0]);

  if (!key("Frame_Rate=%d\n", 1, "Frame_Rate")) return false;
  if (v[0] <= 0) return fail("Frame_Rate " + std::to_string(v[0]) + " is not a rate");
  frameRate = static_cast<int>(v[0]);

  if (!key("Location=%d,%X,%d,%X\n", 4, "Location")) return false;
  for (int i = 0; i < 4; ++i) location[i] = static_cast<int>(v[i]);

  // The index: a malformed value or the end of the text ends it.
  gops.clear();
  std::vector<uint8_t> flags;
  for (int64_t value = 0; in.Number(false, value) && value >= 0 && value <= 8;) {
    if (value == 7) {
      int64_t file = 0, sector = 0;
      if (!in.Number(false, file) || !in.Number(true, sector)) break;
      if (file < 0 || file >= count)
        return fail("a GOP names file " + std::to_string(file) + " of " + std::to_string(count));
      if (gops.size() >= kMaxGops) return fail("the index holds more than 1,000,000 GOPs");
      gops.push_back({static_cast<uint32_t>(flags.size()), static_cast<uint32_t>(file),
                      static_cast<uint64_t>(sector) * 2048});
      continue;
    }
    if (flags.size() >= kMaxPictures) return fail("the index holds more than 4,000,000 pictures");
    flags.push_back(static_cast<uint8_t>(value));
  }
  if (gops.empty()) return fail("the index holds no GOP");
  if (gops.front().firstPicture != 0) return fail("the index lists pictures before its first GOP");
  pictures = static_cast<uint32_t>(flags.size());
  for (size_t i = 0; i < gops.size(); ++i) {
    const uint32_t end = i + 1 < gops.size() ? gops[i + 1].firstPicture : pictures;
    if (end - gops[i].firstPicture > kMaxGopPictures)
      return fail("GOP " + std::to_string(i) + " holds " + std::to_string(end - gops[i].firstPicture) +
                  " pictures (at most 1023)");
  }

  topFieldFirst = !flags.empty() && (flags[0] & 2);
  if (fieldOperation == 2) topFieldFirst = !topFieldFirst;
  frames = BuildD2VFrames(fieldOperation, flags);
  if (frames.size() > kMaxFrames) return fail("the index gives more than 1,000,000 frames");
  TrimD2VFrames(frames, pictures, fieldOperation);
  MarkD2VFrames(frames, fieldOperation);
  allProgressive = std::all_of(frames.begin(), frames.end(),
                               [](const D2VFrameEntry& f) { return f.top == f.bottom; });
  return true;
}

D2VFrameLocation D2VProject::Locate(uint32_t frame) const {
  D2VFrameLocation loc{};
  const D2VFrameEntry& f = frames[frame];
  if (fieldOperation == 1 || f.top == f.bottom) {
    loc.target = f.top;
    loc.mode = D2VFrameMode::Whole;
  } else {
    loc.target = std::min(f.top, f.bottom);
    loc.mode = f.top < f.bottom ? D2VFrameMode::TopFromLower : D2VFrameMode::BottomFromLower;
  }
  // The last GOP whose first picture is at or before the target.
  auto it = std::upper_bound(gops.begin(), gops.end(), loc.target,
                             [](uint32_t t, const D2VGopEntry& g) { return t < g.firstPicture; });
  loc.gop = it == gops.begin() ? 0 : static_cast<size_t>(it - gops.begin()) - 1;
  const uint32_t first = gops[loc.gop].firstPicture;
  const uint32_t end = loc.gop + 1 < gops.size() ? gops[loc.gop + 1].firstPicture : pictures;
  loc.gopPictures = end - first + 1;
  loc.position = loc.target - first + (loc.mode == D2VFrameMode::Whole ? 0 : 1);
  return loc;
}
