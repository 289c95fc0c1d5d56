#include "decoders/mpeg2video/Mpeg2DecSettingsWnd.h"

#include <cmath>
#include <cstdio>

BEGIN_MESSAGE_MAP(CMpeg2DecSettingsWnd, CInternalPropertyPageWnd)
ON_WM_HSCROLL()
ON_BN_CLICKED(IDC_TVTOPC, OnTvToPc)
ON_BN_CLICKED(IDC_RESET, OnReset)
ON_BN_CLICKED(IDC_INTERLACED, OnInterlaced)
END_MESSAGE_MAP()

namespace {
// Slider positions of the neutral picture, and of "TV->PC" (studio range
// stretched to the full range: brightness -16, contrast 116%).
constexpr int kNeutral[4] = {128, 100, 180, 100};
}  // namespace

bool CMpeg2DecSettingsWnd::AttachObjects(const std::vector<IUnknown*>& objects) {
  m_pFilter.Release();
  for (IUnknown* object : objects) {
    if (object && SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(&m_pFilter))) && m_pFilter) break;
    m_pFilter.Release();
  }
  if (!m_pFilter) return false;
  m_ditype = m_pFilter->GetDeinterlaceMethod();
  m_bright = m_pFilter->GetBrightness();
  m_cont = m_pFilter->GetContrast();
  m_hue = m_pFilter->GetHue();
  m_sat = m_pFilter->GetSaturation();
  m_fForcedSubs = m_pFilter->IsForcedSubtitlesEnabled();
  m_fPlanarYUV = m_pFilter->IsPlanarYUVEnabled();
  m_fInterlaced = m_pFilter->IsInterlacedEnabled();
  return true;
}

void CMpeg2DecSettingsWnd::DetachObjects() { m_pFilter.Release(); }

bool CMpeg2DecSettingsWnd::ActivatePage() {
  CFont* font = GetDialogFont();
  const DWORD child = WS_CHILD | WS_VISIBLE;
  auto check = [&](CButton& b, const char* text, int y, int h, UINT id, bool on, DWORD extra = 0) {
    b.Create(text, child | WS_TABSTOP | BS_AUTOCHECKBOX | extra, CRect(4, y, 316, y + h), this, id);
    b.SetFont(font);
    b.SetCheck(on ? BST_CHECKED : BST_UNCHECKED);
  };
  check(m_planar, "Enable planar YUV media types (YV12, I420, IYUV)", 2, 18, IDC_PLANAR, m_fPlanarYUV);
  check(m_interlaced, "Set interlaced flag in output media type", 20, 18, IDC_INTERLACED, m_fInterlaced);
  check(m_forced, "Always display forced subtitles", 38, 18, IDC_FORCED, m_fForcedSubs);

  m_deinterlaceLabel.Create("Deinterlacing", child, CRect(4, 62, 90, 80), this);
  m_deinterlaceLabel.SetFont(font);
  m_deinterlace.Create(child | WS_TABSTOP | CBS_DROPDOWNLIST | WS_VSCROLL, CRect(92, 58, 206, 80), this,
                       IDC_DEINTERLACE);
  m_deinterlace.SetFont(font);
  const char* methods[] = {"Auto", "Weave", "Blend", "Bob", "Field Shift"};
  for (int i = 0; i < 5; ++i) {
    const int item = m_deinterlace.AddString(methods[i]);
    m_deinterlace.SetItemData(item, static_cast<DWORD_PTR>(i));
    if (i == m_ditype) m_deinterlace.SetCurSel(item);
  }
  m_deinterlace.EnableWindow(!m_fInterlaced);

  const char* names[] = {"Brightness", "Contrast", "Hue", "Saturation"};
  const int ranges[] = {256, 200, 360, 200};
  for (int i = 0; i < 4; ++i) {
    const int y = 84 + i * 22;
    m_names[i].Create(names[i], child, CRect(4, y + 2, 74, y + 20), this);
    m_names[i].SetFont(font);
    m_sliders[i].Create(child | WS_TABSTOP, CRect(74, y, 266, y + 22), this, IDC_BRIGHTNESS + i);
    m_sliders[i].SetRange(0, ranges[i]);
    m_sliders[i].SetTic(ranges[i] / 2);
    m_values[i].Create("", child | SS_RIGHT, CRect(266, y + 2, 316, y + 20), this, IDC_BRIGHTNESS_VALUE + i);
    m_values[i].SetFont(font);
  }
  SetSliders(static_cast<int>(std::lround(m_bright)) + 128, static_cast<int>(std::lround(m_cont * 100)),
             static_cast<int>(std::lround(m_hue)) + 180, static_cast<int>(std::lround(m_sat * 100)));

  m_tvToPc.Create("TV->PC", child | WS_TABSTOP | BS_PUSHBUTTON, CRect(212, 58, 262, 80), this, IDC_TVTOPC);
  m_tvToPc.SetFont(font);
  m_reset.Create("Reset", child | WS_TABSTOP | BS_PUSHBUTTON, CRect(266, 58, 316, 80), this, IDC_RESET);
  m_reset.SetFont(font);

  m_note.Create(
      "Note: Using a non-planar output format, bob deinterlacer, or adjusting color properties can degrade "
      "performance. \"Auto\" deinterlacer will switch to \"Blend\" when necessary.",
      child | SS_LEFT, CRect(4, 174, 316, 238), this);
  m_note.SetFont(font);
  return true;
}

