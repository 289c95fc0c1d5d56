// A small UDF reader: finds a file's first sector and length by path on a
// disc (a raw device, or a disc image) of 2048-byte sectors.
//
// It knows one physical partition, file entries and extended file entries
// with short, long and extended allocation descriptors, and directories of
// file identifier descriptors. Names are compared without regard to case.
// Virtual and sparable partitions are refused. Every size and location read
// from the disc is checked against the device and the partition.
#pragma once

#include <functional>

#include "platform/win32/Types.h"

constexpr DWORD kUdfSectorSize = 2048;

// Reads `count` sectors from `first` into `buffer`; false when they are not
// all there.
using UdfSectorReader = std::function<bool(ULONGLONG first, DWORD count, BYTE* buffer)>;

// Looks up `path` (components separated by '/' or '\\') on a device of
// `sectors` sectors; the file's first sector and the byte length of its
// first extent.
bool UdfFindFile(const UdfSectorReader& read, ULONGLONG sectors, const char* path, DWORD* firstSector,
                 DWORD* length);

// The same on an open device handle.
bool UdfReadSectors(HANDLE device, DWORD first, DWORD count, BYTE* buffer);
bool UdfFindFile(HANDLE device, const char* path, DWORD* firstSector, DWORD* length);
