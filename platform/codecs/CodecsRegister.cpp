#include "platform/codecs/CodecsRegister.h"

#include <string>
#include <vector>

#include "platform/codecs/AsfSource.h"
#include "platform/codecs/AudioDecoder.h"
#include "platform/codecs/AviFallbackSplitter.h"
#include "platform/codecs/PcmResample.h"
#include "platform/codecs/Resizer.h"
#include "platform/codecs/VideoDecoder.h"
#include "platform/codecs/WaveParser.h"
#include "platform/com/ComPtr.h"
#include "platform/dshow/Signatures.h"
#include "platform/win32/CodePage.h"
#include "platform/win32/Module.h"
#include "platform/win32/Registry.h"

namespace {

struct PinSpec {
  DWORD flags;
  std::vector<GUID> majors;    // one per type
  std::vector<GUID> subtypes;  // parallel to majors
};

struct FilterSpec {
  CLSID clsid;
  CreateInstanceFn create;
  const wchar_t* name;
  DWORD merit;
  std::vector<PinSpec> pins;
};

PinSpec Pin(DWORD flags, const GUID& major, std::vector<GUID> subtypes) {
  PinSpec p{flags, {}, std::move(subtypes)};
  p.majors.assign(p.subtypes.size(), major);
  return p;
}

HRESULT RegisterWithMapper(IFilterMapper2* mapper, const FilterSpec& f) {
  std::vector<std::vector<REGPINTYPES>> types(f.pins.size());
  std::vector<REGFILTERPINS2> pins(f.pins.size());
  for (size_t i = 0; i < f.pins.size(); ++i) {
    for (size_t t = 0; t < f.pins[i].subtypes.size(); ++t)
      types[i].push_back({&f.pins[i].majors[t], &f.pins[i].subtypes[t]});
    pins[i] = {f.pins[i].flags, 1, static_cast<UINT>(types[i].size()), types[i].data(), 0, nullptr, nullptr};
  }
  REGFILTER2 reg{};
  reg.dwVersion = 2;
  reg.dwMerit = f.merit;
  reg.cPins2 = static_cast<ULONG>(pins.size());
  reg.rgPins2 = pins.data();
  return mapper->RegisterFilter(f.clsid, f.name, nullptr, &CLSID_LegacyAmFilterCategory, nullptr, &reg);
}

// Both cases of every FourCC the installed decoder knows.
std::vector<GUID> InstalledVideoSubtypes() {
  std::vector<GUID> out;
  for (const auto& e : CFfVideoDecoder::CodecTable()) {
    out.push_back(FourCCGuid(e.fourcc));
    // A code of mixed case (AVRn) is registered as written and in both cases.
    DWORD lower = 0, upper = 0;
    for (int i = 0; i < 4; ++i) {
      const DWORD c = (e.fourcc >> (8 * i)) & 0xFF;
      lower |= (c >= 'A' && c <= 'Z' ? c + 'a' - 'A' : c) << (8 * i);
      upper |= (c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c) << (8 * i);
    }
    if (upper != e.fourcc) out.push_back(FourCCGuid(upper));
    if (lower != e.fourcc) out.push_back(FourCCGuid(lower));
  }
  return out;
}

HRESULT FromWin32(LONG r) { return r == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(r)); }

HRESULT RegisterAsfSignature() {
  const std::wstring source = GuidToStringW(CLSID_WMAsfReader);
  const std::wstring key =
      L"Media Type\\" + GuidToStringW(MEDIATYPE_Stream) + L"\\" + GuidToStringW(MEDIASUBTYPE_Asf);
  if (HRESULT hr = FromWin32(dshow_reg::SetString(HKEY_CLASSES_ROOT, key, L"Source Filter", source)); FAILED(hr))
    return hr;
  // The header object's GUID as it is stored at the start of the file.
  if (HRESULT hr = FromWin32(dshow_reg::SetString(HKEY_CLASSES_ROOT, key, L"0", L"0,16,,3026B2758E66CF11A6D900AA0062CE6C"));
      FAILED(hr))
    return hr;
  for (const wchar_t* ext : {L".asf", L".wmv", L".wma"}) {
    const std::wstring k = std::wstring(L"Media Type\\Extensions\\") + ext;
    for (auto [name, value] : {std::pair<const wchar_t*, std::wstring>{L"Source Filter", source},
                               {L"Media Type", GuidToStringW(MEDIATYPE_Stream)},
                               {L"Subtype", GuidToStringW(MEDIASUBTYPE_Asf)}}) {
      if (HRESULT hr = FromWin32(dshow_reg::SetString(HKEY_CLASSES_ROOT, k, name, value)); FAILED(hr)) return hr;
    }
  }
  return S_OK;
}

