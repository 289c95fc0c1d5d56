#include "sources/pictures/PictureFileReader.h"

#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <png.h>

#include "imagewriter/JpegLib.h"
#include "imagewriter/Picture.h"

namespace {

struct FileCloser {
  void operator()(FILE* f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool SizeAllowed(long long width, long long height) {
  return width > 0 && height > 0 && width <= kMaxPictureSide && height <= kMaxPictureSide;
}

// The reasons are written into a plain buffer: the JPEG and PNG readers
// jump out of the libraries, past anything with a destructor.
constexpr size_t kWhySize = 256;

bool SizeAllowed(long long width, long long height, char* why) {
  if (SizeAllowed(width, height)) return true;
  std::snprintf(why, kWhySize, "its size (%lld x %lld) is not one a picture can have", width, height);
  return false;
}

bool MakeCanvas(CPicture& picture, long long width, long long height, char* why) {
  if (!SizeAllowed(width, height, why)) return false;
  if (!picture.Create(static_cast<DWORD>(width), static_cast<DWORD>(height), 24, 0)) {
    std::snprintf(why, kWhySize, "%s", picture.GetLastError());
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// JPEG

struct JpegError {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  char text[JMSG_LENGTH_MAX];
};

[[noreturn]] void JpegFail(j_common_ptr info) {
  auto* err = reinterpret_cast<JpegError*>(info->err);
  info->err->format_message(info, err->text);
  std::longjmp(err->jump, 1);
}

void JpegMessage(j_common_ptr info, int level) {
  // A file cut short is only a warning to the library, which goes on with
  // grey; here it is a damaged picture.
  if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF) JpegFail(info);
}

bool ReadJpeg(FILE* file, CPicture& picture, char* why) {
  jpeg_decompress_struct info{};
  JpegError err{};
  info.err = jpeg_std_error(&err.manager);
  err.manager.error_exit = JpegFail;
  err.manager.emit_message = JpegMessage;
  // Nothing with a destructor lives between here and the jumps.
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&info);
    std::snprintf(why, kWhySize, "the JPEG data is damaged (%.200s)", err.text);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, file);
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  if (!MakeCanvas(picture, info.image_width, info.image_height, why)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_start_decompress(&info);
  if (info.output_components != 3) {
    jpeg_destroy_decompress(&info);
    std::snprintf(why, kWhySize, "its colour layout is not one the program reads");
    return false;
  }
  const DWORD height = picture.GetHeight();
  while (info.output_scanline < info.output_height) {
    BYTE* row = picture.GetBits(height - 1 - info.output_scanline);
    JSAMPROW rows[1] = {row};
    jpeg_read_scanlines(&info, rows, 1);
    for (DWORD x = 0; x < picture.GetWidth(); ++x) std::swap(row[3 * x], row[3 * x + 2]);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

// ---------------------------------------------------------------------------
// PNG

struct PngState {
  std::jmp_buf jump;
  char text[256];
};

[[noreturn]] void PngFail(png_structp png, png_const_charp message) {
  auto* state = static_cast<PngState*>(png_get_error_ptr(png));
  std::snprintf(state->text, sizeof state->text, "%s", message ? message : "");
  std::longjmp(state->jump, 1);
}

void PngWarn(png_structp, png_const_charp) {}

bool ReadPng(FILE* file, CPicture& picture, char* why) {
  PngState state{};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state, PngFail, PngWarn);
  if (!png) {
    std::snprintf(why, kWhySize, "there is not enough memory to read it");
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(state.jump)) {
    png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    std::snprintf(why, kWhySize, "the PNG data is damaged (%.200s)", state.text);
    return false;
  }
  png_init_io(png, file);
  png_set_user_limits(png, kMaxPictureSide, kMaxPictureSide);
  png_read_info(png, info);
  const png_uint_32 width = png_get_image_width(png, info);
  const png_uint_32 height = png_get_image_height(png, info);
  // Every kind comes out as 8-bit blue, green, red; transparency is dropped.
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_strip_alpha(png);
  png_set_gray_to_rgb(png);
  png_set_bgr(png);
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != static_cast<size_t>(width) * 3) {
    std::snprintf(why, kWhySize, "its colour layout is not one the program reads");
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  if (!MakeCanvas(picture, width, height, why)) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  for (int pass = 0; pass < passes; ++pass)
    for (png_uint_32 y = 0; y < height; ++y) png_read_row(png, picture.GetBits(height - 1 - y), nullptr);
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

// ---------------------------------------------------------------------------
// BMP

uint32_t Le32(const BYTE* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t Le16(const BYTE* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// One colour channel of a bit-field pixel, widened to 8 bits.
BYTE FieldValue(uint32_t pixel, uint32_t mask) {
  if (!mask) return 0;
  int shift = 0;
  while (!((mask >> shift) & 1)) ++shift;
  int bits = 0;
  while (shift + bits < 32 && ((mask >> (shift + bits)) & 1)) ++bits;
  const uint32_t value = (pixel & mask) >> shift;
  if (bits >= 8) return static_cast<BYTE>(value >> (bits - 8));
  return static_cast<BYTE>(value * 255 / ((1u << bits) - 1));
}

bool ReadBmp(const std::vector<BYTE>& data, CPicture& picture, std::string& error) {
  const size_t size = data.size();
  if (size < 14 + 12) {
    error = "the BMP file is cut short";
    return false;
  }
  const BYTE* p = data.data();
  const uint32_t offset = Le32(p + 10);
  const uint32_t headerSize = Le32(p + 14);
  if (headerSize < 12 || headerSize > size - 14) {
    error = "the BMP header is damaged";
    return false;
  }
  long long width, height;
  uint32_t bits, compression = 0, colours = 0;
  if (headerSize == 12) {
    width = Le16(p + 18);
    height = static_cast<int16_t>(Le16(p + 20));
    bits = Le16(p + 24);
  } else {
    if (headerSize < 40) {
      error = "the BMP header is damaged";
      return false;
    }
    width = static_cast<int32_t>(Le32(p + 18));
    height = static_cast<int32_t>(Le32(p + 22));
    bits = Le16(p + 28);
    compression = Le32(p + 30);
    colours = Le32(p + 46);
  }
  const bool topDown = height < 0;
  if (topDown) height = -height;
  uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};  // red, green, blue of 16-bit pixels
  if (bits == 32) masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
  if (compression == 3 && (bits == 16 || bits == 32)) {
    // The masks follow a 40-byte header, or lie inside a longer one.
    if (54 + 12 > size) {
      error = "the BMP header is damaged";
      return false;
    }
    for (int i = 0; i < 3; ++i) masks[i] = Le32(p + 54 + 4 * i);
  } else if (compression != 0) {
    error = "compressed BMP pictures are not read";
    return false;
  }
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) {
    error = "its bit depth (" + std::to_string(bits) + ") is not one a BMP picture has";
    return false;
  }
  char why[kWhySize] = "";
  if (!SizeAllowed(width, height, why)) {
    error = why;
    return false;
  }
  // The palette: entries of 3 bytes after a core header, else 4.
  const size_t entrySize = headerSize == 12 ? 3 : 4;
  size_t entries = 0;
  if (bits <= 8) entries = colours && colours < (1u << bits) ? colours : (1u << bits);
  const size_t paletteAt = 14 + headerSize + (compression == 3 && headerSize == 40 ? 12 : 0);
  if (paletteAt + entries * entrySize > size) {
    error = "the BMP file is cut short";
    return false;
  }
  const size_t rowBytes = (static_cast<size_t>(width) * bits + 31) / 32 * 4;
  if (offset > size || size - offset < rowBytes * static_cast<size_t>(height)) {
    error = "the BMP file is cut short";
    return false;
  }
  if (!MakeCanvas(picture, width, height, why)) {
    error = why;
    return false;
  }
  const BYTE* palette = p + paletteAt;
  for (long long y = 0; y < height; ++y) {
    const BYTE* src = p + offset + rowBytes * static_cast<size_t>(y);
    BYTE* dst = picture.GetBits(static_cast<DWORD>(topDown ? height - 1 - y : y));
    for (long long x = 0; x < width; ++x, dst += 3) {
      if (bits <= 8) {
        const size_t bit = static_cast<size_t>(x) * bits;
        const unsigned index = (src[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
        if (index < entries) std::memcpy(dst, palette + index * entrySize, 3);
        else dst[0] = dst[1] = dst[2] = 0;
      } else if (bits == 24) {
        std::memcpy(dst, src + 3 * x, 3);
      } else {
        const uint32_t pixel = bits == 16 ? Le16(src + 2 * x) : Le32(src + 4 * x);
        dst[0] = FieldValue(pixel, masks[2]);
        dst[1] = FieldValue(pixel, masks[1]);
        dst[2] = FieldValue(pixel, masks[0]);
      }
    }
  }
  return true;
}

}  // namespace

bool ReadPictureFile(const std::string& path, CPicture& picture, std::string& error) {
  error.clear();
  File file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    error = std::string("it cannot be opened (") + std::strerror(errno) + ")";
    return false;
  }
  BYTE magic[8] = {};
  const size_t got = std::fread(magic, 1, sizeof magic, file.get());
  if (got < sizeof magic && std::ferror(file.get())) {
    error = std::string("it cannot be read (") + std::strerror(errno) + ")";
    return false;
  }
  std::rewind(file.get());
  const bool jpeg = got >= 3 && magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF;
  if (jpeg || (got == 8 && png_sig_cmp(magic, 0, 8) == 0)) {
    char why[kWhySize] = "";
    if (jpeg ? ReadJpeg(file.get(), picture, why) : ReadPng(file.get(), picture, why)) return true;
    error = why;
    return false;
  }
  if (got >= 2 && magic[0] == 'B' && magic[1] == 'M') {
    // A BMP is read whole: its rows lie at an offset the header gives.
    if (std::fseek(file.get(), 0, SEEK_END) != 0) {
      error = "it cannot be read";
      return false;
    }
    const long length = std::ftell(file.get());
    std::rewind(file.get());
    const long long limit = 14 + 1024 + 4LL * kMaxPictureSide * kMaxPictureSide + 4LL * kMaxPictureSide;
    if (length < 0 || length > limit) {
      error = "the BMP file is larger than any picture it may hold";
      return false;
    }
    std::vector<BYTE> data(static_cast<size_t>(length));
    if (std::fread(data.data(), 1, data.size(), file.get()) != data.size()) {
      error = "it cannot be read";
      return false;
    }
    return ReadBmp(data, picture, error);
  }
  error = "it is no JPEG, PNG or BMP picture";
  return false;
}
