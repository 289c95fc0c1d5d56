// The Windows Media profile manager and its system profiles.
//
// System profiles exist for version 8.0 (the manager's starting version);
// other known versions have none. Each profile is WMV2 video and/or WMA2
// audio at a fixed bit rate, with the source's picture size or a fixed one.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "platform/wmf/WmfInterfaces.h"

struct SystemProfile {
  const wchar_t* name;
  const wchar_t* description;
  WmProfileContents contents;
};

// The version 8.0 list, in the manager's numbering.
const std::vector<SystemProfile>& SystemProfiles();

class CWMProfile final : public IWMProfile, public IWMProfileContents {
 public:
  static HRESULT Create(const std::wstring& name, const std::wstring& description, const WmProfileContents& c,
                        IWMProfile** out);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  STDMETHODIMP GetVersion(WMT_VERSION* version) override;
  STDMETHODIMP GetName(WCHAR* name, DWORD* length) override;
  STDMETHODIMP SetName(const WCHAR* name) override;
  STDMETHODIMP GetDescription(WCHAR* description, DWORD* length) override;
  STDMETHODIMP SetDescription(const WCHAR* description) override;
  STDMETHODIMP GetStreamCount(DWORD* count) override;
  STDMETHODIMP GetStream(DWORD, IWMStreamConfig**) override { return E_NOTIMPL; }
  STDMETHODIMP GetStreamByNumber(WORD, IWMStreamConfig**) override { return E_NOTIMPL; }
  STDMETHODIMP RemoveStream(IWMStreamConfig*) override { return E_NOTIMPL; }
  STDMETHODIMP RemoveStreamByNumber(WORD) override { return E_NOTIMPL; }
  STDMETHODIMP AddStream(IWMStreamConfig*) override { return E_NOTIMPL; }
  STDMETHODIMP ReconfigStream(IWMStreamConfig*) override { return E_NOTIMPL; }
  STDMETHODIMP CreateNewStream(REFGUID, IWMStreamConfig**) override { return E_NOTIMPL; }
  STDMETHODIMP GetMutualExclusionCount(DWORD* count) override;
  STDMETHODIMP GetMutualExclusion(DWORD, IWMMutualExclusion**) override { return E_NOTIMPL; }
  STDMETHODIMP RemoveMutualExclusion(IWMMutualExclusion*) override { return E_NOTIMPL; }
  STDMETHODIMP AddMutualExclusion(IWMMutualExclusion*) override { return E_NOTIMPL; }
  STDMETHODIMP CreateNewMutualExclusion(IWMMutualExclusion**) override { return E_NOTIMPL; }

  STDMETHODIMP GetContents(WmProfileContents* contents) override;

 private:
  CWMProfile() = default;
  ~CWMProfile() = default;
  static HRESULT CopyText(const std::wstring& text, WCHAR* out, DWORD* length);

  std::atomic<ULONG> m_refs{1};
  std::wstring m_name, m_description;
  WmProfileContents m_contents;
};

class CWMProfileManager final : public IWMProfileManager2 {
 public:
  static HRESULT Create(IWMProfileManager** out);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  STDMETHODIMP CreateEmptyProfile(WMT_VERSION version, IWMProfile** profile) override;
  STDMETHODIMP LoadProfileByID(REFGUID, IWMProfile**) override { return E_NOTIMPL; }
  STDMETHODIMP LoadProfileByData(const WCHAR*, IWMProfile**) override { return E_NOTIMPL; }
  STDMETHODIMP SaveProfile(IWMProfile*, WCHAR*, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP GetSystemProfileCount(DWORD* count) override;
  STDMETHODIMP LoadSystemProfile(DWORD index, IWMProfile** profile) override;
  STDMETHODIMP GetSystemProfileVersion(WMT_VERSION* version) override;
  STDMETHODIMP SetSystemProfileVersion(WMT_VERSION version) override;

 private:
  CWMProfileManager() = default;
  ~CWMProfileManager() = default;

  std::atomic<ULONG> m_refs{1};
  std::atomic<WMT_VERSION> m_version{WMT_VER_8_0};
};

// The module's exports.
HRESULT WMCreateProfileManager(IWMProfileManager** manager);
// This runtime writes through the ASF writer filter only: the writer
// object is not offered (E_NOTIMPL, null).
HRESULT WMCreateWriter(IUnknown* reserved, IUnknown** writer);
