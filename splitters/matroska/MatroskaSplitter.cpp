#include "splitters/matroska/MatroskaSplitter.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "foundation/FilterHelpers.h"
#include "foundation/Languages.h"
#include "platform/com/Bstr.h"
#include "platform/win32/Locale.h"
#include "splitters/matroska/MatroskaMediaTypes.h"

using namespace MatroskaReader;

namespace {

// What opening looks at of the first cluster: a bounded number of blocks, so
// that it never reads the whole file.
constexpr int kFirstClusterBlocks = 256;

REFERENCE_TIME SubSaturated(REFERENCE_TIME a, REFERENCE_TIME b) {
  REFERENCE_TIME r;
  if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? INT64_MAX : INT64_MIN + 1;
  return r;
}

REFERENCE_TIME AddSaturated(REFERENCE_TIME a, REFERENCE_TIME b) {
  REFERENCE_TIME r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN + 1;
  return r;
}

// 8-bit text from the file, one byte to one character.
std::wstring Widen(const std::string& s) {
  std::wstring w;
  w.reserve(s.size());
  for (char c : s) w.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return w;
}

BSTR MakeBstr(const std::wstring& s) { return SysAllocStringLen(s.c_str(), static_cast<UINT>(s.size())); }

// The bytes of an attached file, or false when the file does not hold
// them whole.
bool ReadAttachment(CMatroskaFile& file, const AttachedFile& af, std::vector<BYTE>& data) {
  const LONGLONG length = file.GetLength();
  if (af.FileDataLen == 0 || af.FileDataLen > 0xFFFFFFFFu || af.FileDataPos > static_cast<QWORD>(length) ||
      af.FileDataLen > static_cast<QWORD>(length) - af.FileDataPos)
    return false;
  data.resize(static_cast<size_t>(af.FileDataLen));
  file.Seek(static_cast<LONGLONG>(af.FileDataPos));
  return file.Read(data.data(), static_cast<LONGLONG>(data.size())) == S_OK;
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction

CMatroskaSplitterFilter::CMatroskaSplitterFilter(LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid)
    : CBaseSplitterFilter(NAME("CMatroskaSplitterFilter"), outer, phr, clsid) {}

CMatroskaSplitterFilter::~CMatroskaSplitterFilter() {
  // The demux thread walks the nodes over the file: it ends first.
  {
    CAutoLock lock(this);
    if (ThreadExists()) {
      CallWorker(CMD_EXIT);
      Close();
    }
  }
  CloseFile();
}

void CMatroskaSplitterFilter::CloseFile() {
  m_pOrderedTrackArray.clear();
  m_pTrackEntryMap.clear();
  m_pBlock.reset();
  m_pCluster.reset();
  m_pSegment.reset();
  m_pRoot.reset();
  m_pFile.reset();
}

HRESULT STDMETHODCALLTYPE CMatroskaSplitterFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CheckPointer(ppv, E_POINTER);
  if (riid == IID_ITrackInfo) return GetInterfaceAs<ITrackInfo>(this, ppv);
  return CBaseSplitterFilter::NonDelegatingQueryInterface(riid, ppv);
}

CMatroskaSourceFilter::CMatroskaSourceFilter(LPUNKNOWN outer, HRESULT* phr)
    : CMatroskaSplitterFilter(outer, phr, CLSID_MatroskaSourceFilter) {
  m_pInput.reset();
}

CMatroskaSourceFilter::~CMatroskaSourceFilter() = default;

// ---------------------------------------------------------------------------
// Outputs

HRESULT CMatroskaSplitterFilter::CreateOutputs(IAsyncReader* reader) {
  CheckPointer(reader, E_POINTER);
  CloseFile();

  HRESULT hr = E_FAIL;
  std::unique_ptr<CMatroskaFile> file(new (std::nothrow) CMatroskaFile(reader, hr));
  if (!file) return E_OUTOFMEMORY;
  if (FAILED(hr)) return hr;
  m_pFile = std::move(file);
  TellDamageOf(*m_pFile);
  // What follows the movie's own file is passed over, and the log says so.
  if (m_pFile->m_appendedAt > 0) Skipped(m_pFile->m_appendedAt, m_pFile->GetLength());
  Segment& seg = m_pFile->m_segment;

  m_rtNewStart = m_rtCurrent = 0;
  m_rtDuration = 0;
  m_rtNewStop = m_rtStop = 0;

  int videoCount = 1, audioCount = 1, subtitleCount = 1;
  bool fontsDone = false;
  for (auto& tracks : seg.Tracks) {
    for (auto& pTE : tracks->te) {
      TrackEntry& te = *pTE;
      if (!te.ApplyContentEncodings(te.CodecPrivate, ContentEncoding::TracksPrivateData)) continue;

      if (te.TrackType == TrackEntry::TypeSubtitle && !fontsDone) {
        // Fonts the subtitles may be drawn with, installed before the first
        // subtitle track is offered.
        fontsDone = true;
        for (auto& att : seg.Attachments) {
          for (auto& af : att->AttachedFiles) {
            std::vector<BYTE> data;
            if (af->FileMimeType == "application/x-truetype-font" && ReadAttachment(*m_pFile, *af, data))
              m_fontinst.Install(data);
          }
        }
      }

      std::wstring kind;
      if (te.TrackType == TrackEntry::TypeVideo) CheckDefaultDuration(te, seg.Scale());
      std::vector<CMediaType> mts = MakeMatroskaMediaTypes(te, kind);
      std::vector<BYTE> frame;
      if (mts.empty() && te.GetCodecID() == "V_MPEG2" && FirstFrameOf(te, frame))
        mts = MakeMatroskaMediaTypes(te, kind, &frame);
      if (kind.empty()) continue;
      int& counter = te.TrackType == TrackEntry::TypeVideo   ? videoCount
                     : te.TrackType == TrackEntry::TypeAudio ? audioCount
                                                             : subtitleCount;
      const std::wstring defaultName = kind + L" " + std::to_wstring(counter++);
      if (mts.empty() && (te.TrackType == TrackEntry::TypeVideo || te.TrackType == TrackEntry::TypeAudio))
        mts.push_back(MakeUnreadCodecType(te.TrackType == TrackEntry::TypeVideo ? MEDIATYPE_Video : MEDIATYPE_Audio,
                                          te.GetCodecID()));
      if (mts.empty()) continue;

      std::wstring name = te.Language.empty() ? L"English" : Widen(LanguageNameFromIso6392(te.Language));
      if (!te.Name.empty()) name += L", " + te.Name;
      name += L" (" + defaultName + L")";

      const UINT64 duration = te.DefaultDuration / 100;
      HRESULT hrPin = S_OK;
      auto pin = std::make_unique<CMatroskaSplitterOutputPin>(
          static_cast<REFERENCE_TIME>(std::min<UINT64>(duration, INT64_MAX)), mts, name.c_str(), this, this, &hrPin);
      if (FAILED(hrPin)) continue;
      if (!te.Name.empty()) pin->SetPropertyText(L"NAME", te.Name.c_str());
      if (te.Language.size() == 3) pin->SetPropertyText(L"LANG", Widen(te.Language).c_str());

      const auto track = static_cast<DWORD>(te.TrackNumber.Value());
      if (FAILED(AddOutputPin(track, std::move(pin)))) continue;
      m_pTrackEntryMap[track] = &te;
      m_pOrderedTrackArray.push_back(&te);
    }
  }

  if (m_pFile->IsRandomAccess()) {
    const double d = seg.SegmentInfo.Duration * static_cast<double>(seg.Scale()) / 100.0;
    // NaN and negative lengths are no length.
    m_rtDuration = d > 0 ? static_cast<REFERENCE_TIME>(std::min(d, 9.0e18)) : 0;
  }
  m_rtNewStop = m_rtStop = m_rtDuration;

  SetPropertyText(L"TITL", seg.SegmentInfo.Title.c_str());

  for (auto& att : seg.Attachments) {
    for (auto& af : att->AttachedFiles) {
      std::vector<BYTE> data;
      if (!ReadAttachment(*m_pFile, *af, data)) continue;
      AppendResource(af->FileName.c_str(), af->FileDescription.c_str(), Widen(af->FileMimeType).c_str(), data.data(),
                     static_cast<DWORD>(data.size()), 0);
    }
  }

  if (ChapterAtom* root = seg.GetChapter(0, 0)) {
    char buf[3] = {};
    const int n = GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SISO639LANGNAME, buf, 3);
    std::string language = Iso6391ToIso6392(n > 0 ? std::string(buf) : std::string());
    if (language.size() < 3) language = "eng";
    BuildChapters(language, root, 0);
  }

