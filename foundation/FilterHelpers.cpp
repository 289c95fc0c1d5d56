#include "foundation/FilterHelpers.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <limits>
#include <numeric>
#include <string>
#include <utility>

#include "foundation/DSMPropertyBag.h"
#include "platform/com/Com.h"
#include "platform/win32/Module.h"

// ---------------------------------------------------------------------------
// Pins and filters

IBaseFilter* GetFilterFromPin(IPin* pin) {
  if (!pin) return nullptr;
  PIN_INFO info{};
  if (FAILED(pin->QueryPinInfo(&info))) return nullptr;
  if (info.pFilter) info.pFilter->Release();
  return info.pFilter;
}

CLSID GetFilterClsid(IBaseFilter* filter) {
  CLSID clsid = GUID_NULL;
  if (filter && FAILED(filter->GetClassID(&clsid))) clsid = GUID_NULL;
  return clsid;
}

CLSID GetPinFilterClsid(IPin* pin) { return GetFilterClsid(GetFilterFromPin(pin)); }

int CountFilterPins(IBaseFilter* filter, int& inputs, int& outputs, int& connectedInputs, int& connectedOutputs) {
  inputs = outputs = connectedInputs = connectedOutputs = 0;
  if (!filter) return 0;
  CComPtr<IEnumPins> pins;
  if (FAILED(filter->EnumPins(&pins)) || !pins) return 0;
  for (CComPtr<IPin> pin; pins->Next(1, &pin, nullptr) == S_OK; pin = nullptr) {
    PIN_DIRECTION dir;
    if (FAILED(pin->QueryDirection(&dir))) continue;
    CComPtr<IPin> peer;
    const bool connected = SUCCEEDED(pin->ConnectedTo(&peer)) && peer;
    if (dir == PINDIR_INPUT) {
      ++inputs;
      if (connected) ++connectedInputs;
    } else if (dir == PINDIR_OUTPUT) {
      ++outputs;
      if (connected) ++connectedOutputs;
    }
  }
  return inputs + outputs;
}

bool IsSinkFilter(IBaseFilter* filter) {
  int in, out, inC, outC;
  CountFilterPins(filter, in, out, inC, outC);
  return out == 0;
}

IPin* GetUpstreamPin(IBaseFilter* filter, IPin* inputPin) {
  if (!filter) return nullptr;
  CComPtr<IEnumPins> pins;
  if (FAILED(filter->EnumPins(&pins)) || !pins) return nullptr;
  for (CComPtr<IPin> pin; pins->Next(1, &pin, nullptr) == S_OK; pin = nullptr) {
    if (inputPin && pin.p != inputPin) continue;
    PIN_DIRECTION dir;
    if (FAILED(pin->QueryDirection(&dir)) || dir != PINDIR_INPUT) continue;
    IPin* peer = nullptr;
    if (SUCCEEDED(pin->ConnectedTo(&peer)) && peer) {
      peer->Release();
      return peer;
    }
  }
  return nullptr;
}

IBaseFilter* GetUpstreamFilter(IBaseFilter* filter, IPin* inputPin) {
  return GetFilterFromPin(GetUpstreamPin(filter, inputPin));
}

int PinPictureTurn(IPin* pin) {
  CComQIPtr<IDSMPropertyBag> bag(pin);
  BSTR value = nullptr;
  if (!bag || FAILED(bag->GetProperty(kPictureTurnProperty, &value)) || !value) return 0;
  const std::wstring text(value);
  SysFreeString(value);
  for (int turn : {90, 180, 270})
    if (text == std::to_wstring(turn)) return turn;
  return 0;
}

int UpstreamPictureTurn(IPin* pin) {
  // A chain of a few filters; the bound guards against a loop.
  for (int depth = 0; pin && depth < 32; ++depth) {
    if (const int turn = PinPictureTurn(pin)) return turn;
    pin = GetUpstreamPin(GetFilterFromPin(pin));
  }
  return 0;
}

