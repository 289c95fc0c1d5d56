// A file read into atoms: its movie (from the moov atom) with one track
// per trak, and the other top-level atoms.
#pragma once

#include <memory>
#include <string>

#include "mp4/MP4MoovAtom.h"
#include "mp4/MP4SampleTable.h"

class MP4_AtomFactory;
class MP4_MvhdAtom;
class MP4_Movie;

class MP4_Track {
 public:
  enum Type { TYPE_UNKNOWN = 0, TYPE_AUDIO = 1, TYPE_VIDEO = 2, TYPE_TEXT = 3, TYPE_SUBP = 4, TYPE_HINT = 5 };

  MP4_Track(MP4_TrakAtom& trak, MP4_ByteStream& stream, MP4_UI32 movie_time_scale);
  MP4_Track(const MP4_Track&) = delete;
  MP4_Track& operator=(const MP4_Track&) = delete;

  Type GetType() const { return m_Type; }
  MP4_UI32 GetId() const { return m_TrakAtom.GetId(); }
  MP4_TrakAtom& GetTrakAtom() const { return m_TrakAtom; }
  // tkhd duration in milliseconds (movie time scale); 0 without a scale.
  MP4_UI32 GetDurationMs() const;
  MP4_UI32 GetSampleCount() const;
  MP4_Result GetSample(MP4_UI32 index, MP4_Sample& sample) const;
  MP4_SampleDescription* GetSampleDescription(MP4_UI32 index) const;
  MP4_Result ReadSample(MP4_UI32 index, MP4_Sample& sample, MP4_DataBuffer& data) const;
  MP4_Result GetSampleIndexForTimeStampMs(MP4_UI32 ms, MP4_UI32& index) const;
  // The mdia/hdlr name (empty without one) and the mdia/mdhd language.
  std::string GetTrackName() const;
  std::string GetTrackLanguage() const;
  MP4_UI32 GetMediaTimeScale() const { return m_MediaTimeScale; }
  MP4_UI32 GetMovieTimeScale() const { return m_MovieTimeScale; }
  MP4_AtomSampleTable* GetSampleTable() const { return m_SampleTable.get(); }
  // Samples whose time-to-sample delta put them far outside the track and
  // was replaced by the track's own step when the track was read.
  MP4_UI64 GetMendedDeltas() const { return m_MendedDeltas; }
  // The media header's time scale when it was replaced (0: kept).
  MP4_UI32 GetMendedTimeScale() const { return m_MendedTimeScale; }

 private:
  MP4_TrakAtom& m_TrakAtom;
  Type m_Type = TYPE_UNKNOWN;
  std::unique_ptr<MP4_AtomSampleTable> m_SampleTable;
  MP4_UI32 m_MovieTimeScale;
  MP4_UI32 m_MediaTimeScale = 0;
  MP4_UI64 m_MendedDeltas = 0;
  MP4_UI32 m_MendedTimeScale = 0;
  // A media time scale that puts the track far from its track header's
  // length is replaced by the one that agrees with it.
  void MendTimeScale();
};

class MP4_Movie {
 public:
  // Takes ownership of the moov atom.
  MP4_Movie(MP4_MoovAtom* moov, MP4_ByteStream& stream);
  MP4_Movie(const MP4_Movie&) = delete;
  MP4_Movie& operator=(const MP4_Movie&) = delete;
  ~MP4_Movie();

  MP4_MoovAtom* GetMoovAtom() const { return m_MoovAtom.get(); }
  MP4_MvhdAtom* GetMvhdAtom() const { return m_MvhdAtom; }
  const MP4_List<MP4_Track>& GetTracks() const { return m_Tracks; }
  // The first track with that id, or null.
  MP4_Track* GetTrack(MP4_UI32 track_id) const;
  MP4_UI32 GetTimeScale() const;
  MP4_Result Inspect(MP4_AtomInspector& inspector);

 private:
  std::unique_ptr<MP4_MoovAtom> m_MoovAtom;
  MP4_MvhdAtom* m_MvhdAtom = nullptr;
  MP4_List<MP4_Track> m_Tracks;
};

class MP4_File {
 public:
  // Top-level atoms other than the movie kept for inspection; past this
  // many the reading goes on (for a moov behind them) without keeping them.
  static constexpr MP4_UI32 kMaxOtherAtoms = 4096;

  MP4_File(MP4_ByteStream& stream, MP4_AtomFactory& factory);
  MP4_File(const MP4_File&) = delete;
  MP4_File& operator=(const MP4_File&) = delete;
  virtual ~MP4_File();

  // Null when the file had no moov atom.
  MP4_Movie* GetMovie() const { return m_Movie.get(); }
  const MP4_List<MP4_Atom>& GetOtherAtoms() const { return m_OtherAtoms; }
  // The file holds movie fragments ('moof'): samples its movie does not list.
  bool HasMovieFragments() const { return m_HasMovieFragments; }
  // Where another file appended to this one begins (a second file type
  // atom); 0 when none was found. What lies from there on is not read.
  MP4_Position GetAppendedAt() const { return m_AppendedAt; }
  virtual MP4_Result Inspect(MP4_AtomInspector& inspector);

 private:
  bool m_HasMovieFragments = false;
  MP4_Position m_AppendedAt = 0;
  std::unique_ptr<MP4_Movie> m_Movie;
  MP4_List<MP4_Atom> m_OtherAtoms;
};