// The RealMedia player's codec folder: its modules are built into "codecs"
// beside the program.
HRESULT RegisterRealCodecFolder() {
  char exe[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameA(nullptr, exe, sizeof exe);
  if (n == 0 || n >= sizeof exe) return E_FAIL;
  std::string folder(exe, n);
  folder = folder.substr(0, folder.find_last_of('/') + 1) + "codecs";
  const std::wstring value = Utf8ToWide(folder);
  for (const wchar_t* key :
       {L"Software\\RealNetworks\\Preferences\\DT_Codecs", L"Helix\\HelixSDK\\10.0\\Preferences\\DT_Codecs"}) {
    if (HRESULT hr = FromWin32(dshow_reg::SetString(HKEY_CLASSES_ROOT, key, L"", value)); FAILED(hr)) return hr;
  }
  return S_OK;
}

}  // namespace

HRESULT CodecsRegisterPlatform() {
  const GUID anyType = GUID_NULL;
  const std::vector<FilterSpec> filters = {
      // Used only where the converter inserts them by class id.
      {CLSID_ACMWrapper, &CPcmResampleFilter::CreateInstance, L"PCM Resample", MERIT_DO_NOT_USE,
       {Pin(0, MEDIATYPE_Audio, {MEDIASUBTYPE_PCM, MEDIASUBTYPE_IEEE_FLOAT}),
        Pin(REG_PINFLAG_B_OUTPUT, MEDIATYPE_Audio, {MEDIASUBTYPE_PCM})}},
      {CLSID_VideoResizer, &CResizerFilter::CreateInstance, L"Resizer", MERIT_DO_NOT_USE,
       {Pin(0, MEDIATYPE_Video, {anyType}), Pin(REG_PINFLAG_B_OUTPUT, MEDIATYPE_Video, {anyType})}},
      {CLSID_FfdshowVideoDecoder, &CFfVideoDecoder::CreateInstalled, L"ffdshow Video Decoder", MERIT_NORMAL + 0x100,
       {Pin(0, MEDIATYPE_Video, InstalledVideoSubtypes()),
        Pin(REG_PINFLAG_B_OUTPUT, MEDIATYPE_Video,
            {MEDIASUBTYPE_YV12, MEDIASUBTYPE_YUY2, MEDIASUBTYPE_RGB32, MEDIASUBTYPE_RGB24})}},
      {CLSID_CMpegVideoCodec, &CFfVideoDecoder::CreateMpeg1, L"MPEG Video Decoder", MERIT_NORMAL,
       {Pin(0, MEDIATYPE_Video, {MEDIASUBTYPE_MPEG1Packet, MEDIASUBTYPE_MPEG1Payload, MEDIASUBTYPE_MPEG1Video}),
        Pin(REG_PINFLAG_B_OUTPUT, MEDIATYPE_Video,
            {MEDIASUBTYPE_YV12, MEDIASUBTYPE_YUY2, MEDIASUBTYPE_RGB32, MEDIASUBTYPE_RGB24})}},
      {CLSID_FfAudioDecoder, &CFfAudioDecoder::CreateInstance, L"Installed Audio Decoder", MERIT_NORMAL,
       {Pin(0, MEDIATYPE_Audio, CFfAudioDecoder::Subtypes()),
        Pin(REG_PINFLAG_B_OUTPUT, MEDIATYPE_Audio, {MEDIASUBTYPE_PCM})}},
      {CLSID_WMAsfReader, &CAsfSourceFilter::CreateInstance, L"WM ASF Reader", MERIT_UNLIKELY,
       {Pin(REG_PINFLAG_B_OUTPUT, MEDIATYPE_Video, {anyType}), Pin(REG_PINFLAG_B_OUTPUT, MEDIATYPE_Audio, {anyType})}},
      // Reads what the platform's AVI splitter leaves (streams stored one
      // after the other); tried after it.
      {CLSID_AviFallbackSplitter, &CAviFallbackSplitter::CreateInstance, L"Installed AVI Splitter", MERIT_NORMAL,
       {Pin(0, MEDIATYPE_Stream, {MEDIASUBTYPE_Avi}), Pin(REG_PINFLAG_B_OUTPUT, MEDIATYPE_Video, {anyType}),
        Pin(REG_PINFLAG_B_OUTPUT, MEDIATYPE_Audio, {anyType})}},
      {CLSID_WAVEParser, &CWaveParser::CreateInstance, L"Wave Parser", MERIT_UNLIKELY,
       {Pin(0, MEDIATYPE_Stream, {MEDIASUBTYPE_WAVE}), Pin(REG_PINFLAG_B_OUTPUT, MEDIATYPE_Audio, {anyType})}},
  };
  HRESULT result = S_OK;
  auto keep = [&](HRESULT hr) {
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  };
  CComPtr<IFilterMapper2> mapper;
  keep(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                        reinterpret_cast<void**>(&mapper)));
  for (const auto& f : filters) {
    keep(CoRegisterClass(f.clsid, f.create, f.name));
    keep(FromWin32(dshow_reg::SetString(HKEY_CLASSES_ROOT, L"CLSID\\" + GuidToStringW(f.clsid), L"", f.name)));
    if (mapper) keep(RegisterWithMapper(mapper, f));
  }
  keep(RegisterAsfSignature());
  keep(RegisterRealCodecFolder());
  return result;
}
