// libFuzzer target over the MPEG video stream parser and the picture
// decoding core. The first input byte picks the piece size the stream is fed
// in and whether the SSE2 or the plain routines run, so that start codes
// split across ranges and both routine sets are explored.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoders/mpeg2video/Mpeg2Dec.h"
#include "foundation/CpuFeatures.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t control = data[0];
  ++data;
  --size;
  SetCpuFeaturesForTesting((control & 0x80) ? CCpuFeatures::SSE2 : 0);
  const size_t piece = (control & 0x7F) ? (size_t{1} << (control & 0x0F)) : size;
  CMpeg2Dec dec;
  size_t pos = 0;
  uint64_t checksum = 0;
  auto drain = [&] {
    for (int state; (state = dec.Parse()) != CMpeg2Dec::STATE_BUFFER;) {
      if (state == CMpeg2Dec::STATE_PICTURE && dec.Info().m_current_picture)
        dec.Skip((dec.Info().m_current_picture->flags & 7) == 3 && (control & 0x40));
      const Mpeg2FrameBuffer* fb = dec.Info().m_display_fbuf;
      const Mpeg2Sequence* seq = dec.Info().m_sequence;
      // Touch the first and last byte of every plane the caller would read.
      if ((state == CMpeg2Dec::STATE_SLICE || state == CMpeg2Dec::STATE_END) && fb && seq) {
        const size_t y = size_t{seq->width} * seq->height;
        checksum += fb->buf[0][0] + fb->buf[0][y - 1] + fb->buf[1][y / 4 - 1] + fb->buf[2][y / 4 - 1];
      }
    }
  };
  while (pos < size) {
    const size_t n = std::min(piece ? piece : size, size - pos);
    std::vector<uint8_t> copy(data + pos, data + pos + n);
    dec.SetBuffer(copy.data(), copy.data() + n);
    drain();
    pos += n;
  }
  dec.Flush();
  drain();
  static volatile uint64_t sink;
  sink = checksum;  // keeps the reads from being optimised away
  return 0;
}
