#include "decoders/mpegaudio/MpaDecPaths.h"

#include <algorithm>
#include <cmath>
#include <cinttypes>
#include <cstring>

#include <mad.h>
#include <neaacdec.h>

#include "platform/codecs/FfmpegMedia.h"

// Neither header declares C linkage for C++ callers.
extern "C" {
#include <a52dec/a52.h>
#include <dca.h>
}

namespace {

struct ChannelRow {
  WORD channels;
  BYTE map[6];
  DWORD mask;
};

// Rows by liba52's output configuration, then the same with LFE (which
// liba52 puts first).
const ChannelRow kAc3Rows[22] = {
    {2, {0, 1}, 0},          {1, {0}, 0},
    {2, {0, 1}, 0},          {3, {0, 2, 1}, 0x7},
    {3, {0, 1, 2}, 0x103},   {4, {0, 2, 1, 3}, 0x107},
    {4, {0, 1, 2, 3}, 0x33}, {5, {0, 2, 1, 3, 4}, 0x37},
    {1, {0}, 0},             {1, {0}, 0},
    {2, {0, 1}, 0},

    {3, {1, 2, 0}, 0xB},           {2, {1, 0}, 0xC},
    {3, {1, 2, 0}, 0xB},           {4, {1, 3, 2, 0}, 0xF},
    {4, {1, 2, 0, 3}, 0x10B},      {5, {1, 3, 2, 0, 4}, 0x10F},
    {5, {1, 2, 0, 3, 4}, 0x3B},    {6, {1, 3, 2, 0, 4, 5}, 0x3F},
    {2, {1, 0}, 0xC},              {2, {1, 0}, 0xC},
    {3, {1, 2, 0}, 0xB},
};

// Rows by libdca's output configuration (a code above 9 counts as 10), then
// with LFE (which libdca puts last).
const ChannelRow kDtsRows[21] = {
    {1, {0}, 0},
    {2, {0, 1}, 0},
    {2, {0, 1}, 0},
    {2, {0, 1}, 0},
    {2, {0, 1}, 0},
    {3, {1, 2, 0}, 0x7},
    {3, {0, 1, 2}, 0x103},
    {4, {1, 2, 0, 3}, 0x107},
    {4, {0, 1, 2, 3}, 0x33},
    {5, {1, 2, 0, 3, 4}, 0x37},

    {2, {0, 1}, 0xC},
    {3, {0, 1, 2}, 0xB},
    {3, {0, 1, 2}, 0xB},
    {3, {0, 1, 2}, 0xB},
    {3, {0, 1, 2}, 0xB},
    {4, {1, 2, 0, 3}, 0xF},
    {4, {0, 1, 3, 2}, 0x10B},
    {5, {1, 2, 0, 4, 3}, 0x10F},
    {5, {0, 1, 4, 2, 3}, 0x3B},
    {6, {1, 2, 0, 5, 3, 4}, 0x3F},
    {1, {0}, 0},
};

// Rows by Vorbis channel count 1 to 6.
const ChannelRow kVorbisRows[6] = {
    {1, {0}, 0},
    {2, {0, 1}, 0},
    {3, {0, 2, 1}, 0x7},
    {4, {0, 1, 2, 3}, 0x33},
    {5, {0, 2, 1, 3, 4}, 0x37},
    {6, {0, 2, 1, 5, 3, 4}, 0x3F},
};

// Speaker bit of each AAC channel position (index: the decoder's position
// code; 0 is unknown).
const DWORD kAacPositionMask[10] = {0, 0x4, 0x1, 0x2, 0x200, 0x400, 0x10, 0x20, 0x100, 0x8};

const double kPs2Coefficients[5][2] = {
    {0.0, 0.0}, {0.9375, 0.0}, {1.796875, -0.8125}, {1.53125, -0.859375}, {1.90625, -0.9375}};

// Largest frame the libraries can report; a larger length is a misread
// header and is resynchronised over.
constexpr int kMaxAc3Frame = 3840;
constexpr int kMaxDtsFrame = 16384;
// Two stereo AAC frames at their largest.
constexpr size_t kAacRebuildBytes = 3072;

uint32_t ReadLe32(const BYTE* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

class AacHandle {
 public:
  AacHandle() : m_h(NeAACDecOpen()) {
    if (m_h) {
      NeAACDecConfigurationPtr cfg = NeAACDecGetCurrentConfiguration(m_h);
      cfg->outputFormat = FAAD_FMT_FLOAT;
      NeAACDecSetConfiguration(m_h, cfg);
    }
  }
  ~AacHandle() {
    if (m_h) NeAACDecClose(m_h);
  }
  AacHandle(const AacHandle&) = delete;
  AacHandle& operator=(const AacHandle&) = delete;
  NeAACDecHandle get() const { return m_h; }

  // The decoder configuration sits behind the WAVEFORMATEX, as long as its
  // extra size says and the block holds.
  bool Init(const AM_MEDIA_TYPE& mt, unsigned long* rate, unsigned char* channels) {
    const WAVEFORMATEX* wfx = CMpaDecPaths::WaveFormat(mt);
    if (!m_h || !wfx || wfx->cbSize == 0 || mt.cbFormat < sizeof(WAVEFORMATEX) + wfx->cbSize) return false;
    return NeAACDecInit2(m_h, mt.pbFormat + sizeof(WAVEFORMATEX), wfx->cbSize, rate, channels) == 0;
  }

 private:
  NeAACDecHandle m_h;
};

bool IsAacSubtype(const GUID& s) { return ClassifyMpaInput(s) == MpaInputKind::Aac; }

// FFmpeg's MPEG audio decoder, for the frames libmad refuses as a mode the
// standard forbids (mono layer II above 192 kbit/s) although encoders write
// it. It is fed one whole frame at a time.
class FallbackMpaDecoder {
 public:
  explicit FallbackMpaDecoder(int layer) : m_layer(layer) {
    // The float decoders keep the precision of the libmad path.
    static const char* const kNames[3] = {"mp1float", "mp2float", "mp3float"};
    static const AVCodecID kIds[3] = {AV_CODEC_ID_MP1, AV_CODEC_ID_MP2, AV_CODEC_ID_MP3};
    if (layer < 1 || layer > 3) return;
    const AVCodec* codec = avcodec_find_decoder_by_name(kNames[layer - 1]);
    if (!codec) codec = avcodec_find_decoder(kIds[layer - 1]);
    if (!codec) return;
    AvCodecContextPtr ctx(avcodec_alloc_context3(codec));
    m_frame.reset(av_frame_alloc());
    m_packet.reset(av_packet_alloc());
    if (!ctx || !m_frame || !m_packet) return;
    ctx->thread_count = 1;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return;
    m_ctx = std::move(ctx);
  }

  int Layer() const { return m_layer; }

  // Decodes one frame into interleaved floats (at most two channels);
  // false when the decoder gives nothing for it.
  bool Decode(const BYTE* data, size_t size, std::vector<float>& out, DWORD& rate, WORD& channels) {
    if (!m_ctx || size == 0 || size > INT32_MAX) return false;
    // A packet without a buffer of its own is copied by the decoder into
    // a padded one, so it never reads past the frame.
    m_packet->data = const_cast<BYTE*>(data);
    m_packet->size = static_cast<int>(size);
    const int sent = avcodec_send_packet(m_ctx.get(), m_packet.get());
    m_packet->data = nullptr;
    m_packet->size = 0;
    if (sent < 0) return false;
    out.clear();
    bool any = false;
    while (avcodec_receive_frame(m_ctx.get(), m_frame.get()) == 0) {
      const AVFrame& f = *m_frame;
      const int nch = f.ch_layout.nb_channels;
      if (nch >= 1 && nch <= 2 && f.sample_rate > 0 && f.nb_samples > 0 &&
          (!any || (rate == static_cast<DWORD>(f.sample_rate) && channels == nch)) && Append(f, nch, out)) {
        rate = static_cast<DWORD>(f.sample_rate);
        channels = static_cast<WORD>(nch);
        any = true;
      }
      av_frame_unref(m_frame.get());
    }
    return any && !out.empty();
  }

 private:
  static bool Append(const AVFrame& f, int nch, std::vector<float>& out) {
    const auto fmt = static_cast<AVSampleFormat>(f.format);
    const bool planar = av_sample_fmt_is_planar(fmt);
    const AVSampleFormat packed = av_get_packed_sample_fmt(fmt);
    if (packed != AV_SAMPLE_FMT_FLT && packed != AV_SAMPLE_FMT_S16 && packed != AV_SAMPLE_FMT_S32) return false;
    const size_t n = static_cast<size_t>(f.nb_samples);
    size_t pos = out.size();
    out.resize(pos + n * nch);
    for (size_t i = 0; i < n; ++i) {
      for (int ch = 0; ch < nch; ++ch) {
        const uint8_t* plane = f.extended_data[planar ? ch : 0];
        const size_t index = planar ? i : i * nch + ch;
        float v;
        if (packed == AV_SAMPLE_FMT_FLT)
          v = reinterpret_cast<const float*>(plane)[index];
        else if (packed == AV_SAMPLE_FMT_S16)
          v = reinterpret_cast<const int16_t*>(plane)[index] * (1.0f / 32768);
        else
          v = static_cast<float>(reinterpret_cast<const int32_t*>(plane)[index] * (1.0 / 2147483648.0));
        out[pos++] = std::clamp(v, -1.0f, 1.0f);
      }
    }
    return true;
  }

  int m_layer;
  AvCodecContextPtr m_ctx;
  AvFramePtr m_frame;
  AvPacketPtr m_packet;
};

}  // namespace

struct CMpaDecPaths::Libs {
  a52_state_t* a52 = nullptr;
  dca_state_t* dts = nullptr;
  bool madInit = false;
  mad_stream stream{};
  mad_frame frame{};
  mad_synth synth{};
  // Made on the first frame libmad refuses for its mode.
  std::unique_ptr<FallbackMpaDecoder> mpaFallback;
  std::unique_ptr<AacHandle> aac;
  size_t aacBuilds = 0;
  // Failed inputs since the last one that decoded, and their bytes since
  // the decoder was last built.
  uint64_t aacFailures = 0;
  size_t aacFailedBytes = 0;
  bool aacReady = false;
  unsigned long aacRate = 0;
  unsigned char aacChannels = 0;
  // Where the input samples in the buffer begin, and the bytes the buffer
  // held when last looked at.
  std::vector<size_t> aacStarts;
  size_t aacHeld = 0;
  // A sample that did not decode alone is held; input found to come in
  // pieces smaller than frames; the stream's end, where what is left is
  // decoded however much it is.
  bool aacHolding = false;
  bool aacPieces = false;
  bool aacFlushing = false;
  void ForgetAacInput() {
    aacStarts.clear();
    aacHeld = 0;
    aacHolding = false;
  }
};

CMpaDecPaths::CMpaDecPaths() : m_libs(std::make_unique<Libs>()) { m_libs->aac = std::make_unique<AacHandle>(); }

CMpaDecPaths::~CMpaDecPaths() { FreeDecoders(); }

const WAVEFORMATEX* CMpaDecPaths::WaveFormat(const AM_MEDIA_TYPE& mt) {
  if (!mt.pbFormat || mt.cbFormat < sizeof(WAVEFORMATEX)) return nullptr;
  return reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat);
}

