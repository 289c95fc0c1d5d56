#include "decoders/mpeg2video/SubpicInputPin.h"

#include <algorithm>
#include <cstring>

#include "decoders/mpeg2video/Mpeg2DecFilter.h"

namespace {

using Colour = CSubpicInputPin::Colour;
using Target = CSubpicInputPin::Target;

constexpr int kMaxControlSequences = 1024;

int Be16(const std::vector<BYTE>& d, size_t i) { return (d[i] << 8) | d[i + 1]; }

REFERENCE_TIME Ticks90kToRefTime(int64_t ticks) { return ticks * 10000 / 90; }

// Reads nibbles or bit pairs of one field's image data, never past the
// unit's end.
class BitReader {
 public:
  BitReader(const std::vector<BYTE>& data, size_t byteOffset, size_t end)
      : m_data(data), m_pos(byteOffset * 8), m_end(std::min(end, data.size()) * 8) {}
  bool Read(int bits, int& value) {
    if (m_pos + bits > m_end) return false;
    value = 0;
    for (int i = 0; i < bits; ++i, ++m_pos) value = (value << 1) | ((m_data[m_pos >> 3] >> (7 - (m_pos & 7))) & 1);
    return true;
  }
  void AlignToByte() { m_pos = (m_pos + 7) & ~static_cast<size_t>(7); }

 private:
  const std::vector<BYTE>& m_data;
  size_t m_pos, m_end;
};

Colour PaletteColour(const AM_DVD_YUV* palette, bool paletteSet, int index, int alpha) {
  const AM_DVD_YUV& e = palette[paletteSet ? (index & 15) : (index & 3)];
  return {static_cast<BYTE>(alpha & 15), e.Y, e.U, e.V};
}

// The four colours and alphas of a colour/contrast nibble quartet: entry 0
// is the low nibble of the second byte, 1 its high nibble, 2 and 3 those of
// the first byte.
void ColoursFromNibbles(const BYTE colour[2], const BYTE contrast[2], const AM_DVD_YUV* palette, bool paletteSet,
                        Colour out[4]) {
  const int idx[4] = {colour[1] & 15, colour[1] >> 4, colour[0] & 15, colour[0] >> 4};
  const int alpha[4] = {contrast[1] & 15, contrast[1] >> 4, contrast[0] & 15, contrast[0] >> 4};
  for (int i = 0; i < 4; ++i) out[i] = PaletteColour(palette, paletteSet, paletteSet ? idx[i] : i, alpha[i]);
}

struct Clip {
  int left, top, right, bottom;
};

Clip Intersect(Clip a, Clip b) {
  return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right), std::min(a.bottom, b.bottom)};
}

// CVD and SVCD units are placed by the decoder, not by their coded corners:
// centred, in the lower part of the picture.
void PlaceLowerCentre(int unitWidth, int unitHeight, const Target& target, int& x, int& y) {
  x = (target.width - unitWidth) / 2;
  y = (3 * target.height - unitHeight) / 4;
}

}  // namespace

void BlendSubpicRun(const Target& target, int y, int x0, int x1, const Colour& c, int clipLeft, int clipTop,
                    int clipRight, int clipBottom) {
  if (c.a == 0 || y < clipTop || y >= clipBottom || y < 0 || y >= target.height) return;
  x0 = std::max({x0, clipLeft, 0});
  x1 = std::min({x1, clipRight, target.width});
  if (x0 >= x1) return;
  const int a = c.a;
  BYTE* row = target.planes[0] + static_cast<ptrdiff_t>(y) * target.pitch;
  for (int x = x0; x < x1; ++x) row[x] = static_cast<BYTE>(row[x] - (((row[x] - c.y) * a) >> 4));
  if (y & 1) return;
  const int chromaPitch = target.pitch / 2;
  const int lastChroma = (target.width + 1) / 2 - 1;
  BYTE* u = target.planes[1] + static_cast<ptrdiff_t>(y / 2) * chromaPitch;
  BYTE* v = target.planes[2] + static_cast<ptrdiff_t>(y / 2) * chromaPitch;
  for (int x = x0; x < x1; ++x) {
    // Rounding up would step past the last chroma column at the right edge.
    const int cx = std::min((x + 1) / 2, lastChroma);
    u[cx] = static_cast<BYTE>(u[cx] - (((u[cx] - c.cb) * a) >> 4));
    v[cx] = static_cast<BYTE>(v[cx] - (((v[cx] - c.cr) * a) >> 4));
  }
}

