#include "mp4/MP4TimedText.h"

#include <algorithm>
#include <cstdio>
#include <strings.h>
#include <vector>

#include "platform/win32/CodePage.h"

namespace {

template <class... Args>
std::string Format(const char* format, Args... args) {
  char text[256];
  const int n = std::snprintf(text, sizeof(text), format, args...);
  return std::string(text, n > 0 ? std::min<size_t>(static_cast<size_t>(n), sizeof(text) - 1) : 0);
}

// "{\\%dc&...}" colour overrides: blue, green, red, then 255 - alpha.
std::string Colour(int which, DWORD rgba) {
  return Format("{\\%dc%02x%02x%02x\\%da%02x}", which, (rgba >> 8) & 0xFF, (rgba >> 16) & 0xFF, rgba >> 24, which,
                255 - (rgba & 0xFF));
}

std::string Face(int flags) { return Format("{\\b%d\\i%d\\u%d}", flags & 1, (flags >> 1) & 1, (flags >> 2) & 1); }

std::string Size(int size) { return Format("{\\fs%d}", size); }

struct Character {
  wchar_t c;
  std::string prefix, suffix;
};

// Reads the big-endian fields of one modifier box without passing its end.
struct BoxReader {
  const BYTE* p;
  size_t left;
  bool Has(size_t n) const { return left >= n; }
  DWORD U32() {
    const DWORD v = (DWORD(p[0]) << 24) | (DWORD(p[1]) << 16) | (DWORD(p[2]) << 8) | p[3];
    p += 4;
    left -= 4;
    return v;
  }
  WORD U16() {
    const WORD v = static_cast<WORD>((p[0] << 8) | p[1]);
    p += 2;
    left -= 2;
    return v;
  }
  BYTE U8() {
    left -= 1;
    return *p++;
  }
};

}  // namespace

