#include "platform/codecs/real/RealAudioModule.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace realaudio {
namespace {

// Sipro's frame size by flavor.
constexpr int kSiproFrame[4] = {29, 19, 37, 20};

struct Codec {
  AVCodecID id = AV_CODEC_ID_NONE;
  Framing framing = Framing::Fixed;
  bool initialised = false;
  RAInitRecord init{};
  std::vector<uint8_t> codecData;
  uint16_t flavor = 0;

  AVCodecContext* ctx = nullptr;
  AVCodecParserContext* parser = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  SwrContext* swr = nullptr;
  AVChannelLayout swrIn{};
  int swrRate = 0, swrFormat = -1;
  std::vector<uint8_t> pending;  // bytes of a frame not complete yet

  ~Codec() { Release(); }
  void Release() {
    avcodec_free_context(&ctx);
    if (parser) av_parser_close(parser);
    parser = nullptr;
    av_packet_free(&packet);
    av_frame_free(&frame);
    swr_free(&swr);
    av_channel_layout_uninit(&swrIn);
    swrFormat = -1;
    pending.clear();
  }

  int BlockAlign() const {
    switch (id) {
      case AV_CODEC_ID_RA_144: return 20;
      case AV_CODEC_ID_RA_288: return static_cast<int>(init.codedFrameSize);
      case AV_CODEC_ID_SIPR: return flavor < 4 ? kSiproFrame[flavor] : static_cast<int>(init.subPacketSize);
      case AV_CODEC_ID_COOK:
      case AV_CODEC_ID_ATRAC3:
        return static_cast<int>(init.subPacketSize ? init.subPacketSize : init.codedFrameSize);
      default: return 0;
    }
  }

  bool Open() {
    const AVCodec* decoder = avcodec_find_decoder(id);
    if (!decoder) return false;
    ctx = avcodec_alloc_context3(decoder);
    packet = av_packet_alloc();
    frame = av_frame_alloc();
    if (!ctx || !packet || !frame) return false;
    // The speech codecs run at 8 kHz whatever the stream header says; the
    // PCM is brought to the header's rate below.
    const bool speech = id == AV_CODEC_ID_RA_144 || id == AV_CODEC_ID_RA_288;
    ctx->sample_rate = speech ? 8000 : static_cast<int>(init.sampleRate);
    av_channel_layout_default(&ctx->ch_layout, init.channels);
    ctx->block_align = BlockAlign();
    if (framing == Framing::Fixed && ctx->block_align <= 0) return false;
    // AAC's configuration comes behind a type byte of 2.
    const uint8_t* extra = codecData.data();
    size_t extraSize = codecData.size();
    if (id == AV_CODEC_ID_AAC) {
      if (extraSize > 0 && extra[0] == 2) {
        extra++;
        extraSize--;
      } else {
        extraSize = 0;
      }
    }
    if (extraSize > 0) {
      ctx->extradata = static_cast<uint8_t*>(av_mallocz(extraSize + AV_INPUT_BUFFER_PADDING_SIZE));
      if (!ctx->extradata) return false;
      memcpy(ctx->extradata, extra, extraSize);
      ctx->extradata_size = static_cast<int>(extraSize);
    }
    if (framing == Framing::Swapped && !(parser = av_parser_init(id))) return false;
    return avcodec_open2(ctx, decoder, nullptr) == 0;
  }

  // Converts the decoded frame to 16-bit PCM of the init record's rate and
  // channels and appends it to out, up to `room` bytes.
  bool Convert(std::vector<uint8_t>& out, size_t room) {
    if (!swr || swrRate != frame->sample_rate || swrFormat != frame->format ||
        av_channel_layout_compare(&swrIn, &frame->ch_layout) != 0) {
      swr_free(&swr);
      AVChannelLayout outLayout{};
      av_channel_layout_default(&outLayout, init.channels);
      const int r = swr_alloc_set_opts2(&swr, &outLayout, AV_SAMPLE_FMT_S16, static_cast<int>(init.sampleRate),
                                        &frame->ch_layout, static_cast<AVSampleFormat>(frame->format),
                                        frame->sample_rate, 0, nullptr);
      av_channel_layout_uninit(&outLayout);
      if (r < 0 || swr_init(swr) < 0) {
        swr_free(&swr);
        return false;
      }
      av_channel_layout_uninit(&swrIn);
      av_channel_layout_copy(&swrIn, &frame->ch_layout);
      swrRate = frame->sample_rate;
      swrFormat = frame->format;
    }
    const int frameBytes = 2 * init.channels;
    const int most = static_cast<int>(swr_get_out_samples(swr, frame->nb_samples));
    if (most <= 0) return true;
    std::vector<uint8_t> buffer(static_cast<size_t>(most) * frameBytes);
    uint8_t* planes[1] = {buffer.data()};
    const int got = swr_convert(swr, planes, most, const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
    if (got < 0) return false;
    const size_t bytes = std::min(static_cast<size_t>(got) * frameBytes, room > out.size() ? room - out.size() : 0);
    out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(bytes));
    return true;
  }

