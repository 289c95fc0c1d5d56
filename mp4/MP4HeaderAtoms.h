// Leaf atoms that describe a movie and a track and locate its chunks:
// mvhd, tkhd, mdhd, hdlr, vmhd, smhd, nmhd, dref, url, stco and co64. All
// are full atoms; they read their fields at construction and write them
// back in the same layout (32-bit times for version 0, 64-bit for 1).
#pragma once

#include <string>
#include <vector>

#include "mp4/MP4Atom.h"

class MP4_AtomFactory;

// The clockwise turn (0, 90, 180 or 270 degrees) a movie or track matrix
// gives its pictures when they are shown; -1 for a matrix that is no such
// turn (a mirror, a skew, a turn by another angle). The scale of the
// matrix does not matter, nor its translation.
int MP4_MatrixTurn(const MP4_UI32 (&matrix)[9]);

class MP4_MvhdAtom : public MP4_Atom {
 public:
  MP4_MvhdAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_MvhdAtom(MP4_UI32 time_scale, MP4_UI64 duration);

  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;

  MP4_UI32 GetTimeScale() const { return m_TimeScale; }
  MP4_UI64 GetDuration() const { return m_Duration; }
  MP4_UI32 GetDurationMs() const;
  MP4_UI32 GetNextTrackId() const { return m_NextTrackId; }
  const MP4_UI32 (&GetMatrix() const)[9] { return m_Matrix; }

 private:
  MP4_UI64 m_CreationTime = 0, m_ModificationTime = 0;
  MP4_UI32 m_TimeScale = 0;
  MP4_UI64 m_Duration = 0;
  MP4_UI32 m_Rate = 0x00010000;
  MP4_UI16 m_Volume = 0x0100;
  MP4_Byte m_Reserved1[2] = {};
  MP4_Byte m_Reserved2[8] = {};
  MP4_UI32 m_Matrix[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
  MP4_Byte m_Predefined[24] = {};
  MP4_UI32 m_NextTrackId = 0;
};

class MP4_TkhdAtom : public MP4_Atom {
 public:
  MP4_TkhdAtom(MP4_AtomSize size, MP4_ByteStream& stream);

  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;

  MP4_UI32 GetTrackId() const { return m_TrackId; }
  MP4_UI64 GetDuration() const { return m_Duration; }
  // 16.16 fixed point.
  MP4_UI32 GetWidth() const { return m_Width; }
  MP4_UI32 GetHeight() const { return m_Height; }
  // The nine matrix entries (16.16 except entries 2, 5 and 8).
  const MP4_UI32 (&GetMatrix() const)[9] { return m_Matrix; }

 private:
  MP4_UI64 m_CreationTime = 0, m_ModificationTime = 0;
  MP4_UI32 m_TrackId = 0;
  MP4_UI32 m_Reserved1 = 0;
  MP4_UI64 m_Duration = 0;
  MP4_Byte m_Reserved2[8] = {};
  MP4_UI16 m_Layer = 0, m_AlternateGroup = 0, m_Volume = 0, m_Reserved3 = 0;
  MP4_UI32 m_Matrix[9] = {};
  MP4_UI32 m_Width = 0, m_Height = 0;
};

class MP4_MdhdAtom : public MP4_Atom {
 public:
  MP4_MdhdAtom(MP4_AtomSize size, MP4_ByteStream& stream);

  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;

  MP4_UI32 GetTimeScale() const { return m_TimeScale; }
  MP4_UI64 GetDuration() const { return m_Duration; }
  MP4_UI32 GetDurationMs() const;
  // Up to three letters; empty when the code was 0.
  const char* GetLanguage() const { return m_Language; }

 private:
  MP4_UI64 m_CreationTime = 0, m_ModificationTime = 0;
  MP4_UI32 m_TimeScale = 0;
  MP4_UI64 m_Duration = 0;
  char m_Language[4] = {};
};

class MP4_HdlrAtom : public MP4_Atom {
 public:
  MP4_HdlrAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_HdlrAtom(MP4_UI32 handler_type, const char* handler_name);

  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;

  MP4_UI32 GetHandlerType() const { return m_HandlerType; }
  const std::string& GetHandlerName() const { return m_HandlerName; }

 private:
  MP4_UI32 m_HandlerType = 0;
  std::string m_HandlerName;
};

class MP4_VmhdAtom : public MP4_Atom {
 public:
  MP4_VmhdAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;

 private:
  MP4_UI16 m_GraphicsMode = 0;
  MP4_Byte m_OpColor[6] = {};
};

class MP4_SmhdAtom : public MP4_Atom {
 public:
  MP4_SmhdAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;

 private:
  MP4_UI16 m_Balance = 0;
  MP4_UI16 m_Reserved = 0;
};

class MP4_NmhdAtom : public MP4_Atom {
 public:
  MP4_NmhdAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream&) override { return MP4_SUCCESS; }
};

// A container with a full header: an entry count, then url (or other)
// entries.
class MP4_DrefAtom : public MP4_ContainerAtom {
 public:
  MP4_DrefAtom(MP4_AtomSize size, MP4_ByteStream& stream, MP4_AtomFactory& factory);
  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;

 private:
  MP4_UI32 m_EntryCount = 0;
};

class MP4_UrlAtom : public MP4_Atom {
 public:
  MP4_UrlAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;
  const std::string& GetLocation() const { return m_Location; }

 private:
  std::string m_Location;
};

// Chunk offsets; chunk numbers are 1-based.
class MP4_StcoAtom : public MP4_Atom {
 public:
  MP4_StcoAtom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_StcoAtom();

  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;

  MP4_UI32 GetChunkCount() const { return static_cast<MP4_UI32>(m_Entries.size()); }
  MP4_Result GetChunkOffset(MP4_UI32 chunk, MP4_UI64& offset) const;
  MP4_Result SetChunkOffset(MP4_UI32 chunk, MP4_UI64 offset);
  MP4_Result AddEntry(MP4_UI32 offset);

 private:
  std::vector<MP4_UI32> m_Entries;
};

class MP4_Co64Atom : public MP4_Atom {
 public:
  MP4_Co64Atom(MP4_AtomSize size, MP4_ByteStream& stream);
  MP4_Co64Atom();

  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;

  MP4_UI32 GetChunkCount() const { return static_cast<MP4_UI32>(m_Entries.size()); }
  // All 64 bits: offsets above 4 GB are what this atom is for.
  MP4_Result GetChunkOffset(MP4_UI32 chunk, MP4_UI64& offset) const;
  MP4_Result SetChunkOffset(MP4_UI32 chunk, MP4_UI64 offset);
  MP4_Result AddEntry(MP4_UI64 offset);

 private:
  std::vector<MP4_UI64> m_Entries;
};

// Entries of a table atom: `count` as stored, limited to what `bytes` of
// payload can hold, read in one go. The table ends early where the stream
// does.
std::vector<MP4_Byte> MP4_ReadTable(MP4_ByteStream& stream, MP4_UI32 count, MP4_Size entry_size,
                                    MP4_LargeSize bytes);
inline MP4_UI32 MP4_BytesToUI32(const MP4_Byte* p) {
  return (static_cast<MP4_UI32>(p[0]) << 24) | (static_cast<MP4_UI32>(p[1]) << 16) |
         (static_cast<MP4_UI32>(p[2]) << 8) | p[3];
}
inline MP4_UI64 MP4_BytesToUI64(const MP4_Byte* p) {
  return (static_cast<MP4_UI64>(MP4_BytesToUI32(p)) << 32) | MP4_BytesToUI32(p + 4);
}
