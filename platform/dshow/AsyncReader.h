// A pull-model source filter: one output pin that offers IAsyncReader over
// a CAsyncStream, with the byte-stream type in m_mt.
//
// Sample requests carry byte positions in their times (start and stop in
// units of UNITS per byte), as the platform's readers do.
#pragma once

#include "platform/dshow/AsyncIo.h"
#include "platform/dshow/BasePin.h"

class CAsyncReader;

class CAsyncReaderOutputPin : public CBasePin, public IAsyncReader {
 public:
  CAsyncReaderOutputPin(HRESULT* phr, CAsyncReader* reader, CAsyncIo* io, CCritSec* lock);

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // A downstream pin that never asks for IAsyncReader would get no data,
  // so the connection is refused then.
  HRESULT CheckConnect(IPin* pin) override;
  HRESULT CompleteConnect(IPin* receivePin) override;
  HRESULT CheckMediaType(const CMediaType* pmt) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;

  // One method serves IPin and IAsyncReader alike: both flush the reader.
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;

  // IAsyncReader
  STDMETHODIMP RequestAllocator(IMemAllocator* preferred, ALLOCATOR_PROPERTIES* props,
                                IMemAllocator** actual) override;
  STDMETHODIMP Request(IMediaSample* sample, DWORD_PTR user) override;
  STDMETHODIMP WaitForNext(DWORD msTimeout, IMediaSample** sample, DWORD_PTR* user) override;
  STDMETHODIMP SyncReadAligned(IMediaSample* sample) override;
  STDMETHODIMP SyncRead(LONGLONG position, LONG length, BYTE* buffer) override;
  STDMETHODIMP Length(LONGLONG* total, LONGLONG* available) override;

 private:
  // The byte range a sample asks for, checked against its buffer.
  HRESULT SampleRange(IMediaSample* sample, LONGLONG* position, LONG* length, BYTE** buffer);

  CAsyncReader* m_pReader;
  CAsyncIo* m_pIo;
  bool m_bQueriedForAsyncReader = false;
};

class CAsyncReader : public CBaseFilter {
 public:
  CAsyncReader(LPCTSTR name, LPUNKNOWN outer, CAsyncStream* stream, HRESULT* phr, REFCLSID clsid = GUID_NULL);
  ~CAsyncReader() override;

  // No pin until a type is loaded: there is nothing to offer before.
  int GetPinCount() override { return m_mt.majortype == GUID_NULL ? 0 : 1; }
  CBasePin* GetPin(int n) override;

  const CMediaType* LoadType() const { return &m_mt; }

 protected:
  CCritSec m_csFilter;
  CAsyncIo m_Io;
  CAsyncReaderOutputPin m_OutputPin;
  // The type the output pin offers; set by the derived class when it loads.
  CMediaType m_mt;
};