DWORD CMpaDecPaths::Ps2Interleave(const AM_MEDIA_TYPE& mt) {
  if (!mt.pbFormat || mt.cbFormat < sizeof(WAVEFORMATEX) + 2 + 4) return 0;
  return ReadLe32(mt.pbFormat + sizeof(WAVEFORMATEX) + 2);
}

size_t CMpaDecPaths::AacDecoderBuilds() const { return m_libs->aacBuilds; }

void CMpaDecPaths::SetInputType(const AM_MEDIA_TYPE& mt) {
  m_mt = mt;
  m_libs->aacFailures = 0;
  m_libs->aacFailedBytes = 0;
  m_libs->ForgetAacInput();
  m_libs->aacPieces = false;
  InitAacDecoder(m_mt);
  InitVorbisDecoder(m_mt);
}

void CMpaDecPaths::InitDecoders() {
  FreeDecoders();
  m_nTaken = m_nFrameAt = 0;
  m_libs->ForgetAacInput();
  m_libs->aacPieces = false;
  m_libs->a52 = a52_init(0);
  m_libs->dts = dca_init(0);
  m_dtsGain = 1.0f;
  InitAacDecoder(m_mt);
  mad_stream_init(&m_libs->stream);
  mad_frame_init(&m_libs->frame);
  mad_synth_init(&m_libs->synth);
  m_libs->madInit = true;
  ResetPs2();
  std::memset(m_ps2History, 0, sizeof(m_ps2History));
}

