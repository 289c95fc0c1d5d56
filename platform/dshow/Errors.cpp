#include "platform/dshow/Errors.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/ErrorText.h"

namespace {

struct CodeText {
  HRESULT code;
  const char* text;
};

// Texts for the codes this layer returns; worded for a user reading a job's
// error line, so they say what went wrong rather than name the code.
constexpr CodeText kTexts[] = {
    {VFW_S_NO_MORE_ITEMS, "The end of the list has been reached."},
    {VFW_E_BAD_KEY, "A registry entry is missing or damaged."},
    {VFW_E_INVALIDMEDIATYPE, "The media type is not valid."},
    {VFW_E_INVALIDSUBTYPE, "The media subtype is not valid."},
    {VFW_E_NEED_OWNER, "This object can only be created as part of another object."},
    {VFW_E_ENUM_OUT_OF_SYNC, "The list changed while it was being read; start again."},
    {VFW_E_ALREADY_CONNECTED, "The pin is already connected."},
    {VFW_E_FILTER_ACTIVE, "The filter is running; stop it first."},
    {VFW_E_NO_TYPES, "Neither pin offers a media type."},
    {VFW_E_NO_ACCEPTABLE_TYPES, "The two pins have no media type in common."},
    {VFW_E_INVALID_DIRECTION, "The two pins have the same direction."},
    {VFW_E_NOT_CONNECTED, "The pin is not connected."},
    {VFW_E_NO_ALLOCATOR, "No sample allocator is available."},
    {VFW_E_RUNTIME_ERROR, "A run-time error occurred in the stream."},
    {VFW_E_BUFFER_NOTSET, "No buffer has been set for the sample."},
    {VFW_E_BUFFER_OVERFLOW, "The data does not fit in the buffer."},
    {VFW_E_BADALIGN, "The buffer alignment is not valid."},
    {VFW_E_ALREADY_COMMITTED, "The allocator has buffers committed; its properties cannot change now."},
    {VFW_E_BUFFERS_OUTSTANDING, "Buffers of the allocator are still in use."},
    {VFW_E_NOT_COMMITTED, "The allocator has no committed buffers."},
    {VFW_E_SIZENOTSET, "The allocator's buffer size has not been set."},
    {VFW_E_NO_CLOCK, "No reference clock is set."},
    {VFW_E_NO_SINK, "No event sink is set."},
    {VFW_E_NO_INTERFACE, "A required interface is not supported."},
    {VFW_E_NOT_FOUND, "The object was not found."},
    {VFW_E_CANNOT_CONNECT, "No combination of filters could connect the pins."},
    {VFW_E_CANNOT_RENDER, "No combination of filters could render the stream."},
    {VFW_E_CHANGING_FORMAT, "The format could not be changed."},
    {VFW_E_NO_COLOR_KEY_SET, "No colour key has been set."},
    {VFW_E_NOT_OVERLAY_CONNECTION, "The connection does not use overlay transport."},
    {VFW_E_NOT_SAMPLE_CONNECTION, "The connection does not use sample transport."},
    {VFW_E_PALETTE_SET, "A palette is set on this connection."},
    {VFW_E_COLOR_KEY_SET, "A colour key is set on this connection."},
    {VFW_E_NO_COLOR_KEY_FOUND, "No matching colour key was found."},
    {VFW_E_NO_PALETTE_AVAILABLE, "No palette is available."},
    {VFW_E_NO_DISPLAY_PALETTE, "The display does not use a palette."},
    {VFW_E_TOO_MANY_COLORS, "Too many colours for the current display."},
    {VFW_E_STATE_CHANGED, "The state changed while waiting for a sample."},
    {VFW_E_NOT_STOPPED, "The operation needs the graph to be stopped."},
    {VFW_E_NOT_PAUSED, "The operation needs the graph to be paused."},
    {VFW_E_NOT_RUNNING, "The operation needs the graph to be running."},
    {VFW_E_WRONG_STATE, "The operation is not allowed in the current state."},
    {VFW_E_START_TIME_AFTER_END, "The start time is after the end time."},
    {VFW_E_INVALID_RECT, "The rectangle is not valid."},
    {VFW_E_TYPE_NOT_ACCEPTED, "The pin does not accept this media type."},
    {VFW_E_SAMPLE_REJECTED, "The sample was not processed."},
    {VFW_E_SAMPLE_REJECTED_EOS, "The sample arrived after the end of the stream."},
    {VFW_E_DUPLICATE_NAME, "A filter of that name is already in the graph."},
    {VFW_S_DUPLICATE_NAME, "The filter was added under a changed name because its name was taken."},
    {VFW_E_TIMEOUT, "The operation timed out."},
    {VFW_E_INVALID_FILE_FORMAT, "The file format is not valid."},
    {VFW_E_ENUM_OUT_OF_RANGE, "The list has fewer entries than asked for."},
    {VFW_E_CIRCULAR_GRAPH, "The connection would make the graph circular."},
    {VFW_E_NOT_ALLOWED_TO_SAVE, "Saving is not allowed in the current state."},
    {VFW_E_TIME_ALREADY_PASSED, "The requested time has already passed."},
    {VFW_E_ALREADY_CANCELLED, "The request has already been cancelled."},
    {VFW_E_CORRUPT_GRAPH_FILE, "The saved graph is damaged."},
    {VFW_E_ADVISE_ALREADY_SET, "A notification is already set."},
    {VFW_S_STATE_INTERMEDIATE, "The state change has not finished yet."},
    {VFW_E_NO_MODEX_AVAILABLE, "No full-screen mode is available."},
    {VFW_E_NO_ADVISE_SET, "No notification is set."},
    {VFW_E_NO_FULLSCREEN, "Full-screen display is not available."},
    {VFW_E_IN_FULLSCREEN_MODE, "The operation is not possible in full-screen mode."},
    {VFW_E_UNKNOWN_FILE_TYPE, "The file's media type is not recognised."},
    {VFW_E_CANNOT_LOAD_SOURCE_FILTER, "No source filter could be loaded for the file."},
    {VFW_S_PARTIAL_RENDER, "Some of the streams could not be rendered."},
    {VFW_E_FILE_TOO_SHORT, "The file is shorter than its header says."},
    {VFW_E_INVALID_FILE_VERSION, "The file's version is not supported."},
    {VFW_S_SOME_DATA_IGNORED, "Some of the data was ignored."},
    {VFW_S_CONNECTIONS_DEFERRED, "Some connections were deferred."},
    {VFW_E_INVALID_CLSID, "The class id is not valid."},
    {VFW_E_INVALID_MEDIA_TYPE, "The media type is not valid."},
    {VFW_E_SAMPLE_TIME_NOT_SET, "The sample has no time stamp."},
    {VFW_S_RESOURCE_NOT_NEEDED, "The resource is not needed."},
    {VFW_E_MEDIA_TIME_NOT_SET, "The sample has no media time."},
    {VFW_E_NO_TIME_FORMAT_SET, "No time format has been set."},
    {VFW_E_MONO_AUDIO_HW, "The audio device only plays mono."},
    {VFW_S_MEDIA_TYPE_IGNORED, "The media type was ignored."},
    {VFW_E_NO_DECOMPRESSOR, "No decoder takes this format."},
    {VFW_E_NO_AUDIO_HARDWARE, "No audio device is available."},
    {VFW_S_VIDEO_NOT_RENDERED, "The video stream could not be rendered."},
    {VFW_S_AUDIO_NOT_RENDERED, "The audio stream could not be rendered."},
    {VFW_E_RPZA, "This compression format is not supported."},
    {VFW_S_RPZA, "This compression format is not supported."},
    {VFW_E_PROCESSOR_NOT_SUITABLE, "The processor is not suitable for this format."},
    {VFW_E_UNSUPPORTED_AUDIO, "The audio format is not supported."},
    {VFW_E_UNSUPPORTED_VIDEO, "The video format is not supported."},
    {VFW_E_MPEG_NOT_CONSTRAINED, "The MPEG stream is not a constrained stream."},
    {VFW_E_NOT_IN_GRAPH, "The filter is not in a graph."},
    {VFW_S_ESTIMATED, "The value is an estimate."},
    {VFW_E_NO_TIME_FORMAT, "The time format is not supported."},
    {VFW_E_READ_ONLY, "The object is read-only."},
    {VFW_E_BUFFER_UNDERFLOW, "The buffer holds too little data."},
    {VFW_E_UNSUPPORTED_STREAM, "The stream format is not supported."},
    {VFW_E_NO_TRANSPORT, "The pins do not support a common transport."},
    {VFW_S_STREAM_OFF, "The stream is turned off."},
    {VFW_S_CANT_CUE, "The graph cannot be cued."},
    {VFW_E_BAD_VIDEOCD, "The Video CD is damaged."},
    {VFW_S_NO_STOP_TIME, "The sample has a start time but no stop time."},
    {VFW_E_OUT_OF_VIDEO_MEMORY, "There is not enough video memory."},
};

}  // namespace

