// The notices' "do not show again" boxes: stored under the user's key,
// mirrored in the application's flags; the log and progress dialogs.
#include <gtest/gtest.h>

#include <QTimer>
#include <algorithm>
#include <string>

#include "app/DlgLog.h"
#include "app/DlgNotice.h"
#include "app/DlgScan.h"
#include "app/TambrelApp.h"
#include "platform/ui/Afx.h"
#include "platform/win32/Registry.h"
#include "tests/app/AppTestEnv.h"

using namespace apptest;

namespace {

constexpr const char* kAppKey = "SOFTWARE\\Quorvel Software\\Pellomar";

// Plays the user: sets the check box, then presses a button.
template <class Base>
class Driven : public Base {
 public:
  Driven(int checkId, UINT setTo, int button) : m_checkId(checkId), m_setTo(setTo), m_button(button) {}
  BOOL OnInitDialog() override {
    const BOOL result = Base::OnInitDialog();
    initialCheck = static_cast<int>(this->IsDlgButtonChecked(m_checkId));
    QTimer::singleShot(0, [this] {
      this->CheckDlgButton(m_checkId, m_setTo);
      this->SendMessage(WM_COMMAND, static_cast<WPARAM>(m_button), 0);
    });
    return result;
  }
  int initialCheck = -1;

 private:
  int m_checkId;
  UINT m_setTo;
  int m_button;
};

// The value under HKEY_CURRENT_USER, or -1 when missing.
long long UserValue(const char* name, HKEY root = HKEY_CURRENT_USER) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, kAppKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
  DWORD value = 0, size = sizeof value, type = 0;
  const LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value) return -1;
  return value;
}

void DeleteAppKey(HKEY root) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, kAppKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    for (const char* name : {"ShowOnce", "PSP ShowOnce", "3GP ShowOnce", "IPod ShowOnce"}) RegDeleteValueA(key, name);
    RegCloseKey(key);
  }
  RegDeleteKeyA(root, kAppKey);
}

bool KeyExists(HKEY root) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, kAppKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

class Notices : public ::testing::Test {
 protected:
  void SetUp() override {
    DeleteAppKey(HKEY_CURRENT_USER);
    DeleteAppKey(HKEY_LOCAL_MACHINE);
    g_dwShowOnce = g_dwPspShowOnce = g_dw3gpShowOnce = g_dwIPodShowOnce = 0;
  }
  void TearDown() override { g_dwShowOnce = g_dwPspShowOnce = g_dw3gpShowOnce = g_dwIPodShowOnce = 0; }
};

TEST_F(Notices, TickingThe3gpNoticeCreatesTheUserKeyAndStoresOne) {
  ASSERT_FALSE(KeyExists(HKEY_CURRENT_USER));
  Driven<CDlg3GPInfo> dlg(1048, BST_CHECKED, IDOK);
  EXPECT_EQ(dlg.DoModal(), IDOK);
  EXPECT_EQ(dlg.initialCheck, BST_UNCHECKED);
  EXPECT_EQ(UserValue("3GP ShowOnce"), 1);
  EXPECT_EQ(g_dw3gpShowOnce, 1u);
  // Nothing else is written.
  EXPECT_EQ(UserValue("ShowOnce"), -1);
  EXPECT_EQ(UserValue("PSP ShowOnce"), -1);
  EXPECT_EQ(UserValue("IPod ShowOnce"), -1);
  EXPECT_EQ(g_dwShowOnce + g_dwPspShowOnce + g_dwIPodShowOnce, 0u);
}

TEST_F(Notices, EachNoticeWritesItsOwnValueAndFlag) {
  {
    Driven<CDlgPSPInfo> dlg(1036, BST_CHECKED, IDOK);
    EXPECT_EQ(dlg.DoModal(), IDOK);
  }
  EXPECT_EQ(UserValue("PSP ShowOnce"), 1);
  EXPECT_EQ(g_dwPspShowOnce, 1u);
  {
    Driven<CDlgIPodInfo> dlg(1036, BST_CHECKED, IDOK);
    EXPECT_EQ(dlg.DoModal(), IDOK);
  }
  EXPECT_EQ(UserValue("IPod ShowOnce"), 1);
  EXPECT_EQ(g_dwIPodShowOnce, 1u);
  {
    Driven<CDlgCodecInfo> dlg(1005, BST_CHECKED, IDOK);
    EXPECT_EQ(dlg.DoModal(), IDOK);
  }
  EXPECT_EQ(UserValue("ShowOnce"), 1);
  EXPECT_EQ(g_dwShowOnce, 1u);
  EXPECT_EQ(UserValue("3GP ShowOnce"), -1);
  EXPECT_EQ(g_dw3gpShowOnce, 0u);
}

TEST_F(Notices, TheBoxOpensWithTheFlagAndClearingItStoresZero) {
  g_dwPspShowOnce = 1;
  Driven<CDlgPSPInfo> dlg(1036, BST_UNCHECKED, IDOK);
  EXPECT_EQ(dlg.DoModal(), IDOK);
  EXPECT_EQ(dlg.initialCheck, BST_CHECKED);
  EXPECT_EQ(UserValue("PSP ShowOnce"), 0);
  EXPECT_EQ(g_dwPspShowOnce, 0u);
}

