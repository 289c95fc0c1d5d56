#include "platform/dshow/AsyncIo.h"

#include <chrono>

#include "platform/dshow/Errors.h"

CAsyncIo::CAsyncIo(CAsyncStream* stream) : m_pStream(stream) {}

CAsyncIo::~CAsyncIo() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_bStop = true;
    m_evWork.notify_all();
  }
  if (m_worker.joinable()) m_worker.join();
}

bool CAsyncIo::IsAligned(LONGLONG value) const {
  LONG a = static_cast<LONG>(m_pStream->Alignment());
  if (a <= 1) return true;
  return (value & (a - 1)) == 0;
}

HRESULT CAsyncIo::Alignment(LONG* alignment) {
  if (!alignment) return E_POINTER;
  *alignment = static_cast<LONG>(m_pStream->Alignment());
  return S_OK;
}

HRESULT CAsyncIo::Length(LONGLONG* total, LONGLONG* available) {
  if (!total || !available) return E_POINTER;
  return m_pStream->Size(total, available);
}

HRESULT CAsyncIo::ReadNow(LONGLONG position, LONG length, BOOL aligned, BYTE* buffer, LONG* actual) {
  *actual = 0;
  if (position < 0 || length < 0) return E_INVALIDARG;
  if (length > 0 && !buffer) return E_POINTER;
  m_pStream->Lock();
  HRESULT hr = m_pStream->SetPointer(position);
  DWORD read = 0;
  if (hr == S_OK && length > 0) hr = m_pStream->Read(buffer, static_cast<DWORD>(length), aligned, &read);
  m_pStream->Unlock();
  // Trust no stream to report more than it was asked for.
  if (read > static_cast<DWORD>(length)) read = static_cast<DWORD>(length);
  *actual = static_cast<LONG>(read);
  if (FAILED(hr)) return hr;
  // A short read (including a position past the end) is the end of the
  // data, not a full buffer.
  return *actual == length ? S_OK : S_FALSE;
}

HRESULT CAsyncIo::SyncRead(LONGLONG position, LONG length, BYTE* buffer) {
  LONG actual = 0;
  return ReadNow(position, length, FALSE, buffer, &actual);
}

HRESULT CAsyncIo::SyncReadAligned(LONGLONG position, LONG length, BYTE* buffer, LONG* actual, PVOID) {
  if (!actual) return E_POINTER;
  if (!IsAligned(position) || !IsAligned(length) || !IsAligned(reinterpret_cast<LONGLONG>(buffer)))
    return VFW_E_BADALIGN;
  return ReadNow(position, length, TRUE, buffer, actual);
}

HRESULT CAsyncIo::Request(LONGLONG position, LONG length, BOOL aligned, BYTE* buffer, LPVOID context,
                          DWORD_PTR user) {
  if (position < 0 || length < 0) return E_INVALIDARG;
  if (length > 0 && !buffer) return E_POINTER;
  if (aligned && (!IsAligned(position) || !IsAligned(length) || !IsAligned(reinterpret_cast<LONGLONG>(buffer))))
    return VFW_E_BADALIGN;
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_bFlushing) return VFW_E_WRONG_STATE;
  if (!m_worker.joinable()) m_worker = std::thread(&CAsyncIo::Worker, this);
  m_listWork.push_back(Req{position, length, aligned, buffer, context, user, S_OK, 0});
  m_evWork.notify_one();
  return S_OK;
}

void CAsyncIo::Worker() {
  std::unique_lock<std::mutex> lock(m_lock);
  for (;;) {
    m_evWork.wait(lock, [this] { return m_bStop || !m_listWork.empty(); });
    if (m_bStop) return;
    Req r = m_listWork.front();
    m_listWork.pop_front();
    ++m_inProgress;
    lock.unlock();
    r.hr = ReadNow(r.position, r.length, r.aligned, r.buffer, &r.actual);
    lock.lock();
    --m_inProgress;
    m_listDone.push_back(r);
    m_evDone.notify_all();
  }
}

HRESULT CAsyncIo::WaitForNext(DWORD msTimeout, LPVOID* context, DWORD_PTR* user, LONG* actual) {
  if (!context || !user || !actual) return E_POINTER;
  *context = nullptr;
  *user = 0;
  *actual = 0;
  std::unique_lock<std::mutex> lock(m_lock);
  auto ready = [this] {
    return !m_listDone.empty() || (m_bFlushing && m_listWork.empty() && m_inProgress == 0);
  };
  if (msTimeout == INFINITE) {
    m_evDone.wait(lock, ready);
  } else if (!m_evDone.wait_for(lock, std::chrono::milliseconds(msTimeout), ready)) {
    return VFW_E_TIMEOUT;
  }
  if (m_listDone.empty()) return VFW_E_WRONG_STATE;
  Req r = m_listDone.front();
  m_listDone.pop_front();
  *context = r.context;
  *user = r.user;
  *actual = r.actual;
  return r.hr;
}

HRESULT CAsyncIo::BeginFlush() {
  std::unique_lock<std::mutex> lock(m_lock);
  m_bFlushing = true;
  for (Req& r : m_listWork) {
    r.hr = VFW_E_WRONG_STATE;
    r.actual = 0;
    m_listDone.push_back(r);
  }
  m_listWork.clear();
  // The read in progress finishes on its own; waiters see it or, when all
  // is handed back, VFW_E_WRONG_STATE.
  m_evDone.notify_all();
  return S_OK;
}

HRESULT CAsyncIo::EndFlush() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_bFlushing = false;
  return S_OK;
}
