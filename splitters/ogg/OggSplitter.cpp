#include "splitters/ogg/OggSplitter.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>
#include <map>
#include <new>

#include "platform/win32/Thread.h"

namespace {

// Bytes the key-frame search steps back at a time.
constexpr LONGLONG kKeyFrameWindow = 655360;
// Interpolation rounds before the position found so far is taken.
constexpr int kMaxSeekRounds = 64;

bool HeaderIs(const BYTE* packet, size_t len, const char* name) {
  const size_t n = strlen(name);
  return len >= 1 + n && memcmp(packet + 1, name, n) == 0;
}

// The 8-byte, zero-filled stream type of an OGM stream header.
bool StreamTypeIs(const BYTE* packet, size_t len, const char* name) {
  return len >= 9 && strncmp(reinterpret_cast<const char*>(packet + 1), name, 8) == 0;
}

}  // namespace

COggSplitterFilter::COggSplitterFilter(LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid)
    : CBaseSplitterFilter(NAME("COggSplitterFilter"), outer, phr, clsid) {}

COggSplitterFilter::~COggSplitterFilter() {
  StopDemuxThread();
  m_pFile.reset();
}

COggSourceFilter::COggSourceFilter(LPUNKNOWN outer, HRESULT* phr)
    : COggSplitterFilter(outer, phr, CLSID_OggSourceFilter) {
  m_pInput.reset();
}

COggSourceFilter::~COggSourceFilter() = default;

COggSplitterOutputPin* COggSplitterFilter::OggPin(DWORD serial) {
  return dynamic_cast<COggSplitterOutputPin*>(GetOutputPin(serial));
}

void COggSplitterFilter::LeaveOutLink(COggSplitterOutputPin& pin) {
  Mended("A later part of the chained file holds " +
             std::string(pin.CurrentMediaType().majortype == MEDIATYPE_Audio ? "sound" : "pictures") +
             " of another format: that part is left out",
         "parts");
}

COggSplitterOutputPin* COggSplitterFilter::PagePin(const OggPage& page) {
  const DWORD serial = page.m_hdr.bitstream_serial_number;
  // The first pages of a link come together, before any of its data.
  if (!(page.m_hdr.header_type_flag & OggFirstPage)) m_linkTaken.clear();
  if (COggSplitterOutputPin* own = OggPin(serial)) return own;
  auto known = m_linkPins.find(serial);
  if (known != m_linkPins.end()) return known->second;
  if (!(page.m_hdr.header_type_flag & OggFirstPage) || page.m_data.empty()) return nullptr;
  const size_t len = page.FirstPacketLength();
  // A stream of the link before that this link does not go on yet, of the
  // same codec (the header's type byte and name).
  constexpr size_t kCodecBytes = 7;
  COggSplitterOutputPin* found = nullptr;
  for (COggSplitterOutputPin* pin : m_started) {
    const std::vector<BYTE>& id = pin->IdHeader();
    if (id.size() < kCodecBytes || len < kCodecBytes || !std::equal(id.begin(), id.begin() + kCodecBytes, page.m_data.begin()))
      continue;
    if (!m_linkTaken.count(pin)) {
      found = pin;
      break;
    }
  }
  if (found) m_linkTaken.insert(found);
  if (found && (found->IdHeader().size() != len ||
                !std::equal(found->IdHeader().begin(), found->IdHeader().end(), page.m_data.begin()))) {
    LeaveOutLink(*found);
    found = nullptr;
  }
  m_linkPins[serial] = found;
  return found;
}

// ---------------------------------------------------------------------------
// Outputs

HRESULT COggSplitterFilter::CreateOutputs(IAsyncReader* reader) {
  CheckPointer(reader, E_POINTER);
  m_pFile.reset();
  HRESULT hr = E_OUTOFMEMORY;
  std::unique_ptr<COggFile> file(new (std::nothrow) COggFile(reader, hr));
  if (!file) return E_OUTOFMEMORY;
  if (FAILED(hr)) return hr;
  m_pFile = std::move(file);
  TellDamageOf(*m_pFile);

  m_rtNewStart = m_rtCurrent = 0;
  m_rtDuration = 0;
  m_rtStop = m_rtNewStop = 0;

  m_pFile->Seek(0);
  ScanHeaders();
  if (m_pOutputs.empty()) return E_FAIL;
  if (m_pFile->IsComplete()) ReadDuration();
  CommentsToProperties();
  return S_OK;
}

