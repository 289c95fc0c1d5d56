#include "decoders/mpegaudio/MpaDecSettingsWnd.h"

#include <cstdlib>
#include <iterator>

namespace {

struct Item {
  const char* text;
  int data;
};

void Fill(CComboBox& combo, const Item* items, size_t count, int select) {
  for (size_t i = 0; i < count; ++i) {
    const int index = combo.AddString(items[i].text);
    combo.SetItemData(index, static_cast<DWORD_PTR>(items[i].data));
    if (items[i].data == select) combo.SetCurSel(index);
  }
}

int Selected(const CComboBox& combo, int fallback) {
  const int index = combo.GetCurSel();
  return index >= 0 ? static_cast<int>(combo.GetItemData(index)) : fallback;
}

constexpr Item kFormats[] = {{"PCM 16 Bit", 0}, {"PCM 24 Bit", 1}, {"PCM 32 Bit", 2}, {"IEEE Float", 3}};
constexpr Item kAc3Configs[] = {{"Mono", 1},
                                {"Dual Mono", 0},
                                {"Stereo", 2},
                                {"Dolby Stereo", 10},
                                {"3 Front", 3},
                                {"2 Front + 1 Rear", 4},
                                {"3 Front + 1 Rear", 5},
                                {"2 Front + 2 Rear", 6},
                                {"3 Front + 2 Rear", 7},
                                {"Channel 1", 8},
                                {"Channel 2", 9}};
constexpr Item kDtsConfigs[] = {{"Mono", 0},
                                {"Dual Mono", 1},
                                {"Stereo", 2},
                                {"3 Front", 5},
                                {"2 Front + 1 Rear", 6},
                                {"3 Front + 1 Rear", 7},
                                {"2 Front + 2 Rear", 8},
                                {"3 Front + 2 Rear", 9}};

}  // namespace

bool CMpaDecSettingsWnd::AttachObjects(const std::vector<IUnknown*>& objects) {
  m_pFilter.Release();
  for (IUnknown* object : objects) {
    if (object && SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(&m_pFilter))) && m_pFilter) break;
    m_pFilter.Release();
  }
  if (!m_pFilter) return false;
  m_outputformat = m_pFilter->GetSampleFormat();
  m_ac3spkcfg = m_pFilter->GetSpeakerConfig(0);
  m_ac3drc = m_pFilter->GetDynamicRangeControl(0);
  m_dtsspkcfg = m_pFilter->GetSpeakerConfig(1);
  m_dtsdrc = m_pFilter->GetDynamicRangeControl(1);
  m_aacdownmix = m_pFilter->GetSpeakerConfig(2) != 0;
  return true;
}

void CMpaDecSettingsWnd::DetachObjects() { m_pFilter.Release(); }

