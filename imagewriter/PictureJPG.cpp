#include "imagewriter/PictureJPG.h"

#include <algorithm>
#include <csetjmp>
#include <memory>
#include <cstdio>

#include "imagewriter/JpegLib.h"
#include "imagewriter/PictureFile.h"

#ifndef JCS_EXTENSIONS
#error "libjpeg-turbo's extended colour spaces are needed (stored rows are blue-green-red)"
#endif

namespace {

constexpr size_t kDestBufferSize = 4096;

struct ErrorManager {
  jpeg_error_mgr pub;  // first: libjpeg hands back a pointer to it
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

struct Destination {
  jpeg_destination_mgr pub;  // first, for the same reason
  CPictureFile* file;
  JOCTET buffer[kDestBufferSize];
};

// Everything the compressor run needs. Plain data only: the run below
// recovers from libjpeg's fatal errors with longjmp, which must not skip a
// destructor.
struct JpegJob {
  jpeg_compress_struct cinfo;
  ErrorManager error;
  Destination dest;
  const BYTE* bits;  // stored rows, bottom row first
  size_t rowSize;
  JDIMENSION width;
  JDIMENSION height;
  int components;
  J_COLOR_SPACE inputSpace;
  DWORD options;
  int quality;
  int smoothing;
  UINT16 xDensity;
  UINT16 yDensity;
};

void OnFatalError(j_common_ptr cinfo) {
  auto* error = reinterpret_cast<ErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, error->message);
  std::longjmp(error->jump, 1);
}

// Warnings are not printed: a library in a GUI program has no console.
void IgnoreMessage(j_common_ptr) {}

void InitDestination(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<Destination*>(cinfo->dest);
  dest->pub.next_output_byte = dest->buffer;
  dest->pub.free_in_buffer = kDestBufferSize;
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<Destination*>(cinfo->dest);
  if (dest->file->Write(dest->buffer, 1, kDestBufferSize) != kDestBufferSize) ERREXIT(cinfo, JERR_FILE_WRITE);
  dest->pub.next_output_byte = dest->buffer;
  dest->pub.free_in_buffer = kDestBufferSize;
  return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<Destination*>(cinfo->dest);
  const size_t count = kDestBufferSize - dest->pub.free_in_buffer;
  // A short final write is as much a failure as an empty one.
  if (count > 0 && dest->file->Write(dest->buffer, 1, count) != count) ERREXIT(cinfo, JERR_FILE_WRITE);
  dest->file->Flush();
  if (dest->file->Error()) ERREXIT(cinfo, JERR_FILE_WRITE);
}

bool RunCompressor(JpegJob& job) {
  jpeg_compress_struct& cinfo = job.cinfo;
  cinfo.err = jpeg_std_error(&job.error.pub);
  job.error.pub.error_exit = OnFatalError;
  job.error.pub.output_message = IgnoreMessage;
  if (setjmp(job.error.jump)) {
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  job.dest.pub.init_destination = InitDestination;
  job.dest.pub.empty_output_buffer = EmptyOutputBuffer;
  job.dest.pub.term_destination = TermDestination;
  cinfo.dest = &job.dest.pub;

  cinfo.image_width = job.width;
  cinfo.image_height = job.height;
  cinfo.input_components = job.components;
  cinfo.in_color_space = job.inputSpace;
  jpeg_set_defaults(&cinfo);
  if (job.options & CPictureJPG::ENCODE_ARITHMETIC) cinfo.arith_code = TRUE;
  if (job.options & CPictureJPG::ENCODE_OPTIMIZE) cinfo.optimize_coding = TRUE;
  if (job.options & CPictureJPG::ENCODE_GRAYSCALE) jpeg_set_colorspace(&cinfo, JCS_GRAYSCALE);
  if (job.options & CPictureJPG::ENCODE_SMOOTHING) cinfo.smoothing_factor = job.smoothing;
  jpeg_set_quality(&cinfo, job.quality, (job.options & CPictureJPG::ENCODE_BASELINE) ? TRUE : FALSE);
  if (job.options & CPictureJPG::ENCODE_PROGRESSIVE) jpeg_simple_progression(&cinfo);
  cinfo.density_unit = 1;  // dots per inch
  cinfo.X_density = job.xDensity;
  cinfo.Y_density = job.yDensity;

  jpeg_start_compress(&cinfo, TRUE);
  // The stored rows go to libjpeg as they are, top row first; libjpeg only
  // reads them, and the blue-green-red order is taken as an input colour
  // space, so no row is copied.
  for (JDIMENSION i = 0; i < job.height; ++i) {
    JSAMPROW row = const_cast<JSAMPROW>(job.bits + static_cast<size_t>(job.height - 1 - i) * job.rowSize);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

UINT16 Density(DWORD dpi) { return static_cast<UINT16>(std::min<DWORD>(dpi, 0xFFFF)); }

}  // namespace

bool CPictureJPG::Write(CPictureFile* file) {
  if (CheckEncode(file)) return false;
  // Only 8-bit grey ramps can be handed over as one byte per sample; packed
  // 1- and 4-bit rows are refused like any other palette picture.
  const bool grey = GetBpp() == 8 && IsGrayScale();
  if (GetNumColors() != 0 && !grey) {
    SetLastError("JPEG can save only RGB or GreyScale images");
    return false;
  }

  auto job = std::make_unique<JpegJob>();
  job->dest.file = file;
  job->bits = GetBits(0);
  job->rowSize = GetEffWidth();
  job->width = GetWidth();
  job->height = GetHeight();
  job->components = grey ? 1 : 3;
  job->inputSpace = grey ? JCS_GRAYSCALE : JCS_EXT_BGR;
  job->options = GetCodecOption(PICTURE_FORMAT_JPG);
  job->quality = GetJpegQuality();
  job->smoothing = m_nSmoothing;
  job->xDensity = Density(GetXDPI());
  job->yDensity = Density(GetYDPI());
  if (!RunCompressor(*job)) {
    SetLastError(job->error.message);
    return false;
  }
  return true;
}