  // Decodes one packet's bytes; false when the decoder refused them.
  bool DecodePacket(const uint8_t* data, int size, std::vector<uint8_t>& out, size_t room) {
    if (av_new_packet(packet, size) < 0) return false;
    memcpy(packet->data, data, static_cast<size_t>(size));
    const int sent = avcodec_send_packet(ctx, packet);
    av_packet_unref(packet);
    bool ok = sent >= 0;
    while (avcodec_receive_frame(ctx, frame) == 0) {
      ok = Convert(out, room) && ok;
      av_frame_unref(frame);
    }
    return ok;
  }
};

std::mutex g_lock;
std::map<uint32_t, std::shared_ptr<Codec>> g_codecs;
uint32_t g_next = 1;

std::shared_ptr<Codec> Find(uint32_t handle) {
  std::lock_guard<std::mutex> lock(g_lock);
  auto it = g_codecs.find(handle);
  return it == g_codecs.end() ? nullptr : it->second;
}

}  // namespace

int32_t Open(int codecId, Framing framing, uint32_t* handle) {
  if (!handle || !avcodec_find_decoder(static_cast<AVCodecID>(codecId))) return -1;
  auto codec = std::make_shared<Codec>();
  codec->id = static_cast<AVCodecID>(codecId);
  codec->framing = framing;
  std::lock_guard<std::mutex> lock(g_lock);
  while (g_next == 0 || g_codecs.count(g_next)) g_next++;
  *handle = g_next++;
  g_codecs[*handle] = std::move(codec);
  return 0;
}

int32_t InitDecoder(uint32_t handle, const RAInitRecord* init) {
  auto codec = Find(handle);
  // Only 16-bit PCM comes out of this module.
  if (!codec || !init || init->sampleRate == 0 || init->sampleRate > 384000 || init->channels == 0 ||
      init->channels > 8 || init->bitsPerSample != 16 || (init->codecDataLength && !init->codecData) ||
      init->codecDataLength > (1u << 20))
    return -1;
  codec->Release();
  codec->init = *init;
  codec->codecData.assign(init->codecData, init->codecData + init->codecDataLength);
  codec->init.codecData = nullptr;
  codec->initialised = true;
  return 0;
}

int32_t SetFlavor(uint32_t handle, uint16_t flavor) {
  auto codec = Find(handle);
  if (!codec) return -1;
  codec->flavor = flavor;
  // The frame size may follow the flavor: the decoder opens again.
  codec->Release();
  return 0;
}

int32_t Decode(uint32_t handle, const uint8_t* input, uint32_t length, uint8_t* output, uint32_t* count) {
  auto codec = Find(handle);
  if (count) *count = 0;
  if (!codec || !codec->initialised || !output || !count || (!input && length)) return -1;
  if (!codec->ctx && !codec->Open()) {
    codec->Release();
    return -1;
  }
  // The caller's buffer holds one second of PCM.
  const size_t room = static_cast<size_t>(codec->init.sampleRate) * codec->init.channels * 2;
  std::vector<uint8_t> out;
  bool ok = true;
  switch (codec->framing) {
    case Framing::Whole:
      ok = length == 0 || codec->DecodePacket(input, static_cast<int>(length), out, room);
      break;
    case Framing::Swapped: {
      std::vector<uint8_t> bytes(input, input + length);
      for (size_t i = 0; i + 1 < bytes.size(); i += 2) std::swap(bytes[i], bytes[i + 1]);
      const uint8_t* p = bytes.data();
      int left = static_cast<int>(bytes.size());
      while (left > 0) {
        uint8_t* frame = nullptr;
        int frameSize = 0;
        const int used = av_parser_parse2(codec->parser, codec->ctx, &frame, &frameSize, p, left, AV_NOPTS_VALUE,
                                          AV_NOPTS_VALUE, 0);
        if (used < 0) return -1;
        p += used;
        left -= used;
        if (frameSize > 0) ok = codec->DecodePacket(frame, frameSize, out, room) && ok;
        if (used == 0 && frameSize == 0) break;
      }
      break;
    }
    case Framing::Fixed: {
      const size_t block = static_cast<size_t>(codec->ctx->block_align);
      codec->pending.insert(codec->pending.end(), input, input + length);
      size_t pos = 0;
      for (; pos + block <= codec->pending.size(); pos += block)
        ok = codec->DecodePacket(codec->pending.data() + pos, static_cast<int>(block), out, room) && ok;
      codec->pending.erase(codec->pending.begin(), codec->pending.begin() + static_cast<ptrdiff_t>(pos));
      break;
    }
  }
  if (!out.empty()) memcpy(output, out.data(), out.size());
  *count = static_cast<uint32_t>(out.size());
  return ok || !out.empty() ? 0 : -1;
}

int32_t Flush(uint32_t handle, uint8_t*, uint32_t* count) {
  auto codec = Find(handle);
  if (count) *count = 0;
  if (!codec) return -1;
  codec->pending.clear();
  if (codec->ctx) avcodec_flush_buffers(codec->ctx);
  return 0;
}

int32_t FreeDecoder(uint32_t handle) {
  auto codec = Find(handle);
  if (!codec) return -1;
  codec->Release();
  codec->initialised = false;
  return 0;
}

int32_t Close(uint32_t handle) {
  std::shared_ptr<Codec> codec;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_codecs.find(handle);
    if (it == g_codecs.end()) return -1;
    codec = std::move(it->second);
    g_codecs.erase(it);
  }
  return 0;
}

}  // namespace realaudio
