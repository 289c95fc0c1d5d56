// Blocking stream sockets and URL parsing over POSIX calls, in the shape of
// the class library's CSocket and CUrl.
//
// Every blocking call (connect, send, receive) waits at most the blocking
// timeout (30 s unless set otherwise) and fails with WSAETIMEDOUT after it,
// so a peer that stops answering cannot hang its caller. CancelBlockingCall
// may be called from any thread: it ends the call in progress, and every
// later one until the socket is created again, with WSAEINTR. Close ends
// the connection only: the socket may connect again (a cancellation
// still holds). A peek
// (MSG_PEEK) waits until the asked number of bytes has arrived or the peer
// has closed, instead of returning what happens to be there.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <mutex>
#include <string>

#include "platform/win32/Types.h"

constexpr int SOCKET_ERROR = -1;
constexpr int WSAEINTR = 10004;
constexpr int WSAEINVAL = 10022;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAHOST_NOT_FOUND = 11001;

// The calling thread's last socket error.
int WSAGetLastError();
void WSASetLastError(int error);

// Nothing to start on this platform; kept for the callers' start-up order.
BOOL AfxSocketInit();

class CSocket {
 public:
  CSocket() = default;
  virtual ~CSocket();
  CSocket(const CSocket&) = delete;
  CSocket& operator=(const CSocket&) = delete;

  // Makes the socket ready to connect (the address family is chosen by the
  // address connected to). Clears an earlier cancellation.
  BOOL Create();
  // Connects to a host name or numeric address.
  virtual BOOL Connect(LPCSTR host, UINT port);
  // Sends every byte or fails: the count sent, or SOCKET_ERROR.
  virtual int Send(const void* buffer, int length, int flags = 0);
  // The bytes received (up to `length`), 0 when the peer has closed, or
  // SOCKET_ERROR.
  virtual int Receive(void* buffer, int length, int flags = 0);
  void Close();
  void CancelBlockingCall();
  static int GetLastError() { return WSAGetLastError(); }

  static void SetBlockingTimeout(DWORD milliseconds);
  static DWORD BlockingTimeout();

 private:
  // Waits for `events` on the socket: 1 when ready, else 0 with the last
  // error set (time-out or cancellation).
  int Wait(short events);

  int m_fd = -1;
  // Written by CancelBlockingCall to wake a waiting call.
  int m_wake = -1;
  std::atomic<bool> m_cancelled{false};
  std::mutex m_wakeLock;
};

using ATL_URL_PORT = WORD;

// A URL cut into scheme, host, port, path and extra information (query and
// fragment). The port stays 0 when the URL names none.
class CUrl {
 public:
  BOOL CrackUrl(LPCSTR url);
  LPCSTR GetSchemeName() const { return m_scheme.c_str(); }
  LPCSTR GetHostName() const { return m_host.c_str(); }
  ATL_URL_PORT GetPortNumber() const { return m_port; }
  LPCSTR GetUrlPath() const { return m_path.c_str(); }
  LPCSTR GetExtraInfo() const { return m_extra.c_str(); }
  void SetUrlPath(LPCSTR path) { m_path = path ? path : ""; }
  void SetPortNumber(ATL_URL_PORT port) { m_port = port; }

 private:
  std::string m_scheme, m_host, m_path, m_extra;
  ATL_URL_PORT m_port = 0;
};
