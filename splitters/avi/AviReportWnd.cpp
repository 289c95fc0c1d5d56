#include "splitters/avi/AviReportWnd.h"

#include <algorithm>
#include <cstdio>

#include "platform/ui/Keyboard.h"

namespace {

constexpr COLORREF kGrid = 0x008000;
constexpr COLORREF kAxis = 0x00FF00;
constexpr COLORREF kOverLimit = 0x0000FF;
constexpr COLORREF kStreamColours[] = {0x0000FF, 0xFF0000, 0x40FFFF, 0xFF40FF, 0xFFFF40, 0xFFFFFF};

constexpr int kMargin = 10;
constexpr int kCheckHeight = 20;

const char kWarning[] =
    "This AVI file was not prepared for sequential reading, the alternative 'Avi Splitter' will now let the "
    "default one handle it. The complete reinterleaving of this file is strongly recommended before burning it "
    "onto a slow media like cd-rom.";
const char kDontShow[] = "Do not show this dialog again (hold Shift to re-enable it)";

int PlotWidth() { return CAviPlotterWnd::kPlot.right - CAviPlotterWnd::kPlot.left; }
int PlotHeight() { return CAviPlotterWnd::kPlot.bottom - CAviPlotterWnd::kPlot.top; }

}  // namespace

// ---------------------------------------------------------------------------
// CAviPlotterWnd

BEGIN_MESSAGE_MAP(CAviPlotterWnd, CStatic)
  ON_WM_PAINT()
  ON_WM_MOUSEMOVE()
END_MESSAGE_MAP()

CAviPlotterWnd::CAviPlotterWnd() = default;

CAviPlotterWnd::~CAviPlotterWnd() {
  if (m_oldBitmap) m_dc.SelectObject(m_oldBitmap);
}

BOOL CAviPlotterWnd::Create(const CAviPlot* plot, const CPoint& at, CWnd* parent) {
  m_plot = plot;
  if (!CStatic::Create("", WS_CHILD | WS_VISIBLE | SS_NOTIFY, CRect(at.x, at.y, at.x + kWidth, at.y + kHeight),
                       parent))
    return FALSE;
  m_dc.CreateCompatibleDC(nullptr);
  if (!m_bitmap.CreateCompatibleBitmap(&m_dc, kWidth, kHeight)) return FALSE;
  m_oldBitmap = m_dc.SelectObject(&m_bitmap);
  m_distances = m_plot->ColumnDistances(PlotWidth());
  Draw();
  return TRUE;
}

void CAviPlotterWnd::Draw() {
  const RECT& p = kPlot;
  m_dc.FillSolidRect(0, 0, kWidth, kHeight, 0x000000);
  m_dc.SetBkMode(TRANSPARENT);

  CPen grid(PS_DOT, 1, kGrid);
  CPen* oldPen = m_dc.SelectObject(&grid);
  for (int i = 1; i <= 10; ++i) {
    const int x = p.left + PlotWidth() * i / 10, y = p.bottom - PlotHeight() * i / 10;
    m_dc.MoveTo(x, p.top);
    m_dc.LineTo(x, p.bottom);
    m_dc.MoveTo(p.left, y);
    m_dc.LineTo(p.right, y);
  }

  CPen axis(PS_SOLID, 1, kAxis);
  m_dc.SelectObject(&axis);
  m_dc.MoveTo(p.left, p.bottom);
  m_dc.LineTo(p.right + 8, p.bottom);
  m_dc.LineTo(p.right + 3, p.bottom - 4);
  m_dc.MoveTo(p.right + 8, p.bottom);
  m_dc.LineTo(p.right + 3, p.bottom + 4);
  m_dc.MoveTo(p.left, p.bottom);
  m_dc.LineTo(p.left, p.top - 8);
  m_dc.LineTo(p.left - 4, p.top - 3);
  m_dc.MoveTo(p.left, p.top - 8);
  m_dc.LineTo(p.left + 4, p.top - 3);

  m_dc.SetTextColor(kGrid);
  m_dc.TextOut(4, p.top - 4, std::string("Chunk"));
  m_dc.TextOut(p.right - 32, kMarksTop + kMarksHeight + 4, std::string("Time"));

  const size_t streams = m_plot->StreamCount();
  std::vector<std::unique_ptr<CPen>> pens;
  int legendX = p.left + 12;
  for (size_t i = 0; i < streams; ++i) {
    const COLORREF colour = kStreamColours[i % std::size(kStreamColours)];
    pens.push_back(std::make_unique<CPen>(PS_SOLID, 2, colour));
    char label[32];
    std::snprintf(label, sizeof label, "Stream %zu", i);
    m_dc.SetTextColor(colour);
    m_dc.TextOut(legendX, 4, std::string(label));
    legendX += m_dc.GetTextExtent(std::string(label)).cx + 16;
  }

  // Each stream's chunks joined in time order, skipping steps under a pixel.
  std::vector<CPoint> last(streams, CPoint(-1, -1));
  for (const CAviPlot::Point& pt : m_plot->TimeOrder()) {
    const CPoint at(p.left + m_plot->ColumnOf(pt.t, PlotWidth()), p.top + m_plot->RowOf(pt.n, PlotHeight()));
    CPoint& prev = last[pt.stream];
    if (prev.x < 0) {
      prev = at;
      continue;
    }
    if (std::abs(at.x - prev.x) < 1 && std::abs(at.y - prev.y) < 1) continue;
    m_dc.SelectObject(pens[pt.stream].get());
    m_dc.MoveTo(prev.x, prev.y);
    m_dc.LineTo(at.x, at.y);
    prev = at;
  }

  // Under the plot, where neighbours in time lie too far apart in the file.
  for (size_t x = 0; x < m_distances.size(); ++x)
    m_dc.FillSolidRect(p.left + static_cast<int>(x), kMarksTop, 1, kMarksHeight,
                       m_distances[x] >= CAviPlot::kDistanceLimit ? kOverLimit : kAxis);
  m_dc.SelectObject(oldPen);
}