void CMpeg2DecSettingsWnd::SetSliders(int brightness, int contrast, int hue, int saturation) {
  const int positions[] = {brightness, contrast, hue, saturation};
  for (int i = 0; i < 4; ++i) m_sliders[i].SetPos(positions[i]);
  ShowValues();
}

void CMpeg2DecSettingsWnd::ShowValues() {
  char text[16];
  std::snprintf(text, sizeof text, "%d", m_sliders[0].GetPos() - 128);
  m_values[0].SetWindowText(text);
  std::snprintf(text, sizeof text, "%d%%", m_sliders[1].GetPos());
  m_values[1].SetWindowText(text);
  std::snprintf(text, sizeof text, "%d", m_sliders[2].GetPos() - 180);
  m_values[2].SetWindowText(text);
  std::snprintf(text, sizeof text, "%d%%", m_sliders[3].GetPos());
  m_values[3].SetWindowText(text);
}

void CMpeg2DecSettingsWnd::OnHScroll(UINT code, UINT pos, CWnd* scrollBar) {
  if (m_sliders[0].GetSafeHwnd()) ShowValues();
  CInternalPropertyPageWnd::OnHScroll(code, pos, scrollBar);
}

void CMpeg2DecSettingsWnd::OnTvToPc() { SetSliders(112, 116, m_sliders[2].GetPos(), m_sliders[3].GetPos()); }

void CMpeg2DecSettingsWnd::OnReset() { SetSliders(kNeutral[0], kNeutral[1], kNeutral[2], kNeutral[3]); }

// The output's interlaced flag leaves deinterlacing to what comes after.
void CMpeg2DecSettingsWnd::OnInterlaced() { m_deinterlace.EnableWindow(m_interlaced.GetCheck() != BST_CHECKED); }

void CMpeg2DecSettingsWnd::DeactivatePage() {
  if (!m_sliders[0].GetSafeHwnd()) return;
  const int selected = m_deinterlace.GetCurSel();
  if (selected >= 0) m_ditype = static_cast<int>(m_deinterlace.GetItemData(selected));
  m_bright = static_cast<float>(m_sliders[0].GetPos() - 128);
  m_cont = static_cast<float>(m_sliders[1].GetPos()) / 100.0f;
  m_hue = static_cast<float>(m_sliders[2].GetPos() - 180);
  m_sat = static_cast<float>(m_sliders[3].GetPos()) / 100.0f;
  m_fPlanarYUV = m_planar.GetCheck() == BST_CHECKED;
  m_fInterlaced = m_interlaced.GetCheck() == BST_CHECKED;
  m_fForcedSubs = m_forced.GetCheck() == BST_CHECKED;
}

bool CMpeg2DecSettingsWnd::ApplySettings() {
  DeactivatePage();
  if (m_pFilter) {
    m_pFilter->SetDeinterlaceMethod(m_ditype);
    m_pFilter->SetBrightness(m_bright);
    m_pFilter->SetContrast(m_cont);
    m_pFilter->SetHue(m_hue);
    m_pFilter->SetSaturation(m_sat);
    m_pFilter->EnableForcedSubtitles(m_fForcedSubs);
    m_pFilter->EnablePlanarYUV(m_fPlanarYUV);
    m_pFilter->EnableInterlaced(m_fInterlaced);
  }
  return true;
}
