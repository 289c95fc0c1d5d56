// The movie and track containers: moov keeps the list of its trak
// children and inflates a compressed movie header (cmov) in place; trak
// keeps its track header.
#pragma once

#include "mp4/MP4Atom.h"

class MP4_AtomFactory;
class MP4_TkhdAtom;

class MP4_TrakAtom : public MP4_ContainerAtom {
 public:
  MP4_TrakAtom(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory);

  // The track header's duration and id; 0 without one.
  MP4_UI64 GetDuration() const;
  MP4_UI32 GetId() const;
  MP4_TkhdAtom* GetTkhdAtom() const { return m_TkhdAtom; }

 private:
  MP4_TkhdAtom* m_TkhdAtom = nullptr;
};

class MP4_MoovAtom : public MP4_ContainerAtom {
 public:
  // Inflated movie headers larger than this are refused, whatever size
  // they claim.
  static constexpr MP4_Size kMaxInflatedSize = 64u << 20;

  MP4_MoovAtom(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory);

  const MP4_List<MP4_TrakAtom>& GetTrakAtoms() const { return m_TrakAtoms; }

  void OnChildAdded(MP4_Atom* child) override;
  void OnChildRemoved(MP4_Atom* child) override;

  // zlib data into `out`, growing the output geometrically up to `limit`
  // bytes; false when the data is broken or needs more room.
  static bool Inflate(const MP4_Byte* data, MP4_Size size, MP4_Size limit, std::vector<MP4_Byte>& out);

 private:
  void ReadCompressedMovie(MP4_AtomFactory& factory);

  MP4_List<MP4_TrakAtom> m_TrakAtoms;
};