// ---------------------------------------------------------------------------
// DVD

bool CSubpicInputPin::dvdspu::Parse() {
  m_parsed = false;
  m_states.clear();
  const auto& d = m_data;
  if (d.size() < 4) return false;
  const size_t size = Be16(d, 0);
  const size_t first = Be16(d, 2);
  if (size > d.size() || first > size || size < 4) return false;

  size_t pos = first;
  for (int n = 0; n < kMaxControlSequences; ++n) {
    if (pos + 4 > size) break;
    const int delay = Be16(d, pos);
    const size_t next = Be16(d, pos + 2);
    if (next < first || next > size) return false;
    const REFERENCE_TIME time = m_rtStart + Ticks90kToRefTime(delay) * 1024;
    size_t i = pos + 4;
    bool end = false;
    while (!end && i < size) {
      const BYTE cmd = d[i++];
      auto need = [&](size_t bytes) {
        if (i + bytes > size) end = true;
        return !end;
      };
      switch (cmd) {
        case 0x00: m_forced = true; break;
        case 0x01: m_forced = false; break;
        case 0x02: m_rtStop = time; break;
        case 0x03:
          if (need(2)) {
            m_colour[0] = d[i];
            m_colour[1] = d[i + 1];
            i += 2;
          }
          break;
        case 0x04:
          if (need(2)) {
            m_contrast[0] = d[i];
            m_contrast[1] = d[i + 1];
            i += 2;
          }
          break;
        case 0x05:
          if (need(6)) {
            m_rect.left = (d[i] << 4) | (d[i + 1] >> 4);
            m_rect.right = (((d[i + 1] & 15) << 8) | d[i + 2]) + 1;
            m_rect.top = (d[i + 3] << 4) | (d[i + 4] >> 4);
            m_rect.bottom = (((d[i + 4] & 15) << 8) | d[i + 5]) + 1;
            i += 6;
          }
          break;
        case 0x06:
          if (need(4)) {
            m_offset[0] = Be16(d, i);
            m_offset[1] = Be16(d, i + 2);
            i += 4;
          }
          break;
        case 0x07: break;
        default: end = true; break;
      }
    }
    m_states.push_back({time, m_rect.left, m_rect.top, m_rect.right, m_rect.bottom, {m_colour[0], m_colour[1]},
                        {m_contrast[0], m_contrast[1]}});
    if (i > next || i >= size) break;
    pos = next;
  }
  m_parsed = true;
  return true;
}