  return m_pOutputs.empty() ? E_FAIL : S_OK;
}

REFERENCE_TIME CMatroskaSplitterFilter::BlockSpacingOf(const TrackEntry& te, UINT64 scale) {
  constexpr size_t kTimes = 32;
  CMatroskaNode root(m_pFile.get());
  std::unique_ptr<CMatroskaNode> segment = root.Child(kIdSegment);
  std::unique_ptr<CMatroskaNode> cluster = segment ? segment->Child(kIdCluster) : nullptr;
  std::unique_ptr<CMatroskaNode> block = cluster ? cluster->GetFirstBlock() : nullptr;
  std::vector<INT64> times;
  int n = 0;
  for (bool more = block != nullptr; more && n < kFirstClusterBlocks && times.size() < kTimes;
       more = block->NextBlock(), n++) {
    Block b;
    if (FAILED(b.Parse(block->Id() == kIdBlockGroup ? block->Child(kIdBlock).get() : block.get(), false)) ||
        b.TrackNumber != te.TrackNumber)
      continue;
    times.push_back(b.TimeCode);
  }
  if (times.size() < 3) return 0;
  // Pictures stored in decoding order: the steps between the sorted times.
  std::sort(times.begin(), times.end());
  std::vector<INT64> steps;
  for (size_t i = 1; i < times.size(); i++)
    if (times[i] > times[i - 1]) steps.push_back(times[i] - times[i - 1]);
  if (steps.empty()) return 0;
  std::nth_element(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2), steps.end());
  const double step = static_cast<double>(steps[steps.size() / 2]) * static_cast<double>(scale) / 100.0;
  return step < 9.0e18 ? static_cast<REFERENCE_TIME>(step) : 0;
}

