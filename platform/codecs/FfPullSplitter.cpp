#include "platform/codecs/FfPullSplitter.h"

#include "platform/com/ComBase.h"
#include "platform/com/ComPtr.h"

// ---------------------------------------------------------------------------
// CFfPullInputPin

CFfPullInputPin::CFfPullInputPin(CFfPullSplitter* filter, CCritSec* lock, HRESULT* phr)
    : CBasePin("pull splitter input", filter, lock, phr, L"Input", PINDIR_INPUT), m_splitter(filter) {}

HRESULT CFfPullInputPin::CheckMediaType(const CMediaType* pmt) {
  if (!pmt || pmt->majortype != MEDIATYPE_Stream) return S_FALSE;
  return pmt->subtype == m_splitter->Subtype() || pmt->subtype == GUID_NULL ? S_OK : S_FALSE;
}

HRESULT CFfPullInputPin::CheckConnect(IPin* pin) {
  HRESULT hr = CBasePin::CheckConnect(pin);
  if (FAILED(hr)) return hr;
  CComQIPtr<IAsyncReader> reader(pin);
  return reader ? S_OK : E_NOINTERFACE;
}

HRESULT CFfPullInputPin::CompleteConnect(IPin* pin) {
  HRESULT hr = CBasePin::CompleteConnect(pin);
  if (FAILED(hr)) return hr;
  CComQIPtr<IAsyncReader> reader(pin);
  if (!reader) return E_NOINTERFACE;
  return m_splitter->Open(reader);
}

HRESULT CFfPullInputPin::BreakConnect() {
  m_splitter->Close();
  return CBasePin::BreakConnect();
}

// ---------------------------------------------------------------------------
// CFfPullSplitter

CFfPullSplitter::CFfPullSplitter(LPCTSTR name, LPUNKNOWN outer, REFCLSID clsid, const GUID& subtype,
                                 const char* format, const wchar_t* videoPrefix, const wchar_t* audioPrefix)
    : CFfDemuxSource(name, outer, clsid),
      m_subtype(subtype),
      m_format(format),
      m_videoPrefix(videoPrefix),
      m_audioPrefix(audioPrefix) {
  HRESULT hr = S_OK;
  m_input = std::make_unique<CFfPullInputPin>(this, &m_cStateLock, &hr);
}

CFfPullSplitter::~CFfPullSplitter() = default;

int CFfPullSplitter::GetPinCount() {
  CAutoLock lock(&m_cStateLock);
  return m_iPins + 1;
}

CBasePin* CFfPullSplitter::GetPin(int n) {
  CAutoLock lock(&m_cStateLock);
  if (n == m_iPins) return m_input.get();
  return CFfDemuxSource::GetPin(n);
}

HRESULT CFfPullSplitter::Open(IAsyncReader* reader) {
  CAutoLock lock(&m_cStateLock);
  Close();
  HRESULT hr = m_demux.Open(reader, m_format);
  if (SUCCEEDED(hr)) hr = CreatePins(m_videoPrefix, m_audioPrefix);
  if (FAILED(hr)) Close();
  return hr;
}

void CFfPullSplitter::Close() {
  CAutoLock lock(&m_cStateLock);
  RetirePins();
  m_demux.Close();
}
