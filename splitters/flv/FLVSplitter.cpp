#include "splitters/flv/FLVSplitter.h"

#include <algorithm>
#include <new>
#include <optional>

#include "foundation/FilterHelpers.h"
#include "platform/win32/Thread.h"

namespace {

constexpr int kMaxHeaderTags = 100;
constexpr BYTE kAudio = 8, kVideo = 9, kScriptData = 18;
// Bit 5 of the tag type marks a filtered (encrypted) tag.
constexpr BYTE kFiltered = 0x20;
constexpr int kTagHeader = 15;

bool KnownTagType(BYTE type) {
  type &= ~kFiltered;
  return type == kAudio || type == kVideo || type == kScriptData;
}

UINT32 Be24(const BYTE* p) { return static_cast<UINT32>(p[0] << 16 | p[1] << 8 | p[2]); }
constexpr BYTE kCodecH263 = 2, kCodecVp6 = 4, kCodecVp6Alpha = 5;

}  // namespace

CFLVSplitterFilter::CFLVSplitterFilter(LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid)
    : CBaseSplitterFilter(NAME("CFLVSplitterFilter"), outer, phr, clsid) {}

CFLVSplitterFilter::~CFLVSplitterFilter() {
  StopDemuxThread();
  m_pFile.reset();
}

CFLVSourceFilter::CFLVSourceFilter(LPUNKNOWN outer, HRESULT* phr)
    : CFLVSplitterFilter(outer, phr, CLSID_FLVSourceFilter) {
  m_pInput.reset();
}

CFLVSourceFilter::~CFLVSourceFilter() = default;

// ---------------------------------------------------------------------------
// Tags

bool CFLVSplitterFilter::ReadTag(FlvTag& t) {
  if (m_pFile->GetRemaining() < 15) return false;
  t.PreviousTagSize = static_cast<UINT32>(m_pFile->BitRead(32));
  t.TagType = static_cast<BYTE>(m_pFile->BitRead(8));
  t.DataSize = static_cast<UINT32>(m_pFile->BitRead(24));
  t.TimeStamp = static_cast<UINT32>(m_pFile->BitRead(24));
  // The extension byte holds bits 24-31, so times go past 4.66 hours.
  t.TimeStamp |= static_cast<UINT32>(m_pFile->BitRead(8)) << 24;
  t.StreamID = static_cast<UINT32>(m_pFile->BitRead(24));
  return m_pFile->GetRemaining() >= t.DataSize;
}

bool CFLVSplitterFilter::ReadAudioTag(FlvAudioTag& t) {
  if (m_pFile->GetRemaining() < 1) return false;
  t.SoundFormat = static_cast<BYTE>(m_pFile->BitRead(4));
  t.SoundRate = static_cast<BYTE>(m_pFile->BitRead(2));
  t.SoundSize = static_cast<BYTE>(m_pFile->BitRead(1));
  t.SoundType = static_cast<BYTE>(m_pFile->BitRead(1));
  return true;
}

bool CFLVSplitterFilter::ReadVideoTag(FlvVideoTag& t) {
  if (m_pFile->GetRemaining() < 1) return false;
  t.FrameType = static_cast<BYTE>(m_pFile->BitRead(4));
  t.CodecID = static_cast<BYTE>(m_pFile->BitRead(4));
  return true;
}

CBaseSplitterFile::Unit CFLVSplitterFilter::TagUnit() {
  CBaseSplitterFileEx& f = *m_pFile;
  CBaseSplitterFile::Unit unit;
  unit.header = kTagHeader;
  // An audio or video tag whose data the file holds, followed by the end
  // or by a previous-tag size that agrees.
  unit.holds = [&f](LONGLONG pos, const BYTE* head) {
    if (head[4] != kAudio && head[4] != kVideo) return false;
    const LONGLONG size = Be24(head + 5), end = pos + kTagHeader + size, length = f.GetLength();
    if (end == length) return true;
    if (end > length || length - end < 4) return false;
    f.Seek(end);
    return f.BitRead(32) == static_cast<UINT64>(size + 11);
  };
  unit.begun = [](LONGLONG, const BYTE* head) { return KnownTagType(head[4]); };
  return unit;
}

bool CFLVSplitterFilter::SyncTag(LONGLONG& pos) {
  // `pos` is where a tag's type byte is looked for; the tag's record
  // begins four bytes before it.
  const LONGLONG found = m_pFile->ScanFor(std::max<LONGLONG>(0, pos - 4), m_pFile->GetLength(), kTagHeader,
                                          TagUnit().holds);
  if (found < 0) return false;
  pos = found;
  m_pFile->Seek(pos);
  return true;
}

