#include "platform/win32/Socket.h"

#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

thread_local int t_lastError = 0;
std::atomic<DWORD> g_timeout{30000};

int ErrorFromErrno(int err) {
  switch (err) {
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case EHOSTUNREACH:
    case ENETUNREACH: return WSAEHOSTUNREACH;
    case ENOTCONN: return WSAENOTCONN;
    case EINTR: return WSAEINTR;
    default: return WSAEINVAL;
  }
}

}  // namespace

int WSAGetLastError() { return t_lastError; }
void WSASetLastError(int error) { t_lastError = error; }
BOOL AfxSocketInit() { return TRUE; }

void CSocket::SetBlockingTimeout(DWORD milliseconds) { g_timeout = milliseconds; }
DWORD CSocket::BlockingTimeout() { return g_timeout; }

CSocket::~CSocket() {
  Close();
  std::lock_guard<std::mutex> lock(m_wakeLock);
  if (m_wake >= 0) ::close(m_wake);
  m_wake = -1;
}

BOOL CSocket::Create() {
  Close();
  std::lock_guard<std::mutex> lock(m_wakeLock);
  if (m_wake >= 0) ::close(m_wake);
  m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_wake < 0) {
    WSASetLastError(WSAEINVAL);
    return FALSE;
  }
  m_cancelled = false;
  return TRUE;
}

void CSocket::Close() {
  std::lock_guard<std::mutex> lock(m_wakeLock);
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

void CSocket::CancelBlockingCall() {
  m_cancelled = true;
  std::lock_guard<std::mutex> lock(m_wakeLock);
  if (m_wake >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_wake, &one, sizeof(one));
  }
}

int CSocket::Wait(short events) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(g_timeout.load());
  for (;;) {
    if (m_cancelled) {
      WSASetLastError(WSAEINTR);
      return 0;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      WSASetLastError(WSAETIMEDOUT);
      return 0;
    }
    pollfd fds[2] = {{m_fd, events, 0}, {m_wake, POLLIN, 0}};
    const int n = ::poll(fds, 2, static_cast<int>(left));
    if (n < 0 && errno != EINTR) {
      WSASetLastError(ErrorFromErrno(errno));
      return 0;
    }
    if (n > 0 && fds[1].revents) continue;  // woken: the cancellation is seen above
    // Errors and hang-ups are reported by the call that follows.
    if (n > 0 && fds[0].revents) return 1;
  }
}

BOOL CSocket::Connect(LPCSTR host, UINT port) {
  Close();
  if (m_wake < 0 || !host || port == 0 || port > 65535) {
    WSASetLastError(WSAEINVAL);
    return FALSE;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(host, service.c_str(), &hints, &found) != 0 || !found) {
    WSASetLastError(WSAHOST_NOT_FOUND);
    return FALSE;
  }
  int error = WSAECONNREFUSED;
  for (addrinfo* a = found; a && m_fd < 0; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) continue;
    {
      std::lock_guard<std::mutex> lock(m_wakeLock);
      m_fd = fd;
    }
    bool ok = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0;
    if (!ok) {
      if (errno != EINPROGRESS) {
        error = ErrorFromErrno(errno);
      } else if (!Wait(POLLOUT)) {
        error = WSAGetLastError();
      } else {
        int soError = 0;
        socklen_t len = sizeof(soError);
        ok = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 && soError == 0;
        if (!ok) error = ErrorFromErrno(soError);
      }
    }
    if (!ok) {
      std::lock_guard<std::mutex> lock(m_wakeLock);
      ::close(fd);
      m_fd = -1;
      // A cancellation or time-out ends the attempt as a whole.
      if (error == WSAEINTR || error == WSAETIMEDOUT) break;
    }
  }
  ::freeaddrinfo(found);
  if (m_fd < 0) {
    WSASetLastError(error);
    return FALSE;
  }
  return TRUE;
}

int CSocket::Send(const void* buffer, int length, int flags) {
  if (m_fd < 0 || length < 0) {
    WSASetLastError(WSAENOTCONN);
    return SOCKET_ERROR;
  }
  const char* p = static_cast<const char*>(buffer);
  for (int sent = 0; sent < length;) {
    if (!Wait(POLLOUT)) return SOCKET_ERROR;
    const ssize_t n = ::send(m_fd, p + sent, static_cast<size_t>(length - sent), flags | MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      WSASetLastError(ErrorFromErrno(errno));
      return SOCKET_ERROR;
    }
    sent += static_cast<int>(n);
  }
  return length;
}

int CSocket::Receive(void* buffer, int length, int flags) {
  if (m_fd < 0 || length < 0) {
    WSASetLastError(WSAENOTCONN);
    return SOCKET_ERROR;
  }
  if (length == 0) return 0;
  const bool peek = flags & MSG_PEEK;
  // A peek wakes only once the whole length is there (or the peer closed).
  if (peek) ::setsockopt(m_fd, SOL_SOCKET, SO_RCVLOWAT, &length, sizeof(length));
  int result = SOCKET_ERROR;
  for (;;) {
    if (!Wait(POLLIN)) break;
    const ssize_t n = ::recv(m_fd, buffer, static_cast<size_t>(length), flags | MSG_DONTWAIT);
    if (n >= 0) {
      result = static_cast<int>(n);
      break;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
    WSASetLastError(ErrorFromErrno(errno));
    break;
  }
  if (peek) {
    const int one = 1;
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVLOWAT, &one, sizeof(one));
  }
  return result;
}

// ---------------------------------------------------------------------------
// CUrl

BOOL CUrl::CrackUrl(LPCSTR url) {
  *this = CUrl();
  if (!url) return FALSE;
  const std::string text = url;
  for (unsigned char ch : text)
    if (ch <= 0x20 || ch == 0x7F) return FALSE;
  const size_t colon = text.find("://");
  if (colon == std::string::npos || colon == 0) return FALSE;
  for (size_t i = 0; i < colon; i++) {
    const unsigned char ch = static_cast<unsigned char>(text[i]);
    if (!std::isalnum(ch) && ch != '+' && ch != '-' && ch != '.') return FALSE;
    m_scheme += static_cast<char>(std::tolower(ch));
  }
  const size_t hostStart = colon + 3;
  const size_t hostEnd = std::min(text.find_first_of("/?#", hostStart), text.size());
  std::string authority = text.substr(hostStart, hostEnd - hostStart);
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  std::string port;
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) return FALSE;
    m_host = authority.substr(1, close - 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return FALSE;
      port = authority.substr(close + 2);
    }
  } else {
    const size_t p = authority.find(':');
    m_host = authority.substr(0, p);
    if (p != std::string::npos) port = authority.substr(p + 1);
  }
  if (m_host.empty() || port.size() > 5) return FALSE;
  unsigned value = 0;
  for (char ch : port) {
    if (ch < '0' || ch > '9') return FALSE;
    value = value * 10 + static_cast<unsigned>(ch - '0');
  }
  if (value > 65535) return FALSE;
  m_port = static_cast<ATL_URL_PORT>(value);
  const size_t extra = std::min(text.find_first_of("?#", hostEnd), text.size());
  m_path = text.substr(hostEnd, extra - hostEnd);
  m_extra = text.substr(extra);
  return TRUE;
}
