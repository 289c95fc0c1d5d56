// Metadata a splitter and its output pins expose to the graph: named text
// properties, attached resources (fonts, cover pictures...) and chapters.
//
// The *Impl classes are mix-ins: they implement the interface methods only;
// the object that inherits them supplies reference counting and answers the
// interface ids in its QueryInterface.
#pragma once

#include <string>
#include <vector>

#include "platform/com/Com.h"
#include "platform/dshow/DShow.h"

struct IDSMPropertyBag : IPropertyBag2 {
  STDMETHOD(SetProperty)(LPCWSTR key, VARIANT* var) = 0;
  STDMETHOD(SetPropertyText)(LPCWSTR key, LPCWSTR value) = 0;
  STDMETHOD(GetProperty)(LPCWSTR key, BSTR* value) = 0;
  STDMETHOD(RemoveAllProperties)() = 0;
  STDMETHOD(RemoveProperty)(LPCWSTR key) = 0;

 protected:
  ~IDSMPropertyBag() = default;
};
PELLOMAR_INTERFACE_ID(IDSMPropertyBag, "232FD5D2-4954-41E7-BF9B-09E1257B1A95");

struct IDSMResourceBag : IUnknown {
  STDMETHOD_(DWORD, GetResourceCount)() = 0;
  STDMETHOD(GetResource)(DWORD index, BSTR* name, BSTR* desc, BSTR* mime, BYTE** data, DWORD* length,
                         DWORD_PTR* tag) = 0;
  STDMETHOD(SetResource)(DWORD index, LPCWSTR name, LPCWSTR desc, LPCWSTR mime, const BYTE* data, DWORD length,
                         DWORD_PTR tag) = 0;
  STDMETHOD(AppendResource)(LPCWSTR name, LPCWSTR desc, LPCWSTR mime, const BYTE* data, DWORD length,
                            DWORD_PTR tag) = 0;
  STDMETHOD(RemoveResourceAt)(DWORD index) = 0;
  STDMETHOD(RemoveResourcesByTag)(DWORD_PTR tag) = 0;

 protected:
  ~IDSMResourceBag() = default;
};
PELLOMAR_INTERFACE_ID(IDSMResourceBag, "EBAFBCBE-BDE0-489A-9789-05D5692E3A93");

struct IDSMChapterBag : IUnknown {
  STDMETHOD_(DWORD, GetChapterCount)() = 0;
  STDMETHOD(GetChapter)(DWORD index, REFERENCE_TIME* start, BSTR* name) = 0;
  STDMETHOD(SetChapter)(DWORD index, REFERENCE_TIME start, LPCWSTR name) = 0;
  STDMETHOD(AppendChapter)(REFERENCE_TIME start, LPCWSTR name) = 0;
  STDMETHOD(RemoveChapterAt)(DWORD index) = 0;
  STDMETHOD(RemoveAllChapters)() = 0;
  STDMETHOD_(LONG, FindChapter)(REFERENCE_TIME* start, BSTR* name) = 0;
  STDMETHOD(SortChapters)() = 0;

 protected:
  ~IDSMChapterBag() = default;
};
PELLOMAR_INTERFACE_ID(IDSMChapterBag, "2D0EBE73-BA82-4E90-859B-C7C48ED3650F");

// Named text values in insertion order; a lookup finds the first pair with
// the name, compared exactly. Also serves IPropertyBag over the same data.
class IDSMPropertyBagImpl : public IDSMPropertyBag, public IPropertyBag {
 public:
  virtual ~IDSMPropertyBagImpl() = default;

  // IPropertyBag2
  STDMETHODIMP Read(ULONG count, PROPBAG2* props, IErrorLog* errorLog, VARIANT* values, HRESULT* results) override;
  STDMETHODIMP Write(ULONG count, PROPBAG2* props, VARIANT* values) override;
  STDMETHODIMP CountProperties(ULONG* count) override;
  // E_INVALIDARG when the range runs past the pairs; nothing is handed out
  // then.
  STDMETHODIMP GetPropertyInfo(ULONG first, ULONG count, PROPBAG2* props, ULONG* filled) override;
  STDMETHODIMP LoadObject(LPCOLESTR name, DWORD hint, IUnknown* object, IErrorLog* errorLog) override;

