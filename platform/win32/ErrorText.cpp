#include "platform/win32/ErrorText.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/win32/CodePage.h"
#include "platform/win32/Handle.h"

namespace {

struct MessageTable {
  MessageTable();
  std::mutex mutex;
  std::map<DWORD, std::string> texts;
};

constexpr std::pair<DWORD, const char*> kBuiltIn[] = {
    // Win32 errors
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "The function is not valid here."},
    {ERROR_FILE_NOT_FOUND, "The file was not found."},
    {ERROR_PATH_NOT_FOUND, "The path was not found."},
    {ERROR_TOO_MANY_OPEN_FILES, "Too many files are open."},
    {ERROR_ACCESS_DENIED, "Access was denied."},
    {ERROR_INVALID_HANDLE, "The handle is not valid."},
    {ERROR_NOT_ENOUGH_MEMORY, "There is not enough memory to complete the operation."},
    {ERROR_INVALID_DATA, "The data is not valid."},
    {ERROR_OUTOFMEMORY, "There is not enough memory to complete the operation."},
    {ERROR_NO_MORE_FILES, "There are no more files."},
    {ERROR_WRITE_FAULT, "The device could not be written."},
    {ERROR_READ_FAULT, "The device could not be read."},
    {ERROR_SHARING_VIOLATION, "The file is in use by another process."},
    {ERROR_HANDLE_EOF, "The end of the file was reached."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_FILE_EXISTS, "The file exists already."},
    {ERROR_INVALID_PARAMETER, "A parameter is not valid."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_CALL_NOT_IMPLEMENTED, "This function is not available on this system."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed is too small."},
    {ERROR_INVALID_NAME, "The file name, folder name or volume label is not valid."},
    {ERROR_MOD_NOT_FOUND, "The module was not found."},
    {ERROR_PROC_NOT_FOUND, "The procedure was not found."},
    {ERROR_NEGATIVE_SEEK, "A seek before the start of the file was asked for."},
    {ERROR_ALREADY_EXISTS, "The file cannot be created because it exists already."},
    {ERROR_BAD_EXE_FORMAT, "The module is not a valid executable."},
    {ERROR_MORE_DATA, "More data is available."},
    {WAIT_TIMEOUT, "The wait timed out."},
    {ERROR_NO_MORE_ITEMS, "There are no more items."},
    {288, "The caller does not own the mutex."},
    {298, "The semaphore cannot take more posts."},
    {ERROR_MR_MID_NOT_FOUND, "The system has no text for this message number."},
    {ERROR_INVALID_FLAGS, "The flags are not valid."},
    {ERROR_BADDB, "The registry store is damaged."},
    {ERROR_BADKEY, "The registry key is not valid."},
    {ERROR_CANTOPEN, "The registry key could not be opened."},
    {ERROR_CANTREAD, "The registry key could not be read."},
    {ERROR_CANTWRITE, "The registry key could not be written."},
    {ERROR_KEY_DELETED, "The registry key has been deleted."},
    {ERROR_NO_UNICODE_TRANSLATION, "A character has no mapping in the target code page."},
    {ERROR_INVALID_WINDOW_HANDLE, "The window handle is not valid."},
    {ERROR_TIMEOUT, "The operation timed out."},
    // COM codes
    {static_cast<DWORD>(E_UNEXPECTED), "An unexpected failure occurred."},
    {static_cast<DWORD>(E_NOTIMPL), "Not implemented."},
    {static_cast<DWORD>(E_NOINTERFACE), "The object does not support this interface."},
    {static_cast<DWORD>(E_POINTER), "A pointer is not valid."},
    {static_cast<DWORD>(E_ABORT), "The operation was aborted."},
    {static_cast<DWORD>(E_FAIL), "An unspecified error occurred."},
    {static_cast<DWORD>(CLASS_E_NOAGGREGATION), "This class cannot be created as part of an aggregate."},
    {static_cast<DWORD>(CLASS_E_CLASSNOTAVAILABLE), "The class factory cannot supply the requested class."},
    {static_cast<DWORD>(REGDB_E_CLASSNOTREG), "The class is not registered."},
    // Storage codes
    {0x8003001Du, "A disk error occurred during a write operation."},
    {static_cast<DWORD>(CO_E_NOTINITIALIZED), "COM has not been initialised on this thread."},
    {static_cast<DWORD>(CO_E_CLASSSTRING), "The class string is not valid."},
    {static_cast<DWORD>(RPC_E_CHANGED_MODE), "The threading model of this thread cannot be changed once set."},
    {static_cast<DWORD>(DISP_E_UNKNOWNNAME), "The name is not known."},
    {static_cast<DWORD>(DISP_E_MEMBERNOTFOUND), "The member was not found."},
    {static_cast<DWORD>(DISP_E_TYPEMISMATCH), "The types do not match."},
    {static_cast<DWORD>(DISP_E_BADINDEX), "The index is out of range."},
    {static_cast<DWORD>(STG_E_FILENOTFOUND), "The storage file was not found."},
    {static_cast<DWORD>(MK_E_UNAVAILABLE), "The operation is not available."},
    {static_cast<DWORD>(MK_E_NOOBJECT), "The object named by the moniker was not found."},
};

std::string StripLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

MessageTable::MessageTable() {
  for (const auto& [code, text] : kBuiltIn) texts[code] = text;
}

MessageTable& Table() {
  static MessageTable table;
  return table;
}

// The text of a code with its line end, or nothing. An HRESULT made from a
// Win32 error reads as that error.
bool Lookup(DWORD code, std::string& out) {
  auto& table = Table();
  std::lock_guard lock(table.mutex);
  auto it = table.texts.find(code);
  if (it == table.texts.end() && (code & 0xFFFF0000u) == 0x80070000u) it = table.texts.find(code & 0xFFFF);
  if (it == table.texts.end()) return false;
  out = it->second + "\r\n";
  return true;
}

template <class C>
DWORD Deliver(const std::basic_string<C>& text, DWORD flags, C* buffer, DWORD size) {
  const size_t needed = text.size() + 1;
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    if (!buffer) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    const size_t count = std::max<size_t>(needed, size);
    auto* memory = static_cast<C*>(LocalAlloc(LPTR, count * sizeof(C)));
    if (!memory) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::copy(text.begin(), text.end(), memory);
    memory[text.size()] = 0;
    *reinterpret_cast<C**>(buffer) = memory;
    return static_cast<DWORD>(text.size());
  }
  if (!buffer || size < needed) {
    SetLastError(buffer ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = 0;
  return static_cast<DWORD>(text.size());
}

bool Find(DWORD flags, DWORD messageId, std::string& text) {
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!Lookup(messageId, text)) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return false;
  }
  return true;
}

}  // namespace

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  void* p = (flags & LMEM_ZEROINIT) ? std::calloc(bytes ? bytes : 1, 1) : std::malloc(bytes ? bytes : 1);
  if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

