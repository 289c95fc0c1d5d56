// Menus from the resource module, and popup menus. Headless runs choose the
// popup's command through a hook instead of waiting for the user.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/Wnd.h"

constexpr UINT MF_BYCOMMAND = 0x0;
constexpr UINT MF_BYPOSITION = 0x400;
constexpr UINT MF_ENABLED = 0x0;
constexpr UINT MF_GRAYED = 0x1;
constexpr UINT MF_DISABLED = 0x2;
constexpr UINT MF_STRING = 0x0;
constexpr UINT MF_UNCHECKED = 0x0;
constexpr UINT MF_CHECKED = 0x8;
constexpr UINT MF_POPUP = 0x10;
constexpr UINT MF_SEPARATOR = 0x800;
constexpr UINT TPM_LEFTBUTTON = 0x0;
constexpr UINT TPM_RIGHTBUTTON = 0x2;
constexpr UINT TPM_LEFTALIGN = 0x0;
constexpr UINT TPM_CENTERALIGN = 0x4;
constexpr UINT TPM_RIGHTALIGN = 0x8;
constexpr UINT TPM_NONOTIFY = 0x80;
constexpr UINT TPM_RETURNCMD = 0x100;
constexpr UINT MENU_ERROR = 0xFFFFFFFF;

struct UiMenu;

// Answers a popup: the command chosen among the enabled items (0: dismissed).
// The hook sees every command id of the menu in order; choosing a grayed or
// absent one counts as dismissing it.
using UiTrackMenuHook = std::function<UINT(const std::vector<UINT>& commands)>;
void UiSetTrackMenuHook(UiTrackMenuHook hook);

class CMenu {
 public:
  CMenu();
  ~CMenu();
  CMenu(const CMenu&) = delete;
  CMenu& operator=(const CMenu&) = delete;

  HMENU m_hMenu = nullptr;
  HMENU GetSafeHmenu() const { return m_hMenu; }
  operator HMENU() const { return m_hMenu; }

  BOOL LoadMenu(UINT id);
  BOOL CreateMenu();
  BOOL CreatePopupMenu();
  BOOL DestroyMenu();
  BOOL AppendMenu(UINT flags, UINT_PTR idOrPopup = 0, const char* text = nullptr);
  // The popup at a position; owned by this menu object.
  CMenu* GetSubMenu(int position);
  int GetMenuItemCount() const;
  UINT GetMenuItemID(int position) const;
  UINT GetMenuState(UINT item, UINT flags) const;
  int GetMenuString(UINT item, std::string& text, UINT flags) const;
  // Return the previous state (MF_GRAYED / MF_CHECKED bits) or -1 (MENU_ERROR).
  UINT EnableMenuItem(UINT item, UINT enable);
  UINT CheckMenuItem(UINT item, UINT check);
  BOOL DeleteMenu(UINT item, UINT flags);
  // With TPM_RETURNCMD the chosen command (0 for none); otherwise TRUE and
  // WM_COMMAND posted to the window for a chosen command.
  BOOL TrackPopupMenu(UINT flags, int x, int y, CWnd* wnd, LPCRECT rect = nullptr);

 private:
  std::shared_ptr<UiMenu> menu_;
  std::map<UiMenu*, std::unique_ptr<CMenu>> subMenus_;
  bool owner_ = true;
};
