// Source filter choice: which filter reads a file name or URL.

#include <algorithm>
#include <cwctype>

#include "foundation/FilterHelpers.h"
#include "graph/core/FGManager.h"
#include "platform/win32/File.h"
#include "platform/win32/Registry.h"

namespace {

// The platform's source for ASF and NetShow streams, and the stream
// subtypes that call for it.
PELLOMAR_DEFINE_GUID(CLSID_NetShowSource, "6B6D0800-9ADA-11D0-A520-00A0D10129C0");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_Asf640999A0, "640999A0-A946-11D0-A520-000000000000");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_Asf640999A1, "640999A1-A946-11D0-A520-000000000000");
PELLOMAR_DEFINE_GUID(MEDIASUBTYPE_AsfD51BD5AE, "D51BD5AE-7548-11CF-A520-0080C77EF58A");

std::wstring Trim(const std::wstring& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::iswspace(s[b])) ++b;
  while (e > b && std::iswspace(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::wstring Lower(std::wstring s) {
  for (wchar_t& c : s)
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  return s;
}

// A URL scheme: a letter, then letters, digits, "+", "-" or "."; anything
// else before the first ":" belongs to a file name.
std::wstring ProtocolOf(const std::wstring& name) {
  size_t colon = name.find(L':');
  if (colon == std::wstring::npos || colon == 0) return L"";
  for (size_t i = 0; i < colon; ++i) {
    wchar_t c = name[i];
    bool letter = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
    bool other = (c >= L'0' && c <= L'9') || c == L'+' || c == L'-' || c == L'.';
    if (!letter && (i == 0 || !other)) return L"";
  }
  return Lower(name.substr(0, colon));
}

// The extension of the last path component, with its point.
std::wstring ExtensionOf(const std::wstring& name) {
  size_t slash = name.find_last_of(L"/\\");
  size_t start = slash == std::wstring::npos ? 0 : slash + 1;
  size_t dot = name.rfind(L'.');
  if (dot == std::wstring::npos || dot < start) return L"";
  return Lower(name.substr(dot));
}

class FileHandle {
 public:
  explicit FileHandle(const std::wstring& path)
      : m_h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                        nullptr)) {}
  ~FileHandle() {
    if (IsOpen()) CloseHandle(m_h);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  bool IsOpen() const { return m_h != INVALID_HANDLE_VALUE && m_h != nullptr; }
  HANDLE Get() const { return m_h; }

 private:
  HANDLE m_h;
};

class RegKey {
 public:
  RegKey() = default;
  ~RegKey() {
    if (m_key) RegCloseKey(m_key);
  }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  bool Open(HKEY root, const std::wstring& path) {
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &m_key) == ERROR_SUCCESS;
  }
  operator HKEY() const { return m_key; }
  bool String(const wchar_t* name, std::wstring& out) const {
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(m_key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, 0);
    DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (RegQueryValueExW(m_key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &bytes) !=
        ERROR_SUCCESS)
      return false;
    buffer.back() = 0;
    out = buffer.data();
    return true;
  }
  bool Guid(const wchar_t* name, GUID& out) const {
    std::wstring text;
    out = GUID_NULL;
    return String(name, text) && SUCCEEDED(CLSIDFromString(text.c_str(), &out));
  }
  bool SubKey(DWORD index, std::wstring& name) const {
    wchar_t buffer[256];
    DWORD chars = 256;
    if (RegEnumKeyExW(m_key, index, buffer, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      return false;
    name.assign(buffer, std::min<DWORD>(chars, 255));
    return true;
  }

 private:
  HKEY m_key = nullptr;
};

// Bounds on the registry walks, so that a damaged table cannot stall the
// search.
constexpr DWORD kMaxKeys = 4096;

bool ParseDecimal(const std::wstring& text, long long& out) {
  if (text.empty()) return false;
  size_t i = 0;
  bool negative = false;
  if (text[0] == L'-' || text[0] == L'+') {
    negative = text[0] == L'-';
    i = 1;
  }
  if (i == text.size()) return false;
  unsigned long long value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < L'0' || text[i] > L'9') return false;
    value = value * 10 + static_cast<unsigned>(text[i] - L'0');
    if (value > 0x7FFFFFFFFFFFFFFFull) return false;
  }
  out = negative ? -static_cast<long long>(value) : static_cast<long long>(value);
  return true;
}

bool AllHex(const std::wstring& text) {
  return std::all_of(text.begin(), text.end(), [](wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
  });
}

}  // namespace

