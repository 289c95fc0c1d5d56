#include "mp4/MP4Splitter.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "foundation/Charset.h"
#include "foundation/FilterHelpers.h"
#include "mp4/MP4HeaderAtoms.h"
#include "mp4/MP4LeafAtoms.h"
#include "mp4/MP4MediaTypes.h"
#include "mp4/MP4SampleEntry.h"
#include "mp4/MP4SampleTableAtoms.h"
#include "mp4/MP4TimedText.h"

using namespace mp4split;

namespace {

// Media units to 100 ns, exact.
REFERENCE_TIME ToReferenceTime(INT64 t, MP4_UI32 scale) {
  if (scale == 0) return 0;
  return static_cast<REFERENCE_TIME>(static_cast<__int128>(t) * UNITS / scale);
}

bool IsValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; k++)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

// A track's first sample is where decoding starts, listed or not (some
// writers leave it out of the sync sample table).
bool IsSyncSample(MP4_Track& track, DWORD index) {
  MP4_StssAtom* stss = track.GetSampleTable() ? track.GetSampleTable()->GetStssAtom() : nullptr;
  return index == 0 || !stss || stss->GetEntries().empty() || stss->IsSampleSync(index + 1);
}

std::wstring WidenAscii(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Where the track's decoding ends, in media units (0 when it cannot say).
INT64 DecodeEnd(MP4_Track& track) {
  const MP4_UI32 count = track.GetSampleCount();
  MP4_Sample last;
  if (count == 0 || MP4_FAILED(track.GetSample(count - 1, last))) return 0;
  const MP4_UI64 end = last.GetDts() + last.GetDuration();
  return end > (MP4_UI64{1} << 62) ? INT64{1} << 62 : static_cast<INT64>(end);
}

// Where the track's media time 0 falls on the movie's time line, from its
// edit list: empty edits in front delay the track, and the first normal
// edit's media time is where it starts (samples before it, needed to decode
// the first ones, go out at negative times). 0 without an edit list.
// `length` is the longest the movie may be (100 ns) and `end` where the
// track's decoding ends (media units): an edit that puts the track more
// than a second beyond either is damage, ignored and `damaged` set.
REFERENCE_TIME EditShift(MP4_Track& track, REFERENCE_TIME length, INT64 end, bool& damaged) {
  damaged = false;
  const auto* elst = dynamic_cast<MP4_ElstAtom*>(track.GetTrakAtom().FindChild("edts/elst"));
  const MP4_UI32 movie = track.GetMovieTimeScale(), media = track.GetMediaTimeScale();
  if (!elst || movie == 0 || media == 0) return 0;
  const __int128 second = UNITS;
  __int128 delay = 0;
  for (const MP4_ElstAtom::Entry& e : elst->GetEntries()) {
    if (e.media_time == -1) {
      delay += __int128{e.duration} * second / movie;
      if (delay > length + second) {
        damaged = true;
        return 0;
      }
      continue;
    }
    if (e.media_time < 0 || __int128{e.media_time} > __int128{end} + media) {
      damaged = true;
      return 0;
    }
    return static_cast<REFERENCE_TIME>(delay - __int128{e.media_time} * second / media);
  }
  return 0;
}

// The frame duration of a picture track: the step most of its samples
// take (a gap in the pictures does not lengthen it), else the mean from its
// first and last decode times; 0 when the track cannot say.
REFERENCE_TIME FrameDuration(MP4_Track& track) {
  if (const MP4_AtomSampleTable* table = track.GetSampleTable())
    if (const MP4_UI64 step = table->CommonDelta(); step > 0 && step < (MP4_UI64{1} << 40))
      return ToReferenceTime(static_cast<INT64>(step), track.GetMediaTimeScale());
  const MP4_UI32 count = track.GetSampleCount();
  MP4_Sample first, last;
  if (count == 0 || MP4_FAILED(track.GetSample(0, first)) || MP4_FAILED(track.GetSample(count - 1, last)))
    return 0;
  const MP4_UI64 begin = first.GetDts(), end = last.GetDts() + last.GetDuration();
  if (end <= begin || end - begin > (MP4_UI64{1} << 62)) return 0;
  return ToReferenceTime(static_cast<INT64>((end - begin) / count), track.GetMediaTimeScale());
}

// The clockwise turn a track's pictures are shown with: its header's matrix
// after the movie's, as players apply them. A matrix that is no plain turn
// (a mirror, another angle) turns nothing.
int PictureTurn(const MP4_Track& track, const MP4_MvhdAtom* mvhd) {
  const MP4_TkhdAtom* tkhd = track.GetTrakAtom().GetTkhdAtom();
  const int own = tkhd ? MP4_MatrixTurn(tkhd->GetMatrix()) : 0;
  const int movie = mvhd ? MP4_MatrixTurn(mvhd->GetMatrix()) : 0;
  if (own < 0) return 0;
  return (own + std::max(movie, 0)) % 360;
}

// Every picture block kind keeps its frame duration at the same place,
// right after the two rectangles and the two rates.
void SetFrameDuration(CMediaType& mt, REFERENCE_TIME duration) {
  const bool timed = mt.formattype == FORMAT_VideoInfo || mt.formattype == FORMAT_VideoInfo2 ||
                     mt.formattype == FORMAT_MPEGVideo || mt.formattype == FORMAT_MPEG2Video;
  if (duration <= 0 || !timed || !mt.pbFormat ||
      mt.cbFormat < offsetof(VIDEOINFOHEADER, AvgTimePerFrame) + sizeof(REFERENCE_TIME))
    return;
  std::memcpy(mt.pbFormat + offsetof(VIDEOINFOHEADER, AvgTimePerFrame), &duration, sizeof duration);
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction

CMP4SplitterFilter::CMP4SplitterFilter(LPUNKNOWN outer, HRESULT* phr, const CLSID& clsid)
    : CBaseSplitterFilter(NAME("CMP4SplitterFilter"), outer, phr, clsid) {}

CMP4SplitterFilter::~CMP4SplitterFilter() {
  // The demux thread reads through the file: it must be gone before the
  // file is, which the base's destructor would only see to afterwards.
  {
    CAutoLock lock(this);
    if (ThreadExists()) {
      CallWorker(CMD_EXIT);
      Close();
    }
  }
  m_trackpos.clear();
  m_pFile.reset();
}

CMP4SourceFilter::CMP4SourceFilter(LPUNKNOWN outer, HRESULT* phr)
    : CMP4SplitterFilter(outer, phr, CLSID_MP4SourceFilter) {
  m_pInput.reset();
}

CMP4SourceFilter::~CMP4SourceFilter() = default;

// ---------------------------------------------------------------------------
// Outputs

HRESULT CMP4SplitterFilter::CreateOutputs(IAsyncReader* reader) {
  CheckPointer(reader, E_POINTER);
  const HRESULT hr = OpenFile(reader);
  if (FAILED(hr)) return hr;

  m_rtNewStart = m_rtCurrent = 0;
  m_rtDuration = 0;
  m_rtStop = m_rtNewStop = 0;
  m_framesize_cx = 640;
  m_framesize_cy = 480;

  if (MP4_Movie* movie = m_pFile->GetMovie()) {
    for (MP4_Track* track : movie->GetTracks()) AddTrackOutput(*track, *movie);
    MP4_MoovAtom* moov = movie->GetMoovAtom();
    ReadChapters(*moov);
    ReadItemList(*moov);
  }

  CheckChunkLayout();
  PlaceTracks();
  m_rtStop = m_rtNewStop = m_rtDuration;
  return m_pOutputs.empty() ? E_FAIL : S_OK;
}

HRESULT CMP4SplitterFilter::OpenFile(IAsyncReader* reader) {
  m_trackpos.clear();
  m_pFile.reset();
  HRESULT hr = S_OK;
  std::unique_ptr<CMP4SplitterFile> file(new (std::nothrow) CMP4SplitterFile(reader, hr));
  if (!file) return E_OUTOFMEMORY;
  if (FAILED(hr)) {
    // A file that begins as a movie file but holds no movie atom is one whose
    // recording stopped before the index was written at its end.
    BYTE head[8] = {};
    if (!file->GetMovie() && reader->SyncRead(0, sizeof head, head) == S_OK &&
        (std::memcmp(head + 4, "ftyp", 4) == 0 || std::memcmp(head + 4, "mdat", 4) == 0))
      SetSourceRefusal(
          "The file is an MP4 or QuickTime movie whose index (the moov atom) is missing, as a recording stopped by a "
          "crash or a full card leaves it; without the index its pictures and sound cannot be found.\n");
    return hr;
  }
  // The samples of a fragmented file lie in its fragments, which are not
  // read: its movie lists none of them, or only those of the first part.
  if (file->HasMovieFragments()) {
    SetSourceRefusal(
        "The file is a fragmented MP4 (movie fragments); the program reads only MP4 files whose samples are all "
        "listed in the movie header.\n");
    return E_FAIL;
  }
  m_pFile = std::move(file);
  // What follows the movie's own file is passed over, and the log says so.
  if (const LONGLONG appended = m_pFile->AppendedAt(); appended > 0) Skipped(appended, m_pFile->GetLength());
  return S_OK;
}

void CMP4SplitterFilter::AddTrackOutput(MP4_Track& track, MP4_Movie& movie) {
  const MP4_Track::Type type = track.GetType();
  if (type != MP4_Track::TYPE_AUDIO && type != MP4_Track::TYPE_VIDEO && type != MP4_Track::TYPE_TEXT &&
      type != MP4_Track::TYPE_SUBP)
    return;
  // Without a media time scale no time of the track can be had.
  if (track.GetMediaTimeScale() == 0) return;
  const DWORD id = track.GetId();
  // A second track under an id already taken would hide the first.
  if (GetOutputPin(id) || GetOutputPin(id ^ kPlainTextTrack)) return;
  MP4_Sample first;
  if (MP4_FAILED(track.GetSample(0, first)) || first.GetDescriptionIndex() == 0xFFFFFFFF) return;

  TrackTypeContext context;
  context.file = m_pFile.get();
  context.name = Utf8ToWide(track.GetTrackName());
  context.language = track.GetTrackLanguage();
  context.text_width = m_framesize_cx;
  context.text_height = m_framesize_cy;
  std::vector<CMediaType> mts = TrackMediaTypes(track, first, context);
  if (mts.empty()) return;
  if (type == MP4_Track::TYPE_VIDEO)
    for (CMediaType& mt : mts) SetFrameDuration(mt, FrameDuration(track));

  m_rtDuration = std::max<REFERENCE_TIME>(m_rtDuration, static_cast<REFERENCE_TIME>(track.GetDurationMs()) * 10000);

  wchar_t fallback[32];
  std::swprintf(fallback, 32, L"Output %u", id);
  std::wstring name = context.name.empty() ? std::wstring(fallback) : context.name;
  if (!context.language.empty() && context.language != "und") name += L" (" + WidenAscii(context.language) + L")";

  for (const CMediaType& mt : mts) {
    BITMAPINFOHEADER bih{};
    if (MediaTypeToBitmapInfo(&mt, &bih)) {
      m_framesize_cx = bih.biWidth;
      m_framesize_cy = std::abs(bih.biHeight);
    }
  }

  HRESULT hrPin = S_OK;
  auto pin = std::make_unique<CBaseSplitterOutputPin>(mts, name.c_str(), this, this, &hrPin, 0);
  if (FAILED(hrPin)) return;
  if (!context.name.empty()) pin->SetPropertyText(L"NAME", context.name.c_str());
  if (!context.language.empty()) pin->SetPropertyText(L"LANG", WidenAscii(context.language).c_str());
  if (type == MP4_Track::TYPE_VIDEO)
    if (const int turn = PictureTurn(track, movie.GetMvhdAtom()))
      pin->SetPropertyText(kPictureTurnProperty, std::to_wstring(turn).c_str());
  if (FAILED(AddOutputPin(id, std::move(pin)))) return;
  m_trackpos.push_back({id, &track, 0, 0, 0, DecodeEnd(track), 0});
  TellMendedTables(track);

  // A plain-text twin of an SSA text track.
  if (mts.size() == 1 && mts[0].subtype == MEDIASUBTYPE_SSA) AddPlainTextTwin(id, mts[0], context, name);
}

void CMP4SplitterFilter::TellMendedTables(MP4_Track& track) {
  const std::string id = std::to_string(track.GetId());
  if (const MP4_UI32 scale = track.GetMendedTimeScale())
    Mended("Track " + id + ": its media time scale " + std::to_string(scale) +
               " puts it far from the length its track header gives; it is timed by " +
               std::to_string(track.GetMediaTimeScale()) + " instead",
           "tracks");
  if (auto* stsc = dynamic_cast<MP4_StscAtom*>(track.GetTrakAtom().FindChild("mdia/minf/stbl/stsc"));
      stsc && stsc->Mended())
    Mended("Track " + id + ": a sample-to-chunk table that did not begin at the first chunk was read from it",
           "tables");
  if (const MP4_UI64 mended = track.GetMendedDeltas())
    Mended("Track " + id + ": time-to-sample deltas far outside the track were replaced by its own step", "samples",
           mended);
}

void CMP4SplitterFilter::AddPlainTextTwin(DWORD id, const CMediaType& ssa, const TrackTypeContext& context,
                                          const std::wstring& name) {
  CMediaType plain = ssa;
  plain.subtype = MEDIASUBTYPE_UTF8;
  const std::wstring plain_name = context.name + L" (plain text)";
  const std::vector<BYTE> block = SubtitleInfoBlock(context.language, plain_name, std::string());
  plain.SetFormat(block.data(), static_cast<ULONG>(block.size()));
  HRESULT hrPlain = S_OK;
  auto twin = std::make_unique<CBaseSplitterOutputPin>(std::vector<CMediaType>{plain},
                                                       (name + L" (plain text)").c_str(), this, this, &hrPlain, 0);
  if (FAILED(hrPlain)) return;
  twin->SetPropertyText(L"NAME", plain_name.c_str());
  if (!context.language.empty()) twin->SetPropertyText(L"LANG", WidenAscii(context.language).c_str());
  AddOutputPin(id ^ kPlainTextTrack, std::move(twin));
}

void CMP4SplitterFilter::ReadChapters(MP4_MoovAtom& moov) {
  // Their titles are UTF-8 as muxers write them now; other bytes are taken
  // as the ANSI code page.
  auto* chpl = dynamic_cast<MP4_ChplAtom*>(moov.FindChild("udta/chpl"));
  if (!chpl) return;
  for (const MP4_Chapter& c : chpl->GetChapters()) {
    const std::string title = IsValidUtf8(c.name) ? c.name : ConvertCharset(c.name, 0, 65001);
    AppendChapter(static_cast<REFERENCE_TIME>(std::min<MP4_UI64>(c.start, INT64_MAX)), Utf8ToWide(title).c_str());
  }
  SortChapters();
}

void CMP4SplitterFilter::ReadItemList(MP4_MoovAtom& moov) {
  std::wstring title, artist, writer, album, year, genre, tool, comment, track_number;
  // The text items and where each goes; the last of a kind counts.
  const struct {
    MP4_UI32 type;
    std::wstring* text;
  } kTexts[] = {{MP4_FourCC('\xA9', 'n', 'a', 'm'), &title},  {MP4_FourCC('\xA9', 'A', 'R', 'T'), &artist},
                {MP4_FourCC('\xA9', 'w', 'r', 't'), &writer}, {MP4_FourCC('\xA9', 'a', 'l', 'b'), &album},
                {MP4_FourCC('\xA9', 'd', 'a', 'y'), &year},   {MP4_FourCC('\xA9', 'g', 'e', 'n'), &genre},
                {MP4_FourCC('\xA9', 't', 'o', 'o'), &tool},   {MP4_FourCC('\xA9', 'c', 'm', 't'), &comment}};
  if (auto* ilst = dynamic_cast<MP4_ContainerAtom*>(moov.FindChild("udta/meta/ilst"))) {
    for (MP4_Atom* item : ilst->GetChildren()) {
      auto* container = dynamic_cast<MP4_ContainerAtom*>(item);
      auto* data = container ? dynamic_cast<MP4_DataAtom*>(container->GetChild(MP4_FourCC("data"))) : nullptr;
      if (!data) continue;
      const MP4_DataBuffer& bytes = data->GetData();
      for (const auto& t : kTexts)
        if (item->GetType() == t.type)
          *t.text = Utf8ToWide(std::string(reinterpret_cast<const char*>(bytes.GetData()), bytes.GetDataSize()));
      if (item->GetType() == MP4_FourCC("trkn") && bytes.GetDataSize() >= 4) {
        const int n = (bytes.GetData()[2] << 8) | bytes.GetData()[3];
        wchar_t number[16];
        if (n > 0) {
          std::swprintf(number, 16, n < 100 ? L"%02d" : L"%d", n);
          track_number = number;
        }
      }
    }
  }
  if (!title.empty()) {
    if (!track_number.empty()) title = track_number + L" - " + title;
    if (!album.empty()) title = album + L" - " + title;
    if (!year.empty()) title += L" - " + year;
    if (!genre.empty()) title += L" - " + genre;
    SetPropertyText(L"TITL", title.c_str());
  }
  if (!artist.empty()) {
    SetPropertyText(L"AUTH", artist.c_str());
  } else if (!writer.empty()) {
    SetPropertyText(L"AUTH", writer.c_str());
  }
  if (!tool.empty()) SetPropertyText(L"APPL", tool.c_str());
  if (!comment.empty()) SetPropertyText(L"DESC", comment.c_str());
}

void CMP4SplitterFilter::PlaceTracks() {
  // The movie is as long as its longest track, whether its headers say so
  // or its sample tables do.
  REFERENCE_TIME length = m_rtDuration, tables = 0;
  for (const TrackPosition& tp : m_trackpos)
    tables = std::max(tables, ToReferenceTime(tp.end, tp.track->GetMediaTimeScale()));
  length = std::max(length, tables);
  for (TrackPosition& tp : m_trackpos) {
    const __int128 span = static_cast<__int128>(tables) * tp.track->GetMediaTimeScale() / UNITS;
    tp.span = std::max<INT64>(tp.end, static_cast<INT64>(std::min<__int128>(span, INT64_MAX / 2)));
    bool damaged = false;
    tp.shift = EditShift(*tp.track, length, tp.end, damaged);
    if (damaged) Mended("Track " + std::to_string(tp.id) + ": an edit far outside the movie was ignored", "edits");
  }
}

// ---------------------------------------------------------------------------
// Demultiplexing

INT64 CMP4SplitterFilter::CompositionTime(TrackPosition& tp, const MP4_Sample& s, bool note) {
  const INT64 cts = s.GetCts(), second = tp.track->GetMediaTimeScale();
  if (cts >= -second && cts <= tp.span + second) return cts;
  if (note)
    Mended("Track " + std::to_string(tp.id) +
                        ": composition times far outside the track were taken as decoding times",
                    "samples");
  return static_cast<INT64>(std::min<MP4_UI64>(s.GetDts(), INT64_MAX));
}

bool CMP4SplitterFilter::DemuxInit() {
  if (!m_pFile) return false;
  for (TrackPosition& tp : m_trackpos) {
    tp.index = 0;
    MP4_Sample s;
    tp.ts = MP4_SUCCEEDED(tp.track->GetSample(0, s)) ? CompositionTime(tp, s, false) : 0;
  }
  return true;
}

void CMP4SplitterFilter::CheckChunkLayout() {
  struct Chunk {
    MP4_UI64 begin, end;
    size_t track;   // in m_trackpos
    MP4_UI32 number;  // in the track, from 1
    bool bad;
  };
  std::vector<Chunk> chunks;
  std::vector<std::vector<size_t>> ofTrack(m_trackpos.size());
  for (size_t t = 0; t < m_trackpos.size(); ++t) {
    MP4_AtomSampleTable* table = m_trackpos[t].track->GetSampleTable();
    if (!table) continue;
    MP4_UI32 current = 0;
    for (MP4_UI32 i = 0, count = table->GetSampleCount(); i < count; ++i) {
      MP4_UI32 chunk = 0, skip = 0, description = 0;
      MP4_Sample sample;
      MP4_UI64 offset = 0;
      if (MP4_FAILED(table->GetChunkForSample(i + 1, chunk, skip, description)) ||
          MP4_FAILED(table->GetSample(i, sample)))
        break;
      if (chunk != current && MP4_SUCCEEDED(table->GetChunkOffset(chunk, offset))) {
        current = chunk;
        ofTrack[t].push_back(chunks.size());
        chunks.push_back({offset, offset, t, chunk, false});
      }
      if (chunk == current) chunks.back().end = std::max(chunks.back().end, sample.GetOffset() + sample.GetSize());
    }
  }
  if (chunks.empty()) return;
  const MP4_UI64 length = static_cast<MP4_UI64>(std::max<LONGLONG>(0, m_pFile->GetLength()));

  // The media data holds its chunks one after another: a chunk begins where
  // another ends, or ends where another begins. A chunk table's offset that
  // puts a chunk outside the file, out of its track's order, or over
  // another chunk's bytes where neither of its ends meets another chunk is
  // damaged.
  std::vector<MP4_UI64> begins, ends;
  for (const Chunk& c : chunks) {
    begins.push_back(c.begin);
    ends.push_back(c.end);
  }
  std::sort(begins.begin(), begins.end());
  std::sort(ends.begin(), ends.end());
  auto in = [](const std::vector<MP4_UI64>& v, MP4_UI64 x) { return std::binary_search(v.begin(), v.end(), x); };
  std::vector<size_t> order(chunks.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return chunks[a].begin < chunks[b].begin; });
  std::vector<bool> overlaps(chunks.size(), false);
  MP4_UI64 reach = 0;
  size_t reacher = 0;
  for (size_t k = 0; k < order.size(); ++k) {
    const Chunk& c = chunks[order[k]];
    if (k > 0 && c.begin < reach) overlaps[order[k]] = overlaps[reacher] = true;
    if (c.end > reach) {
      reach = c.end;
      reacher = order[k];
    }
  }
  for (size_t t = 0; t < ofTrack.size(); ++t) {
    const std::vector<size_t>& own = ofTrack[t];
    for (size_t k = 0; k < own.size(); ++k) {
      Chunk& c = chunks[own[k]];
      const bool confirmed = c.begin == begins.front() || in(ends, c.begin) || in(begins, c.end);
      bool outOfOrder = false;
      if (k > 0 && k + 1 < own.size()) {
        const MP4_UI64 before = chunks[own[k - 1]].begin, after = chunks[own[k + 1]].begin;
        outOfOrder = before < after && (c.begin <= before || c.begin >= after);
      }
      c.bad = c.end > length || c.begin >= length || outOfOrder || (overlaps[own[k]] && !confirmed);
    }
  }

  // A damaged chunk is put where its track's neighbours leave a gap of its
  // size that begins where a whole chunk ends; with none, its samples are
  // skipped (they are taken to lie outside the file).
  std::vector<std::pair<MP4_UI64, MP4_UI64>> whole;
  for (const Chunk& c : chunks)
    if (!c.bad) whole.push_back({c.begin, c.end});
  std::sort(whole.begin(), whole.end());
  for (size_t t = 0; t < ofTrack.size(); ++t) {
    MP4_UI64 placed = 0, lost = 0;
    const std::vector<size_t>& own = ofTrack[t];
    for (size_t k = 0; k < own.size(); ++k) {
      Chunk& c = chunks[own[k]];
      if (!c.bad) continue;
      const MP4_UI64 size = c.end - c.begin;
      MP4_UI64 from = 0, to = length;
      for (size_t j = k; j-- > 0;)
        if (!chunks[own[j]].bad) {
          from = chunks[own[j]].end;
          break;
        }
      for (size_t j = k + 1; j < own.size(); ++j)
        if (!chunks[own[j]].bad) {
          to = chunks[own[j]].begin;
          break;
        }
      MP4_UI64 at = length;
      for (size_t w = 0; w + 1 < whole.size() && at == length; ++w) {
        const MP4_UI64 gap = whole[w].second;
        if (gap >= from && gap + size <= to && gap + size <= whole[w + 1].first) at = gap;
      }
      MP4_AtomSampleTable* table = m_trackpos[t].track->GetSampleTable();
      table->SetChunkOffset(c.number, at);
      if (at < length) {
        placed++;
        whole.insert(std::upper_bound(whole.begin(), whole.end(), std::make_pair(at, at + size)), {at, at + size});
      } else {
        lost++;
      }
    }
    const std::string track = "Track " + std::to_string(m_trackpos[t].id);
    if (placed)
      Mended(track + ": chunk offsets that pointed outside the file or at other bytes than their chunk's were "
                     "taken from the file's own layout",
             "chunks", placed);
    if (lost)
      Mended(track + ": chunks whose offsets pointed outside the file or at other bytes than their own were skipped",
             "chunks", lost);
  }
}

void CMP4SplitterFilter::DemuxSeek(REFERENCE_TIME rt) {
  for (TrackPosition& tp : m_trackpos) {
    // The target on the track's own clock.
    const MP4_UI32 ms = static_cast<MP4_UI32>(std::clamp<REFERENCE_TIME>((rt - tp.shift) / 10000, 0, 0xFFFFFFFFll));
    MP4_UI32 index = 0;
    if (MP4_FAILED(tp.track->GetSampleIndexForTimeStampMs(ms, index))) index = 0;
    tp.index = index;
    MP4_Sample s;
    if (MP4_SUCCEEDED(tp.track->GetSample(index, s))) tp.ts = CompositionTime(tp, s, false);
    // Back to the key frame at or before the sample (the track's first
    // sample when no listed one comes before it: decoding starts there).
    auto* stss = dynamic_cast<MP4_StssAtom*>(tp.track->GetTrakAtom().FindChild("mdia/minf/stbl/stss"));
    if (stss && !stss->GetEntries().empty()) {
      const std::vector<MP4_UI32>& entries = stss->GetEntries();
      size_t i = 0;
      while (i < entries.size() && static_cast<MP4_UI64>(entries[i]) <= static_cast<MP4_UI64>(tp.index) + 1) i++;
      const MP4_UI32 key = i > 0 ? entries[i - 1] : 1;
      tp.index = key > 0 ? key - 1 : 0;
    }
  }
}

bool CMP4SplitterFilter::DemuxLoop() {
  HRESULT hr = S_OK;
  while (SUCCEEDED(hr) && !CheckRequest(nullptr)) {
    // The connected track whose next sample comes first; on equal times
    // the one whose pin was made first.
    TrackPosition* next = nullptr;
    CBaseSplitterOutputPin* pin = nullptr;
    REFERENCE_TIME best = 0;
    for (TrackPosition& tp : m_trackpos) {
      CBaseSplitterOutputPin* p = GetOutputPin(tp.id);
      if (!p || !p->IsConnected() || tp.index >= tp.track->GetSampleCount()) continue;
      const REFERENCE_TIME rt = ToReferenceTime(tp.ts, tp.track->GetMediaTimeScale()) + tp.shift;
      if (!next || rt < best) {
        next = &tp;
        pin = p;
        best = rt;
      }
    }
    if (!next) break;

    hr = DeliverSample(*next, pin);

    next->index++;
    MP4_Sample s;
    if (next->index < next->track->GetSampleCount() && MP4_SUCCEEDED(next->track->GetSample(next->index, s)))
      next->ts = CompositionTime(*next, s, false);
  }
  return true;
}

HRESULT CMP4SplitterFilter::DeliverSample(TrackPosition& tp, CBaseSplitterOutputPin* pin) {
  MP4_Track& track = *tp.track;
  const MP4_UI32 scale = track.GetMediaTimeScale();
  const DWORD count = track.GetSampleCount();
  MP4_Sample s;
  if (MP4_FAILED(track.GetSample(tp.index, s))) return S_OK;
  // A sample table that points past the end of the file: a cut file, whose
  // track ends here, unless its last sample is there (damage in the table,
  // which loses this sample only).
  if (!s.LiesInStream()) {
    MP4_Sample last;
    if (MP4_SUCCEEDED(track.GetSample(count - 1, last)) && last.LiesInStream())
      Mended("Track " + std::to_string(tp.id) + ": samples placed outside the file were skipped", "samples");
    else
      tp.index = count;
    return S_OK;
  }

  auto p = std::make_unique<Packet>();
  p->TrackNumber = tp.id;
  p->rtStart = ToReferenceTime(CompositionTime(tp, s, true), scale) + tp.shift;
  p->rtStop = p->rtStart + ToReferenceTime(static_cast<INT64>(s.GetDuration()), scale);
  p->bSyncPoint = IsSyncSample(track, tp.index);

  const CMediaType& mt = pin->CurrentMediaType();
  if (track.GetType() == MP4_Track::TYPE_AUDIO && s.GetSize() == 1) {
    // QuickTime sound counted in single bytes: a run of samples per packet,
    // a whole number of blocks when the format gives its block size.
    DWORD n = 1200;
    const auto* wfe = mt.formattype == FORMAT_WaveFormatEx && mt.cbFormat >= sizeof(WAVEFORMATEX)
                          ? reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat)
                          : nullptr;
    if (wfe && wfe->nBlockAlign > 1) {
      n = wfe->nBlockAlign;
      tp.index -= tp.index % n;
    }
    return DeliverSoundRun(tp, 1, n);
  }
  if (IsUncompressedSound(mt)) {
    // Uncompressed sound with a sample per sound frame: 1200 frames a
    // packet rather than a packet of a few bytes for each.
    return DeliverSoundRun(tp, s.GetSize(), 1200 * s.GetSize());
  }

  try {
    p->resize(s.GetSize());
  } catch (const std::bad_alloc&) {
    return S_OK;
  }
  if (MP4_FAILED(s.ReadData(p->data()))) return S_OK;

  if (track.GetType() == MP4_Track::TYPE_TEXT) {
    std::vector<BYTE> data(std::move(*p));
    return DeliverText(tp, s, data, pin, p->rtStart, p->rtStop, p->bSyncPoint);
  }
  return DeliverPacket(std::move(p));
}

