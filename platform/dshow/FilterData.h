// The filter-data blob: a filter's registration (merit, pins, media types,
// pin categories) in the binary form the filter mapper keeps in the registry
// value "FilterData" and hands out through IAMFilterData.
//
// Layout (all words 32-bit little-endian, offsets from the start of the blob):
//   header, 16 bytes:  version (2), merit, pin count, reserved (0)
//   per pin, 24 bytes: tag (pin index), flags (REG_PINFLAG_*), instances,
//                      media-type count, medium count (always 0), offset of
//                      the pin category GUID (0: none)
//     followed by its media types, 16 bytes each: tag (type index),
//                      reserved (0), offset of the major type GUID, offset of
//                      the subtype GUID (0: none)
//   GUID pool:         every GUID referenced above, 16 bytes each in their
//                      in-memory order, each distinct GUID once
// Every GUID offset points into the pool, that is past the last pin record.
// Pin names and mediums are not kept.
#pragma once

#include <optional>
#include <vector>

#include "platform/dshow/Structs.h"

// The decoded form, used by the mapper's matching.
struct FilterDataType {
  std::optional<GUID> major;    // nullopt: the registration gave no GUID
  std::optional<GUID> subtype;
};

struct FilterDataPin {
  DWORD flags = 0;
  UINT instances = 0;
  std::vector<FilterDataType> types;
  std::optional<GUID> category;

  bool IsOutput() const { return (flags & REG_PINFLAG_B_OUTPUT) != 0; }
};

struct FilterDataInfo {
  DWORD merit = 0;
  std::vector<FilterDataPin> pins;
};

// Limits that keep a hostile blob from asking for huge allocations.
constexpr size_t kFilterDataMaxPins = 256;
constexpr size_t kFilterDataMaxTypesPerPin = 1024;

// From a registration record of version 1 or 2. E_POINTER for a null record,
// E_INVALIDARG for another version, a pin or type array missing while its
// count is not zero, or counts over the limits above.
HRESULT FilterDataFromRegFilter2(const REGFILTER2* reg, FilterDataInfo& out);

// Blob <-> decoded form. Decoding checks every count, record and offset
// against the blob's size and gives E_INVALIDARG on the first that does not
// fit (nothing is read past the end).
std::vector<BYTE> EncodeFilterData(const FilterDataInfo& info);
HRESULT DecodeFilterData(const BYTE* data, size_t size, FilterDataInfo& out);

// A version-2 REGFILTER2 in one task-memory block (the record first, then
// its pins, types and GUIDs, all pointing into the same block), freed with a
// single CoTaskMemFree. *out is set to the block's start, which is the
// REGFILTER2.
HRESULT AllocRegFilter2(const FilterDataInfo& info, BYTE** out);
