#include "graph/core/GraphUtil.h"

#include <cstdio>

#include "foundation/FilterHelpers.h"
#include "platform/com/ComPtr.h"

namespace {
PELLOMAR_DEFINE_GUID(CLSID_DefaultVideoRenderer, "6BC1CFFA-8FC1-4261-AC22-CFB4CC38DB50");
PELLOMAR_DEFINE_GUID(CLSID_RendererDD9ED57D, "DD9ED57D-6ABF-42E8-89A2-11D04798DC58");
PELLOMAR_DEFINE_GUID(CLSID_AudioRender, "E30629D1-27E5-11CE-875D-00608CB78066");
PELLOMAR_DEFINE_GUID(CLSID_AudioRenderer9DC15360, "9DC15360-914C-46B8-B9DF-BFE67FD36C6A");
PELLOMAR_DEFINE_GUID(CLSID_AudioRenderer64A45125, "64A45125-7343-4772-9DA4-179FAC9D462C");
}  // namespace

bool IsRendererFilter(IBaseFilter* filter) {
  if (!filter) return false;
  const CLSID clsid = GetFilterClsid(filter);
  if (clsid == CLSID_VideoRenderer || clsid == CLSID_DefaultVideoRenderer || clsid == CLSID_OverlayMixer ||
      clsid == CLSID_RendererDD9ED57D)
    return true;
  std::wstring name = GetFilterName(filter);
  for (wchar_t& c : name)
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  return name.find(L"render") != std::wstring::npos;
}

bool IsAudioRendererFilter(IBaseFilter* filter) {
  if (!filter) return false;
  int inputs = 0, outputs = 0, connectedInputs = 0, connectedOutputs = 0;
  CountFilterPins(filter, inputs, outputs, connectedInputs, connectedOutputs);
  CComQIPtr<IBasicAudio> audio(filter);
  if (connectedInputs > 0 && outputs == 0 && audio) {
    CComPtr<IEnumPins> e;
    if (SUCCEEDED(filter->EnumPins(&e)) && e) {
      for (CComPtr<IPin> pin; e->Next(1, &pin, nullptr) == S_OK; pin.Release()) {
        CMediaType mt;
        if (SUCCEEDED(pin->ConnectionMediaType(&mt))) return mt.majortype == MEDIATYPE_Audio;
      }
    }
  }
  const CLSID clsid = GetFilterClsid(filter);
  return clsid == CLSID_DSoundRender || clsid == CLSID_AudioRender || clsid == CLSID_AudioRenderer9DC15360 ||
         clsid == CLSID_AudioRenderer64A45125;
}

std::wstring FormatCodecTag(DWORD tag, bool numericOnly) {
  wchar_t text[64];
  if (numericOnly) {
    std::swprintf(text, 64, L"0x%x", static_cast<unsigned>(tag));
    return text;
  }
  // The tag bytes, lowest first, up to the first zero byte. A tag that is
  // no text (a wave format number such as 0xFF) is shown as its number.
  std::wstring chars;
  for (int i = 0; i < 4; ++i) {
    const wchar_t c = static_cast<wchar_t>((tag >> (8 * i)) & 0xFF);
    if (c == 0) break;
    if (c < 0x20 || c > 0x7E) return FormatCodecTag(tag, true);
    chars += c;
  }
  std::swprintf(text, 64, L" - 0x%x", static_cast<unsigned>(tag));
  return chars + text;
}
