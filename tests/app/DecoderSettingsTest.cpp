// The decoders' settings pages in the property frame: what they show of a
// filter's settings, what a user's changes write back, the registry round
// trip through a new filter, and the main window's menu that opens them.
#include <gtest/gtest.h>

#include <QSlider>
#include <QTest>

#include "app/DlgPropertyFrame.h"
#include "app/TambrelDlg.h"
#include "decoders/common/SpecifyPropertyPages2.h"
#include "decoders/mpeg2video/Mpeg2DecFilter.h"
#include "decoders/mpeg2video/Mpeg2DecSettingsWnd.h"
#include "decoders/mpegaudio/MpaDecFilter.h"
#include "decoders/mpegaudio/MpaDecSettingsWnd.h"
#include "foundation/InternalPropertyPage.h"
#include "platform/ui/Menu.h"
#include "platform/ui/WindowRecord.h"
#include "resources/ResourceIds.h"
#include "tests/app/CutTexts.h"
#include "tests/app/PageTestEnv.h"

using namespace pagetest;

namespace {

template <class Filter>
CComPtr<IBaseFilter> MakeFilter() {
  HRESULT hr = S_OK;
  CComPtr<IBaseFilter> filter(static_cast<IBaseFilter*>(new Filter(nullptr, &hr)));
  EXPECT_EQ(hr, S_OK);
  return filter;
}

CComPtr<IPropertyPage> PageOf(IBaseFilter* filter) {
  CComQIPtr<ISpecifyPropertyPages2> pages(filter);
  CAUUID ids{};
  EXPECT_EQ(pages->GetPages(&ids), S_OK);
  CComPtr<IPropertyPage> page;
  EXPECT_EQ(pages->CreatePage(ids.pElems[0], &page), S_OK);
  CoTaskMemFree(ids.pElems);
  return page;
}

// The window the page shows in the frame.
CWnd* PageWindow(IPropertyPage* page) { return dynamic_cast<CInternalPropertyPage*>(page)->GetPageWindow(); }

// Moves a slider to a position with the keyboard, as a user does.
void MoveSlider(CWnd* page, int id, int position) {
  auto* slider = qobject_cast<QSlider*>(page->GetDlgItem(id)->GetWidget());
  ASSERT_NE(slider, nullptr);
  QTest::keyClick(slider, Qt::Key_Home);
  for (int i = 0; i < position; ++i) QTest::keyClick(slider, Qt::Key_Right);
  ASSERT_EQ(slider->value(), position);
}

TEST(VideoDecoderSettings, ShowsTheFilterAndWritesTheUsersChanges) {
  CComPtr<IBaseFilter> filter = MakeFilter<CMpeg2DecFilter>();
  CComQIPtr<IMpeg2DecFilter> settings(filter.p);
  settings->SetBrightness(50.0f);
  settings->SetContrast(1.5f);
  settings->EnableInterlaced(true);
  settings->SetDeinterlaceMethod(0);
  CComPtr<IPropertyPage> page = PageOf(filter);
  std::vector<std::string> shown;
  bool listEnabled = true, listEnabledAfter = false, applyAfter = true;
  std::vector<std::string> cut;
  UserDriver user;
  user.On(CDlgPropertyFrame::IDD, [&](CDialog& d) {
    CWnd* w = PageWindow(page);
    shown = {TextOf(w, CMpeg2DecSettingsWnd::IDC_BRIGHTNESS_VALUE), TextOf(w, CMpeg2DecSettingsWnd::IDC_CONTRAST_VALUE),
             TextOf(w, CMpeg2DecSettingsWnd::IDC_PLANAR)};
    for (const auto& c : apptest::CutTexts(w)) cut.push_back(c.Describe());
    KeepGrab(&d, "video-decoder-settings");
    listEnabled = w->GetDlgItem(CMpeg2DecSettingsWnd::IDC_DEINTERLACE)->IsWindowEnabled();
    Click(w, CMpeg2DecSettingsWnd::IDC_INTERLACED);
    listEnabledAfter = w->GetDlgItem(CMpeg2DecSettingsWnd::IDC_DEINTERLACE)->IsWindowEnabled();
    MoveSlider(w, CMpeg2DecSettingsWnd::IDC_CONTRAST, 75);
    shown.push_back(TextOf(w, CMpeg2DecSettingsWnd::IDC_CONTRAST_VALUE));
    Click(&d, 1101);
    applyAfter = d.GetDlgItem(1101)->IsWindowEnabled();
    shown.push_back(std::to_string(settings->GetContrast()));
    Click(w, CMpeg2DecSettingsWnd::IDC_TVTOPC);
    Click(&d, IDOK);
  });
  {
    CDlgPropertyFrame frame(page, filter, "MPEG Video Decoder");
    frame.DoModal();
  }
  EXPECT_TRUE(user.Done());
  EXPECT_TRUE(cut.empty()) << ::testing::PrintToString(cut);
  EXPECT_EQ(shown, (std::vector<std::string>{"50", "150%", "Enable planar YUV media types (YV12, I420, IYUV)", "75%",
                                             std::to_string(0.75f)}));
  EXPECT_FALSE(listEnabled);
  EXPECT_TRUE(listEnabledAfter);
  EXPECT_FALSE(applyAfter);
  EXPECT_FLOAT_EQ(settings->GetBrightness(), -16.0f);
  EXPECT_FLOAT_EQ(settings->GetContrast(), 1.16f);
  EXPECT_FALSE(settings->IsInterlacedEnabled());

  // A filter made later reads what this one kept when it went.
  settings.Release();
  filter.Release();
  CComPtr<IBaseFilter> next = MakeFilter<CMpeg2DecFilter>();
  CComQIPtr<IMpeg2DecFilter> again(next.p);
  EXPECT_FLOAT_EQ(again->GetBrightness(), -16.0f);
  EXPECT_FLOAT_EQ(again->GetContrast(), 1.16f);
  // The registry is left as a new user's.
  again->SetBrightness(0.0f);
  again->SetContrast(1.0f);
}

TEST(AudioDecoderSettings, SpeakerConfigurationsRoundTrip) {
  CComPtr<IBaseFilter> filter = MakeFilter<CMpaDecFilter>();
  CComQIPtr<IMpaDecFilter> settings(filter.p);
  settings->SetSpeakerConfig(0, -(7 | 16));
  settings->SetSpeakerConfig(1, 2);
  settings->SetSpeakerConfig(2, 0);
  settings->SetSampleFormat(0);
  settings->SetDynamicRangeControl(2, true);
  CComPtr<IPropertyPage> page = PageOf(filter);
  std::vector<std::string> shown;
  std::vector<bool> ticks;
  std::vector<std::string> cut;
  UserDriver user;
  user.On(CDlgPropertyFrame::IDD, [&](CDialog& d) {
    CWnd* w = PageWindow(page);
    shown = {TextOf(w, CMpaDecSettingsWnd::IDC_AC3_CONFIG), TextOf(w, CMpaDecSettingsWnd::IDC_DTS_CONFIG)};
    ticks = {w->IsDlgButtonChecked(CMpaDecSettingsWnd::IDC_AC3_LFE) != 0,
             w->IsDlgButtonChecked(CMpaDecSettingsWnd::IDC_AC3_SPDIF) != 0,
             w->IsDlgButtonChecked(CMpaDecSettingsWnd::IDC_DTS_SPEAKERS) != 0};
    for (const auto& c : apptest::CutTexts(w)) cut.push_back(c.Describe());
    KeepGrab(&d, "audio-decoder-settings");
    Choose(w, CMpaDecSettingsWnd::IDC_DTS_CONFIG, "2 Front + 2 Rear");
    Click(w, CMpaDecSettingsWnd::IDC_DTS_LFE);
    Click(w, CMpaDecSettingsWnd::IDC_DTS_SPDIF);
    Click(w, CMpaDecSettingsWnd::IDC_AAC_DOWNMIX);
    Choose(w, CMpaDecSettingsWnd::IDC_FORMAT, "PCM 24 Bit");
    Click(&d, IDOK);
  });
  {
    CDlgPropertyFrame frame(page, filter, "MPEG Audio Decoder");
    frame.DoModal();
  }
  EXPECT_TRUE(user.Done());
  EXPECT_TRUE(cut.empty()) << ::testing::PrintToString(cut);
  EXPECT_EQ(shown, (std::vector<std::string>{"3 Front + 2 Rear", "Stereo"}));
  EXPECT_EQ(ticks, (std::vector<bool>{true, true, true}));
  EXPECT_EQ(settings->GetSpeakerConfig(0), -(7 | 16));  // untouched, written back as it was
  EXPECT_EQ(settings->GetSpeakerConfig(1), -(8 | 128));
  EXPECT_EQ(settings->GetSpeakerConfig(2), 1);
  EXPECT_EQ(settings->GetSampleFormat(), 1);
  EXPECT_TRUE(settings->GetDynamicRangeControl(2));  // no control on the page

  settings.Release();
  filter.Release();
  CComPtr<IBaseFilter> next = MakeFilter<CMpaDecFilter>();
  CComQIPtr<IMpaDecFilter> again(next.p);
  EXPECT_EQ(again->GetSpeakerConfig(1), -(8 | 128));
  EXPECT_EQ(again->GetSampleFormat(), 1);
  again->SetSpeakerConfig(0, 2);
  again->SetSpeakerConfig(1, 2);
  again->SetSpeakerConfig(2, 0);
  again->SetSampleFormat(0);
}

// The title-bar menu of the main window opens each decoder's settings.
TEST(DecoderSettings, TheMainWindowsMenuOpensThem) {
  CTambrelDlg main;
  ASSERT_TRUE(main.Create(CTambrelDlg::IDD));
  main.ShowWindow(SW_SHOW);
  for (UINT command : {ID_VIDEO_DECODER_SETTINGS, ID_AUDIO_DECODER_SETTINGS}) {
    UiSetTrackMenuHook([command](const std::vector<UINT>&) { return command; });
    std::string caption;
    UserDriver user;
    user.On(CDlgPropertyFrame::IDD, [&](CDialog& d) {
      d.GetWindowText(caption);
      Click(&d, IDCANCEL);
    });
    Click(&main, 1080);
    EXPECT_TRUE(WaitFor([&] { return user.Done(); }, 30));
    EXPECT_EQ(caption, command == ID_VIDEO_DECODER_SETTINGS ? "MPEG Video Decoder" : "MPEG Audio Decoder");
  }
  UiSetTrackMenuHook(nullptr);
  main.DestroyWindow();
}

}  // namespace