bool CheckFileBytes(HANDLE file, const std::wstring& pattern) {
  std::vector<std::wstring> fields;
  for (size_t start = 0;;) {
    size_t comma = pattern.find(L',', start);
    fields.push_back(Trim(pattern.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start)));
    if (comma == std::wstring::npos) break;
    start = comma + 1;
  }
  if (fields.size() < 4) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) return false;
  const long long fileSize = size.QuadPart;

  size_t i = 0;
  for (; fields.size() - i >= 4; i += 4) {
    const std::wstring& offsetText = fields[i];
    const std::wstring& lengthText = fields[i + 1];
    std::wstring mask = fields[i + 2];
    const std::wstring& value = fields[i + 3];
    long long offset = 0, length = 0;
    if (!ParseDecimal(offsetText, offset) || !ParseDecimal(lengthText, length) || value.empty()) return false;
    if (value.size() % 2 != 0 || length < 0 || static_cast<size_t>(length) * 2 != value.size()) return false;
    // Every digit must count: a partly decoded value or mask would compare
    // against bytes nobody wrote.
    if (!AllHex(value) || !AllHex(mask) || mask.size() > value.size()) return false;
    if (offset < 0) offset += fileSize;
    if (offset < 0 || offset > fileSize || length > fileSize - offset) return false;
    mask.append(value.size() - mask.size(), L'F');
    std::vector<BYTE> maskBytes, valueBytes;
    HexStringToBytes(WideToUtf8(mask), maskBytes);
    HexStringToBytes(WideToUtf8(value), valueBytes);
    LARGE_INTEGER where{};
    where.QuadPart = offset;
    if (!SetFilePointerEx(file, where, nullptr, FILE_BEGIN)) return false;
    std::vector<BYTE> data(static_cast<size_t>(length));
    DWORD read = 0;
    if (length > 0 && (!ReadFile(file, data.data(), static_cast<DWORD>(length), &read, nullptr) ||
                       read != static_cast<DWORD>(length)))
      return false;
    for (size_t b = 0; b < data.size(); ++b)
      if ((data[b] & maskBytes[b]) != valueBytes[b]) return false;
  }
  return i == fields.size();
}

