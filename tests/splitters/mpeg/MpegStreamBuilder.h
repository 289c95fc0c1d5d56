// Writes small MPEG program streams, bare PES runs and PVA streams around
// elementary data, for the forms and stream kinds ffmpeg does not write.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/dshow/DShow.h"

struct MpegStreamBuilder {
  std::vector<BYTE> bytes;
  bool withPacks = true;
  bool scrambled = false;

  void Put(std::initializer_list<int> v) {
    for (int b : v) bytes.push_back(static_cast<BYTE>(b));
  }
  void Append(const BYTE* p, size_t n) { bytes.insert(bytes.end(), p, p + n); }

  // MPEG-2 pack header with a zero clock and a 10 Mbit/s mux rate.
  void Pack() {
    const int mux = 25000;
    Put({0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, (mux >> 14) & 0xFF, (mux >> 6) & 0xFF, ((mux << 2) & 0xFC) | 3, 0xF8});
  }

  static void PutPts(std::vector<BYTE>& out, int prefix, int64_t pts) {
    out.push_back(static_cast<BYTE>(prefix << 4 | ((pts >> 29) & 0x0E) | 1));
    out.push_back(static_cast<BYTE>(pts >> 22));
    out.push_back(static_cast<BYTE>(((pts >> 14) & 0xFE) | 1));
    out.push_back(static_cast<BYTE>(pts >> 7));
    out.push_back(static_cast<BYTE>(((pts << 1) & 0xFE) | 1));
  }

  // One MPEG-2 PES packet; pts < 0 writes none.
  static std::vector<BYTE> PesPacket(BYTE id, const std::vector<BYTE>& payload, int64_t pts, bool scrambled) {
    std::vector<BYTE> out = {0, 0, 1, id};
    size_t len = 3 + (pts >= 0 ? 5 : 0) + payload.size();
    out.push_back(static_cast<BYTE>(len >> 8));
    out.push_back(static_cast<BYTE>(len));
    out.push_back(static_cast<BYTE>(0x80 | (scrambled ? 0x10 : 0)));
    out.push_back(pts >= 0 ? 0x80 : 0);
    out.push_back(pts >= 0 ? 5 : 0);
    if (pts >= 0) PutPts(out, 2, pts);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
  }

  void Pes(BYTE id, const std::vector<BYTE>& payload, int64_t pts) {
    if (withPacks) Pack();
    auto p = PesPacket(id, payload, pts, scrambled);
    Append(p.data(), p.size());
  }

  // The data cut into chunks of `chunk` bytes, one PES packet each, with
  // time stamps from pts0 in steps of `step` (90 kHz).
  void ProgramStream(BYTE id, const std::vector<BYTE>& data, int64_t pts0, int64_t step, size_t chunk) {
    int64_t pts = pts0;
    for (size_t at = 0; at < data.size(); at += chunk, pts += step) {
      std::vector<BYTE> part(data.begin() + at, data.begin() + std::min(data.size(), at + chunk));
      Pes(id, part, pts);
    }
  }

  void PvaHeader(int stream, int flags, size_t length) {
    static int counter = 0;
    Put({'A', 'V', stream, counter++ & 0xFF, 0x55, flags, static_cast<int>(length >> 8), static_cast<int>(length & 0xFF)});
  }

  // Video in PVA packets with a 32-bit PTS each; audio as PES packets inside
  // PVA packets.
  void Pva(const std::vector<BYTE>& video, const std::vector<BYTE>& audio, int64_t step) {
    const size_t chunk = 4000;
    size_t v = 0, a = 0;
    for (int64_t pts = 0; v < video.size() || a < audio.size(); pts += step) {
      if (v < video.size()) {
        size_t n = std::min(chunk, video.size() - v);
        PvaHeader(1, 0x10, n + 4);
        Put({static_cast<int>(pts >> 24) & 0xFF, static_cast<int>(pts >> 16) & 0xFF, static_cast<int>(pts >> 8) & 0xFF,
             static_cast<int>(pts) & 0xFF});
        Append(video.data() + v, n);
        v += n;
      }
      if (a < audio.size()) {
        size_t n = std::min<size_t>(2000, audio.size() - a);
        auto pes = PesPacket(0xC0, std::vector<BYTE>(audio.begin() + a, audio.begin() + a + n), pts, false);
        PvaHeader(2, 0, pes.size());
        Append(pes.data(), pes.size());
        a += n;
      }
    }
  }
};
