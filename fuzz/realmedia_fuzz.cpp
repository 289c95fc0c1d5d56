// libFuzzer target over the RealMedia file reader: the header chunks, the
// stream headers, the picture-size probe, every packet of every data chunk (damage
// passed over as the demux loop does it) and the walk over each video packet's
// sub-packets as the output pin re-frames them. Run by hand, for example:
//   build/fuzz/fuzz/realmedia_fuzz -max_total_time=300 tests/data/*.rm
#include <vector>

#include "splitters/realmedia/RMFile.h"
#include "tests/foundation/MemAsyncReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto* reader = new MemAsyncReader(std::vector<BYTE>(data, data + size));
  {
    HRESULT hr = S_OK;
    CRMFile file(reader, &hr);
    if (SUCCEEDED(hr)) {
      for (const RMMediaProperties& mp : file.m_mps) {
        RMVideoFormat vf;
        vf.Parse(mp.typeSpecData.data(), mp.typeSpecData.size());
        RMAudioFormat af;
        if (af.Parse(mp.typeSpecData.data(), mp.typeSpecData.size()) &&
            af.codecDataOffset + af.codecDataLength > mp.typeSpecData.size())
          __builtin_trap();
        ParseLogicalFileInfo(mp.typeSpecData.data(), mp.typeSpecData.size());
      }
      for (const RMDataChunk& dc : file.m_dcs) {
        file.Seek(dc.pos);
        RMMediaPacketHeader h;
        // As the demux loop walks: damage is passed over to the next packet
        // that the file's structure confirms.
        for (DWORD i = 0; i < dc.nPackets; i++) {
          LONGLONG pos = file.GetPos();
          if (!file.PacketAt(pos, dc.end, false)) {
            pos = file.FindPacket(pos + 1, dc.end);
            if (pos < 0) break;
            if (pos >= dc.end) __builtin_trap();
          }
          file.Seek(pos);
          if (file.Read(h) != S_OK) break;
          const BYTE* p = h.pData.data();
          size_t left = h.pData.size();
          while (left > 0) {
            RVSubPacket sp;
            if (!ParseRVSubPacket(p, left, sp)) break;
            if (sp.headerBytes > left) __builtin_trap();
            p += sp.headerBytes;
            left -= sp.headerBytes;
            const size_t n = sp.Bytes(left);
            if (sp.offset + n > sp.frameLength) __builtin_trap();
            DWORD w = 0, hgt = 0;
            bool interlaced = false;
            ReadRv40PictureSize(p, n, (i & 1) != 0, w, hgt, &interlaced);
            p += n;
            left -= n;
          }
        }
      }
    }
  }
  reader->Release();
  return 0;
}
