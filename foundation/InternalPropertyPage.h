// Property pages without dialog templates: CInternalPropertyPage is the
// IPropertyPage that a property frame talks to; it hosts a plain child
// window (CInternalPropertyPageWnd) that lays out its own controls.
// CInternalPropertyPageTempl binds the page to one window class, which
// supplies its title and size as static functions.
#pragma once

#include <memory>
#include <vector>

#include "platform/com/PropertyPage.h"
#include "platform/dshow/CritSec.h"
#include "platform/dshow/Unknown.h"
#include "platform/ui/GdiObject.h"
#include "platform/ui/Wnd.h"

class CInternalPropertyPageWnd : public CWnd {
 public:
  CInternalPropertyPageWnd();
  ~CInternalPropertyPageWnd() override;

  virtual BOOL CreatePageWindow(IPropertyPageSite* site, LPCRECT rect, CWnd* parent);
  virtual bool AttachObjects(const std::vector<IUnknown*>& objects) { return true; }
  virtual void DetachObjects() {}
  virtual bool ActivatePage() { return true; }
  virtual void DeactivatePage() {}
  virtual bool ApplySettings() { return true; }

  bool IsDirty() const { return m_fDirty; }
  void SetDirty(bool dirty = true) { m_fDirty = dirty; }
  CFont* GetDialogFont() { return &m_font; }
  CFont* GetMonoFont() { return &m_monofont; }
  int GetFontHeight() const { return m_fontheight; }

  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 protected:
  afx_msg BOOL OnEraseBkgnd(CDC* dc);

  bool m_fDirty = false;
  IPropertyPageSite* m_pPPSite = nullptr;
  CFont m_font;
  CFont m_monofont;
  int m_fontheight = 16;

  DECLARE_MESSAGE_MAP()
};

class CInternalPropertyPage : public CUnknown, public IPropertyPage {
 public:
  CInternalPropertyPage(LPUNKNOWN outer, HRESULT* phr);
  ~CInternalPropertyPage() override;

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // IPropertyPage
  HRESULT STDMETHODCALLTYPE SetPageSite(IPropertyPageSite* site) override;
  HRESULT STDMETHODCALLTYPE Activate(HWND parent, LPCRECT rect, BOOL modal) override;
  HRESULT STDMETHODCALLTYPE Deactivate() override;
  HRESULT STDMETHODCALLTYPE GetPageInfo(PROPPAGEINFO* info) override;
  HRESULT STDMETHODCALLTYPE SetObjects(ULONG count, IUnknown** objects) override;
  HRESULT STDMETHODCALLTYPE Show(UINT cmdShow) override;
  HRESULT STDMETHODCALLTYPE Move(LPCRECT rect) override;
  HRESULT STDMETHODCALLTYPE IsPageDirty() override;
  HRESULT STDMETHODCALLTYPE Apply() override;
  HRESULT STDMETHODCALLTYPE Help(LPCOLESTR helpDir) override;
  HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG* msg) override;

  // The hosted window object, for tests and frames; null before SetObjects.
  CInternalPropertyPageWnd* GetPageWindow() const { return m_pWnd.get(); }

 protected:
  virtual std::unique_ptr<CInternalPropertyPageWnd> GetWindow() = 0;
  virtual LPCSTR GetWindowTitle() = 0;
  virtual CSize GetWindowSize() = 0;

 private:
  void ReleaseObjects();

  CCritSec m_Lock;
  IPropertyPageSite* m_pPPSite = nullptr;
  std::vector<IUnknown*> m_pUnks;
  std::unique_ptr<CInternalPropertyPageWnd> m_pWnd;
};

template <class WndClass>
class CInternalPropertyPageTempl : public CInternalPropertyPage {
 public:
  CInternalPropertyPageTempl(LPUNKNOWN outer, HRESULT* phr) : CInternalPropertyPage(outer, phr) {}

 protected:
  std::unique_ptr<CInternalPropertyPageWnd> GetWindow() override { return std::make_unique<WndClass>(); }
  LPCSTR GetWindowTitle() override { return WndClass::GetWindowTitle(); }
  CSize GetWindowSize() override { return WndClass::GetWindowSize(); }
};