namespace {

IPin* FirstPin(IBaseFilter* filter, PIN_DIRECTION want, bool unconnectedOnly) {
  if (!filter) return nullptr;
  CComPtr<IEnumPins> pins;
  if (FAILED(filter->EnumPins(&pins)) || !pins) return nullptr;
  for (CComPtr<IPin> pin; pins->Next(1, &pin, nullptr) == S_OK; pin = nullptr) {
    PIN_DIRECTION dir;
    if (FAILED(pin->QueryDirection(&dir)) || dir != want) continue;
    if (unconnectedOnly) {
      CComPtr<IPin> peer;
      if (SUCCEEDED(pin->ConnectedTo(&peer))) continue;
    }
    return pin.p;  // borrowed: the CComPtr drops our reference
  }
  return nullptr;
}

}  // namespace

IPin* GetFirstPinByDirection(IBaseFilter* filter, PIN_DIRECTION dir) { return FirstPin(filter, dir, false); }

IPin* GetFirstUnconnectedPin(IBaseFilter* filter, PIN_DIRECTION dir) { return FirstPin(filter, dir, true); }

IBaseFilter* FindFilterByClsid(IFilterGraph* graph, REFCLSID clsid) {
  if (!graph) return nullptr;
  CComPtr<IEnumFilters> filters;
  if (FAILED(graph->EnumFilters(&filters)) || !filters) return nullptr;
  for (CComPtr<IBaseFilter> filter; filters->Next(1, &filter, nullptr) == S_OK; filter = nullptr)
    if (GetFilterClsid(filter) == clsid) return filter.p;
  return nullptr;
}

void CollectPinMediaTypes(IPin* pin, std::vector<GUID>& types) {
  types.clear();
  if (!pin) return;
  CComPtr<IEnumMediaTypes> e;
  if (FAILED(pin->EnumMediaTypes(&e)) || !e) return;
  AM_MEDIA_TYPE* pmt = nullptr;
  while (e->Next(1, &pmt, nullptr) == S_OK && pmt) {
    bool known = false;
    for (size_t i = 0; i + 1 < types.size(); i += 2)
      if (types[i] == pmt->majortype && types[i + 1] == pmt->subtype) known = true;
    if (!known) {
      types.push_back(pmt->majortype);
      types.push_back(pmt->subtype);
    }
    DeleteMediaType(pmt);
    pmt = nullptr;
  }
}

std::wstring GetFilterName(IBaseFilter* filter) {
  if (!filter) return std::wstring();
  FILTER_INFO info{};
  if (FAILED(filter->QueryFilterInfo(&info))) return std::wstring();
  if (info.pGraph) info.pGraph->Release();
  return std::wstring(info.achName, wcsnlen(info.achName, MAX_FILTER_NAME));
}

std::wstring GetPinName(IPin* pin) {
  if (!pin) return std::wstring();
  PIN_INFO info{};
  if (FAILED(pin->QueryPinInfo(&info))) return std::wstring();
  if (info.pFilter) info.pFilter->Release();
  return std::wstring(info.achName, wcsnlen(info.achName, MAX_PIN_NAME));
}

// ---------------------------------------------------------------------------
// Media types and stream headers

namespace {

// Offset of the bitmap header in a video format block, or 0 when the
// format type has none.
size_t BitmapHeaderOffset(const GUID& formattype) {
  if (formattype == FORMAT_VideoInfo || formattype == FORMAT_MPEGVideo) return offsetof(VIDEOINFOHEADER, bmiHeader);
  if (formattype == FORMAT_VideoInfo2 || formattype == FORMAT_MPEG2Video || formattype == FORMAT_VideoInfo2Ex)
    return offsetof(VIDEOINFOHEADER2, bmiHeader);
  return 0;
}

// The first `count` bytes of a sequence header stored in a format block at
// `at`, with its length field at `lengthAt`; null when the block does not
// hold them or the header is not a sequence header.
const BYTE* SequenceHeader(const AM_MEDIA_TYPE& mt, size_t lengthAt, size_t at, size_t count) {
  if (!mt.pbFormat || mt.cbFormat < at + count) return nullptr;
  DWORD length;
  std::memcpy(&length, mt.pbFormat + lengthAt, sizeof(length));
  const BYTE* h = mt.pbFormat + at;
  if (length < count || h[0] != 0 || h[1] != 0 || h[2] != 1 || h[3] != 0xB3) return nullptr;
  return h;
}

int64_t Gcd(int64_t a, int64_t b) {
  while (b != 0) {
    const int64_t t = a % b;
    a = b;
    b = t;
  }
  return a < 0 ? -a : a;
}

}  // namespace