void CSubpicInputPin::dvdspu::Render(REFERENCE_TIME t, const Target& target, const AM_DVD_YUV* palette,
                                     bool paletteSet) {
  if (!m_parsed) return;
  Clip area{m_rect.left, m_rect.top, m_rect.right, m_rect.bottom};
  BYTE colour[2] = {m_colour[0], m_colour[1]};
  BYTE contrast[2] = {m_contrast[0], m_contrast[1]};
  if (m_states.size() > 1) {
    for (const DisplayState& s : m_states) {
      if (s.time > t) break;
      area = {s.left, s.top, s.right, s.bottom};
      std::memcpy(colour, s.colour, 2);
      std::memcpy(contrast, s.contrast, 2);
    }
  }
  Clip clip = Intersect(area, {0, 0, target.width, target.height});
  if (m_hli) {
    BYTE cc[4];
    std::memcpy(cc, &m_hli->ColCon, 4);
    colour[0] = cc[0];
    colour[1] = cc[1];
    contrast[0] = cc[2];
    contrast[1] = cc[3];
    clip = Intersect(clip, {m_hli->StartX, m_hli->StartY, m_hli->StopX + 1, m_hli->StopY + 1});
  }
  if (clip.left >= clip.right || clip.top >= clip.bottom) return;
  Colour colours[4];
  ColoursFromNibbles(colour, contrast, palette, paletteSet, colours);

  BitReader fields[2] = {{m_data, m_offset[0], m_data.size()}, {m_data, m_offset[1], m_data.size()}};
  for (int y = area.top; y < area.bottom && y < clip.bottom; ++y) {
    BitReader& r = fields[(y - area.top) & 1];
    int x = area.left;
    while (x < area.right) {
      int code = 0, n = 0;
      if (!r.Read(4, code)) return;
      if (code < 4) {
        if (!r.Read(4, n)) return;
        code = (code << 4) | n;
        if (code < 0x10) {
          if (!r.Read(4, n)) return;
          code = (code << 4) | n;
          if (code < 0x40) {
            if (!r.Read(4, n)) return;
            code = (code << 4) | n;
          }
        }
      }
      const int run = code >> 2;
      const int x1 = run == 0 ? area.right : std::min(area.right, x + run);
      BlendSubpicRun(target, y, x, x1, colours[code & 3], clip.left, clip.top, clip.right, clip.bottom);
      x = x1;
    }
    r.AlignToByte();
  }
}

// ---------------------------------------------------------------------------
// CVD

bool CSubpicInputPin::cvdspu::Parse() {
  m_parsed = false;
  const auto& d = m_data;
  if (d.size() < 4) return false;
  const size_t size = Be16(d, 0);
  const size_t control = Be16(d, 2);
  if (size > d.size() || control > size) return false;
  for (size_t i = control; i + 4 <= size; i += 4) {
    const BYTE cmd = d[i], b1 = d[i + 1], b2 = d[i + 2], b3 = d[i + 3];
    switch (cmd) {
      case 0x04: m_rtStop = m_rtStart + Ticks90kToRefTime((b1 << 16) | (b2 << 8) | b3); break;
      case 0x17:
        m_rect.left = ((b1 & 15) << 6) | (b2 >> 2);
        m_rect.top = ((b2 & 3) << 8) | b3;
        break;
      case 0x1F:
        m_rect.right = (((b1 & 15) << 6) | (b2 >> 2)) + 1;
        m_rect.bottom = (((b2 & 3) << 8) | b3) + 1;
        break;
      case 0x24: case 0x25: case 0x26: case 0x27:
        m_colours[cmd - 0x24] = {m_colours[cmd - 0x24].a, b1, b2, b3};
        break;
      case 0x2C: case 0x2D: case 0x2E: case 0x2F:
        m_hlColours[cmd - 0x2C] = {m_hlColours[cmd - 0x2C].a, b1, b2, b3};
        break;
      case 0x37: case 0x3F: {
        Colour* c = cmd == 0x37 ? m_colours : m_hlColours;
        c[0].a = b3 & 15;
        c[1].a = b3 >> 4;
        c[2].a = b2 & 15;
        c[3].a = b2 >> 4;
        break;
      }
      case 0x47: m_offset[0] = (b2 << 8) | b3; break;
      case 0x4F: m_offset[1] = (b2 << 8) | b3; break;
      default: break;
    }
  }
  m_parsed = true;
  return true;
}