void CMpaDecPaths::FreeDecoders() {
  if (m_libs->a52) a52_free(m_libs->a52);
  m_libs->a52 = nullptr;
  if (m_libs->dts) dca_free(m_libs->dts);
  m_libs->dts = nullptr;
  if (m_libs->madInit) {
    mad_synth_finish(&m_libs->synth);
    mad_frame_finish(&m_libs->frame);
    mad_stream_finish(&m_libs->stream);
    m_libs->madInit = false;
  }
  m_libs->mpaFallback.reset();
}

void CMpaDecPaths::ResetPs2() {
  m_ps2Started = false;
  m_ps2Skip = 0;
}

void CMpaDecPaths::AppendInput(const BYTE* data, size_t size) {
  if (size == 0) return;
  // Grow in whole pages so that a stream of small samples does not
  // reallocate on every one.
  if (m_buff.capacity() < m_buff.size() + size) m_buff.reserve((m_buff.size() + size + 4095) / 4096 * 4096);
  m_buff.insert(m_buff.end(), data, data + size);
}

void CMpaDecPaths::ClearInput() {
  m_libs->ForgetAacInput();
  m_nTaken += m_buff.size();
  std::vector<BYTE>().swap(m_buff);
}

void CMpaDecPaths::ConsumeInput(size_t bytes) {
  bytes = std::min(bytes, m_buff.size());
  m_nTaken += bytes;
  m_buff.erase(m_buff.begin(), m_buff.begin() + static_cast<std::ptrdiff_t>(bytes));
}

HRESULT CMpaDecPaths::ProcessInput() {
  switch (ClassifyMpaInput(m_mt.subtype)) {
    case MpaInputKind::Lpcm:
      return ProcessLPCM();
    case MpaInputKind::Ac3:
      return ProcessAC3();
    case MpaInputKind::Dts:
      return ProcessDTS();
    case MpaInputKind::Aac:
      return ProcessAAC();
    case MpaInputKind::Ps2Pcm:
      return ProcessPS2PCM();
    case MpaInputKind::Ps2Adpcm:
      return ProcessPS2ADPCM();
    case MpaInputKind::Vorbis:
      return ProcessVorbis();
    case MpaInputKind::Mpa:
      break;
  }
  return ProcessMPA();
}

HRESULT CMpaDecPaths::FlushInput() {
  HRESULT hr = S_OK;
  if (ClassifyMpaInput(m_mt.subtype) == MpaInputKind::Mpa && !m_buff.empty()) {
    // The decoder wants guard bytes behind a frame before it takes it, so
    // without them the last frame of every stream would be lost.
    const BYTE guard[MAD_BUFFER_GUARD] = {};
    AppendInput(guard, sizeof(guard));
    hr = ProcessMPA();
  } else if (ClassifyMpaInput(m_mt.subtype) == MpaInputKind::Aac && !m_buff.empty()) {
    // The frames still held are decoded however many bytes came.
    m_libs->aacFlushing = true;
    hr = ProcessAAC();
    m_libs->aacFlushing = false;
  }
  ClearInput();
  return hr;
}

// ---------------------------------------------------------------------------
// DVD LPCM

bool CMpaDecPaths::IsDecodableLpcm(const WAVEFORMATEX* wfx) {
  if (!wfx || wfx->nChannels < 1 || wfx->nChannels > 8 || wfx->nSamplesPerSec == 0) return false;
  return wfx->wBitsPerSample == 16 || wfx->wBitsPerSample == 20 || wfx->wBitsPerSample == 24;
}