bool MediaTypeToBitmapInfo(const AM_MEDIA_TYPE* pmt, BITMAPINFOHEADER* bih) {
  if (!bih) return false;
  std::memset(bih, 0, sizeof(*bih));
  if (!pmt) return false;
  const size_t at = BitmapHeaderOffset(pmt->formattype);
  if (at == 0 || !pmt->pbFormat || pmt->cbFormat < at + sizeof(BITMAPINFOHEADER)) return false;
  std::memcpy(bih, pmt->pbFormat + at, sizeof(*bih));
  return true;
}

bool GetVideoSizeAndAspect(const AM_MEDIA_TYPE* pmt, int& width, int& height, int& aspectX, int& aspectY) {
  width = height = aspectX = aspectY = 0;
  if (!pmt) return false;
  const size_t at = BitmapHeaderOffset(pmt->formattype);
  if (at == 0 || !pmt->pbFormat || pmt->cbFormat < at + sizeof(BITMAPINFOHEADER)) return false;

  BITMAPINFOHEADER bih;
  std::memcpy(&bih, pmt->pbFormat + at, sizeof(bih));
  int64_t w = bih.biWidth, h = std::llabs(static_cast<int64_t>(bih.biHeight));
  int64_t ax, ay;
  if (at == offsetof(VIDEOINFOHEADER, bmiHeader)) {
    ax = w * bih.biYPelsPerMeter;
    ay = h * bih.biXPelsPerMeter;
  } else {
    VIDEOINFOHEADER2 vih2;
    std::memcpy(&vih2, pmt->pbFormat, sizeof(vih2));
    ax = vih2.dwPictAspectRatioX;
    ay = vih2.dwPictAspectRatioY;
  }
  if (ax == 0 || ay == 0) {
    ax = w;
    ay = h;
  }

  if (pmt->formattype == FORMAT_MPEGVideo) {
    if (const BYTE* s = SequenceHeader(*pmt, offsetof(MPEG1VIDEOINFO, cbSequenceHeader),
                                       offsetof(MPEG1VIDEOINFO, bSequenceHeader), 8)) {
      // Pel aspect ratios of MPEG-1; the forbidden and reserved codes are
      // taken as square pels.
      static const double kPelAspect[16] = {1.0,    1.0,    0.6735, 0.7031, 0.7615, 0.8055, 0.8437, 0.8935,
                                            0.9157, 0.9815, 1.0255, 1.0695, 1.095,  1.1575, 1.2015, 1.0};
      w = (s[4] << 4) | (s[5] >> 4);
      h = ((s[5] & 15) << 8) | s[6];
      ax = static_cast<int64_t>(static_cast<double>(w) / kPelAspect[s[7] >> 4] + 0.5);
      ay = h;
    }
  } else if (pmt->formattype == FORMAT_MPEG2Video) {
    if (const BYTE* s = SequenceHeader(*pmt, offsetof(MPEG2VIDEOINFO, cbSequenceHeader),
                                       offsetof(MPEG2VIDEOINFO, dwSequenceHeader), 8)) {
      w = (s[4] << 4) | (s[5] >> 4);
      h = ((s[5] & 15) << 8) | s[6];
      switch (s[7] >> 4) {
        case 2: ax = 4, ay = 3; break;
        case 3: ax = 16, ay = 9; break;
        case 4: ax = 221, ay = 100; break;
        default: ax = w, ay = h; break;
      }
    }
  }

  if (ax != 0) {
    const int64_t g = Gcd(ax, ay);
    if (g > 1) ax /= g, ay /= g;
  }
  // Absurd headers must not wrap the results: an aspect beyond the integer
  // range falls back to the picture's own shape.
  constexpr int64_t kMax = std::numeric_limits<int>::max();
  if (w > kMax) w = kMax;
  if (h > kMax) h = kMax;
  if (ax > kMax || ay > kMax || ax < 0 || ay < 0) {
    ax = w;
    ay = h;
    const int64_t g = Gcd(ax, ay);
    if (ax != 0 && g > 1) ax /= g, ay /= g;
  }
  width = static_cast<int>(w);
  height = static_cast<int>(h);
  aspectX = static_cast<int>(ax);
  aspectY = static_cast<int>(ay);
  return true;
}

