// The splitters' own information interfaces: key frames, queue state,
// stream bit rates, their judged times, and the stream switcher's activity
// query that a splitter asks before it starts an output; and the class id of
// the one splitter the graph manager treats apart.
#pragma once

#include "platform/com/Com.h"
#include "platform/dshow/DShow.h"

// The system's AVI source. The graph manager knows it too: on load it
// gives way to the platform's file reader and AVI splitter.
PELLOMAR_DEFINE_GUID(CLSID_AviSourceFilter, "CEA8DEFF-0AF7-4DB9-9A38-FB3C3AEFC0DE");

// Times of a stream's key frames, for seeking user interfaces.
struct IKeyFrameInfo : IUnknown {
  STDMETHOD(KeyFrameCount)(UINT& count) = 0;
  // On entry `count` is the room in `times`; on return the number filled.
  STDMETHOD(GetKeyFrames)(const GUID* format, REFERENCE_TIME* times, UINT& count) = 0;

 protected:
  ~IKeyFrameInfo() = default;
};
PELLOMAR_INTERFACE_ID(IKeyFrameInfo, "01A5BBD3-FE71-487C-A2EC-F585918A8724");

// How full the output queues of a splitter are.
struct IBufferInfo : IUnknown {
  STDMETHOD_(int, GetCount)() = 0;
  // Packets and payload bytes queued on output `index`; S_FALSE when that
  // output is not connected.
  STDMETHOD(GetStatus)(int index, int& samples, int& size) = 0;
  // The delivery threads' priority: 0 normal, -1 below normal.
  STDMETHOD_(DWORD, GetPriority)() = 0;

 protected:
  ~IBufferInfo() = default;
};
PELLOMAR_INTERFACE_ID(IBufferInfo, "46070104-1318-4A82-8822-E99AB7CD15C1");

// Bits per second measured on an output pin.
struct IBitRateInfo : IUnknown {
  STDMETHOD_(DWORD, GetCurrentBitRate)() = 0;
  STDMETHOD_(DWORD, GetAverageBitRate)() = 0;

 protected:
  ~IBitRateInfo() = default;
};
PELLOMAR_INTERFACE_ID(IBitRateInfo, "EB2CD9E6-BA08-4ACB-AA0F-3D8D0DD521CA");

// Offered by the input pins of a stream switcher; an output whose stream is
// switched off downstream is not started.
struct IStreamSwitcherInputPin : IUnknown {
  STDMETHOD_(bool, IsActive)() = 0;

 protected:
  ~IStreamSwitcherInputPin() = default;
};
PELLOMAR_INTERFACE_ID(IStreamSwitcherInputPin, "DA395FA3-4A3E-4D85-805E-0BEFF53D4BCD");
