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

class CJobFiles {
 public:
  CJobFiles() = default;
  CJobFiles(const CJobFiles&) = delete;
  CJobFiles& operator=(const CJobFiles&) = delete;
  // Files not kept by the end are no result.
  ~CJobFiles() { Discard(); }

  void SetSource(const std::string& source);
  // The temporary name to write `target` under, created empty. Empty, with
  // the reason in `error`, when the target is the source or exists as
  // something other than a regular file, or no name can be made.
  std::string Reserve(const std::string& target, std::string* error);
  // Renames every temporary file over its target. Returns the text of the
  // first rename that failed (that file and the rest are removed), or "".
  std::string Keep();
  // Removes every temporary file.
  void Discard();

 private:
  std::mutex m_lock;
  std::string m_strSource;
  std::vector<std::pair<std::string, std::string>> m_files;  // temporary, target
};