void COggSplitterFilter::ScanHeaders() {
  int awaited = 0;  // Vorbis and Theora streams whose headers are not all read
  OggPage page;
  for (int n = 0; m_pFile->Read(page); n++) {
    const OggPageHeader& h = page.m_hdr;
    const DWORD serial = h.bitstream_serial_number;
    const bool bos = (h.header_type_flag & OggFirstPage) != 0;

    if (!(h.header_type_flag & OggContinuedPacket) && !page.m_data.empty()) {
      // The first packet, as far as this page holds it.
      const size_t len = page.FirstPacketLength();
      const BYTE* d = page.m_data.data();
      const BYTE t = d[0];
      if (t == 1 && bos) {
        if (!GetOutputPin(serial)) {
          wchar_t name[64];
          std::unique_ptr<COggSplitterOutputPin> pin;
          bool vorbis = false;
          if (HeaderIs(d, len, "vorbis")) {
            swprintf(name, 64, L"Vorbis %d", n);
            pin = COggVorbisOutputPin::Create(d, len, name, this, this);
            vorbis = pin != nullptr;
          } else if (StreamTypeIs(d, len, "video")) {
            swprintf(name, 64, L"Video %d", n);
            pin = COggVideoOutputPin::Create(d, len, name, this, this);
          } else if (StreamTypeIs(d, len, "audio")) {
            swprintf(name, 64, L"Audio %d", n);
            pin = COggAudioOutputPin::Create(d, len, name, this, this);
          } else if (StreamTypeIs(d, len, "text")) {
            swprintf(name, 64, L"Text %d", n);
            pin = COggTextOutputPin::Create(d, len, name, this, this);
          } else if (HeaderIs(d, len, "Direct Show Samples embedded in Ogg")) {
            swprintf(name, 64, L"DirectShow %d", n);
            pin = COggDirectShowOutputPin::Create(d, len, name, this, this);
          }
          if (pin) {
            pin->SetSerial(serial);
            pin->SetIdHeader(d, len);
            if (SUCCEEDED(AddOutputPin(serial, std::move(pin))) && vorbis) awaited++;
          }
        }
      } else if (t == 0x80 && bos && HeaderIs(d, len, "theora") && !GetOutputPin(serial)) {
        wchar_t name[64];
        swprintf(name, 64, L"Theora %d", n);
        if (auto pin = COggTheoraOutputPin::Create(d, len, name, this, this)) {
          pin->SetSerial(serial);
          pin->SetIdHeader(d, len);
          if (SUCCEEDED(AddOutputPin(serial, std::move(pin)))) awaited++;
        }
      } else if (t == 3 && HeaderIs(d, len, "vorbis")) {
        if (auto* pin = dynamic_cast<COggVorbisOutputPin*>(OggPin(serial)))
          pin->ParseVorbisComment(d + 7, page.m_data.size() - 7);
      } else if (!(t & 1) && !bos && awaited == 0) {
        // A data packet: the headers of every stream are behind us. The
        // first pages of streams of other kinds (a Theora header starts
        // with 0x80) do not count as data.
        break;
      }
    }

    if (auto* pin = dynamic_cast<COggVorbisOutputPin*>(OggPin(serial))) {
      const bool had = pin->InitialPacketCount() >= 3;
      pin->UnpackInitPage(page);
      if (!had && pin->InitialPacketCount() >= 3) awaited--;
    } else if (auto* theora = dynamic_cast<COggTheoraOutputPin*>(OggPin(serial))) {
      const bool had = theora->InitialPacketCount() >= 3;
      theora->UnpackInitPage(page);
      if (!had && theora->InitialPacketCount() >= 3) awaited--;
    }
  }
}

void COggSplitterFilter::ReadDuration() {
  const LONGLONG length = m_pFile->GetLength();
  m_pFile->Seek(std::max<LONGLONG>(0, length - 65536));
  REFERENCE_TIME duration = 0;
  bool laterLink = false;
  OggPage page;
  while (m_pFile->Read(page, false)) {
    if (!page.HasGranule()) continue;
    COggSplitterOutputPin* pin = OggPin(page.m_hdr.bitstream_serial_number);
    if (pin) duration = std::max(duration, pin->GetRefTime(page.m_hdr.granule_position));
    laterLink = !pin;
  }
  // The file ends in a stream the first link does not have (a later link
  // under serial numbers of its own): its times count from its own start.
  if (laterLink) duration = ChainedDuration();
  m_rtDuration = duration;
  m_rtStop = m_rtNewStop = duration;
  m_rtCurrent = m_rtNewStart = 0;
}

