#include "platform/ui/ListCtrl.h"

#include <QApplication>
#include <QHeaderView>
#include <QStyledItemDelegate>
#include <QMouseEvent>
#include <QPainter>
#include <QTreeWidget>
#include <cstring>
#include <set>

#include "platform/ui/Dc.h"
#include "platform/ui/HeaderCtrl.h"
#include "platform/ui/ImageList.h"
#include "platform/ui/ItemViewFocus.h"
#include "platform/ui/WindowRecord.h"

namespace {

constexpr int kFormatRole = Qt::UserRole + 1;
constexpr int kImageRole = Qt::UserRole + 2;

class HeaderView : public UiHost<QHeaderView> {
 public:
  using UiHost<QHeaderView>::UiHost;

 protected:
  void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override {
    auto* tree = qobject_cast<QTreeWidget*>(parentWidget());
    int fmt = tree ? tree->headerItem()->data(logicalIndex, kFormatRole).toInt() : 0;
    UiWindow* rec = UiFindWindow(this);
    if (!(fmt & HDF_OWNERDRAW) || !rec) return QHeaderView::paintSection(painter, rect, logicalIndex);
    painter->save();
    CDC dc;
    dc.UiAttachPainter(painter, width(), height());
    UiSelectWindowFont(dc, *rec);
    DRAWITEMSTRUCT dis{};
    dis.CtlType = ODT_HEADER;
    dis.itemID = static_cast<UINT>(logicalIndex);
    dis.itemAction = ODA_DRAWENTIRE;
    dis.hwndItem = rec->hwnd;
    dis.hDC = dc.m_hDC;
    dis.rcItem = RECT{rect.left(), rect.top(), rect.left() + rect.width(), rect.top() + rect.height()};
    ::SendMessage(rec->parent, WM_DRAWITEM, 0, reinterpret_cast<LPARAM>(&dis));
    painter->restore();
  }
};

class ListViewWidget : public UiFocusFramedView<QTreeWidget> {
 public:
  using UiFocusFramedView<QTreeWidget>::UiFocusFramedView;
  std::shared_ptr<UiImageListData> smallImages;
  DWORD exStyle = 0;
  std::set<QTreeWidgetItem*> selected;  // as last reported, for LVN_ITEMCHANGED
  HWND header = nullptr;
  bool fillLast = false;  // the last column fills the viewport's width

  void FillLastColumn() {
    const int last = columnCount() - 1;
    if (!fillLast || last < 0) return;
    int rest = viewport()->width();
    for (int c = 0; c < last; ++c) rest -= columnWidth(c);
    setColumnWidth(last, std::max(rest, QTreeView::header()->minimumSectionSize()));
  }
};

ListViewWidget* Of(HWND hwnd);

// A path that does not fit keeps its file name whole and loses the middle
// of its folders: two names that differ only near their ends stay apart.
// Other texts are cut in their middle.
class PathCutDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    const QString text = option->text;
    const qsizetype slash = text.lastIndexOf('/');
    if (slash <= 0) return;
    const QWidget* w = option->widget;
    const QStyle* style = w ? w->style() : QApplication::style();
    // Where the style draws the text, less its margins on both sides.
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, w) + 1;
    const int room = style->subElementRect(QStyle::SE_ItemViewItemText, option, w).width() - 2 * margin;
    const QFontMetrics& fm = option->fontMetrics;
    if (room <= 0 || fm.horizontalAdvance(text) <= room) return;
    const QString name = text.mid(slash);
    const int folderRoom = room - fm.horizontalAdvance(name);
    // With no room left for the folders the name alone is shown, cut in
    // its middle by the style when even that is too long.
    option->text = folderRoom > fm.horizontalAdvance(QString(QChar(0x2026)))
                       ? fm.elidedText(text.left(slash), Qt::ElideMiddle, folderRoom) + name
                       : QString(QChar(0x2026)) + name;
  }
};