HRESULT CMP4SplitterFilter::DeliverSoundRun(TrackPosition& tp, MP4_Size unit, DWORD bytes) {
  MP4_Track& track = *tp.track;
  const MP4_UI32 scale = track.GetMediaTimeScale();
  const DWORD count = track.GetSampleCount();
  auto p = std::make_unique<Packet>();
  p->TrackNumber = tp.id;
  p->bSyncPoint = IsSyncSample(track, tp.index);
  p->reserve(bytes);
  // Samples that follow each other in the file are read together.
  MP4_Sample s, run;
  MP4_Size run_size = 0;
  INT64 first = 0, end = 0;
  auto flush = [&]() {
    if (run_size == 0) return true;
    const size_t at = p->size();
    p->resize(at + run_size);
    run.SetSize(run_size);
    const bool ok = run.LiesInStream() && MP4_SUCCEEDED(run.ReadData(p->data() + at));
    if (!ok) p->resize(at);
    run_size = 0;
    return ok;
  };
  for (;;) {
    if (MP4_FAILED(track.GetSample(tp.index, s)) || s.GetSize() != unit) break;
    if (run_size && s.GetOffset() != run.GetOffset() + run_size && !flush()) break;
    if (run_size == 0) run = s;
    run_size += unit;
    if (p->empty() && run_size == unit) first = CompositionTime(tp, s, false);
    end = CompositionTime(tp, s, false) + static_cast<INT64>(s.GetDuration());
    if (tp.index + 1 >= count || p->size() + run_size >= bytes) break;
    tp.index++;
  }
  flush();
  if (p->empty()) return S_OK;
  // The times of the run, converted once: no rounding adds up.
  p->rtStart = ToReferenceTime(first, scale) + tp.shift;
  p->rtStop = ToReferenceTime(end, scale) + tp.shift;
  return DeliverPacket(std::move(p));
}

