#include "platform/codecs/real/RealVideoModule.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace realvideo {
namespace {

// Pictures beyond this are refused: the size comes from the stream header.
constexpr int kMaxSide = 8192;

struct Instance {
  AVCodecID codec = AV_CODEC_ID_NONE;
  RVInitRecord init{};
  std::vector<uint8_t> sizes;  // extra picture sizes, one byte per value / 4
  AVCodecContext* ctx = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;

  ~Instance() { Close(); }
  void Close() {
    avcodec_free_context(&ctx);
    av_packet_free(&packet);
    av_frame_free(&frame);
  }
  bool Open() {
    const AVCodec* decoder = avcodec_find_decoder(codec);
    if (!decoder) return false;
    ctx = avcodec_alloc_context3(decoder);
    packet = av_packet_alloc();
    frame = av_frame_alloc();
    if (!ctx || !packet || !frame) return false;
    ctx->width = ctx->coded_width = init.width;
    ctx->height = ctx->coded_height = init.height;
    ctx->thread_count = 1;
    // The decoders read the sub-format word, the version and the extra
    // sizes in the stream header's order; the tail is zero padding.
    std::vector<uint8_t> extra(8 + std::max<size_t>(sizes.size(), 16), 0);
    for (int i = 0; i < 4; i++) {
      extra[i] = static_cast<uint8_t>(init.subformat >> (24 - 8 * i));
      extra[4 + i] = static_cast<uint8_t>(init.version >> (24 - 8 * i));
    }
    std::copy(sizes.begin(), sizes.end(), extra.begin() + 8);
    ctx->extradata = static_cast<uint8_t*>(av_mallocz(extra.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!ctx->extradata) return false;
    memcpy(ctx->extradata, extra.data(), extra.size());
    ctx->extradata_size = static_cast<int>(8 + sizes.size());
    return avcodec_open2(ctx, decoder, nullptr) == 0;
  }
};

std::mutex g_lock;
std::map<uint32_t, std::shared_ptr<Instance>> g_instances;
uint32_t g_next = 1;

std::shared_ptr<Instance> Find(uint32_t id) {
  std::lock_guard<std::mutex> lock(g_lock);
  auto it = g_instances.find(id);
  return it == g_instances.end() ? nullptr : it->second;
}

// The picture into the caller's buffer: planes Y, U, V packed at the
// produced width, cut to the size the buffer was made for.
void WritePicture(const AVFrame* f, uint8_t* out, int w, int h) {
  for (int y = 0; y < h; y++) memcpy(out + static_cast<size_t>(y) * w, f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0], w);
  uint8_t* u = out + static_cast<size_t>(w) * h;
  uint8_t* v = u + static_cast<size_t>(w / 2) * (h / 2);
  for (int y = 0; y < h / 2; y++) {
    memcpy(u + static_cast<size_t>(y) * (w / 2), f->data[1] + static_cast<ptrdiff_t>(y) * f->linesize[1], w / 2);
    memcpy(v + static_cast<size_t>(y) * (w / 2), f->data[2] + static_cast<ptrdiff_t>(y) * f->linesize[2], w / 2);
  }
}

}  // namespace

int32_t Init(int codecId, const RVInitRecord* init, uint32_t* instance) {
  if (!init || !instance || init->width == 0 || init->height == 0 || init->width > kMaxSide ||
      init->height > kMaxSide)
    return -1;
  auto inst = std::make_shared<Instance>();
  inst->codec = static_cast<AVCodecID>(codecId);
  inst->init = *init;
  if (!avcodec_find_decoder(inst->codec)) return -1;
  std::lock_guard<std::mutex> lock(g_lock);
  while (g_next == 0 || g_instances.count(g_next)) g_next++;
  *instance = g_next++;
  g_instances[*instance] = std::move(inst);
  return 0;
}

int32_t CustomMessage(const RVCustomMessage* message, uint32_t instance) {
  auto inst = Find(instance);
  if (!inst || !message) return -1;
  if (message->id != kRVMessagePictureSizes) return 0;  // nothing else means anything here
  if (!message->values || message->count == 0 || message->count > 8) return -1;
  inst->sizes.clear();
  for (uint32_t i = 2; i < 2 * message->count; i++)
    inst->sizes.push_back(static_cast<uint8_t>(std::min<uint32_t>(message->values[i] / 4, 255)));
  // The decoder takes the sizes when it opens.
  inst->Close();
  return 0;
}

int32_t HiveMessage(const RVHiveMessage* message, uint32_t instance) {
  auto inst = Find(instance);
  if (!inst || !message) return -1;
  if (message->id == kRVMessageReset && inst->ctx) avcodec_flush_buffers(inst->ctx);
  return 0;
}

int32_t Transform(const uint8_t* input, uint8_t* output, const RVTransformIn* in, RVTransformOut* out,
                  uint32_t instance) {
  auto inst = Find(instance);
  if (!inst || !in || !out || !output || (!input && in->dataLength) || !in->sliceTable) return -1;
  *out = RVTransformOut{};
  if (!inst->ctx && !inst->Open()) {
    inst->Close();
    return -1;
  }
  // libavcodec takes the frame as the splitter assembled it: slice count
  // less 1, the slice table, the frame bytes.
  const size_t table = 8 * (static_cast<size_t>(in->sliceCount) + 1);
  if (in->sliceCount > 255 || av_new_packet(inst->packet, static_cast<int>(1 + table + in->dataLength)) < 0) return -1;
  inst->packet->data[0] = static_cast<uint8_t>(in->sliceCount);
  memcpy(inst->packet->data + 1, in->sliceTable, table);
  if (in->dataLength) memcpy(inst->packet->data + 1 + table, input, in->dataLength);
  inst->packet->pts = in->timestamp;

  int sent = avcodec_send_packet(inst->ctx, inst->packet);
  bool got = false;
  if (sent == AVERROR(EAGAIN)) {
    // A picture is waiting: it goes out now, the packet after it.
    got = avcodec_receive_frame(inst->ctx, inst->frame) == 0;
    sent = avcodec_send_packet(inst->ctx, inst->packet);
  }
  av_packet_unref(inst->packet);
  if (!got) got = avcodec_receive_frame(inst->ctx, inst->frame) == 0;
  if (!got) return sent < 0 && sent != AVERROR(EAGAIN) ? -1 : 0;

  const AVFrame* f = inst->frame;
  int32_t result = -1;
  if (f->format == AV_PIX_FMT_YUV420P || f->format == AV_PIX_FMT_YUVJ420P) {
    const int w = std::min<int>(f->width, inst->init.width) & ~1;
    const int h = std::min<int>(f->height, inst->init.height) & ~1;
    if (w > 0 && h > 0) {
      WritePicture(f, output, w, h);
      out->flags = 1;
      out->timestamp = static_cast<uint32_t>(f->pts != AV_NOPTS_VALUE ? f->pts : f->best_effort_timestamp);
      out->width = static_cast<uint32_t>(w);
      out->height = static_cast<uint32_t>(h);
      result = 0;
    }
  }
  av_frame_unref(inst->frame);
  return result;
}

int32_t Free(uint32_t instance) {
  std::shared_ptr<Instance> inst;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_instances.find(instance);
    if (it == g_instances.end()) return -1;
    inst = std::move(it->second);
    g_instances.erase(it);
  }
  return 0;
}

}  // namespace realvideo
