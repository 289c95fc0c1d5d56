#include "platform/dshow/Source.h"

#include <algorithm>
#include <cwchar>
#include <string>

#include "platform/com/ComBase.h"
#include "platform/dshow/Errors.h"

// ---------------------------------------------------------------------------
// CSource

CSource::CSource(LPCTSTR name, LPUNKNOWN outer, REFCLSID clsid, HRESULT* phr)
    : CBaseFilter(name, outer, &m_cStateLock, clsid, phr) {}

CSource::~CSource() {
  // Each pin removes itself from the list as it is deleted.
  while (!m_paStreams.empty()) delete m_paStreams.back();
}

int CSource::GetPinCount() {
  CAutoLock lock(&m_cStateLock);
  return m_iPins;
}

CBasePin* CSource::GetPin(int n) {
  CAutoLock lock(&m_cStateLock);
  if (n < 0 || n >= m_iPins) return nullptr;
  return m_paStreams[static_cast<size_t>(n)];
}

STDMETHODIMP CSource::FindPin(LPCWSTR id, IPin** ppPin) {
  CheckPointer(ppPin, E_POINTER);
  *ppPin = nullptr;
  CheckPointer(id, E_POINTER);
  // Pins are found by their number ("1", "2"...), as QueryId gives them,
  // or by name.
  wchar_t* end = nullptr;
  long n = std::wcstol(id, &end, 10);
  if (end && *end == L'\0' && end != id) {
    CBasePin* pin = GetPin(static_cast<int>(n - 1));
    if (pin) {
      *ppPin = pin;
      pin->AddRef();
      return S_OK;
    }
  }
  return CBaseFilter::FindPin(id, ppPin);
}

HRESULT CSource::AddPin(CSourceStream* stream) {
  CAutoLock lock(&m_cStateLock);
  m_paStreams.push_back(stream);
  m_iPins = static_cast<int>(m_paStreams.size());
  IncrementPinVersion();
  return S_OK;
}

HRESULT CSource::RemovePin(CSourceStream* stream) {
  CAutoLock lock(&m_cStateLock);
  auto it = std::find(m_paStreams.begin(), m_paStreams.end(), stream);
  if (it == m_paStreams.end()) return S_FALSE;
  m_paStreams.erase(it);
  m_iPins = static_cast<int>(m_paStreams.size());
  IncrementPinVersion();
  return S_OK;
}

int CSource::FindPinNumber(IPin* pin) {
  CAutoLock lock(&m_cStateLock);
  for (int i = 0; i < m_iPins; ++i)
    if (static_cast<IPin*>(m_paStreams[static_cast<size_t>(i)]) == pin) return i;
  return -1;
}

// ---------------------------------------------------------------------------
// CSourceStream

CSourceStream::CSourceStream(LPCTSTR objectName, HRESULT* phr, CSource* filter, LPCWSTR pinName)
    : CBaseOutputPin(objectName, filter, filter->pStateLock(), phr, pinName), m_pFilter(filter) {
  HRESULT hr = filter->AddPin(this);
  if (phr && FAILED(hr)) *phr = hr;
}

CSourceStream::~CSourceStream() {
  // A worker still running here would run on a half-destroyed object.
  if (ThreadExists()) {
    CallWorker(CMD_STOP);
    CallWorker(CMD_EXIT);
    Close();
  }
  m_pFilter->RemovePin(this);
}

HRESULT CSourceStream::Active() {
  CAutoLock lock(m_pFilter->pStateLock());
  if (m_pFilter->IsActive()) return S_FALSE;
  if (!IsConnected()) return S_OK;
  HRESULT hr = CBaseOutputPin::Active();
  if (FAILED(hr)) return hr;
  if (ThreadExists()) return E_UNEXPECTED;
  if (!Create()) return E_FAIL;
  hr = Init();
  if (FAILED(hr)) {
    Close();
    return hr;
  }
  return Pause();
}

