// Every text of the job creation pages fits its control at the program's
// font, as the pages show them once they are open: the texts they set at
// opening and every item of every list besides the templates' own texts.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QStyle>
#include <QStyleOptionComboBox>

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
#include "tests/app/CutTexts.h"
#include "tests/app/PageTestEnv.h"

using namespace pagetest;

namespace {

// What the shared check finds, and every item of a list that does not fit
// beside the list's arrow.
std::vector<std::string> TextsThatDoNotFit(CDialog& page) {
  std::vector<std::string> out;
  for (const apptest::CutText& c : apptest::CutTexts(&page)) out.push_back(c.Describe());
  UiWindow* dialog = UiFindWindow(page.m_hWnd);
  for (HWND child : dialog ? dialog->children : std::vector<HWND>{}) {
    UiWindow* rec = UiFindWindow(child);
    auto* combo = rec ? qobject_cast<QComboBox*>(rec->widget.data()) : nullptr;
    if (!combo) continue;
    QStyleOptionComboBox opt;
    opt.initFrom(combo);
    const QRect room = combo->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, combo);
    const QFontMetrics fm(combo->font());
    for (int i = 0; i < combo->count(); ++i)
      if (fm.horizontalAdvance(combo->itemText(i)) > room.width())
        out.push_back("list " + std::to_string(rec->id) + " item \"" + combo->itemText(i).toStdString() + "\" needs " +
                      std::to_string(fm.horizontalAdvance(combo->itemText(i))) + ", has " +
                      std::to_string(room.width()));
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
