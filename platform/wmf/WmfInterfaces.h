// Interfaces of the Windows Media runtime stand-in: profiles, the profile
// manager and the ASF writer's configuration. Methods keep the platform's
// order; where a method has no use here it answers E_NOTIMPL.
#pragma once

#include "platform/com/Unknown.h"
#include "platform/dshow/DShow.h"

using WMT_VERSION = DWORD;
constexpr WMT_VERSION WMT_VER_4_0 = 0x00040000;
constexpr WMT_VERSION WMT_VER_7_0 = 0x00070000;
constexpr WMT_VERSION WMT_VER_8_0 = 0x00080000;
constexpr WMT_VERSION WMT_VER_9_0 = 0x00090000;

struct IWMStreamConfig;
struct IWMMutualExclusion;

struct IWMProfile : IUnknown {
  STDMETHOD(GetVersion)(WMT_VERSION* version) = 0;
  // Length in wide characters with the terminator; a null buffer asks for
  // the length only. A short buffer gives ASF_E_BUFFERTOOSMALL.
  STDMETHOD(GetName)(WCHAR* name, DWORD* length) = 0;
  STDMETHOD(SetName)(const WCHAR* name) = 0;
  STDMETHOD(GetDescription)(WCHAR* description, DWORD* length) = 0;
  STDMETHOD(SetDescription)(const WCHAR* description) = 0;
  STDMETHOD(GetStreamCount)(DWORD* count) = 0;
  STDMETHOD(GetStream)(DWORD index, IWMStreamConfig** config) = 0;
  STDMETHOD(GetStreamByNumber)(WORD number, IWMStreamConfig** config) = 0;
  STDMETHOD(RemoveStream)(IWMStreamConfig* config) = 0;
  STDMETHOD(RemoveStreamByNumber)(WORD number) = 0;
  STDMETHOD(AddStream)(IWMStreamConfig* config) = 0;
  STDMETHOD(ReconfigStream)(IWMStreamConfig* config) = 0;
  STDMETHOD(CreateNewStream)(REFGUID type, IWMStreamConfig** config) = 0;
  STDMETHOD(GetMutualExclusionCount)(DWORD* count) = 0;
  STDMETHOD(GetMutualExclusion)(DWORD index, IWMMutualExclusion** exclusion) = 0;
  STDMETHOD(RemoveMutualExclusion)(IWMMutualExclusion* exclusion) = 0;
  STDMETHOD(AddMutualExclusion)(IWMMutualExclusion* exclusion) = 0;
  STDMETHOD(CreateNewMutualExclusion)(IWMMutualExclusion** exclusion) = 0;

 protected:
  ~IWMProfile() = default;
};
PELLOMAR_INTERFACE_ID(IWMProfile, "96406BDB-2B2B-11D3-B36B-00C04F6108FF");

struct IWMProfileManager : IUnknown {
  STDMETHOD(CreateEmptyProfile)(WMT_VERSION version, IWMProfile** profile) = 0;
  STDMETHOD(LoadProfileByID)(REFGUID id, IWMProfile** profile) = 0;
  STDMETHOD(LoadProfileByData)(const WCHAR* data, IWMProfile** profile) = 0;
  STDMETHOD(SaveProfile)(IWMProfile* profile, WCHAR* data, DWORD* length) = 0;
  STDMETHOD(GetSystemProfileCount)(DWORD* count) = 0;
  STDMETHOD(LoadSystemProfile)(DWORD index, IWMProfile** profile) = 0;

 protected:
  ~IWMProfileManager() = default;
};
PELLOMAR_INTERFACE_ID(IWMProfileManager, "D16679F2-6CA0-472D-8D31-2F5D55AEE155");

struct IWMProfileManager2 : IWMProfileManager {
  STDMETHOD(GetSystemProfileVersion)(WMT_VERSION* version) = 0;
  STDMETHOD(SetSystemProfileVersion)(WMT_VERSION version) = 0;

 protected:
  ~IWMProfileManager2() = default;
};
PELLOMAR_INTERFACE_ID(IWMProfileManager2, "7A924E51-73C1-494D-8019-23D37ED9B89A");

struct IConfigAsfWriter : IUnknown {
  STDMETHOD(ConfigureFilterUsingProfileId)(DWORD profileId) = 0;
  STDMETHOD(GetCurrentProfileId)(DWORD* profileId) = 0;
  STDMETHOD(ConfigureFilterUsingProfileGuid)(REFGUID profile) = 0;
  STDMETHOD(GetCurrentProfileGuid)(GUID* profile) = 0;
  STDMETHOD(ConfigureFilterUsingProfile)(IWMProfile* profile) = 0;
  STDMETHOD(GetCurrentProfile)(IWMProfile** profile) = 0;
  STDMETHOD(SetIndexMode)(BOOL index) = 0;
  STDMETHOD(GetIndexMode)(BOOL* index) = 0;

 protected:
  ~IConfigAsfWriter() = default;
};
PELLOMAR_INTERFACE_ID(IConfigAsfWriter, "45086030-F7E4-486A-B504-826BB5792A3B");

// What a profile of this runtime holds (our own layout).
struct WmProfileContents {
  bool video = false;
  int videoKbps = 0;
  int width = 0, height = 0;  // 0: the source's size
  bool audio = false;
  int audioKbps = 0;
  int sampleRate = 0;
  int channels = 0;
};

// Reads a profile's contents; every profile this runtime hands out has it.
// Our own interface.
struct IWMProfileContents : IUnknown {
  STDMETHOD(GetContents)(WmProfileContents* contents) = 0;

 protected:
  ~IWMProfileContents() = default;
};
PELLOMAR_INTERFACE_ID(IWMProfileContents, "C4F1D0A7-5E2B-4A8C-9B63-1D7E0F2A6B59");

constexpr HRESULT ASF_E_BUFFERTOOSMALL = static_cast<HRESULT>(0xC00D07F0);
constexpr HRESULT NS_E_INVALID_REQUEST = static_cast<HRESULT>(0xC00D002B);