bool MakeMpeg2VideoMediaType(CMediaType* pmt, const BYTE* header, DWORD length, int width, int height) {
  if (!pmt || !header || length < 12) return false;
  if (header[0] != 0 || header[1] != 0 || header[2] != 1 || header[3] != 0xB3) return false;

  DWORD size = 12;
  DWORD flagsAt = 11;
  if (header[11] & 0x02) {
    // The intra matrix follows; its last bit shares a byte with the
    // non-intra flag.
    size += 64;
    flagsAt = 75;
    if (length <= flagsAt) return false;
  }
  if (header[flagsAt] & 0x01) size += 64;
  if (size > length) return false;

  const BYTE* ext = header + size;
  const bool hasExtension =
      length - size >= 10 && ext[0] == 0 && ext[1] == 0 && ext[2] == 1 && ext[3] == 0xB5;
  if (hasExtension) size += 10;

  // Built aside and assigned at the end, so a failure leaves the caller's
  // type as it was.
  CMediaType mt(&MEDIATYPE_Video);
  mt.subtype = MEDIASUBTYPE_MPEG2_VIDEO;
  mt.formattype = FORMAT_MPEG2Video;
  BYTE* block = mt.AllocFormatBuffer(offsetof(MPEG2VIDEOINFO, dwSequenceHeader) + size);
  if (!block) return false;

  MPEG2VIDEOINFO vih;
  std::memset(&vih, 0, sizeof(vih));
  vih.hdr.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  vih.hdr.bmiHeader.biWidth = width;
  vih.hdr.bmiHeader.biHeight = height;
  vih.cbSequenceHeader = size;
  if (hasExtension && (ext[4] >> 4) == 1) {
    static const DWORD kProfile[8] = {0, 5, 4, 3, 2, 1, 0, 0};
    static const DWORD kLevel[16] = {0, 0, 0, 0, 4, 0, 3, 0, 2, 0, 1, 0, 0, 0, 0, 0};
    vih.dwProfile = kProfile[ext[4] & 7];
    vih.dwLevel = kLevel[ext[5] >> 4];
  }
  std::memcpy(block, &vih, offsetof(MPEG2VIDEOINFO, dwSequenceHeader));
  std::memcpy(block + offsetof(MPEG2VIDEOINFO, dwSequenceHeader), header, size);
  *pmt = mt;
  return pmt->pbFormat != nullptr;
}

namespace {

int AacRateIndex(int64_t rate) {
  static const int kThresholds[11] = {92017, 75132, 55426, 46009, 37566, 27713, 23004, 18783, 13856, 11502, 9391};
  for (int i = 0; i < 11; ++i)
    if (rate >= kThresholds[i]) return i;
  return 11;
}

}  // namespace

