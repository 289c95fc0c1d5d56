// A modal frame around one property page: the page sits in the frame's
// client area, OK applies and closes, Apply applies and stays.
#pragma once

#include <string>

#include "platform/com/ComPtr.h"
#include "platform/com/PropertyPage.h"
#include "platform/ui/Dialog.h"

class CDlgPropertyFrame : public CDialog {
 public:
  enum { IDD = 297 };
  // The page shows `object`; the frame holds both while it is open.
  CDlgPropertyFrame(IPropertyPage* page, IUnknown* object, const char* caption, CWnd* parent = nullptr);
  ~CDlgPropertyFrame() override;

  BOOL OnInitDialog() override;

 protected:
  void OnOK() override;
  void OnCancel() override;
  afx_msg void OnApply();

 private:
  class Site;
  void Close(int result);
  void PageChanged();

  CComPtr<IPropertyPage> m_pPage;
  CComPtr<IUnknown> m_pObject;
  std::string m_strCaption;
  Site* m_pSite = nullptr;  // owned, a COM object the page refers to while it is shown
  bool m_bActive = false;

  DECLARE_MESSAGE_MAP()
};

// Opens the settings of the program's MPEG-2 video decoder (video true) or
// its audio decoder in a property frame. The decoder keeps its settings in
// the registry when it goes, so the next conversion uses them.
void ShowDecoderSettings(CWnd* owner, bool video);
