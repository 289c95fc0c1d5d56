#include <gtest/gtest.h>

#include <QWidget>
#include <fstream>

#include "tests/platform/ui/TestIds.h"
#include "tests/platform/ui/UiTestEnv.h"

namespace {

class ListDialog : public CDialog {
 public:
  ListDialog() : CDialog(kDlgForm) {}
  std::vector<std::pair<int, UINT>> changes;  // item, new state
  std::vector<int> deltas;
  int refuseDelta = 0;

 protected:
  afx_msg void OnItemChanged(NMHDR* header, LRESULT* result) {
    auto* nm = reinterpret_cast<NMLISTVIEW*>(header);
    changes.emplace_back(nm->iItem, nm->uNewState);
    *result = 0;
  }
  afx_msg void OnDelta(NMHDR* header, LRESULT* result) {
    deltas.push_back(reinterpret_cast<NMUPDOWN*>(header)->iDelta);
    *result = refuseDelta;
  }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ListDialog, CDialog)
  ON_NOTIFY(LVN_ITEMCHANGED, kIdList, OnItemChanged)
  ON_NOTIFY(UDN_DELTAPOS, 3000, OnDelta)
END_MESSAGE_MAP()

}  // namespace

TEST(ComboBox, ItemsDataAndSearch) {
  CDialog dlg(kDlgForm);
  ASSERT_TRUE(dlg.Create(kDlgForm));
  auto* combo = static_cast<CComboBox*>(dlg.GetDlgItem(kIdCombo));
  EXPECT_EQ(combo->GetCurSel(), CB_ERR);
  EXPECT_EQ(combo->AddString("128 kbps"), 0);
  EXPECT_EQ(combo->AddString("192 kbps"), 1);
  EXPECT_EQ(combo->InsertString(0, "64 kbps"), 0);
  EXPECT_EQ(combo->GetCount(), 3);
  EXPECT_EQ(combo->SetItemData(0, 64000), 0);
  EXPECT_EQ(combo->SetItemData(2, 192000), 0);
  EXPECT_EQ(combo->GetItemData(2), 192000u);
  EXPECT_EQ(combo->GetItemData(0), 64000u);
  EXPECT_EQ(combo->SetItemData(7, 1), CB_ERR);
  EXPECT_EQ(static_cast<LRESULT>(combo->GetItemData(7)), CB_ERR);
  EXPECT_EQ(combo->FindStringExact(-1, "192 KBPS"), 2);
  EXPECT_EQ(combo->FindString(0, "1"), 1);
  EXPECT_EQ(combo->FindString(-1, "zzz"), CB_ERR);
  EXPECT_EQ(combo->SelectString(-1, "19"), 2);
  std::string text;
  combo->GetWindowText(text);
  EXPECT_EQ(text, "192 kbps");
  EXPECT_EQ(combo->GetLBText(1, text), 8);
  EXPECT_EQ(text, "128 kbps");
  EXPECT_EQ(combo->GetLBText(9, text), CB_ERR);
  EXPECT_EQ(combo->SetCurSel(5), CB_ERR);
  EXPECT_EQ(combo->GetCurSel(), CB_ERR);
  EXPECT_EQ(combo->DeleteString(0), 2);
  EXPECT_EQ(combo->GetItemData(1), 192000u);  // data moves with its item
  combo->ResetContent();
  EXPECT_EQ(combo->GetCount(), 0);
}