// Clicks on the item area come to the viewport, not the control.
class ViewportFilter : public QObject {
 public:
  ViewportFilter(HWND list, QObject* parent) : QObject(parent), list_(list) {}
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Resize) {
      if (auto* w = Of(list_)) w->FillLastColumn();
      return false;
    }
    UINT code = 0;
    if (e->type() == QEvent::MouseButtonRelease)
      code = static_cast<QMouseEvent*>(e)->button() == Qt::RightButton ? NM_RCLICK : NM_CLICK;
    else if (e->type() == QEvent::MouseButtonDblClick)
      code = NM_DBLCLK;
    if (!code) return false;
    UiWindow* rec = UiFindWindow(list_);
    auto* w = rec ? dynamic_cast<ListViewWidget*>(rec->widget.data()) : nullptr;
    if (!w) return false;
    QPoint p = static_cast<QMouseEvent*>(e)->position().toPoint();
    QModelIndex index = w->indexAt(p);
    NMITEMACTIVATE nm{};
    nm.iItem = index.isValid() ? index.row() : -1;
    nm.iSubItem = index.isValid() ? index.column() : 0;
    nm.ptAction = POINT{p.x(), p.y()};
    UiNotifyParent(*rec, &nm.hdr, code);
    return false;
  }

 private:
  HWND list_;
};

ListViewWidget* Of(HWND hwnd) {
  UiWindow* rec = UiFindWindow(hwnd);
  return rec ? dynamic_cast<ListViewWidget*>(rec->widget.data()) : nullptr;
}

void SelectionChanged(HWND hwnd) {
  ListViewWidget* w = Of(hwnd);
  if (!w) return;
  std::set<QTreeWidgetItem*> now;
  for (QTreeWidgetItem* item : w->selectedItems()) now.insert(item);
  std::vector<std::pair<int, bool>> changes;
  for (int i = 0; i < w->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = w->topLevelItem(i);
    bool was = w->selected.count(item) > 0, is = now.count(item) > 0;
    if (was != is) changes.emplace_back(i, is);
  }
  w->selected = now;
  for (auto& c : changes) {
    UiWindow* rec = UiFindWindow(hwnd);
    if (!rec) return;
    NMLISTVIEW nm{};
    nm.iItem = c.first;
    nm.uChanged = LVIF_STATE;
    nm.uOldState = c.second ? 0 : LVIS_SELECTED;
    nm.uNewState = c.second ? LVIS_SELECTED : 0;
    UiNotifyParent(*rec, &nm.hdr, LVN_ITEMCHANGED);
  }
}

void ApplyImage(ListViewWidget* w, QTreeWidgetItem* item) {
  int image = item->data(0, kImageRole).isValid() ? item->data(0, kImageRole).toInt() : -1;
  QImage img = UiImageListImage(w->smallImages, image);
  item->setIcon(0, img.isNull() ? QIcon() : QIcon(QPixmap::fromImage(img)));
}

}  // namespace

QWidget* UiMakeListViewWidget(UiWindow& rec, QWidget* parent) {
  auto* w = new ListViewWidget(parent);
  w->setRootIsDecorated(false);
  w->setItemsExpandable(false);
  w->setUniformRowHeights(true);
  w->setAllColumnsShowFocus(true);
  w->setColumnCount(0);
  w->setSelectionMode((rec.style & LVS_SINGLESEL) ? QAbstractItemView::SingleSelection
                                                  : QAbstractItemView::ExtendedSelection);
  w->setSelectionBehavior(QAbstractItemView::SelectRows);
  // The lists show paths: a cut in the middle of the folders keeps the
  // file's name.
  w->setTextElideMode(Qt::ElideMiddle);
  w->setItemDelegate(new PathCutDelegate(w));
  auto* header = new HeaderView(Qt::Horizontal, w);
  header->setSectionsClickable(!(rec.style & LVS_NOSORTHEADER));
  header->setStretchLastSection(false);
  w->setHeader(header);
  header->setVisible(!(rec.style & LVS_NOCOLUMNHEADER));
  UiWindow* hrec = UiNewWindow(nullptr, UiKind::Header, "SysHeader32", 0, WS_CHILD | WS_VISIBLE, 0, rec.hwnd);
  UiSetWidget(*hrec, header);
  hrec->defaultWrapper = UiMakeWrapper(UiKind::Header);
  hrec->defaultWrapper->m_hWnd = hrec->hwnd;
  hrec->wnd = hrec->defaultWrapper.get();
  w->header = hrec->hwnd;
  HWND hwnd = rec.hwnd;
  w->viewport()->installEventFilter(new ViewportFilter(hwnd, w));
  QObject::connect(w, &QTreeWidget::itemSelectionChanged, [hwnd]() { SelectionChanged(hwnd); });
  return w;
}

CListCtrl::CListCtrl() = default;
CListCtrl::~CListCtrl() = default;