bool CFLVSplitterFilter::PlausibleTag(LONGLONG pos, const FlvTag& t) {
  CBaseSplitterFileEx& f = *m_pFile;
  if (!KnownTagType(t.TagType)) return false;
  const LONGLONG end = pos + kTagHeader + static_cast<LONGLONG>(t.DataSize), length = f.GetLength();
  if (end > length) return false;
  if (length - end < 5) return true;  // the last tag
  const LONGLONG back = f.GetPos();
  f.Seek(end);
  const UINT64 size = f.BitRead(32);
  const BYTE next = static_cast<BYTE>(f.BitRead(8));
  f.Seek(back);
  // Some writers get the size field wrong; a tag type behind it still
  // tells that the data size was right.
  return size == t.DataSize + 11 || KnownTagType(next);
}

bool CFLVSplitterFilter::ReadTagResync(FlvTag& t, bool note) {
  CBaseSplitterFileEx& f = *m_pFile;
  const LONGLONG at = f.GetPos(), length = f.GetLength();
  if (length - at < kTagHeader) return false;
  if (ReadTag(t) && PlausibleTag(at, t)) return true;
  std::optional<CBaseSplitterFile::QuietDamage> quiet;
  if (!note) quiet.emplace(f);
  return f.Resync(at, length, TagUnit()) >= 0 && ReadTag(t);
}

// ---------------------------------------------------------------------------
// Outputs

bool CFLVSplitterFilter::AudioType(const FlvAudioTag& at, CMediaType& mt) {
  mt.InitMediaType();
  mt.majortype = MEDIATYPE_Audio;
  mt.formattype = FORMAT_WaveFormatEx;
  auto* wfe = reinterpret_cast<WAVEFORMATEX*>(mt.AllocFormatBuffer(sizeof(WAVEFORMATEX)));
  if (!wfe) return false;
  wfe->nSamplesPerSec = (44100u << at.SoundRate) / 8;
  wfe->wBitsPerSample = static_cast<WORD>((at.SoundSize + 1) * 8);
  wfe->nChannels = static_cast<WORD>(at.SoundType + 1);
  switch (at.SoundFormat) {
    case 0:
    case 3:  // little-endian PCM: the same samples on this machine
      wfe->wFormatTag = WAVE_FORMAT_PCM;
      // PCM is read by its block size and rate.
      wfe->nBlockAlign = static_cast<WORD>(wfe->nChannels * wfe->wBitsPerSample / 8);
      wfe->nAvgBytesPerSec = wfe->nSamplesPerSec * wfe->nBlockAlign;
      mt.subtype = MEDIASUBTYPE_PCM;
      return true;
    case 2:
    case 14: {  // 14: MP3 at 8 kHz
      wfe->wFormatTag = WAVE_FORMAT_MPEGLAYER3;
      mt.subtype = FourCCGuid(WAVE_FORMAT_MPEGLAYER3);
      CBaseSplitterFileEx::MpegAudioHeader h;
      CMediaType parsed;
      if (m_pFile->ReadMpegAudioHeader(h, 4, false, &parsed)) mt = parsed;
      return true;
    }
    default:
      // A sound format read nowhere here (AAC, Nellymoser, Speex) still
      // gets a pin, so that a job fails naming it instead of converting the
      // file without its sound.
      mt = MakeUnreadCodecType(MEDIATYPE_Audio, "FLV sound format " + std::to_string(at.SoundFormat));
      return true;
  }
}

