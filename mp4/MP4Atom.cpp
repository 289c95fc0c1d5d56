#include "mp4/MP4Atom.h"

#include <cstdio>
#include <cstring>

#include "mp4/MP4AtomFactory.h"

// ---------------------------------------------------------------------------
// MP4_TextInspector

void MP4_TextInspector::Indent() { m_Text.append(static_cast<size_t>(m_Depth) * 2, ' '); }

void MP4_TextInspector::StartElement(const char* name, const char* extra) {
  Indent();
  m_Text += name;
  if (extra) {
    m_Text += ' ';
    m_Text += extra;
  }
  m_Text += '\n';
  m_Depth++;
}

void MP4_TextInspector::EndElement() {
  if (m_Depth > 0) m_Depth--;
}

void MP4_TextInspector::AddField(const char* name, MP4_UI64 value, FormatHint hint) {
  char text[32];
  std::snprintf(text, sizeof(text), hint == HINT_HEX ? "%llx" : "%llu", static_cast<unsigned long long>(value));
  AddField(name, text);
}

void MP4_TextInspector::AddField(const char* name, const char* value) {
  Indent();
  m_Text += name;
  m_Text += " = ";
  m_Text += value ? value : "";
  m_Text += '\n';
}

// ---------------------------------------------------------------------------
// MP4_Atom

MP4_Atom::MP4_Atom(Type type, bool is_full) : m_Type(type), m_Size(0), m_IsFull(is_full) {
  m_Size = GetHeaderSize();
}

MP4_Atom::MP4_Atom(Type type, MP4_AtomSize size, bool is_full)
    : m_Type(type), m_Size(size.value), m_Size64(size.large), m_IsFull(is_full) {}

MP4_Atom::MP4_Atom(Type type, MP4_AtomSize size, bool is_full, MP4_ByteStream& stream)
    : m_Type(type), m_Size(size.value), m_Size64(size.large), m_IsFull(is_full) {
  // An atom too short for its version and flags reads none (rather than
  // the first bytes of the atom behind it).
  if (m_IsFull && m_Size >= GetHeaderSize()) {
    MP4_UI32 word = 0;
    stream.ReadUI32(word);
    m_Version = word >> 24;
    m_Flags = word & 0xFFFFFF;
  }
}

MP4_Atom::~MP4_Atom() = default;

void MP4_Atom::SetSize(MP4_LargeSize size) {
  m_Size = size;
  if (size > 0xFFFFFFFFull) m_Size64 = true;
}

MP4_Size MP4_Atom::GetHeaderSize() const { return (m_Size64 ? 16 : 8) + (m_IsFull ? 4 : 0); }

MP4_LargeSize MP4_Atom::GetPayloadSize() const {
  const MP4_Size header = GetHeaderSize();
  return m_Size > header ? m_Size - header : 0;
}

MP4_Result MP4_Atom::Write(MP4_ByteStream& stream) {
  MP4_Result r = WriteHeader(stream);
  if (MP4_FAILED(r)) return r;
  return WriteFields(stream);
}

MP4_Result MP4_Atom::WriteHeader(MP4_ByteStream& stream) {
  MP4_Result r;
  if (m_Size64) {
    if (MP4_FAILED(r = stream.WriteUI32(1)) || MP4_FAILED(r = stream.WriteUI32(m_Type)) ||
        MP4_FAILED(r = stream.WriteUI64(m_Size)))
      return r;
  } else {
    if (MP4_FAILED(r = stream.WriteUI32(static_cast<MP4_UI32>(m_Size))) || MP4_FAILED(r = stream.WriteUI32(m_Type)))
      return r;
  }
  if (m_IsFull) {
    if (MP4_FAILED(r = stream.WriteUI08(static_cast<MP4_UI08>(m_Version))) || MP4_FAILED(r = stream.WriteUI24(m_Flags)))
      return r;
  }
  return MP4_SUCCESS;
}

MP4_Result MP4_Atom::Inspect(MP4_AtomInspector& inspector) {
  InspectHeader(inspector);
  InspectFields(inspector);
  inspector.EndElement();
  return MP4_SUCCESS;
}

