#include "platform/ui/HeaderCtrl.h"

#include <QHeaderView>
#include <QTreeWidget>

#include "platform/ui/WindowRecord.h"

namespace {
constexpr int kFormatRole = Qt::UserRole + 1;

QTreeWidget* TreeOf(HWND header, QHeaderView** view) {
  UiWindow* rec = UiFindWindow(header);
  auto* h = rec ? qobject_cast<QHeaderView*>(rec->widget.data()) : nullptr;
  if (view) *view = h;
  return h ? qobject_cast<QTreeWidget*>(h->parentWidget()) : nullptr;
}
}  // namespace

int CHeaderCtrl::GetItemCount() const {
  QTreeWidget* t = TreeOf(m_hWnd, nullptr);
  return t ? t->columnCount() : -1;
}

BOOL CHeaderCtrl::GetItem(int index, HDITEM* item) const {
  QHeaderView* view = nullptr;
  QTreeWidget* t = TreeOf(m_hWnd, &view);
  if (!t || !item || index < 0 || index >= t->columnCount()) return FALSE;
  if (item->mask & HDI_WIDTH) item->cxy = view->sectionSize(index);
  if (item->mask & HDI_FORMAT) item->fmt = t->headerItem()->data(index, kFormatRole).toInt();
  if ((item->mask & HDI_TEXT) && item->pszText && item->cchTextMax > 0)
    UiCopyText(UiS(t->headerItem()->text(index)), static_cast<WPARAM>(item->cchTextMax), reinterpret_cast<LPARAM>(item->pszText));
  return TRUE;
}

BOOL CHeaderCtrl::SetItem(int index, HDITEM* item) {
  QHeaderView* view = nullptr;
  QTreeWidget* t = TreeOf(m_hWnd, &view);
  if (!t || !item || index < 0 || index >= t->columnCount()) return FALSE;
  if (item->mask & HDI_WIDTH) view->resizeSection(index, std::max(item->cxy, 0));
  if (item->mask & HDI_FORMAT) t->headerItem()->setData(index, kFormatRole, item->fmt);
  if ((item->mask & HDI_TEXT) && item->pszText) t->headerItem()->setText(index, UiQ(item->pszText));
  view->viewport()->update();
  return TRUE;
}

BOOL CHeaderCtrl::GetItemRect(int index, LPRECT rect) const {
  QHeaderView* view = nullptr;
  QTreeWidget* t = TreeOf(m_hWnd, &view);
  if (!t || !rect || index < 0 || index >= t->columnCount()) return FALSE;
  int x = view->sectionViewportPosition(index);
  *rect = RECT{x, 0, x + view->sectionSize(index), view->height()};
  return TRUE;
}

BOOL CHeaderCtrl::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  if (message == WM_DRAWITEM && lParam) {
    DrawItem(reinterpret_cast<LPDRAWITEMSTRUCT>(lParam));
    if (result) *result = TRUE;
    return TRUE;
  }
  return CWnd::OnChildNotify(message, wParam, lParam, result);
}
