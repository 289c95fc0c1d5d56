// Drive letters.
//
// The program names a disc drive the way its home platform does: the device
// "\\.\X:" and files such as "X:\Track03.cda". Here a drive-letter map says
// what each letter stands for: a target (a block device such as /dev/sr0, or
// a disc image file) and, optionally, the folder where the drive's files can
// be seen (its mount point). The map starts from the environment variable
// PELLOMAR_DRIVES, entries separated by ';', each "X=target" or
// "X=target|folder"; without it, D: is /dev/sr0. A block device without a
// folder is looked up among the mounted file systems.
#pragma once

#include <string>

#include "platform/win32/Types.h"

// Sets, or with an empty target removes, the entry of a letter (any case).
void SetDriveTarget(char letter, const std::string& target, const std::string& folder = std::string());

// The target and folder of a letter; false when the letter is not mapped.
// The folder is empty when the drive's files cannot be seen.
bool GetDriveTarget(char letter, std::string* target, std::string* folder = nullptr);

// The upper-case letter of the drive whose folder holds a path, else 0;
// with `onDrive`, the path from the drive's root ("VIDEO_TS/VTS_01_1.VOB").
// The file itself need not exist, its folder must.
char DriveOfPath(const std::string& path, std::string* onDrive = nullptr);

// The letter of a device name "\\.\X:" (or with forward slashes), else 0.
char DeviceNameLetter(LPCSTR name);
