#include "app/MediaPlayer2.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ui/Dc.h"

namespace {

constexpr UINT WM_PLAYER_PICTURE = WM_USER + 0x210;
using Clock = std::chrono::steady_clock;

struct FormatCloser {
  void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecFreer {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFreer {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ScalerFreer {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

// The largest rectangle of the picture's shape inside the box, centred.
CRect FitInto(int boxWidth, int boxHeight, int width, int height) {
  if (boxWidth <= 0 || boxHeight <= 0 || width <= 0 || height <= 0) return CRect(0, 0, 0, 0);
  int w = boxWidth;
  int h = static_cast<int>(static_cast<long long>(height) * boxWidth / width);
  if (h > boxHeight) {
    h = boxHeight;
    w = static_cast<int>(static_cast<long long>(width) * boxHeight / height);
  }
  w = std::max(w, 1);
  h = std::max(h, 1);
  const int left = (boxWidth - w) / 2, top = (boxHeight - h) / 2;
  return CRect(left, top, left + w, top + h);
}

}  // namespace

// The last picture the decoder made, waiting for the user-interface thread.
struct CMediaPlayer2::Picture {
  std::mutex lock;
  std::vector<BYTE> bits;  // 32-bit pixels, rows without padding
  int width = 0, height = 0;
  bool fresh = false;
};

// Opens the movie and decodes it on its own thread: the first picture at
// once, then, while playing, each picture when its time has come.
class CMediaPlayer2::Decoder {
 public:
  struct Options {
    bool autoStart = false;
    bool autoRewind = false;
    int playCount = 1;
  };

  Decoder(std::string path, HWND window, int boxWidth, int boxHeight, Options options,
          std::shared_ptr<Picture> shared)
      : m_path(std::move(path)), m_window(window), m_boxWidth(boxWidth), m_boxHeight(boxHeight),
        m_options(options), m_shared(std::move(shared)), m_playing(options.autoStart) {
    m_thread = std::thread([this] { Run(); });
  }

  ~Decoder() {
    {
      std::lock_guard<std::mutex> l(m_lock);
      m_quit = true;
    }
    m_quitFlag = true;
    m_cv.notify_all();
    if (m_thread.joinable()) m_thread.join();
  }

  void Play() { Set([this] { m_playing = true; }); }
  void Pause() { Set([this] { m_playing = false; }); }
  void Stop() { Set([this] { m_stop = true; }); }
  bool Playing() const {
    std::lock_guard<std::mutex> l(m_lock);
    return m_playing;
  }

 private:
  template <class F>
  void Set(F change) {
    {
      std::lock_guard<std::mutex> l(m_lock);
      change();
    }
    m_cv.notify_all();
  }

  static int Interrupted(void* opaque) { return static_cast<Decoder*>(opaque)->m_quitFlag.load() ? 1 : 0; }

  bool OpenMovie() {
    m_codec.reset();
    m_format.reset();
    AVFormatContext* format = avformat_alloc_context();
    if (!format) return false;
    format->interrupt_callback = AVIOInterruptCB{&Interrupted, this};
    // Local files only: a path that names an address is not fetched.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    const int opened = avformat_open_input(&format, m_path.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (opened < 0) return false;  // the context is freed on failure
    m_format.reset(format);
    if (avformat_find_stream_info(format, nullptr) < 0) return false;
    m_stream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (m_stream < 0) return false;
    const AVStream* stream = format->streams[m_stream];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) return false;
    m_codec.reset(avcodec_alloc_context3(codec));
    if (!m_codec || avcodec_parameters_to_context(m_codec.get(), stream->codecpar) < 0) return false;
    m_codec->thread_count = 1;
    if (avcodec_open2(m_codec.get(), codec, nullptr) < 0) return false;
    m_timeBase = av_q2d(stream->time_base);
    const AVRational rate = stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : AVRational{25, 1};
    m_frameSeconds = std::clamp(av_q2d(av_inv_q(rate)), 0.001, 1.0);
    m_draining = false;
    return true;
  }

  // Back to the movie's start; the movie is opened again when it cannot seek.
  bool Rewind() {
    if (m_format && m_codec && av_seek_frame(m_format.get(), -1, 0, AVSEEK_FLAG_BACKWARD) >= 0) {
      avcodec_flush_buffers(m_codec.get());
      m_draining = false;
      return true;
    }
    return OpenMovie();
  }

  // The next picture of the movie; false at its end or on a broken stream.
  bool ReadFrame(AVFrame* frame) {
    while (!m_quitFlag) {
      const int received = avcodec_receive_frame(m_codec.get(), frame);
      if (received == 0) return true;
      if (received != AVERROR(EAGAIN) || m_draining) return false;
      const int read = av_read_frame(m_format.get(), m_packet.get());
      if (read < 0) {
        // End of the file (or a read error): the decoder gives up what it holds.
        avcodec_send_packet(m_codec.get(), nullptr);
        m_draining = true;
        continue;
      }
      // Damaged data is skipped; the next packet may decode.
      if (m_packet->stream_index == m_stream) avcodec_send_packet(m_codec.get(), m_packet.get());
      av_packet_unref(m_packet.get());
    }
    return false;
  }

  // Scales the picture into the box and hands it to the window.
  void Hand(const AVFrame* frame) {
    if (frame->width <= 0 || frame->height <= 0 || frame->format < 0) return;
    double shownWidth = frame->width;
    if (frame->sample_aspect_ratio.num > 0 && frame->sample_aspect_ratio.den > 0)
      shownWidth *= av_q2d(frame->sample_aspect_ratio);
    const CRect fit = FitInto(m_boxWidth, m_boxHeight, std::max(1, static_cast<int>(std::lround(shownWidth))),
                              frame->height);
    const int w = fit.Width(), h = fit.Height();
    if (w <= 0 || h <= 0) return;
    m_scaler.reset(sws_getCachedContext(m_scaler.release(), frame->width, frame->height,
                                        static_cast<AVPixelFormat>(frame->format), w, h, AV_PIX_FMT_BGRA,
                                        SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!m_scaler) return;
    std::vector<BYTE> bits(static_cast<size_t>(w) * h * 4);
    uint8_t* planes[4] = {bits.data(), nullptr, nullptr, nullptr};
    int strides[4] = {w * 4, 0, 0, 0};
    if (sws_scale(m_scaler.get(), frame->data, frame->linesize, 0, frame->height, planes, strides) != h) return;
    {
      std::lock_guard<std::mutex> l(m_shared->lock);
      m_shared->bits.swap(bits);
      m_shared->width = w;
      m_shared->height = h;
      m_shared->fresh = true;
    }
    ::PostMessage(m_window, WM_PLAYER_PICTURE, 0, 0);
  }

  double Seconds(const AVFrame* frame, double previous) const {
    const int64_t pts = frame->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE) return previous + m_frameSeconds;
    return static_cast<double>(pts) * m_timeBase;
  }

  void Run() {
    m_packet.reset(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameFreer> frame(av_frame_alloc());
    if (!m_packet || !frame || !OpenMovie()) return;
    bool showNow = true;  // the next picture is shown without waiting
    bool atEnd = false;
    bool pictureThisPass = false;
    int passes = 0;
    bool timed = false;
    double basePts = 0, lastPts = 0;
    Clock::time_point baseTime;
    for (;;) {
      bool playing;
      {
        std::unique_lock<std::mutex> l(m_lock);
        m_cv.wait(l, [&] { return m_quit || m_stop || showNow || m_playing; });
        if (m_quit) return;
        if (m_stop) {
          m_stop = false;
          m_playing = false;
          atEnd = true;  // rewound below, and the first picture shown again
          showNow = true;
          passes = 0;
        }
        playing = m_playing;
      }
      if (atEnd) {
        if (!Rewind()) return;
        atEnd = false;
        pictureThisPass = false;
        timed = false;
      }
      if (!ReadFrame(frame.get())) {
        if (m_quitFlag) return;
        atEnd = true;
        ++passes;
        const bool again = playing && pictureThisPass && (m_options.playCount <= 0 || passes < m_options.playCount);
        if (!again) {
          // A movie without a picture to show ends playback at once.
          Set([this] { m_playing = false; });
          passes = 0;
          showNow = m_options.autoRewind && pictureThisPass;
        }
        continue;
      }
      pictureThisPass = true;
      const double pts = Seconds(frame.get(), lastPts);
      lastPts = pts;
      if (showNow) {
        showNow = false;
        timed = false;
        Hand(frame.get());
        continue;
      }
      if (!timed || pts < basePts || pts - basePts > 3600.0) {
        timed = true;
        basePts = pts;
        baseTime = Clock::now();
      }
      auto due = baseTime + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(pts - basePts));
      // A gap in the time stamps holds the picture for one second at most.
      if (due > Clock::now() + std::chrono::seconds(1)) {
        basePts = pts;
        baseTime = Clock::now();
        due = baseTime;
      }
      {
        std::unique_lock<std::mutex> l(m_lock);
        m_cv.wait_until(l, due, [&] { return m_quit || m_stop || !m_playing; });
        if (m_quit) return;
        // Paused or stopped while waiting: this picture is dropped.
        if (m_stop || !m_playing) {
          timed = false;
          continue;
        }
      }
      Hand(frame.get());
    }
  }

  const std::string m_path;
  const HWND m_window;
  const int m_boxWidth, m_boxHeight;
  const Options m_options;
  std::shared_ptr<Picture> m_shared;

  mutable std::mutex m_lock;
  std::condition_variable m_cv;
  bool m_quit = false;
  bool m_stop = false;
  bool m_playing;
  std::atomic<bool> m_quitFlag{false};

  // Used by the decoding thread only.
  std::unique_ptr<AVFormatContext, FormatCloser> m_format;
  std::unique_ptr<AVCodecContext, CodecFreer> m_codec;
  std::unique_ptr<AVPacket, PacketFreer> m_packet;
  std::unique_ptr<SwsContext, ScalerFreer> m_scaler;
  int m_stream = -1;
  double m_timeBase = 0;
  double m_frameSeconds = 0.04;
  bool m_draining = false;

  std::thread m_thread;
};

BEGIN_MESSAGE_MAP(CMediaPlayer2, CWnd)
ON_WM_PAINT()
ON_WM_ERASEBKGND()
ON_WM_DESTROY()
ON_WM_LBUTTONDOWN()
ON_MESSAGE(WM_PLAYER_PICTURE, OnPicture)
END_MESSAGE_MAP()

CMediaPlayer2::CMediaPlayer2() = default;

CMediaPlayer2::~CMediaPlayer2() { Close(); }

bool CMediaPlayer2::GetProperty(DISPID id, Value* value) const {
  auto it = m_props.find(id);
  if (it == m_props.end()) return false;
  if (value) *value = it->second;
  return true;
}

bool CMediaPlayer2::BoolProperty(DISPID id, bool fallback) const {
  auto it = m_props.find(id);
  if (it == m_props.end()) return fallback;
  if (const bool* b = std::get_if<bool>(&it->second)) return *b;
  if (const LONG* l = std::get_if<LONG>(&it->second)) return *l != 0;
  return fallback;
}

void CMediaPlayer2::PutString(DISPID id, const char* value) {
  m_props[id] = std::string(value ? value : "");
  if (id == kFileName) Open();
}

void CMediaPlayer2::PutBool(DISPID id, BOOL value) { m_props[id] = value != FALSE; }

void CMediaPlayer2::PutLong(DISPID id, LONG value) { m_props[id] = value; }

void CMediaPlayer2::Open() {
  Close();
  auto it = m_props.find(kFileName);
  const std::string* path = it == m_props.end() ? nullptr : std::get_if<std::string>(&it->second);
  // Without a window there is nowhere to show the movie; it opens when the
  // file name is put again.
  if (!path || path->empty() || !m_hWnd) return;
  CRect client;
  GetClientRect(&client);
  Decoder::Options options;
  options.autoStart = BoolProperty(kAutoStart, true);
  options.autoRewind = BoolProperty(kAutoRewind, true);
  auto count = m_props.find(kPlayCount);
  if (count != m_props.end())
    if (const LONG* l = std::get_if<LONG>(&count->second)) options.playCount = *l;
  m_shared = std::make_shared<Picture>();
  m_decoder = std::make_unique<Decoder>(*path, m_hWnd, client.Width(), client.Height(), options, m_shared);
}

void CMediaPlayer2::Close() {
  m_decoder.reset();  // joins the decoding thread
  m_shared.reset();
  if (m_picture.GetSafeHandle()) m_picture.DeleteObject();
  m_cx = m_cy = 0;
  m_nPictures = 0;
  if (m_hWnd) Invalidate();
}

void CMediaPlayer2::Play() {
  if (m_decoder) m_decoder->Play();
}
void CMediaPlayer2::Pause() {
  if (m_decoder) m_decoder->Pause();
}
void CMediaPlayer2::Stop() {
  if (m_decoder) m_decoder->Stop();
}
bool CMediaPlayer2::IsPlaying() const { return m_decoder && m_decoder->Playing(); }

LRESULT CMediaPlayer2::OnPicture(WPARAM, LPARAM) {
  if (!m_shared) return 0;
  std::vector<BYTE> bits;
  int w = 0, h = 0;
  {
    std::lock_guard<std::mutex> l(m_shared->lock);
    if (!m_shared->fresh) return 0;
    m_shared->fresh = false;
    bits.swap(m_shared->bits);
    w = m_shared->width;
    h = m_shared->height;
  }
  if (m_picture.GetSafeHandle()) m_picture.DeleteObject();
  if (!m_picture.CreateBitmap(w, h, 1, 32, bits.data())) return 0;
  m_cx = w;
  m_cy = h;
  ++m_nPictures;
  Invalidate(FALSE);
  return 0;
}

BOOL CMediaPlayer2::OnEraseBkgnd(CDC*) { return TRUE; }

void CMediaPlayer2::OnPaint() {
  CPaintDC dc(this);
  CRect client;
  GetClientRect(&client);
  dc.FillSolidRect(&client, RGB(0, 0, 0));
  if (!m_picture.GetSafeHandle() || m_cx <= 0 || m_cy <= 0) return;
  const CRect place = FitInto(client.Width(), client.Height(), m_cx, m_cy);
  CDC memDC;
  memDC.CreateCompatibleDC(&dc);
  CBitmap* old = memDC.SelectObject(&m_picture);
  dc.StretchBlt(place.left, place.top, place.Width(), place.Height(), &memDC, 0, 0, m_cx, m_cy, SRCCOPY);
  memDC.SelectObject(old);
}

void CMediaPlayer2::OnDestroy() {
  Close();
  CWnd::OnDestroy();
}

void CMediaPlayer2::OnLButtonDown(UINT flags, CPoint point) {
  if (m_decoder && BoolProperty(kEnabled, true)) {
    if (m_decoder->Playing())
      m_decoder->Pause();
    else
      m_decoder->Play();
  }
  CWnd::OnLButtonDown(flags, point);
}