size_t CMpaDecPaths::LpcmGroupSize(WORD channels, WORD bits) {
  // 16-bit samples stand one sample time at a time; 20 and 24-bit samples
  // come in groups of two sample times, whose high words lead and whose low
  // bits follow packed together.
  return bits == 16 ? size_t{channels} * 2 : size_t{channels} * 2 * bits / 8;
}

HRESULT CMpaDecPaths::ProcessLPCM() {
  const WAVEFORMATEX* wfx = WaveFormat(m_mt);
  if (!IsDecodableLpcm(wfx)) {
    // Nothing here can be decoded; do not let the buffer grow.
    ClearInput();
    return S_OK;
  }
  const WORD channels = wfx->nChannels;
  const WORD bits = wfx->wBitsPerSample;
  const size_t group = LpcmGroupSize(channels, bits);
  const size_t groups = m_buff.size() / group;
  if (groups == 0) return S_OK;
  const BYTE* const in = m_buff.data();

  std::vector<float> values;
  if (bits == 16) {
    values.resize(groups * channels);
    for (size_t i = 0; i < values.size(); ++i) {
      const int16_t v = static_cast<int16_t>(in[2 * i] << 8 | in[2 * i + 1]);
      values[i] = v * (1.0f / 32768);
    }
  } else {
    // Per group: 2 x channels big-endian high words in output order (first
    // sample time, every channel, then the second), then the low bits in
    // the same order: one byte each at 24 bits, one nibble each (high
    // nibble first) at 20 bits.
    const size_t perGroup = size_t{channels} * 2;
    const float scale = bits == 24 ? 1.0f / 8388608 : 1.0f / 524288;
    values.resize(groups * perGroup);
    for (size_t g = 0; g < groups; ++g) {
      const BYTE* const hi = in + g * group;
      const BYTE* const lo = hi + perGroup * 2;
      float* const out = values.data() + g * perGroup;
      for (size_t i = 0; i < perGroup; ++i) {
        // Build the sample in the top bits of 32 so that the arithmetic
        // shift back down carries its sign.
        uint32_t u = static_cast<uint32_t>(hi[2 * i]) << 24 | static_cast<uint32_t>(hi[2 * i + 1]) << 16;
        int shift;
        if (bits == 24) {
          u |= static_cast<uint32_t>(lo[i]) << 8;
          shift = 8;
        } else {
          const BYTE pair = lo[i / 2];
          u |= static_cast<uint32_t>(i % 2 == 0 ? pair >> 4 : pair & 0x0F) << 12;
          shift = 12;
        }
        out[i] = static_cast<float>(static_cast<int32_t>(u) >> shift) * scale;
      }
    }
  }
  FrameBeginsAt(0, groups * group);
  ConsumeInput(groups * group);
  return Deliver(values.data(), values.size(), wfx->nSamplesPerSec, channels, 0);
}

// ---------------------------------------------------------------------------
// AC-3

HRESULT CMpaDecPaths::ProcessAC3() {
  if (!m_libs->a52) return E_UNEXPECTED;
  BYTE* const base = m_buff.data();
  const size_t end = m_buff.size();
  size_t pos = 0;
  HRESULT hr = S_OK;

  while (end - pos >= 7) {
    int flags = 0, rate = 0, bitRate = 0;
    const int length = a52_syncinfo(base + pos, &flags, &rate, &bitRate);
    if (length <= 0 || length > kMaxAc3Frame || rate <= 0) {
      ++pos;
      continue;
    }
    if (end - pos < static_cast<size_t>(length)) break;
    BYTE* const frame = base + pos;
    FrameBeginsAt(pos);

    const int config = GetSpeakerConfig(MPADEC_AC3);
    if (config < 0) {
      hr = DeliverBitstream(frame, length, bitRate, 1);
      if (hr != S_OK) break;
    } else {
      // A mono output gets the frame mixed to mono: the output type was
      // made with one channel and stays so.
      flags = (OutputChannels() == 1 ? A52_MONO : (config & 0x1F)) | A52_ADJUST_LEVEL;
      // The samples come scaled by the level liba52 settles on, lowered
      // where a downmix would pass full scale.
      sample_t level = 1;
      if (a52_frame(m_libs->a52, frame, &flags, &level, 0) == 0 && level != 0) {
        if (GetDynamicRangeControl(MPADEC_AC3)) a52_dynrng(m_libs->a52, nullptr, nullptr);
        const int code = flags & A52_CHANNEL_MASK;
        // No configuration beyond Dolby stereo exists; such a frame is
        // dropped rather than mapped with a row that does not belong to it.
        if (code <= A52_DOLBY) {
          const ChannelRow& row = kAc3Rows[code + ((flags & A52_LFE) ? 11 : 0)];
          std::vector<float> values(size_t{row.channels} * 1536);
          float* out = values.data();
          bool good = true;
          for (int block = 0; block < 6 && good; ++block) {
            if (a52_block(m_libs->a52) != 0) {
              good = false;
              break;
            }
            const sample_t* samples = a52_samples(m_libs->a52);
            for (int i = 0; i < 256; ++i) {
              for (int ch = 0; ch < row.channels; ++ch) *out++ = samples[row.map[ch] * 256 + i];
            }
          }
          if (good) {
            hr = Deliver(values.data(), values.size(), rate, row.channels, row.mask);
            if (hr != S_OK) break;
          }
        }
      }
    }
    pos += length;
  }
  ConsumeInput(pos);
  return hr;
}