bool CMpaDecSettingsWnd::ActivatePage() {
  CFont* font = GetDialogFont();
  const DWORD child = WS_CHILD | WS_VISIBLE;
  auto button = [&](CButton& b, const char* text, DWORD style, const CRect& rc, UINT id) {
    b.Create(text, child | style, rc, this, id);
    b.SetFont(font);
  };
  auto combo = [&](CComboBox& c, const CRect& rc, UINT id) {
    c.Create(child | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, rc, this, id);
    c.SetFont(font);
  };

  m_formatLabel.Create("Output sample format:", child, CRect(4, 6, 150, 24), this);
  m_formatLabel.SetFont(font);
  combo(m_format, CRect(152, 2, 316, 24), IDC_FORMAT);
  Fill(m_format, kFormats, std::size(kFormats), m_outputformat);

  // AC-3 and DTS alike: a speaker list with LFE, speakers or S/PDIF, and the
  // dynamic range control. A negative configuration means S/PDIF.
  struct Decoder {
    CButton& group;
    const char* title;
    CComboBox& config;
    const Item* items;
    size_t count;
    int mask, lfe;
    int value;
    bool drc;
    CButton& lfeBox;
    CButton& speakers;
    CButton& spdif;
    CButton& drcBox;
    UINT ids[5];  // list, LFE, speakers, S/PDIF, range control
    int top;
  } decoders[] = {
      {m_ac3Group, "AC3 Decoder Settings", m_ac3Config, kAc3Configs, std::size(kAc3Configs), 0xF, 16, m_ac3spkcfg,
       m_ac3drc, m_ac3Lfe, m_ac3Speakers, m_ac3Spdif, m_ac3Drc,
       {IDC_AC3_CONFIG, IDC_AC3_LFE, IDC_AC3_SPEAKERS, IDC_AC3_SPDIF, IDC_AC3_DRC}, 28},
      {m_dtsGroup, "DTS Decoder Settings", m_dtsConfig, kDtsConfigs, std::size(kDtsConfigs), 0x3F, 128, m_dtsspkcfg,
       m_dtsdrc, m_dtsLfe, m_dtsSpeakers, m_dtsSpdif, m_dtsDrc,
       {IDC_DTS_CONFIG, IDC_DTS_LFE, IDC_DTS_SPEAKERS, IDC_DTS_SPDIF, IDC_DTS_DRC}, 110},
  };
  for (Decoder& d : decoders) {
    const int y = d.top;
    button(d.group, d.title, BS_GROUPBOX | WS_GROUP, CRect(2, y, 318, y + 80), static_cast<UINT>(-1));
    combo(d.config, CRect(10, y + 16, 170, y + 38), d.ids[0]);
    const int value = std::abs(d.value);
    Fill(d.config, d.items, d.count, value & d.mask);
    button(d.lfeBox, "LFE", WS_TABSTOP | BS_AUTOCHECKBOX, CRect(180, y + 17, 310, y + 37), d.ids[1]);
    d.lfeBox.SetCheck((value & d.lfe) ? BST_CHECKED : BST_UNCHECKED);
    button(d.speakers, "Decode to speakers", WS_TABSTOP | WS_GROUP | BS_AUTORADIOBUTTON,
           CRect(10, y + 40, 170, y + 58), d.ids[2]);
    button(d.spdif, "SPDIF", WS_TABSTOP | BS_AUTORADIOBUTTON, CRect(180, y + 40, 310, y + 58), d.ids[3]);
    (d.value < 0 ? d.spdif : d.speakers).SetCheck(BST_CHECKED);
    button(d.drcBox, "Dynamic Range Control", WS_TABSTOP | WS_GROUP | BS_AUTOCHECKBOX,
           CRect(10, y + 59, 310, y + 77), d.ids[4]);
    d.drcBox.SetCheck(d.drc ? BST_CHECKED : BST_UNCHECKED);
  }

  button(m_aacGroup, "AAC Decoder Settings", BS_GROUPBOX | WS_GROUP, CRect(2, 192, 318, 236), static_cast<UINT>(-1));
  button(m_aacDownmix, "Downmix to stereo", WS_TABSTOP | BS_AUTOCHECKBOX, CRect(10, 210, 310, 230), IDC_AAC_DOWNMIX);
  m_aacDownmix.SetCheck(m_aacdownmix ? BST_CHECKED : BST_UNCHECKED);
  return true;
}

void CMpaDecSettingsWnd::DeactivatePage() {
  if (!m_format.GetSafeHwnd()) return;
  m_outputformat = Selected(m_format, m_outputformat);
  m_ac3spkcfg = Selected(m_ac3Config, std::abs(m_ac3spkcfg) & 0xF);
  if (m_ac3Lfe.GetCheck() == BST_CHECKED) m_ac3spkcfg |= 16;
  if (m_ac3Spdif.GetCheck() == BST_CHECKED) m_ac3spkcfg = -m_ac3spkcfg;
  m_ac3drc = m_ac3Drc.GetCheck() == BST_CHECKED;
  m_dtsspkcfg = Selected(m_dtsConfig, std::abs(m_dtsspkcfg) & 0x3F);
  if (m_dtsLfe.GetCheck() == BST_CHECKED) m_dtsspkcfg |= 128;
  if (m_dtsSpdif.GetCheck() == BST_CHECKED) m_dtsspkcfg = -m_dtsspkcfg;
  m_dtsdrc = m_dtsDrc.GetCheck() == BST_CHECKED;
  m_aacdownmix = m_aacDownmix.GetCheck() == BST_CHECKED;
}

bool CMpaDecSettingsWnd::ApplySettings() {
  DeactivatePage();
  if (m_pFilter) {
    m_pFilter->SetSampleFormat(m_outputformat);
    m_pFilter->SetSpeakerConfig(0, m_ac3spkcfg);
    m_pFilter->SetDynamicRangeControl(0, m_ac3drc);
    m_pFilter->SetSpeakerConfig(1, m_dtsspkcfg);
    m_pFilter->SetDynamicRangeControl(1, m_dtsdrc);
    m_pFilter->SetSpeakerConfig(2, m_aacdownmix);
  }
  return true;
}