MP4_Result MP4_Atom::InspectHeader(MP4_AtomInspector& inspector) {
  char name[7];
  name[0] = '[';
  FormatFourChars(name + 1, m_Type);
  name[5] = ']';
  name[6] = 0;
  char extra[64];
  std::snprintf(extra, sizeof(extra), "size=%lu+%llu", static_cast<unsigned long>(GetHeaderSize()),
                static_cast<unsigned long long>(GetPayloadSize()));
  inspector.StartElement(name, extra);
  return MP4_SUCCESS;
}

MP4_Result MP4_Atom::Detach() {
  if (m_Parent) return m_Parent->RemoveChild(this);
  return MP4_SUCCESS;
}

// ---------------------------------------------------------------------------
// MP4_UnknownAtom

MP4_UnknownAtom::MP4_UnknownAtom(Type type, MP4_AtomSize size, MP4_ByteStream& stream)
    : MP4_Atom(type, size, false), m_SourceStream(&stream) {
  stream.Tell(m_SourcePosition);
  stream.AddReference();
}

MP4_UnknownAtom::~MP4_UnknownAtom() { m_SourceStream->Release(); }

MP4_Result MP4_UnknownAtom::WriteFields(MP4_ByteStream& stream) {
  if (m_Size < 8) return MP4_FAILURE;
  MP4_Result r = m_SourceStream->Seek(m_SourcePosition);
  if (MP4_FAILED(r)) return r;
  return m_SourceStream->CopyTo(stream, GetPayloadSize());
}

// ---------------------------------------------------------------------------
// MP4_AtomParent

MP4_AtomParent::~MP4_AtomParent() {
  for (MP4_Atom* child : m_Children) delete child;
  m_Children.Clear();
}

MP4_Result MP4_AtomParent::AddChild(MP4_Atom* child, int position) {
  if (!child) return MP4_ERROR_INVALID_PARAMETERS;
  if (child->GetParent()) return MP4_ERROR_INVALID_PARAMETERS;
  MP4_Result r;
  if (position < 0) {
    r = m_Children.Add(child);
  } else {
    r = m_Children.Insert(child, static_cast<size_t>(position));
  }
  if (MP4_FAILED(r)) return r;
  child->SetParent(this);
  OnChildAdded(child);
  return MP4_SUCCESS;
}

MP4_Result MP4_AtomParent::RemoveChild(MP4_Atom* child) {
  if (!child || child->GetParent() != this) return MP4_ERROR_INVALID_PARAMETERS;
  MP4_Result r = m_Children.Remove(child);
  if (MP4_FAILED(r)) return r;
  child->SetParent(nullptr);
  OnChildRemoved(child);
  return MP4_SUCCESS;
}

MP4_Result MP4_AtomParent::DeleteChild(MP4_Atom::Type type) {
  MP4_Atom* child = GetChild(type);
  if (!child) return MP4_FAILURE;
  MP4_Result r = RemoveChild(child);
  if (MP4_FAILED(r)) return r;
  delete child;
  return MP4_SUCCESS;
}

MP4_Atom* MP4_AtomParent::GetChild(MP4_Atom::Type type, MP4_Size index) const {
  for (MP4_Atom* child : m_Children) {
    if (child->GetType() != type) continue;
    if (index == 0) return child;
    index--;
  }
  return nullptr;
}

