// What the main window watches of a running job beside its graph's events:
// a position that no longer moves (the job is stuck and is cut), and a
// source that ends short of the length it was probed with.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/win32/Types.h"

class CJobWatch {
 public:
  // How long a job's position may stand still before the job is cut.
  static constexpr DWORD kStallMs = 20000;

  CJobWatch() = default;
  CJobWatch(const CJobWatch&) = delete;
  CJobWatch& operator=(const CJobWatch&) = delete;
  ~CJobWatch() { Close(); }

  // A job starts now: its source as the file is at this moment and the
  // length (seconds) it was probed with, 1 s or less when unknown. The file
  // is held open, so that what the job reads can be told from what the
  // source's name leads to at its end.
  void Start(const std::string& source, double length, DWORD now);

  // A look at the job's position (seconds; negative when the sink cannot
  // tell): true when it has not moved for kStallMs. Only a position that
  // stands still counts: one that moves, however slowly, keeps the job.
  bool Stalled(double position, DWORD now);
  // The job was held (paused while the user was asked) until `now`: the
  // time its position stood still meanwhile does not count.
  void Resume(DWORD now) { m_dwLastMove = now; }
  // Where a stalled job stopped, as its failure text.
  std::string StallText() const;

  enum Ending { kWhole, kShort, kSourceChanged };
  // At the job's completion, with how far it was converted (seconds;
  // negative when the sink cannot tell): kShort when that falls short of
  // the probed length, kSourceChanged when it does and the file the job
  // read was changed meanwhile (shrunk or written): its output is then no
  // result. A file that was removed, or whose name now leads to another
  // file, was still read whole through the job's own opening.
  Ending Check(double converted) const;
  // The log line of a short or changed ending.
  std::string EndingText(Ending ending, double converted) const;
  // The log line of a source whose name no longer leads to the file the
  // job read (removed or replaced meanwhile), or "".
  std::string AfterReadText() const;
  // The job is over: the file is let go.
  void Close();

 private:
  struct Identity {
    bool known = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    long long mtimeNs = 0;
    bool SameFile(const Identity& o) const { return known == o.known && dev == o.dev && ino == o.ino; }
    bool operator==(const Identity& o) const { return SameFile(o) && size == o.size && mtimeNs == o.mtimeNs; }
  };
  static Identity IdentityOf(const std::string& path);
  // What the job reads now: the held file, else what the name leads to.
  Identity ReadNow() const;

  std::string m_strSource;
  Identity m_source;
  int m_fd = -1;
  double m_fLength = 0;
  double m_fLastPosition = -1;
  DWORD m_dwLastMove = 0;
};
