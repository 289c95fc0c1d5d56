// The settings page of the audio decoder, shown in the internal property
// page host: output sample format and the AC-3, DTS and AAC settings.
#pragma once

#include "decoders/mpegaudio/IMpaDecFilter.h"
#include "foundation/InternalPropertyPage.h"
#include "platform/com/ComPtr.h"
#include "platform/ui/Button.h"
#include "platform/ui/ComboBox.h"
#include "platform/ui/Static.h"

class CMpaDecSettingsWnd : public CInternalPropertyPageWnd {
 public:
  static LPCSTR GetWindowTitle() { return "Settings"; }
  static CSize GetWindowSize() { return CSize(320, 240); }

  enum {
    IDC_AC3_SPEAKERS = 10000,
    IDC_AC3_SPDIF = 10001,
    IDC_DTS_SPEAKERS = 10002,
    IDC_DTS_SPDIF = 10003,
    IDC_FORMAT = 10004,
    IDC_AC3_CONFIG = 10005,
    IDC_DTS_CONFIG = 10006,
    IDC_AC3_DRC = 10007,
    IDC_AAC_DOWNMIX = 10009,
    // Left to this page: the two "LFE" boxes and the DTS range control.
    IDC_AC3_LFE = 10010,
    IDC_DTS_LFE = 10011,
    IDC_DTS_DRC = 10012,
  };

  bool AttachObjects(const std::vector<IUnknown*>& objects) override;
  void DetachObjects() override;
  bool ActivatePage() override;
  void DeactivatePage() override;
  bool ApplySettings() override;

 private:
  CComPtr<IMpaDecFilter> m_pFilter;
  int m_outputformat = 0;
  int m_ac3spkcfg = 0;
  bool m_ac3drc = false;
  int m_dtsspkcfg = 0;
  bool m_dtsdrc = false;
  bool m_aacdownmix = false;

  CStatic m_formatLabel;
  CComboBox m_format;
  CButton m_ac3Group, m_ac3Lfe, m_ac3Speakers, m_ac3Spdif, m_ac3Drc;
  CComboBox m_ac3Config;
  CButton m_dtsGroup, m_dtsLfe, m_dtsSpeakers, m_dtsSpdif, m_dtsDrc;
  CComboBox m_dtsConfig;
  CButton m_aacGroup, m_aacDownmix;
};
