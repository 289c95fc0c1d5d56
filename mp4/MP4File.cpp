#include "mp4/MP4File.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "platform/dshow/StreamTime.h"

#include "mp4/MP4AtomFactory.h"
#include "mp4/MP4HeaderAtoms.h"
#include "mp4/MP4SampleEntry.h"

// ---------------------------------------------------------------------------
// MP4_Track

MP4_Track::MP4_Track(MP4_TrakAtom& trak, MP4_ByteStream& stream, MP4_UI32 movie_time_scale)
    : m_TrakAtom(trak), m_MovieTimeScale(movie_time_scale) {
  if (auto* hdlr = dynamic_cast<MP4_HdlrAtom*>(trak.FindChild("mdia/hdlr"))) {
    switch (hdlr->GetHandlerType()) {
      case MP4_FourCC("soun"):
        m_Type = TYPE_AUDIO;
        break;
      case MP4_FourCC("vide"):
        m_Type = TYPE_VIDEO;
        break;
      case MP4_FourCC("text"):
      case MP4_FourCC("tx3g"):
      case MP4_FourCC("sbtl"):  // 3GPP text as written by current muxers
        m_Type = TYPE_TEXT;
        break;
      case MP4_FourCC("subp"):
        m_Type = TYPE_SUBP;
        break;
      case MP4_FourCC("hint"):
        m_Type = TYPE_HINT;
        break;
      default:
        break;
    }
  }
  auto* mdhd = dynamic_cast<MP4_MdhdAtom*>(trak.FindChild("mdia/mdhd"));
  if (mdhd) m_MediaTimeScale = mdhd->GetTimeScale();
  if (auto* stbl = dynamic_cast<MP4_ContainerAtom*>(trak.FindChild("mdia/minf/stbl")))
    m_SampleTable.reset(new (std::nothrow) MP4_AtomSampleTable(stbl, stream));
  // A picture or sound sample lasts far less than a stream-time step; a
  // delta that says otherwise and takes the track past the length its
  // header states is damaged (a duration field of all ones states none).
  if (m_SampleTable && m_MediaTimeScale && (m_Type == TYPE_AUDIO || m_Type == TYPE_VIDEO)) {
    const MP4_UI64 scale = m_MediaTimeScale;
    MP4_UI64 stated = mdhd ? mdhd->GetDuration() : 0;
    if (stated == 0xFFFFFFFFull || stated == ~MP4_UI64{0}) stated = 0;
    m_MendedDeltas = m_SampleTable->MendAbsurdDeltas(stated, scale * (StreamTime::kStepAhead / StreamTime::kSecond),
                                                     scale * (StreamTime::kPastEnd / StreamTime::kSecond),
                                                     std::max<MP4_UI64>(scale / 25, 1));
  }
  MendTimeScale();
}

void MP4_Track::MendTimeScale() {
  if (!m_SampleTable || m_MediaTimeScale == 0 || (m_Type != TYPE_AUDIO && m_Type != TYPE_VIDEO)) return;
  // The track header's length, in the movie's time scale, is the length
  // the movie gives the track; the media header's time scale turns the
  // samples' deltas into its length. A scale that puts the samples many
  // times off from the track header is damaged (the header's own duration
  // in the same scale moves with it and cannot tell): the samples are
  // timed so that they last as the track header says.
  const MP4_UI64 ticks = m_SampleTable->GetTotalDuration();
  const MP4_UI64 stated = m_TrakAtom.GetDuration();
  if (ticks == 0 || m_MovieTimeScale == 0 || stated == 0 || stated == 0xFFFFFFFFull || stated == ~MP4_UI64{0}) return;
  const double length = static_cast<double>(ticks) / m_MediaTimeScale;
  const double header = static_cast<double>(stated) / m_MovieTimeScale;
  // Below a second the track header's rounding says too little.
  if (header < 1.0 || (length < header * StreamTime::kLengthOff && length * StreamTime::kLengthOff > header)) return;
  double scale = static_cast<double>(ticks) / header;
  // Sound is mostly timed by its sample rate; the track header's length may
  // leave out the encoder's priming.
  if (m_Type == TYPE_AUDIO)
    if (auto* stsd = dynamic_cast<MP4_ContainerAtom*>(m_TrakAtom.FindChild("mdia/minf/stbl/stsd")))
      for (MP4_Atom* child : stsd->GetChildren())
        if (auto* entry = dynamic_cast<MP4_AudioSampleEntry*>(child); entry && entry->GetSampleRate() > 0) {
          const double rate = entry->GetSampleRate();
          if (std::abs(ticks / rate - header) <= std::max(header / 20, 1.0)) scale = rate;
          break;
        }
  if (scale < 1.0 || scale > 4.0e9) return;
  m_MendedTimeScale = m_MediaTimeScale;
  m_MediaTimeScale = static_cast<MP4_UI32>(scale + 0.5);
}

