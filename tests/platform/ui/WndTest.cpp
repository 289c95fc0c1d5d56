#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tests/platform/ui/TestIds.h"
#include "tests/platform/ui/UiTestEnv.h"

namespace {

constexpr UINT kGraphEvent = WM_APP + 101;
constexpr UINT kNextJob = WM_USER + 1908;

class MessageDialog : public CDialog {
 public:
  MessageDialog() : CDialog(kDlgForm) {}
  std::vector<LPARAM> posted;
  std::vector<WPARAM> nextJobs;
  int clicks = 0, changes = 0, radio = 0, timerA = 0, timerB = 0;
  int commandRange = 0;
  UINT lastRangeId = 0;
  bool killAfterThree = true;

 protected:
  afx_msg void OnCheck() { ++clicks; }
  afx_msg void OnNameChange() { ++changes; }
  afx_msg void OnRadio(UINT id) { lastRangeId = id, ++radio; }
  afx_msg void OnMenuCommand(UINT id) { lastRangeId = id, ++commandRange; }
  afx_msg LRESULT OnGraphEvent(WPARAM wParam, LPARAM lParam) {
    EXPECT_EQ(wParam, 0u);
    posted.push_back(lParam);
    return static_cast<LRESULT>(lParam * 2);
  }
  afx_msg LRESULT OnNextJob(WPARAM wParam, LPARAM) {
    nextJobs.push_back(wParam);
    return 0;
  }
  afx_msg void OnTimer(UINT_PTR id) {
    if (id == 1 && ++timerA == 3 && killAfterThree) KillTimer(1);
    if (id == 2) ++timerB;
  }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(MessageDialog, CDialog)
  ON_BN_CLICKED(kIdCheck, OnCheck)
  ON_EN_CHANGE(kIdName, OnNameChange)
  ON_CONTROL_RANGE(BN_CLICKED, kIdRadio1, kIdRadio3, OnRadio)
  ON_COMMAND_RANGE(kCmdOpen, kCmdAbout, OnMenuCommand)
  ON_MESSAGE(kGraphEvent, OnGraphEvent)
  ON_MESSAGE(kNextJob, OnNextJob)
  ON_WM_TIMER()
END_MESSAGE_MAP()

}  // namespace

TEST(MessageMap, CommandsAndNotificationsReachTheirHandlers) {
  MessageDialog dlg;
  ASSERT_TRUE(dlg.Create(kDlgForm));
  dlg.SendDlgItemMessage(kIdCheck, BM_CLICK);
  EXPECT_EQ(dlg.clicks, 1);
  EXPECT_EQ(dlg.IsDlgButtonChecked(kIdCheck), static_cast<UINT>(BST_CHECKED));
  dlg.SendDlgItemMessage(kIdCheck, BM_CLICK);
  EXPECT_EQ(dlg.IsDlgButtonChecked(kIdCheck), static_cast<UINT>(BST_UNCHECKED));

  int before = dlg.changes;
  dlg.SetDlgItemText(kIdName, "other");
  EXPECT_EQ(dlg.changes, before + 1);

  // A range handler gets the id; clicking a radio clears its group siblings.
  dlg.SendDlgItemMessage(kIdRadio2, BM_CLICK);
  dlg.SendDlgItemMessage(kIdRadio3, BM_CLICK);
  EXPECT_EQ(dlg.radio, 2);
  EXPECT_EQ(dlg.lastRangeId, static_cast<UINT>(kIdRadio3));
  EXPECT_EQ(dlg.IsDlgButtonChecked(kIdRadio2), 0u);
  EXPECT_EQ(dlg.IsDlgButtonChecked(kIdRadio3), 1u);

  // Menu commands (no control) go by id; unknown commands are left alone.
  dlg.SendMessage(WM_COMMAND, kCmdAbout, 0);
  EXPECT_EQ(dlg.commandRange, 1);
  EXPECT_EQ(dlg.lastRangeId, kCmdAbout);
  dlg.SendMessage(WM_COMMAND, 55555, 0);
  EXPECT_EQ(dlg.commandRange, 1);
  dlg.DestroyWindow();
}

TEST(MessageMap, PostedMessagesFromAnotherThreadArriveInOrder) {
  MessageDialog dlg;
  ASSERT_TRUE(dlg.Create(kDlgForm));
  HWND hwnd = dlg.m_hWnd;
  constexpr int kCount = 500;
  std::thread poster([hwnd]() {
    for (int i = 0; i < kCount; ++i) {
      UiPostGraphNotify(hwnd, kGraphEvent, i);
      if (i % 100 == 0) PostMessage(hwnd, kNextJob, static_cast<WPARAM>(i), 0);
    }
  });
  poster.join();
  ASSERT_TRUE(RunUntil([&] { return dlg.posted.size() == kCount; }));
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(dlg.posted[static_cast<size_t>(i)], i);
  EXPECT_EQ(dlg.nextJobs, (std::vector<WPARAM>{0, 100, 200, 300, 400}));
  dlg.DestroyWindow();
  // A handle that no longer names a window is refused.
  EXPECT_FALSE(PostMessage(hwnd, kNextJob, 0, 0));
  EXPECT_FALSE(IsWindow(hwnd));
}

TEST(MessageMap, SendMessageFromAnotherThreadWaitsForTheResult) {
  MessageDialog dlg;
  ASSERT_TRUE(dlg.Create(kDlgForm));
  HWND hwnd = dlg.m_hWnd;
  std::atomic<LRESULT> result{-1};
  std::thread sender([&]() { result = SendMessage(hwnd, kGraphEvent, 0, 21); });
  ASSERT_TRUE(RunUntil([&] { return result.load() != -1; }));
  sender.join();
  EXPECT_EQ(result.load(), 42);
  ASSERT_EQ(dlg.posted.size(), 1u);
  dlg.DestroyWindow();
}

TEST(MessageMap, TimerFiresAndStopsAfterKillTimer) {
  MessageDialog dlg;
  ASSERT_TRUE(dlg.Create(kDlgForm));
  EXPECT_EQ(dlg.SetTimer(1, 1, nullptr), 1u);
  ASSERT_TRUE(RunUntil([&] { return dlg.timerA >= 3; }));
  EXPECT_FALSE(dlg.KillTimer(1));  // already killed by the handler
  // While another timer ticks several times, the killed one stays silent.
  dlg.SetTimer(2, 1, nullptr);
  ASSERT_TRUE(RunUntil([&] { return dlg.timerB >= 5; }));
  EXPECT_EQ(dlg.timerA, 3);
  EXPECT_TRUE(dlg.KillTimer(2));
  EXPECT_EQ(SetTimer(reinterpret_cast<HWND>(0x999), 1, 1, nullptr), 0u);
  dlg.DestroyWindow();
}

TEST(Window, TextStateAndFamily) {
  CDialog dlg(kDlgForm);
  ASSERT_TRUE(dlg.Create(kDlgForm));
  CWnd* name = dlg.GetDlgItem(kIdName);
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name->GetParent(), &dlg);
  EXPECT_EQ(name->GetDlgCtrlID(), kIdName);
  std::string text;
  dlg.GetDlgItemText(kIdName, text);
  EXPECT_EQ(text, "hello");
  char small[3];
  EXPECT_EQ(dlg.GetDlgItemText(kIdName, small, sizeof(small)), 2);
  EXPECT_STREQ(small, "he");