void CMatroskaSplitterFilter::CheckDefaultDuration(TrackEntry& te, UINT64 scale) {
  if (te.DefaultDuration == 0 || !m_pFile->IsRandomAccess()) return;
  const REFERENCE_TIME own = BlockSpacingOf(te, scale);
  const UINT64 header = te.DefaultDuration / 100;
  // Twice or a third: field-coded pictures and repeated frames stay inside.
  if (own <= 0 || (header <= 2 * static_cast<UINT64>(own) && 3 * header >= static_cast<UINT64>(own))) return;
  Mended("Track " + std::to_string(te.TrackNumber.Value()) + ": its default frame time of " +
             std::to_string(header / 10000) + " ms is far from the spacing of its own block times (" +
             std::to_string(own / 10000) + " ms); it is timed by those",
         "tracks");
  te.DefaultDuration.Set(static_cast<UINT64>(own) * 100);
}

bool CMatroskaSplitterFilter::FirstFrameOf(const TrackEntry& te, std::vector<BYTE>& frame) {
  // Only the first cluster is looked at, and a bounded number of its
  // blocks: opening must not read the whole file.
  constexpr int kMaxBlocks = kFirstClusterBlocks;
  CMatroskaNode root(m_pFile.get());
  std::unique_ptr<CMatroskaNode> segment = root.Child(kIdSegment);
  std::unique_ptr<CMatroskaNode> cluster = segment ? segment->Child(kIdCluster) : nullptr;
  std::unique_ptr<CMatroskaNode> block = cluster ? cluster->GetFirstBlock() : nullptr;
  int n = 0;
  for (bool more = block != nullptr; more && n < kMaxBlocks; more = block->NextBlock(), n++) {
    BlockGroup bg;
    if (FAILED(bg.b.Parse(block->Id() == kIdBlockGroup ? block->Child(kIdBlock).get() : block.get(), false)) ||
        bg.b.TrackNumber != te.TrackNumber)
      continue;
    const HRESULT hr = block->Id() == kIdBlockGroup ? bg.Parse(block.get(), true)
                                                    : SimpleBlock::ParseInto(block.get(), true, bg);
    if (FAILED(hr) || bg.b.BlockData.empty()) return false;
    frame = std::move(bg.b.BlockData.front());
    // As in the demux: a frame that does not decode is taken as it stands.
    te.ApplyContentEncodings(frame);
    return true;
  }
  return false;
}