HRESULT CFGManager::EnumSourceFilters(LPCWSTR name, CFGFilterList& list) {
  if (!name) return E_POINTER;
  CAutoLock lock(&m_lock);
  list.RemoveAll();

  const std::wstring fileName = Trim(name);
  const std::wstring protocol = ProtocolOf(fileName);
  const std::wstring ext = ExtensionOf(fileName);

  std::unique_ptr<FileHandle> file;
  if (protocol.size() > 1 && protocol != L"file") {
    for (auto& rec : m_source) {
      const auto& p = rec->Protocols();
      if (std::find(p.begin(), p.end(), protocol) != p.end()) list.Insert(rec.get(), 0, false, false);
    }
  } else {
    std::wstring path = fileName;
    if (protocol == L"file") path = path.compare(0, 7, L"file://") == 0 ? path.substr(7) : path.substr(5);
    file = std::make_unique<FileHandle>(path);
    if (!file->IsOpen()) {
      file.reset();
    } else {
      for (auto& rec : m_source) {
        for (const std::wstring& pattern : rec->CheckBytes()) {
          if (CheckFileBytes(file->Get(), pattern)) {
            list.Insert(rec.get(), 1, false, false);
            break;
          }
        }
      }
    }
  }

  if (!ext.empty()) {
    for (auto& rec : m_source) {
      const auto& e = rec->Extensions();
      if (std::find(e.begin(), e.end(), ext) != e.end()) list.Insert(rec.get(), 2, false, false);
    }
  }

  for (auto& rec : m_source)
    if (rec->Protocols().empty() && rec->Extensions().empty() && rec->CheckBytes().empty())
      list.Insert(rec.get(), 3, false, false);

  if (!file) {
    RegKey key;
    if (key.Open(HKEY_CLASSES_ROOT, protocol)) {
      RegKey exts;
      GUID clsid;
      if (!ext.empty() && exts.Open(key, L"Extensions") && exts.Guid(ext.c_str(), clsid))
        list.Insert(std::make_unique<CFGFilterRegistry>(clsid).release(), 4);
      if (key.Guid(L"Source Filter", clsid)) list.Insert(std::make_unique<CFGFilterRegistry>(clsid).release(), 5);
    }
    list.Insert(std::make_unique<CFGFilterRegistry>(CLSID_URLReader).release(), 6);
  } else {
    RegKey types;
    if (types.Open(HKEY_CLASSES_ROOT, L"Media Type")) {
      std::wstring majorName;
      for (DWORD mi = 0; mi < kMaxKeys && types.SubKey(mi, majorName); ++mi) {
        GUID major;
        RegKey majorKey;
        if (FAILED(CLSIDFromString(majorName.c_str(), &major)) || !majorKey.Open(types, majorName)) continue;
        std::wstring subName;
        for (DWORD si = 0; si < kMaxKeys && majorKey.SubKey(si, subName); ++si) {
          GUID sub, source;
          RegKey subKey;
          if (FAILED(CLSIDFromString(subName.c_str(), &sub)) || !subKey.Open(majorKey, subName)) continue;
          if (!subKey.Guid(L"Source Filter", source) || source == GUID_NULL) continue;
          for (DWORD vi = 0; vi < kMaxKeys; ++vi) {
            wchar_t valueName[256];
            DWORD chars = 256, type = 0, bytes = 0;
            if (RegEnumValueW(subKey, vi, valueName, &chars, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS)
              break;
            std::wstring pattern;
            if (!subKey.String(valueName, pattern) || !CheckFileBytes(file->Get(), pattern)) continue;
            auto rec = std::make_unique<CFGFilterRegistry>(source);
            rec->AddType(major, sub);
            list.Insert(rec.release(), 7);
            break;
          }
        }
      }
    }
  }

  if (!ext.empty()) {
    RegKey key;
    GUID source, major, sub;
    if (key.Open(HKEY_CLASSES_ROOT, L"Media Type\\Extensions\\" + ext) && key.Guid(L"Source Filter", source)) {
      key.Guid(L"Media Type", major);
      key.Guid(L"Subtype", sub);
      auto rec = std::make_unique<CFGFilterRegistry>(source);
      rec->AddType(major, sub);
      list.Insert(rec.release(), 8);
    }
  }

  file.reset();

  auto reader = std::make_unique<CFGFilterRegistry>(CLSID_AsyncReader);
  reader->AddType(MEDIATYPE_Stream, GUID_NULL);
  list.Insert(reader.release(), 9);
  return S_OK;
}

void CFGManager::RemoveSourceChain(IBaseFilter* source) {
  CComPtr<IBaseFilter> keep(source);
  RemoveDownstream(source);
  std::vector<CComPtr<IBaseFilter>> upstream;
  for (IBaseFilter* f = GetUpstreamFilter(source); f && upstream.size() < 64; f = GetUpstreamFilter(f)) {
    if (std::find(upstream.begin(), upstream.end(), f) != upstream.end()) break;
    upstream.push_back(f);
  }
  RemoveFilter(source);
  for (auto& f : upstream) RemoveFilter(f);
}

HRESULT CFGManager::SwapAviSource(IBaseFilter* aviSource, LPCWSTR fileName, LPCWSTR filterName,
                                  CComPtr<IBaseFilter>& result) {
  // Everything that can fail without touching the graph comes first, so the
  // working AVI source stays in place when the replacement cannot be made.
  CComPtr<IFileSourceFilter> readerLoad;
  HRESULT hr = CoCreateInstance(CLSID_AsyncReader, nullptr, CLSCTX_ALL, IID_IFileSourceFilter,
                                reinterpret_cast<void**>(&readerLoad));
  if (FAILED(hr)) return hr;
  if (FAILED(hr = readerLoad->Load(fileName, nullptr))) return hr;
  CComQIPtr<IBaseFilter> reader(readerLoad);
  if (!reader) return E_NOINTERFACE;
  CComPtr<IBaseFilter> splitter;
  hr = CoCreateInstance(CLSID_AviSplitter, nullptr, CLSCTX_ALL, IID_IBaseFilter, reinterpret_cast<void**>(&splitter));
  if (FAILED(hr)) return hr;

  CComPtr<IBaseFilter> keep(aviSource);
  RemoveFilter(aviSource);
  hr = AddFilter(reader, filterName);
  if (SUCCEEDED(hr)) {
    hr = AddFilter(splitter, L"AVI Splitter");
    if (SUCCEEDED(hr)) {
      hr = ConnectPinToFilterDirect(GetFirstPinByDirection(reader, PINDIR_OUTPUT), splitter, nullptr);
      if (hr == S_OK) {
        result = splitter;
        return S_OK;
      }
      if (SUCCEEDED(hr)) hr = VFW_E_CANNOT_CONNECT;
      RemoveFilter(splitter);
    }
    RemoveFilter(reader);
  }
  // Put the AVI source back under its name.
  if (HRESULT back = AddFilter(aviSource, filterName); FAILED(back)) return back;
  result = aviSource;
  return S_FALSE;
}

HRESULT CFGManager::AddSourceFilterFromRecord(CFGFilter* record, LPCWSTR fileName, LPCWSTR filterName,
                                              IBaseFilter** filter) {
  CAutoLock lock(&m_lock);
  try {
    return AddSourceFromRecordImpl(record, fileName, filterName, filter, 0);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CFGManager::AddSourceFromRecordImpl(CFGFilter* record, LPCWSTR fileName, LPCWSTR filterName,
                                            IBaseFilter** filter, int asfSwaps) {
  if (!record || !fileName || !filter) return E_POINTER;
  *filter = nullptr;
  std::vector<CComPtr<IUnknown>> extra;
  CComPtr<IBaseFilter> source;
  HRESULT hr = record->Create(&source, extra);
  if (FAILED(hr)) return hr;
  if (!source) return E_FAIL;
  CComQIPtr<IFileSourceFilter> load(source);
  if (!load) return E_NOINTERFACE;
  if (FAILED(hr = AddFilter(source, filterName))) return hr;

  const std::vector<GUID>& types = record->GetTypes();
  CMediaType mt;
  const bool withType = types.size() == 2 && !(types[0] == GUID_NULL && types[1] == GUID_NULL);
  if (withType) {
    mt.majortype = types[0];
    mt.subtype = types[1];
  }
  if (FAILED(hr = load->Load(fileName, withType ? &mt : nullptr))) {
    RemoveFilter(source);
    return hr;
  }

  if (record->GetCLSID() == CLSID_AviSourceFilter) {
    CComPtr<IBaseFilter> replaced;
    if (SUCCEEDED(SwapAviSource(source, fileName, filterName, replaced)) && replaced) source = replaced;
  }

  // A source that turns out to carry ASF streams is read by the platform's
  // ASF source instead, once: that source is never swapped again.
  if (asfSwaps == 0 && record->GetCLSID() != CLSID_NetShowSource) {
    bool asf = false;
    if (IPin* out = GetFirstPinByDirection(source, PINDIR_OUTPUT)) {
      CComPtr<IEnumMediaTypes> e;
      if (SUCCEEDED(out->EnumMediaTypes(&e)) && e) {
        AM_MEDIA_TYPE* pmt = nullptr;
        for (int n = 0; n < 1024 && e->Next(1, &pmt, nullptr) == S_OK && pmt; ++n) {
          const GUID sub = pmt->subtype;
          DeleteMediaType(pmt);
          pmt = nullptr;
          if (sub == MEDIASUBTYPE_Asf640999A0 || sub == MEDIASUBTYPE_Asf640999A1 || sub == MEDIASUBTYPE_AsfD51BD5AE) {
            asf = true;
            break;
          }
        }
      }
    }
    if (asf) {
      RemoveSourceChain(source);
      CFGFilterRegistry netShow(CLSID_NetShowSource);
      return AddSourceFromRecordImpl(&netShow, fileName, filterName, filter, asfSwaps + 1);
    }
  }

  *filter = source.Detach();
  for (auto& unk : extra) m_pUnks.push_back(unk);
  return S_OK;
}

HRESULT CFGManager::AddSourceFilterWithFormat(LPCWSTR fileName, LPCWSTR filterName, IBaseFilter** filter,
                                              DWORD* sourceFormat) {
  CAutoLock lock(&m_lock);
  try {
    CFGFilterList list;
    HRESULT hr = EnumSourceFilters(fileName, list);
    if (FAILED(hr)) return hr;
    for (auto pos = list.GetHeadPosition(); pos;) {
      CFGFilter* record = list.GetNext(pos);
      if (sourceFormat) *sourceFormat = 0;
      if (SUCCEEDED(AddSourceFilterFromRecord(record, fileName, filterName, filter))) {
        if (sourceFormat) *sourceFormat = record->GetSourceFormat();
        if (record->GetCLSID() == CLSID_AsyncReader) NoteUnreadFormat(fileName);
        return S_OK;
      }
    }
    return VFW_E_CANNOT_LOAD_SOURCE_FILTER;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

void CFGManager::NoteUnreadFormat(LPCWSTR fileName) const {
  if (m_unread.empty()) return;
  // A source that refused the file said why already.
  if (std::string earlier = TakeSourceRefusal(); !earlier.empty()) return SetSourceRefusal(earlier);
  FileHandle file(Trim(fileName));
  if (!file.IsOpen()) return;
  for (const UnreadFormat& format : m_unread)
    for (const std::wstring& pattern : format.patterns)
      if (CheckFileBytes(file.Get(), pattern)) return SetSourceRefusal(format.text);
}

HRESULT CFGManager::AddSourceFilter(LPCWSTR fileName, LPCWSTR filterName, IBaseFilter** filter) {
  DWORD ignored = 0;
  return AddSourceFilterWithFormat(fileName, filterName, filter, &ignored);
}
