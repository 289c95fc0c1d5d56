// The resource module: dialog templates, the main menu, strings, and the
// skin drawn by pmrskingen. Everything is plain data handed out through
// PmrGetResources, so the program and the module share nothing but the ABI
// of platform/ui/Resource.h.
#include <algorithm>
#include <array>
#include <iterator>

#include "platform/ui/Messages.h"
#include "platform/ui/Menu.h"
#include "platform/ui/Resource.h"
#include "resources/ResourceIds.h"

namespace {

#include "SkinArt.inc"

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
constexpr DWORD kButton = kChild | WS_TABSTOP | BS_PUSHBUTTON;
constexpr DWORD kDefButton = kChild | WS_TABSTOP | BS_DEFPUSHBUTTON;
constexpr DWORD kCheck = kChild | WS_TABSTOP | BS_AUTOCHECKBOX;
constexpr DWORD kText = kChild | SS_LEFT;
constexpr DWORD kLink = kChild | SS_LEFT | SS_NOTIFY;
constexpr DWORD kModal = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;

// --- Main window --------------------------------------------------------
// A frameless window: the background bitmap carries its frame and title
// strip; the skin buttons are placed and shaped by the window itself.
const PmrControlTemplate kMainControls[] = {
    {"Button", 1001, "", 334, 30, 70, 20, kButton, 0},
    {"Button", 1079, "", 409, 30, 70, 20, kButton, 0},
    {"Button", 1002, "", 485, 30, 70, 20, kButton, 0},
    {"SysListView32", 1000, nullptr, 20, 65, 606, 328,
     kChild | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER, 0},
    {"Button", 1083, "", 15, 405, 506, 26, kChild | BS_PUSHBUTTON, 0},
    {"msctls_progress32", 1074, nullptr, 530, 409, 100, 18, kChild | PBS_SMOOTH, 0},
    {"Button", 1005, "", 478, 435, 151, 15, kButton, 0},
    {"Button", 1080, "", 570, 2, 20, 20, kButton, 0},
    {"Button", 1081, "", 593, 2, 20, 20, kButton, 0},
    {"Button", 1082, "", 616, 2, 20, 20, kButton, 0},
};

// --- About box ------------------------------------------------------------
const PmrControlTemplate kAboutControls[] = {
    {"Static", -1, "Pellomar", 20, 18, 280, 20, kText, 0},
    {"Static", -1, "Video converter for the desktop", 20, 42, 280, 18, kText, 0},
    {"Static", -1, "Copyright (C) Quorvel Software", 20, 66, 280, 18, kText, 0},
    {"Static", -1,
     "Converts movies to AVI, WMV/ASF, MPEG, VCD, SVCD, DVD, 3GP, PSP, iPod, MP4 and FLV, "
     "and pictures to video and back.",
     20, 92, 280, 40, kText, 0},
    {"Button", IDOK, "OK", 230, 140, 70, 24, kDefButton | WS_GROUP, 0},
};

// --- Notices ----------------------------------------------------------------
const PmrControlTemplate kAsfInfoControls[] = {
    {"Static", -1,
     "Windows Media output needs the Windows Media format runtime, which could not be "
     "started on this computer. You can read about it and download it here:",
     16, 14, 348, 48, kText, 0},
    {"Static", 1087, "Windows Media format runtime", 16, 70, 348, 18, kLink | WS_TABSTOP, 0},
    {"Static", 1088, "Download the runtime installer", 16, 94, 348, 18, kLink | WS_TABSTOP, 0},
    {"Button", IDOK, "OK", 294, 126, 70, 24, kDefButton | WS_GROUP, 0},
};

const PmrControlTemplate kCodecInfoControls[] = {
    {"Static", -1,
     "Some jobs could not be converted because no decoder for their video or audio was "
     "found. Installing one of these codec packages usually helps:",
     16, 14, 348, 48, kText, 0},
    {"Static", 1010, "XviD MPEG-4 codec", 28, 68, 336, 18, kLink | WS_TABSTOP, 0},
    {"Static", 1007, "ffdshow codec package", 28, 90, 336, 18, kLink | WS_TABSTOP, 0},
    {"Static", 1008, "DivX codec", 28, 112, 336, 18, kLink | WS_TABSTOP, 0},
    {"Static", 1009, "Windows Media format runtime", 28, 134, 336, 18, kLink | WS_TABSTOP, 0},
    {"Button", 1005, "Do not show this again", 16, 166, 200, 20, kCheck | WS_GROUP, 0},
    {"Button", IDOK, "OK", 218, 196, 70, 24, kDefButton | WS_GROUP, 0},
    {"Button", IDCANCEL, "Cancel", 294, 196, 70, 24, kButton, 0},
};

const PmrControlTemplate kPspInfoControls[] = {
    {"Static", -1, "Before you copy the movie to your PSP:", 16, 12, 348, 18, kText, 0},
    {"Static", 1037, "1. Connect the PSP by USB and choose USB mode.", 24, 36, 340, 18, kText, 0},
    {"Static", 1038, "2. Open the memory stick in the file manager.", 24, 56, 340, 18, kText, 0},
    {"Static", 1039, "3. Create the folder MP_ROOT\\100MNV01 if it is missing.", 24, 76, 340, 18, kText, 0},
    {"Static", 1040, "4. Copy the .MP4 file and its .THM thumbnail there.", 24, 96, 340, 18, kText, 0},
    {"Static", 1041, "5. Keep the names M4Vnnnnn or MAQnnnnn as given.", 24, 116, 340, 18, kText, 0},
    {"Static", 1042, "6. Firmware 2.0 or later plays 480x272 movies,", 24, 136, 340, 18, kText, 0},
    {"Static", 1043, "   older firmware needs 320x240.", 24, 156, 340, 18, kText, 0},
    {"Button", 1036, "Do not show this again", 16, 184, 200, 20, kCheck | WS_GROUP, 0},
    {"Button", IDOK, "OK", 218, 212, 70, 24, kDefButton | WS_GROUP, 0},
    {"Button", IDCANCEL, "Cancel", 294, 212, 70, 24, kButton, 0},
};

const PmrControlTemplate k3gpInfoControls[] = {
    {"Static", -1, "Mobile phones play only what they were built for:", 16, 12, 348, 18, kText, 0},
    {"Static", 1037, "Use 176x144 (QCIF) or 128x96 for most phones.", 24, 36, 340, 18, kText, 0},
    {"Static", 1038, "Newer phones also accept 320x240.", 24, 56, 340, 18, kText, 0},
    {"Static", 1039, "Keep the video bit rate at or below 128 kbps.", 24, 76, 340, 18, kText, 0},
    {"Static", 1040, "Use AMR audio at 8000 Hz, mono, for older phones,", 24, 96, 340, 18, kText, 0},
    {"Static", 1041, "or AAC for phones that play it.", 24, 116, 340, 18, kText, 0},
    {"Static", 1042, "Choose 3G2 for CDMA phones, 3GP for the others.", 24, 136, 340, 18, kText, 0},
    {"Static", 1043, "The predefined profiles fit most devices.", 24, 156, 340, 18, kText, 0},
    {"Static", 1226, "Settings the phone cannot play give a file it refuses.", 16, 180, 348, 18, kText, 0},
    {"Button", 1048, "Do not show this again", 16, 204, 200, 20, kCheck | WS_GROUP, 0},
    {"Button", IDOK, "OK", 218, 232, 70, 24, kDefButton | WS_GROUP, 0},
    {"Button", IDCANCEL, "Cancel", 294, 232, 70, 24, kButton, 0},
};

const PmrControlTemplate kIpodInfoControls[] = {
    {"Static", -1, "iPod video plays these movies:", 16, 12, 348, 18, kText, 0},
    {"Static", 1052, "H.264 up to 768 kbps, 320x240, 30 frames per second;", 24, 36, 340, 18, kText, 0},
    {"Static", 1053, "MPEG-4 up to 2500 kbps, 480x480, 30 frames per second;", 24, 56, 340, 18, kText, 0},
    {"Static", 1054, "AAC audio up to 160 kbps, 48000 Hz, stereo.", 24, 76, 340, 18, kText, 0},
    {"Static", -1, "Add the converted file to your music library to copy it.", 16, 104, 348, 18, kText, 0},
    {"Button", 1036, "Do not show this again", 16, 132, 200, 20, kCheck | WS_GROUP, 0},
    {"Button", IDOK, "OK", 218, 160, 70, 24, kDefButton | WS_GROUP, 0},
    {"Button", IDCANCEL, "Cancel", 294, 160, 70, 24, kButton, 0},
};

// --- Run log and progress ------------------------------------------------
const PmrControlTemplate kLogControls[] = {
    {"Static", -1, "These jobs could not be converted:", 12, 10, 456, 18, kText, 0},
    {"Edit", 1086, "", 12, 32, 456, 200,
     kChild | WS_TABSTOP | WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, 0},
    {"Button", 1007, "Codec help...", 12, 244, 110, 24, kButton | WS_GROUP, 0},
    {"Button", IDOK, "Close", 398, 244, 70, 24, kDefButton, 0},
};

const PmrControlTemplate kScanControls[] = {
    {"Static", 1077, "", 10, 8, 280, 18, kText, 0},
    {"msctls_progress32", 1076, nullptr, 10, 30, 280, 14, kChild | PBS_SMOOTH, 0},
};

#include "PageDialogs.inc"
#include "TargetDialogs.inc"

const PmrDialogTemplate kShellDialogs[] = {
    {IDD_ABOUTBOX, 320, 176, "About Pellomar", kModal, 0, nullptr, 0, kAboutControls, std::size(kAboutControls)},
    {IDD_MAIN, 640, 464, "Pellomar", WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX, 0, nullptr, 0, kMainControls,
     std::size(kMainControls)},
    {IDD_SCAN, 300, 52, "Please wait", WS_CHILD | WS_BORDER, 0, nullptr, 0, kScanControls, std::size(kScanControls)},
    {IDD_LOG, 480, 280, "Conversion log", kModal, 0, nullptr, 0, kLogControls, std::size(kLogControls)},
    {IDD_ASF_INFO, 380, 162, "Windows Media", kModal, 0, nullptr, 0, kAsfInfoControls, std::size(kAsfInfoControls)},
    {IDD_CODEC_INFO, 380, 232, "Codecs", kModal, 0, nullptr, 0, kCodecInfoControls, std::size(kCodecInfoControls)},
    {IDD_PSP_INFO, 380, 248, "PSP", kModal, 0, nullptr, 0, kPspInfoControls, std::size(kPspInfoControls)},
    {IDD_3GP_INFO, 380, 268, "3GP", kModal, 0, nullptr, 0, k3gpInfoControls, std::size(k3gpInfoControls)},
    {IDD_IPOD_INFO, 380, 196, "iPod", kModal, 0, nullptr, 0, kIpodInfoControls, std::size(kIpodInfoControls)},
};

// Lists joined into one table.
template <class T, size_t... N>
std::array<T, (N + ...)> Join(const T (&... lists)[N]) {
  std::array<T, (N + ...)> out{};
  size_t at = 0;
  ((std::copy(std::begin(lists), std::end(lists), out.begin() + at), at += N), ...);
  return out;
}

const auto kDialogs = Join(kShellDialogs, kPageDialogs, kTargetDialogs);

// --- Menu 238 ---------------------------------------------------------------
// Submenu 0 drops under the title-bar menu button, 1 under Remove, 3 under
// Add; 2 is a full job menu kept so that the drop-downs keep their indexes.
const PmrMenuItem kHelpItems[] = {
    {ID_HELP_CONTENTS, "&Help", 0, nullptr, 0},
    {ID_HELP_HOMEPAGE, "Pellomar &home page", 0, nullptr, 0},
    {ID_HELP_SUPPORT_MAIL, "&Write to support", 0, nullptr, 0},
    {0, nullptr, MF_SEPARATOR, nullptr, 0},
    {ID_HELP_ABOUT, "&About Pellomar", 0, nullptr, 0},
};
const PmrMenuItem kRemoveItems[] = {
    {ID_JOB_REMOVE, "&Remove selected job", 0, nullptr, 0},
    {ID_JOB_REMOVE_ALL, "Remove &all jobs", 0, nullptr, 0},
};
const PmrMenuItem kJobItems[] = {
    {ID_JOB_ADD, "&Add job...", 0, nullptr, 0},
    {ID_JOB_ADD_BATCH, "Add &batch...", 0, nullptr, 0},
    {0, nullptr, MF_SEPARATOR, nullptr, 0},
    {ID_JOB_REMOVE, "&Remove selected job", 0, nullptr, 0},
    {ID_JOB_REMOVE_ALL, "Remove &all jobs", 0, nullptr, 0},
};
const PmrMenuItem kAddItems[] = {
    {ID_JOB_ADD, "&Add job...", 0, nullptr, 0},
    {ID_JOB_ADD_BATCH, "Add &batch...", 0, nullptr, 0},
};
const PmrMenuItem kMenuBar[] = {
    {0, "Help", MF_POPUP, kHelpItems, std::size(kHelpItems)},
    {0, "Remove", MF_POPUP, kRemoveItems, std::size(kRemoveItems)},
    {0, "Jobs", MF_POPUP, kJobItems, std::size(kJobItems)},
    {0, "Add", MF_POPUP, kAddItems, std::size(kAddItems)},
};
const PmrMenuTemplate kMenus[] = {{IDR_MAIN_MENU, kMenuBar, std::size(kMenuBar)}};

// --- Strings ------------------------------------------------------------------
const PmrStringResource kShellStrings[] = {
    {IDS_PROBE_FAILED, "The file could not be opened as a movie. It may be damaged, or no decoder for it is installed."},
    {IDS_NOT_MPEG_SOURCE, "Only MPEG files can change between PAL and NTSC. Please choose an MPEG file."},
    {IDS_SOURCE_NOT_FOUND, "The source file does not exist."},
    {IDS_NO_OUTPUT_NAME, "Please enter the name of the output file."},
    {IDS_BAD_OUTPUT_NAME, "The output file name is not valid, or its extension does not fit the output format."},
    {IDS_STOP_QUESTION, "A conversion is running. Do you want to stop it?"},
    {IDS_NO_PICTURES, "Please add at least one picture."},
    {IDS_DESC_AVI, "Converts any movie to an AVI file with the video and audio codecs you choose."},
    {IDS_DESC_ASF, "Converts any movie to a Windows Media file (WMV/ASF) with a Windows Media profile."},
    {IDS_DESC_MPEG, "Converts any movie to an MPEG-1 or MPEG-2 file."},
    {IDS_DESC_DISC, "Converts any movie to an MPEG stream ready for a VCD, SVCD or DVD."},
    {IDS_DESC_TVSYSTEM, "Changes an MPEG file between the PAL and NTSC television systems."},
    {IDS_DESC_3GP, "Converts any movie to a 3GP or 3G2 file for mobile phones."},
    {IDS_DESC_PSP, "Converts any movie to an MP4 file that the PSP plays, with a thumbnail picture."},
    {IDS_DESC_MP4, "Converts any movie to an MP4 or QuickTime MOV file."},
    {IDS_DESC_FLV, "Converts any movie to a Flash video file (FLV) or a Flash movie (SWF)."},
    {IDS_DESC_PICTURES_TO_VIDEO, "Makes a movie from a list of pictures (JPEG, BMP, PNG), with an optional sound file."},
    {IDS_DESC_VIDEO_TO_PICTURES, "Saves the frames of a movie as numbered JPEG pictures."},
    {IDS_WM_UNAVAILABLE, "Windows Media output is not available on this computer."},
    {IDS_DESC_IPOD, "Converts any movie to an MP4 file that the iPod video plays."},
    {IDS_DISC_VCD, "VCD: MPEG-1 video, 352x288 (PAL) or 352x240 (NTSC), 1150 kbps, MPEG audio at 224 kbps."},
    {IDS_DISC_SVCD, "SVCD: MPEG-2 video, 480x576 (PAL) or 480x480 (NTSC), up to 2500 kbps, MPEG audio."},
    {IDS_DISC_DVD, "DVD: MPEG-2 video, 720x576 (PAL) or 720x480 (NTSC), MPEG or AC-3 audio."},
    {IDS_NO_OUTPUT_FOLDER, "The output folder does not exist. Please choose an existing folder."},
};

const auto kStrings = Join(kShellStrings, kPageStrings, kTargetStrings);

const PmrResourceTable kTable = {
    PMR_RESOURCE_ABI_VERSION, sizeof(PmrResourceTable),
    kDialogs.data(), kDialogs.size(),
    kMenus, std::size(kMenus),
    kStrings.data(), kStrings.size(),
    kSkinBitmaps, std::size(kSkinBitmaps),
    kSkinIcons, std::size(kSkinIcons),
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const PmrResourceTable* PmrGetResources() { return &kTable; }
