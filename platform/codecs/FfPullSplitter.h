// A splitter over one of libavformat's demuxers that takes its byte stream
// from an upstream reader (IAsyncReader) on its input pin "Input" and
// offers one output pin per video and audio stream (see FfDemux.h for how
// they deliver). Bytes the demuxer cannot parse fail the connection with
// VFW_E_INVALID_FILE_FORMAT; a disconnected input takes the outputs away.
#pragma once

#include <memory>

#include "platform/codecs/FfDemux.h"

class CFfPullSplitter;

class CFfPullInputPin final : public CBasePin {
 public:
  CFfPullInputPin(CFfPullSplitter* filter, CCritSec* lock, HRESULT* phr);

  // MEDIATYPE_Stream with the splitter's subtype, or a null subtype.
  HRESULT CheckMediaType(const CMediaType* pmt) override;
  HRESULT CheckConnect(IPin* pin) override;
  HRESULT CompleteConnect(IPin* pin) override;
  HRESULT BreakConnect() override;
  // Nothing is pushed into a pull pin.
  STDMETHODIMP BeginFlush() override { return E_UNEXPECTED; }
  STDMETHODIMP EndFlush() override { return E_UNEXPECTED; }

 private:
  CFfPullSplitter* m_splitter;
};

class CFfPullSplitter : public CFfDemuxSource {
 public:
  ~CFfPullSplitter() override;

  // The output pins, then the input pin.
  int GetPinCount() override;
  CBasePin* GetPin(int n) override;

  HRESULT Open(IAsyncReader* reader);
  void Close();
  const GUID& Subtype() const { return m_subtype; }

  // The class-table factory of a splitter class T.
  template <class T>
  static HRESULT Create(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
    auto* f = new T(outer);
    f->NonDelegatingAddRef();
    HRESULT hr = f->NonDelegatingQueryInterface(riid, ppv);
    f->NonDelegatingRelease();
    return hr;
  }

 protected:
  // The demuxer `format` reads the byte streams of `subtype`; the output
  // pins are named after the prefixes with a count per kind.
  CFfPullSplitter(LPCTSTR name, LPUNKNOWN outer, REFCLSID clsid, const GUID& subtype, const char* format,
                  const wchar_t* videoPrefix, const wchar_t* audioPrefix);

 private:
  std::unique_ptr<CFfPullInputPin> m_input;
  GUID m_subtype;
  const char* m_format;
  const wchar_t* m_videoPrefix;
  const wchar_t* m_audioPrefix;
};
