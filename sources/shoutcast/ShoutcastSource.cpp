#include "sources/shoutcast/ShoutcastSource.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/com/Bstr.h"
#include "platform/dshow/FourCCMap.h"
#include "platform/win32/CodePage.h"

namespace {

constexpr int kMp3BitRates[2][16] = {{1, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
                                     {1, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}};
constexpr int kMp3Rates[4][4] = {
    {11025, 12000, 8000, 0}, {0, 0, 0, 0}, {22050, 24000, 16000, 0}, {44100, 48000, 32000, 0}};
constexpr int kMp3Channels[4] = {2, 2, 2, 1};

// A reply header longer than this is not one.
constexpr int kMaxReplyBytes = 65536;
// The receive thread waits while this much is queued and not delivered.
constexpr size_t kMaxQueuedBytes = 8 << 20;
constexpr REFERENCE_TIME kPlaySpan = 1000000;      // 100 ms
constexpr REFERENCE_TIME kBufferSpan = 30000000;   // 3 s
constexpr REFERENCE_TIME kUnitsPerByteBit = 80000000;  // 8 bits x 10^7 units

// The value after `key` up to the next apostrophe, inside [text, text + n).
bool FindValue(const char* text, size_t n, const char* key, std::string* value) {
  const std::string_view block(text, n);
  const size_t at = block.find(key);
  if (at == std::string_view::npos) return false;
  const size_t from = at + std::strlen(key);
  const size_t to = block.find('\'', from);
  if (to == std::string_view::npos) return false;
  value->assign(block.substr(from, to - from));
  return true;
}

// The number after `key` at the start of a header line, as "key:%d" would
// read it; out-of-range numbers come out as the largest or smallest value.
bool NumberField(const std::string& line, const char* key, long long* value) {
  const size_t n = std::strlen(key);
  if (line.compare(0, n, key) != 0) return false;
  const char* start = line.c_str() + n;
  char* end = nullptr;
  *value = std::strtoll(start, &end, 10);
  return end != start;
}

std::wstring TextToWide(const std::string& text) {
  // Stations send UTF-8 or Latin-1; text that does not survive the round
  // trip through UTF-8 is taken as Latin-1.
  std::wstring wide = Utf8ToWide(text);
  if (WideToUtf8(wide) == text) return wide;
  std::wstring latin;
  for (unsigned char ch : text) latin += static_cast<wchar_t>(ch);
  return latin;
}

}  // namespace

bool ParseMp3Header(const BYTE* h, Mp3Header* out) {
  const int sync = h[0] << 4 | (h[1] | 0x10) >> 4;
  const int layer = 4 - ((h[1] >> 1) & 3);
  const int id = (h[1] >> 3) & 1;
  const int version = (h[1] >> 3) & 3;
  Mp3Header m;
  m.bitRate = kMp3BitRates[id][h[2] >> 4] * 1000;
  m.sampleRate = kMp3Rates[version][(h[2] >> 2) & 3];
  m.channels = kMp3Channels[h[3] >> 6];
  if (sync != 0xFFF || layer != 3 || m.bitRate == 0 || m.sampleRate == 0) return false;
  *out = m;
  return true;
}

void ParseIcyMetadata(const char* block, size_t size, std::string* title, std::string* url) {
  FindValue(block, size, "StreamTitle='", title);
  FindValue(block, size, "StreamUrl='", url);
}

// ---------------------------------------------------------------------------
// CShoutcastSocket

bool CShoutcastStream::CShoutcastSocket::SendRequest(const CUrl& url, bool withAgent) {
  std::string request = std::string("GET ") + url.GetUrlPath() + " HTTP/1.0\r\nIcy-MetaData:1\r\n";
  if (withAgent) request += "User-Agent: shoutcastsource\r\n";
  request += std::string("Host: ") + url.GetHostName() + "\r\nAccept: */*\r\nConnection: Keep-Alive\r\n\r\n";
  const int length = static_cast<int>(request.size());
  return Send(request.data(), length) == length;
}

bool CShoutcastStream::CShoutcastSocket::ConnectAndRequest(const CUrl& url) {
  if (!Connect(url.GetHostName(), url.GetPortNumber()) || !SendRequest(url, true)) {
    Close();
    return false;
  }
  bool ok = ReadReply();
  // Some servers drop a client by its agent name; ask once more without it,
  // on a new connection (the old one is gone).
  if (!ok && GetLastError() == WSAECONNRESET) {
    Close();
    ok = Connect(url.GetHostName(), url.GetPortNumber()) && SendRequest(url, false) && ReadReply();
  }
  if (!ok || m_bitrate == 0) {
    Close();
    return false;
  }
  m_nBytesRead = 0;
  return FindSync();
}

bool CShoutcastStream::CShoutcastSocket::ReadReply() {
  m_metaint = m_nBytesRead = m_bitrate = 0;
  bool success = false, badField = false, lastWasLineFeed = false;
  std::string line;
  for (int total = 0; total < kMaxReplyBytes; total++) {
    char ch = 0;
    if (Receive(&ch, 1) != 1 || ch == 0) break;
    if (ch == '\r') continue;
    if (ch != '\n') {
      line += ch;
      lastWasLineFeed = false;
      continue;
    }
    if (lastWasLineFeed) {
      // The empty line ends the header; what follows is the stream.
      if (badField) return false;
      return success;
    }
    lastWasLineFeed = true;
    for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    long long value = 0;
    if (line.find("icy 200 ok") != std::string::npos) {
      success = true;
    } else if (NumberField(line, "icy-br:", &value)) {
      if (value < 0 || value > 0xFFFFFFFFll / 1000) badField = true;
      m_bitrate = static_cast<DWORD>(std::clamp(value, 0ll, 0xFFFFFFFFll / 1000) * 1000);
    } else if (NumberField(line, "icy-metaint:", &value)) {
      // A negative or absurd interval cannot be followed through a stream.
      if (value < 0 || value > 0x7FFFFFFF) badField = true;
      m_metaint = static_cast<DWORD>(std::clamp(value, 0ll, 0x7FFFFFFFll));
    }
    line.clear();
  }
  // The header did not end: the connection closed, failed or sent no header.
  return false;
}

bool CShoutcastStream::CShoutcastSocket::FindSync() {
  m_freq = m_channels = -1;
  for (int i = 0; i < kChunkSize; i++) {
    BYTE h[4];
    const int peeked = Receive(h, 4, MSG_PEEK);
    Mp3Header mp3;
    if (peeked == 4 && ParseMp3Header(h, &mp3) && static_cast<DWORD>(mp3.bitRate) == m_bitrate) {
      m_freq = mp3.sampleRate;
      m_channels = mp3.channels;
      return true;
    }
    // Fewer than 4 bytes means the peer closed (the peek waits for them).
    BYTE skipped = 0;
    if (peeked < 4 || Receive(&skipped, 1) != 1) return false;
  }
  return false;
}

bool CShoutcastStream::CShoutcastSocket::ReceiveAll(void* buffer, size_t length) {
  BYTE* p = static_cast<BYTE*>(buffer);
  for (size_t got = 0; got < length;) {
    const int n = ReceiveRaw(p + got, static_cast<int>(std::min<size_t>(length - got, 0x7FFFFFFF)), 0);
    if (n < 1) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

bool CShoutcastStream::CShoutcastSocket::ReadMetadata() {
  BYTE length = 0;
  if (!ReceiveAll(&length, 1)) return false;
  if (length == 0) return true;
  const size_t size = length * 16u;
  std::memset(m_metadata, 0, sizeof(m_metadata));
  if (!ReceiveAll(m_metadata, size)) return false;
  ParseIcyMetadata(m_metadata, size, &m_title, &m_url);
  return true;
}

int CShoutcastStream::CShoutcastSocket::Receive(void* buffer, int length, int flags) {
  if (flags & MSG_PEEK) return ReceiveRaw(buffer, length, flags);
  for (;;) {
    // Stop at the next metadata point.
    if (m_metaint && static_cast<DWORD>(length) > m_metaint - m_nBytesRead)
      length = static_cast<int>(m_metaint - m_nBytesRead);
    const int n = ReceiveRaw(buffer, length, flags);
    if (n < 1) return n;
    m_nBytesRead += static_cast<DWORD>(n);
    if (!m_metaint) return n;
    if (m_nBytesRead >= m_metaint) {
      m_nBytesRead = 0;
      // A block cut off by the end of the connection ends the stream with
      // the next receive; these audio bytes are still good.
      ReadMetadata();
      return n;
    }
    const int audio = DropStrayMetadata(static_cast<BYTE*>(buffer), n);
    // Nothing but a stray block came: read again.
    if (audio != 0) return audio;
  }
}

int CShoutcastStream::CShoutcastSocket::DropStrayMetadata(BYTE* buffer, int length) {
  static constexpr char kKey[] = "StreamTitle='";
  constexpr int kKeyLength = sizeof(kKey) - 1;
  const BYTE* found = nullptr;
  for (int i = 0; i + kKeyLength <= length && !found; i++)
    if (std::memcmp(buffer + i, kKey, kKeyLength) == 0) found = buffer + i;
  if (!found) return length;
  // The block's length byte is the nearest control character before the
  // key; without one inside the buffer there is no block to drop.
  const BYTE* lengthByte = found - 1;
  while (lengthByte >= buffer && *lengthByte >= 32) lengthByte--;
  if (lengthByte < buffer) return length;
  const size_t blockEnd = static_cast<size_t>(lengthByte - buffer) + 1 + *lengthByte * 16u;
  if (blockEnd <= static_cast<size_t>(length)) {
    const int rest = length - static_cast<int>(blockEnd);
    std::memmove(buffer, buffer + blockEnd, static_cast<size_t>(rest));
    m_nBytesRead = static_cast<DWORD>(rest);
    return rest;
  }
  // The block runs on past these bytes: receive and drop the rest of it.
  std::vector<BYTE> rest(blockEnd - static_cast<size_t>(length));
  if (!ReceiveAll(rest.data(), rest.size())) return -1;
  m_nBytesRead = 0;
  return 0;
}

// ---------------------------------------------------------------------------
// CShoutcastStream

CShoutcastStream::CShoutcastStream(LPCWSTR url, CSource* filter, HRESULT* phr)
    : CSourceStream(NAME("Shoutcast stream"), phr, filter, L"Output") {
  std::string text = url ? WideToUtf8(url) : std::string();
  if (text.find("://") == std::string::npos) text = "http://" + text;
  HRESULT hr = E_FAIL;
  if (m_url.CrackUrl(text.c_str())) {
    if (!*m_url.GetUrlPath()) m_url.SetUrlPath("/");
    if (m_url.GetPortNumber() == 0) m_url.SetPortNumber(80);
    // A trial connection tells the format; every run connects anew.
    if (std::strcmp(m_url.GetSchemeName(), "http") == 0 && m_socket.Create() && m_socket.ConnectAndRequest(m_url)) {
      m_bitrate = m_socket.m_bitrate;
      m_freq = m_socket.m_freq;
      m_channels = m_socket.m_channels;
      hr = S_OK;
    }
    m_socket.Close();
  }
  if (phr && FAILED(hr)) *phr = hr;
}

CShoutcastStream::~CShoutcastStream() { StopReceiving(); }

HRESULT CShoutcastStream::CheckMediaType(const CMediaType* pmt) {
  if (!pmt) return E_POINTER;
  return pmt->majortype == MEDIATYPE_Audio && pmt->subtype == FourCCGuid(0x0055) ? S_OK : E_INVALIDARG;
}

HRESULT CShoutcastStream::GetMediaType(int position, CMediaType* pmt) {
  CheckPointer(pmt, E_POINTER);
  CAutoLock lock(m_pFilter->pStateLock());
  if (position < 0) return E_INVALIDARG;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  WAVEFORMATEX wfx{};
  wfx.wFormatTag = 0x0055;
  wfx.nChannels = static_cast<WORD>(m_channels);
  wfx.nSamplesPerSec = static_cast<DWORD>(m_freq);
  wfx.nAvgBytesPerSec = m_bitrate / 8;
  wfx.nBlockAlign = 1;
  const GUID subtype = FourCCGuid(0x0055);
  pmt->InitMediaType();
  pmt->SetType(&MEDIATYPE_Audio);
  pmt->SetSubtype(&subtype);
  pmt->SetFormatType(&FORMAT_WaveFormatEx);
  return pmt->SetFormat(reinterpret_cast<const BYTE*>(&wfx), sizeof(wfx)) ? S_OK : E_OUTOFMEMORY;
}

HRESULT CShoutcastStream::DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) {
  CheckPointer(alloc, E_POINTER);
  CheckPointer(request, E_POINTER);
  request->cBuffers = 2;
  request->cbBuffer = kChunkSize;
  ALLOCATOR_PROPERTIES actual{};
  HRESULT hr = alloc->SetProperties(request, &actual);
  if (FAILED(hr)) return hr;
  return actual.cBuffers < request->cBuffers || actual.cbBuffer < request->cbBuffer ? E_FAIL : S_OK;
}

REFERENCE_TIME CShoutcastStream::QueuedSpan() const {
  return m_queue.empty() ? 0 : m_queue.back()->start - m_queue.front()->start;
}

HRESULT CShoutcastStream::OnThreadCreate() {
  StopReceiving();
  std::unique_lock<std::mutex> lock(m_queueLock);
  m_queue.clear();
  m_queuedBytes = 0;
  m_receivedAny = false;
  m_started = false;
  m_exit = true;
  m_receiving = true;
  m_receiveThread = std::thread([this] { ReceiveLoop(); });
  // The thread clears the exit flag first thing.
  m_queueChanged.wait(lock, [this] { return !m_exit || !m_receiving; });
  return S_OK;
}

HRESULT CShoutcastStream::OnThreadDestroy() {
  StopReceiving();
  std::lock_guard<std::mutex> lock(m_queueLock);
  m_queue.clear();
  m_queuedBytes = 0;
  return S_OK;
}

HRESULT CShoutcastStream::Inactive() {
  {
    std::lock_guard<std::mutex> lock(m_queueLock);
    m_exit = true;
  }
  m_queueChanged.notify_all();
  return CSourceStream::Inactive();
}

void CShoutcastStream::StopReceiving() {
  {
    std::lock_guard<std::mutex> lock(m_queueLock);
    m_exit = true;
  }
  m_queueChanged.notify_all();
  m_socket.CancelBlockingCall();
  if (m_receiveThread.joinable()) m_receiveThread.join();
}

void CShoutcastStream::ReceiveLoop() {
  {
    std::lock_guard<std::mutex> lock(m_queueLock);
    m_exit = false;
  }
  m_queueChanged.notify_all();
  // Created before the exit flag is looked at, so a stop from now on
  // cancels this connection.
  bool connected = m_socket.Create() && !m_exit && m_socket.ConnectAndRequest(m_url);
  std::vector<BYTE> buffer(kChunkSize);
  REFERENCE_TIME running = 0;
  while (connected && !m_exit) {
    const int n = m_socket.Receive(buffer.data(), kChunkSize);
    if (n < 1) break;
    auto chunk = std::make_unique<Chunk>();
    chunk->data.assign(buffer.begin(), buffer.begin() + n);
    chunk->start = running;
    chunk->stop = running + n * kUnitsPerByteBit / m_socket.m_bitrate;
    running = chunk->stop;
    chunk->title = m_socket.m_title.empty() ? m_socket.m_url : m_socket.m_title;
    std::unique_lock<std::mutex> lock(m_queueLock);
    // Downstream takes the data slower than the server sends it: wait
    // rather than grow without bound.
    m_queueChanged.wait(lock, [this] { return m_exit || m_queuedBytes < kMaxQueuedBytes; });
    if (m_exit) break;
    m_queuedBytes += chunk->data.size();
    m_queue.push_back(std::move(chunk));
    m_receivedAny = true;
    lock.unlock();
    m_queueChanged.notify_all();
  }
  m_socket.Close();
  {
    std::lock_guard<std::mutex> lock(m_queueLock);
    m_receiving = false;
  }
  m_queueChanged.notify_all();
}

HRESULT CShoutcastStream::FillBuffer(IMediaSample* sample) {
  BYTE* data = nullptr;
  if (!sample || FAILED(sample->GetPointer(&data)) || !data) return S_FALSE;
  std::unique_lock<std::mutex> lock(m_queueLock);
  if (QueuedSpan() <= kPlaySpan && m_receiving) {
    // Start-up, or the stream fell behind: buffer 3 s before playing on.
    m_buffering = true;
    while (!m_exit && m_receiving && QueuedSpan() <= kBufferSpan)
      m_queueChanged.wait_for(lock, std::chrono::milliseconds(50));
    if (m_exit) return S_FALSE;
    // The run's segment starts once; waiting again later (the stream fell
    // behind) goes on where it was: what went downstream stays, and the
    // times run on without a gap.
    if (!m_queue.empty() && !m_started) {
      m_started = true;
      lock.unlock();
      sample->SetDiscontinuity(TRUE);
      DeliverBeginFlush();
      DeliverEndFlush();
      DeliverNewSegment(0, std::numeric_limits<REFERENCE_TIME>::max(), 1.0);
      lock.lock();
    }
  }
  // The connection has ended and everything queued went out: the stream
  // ends, or fails when the server never sent any audio on this run.
  if (m_queue.empty()) return m_receivedAny || m_exit ? S_FALSE : E_FAIL;

  std::unique_ptr<Chunk> chunk = std::move(m_queue.front());
  m_queue.pop_front();
  m_queuedBytes -= chunk->data.size();
  lock.unlock();
  m_queueChanged.notify_all();

  const LONG size = std::min<LONG>(static_cast<LONG>(chunk->data.size()), sample->GetSize());
  std::memcpy(data, chunk->data.data(), static_cast<size_t>(size));
  sample->SetActualDataLength(size);
  sample->SetTime(&chunk->start, &chunk->stop);
  sample->SetSyncPoint(TRUE);
  std::lock_guard<std::mutex> relock(m_queueLock);
  m_title = std::move(chunk->title);
  return S_OK;
}

void CShoutcastStream::QueryProgress(LONGLONG* total, LONGLONG* current) {
  std::lock_guard<std::mutex> lock(m_queueLock);
  *total = 100;
  if (!m_buffering)
    *current = 100;
  else
    *current = std::min<LONGLONG>(QueuedSpan() * 100 / kBufferSpan, 100);
}

std::string CShoutcastStream::Title() {
  std::lock_guard<std::mutex> lock(m_queueLock);
  return m_title;
}

// ---------------------------------------------------------------------------
// CShoutcastSource

CShoutcastSource::CShoutcastSource(LPUNKNOWN outer, HRESULT* phr)
    : CBaseSource<CShoutcastStream>(NAME("Shoutcast source"), outer, phr, CLSID_ShoutcastSource) {
  AfxSocketInit();
  if (phr) *phr = S_OK;
}

HRESULT STDMETHODCALLTYPE CShoutcastSource::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_IAMOpenProgress) return GetInterfaceAs<IAMOpenProgress>(this, ppv);
  if (riid == IID_IAMMediaContent) return GetInterfaceAs<IAMMediaContent>(this, ppv);
  return CBaseSource<CShoutcastStream>::NonDelegatingQueryInterface(riid, ppv);
}

CShoutcastStream* CShoutcastSource::Stream() {
  return GetPinCount() == 1 ? static_cast<CShoutcastStream*>(m_paStreams[0]) : nullptr;
}

STDMETHODIMP CShoutcastSource::QueryProgress(LONGLONG* total, LONGLONG* current) {
  CheckPointer(total, E_POINTER);
  CheckPointer(current, E_POINTER);
  CShoutcastStream* stream = Stream();
  if (!stream) return E_UNEXPECTED;
  stream->QueryProgress(total, current);
  return S_OK;
}

STDMETHODIMP CShoutcastSource::get_Title(BSTR* value) {
  CheckPointer(value, E_POINTER);
  CShoutcastStream* stream = Stream();
  if (!stream) return E_UNEXPECTED;
  *value = SysAllocString(TextToWide(stream->Title()).c_str());
  return *value ? S_OK : E_OUTOFMEMORY;
}
