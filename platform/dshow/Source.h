// Push sources: a filter of output pins (CSource), each with a worker
// thread that fills samples and delivers them (CSourceStream).
//
// The worker takes the commands init, pause, run, stop and exit. On pause
// or run it enters DoBufferProcessingLoop, which calls OnThreadStartPlay
// and then fills and delivers samples until a command arrives. FillBuffer
// returning S_FALSE ends the stream with end of stream; a failure ends it
// with end of stream and EC_ERRORABORT carrying the error.
#pragma once

#include <vector>

#include "platform/dshow/AMThread.h"
#include "platform/dshow/BasePin.h"

class CSourceStream;

class CSource : public CBaseFilter {
 public:
  CSource(LPCTSTR name, LPUNKNOWN outer, REFCLSID clsid, HRESULT* phr = nullptr);
  // Deletes the pins still added.
  ~CSource() override;

  int GetPinCount() override;
  CBasePin* GetPin(int n) override;
  STDMETHODIMP FindPin(LPCWSTR id, IPin** ppPin) override;

  // The pins register and unregister themselves.
  HRESULT AddPin(CSourceStream* stream);
  HRESULT RemovePin(CSourceStream* stream);
  // The 0-based number of a pin, -1 when not ours.
  int FindPinNumber(IPin* pin);

  CCritSec* pStateLock() { return &m_cStateLock; }

  int m_iPins = 0;
  std::vector<CSourceStream*> m_paStreams;
  CCritSec m_cStateLock;
};

class CSourceStream : public CAMThread, public CBaseOutputPin {
 public:
  CSourceStream(LPCTSTR objectName, HRESULT* phr, CSource* filter, LPCWSTR pinName);
  ~CSourceStream() override;

  // Fills one sample: S_OK to deliver it, S_FALSE at the end of the
  // stream, a failure to abort.
  virtual HRESULT FillBuffer(IMediaSample* sample) = 0;

  virtual HRESULT OnThreadCreate() { return S_OK; }
  virtual HRESULT OnThreadDestroy() { return S_OK; }
  virtual HRESULT OnThreadStartPlay() { return S_OK; }

  // Starts the worker when the filter leaves the stopped state, stops and
  // ends it when the filter stops.
  HRESULT Active() override;
  HRESULT Inactive() override;

  // A single-type pin overrides GetMediaType(CMediaType*); a multi-type pin
  // overrides GetMediaType(int, CMediaType*) and CheckMediaType.
  HRESULT CheckMediaType(const CMediaType* pmt) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  virtual HRESULT GetMediaType(CMediaType* pmt);

  STDMETHODIMP QueryId(LPWSTR* id) override;
  STDMETHODIMP Notify(IBaseFilter* sender, Quality q) override;

  enum Command { CMD_INIT, CMD_PAUSE, CMD_RUN, CMD_STOP, CMD_EXIT };
  HRESULT Init() { return static_cast<HRESULT>(CallWorker(CMD_INIT)); }
  HRESULT Exit() { return static_cast<HRESULT>(CallWorker(CMD_EXIT)); }
  HRESULT Run() { return static_cast<HRESULT>(CallWorker(CMD_RUN)); }
  HRESULT Pause() { return static_cast<HRESULT>(CallWorker(CMD_PAUSE)); }
  HRESULT Stop() { return static_cast<HRESULT>(CallWorker(CMD_STOP)); }
  using CBaseOutputPin::Run;

 protected:
  Command GetRequest() { return static_cast<Command>(CAMThread::GetRequest()); }
  BOOL CheckRequest(Command* com) { return CAMThread::CheckRequest(reinterpret_cast<DWORD*>(com)); }

  DWORD ThreadProc() override;
  virtual HRESULT DoBufferProcessingLoop();

  CSource* m_pFilter;
};