void CMatroskaSplitterFilter::BuildChapters(const std::string& language, ChapterAtom* parent, int level) {
  if (!parent || level > ChapterAtom::kMaxDepth) return;
  std::wstring prefix(static_cast<size_t>(level), L'+');
  if (level > 0) prefix += L' ';
  for (auto& pAtom : parent->ChapterAtoms) {
    // The atom itself: a lookup by its uid could land on another atom
    // (a repeated uid) or on the edition (uid 0) and recurse for ever.
    ChapterAtom& ca = *pAtom;
    std::wstring name;
    const ChapterDisplay* chosen = nullptr;
    for (const auto& cd : ca.ChapterDisplays)
      if (cd->ChapLanguage == language) chosen = cd.get();
    if (!chosen && !ca.ChapterDisplays.empty()) chosen = ca.ChapterDisplays.front().get();
    if (chosen) name = chosen->ChapString;
    const auto start = static_cast<REFERENCE_TIME>(std::min<UINT64>(ca.ChapterTimeStart / 100, INT64_MAX));
    AppendChapter(SubSaturated(start, m_pFile->m_rtOffset), (prefix + name).c_str());
    if (!ca.ChapterAtoms.empty()) BuildChapters(language, &ca, level + 1);
  }
}

// ---------------------------------------------------------------------------
// IKeyFrameInfo

STDMETHODIMP CMatroskaSplitterFilter::KeyFrameCount(UINT& count) {
  if (!m_pFile) return E_UNEXPECTED;
  CAutoLock lock(&m_csCues);
  count = 0;
  for (const auto& cue : m_pFile->m_segment.Cues) count += static_cast<UINT>(cue->CuePoints.size());
  return S_OK;
}

STDMETHODIMP CMatroskaSplitterFilter::GetKeyFrames(const GUID* format, REFERENCE_TIME* times, UINT& count) {
  CheckPointer(format, E_POINTER);
  CheckPointer(times, E_POINTER);
  if (!m_pFile) return E_UNEXPECTED;
  if (*format != TIME_FORMAT_MEDIA_TIME) return E_INVALIDARG;
  CAutoLock lock(&m_csCues);
  UINT written = 0;
  for (const auto& cue : m_pFile->m_segment.Cues) {
    for (const auto& cp : cue->CuePoints) {
      if (written >= count) break;
      times[written++] = m_pFile->m_segment.ToRefTime(static_cast<__int128>(cp->CueTime.Value()));
    }
  }
  count = written;
  return S_OK;
}

// ---------------------------------------------------------------------------
// ITrackInfo

TrackEntry* CMatroskaSplitterFilter::TrackAt(UINT index) const {
  return index < m_pOrderedTrackArray.size() ? m_pOrderedTrackArray[index] : nullptr;
}

STDMETHODIMP_(UINT) CMatroskaSplitterFilter::GetTrackCount() {
  return static_cast<UINT>(m_pOrderedTrackArray.size());
}

STDMETHODIMP_(BOOL) CMatroskaSplitterFilter::GetTrackInfo(UINT index, TrackElement* info) {
  TrackEntry* te = TrackAt(index);
  if (!te || !info) return FALSE;
  info->Type = static_cast<BYTE>(te->TrackType.Value());
  info->FlagDefault = te->FlagDefault != 0;
  info->FlagLacing = te->FlagLacing != 0;
  info->MinCache = static_cast<UINT>(te->MinCache.Value());
  info->MaxCache = static_cast<UINT>(te->MaxCache.Value());
  std::memset(info->Language, 0, sizeof info->Language);
  std::strncpy(info->Language, te->Language.empty() ? "eng" : te->Language.c_str(), 3);
  return TRUE;
}