MP4TimedTextLine ConvertTimedText(const MP4TimedTextSample& s) {
  const auto& d = s.entry;
  std::vector<Character> chars(s.text.size());
  for (size_t i = 0; i < s.text.size(); i++) chars[i].c = s.text[i];
  const int length = static_cast<int>(chars.size());
  // An override at the start character, its reset after the last one;
  // ranges are clamped to the text and used only when not empty.
  auto mark = [&](int start, int end, const std::string& on, const std::string& off) {
    start = std::clamp(start, 0, length);
    end = std::clamp(end, 0, length);
    if (start >= end) return;
    chars[static_cast<size_t>(start)].prefix += on;
    chars[static_cast<size_t>(end - 1)].suffix += off;
  };

  // 1. Alignment: left, centre, right by the horizontal justification;
  // top, middle, bottom by the vertical one (signed).
  const int h = static_cast<signed char>(d.horizontal_justification);
  const int v = static_cast<signed char>(d.vertical_justification);
  const int column = h == 0 ? 1 : h > 0 ? 2 : 3;
  const int row_base = v == 0 ? 7 : v > 0 ? 4 : 1;
  const std::string align = Format("{\\an%d}", row_base + column - 1);

  // 2. Font.
  std::string font = s.font;
  if (strcasecmp(font.c_str(), "serif") == 0) {
    font = "Times New Roman";
  } else if (strcasecmp(font.c_str(), "sans-serif") == 0) {
    font = "Arial";
  } else if (strcasecmp(font.c_str(), "monospace") == 0) {
    font = "Courier New";
  }

  // 3. Default style.
  const std::string colour = Colour(1, d.style.text_color_rgba);
  const std::string secondary = Colour(2, d.style.text_color_rgba);
  const std::string size = Size(d.style.font_size);
  const std::string face = Face(d.style.face_style_flags);
  std::string line = face + size + colour + "{\\fn" + font + "}" + align + secondary;

  // 4. Modifier boxes.
  DWORD highlight = d.background_color_rgba;
  RECT box{d.text_box.left, d.text_box.top, d.text_box.right, d.text_box.bottom};
  const bool continuous_karaoke = (d.display_flags & 0x800) != 0;
  const BYTE* p = s.boxes;
  size_t left = s.boxes ? s.boxes_size : 0;
  while (left > 8) {
    BoxReader head{p, left};
    const DWORD box_size = head.U32();
    const DWORD type = head.U32();
    // A size that cannot be a box, or runs past the sample, ends the walk.
    if (box_size < 8 || box_size > left) break;
    BoxReader in{p + 8, box_size - 8};
    p += box_size;
    left -= box_size;
    switch (type) {
      case 0x7374796C: {  // styl
        if (!in.Has(2)) break;
        const int count = in.U16();
        for (int i = 0; i < count && in.Has(12); i++) {
          const int start = in.U16(), end = in.U16();
          in.U16();  // font id
          const int flags = in.U8(), font_size = in.U8();
          const DWORD rgba = in.U32();
          mark(start, end, Colour(1, rgba) + Size(font_size) + Face(flags), colour + size + face);
        }
        break;
      }
      case 0x68636C72:  // hclr
        if (in.Has(4)) highlight = in.U32();
        break;
      case 0x686C6974:  // hlit
        if (in.Has(4)) {
          const int start = in.U16(), end = in.U16();
          mark(start, end, Colour(3, highlight) + "{\\bord0.1}", colour + "{\\bord}");
        }
        break;
      case 0x626C6E6B:  // blnk
        if (in.Has(4)) {
          const int start = in.U16(), end = in.U16();
          std::string on;
          int alpha = 255;
          for (int t = 0; t < s.duration_ms; t += 750, alpha = 255 - alpha)
            on += Format("{\\t(%d, %d, \\alpha&H%02x&)}", t, t + 750, alpha);
          mark(start, end, on, "{\\alpha}");
        }
        break;
      case 0x74626F78:  // tbox
        if (in.Has(8)) {
          box.top = in.U16();
          box.left = in.U16();
          box.bottom = in.U16();
          box.right = in.U16();
        }
        break;
      case 0x6B726F6B:  // krok
        if (!continuous_karaoke && in.Has(6)) {
          DWORD start_time = in.U32();
          const int count = in.U16();
          for (int i = 0; i < count && in.Has(8); i++) {
            const DWORD end_time = in.U32();
            const int start = in.U16(), end = in.U16();
            const long long from = start_time, to = end_time;
            mark(start, end, Format("{\\kt%lld\\kf%lld}", from / 10, (to - from) / 10) + Colour(1, highlight),
                 "{\\kt}" + colour);
            start_time = end_time;
          }
        }
        break;
      default:
        break;
    }
  }

  // 5. Continuous karaoke: the time less half a second spread over the
  // lines by their lengths.
  if (continuous_karaoke) {
    line += Colour(1, highlight);
    const int breaks = static_cast<int>(std::count(s.text.begin(), s.text.end(), L'\n'));
    const int characters = length - breaks;
    if (characters > 0) {
      const long long total = std::max(0, s.duration_ms - 500) / 10;
      int first = 0;
      while (first <= length) {
        int end = first;
        while (end < length && chars[static_cast<size_t>(end)].c != L'\n') end++;
        // An empty line's share goes to the break that follows it.
        if (first < length) {
          const long long share = static_cast<long long>(end - first) * total / characters;
          chars[static_cast<size_t>(first)].prefix += Format("{\\kf%lld}", share);
        }
        first = end + 1;
      }
    }
  }

  // 6. The characters.
  std::string body;
  for (const Character& c : chars) {
    body += c.prefix;
    body += WideToUtf8(std::wstring(1, c.c));
    if (d.display_flags & 0x20000) body += "\\N";
    body += c.suffix;
  }

  // 7. The box, its margins and clip.
  if (box.right <= box.left || box.bottom <= box.top) box = RECT{0, 0, s.frame_width, s.frame_height};
  box.left += s.offset_x;
  box.right += s.offset_x;
  box.top += s.offset_y;
  box.bottom += s.offset_y;
  const RECT inner{box.left + 2, box.top + 2, box.right - 2, box.bottom - 2};
  const bool wide = inner.right > inner.left, high = inner.bottom > inner.top;
  const int ml = wide ? inner.left : 0, mr = wide ? s.frame_width - inner.right : 0;
  const int mt = high ? inner.top : 0, mb = high ? s.frame_height - inner.bottom : 0;

  MP4TimedTextLine out;
  out.box = box;
  out.line = Format("0,0,Text,,%d,%d,%d,%d,,{\\clip(%d,%d,%d,%d)}", ml, mr, mt, mb, static_cast<int>(box.left),
                    static_cast<int>(box.top), static_cast<int>(box.right), static_cast<int>(box.bottom)) +
             line + body;
  return out;
}

std::string TimedTextBoxLine(const RECT& box, DWORD rgba) {
  const int w = static_cast<int>(box.right - box.left), h = static_cast<int>(box.bottom - box.top);
  return Format("0,-1,Text,,0,0,0,0,,{\\an7\\pos(%d,%d)\\1c%02x%02x%02x\\1a%02x\\bord0\\shad0}", static_cast<int>(box.left),
                static_cast<int>(box.top), (rgba >> 8) & 0xFF, (rgba >> 16) & 0xFF, rgba >> 24, 255 - (rgba & 0xFF)) +
         Format("{\\p1}m %d %d l %d %d l %d %d l %d %d {\\p0}", 0, 0, w, 0, w, h, 0, h);
}

std::string SsaLineBreaks(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') {
      out += "\\N";
    } else {
      out += c;
    }
  }
  return out;
}