// ---------------------------------------------------------------------------
// DTS

HRESULT CMpaDecPaths::ProcessDTS() {
  if (!m_libs->dts) return E_UNEXPECTED;
  BYTE* const base = m_buff.data();
  const size_t end = m_buff.size();
  size_t pos = 0;
  HRESULT hr = S_OK;

  while (end - pos >= 14) {
    int flags = 0, rate = 0, bitRate = 0, frameSamples = 0;
    const int length = dca_syncinfo(m_libs->dts, base + pos, &flags, &rate, &bitRate, &frameSamples);
    if (length <= 0 || length > kMaxDtsFrame || rate <= 0) {
      ++pos;
      continue;
    }
    if (end - pos < static_cast<size_t>(length)) break;
    BYTE* const frame = base + pos;
    FrameBeginsAt(pos);

    const int config = GetSpeakerConfig(MPADEC_DTS);
    if (config < 0) {
      hr = DeliverBitstream(frame, length, bitRate, 11);
      if (hr != S_OK) break;
    } else {
      flags = (OutputChannels() == 1 ? DCA_MONO : (config & 0xBF)) | DCA_ADJUST_LEVEL;
      // Asked to lower the level like liba52; libdca does so only for the
      // layouts of five or fewer channels it shares with AC-3, so a downmix
      // of the others is scaled here (below).
      level_t level = 1;
      if (dca_frame(m_libs->dts, frame, &flags, &level, 0) == 0 && level != 0) {
        if (GetDynamicRangeControl(MPADEC_DTS)) dca_dynrng(m_libs->dts, nullptr, nullptr);
        const int code = std::min(flags & DCA_CHANNEL_MASK, 10);
        const ChannelRow& row = kDtsRows[code + ((flags & DCA_LFE) ? 10 : 0)];
        const int blocks = dca_blocks_num(m_libs->dts);
        if (blocks > 0) {
          std::vector<float> values(size_t{row.channels} * blocks * 256);
          float* out = values.data();
          bool good = true;
          for (int block = 0; block < blocks; ++block) {
            if (dca_block(m_libs->dts) != 0) {
              good = false;
              break;
            }
            const sample_t* samples = dca_samples(m_libs->dts);
            for (int i = 0; i < 256; ++i) {
              for (int ch = 0; ch < row.channels; ++ch) *out++ = samples[row.map[ch] * 256 + i];
            }
          }
          if (good) {
            KeepDtsInRange(values);
            hr = Deliver(values.data(), values.size(), rate, row.channels, row.mask);
            if (hr != S_OK) break;
          }
        }
      }
    }
    pos += length;
  }
  ConsumeInput(pos);
  return hr;
}

void CMpaDecPaths::KeepDtsInRange(std::vector<float>& values) {
  // The stream's gain only ever falls, to what keeps the loudest frame so
  // far within full scale.
  float peak = 0.0f;
  for (float v : values) peak = std::max(peak, std::fabs(v));
  if (peak * m_dtsGain > 1.0f) m_dtsGain = 1.0f / peak;
  if (m_dtsGain < 1.0f)
    for (float& v : values) v *= m_dtsGain;
}

// ---------------------------------------------------------------------------
// AAC

bool CMpaDecPaths::InitAacDecoder(const AM_MEDIA_TYPE& mt) {
  if (!IsAacSubtype(mt.subtype)) return true;
  m_libs->aac = std::make_unique<AacHandle>();
  ++m_libs->aacBuilds;
  m_libs->aacRate = 0;
  m_libs->aacChannels = 0;
  m_libs->aacReady = m_libs->aac->Init(mt, &m_libs->aacRate, &m_libs->aacChannels);
  return m_libs->aacReady;
}

bool CMpaDecPaths::ProbeAac(const AM_MEDIA_TYPE& mt, DWORD* rate, WORD* channels) {
  AacHandle probe;
  unsigned long r = 0;
  unsigned char c = 0;
  if (!probe.Init(mt, &r, &c)) return false;
  *rate = static_cast<DWORD>(r);
  *channels = c;
  return true;
}