TEST_F(Notices, TheBoxShowsTheFlagAsItIsWhenTheNoticeOpens) {
  // A page may make its notice before the user changes the choice elsewhere.
  Driven<CDlg3GPInfo> dlg(1048, BST_CHECKED, IDCANCEL);
  g_dw3gpShowOnce = 1;
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_EQ(dlg.initialCheck, BST_CHECKED);
}

TEST_F(Notices, CancelWritesNothing) {
  Driven<CDlgIPodInfo> dlg(1036, BST_CHECKED, IDCANCEL);
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_EQ(UserValue("IPod ShowOnce"), -1);
  EXPECT_EQ(g_dwIPodShowOnce, 0u);
}

TEST_F(Notices, ChoicesGoToTheUserEvenWhenTheMachineHasTheKey) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kAppKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const DWORD zero = 0;
  RegSetValueExA(key, "3GP ShowOnce", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero), sizeof zero);
  RegCloseKey(key);
  Driven<CDlg3GPInfo> dlg(1048, BST_CHECKED, IDOK);
  EXPECT_EQ(dlg.DoModal(), IDOK);
  EXPECT_EQ(UserValue("3GP ShowOnce"), 1);
  EXPECT_EQ(UserValue("3GP ShowOnce", HKEY_LOCAL_MACHINE), 0);
}

// The codec help opens by itself over a log of missing decoders until the
// user ticks "do not show this again" in it; its button still opens it.
TEST_F(Notices, TheCodecHelpOpensByItselfUntilTheUserSaysNot) {
  const std::string missing =
      "1. Code: 0x80040255, No decoder takes this format. -- [The video stream of the source (HEVC) could not be decoded\n"
      " Pellomar decodes with its own decoders, and none of them reads HEVC; no codec package adds one]\n";
  const auto titles = [](const std::string& text) {
    ModalWatcher modals;
    CDlgLog log;
    log.m_strLog = text;
    log.DoModal();
    std::vector<std::string> seen;
    for (const ModalSeen& m : modals.seen) seen.push_back(m.title);
    std::sort(seen.begin(), seen.end());
    return seen;
  };
  const std::vector<std::string> both = {"Codecs", "Conversion log"}, logOnly = {"Conversion log"};
  EXPECT_EQ(titles(missing), both);
  EXPECT_EQ(titles("1. Code: 0x80004005, Unspecified error -- [No Video Stream]\n"), logOnly);

  // Ticked and confirmed: stored, and the help no longer opens by itself.
  {
    Driven<CDlgCodecInfo> dlg(1005, BST_CHECKED, IDOK);
    EXPECT_EQ(dlg.DoModal(), IDOK);
  }
  EXPECT_EQ(UserValue("ShowOnce"), 1);
  EXPECT_EQ(g_dwShowOnce, 1u);
  EXPECT_EQ(titles(missing), logOnly);

  // The log's button opens it all the same.
  ModalWatcher modals;
  CDlgLog log;
  log.m_strLog = missing;
  QTimer::singleShot(0, [&] { log.SendMessage(WM_COMMAND, MAKEWPARAM(1007, BN_CLICKED), 0); });
  log.DoModal();
  ASSERT_EQ(modals.seen.size(), 2u);
  EXPECT_EQ(modals.seen[0].title, "Codecs");
}

TEST_F(Notices, LogDialogShowsItsText) {
  ModalWatcher modals;
  CDlgLog log;
  log.m_strLog = "1. first line\n2. second line\n";
  log.DoModal();
  ASSERT_EQ(modals.seen.size(), 1u);
  std::string text = modals.seen[0].text;
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  EXPECT_EQ(text, "1. first line\n2. second line\n");
}

TEST_F(Notices, ScanWindowStretchesItsBarToTheWidth) {
  CDlgScan scan;
  ASSERT_TRUE(scan.Create(CDlgScan::IDD, nullptr));
  ASSERT_NE(scan.m_progress.GetSafeHwnd(), nullptr);
  CRect before;
  scan.m_progress.GetWindowRect(&before);
  scan.ScreenToClient(&before);
  // Put the bar elsewhere, then resize: the window lays it out again.
  scan.m_progress.MoveWindow(30, before.top, 50, before.Height());
  scan.SetWindowPos(nullptr, 0, 0, 420, 160, SWP_NOMOVE | SWP_NOZORDER);
  UiPumpMessages();
  CRect client0;
  scan.GetClientRect(&client0);
  scan.SendMessage(WM_SIZE, SIZE_RESTORED, MAKELPARAM(client0.Width(), client0.Height()));
  CRect client, bar;
  scan.GetClientRect(&client);
  scan.m_progress.GetWindowRect(&bar);
  scan.ScreenToClient(&bar);
  EXPECT_EQ(bar.left, 10);
  EXPECT_EQ(bar.Width(), client.Width() - 20);
  EXPECT_EQ(bar.top, before.top);
  EXPECT_EQ(bar.Height(), before.Height());
  scan.DestroyWindow();
}

}  // namespace
