// The settings page of the MPEG-2 video decoder, shown in the internal
// property page host: deinterlacing, picture controls and three switches.
#pragma once

#include "decoders/mpeg2video/IMpeg2DecFilter.h"
#include "foundation/InternalPropertyPage.h"
#include "platform/com/ComPtr.h"
#include "platform/ui/Button.h"
#include "platform/ui/ComboBox.h"
#include "platform/ui/SliderCtrl.h"
#include "platform/ui/Static.h"

class CMpeg2DecSettingsWnd : public CInternalPropertyPageWnd {
 public:
  static LPCSTR GetWindowTitle() { return "Settings"; }
  static CSize GetWindowSize() { return CSize(320, 240); }

  // Command ids of the two buttons.
  enum { IDC_TVTOPC = 10008, IDC_RESET = 10009 };
  // Ids of the other controls, for code that drives the page.
  enum {
    IDC_PLANAR = 10001,
    IDC_INTERLACED,
    IDC_FORCED,
    IDC_DEINTERLACE,
    IDC_BRIGHTNESS = 10010,
    IDC_CONTRAST,
    IDC_HUE,
    IDC_SATURATION,
    IDC_BRIGHTNESS_VALUE = 10020,
    IDC_CONTRAST_VALUE,
    IDC_HUE_VALUE,
    IDC_SATURATION_VALUE,
  };

  bool AttachObjects(const std::vector<IUnknown*>& objects) override;
  void DetachObjects() override;
  bool ActivatePage() override;
  void DeactivatePage() override;
  bool ApplySettings() override;

 protected:
  afx_msg void OnHScroll(UINT code, UINT pos, CWnd* scrollBar);
  afx_msg void OnTvToPc();
  afx_msg void OnReset();
  afx_msg void OnInterlaced();

 private:
  void ShowValues();
  void SetSliders(int brightness, int contrast, int hue, int saturation);

  CComPtr<IMpeg2DecFilter> m_pFilter;
  int m_ditype = 0;
  float m_bright = 0, m_cont = 1, m_hue = 0, m_sat = 1;
  bool m_fPlanarYUV = true, m_fInterlaced = false, m_fForcedSubs = true;

  CButton m_planar, m_interlaced, m_forced, m_tvToPc, m_reset;
  CStatic m_deinterlaceLabel, m_note;
  CComboBox m_deinterlace;
  CStatic m_names[4], m_values[4];
  CSliderCtrl m_sliders[4];

  DECLARE_MESSAGE_MAP()
};
