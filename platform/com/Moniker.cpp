#include "platform/com/Moniker.h"

#include <cwchar>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace {

// Lets item monikers recognise each other in IsEqual without going through
// display names (which would make "!" + "a!b" equal to "!a" + "!b").
struct IItemMonikerParts : IUnknown {
  virtual const std::wstring& Delimiter() const = 0;
  virtual const std::wstring& Item() const = 0;

 protected:
  ~IItemMonikerParts() = default;
};
constexpr GUID IID_IItemMonikerParts = MakeGuid("{6F1C7A52-3E0B-4D8A-9C21-58B4E2D0A917}");

LPOLESTR TaskString(const std::wstring& s) {
  auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((s.size() + 1) * sizeof(OLECHAR)));
  if (out) std::wmemcpy(out, s.c_str(), s.size() + 1);
  return out;
}

class CItemMoniker final : public IMoniker, public IItemMonikerParts {
 public:
  CItemMoniker(std::wstring delimiter, std::wstring item) : delimiter_(std::move(delimiter)), item_(std::move(item)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IMoniker || riid == IID_IPersist || riid == IID_IPersistStream) {
      *ppv = static_cast<IMoniker*>(this);
    } else if (riid == IID_IItemMonikerParts) {
      *ppv = static_cast<IItemMonikerParts*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  const std::wstring& Delimiter() const override { return delimiter_; }
  const std::wstring& Item() const override { return item_; }

  // IPersist / IPersistStream
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override {
    if (!clsid) return E_POINTER;
    *clsid = CLSID_ItemMoniker;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsDirty() override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE Load(IStream*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Save(IStream*, BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }

  // IMoniker
  HRESULT STDMETHODCALLTYPE BindToObject(IBindCtx*, IMoniker*, REFIID, void** ppv) override {
    if (ppv) *ppv = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE BindToStorage(IBindCtx*, IMoniker*, REFIID, void** ppv) override {
    if (ppv) *ppv = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Reduce(IBindCtx*, DWORD, IMoniker** toLeft, IMoniker** reduced) override {
    if (!reduced) return E_POINTER;
    (void)toLeft;
    *reduced = static_cast<IMoniker*>(this);
    AddRef();
    return MK_S_REDUCED_TO_SELF;
  }
  HRESULT STDMETHODCALLTYPE ComposeWith(IMoniker*, BOOL, IMoniker** composite) override {
    if (composite) *composite = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Enum(BOOL, IEnumMoniker** out) override {
    // A simple moniker has no parts to enumerate.
    if (!out) return E_POINTER;
    *out = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsEqual(IMoniker* other) override {
    if (!other) return E_INVALIDARG;
    IItemMonikerParts* parts = nullptr;
    if (FAILED(other->QueryInterface(IID_IItemMonikerParts, reinterpret_cast<void**>(&parts))) || !parts)
      return S_FALSE;
    bool same = parts->Delimiter() == delimiter_ && parts->Item() == item_;
    parts->Release();
    return same ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Hash(DWORD* hash) override {
    if (!hash) return E_POINTER;
    // FNV-1a over both parts, so equal monikers hash alike.
    uint32_t h = 2166136261u;
    for (const std::wstring* part : {&delimiter_, &item_}) {
      for (wchar_t c : *part) h = (h ^ static_cast<uint32_t>(c)) * 16777619u;
      h = (h ^ 0xFFFFu) * 16777619u;
    }
    *hash = h;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsRunning(IBindCtx*, IMoniker*, IMoniker*) override;
  HRESULT STDMETHODCALLTYPE GetTimeOfLastChange(IBindCtx*, IMoniker*, FILETIME*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Inverse(IMoniker** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CommonPrefixWith(IMoniker*, IMoniker** prefix) override {
    if (prefix) *prefix = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE RelativePathTo(IMoniker*, IMoniker** relPath) override {
    if (relPath) *relPath = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDisplayName(IBindCtx*, IMoniker*, LPOLESTR* name) override {
    if (!name) return E_POINTER;
    *name = nullptr;
    try {
      *name = TaskString(delimiter_ + item_);
    } catch (const std::bad_alloc&) {
    }
    return *name ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE ParseDisplayName(IBindCtx*, IMoniker*, LPOLESTR, ULONG* eaten,
                                             IMoniker** out) override {
    if (eaten) *eaten = 0;
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE IsSystemMoniker(DWORD* mksys) override {
    if (!mksys) return E_POINTER;
    *mksys = MKSYS_ITEMMONIKER;
    return S_OK;
  }

 private:
  ~CItemMoniker() = default;

  std::atomic<ULONG> refs_{1};
  const std::wstring delimiter_;
  const std::wstring item_;
};

// ---------------------------------------------------------------------------

class CRunningObjectTable final : public IRunningObjectTable {
 public:
  static CRunningObjectTable& Instance() {
    // Never destroyed: entries left at exit stay reachable instead of being
    // released while the rest of the process is torn down.
    static CRunningObjectTable* table = new CRunningObjectTable;
    return *table;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IRunningObjectTable) {
      *ppv = static_cast<IRunningObjectTable*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // The process-wide table lives as long as the process.
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE Register(DWORD flags, IUnknown* object, IMoniker* name, DWORD* cookie) override {
    if (cookie) *cookie = 0;
    if (!object || !name || !cookie) return E_INVALIDARG;
    if (flags & ~(ROTFLAGS_REGISTRATIONKEEPSALIVE | ROTFLAGS_ALLOWANYCLIENT)) return E_INVALIDARG;
    // Compare names before taking the lock: IsEqual is foreign code.
    std::vector<CComPtr<IMoniker>> names = Names();
    bool duplicate = false;
    for (auto& existing : names)
      if (name->IsEqual(existing) == S_OK) duplicate = true;
    try {
      std::lock_guard lock(mutex_);
      do {
        ++next_;
      } while (next_ == 0 || entries_.count(next_));
      entries_.emplace(next_, Entry{CComPtr<IUnknown>(object), CComPtr<IMoniker>(name), FILETIME{}});
      *cookie = next_;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return duplicate ? MK_S_MONIKERALREADYREGISTERED : S_OK;
  }

  HRESULT STDMETHODCALLTYPE Revoke(DWORD cookie) override {
    Entry removed;
    {
      std::lock_guard lock(mutex_);
      auto it = entries_.find(cookie);
      if (it == entries_.end()) return E_INVALIDARG;
      removed = std::move(it->second);
      entries_.erase(it);
    }
    // `removed` releases its object here, outside the lock: the object's
    // destructor may well revoke or register entries of its own.
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE IsRunning(IMoniker* name) override {
    if (!name) return E_INVALIDARG;
    CComPtr<IUnknown> object;
    return Find(name, object) ? S_OK : S_FALSE;
  }

  HRESULT STDMETHODCALLTYPE GetObject(IMoniker* name, IUnknown** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!name) return E_INVALIDARG;
    CComPtr<IUnknown> found;
    if (!Find(name, found)) return MK_E_UNAVAILABLE;
    *object = found.Detach();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE NoteChangeTime(DWORD cookie, FILETIME* time) override {
    if (!time) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    auto it = entries_.find(cookie);
    if (it == entries_.end()) return E_INVALIDARG;
    it->second.changed = *time;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetTimeOfLastChange(IMoniker* name, FILETIME* time) override {
    if (!name || !time) return E_INVALIDARG;
    std::vector<std::pair<CComPtr<IMoniker>, FILETIME>> snapshot;
    {
      std::lock_guard lock(mutex_);
      for (auto& [cookie, entry] : entries_) snapshot.emplace_back(entry.name, entry.changed);
    }
    for (auto& [candidate, changed] : snapshot) {
      if (name->IsEqual(candidate) == S_OK) {
        *time = changed;
        return S_OK;
      }
    }
    return MK_E_UNAVAILABLE;
  }

  HRESULT STDMETHODCALLTYPE EnumRunning(IEnumMoniker** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    try {
      return CEnumMoniker::Create(Names(), out);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

 private:
  struct Entry {
    CComPtr<IUnknown> object;
    CComPtr<IMoniker> name;
    FILETIME changed;
  };

  CRunningObjectTable() = default;

  // Registration order (cookies only grow until they wrap).
  std::vector<CComPtr<IMoniker>> Names() {
    std::lock_guard lock(mutex_);
    std::vector<CComPtr<IMoniker>> names;
    names.reserve(entries_.size());
    for (auto& [cookie, entry] : entries_) names.push_back(entry.name);
    return names;
  }

  bool Find(IMoniker* name, CComPtr<IUnknown>& object) {
    std::vector<std::pair<CComPtr<IMoniker>, CComPtr<IUnknown>>> snapshot;
    {
      std::lock_guard lock(mutex_);
      for (auto& [cookie, entry] : entries_) snapshot.emplace_back(entry.name, entry.object);
    }
    for (auto& [candidate, candidateObject] : snapshot) {
      if (name->IsEqual(candidate) == S_OK) {
        object = candidateObject;
        return true;
      }
    }
    return false;
  }

  std::mutex mutex_;
  std::map<DWORD, Entry> entries_;
  DWORD next_ = 0;
};

HRESULT CItemMoniker::IsRunning(IBindCtx*, IMoniker* toLeft, IMoniker* newlyRunning) {
  if (toLeft) return E_NOTIMPL;
  if (newlyRunning) return IsEqual(newlyRunning);
  return CRunningObjectTable::Instance().IsRunning(static_cast<IMoniker*>(this));
}

// ---------------------------------------------------------------------------

class CBindCtx final : public IBindCtx {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IBindCtx) {
      *ppv = static_cast<IBindCtx*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE RegisterObjectBound(IUnknown* object) override {
    if (!object) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    bound_.emplace_back(object);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RevokeObjectBound(IUnknown* object) override {
    CComPtr<IUnknown> removed;
    std::lock_guard lock(mutex_);
    for (auto it = bound_.begin(); it != bound_.end(); ++it) {
      if (it->p == object) {
        removed = std::move(*it);
        bound_.erase(it);
        return S_OK;
      }
    }
    return MK_E_NOTBOUND;
  }
  HRESULT STDMETHODCALLTYPE ReleaseBoundObjects() override {
    std::vector<CComPtr<IUnknown>> released;
    std::lock_guard lock(mutex_);
    released.swap(bound_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetBindOptions(BIND_OPTS* opts) override {
    if (!opts || opts->cbStruct < sizeof(BIND_OPTS)) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    options_ = *opts;
    options_.cbStruct = sizeof(BIND_OPTS);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBindOptions(BIND_OPTS* opts) override {
    if (!opts || opts->cbStruct < sizeof(BIND_OPTS)) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    *opts = options_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetRunningObjectTable(IRunningObjectTable** rot) override {
    return ::GetRunningObjectTable(0, rot);
  }
  HRESULT STDMETHODCALLTYPE RegisterObjectParam(LPOLESTR key, IUnknown* object) override {
    if (!key || !object) return E_INVALIDARG;
    try {
      CComPtr<IUnknown> old;
      std::lock_guard lock(mutex_);
      CComPtr<IUnknown>& slot = params_[key];
      old = std::move(slot);
      slot = object;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetObjectParam(LPOLESTR key, IUnknown** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!key) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    auto it = params_.find(key);
    if (it == params_.end()) return E_FAIL;
    return it->second.CopyTo(object);
  }
  HRESULT STDMETHODCALLTYPE EnumObjectParam(IEnumString** keys) override {
    if (keys) *keys = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE RevokeObjectParam(LPOLESTR key) override {
    if (!key) return E_INVALIDARG;
    CComPtr<IUnknown> removed;
    std::lock_guard lock(mutex_);
    auto it = params_.find(key);
    if (it == params_.end()) return S_FALSE;
    removed = std::move(it->second);
    params_.erase(it);
    return S_OK;
  }

 private:
  ~CBindCtx() = default;

  std::atomic<ULONG> refs_{1};
  std::mutex mutex_;
  std::vector<CComPtr<IUnknown>> bound_;
  std::map<std::wstring, CComPtr<IUnknown>> params_;
  BIND_OPTS options_{sizeof(BIND_OPTS), 0, 0x2 /* read/write */, 0};
};

}  // namespace

HRESULT CreateBindCtx(DWORD reserved, IBindCtx** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (reserved) return E_INVALIDARG;
  try {
    *out = new CBindCtx;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CreateItemMoniker(LPCOLESTR delimiter, LPCOLESTR item, IMoniker** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (!item) return E_INVALIDARG;
  try {
    *out = new CItemMoniker(delimiter ? delimiter : L"", item);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT GetRunningObjectTable(DWORD reserved, IRunningObjectTable** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (reserved) return E_INVALIDARG;
  *out = &CRunningObjectTable::Instance();
  return S_OK;
}
