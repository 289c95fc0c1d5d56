// Turns a byte stream into atoms by their four-character type.
//
// The factory keeps the state of one parse (the type of the container
// whose children are being read, the nesting depth), so each file is read
// with a factory of its own; the default instance serves callers that read
// on one thread only.
#pragma once

#include <vector>

#include "mp4/MP4Atom.h"

class MP4_AtomFactory {
 public:
  // An extension point: makes an atom of a type the factory does not know.
  class TypeHandler {
   public:
    virtual ~TypeHandler() = default;
    virtual MP4_Result CreateAtom(MP4_Atom::Type type, MP4_AtomSize size, MP4_ByteStream& stream,
                                  MP4_Atom*& atom) = 0;
  };

  // Containers nested deeper than this are not read: a crafted file could
  // otherwise run the reader out of stack.
  static constexpr int kMaxDepth = 64;
  // Atoms read below the top level of one file; a crafted file of tiny
  // atoms could otherwise take memory out of all proportion to its size.
  static constexpr MP4_UI32 kMaxAtoms = 1u << 20;

  static MP4_AtomFactory DefaultFactory;

  MP4_Result AddTypeHandler(TypeHandler* handler);
  MP4_Result RemoveTypeHandler(TypeHandler* handler);

  // One atom from the stream's position, with `bytes_available` bytes
  // left for it in its container (or the stream); on success the stream
  // stands at the atom's end and the count is reduced by its size.
  MP4_Result ReadAtom(MP4_ByteStream& stream, MP4_LargeSize& bytes_available, MP4_Atom*& atom,
                      MP4_AtomParent* parent);
  // One atom with the rest of the stream available to it.
  MP4_Result CreateAtomFromStream(MP4_ByteStream& stream, MP4_Atom*& atom);

  MP4_Atom::Type GetContext() const { return m_Context; }
  // True while the children of a compressed movie header are read: a movie
  // header inside it is not inflated again.
  bool InCompressedMovie() const { return m_InCompressedMovie; }
  void SetInCompressedMovie(bool on) { m_InCompressedMovie = on; }

 private:
  MP4_Atom* CreateAtomFromType(MP4_Atom::Type type, MP4_AtomSize size, MP4_ByteStream& stream,
                               MP4_AtomParent* parent, MP4_Result& result);
  // An atom made by one of the added handlers.
  bool HasTypeHandler(MP4_Atom::Type type, MP4_AtomSize size, MP4_ByteStream& stream, MP4_Atom*& atom);

  MP4_Atom::Type m_Context = 0;
  // The handler type of the track being read ('soun', 'vide', ...).
  MP4_UI32 m_TrackHandler = 0;
  int m_Depth = 0;
  MP4_UI32 m_AtomCount = 0;
  bool m_InCompressedMovie = false;
  std::vector<TypeHandler*> m_TypeHandlers;
};