DWORD CListCtrl::SetExtendedStyle(DWORD style) {
  ListViewWidget* w = Of(m_hWnd);
  if (!w) return 0;
  DWORD old = std::exchange(w->exStyle, style);
  // Info tips: a cell shows its whole text when the pointer rests on it.
  if ((old ^ style) & LVS_EX_INFOTIP)
    for (int i = 0; i < w->topLevelItemCount(); ++i)
      for (int c = 0; c < w->columnCount(); ++c)
        w->topLevelItem(i)->setToolTip(c, (style & LVS_EX_INFOTIP) ? w->topLevelItem(i)->text(c) : QString());
  // Without full-row selection only the first column shows the selection;
  // the row is still the unit of selection, as on the platform.
  w->setAllColumnsShowFocus(style & LVS_EX_FULLROWSELECT);
  w->setStyleSheet((style & LVS_EX_GRIDLINES) ? "QTreeView::item { border: 1px solid #d0d0d0; }" : "");
  return old;
}

DWORD CListCtrl::GetExtendedStyle() const {
  ListViewWidget* w = Of(m_hWnd);
  return w ? w->exStyle : 0;
}

int CListCtrl::InsertColumn(int column, const char* heading, int format, int width, int) {
  ListViewWidget* w = Of(m_hWnd);
  if (!w || column < 0) return -1;
  int n = w->columnCount();
  column = std::min(column, n);
  QTreeWidgetItem* h = w->headerItem();
  // Qt appends columns; shift the later headings and cells one to the right.
  w->setColumnCount(n + 1);
  for (int c = n; c > column; --c) {
    h->setText(c, h->text(c - 1));
    h->setData(c, kFormatRole, h->data(c - 1, kFormatRole));
    w->setColumnWidth(c, w->columnWidth(c - 1));
    for (int i = 0; i < w->topLevelItemCount(); ++i) w->topLevelItem(i)->setText(c, w->topLevelItem(i)->text(c - 1));
  }
  h->setText(column, UiQ(heading));
  int align = (format & 0x3) == LVCFMT_RIGHT ? HDF_RIGHT : (format & 0x3) == LVCFMT_CENTER ? HDF_CENTER : HDF_LEFT;
  h->setData(column, kFormatRole, HDF_STRING | align);
  h->setTextAlignment(column, align == HDF_RIGHT ? Qt::AlignRight : align == HDF_CENTER ? Qt::AlignHCenter : Qt::AlignLeft);
  for (int i = 0; i < w->topLevelItemCount(); ++i) w->topLevelItem(i)->setText(column, QString());
  if (width >= 0) w->setColumnWidth(column, width);
  return column;
}

BOOL CListCtrl::DeleteColumn(int column) {
  ListViewWidget* w = Of(m_hWnd);
  if (!w || column < 0 || column >= w->columnCount()) return FALSE;
  int n = w->columnCount();
  QTreeWidgetItem* h = w->headerItem();
  for (int c = column; c + 1 < n; ++c) {
    h->setText(c, h->text(c + 1));
    h->setData(c, kFormatRole, h->data(c + 1, kFormatRole));
    w->setColumnWidth(c, w->columnWidth(c + 1));
    for (int i = 0; i < w->topLevelItemCount(); ++i) w->topLevelItem(i)->setText(c, w->topLevelItem(i)->text(c + 1));
  }
  w->setColumnCount(n - 1);
  return TRUE;
}

int CListCtrl::GetColumnWidth(int column) const {
  ListViewWidget* w = Of(m_hWnd);
  return w && column >= 0 && column < w->columnCount() ? w->columnWidth(column) : 0;
}

BOOL CListCtrl::SetColumnWidth(int column, int width) {
  ListViewWidget* w = Of(m_hWnd);
  if (!w || column < 0 || column >= w->columnCount()) return FALSE;
  if (width == LVSCW_AUTOSIZE_USEHEADER && column == w->columnCount() - 1) {
    // Kept filled as the viewport changes (a vertical scroll bar comes and
    // goes), so the columns never need a horizontal bar.
    w->fillLast = true;
    w->FillLastColumn();
  } else if (width < 0) {
    w->resizeColumnToContents(column);
  } else {
    w->setColumnWidth(column, width);
  }
  return TRUE;
}

int CListCtrl::InsertItem(int item, const char* text) { return InsertItem(item, text, -1); }

int CListCtrl::InsertItem(int item, const char* text, int image) {
  LVITEM lv{};
  lv.mask = LVIF_TEXT | (image >= 0 ? LVIF_IMAGE : 0);
  lv.iItem = item;
  lv.pszText = const_cast<char*>(text);
  lv.iImage = image;
  return InsertItem(&lv);
}

