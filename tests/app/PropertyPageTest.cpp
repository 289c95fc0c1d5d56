// The template-less property page host with a small test settings window.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "foundation/InternalPropertyPage.h"
#include "platform/com/ComBase.h"
#include "tests/app/SkinTestEnv.h"

namespace {

// A plain COM object for the page's object list.
class Object final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid != IID_IUnknown) return E_NOINTERFACE;
    *ppv = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  std::atomic<ULONG> refs{1};
};

class Site final : public IPropertyPageSite {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid != IID_IUnknown && riid != IID_IPropertyPageSite) return E_NOINTERFACE;
    *ppv = static_cast<IPropertyPageSite*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE OnStatusChange(DWORD flags) override {
    lastStatus = flags;
    ++changes;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetLocaleID(LCID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPageContainer(IUnknown**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG*) override { return E_NOTIMPL; }
  std::atomic<ULONG> refs{1};
  DWORD lastStatus = 0;
  int changes = 0;
};

int g_applied = 0;
size_t g_attached = 0;
bool g_refuseActivate = false;

class TestSettingsWnd : public CInternalPropertyPageWnd {
 public:
  static LPCSTR GetWindowTitle() { return "Settings"; }
  static CSize GetWindowSize() { return CSize(320, 240); }

  BOOL CreatePageWindow(IPropertyPageSite* site, LPCRECT rect, CWnd* parent) override {
    if (!CInternalPropertyPageWnd::CreatePageWindow(site, rect, parent)) return FALSE;
    return m_slider.Create("msctls_trackbar32", nullptr, WS_CHILD | WS_VISIBLE, RECT{10, 10, 200, 40}, this, 100);
  }
  bool AttachObjects(const std::vector<IUnknown*>& objects) override {
    g_attached = objects.size();
    return true;
  }
  bool ActivatePage() override { return !g_refuseActivate; }
  bool ApplySettings() override {
    ++g_applied;
    return true;
  }
  CWnd m_slider;
};

class PropertyPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_applied = 0;
    g_attached = 0;
    g_refuseActivate = false;
    HRESULT hr = S_OK;
    auto* page = new CInternalPropertyPageTempl<TestSettingsWnd>(nullptr, &hr);  // COM reference counting owns it
    ASSERT_EQ(hr, S_OK);
    ASSERT_EQ(page->NonDelegatingQueryInterface(IID_IPropertyPage, reinterpret_cast<void**>(&page_)), S_OK);
    host_ = page;
    ASSERT_TRUE(parent_.Create(100));
  }
  void TearDown() override {
    if (page_) page_->Release();
    parent_.DestroyWindow();
    UiPumpMessages();
  }
  IPropertyPage* page_ = nullptr;
  CInternalPropertyPage* host_ = nullptr;
  CDialog parent_{100};
  Object object_;
  Site site_;
};

TEST_F(PropertyPageTest, ActivateBeforeObjectsIsUnexpected) {
  RECT r{0, 0, 320, 240};
  EXPECT_EQ(page_->Activate(parent_.GetSafeHwnd(), &r, FALSE), E_UNEXPECTED);
  EXPECT_EQ(page_->Activate(parent_.GetSafeHwnd(), nullptr, FALSE), E_POINTER);
  EXPECT_EQ(page_->Deactivate(), E_UNEXPECTED);
  EXPECT_EQ(page_->Show(SW_SHOW), E_UNEXPECTED);
  EXPECT_EQ(page_->IsPageDirty(), S_FALSE);
}

TEST_F(PropertyPageTest, SiteIsSetOnceAndReleasedOnce) {
  EXPECT_EQ(page_->SetPageSite(nullptr), E_UNEXPECTED);
  EXPECT_EQ(page_->SetPageSite(&site_), S_OK);
  EXPECT_EQ(site_.refs, 2u);
  EXPECT_EQ(page_->SetPageSite(&site_), E_UNEXPECTED);
  EXPECT_EQ(page_->SetPageSite(nullptr), S_OK);
  EXPECT_EQ(site_.refs, 1u);
}

TEST_F(PropertyPageTest, PageInfoGivesTitleAndSize) {
  PROPPAGEINFO info{};
  EXPECT_EQ(page_->GetPageInfo(nullptr), E_POINTER);
  ASSERT_EQ(page_->GetPageInfo(&info), S_OK);
  ASSERT_NE(info.pszTitle, nullptr);
  EXPECT_EQ(std::wstring(info.pszTitle), L"Settings");
  EXPECT_EQ(info.size.cx, 320);
  EXPECT_EQ(info.size.cy, 240);
  EXPECT_EQ(info.pszHelpFile, nullptr);
  EXPECT_EQ(info.cb, sizeof(PROPPAGEINFO));
  CoTaskMemFree(info.pszTitle);
}

