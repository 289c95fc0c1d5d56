#include "foundation/BaseSource.h"

#include "platform/win32/File.h"

bool CSourceFile::Open(LPCWSTR name) {
  Close();
  m_h = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (m_h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(m_h, &size)) {
    Close();
    return false;
  }
  m_length = size.QuadPart;
  return true;
}

void CSourceFile::Close() {
  if (m_h != INVALID_HANDLE_VALUE) CloseHandle(m_h);
  m_h = INVALID_HANDLE_VALUE;
  m_length = 0;
}

LONG CSourceFile::ReadAt(LONGLONG offset, void* buffer, LONG length) {
  if (!IsOpen() || offset < 0 || length < 0) return -1;
  if (offset >= m_length || length == 0) return 0;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  if (!ReadFile(m_h, buffer, static_cast<DWORD>(length), &read, &at)) return -1;
  return static_cast<LONG>(read);
}