const char* DShowErrorText(HRESULT hr) {
  for (const CodeText& t : kTexts)
    if (t.code == hr) return t.text;
  return "";
}

void DShowRegisterMessages() {
  std::vector<std::pair<DWORD, const char*>> entries;
  entries.reserve(std::size(kTexts));
  for (const CodeText& t : kTexts) entries.emplace_back(static_cast<DWORD>(t.code), t.text);
  RegisterSystemMessages(entries.data(), entries.size());
}

namespace {

// The table's text of a code, without the line end; empty when unknown.
std::string LookUpText(HRESULT hr) {
  static std::once_flag registered;
  std::call_once(registered, DShowRegisterMessages);
  char* text = nullptr;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string result;
  if (n != 0 && text) result.assign(text, n);
  if (text) LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) result.pop_back();
  return result;
}

}  // namespace

DWORD AMGetErrorTextA(HRESULT hr, char* buffer, DWORD maxLen) {
  if (!buffer || maxLen == 0) return 0;
  std::string text = LookUpText(hr);
  if (text.empty()) {
    buffer[0] = '\0';
    return 0;
  }
  DWORD n = static_cast<DWORD>(std::min<size_t>(text.size(), maxLen - 1));
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return n;
}

DWORD AMGetErrorTextW(HRESULT hr, wchar_t* buffer, DWORD maxLen) {
  if (!buffer || maxLen == 0) return 0;
  std::string text = LookUpText(hr);
  DWORD n = static_cast<DWORD>(std::min<size_t>(text.size(), maxLen - 1));
  // The texts are plain ASCII, so widening byte by byte is exact.
  for (DWORD i = 0; i < n; ++i) buffer[i] = static_cast<unsigned char>(text[i]);
  buffer[n] = L'\0';
  return n;
}