HRESULT CMpaDecPaths::ProcessAAC() {
  Libs& libs = *m_libs;
  if (!libs.aacReady || m_buff.empty()) {
    // Without a configuration the decoder cannot take raw frames.
    ClearInput();
    return S_OK;
  }
  NeAACDecHandle h = nullptr;
  auto configure = [&] {
    h = libs.aac->get();
    NeAACDecConfigurationPtr cfg = NeAACDecGetCurrentConfiguration(h);
    cfg->downMatrix = static_cast<unsigned char>(GetSpeakerConfig(MPADEC_AAC) & 0xFF);
    NeAACDecSetConfiguration(h, cfg);
  };

  auto deliver = [&](NeAACDecFrameInfo& info, const float* pcm) -> HRESULT {
    libs.aacFailures = 0;
    libs.aacFailedBytes = 0;
    if (info.samples == 0 && info.channels > 0 && info.channels < 3 && info.samplerate > 0) {
      // The decoder keeps the first frame's output back (it only primes the
      // overlap); the frame's time still passes, as silence, so the sound
      // after it keeps its place. (More channels would need their speaker
      // order, which the decoder gives only with samples.)
      const std::vector<float> silence((info.sbr ? 2048 : 1024) * size_t{info.channels}, 0.0f);
      return Deliver(silence.data(), silence.size(), info.samplerate, info.channels, 0);
    }
    if (!pcm || info.samples == 0 || info.channels == 0) return S_OK;

    const int channels = info.channels;
    if (channels == 2 && info.channel_position[1] == UNKNOWN_CHANNEL) {
      info.channel_position[0] = FRONT_CHANNEL_LEFT;
      info.channel_position[1] = FRONT_CHANNEL_RIGHT;
    }
    DWORD mask = 0;
    for (int ch = 0; ch < channels; ++ch) {
      const unsigned pos = info.channel_position[ch];
      if (pos == UNKNOWN_CHANNEL || pos >= 10) return E_FAIL;
      mask |= kAacPositionMask[pos];
    }

    const size_t frames = info.samples / channels;
    std::vector<float> values(frames * channels);
    if (__builtin_popcount(mask) == channels) {
      // Channels go in ascending order of their speaker bits.
      int index[64];
      for (int ch = 0; ch < channels; ++ch) {
        const DWORD bit = kAacPositionMask[info.channel_position[ch]];
        index[ch] = __builtin_popcount(mask & (bit - 1));
      }
      for (size_t f = 0; f < frames; ++f) {
        for (int ch = 0; ch < channels; ++ch) values[f * channels + index[ch]] = pcm[f * channels + ch];
      }
    } else {
      // Two channels on one speaker: no order is right, so keep the decoder's
      // and name no speakers rather than leave slots unwritten.
      std::copy(pcm, pcm + values.size(), values.begin());
      mask = 0;
    }
    if (channels < 3) mask = 0;
    return Deliver(values.data(), values.size(), info.samplerate, static_cast<WORD>(channels), mask);
  };

  // Each input sample holds one raw frame as the splitters deliver them,
  // and is decoded alone. A sample that does not decode alone is held
  // until a frame's worth of bytes has come: if they decode as one frame
  // that runs past it, the input comes in pieces (a stream cut anywhere),
  // whose frames are decoded from gathered bytes by the length the
  // decoder takes, one call a frame; else the sample was damaged.
  if (m_buff.size() > libs.aacHeld) libs.aacStarts.push_back(libs.aacHeld);
  libs.aacHeld = m_buff.size();
  const size_t maxFrame = size_t{768} * (libs.aacChannels ? libs.aacChannels : 8);
  HRESULT hr = S_OK;
  while (!m_buff.empty() && hr == S_OK) {
    const size_t first = libs.aacStarts.size() > 1 ? libs.aacStarts[1] : m_buff.size();
    const bool gathering = libs.aacPieces || libs.aacHolding;
    if (gathering && m_buff.size() < maxFrame && !libs.aacFlushing) break;
    const size_t offered = gathering ? m_buff.size() : first;
    if (!h) configure();
    NeAACDecFrameInfo info{};
    FrameBeginsAt(0);
    const float* pcm = static_cast<const float*>(NeAACDecDecode(h, &info, m_buff.data(), offered));
    size_t taken = 0;
    if (info.error == 0) {
      const size_t used = std::clamp<size_t>(info.bytesconsumed, 1, offered);
      if (libs.aacHolding && used > first) libs.aacPieces = true;
      libs.aacHolding = false;
      // What follows a frame in its own sample is no frame.
      taken = libs.aacPieces ? used : first;
    } else if (!gathering && first == m_buff.size() && !libs.aacFlushing) {
      libs.aacHolding = true;
      break;
    } else {
      // Damage costs its sample, or a byte of input in pieces.
      taken = libs.aacPieces ? 1 : first;
      libs.aacHolding = false;
    }
    const auto next = std::lower_bound(libs.aacStarts.begin(), libs.aacStarts.end(), taken);
    libs.aacStarts.erase(libs.aacStarts.begin(), next);
    for (size_t& start : libs.aacStarts) start -= taken;
    if (libs.aacStarts.empty() || libs.aacStarts.front() != 0) libs.aacStarts.insert(libs.aacStarts.begin(), 0);
    ConsumeInput(taken);
    libs.aacHeld = m_buff.size();
    if (m_buff.empty()) libs.aacStarts.clear();
    if (info.error != 0) {
      // The decoder may be left in a state that refuses every later frame,
      // so it is built anew: at the first failure, and then again only once
      // another couple of frames' worth of input has failed, so that
      // garbage does not cost a rebuild per input.
      libs.aacFailedBytes += taken;
      if (++libs.aacFailures == 1 || libs.aacFailedBytes >= kAacRebuildBytes) {
        libs.aacFailedBytes = 0;
        if (!InitAacDecoder(m_mt)) {
          ClearInput();
          break;
        }
        configure();
      }
      continue;
    }
    hr = deliver(info, pcm);
  }
  return hr;
}

// ---------------------------------------------------------------------------
// PS2 PCM and ADPCM

HRESULT CMpaDecPaths::ProcessPS2PCM() { return ProcessPS2(false); }

HRESULT CMpaDecPaths::ProcessPS2ADPCM() { return ProcessPS2(true); }

