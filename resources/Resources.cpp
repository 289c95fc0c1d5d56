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

// Layouts are in dialog units (4 to a character's width, 8 to its height),
// with the usual spacing: 7 units of margin, buttons 50 by 14, text lines
// 8 high, check boxes 10.

// --- Main window --------------------------------------------------------
// A frameless window: the background bitmap carries its frame and title
// strip; the window places, shapes and sizes its controls and itself in
// pixels to fit the skin, so these places only matter until then.
const PmrControlTemplate kMainControls[] = {
    {"Button", 1001, "", 191, 17, 40, 11, kButton, 0},
    {"Button", 1079, "", 234, 17, 40, 11, kButton, 0},
    {"Button", 1002, "", 277, 17, 40, 11, kButton, 0},
    {"SysListView32", 1000, nullptr, 11, 37, 346, 187,
     kChild | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER, 0},
    {"Button", IDC_PROGRESS_LINE, "", 9, 231, 289, 15, kChild | BS_PUSHBUTTON, 0},
    {"Static", IDC_RUN_STATUS, "", 9, 249, 260, 9, kText, 0},
    {"msctls_progress32", 1074, nullptr, 303, 234, 57, 10, kChild | PBS_SMOOTH, 0},
    {"Button", 1005, "", 273, 249, 86, 9, kButton, 0},
    {"Button", 1080, "", 326, 1, 11, 11, kButton, 0},
    {"Button", 1081, "", 339, 1, 11, 11, kButton, 0},
    {"Button", 1082, "", 352, 1, 11, 11, kButton, 0},
};

// --- About box ------------------------------------------------------------
const PmrControlTemplate kAboutControls[] = {
    {"Static", -1, "Pellomar", 7, 7, 216, 8, kText, 0},
    {"Static", -1, "Video converter for the desktop", 7, 19, 216, 8, kText, 0},
    {"Static", -1, "Copyright (C) Quorvel Software", 7, 31, 216, 8, kText, 0},
    {"Static", -1,
     "Converts movies to AVI, WMV/ASF, MPEG, VCD, SVCD, DVD, 3GP, PSP, iPod, MP4 and FLV, "
     "and pictures to video and back.",
     7, 45, 216, 24, kText, 0},
    {"Button", IDOK, "OK", 173, 76, 50, 14, kDefButton | WS_GROUP, 0},
};

// --- Notices ----------------------------------------------------------------
// The links show the addresses they open (set by the dialogs), so they span
// the width.
const PmrControlTemplate kAsfInfoControls[] = {
    {"Static", -1,
     "Windows Media output needs the Windows Media format runtime, which could not be "
     "started on this computer. You can read about it and download it here:",
     7, 7, 280, 24, kText, 0},
    {"Static", 1087, "Windows Media format runtime", 7, 37, 280, 9, kLink | WS_TABSTOP, 0},
    {"Static", 1088, "Download the runtime installer", 7, 51, 280, 9, kLink | WS_TABSTOP, 0},
    {"Button", IDOK, "OK", 237, 69, 50, 14, kDefButton | WS_GROUP, 0},
};

const PmrControlTemplate kCodecInfoControls[] = {
    {"Static", -1,
     "Pellomar decodes with its own decoders: there is no codec to install. A file it "
     "cannot read is damaged, or of a format it does not read:",
     7, 7, 280, 24, kText, 0},
    {"Static", 1010, "The formats Pellomar reads (help)", 7, 36, 280, 9, kLink | WS_TABSTOP, 0},
    {"Static", 1007, "When a job fails (help)", 7, 49, 280, 9, kLink | WS_TABSTOP, 0},
    {"Static", 1008, "Pellomar home page", 7, 62, 280, 9, kLink | WS_TABSTOP, 0},
    {"Static", 1009, "Write to support", 7, 75, 280, 9, kLink | WS_TABSTOP, 0},
    {"Button", 1005, "Do not show this again", 7, 91, 150, 10, kCheck | WS_GROUP, 0},
    {"Button", IDOK, "OK", 183, 109, 50, 14, kDefButton | WS_GROUP, 0},
    {"Button", IDCANCEL, "Cancel", 237, 109, 50, 14, kButton, 0},
};

