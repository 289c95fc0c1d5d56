// CHyperlinkStatic: a static text that looks and acts as a link: blue,
// underlined, a hand cursor over the text, and a click opens its address.
#pragma once

#include <string>

#include "platform/ui/GdiObject.h"
#include "platform/ui/Static.h"

class CWnd;

// Opens an address (or a file) with the desktop; when nothing on the
// computer opens it, tells the user `instead` followed by the address, so
// that the user can open it by hand. False when it was not opened.
bool OpenOrShowAddress(CWnd* owner, const std::string& address, const std::string& instead);

class CHyperlinkStatic : public CStatic {
 public:
  CHyperlinkStatic();
  ~CHyperlinkStatic() override;

  void SetURL(const std::string& url) { m_strURL = url; }
  const std::string& GetURL() const { return m_strURL; }
  void SetCaption(const std::string& caption);
  const std::string& GetCaption() const { return m_strCaption; }
  // Whether a client point lies on the link text.
  bool IsOverLink(CPoint point);

  void PreSubclassWindow() override;

 protected:
  afx_msg void OnPaint();
  afx_msg void OnMouseMove(UINT flags, CPoint point);
  afx_msg void OnMouseLeave();
  afx_msg void OnLButtonDown(UINT flags, CPoint point);
  // Space or Return on a link that has the focus opens it, as a click does.
  afx_msg void OnKeyDown(UINT key, UINT repeat, UINT flags);
  // The focus is drawn around the link's text.
  afx_msg void OnSetFocus(CWnd* oldWnd);
  afx_msg void OnKillFocus(CWnd* newWnd);
  afx_msg void OnDestroy();

 private:
  void MakeFont();
  void MeasureText();
  void Open();

  std::string m_strCaption;
  std::string m_strURL;
  CFont m_fontLink;
  int m_cxText = 0;
  int m_cyText = 0;
  BYTE m_bFontMade = 0;
  BYTE m_bTracking = 0;
  BYTE m_bSizeKnown = 0;
  HCURSOR m_hHand;
  HCURSOR m_hArrow;

  DECLARE_MESSAGE_MAP()
};
