// The atom (box) object model: atoms with their header rules, parents with
// their child lists and path lookup, container atoms, atoms of unknown type
// and the inspector through which a tree reports itself.
#pragma once

#include <string>

#include "mp4/MP4ByteStream.h"

class MP4_AtomParent;
class MP4_AtomFactory;

// Receives the elements and fields of an atom tree.
class MP4_AtomInspector {
 public:
  enum FormatHint { HINT_NONE, HINT_HEX };
  virtual ~MP4_AtomInspector() = default;
  virtual void StartElement(const char* name, const char* extra = nullptr) {}
  virtual void EndElement() {}
  virtual void AddField(const char* name, MP4_UI64 value, FormatHint hint = HINT_NONE) {}
  virtual void AddField(const char* name, const char* value) {}
};

// Writes the tree as indented text, one line per element and field.
class MP4_TextInspector : public MP4_AtomInspector {
 public:
  void StartElement(const char* name, const char* extra = nullptr) override;
  void EndElement() override;
  void AddField(const char* name, MP4_UI64 value, FormatHint hint = HINT_NONE) override;
  void AddField(const char* name, const char* value) override;
  const std::string& Text() const { return m_Text; }

 private:
  void Indent();
  std::string m_Text;
  int m_Depth = 0;
};

// The size of an atom as its header gave it, and whether the header used
// the 64-bit form (size field 1), which makes the header 8 bytes longer.
struct MP4_AtomSize {
  MP4_AtomSize(MP4_LargeSize v, bool large = false) : value(v), large(large) {}  // NOLINT: implicit
  MP4_LargeSize value;
  bool large;
};

class MP4_Atom {
 public:
  using Type = MP4_UI32;

  MP4_Atom(Type type, bool is_full = false);
  MP4_Atom(Type type, MP4_AtomSize size, bool is_full = false);
  // Reads the version and flags of a full atom from the stream.
  MP4_Atom(Type type, MP4_AtomSize size, bool is_full, MP4_ByteStream& stream);
  MP4_Atom(const MP4_Atom&) = delete;
  MP4_Atom& operator=(const MP4_Atom&) = delete;
  virtual ~MP4_Atom();

  Type GetType() const { return m_Type; }
  void SetType(Type type) { m_Type = type; }
  virtual MP4_LargeSize GetSize() const { return m_Size; }
  void SetSize(MP4_LargeSize size);
  // 8, 16 with a 64-bit size, plus 4 for version and flags.
  MP4_Size GetHeaderSize() const;
  // The bytes after the header (0 for an atom shorter than its header).
  MP4_LargeSize GetPayloadSize() const;
  bool IsFull() const { return m_IsFull; }
  MP4_UI32 GetVersion() const { return m_Version; }
  MP4_UI32 GetFlags() const { return m_Flags; }
  void SetVersion(MP4_UI32 v) { m_Version = v & 0xFF; }
  void SetFlags(MP4_UI32 f) { m_Flags = f & 0xFFFFFF; }

  virtual MP4_Result Write(MP4_ByteStream& stream);
  virtual MP4_Result WriteHeader(MP4_ByteStream& stream);
  virtual MP4_Result WriteFields(MP4_ByteStream& stream) = 0;
  virtual MP4_Result Inspect(MP4_AtomInspector& inspector);
  virtual MP4_Result InspectHeader(MP4_AtomInspector& inspector);
  virtual MP4_Result InspectFields(MP4_AtomInspector& inspector) { return MP4_SUCCESS; }
  virtual MP4_Result SetParent(MP4_AtomParent* parent) {
    m_Parent = parent;
    return MP4_SUCCESS;
  }
  virtual MP4_AtomParent* GetParent() const { return m_Parent; }
  virtual MP4_Result Detach();
  virtual MP4_Atom* Clone() { return nullptr; }

 protected:
  Type m_Type;
  MP4_LargeSize m_Size;
  bool m_Size64 = false;
  bool m_IsFull;
  MP4_UI32 m_Version = 0;
  MP4_UI32 m_Flags = 0;
  MP4_AtomParent* m_Parent = nullptr;
};

// An atom kept as it stands in its stream (one reference held): writing it
// copies its payload from there.
class MP4_UnknownAtom : public MP4_Atom {
 public:
  MP4_UnknownAtom(Type type, MP4_AtomSize size, MP4_ByteStream& stream);
  ~MP4_UnknownAtom() override;

  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  // Where the payload starts in the source stream.
  MP4_Position GetSourcePosition() const { return m_SourcePosition; }

 private:
  MP4_ByteStream* m_SourceStream;
  MP4_Position m_SourcePosition = 0;
};

class MP4_AtomParent {
 public:
  MP4_AtomParent() = default;
  MP4_AtomParent(const MP4_AtomParent&) = delete;
  MP4_AtomParent& operator=(const MP4_AtomParent&) = delete;
  virtual ~MP4_AtomParent();

  // position -1 appends, 0 puts the child first, k puts it at index k.
  virtual MP4_Result AddChild(MP4_Atom* child, int position = -1);
  virtual MP4_Result RemoveChild(MP4_Atom* child);
  virtual MP4_Result DeleteChild(MP4_Atom::Type type);
  // The index-th (0-based) child of that type, or null.
  virtual MP4_Atom* GetChild(MP4_Atom::Type type, MP4_Size index = 0) const;
  // "type/type[n]/..." below this parent; with auto_create a missing
  // element (of index 0) is made as an empty container.
  virtual MP4_Atom* FindChild(const char* path, bool auto_create = false);
  virtual void OnChildChanged(MP4_Atom* child) {}
  virtual void OnChildAdded(MP4_Atom* child) {}
  virtual void OnChildRemoved(MP4_Atom* child) {}

  const MP4_List<MP4_Atom>& GetChildren() const { return m_Children; }

 protected:
  MP4_List<MP4_Atom> m_Children;
};

class MP4_ContainerAtom : public MP4_Atom, public MP4_AtomParent {
 public:
  MP4_ContainerAtom(Type type, bool is_full = false);
  MP4_ContainerAtom(Type type, MP4_AtomSize size, bool is_full);
  // The header only; a derived atom reads its own fields and children.
  MP4_ContainerAtom(Type type, MP4_AtomSize size, bool is_full, MP4_ByteStream& stream);
  // The header, then the children from the rest of the atom.
  MP4_ContainerAtom(Type type, MP4_AtomSize size, bool is_full, MP4_ByteStream& stream, MP4_AtomFactory& factory);

  MP4_Result WriteFields(MP4_ByteStream& stream) override;
  MP4_Result InspectFields(MP4_AtomInspector& inspector) override;
  MP4_Result InspectChildren(MP4_AtomInspector& inspector);

  void OnChildChanged(MP4_Atom* child) override;
  void OnChildAdded(MP4_Atom* child) override;
  void OnChildRemoved(MP4_Atom* child) override;

 protected:
  // Reads atoms until the bytes are used up or one cannot be read; each
  // is appended with this as its parent, without changing this size.
  void ReadChildren(MP4_AtomFactory& factory, MP4_ByteStream& stream, MP4_LargeSize bytes);
  // Header size plus the sizes of the children.
  MP4_LargeSize ChildrenSize() const;
  void NotifyParentChanged();
};