STDMETHODIMP_(BOOL) CMatroskaSplitterFilter::GetTrackExtendedInfo(UINT index, void* info) {
  TrackEntry* te = TrackAt(index);
  if (!te || !info) return FALSE;
  if (te->TrackType == TrackEntry::TypeVideo) {
    auto* v = static_cast<TrackExtendedInfoVideo*>(info);
    v->Interlaced = te->v.FlagInterlaced != 0;
    v->PixelWidth = static_cast<UINT>(te->v.PixelWidth.Value());
    v->PixelHeight = static_cast<UINT>(te->v.PixelHeight.Value());
    v->DisplayWidth = static_cast<UINT>(te->v.DisplayWidth.Value());
    v->DisplayHeight = static_cast<UINT>(te->v.DisplayHeight.Value());
    v->DisplayUnit = static_cast<BYTE>(te->v.DisplayUnit.Value());
    v->AspectRatioType = static_cast<BYTE>(te->v.AspectRatioType.Value());
    return TRUE;
  }
  if (te->TrackType == TrackEntry::TypeAudio) {
    auto* a = static_cast<TrackExtendedInfoAudio*>(info);
    a->SamplingFreq = static_cast<float>(te->a.SamplingFrequency.Value());
    a->OutputSamplingFrequency = static_cast<float>(te->a.OutputSamplingFrequency.Value());
    a->Channels = static_cast<UINT>(te->a.Channels.Value());
    a->BitDepth = static_cast<UINT>(te->a.BitDepth.Value());
    return TRUE;
  }
  return FALSE;
}

STDMETHODIMP_(BSTR) CMatroskaSplitterFilter::GetTrackCodecID(UINT index) {
  TrackEntry* te = TrackAt(index);
  return te ? MakeBstr(Widen(te->GetCodecID())) : nullptr;
}

STDMETHODIMP_(BSTR) CMatroskaSplitterFilter::GetTrackName(UINT index) {
  TrackEntry* te = TrackAt(index);
  return te ? MakeBstr(te->Name) : nullptr;
}

STDMETHODIMP_(BSTR) CMatroskaSplitterFilter::GetTrackCodecName(UINT index) {
  TrackEntry* te = TrackAt(index);
  return te ? MakeBstr(te->CodecName) : nullptr;
}

STDMETHODIMP_(BSTR) CMatroskaSplitterFilter::GetTrackCodecInfoURL(UINT index) {
  TrackEntry* te = TrackAt(index);
  return te ? MakeBstr(Widen(te->CodecInfoURL)) : nullptr;
}

STDMETHODIMP_(BSTR) CMatroskaSplitterFilter::GetTrackCodecDownloadURL(UINT index) {
  TrackEntry* te = TrackAt(index);
  return te ? MakeBstr(Widen(te->CodecDownloadURL)) : nullptr;
}

// ---------------------------------------------------------------------------
// Demultiplexing

UINT64 CMatroskaSplitterFilter::CueTrack() const {
  for (UINT64 type : {UINT64(TrackEntry::TypeVideo), UINT64(TrackEntry::TypeAudio)})
    for (const auto& tracks : m_pFile->m_segment.Tracks)
      for (const auto& te : tracks->te)
        if (te->TrackType == type) return te->TrackNumber;
  return 1;
}

bool CMatroskaSplitterFilter::DemuxInit() {
  if (!m_pFile) return false;
  m_pBlock.reset();
  m_pCluster.reset();
  m_pSegment.reset();
  m_pRoot = std::make_unique<CMatroskaNode>(m_pFile.get());
  m_pSegment = m_pRoot->Child(kIdSegment);
  if (!m_pSegment) return false;
  m_pCluster = m_pSegment->Child(kIdCluster);
  if (!m_pCluster) return false;

  bool haveCues;
  {
    CAutoLock lock(&m_csCues);
    haveCues = !m_pFile->m_segment.Cues.empty();
  }
  if (m_pFile->IsRandomAccess() && !haveCues) ScanCues();

  m_pBlock.reset();
  m_pCluster.reset();
  return true;
}

