// Reading of the pictures a picture-list job is made of: JPEG (libjpeg),
// PNG (libpng) and BMP files, told apart by their first bytes, into a
// 24-bit picture of the still-image writer.
#pragma once

#include <string>

class CPicture;

// Pictures larger than this on a side are refused before anything is
// allocated for them.
constexpr int kMaxPictureSide = 16384;

// The whole file decoded into `picture` (24 bits, rows bottom-up as the
// picture stores them). False with the reason in `error` for a file that
// cannot be opened, is no picture of these kinds, is damaged or cut short.
bool ReadPictureFile(const std::string& path, CPicture& picture, std::string& error);
