// Every dialog template of the resource module, built as the program builds
// it: each text fits its control at the program's font, and a grab of each
// dialog is kept in the build folder for a reviewer.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "app/AboutDlg.h"
#include "app/DlgLog.h"
#include "app/DlgNotice.h"
#include "app/DlgScan.h"
#include "app/TambrelDlg.h"
#include "platform/ui/Afx.h"
#include "resources/ResourceIds.h"
#include "tests/app/AppTestEnv.h"

using namespace apptest;

namespace {

// The dialogs the program opens, with the texts they set at opening; any
// other template is built as a plain dialog, so new ones are checked too.
std::unique_ptr<CDialog> Make(UINT id) {
  const std::map<UINT, std::function<std::unique_ptr<CDialog>()>> known = {
      {IDD_ABOUTBOX, [] { return std::make_unique<CAboutDlg>(); }},
      {IDD_MAIN, [] { return std::make_unique<CTambrelDlg>(); }},
      {IDD_SCAN, [] { return std::make_unique<CDlgScan>(); }},
      {IDD_LOG,
       [] {
         auto log = std::make_unique<CDlgLog>();
         log->m_strLog = "1. Code: 0x80004005, Unspecified error -- [No Video Stream]\n";
         return log;
       }},
      {IDD_ASF_INFO, [] { return std::make_unique<CDlgASFInfo>(); }},
      {IDD_CODEC_INFO, [] { return std::make_unique<CDlgCodecInfo>(); }},
      {IDD_PSP_INFO, [] { return std::make_unique<CDlgPSPInfo>(); }},
      {IDD_3GP_INFO, [] { return std::make_unique<CDlg3GPInfo>(); }},
      {IDD_IPOD_INFO, [] { return std::make_unique<CDlgIPodInfo>(); }},
  };
  auto it = known.find(id);
  return it != known.end() ? it->second() : std::make_unique<CDialog>(id);
}

TEST(DialogLayout, EveryTemplateFitsItsTextsAtTheProgramsFont) {
  const std::vector<UINT> ids = UiDialogTemplateIds(AfxGetResourceHandle());
  ASSERT_GE(ids.size(), 9u);
  for (UINT id : ids) {
    SCOPED_TRACE("dialog " + std::to_string(id));
    std::unique_ptr<CDialog> dlg = Make(id);
    ASSERT_TRUE(dlg->Create(id, nullptr));
    for (const CutText& c : CutTexts(dlg.get())) ADD_FAILURE() << c.Describe();
    EXPECT_TRUE(UiGrabWindow(dlg.get(), GrabPath("dialog-" + std::to_string(id)).c_str()));
    dlg->DestroyWindow();
  }
}

TEST(DialogLayout, TheCheckSeesACutText) {
  CDialog about(IDD_ABOUTBOX);
  ASSERT_TRUE(about.Create(IDD_ABOUTBOX, nullptr));
  ASSERT_TRUE(CutTexts(&about).empty());
  about.SetDlgItemText(IDOK, "A button caption far too long for its button");
  const std::vector<CutText> cut = CutTexts(&about);
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(cut[0].id, IDOK);
  EXPECT_GT(cut[0].needWidth, cut[0].width);
  about.DestroyWindow();
}

}  // namespace