  // IPropertyBag
  STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog* errorLog) override;
  STDMETHODIMP Write(LPCOLESTR name, VARIANT* value) override;

  // IDSMPropertyBag
  STDMETHODIMP SetProperty(LPCWSTR key, VARIANT* var) override;
  // Replaces the value of the first pair with the name, else appends one.
  STDMETHODIMP SetPropertyText(LPCWSTR key, LPCWSTR value) override;
  STDMETHODIMP GetProperty(LPCWSTR key, BSTR* value) override;
  STDMETHODIMP RemoveAllProperties() override;
  STDMETHODIMP RemoveProperty(LPCWSTR key) override;

 private:
  // Index of the first pair with the name, or -1.
  ptrdiff_t Find(LPCWSTR key) const;

  std::vector<std::wstring> m_keys;
  std::vector<std::wstring> m_values;
};

class CDSMResource {
 public:
  CDSMResource() = default;
  CDSMResource(const CDSMResource&) = default;
  CDSMResource& operator=(const CDSMResource&) = default;
  virtual ~CDSMResource() = default;

  DWORD_PTR tag = 0;
  std::wstring name, desc, mime = L"application/octet-stream";
  std::vector<BYTE> data;
};

class IDSMResourceBagImpl : public IDSMResourceBag {
 public:
  virtual ~IDSMResourceBagImpl() = default;

  STDMETHODIMP_(DWORD) GetResourceCount() override;
  // The strings come back as new BSTRs and the data as a task-memory copy;
  // the caller frees them.
  STDMETHODIMP GetResource(DWORD index, BSTR* name, BSTR* desc, BSTR* mime, BYTE** data, DWORD* length,
                           DWORD_PTR* tag) override;
  // Null strings keep their field; null data with a non-zero length keeps
  // the data.
  STDMETHODIMP SetResource(DWORD index, LPCWSTR name, LPCWSTR desc, LPCWSTR mime, const BYTE* data, DWORD length,
                           DWORD_PTR tag) override;
  STDMETHODIMP AppendResource(LPCWSTR name, LPCWSTR desc, LPCWSTR mime, const BYTE* data, DWORD length,
                              DWORD_PTR tag) override;
  STDMETHODIMP RemoveResourceAt(DWORD index) override;
  // Tag 0 removes every resource.
  STDMETHODIMP RemoveResourcesByTag(DWORD_PTR tag) override;

 protected:
  std::vector<CDSMResource> m_resources;
};

class CDSMChapter {
 public:
  // A new chapter takes the next number of the process-wide order, so that
  // chapters with equal start times keep the order they were made in.
  CDSMChapter();
  CDSMChapter(REFERENCE_TIME start, std::wstring name);

  int order;
  REFERENCE_TIME rtStart = 0;
  std::wstring name;
};

class IDSMChapterBagImpl : public IDSMChapterBag {
 public:
  virtual ~IDSMChapterBagImpl() = default;

  STDMETHODIMP_(DWORD) GetChapterCount() override;
  STDMETHODIMP GetChapter(DWORD index, REFERENCE_TIME* start, BSTR* name) override;
  STDMETHODIMP SetChapter(DWORD index, REFERENCE_TIME start, LPCWSTR name) override;
  STDMETHODIMP AppendChapter(REFERENCE_TIME start, LPCWSTR name) override;
  STDMETHODIMP RemoveChapterAt(DWORD index) override;
  STDMETHODIMP RemoveAllChapters() override;
  // The index of the last chapter starting at or before *start (which then
  // receives that chapter's start), or -1.
  STDMETHODIMP_(LONG) FindChapter(REFERENCE_TIME* start, BSTR* name) override;
  // S_FALSE when already sorted.
  STDMETHODIMP SortChapters() override;

 protected:
  std::vector<CDSMChapter> m_chapters;
  bool m_fSorted = false;
};