void CMatroskaSplitterFilter::ScanCues() {
  // Damage is told by the demux loop, which reads what the scan passes by.
  CBaseSplitterFile::QuietDamage quiet(*m_pFile);
  Segment& seg = m_pFile->m_segment;
  m_nOpenProgress = 0;
  seg.SegmentInfo.Duration.Set(0);

  const UINT64 track = CueTrack();
  const UINT64 scale = seg.Scale();
  const auto offsetUnits = static_cast<double>(static_cast<__int128>(m_pFile->m_rtOffset) * 100 / scale);
  auto cue = std::make_unique<Cue>();
  const LONGLONG length = std::max<LONGLONG>(1, m_pFile->GetLength());

  do {
    Cluster c;
    if (FAILED(c.ParseTimeCode(m_pCluster.get()))) continue;
    seg.SegmentInfo.Duration.Set(static_cast<double>(c.TimeCode.Value()) - offsetUnits);

    auto ctp = std::make_unique<CueTrackPosition>();
    ctp->CueTrack.Set(track);
    ctp->CueClusterPosition.Set(m_pCluster->StartPos() - seg.pos);
    auto cp = std::make_unique<CuePoint>();
    cp->CueTime.Set(c.TimeCode);
    cp->CueTrackPositions.push_back(std::move(ctp));
    cue->CuePoints.push_back(std::move(cp));

    m_nOpenProgress = m_pFile->GetPos() * 100 / length;

    DWORD cmd = 0;
    if (CheckRequest(&cmd)) {
      if (cmd == CMD_EXIT)
        m_fAbort = true;
      else
        Reply(0);
    }
  } while (!m_fAbort && m_pCluster->Next(true));

  m_nOpenProgress = 100;
  if (!m_fAbort) {
    CAutoLock lock(&m_csCues);
    seg.Cues.push_back(std::move(cue));
  }
  m_fAbort = false;
}

void CMatroskaSplitterFilter::DemuxSeek(REFERENCE_TIME rt) {
  // As for the cue scan: the demux loop tells the damage it reads past.
  CBaseSplitterFile::QuietDamage quiet(*m_pFile);
  m_pBlock.reset();
  m_pCluster = m_pSegment ? m_pSegment->Child(kIdCluster) : nullptr;
  if (rt <= 0 || !m_pCluster) return;

  const Segment& seg = m_pFile->m_segment;
  const REFERENCE_TIME target = AddSaturated(rt, m_pFile->m_rtOffset);
  const UINT64 track = CueTrack();
  bool haveLast = false;
  UINT64 lastPos = 0;

  for (const auto& cue : seg.Cues) {
    for (auto cpIt = cue->CuePoints.rbegin(); cpIt != cue->CuePoints.rend(); ++cpIt) {
      const CuePoint& cp = **cpIt;
      if (seg.ToRefTime(static_cast<__int128>(cp.CueTime.Value())) > target) continue;
      for (const auto& ctp : cp.CueTrackPositions) {
        if (ctp->CueTrack != track) continue;
        if (haveLast && ctp->CueClusterPosition == lastPos) continue;
        haveLast = true;
        lastPos = ctp->CueClusterPosition;

        if (lastPos > (1ULL << 62)) continue;
        m_pCluster->SeekTo(seg.pos + lastPos);
        if (m_pCluster->Parse() != S_OK || m_pCluster->Id() != kIdCluster) continue;
        Cluster c;
        if (FAILED(c.ParseTimeCode(m_pCluster.get()))) continue;

        std::unique_ptr<CMatroskaNode> pBlock = m_pCluster->GetFirstBlock();
        for (bool more = pBlock != nullptr; more; more = pBlock->NextBlock()) {
          // Only the headers and references decide here; the frames are
          // left unread.
          BlockGroup bg;
          const HRESULT hr = pBlock->Id() == kIdBlockGroup ? bg.Parse(pBlock.get(), false)
                                                           : SimpleBlock::ParseInto(pBlock.get(), false, bg);
          if (FAILED(hr)) continue;
          const REFERENCE_TIME bt =
              seg.ToRefTime(static_cast<__int128>(c.TimeCode.Value()) + bg.b.TimeCode.Value());
          const bool cueTrack = bg.b.TrackNumber == track;
          if (cueTrack && bt > target) break;
          if (bt > AddSaturated(target, 5000000)) break;
          if (cueTrack && !bg.ReferenceBlock.IsValid()) m_pBlock = pBlock->Copy();
        }
        if (m_pBlock) return;
      }
    }
  }

  m_pCluster = m_pSegment->Child(kIdCluster);
}

