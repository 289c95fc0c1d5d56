// Vorbis synthesis through the integer decoder (Tremor).
//
// Tremor's entry points carry the same names as libvorbis, which FFmpeg's
// libraries load into the same process. Only TremorDecoder.cpp sees Tremor's
// header, and the library is linked statically with its symbols kept out of
// the dynamic symbol table, so neither library can bind to the other's code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

class CTremorDecoder {
 public:
  CTremorDecoder();
  ~CTremorDecoder();
  CTremorDecoder(const CTremorDecoder&) = delete;
  CTremorDecoder& operator=(const CTremorDecoder&) = delete;

  // Drops every state and reads the three stream headers (identification,
  // comment, set-up); false when one of them is refused.
  bool Init(const uint8_t* const headers[3], const size_t sizes[3]);
  // Releases every state; Ready() is false afterwards.
  void Reset();
  bool Ready() const;

  int Channels() const;
  long Rate() const;

  // Called with the decoded planes (fixed point, 24 fraction bits) and the
  // number of samples in each; a result other than 0 (S_OK) stops the
  // delivery of the packet and is returned by Decode.
  using PcmSink = std::function<int32_t(const int32_t* const* planes, int samples)>;

  // Decodes one packet. 1 when the packet was refused by the synthesis
  // (nothing is output), else the first sink result other than 0, else 0.
  int32_t Decode(const uint8_t* data, size_t size, int64_t packetNumber, const PcmSink& sink);

 private:
  struct State;
  std::unique_ptr<State> m_state;
};
