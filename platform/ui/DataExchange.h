// Dialog data exchange: moving values between a dialog's controls and its
// members (DDX_*), and checking them (DDV_*). A refused value shows a message
// box, puts the focus on the control and makes UpdateData return FALSE.
#pragma once

#include <string>

#include "platform/ui/Wnd.h"

// Thrown by CDataExchange::Fail and caught by UpdateData.
struct UiDataExchangeFailure {};

class CDataExchange {
 public:
  CDataExchange(CWnd* dialog, BOOL saveAndValidate) : m_bSaveAndValidate(saveAndValidate), m_pDlgWnd(dialog) {}
  BOOL m_bSaveAndValidate;
  CWnd* m_pDlgWnd;
  int m_idLastControl = 0;
  BOOL m_bEditLastControl = FALSE;

  HWND PrepareCtrl(int id);
  HWND PrepareEditCtrl(int id);
  [[noreturn]] void Fail();
};

void DDX_Control(CDataExchange* dx, int id, CWnd& control);
void DDX_Text(CDataExchange* dx, int id, std::string& value);
void DDX_Text(CDataExchange* dx, int id, int& value);
void DDX_Text(CDataExchange* dx, int id, UINT& value);
void DDX_Text(CDataExchange* dx, int id, double& value);
void DDX_Text(CDataExchange* dx, int id, float& value);
void DDX_Check(CDataExchange* dx, int id, int& value);
// value: index of the checked radio button of the group starting at id, -1 for none.
void DDX_Radio(CDataExchange* dx, int id, int& value);
void DDX_CBIndex(CDataExchange* dx, int id, int& index);
void DDX_CBString(CDataExchange* dx, int id, std::string& value);
void DDX_LBIndex(CDataExchange* dx, int id, int& index);
void DDX_Slider(CDataExchange* dx, int id, int& value);

void DDV_MinMaxInt(CDataExchange* dx, int value, int minValue, int maxValue);
void DDV_MinMaxUInt(CDataExchange* dx, UINT value, UINT minValue, UINT maxValue);
void DDV_MinMaxDouble(CDataExchange* dx, double value, double minValue, double maxValue);
void DDV_MinMaxFloat(CDataExchange* dx, float value, float minValue, float maxValue);
// On load it sets the edit's length limit; on save it refuses longer text.
void DDV_MaxChars(CDataExchange* dx, const std::string& value, int maxChars);
