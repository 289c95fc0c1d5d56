// A small resource module for the framework's tests: two dialog templates,
// a menu, strings, a bitmap and an icon.
#include "platform/ui/Dc.h"
#include "platform/ui/HeaderCtrl.h"
#include "platform/ui/ListCtrl.h"
#include "platform/ui/Menu.h"
#include "platform/ui/Resource.h"
#include "tests/platform/ui/TestIds.h"

namespace {

// 4x2 pixels, top row red, green, blue, white; bottom row black, magenta, yellow, cyan.
const unsigned char kBitmap[] = {
#include "tests/platform/ui/bmp.inc"
};

constexpr DWORD kVis = WS_VISIBLE | WS_CHILD;

const PmrControlTemplate kFormControls[] = {
    {"Edit", kIdName, "hello", 10, 10, 120, 22, kVis | WS_BORDER | WS_TABSTOP, 0},
    {"Edit", kIdCount, "", 10, 40, 60, 22, kVis | WS_BORDER | ES_NUMBER, 0},
    {"Button", kIdCheck, "Check", 10, 70, 100, 20, kVis | BS_AUTOCHECKBOX, 0},
    {"Button", kIdRadio1, "One", 10, 95, 60, 20, kVis | BS_AUTORADIOBUTTON | WS_GROUP, 0},
    {"Button", kIdRadio2, "Two", 10, 115, 60, 20, kVis | BS_AUTORADIOBUTTON, 0},
    {"Button", kIdRadio3, "Three", 10, 135, 60, 20, kVis | BS_AUTORADIOBUTTON, 0},
    {"Static", kIdLabel, "Label", 80, 95, 60, 16, kVis | WS_GROUP, 0},
    {"ComboBox", kIdCombo, nullptr, 150, 10, 120, 100, kVis | CBS_DROPDOWNLIST, 0},
    {"SysListView32", kIdList, nullptr, 150, 40, 140, 100, kVis | LVS_REPORT, 0},
    {"msctls_progress32", kIdProgress, nullptr, 10, 170, 100, 10, kVis | PBS_SMOOTH, 0},
    {"Edit", kIdRate, "", 80, 135, 50, 20, kVis | WS_BORDER, 0},
    {"Button", IDOK, "OK", 150, 160, 60, 24, kVis | BS_DEFPUSHBUTTON, 0},
    {"Button", IDCANCEL, "Cancel", 220, 160, 60, 24, kVis | BS_PUSHBUTTON, 0},
};

const PmrControlTemplate kPictureControls[] = {
    {"Static", kIdBlack, "", 40, 30, 10, 10, kVis | SS_BLACKRECT, 0},
};

// 26 average characters wide, one line high.
const PmrControlTemplate kTextControls[] = {
    {"Static", kIdLabel, "abcdefghijklmnopqrstuvwxyz", 7, 7, 104, 8, kVis, 0},
};

const PmrDialogTemplate kDialogs[] = {
    {kDlgForm, 300, 200, "Form", WS_POPUP | WS_CAPTION, 0, nullptr, 9, kFormControls, std::size(kFormControls)},
    {kDlgPicture, 64, 48, "Picture", WS_POPUP, 0, nullptr, 0, kPictureControls, std::size(kPictureControls)},
    {kDlgText, 118, 22, "Text", WS_POPUP, 0, nullptr, 0, kTextControls, std::size(kTextControls)},
    {kDlgPage, 100, 40, "Page", WS_CHILD, 0, nullptr, 0, kTextControls, std::size(kTextControls)},
    {kDlgShownPage, 100, 40, "Shown page", WS_CHILD | WS_VISIBLE, 0, nullptr, 0, kTextControls,
     std::size(kTextControls)},
};

const PmrMenuItem kFileItems[] = {
    {kCmdOpen, "&Open", 0, nullptr, 0},
    {0, nullptr, MF_SEPARATOR, nullptr, 0},
    {kCmdRemove, "&Remove", MF_GRAYED, nullptr, 0},
};
const PmrMenuItem kHelpItems[] = {{kCmdAbout, "&About", 0, nullptr, 0}};
const PmrMenuItem kBar[] = {
    {0, "File", MF_POPUP, kFileItems, std::size(kFileItems)},
    {0, "Help", MF_POPUP, kHelpItems, std::size(kHelpItems)},
};
const PmrMenuTemplate kMenus[] = {{kMenuMain, kBar, std::size(kBar)}};

const PmrStringResource kStrings[] = {{kStrQuestion, "Stop converting?"}, {kStrHello, "Hello"}};
const PmrImageResource kBitmaps[] = {{kBmpStrip, kBitmap, sizeof(kBitmap)}};
const PmrImageResource kIcons[] = {{kIconApp, kBitmap, sizeof(kBitmap)}};

const PmrResourceTable kTable = {PMR_RESOURCE_ABI_VERSION, sizeof(PmrResourceTable),
                                 kDialogs, std::size(kDialogs), kMenus, std::size(kMenus),
                                 kStrings, std::size(kStrings), kBitmaps, std::size(kBitmaps),
                                 kIcons, std::size(kIcons)};

}  // namespace

extern "C" __attribute__((visibility("default"))) const PmrResourceTable* PmrGetResources() { return &kTable; }