MP4_UI32 MP4_Track::GetDurationMs() const {
  if (m_MovieTimeScale == 0) return 0;
  return static_cast<MP4_UI32>(ConvertTime(m_TrakAtom.GetDuration(), m_MovieTimeScale, 1000));
}

MP4_UI32 MP4_Track::GetSampleCount() const { return m_SampleTable ? m_SampleTable->GetSampleCount() : 0; }

MP4_Result MP4_Track::GetSample(MP4_UI32 index, MP4_Sample& sample) const {
  return m_SampleTable ? m_SampleTable->GetSample(index, sample) : MP4_FAILURE;
}

MP4_SampleDescription* MP4_Track::GetSampleDescription(MP4_UI32 index) const {
  return m_SampleTable ? m_SampleTable->GetSampleDescription(index) : nullptr;
}

MP4_Result MP4_Track::ReadSample(MP4_UI32 index, MP4_Sample& sample, MP4_DataBuffer& data) const {
  if (!m_SampleTable) return MP4_FAILURE;
  MP4_Result r = m_SampleTable->GetSample(index, sample);
  if (MP4_FAILED(r)) return r;
  return sample.ReadData(data);
}

MP4_Result MP4_Track::GetSampleIndexForTimeStampMs(MP4_UI32 ms, MP4_UI32& index) const {
  index = 0;
  if (!m_SampleTable) return MP4_FAILURE;
  return m_SampleTable->GetSampleIndexForTimeStamp(ConvertTime(ms, 1000, m_MediaTimeScale), index);
}

std::string MP4_Track::GetTrackName() const {
  auto* hdlr = dynamic_cast<MP4_HdlrAtom*>(m_TrakAtom.FindChild("mdia/hdlr"));
  return hdlr ? hdlr->GetHandlerName() : std::string();
}

std::string MP4_Track::GetTrackLanguage() const {
  auto* mdhd = dynamic_cast<MP4_MdhdAtom*>(m_TrakAtom.FindChild("mdia/mdhd"));
  return mdhd ? std::string(mdhd->GetLanguage()) : std::string();
}

// ---------------------------------------------------------------------------
// MP4_Movie

MP4_Movie::MP4_Movie(MP4_MoovAtom* moov, MP4_ByteStream& stream) : m_MoovAtom(moov) {
  m_MvhdAtom = dynamic_cast<MP4_MvhdAtom*>(moov->GetChild(MP4_FourCC("mvhd")));
  const MP4_UI32 scale = GetTimeScale();
  for (MP4_TrakAtom* trak : moov->GetTrakAtoms()) {
    if (auto* track = new (std::nothrow) MP4_Track(*trak, stream, scale)) m_Tracks.Add(track);
  }
}

MP4_Movie::~MP4_Movie() {
  // Tracks refer to atoms of the moov: they go first.
  m_Tracks.DeleteReferences();
}

MP4_UI32 MP4_Movie::GetTimeScale() const { return m_MvhdAtom ? m_MvhdAtom->GetTimeScale() : 0; }

MP4_Track* MP4_Movie::GetTrack(MP4_UI32 track_id) const {
  for (MP4_Track* t : m_Tracks)
    if (t->GetId() == track_id) return t;
  return nullptr;
}

MP4_Result MP4_Movie::Inspect(MP4_AtomInspector& inspector) { return m_MoovAtom->Inspect(inspector); }

// ---------------------------------------------------------------------------
// MP4_File

MP4_File::MP4_File(MP4_ByteStream& stream, MP4_AtomFactory& factory) {
  // Every atom read takes at least 8 bytes, so this ends.
  for (bool first = true;; first = false) {
    MP4_Position at = 0;
    if (MP4_FAILED(stream.Tell(at))) break;
    MP4_Atom* atom = nullptr;
    if (MP4_FAILED(factory.CreateAtomFromStream(stream, atom)) || !atom) break;
    // A file type atom begins a file: one behind this file's own atoms
    // begins another file appended to it (as a broken copy or two files
    // joined leave), whose movie places its samples in that file, not here.
    if (!first && atom->GetType() == MP4_FourCC("ftyp")) {
      delete atom;
      m_AppendedAt = at;
      break;
    }
    if (atom->GetType() == MP4_FourCC("moof")) m_HasMovieFragments = true;
    if (auto* moov = dynamic_cast<MP4_MoovAtom*>(atom)) {
      // With several, the last one is the movie.
      m_Movie.reset();
      m_Movie.reset(new (std::nothrow) MP4_Movie(moov, stream));
      if (!m_Movie) delete moov;
    } else if (m_OtherAtoms.ItemCount() < kMaxOtherAtoms) {
      m_OtherAtoms.Add(atom);
    } else {
      delete atom;
    }
  }
}

MP4_File::~MP4_File() {
  m_Movie.reset();
  m_OtherAtoms.DeleteReferences();
}

MP4_Result MP4_File::Inspect(MP4_AtomInspector& inspector) {
  if (m_Movie) m_Movie->Inspect(inspector);
  for (MP4_Atom* atom : m_OtherAtoms) atom->Inspect(inspector);
  return MP4_SUCCESS;
}
