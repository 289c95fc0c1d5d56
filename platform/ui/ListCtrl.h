// List controls in report view (columns, items with sub-items, an image of
// the small image list in the first column). LVN_ITEMCHANGED reaches the
// parent on every selection change, NM_CLICK / NM_DBLCLK / NM_RCLICK on
// mouse clicks (NMITEMACTIVATE, iItem -1 over empty space).
#pragma once

#include <memory>
#include <string>

#include "platform/ui/Wnd.h"

class CImageList;
class CHeaderCtrl;

constexpr UINT LVIF_TEXT = 0x1;
constexpr UINT LVIF_IMAGE = 0x2;
constexpr UINT LVIF_PARAM = 0x4;
constexpr UINT LVIF_STATE = 0x8;
constexpr UINT LVIS_FOCUSED = 0x1;
constexpr UINT LVIS_SELECTED = 0x2;
constexpr UINT LVNI_ALL = 0x0;
constexpr UINT LVNI_FOCUSED = 0x1;
constexpr UINT LVNI_SELECTED = 0x2;
constexpr int LVSIL_NORMAL = 0;
constexpr int LVSIL_SMALL = 1;
constexpr int LVCFMT_LEFT = 0x0;
constexpr int LVCFMT_RIGHT = 0x1;
constexpr int LVCFMT_CENTER = 0x2;
constexpr int LVSCW_AUTOSIZE = -1;
// The last column fills the list's width (and keeps filling it); another
// column fits its contents and heading.
constexpr int LVSCW_AUTOSIZE_USEHEADER = -2;

struct LVITEM {
  UINT mask;
  int iItem;
  int iSubItem;
  UINT state;
  UINT stateMask;
  char* pszText;
  int cchTextMax;
  int iImage;
  LPARAM lParam;
};
using LPLVITEM = LVITEM*;

class CListCtrl : public CWnd {
 public:
  CListCtrl();
  ~CListCtrl() override;
  BOOL Create(DWORD style, const RECT& rect, CWnd* parent, UINT id) {
    return CWnd::Create("SysListView32", nullptr, style, rect, parent, id);
  }
  DWORD SetExtendedStyle(DWORD style);
  DWORD GetExtendedStyle() const;
  int InsertColumn(int column, const char* heading, int format = LVCFMT_LEFT, int width = -1, int subItem = -1);
  BOOL DeleteColumn(int column);
  int GetColumnWidth(int column) const;
  BOOL SetColumnWidth(int column, int width);
  int InsertItem(int item, const char* text);
  int InsertItem(int item, const char* text, int image);
  int InsertItem(const LVITEM* item);
  BOOL SetItem(const LVITEM* item);
  BOOL GetItem(LVITEM* item) const;
  BOOL SetItemText(int item, int subItem, const char* text);
  std::string GetItemText(int item, int subItem) const;
  BOOL SetItemData(int item, DWORD_PTR data);
  DWORD_PTR GetItemData(int item) const;
  // item -1: every item.
  BOOL SetItemState(int item, UINT state, UINT mask);
  UINT GetItemState(int item, UINT mask) const;
  int GetNextItem(int start, UINT flags) const;
  POSITION GetFirstSelectedItemPosition() const;
  int GetNextSelectedItem(POSITION& pos) const;
  UINT GetSelectedCount() const;
  int GetItemCount() const;
  BOOL DeleteItem(int item);
  BOOL DeleteAllItems();
  BOOL EnsureVisible(int item, BOOL partialOk);
  BOOL GetItemRect(int item, LPRECT rect, UINT code) const;
  // The list keeps sharing the images; returns the previous list object.
  CImageList* SetImageList(CImageList* list, int kind);
  CImageList* GetImageList(int kind) const;
  CHeaderCtrl* GetHeaderCtrl() const;

 private:
  CImageList* m_small = nullptr;
  CImageList* m_normal = nullptr;
};
