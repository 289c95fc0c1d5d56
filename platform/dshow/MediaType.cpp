#include "platform/dshow/MediaType.h"

#include <cstring>

#include "platform/com/ComBase.h"

void FreeMediaType(AM_MEDIA_TYPE& mt) {
  if (mt.pbFormat) CoTaskMemFree(mt.pbFormat);
  mt.pbFormat = nullptr;
  mt.cbFormat = 0;
  if (mt.pUnk) {
    mt.pUnk->Release();
    mt.pUnk = nullptr;
  }
}

void DeleteMediaType(AM_MEDIA_TYPE* pmt) {
  if (!pmt) return;
  FreeMediaType(*pmt);
  CoTaskMemFree(pmt);
}

HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source) {
  if (!target || !source) return E_POINTER;
  if (target == source) return S_OK;
  *target = *source;
  target->pbFormat = nullptr;
  target->cbFormat = 0;
  // A length without a block is a malformed type; it is copied as a type
  // without a format block rather than read from a null pointer.
  if (source->cbFormat != 0 && source->pbFormat) {
    target->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(source->cbFormat));
    if (!target->pbFormat) {
      target->pUnk = nullptr;
      return E_OUTOFMEMORY;
    }
    std::memcpy(target->pbFormat, source->pbFormat, source->cbFormat);
    target->cbFormat = source->cbFormat;
  }
  if (target->pUnk) target->pUnk->AddRef();
  return S_OK;
}

AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* src) {
  if (!src) return nullptr;
  auto* pmt = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
  if (!pmt) return nullptr;
  if (FAILED(CopyMediaType(pmt, src))) {
    CoTaskMemFree(pmt);
    return nullptr;
  }
  return pmt;
}

CMediaType::CMediaType() : AM_MEDIA_TYPE{} { InitMediaType(); }

CMediaType::CMediaType(const GUID* majorType) : AM_MEDIA_TYPE{} {
  InitMediaType();
  if (majorType) majortype = *majorType;
}

CMediaType::CMediaType(const AM_MEDIA_TYPE& mt, HRESULT* phr) : AM_MEDIA_TYPE{} {
  InitMediaType();
  HRESULT hr = CopyMediaType(this, &mt);
  if (phr) *phr = hr;
}

CMediaType::CMediaType(const CMediaType& mt, HRESULT* phr) : CMediaType(static_cast<const AM_MEDIA_TYPE&>(mt), phr) {}

CMediaType::~CMediaType() { FreeMediaType(*this); }

CMediaType& CMediaType::operator=(const CMediaType& mt) {
  Set(mt);
  return *this;
}

CMediaType& CMediaType::operator=(const AM_MEDIA_TYPE& mt) {
  Set(mt);
  return *this;
}

HRESULT CMediaType::Set(const CMediaType& mt) { return Set(static_cast<const AM_MEDIA_TYPE&>(mt)); }

HRESULT CMediaType::Set(const AM_MEDIA_TYPE& mt) {
  if (&mt == this) return S_OK;
  // Copy first so that assigning a type that shares our IUnknown keeps it
  // alive.
  AM_MEDIA_TYPE copy{};
  HRESULT hr = CopyMediaType(&copy, &mt);
  FreeMediaType(*this);
  if (FAILED(hr)) {
    InitMediaType();
    return hr;
  }
  static_cast<AM_MEDIA_TYPE&>(*this) = copy;
  return S_OK;
}

bool CMediaType::operator==(const CMediaType& mt) const {
  if (majortype != mt.majortype || subtype != mt.subtype || formattype != mt.formattype) return false;
  if (cbFormat != mt.cbFormat) return false;
  if (cbFormat == 0) return true;
  if (!pbFormat || !mt.pbFormat) return pbFormat == mt.pbFormat;
  return std::memcmp(pbFormat, mt.pbFormat, cbFormat) == 0;
}

void CMediaType::SetSampleSize(ULONG size) {
  if (size == 0) {
    SetVariableSize();
  } else {
    bFixedSizeSamples = TRUE;
    lSampleSize = size;
  }
}

BOOL CMediaType::SetFormat(const BYTE* format, ULONG length) {
  if (length != 0 && !format) return FALSE;
  BYTE* block = AllocFormatBuffer(length);
  if (!block && length != 0) return FALSE;
  if (length) std::memcpy(block, format, length);
  return TRUE;
}

void CMediaType::ResetFormatBuffer() {
  if (pbFormat) CoTaskMemFree(pbFormat);
  pbFormat = nullptr;
  cbFormat = 0;
}

BYTE* CMediaType::AllocFormatBuffer(ULONG length) {
  if (length == 0) {
    ResetFormatBuffer();
    return nullptr;
  }
  if (cbFormat == length && pbFormat) {
    std::memset(pbFormat, 0, length);
    return pbFormat;
  }
  auto* block = static_cast<BYTE*>(CoTaskMemAlloc(length));
  if (!block) return nullptr;
  std::memset(block, 0, length);
  ResetFormatBuffer();
  pbFormat = block;
  cbFormat = length;
  return pbFormat;
}

BYTE* CMediaType::ReallocFormatBuffer(ULONG length) {
  if (length == 0) {
    ResetFormatBuffer();
    return nullptr;
  }
  auto* block = static_cast<BYTE*>(CoTaskMemAlloc(length));
  if (!block) return nullptr;
  ULONG keep = pbFormat ? (cbFormat < length ? cbFormat : length) : 0;
  if (keep) std::memcpy(block, pbFormat, keep);
  if (length > keep) std::memset(block + keep, 0, length - keep);
  ResetFormatBuffer();
  pbFormat = block;
  cbFormat = length;
  return pbFormat;
}

void CMediaType::InitMediaType() {
  // Resetting a type that holds a format block or an object releases them;
  // the constructors start from a zeroed type, so this is safe there too.
  FreeMediaType(*this);
  majortype = GUID_NULL;
  subtype = GUID_NULL;
  formattype = GUID_NULL;
  bFixedSizeSamples = TRUE;
  bTemporalCompression = FALSE;
  lSampleSize = 1;
  pUnk = nullptr;
  cbFormat = 0;
  pbFormat = nullptr;
}

BOOL CMediaType::MatchesPartial(const CMediaType* partial) const {
  if (!partial) return TRUE;
  if (partial->majortype != GUID_NULL && majortype != partial->majortype) return FALSE;
  if (partial->subtype != GUID_NULL && subtype != partial->subtype) return FALSE;
  if (partial->formattype != GUID_NULL) {
    if (formattype != partial->formattype) return FALSE;
    if (partial->cbFormat != 0) {
      if (cbFormat != partial->cbFormat) return FALSE;
      if (!pbFormat || !partial->pbFormat) return FALSE;
      if (std::memcmp(pbFormat, partial->pbFormat, cbFormat) != 0) return FALSE;
    }
  }
  return TRUE;
}

BOOL CMediaType::IsPartiallySpecified() const {
  // A null subtype is a valid full type (a byte stream of unknown kind).
  return majortype == GUID_NULL || formattype == GUID_NULL;
}