void CMatroskaSplitterFilter::SendVorbisHeaders() {
  for (const auto& [track, te] : m_pTrackEntryMap) {
    CBaseSplitterOutputPin* pin = GetOutputPin(track);
    if (!pin || !pin->IsConnected() || te->GetCodecID() != "A_VORBIS" ||
        pin->CurrentMediaType().subtype != MEDIASUBTYPE_Vorbis || te->CodecPrivate.empty())
      continue;
    std::vector<std::vector<BYTE>> headers;
    if (!SplitXiphLaced(te->CodecPrivate.data(), te->CodecPrivate.size(), headers)) continue;
    for (auto& h : headers) {
      auto p = std::make_unique<Packet>();
      p->TrackNumber = track;
      p->bSyncPoint = FALSE;
      p->bDiscontinuity = FALSE;
      p->rtStart = 0;
      p->rtStop = 1;
      static_cast<std::vector<BYTE>&>(*p) = std::move(h);
      if (FAILED(DeliverPacket(std::move(p)))) break;
    }
  }
}

REFERENCE_TIME CMatroskaSplitterFilter::KnownLength() {
  const Segment& seg = m_pFile->m_segment;
  double units = seg.SegmentInfo.Duration.IsValid() ? static_cast<double>(seg.SegmentInfo.Duration) : 0.0;
  {
    CAutoLock lock(&m_csCues);
    for (const auto& cue : seg.Cues)
      for (const auto& cp : cue->CuePoints) units = std::max(units, static_cast<double>(cp->CueTime.Value()));
  }
  const double t = units * static_cast<double>(seg.Scale()) / 100.0 - static_cast<double>(m_pFile->m_rtOffset);
  return t > 0 ? static_cast<REFERENCE_TIME>(std::min(t, 9.0e18)) : 0;
}

bool CMatroskaSplitterFilter::DemuxLoop() {
  SendVorbisHeaders();
  if (!m_pCluster) return true;

  const Segment& seg = m_pFile->m_segment;
  const REFERENCE_TIME offset = m_pFile->m_rtOffset;
  // A block timed far outside the file's length (a damaged time) would be
  // followed by the stages behind as if that much time had passed: it goes
  // on without a time, and its decoder counts it on from the one before (a
  // picture dropped would leave those that refer to it broken). Without a
  // known length every time stands.
  const REFERENCE_TIME length = KnownLength();
  const REFERENCE_TIME margin = std::max<REFERENCE_TIME>(length, 100000000);
  const QWORD segmentEnd = seg.pos + seg.len;
  HRESULT hr = S_OK;

  do {
    Cluster c;
    if (m_lostClusterTime >= 0)
      c.TimeCode.Set(static_cast<UINT64>(m_lostClusterTime));
    else
      c.ParseTimeCode(m_pCluster.get());
    if (!m_pBlock) m_pBlock = m_pCluster->GetFirstBlock();
    if (!m_pBlock) continue;

    do {
      auto bg = std::make_unique<BlockGroup>();
      const HRESULT hrParse = m_pBlock->Id() == kIdBlockGroup ? bg->Parse(m_pBlock.get(), true)
                                                              : SimpleBlock::ParseInto(m_pBlock.get(), true, *bg);
      if (FAILED(hrParse)) continue;

      const auto track = static_cast<DWORD>(bg->b.TrackNumber.Value());
      auto it = m_pTrackEntryMap.find(track);
      if (it == m_pTrackEntryMap.end() || !it->second) continue;
      const TrackEntry& te = *it->second;

      auto p = std::make_unique<MatroskaPacket>();
      p->TrackNumber = track;
      p->bSyncPoint = !bg->ReferenceBlock.IsValid();
      p->bDiscontinuity = FALSE;
      p->rtStart =
          SubSaturated(seg.ToRefTime(static_cast<__int128>(c.TimeCode.Value()) + bg->b.TimeCode.Value()), offset);
      const bool untimed = length > 0 && (p->rtStart < -margin || p->rtStart > length + margin);
      if (untimed) {
        Mended("Track " + std::to_string(track) +
                   ": blocks timed far outside the file's length were taken as following the block before",
               "blocks");
        p->rtStart = p->rtStop = INVALID_TIME;
      } else if (bg->BlockDuration.IsValid()) {
        p->rtStop = AddSaturated(p->rtStart, seg.ToRefTime(static_cast<__int128>(bg->BlockDuration.Value())));
      } else {
        p->rtStop = AddSaturated(p->rtStart, 1);
      }
      if (te.TrackType == TrackEntry::TypeSubtitle && !bg->BlockDuration.IsValid()) {
        // Subtitles are not held back waiting for the next one.
        bg->BlockDuration.Set(1);
        p->rtStop = p->rtStart;
      }

      // A frame whose encodings cannot be undone goes on as it stands: an
      // encoding entry may be written over frames that are plain (an empty
      // ContentEncoding means zlib), and the decoder judges the rest.
      if (te.HasContentEncodings())
        for (std::vector<BYTE>& f : bg->b.BlockData) te.ApplyContentEncodings(f);

      p->bg = std::move(bg);
      hr = DeliverPacket(std::move(p));
    } while (SUCCEEDED(hr) && !CheckRequest(nullptr) && m_pBlock->NextBlock());

    m_pBlock.reset();
  } while (SUCCEEDED(hr) && !CheckRequest(nullptr) && m_pFile->GetPos() < static_cast<LONGLONG>(std::min<QWORD>(segmentEnd, INT64_MAX)) &&
           NextCluster(segmentEnd));

  m_pCluster.reset();
  m_lostClusterTime = -1;
  return true;
}

