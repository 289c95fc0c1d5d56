// The graph manager with the system's own filters registered: its source
// filters with their protocols, extensions and check bytes, its splitters
// and decoders with the media types they take, and records that prefer or
// block some installed filters.
#pragma once

#include <memory>
#include <vector>

#include "graph/core/FGManager.h"
#include "graph/registry/SourceFormat.h"

class CFGManagerCustom : public CFGManager {
 public:
  // One source row: what recognises the source's input. Every row is
  // listed, whether its filter is built or not.
  struct SourceRow {
    CLSID clsid;
    DWORD sourceFormat;
    std::vector<const wchar_t*> protocols;
    std::vector<const wchar_t*> extensions;
    std::vector<const wchar_t*> patterns;
  };
  static const std::vector<SourceRow>& SourceRows();

  // `splitterMask` holds SourceFormat bits: a splitter whose bit is clear
  // is left out (Matroska and RealMedia are always in). A decoder whose bit
  // is set in `decoderMask` outranks installed decoders; otherwise it is
  // registered at low merit with " (low merit)" after its name.
  CFGManagerCustom(LPCTSTR name, LPUNKNOWN outer, DWORD splitterMask, DWORD decoderMask);

  // Asks one audio renderer class for high-resolution output as it joins.
  STDMETHODIMP AddFilter(IBaseFilter* filter, LPCWSTR name) override;
};
