// The column header of a report-view list control. Items marked
// HDF_OWNERDRAW are drawn by DrawItem (a skinned header overrides it).
#pragma once

#include <string>

#include "platform/ui/Wnd.h"

constexpr UINT HDI_WIDTH = 0x1;
constexpr UINT HDI_TEXT = 0x2;
constexpr UINT HDI_FORMAT = 0x4;
constexpr UINT HDI_LPARAM = 0x8;
constexpr int HDF_LEFT = 0x0;
constexpr int HDF_RIGHT = 0x1;
constexpr int HDF_CENTER = 0x2;
constexpr int HDF_JUSTIFYMASK = 0x3;
constexpr int HDF_STRING = 0x4000;
constexpr int HDF_OWNERDRAW = 0x8000;

struct HDITEM {
  UINT mask;
  int cxy;
  char* pszText;
  HBITMAP hbm;
  int cchTextMax;
  int fmt;
  LPARAM lParam;
};
using LPHDITEM = HDITEM*;

class CHeaderCtrl : public CWnd {
 public:
  int GetItemCount() const;
  BOOL GetItem(int index, HDITEM* item) const;
  BOOL SetItem(int index, HDITEM* item);
  BOOL GetItemRect(int index, LPRECT rect) const;
  virtual void DrawItem(LPDRAWITEMSTRUCT dis) {}
  BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
};
