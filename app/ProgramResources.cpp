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
    {"Button", -1, "Conversion Type", 7, 5, 169, 167, kChild | BS_GROUPBOX, 0},
    {"Button", 1006, "All Movie to AVI", 15, 17, 155, 11, kRadio | WS_GROUP, 0},
    {"Button", 1008, "All Movie to WMV/ASF", 15, 30, 155, 11, kRadio, 0},
    {"Button", 1009, "All to MPEG", 15, 42, 155, 11, kRadio, 0},
    {"Button", 1010, "All to VCD, SVCD, DVD", 15, 55, 155, 11, kRadio, 0},
    {"Button", 1011, "MPEG format change (PAL<=>NTSC)", 15, 67, 155, 11, kRadio, 0},
    {"Button", 1012, "All to 3GP/3G2 (mobile phones)", 15, 80, 155, 11, kRadio, 0},
    {"Button", 1013, "All to PSP", 15, 93, 155, 11, kRadio, 0},
    {"Button", 1014, "All to iPod", 15, 105, 155, 11, kRadio, 0},
    {"Button", 1015, "All to MP4/MOV", 15, 118, 155, 11, kRadio, 0},
    {"Button", 1019, "All to FLV/SWF (Flash video)", 15, 130, 155, 11, kRadio, 0},
    {"Button", 1000, "Video to Pictures(JPEG)", 15, 143, 155, 11, kRadio, 0},
    {"Button", 1047, "Pictures(JPEG, BMP etc) to AVI", 15, 155, 155, 11, kRadio, 0},
    {"Button", -1, "Description", 183, 5, 121, 167, kChild | BS_GROUPBOX | WS_GROUP, 0},
    {"Static", 1017, "", 190, 18, 107, 147, kChild | SS_LEFT, 0},
    {"Button", 1007, "Next >", 201, 178, 50, 15, kChild | WS_TABSTOP | BS_DEFPUSHBUTTON | WS_GROUP, 0},
    {"Button", IDCANCEL, "Cancel", 255, 178, 49, 15, kChild | WS_TABSTOP | BS_PUSHBUTTON, 0},
};

const PmrDialogTemplate kProgramDialogs[] = {
    {CDlgCvtType::IDD, 311, 200, "Select Conversion Type", kModal, 0, nullptr, 0, kConvertTypeControls,
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
