#include "conversion/PassThroughFilter.h"

#include <cstring>

CPassThroughFilter::CPassThroughFilter(LPCTSTR name, LPUNKNOWN outer, REFCLSID clsid)
    : CTransformFilter(name, outer, clsid) {}

HRESULT CPassThroughFilter::DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES*) {
  CheckPointer(alloc, E_POINTER);
  if (!m_pInput || !m_pInput->IsConnected() || !m_pInput->m_pAllocator) return E_UNEXPECTED;
  ALLOCATOR_PROPERTIES wanted{};
  HRESULT hr = m_pInput->m_pAllocator->GetProperties(&wanted);
  if (FAILED(hr)) return hr;
  if (wanted.cbAlign <= 0) wanted.cbAlign = 1;
  ALLOCATOR_PROPERTIES actual{};
  hr = alloc->SetProperties(&wanted, &actual);
  if (FAILED(hr)) return hr;
  if (actual.cbBuffer < wanted.cbBuffer || actual.cBuffers < wanted.cBuffers) return E_FAIL;
  return S_OK;
}

HRESULT CPassThroughFilter::InitializeOutputSample(IMediaSample* sample, IMediaSample** outSample) {
  HRESULT hr = CTransformFilter::InitializeOutputSample(sample, outSample);
  if (FAILED(hr) || sample->GetActualDataLength() <= (*outSample)->GetSize()) return hr;
  (*outSample)->Release();
  *outSample = nullptr;
  hr = GrowAllocatorBuffers(m_pOutput->m_pAllocator, sample->GetActualDataLength());
  if (FAILED(hr)) return hr;
  return CTransformFilter::InitializeOutputSample(sample, outSample);
}

bool CPassThroughFilter::BringsNewFormat() {
  if (!m_pInput) return false;
  const AM_SAMPLE2_PROPERTIES* props = m_pInput->SampleProps();
  return (props->dwSampleFlags & AM_SAMPLE_TYPECHANGED) && props->pMediaType;
}

bool CPassThroughFilter::NewOutputFormat(CMediaType* mt) {
  if (!BringsNewFormat()) return false;
  *mt = *m_pInput->SampleProps()->pMediaType;
  return true;
}

HRESULT CPassThroughFilter::Restamp(IMediaSample*, IMediaSample*) { return S_OK; }

HRESULT CPassThroughFilter::Transform(IMediaSample* in, IMediaSample* out) {
  CheckPointer(in, E_POINTER);
  CheckPointer(out, E_POINTER);
  BYTE* src = nullptr;
  BYTE* dst = nullptr;
  in->GetPointer(&src);
  out->GetPointer(&dst);
  const LONG length = in->GetActualDataLength();
  if (!src || !dst || length <= 0 || length > out->GetSize()) return S_FALSE;
  std::memcpy(dst, src, static_cast<size_t>(length));
  HRESULT hr = out->SetActualDataLength(length);
  if (FAILED(hr)) return hr;
  // A new format passes on with its first sample.
  CMediaType mt;
  if (NewOutputFormat(&mt)) out->SetMediaType(&mt);
  return Restamp(in, out);
}

HRESULT CPassThroughFilter::SampleToPass(IMediaSample* in, IMediaSample** out) {
  CheckPointer(out, E_POINTER);
  *out = nullptr;
  BYTE* data = nullptr;
  in->GetPointer(&data);
  if (!BringsNewFormat() && data && in->GetActualDataLength() > 0) {
    in->AddRef();
    *out = in;
    return S_OK;
  }
  IMediaSample* copy = nullptr;
  HRESULT hr = InitializeOutputSample(in, &copy);
  if (FAILED(hr)) return hr;
  hr = Transform(in, copy);
  if (hr != S_OK) {
    copy->Release();
    return FAILED(hr) ? hr : S_FALSE;
  }
  *out = copy;
  return S_OK;
}

HRESULT CPassThroughFilter::Receive(IMediaSample* sample) {
  CheckPointer(sample, E_POINTER);
  if (m_pInput->SampleProps()->dwStreamId != AM_STREAM_MEDIA) return CTransformFilter::Receive(sample);
  if (!m_pOutput || !m_pOutput->m_pInputPin) return VFW_E_NOT_CONNECTED;
  IMediaSample* out = nullptr;
  HRESULT hr = SampleToPass(sample, &out);
  if (hr != S_OK) return FAILED(hr) ? hr : S_OK;
  // A copy was restamped by Transform; the sample itself is restamped here.
  if (out == sample) hr = Restamp(sample, out);
  if (SUCCEEDED(hr)) hr = m_pOutput->m_pInputPin->Receive(out);
  out->Release();
  return hr;
}
