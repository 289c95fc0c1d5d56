// The AVI chunk viewer: its plot computations on interleaved and badly
// interleaved files, and the window drawn offscreen (what it shows, the
// mouse-over titles, the check box, closing its modal loop).
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>

#include "platform/ui/Keyboard.h"
#include "splitters/avi/AviReportWnd.h"
#include "tests/foundation/MemAsyncReader.h"
#include "tests/splitters/avi/AviTestSupport.h"

namespace {

using namespace avitest;

class UiEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "avi-viewer-tests";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override {
    UiPumpMessages();
    app_.reset();
  }

 private:
  std::unique_ptr<QApplication> app_;
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new UiEnvironment);

// A file opened with its interleave lists kept: 50 video frames and 2 s of
// audio in 32-byte chunks, interleaved or stream after stream; optionally a
// subtitle file chunk at the end.
std::unique_ptr<CAviFile> Opened(bool interleaved, bool subtitle = false) {
  std::vector<Stream> streams = SyntheticStreams(50, 32, 2.0);
  if (subtitle) {
    Stream t;
    t.type = "txts", t.kind = "tx", t.chunks = {Bytes(300, 'x')};
    streams.push_back(t);
  }
  Options o;
  o.interleaved = interleaved;
  auto* reader = new MemAsyncReader(BuildAvi(streams, o));
  HRESULT hr = E_FAIL;
  auto file = std::make_unique<CAviFile>(reader, hr);
  reader->Release();
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(file->IsInterleaved(true), interleaved);
  return file;
}

TEST(AviPlot, MaximaTimeOrderAndDistances) {
  for (bool interleaved : {true, false}) {
    SCOPED_TRACE(interleaved);
    auto file = Opened(interleaved, true);
    CAviPlot plot(*file);
    EXPECT_EQ(plot.StreamCount(), 3u);
    // 50 video and 2000 audio chunks; the subtitle chunk takes no part.
    EXPECT_EQ(plot.MaxChunk(), 2049u);
    ASSERT_EQ(plot.TimeOrder().size(), 2050u);
    for (size_t i = 1; i < plot.TimeOrder().size(); ++i)
      ASSERT_LE(plot.TimeOrder()[i - 1].t, plot.TimeOrder()[i].t);
    // The last audio chunk's time as the check takes it (from the running
    // size at the chunk before), in 8192-unit steps.
    EXPECT_NEAR(double(plot.MaxTime()), 19980000.0, 8192.0);
    const auto distances = plot.ColumnDistances(600);
    const DWORD worst = *std::max_element(distances.begin(), distances.end());
    EXPECT_EQ(worst >= CAviPlot::kDistanceLimit, !interleaved);
  }
  EXPECT_EQ(CAviPlot::PointTitle(1234, (3723456ll) * 10000), "AVI Chunk Viewer (1234 - 1:02:03.456)");
  EXPECT_EQ(CAviPlot::DistanceTitle(999), "AVI Chunk Viewer (chunk distance: 999)");
  EXPECT_EQ(CAviPlot::DistanceTitle(1000), "AVI Chunk Viewer (chunk distance: 1000 - over the limit!)");
}

bool HasColour(CDC& dc, COLORREF colour, const RECT& area) {
  for (int y = area.top; y < area.bottom; ++y)
    for (int x = area.left; x < area.right; ++x)
      if (dc.GetPixel(x, y) == colour) return true;
  return false;
}

TEST(AviReportWnd, WarningPlotAndMarks) {
  auto file = Opened(false);
  CAviReportWnd wnd;
  ASSERT_TRUE(wnd.Create(file.get(), true, true));
  std::string text;
  wnd.Text().GetWindowText(text);
  EXPECT_EQ(text.find("This AVI file was not prepared for sequential reading"), 0u);
  EXPECT_EQ(wnd.Check().GetCheck(), BST_CHECKED);
  std::string caption;
  wnd.GetWindowText(caption);
  EXPECT_EQ(caption, "AVI Chunk Viewer");

  // Stream 0 in red, stream 1 in blue, marks over the limit in red.
  CDC& canvas = wnd.Plotter().Canvas();
  const RECT plot = CAviPlotterWnd::kPlot;
  EXPECT_TRUE(HasColour(canvas, 0x0000FF, plot));
  EXPECT_TRUE(HasColour(canvas, 0xFF0000, plot));
  const RECT marks{plot.left, CAviPlotterWnd::kMarksTop, plot.right,
                   CAviPlotterWnd::kMarksTop + CAviPlotterWnd::kMarksHeight};
  EXPECT_TRUE(HasColour(canvas, 0x0000FF, marks));
  EXPECT_TRUE(UiGrabWindow(&wnd, OutFile("chunk-viewer.png").c_str()));
  QImage grab(QString::fromStdString(OutFile("chunk-viewer.png")));
  EXPECT_FALSE(grab.isNull());

  // Mouse-over titles: over the plot, over the marks, elsewhere.
  auto titleAt = [&](int x, int y) {
    wnd.Plotter().SendMessage(WM_MOUSEMOVE, 0, MAKELPARAM(x, y));
    std::string t;
    wnd.GetWindowText(t);
    return t;
  };
  EXPECT_EQ(titleAt(plot.left, plot.bottom - 1), CAviPlot::PointTitle(0, 0));
  EXPECT_EQ(titleAt(plot.right - 1, CAviPlotterWnd::kMarksTop + 2),
            wnd.Plotter().TitleAt(CPoint(plot.right - 1, CAviPlotterWnd::kMarksTop + 2)));
  EXPECT_NE(titleAt(plot.right - 1, CAviPlotterWnd::kMarksTop + 2).find("chunk distance"), std::string::npos);
  EXPECT_EQ(titleAt(2, 2), "AVI Chunk Viewer");

  // Closing the window ends its loop with the check box's state.
  wnd.Check().SetCheck(BST_UNCHECKED);
  wnd.PostMessage(WM_CLOSE);
  EXPECT_EQ(wnd.RunModalLoop(), IDOK);
}

TEST(AviReportWnd, PlotOnlyForAnInterleavedFile) {
  auto file = Opened(true);
  CAviReportWnd wnd;
  ASSERT_TRUE(wnd.Create(file.get(), false, false));
  EXPECT_EQ(wnd.Text().m_hWnd, nullptr);
  EXPECT_EQ(wnd.Check().m_hWnd, nullptr);
  const RECT marks{CAviPlotterWnd::kPlot.left, CAviPlotterWnd::kMarksTop, CAviPlotterWnd::kPlot.right,
                   CAviPlotterWnd::kMarksTop + CAviPlotterWnd::kMarksHeight};
  EXPECT_FALSE(HasColour(wnd.Plotter().Canvas(), 0x0000FF, marks));
}

TEST(AviReportWnd, HeadlessRunsNeverWait) {
  auto file = Opened(false);
  CAviReportWnd wnd;
  EXPECT_TRUE(wnd.DoModal(file.get(), true, true));
  EXPECT_FALSE(wnd.DoModal(file.get(), false, true));
  EXPECT_EQ(wnd.m_hWnd, nullptr);
  EXPECT_EQ(GetKeyState(VK_SHIFT), 0);
}

}  // namespace
