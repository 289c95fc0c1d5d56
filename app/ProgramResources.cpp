#include "app/ProgramResources.h"

#include <iterator>

#include "app/DlgCvtType.h"
#include "platform/ui/Afx.h"
#include "platform/ui/Resource.h"

namespace {

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
constexpr DWORD kRadio = kChild | WS_TABSTOP | BS_AUTORADIOBUTTON;
constexpr DWORD kModal = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;

// The radio group's index is the conversion type code, so the buttons stand
// in code order; 1000 (video to pictures) is code 10.
const PmrControlTemplate kConvertTypeControls[] = {
    {"Button", -1, "Conversion Type", 12, 8, 296, 292, kChild | BS_GROUPBOX, 0},
    {"Button", 1006, "All Movie to AVI", 26, 30, 272, 20, kRadio | WS_GROUP, 0},
    {"Button", 1008, "All Movie to WMV/ASF", 26, 52, 272, 20, kRadio, 0},
    {"Button", 1009, "All to MPEG", 26, 74, 272, 20, kRadio, 0},
    {"Button", 1010, "All to VCD, SVCD, DVD", 26, 96, 272, 20, kRadio, 0},
    {"Button", 1011, "MPEG format change (PAL<=>NTSC)", 26, 118, 272, 20, kRadio, 0},
    {"Button", 1012, "All to 3GP/3G2 (mobile phones)", 26, 140, 272, 20, kRadio, 0},
    {"Button", 1013, "All to PSP", 26, 162, 272, 20, kRadio, 0},
    {"Button", 1014, "All to iPod", 26, 184, 272, 20, kRadio, 0},
    {"Button", 1015, "All to MP4/MOV", 26, 206, 272, 20, kRadio, 0},
    {"Button", 1019, "All to FLV/SWF (Flash video)", 26, 228, 272, 20, kRadio, 0},
    {"Button", 1000, "Video to Pictures(JPEG)", 26, 250, 272, 20, kRadio, 0},
    {"Button", 1047, "Pictures(JPEG, BMP etc) to AVI", 26, 272, 272, 20, kRadio, 0},
    {"Button", -1, "Description", 320, 8, 212, 292, kChild | BS_GROUPBOX | WS_GROUP, 0},
    {"Static", 1017, "", 332, 32, 188, 258, kChild | SS_LEFT, 0},
    {"Button", 1007, "Next >", 352, 312, 88, 26, kChild | WS_TABSTOP | BS_DEFPUSHBUTTON | WS_GROUP, 0},
    {"Button", IDCANCEL, "Cancel", 446, 312, 86, 26, kChild | WS_TABSTOP | BS_PUSHBUTTON, 0},
};

const PmrDialogTemplate kProgramDialogs[] = {
    {CDlgCvtType::IDD, 544, 350, "Select Conversion Type", kModal, 0, nullptr, 0, kConvertTypeControls,
     std::size(kConvertTypeControls)},
};

const PmrResourceTable kProgramTable = {
    PMR_RESOURCE_ABI_VERSION, sizeof(PmrResourceTable), kProgramDialogs, std::size(kProgramDialogs),
    nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0,
};

}  // namespace

HINSTANCE RegisterProgramResources() {
  static const HINSTANCE handle = UiRegisterResourceTable(&kProgramTable);
  if (CWinApp* app = AfxGetApp()) app->m_hInstance = handle;
  return handle;
}