HRESULT CSourceStream::Inactive() {
  CAutoLock lock(m_pFilter->pStateLock());
  if (!IsConnected()) return S_OK;
  // The decommit comes first: it releases a worker blocked in
  // GetDeliveryBuffer, so the stop command below is seen.
  HRESULT hr = CBaseOutputPin::Inactive();
  if (FAILED(hr)) return hr;
  if (ThreadExists()) {
    hr = Stop();
    if (FAILED(hr)) return hr;
    hr = Exit();
    if (FAILED(hr)) return hr;
    Close();
  }
  return S_OK;
}

HRESULT CSourceStream::CheckMediaType(const CMediaType* pmt) {
  CAutoLock lock(m_pFilter->pStateLock());
  CMediaType mt;
  if (FAILED(GetMediaType(&mt))) return E_FAIL;
  return mt == *pmt ? S_OK : E_FAIL;
}

HRESULT CSourceStream::GetMediaType(int position, CMediaType* pmt) {
  CAutoLock lock(m_pFilter->pStateLock());
  if (position < 0) return E_INVALIDARG;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  return GetMediaType(pmt);
}

HRESULT CSourceStream::GetMediaType(CMediaType*) { return E_UNEXPECTED; }

STDMETHODIMP CSourceStream::QueryId(LPWSTR* id) {
  CheckPointer(id, E_POINTER);
  int n = m_pFilter->FindPinNumber(this) + 1;
  if (n < 1) return VFW_E_NOT_FOUND;
  std::wstring text = std::to_wstring(n);
  *id = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
  if (!*id) return E_OUTOFMEMORY;
  std::wmemcpy(*id, text.c_str(), text.size() + 1);
  return S_OK;
}

STDMETHODIMP CSourceStream::Notify(IBaseFilter*, Quality) { return E_NOTIMPL; }

DWORD CSourceStream::ThreadProc() {
  Command com;
  do {
    com = GetRequest();
    if (com != CMD_INIT) Reply(static_cast<DWORD>(E_UNEXPECTED));
  } while (com != CMD_INIT);

  HRESULT hr = OnThreadCreate();
  if (FAILED(hr)) {
    OnThreadDestroy();
    Reply(static_cast<DWORD>(hr));
    return 1;
  }
  Reply(S_OK);

  Command cmd;
  do {
    cmd = GetRequest();
    switch (cmd) {
      case CMD_EXIT:
      case CMD_STOP:
        Reply(S_OK);
        break;
      case CMD_RUN:
      case CMD_PAUSE:
        Reply(S_OK);
        DoBufferProcessingLoop();
        break;
      default:
        Reply(static_cast<DWORD>(E_NOTIMPL));
        break;
    }
  } while (cmd != CMD_EXIT);

  hr = OnThreadDestroy();
  return FAILED(hr) ? 1 : 0;
}

HRESULT CSourceStream::DoBufferProcessingLoop() {
  OnThreadStartPlay();
  Command com;
  do {
    while (!CheckRequest(&com)) {
      IMediaSample* sample = nullptr;
      HRESULT hr = GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
      if (FAILED(hr) || !sample) {
        // Decommitted: the stop command that follows ends the loop.
        Sleep(1);
        continue;
      }
      hr = FillBuffer(sample);
      if (hr == S_OK) {
        hr = Deliver(sample);
        sample->Release();
        // Downstream no longer takes samples (flushing, stopping, or it
        // failed and reported it): wait for the next command.
        if (hr != S_OK) return S_OK;
      } else if (hr == S_FALSE) {
        sample->Release();
        DeliverEndOfStream();
        return S_OK;
      } else {
        sample->Release();
        // The abort goes out before the end of stream, so that the
        // renderer's completion cannot reach the application first and
        // make a failed stream look finished.
        m_pFilter->NotifyEvent(EC_ERRORABORT, hr, 0);
        DeliverEndOfStream();
        return hr;
      }
    }
    // Run and pause keep the loop going; any other command is handled by
    // ThreadProc, which picks it up again because it has not been replied.
    if (com == CMD_RUN || com == CMD_PAUSE) Reply(S_OK);
  } while (com == CMD_RUN || com == CMD_PAUSE);
  return S_FALSE;
}
