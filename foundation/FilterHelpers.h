// Helpers to inspect filters, pins and media types, to build a few media
// types and decoder configuration blocks from stream headers, and to
// convert GUIDs and hex text. Stateless; no locks.
//
// Pins and filters returned by the walkers are borrowed: the walker drops
// its own reference before returning, so the pointer stays valid only while
// the graph keeps the object alive. A caller that keeps it adds a reference.
#pragma once

#include <string>
#include <vector>

#include "platform/dshow/DShow.h"
#include "platform/dshow/MediaType.h"
#include "platform/win32/CodePage.h"  // Utf8ToWide, WideToUtf8

// The further video format block with the bitmap header at offset 72.
PELLOMAR_DEFINE_GUID(FORMAT_VideoInfo2Ex, "D2667A7E-4055-4244-A65F-DDDDF2B74BD7");

// ---------------------------------------------------------------------------
// Pins and filters

IBaseFilter* GetFilterFromPin(IPin* pin);
// GUID_NULL for a null filter or one that cannot tell.
CLSID GetFilterClsid(IBaseFilter* filter);
CLSID GetPinFilterClsid(IPin* pin);
// Input + output count; the four counters are zeroed first.
int CountFilterPins(IBaseFilter* filter, int& inputs, int& outputs, int& connectedInputs, int& connectedOutputs);
bool IsSinkFilter(IBaseFilter* filter);
// The pin feeding the filter's first connected input (or only the given
// input pin); null when none.
IPin* GetUpstreamPin(IBaseFilter* filter, IPin* inputPin = nullptr);
IBaseFilter* GetUpstreamFilter(IBaseFilter* filter, IPin* inputPin = nullptr);
IPin* GetFirstPinByDirection(IBaseFilter* filter, PIN_DIRECTION dir);
IPin* GetFirstUnconnectedPin(IBaseFilter* filter, PIN_DIRECTION dir);
IBaseFilter* FindFilterByClsid(IFilterGraph* graph, REFCLSID clsid);
// The distinct (major type, subtype) pairs the pin offers, as consecutive
// GUIDs.
void CollectPinMediaTypes(IPin* pin, std::vector<GUID>& types);
std::wstring GetFilterName(IBaseFilter* filter);
std::wstring GetPinName(IPin* pin);

// A source's video output states the clockwise turn its pictures need to be
// shown upright (a phone's recording held on its side) in this pin
// property, in degrees: "90", "180" or "270".
inline constexpr wchar_t kPictureTurnProperty[] = L"ROTA";
// The turn a pin states (0 for none, or for a value that is not one of the
// three).
int PinPictureTurn(IPin* pin);
// The turn the pictures of a decoded stream need: the first one stated by
// the pin or by an output upstream of it, up through each filter's first
// connected input.
int UpstreamPictureTurn(IPin* pin);

// ---------------------------------------------------------------------------
// Media types and stream headers

// The bitmap header of a video format block; false (and a zeroed header)
// for other formats or a block too short to hold it.
bool MediaTypeToBitmapInfo(const AM_MEDIA_TYPE* pmt, BITMAPINFOHEADER* bih);
// Picture size and reduced display aspect of a video type; a sequence
// header in an MPEG format block takes precedence over the bitmap header.
bool GetVideoSizeAndAspect(const AM_MEDIA_TYPE* pmt, int& width, int& height, int& aspectX, int& aspectY);
// An MPEG-2 video type around a raw sequence header (and its sequence
// extension when one follows); false when no well-formed header is found.
bool MakeMpeg2VideoMediaType(CMediaType* pmt, const BYTE* header, DWORD length, int width, int height);
// An MPEG-4 AudioSpecificConfig into `out` (at least 5 bytes): 2 bytes, or
// 5 with the SBR extension when the profile is negative.
int MakeAacAudioSpecificConfig(BYTE* out, int profile, int sampleRate, int channels);
// A stream that a splitter finds but knows no type for (a codec it does
// not read) still gets a pin of this subtype, so that a job fails naming
// the stream instead of converting the file without it; the format block
// (FORMAT_None) holds the codec's name as the file gives it.
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_UnreadCodec, "6F1E5D2C-8B3A-4E07-9C51-2A7D40B3E6F8");
CMediaType MakeUnreadCodecType(const GUID& major, const std::string& codec);
// The codec name of such a type; empty for any other type.
std::string UnreadCodecName(const AM_MEDIA_TYPE& mt);
// Why a source refused a file of its own format that the program does not
// read (an FLV file without streams, a fragmented MP4). Kept for the
// calling thread, as its last error is: the sources are tried in turn on
// the thread that opens the file, and the one that builds the graph says
// why none took it. Taking the text forgets it.
void SetSourceRefusal(const std::string& why);
std::string TakeSourceRefusal();
// A decoder that knows a stream's format refuses it for its set-up data
// (codec headers) that do not read: the stream is damaged, and the job says
// so rather than that no decoder reads the format. Kept for the thread that
// builds the graph (TakeSourceRefusal starts a new build).
void RefuseAsDamaged(const GUID& subtype);
bool RefusedAsDamaged(const GUID& subtype);
// dwFileVersionMS in the high half and dwFileVersionLS in the low half; 0
// when the file has no version information.
ULONGLONG GetFileVersion(const char* path);

// ---------------------------------------------------------------------------
// Strings and GUIDs

GUID StringToGuid(const std::wstring& text);
HRESULT ParseGuidString(const std::wstring& text, GUID& guid);
std::wstring GuidToString(const GUID& guid);
// Pairs of hex digits into bytes; the walk stops at the first character
// that is not a hex digit, and bytes it did not reach stay 0.
void HexStringToBytes(const std::string& text, std::vector<BYTE>& bytes);