const PmrControlTemplate kPspInfoControls[] = {
    {"Static", -1, "Before you copy the movie to your PSP:", 7, 7, 216, 8, kText, 0},
    {"Static", 1037, "1. Connect the PSP by USB and choose USB mode.", 14, 19, 209, 8, kText, 0},
    {"Static", 1038, "2. Open the memory stick in the file manager.", 14, 30, 209, 8, kText, 0},
    {"Static", 1039, "3. Create the folder MP_ROOT\\100MNV01 if it is missing.", 14, 41, 209, 8, kText, 0},
    {"Static", 1040, "4. Copy the .MP4 file and its .THM thumbnail there.", 14, 52, 209, 8, kText, 0},
    {"Static", 1041, "5. Keep the names M4Vnnnnn or MAQnnnnn as given.", 14, 63, 209, 8, kText, 0},
    {"Static", 1042, "6. Firmware 2.0 or later plays 480x272 movies,", 14, 74, 209, 8, kText, 0},
    {"Static", 1043, "   older firmware needs 320x240.", 14, 85, 209, 8, kText, 0},
    {"Button", 1036, "Do not show this again", 7, 99, 150, 10, kCheck | WS_GROUP, 0},
    {"Button", IDOK, "OK", 119, 115, 50, 14, kDefButton | WS_GROUP, 0},
    {"Button", IDCANCEL, "Cancel", 173, 115, 50, 14, kButton, 0},
};

const PmrControlTemplate k3gpInfoControls[] = {
    {"Static", -1, "Mobile phones play only what they were built for:", 7, 7, 216, 8, kText, 0},
    {"Static", 1037, "Use 176x144 (QCIF) or 128x96 for most phones.", 14, 19, 209, 8, kText, 0},
    {"Static", 1038, "Newer phones also accept 320x240.", 14, 30, 209, 8, kText, 0},
    {"Static", 1039, "Keep the video bit rate at or below 128 kbps.", 14, 41, 209, 8, kText, 0},
    {"Static", 1040, "Use AMR audio at 8000 Hz, mono, for older phones,", 14, 52, 209, 8, kText, 0},
    {"Static", 1041, "or AAC for phones that play it.", 14, 63, 209, 8, kText, 0},
    {"Static", 1042, "Choose 3G2 for CDMA phones, 3GP for the others.", 14, 74, 209, 8, kText, 0},
    {"Static", 1043, "The predefined profiles fit most devices.", 14, 85, 209, 8, kText, 0},
    {"Static", 1226, "Settings the phone cannot play give a file it refuses.", 7, 99, 216, 8, kText, 0},
    {"Button", 1048, "Do not show this again", 7, 113, 150, 10, kCheck | WS_GROUP, 0},
    {"Button", IDOK, "OK", 119, 129, 50, 14, kDefButton | WS_GROUP, 0},
    {"Button", IDCANCEL, "Cancel", 173, 129, 50, 14, kButton, 0},
};

const PmrControlTemplate kIpodInfoControls[] = {
    {"Static", -1, "iPod video plays these movies:", 7, 7, 216, 8, kText, 0},
    {"Static", 1052, "H.264: 1500 kbps at 640x480, 768 kbps at 320x240;", 14, 19, 209, 8, kText, 0},
    {"Static", 1053, "MPEG-4 up to 2500 kbps, 480x480, 30 frames per second;", 14, 30, 209, 8, kText, 0},
    {"Static", 1054, "AAC audio up to 160 kbps, 48000 Hz, stereo.", 14, 41, 209, 8, kText, 0},
    {"Static", -1, "Add the converted file to your music library to copy it.", 7, 55, 216, 8, kText, 0},
    {"Button", 1036, "Do not show this again", 7, 69, 150, 10, kCheck | WS_GROUP, 0},
    {"Button", IDOK, "OK", 119, 85, 50, 14, kDefButton | WS_GROUP, 0},
    {"Button", IDCANCEL, "Cancel", 173, 85, 50, 14, kButton, 0},
};

