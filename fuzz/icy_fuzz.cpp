// libFuzzer target over the network source's stream reader: the bytes are
// what the server sends (reply header, audio and metadata blocks), handed
// over in receives of sizes the input chooses; the header parser, frame
// synchronisation, metadata blocks and stray blocks all see them.
#include <algorithm>
#include <cstring>
#include <vector>

#include "sources/shoutcast/ShoutcastSource.h"

namespace {

class FuzzSocket : public CShoutcastStream::CShoutcastSocket {
 public:
  FuzzSocket(const uint8_t* data, size_t size, size_t step) : m_data(data), m_size(size), m_step(step) {}
  BOOL Connect(LPCSTR, UINT) override { return TRUE; }
  int Send(const void*, int length, int) override { return length; }

 protected:
  int ReceiveRaw(void* buffer, int length, int flags) override {
    if (length <= 0 || m_at >= m_size) return 0;
    // Short receives, as a real connection gives them; a peek sees all.
    size_t n = std::min<size_t>(static_cast<size_t>(length), m_size - m_at);
    if (!(flags & MSG_PEEK)) n = std::min(n, m_step);
    std::memcpy(buffer, m_data + m_at, n);
    if (!(flags & MSG_PEEK)) m_at += n;
    return static_cast<int>(n);
  }

 private:
  const uint8_t* m_data;
  size_t m_size, m_step, m_at = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  FuzzSocket socket(data + 1, size - 1, 1 + data[0] % 64 * 97);
  CUrl url;
  url.CrackUrl("http://127.0.0.1:8000/stream");
  if (!socket.ConnectAndRequest(url)) return 0;
  std::vector<BYTE> buffer(CShoutcastStream::kChunkSize);
  while (socket.Receive(buffer.data(), static_cast<int>(buffer.size())) > 0) {
  }
  return 0;
}
