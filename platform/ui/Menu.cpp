#include "platform/ui/Menu.h"

#include <QGuiApplication>
#include <QMenu>
#include <mutex>

#include "platform/ui/Resource.h"
#include "platform/ui/WindowRecord.h"

struct UiMenuItem {
  UINT id = 0;
  UINT flags = 0;
  std::string text;
  std::shared_ptr<UiMenu> popup;
};

struct UiMenu {
  std::vector<UiMenuItem> items;
};

namespace {

std::mutex g_hookLock;
UiTrackMenuHook g_hook;

// Resource menus nest; a depth cap keeps a malformed table from recursing
// without end.
void Build(UiMenu& menu, const PmrMenuItem* items, UINT count, int depth) {
  if (!items || depth > 16) return;
  for (UINT i = 0; i < std::min<UINT>(count, 1024); ++i) {
    UiMenuItem m;
    m.id = items[i].id;
    m.flags = items[i].flags;
    m.text = items[i].text ? items[i].text : "";
    if (!items[i].text) m.flags |= MF_SEPARATOR;
    if (items[i].flags & MF_POPUP) {
      m.popup = std::make_shared<UiMenu>();
      Build(*m.popup, items[i].items, items[i].itemCount, depth + 1);
    }
    menu.items.push_back(std::move(m));
  }
}

UiMenuItem* Find(UiMenu* menu, UINT item, UINT flags) {
  if (!menu) return nullptr;
  if (flags & MF_BYPOSITION) return item < menu->items.size() ? &menu->items[item] : nullptr;
  for (auto& m : menu->items) {
    if (!(m.flags & (MF_POPUP | MF_SEPARATOR)) && m.id == item) return &m;
    if (m.popup)
      if (UiMenuItem* inner = Find(m.popup.get(), item, flags)) return inner;
  }
  return nullptr;
}

void Commands(const UiMenu& menu, std::vector<UINT>& out) {
  for (auto& m : menu.items) {
    if (m.popup)
      Commands(*m.popup, out);
    else if (!(m.flags & MF_SEPARATOR))
      out.push_back(m.id);
  }
}

void Fill(QMenu& q, const UiMenu& menu) {
  for (auto& m : menu.items) {
    if (m.flags & MF_SEPARATOR) {
      q.addSeparator();
    } else if (m.popup) {
      Fill(*q.addMenu(UiQ(m.text)), *m.popup);
    } else {
      QAction* a = q.addAction(UiQ(m.text));
      a->setData(m.id);
      a->setEnabled(!(m.flags & (MF_GRAYED | MF_DISABLED)));
      a->setCheckable(m.flags & MF_CHECKED);
      a->setChecked(m.flags & MF_CHECKED);
    }
  }
}

}  // namespace

void UiSetTrackMenuHook(UiTrackMenuHook hook) {
  std::lock_guard<std::mutex> lock(g_hookLock);
  g_hook = std::move(hook);
}

CMenu::CMenu() = default;
CMenu::~CMenu() = default;

BOOL CMenu::LoadMenu(UINT id) {
  const PmrMenuTemplate* tpl = UiFindMenuTemplate(id);
  if (!tpl) return FALSE;
  DestroyMenu();
  menu_ = std::make_shared<UiMenu>();
  Build(*menu_, tpl->items, tpl->itemCount, 0);
  m_hMenu = reinterpret_cast<HMENU>(menu_.get());
  return TRUE;
}

BOOL CMenu::CreateMenu() {
  DestroyMenu();
  menu_ = std::make_shared<UiMenu>();
  m_hMenu = reinterpret_cast<HMENU>(menu_.get());
  return TRUE;
}

BOOL CMenu::CreatePopupMenu() { return CreateMenu(); }

BOOL CMenu::DestroyMenu() {
  if (!menu_) return FALSE;
  subMenus_.clear();
  menu_.reset();
  m_hMenu = nullptr;
  return TRUE;
}

BOOL CMenu::AppendMenu(UINT flags, UINT_PTR idOrPopup, const char* text) {
  if (!menu_) return FALSE;
  UiMenuItem m;
  m.flags = flags;
  m.text = text ? text : "";
  if (flags & MF_POPUP) {
    // The popup is one made by another CMenu of this program.
    auto* sub = reinterpret_cast<UiMenu*>(idOrPopup);
    if (!sub || sub == menu_.get()) return FALSE;
    m.popup = std::make_shared<UiMenu>(*sub);
  } else {
    m.id = static_cast<UINT>(idOrPopup);
  }
  menu_->items.push_back(std::move(m));
  return TRUE;
}