TEST_F(PropertyPageTest, FullLifeWithDirtyTrackingAndApply) {
  IUnknown* objects[] = {&object_};
  ASSERT_EQ(page_->SetPageSite(&site_), S_OK);
  EXPECT_EQ(page_->SetObjects(1, nullptr), E_POINTER);
  ASSERT_EQ(page_->SetObjects(1, objects), S_OK);
  EXPECT_EQ(g_attached, 1u);
  EXPECT_EQ(object_.refs, 2u);
  EXPECT_EQ(page_->SetObjects(1, objects), E_UNEXPECTED);

  RECT r{5, 5, 325, 245};
  ASSERT_EQ(page_->Activate(parent_.GetSafeHwnd(), &r, FALSE), S_OK);
  auto* wnd = static_cast<TestSettingsWnd*>(host_->GetPageWindow());
  ASSERT_NE(wnd, nullptr);
  ASSERT_TRUE(::IsWindow(wnd->GetSafeHwnd()));
  EXPECT_TRUE(wnd->GetExStyle() & WS_EX_CONTROLPARENT);
  EXPECT_FALSE(wnd->GetExStyle() & WS_EX_DLGMODALFRAME);
  EXPECT_TRUE(wnd->GetStyle() & WS_CHILD);
  EXPECT_GT(wnd->GetFontHeight(), 0);
  EXPECT_NE(wnd->GetMonoFont()->GetSafeHandle(), nullptr);
  EXPECT_EQ(page_->Activate(parent_.GetSafeHwnd(), &r, FALSE), E_UNEXPECTED);  // already has a window

  EXPECT_EQ(page_->Show(SW_MAXIMIZE), E_INVALIDARG);
  EXPECT_EQ(page_->Show(SW_HIDE), S_OK);
  EXPECT_EQ(page_->Show(SW_SHOWNORMAL), S_OK);
  RECT moved{0, 0, 300, 200};
  EXPECT_EQ(page_->Move(&moved), S_OK);
  EXPECT_EQ(page_->Move(nullptr), E_POINTER);

  EXPECT_EQ(page_->IsPageDirty(), S_FALSE);
  wnd->SendMessage(WM_HSCROLL, TB_THUMBPOSITION, reinterpret_cast<LPARAM>(wnd->m_slider.GetSafeHwnd()));
  EXPECT_EQ(page_->IsPageDirty(), S_OK);
  EXPECT_EQ(site_.lastStatus, PROPPAGESTATUS_DIRTY);
  EXPECT_EQ(page_->Apply(), S_OK);
  EXPECT_EQ(g_applied, 1);
  EXPECT_EQ(page_->IsPageDirty(), S_FALSE);
  EXPECT_EQ(page_->Apply(), S_OK);
  EXPECT_EQ(g_applied, 1);  // clean pages apply nothing

  EXPECT_EQ(page_->Help(nullptr), E_NOTIMPL);
  EXPECT_EQ(page_->TranslateAccelerator(nullptr), E_NOTIMPL);
  ASSERT_EQ(page_->Deactivate(), S_OK);
  EXPECT_EQ(page_->Deactivate(), E_UNEXPECTED);
  ASSERT_EQ(page_->SetObjects(0, nullptr), S_OK);
  EXPECT_EQ(object_.refs, 1u);
  EXPECT_EQ(host_->GetPageWindow(), nullptr);
  EXPECT_EQ(page_->SetObjects(0, nullptr), E_UNEXPECTED);
  page_->Release();
  page_ = nullptr;
  EXPECT_EQ(site_.refs, 1u);
}

TEST_F(PropertyPageTest, RefusedActivationDestroysTheWindow) {
  IUnknown* objects[] = {&object_};
  ASSERT_EQ(page_->SetPageSite(&site_), S_OK);
  ASSERT_EQ(page_->SetObjects(1, objects), S_OK);
  g_refuseActivate = true;
  RECT r{0, 0, 320, 240};
  EXPECT_EQ(page_->Activate(parent_.GetSafeHwnd(), &r, FALSE), E_FAIL);
  EXPECT_EQ(host_->GetPageWindow()->GetSafeHwnd(), nullptr);
  EXPECT_EQ(page_->Apply(), S_OK);
  // The page goes with its objects still set: they are released with it.
  page_->Release();
  page_ = nullptr;
  EXPECT_EQ(object_.refs, 1u);
  EXPECT_EQ(site_.refs, 1u);
}

TEST_F(PropertyPageTest, WithoutASiteThereIsNothingToActivateOrApply) {
  IUnknown* objects[] = {&object_};
  ASSERT_EQ(page_->SetObjects(1, objects), S_OK);
  RECT r{0, 0, 320, 240};
  EXPECT_EQ(page_->Activate(parent_.GetSafeHwnd(), &r, FALSE), E_OUTOFMEMORY);
  EXPECT_EQ(page_->Apply(), E_UNEXPECTED);
  ASSERT_EQ(page_->SetObjects(0, nullptr), S_OK);
}

}  // namespace