int MakeAacAudioSpecificConfig(BYTE* out, int profile, int sampleRate, int channels) {
  if (!out) return 0;
  const int64_t objectType = std::llabs(static_cast<int64_t>(profile)) + 1;
  const int index = AacRateIndex(sampleRate);
  out[0] = static_cast<BYTE>((objectType << 3) | (index >> 1));
  out[1] = static_cast<BYTE>(((index & 1) << 7) | ((static_cast<unsigned>(channels) << 3) & 0xFF));
  if (profile >= 0) return 2;
  // SBR signalled by a sync extension carrying the doubled rate.
  const int index2 = AacRateIndex(2 * static_cast<int64_t>(sampleRate));
  out[2] = 0x56;
  out[3] = 0xE5;
  out[4] = static_cast<BYTE>(0x80 | (index2 << 3));
  return 5;
}

CMediaType MakeUnreadCodecType(const GUID& major, const std::string& codec) {
  CMediaType mt;
  mt.majortype = major;
  mt.subtype = MEDIASUBTYPE_UnreadCodec;
  mt.formattype = FORMAT_None;
  // Printable characters only, and a bound: the name comes from the file.
  std::string name;
  for (char c : codec.substr(0, 64)) name += (c >= 0x20 && c < 0x7F) ? c : '?';
  if (name.empty()) name = "?";
  mt.SetFormat(reinterpret_cast<const BYTE*>(name.data()), static_cast<ULONG>(name.size()));
  return mt;
}

std::string UnreadCodecName(const AM_MEDIA_TYPE& mt) {
  if (mt.subtype != MEDIASUBTYPE_UnreadCodec || !mt.pbFormat) return {};
  return std::string(reinterpret_cast<const char*>(mt.pbFormat), std::min<ULONG>(mt.cbFormat, 64));
}

namespace {
thread_local std::string t_sourceRefusal;
thread_local std::vector<GUID> t_damagedSetups;
}  // namespace

void SetSourceRefusal(const std::string& why) { t_sourceRefusal = why; }

std::string TakeSourceRefusal() {
  t_damagedSetups.clear();
  return std::exchange(t_sourceRefusal, std::string());
}

void RefuseAsDamaged(const GUID& subtype) {
  if (!RefusedAsDamaged(subtype)) t_damagedSetups.push_back(subtype);
}

bool RefusedAsDamaged(const GUID& subtype) {
  return std::find(t_damagedSetups.begin(), t_damagedSetups.end(), subtype) != t_damagedSetups.end();
}

ULONGLONG GetFileVersion(const char* path) {
  if (!path) return 0;
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &handle);
  if (size == 0) return 0;
  std::vector<BYTE> block(size);
  if (!GetFileVersionInfoA(path, handle, size, block.data())) return 0;
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block.data(), "\\", &value, &length) || !value || length < sizeof(VS_FIXEDFILEINFO)) return 0;
  VS_FIXEDFILEINFO info;
  std::memcpy(&info, value, sizeof(info));
  return (static_cast<ULONGLONG>(info.dwFileVersionMS) << 32) | info.dwFileVersionLS;
}

// ---------------------------------------------------------------------------
// Strings and GUIDs

GUID StringToGuid(const std::wstring& text) {
  GUID guid = GUID_NULL;
  if (FAILED(CLSIDFromString(text.c_str(), &guid))) guid = GUID_NULL;
  return guid;
}

HRESULT ParseGuidString(const std::wstring& text, GUID& guid) {
  guid = GUID_NULL;
  return CLSIDFromString(text.c_str(), &guid);
}

std::wstring GuidToString(const GUID& guid) {
  WCHAR buffer[127] = {};
  if (StringFromGUID2(guid, buffer, 127) == 0 && StringFromGUID2(GUID_NULL, buffer, 127) == 0) return std::wstring();
  return buffer;
}

void HexStringToBytes(const std::string& text, std::vector<BYTE>& bytes) {
  bytes.assign(text.size() / 2, 0);
  BYTE high = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    int nibble;
    if (c >= '0' && c <= '9')
      nibble = c - '0';
    else if (c >= 'A' && c <= 'F')
      nibble = c - 'A' + 10;
    else
      break;
    if ((i & 1) == 0)
      high = static_cast<BYTE>(nibble << 4);
    else if (i / 2 < bytes.size())
      bytes[i / 2] = static_cast<BYTE>(high | nibble);
  }
}
