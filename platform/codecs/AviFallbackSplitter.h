// An installed AVI splitter over libavformat's AVI demuxer
// ({7A3C5E21-4B8D-4F06-A1C2-6D9E0B3F5A84}, "Installed AVI Splitter"). It
// reads any AVI file, also one whose streams lie one after the other
// instead of interleaved: libavformat reads such files by time through the
// index. It takes an AVI byte stream from an upstream reader (IAsyncReader)
// and offers one output pin per video and audio stream ("Video 0",
// "Audio 0", ...; see FfDemux.h for how they deliver). A stream it cannot
// parse fails the connection with VFW_E_INVALID_FILE_FORMAT.
#pragma once

#include <memory>

#include "platform/codecs/FfDemux.h"

PELLOMAR_DEFINE_GUID(CLSID_AviFallbackSplitter, "7A3C5E21-4B8D-4F06-A1C2-6D9E0B3F5A84");

class CAviFallbackSplitter;

class CAviFallbackInputPin final : public CBasePin {
 public:
  CAviFallbackInputPin(CAviFallbackSplitter* filter, CCritSec* lock, HRESULT* phr);

  HRESULT CheckMediaType(const CMediaType* pmt) override;
  HRESULT CheckConnect(IPin* pin) override;
  HRESULT CompleteConnect(IPin* pin) override;
  HRESULT BreakConnect() override;
  // Nothing is pushed into a pull pin.
  STDMETHODIMP BeginFlush() override { return E_UNEXPECTED; }
  STDMETHODIMP EndFlush() override { return E_UNEXPECTED; }

 private:
  CAviFallbackSplitter* m_splitter;
};

class CAviFallbackSplitter final : public CFfDemuxSource {
 public:
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);
  ~CAviFallbackSplitter() override;

  // The output pins, then the input pin.
  int GetPinCount() override;
  CBasePin* GetPin(int n) override;

  HRESULT Open(IAsyncReader* reader);
  void Close();

 private:
  explicit CAviFallbackSplitter(LPUNKNOWN outer);

  std::unique_ptr<CAviFallbackInputPin> m_input;
};
