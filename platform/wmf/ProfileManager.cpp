#include "platform/wmf/ProfileManager.h"

#include <cstring>

const std::vector<SystemProfile>& SystemProfiles() {
  // Every video profile is WMV2 + WMA2; names give the bit rates a user
  // picks by.
  static const std::vector<SystemProfile> list = {
      {L"Video for dial-up modems 56 Kbps (160x120, 22 kHz mono audio)", L"Small picture for slow links",
       {true, 32, 160, 120, true, 24, 22050, 1}},
      {L"Video for broadband 256 Kbps (320x240, 22 kHz mono audio)", L"Quarter picture for broadband",
       {true, 224, 320, 240, true, 32, 22050, 1}},
      {L"Video for broadband 512 Kbps (source size, 44 kHz stereo audio)", L"Source size for broadband",
       {true, 448, 0, 0, true, 64, 44100, 2}},
      {L"Video for local networks 768 Kbps (source size, 44 kHz stereo audio)", L"Source size for local networks",
       {true, 704, 0, 0, true, 64, 44100, 2}},
      {L"Video for local networks 1500 Kbps (source size, 44 kHz stereo audio)", L"Source size, high rate",
       {true, 1372, 0, 0, true, 128, 44100, 2}},
      {L"Video for archiving 3000 Kbps (source size, 48 kHz stereo audio)", L"Source size, highest rate",
       {true, 2872, 0, 0, true, 128, 48000, 2}},
      {L"Audio only 64 Kbps (44 kHz stereo)", L"Music for broadband", {false, 0, 0, 0, true, 64, 44100, 2}},
      {L"Audio only 32 Kbps (22 kHz mono)", L"Speech", {false, 0, 0, 0, true, 32, 22050, 1}},
  };
  return list;
}

// ---------------------------------------------------------------------------
// CWMProfile

HRESULT CWMProfile::Create(const std::wstring& name, const std::wstring& description, const WmProfileContents& c,
                           IWMProfile** out) {
  if (!out) return E_POINTER;
  auto* p = new CWMProfile();  // reference counted; the caller gets the first reference
  p->m_name = name;
  p->m_description = description;
  p->m_contents = c;
  *out = p;
  return S_OK;
}

HRESULT CWMProfile::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IWMProfile)
    *ppv = static_cast<IWMProfile*>(this);
  else if (riid == IID_IWMProfileContents)
    *ppv = static_cast<IWMProfileContents*>(this);
  else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}
ULONG CWMProfile::AddRef() { return ++m_refs; }
ULONG CWMProfile::Release() {
  const ULONG n = --m_refs;
  if (n == 0) delete this;
  return n;
}

HRESULT CWMProfile::CopyText(const std::wstring& text, WCHAR* out, DWORD* length) {
  if (!length) return E_POINTER;
  const DWORD need = static_cast<DWORD>(text.size() + 1);
  if (!out) {
    *length = need;
    return S_OK;
  }
  if (*length < need) {
    *length = need;
    return ASF_E_BUFFERTOOSMALL;
  }
  std::memcpy(out, text.c_str(), need * sizeof(WCHAR));
  *length = need;
  return S_OK;
}

HRESULT CWMProfile::GetVersion(WMT_VERSION* version) {
  if (!version) return E_POINTER;
  *version = WMT_VER_8_0;
  return S_OK;
}
HRESULT CWMProfile::GetName(WCHAR* name, DWORD* length) { return CopyText(m_name, name, length); }
HRESULT CWMProfile::SetName(const WCHAR* name) {
  if (!name) return E_POINTER;
  m_name = name;
  return S_OK;
}
HRESULT CWMProfile::GetDescription(WCHAR* d, DWORD* length) { return CopyText(m_description, d, length); }
HRESULT CWMProfile::SetDescription(const WCHAR* d) {
  if (!d) return E_POINTER;
  m_description = d;
  return S_OK;
}
HRESULT CWMProfile::GetStreamCount(DWORD* count) {
  if (!count) return E_POINTER;
  *count = (m_contents.video ? 1 : 0) + (m_contents.audio ? 1 : 0);
  return S_OK;
}
HRESULT CWMProfile::GetMutualExclusionCount(DWORD* count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}
HRESULT CWMProfile::GetContents(WmProfileContents* contents) {
  if (!contents) return E_POINTER;
  *contents = m_contents;
  return S_OK;
}

// ---------------------------------------------------------------------------
// CWMProfileManager

HRESULT CWMProfileManager::Create(IWMProfileManager** out) {
  if (!out) return E_POINTER;
  *out = new CWMProfileManager();  // reference counted
  return S_OK;
}

HRESULT CWMProfileManager::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IWMProfileManager || riid == IID_IWMProfileManager2) {
    *ppv = static_cast<IWMProfileManager2*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}
ULONG CWMProfileManager::AddRef() { return ++m_refs; }
ULONG CWMProfileManager::Release() {
  const ULONG n = --m_refs;
  if (n == 0) delete this;
  return n;
}

HRESULT CWMProfileManager::CreateEmptyProfile(WMT_VERSION version, IWMProfile** profile) {
  if (!profile) return E_POINTER;
  *profile = nullptr;
  if (version != WMT_VER_4_0 && version != WMT_VER_7_0 && version != WMT_VER_8_0 && version != WMT_VER_9_0)
    return E_INVALIDARG;
  return CWMProfile::Create(L"", L"", WmProfileContents{}, profile);
}

HRESULT CWMProfileManager::GetSystemProfileCount(DWORD* count) {
  if (!count) return E_POINTER;
  *count = m_version == WMT_VER_8_0 ? static_cast<DWORD>(SystemProfiles().size()) : 0;
  return S_OK;
}

HRESULT CWMProfileManager::LoadSystemProfile(DWORD index, IWMProfile** profile) {
  if (!profile) return E_POINTER;
  *profile = nullptr;
  DWORD count = 0;
  GetSystemProfileCount(&count);
  if (index >= count) return E_INVALIDARG;
  const SystemProfile& p = SystemProfiles()[index];
  return CWMProfile::Create(p.name, p.description, p.contents, profile);
}

HRESULT CWMProfileManager::GetSystemProfileVersion(WMT_VERSION* version) {
  if (!version) return E_POINTER;
  *version = m_version;
  return S_OK;
}

HRESULT CWMProfileManager::SetSystemProfileVersion(WMT_VERSION version) {
  if (version != WMT_VER_4_0 && version != WMT_VER_7_0 && version != WMT_VER_8_0 && version != WMT_VER_9_0)
    return E_INVALIDARG;
  m_version = version;
  return S_OK;
}

HRESULT WMCreateProfileManager(IWMProfileManager** manager) { return CWMProfileManager::Create(manager); }

HRESULT WMCreateWriter(IUnknown*, IUnknown** writer) {
  if (writer) *writer = nullptr;
  return E_NOTIMPL;
}
