#include "imagewriter/PictureJAS.h"

#include <openjpeg.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "imagewriter/PictureFile.h"
#include "imagewriter/PictureSink.h"

namespace {

CPictureFile* FileOf(void* user) { return static_cast<CPictureFile*>(user); }

OPJ_SIZE_T WriteProc(void* buffer, OPJ_SIZE_T count, void* user) {
  const size_t written = FileOf(user)->Write(buffer, 1, count);
  return written == count ? count : static_cast<OPJ_SIZE_T>(-1);
}

OPJ_OFF_T SkipProc(OPJ_OFF_T count, void* user) {
  if (count > INT32_MAX || count < INT32_MIN) return -1;
  return FileOf(user)->Seek(static_cast<LONG>(count), SEEK_CUR) ? count : -1;
}

OPJ_BOOL SeekProc(OPJ_OFF_T position, void* user) {
  if (position < 0 || position > INT32_MAX) return OPJ_FALSE;
  return FileOf(user)->Seek(static_cast<LONG>(position), SEEK_SET) ? OPJ_TRUE : OPJ_FALSE;
}

// OpenJPEG's messages are not printed: the writer reports its own texts.
void QuietMessage(const char*, void*) {}

struct CodecDeleter {
  void operator()(opj_codec_t* codec) const { opj_destroy_codec(codec); }
};
struct StreamDeleter {
  void operator()(opj_stream_t* stream) const { opj_stream_destroy(stream); }
};
struct ImageDeleter {
  void operator()(opj_image_t* image) const { opj_image_destroy(image); }
};

// Enough resolution levels for the smaller side: each level halves it.
int ResolutionsFor(DWORD width, DWORD height) {
  DWORD side = std::min(width, height);
  int levels = 1;
  while (levels < 6 && side >= 2) {
    side /= 2;
    ++levels;
  }
  return levels;
}

}  // namespace

bool CPictureJAS::Write(CPictureFile* file, DWORD format) {
  if (CheckEncode(file)) return false;
  const bool palette = GetNumColors() != 0;
  if (palette && !IsGrayScale()) {
    SetLastError("JasPer can save only RGB or GrayScale images");
    return false;
  }
  const int components = palette ? 1 : 3;
  if (format == PICTURE_FORMAT_JP2 || format == PICTURE_FORMAT_JPC) return WriteJpeg2000(file, format, components);
  if (format == PICTURE_FORMAT_PGX && !palette) {
    SetLastError("PGX can save only GrayScale images");
    return false;
  }
  if (format == PICTURE_FORMAT_PGX || format == PICTURE_FORMAT_PNM || format == PICTURE_FORMAT_RAS)
    return WriteRaw(file, format, components);
  SetLastError("Encode: Unknown format");
  return false;
}