REFERENCE_TIME COggSplitterFilter::ChainedDuration() {
  // Every link's streams count their granules from the link's start, so
  // the file lasts as long as its links one after another. A later link's
  // stream is timed by the stream of the first it goes on in (the one with
  // the same identification header); a stream that goes on in none adds
  // nothing, as it is not played.
  m_pFile->Seek(0);
  REFERENCE_TIME total = 0, link = 0;
  std::map<DWORD, COggSplitterOutputPin*> linkPins;
  bool linkHasData = false;
  OggPage page;
  for (;;) {
    const LONGLONG at = m_pFile->GetPos();
    if (!m_pFile->Read(page, false)) break;
    const DWORD serial = page.m_hdr.bitstream_serial_number;
    if (page.m_hdr.header_type_flag & OggFirstPage) {
      if (linkHasData) {
        total += link;
        link = 0;
        linkPins.clear();
        linkHasData = false;
      }
      COggSplitterOutputPin* pin = OggPin(serial);
      if (!pin) {
        m_pFile->Seek(at);
        if (!m_pFile->Read(page)) break;
        const size_t len = page.FirstPacketLength();
        for (auto& out : m_pOutputs) {
          auto* candidate = dynamic_cast<COggSplitterOutputPin*>(out.get());
          if (!candidate || candidate->IdHeader().size() != len ||
              !std::equal(candidate->IdHeader().begin(), candidate->IdHeader().end(), page.m_data.begin()))
            continue;
          const bool taken = std::any_of(linkPins.begin(), linkPins.end(),
                                         [&](const auto& entry) { return entry.second == candidate; });
          if (!taken) {
            pin = candidate;
            break;
          }
        }
      }
      linkPins[serial] = pin;
      continue;
    }
    linkHasData = true;
    auto known = linkPins.find(serial);
    if (page.HasGranule() && known != linkPins.end() && known->second)
      link = std::max(link, known->second->GetRefTime(page.m_hdr.granule_position));
  }
  return total + link;
}

void COggSplitterFilter::CommentsToProperties() {
  std::vector<COggSplitterOutputPin*> pins;
  for (auto& pin : m_pOutputs)
    if (auto* p = dynamic_cast<COggSplitterOutputPin*>(pin.get())) pins.push_back(p);

  static const wchar_t* const kProperties[][2] = {
      {L"TITLE", L"TITL"}, {L"ARTIST", L"AUTH"}, {L"COPYRIGHT", L"CPYR"}, {L"DESCRIPTION", L"DESC"}};
  for (const auto& [key, property] : kProperties) {
    for (COggSplitterOutputPin* pin : pins) {
      const std::wstring value = pin->GetComment(key);
      if (value.empty()) continue;
      SetPropertyText(property, value.c_str());
      break;
    }
  }

  if (GetChapterCount() > 0) return;
  for (COggSplitterOutputPin* pin : pins) {
    if (pin->GetComment(L"CHAPTER01").empty()) continue;
    for (int i = 1;; i++) {
      wchar_t key[32];
      swprintf(key, 32, L"CHAPTER%02d", i);
      const std::wstring time = pin->GetComment(key);
      if (time.empty()) break;
      swprintf(key, 32, L"CHAPTER%02dNAME", i);
      std::wstring name = pin->GetComment(key);
      if (name.empty()) {
        wchar_t fallback[32];
        swprintf(fallback, 32, L"Chapter %d", i);
        name = fallback;
      }
      int h = 0, m = 0, s = 0, ms = 0;
      wchar_t c1 = 0, c2 = 0, c3 = 0;
      if (swscanf(time.c_str(), L"%d%lc%d%lc%d%lc%d", &h, &c1, &m, &c2, &s, &c3, &ms) != 7) break;
      const __int128 t = ((((static_cast<__int128>(h) * 60 + m) * 60 + s) * 1000) + ms) * 10000;
      if (t < 0 || t > LLONG_MAX) break;
      AppendChapter(static_cast<REFERENCE_TIME>(t), name.c_str());
    }
    SortChapters();
    break;
  }
}

// ---------------------------------------------------------------------------
// Demultiplexing

bool COggSplitterFilter::DemuxInit() { return m_pFile != nullptr; }

