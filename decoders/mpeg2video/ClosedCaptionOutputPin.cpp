#include "decoders/mpeg2video/ClosedCaptionOutputPin.h"

#include <cstring>

namespace {
constexpr BYTE kUserDataStartCode[4] = {0x00, 0x00, 0x01, 0xB2};
// "CC", 0x01, 0xF8: what DVD authoring puts in front of line-21 data.
constexpr BYTE kDvdCaptionSignature[4] = {0x43, 0x43, 0x01, 0xF8};
constexpr long kBufferSize = 2048;
}  // namespace

CClosedCaptionOutputPin::CClosedCaptionOutputPin(CBaseFilter* filter, CCritSec* lock, HRESULT* phr)
    : CBaseOutputPin(nullptr, filter, lock, phr, L"~CC") {}

HRESULT CClosedCaptionOutputPin::CheckMediaType(const CMediaType* pmt) {
  if (pmt && pmt->majortype == MEDIATYPE_AUXLine21Data && pmt->subtype == MEDIASUBTYPE_Line21_GOPPacket) return S_OK;
  return VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CClosedCaptionOutputPin::GetMediaType(int position, CMediaType* pmt) {
  if (position < 0) return E_INVALIDARG;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  pmt->ResetFormatBuffer();
  pmt->InitMediaType();
  pmt->majortype = MEDIATYPE_AUXLine21Data;
  pmt->subtype = MEDIASUBTYPE_Line21_GOPPacket;
  pmt->formattype = FORMAT_None;
  return S_OK;
}

HRESULT CClosedCaptionOutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* properties) {
  properties->cBuffers = 1;
  properties->cbBuffer = kBufferSize;
  properties->cbAlign = 1;
  properties->cbPrefix = 0;
  ALLOCATOR_PROPERTIES actual{};
  HRESULT hr = allocator->SetProperties(properties, &actual);
  if (FAILED(hr)) return hr;
  return actual.cBuffers < properties->cBuffers || actual.cbBuffer < properties->cbBuffer ? E_FAIL : S_OK;
}

HRESULT CClosedCaptionOutputPin::DeliverUserData(const BYTE* data, DWORD length) {
  if (!data || length <= 4 || std::memcmp(data, kDvdCaptionSignature, 4) != 0 || !IsConnected()) return S_OK;
  IMediaSample* sample = nullptr;
  HRESULT hr = GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
  if (FAILED(hr)) return hr;
  BYTE* out = nullptr;
  sample->GetPointer(&out);
  // A group with more caption data than a buffer holds is not a DVD stream
  // anyone authored; it is dropped rather than cut into a broken packet.
  if (!out || static_cast<uint64_t>(length) + 4 > static_cast<uint64_t>(sample->GetSize())) {
    sample->Release();
    return S_OK;
  }
  std::memcpy(out, kUserDataStartCode, 4);
  std::memcpy(out + 4, data, length);
  sample->SetActualDataLength(static_cast<long>(length + 4));
  hr = Deliver(sample);
  sample->Release();
  return hr;
}
