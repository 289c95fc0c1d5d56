// Icons and cursors. Icons come from the resource module (PNG or BMP bytes);
// cursors are the standard shapes of the window system.
#pragma once

#include "platform/ui/Messages.h"

#define IDC_ARROW MAKEINTRESOURCE(32512)
#define IDC_IBEAM MAKEINTRESOURCE(32513)
#define IDC_WAIT MAKEINTRESOURCE(32514)
#define IDC_CROSS MAKEINTRESOURCE(32515)
#define IDC_SIZEALL MAKEINTRESOURCE(32646)
#define IDC_NO MAKEINTRESOURCE(32648)
#define IDC_HAND MAKEINTRESOURCE(32649)
#define IDI_APPLICATION MAKEINTRESOURCE(32512)

struct ICONINFO {
  BOOL fIcon;
  DWORD xHotspot;
  DWORD yHotspot;
  HBITMAP hbmMask;
  HBITMAP hbmColor;
};

// An icon of the module by id (MAKEINTRESOURCE); null when absent. Icons
// are shared: the same id gives the same handle.
HICON LoadIcon(HINSTANCE module, const char* id);
// With a null module, a standard cursor (IDC_*); else an icon of the module
// used as a cursor.
HCURSOR LoadCursor(HINSTANCE module, const char* id);
// The cursor shown over the window under the mouse; returns the previous one.
HCURSOR SetCursor(HCURSOR cursor);
// Icons of a module are shared and stay loaded; nothing to free.
inline BOOL DestroyIcon(HICON) { return TRUE; }
// Hot spot at the centre for icons; hbmMask and hbmColor are null.
BOOL GetIconInfo(HICON icon, ICONINFO* info);
// Pixel size of an icon.
BOOL UiGetIconSize(HICON icon, int* width, int* height);