HLOCAL LocalFree(HLOCAL memory) {
  std::free(memory);
  return nullptr;
}

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size, va_list*) {
  std::string text;
  if (!Find(flags, messageId, text)) return 0;
  return Deliver(text, flags, buffer, size);
}

DWORD FormatMessageW(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPWSTR buffer, DWORD size, va_list*) {
  std::string text;
  if (!Find(flags, messageId, text)) return 0;
  return Deliver(Utf8ToWide(text), flags, buffer, size);
}

void RegisterSystemMessages(const std::pair<DWORD, const char*>* entries, size_t count) {
  if (!entries) return;
  auto& table = Table();
  std::lock_guard lock(table.mutex);
  for (size_t i = 0; i < count; ++i)
    if (entries[i].second) table.texts[entries[i].first] = StripLineEnd(entries[i].second);
}

std::string SystemErrorText(HRESULT hr) {
  const auto code = static_cast<DWORD>(hr);
  char* message = nullptr;
  if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                     nullptr, code, 0, reinterpret_cast<LPSTR>(&message), 0, nullptr) != 0 &&
      message) {
    std::string text = StripLineEnd(message);
    LocalFree(message);
    return text;
  }
  char buf[64];
  if (code >= 0x80040200u && code <= 0x8004FFFFu) {
    std::snprintf(buf, sizeof buf, "IDispatch error #%d", static_cast<int>(code - 0x80040200u));
  } else {
    std::snprintf(buf, sizeof buf, "Unknown error 0x%0lX", static_cast<unsigned long>(code));
  }
  return buf;
}
