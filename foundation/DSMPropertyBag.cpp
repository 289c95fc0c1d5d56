#include "foundation/DSMPropertyBag.h"

#include "platform/dshow/Unknown.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

// A BSTR copy of a stored string; null (and false) when out of memory.
bool CopyToBstr(const std::wstring& text, BSTR* out) {
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out != nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Property bag

ptrdiff_t IDSMPropertyBagImpl::Find(LPCWSTR key) const {
  for (size_t i = 0; i < m_keys.size(); ++i)
    if (m_keys[i] == key) return static_cast<ptrdiff_t>(i);
  return -1;
}

STDMETHODIMP IDSMPropertyBagImpl::Read(ULONG count, PROPBAG2* props, IErrorLog*, VARIANT* values, HRESULT* results) {
  CheckPointer(props, E_POINTER);
  CheckPointer(values, E_POINTER);
  CheckPointer(results, E_POINTER);
  for (ULONG i = 0; i < count; ++i) {
    const ptrdiff_t at = props[i].pstrName ? Find(props[i].pstrName) : -1;
    static const std::wstring empty;
    const std::wstring& value = at >= 0 ? m_values[static_cast<size_t>(at)] : empty;
    VariantInit(&values[i]);
    BSTR text = nullptr;
    if (!CopyToBstr(value, &text)) {
      for (ULONG j = 0; j < i; ++j) VariantClear(&values[j]);
      return E_OUTOFMEMORY;
    }
    values[i].vt = VT_BSTR;
    values[i].bstrVal = text;
    results[i] = S_OK;
  }
  return S_OK;
}

STDMETHODIMP IDSMPropertyBagImpl::Write(ULONG count, PROPBAG2* props, VARIANT* values) {
  CheckPointer(props, E_POINTER);
  CheckPointer(values, E_POINTER);
  for (ULONG i = 0; i < count; ++i) SetProperty(props[i].pstrName, &values[i]);
  return S_OK;
}

STDMETHODIMP IDSMPropertyBagImpl::CountProperties(ULONG* count) {
  CheckPointer(count, E_POINTER);
  *count = static_cast<ULONG>(m_keys.size());
  return S_OK;
}

STDMETHODIMP IDSMPropertyBagImpl::GetPropertyInfo(ULONG first, ULONG count, PROPBAG2* props, ULONG* filled) {
  CheckPointer(props, E_POINTER);
  CheckPointer(filled, E_POINTER);
  *filled = 0;
  const size_t n = m_keys.size();
  if (first > n || count > n - first) return E_INVALIDARG;
  for (ULONG i = 0; i < count; ++i) {
    const std::wstring& key = m_keys[first + i];
    auto* name = static_cast<LPOLESTR>(CoTaskMemAlloc((key.size() + 1) * sizeof(OLECHAR)));
    if (!name) {
      for (ULONG j = 0; j < i; ++j) {
        CoTaskMemFree(props[j].pstrName);
        props[j].pstrName = nullptr;
      }
      *filled = 0;
      return E_FAIL;
    }
    std::memcpy(name, key.c_str(), (key.size() + 1) * sizeof(OLECHAR));
    props[i].pstrName = name;
    ++*filled;
  }
  return S_OK;
}

STDMETHODIMP IDSMPropertyBagImpl::LoadObject(LPCOLESTR, DWORD, IUnknown*, IErrorLog*) { return E_NOTIMPL; }

STDMETHODIMP IDSMPropertyBagImpl::Read(LPCOLESTR name, VARIANT* value, IErrorLog*) {
  CheckPointer(value, E_POINTER);
  if (value->vt != VT_EMPTY) return E_INVALIDARG;
  const ptrdiff_t at = name ? Find(name) : -1;
  if (at < 0 || m_values[static_cast<size_t>(at)].empty()) return E_FAIL;
  BSTR text = nullptr;
  if (!CopyToBstr(m_values[static_cast<size_t>(at)], &text)) return E_OUTOFMEMORY;
  value->vt = VT_BSTR;
  value->bstrVal = text;
  return S_OK;
}

STDMETHODIMP IDSMPropertyBagImpl::Write(LPCOLESTR name, VARIANT* value) { return SetProperty(name, value); }

STDMETHODIMP IDSMPropertyBagImpl::SetProperty(LPCWSTR key, VARIANT* var) {
  CheckPointer(key, E_POINTER);
  CheckPointer(var, E_POINTER);
  if (var->vt != VT_BSTR) return E_INVALIDARG;
  // A null BSTR is the empty string.
  return SetPropertyText(key, var->bstrVal ? var->bstrVal : L"");
}

STDMETHODIMP IDSMPropertyBagImpl::SetPropertyText(LPCWSTR key, LPCWSTR value) {
  CheckPointer(key, E_POINTER);
  CheckPointer(value, E_POINTER);
  // Only a non-empty value is replaced; a name whose first value is empty
  // gets a second pair, which lookups do not reach (callers set no empty
  // value they mean to replace).
  const ptrdiff_t at = Find(key);
  if (at >= 0 && !m_values[static_cast<size_t>(at)].empty()) {
    m_values[static_cast<size_t>(at)] = value;
  } else {
    m_keys.emplace_back(key);
    m_values.emplace_back(value);
  }
  return S_OK;
}

STDMETHODIMP IDSMPropertyBagImpl::GetProperty(LPCWSTR key, BSTR* value) {
  CheckPointer(key, E_POINTER);
  CheckPointer(value, E_POINTER);
  const ptrdiff_t at = Find(key);
  if (at < 0) return E_FAIL;
  return CopyToBstr(m_values[static_cast<size_t>(at)], value) ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP IDSMPropertyBagImpl::RemoveAllProperties() {
  m_keys.clear();
  m_values.clear();
  return S_OK;
}

STDMETHODIMP IDSMPropertyBagImpl::RemoveProperty(LPCWSTR key) {
  CheckPointer(key, E_POINTER);
  const ptrdiff_t at = Find(key);
  if (at < 0) return S_FALSE;
  m_keys.erase(m_keys.begin() + at);
  m_values.erase(m_values.begin() + at);
  return S_OK;
}

// ---------------------------------------------------------------------------
// Resource bag

STDMETHODIMP_(DWORD) IDSMResourceBagImpl::GetResourceCount() { return static_cast<DWORD>(m_resources.size()); }

STDMETHODIMP IDSMResourceBagImpl::GetResource(DWORD index, BSTR* name, BSTR* desc, BSTR* mime, BYTE** data,
                                              DWORD* length, DWORD_PTR* tag) {
  if (data && !length) return E_POINTER;
  if (index >= m_resources.size()) return E_INVALIDARG;
  const CDSMResource& r = m_resources[index];

  // Everything is made first and handed out only when all of it exists,
  // so a failure leaves the caller owning nothing.
  CComBSTR n, d, m;
  if ((name && !CopyToBstr(r.name, &n.m_str)) || (desc && !CopyToBstr(r.desc, &d.m_str)) ||
      (mime && !CopyToBstr(r.mime, &m.m_str)))
    return E_OUTOFMEMORY;
  BYTE* copy = nullptr;
  if (data) {
    copy = static_cast<BYTE*>(CoTaskMemAlloc(r.data.size()));
    if (!copy) return E_OUTOFMEMORY;
    if (!r.data.empty()) std::memcpy(copy, r.data.data(), r.data.size());
  }

  if (name) *name = n.Detach();
  if (desc) *desc = d.Detach();
  if (mime) *mime = m.Detach();
  if (data) {
    *data = copy;
    *length = static_cast<DWORD>(r.data.size());
  }
  if (tag) *tag = r.tag;
  return S_OK;
}

STDMETHODIMP IDSMResourceBagImpl::SetResource(DWORD index, LPCWSTR name, LPCWSTR desc, LPCWSTR mime,
                                              const BYTE* data, DWORD length, DWORD_PTR tag) {
  if (index >= m_resources.size()) return E_INVALIDARG;
  CDSMResource& r = m_resources[index];
  if (name) r.name = name;
  if (desc) r.desc = desc;
  if (mime) r.mime = mime;
  if (data || length == 0) {
    if (data)
      r.data.assign(data, data + length);
    else
      r.data.clear();
  }
  r.tag = tag;
  return S_OK;
}

STDMETHODIMP IDSMResourceBagImpl::AppendResource(LPCWSTR name, LPCWSTR desc, LPCWSTR mime, const BYTE* data,
                                                 DWORD length, DWORD_PTR tag) {
  m_resources.emplace_back();
  return SetResource(static_cast<DWORD>(m_resources.size() - 1), name, desc, mime, data, length, tag);
}

STDMETHODIMP IDSMResourceBagImpl::RemoveResourceAt(DWORD index) {
  if (index >= m_resources.size()) return E_INVALIDARG;
  m_resources.erase(m_resources.begin() + index);
  return S_OK;
}

STDMETHODIMP IDSMResourceBagImpl::RemoveResourcesByTag(DWORD_PTR tag) {
  if (tag == 0) {
    m_resources.clear();
    return S_OK;
  }
  for (size_t i = m_resources.size(); i-- > 0;)
    if (m_resources[i].tag == tag) m_resources.erase(m_resources.begin() + static_cast<ptrdiff_t>(i));
  return S_OK;
}

// ---------------------------------------------------------------------------
// Chapter bag

namespace {
std::atomic<int> g_chapterOrder{0};
}

CDSMChapter::CDSMChapter() : order(g_chapterOrder.fetch_add(1)) {}

CDSMChapter::CDSMChapter(REFERENCE_TIME start, std::wstring chapterName)
    : order(g_chapterOrder.fetch_add(1)), rtStart(start), name(std::move(chapterName)) {}

STDMETHODIMP_(DWORD) IDSMChapterBagImpl::GetChapterCount() { return static_cast<DWORD>(m_chapters.size()); }

STDMETHODIMP IDSMChapterBagImpl::GetChapter(DWORD index, REFERENCE_TIME* start, BSTR* name) {
  if (index >= m_chapters.size()) return E_INVALIDARG;
  const CDSMChapter& c = m_chapters[index];
  if (name && !CopyToBstr(c.name, name)) return E_OUTOFMEMORY;
  if (start) *start = c.rtStart;
  return S_OK;
}

STDMETHODIMP IDSMChapterBagImpl::SetChapter(DWORD index, REFERENCE_TIME start, LPCWSTR name) {
  if (index >= m_chapters.size()) return E_INVALIDARG;
  CDSMChapter& c = m_chapters[index];
  c.rtStart = start;
  if (name) c.name = name;
  m_fSorted = false;
  return S_OK;
}

STDMETHODIMP IDSMChapterBagImpl::AppendChapter(REFERENCE_TIME start, LPCWSTR name) {
  m_chapters.emplace_back();
  return SetChapter(static_cast<DWORD>(m_chapters.size() - 1), start, name);
}

STDMETHODIMP IDSMChapterBagImpl::RemoveChapterAt(DWORD index) {
  if (index >= m_chapters.size()) return E_INVALIDARG;
  m_chapters.erase(m_chapters.begin() + index);
  return S_OK;
}

STDMETHODIMP IDSMChapterBagImpl::RemoveAllChapters() {
  m_chapters.clear();
  m_fSorted = false;
  return S_OK;
}

STDMETHODIMP IDSMChapterBagImpl::SortChapters() {
  if (m_fSorted) return S_FALSE;
  std::sort(m_chapters.begin(), m_chapters.end(), [](const CDSMChapter& a, const CDSMChapter& b) {
    return a.rtStart != b.rtStart ? a.rtStart < b.rtStart : a.order < b.order;
  });
  m_fSorted = true;
  return S_OK;
}

STDMETHODIMP_(LONG) IDSMChapterBagImpl::FindChapter(REFERENCE_TIME* start, BSTR* name) {
  if (!start) return -1;
  SortChapters();

  const REFERENCE_TIME t = *start;
  const LONG n = static_cast<LONG>(m_chapters.size());
  LONG found = -1;
  if (n > 0 && t >= m_chapters[n - 1].rtStart) {
    found = n - 1;
  } else if (n >= 2) {
    LONG lo = 0, hi = n - 1, candidate = -1;
    while (lo < hi) {
      const LONG mid = (lo + hi) / 2;
      const REFERENCE_TIME at = m_chapters[mid].rtStart;
      if (t == at) {
        candidate = mid;
        break;
      }
      if (t < at) {
        candidate = -1;
        hi = hi == mid ? mid - 1 : mid;
      } else {
        candidate = mid;
        lo = lo == mid ? mid + 1 : mid;
      }
    }
    found = candidate;
  }

  if (found >= 0) {
    *start = m_chapters[found].rtStart;
    if (name) CopyToBstr(m_chapters[found].name, name);
  }
  return found;
}