void CSubpicInputPin::cvdspu::Render(REFERENCE_TIME, const Target& target, const AM_DVD_YUV*, bool) {
  if (!m_parsed) return;
  const int w = m_rect.right - m_rect.left, h = m_rect.bottom - m_rect.top;
  if (w <= 0 || h <= 0) return;
  int x0, y0;
  PlaceLowerCentre(w, h, target, x0, y0);
  const Clip clip = Intersect({x0, y0, x0 + w, y0 + h}, {0, 0, target.width, target.height});
  BitReader fields[2] = {{m_data, m_offset[0], m_data.size()}, {m_data, m_offset[1], m_data.size()}};
  for (int line = 0; line < h; ++line) {
    BitReader& r = fields[line & 1];
    int x = 0;
    while (x < w) {
      int code = 0;
      if (!r.Read(4, code)) return;
      if (code >= 4) {
        const int run = code >> 2;
        BlendSubpicRun(target, y0 + line, x0 + x, x0 + std::min(w, x + run), m_colours[code & 3], clip.left,
                       clip.top, clip.right, clip.bottom);
        x += run;
      } else {
        int next = 0;
        if (!r.Read(4, next)) return;
        BlendSubpicRun(target, y0 + line, x0 + x, x0 + w, m_colours[next & 3], clip.left, clip.top, clip.right,
                       clip.bottom);
        x = w;
      }
    }
    r.AlignToByte();
  }
}

// ---------------------------------------------------------------------------
// SVCD

bool CSubpicInputPin::svcdspu::Parse() {
  m_parsed = false;
  const auto& d = m_data;
  if (d.size() < 2) return false;
  const size_t size = Be16(d, 0);
  if (size > d.size()) return false;
  size_t i = 4;
  if (size < 4) return false;
  if (d[2] & 0x04) {
    if (i + 4 > size) return false;
    const uint32_t duration = (static_cast<uint32_t>(d[i]) << 24) | (d[i + 1] << 16) | (d[i + 2] << 8) | d[i + 3];
    m_rtStop = m_rtStart + Ticks90kToRefTime(duration);
    i += 4;
  }
  if (i + 8 + 16 + 1 > size) return false;
  m_rect.left = Be16(d, i);
  m_rect.top = Be16(d, i + 2);
  m_rect.right = m_rect.left + Be16(d, i + 4);
  m_rect.bottom = m_rect.top + Be16(d, i + 6);
  i += 8;
  for (Colour& c : m_colours) {
    c = {static_cast<BYTE>(d[i + 3] >> 4), d[i], d[i + 1], d[i + 2]};
    i += 4;
  }
  if (d[i++] >= 0x40) i += 4;
  if (i + 2 > size) return false;
  const size_t second = Be16(d, i);
  i += 2;
  m_offset[0] = static_cast<DWORD>(i);
  m_offset[1] = static_cast<DWORD>(i + second);
  m_parsed = true;
  return true;
}

void CSubpicInputPin::svcdspu::Render(REFERENCE_TIME, const Target& target, const AM_DVD_YUV*, bool) {
  if (!m_parsed) return;
  const int w = m_rect.right - m_rect.left, h = m_rect.bottom - m_rect.top;
  if (w <= 0 || h <= 0) return;
  int x0, y0;
  PlaceLowerCentre(w, h, target, x0, y0);
  const Clip clip = Intersect({x0, y0, x0 + w, y0 + h}, {0, 0, target.width, target.height});
  BitReader fields[2] = {{m_data, m_offset[0], m_data.size()}, {m_data, m_offset[1], m_data.size()}};
  for (int line = 0; line < h; ++line) {
    BitReader& r = fields[line & 1];
    int x = 0;
    while (x < w) {
      int code = 0;
      if (!r.Read(2, code)) return;
      int run = 1;
      if (code == 0) {
        int n = 0;
        if (!r.Read(2, n)) return;
        run = n + 1;
      }
      BlendSubpicRun(target, y0 + line, x0 + x, x0 + std::min(w, x + run), m_colours[code], clip.left, clip.top,
                     clip.right, clip.bottom);
      x += run;
    }
    r.AlignToByte();
  }
}

// ---------------------------------------------------------------------------
// The pin

CSubpicInputPin::CSubpicInputPin(CTransformFilter* filter, HRESULT* phr)
    : CMpeg2DecInputPin(filter, phr, L"SubPicture") {}

