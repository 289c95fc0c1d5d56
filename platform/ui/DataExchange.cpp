#include "platform/ui/DataExchange.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>

#include "platform/ui/MessageBox.h"
#include "platform/ui/WindowRecord.h"

namespace {

std::string Trimmed(const std::string& s) {
  size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
  return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

// The label of a control: the text of the static or button just before it
// in the dialog's order, which is where a dialog puts it. Empty for none.
std::string LabelOf(CDataExchange* dx) {
  CWnd* control = dx->m_pDlgWnd ? dx->m_pDlgWnd->GetDlgItem(dx->m_idLastControl) : nullptr;
  HWND before = control ? ::GetWindow(control->m_hWnd, GW_HWNDPREV) : nullptr;
  UiWindow* rec = UiFindWindow(before);
  if (!rec || (rec->kind != UiKind::Static && rec->kind != UiKind::Button)) return {};
  std::string label;
  CWnd::FromHandle(before)->GetWindowText(label);
  label.erase(std::remove(label.begin(), label.end(), '&'), label.end());
  label = Trimmed(label);
  if (!label.empty() && label.back() != ':') label += ':';
  return label;
}

// The message names the field it refuses.
void Refuse(CDataExchange* dx, const std::string& text) {
  const std::string label = LabelOf(dx);
  AfxMessageBox((label.empty() ? text : label + " " + text).c_str(), MB_ICONEXCLAMATION);
  dx->Fail();
}

template <class T>
bool ParseInteger(const std::string& text, T& out) {
  std::string t = Trimmed(text);
  const char* b = t.data();
  if (!t.empty() && t[0] == '+') ++b;
  auto [p, ec] = std::from_chars(b, t.data() + t.size(), out);
  return ec == std::errc() && p == t.data() + t.size() && !t.empty();
}

template <class T>
bool ParseReal(const std::string& text, T& out) {
  std::string t = Trimmed(text);
  const char* b = t.data();
  if (!t.empty() && t[0] == '+') ++b;
  // Decimal comma is accepted as well: a point-less locale should not turn
  // "7,5" into a refusal the user cannot explain.
  for (char& c : t)
    if (c == ',') c = '.';
  auto [p, ec] = std::from_chars(b, t.data() + t.size(), out);
  return ec == std::errc() && p == t.data() + t.size() && !t.empty();
}

template <class T>
std::string FormatReal(T v, int precision) {
  char buffer[64];
  auto [p, ec] = std::to_chars(buffer, buffer + sizeof(buffer), v, std::chars_format::general, precision);
  return ec == std::errc() ? std::string(buffer, p) : std::string("0");
}

std::string ControlText(CDataExchange* dx, int id) {
  std::string t;
  dx->m_pDlgWnd->GetDlgItemText(id, t);
  return t;
}

}  // namespace

HWND CDataExchange::PrepareCtrl(int id) {
  m_idLastControl = id;
  m_bEditLastControl = FALSE;
  HWND h = m_pDlgWnd ? ::GetDlgItem(m_pDlgWnd->m_hWnd, id) : nullptr;
  if (!h) {
    std::fprintf(stderr, "ui: dialog data exchange with missing control %d\n", id);
    throw UiDataExchangeFailure{};
  }
  return h;
}

HWND CDataExchange::PrepareEditCtrl(int id) {
  HWND h = PrepareCtrl(id);
  m_bEditLastControl = TRUE;
  return h;
}

void CDataExchange::Fail() {
  if (m_bSaveAndValidate && m_pDlgWnd) {
    if (CWnd* c = m_pDlgWnd->GetDlgItem(m_idLastControl)) {
      c->SetFocus();
      if (m_bEditLastControl) c->SendMessage(EM_SETSEL, 0, static_cast<LPARAM>(-1));
    }
  }
  throw UiDataExchangeFailure{};
}

void DDX_Control(CDataExchange* dx, int id, CWnd& control) {
  if (control.m_hWnd) return;
  HWND h = dx->PrepareCtrl(id);
  control.SubclassWindow(h);
}

void DDX_Text(CDataExchange* dx, int id, std::string& value) {
  HWND h = dx->PrepareEditCtrl(id);
  if (dx->m_bSaveAndValidate)
    value = ControlText(dx, id);
  else
    ::SendMessage(h, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(value.c_str()));
}

void DDX_Text(CDataExchange* dx, int id, int& value) {
  dx->PrepareEditCtrl(id);
  if (!dx->m_bSaveAndValidate) return dx->m_pDlgWnd->SetDlgItemText(id, std::to_string(value));
  int v = 0;
  if (!ParseInteger(ControlText(dx, id), v)) Refuse(dx, "Please enter an integer.");
  value = v;
}

void DDX_Text(CDataExchange* dx, int id, UINT& value) {
  dx->PrepareEditCtrl(id);
  if (!dx->m_bSaveAndValidate) return dx->m_pDlgWnd->SetDlgItemText(id, std::to_string(value));
  UINT v = 0;
  std::string t = Trimmed(ControlText(dx, id));
  if (!t.empty() && t[0] == '-') Refuse(dx, "Please enter a positive integer.");
  if (!ParseInteger(t, v)) Refuse(dx, "Please enter a positive integer.");
  value = v;
}

void DDX_Text(CDataExchange* dx, int id, double& value) {
  dx->PrepareEditCtrl(id);
  if (!dx->m_bSaveAndValidate) return dx->m_pDlgWnd->SetDlgItemText(id, FormatReal(value, 15));
  double v = 0;
  if (!ParseReal(ControlText(dx, id), v)) Refuse(dx, "Please enter a number.");
  value = v;
}

void DDX_Text(CDataExchange* dx, int id, float& value) {
  dx->PrepareEditCtrl(id);
  if (!dx->m_bSaveAndValidate) return dx->m_pDlgWnd->SetDlgItemText(id, FormatReal(value, 6));
  float v = 0;
  if (!ParseReal(ControlText(dx, id), v)) Refuse(dx, "Please enter a number.");
  value = v;
}

void DDX_Check(CDataExchange* dx, int id, int& value) {
  HWND h = dx->PrepareCtrl(id);
  if (dx->m_bSaveAndValidate)
    value = static_cast<int>(::SendMessage(h, BM_GETCHECK, 0, 0));
  else
    ::SendMessage(h, BM_SETCHECK, static_cast<WPARAM>(value < 0 || value > 2 ? 0 : value), 0);
}

void DDX_Radio(CDataExchange* dx, int id, int& value) {
  HWND first = dx->PrepareCtrl(id);
  UiWindow* dlg = UiFindWindow(dx->m_pDlgWnd->m_hWnd);
  if (!dlg) return;
  if (dx->m_bSaveAndValidate) value = -1;
  auto& kids = dlg->children;
  auto it = std::find(kids.begin(), kids.end(), first);
  int index = 0;
  for (; it != kids.end(); ++it) {
    UiWindow* r = UiFindWindow(*it);
    if (!r) continue;
    if (*it != first && (r->style & WS_GROUP)) break;  // the next group starts
    DWORD type = r->style & BS_TYPEMASK;
    if (r->kind != UiKind::Button || (type != BS_RADIOBUTTON && type != BS_AUTORADIOBUTTON)) continue;
    if (dx->m_bSaveAndValidate) {
      if (::SendMessage(*it, BM_GETCHECK, 0, 0) == BST_CHECKED && value < 0) value = index;
    } else {
      ::SendMessage(*it, BM_SETCHECK, index == value ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    ++index;
  }
}

void DDX_CBIndex(CDataExchange* dx, int id, int& index) {
  HWND h = dx->PrepareCtrl(id);
  if (dx->m_bSaveAndValidate)
    index = static_cast<int>(::SendMessage(h, CB_GETCURSEL, 0, 0));
  else
    ::SendMessage(h, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void DDX_CBString(CDataExchange* dx, int id, std::string& value) {
  HWND h = dx->PrepareCtrl(id);
  if (dx->m_bSaveAndValidate) {
    value = ControlText(dx, id);
    return;
  }
  UiWindow* r = UiFindWindow(h);
  if (r && (r->style & 0x3) == CBS_DROPDOWNLIST)
    ::SendMessage(h, CB_SELECTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(value.c_str()));
  else
    ::SendMessage(h, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(value.c_str()));
}

void DDX_LBIndex(CDataExchange* dx, int id, int& index) {
  HWND h = dx->PrepareCtrl(id);
  if (dx->m_bSaveAndValidate)
    index = static_cast<int>(::SendMessage(h, LB_GETCURSEL, 0, 0));
  else
    ::SendMessage(h, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void DDX_Slider(CDataExchange* dx, int id, int& value) {
  HWND h = dx->PrepareCtrl(id);
  if (dx->m_bSaveAndValidate)
    value = static_cast<int>(::SendMessage(h, TBM_GETPOS, 0, 0));
  else
    ::SendMessage(h, TBM_SETPOS, TRUE, value);
}

void DDV_MinMaxInt(CDataExchange* dx, int value, int minValue, int maxValue) {
  if (!dx->m_bSaveAndValidate || (value >= minValue && value <= maxValue)) return;
  Refuse(dx, "Please enter an integer between " + std::to_string(minValue) + " and " + std::to_string(maxValue) + ".");
}

void DDV_MinMaxUInt(CDataExchange* dx, UINT value, UINT minValue, UINT maxValue) {
  if (!dx->m_bSaveAndValidate || (value >= minValue && value <= maxValue)) return;
  Refuse(dx, "Please enter an integer between " + std::to_string(minValue) + " and " + std::to_string(maxValue) + ".");
}

void DDV_MinMaxDouble(CDataExchange* dx, double value, double minValue, double maxValue) {
  if (!dx->m_bSaveAndValidate || (value >= minValue && value <= maxValue)) return;
  Refuse(dx, "Please enter a number between " + FormatReal(minValue, 15) + " and " + FormatReal(maxValue, 15) + ".");
}

void DDV_MinMaxFloat(CDataExchange* dx, float value, float minValue, float maxValue) {
  if (!dx->m_bSaveAndValidate || (value >= minValue && value <= maxValue)) return;
  Refuse(dx, "Please enter a number between " + FormatReal(minValue, 6) + " and " + FormatReal(maxValue, 6) + ".");
}

void DDV_MaxChars(CDataExchange* dx, const std::string& value, int maxChars) {
  if (!dx->m_bSaveAndValidate) {
    if (dx->m_idLastControl)
      if (HWND h = ::GetDlgItem(dx->m_pDlgWnd->m_hWnd, dx->m_idLastControl))
        ::SendMessage(h, EM_LIMITTEXT, static_cast<WPARAM>(std::max(maxChars, 0)), 0);
    return;
  }
  if (static_cast<long long>(QString::fromUtf8(value.c_str()).size()) <= maxChars) return;
  Refuse(dx, "Please enter no more than " + std::to_string(maxChars) + " characters.");
}