HRESULT CMpaDecPaths::ProcessPS2(bool adpcm) {
  const WAVEFORMATEX* wfx = WaveFormat(m_mt);
  const DWORD interleave = Ps2Interleave(m_mt);
  const WORD channels = wfx ? wfx->nChannels : 0;
  // The filter refuses such types; a bad one reaching here must not divide
  // by zero or loop on empty blocks.
  const bool valid = wfx && interleave > 0 && channels > 0 && wfx->nSamplesPerSec > 0 &&
                     (adpcm ? interleave % 16 == 0 && channels <= 2 : wfx->wBitsPerSample == 16);
  if (!valid) {
    ClearInput();
    return S_OK;
  }
  const size_t block = size_t{interleave} * channels;
  const size_t perChannel = adpcm ? interleave / 16 * 28 : interleave / 2;

  const BYTE* const base = m_buff.data();
  const size_t end = m_buff.size();
  size_t pos = 0;
  HRESULT hr = S_OK;
  std::vector<float> values;

  while (pos < end) {
    if (m_ps2Skip > 0) {
      const size_t n = std::min(m_ps2Skip, end - pos);
      pos += n;
      m_ps2Skip -= n;
      continue;
    }
    if (end - pos < std::max<size_t>(block, 8)) break;
    const BYTE* p = base + pos;
    if (std::memcmp(p, "SShd", 4) == 0) {
      // A header chunk may be longer than what has arrived; the rest is
      // skipped as it comes.
      m_ps2Skip = 8 + size_t{ReadLe32(p + 4)};
      continue;
    }
    if (std::memcmp(p, "SSbd", 4) == 0) {
      pos += 8;
      m_ps2Started = true;
      continue;
    }

    values.assign(perChannel * channels, 0.0f);
    if (m_ps2Started) {
      for (WORD c = 0; c < channels; ++c) {
        const BYTE* region = p + size_t{c} * interleave;
        if (adpcm) {
          double unitOut[28];
          for (size_t u = 0; u < interleave / 16; ++u) {
            DecodePs2AdpcmBlock(region + u * 16, unitOut, c);
            for (int k = 0; k < 28; ++k) {
              values[(u * 28 + k) * channels + c] = static_cast<float>(unitOut[k]);
            }
          }
        } else {
          for (size_t i = 0; i < perChannel; ++i) {
            const int16_t v = static_cast<int16_t>(region[2 * i] | region[2 * i + 1] << 8);
            values[i * channels + c] = v * (1.0f / 32768);
          }
        }
      }
    }
    FrameBeginsAt(pos);
    hr = Deliver(values.data(), values.size(), wfx->nSamplesPerSec, channels, 0);
    if (hr != S_OK) break;
    pos += block;
  }
  ConsumeInput(pos);
  return hr;
}

void CMpaDecPaths::DecodePs2AdpcmBlock(const BYTE* unit, double out[28], int channel) {
  std::fill(out, out + 28, 0.0);
  const int predictor = unit[0] >> 4;
  const int shift = unit[0] & 0x0F;
  // Index 10 and above marks a unit that carries no sound; it is silence.
  if (predictor >= 10 || channel < 0 || channel > 1) return;
  // Only five predictors have coefficients; the others predict nothing.
  const double c1 = predictor < 5 ? kPs2Coefficients[predictor][0] : 0.0;
  const double c2 = predictor < 5 ? kPs2Coefficients[predictor][1] : 0.0;
  double& s1 = m_ps2History[channel][0];
  double& s2 = m_ps2History[channel][1];
  for (int k = 0; k < 28; ++k) {
    const int nibble = (unit[2 + k / 2] >> ((k & 1) * 4)) & 0x0F;
    const int d = static_cast<int16_t>(nibble << 12) >> shift;
    const double s = d + c1 * s1 + c2 * s2;
    s2 = s1;
    s1 = s;
    out[k] = s / 32767;
  }
}

// ---------------------------------------------------------------------------
// Vorbis

bool CMpaDecPaths::InitVorbisDecoder(const AM_MEDIA_TYPE& mt) {
  if (ClassifyMpaInput(mt.subtype) != MpaInputKind::Vorbis) return true;
  m_vorbis.Reset();
  m_vorbisPacket = 0;
  // Three header sizes at bytes 12, 16 and 20, the headers from byte 24;
  // all of it must lie inside the block.
  if (!mt.pbFormat || mt.cbFormat < 24) return false;
  size_t sizes[3];
  const uint8_t* headers[3];
  size_t offset = 24;
  for (int i = 0; i < 3; ++i) {
    sizes[i] = ReadLe32(mt.pbFormat + 12 + 4 * i);
    if (sizes[i] > mt.cbFormat - offset) return false;
    headers[i] = mt.pbFormat + offset;
    offset += sizes[i];
  }
  m_vorbisPacket = 3;
  return m_vorbis.Init(headers, sizes);
}

HRESULT CMpaDecPaths::ProcessVorbis() {
  const int channels = m_vorbis.Channels();
  if (channels < 1 || channels > 6) return E_FAIL;
  if (m_buff.empty()) return S_OK;
  const long rate = m_vorbis.Rate();
  const ChannelRow& row = kVorbisRows[channels - 1];
  std::vector<float> values;

  FrameBeginsAt(0);
  const int32_t result = m_vorbis.Decode(
      m_buff.data(), m_buff.size(), m_vorbisPacket++, [&](const int32_t* const* planes, int n) -> int32_t {
        values.resize(size_t(n) * channels);
        float* out = values.data();
        for (int i = 0; i < n; ++i) {
          for (int ch = 0; ch < channels; ++ch) {
            const int32_t v = std::clamp<int32_t>(planes[row.map[ch]][i], -16777216, 16777216);
            *out++ = v * 5.960464477539063e-8f;
          }
        }
        return Deliver(values.data(), values.size(), static_cast<DWORD>(rate), row.channels, row.mask);
      });
  if (result == 1) {
    // Refused packet: nothing to output.
    ClearInput();
    return S_OK;
  }
  if (result != S_OK) return result;
  ClearInput();
  return S_OK;
}