// --- Run log and progress ------------------------------------------------
const PmrControlTemplate kLogControls[] = {
    {"Static", -1, "What the last run did, job by job:", 7, 7, 266, 8, kText, 0},
    {"Edit", 1086, "", 7, 19, 266, 110,
     kChild | WS_TABSTOP | WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, 0},
    {"Button", 1007, "Codec help...", 7, 135, 60, 14, kButton | WS_GROUP, 0},
    {"Button", IDOK, "Close", 223, 135, 50, 14, kDefButton, 0},
};

const PmrControlTemplate kScanControls[] = {
    {"Static", 1077, "", 6, 5, 168, 8, kText, 0},
    {"msctls_progress32", 1076, nullptr, 6, 16, 168, 8, kChild | PBS_SMOOTH, 0},
};

#include "PageDialogs.inc"
#include "TargetDialogs.inc"

const PmrDialogTemplate kShellDialogs[] = {
    {IDD_ABOUTBOX, 230, 97, "About Pellomar", kModal, 0, nullptr, 0, kAboutControls, std::size(kAboutControls)},
    {IDD_MAIN, 366, 265, "Pellomar", WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX, 0, nullptr, 0, kMainControls,
     std::size(kMainControls)},
    {IDD_SCAN, 180, 30, "Please wait", WS_CHILD | WS_BORDER, 0, nullptr, 0, kScanControls, std::size(kScanControls)},
    {IDD_LOG, 280, 156, "Conversion log", kModal, 0, nullptr, 0, kLogControls, std::size(kLogControls)},
    {IDD_ASF_INFO, 294, 90, "Windows Media", kModal, 0, nullptr, 0, kAsfInfoControls, std::size(kAsfInfoControls)},
    {IDD_CODEC_INFO, 294, 130, "Codecs", kModal, 0, nullptr, 0, kCodecInfoControls, std::size(kCodecInfoControls)},
    {IDD_PSP_INFO, 230, 136, "PSP", kModal, 0, nullptr, 0, kPspInfoControls, std::size(kPspInfoControls)},
    {IDD_3GP_INFO, 230, 150, "3GP", kModal, 0, nullptr, 0, k3gpInfoControls, std::size(k3gpInfoControls)},
    {IDD_IPOD_INFO, 230, 106, "iPod", kModal, 0, nullptr, 0, kIpodInfoControls, std::size(kIpodInfoControls)},
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
    {0, nullptr, MF_SEPARATOR, nullptr, 0},
    {ID_VIDEO_DECODER_SETTINGS, "&Video decoder settings...", 0, nullptr, 0},
    {ID_AUDIO_DECODER_SETTINGS, "A&udio decoder settings...", 0, nullptr, 0},
};
const PmrMenuItem kRemoveItems[] = {
    {ID_JOB_REMOVE, "&Remove selected jobs", 0, nullptr, 0},
    {ID_JOB_REMOVE_ALL, "Remove &all jobs", 0, nullptr, 0},
    {0, nullptr, MF_SEPARATOR, nullptr, 0},
    {ID_JOB_CONVERT_AGAIN, "&Convert selected jobs again", 0, nullptr, 0},
    {0, nullptr, MF_SEPARATOR, nullptr, 0},
    {ID_JOB_SHOW_LOG, "Show the run &log", 0, nullptr, 0},
};
const PmrMenuItem kJobItems[] = {
    {ID_JOB_ADD, "&Add job...", 0, nullptr, 0},
    {ID_JOB_ADD_BATCH, "Add &batch...", 0, nullptr, 0},
    {0, nullptr, MF_SEPARATOR, nullptr, 0},
    {ID_JOB_REMOVE, "&Remove selected jobs", 0, nullptr, 0},
    {ID_JOB_REMOVE_ALL, "Remove &all jobs", 0, nullptr, 0},
    {ID_JOB_CONVERT_AGAIN, "&Convert selected jobs again", 0, nullptr, 0},
    {ID_JOB_SHOW_LOG, "Show the run &log", 0, nullptr, 0},
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
