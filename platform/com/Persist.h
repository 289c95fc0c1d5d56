// IPersist and IPersistStream: the class-id and stream persistence faces of
// an object. Streams themselves are not part of this layer; IStream is only
// named so that the stream methods keep their place in the tables.
#pragma once

#include "platform/com/Unknown.h"

struct IStream;

struct IPersist : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) = 0;

 protected:
  ~IPersist() = default;
};
PELLOMAR_INTERFACE_ID(IPersist, "0000010C-0000-0000-C000-000000000046");

struct IPersistStream : IPersist {
  virtual HRESULT STDMETHODCALLTYPE IsDirty() = 0;
  virtual HRESULT STDMETHODCALLTYPE Load(IStream* stream) = 0;
  virtual HRESULT STDMETHODCALLTYPE Save(IStream* stream, BOOL clearDirty) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* size) = 0;

 protected:
  ~IPersistStream() = default;
};
PELLOMAR_INTERFACE_ID(IPersistStream, "00000109-0000-0000-C000-000000000046");