HRESULT CSubpicInputPin::CheckMediaType(const CMediaType* pmt) {
  if (!pmt) return E_POINTER;
  const bool major = pmt->majortype == MEDIATYPE_DVD_ENCRYPTED_PACK || pmt->majortype == MEDIATYPE_MPEG2_PACK ||
                     pmt->majortype == MEDIATYPE_MPEG2_PES || pmt->majortype == MEDIATYPE_Video;
  const bool sub = pmt->subtype == MEDIASUBTYPE_DVD_SUBPICTURE || pmt->subtype == MEDIASUBTYPE_CVD_SUBPICTURE ||
                   pmt->subtype == MEDIASUBTYPE_SVCD_SUBPICTURE;
  return major && sub ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CSubpicInputPin::SetMediaType(const CMediaType* pmt) { return CBasePin::SetMediaType(pmt); }

STDMETHODIMP CSubpicInputPin::Receive(IMediaSample* sample) {
  HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr != S_OK) return hr;

  AM_MEDIA_TYPE* pmt = nullptr;
  if (sample->GetMediaType(&pmt) == S_OK && pmt) {
    CMediaType mt(*pmt);
    DeleteMediaType(pmt);
    SetMediaType(&mt);
  }

  BYTE* data = nullptr;
  if (FAILED(sample->GetPointer(&data)) || !data) return S_OK;
  long len = sample->GetActualDataLength();
  StripMpegHeaders(&data, &len);
  if (len <= 0) return S_OK;
  if (m_mt.subtype == MEDIASUBTYPE_SVCD_SUBPICTURE) {
    data += 4;
    len -= 4;
    if (len <= 0) return S_OK;
  }

  CAutoLock lock(&m_csSubpicLock);
  REFERENCE_TIME start = 0, stop = 0;
  if (SUCCEEDED(sample->GetTime(&start, &stop))) {
    for (auto it = m_units.rbegin(); it != m_units.rend(); ++it) {
      if ((*it)->m_rtStop == spu::kOpen) {
        (*it)->m_rtStop = start;
        break;
      }
    }
    std::unique_ptr<spu> unit;
    if (m_mt.subtype == MEDIASUBTYPE_DVD_SUBPICTURE) unit = std::make_unique<dvdspu>();
    else if (m_mt.subtype == MEDIASUBTYPE_CVD_SUBPICTURE) unit = std::make_unique<cvdspu>();
    else if (m_mt.subtype == MEDIASUBTYPE_SVCD_SUBPICTURE) unit = std::make_unique<svcdspu>();
    else return E_FAIL;
    unit->m_rtStart = start;
    unit->m_data.assign(data, data + len);
    if (m_pendingHli && Ticks90kToRefTime(m_pendingHli->StartPTM) == start) unit->m_hli = m_pendingHli;
    m_units.push_back(std::move(unit));
  } else if (!m_units.empty()) {
    auto& bytes = m_units.back()->m_data;
    bytes.insert(bytes.end(), data, data + len);
  }
  if (!m_units.empty()) m_units.back()->Parse();
  return S_OK;
}

STDMETHODIMP CSubpicInputPin::EndOfStream() { return S_OK; }
STDMETHODIMP CSubpicInputPin::BeginFlush() { return S_OK; }

STDMETHODIMP CSubpicInputPin::EndFlush() {
  CAutoLock lock(&m_csSubpicLock);
  m_units.clear();
  return S_OK;
}

STDMETHODIMP CSubpicInputPin::NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) { return S_OK; }