int CListCtrl::InsertItem(const LVITEM* lv) {
  ListViewWidget* w = Of(m_hWnd);
  if (!w || !lv || lv->iItem < 0 || lv->iSubItem != 0) return -1;
  int at = std::min(lv->iItem, w->topLevelItemCount());
  auto* item = new QTreeWidgetItem();
  item->setData(0, Qt::UserRole, QVariant::fromValue<qulonglong>(0));
  w->insertTopLevelItem(at, item);
  LVITEM copy = *lv;
  copy.iItem = at;
  SetItem(&copy);
  return at;
}

BOOL CListCtrl::SetItem(const LVITEM* lv) {
  ListViewWidget* w = Of(m_hWnd);
  if (!w || !lv) return FALSE;
  QTreeWidgetItem* item = w->topLevelItem(lv->iItem);
  if (!item || lv->iSubItem < 0 || (lv->iSubItem > 0 && lv->iSubItem >= w->columnCount())) return FALSE;
  if (lv->mask & LVIF_TEXT) {
    item->setText(lv->iSubItem, UiQ(lv->pszText));
    if (w->exStyle & LVS_EX_INFOTIP) item->setToolTip(lv->iSubItem, item->text(lv->iSubItem));
  }
  if ((lv->mask & LVIF_IMAGE) && lv->iSubItem == 0) {
    item->setData(0, kImageRole, lv->iImage);
    ApplyImage(w, item);
  }
  if ((lv->mask & LVIF_PARAM) && lv->iSubItem == 0)
    item->setData(0, Qt::UserRole, QVariant::fromValue<qulonglong>(static_cast<qulonglong>(lv->lParam)));
  if (lv->mask & LVIF_STATE) SetItemState(lv->iItem, lv->state, lv->stateMask);
  return TRUE;
}

BOOL CListCtrl::GetItem(LVITEM* lv) const {
  ListViewWidget* w = Of(m_hWnd);
  QTreeWidgetItem* item = w && lv ? w->topLevelItem(lv->iItem) : nullptr;
  if (!item || lv->iSubItem < 0) return FALSE;
  if ((lv->mask & LVIF_TEXT) && lv->pszText && lv->cchTextMax > 0)
    UiCopyText(UiS(item->text(lv->iSubItem)), static_cast<WPARAM>(lv->cchTextMax), reinterpret_cast<LPARAM>(lv->pszText));
  if (lv->mask & LVIF_IMAGE)
    lv->iImage = item->data(0, kImageRole).isValid() ? item->data(0, kImageRole).toInt() : -1;
  if (lv->mask & LVIF_PARAM) lv->lParam = static_cast<LPARAM>(item->data(0, Qt::UserRole).value<qulonglong>());
  if (lv->mask & LVIF_STATE) lv->state = GetItemState(lv->iItem, lv->stateMask);
  return TRUE;
}

BOOL CListCtrl::SetItemText(int item, int subItem, const char* text) {
  LVITEM lv{};
  lv.mask = LVIF_TEXT;
  lv.iItem = item;
  lv.iSubItem = subItem;
  lv.pszText = const_cast<char*>(text ? text : "");
  return SetItem(&lv);
}

std::string CListCtrl::GetItemText(int item, int subItem) const {
  ListViewWidget* w = Of(m_hWnd);
  QTreeWidgetItem* it = w ? w->topLevelItem(item) : nullptr;
  return it && subItem >= 0 ? UiS(it->text(subItem)) : std::string();
}

BOOL CListCtrl::SetItemData(int item, DWORD_PTR data) {
  LVITEM lv{};
  lv.mask = LVIF_PARAM;
  lv.iItem = item;
  lv.lParam = static_cast<LPARAM>(data);
  return SetItem(&lv);
}

DWORD_PTR CListCtrl::GetItemData(int item) const {
  ListViewWidget* w = Of(m_hWnd);
  QTreeWidgetItem* it = w ? w->topLevelItem(item) : nullptr;
  return it ? static_cast<DWORD_PTR>(it->data(0, Qt::UserRole).value<qulonglong>()) : 0;
}

BOOL CListCtrl::SetItemState(int item, UINT state, UINT mask) {
  ListViewWidget* w = Of(m_hWnd);
  if (!w) return FALSE;
  int first = item < 0 ? 0 : item, last = item < 0 ? w->topLevelItemCount() - 1 : item;
  if (item >= w->topLevelItemCount()) return FALSE;
  for (int i = first; i <= last; ++i) {
    QTreeWidgetItem* it = w->topLevelItem(i);
    if (mask & LVIS_SELECTED) it->setSelected(state & LVIS_SELECTED);
    if ((mask & LVIS_FOCUSED) && (state & LVIS_FOCUSED))
      w->setCurrentItem(it, 0, QItemSelectionModel::NoUpdate);
  }
  return TRUE;
}

