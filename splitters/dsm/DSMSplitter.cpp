#include "splitters/dsm/DSMSplitter.h"

#include <cstdio>
#include <new>

#include "foundation/Languages.h"
#include "platform/win32/CodePage.h"

CDSMSplitterFilter::CDSMSplitterFilter(LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid)
    : CBaseSplitterFilter(NAME("CDSMSplitterFilter"), outer, phr, clsid) {}

CDSMSplitterFilter::~CDSMSplitterFilter() {
  StopDemuxThread();
  m_pFile.reset();
}

CDSMSourceFilter::CDSMSourceFilter(LPUNKNOWN outer, HRESULT* phr)
    : CDSMSplitterFilter(outer, phr, CLSID_DSMSourceFilter) {
  m_pInput.reset();
}

CDSMSourceFilter::~CDSMSourceFilter() = default;

HRESULT CDSMSplitterFilter::CreateOutputs(IAsyncReader* reader) {
  CheckPointer(reader, E_POINTER);
  m_pFile.reset();
  HRESULT hr = E_FAIL;
  std::unique_ptr<CDSMSplitterFile> file(new (std::nothrow) CDSMSplitterFile(reader, hr, *this, *this));
  if (!file) return E_OUTOFMEMORY;
  if (FAILED(hr)) return hr;
  m_pFile = std::move(file);
  TellDamageOf(*m_pFile);

  m_rtNewStart = m_rtCurrent = 0;
  m_rtDuration = m_pFile->m_rtDuration;
  m_rtStop = m_rtNewStop = m_rtDuration;

  // The map keeps its tracks in ascending order.
  for (const auto& [track, mt] : m_pFile->m_mts) {
    wchar_t defaultName[16];
    swprintf(defaultName, 16, L"Output %02d", track);
    HRESULT hrPin = S_OK;
    auto pin = std::make_unique<CBaseSplitterOutputPin>(std::vector<CMediaType>{mt}, defaultName, this, this, &hrPin);
    if (FAILED(hrPin)) continue;

    std::wstring name, language;
    const auto info = m_pFile->m_sim.find(track);
    if (info != m_pFile->m_sim.end()) {
      for (const auto& [key, value] : info->second) {
        const std::wstring wkey(key.begin(), key.end());
        pin->SetPropertyText(wkey.c_str(), value.c_str());
        if (key == "NAME") name = value;
        if (key == "LANG") {
          const std::string language6392 = LanguageNameFromIso6392(WideToUtf8(value));
          language = language6392.empty() ? value : Utf8ToWide(language6392);
        }
      }
    }
    if (!name.empty() && !language.empty()) pin->SetName((name + L" (" + language + L")").c_str());
    else if (!name.empty()) pin->SetName(name.c_str());
    else if (!language.empty()) pin->SetName(language.c_str());

    AddOutputPin(track, std::move(pin));
  }

  for (const auto& [key, value] : m_pFile->m_fim) {
    const std::wstring wkey(key.begin(), key.end());
    SetPropertyText(wkey.c_str(), value.c_str());
  }

  for (const CDSMResource& r : m_resources)
    if (r.mime == L"application/x-truetype-font") m_fontinst.Install(r.data);

  return m_pOutputs.empty() ? E_FAIL : S_OK;
}

bool CDSMSplitterFilter::DemuxInit() { return m_pFile != nullptr; }

void CDSMSplitterFilter::DemuxSeek(REFERENCE_TIME rt) {
  m_pFile->Seek(m_pFile->FindSyncPoint(rt, [this] { return CheckRequest(nullptr); }));
}

bool CDSMSplitterFilter::DemuxLoop() {
  CDSMSplitterFile& f = *m_pFile;
  HRESULT hr = S_OK;
  // Where the last packet ended: the next one begins there, or the bytes up
  // to the next packet the file's structure confirms are damage. (Unknown
  // after a seek.)
  LONGLONG packetEnd = -1;
  while (SUCCEEDED(hr) && !CheckRequest(nullptr)) {
    const LONGLONG at = f.GetPos();
    if (at == packetEnd && !f.PacketAt(at)) f.Resync(at, f.GetLength(), f.PacketUnit());
    else f.Seek(at);
    dsmp_t type;
    UINT64 len;
    if (!f.Sync(type, len)) {
      // None within the limit: the next round scans on from here; at the
      // end of the data there is nothing more to find.
      if (f.GetRemaining() < 3) break;
      continue;
    }
    const LONGLONG body = f.GetPos();
    if (type == DSMP_SAMPLE) {
      auto p = std::make_unique<Packet>();
      if (f.Read(len, *p)) {
        if (p->rtStart != INVALID_TIME) {
          p->rtStart -= f.m_rtFirst;
          p->rtStop -= f.m_rtFirst;
        }
        hr = DeliverPacket(std::move(p));
      }
    }
    f.Seek(body + static_cast<LONGLONG>(len));
    packetEnd = f.GetPos();
  }
  return true;
}

STDMETHODIMP CDSMSplitterFilter::KeyFrameCount(UINT& count) {
  if (!m_pFile) return E_UNEXPECTED;
  count = static_cast<UINT>(m_pFile->m_sps.size());
  return S_OK;
}

STDMETHODIMP CDSMSplitterFilter::GetKeyFrames(const GUID* format, REFERENCE_TIME* times, UINT& count) {
  CheckPointer(format, E_POINTER);
  CheckPointer(times, E_POINTER);
  if (!m_pFile) return E_UNEXPECTED;
  if (*format != TIME_FORMAT_MEDIA_TIME) return E_INVALIDARG;
  UINT written = 0;
  for (const auto& sp : m_pFile->m_sps) {
    if (written >= count) break;
    times[written++] = sp.rt;
  }
  count = written;
  return S_OK;
}