  dlg.SetDlgItemInt(kIdCount, static_cast<UINT>(-17), TRUE);
  BOOL ok = FALSE;
  EXPECT_EQ(static_cast<int>(dlg.GetDlgItemInt(kIdRate, &ok)), 0);
  dlg.SetDlgItemText(kIdRate, " -17 ");
  EXPECT_EQ(static_cast<int>(dlg.GetDlgItemInt(kIdRate, &ok)), -17);
  EXPECT_TRUE(ok);
  dlg.SetDlgItemText(kIdRate, "12abc");
  dlg.GetDlgItemInt(kIdRate, &ok);
  EXPECT_FALSE(ok);

  name->EnableWindow(FALSE);
  EXPECT_FALSE(name->IsWindowEnabled());
  EXPECT_TRUE(name->GetStyle() & WS_DISABLED);
  name->ShowWindow(SW_HIDE);
  EXPECT_FALSE(name->GetStyle() & WS_VISIBLE);
  name->ModifyStyle(0, ES_READONLY);
  EXPECT_TRUE(name->GetStyle() & ES_READONLY);

  char cls[32];
  GetClassName(dlg.GetDlgItem(kIdCombo)->m_hWnd, cls, sizeof(cls));
  EXPECT_STREQ(cls, "ComboBox");
  CWnd* next = dlg.GetNextDlgGroupItem(dlg.GetDlgItem(kIdRadio3));
  EXPECT_EQ(next, dlg.GetDlgItem(kIdRadio1));  // wraps inside the group
  HWND h = dlg.m_hWnd;
  HWND child = name->m_hWnd;
  dlg.DestroyWindow();
  EXPECT_FALSE(IsWindow(h));
  EXPECT_FALSE(IsWindow(child));
  EXPECT_EQ(CWnd::FromHandle(child), nullptr);
}
