// The graph manager's own interfaces: the graph builder with the system's
// connecting rules, and the list of dead ends a render left behind.
#pragma once

#include <vector>
#include <string>

#include "platform/dshow/DShow.h"
#include "platform/dshow/MediaType.h"

struct IGraphBuilder2 : IFilterGraph2 {
  STDMETHOD(IsPinDirection)(IPin* pin, PIN_DIRECTION dir) = 0;
  STDMETHOD(IsPinConnected)(IPin* pin) = 0;
  STDMETHOD(ConnectPinToFilter)(IPin* out, IBaseFilter* filter) = 0;
  STDMETHOD(ConnectFilter)(IBaseFilter* filter, IPin* in) = 0;
  STDMETHOD(ConnectPinToFilterDirect)(IPin* out, IBaseFilter* filter, const AM_MEDIA_TYPE* pmt) = 0;
  // A filter: everything downstream of each of its pins; a pin: everything
  // downstream of it. The object itself stays in the graph.
  STDMETHOD(RemoveDownstream)(IUnknown* object) = 0;
  STDMETHOD(FindInterface)(REFIID riid, void** ppv, BOOL remove) = 0;
  STDMETHOD(AddToROT)() = 0;
  STDMETHOD(RemoveFromROT)() = 0;

 protected:
  ~IGraphBuilder2() = default;
};
PELLOMAR_INTERFACE_ID(IGraphBuilder2, "165BE9D6-0929-4363-9BA3-580D735AA0F6");

struct IGraphBuilderDeadEnd : IUnknown {
  STDMETHOD_(size_t, GetCount)() = 0;
  // Each step of the dead end's path as "filter::pin", and the media types
  // its pin offered.
  STDMETHOD(GetDeadEnd)(int index, std::vector<std::wstring>& path, std::vector<CMediaType>& mts) = 0;

 protected:
  ~IGraphBuilderDeadEnd() = default;
};
PELLOMAR_INTERFACE_ID(IGraphBuilderDeadEnd, "43CDA93D-6A4E-4A07-BD3E-49D161073EE7");
