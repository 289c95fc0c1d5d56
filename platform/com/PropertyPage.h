// Property pages: an object that offers pages names their class ids
// (ISpecifyPropertyPages); a page (IPropertyPage) is shown in a frame that
// it reports to through IPropertyPageSite.
#pragma once

#include "platform/com/Unknown.h"

struct tagMSG;
using MSG = tagMSG;
using LPMSG = tagMSG*;

// A counted array of GUIDs; pElems is task memory, freed by the receiver.
struct CAUUID {
  ULONG cElems;
  GUID* pElems;
};

struct ISpecifyPropertyPages : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetPages(CAUUID* pages) = 0;

 protected:
  ~ISpecifyPropertyPages() = default;
};
PELLOMAR_INTERFACE_ID(ISpecifyPropertyPages, "B196B28B-BAB4-101A-B69C-00AA00341D07");

// The strings are task memory, freed by the receiver.
struct PROPPAGEINFO {
  ULONG cb;
  LPOLESTR pszTitle;
  SIZE size;
  LPOLESTR pszDocString;
  LPOLESTR pszHelpFile;
  DWORD dwHelpContext;
};

constexpr DWORD PROPPAGESTATUS_DIRTY = 0x1;
constexpr DWORD PROPPAGESTATUS_VALIDATE = 0x2;
constexpr DWORD PROPPAGESTATUS_CLEAN = 0x4;

struct IPropertyPageSite : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnStatusChange(DWORD flags) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* lcid) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPageContainer(IUnknown** container) = 0;
  virtual HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG* msg) = 0;

 protected:
  ~IPropertyPageSite() = default;
};
PELLOMAR_INTERFACE_ID(IPropertyPageSite, "B196B28C-BAB4-101A-B69C-00AA00341D07");

struct IPropertyPage : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetPageSite(IPropertyPageSite* site) = 0;
  virtual HRESULT STDMETHODCALLTYPE Activate(HWND parent, LPCRECT rect, BOOL modal) = 0;
  virtual HRESULT STDMETHODCALLTYPE Deactivate() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPageInfo(PROPPAGEINFO* info) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetObjects(ULONG count, IUnknown** objects) = 0;
  virtual HRESULT STDMETHODCALLTYPE Show(UINT cmdShow) = 0;
  virtual HRESULT STDMETHODCALLTYPE Move(LPCRECT rect) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsPageDirty() = 0;
  virtual HRESULT STDMETHODCALLTYPE Apply() = 0;
  virtual HRESULT STDMETHODCALLTYPE Help(LPCOLESTR helpDir) = 0;
  virtual HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG* msg) = 0;

 protected:
  ~IPropertyPage() = default;
};
PELLOMAR_INTERFACE_ID(IPropertyPage, "B196B28D-BAB4-101A-B69C-00AA00341D07");
