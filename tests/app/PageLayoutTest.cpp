// Every text of the job creation pages fits its control at the program's
// font: captions of buttons, check boxes and radio buttons, static texts
// (wrapped where they wrap) and every item of every list, as the pages show
// them once they are open.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QStyle>
#include <QStyleOptionButton>
#include <climits>

#include "app/DlgBatch.h"
#include "app/DlgCvtType.h"
#include "app/DlgImageSource.h"
#include "app/DlgMpegType.h"
#include "app/DlgTarget3GP.h"
#include "app/DlgTargetASF.h"
#include "app/DlgTargetAVI.h"
#include "app/DlgTargetFLV.h"
#include "app/DlgTargetIPod.h"
#include "app/DlgTargetImage.h"
#include "app/DlgTargetMP4.h"
#include "app/DlgTargetPSP.h"
#include "app/DlgVCD.h"
#include "app/DlgVideoSource.h"
#include "platform/ui/WindowRecord.h"
#include "tests/app/PageTestEnv.h"

using namespace pagetest;

namespace {

QString Plain(QString text) { return text.remove('&'); }

// Every text of the page's visible controls that does not fit, described.
std::vector<std::string> TextsThatDoNotFit(CDialog& page) {
  std::vector<std::string> out;
  UiWindow* dialog = UiFindWindow(page.m_hWnd);
  for (HWND child : dialog ? dialog->children : std::vector<HWND>{}) {
    UiWindow* rec = UiFindWindow(child);
    QWidget* w = rec ? rec->widget.data() : nullptr;
    if (!w || !w->isVisibleTo(w->window())) continue;
    const QFontMetrics fm(w->font());
    auto report = [&](const QString& text, int need, int have) {
      if (need > have)
        out.push_back("control " + std::to_string(rec->id) + " \"" + text.toStdString() + "\" needs " +
                      std::to_string(need) + ", has " + std::to_string(have));
    };
    if (auto* label = qobject_cast<QLabel*>(w)) {
      const QString text = label->text();
      if (text.isEmpty()) continue;
      if (label->wordWrap()) {
        const QRect box = fm.boundingRect(QRect(0, 0, w->width(), INT_MAX), Qt::TextWordWrap, text);
        report(text, box.height(), w->height());
        for (const QString& word : text.split(QRegularExpression("\\s+"), Qt::SkipEmptyParts))
          report(word, fm.horizontalAdvance(word), w->width());
      } else {
        report(text, fm.horizontalAdvance(text), w->width());
      }
    } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
      const QString text = Plain(button->text());
      if (text.isEmpty()) continue;
      const DWORD type = rec->style & BS_TYPEMASK;
      int extra = 12;  // a push button's frame and margins
      if (type == BS_AUTOCHECKBOX || type == BS_CHECKBOX || type == BS_AUTORADIOBUTTON || type == BS_RADIOBUTTON) {
        const bool radio = type == BS_AUTORADIOBUTTON || type == BS_RADIOBUTTON;
        extra = w->style()->pixelMetric(radio ? QStyle::PM_ExclusiveIndicatorWidth : QStyle::PM_IndicatorWidth) +
                w->style()->pixelMetric(radio ? QStyle::PM_RadioButtonLabelSpacing : QStyle::PM_CheckBoxLabelSpacing);
      } else if (type == BS_GROUPBOX) {
        extra = 16;
      }
      report(text, fm.horizontalAdvance(text) + extra, w->width());
      report(text, fm.height(), w->height());
    } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
      // The closed list shows the chosen item beside its arrow.
      const int arrow = w->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 12;
      for (int i = 0; i < combo->count(); ++i)
        report(combo->itemText(i), fm.horizontalAdvance(combo->itemText(i)) + arrow, w->width());
    }
  }
  return out;
}

template <class Page>
std::vector<std::string> OpenAndMeasure(int type, int batch = 0) {
  CConvertOpt job;
  job.SetType(type);
  job.m_strSource = Sample("mpeg2-ps-mp2.mpg");
  job.m_nSourceWidth = 176;
  job.m_nSourceHeight = 144;
  Page page;
  page.m_pJob = &job;
  std::vector<std::string> problems;
  UserDriver user;
  user.On(Page::IDD, [&](CDialog& d) {
    problems = TextsThatDoNotFit(d);
    d.PostMessage(WM_COMMAND, IDCANCEL);
  });
  if constexpr (std::is_base_of_v<CDlgTargetPage, Page>) page.m_bBatch = batch;
  page.DoModal();
  EXPECT_TRUE(user.Done());
  return problems;
}

TEST(PageLayout, EveryTextFitsItsControl) {
  const struct {
    const char* page;
    std::function<std::vector<std::string>()> measure;
  } pages[] = {
      {"conversion type", [] { return OpenAndMeasure<CDlgCvtType>(CONVERT_PALNTSC); }},
      {"video source", [] { return OpenAndMeasure<CDlgVideoSource>(CONVERT_MPEG); }},
      {"picture list", [] { return OpenAndMeasure<CDlgImageSource>(CONVERT_PICTURES_TO_VIDEO); }},
      {"batch list", [] { return OpenAndMeasure<CDlgBatch>(CONVERT_MPEG); }},
      {"AVI", [] { return OpenAndMeasure<CDlgTargetAVI>(CONVERT_AVI); }},
      {"WMV/ASF", [] { return OpenAndMeasure<CDlgTargetASF>(CONVERT_WMV); }},
      {"pictures", [] { return OpenAndMeasure<CDlgTargetImage>(CONVERT_VIDEO_TO_PICTURES); }},
      {"MPEG", [] { return OpenAndMeasure<CDlgMpegType>(CONVERT_MPEG); }},
      {"discs", [] { return OpenAndMeasure<CDlgVCD>(CONVERT_DISC); }},
      {"3GP", [] { return OpenAndMeasure<CDlgTarget3GP>(CONVERT_3GP); }},
      {"PSP", [] { return OpenAndMeasure<CDlgTargetPSP>(CONVERT_PSP); }},
      {"iPod", [] { return OpenAndMeasure<CDlgTargetIPod>(CONVERT_IPOD); }},
      {"MP4", [] { return OpenAndMeasure<CDlgTargetMP4>(CONVERT_MP4); }},
      {"FLV", [] { return OpenAndMeasure<CDlgTargetFLV>(CONVERT_FLV); }},
  };
  for (const auto& p : pages) {
    const std::vector<std::string> problems = p.measure();
    EXPECT_TRUE(problems.empty()) << p.page << ":\n" << ::testing::PrintToString(problems);
  }
}

}  // namespace