HRESULT CMP4SplitterFilter::DeliverText(TrackPosition& tp, const MP4_Sample& sample, std::vector<BYTE>& data,
                                        CBaseSplitterOutputPin* pin, REFERENCE_TIME start, REFERENCE_TIME stop,
                                        BOOL sync) {
  auto make = [&](DWORD track, const std::string& text) {
    auto p = std::make_unique<Packet>();
    p->TrackNumber = track;
    p->rtStart = start;
    p->rtStop = stop;
    p->bSyncPoint = sync;
    p->assign(text.begin(), text.end());
    return p;
  };

  // A 16-bit length, the text, then modifier boxes.
  std::string line, plain, box_line;
  const size_t size = data.size();
  const size_t length = size >= 2 ? (static_cast<size_t>(data[0]) << 8) | data[1] : 0;
  const bool ssa = pin->CurrentMediaType().subtype == MEDIASUBTYPE_SSA;
  if (size > 2 && length <= size - 2) {
    std::string text;
    if (length >= 2 && data[2] == 0xFE && data[3] == 0xFF) {
      std::wstring wide;
      for (size_t i = 4; i + 1 < 2 + length; i += 2) wide += static_cast<wchar_t>((data[i] << 8) | data[i + 1]);
      text = WideToUtf8(wide);
    } else {
      text.assign(reinterpret_cast<const char*>(&data[2]), length);
    }
    if (ssa) {
      line = "0,0,Text,,0000,0000,0000,0000,," + text;
      plain = text;
      auto* desc = dynamic_cast<MP4_UnknownSampleDescription*>(tp.track->GetSampleDescription(sample.GetDescriptionIndex()));
      if (auto* tx3g = desc ? dynamic_cast<MP4_Tx3gSampleEntry*>(desc->GetSampleEntry()) : nullptr) {
        MP4TimedTextSample t;
        t.text = Utf8ToWide(text);
        t.boxes = data.data() + 2 + length;
        t.boxes_size = size - 2 - length;
        t.entry = tx3g->GetDescription();
        if (!tx3g->GetFontNameById(t.entry.style.font_id, t.font)) t.font = "Arial";
        t.frame_width = m_framesize_cx;
        t.frame_height = m_framesize_cy;
        if (MP4_TkhdAtom* tkhd = tp.track->GetTrakAtom().GetTkhdAtom()) {
          t.offset_x = static_cast<int32_t>(tkhd->GetMatrix()[6]) >> 16;
          t.offset_y = static_cast<int32_t>(tkhd->GetMatrix()[7]) >> 16;
        }
        t.duration_ms = static_cast<int>(std::clamp<REFERENCE_TIME>((stop - start) / 10000, 0, INT32_MAX));
        const MP4TimedTextLine converted = ConvertTimedText(t);
        line = converted.line;
        if (t.entry.background_color_rgba & 0xFF)
          box_line = TimedTextBoxLine(converted.box, t.entry.background_color_rgba);
      }
    } else {
      line = text;
    }
    line = SsaLineBreaks(line);
  }

  HRESULT hr = S_OK;
  if (!box_line.empty()) hr = DeliverPacket(make(tp.id, box_line));
  if (!plain.empty() && SUCCEEDED(hr)) hr = DeliverPacket(make(tp.id ^ kPlainTextTrack, plain));
  if (SUCCEEDED(hr)) hr = DeliverPacket(make(tp.id, line));
  return hr;
}

