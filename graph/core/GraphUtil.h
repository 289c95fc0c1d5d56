// Questions the graph builders ask about filters in a built graph, and the
// text form of a codec tag.
#pragma once

#include <string>

#include "platform/dshow/DShow.h"

// A video renderer by class, else any filter whose name mentions "render".
bool IsRendererFilter(IBaseFilter* filter);
// A sink with a connected audio input and a volume control, else one of the
// known audio renderer classes.
bool IsAudioRendererFilter(IBaseFilter* filter);
// "0x%x", or the four tag bytes as text followed by " - 0x%x" when they are
// printable text.
std::wstring FormatCodecTag(DWORD tag, bool numericOnly);
