#include "splitters/mpa/MpaSplitter.h"

#include <new>

#include "platform/win32/Thread.h"

CMpaSplitterFilter::CMpaSplitterFilter(LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid)
    : CBaseSplitterFilter(NAME("CMpaSplitterFilter"), outer, phr, clsid) {}

CMpaSplitterFilter::~CMpaSplitterFilter() {
  StopDemuxThread();
  m_pFile.reset();
}

CMpaSourceFilter::CMpaSourceFilter(LPUNKNOWN outer, HRESULT* phr)
    : CMpaSplitterFilter(outer, phr, CLSID_MpaSourceFilter) {
  m_pInput.reset();
}

CMpaSourceFilter::~CMpaSourceFilter() = default;

HRESULT CMpaSplitterFilter::CreateOutputs(IAsyncReader* reader) {
  CheckPointer(reader, E_POINTER);
  m_pFile.reset();
  HRESULT hr = E_OUTOFMEMORY;
  std::unique_ptr<CMpaSplitterFile> file(new (std::nothrow) CMpaSplitterFile(reader, hr));
  if (!file) return E_OUTOFMEMORY;
  if (FAILED(hr)) return hr;
  m_pFile = std::move(file);
  TellDamageOf(*m_pFile);

  HRESULT hrPin = S_OK;
  auto pin = std::make_unique<CBaseSplitterOutputPin>(std::vector<CMediaType>{m_pFile->mt}, L"Audio", this, this,
                                                      &hrPin);
  if (SUCCEEDED(hrPin)) AddOutputPin(0, std::move(pin));

  m_rtNewStart = m_rtCurrent = 0;
  m_rtDuration = m_pFile->IsComplete() ? m_pFile->duration.load() : 0;
  m_rtStop = m_rtNewStop = m_rtDuration;

  auto tag = [this](const char(&id)[5]) {
    auto it = m_pFile->tags.find(Id3Tag(id));
    return it == m_pFile->tags.end() ? std::wstring() : it->second;
  };
  std::wstring title = tag("TIT2");
  const std::wstring year = tag("TYER");
  if (!title.empty() && !year.empty()) title += L" (" + year + L")";
  if (!title.empty()) SetPropertyText(L"TITL", title.c_str());
  if (!tag("TPE1").empty()) SetPropertyText(L"AUTH", tag("TPE1").c_str());
  if (!tag("TCOP").empty()) SetPropertyText(L"CPYR", tag("TCOP").c_str());
  if (!tag("COMM").empty()) SetPropertyText(L"DESC", tag("COMM").c_str());

  return m_pOutputs.empty() ? E_FAIL : S_OK;
}

STDMETHODIMP CMpaSplitterFilter::GetDuration(LONGLONG* duration) {
  CheckPointer(duration, E_POINTER);
  if (!m_pFile) return VFW_E_NOT_CONNECTED;
  *duration = m_pFile->IsComplete() ? m_pFile->duration.load() : 0;
  return S_OK;
}

bool CMpaSplitterFilter::DemuxInit() { return m_pFile != nullptr; }

void CMpaSplitterFilter::DemuxSeek(REFERENCE_TIME rt) {
  CMpaSplitterFile& f = *m_pFile;
  const REFERENCE_TIME duration = f.duration;
  if (rt > 0 && f.IsComplete() && duration > 0) {
    const double fraction = static_cast<double>(rt) / static_cast<double>(duration);
    f.Seek(f.startpos + static_cast<LONGLONG>(fraction * static_cast<double>(f.endpos - f.startpos)));
    rtCurrent = rt;
  } else {
    f.Seek(f.startpos);
    rtCurrent = 0;
  }
}

bool CMpaSplitterFilter::DemuxLoop() {
  CMpaSplitterFile& f = *m_pFile;
  HRESULT hr = S_OK;
  // Where the last frame ended: the next one begins there, or the bytes up
  // to the next frame the stream's structure confirms are damage. (Unknown
  // after a seek, which lands anywhere. Files often end in other data, a
  // tag or padding: only a stretch with frames behind it is told.)
  LONGLONG frameEnd = -1;
  while (SUCCEEDED(hr) && !CheckRequest(nullptr) && f.GetPos() < f.endpos - 9) {
    const LONGLONG at = f.GetPos();
    CMpaSplitterFile::Frame frame;
    if (at == frameEnd && !f.FrameAt(at, frame)) f.Resync(at, f.endpos, f.FrameUnit(), CBaseSplitterFile::Tail::Silent);
    else f.Seek(at);
    int size = 0;
    REFERENCE_TIME frameDuration = 0;
    if (!f.Sync(size, frameDuration)) {
      // Sync has moved past what it searched; a growing file is waited for.
      if (f.IsStreaming()) Sleep(1);
      continue;
    }
    auto p = std::make_unique<Packet>();
    p->TrackNumber = 0;
    p->bSyncPoint = TRUE;
    p->rtStart = rtCurrent;
    p->rtStop = rtCurrent + frameDuration;
    p->resize(static_cast<size_t>(size));
    // A frame cut short by the end of the file is not delivered.
    if (f.ByteRead(p->data(), size) != S_OK) break;
    frameEnd = f.GetPos();
    hr = DeliverPacket(std::move(p));
    rtCurrent += frameDuration;
  }
  return true;
}
