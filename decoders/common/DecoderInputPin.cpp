#include "decoders/common/DecoderInputPin.h"

#include <algorithm>

CDecoderInputPin::CDecoderInputPin(LPCTSTR objectName, CTransformFilter* filter, HRESULT* phr, LPCWSTR name)
    : CTransformInputPin(objectName, filter, phr, name) {}

void CDecoderInputPin::StripMpegHeaders(BYTE** data, long* size) {
  StripMpegHeaders(m_mt.majortype, m_mt.subtype, data, size);
}

namespace {

// A cursor over the received bytes. Every read is checked against the end,
// so a buffer shorter than the headers it announces stops the walk instead
// of reading past it; a short buffer then leaves nothing behind.
struct Cursor {
  BYTE* p;
  long n;

  bool Has(long k) const { return n >= k; }
  bool StartCode(BYTE id) const { return Has(4) && p[0] == 0 && p[1] == 0 && p[2] == 1 && p[3] == id; }
  void Skip(long k) {
    p += k;
    n -= k;
  }
};

bool IsPrivateStream1Family(BYTE id) { return (id & 0xBD) == 0xBD; }

}  // namespace

void CDecoderInputPin::StripMpegHeaders(const GUID& majortype, const GUID& subtype, BYTE** data, long* size) {
  if (!data || !*data || !size) return;
  Cursor c{*data, *size};
  GUID type = majortype;
  bool truncated = false;

  if (type == MEDIATYPE_MPEG2_PACK || type == MEDIATYPE_DVD_ENCRYPTED_PACK) {
    if (c.n > 0 && c.StartCode(0xBA)) {
      if (c.Has(14)) {
        const long stuffing = c.p[13] & 7;
        c.Skip(14);
        if (c.Has(stuffing)) {
          c.Skip(stuffing);
        } else {
          truncated = true;
        }
      } else {
        truncated = true;
      }
    }
    type = MEDIATYPE_MPEG2_PES;
  }

  if (!truncated && type == MEDIATYPE_MPEG2_PES && c.n > 0 && c.StartCode(0xBB)) {
    if (c.Has(6)) {
      const long length = c.p[4] << 8 | c.p[5];
      c.Skip(4);
      if (c.Has(length + 2)) {
        c.Skip(length + 2);
      } else {
        truncated = true;
      }
    } else {
      truncated = true;
    }
  }

  if (!truncated && type == MEDIATYPE_MPEG2_PES && c.n > 0 && c.Has(4) && c.p[0] == 0 && c.p[1] == 0 &&
      c.p[2] == 1) {
    const BYTE id = c.p[3];
    const bool video = id >= 0xE0 && id <= 0xEF;
    const bool audio = id >= 0xC0 && id <= 0xDF;
    const bool private1 = IsPrivateStream1Family(id);
    if (video || audio || private1) {
      // Each step below needs its bytes; when they are not there the packet
      // is cut short and nothing of it is passed on.
      auto walk = [&]() -> bool {
        if (!c.Has(6)) return false;
        const long pesLength = c.p[4] << 8 | c.p[5];
        c.Skip(6);
        const BYTE* afterLength = c.p;

        for (int i = 0; i < 16 && c.Has(1) && c.p[0] == 0xFF; ++i) c.Skip(1);
        if (!c.Has(1)) return false;

        if ((c.p[0] & 0xC0) == 0x80) {
          if (!c.Has(3)) return false;
          const long headerLength = c.p[2];
          c.Skip(3);
          if (!c.Has(headerLength)) return false;
          c.Skip(headerLength);
        } else {
          if ((c.p[0] & 0xC0) == 0x40) {
            if (!c.Has(2)) return false;
            c.Skip(2);
          }
          if (!c.Has(1)) return false;
          const BYTE flags = c.p[0] & 0x30;
          const long skip = flags == 0x20 ? 5 : flags == 0x30 ? 10 : 1;
          if (!c.Has(skip)) return false;
          c.Skip(skip);
        }

        if (private1) {
          long extra = 1;
          if (subtype == MEDIASUBTYPE_DVD_LPCM_AUDIO) {
            extra += 6;
          } else if (subtype == MEDIASUBTYPE_DOLBY_AC3 || subtype == MEDIASUBTYPE_WAVE_DOLBY_AC3 ||
                     subtype == MEDIASUBTYPE_DTS || subtype == MEDIASUBTYPE_WAVE_DTS) {
            extra += 3;
          }
          if (!c.Has(extra)) return false;
          c.Skip(extra);
        }

        if (pesLength > 0) {
          const long used = static_cast<long>(c.p - afterLength);
          c.n = std::min(c.n, pesLength - used);
        }
        return true;
      };
      if (!walk()) truncated = true;
    }
  }

  if (truncated || c.n < 0) {
    // The whole buffer was headers (or less): nothing of the payload is left.
    c.p = *data + *size;
    c.n = 0;
  }
  *data = c.p;
  *size = c.n;
}