std::string CAviPlotterWnd::TitleAt(CPoint point) const {
  const RECT& p = kPlot;
  if (point.x >= p.left && point.x < p.right && point.y >= p.top && point.y < p.bottom)
    return CAviPlot::PointTitle(m_plot->ChunkAt(point.y - p.top, PlotHeight()),
                                m_plot->TimeAt(point.x - p.left, PlotWidth()));
  if (point.x >= p.left && point.x < p.right && point.y >= kMarksTop && point.y < kMarksTop + kMarksHeight)
    return CAviPlot::DistanceTitle(m_distances[static_cast<size_t>(point.x - p.left)]);
  return CAviPlot::Title();
}

void CAviPlotterWnd::OnPaint() {
  CPaintDC dc(this);
  dc.BitBlt(0, 0, kWidth, kHeight, &m_dc, 0, 0, SRCCOPY);
}

void CAviPlotterWnd::OnMouseMove(UINT, CPoint point) {
  if (CWnd* top = GetTopLevelParent()) top->SetWindowText(TitleAt(point));
}

// ---------------------------------------------------------------------------
// CAviReportWnd

BEGIN_MESSAGE_MAP(CAviReportWnd, CWnd)
  ON_WM_CLOSE()
END_MESSAGE_MAP()

CAviReportWnd::CAviReportWnd() = default;

CAviReportWnd::~CAviReportWnd() {
  if (m_hWnd) DestroyWindow();
}

BOOL CAviReportWnd::Create(const CAviFile* file, bool hide, bool notInterleaved) {
  if (!file) return FALSE;
  m_plot = std::make_unique<CAviPlot>(*file);
  m_checked = hide;
  const int width = CAviPlotterWnd::kWidth + 2 * kMargin;
  if (!CreateEx(0, "AviReportWnd", CAviPlot::Title(), WS_POPUP | WS_CAPTION | WS_SYSMENU,
                CRect(0, 0, width, CAviPlotterWnd::kHeight + 2 * kMargin), nullptr, 0))
    return FALSE;
  m_font.CreateFont(-12, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "MS Shell Dlg");
  SetFont(&m_font, FALSE);

  int y = kMargin;
  if (notInterleaved) {
    // The warning's height as the text wraps in the window's width.
    CRect box(0, 0, width - 2 * kMargin, 0);
    {
      CClientDC dc(this);
      CFont* old = dc.SelectObject(&m_font);
      dc.DrawText(kWarning, static_cast<int>(sizeof kWarning - 1), &box, DT_CALCRECT | DT_WORDBREAK);
      dc.SelectObject(old);
    }
    m_text.Create(kWarning, WS_CHILD | WS_VISIBLE | SS_LEFT,
                  CRect(kMargin, y, kMargin + width - 2 * kMargin, y + box.Height()), this);
    m_text.SetFont(&m_font);
    y += box.Height() + 6;
    m_check.Create(kDontShow, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX,
                   CRect(kMargin, y, width - kMargin, y + kCheckHeight), this, kCheckId);
    m_check.SetFont(&m_font);
    m_check.SetCheck(hide ? BST_CHECKED : BST_UNCHECKED);
    y += kCheckHeight + 6;
  }
  if (!m_plotter.Create(m_plot.get(), CPoint(kMargin, y), this)) return FALSE;
  MoveWindow(0, 0, width, y + CAviPlotterWnd::kHeight + kMargin, FALSE);
  CenterWindow();
  return TRUE;
}

bool CAviReportWnd::DoModal(const CAviFile* file, bool hide, bool notInterleaved) {
  // Graph building off the user-interface thread, and headless runs, never
  // wait for a user.
  if (!UiHasDisplay() || !UiIsUiThread()) return hide;
  if (!Create(file, hide, notInterleaved)) {
    if (m_hWnd) DestroyWindow();
    return hide;
  }
  RunModalLoop();
  if (m_check.m_hWnd) m_checked = m_check.GetCheck() == BST_CHECKED;
  DestroyWindow();
  return m_checked;
}

void CAviReportWnd::OnClose() {
  if (m_check.m_hWnd) m_checked = m_check.GetCheck() == BST_CHECKED;
  EndModalLoop(IDOK);
}
