// A loopback ICY server for the network source's tests: it answers every
// connection on 127.0.0.1 (ephemeral port) with a configurable reply
// header and audio, with metadata blocks inserted every `metaint` bytes,
// and then closes, stalls, or breaks off inside a metadata block.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace icytest {

using Bytes = std::vector<uint8_t>;

struct Behaviour {
  std::string reply = "ICY 200 OK\r\nicy-br:128\r\nicy-metaint:8192\r\n\r\n";
  Bytes audio;
  size_t metaint = 8192;  // 0: no metadata blocks
  // The text of the blocks, in turn; an empty text is a block of length 0.
  std::vector<std::string> titles = {"StreamTitle='Artist - Song';"};
  size_t audioLimit = SIZE_MAX;  // audio bytes sent before the end
  enum End { kClose, kStall, kCutMetadata } end = kClose;
  bool resetOnAgent = false;  // connections naming the user agent are reset
  size_t writeSize = 65536;   // bytes per send: small sizes make short receives
  size_t holdAt = SIZE_MAX;   // stream bytes sent before waiting for Go()
  size_t bytesPerSecond = 0;  // a pace for the stream, as a station keeps (0: at once)
};

class Server {
 public:
  explicit Server(Behaviour b) : m_b(std::move(b)) {
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), len) == 0 && ::listen(m_listen, 8) == 0 &&
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      m_port = ntohs(a.sin_port);
    ::pipe2(m_wake, O_CLOEXEC);
    m_accept = std::thread([this] { AcceptLoop(); });
  }
  ~Server() {
    Release();
    [[maybe_unused]] ssize_t n = ::write(m_wake[1], "x", 1);
    m_accept.join();
    for (auto& t : m_connections) t.join();
    ::close(m_listen);
    ::close(m_wake[0]);
    ::close(m_wake[1]);
  }
  int Port() const { return m_port; }
  std::string Url(const std::string& path = "/stream") const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
  }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_requests;
  }
  // Lets held connections send the rest of their stream.
  void Go() {
    std::lock_guard<std::mutex> g(m_lock);
    m_go = true;
    m_changed.notify_all();
  }
  // Ends the holds and the stalls: stalled connections close.
  void Release() {
    std::lock_guard<std::mutex> g(m_lock);
    m_go = m_released = true;
    m_changed.notify_all();
  }

  // The bytes a connection sends after the reply header.
  static Bytes Stream(const Behaviour& b) {
    Bytes out;
    const size_t total = std::min(b.audio.size(), b.audioLimit);
    size_t block = 0;
    for (size_t at = 0; at < total;) {
      const size_t n = b.metaint ? std::min(b.metaint, total - at) : total - at;
      out.insert(out.end(), b.audio.begin() + long(at), b.audio.begin() + long(at + n));
      at += n;
      if (!b.metaint || n < b.metaint) break;
      if (b.end == Behaviour::kCutMetadata && at + b.metaint > total) {
        // The last whole interval ends in a block that breaks off.
        out.insert(out.end(), {255, 'S', 't', 'r'});
        return out;
      }
      const std::string& text = b.titles.empty() ? std::string() : b.titles[block++ % b.titles.size()];
      const size_t units = (text.size() + 15) / 16;
      out.push_back(uint8_t(units));
      out.insert(out.end(), text.begin(), text.end());
      out.resize(out.size() + units * 16 - text.size(), 0);
    }
    return out;
  }

 private:
  void AcceptLoop() {
    for (;;) {
      pollfd fds[2] = {{m_listen, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 || fds[1].revents) return;
      const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) m_connections.emplace_back([this, fd] { Serve(fd); });
    }
  }

  void Serve(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::string request;
    char ch;
    while (request.size() < 8192 && request.find("\r\n\r\n") == std::string::npos && ::recv(fd, &ch, 1, 0) == 1)
      request += ch;
    {
      std::lock_guard<std::mutex> g(m_lock);
      m_requests.push_back(request);
    }
    if (m_b.resetOnAgent && request.find("User-Agent:") != std::string::npos) {
      linger l{1, 0};  // close with a reset
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
      ::close(fd);
      return;
    }
    Bytes out(m_b.reply.begin(), m_b.reply.end());
    const Bytes stream = Stream(m_b);
    out.insert(out.end(), stream.begin(), stream.end());
    const size_t hold = m_b.holdAt == SIZE_MAX ? SIZE_MAX : m_b.reply.size() + m_b.holdAt;
    const auto begun = std::chrono::steady_clock::now();
    for (size_t at = 0; at < out.size();) {
      if (m_b.bytesPerSecond)
        std::this_thread::sleep_until(begun + std::chrono::microseconds(at * 1000000 / m_b.bytesPerSecond));
      if (at == hold) {
        std::unique_lock<std::mutex> g(m_lock);
        m_changed.wait(g, [this] { return m_go; });
      }
      const size_t end = at < hold ? std::min(hold, out.size()) : out.size();
      // At a pace, a twentieth of a second at a time.
      const size_t step = m_b.bytesPerSecond ? std::max<size_t>(m_b.bytesPerSecond / 20, 1) : m_b.writeSize;
      const ssize_t n = ::send(fd, out.data() + at, std::min({m_b.writeSize, step, end - at}), MSG_NOSIGNAL);
      if (n <= 0) break;
      at += size_t(n);
    }
    if (m_b.end == Behaviour::kStall) {
      std::unique_lock<std::mutex> g(m_lock);
      m_changed.wait(g, [this] { return m_released; });
    }
    ::close(fd);
  }

  Behaviour m_b;
  int m_listen = -1;
  int m_port = 0;
  int m_wake[2] = {-1, -1};
  std::thread m_accept;
  std::vector<std::thread> m_connections;  // touched by the accept thread only until it ends
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<std::string> m_requests;
  bool m_go = false;
  bool m_released = false;
};

}  // namespace icytest