UINT CListCtrl::GetItemState(int item, UINT mask) const {
  ListViewWidget* w = Of(m_hWnd);
  QTreeWidgetItem* it = w ? w->topLevelItem(item) : nullptr;
  if (!it) return 0;
  UINT s = (it->isSelected() ? LVIS_SELECTED : 0) | (w->currentItem() == it ? LVIS_FOCUSED : 0);
  return s & mask;
}

int CListCtrl::GetNextItem(int start, UINT flags) const {
  ListViewWidget* w = Of(m_hWnd);
  if (!w) return -1;
  for (int i = std::max(start + 1, 0); i < w->topLevelItemCount(); ++i) {
    UINT s = GetItemState(i, LVIS_SELECTED | LVIS_FOCUSED);
    if ((flags & LVNI_SELECTED) && !(s & LVIS_SELECTED)) continue;
    if ((flags & LVNI_FOCUSED) && !(s & LVIS_FOCUSED)) continue;
    return i;
  }
  return -1;
}

POSITION CListCtrl::GetFirstSelectedItemPosition() const {
  int i = GetNextItem(-1, LVNI_SELECTED);
  return i < 0 ? nullptr : reinterpret_cast<POSITION>(static_cast<uintptr_t>(i) + 1);
}

int CListCtrl::GetNextSelectedItem(POSITION& pos) const {
  if (!pos) return -1;
  int i = static_cast<int>(reinterpret_cast<uintptr_t>(pos) - 1);
  int next = GetNextItem(i, LVNI_SELECTED);
  pos = next < 0 ? nullptr : reinterpret_cast<POSITION>(static_cast<uintptr_t>(next) + 1);
  return i;
}

UINT CListCtrl::GetSelectedCount() const {
  ListViewWidget* w = Of(m_hWnd);
  return w ? static_cast<UINT>(w->selectedItems().size()) : 0;
}

int CListCtrl::GetItemCount() const {
  ListViewWidget* w = Of(m_hWnd);
  return w ? w->topLevelItemCount() : 0;
}

BOOL CListCtrl::DeleteItem(int item) {
  ListViewWidget* w = Of(m_hWnd);
  if (!w || item < 0 || item >= w->topLevelItemCount()) return FALSE;
  QTreeWidgetItem* it = w->takeTopLevelItem(item);
  w->selected.erase(it);
  delete it;
  return TRUE;
}

BOOL CListCtrl::DeleteAllItems() {
  ListViewWidget* w = Of(m_hWnd);
  if (!w) return FALSE;
  w->clear();
  w->selected.clear();
  return TRUE;
}

BOOL CListCtrl::EnsureVisible(int item, BOOL) {
  ListViewWidget* w = Of(m_hWnd);
  QTreeWidgetItem* it = w ? w->topLevelItem(item) : nullptr;
  if (!it) return FALSE;
  w->scrollToItem(it);
  return TRUE;
}

BOOL CListCtrl::GetItemRect(int item, LPRECT rect, UINT) const {
  ListViewWidget* w = Of(m_hWnd);
  QTreeWidgetItem* it = w ? w->topLevelItem(item) : nullptr;
  if (!it || !rect) return FALSE;
  QRect r = w->visualItemRect(it);
  QPoint tl = w->viewport()->mapTo(w, r.topLeft());
  *rect = RECT{tl.x(), tl.y(), tl.x() + w->viewport()->width(), tl.y() + r.height()};
  return TRUE;
}

CImageList* CListCtrl::SetImageList(CImageList* list, int kind) {
  ListViewWidget* w = Of(m_hWnd);
  if (!w) return nullptr;
  if (kind == LVSIL_NORMAL) return std::exchange(m_normal, list);
  CImageList* old = std::exchange(m_small, list);
  w->smallImages = list ? list->UiData() : nullptr;
  for (int i = 0; i < w->topLevelItemCount(); ++i) ApplyImage(w, w->topLevelItem(i));
  return old;
}

CImageList* CListCtrl::GetImageList(int kind) const { return kind == LVSIL_NORMAL ? m_normal : m_small; }

CHeaderCtrl* CListCtrl::GetHeaderCtrl() const {
  ListViewWidget* w = Of(m_hWnd);
  return w ? dynamic_cast<CHeaderCtrl*>(CWnd::FromHandle(w->header)) : nullptr;
}
