// CHyperlinkStatic: a static text that looks and acts as a link: blue,
// underlined, a hand cursor over the text, and a click opens its address.
#pragma once

#include <string>

#include "platform/ui/GdiObject.h"
#include "platform/ui/Static.h"

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
  afx_msg void OnDestroy();

 private:
  void MakeFont();
  void MeasureText();

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
