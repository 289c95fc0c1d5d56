#include "mp4/MP4SplitterFile.h"

#include <new>

CMP4SplitterFile::CMP4SplitterFile(IAsyncReader* reader, HRESULT& hr) : CBaseSplitterFileEx(reader, hr, 2048, true) {
  if (SUCCEEDED(hr)) hr = Init();
}

CMP4SplitterFile::~CMP4SplitterFile() {
  // The atoms read through this reader: they go before it does.
  m_pMP4File.reset();
}

HRESULT CMP4SplitterFile::Init() {
  Seek(0);
  m_pMP4File.reset();
  auto* stream = new (std::nothrow) MP4_AsyncReaderStream(this);
  if (!stream) return E_OUTOFMEMORY;
  m_pMP4File.reset(new (std::nothrow) MP4_File(*stream, m_factory));
  // The atoms that read from the stream later hold references of their own.
  stream->Release();
  if (!m_pMP4File) return E_OUTOFMEMORY;
  return GetMovie() ? S_OK : E_FAIL;
}
