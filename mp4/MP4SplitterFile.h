// The MP4 splitter's reader: the splitter file over the source with the
// file read into atoms at construction.
#pragma once

#include <memory>

#include "foundation/BaseSplitterFileEx.h"
#include "mp4/MP4AtomFactory.h"
#include "mp4/MP4File.h"

class CMP4SplitterFile : public CBaseSplitterFileEx {
 public:
  // hr: S_OK when the file has a movie, E_FAIL when not, or the base
  // reader's failure.
  CMP4SplitterFile(IAsyncReader* reader, HRESULT& hr);
  ~CMP4SplitterFile() override;

  MP4_Movie* GetMovie() const { return m_pMP4File ? m_pMP4File->GetMovie() : nullptr; }
  bool HasMovieFragments() const { return m_pMP4File && m_pMP4File->HasMovieFragments(); }
  // Where a file appended to this one begins; 0 when none does.
  LONGLONG AppendedAt() const { return m_pMP4File ? static_cast<LONGLONG>(m_pMP4File->GetAppendedAt()) : 0; }

 private:
  HRESULT Init();

  // One factory per file: it keeps the state of a parse.
  MP4_AtomFactory m_factory;
  std::unique_ptr<MP4_File> m_pMP4File;
};
