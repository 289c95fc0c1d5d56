// An IAsyncReader over bytes held in memory, for the splitter tests: the
// reported total and available lengths can be set apart to act as a file
// that is still growing, and reads are counted.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/dshow/DShow.h"

class MemAsyncReader final : public IAsyncReader {
 public:
  explicit MemAsyncReader(std::vector<BYTE> data) : m_data(std::move(data)) {
    m_total = m_available = static_cast<LONGLONG>(m_data.size());
  }

  static std::vector<BYTE> LoadFile(const std::string& path) {
    std::vector<BYTE> bytes;
    if (FILE* f = fopen(path.c_str(), "rb")) {
      BYTE buf[65536];
      size_t n;
      while ((n = fread(buf, 1, sizeof(buf), f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
      fclose(f);
    }
    return bytes;
  }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IAsyncReader) {
      *ppv = static_cast<IAsyncReader*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_ref; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG r = --m_ref;
    if (r == 0) delete this;
    return r;
  }

  STDMETHODIMP RequestAllocator(IMemAllocator*, ALLOCATOR_PROPERTIES*, IMemAllocator**) override { return E_NOTIMPL; }
  STDMETHODIMP Request(IMediaSample*, DWORD_PTR) override { return E_NOTIMPL; }
  STDMETHODIMP WaitForNext(DWORD, IMediaSample**, DWORD_PTR*) override { return E_NOTIMPL; }
  STDMETHODIMP SyncReadAligned(IMediaSample*) override { return E_NOTIMPL; }
  STDMETHODIMP SyncRead(LONGLONG pos, LONG length, BYTE* buffer) override {
    ++reads;
    if (pos < 0 || length < 0 || pos + length > m_available) return E_FAIL;
    memcpy(buffer, m_data.data() + pos, static_cast<size_t>(length));
    return S_OK;
  }
  STDMETHODIMP Length(LONGLONG* total, LONGLONG* available) override {
    if (total) *total = m_total;
    if (available) *available = m_available;
    return S_OK;
  }
  STDMETHODIMP BeginFlush() override { return E_NOTIMPL; }
  STDMETHODIMP EndFlush() override { return E_NOTIMPL; }

  void SetLengths(LONGLONG total, LONGLONG available) {
    m_total = total;
    m_available = available;
  }

  std::atomic<int> reads{0};

 private:
  ~MemAsyncReader() = default;
  std::vector<BYTE> m_data;
  LONGLONG m_total, m_available;
  std::atomic<ULONG> m_ref{1};
};