// ---------------------------------------------------------------------------
// MPEG audio

HRESULT CMpaDecPaths::ProcessMPA() {
  Libs& libs = *m_libs;
  if (!libs.madInit) return E_UNEXPECTED;
  if (m_buff.empty()) return S_OK;
  const WAVEFORMATEX* wfx = WaveFormat(m_mt);
  mad_stream_buffer(&libs.stream, m_buff.data(), m_buff.size());

  // A frame that does not match the connected format (a stray sync in a
  // damaged stream, usually) would change the output under the receiver.
  auto fits = [wfx](DWORD rate, WORD channels) {
    return rate != 0 && channels != 0 && (!wfx || (channels == wfx->nChannels && rate == wfx->nSamplesPerSec));
  };

  HRESULT hr = S_OK;
  std::vector<float> values;
  const unsigned char* lastFailure = nullptr;
  for (;;) {
    DWORD rate = 0;
    WORD channels = 0;
    if (mad_frame_decode(&libs.frame, &libs.stream) == -1) {
      if (libs.stream.error == MAD_ERROR_BUFLEN) break;
      if (!MAD_RECOVERABLE(libs.stream.error)) {
        hr = E_FAIL;
        break;
      }
      // The library moves on after a recoverable error; should it ever not,
      // stop here instead of spinning on the same bytes.
      if (libs.stream.next_frame == lastFailure) break;
      lastFailure = libs.stream.next_frame;
      if (libs.stream.error == MAD_ERROR_BADMODE && DecodeRefusedMpaFrame(values, rate, channels)) {
        if (!fits(rate, channels)) continue;
      } else if (!SilenceForUndecodedFrame(values, rate, channels) || !fits(rate, channels)) {
        continue;
      }
    } else {
      mad_synth_frame(&libs.synth, &libs.frame);
      const mad_pcm& pcm = libs.synth.pcm;
      rate = pcm.samplerate;
      channels = static_cast<WORD>(std::min<unsigned>(pcm.channels, 2));
      if (!fits(rate, channels)) continue;
      values.resize(size_t{pcm.length} * channels);
      float* out = values.data();
      for (unsigned i = 0; i < pcm.length; ++i) {
        for (unsigned ch = 0; ch < channels; ++ch) {
          const mad_fixed_t v = std::clamp<mad_fixed_t>(pcm.samples[ch][i], -268435456, 268435455);
          *out++ = v * (1.0f / 268435456);
        }
      }
    }
    if (libs.stream.this_frame >= m_buff.data() && libs.stream.this_frame <= m_buff.data() + m_buff.size())
      FrameBeginsAt(static_cast<size_t>(libs.stream.this_frame - m_buff.data()));
    hr = Deliver(values.data(), values.size(), rate, channels, 0);
    if (hr != S_OK) break;
  }

  const unsigned char* next = libs.stream.next_frame;
  if (hr == S_OK && next && next >= m_buff.data() && next <= m_buff.data() + m_buff.size()) {
    ConsumeInput(static_cast<size_t>(next - m_buff.data()));
  } else if (hr != S_OK && libs.stream.this_frame && libs.stream.this_frame >= m_buff.data()) {
    // Keep the frame that was refused downstream.
    ConsumeInput(static_cast<size_t>(libs.stream.this_frame - m_buff.data()));
  }
  return hr;
}

bool CMpaDecPaths::SilenceForUndecodedFrame(std::vector<float>& values, DWORD& rate, WORD& channels) {
  // A frame whose header reads but whose data does not decode (its bit
  // reservoir lies before a cut, a damaged side) still has its place in
  // time: players give its length as silence, and so does this decoder, so
  // that the sound after it is not pulled early. Without a sound header
  // there is no frame to place.
  switch (m_libs->stream.error) {
    case MAD_ERROR_LOSTSYNC:
    case MAD_ERROR_BADLAYER:
    case MAD_ERROR_BADBITRATE:
    case MAD_ERROR_BADSAMPLERATE:
    case MAD_ERROR_BADEMPHASIS:
    case MAD_ERROR_BADMODE:
      return false;
    default:
      break;
  }
  const mad_header& header = m_libs->frame.header;
  rate = header.samplerate;
  channels = static_cast<WORD>(std::min<unsigned>(MAD_NCHANNELS(&header), 2));
  const unsigned samples = 32 * MAD_NSBSAMPLES(&header);
  if (rate == 0 || channels == 0 || samples == 0) return false;
  values.assign(size_t{samples} * channels, 0.0f);
  return true;
}

bool CMpaDecPaths::DecodeRefusedMpaFrame(std::vector<float>& values, DWORD& rate, WORD& channels) {
  Libs& libs = *m_libs;
  // libmad has read the header and knows where the frame ends.
  const BYTE* begin = libs.stream.this_frame;
  const BYTE* end = libs.stream.next_frame;
  const BYTE* const buffEnd = m_buff.data() + m_buff.size();
  if (!begin || !end || begin < m_buff.data() || end > buffEnd || end <= begin) return false;
  const int layer = static_cast<int>(libs.frame.header.layer);
  if (!libs.mpaFallback || libs.mpaFallback->Layer() != layer)
    libs.mpaFallback = std::make_unique<FallbackMpaDecoder>(layer);
  return libs.mpaFallback->Decode(begin, static_cast<size_t>(end - begin), values, rate, channels);
}
