#include "decoders/mpegaudio/TremorDecoder.h"

#include <tremor/ivorbiscodec.h>

#include <vector>

struct CTremorDecoder::State {
  vorbis_info info{};
  vorbis_comment comment{};
  vorbis_dsp_state dsp{};
  vorbis_block block{};
  bool infoInit = false;
  bool dspInit = false;
  bool blockInit = false;
};

CTremorDecoder::CTremorDecoder() = default;

CTremorDecoder::~CTremorDecoder() { Reset(); }

void CTremorDecoder::Reset() {
  if (!m_state) return;
  State& s = *m_state;
  // Teardown in reverse order of set-up: the block refers to the dsp state,
  // which refers to the info.
  if (s.blockInit) vorbis_block_clear(&s.block);
  if (s.dspInit) vorbis_dsp_clear(&s.dsp);
  if (s.infoInit) {
    vorbis_comment_clear(&s.comment);
    vorbis_info_clear(&s.info);
  }
  m_state.reset();
}

bool CTremorDecoder::Ready() const { return m_state && m_state->blockInit; }

int CTremorDecoder::Channels() const { return m_state && m_state->infoInit ? m_state->info.channels : 0; }

long CTremorDecoder::Rate() const { return m_state && m_state->infoInit ? m_state->info.rate : 0; }

bool CTremorDecoder::Init(const uint8_t* const headers[3], const size_t sizes[3]) {
  Reset();
  m_state = std::make_unique<State>();
  State& s = *m_state;
  vorbis_info_init(&s.info);
  vorbis_comment_init(&s.comment);
  s.infoInit = true;

  for (int i = 0; i < 3; ++i) {
    // The library reads the packet but its declaration is not const.
    std::vector<unsigned char> copy(headers[i], headers[i] + sizes[i]);
    ogg_packet op{};
    op.packet = copy.data();
    op.bytes = static_cast<long>(copy.size());
    op.b_o_s = i == 0 ? 1 : 0;
    op.packetno = i;
    if (copy.empty() || vorbis_synthesis_headerin(&s.info, &s.comment, &op) != 0) {
      Reset();
      return false;
    }
  }
  if (vorbis_synthesis_init(&s.dsp, &s.info) != 0) {
    Reset();
    return false;
  }
  s.dspInit = true;
  if (vorbis_block_init(&s.dsp, &s.block) != 0) {
    Reset();
    return false;
  }
  s.blockInit = true;
  return true;
}

int32_t CTremorDecoder::Decode(const uint8_t* data, size_t size, int64_t packetNumber, const PcmSink& sink) {
  if (!Ready()) return 1;
  State& s = *m_state;
  std::vector<unsigned char> copy(data, data + size);
  ogg_packet op{};
  op.packet = copy.data();
  op.bytes = static_cast<long>(copy.size());
  op.packetno = packetNumber;
  op.granulepos = -1;
  if (vorbis_synthesis(&s.block, &op) != 0) return 1;
  vorbis_synthesis_blockin(&s.dsp, &s.block);

  ogg_int32_t** pcm = nullptr;
  int n;
  // A block never yields more than one long window of samples, so this
  // loop ends after a pass or two.
  while ((n = vorbis_synthesis_pcmout(&s.dsp, &pcm)) > 0) {
    int32_t hr = sink(pcm, n);
    vorbis_synthesis_read(&s.dsp, n);
    if (hr != 0) return hr;
  }
  return 0;
}
