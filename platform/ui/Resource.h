// Resources of the user interface: dialog templates, menus, strings, bitmaps
// and icons. They live in a separate shared library (the resource module)
// that exports one C function, PmrGetResources, handing out a table of plain
// C structures; nothing but data crosses the module boundary, so the module
// can be built by any compiler and swapped without rebuilding the program.
//
// Dialog templates are in dialog units, which the framework maps to pixels
// from the dialog's font (see Dialog.h). Bitmaps and icons are the bytes of
// a PNG or BMP file.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/win32/Types.h"

extern "C" {

// Bumped whenever a structure below changes shape; a module built against
// another version is refused.
#define PMR_RESOURCE_ABI_VERSION 2u

struct PmrControlTemplate {
  const char* className;  // "Button", "Static", "Edit", "ComboBox", "ListBox", "SysListView32",
                          // "msctls_progress32", "msctls_updown32", "msctls_trackbar32"; other
                          // names give a plain child window
  int id;                 // control id (-1 for static text nobody addresses)
  const char* text;       // caption or initial text, may be null
  int x, y, cx, cy;       // dialog units, relative to the dialog's client area
  DWORD style;            // WS_* | class style bits (BS_*, ES_*, CBS_*, LVS_*, ...)
  DWORD exStyle;          // WS_EX_*
};

struct PmrDialogTemplate {
  UINT id;
  int cx, cy;             // client size in dialog units
  const char* caption;
  DWORD style;            // WS_CHILD makes an embedded page, else a top-level window
  DWORD exStyle;
  const char* fontFace;   // may be null: the application's font
  int fontPointSize;      // 0: the application's size
  const PmrControlTemplate* controls;
  UINT controlCount;      // controls are created in this order (tab and group order)
};

// Menu item flags, the platform's MF_* values.
struct PmrMenuItem {
  UINT id;                // command id; 0 for separators and popups
  const char* text;       // null for a separator
  UINT flags;             // MF_POPUP, MF_SEPARATOR, MF_GRAYED, MF_CHECKED
  const PmrMenuItem* items;  // sub-items of a popup
  UINT itemCount;
};

struct PmrMenuTemplate {
  UINT id;
  const PmrMenuItem* items;  // the menu bar level; popups below it
  UINT itemCount;
};

struct PmrStringResource {
  UINT id;
  const char* text;       // UTF-8
};

struct PmrImageResource {
  UINT id;
  const unsigned char* data;  // a whole PNG or BMP file
  size_t size;
};

struct PmrResourceTable {
  UINT abiVersion;        // PMR_RESOURCE_ABI_VERSION
  UINT structSize;        // sizeof(PmrResourceTable)
  const PmrDialogTemplate* dialogs;
  UINT dialogCount;
  const PmrMenuTemplate* menus;
  UINT menuCount;
  const PmrStringResource* strings;
  UINT stringCount;
  const PmrImageResource* bitmaps;
  UINT bitmapCount;
  const PmrImageResource* icons;
  UINT iconCount;
};

// The one export of a resource module.
typedef const PmrResourceTable* (*PmrGetResourcesFn)(void);
}  // extern "C"

#define PMR_GET_RESOURCES_SYMBOL "PmrGetResources"

// Loads a resource module (a shared library exporting PmrGetResources) and
// gives its handle, or null when the file is missing, does not export the
// table, or the table is of another version.
HINSTANCE UiLoadResourceModule(const char* path);
// Unloads a module loaded above; a null or unknown handle is ignored.
void UiFreeResourceModule(HINSTANCE module);
// Makes a table compiled into the program usable through a handle of its own
// (for templates the program holds itself). The table must outlive its use.
HINSTANCE UiRegisterResourceTable(const PmrResourceTable* table);
void UiUnregisterResourceTable(HINSTANCE module);

// Lookups in one module; null when the handle is unknown or the id absent.
const PmrDialogTemplate* UiFindDialogTemplate(HINSTANCE module, UINT id);
const PmrMenuTemplate* UiFindMenuTemplate(HINSTANCE module, UINT id);
const PmrImageResource* UiFindBitmapResource(HINSTANCE module, UINT id);
const PmrImageResource* UiFindIconResource(HINSTANCE module, UINT id);
const char* UiFindStringResource(HINSTANCE module, UINT id);

// The ids of every dialog template of one module, in table order.
std::vector<UINT> UiDialogTemplateIds(HINSTANCE module);

// Framework-wide lookups: the current resource handle first, then the
// application's own instance (AfxGetInstanceHandle).
const PmrDialogTemplate* UiFindDialogTemplate(UINT id);
const PmrMenuTemplate* UiFindMenuTemplate(UINT id);
const PmrImageResource* UiFindBitmapResource(UINT id);
const PmrImageResource* UiFindIconResource(UINT id);
// The string of that id, or an empty string.
std::string UiLoadString(UINT id);

// LoadString of the platform: copies at most bufferMax - 1 bytes and a
// terminator; returns the bytes copied (0 when absent).
int LoadString(HINSTANCE module, UINT id, char* buffer, int bufferMax);