MP4_Atom* MP4_AtomParent::FindChild(const char* path, bool auto_create) {
  if (!path || !*path) return nullptr;
  MP4_AtomParent* parent = this;
  for (;;) {
    if (std::strlen(path) < 4) return nullptr;
    for (int i = 0; i < 4; i++)
      if (path[i] == 0) return nullptr;
    const MP4_Atom::Type type = MP4_FourCC(path[0], path[1], path[2], path[3]);
    const char* p = path + 4;
    MP4_Size index = 0;
    if (*p == '[') {
      p++;
      if (*p < '0' || *p > '9') return nullptr;
      unsigned long long n = 0;
      while (*p >= '0' && *p <= '9') {
        n = n * 10 + static_cast<unsigned>(*p - '0');
        if (n > 0xFFFFFFFFull) return nullptr;
        p++;
      }
      if (*p != ']') return nullptr;
      p++;
      index = static_cast<MP4_Size>(n);
    }
    if (*p != 0 && *p != '/') return nullptr;

    MP4_Atom* child = parent->GetChild(type, index);
    if (!child) {
      auto* container = dynamic_cast<MP4_ContainerAtom*>(parent);
      if (!auto_create || index != 0 || (!container && parent != this)) return nullptr;
      child = new (std::nothrow) MP4_ContainerAtom(type);
      if (!child) return nullptr;
      if (MP4_FAILED(parent->AddChild(child))) {
        delete child;
        return nullptr;
      }
    }
    if (*p == 0) return child;
    auto* next = dynamic_cast<MP4_ContainerAtom*>(child);
    if (!next) return nullptr;
    parent = next;
    path = p + 1;
  }
}

// ---------------------------------------------------------------------------
// MP4_ContainerAtom

MP4_ContainerAtom::MP4_ContainerAtom(Type type, bool is_full) : MP4_Atom(type, is_full) {}

MP4_ContainerAtom::MP4_ContainerAtom(Type type, MP4_AtomSize size, bool is_full) : MP4_Atom(type, size, is_full) {}

MP4_ContainerAtom::MP4_ContainerAtom(Type type, MP4_AtomSize size, bool is_full, MP4_ByteStream& stream)
    : MP4_Atom(type, size, is_full, stream) {}

MP4_ContainerAtom::MP4_ContainerAtom(Type type, MP4_AtomSize size, bool is_full, MP4_ByteStream& stream,
                                     MP4_AtomFactory& factory)
    : MP4_Atom(type, size, is_full, stream) {
  ReadChildren(factory, stream, GetPayloadSize());
}

void MP4_ContainerAtom::ReadChildren(MP4_AtomFactory& factory, MP4_ByteStream& stream, MP4_LargeSize bytes) {
  // Each atom read takes at least 8 bytes, so the loop ends.
  for (;;) {
    MP4_Atom* child = nullptr;
    if (MP4_FAILED(factory.ReadAtom(stream, bytes, child, this)) || !child) break;
    child->SetParent(this);
    m_Children.Add(child);
  }
}

MP4_Result MP4_ContainerAtom::WriteFields(MP4_ByteStream& stream) {
  for (MP4_Atom* child : m_Children) {
    MP4_Result r = child->Write(stream);
    if (MP4_FAILED(r)) return r;
  }
  return MP4_SUCCESS;
}

MP4_Result MP4_ContainerAtom::InspectFields(MP4_AtomInspector& inspector) { return InspectChildren(inspector); }

MP4_Result MP4_ContainerAtom::InspectChildren(MP4_AtomInspector& inspector) {
  for (MP4_Atom* child : m_Children) child->Inspect(inspector);
  return MP4_SUCCESS;
}

MP4_LargeSize MP4_ContainerAtom::ChildrenSize() const {
  MP4_LargeSize size = 0;
  for (const MP4_Atom* child : m_Children) size += child->GetSize();
  return size;
}

void MP4_ContainerAtom::NotifyParentChanged() {
  if (m_Parent) m_Parent->OnChildChanged(this);
}

void MP4_ContainerAtom::OnChildChanged(MP4_Atom*) {
  SetSize(GetHeaderSize() + ChildrenSize());
  NotifyParentChanged();
}

void MP4_ContainerAtom::OnChildAdded(MP4_Atom* child) {
  SetSize(GetSize() + child->GetSize());
  NotifyParentChanged();
}

void MP4_ContainerAtom::OnChildRemoved(MP4_Atom* child) {
  const MP4_LargeSize size = GetSize();
  SetSize(size > child->GetSize() ? size - child->GetSize() : GetHeaderSize());
  NotifyParentChanged();
}