CMenu* CMenu::GetSubMenu(int position) {
  if (!menu_ || position < 0 || position >= static_cast<int>(menu_->items.size())) return nullptr;
  auto popup = menu_->items[static_cast<size_t>(position)].popup;
  if (!popup) return nullptr;
  auto& slot = subMenus_[popup.get()];
  if (!slot) {
    slot = std::make_unique<CMenu>();
    slot->menu_ = popup;
    slot->m_hMenu = reinterpret_cast<HMENU>(popup.get());
  }
  return slot.get();
}

int CMenu::GetMenuItemCount() const { return menu_ ? static_cast<int>(menu_->items.size()) : -1; }

UINT CMenu::GetMenuItemID(int position) const {
  if (!menu_ || position < 0 || position >= static_cast<int>(menu_->items.size())) return MENU_ERROR;
  const UiMenuItem& m = menu_->items[static_cast<size_t>(position)];
  return m.popup ? MENU_ERROR : (m.flags & MF_SEPARATOR) ? 0 : m.id;
}

UINT CMenu::GetMenuState(UINT item, UINT flags) const {
  UiMenuItem* m = Find(menu_.get(), item, flags);
  return m ? (m->flags & (MF_GRAYED | MF_DISABLED | MF_CHECKED | MF_POPUP | MF_SEPARATOR)) : MENU_ERROR;
}

int CMenu::GetMenuString(UINT item, std::string& text, UINT flags) const {
  UiMenuItem* m = Find(menu_.get(), item, flags);
  text = m ? m->text : std::string();
  return static_cast<int>(text.size());
}

UINT CMenu::EnableMenuItem(UINT item, UINT enable) {
  UiMenuItem* m = Find(menu_.get(), item, enable & MF_BYPOSITION);
  if (!m) return MENU_ERROR;
  UINT old = m->flags & (MF_GRAYED | MF_DISABLED);
  m->flags = (m->flags & ~(MF_GRAYED | MF_DISABLED)) | (enable & (MF_GRAYED | MF_DISABLED));
  return old;
}

UINT CMenu::CheckMenuItem(UINT item, UINT check) {
  UiMenuItem* m = Find(menu_.get(), item, check & MF_BYPOSITION);
  if (!m) return MENU_ERROR;
  UINT old = m->flags & MF_CHECKED;
  m->flags = (m->flags & ~MF_CHECKED) | (check & MF_CHECKED);
  return old;
}

BOOL CMenu::DeleteMenu(UINT item, UINT flags) {
  if (!menu_) return FALSE;
  auto& items = menu_->items;
  for (size_t i = 0; i < items.size(); ++i) {
    bool hit = (flags & MF_BYPOSITION) ? i == item : (!items[i].popup && items[i].id == item);
    if (hit) {
      items.erase(items.begin() + static_cast<long>(i));
      return TRUE;
    }
  }
  return FALSE;
}

BOOL CMenu::TrackPopupMenu(UINT flags, int x, int y, CWnd* wnd, LPCRECT) {
  if (!menu_) return FALSE;
  UiTrackMenuHook hook;
  {
    std::lock_guard<std::mutex> lock(g_hookLock);
    hook = g_hook;
  }
  UINT chosen = 0;
  if (hook) {
    std::vector<UINT> commands;
    Commands(*menu_, commands);
    chosen = hook(commands);
    UiMenuItem* m = chosen ? Find(menu_.get(), chosen, MF_BYCOMMAND) : nullptr;
    if (!m || (m->flags & (MF_GRAYED | MF_DISABLED))) chosen = 0;
  } else if (UiIsUiThread() && QGuiApplication::platformName() != "offscreen" &&
             QGuiApplication::platformName() != "minimal") {
    QMenu q(wnd ? wnd->GetWidget() : nullptr);
    Fill(q, *menu_);
    QAction* a = q.exec(QPoint(x, y));
    chosen = a ? a->data().toUInt() : 0;
  }
  if (flags & TPM_RETURNCMD) return static_cast<BOOL>(chosen);
  if (chosen && wnd && !(flags & TPM_NONOTIFY)) wnd->PostMessage(WM_COMMAND, chosen, 0);
  return TRUE;
}
