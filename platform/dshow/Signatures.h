// The media-type signature table: which stream type a file holds, judged by
// check bytes at fixed offsets or by its extension.
//
// The table lives under HKEY_CLASSES_ROOT\Media Type:
//   Media Type\{major}\{subtype}      values "0", "1", ...: check-byte
//                                     patterns; "Source Filter": the braced
//                                     class id of the filter that reads it
//   Media Type\Extensions\.ext        "Source Filter", "Media Type",
//                                     "Subtype" (braced GUIDs)
// A check-byte pattern is one or more groups "offset,length,mask,value"
// separated by commas: a decimal offset (negative counts back from the end),
// a decimal length, a hexadecimal mask (may be empty; short masks are
// extended with F digits) and a hexadecimal value of exactly two digits per
// byte. Every group must match. A group whose offset falls outside the file
// or whose mask or value holds anything but hexadecimal digits fails.
#pragma once

#include <functional>
#include <string>

#include "platform/dshow/Structs.h"

// Reads `length` bytes at `offset`; false when they are not all there.
using SignatureReader = std::function<bool(LONGLONG offset, DWORD length, BYTE* buffer)>;

bool CheckBytesPattern(const std::wstring& pattern, LONGLONG fileSize, const SignatureReader& read);

struct SignatureMatch {
  GUID major = GUID_NULL;
  GUID subtype = GUID_NULL;
  CLSID source = GUID_NULL;
};

// The first entry of the table (keys and values in registry index order)
// with a pattern that matches; with `major`, among that major type's only.
bool FindSignatureMatch(LONGLONG fileSize, const SignatureReader& read, SignatureMatch& out,
                        const GUID* major = nullptr);
// The entry for an extension (with its point, any case); needs a source.
bool FindExtensionMatch(const std::wstring& extension, SignatureMatch& out);

// Writes the platform's entries (AVI, WAVE, MPEG-1 system and video, MPEG-2
// program, ASF and their extensions), all read by File Source (Async.).
// Values already holding the same data are not rewritten.
HRESULT SeedMediaTypeSignatures();

// Small registry helpers shared by the platform's registration code.
namespace dshow_reg {
LONG SetString(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value);
bool GetString(HKEY key, const wchar_t* name, std::wstring& value);
}  // namespace dshow_reg
