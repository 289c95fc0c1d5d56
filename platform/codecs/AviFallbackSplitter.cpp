#include "platform/codecs/AviFallbackSplitter.h"

#include "platform/com/ComBase.h"
#include "platform/com/ComPtr.h"

// ---------------------------------------------------------------------------
// CAviFallbackInputPin

CAviFallbackInputPin::CAviFallbackInputPin(CAviFallbackSplitter* filter, CCritSec* lock, HRESULT* phr)
    : CBasePin("AVI input", filter, lock, phr, L"Input", PINDIR_INPUT), m_splitter(filter) {}

HRESULT CAviFallbackInputPin::CheckMediaType(const CMediaType* pmt) {
  if (!pmt || pmt->majortype != MEDIATYPE_Stream) return S_FALSE;
  return pmt->subtype == MEDIASUBTYPE_Avi || pmt->subtype == GUID_NULL ? S_OK : S_FALSE;
}

HRESULT CAviFallbackInputPin::CheckConnect(IPin* pin) {
  HRESULT hr = CBasePin::CheckConnect(pin);
  if (FAILED(hr)) return hr;
  CComQIPtr<IAsyncReader> reader(pin);
  return reader ? S_OK : E_NOINTERFACE;
}

HRESULT CAviFallbackInputPin::CompleteConnect(IPin* pin) {
  HRESULT hr = CBasePin::CompleteConnect(pin);
  if (FAILED(hr)) return hr;
  CComQIPtr<IAsyncReader> reader(pin);
  if (!reader) return E_NOINTERFACE;
  return m_splitter->Open(reader);
}

HRESULT CAviFallbackInputPin::BreakConnect() {
  m_splitter->Close();
  return CBasePin::BreakConnect();
}

// ---------------------------------------------------------------------------
// CAviFallbackSplitter

CAviFallbackSplitter::CAviFallbackSplitter(LPUNKNOWN outer)
    : CFfDemuxSource("Installed AVI Splitter", outer, CLSID_AviFallbackSplitter) {
  HRESULT hr = S_OK;
  m_input = std::make_unique<CAviFallbackInputPin>(this, &m_cStateLock, &hr);
}

CAviFallbackSplitter::~CAviFallbackSplitter() = default;

HRESULT CAviFallbackSplitter::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  auto* f = new CAviFallbackSplitter(outer);
  f->NonDelegatingAddRef();
  HRESULT hr = f->NonDelegatingQueryInterface(riid, ppv);
  f->NonDelegatingRelease();
  return hr;
}

int CAviFallbackSplitter::GetPinCount() {
  CAutoLock lock(&m_cStateLock);
  return m_iPins + 1;
}

CBasePin* CAviFallbackSplitter::GetPin(int n) {
  CAutoLock lock(&m_cStateLock);
  if (n == m_iPins) return m_input.get();
  return CFfDemuxSource::GetPin(n);
}

HRESULT CAviFallbackSplitter::Open(IAsyncReader* reader) {
  CAutoLock lock(&m_cStateLock);
  Close();
  HRESULT hr = m_demux.Open(reader, "avi");
  if (SUCCEEDED(hr)) hr = CreatePins(L"Video ", L"Audio ");
  if (FAILED(hr)) Close();
  return hr;
}

void CAviFallbackSplitter::Close() {
  CAutoLock lock(&m_cStateLock);
  RetirePins();
  m_demux.Close();
}