STDMETHODIMP CSubpicInputPin::Set(REFGUID propSet, DWORD id, LPVOID instanceData, DWORD cbInstanceData,
                                  LPVOID propData, DWORD cbPropData) {
  if (propSet != AM_KSPROPSETID_DvdSubPic)
    return CMpeg2DecInputPin::Set(propSet, id, instanceData, cbInstanceData, propData, cbPropData);

  bool redeliver = false;
  switch (id) {
    case AM_PROPERTY_DVDSUBPIC_PALETTE: {
      if (!propData || cbPropData < sizeof(AM_PROPERTY_SPPAL)) return E_INVALIDARG;
      CAutoLock lock(&m_csSubpicLock);
      std::memcpy(m_palette, propData, sizeof(m_palette));
      m_paletteSet = true;
      break;
    }
    case AM_PROPERTY_DVDSUBPIC_HLI: {
      if (!propData || cbPropData < sizeof(AM_PROPERTY_SPHLI)) return E_INVALIDARG;
      AM_PROPERTY_SPHLI hli;
      std::memcpy(&hli, propData, sizeof(hli));
      CAutoLock lock(&m_csSubpicLock);
      m_pendingHli.reset();
      if (hli.HLISS == 0) {
        for (auto& u : m_units) {
          if (u->m_hli) {
            u->m_hli.reset();
            redeliver = true;
          }
        }
      } else {
        const REFERENCE_TIME t = Ticks90kToRefTime(hli.StartPTM);
        bool matched = false;
        for (auto& u : m_units) {
          if (u->m_rtStart <= t && t < u->m_rtStop) {
            u->m_hli = hli;
            matched = redeliver = true;
          }
        }
        if (!matched) m_pendingHli = hli;
      }
      break;
    }
    case AM_PROPERTY_DVDSUBPIC_COMPOSIT_ON: {
      if (!propData || cbPropData < sizeof(AM_PROPERTY_COMPOSIT_ON)) return E_INVALIDARG;
      CAutoLock lock(&m_csSubpicLock);
      std::memcpy(&m_composit, propData, sizeof(m_composit));
      break;
    }
    default:
      return E_PROP_ID_UNSUPPORTED;
  }
  // Outside the subpicture lock: the redelivery takes the receive lock,
  // which comes first in the lock order.
  if (redeliver) static_cast<CMpeg2DecFilter*>(m_pTransformFilter)->RedeliverPicture();
  return S_OK;
}

STDMETHODIMP CSubpicInputPin::Get(REFGUID propSet, DWORD id, LPVOID instanceData, DWORD cbInstanceData,
                                  LPVOID propData, DWORD cbPropData, DWORD* cbReturned) {
  if (propSet == AM_KSPROPSETID_DvdSubPic) return E_PROP_ID_UNSUPPORTED;
  return CMpeg2DecInputPin::Get(propSet, id, instanceData, cbInstanceData, propData, cbPropData, cbReturned);
}

STDMETHODIMP CSubpicInputPin::QuerySupported(REFGUID propSet, DWORD id, DWORD* typeSupport) {
  if (propSet != AM_KSPROPSETID_DvdSubPic) return CMpeg2DecInputPin::QuerySupported(propSet, id, typeSupport);
  if (!typeSupport) return E_POINTER;
  if (id > AM_PROPERTY_DVDSUBPIC_COMPOSIT_ON) return E_PROP_ID_UNSUPPORTED;
  *typeSupport = KSPROPERTY_SUPPORT_SET;
  return S_OK;
}

bool CSubpicInputPin::IsSubpicShown(REFERENCE_TIME t) {
  if (!IsConnected()) return false;
  CAutoLock lock(&m_csSubpicLock);
  for (const auto& u : m_units) {
    if (u->m_rtStart <= t && t < u->m_rtStop && (u->m_forced || m_composit)) return true;
  }
  return false;
}

void CSubpicInputPin::RenderSubpics(REFERENCE_TIME t, const Target& target, bool forcedSubtitles) {
  CAutoLock lock(&m_csSubpicLock);
  m_units.remove_if([t](const std::unique_ptr<spu>& u) { return u->m_rtStop <= t; });
  for (const auto& u : m_units) {
    if (!(u->m_rtStart <= t && t < u->m_rtStop)) continue;
    if (!m_composit && !(u->m_forced && (forcedSubtitles || u->m_hli))) continue;
    u->Render(t, target, m_palette, m_paletteSet);
  }
}

size_t CSubpicInputPin::UnitCount() {
  CAutoLock lock(&m_csSubpicLock);
  return m_units.size();
}