// ---------------------------------------------------------------------------
// Key frames

MP4_Track* CMP4SplitterFilter::KeyFrameTrack() {
  for (const TrackPosition& tp : m_trackpos) {
    if (tp.track->GetType() == MP4_Track::TYPE_VIDEO &&
        dynamic_cast<MP4_StssAtom*>(tp.track->GetTrakAtom().FindChild("mdia/minf/stbl/stss")))
      return tp.track;
  }
  return nullptr;
}

STDMETHODIMP CMP4SplitterFilter::KeyFrameCount(UINT& count) {
  CAutoLock lock(this);
  if (!m_pFile) return E_UNEXPECTED;
  MP4_Track* track = KeyFrameTrack();
  if (!track) return E_FAIL;
  count = static_cast<UINT>(
      dynamic_cast<MP4_StssAtom*>(track->GetTrakAtom().FindChild("mdia/minf/stbl/stss"))->GetEntries().size());
  return S_OK;
}

STDMETHODIMP CMP4SplitterFilter::GetKeyFrames(const GUID* format, REFERENCE_TIME* times, UINT& count) {
  CheckPointer(format, E_POINTER);
  CheckPointer(times, E_POINTER);
  CAutoLock lock(this);
  if (!m_pFile) return E_UNEXPECTED;
  if (*format != TIME_FORMAT_MEDIA_TIME) return E_INVALIDARG;
  MP4_Track* track = KeyFrameTrack();
  if (!track) return E_FAIL;
  const auto& entries =
      dynamic_cast<MP4_StssAtom*>(track->GetTrakAtom().FindChild("mdia/minf/stbl/stss"))->GetEntries();
  // The caller's room is what it says, whatever the table holds.
  const UINT room = count;
  count = 0;
  for (MP4_UI32 entry : entries) {
    if (count >= room) break;
    MP4_Sample s;
    if (entry == 0 || MP4_FAILED(track->GetSample(entry - 1, s))) continue;
    times[count++] = ToReferenceTime(s.GetCts(), track->GetMediaTimeScale());
  }
  return S_OK;
}
