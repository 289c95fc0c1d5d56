// The AVI chunk viewer: a modal window that plots where each stream's chunks
// lie in the file against their time, says why a badly interleaved file is
// refused, and offers to keep that warning from coming back.
#pragma once

#include <memory>
#include <vector>

#include "platform/ui/Afx.h"
#include "splitters/avi/AviPlot.h"

// The plot, drawn once into a bitmap that painting copies to the control.
class CAviPlotterWnd : public CStatic {
 public:
  static constexpr int kWidth = 640;
  static constexpr int kHeight = 420;
  // The plot area inside the control.
  static constexpr RECT kPlot = {48, 28, kWidth - 16, kHeight - 48};
  // The row of chunk-distance marks under it.
  static constexpr int kMarksTop = kPlot.bottom + 6;
  static constexpr int kMarksHeight = 10;

  CAviPlotterWnd();
  ~CAviPlotterWnd() override;

  BOOL Create(const CAviPlot* plot, const CPoint& at, CWnd* parent);
  // The window title for the mouse at `point` (control coordinates).
  std::string TitleAt(CPoint point) const;
  // The drawn plot (for the tests' checks of what it shows).
  CDC& Canvas() { return m_dc; }

  afx_msg void OnPaint();
  afx_msg void OnMouseMove(UINT flags, CPoint point);

 private:
  void Draw();

  const CAviPlot* m_plot = nullptr;
  std::vector<DWORD> m_distances;
  CDC m_dc;
  CBitmap m_bitmap;
  CBitmap* m_oldBitmap = nullptr;

  DECLARE_MESSAGE_MAP()
};

class CAviReportWnd : public CWnd {
 public:
  static constexpr UINT kCheckId = 1000;

  CAviReportWnd();
  ~CAviReportWnd() override;

  // Shows the window for `file` (whose interleave lists were kept) and
  // returns the state of its check box when it closes. Shown only when a
  // display exists and the caller runs on the user-interface thread;
  // otherwise `hide` comes back unchanged at once.
  bool DoModal(const CAviFile* file, bool hide, bool notInterleaved);

  // Builds the window without running it (DoModal's first half; for tests).
  BOOL Create(const CAviFile* file, bool hide, bool notInterleaved);
  CAviPlotterWnd& Plotter() { return m_plotter; }
  CStatic& Text() { return m_text; }
  CButton& Check() { return m_check; }

  afx_msg void OnClose();

 private:
  std::unique_ptr<CAviPlot> m_plot;
  CFont m_font;
  CStatic m_text;
  CButton m_check;
  CAviPlotterWnd m_plotter;
  bool m_checked = false;

  DECLARE_MESSAGE_MAP()
};
