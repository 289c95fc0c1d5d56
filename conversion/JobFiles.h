// The files one job writes. Each is written under a temporary name in its
// target's folder and takes the target's name only when the job keeps its
// result, so that a failed job leaves a file that had the target's name as
// it was. Every target is checked against the job's source first.
//
// The muxer's worker reserves names while the job runs; the main window
// keeps or discards them once the graph has stopped.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

// Whether `path` is a regular file, or none yet and then created empty.
// Opening never waits: a pipe or a device there, which would block the
// writer's own opening or never take its bytes, answers false.
bool OpenableAsRegularFile(const std::string& path);

// Whether two paths lead to the same file, whatever links or names lead
// there (device and inode).
bool IsSameFileOnDisk(const std::string& a, const std::string& b);

// How many pictures a series at `intervalMs` takes of a source `seconds`
// long, one more for a length the source gives a little short; -1 (any
// number) when the length is not known.
long SeriesPictureCount(double seconds, int intervalMs);

// The first picture of `folder` among the series' names 1 .. `count` (count
// negative: any number) that a series must not be written over, with the
// reason in `error`: the source itself or something other than a file
// (always), or any file there unless the user chose to `replace` them.
// Empty when the series can be written.
std::string FirstTakenPicture(const std::string& folder, long count, const std::string& source, bool replace,
                              std::string* error);

// A signal that ends the process (SIGTERM, SIGINT, SIGHUP) removes the
// temporary files of the running jobs first. Installed once, at start-up.
void InstallTemporaryFileCleanup();

class CJobFiles {
 public:
  CJobFiles() = default;
  CJobFiles(const CJobFiles&) = delete;
  CJobFiles& operator=(const CJobFiles&) = delete;
  // Files not kept by the end are no result.
  ~CJobFiles() { Discard(); }

  // The job's source, and its size now.
  void SetSource(const std::string& source);
  // When the source has grown since the job began (a file still being
  // written): a line saying so, and what was converted (its `seconds`,
  // when known); else empty.
  std::string SourceGrowth(double seconds);
  // The user chose to replace the files that have the targets' names. Else
  // a name taken when the job keeps its files (a file that appeared while
  // it ran) keeps what was there, and the job's file goes beside it as
  // "<name> (2).<ext>" (" (3)" and so on when taken).
  void SetReplaceTargets(bool replace);
  // The temporary name to write `target` under, created empty. Empty, with
  // the reason in `error`, when the target is the source or exists as
  // something other than a regular file, or no name can be made.
  std::string Reserve(const std::string& target, std::string* error);
  // A picture of a series, written under its own name in this run: a free
  // name is created new (never through a link), one this run wrote already
  // is written again, one taken by a file the user chose to `replace` (not
  // the source) gets a temporary name that takes its place when the job
  // keeps its files. Returns a descriptor open for writing, or -1 with the
  // reason in `error`.
  int CreatePicture(const std::string& path, bool replace, std::string* error);
  // Renames every temporary file over its target. Returns the text of the
  // first rename that failed (that file and the rest are removed), or "".
  std::string Keep();
  // The files of a job stopped at `seconds`: a target that was there
  // before the job began stays as it was, and what the job wrote for it
  // is kept beside it as "<name> (stopped at N s).<ext>"; the others take
  // their targets' names. Returns why keeping failed, or "".
  std::string KeepStopped(double seconds);
  // Removes every temporary file and every picture this run wrote.
  void Discard();
  // The files the last keeping made: each target with the name its file
  // took (the target's own, or one beside it).
  std::vector<std::pair<std::string, std::string>> Kept();

 private:
  struct File {
    std::string temp, target;
    bool existed;  // the target's name was taken when the job reserved it
    bool replace;  // a picture the user chose to write over
    int lock;      // held open (and locked) while the job runs; -1: none
  };
  static void Release(File& file);
  std::string KeepAll(double stoppedAt);

  std::mutex m_lock;
  std::string m_strSource;
  long long m_sourceSize = -1;  // when the job began; -1 for no file
  std::vector<File> m_files;
  std::vector<std::string> m_written;  // pictures written under their own names
  std::vector<std::pair<std::string, std::string>> m_kept;
  bool m_bReplace = false;
};