bool CMatroskaSplitterFilter::NextCluster(QWORD segmentEnd) {
  const QWORD from = m_pCluster->EndPos();
  auto lost = m_pCluster->Copy();
  m_lostClusterTime = -1;
  const bool more = m_pCluster->Next(true);
  const QWORD to = more ? m_pCluster->StartPos() : std::min<QWORD>(segmentEnd, m_pFile->GetLength());
  if (to <= from) return more;
  const QWORD block = m_pSegment->FindBlock(from, to);
  if (!block) return more;
  // The cue point of the lost cluster: the last one placed between the
  // end of the cluster before and the block. It gives the time of its
  // track's key frame there.
  const Segment& seg = m_pFile->m_segment;
  LONGLONG keyTime = -1;
  UINT64 keyTrack = 0;
  QWORD at = 0;
  {
    CAutoLock lock(&m_csCues);
    for (const auto& cue : seg.Cues)
      for (const auto& cp : cue->CuePoints)
        for (const auto& ctp : cp->CueTrackPositions) {
          const QWORD pos = seg.pos + ctp->CueClusterPosition;
          if (pos >= from && pos <= block && pos >= at && cp->CueTime.Value() <= static_cast<UINT64>(INT64_MAX)) {
            at = pos;
            keyTime = static_cast<LONGLONG>(cp->CueTime.Value());
            keyTrack = ctp->CueTrack;
          }
        }
  }
  if (keyTime < 0) return more;
  // From the block on to what follows the damage, as a cluster whose time
  // puts that key frame (when it is still there) at the cue's time.
  lost->m_start = lost->m_filepos = block;
  lost->m_len.SetKnown(to - block);
  auto b = lost->GetFirstBlock();
  for (bool next = b != nullptr; next; next = b->NextBlock()) {
    BlockGroup bg;
    const HRESULT hr = b->Id() == kIdBlockGroup ? bg.Parse(b.get(), false) : SimpleBlock::ParseInto(b.get(), false, bg);
    if (FAILED(hr) || bg.b.TrackNumber != keyTrack || bg.ReferenceBlock.IsValid()) continue;
    const LONGLONG time = keyTime - bg.b.TimeCode.Value();
    if (time < 0) return more;
    m_pCluster = std::move(lost);
    m_lostClusterTime = time;
    return true;
  }
  return more;
}