TEST(ListCtrl, RowsSubItemsAndSelection) {
  ListDialog dlg;
  ASSERT_TRUE(dlg.Create(kDlgForm));
  auto* list = static_cast<CListCtrl*>(dlg.GetDlgItem(kIdList));
  list->SetExtendedStyle(LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
  EXPECT_EQ(list->GetExtendedStyle(), LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
  EXPECT_EQ(list->InsertColumn(0, "Source", LVCFMT_LEFT, 80), 0);
  EXPECT_EQ(list->InsertColumn(1, "Type", LVCFMT_LEFT, 40), 1);
  EXPECT_EQ(list->InsertColumn(1, "Target", LVCFMT_LEFT, 60), 1);  // between the two
  EXPECT_EQ(list->GetColumnWidth(2), 40);

  CImageList images;
  ASSERT_TRUE(images.Create(kBmpStrip, 2, 1, RGB(255, 0, 255)));
  EXPECT_EQ(images.GetImageCount(), 2);
  list->SetImageList(&images, LVSIL_SMALL);

  EXPECT_EQ(list->InsertItem(0, "a.avi", 0), 0);
  EXPECT_EQ(list->InsertItem(1, "b.avi", 1), 1);
  EXPECT_EQ(list->InsertItem(0, "first.avi"), 0);
  EXPECT_EQ(list->InsertItem(99, "last.avi"), 3);
  EXPECT_EQ(list->InsertItem(-1, "bad"), -1);
  EXPECT_TRUE(list->SetItemText(1, 1, "a.mpg"));
  EXPECT_TRUE(list->SetItemText(1, 2, "MPEG"));
  EXPECT_FALSE(list->SetItemText(1, 7, "no such column"));
  EXPECT_FALSE(list->SetItemText(17, 0, "no such row"));
  EXPECT_EQ(list->GetItemText(1, 0), "a.avi");
  EXPECT_EQ(list->GetItemText(1, 1), "a.mpg");
  EXPECT_EQ(list->GetItemText(1, 2), "MPEG");
  list->SetItemData(2, 0xBEEF);
  EXPECT_EQ(list->GetItemData(2), 0xBEEFu);
  EXPECT_EQ(list->GetItemCount(), 4);

  LVITEM item{};
  item.mask = LVIF_IMAGE;
  item.iItem = 2;
  ASSERT_TRUE(list->GetItem(&item));
  EXPECT_EQ(item.iImage, 1);
  char small[4];
  item.mask = LVIF_TEXT;
  item.pszText = small;
  item.cchTextMax = sizeof(small);
  ASSERT_TRUE(list->GetItem(&item));
  EXPECT_STREQ(small, "b.a");

  dlg.changes.clear();
  list->SetItemState(2, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  EXPECT_EQ(list->GetItemState(2, LVIS_SELECTED), LVIS_SELECTED);
  EXPECT_EQ(list->GetNextItem(-1, LVNI_SELECTED), 2);
  list->SetItemState(3, LVIS_SELECTED, LVIS_SELECTED);
  EXPECT_EQ(list->GetSelectedCount(), 2u);
  POSITION pos = list->GetFirstSelectedItemPosition();
  EXPECT_EQ(list->GetNextSelectedItem(pos), 2);
  EXPECT_EQ(list->GetNextSelectedItem(pos), 3);
  EXPECT_EQ(pos, nullptr);
  ASSERT_GE(dlg.changes.size(), 2u);
  EXPECT_EQ(dlg.changes[0], std::make_pair(2, LVIS_SELECTED));
  EXPECT_EQ(dlg.changes.back(), std::make_pair(3, LVIS_SELECTED));
  EXPECT_TRUE(list->EnsureVisible(3, FALSE));

  EXPECT_TRUE(list->DeleteItem(2));
  EXPECT_FALSE(list->DeleteItem(9));
  EXPECT_EQ(list->GetNextItem(-1, LVNI_SELECTED), 2);  // the former row 3
  EXPECT_EQ(list->GetItemText(2, 0), "last.avi");
  EXPECT_TRUE(list->DeleteAllItems());
  EXPECT_EQ(list->GetItemCount(), 0);
  EXPECT_EQ(list->GetFirstSelectedItemPosition(), nullptr);

  CHeaderCtrl* header = list->GetHeaderCtrl();
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(header->GetItemCount(), 3);
  HDITEM hd{};
  hd.mask = HDI_FORMAT;
  ASSERT_TRUE(header->GetItem(1, &hd));
  hd.fmt |= HDF_OWNERDRAW;
  ASSERT_TRUE(header->SetItem(1, &hd));
  HDITEM back{};
  back.mask = HDI_FORMAT;
  header->GetItem(1, &back);
  EXPECT_TRUE(back.fmt & HDF_OWNERDRAW);
}

TEST(Controls, ProgressSpinAndSlider) {
  ListDialog dlg;
  ASSERT_TRUE(dlg.Create(kDlgForm));
  auto* bar = static_cast<CProgressCtrl*>(dlg.GetDlgItem(kIdProgress));
  bar->SetRange32(0, 100);
  EXPECT_EQ(bar->SetPos(40), 0);
  EXPECT_EQ(bar->SetPos(250), 40);
  EXPECT_EQ(bar->GetPos(), 100);  // clamped
  bar->SetPos(95);
  bar->SetStep(10);
  bar->StepIt();
  EXPECT_EQ(bar->GetPos(), 5);  // wrapped to the start

  CEdit buddy;
  ASSERT_TRUE(buddy.Create(WS_CHILD | WS_VISIBLE | WS_BORDER, CRect(10, 10, 60, 30), &dlg, 2999));
  CSpinButtonCtrl spin;
  ASSERT_TRUE(spin.Create(WS_CHILD | WS_VISIBLE | UDS_SETBUDDYINT, CRect(60, 10, 76, 30), &dlg, 3000));
  spin.SetBuddy(&buddy);
  spin.SetRange32(1, 15);
  spin.SetPos(14);
  std::string text;
  buddy.GetWindowText(text);
  EXPECT_EQ(text, "14");
  spin.UiStep(true);
  spin.UiStep(true);  // stops at the upper end
  EXPECT_EQ(spin.GetPos(), 15);
  dlg.refuseDelta = 1;
  spin.UiStep(false);  // refused by the parent
  EXPECT_EQ(spin.GetPos(), 15);
  EXPECT_EQ(dlg.deltas, (std::vector<int>{1, 1, -1}));
  buddy.SetWindowText("3");
  EXPECT_EQ(spin.GetPos(), 3);  // read back from the buddy

  CSliderCtrl slider;
  ASSERT_TRUE(slider.Create(WS_CHILD | WS_VISIBLE, CRect(10, 40, 110, 60), &dlg, 3001));
  slider.SetRange(0, 255);
  slider.SetPos(300);
  EXPECT_EQ(slider.GetPos(), 255);
  EXPECT_EQ(slider.GetRangeMax(), 255);
  char cls[32];
  GetClassName(slider.m_hWnd, cls, sizeof(cls));
  EXPECT_STREQ(cls, "msctls_trackbar32");
}

TEST(Menu, ResourceMenuAndPopupChoice) {
  CDialog dlg(kDlgForm);
  ASSERT_TRUE(dlg.Create(kDlgForm));
  CMenu menu;
  ASSERT_TRUE(menu.LoadMenu(kMenuMain));
  EXPECT_FALSE(CMenu().LoadMenu(4242));
  EXPECT_EQ(menu.GetMenuItemCount(), 2);
  CMenu* file = menu.GetSubMenu(0);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(menu.GetSubMenu(5), nullptr);
  EXPECT_EQ(file->GetMenuItemCount(), 3);
  EXPECT_EQ(file->GetMenuItemID(0), kCmdOpen);
  EXPECT_EQ(file->GetMenuState(kCmdRemove, MF_BYCOMMAND) & MF_GRAYED, MF_GRAYED);
  EXPECT_EQ(file->CheckMenuItem(kCmdOpen, MF_CHECKED), MF_UNCHECKED);
  EXPECT_EQ(file->GetMenuState(kCmdOpen, MF_BYCOMMAND) & MF_CHECKED, MF_CHECKED);
  EXPECT_EQ(file->EnableMenuItem(4242, MF_GRAYED), MENU_ERROR);

  std::vector<UINT> offered;
  UINT answer = kCmdRemove;
  UiSetTrackMenuHook([&](const std::vector<UINT>& commands) {
    offered = commands;
    return answer;
  });
  // A grayed command cannot be chosen.
  EXPECT_EQ(file->TrackPopupMenu(TPM_RETURNCMD | TPM_RIGHTBUTTON, 0, 0, &dlg), 0);
  EXPECT_EQ(offered, (std::vector<UINT>{kCmdOpen, kCmdRemove}));
  file->EnableMenuItem(kCmdRemove, MF_ENABLED);
  EXPECT_EQ(static_cast<UINT>(file->TrackPopupMenu(TPM_RETURNCMD, 0, 0, &dlg)), kCmdRemove);
  UiSetTrackMenuHook(nullptr);
}

TEST(FileDialog, HookAnswersAndBufferIsRespected) {
  std::string dir = ::testing::TempDir();
  std::string a = dir + "/ui_a.avi", b = dir + "/ui_b.avi";
  std::ofstream(a) << "x";
  std::ofstream(b) << "x";
  UiFileRequest seen;
  std::vector<std::string> answer{a, b};
  UiSetFileDialogHook([&](const UiFileRequest& r, std::vector<std::string>& chosen) {
    seen = r;
    chosen = answer;
    return true;
  });
  CFileDialog open(TRUE, nullptr, nullptr, OFN_FILEMUSTEXIST | OFN_ALLOWMULTISELECT,
                   "Movies|*.avi;*.mpg|All files|*.*||");
  std::vector<char> buffer(4096, '\0');
  open.m_ofn.lpstrFile = buffer.data();
  open.m_ofn.nMaxFile = static_cast<DWORD>(buffer.size());
  ASSERT_EQ(open.DoModal(), IDOK);
  ASSERT_EQ(seen.filters.size(), 2u);
  EXPECT_EQ(seen.filters[0].second, "*.avi;*.mpg");
  EXPECT_TRUE(seen.multiple);
  POSITION pos = open.GetStartPosition();
  EXPECT_EQ(open.GetNextPathName(pos), a);
  EXPECT_EQ(open.GetNextPathName(pos), b);
  EXPECT_EQ(pos, nullptr);
  EXPECT_STREQ(buffer.data() + std::strlen(buffer.data()) + 1, "ui_a.avi");

  // A result that does not fit the caller's buffer is refused, not written past it.
  std::vector<char> tiny(8, 'z');
  open.m_ofn.lpstrFile = tiny.data();
  open.m_ofn.nMaxFile = 4;
  EXPECT_EQ(open.DoModal(), IDCANCEL);
  EXPECT_EQ(CommDlgExtendedError(), FNERR_BUFFERTOOSMALL);
  EXPECT_EQ(tiny[4], 'z');

  // Must-exist refuses a missing file; a save name gets the default extension.
  answer = {dir + "/missing.avi"};
  CFileDialog mustExist(TRUE, nullptr, nullptr, OFN_FILEMUSTEXIST);
  EXPECT_EQ(mustExist.DoModal(), IDCANCEL);
  answer = {dir + "/out"};
  CFileDialog save(FALSE, "mpg");
  ASSERT_EQ(save.DoModal(), IDOK);
  EXPECT_EQ(save.GetPathName(), dir + "/out.mpg");
  EXPECT_EQ(save.GetFileExt(), "mpg");
  EXPECT_EQ(save.GetFileTitle(), "out");

  answer = {dir};
  std::string folder;
  EXPECT_TRUE(UiBrowseForFolder(nullptr, "Output", folder));
  EXPECT_EQ(folder, dir);
  EXPECT_TRUE(seen.folder);
  UiSetFileDialogHook(nullptr);
  // Headless without a hook: cancelled at once.
  EXPECT_EQ(CFileDialog(TRUE).DoModal(), IDCANCEL);

  std::vector<std::string> opened;
  UiSetOpenHook([&](const std::string& t) {
    opened.push_back(t);
    return true;
  });
  EXPECT_GT(reinterpret_cast<uintptr_t>(ShellExecute(nullptr, "open", "mailto:help@example.org", nullptr, nullptr,
                                                      SW_SHOWNORMAL)),
            32u);
  SHELLEXECUTEINFO info{};
  info.lpVerb = "open";
  info.lpFile = "https://example.org/";
  EXPECT_TRUE(ShellExecuteEx(&info));
  EXPECT_EQ(opened, (std::vector<std::string>{"mailto:help@example.org", "https://example.org/"}));
  UiSetOpenHook(nullptr);
  EXPECT_FALSE(UiOpenWithDesktop("https://example.org/"));
}

TEST(MessageBoxHook, AnswersAndDefaultsHeadless) {
  std::string caption;
  UiSetMessageBoxHook([&](const std::string& text, const std::string& c, UINT type) {
    caption = c;
    EXPECT_EQ(text, "Stop converting?");
    EXPECT_EQ(type, MB_YESNO | MB_ICONQUESTION);
    return IDYES;
  });
  EXPECT_EQ(AfxMessageBox(kStrQuestion, MB_YESNO | MB_ICONQUESTION), IDYES);
  UiSetMessageBoxHook(nullptr);
  // Without a hook the offscreen platform answers the default button.
  EXPECT_EQ(MessageBox(nullptr, "q", "c", MB_YESNO | MB_DEFBUTTON2), IDNO);
  EXPECT_EQ(MessageBox(nullptr, "q", "c", MB_OKCANCEL), IDOK);
}