bool CPictureJAS::WriteJpeg2000(CPictureFile* file, DWORD format, int components) {
  const DWORD width = GetWidth(), height = GetHeight();
  opj_image_cmptparm_t params[3] = {};
  for (int c = 0; c < components; ++c) {
    params[c].dx = params[c].dy = 1;
    params[c].w = width;
    params[c].h = height;
    params[c].prec = 8;
    params[c].sgnd = 0;
  }
  std::unique_ptr<opj_image_t, ImageDeleter> image(
      opj_image_create(static_cast<OPJ_UINT32>(components), params, components == 3 ? OPJ_CLRSPC_SRGB : OPJ_CLRSPC_GRAY));
  if (!image) {
    SetLastError("error : jas_image_create");
    return false;
  }
  image->x0 = image->y0 = 0;
  image->x1 = width;
  image->y1 = height;
  // Components are filled top row first, so that the image is upright.
  for (DWORD r = 0; r < height; ++r) {
    const DWORD y = height - 1 - r;
    const size_t base = static_cast<size_t>(r) * width;
    if (components == 3) {
      const BYTE* src = GetBits(y);
      OPJ_INT32* red = image->comps[0].data + base;
      OPJ_INT32* green = image->comps[1].data + base;
      OPJ_INT32* blue = image->comps[2].data + base;
      for (DWORD x = 0; x < width; ++x) {
        blue[x] = src[3 * x];
        green[x] = src[3 * x + 1];
        red[x] = src[3 * x + 2];
      }
    } else {
      OPJ_INT32* grey = image->comps[0].data + base;
      for (DWORD x = 0; x < width; ++x) grey[x] = GetPixelIndex(static_cast<LONG>(x), static_cast<LONG>(y));
    }
  }

  opj_cparameters_t setup;
  opj_set_default_encoder_parameters(&setup);
  // One quality layer truncated to the rate: quality 90 keeps 90% of the
  // uncompressed size; a ratio of 1 asks for a lossless layer.
  const float rate = static_cast<float>(std::max<int>(GetJpegQuality(), 1)) * 0.01f;
  setup.tcp_numlayers = 1;
  setup.tcp_rates[0] = rate >= 1.0f ? 1.0f : 1.0f / rate;
  setup.cp_disto_alloc = 1;
  setup.irreversible = 0;
  setup.tcp_mct = components == 3 ? 1 : 0;
  setup.numresolution = ResolutionsFor(width, height);

  std::unique_ptr<opj_codec_t, CodecDeleter> codec(
      opj_create_compress(format == PICTURE_FORMAT_JP2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
  std::unique_ptr<opj_stream_t, StreamDeleter> stream(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_FALSE));
  if (!codec || !stream) {
    SetLastError("error: cannot open standard output");
    return false;
  }
  opj_set_error_handler(codec.get(), QuietMessage, nullptr);
  opj_set_warning_handler(codec.get(), QuietMessage, nullptr);
  opj_set_info_handler(codec.get(), QuietMessage, nullptr);
  opj_stream_set_write_function(stream.get(), WriteProc);
  opj_stream_set_skip_function(stream.get(), SkipProc);
  opj_stream_set_seek_function(stream.get(), SeekProc);
  opj_stream_set_user_data(stream.get(), file, nullptr);

  const bool ok = opj_setup_encoder(codec.get(), &setup, image.get()) &&
                  opj_start_compress(codec.get(), image.get(), stream.get()) &&
                  opj_encode(codec.get(), stream.get()) && opj_end_compress(codec.get(), stream.get());
  if (!ok || !file->Flush() || file->Error() != 0) {
    SetLastError("error: cannot encode image\n");
    return false;
  }
  return true;
}

bool CPictureJAS::WriteRaw(CPictureFile* file, DWORD format, int components) {
  const DWORD width = GetWidth(), height = GetHeight();
  PictureSink out(file);
  size_t rowBytes = static_cast<size_t>(width) * components;
  size_t padding = 0;
  char header[96];
  int headerLength = 0;
  switch (format) {
    case PICTURE_FORMAT_PGX:
      headerLength = std::snprintf(header, sizeof header, "PG ML + 8 %u %u\n", static_cast<unsigned>(width),
                                   static_cast<unsigned>(height));
      break;
    case PICTURE_FORMAT_PNM:
      headerLength = std::snprintf(header, sizeof header, "P%c\n%u %u\n255\n", components == 3 ? '6' : '5',
                                   static_cast<unsigned>(width), static_cast<unsigned>(height));
      break;
    default: {
      // Sun raster: rows padded to 16 bits; 24-bit pixels blue, green, red.
      padding = rowBytes & 1;
      const uint64_t length = static_cast<uint64_t>(rowBytes + padding) * height;
      if (length > UINT32_MAX) {
        SetLastError("error: cannot encode image\n");
        return false;
      }
      out.U32BE(0x59A66A95);
      out.U32BE(width);
      out.U32BE(height);
      out.U32BE(components == 3 ? 24 : 8);
      out.U32BE(static_cast<DWORD>(length));
      out.U32BE(1);  // standard type
      out.U32BE(0);  // no colour map
      out.U32BE(0);
      break;
    }
  }
  if (headerLength > 0) out.Bytes(header, static_cast<size_t>(headerLength));

  std::vector<BYTE> line(rowBytes + padding, 0);
  const bool bgr = format == PICTURE_FORMAT_RAS;
  for (DWORD r = 0; r < height && out.Ok(); ++r) {
    const DWORD y = height - 1 - r;
    if (components == 3) {
      const BYTE* src = GetBits(y);
      if (bgr) {
        std::copy(src, src + rowBytes, line.begin());
      } else {
        for (DWORD x = 0; x < width; ++x) {
          line[3 * x] = src[3 * x + 2];
          line[3 * x + 1] = src[3 * x + 1];
          line[3 * x + 2] = src[3 * x];
        }
      }
    } else {
      for (DWORD x = 0; x < width; ++x) line[x] = GetPixelIndex(static_cast<LONG>(x), static_cast<LONG>(y));
    }
    out.Bytes(line.data(), line.size());
  }
  if (!out.Finish()) {
    SetLastError("error: cannot encode image\n");
    return false;
  }
  return true;
}