bool COggSplitterFilter::DemuxLoop() {
  COggFile& f = *m_pFile;
  HRESULT hr = S_OK;
  OggPage page;
  // Where the last page ended: the next one begins there, or the bytes up
  // to the next page the file's structure confirms are damage. (Unknown
  // after a seek, which lands anywhere.)
  LONGLONG pageEnd = -1;
  m_started.clear();
  m_linkPins.clear();
  m_linkTaken.clear();
  std::map<COggSplitterOutputPin*, DWORD> lastPage;
  while (SUCCEEDED(hr) && !CheckRequest(nullptr)) {
    const LONGLONG at = f.GetPos();
    if (at == pageEnd && !f.PageAt(at)) f.Resync(at, f.GetLength(), f.PageUnit());
    else f.Seek(at);
    const LONGLONG pageStart = f.GetPos();
    if (!f.Read(page, true, GetRequestHandle())) break;
    pageEnd = f.GetPos();
    COggSplitterOutputPin* pin = PagePin(page);
    if (!pin || !pin->IsConnected()) continue;
    const bool link = (page.m_hdr.header_type_flag & OggFirstPage) && m_started.count(pin);
    // Pages of a stream are numbered: one whose number does not follow the
    // last one read of its stream in this link (a stretch written twice,
    // or found again after damage) was read already and is passed over.
    auto last = lastPage.find(pin);
    if (!link && last != lastPage.end() && page.m_hdr.page_sequence_number <= last->second) {
      Skipped(pageStart, pageEnd);
      continue;
    }
    lastPage[pin] = page.m_hdr.page_sequence_number;
    if (link) {
      // The next link of a chained file: its times start anew, and it goes
      // on where the link before ended.
      Timeline().ClockStepped();
      if (!pin->BeginLink(page)) LeaveOutLink(*pin);
    }
    if (FAILED(pin->UnpackPage(page))) break;
    m_started.insert(pin);
    while (std::unique_ptr<OggPacket> p = pin->GetPacket()) {
      if (p->fSkip || FAILED(hr)) continue;
      // A later link under a serial number of its own goes on in the
      // stream it continues.
      p->TrackNumber = pin->Serial();
      hr = DeliverPacket(std::move(p));
    }
  }
  return true;
}

void COggSplitterFilter::DemuxSeek(REFERENCE_TIME rt) {
  if (rt <= 0) {
    m_pFile->Seek(0);
    return;
  }
  // Without a duration nothing can be interpolated.
  if (m_rtDuration <= 0) return;

  const LONGLONG pos = FindPosition(rt);
  for (auto& out : m_pOutputs) {
    if (auto* video = dynamic_cast<COggVideoOutputPin*>(out.get())) {
      FindKeyFrame(*video, pos, rt);
      return;
    }
  }
  m_pFile->Seek(pos);
}

LONGLONG COggSplitterFilter::FindPosition(REFERENCE_TIME t) {
  const LONGLONG length = m_pFile->GetLength();
  const REFERENCE_TIME duration = m_rtDuration;
  // In floating point: length times time overflows 64 bits for large files.
  LONGLONG pos = static_cast<LONGLONG>(
      std::min(static_cast<double>(length), static_cast<double>(length) * t / static_cast<double>(duration)));
  __int128 best = LLONG_MAX;

  for (int round = 0; round < kMaxSeekRounds; round++) {
    m_pFile->Seek(pos);
    REFERENCE_TIME t2 = -1;
    LONGLONG after = pos;
    OggPage page;
    while (m_pFile->Read(page, false)) {
      if (!page.HasGranule()) continue;
      COggSplitterOutputPin* pin = OggPin(page.m_hdr.bitstream_serial_number);
      if (!pin) continue;
      t2 = pin->GetRefTime(page.m_hdr.granule_position);
      after = m_pFile->GetPos();
      break;
    }

    double next;
    if (t2 < t) {
      const __int128 distance = static_cast<__int128>(t) - t2;
      if (distance < 1000000 || distance >= best) return pos;
      best = distance;
      if (t2 >= duration) return 0;
      next = pos + static_cast<double>(distance) / (static_cast<double>(duration) - t2) * (length - pos) + 1024;
      if (next < after) next = static_cast<double>(after) + 1024;
    } else if (t2 > t) {
      next = pos - (static_cast<double>(t2) - t) / t2 * pos - 1024;
      if (next >= pos) next = static_cast<double>(pos) - 1024;
    } else {
      return pos;
    }
    pos = static_cast<LONGLONG>(std::clamp(next, 0.0, static_cast<double>(length)));
  }
  return pos;
}

void COggSplitterFilter::FindKeyFrame(COggSplitterOutputPin& video, LONGLONG pos, REFERENCE_TIME t) {
  LONGLONG start = pos, end = LLONG_MAX;
  bool found = false, settled = false;
  while (!(found && settled) && start > 0) {
    m_pFile->Seek(start);
    OggPage page;
    bool windowDone = false;
    while (!windowDone && m_pFile->GetPos() < end && m_pFile->Read(page)) {
      if (!page.HasGranule() || page.m_hdr.bitstream_serial_number != video.Serial()) continue;
      if (video.GetRefTime(page.m_hdr.granule_position) > t) break;
      video.UnpackPage(page);
      while (std::unique_ptr<OggPacket> p = video.GetPacket()) {
        if (!found) {
          if (!p->bSyncPoint) continue;
          found = true;
          settled = !p->fSkip;
        } else if (!p->fSkip) {
          settled = true;
        } else {
          continue;
        }
        windowDone = true;
        break;
      }
    }
    if (found && settled) break;
    end = start;
    start = std::max<LONGLONG>(0, start - kKeyFrameWindow);
  }
  m_pFile->Seek(start);
}