bool CFLVSplitterFilter::VideoType(const FlvVideoTag& vt, UINT32 dataSize, CMediaType& mt) {
  CBaseSplitterFileEx& f = *m_pFile;
  // The bits a picture header needs must lie inside the tag.
  LONGLONG left = static_cast<LONGLONG>(dataSize) * 8 - 8;
  auto take = [&](int bits) {
    left -= bits;
    return left >= 0 ? f.BitRead(bits) : 0;
  };

  LONG width = 0, height = 0;
  LONG displayWidth = 0, displayHeight = 0;
  DWORD fourcc = 0;
  if (vt.CodecID == kCodecH263) {
    if (take(17) != 1 || left < 0) return false;
    take(13);  // version and temporal reference
    switch (take(3)) {
      case 0:
        width = static_cast<LONG>(take(8));
        height = static_cast<LONG>(take(8));
        break;
      case 1:
        width = static_cast<LONG>(take(16));
        height = static_cast<LONG>(take(16));
        break;
      case 2: width = 352, height = 288; break;
      case 3: width = 176, height = 144; break;
      case 4: width = 128, height = 96; break;
      case 5: width = 320, height = 240; break;
      case 6: width = 160, height = 120; break;
      default: break;
    }
    if (left < 0) return false;
    fourcc = MAKEFOURCC('F', 'L', 'V', '1');
  } else if (vt.CodecID == kCodecVp6 || vt.CodecID == kCodecVp6Alpha) {
    if (vt.CodecID == kCodecVp6Alpha) take(24);  // offset of the alpha plane
    take(8);                                      // size adjustment
    const UINT64 head = take(16);
    if ((head & 0x80FE) != 0x0046) return false;
    // With separated coefficients a partition offset comes first.
    if (head & 0x0100) take(16);
    const LONG rows = static_cast<LONG>(take(8)) * 16, cols = static_cast<LONG>(take(8)) * 16;
    displayHeight = static_cast<LONG>(take(8)) * 16;
    displayWidth = static_cast<LONG>(take(8)) * 16;
    if (left < 0) return false;
    width = cols;
    height = rows;
    fourcc = MAKEFOURCC('F', 'L', 'V', '4');
  } else {
    // A codec read nowhere here (H.264, screen video) still gets a pin, so
    // that a job fails naming the stream instead of converting the file
    // without its picture.
    mt = MakeUnreadCodecType(MEDIATYPE_Video, "FLV video codec " + std::to_string(vt.CodecID));
    return true;
  }
  if (width <= 0 || height <= 0) return false;

  mt.InitMediaType();
  mt.majortype = MEDIATYPE_Video;
  mt.subtype = FourCCGuid(fourcc);
  BITMAPINFOHEADER* bih = nullptr;
  if ((displayWidth && displayWidth != width) || (displayHeight && displayHeight != height)) {
    mt.formattype = FORMAT_VideoInfo2;
    auto* vih = reinterpret_cast<VIDEOINFOHEADER2*>(mt.AllocFormatBuffer(sizeof(VIDEOINFOHEADER2)));
    if (!vih) return false;
    vih->dwPictAspectRatioX = static_cast<DWORD>(displayWidth);
    vih->dwPictAspectRatioY = static_cast<DWORD>(displayHeight);
    bih = &vih->bmiHeader;
  } else {
    mt.formattype = FORMAT_VideoInfo;
    auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(mt.AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
    if (!vih) return false;
    bih = &vih->bmiHeader;
  }
  // A bitmap header says its own size; consumers rely on it.
  bih->biSize = sizeof(BITMAPINFOHEADER);
  bih->biPlanes = 1;
  bih->biWidth = width;
  bih->biHeight = height;
  bih->biCompression = fourcc;
  return true;
}

HRESULT CFLVSplitterFilter::CreateOutputs(IAsyncReader* reader) {
  CheckPointer(reader, E_POINTER);
  m_pFile.reset();
  HRESULT hr = E_OUTOFMEMORY;
  std::unique_ptr<CBaseSplitterFileEx> file(new (std::nothrow) CBaseSplitterFileEx(reader, hr, 2048, false));
  if (!file) return E_OUTOFMEMORY;
  if (FAILED(hr)) return hr;
  m_pFile = std::move(file);
  TellDamageOf(*m_pFile);

  m_rtNewStart = m_rtCurrent = 0;
  m_rtDuration = 0;
  m_rtStop = m_rtNewStop = 0;

  CBaseSplitterFileEx& f = *m_pFile;
  f.Seek(0);
  if (f.GetRemaining() < 9 || f.BitRead(24) != 0x464C56 || f.BitRead(8) != 1) return E_FAIL;
  f.BitRead(5);
  f.BitRead(1);  // audio flag, not relied on
  f.BitRead(1);
  f.BitRead(1);  // video flag, not relied on
  m_DataOffset = static_cast<LONGLONG>(f.BitRead(32));
  f.Seek(m_DataOffset);

  bool audioSeen = false, videoSeen = false, videoTag = false;
  FlvTag t;
  for (int i = 0; i < kMaxHeaderTags && (!audioSeen || !videoSeen) && ReadTagResync(t, false); i++) {
    const LONGLONG next = f.GetPos() + t.DataSize;
    CMediaType mt;
    bool ok = false;
    const wchar_t* name = nullptr;
    if (t.TagType == kAudio && !audioSeen && t.DataSize >= 1) {
      audioSeen = true;
      FlvAudioTag at;
      ok = ReadAudioTag(at) && AudioType(at, mt);
      name = L"Audio";
    } else if (t.TagType == kVideo && !videoSeen && t.DataSize >= 1) {
      videoTag = true;
      // The type comes from the first key frame: a stream cut in the middle
      // starts with difference pictures.
      FlvVideoTag vt;
      if (ReadVideoTag(vt) && vt.FrameType == 1) {
        videoSeen = true;
        ok = VideoType(vt, t.DataSize, mt);
        name = L"Video";
      }
    }
    if (ok && mt.subtype != GUID_NULL) {
      HRESULT hrPin = S_OK;
      auto pin = std::make_unique<CBaseSplitterOutputPin>(std::vector<CMediaType>{mt}, name, this, this, &hrPin);
      if (SUCCEEDED(hrPin)) AddOutputPin(t.TagType, std::move(pin));
    }
    f.Seek(next);
  }

  if (f.IsComplete()) ReadDuration();
  // Only script data (or nothing) where the streams' tags should begin.
  if (!audioSeen && !videoTag) SetSourceRefusal("The FLV file holds no picture or sound stream.\n");
  return m_pOutputs.empty() ? E_FAIL : S_OK;
}

void CFLVSplitterFilter::ReadDuration() {
  CBaseSplitterFileEx& f = *m_pFile;
  LONGLONG pos = std::max(m_DataOffset, f.GetLength() - 65536);
  if (!SyncTag(pos)) return;
  REFERENCE_TIME duration = 0;
  FlvTag t;
  while (ReadTagResync(t, false)) {
    const LONGLONG next = f.GetPos() + t.DataSize;
    FlvAudioTag at;
    FlvVideoTag vt;
    if ((t.TagType == kAudio && ReadAudioTag(at)) || (t.TagType == kVideo && ReadVideoTag(vt)))
      duration = std::max(duration, static_cast<REFERENCE_TIME>(t.TimeStamp) * 10000);
    f.Seek(next);
  }
  m_rtDuration = duration;
  m_rtStop = m_rtNewStop = duration;
}

// ---------------------------------------------------------------------------
// Demultiplexing

bool CFLVSplitterFilter::DemuxInit() { return true; }

void CFLVSplitterFilter::DemuxSeek(REFERENCE_TIME rt) {
  CBaseSplitterFileEx& f = *m_pFile;
  if (m_rtDuration <= 0 || rt <= 0) {
    f.Seek(m_DataOffset);
    return;
  }
  // A stream without a pin has nothing to wait for.
  bool audio = GetOutputPin(kAudio) != nullptr;
  bool video = GetOutputPin(kVideo) != nullptr;

  const double fraction = static_cast<double>(rt) / static_cast<double>(m_rtDuration);
  LONGLONG pos = m_DataOffset + static_cast<LONGLONG>(fraction * static_cast<double>(f.GetLength() - m_DataOffset));
  FlvTag t;
  if (SyncTag(pos) && ReadTag(t)) {
    bool ok = true;
    while (static_cast<REFERENCE_TIME>(t.TimeStamp) * 10000 < rt) {
      f.Seek(f.GetPos() + t.DataSize);
      if (!ReadTag(t)) {
        ok = false;
        break;
      }
    }
    if (ok) f.Seek(f.GetPos() - 15);
  }

  // Back to the last audio tag and video key frame at or before the time.
  while (audio || video) {
    if (!ReadTag(t)) break;
    const LONGLONG previous = f.GetPos() - 19 - static_cast<LONGLONG>(t.PreviousTagSize);
    if (static_cast<REFERENCE_TIME>(t.TimeStamp) * 10000 <= rt) {
      FlvVideoTag vt;
      if (t.TagType == kAudio) audio = false;
      else if (t.TagType == kVideo && ReadVideoTag(vt) && vt.FrameType == 1) video = false;
    }
    // The first tag has nothing before it but the file header.
    if (previous < m_DataOffset) {
      f.Seek(m_DataOffset);
      break;
    }
    f.Seek(previous);
  }
  if (audio || video) f.Seek(m_DataOffset);
}

bool CFLVSplitterFilter::DemuxLoop() {
  CBaseSplitterFileEx& f = *m_pFile;
  HRESULT hr = S_OK;
  FlvTag t;
  while (SUCCEEDED(hr) && !CheckRequest(nullptr) && ReadTagResync(t, true)) {
    const LONGLONG next = f.GetPos() + t.DataSize;
    bool deliver = false;
    bool sync = true;
    if (t.TagType == kAudio && t.DataSize >= 1) {
      FlvAudioTag at;
      deliver = ReadAudioTag(at);
    } else if (t.TagType == kVideo && t.DataSize >= 1) {
      FlvVideoTag vt;
      deliver = ReadVideoTag(vt);
      sync = vt.FrameType == 1;
      if (vt.CodecID == kCodecVp6) f.BitRead(8);
      else if (vt.CodecID == kCodecVp6Alpha) f.BitRead(32);
    }
    // A tag smaller than its own headers has no payload to give.
    const LONGLONG size = next - f.GetPos();
    if (deliver && size >= 0) {
      auto p = std::make_unique<Packet>();
      p->TrackNumber = t.TagType;
      p->rtStart = static_cast<REFERENCE_TIME>(t.TimeStamp) * 10000;
      p->rtStop = p->rtStart + 1;
      p->bSyncPoint = sync;
      p->resize(static_cast<size_t>(size));
      if (size > 0 && f.ByteRead(p->data(), size) != S_OK) break;
      hr = DeliverPacket(std::move(p));
    }
    f.Seek(next);
  }
  return true;
}
