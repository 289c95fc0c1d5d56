#include "foundation/NullTextRenderer.h"

#include <new>

namespace {
PELLOMAR_DEFINE_GUID(MEDIATYPE_Subtitle, "E487EB08-6B26-4BE9-9DD3-993434D313FD");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_SubpictureA, "7B57308F-5154-4C36-B903-52FE76E184FC");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_SubpictureB, "DA5B82EE-6BD2-426F-BF1E-30112DA78AE1");
}  // namespace

CNullTextRenderer::CTextInputPin::CTextInputPin(CNullTextRenderer* filter, CCritSec* lock, HRESULT* phr)
    : CBaseInputPin(NAME("CTextInputPin"), filter, lock, phr, L"In") {}

HRESULT CNullTextRenderer::CTextInputPin::CheckMediaType(const CMediaType* pmt) {
  if (!pmt) return E_POINTER;
  if (pmt->majortype == MEDIATYPE_Text || pmt->majortype == MEDIATYPE_ScriptCommand ||
      pmt->majortype == MEDIATYPE_Subtitle || pmt->subtype == MEDIASUBTYPE_DVD_SUBPICTURE ||
      pmt->subtype == MEDIASUBTYPE_SubpictureA || pmt->subtype == MEDIASUBTYPE_SubpictureB)
    return S_OK;
  return E_FAIL;
}

CNullTextRenderer::CNullTextRenderer(LPUNKNOWN outer, HRESULT* phr)
    : CBaseFilter(NAME("CNullTextRenderer"), outer, &m_Lock, CLSID_NullTextRenderer, phr) {
  // Without its pin the filter still exists but has nothing to connect.
  m_pInput.reset(new (std::nothrow) CTextInputPin(this, &m_Lock, phr));
}

CNullTextRenderer::~CNullTextRenderer() = default;

int CNullTextRenderer::GetPinCount() { return m_pInput ? 1 : 0; }

CBasePin* CNullTextRenderer::GetPin(int n) { return n == 0 ? m_pInput.get() : nullptr; }
