// Media types: the AM_MEDIA_TYPE helpers and CMediaType, which owns its
// format block.
//
// Format blocks are task memory (CoTaskMemAlloc), because types cross
// interfaces (IEnumMediaTypes::Next, IMediaSample::GetMediaType) and the
// receiver frees them with DeleteMediaType/FreeMediaType.
#pragma once

#include "platform/dshow/Guids.h"
#include "platform/dshow/Structs.h"

// Frees the format block and the held IUnknown of a type, leaving it empty.
void FreeMediaType(AM_MEDIA_TYPE& mt);
// Frees a type made by CreateMediaType (task memory) and its contents.
void DeleteMediaType(AM_MEDIA_TYPE* pmt);
// Copies a type into a new task-memory type; null on failure.
AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* src);
// Deep copy into a target whose previous contents are overwritten (not
// freed). E_OUTOFMEMORY leaves the target without a format block.
HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source);

class CMediaType : public AM_MEDIA_TYPE {
 public:
  CMediaType();
  explicit CMediaType(const GUID* majorType);
  CMediaType(const AM_MEDIA_TYPE& mt, HRESULT* phr = nullptr);
  CMediaType(const CMediaType& mt, HRESULT* phr = nullptr);
  ~CMediaType();

  CMediaType& operator=(const CMediaType& mt);
  CMediaType& operator=(const AM_MEDIA_TYPE& mt);

  // Same types, subtypes, format types and format blocks.
  bool operator==(const CMediaType& mt) const;
  bool operator!=(const CMediaType& mt) const { return !(*this == mt); }

  HRESULT Set(const CMediaType& mt);
  HRESULT Set(const AM_MEDIA_TYPE& mt);

  BOOL IsValid() const { return majortype != GUID_NULL; }

  const GUID* Type() const { return &majortype; }
  void SetType(const GUID* type) { majortype = *type; }
  const GUID* Subtype() const { return &subtype; }
  void SetSubtype(const GUID* type) { subtype = *type; }
  const GUID* FormatType() const { return &formattype; }
  void SetFormatType(const GUID* type) { formattype = *type; }

  BOOL IsFixedSize() const { return bFixedSizeSamples; }
  BOOL IsTemporalCompressed() const { return bTemporalCompression; }
  ULONG GetSampleSize() const { return IsFixedSize() ? lSampleSize : 0; }
  void SetSampleSize(ULONG size);
  void SetVariableSize() { bFixedSizeSamples = FALSE; }
  void SetTemporalCompression(BOOL compressed) { bTemporalCompression = compressed; }

  BYTE* Format() const { return pbFormat; }
  ULONG FormatLength() const { return cbFormat; }

  // Copies a format block in; FALSE when out of memory.
  BOOL SetFormat(const BYTE* format, ULONG length);
  // Drops the format block.
  void ResetFormatBuffer();
  // A new zeroed format block of the given length; null when out of memory.
  BYTE* AllocFormatBuffer(ULONG length);
  // Resizes the format block keeping its start; null when out of memory
  // (the old block is kept then).
  BYTE* ReallocFormatBuffer(ULONG length);

  // Resets to an empty, variable-size type with sample size 1.
  void InitMediaType();

  // True when this type fits the partial type: every GUID not null in the
  // partial type is equal here, and a partial format block (if any) is
  // equal.
  BOOL MatchesPartial(const CMediaType* partial) const;
  // True when the major type or the format type is null (a wildcard).
  BOOL IsPartiallySpecified() const;
};

inline BOOL IsEqualMediaType(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b) {
  return static_cast<const CMediaType&>(a) == static_cast<const CMediaType&>(b);
}
