// The still pictures a job writes of its frames, in one place: the picture
// of a frame (RGB, or 4:2:0 converted only for the picture), fitted into a
// box on white when one is set, written as JPEG under a name made by one
// rule and into a file opened by one rule.
#pragma once

#include <memory>
#include <string>

#include "conversion/PictureNames.h"
#include "platform/dshow/BaseClasses.h"

class CJobFiles;

class CStillWriter {
 public:
  enum Result { kWritten, kNotPictured, kFailed };

  // A box of width and height (both non-zero) fits the pictures into it on
  // a white canvas; otherwise they keep the frame's size.
  void SetBox(int width, int height);
  // The clockwise turn (0, 90, 180 or 270 degrees) the frames are shown
  // with: each picture is turned upright before its shape and box.
  void SetTurn(int degrees);
  // The job's files: each picture of a series is then created through them
  // (a new file, never through a link or over a file the job did not
  // write, unless the user chose to `replace` those) and a failed job
  // removes them. Without, pictures are written straight under their names.
  void SetJobFiles(std::shared_ptr<CJobFiles> files, bool replace);

  // Writes the frame `data` (`length` bytes laid out as `format` says) to
  // `path`: a picture of a series (created through the job's files), or a
  // single picture to a name the job reserved for it. kNotPictured for a
  // frame no picture can be made of (its format, its size, too few bytes);
  // kFailed, with the reason, when the file could not be written.
  Result Write(const CMediaType& format, const BYTE* data, LONG length, const std::string& path, bool series,
               std::string* reason);

 private:
  // A descriptor open for writing `path`, or -1 with the reason. Only a
  // regular file is ever written: a pipe or a device of the picture's name
  // would hold the writer for good.
  int Open(const std::string& path, bool series, std::string* reason);

  int m_nBoxWidth = 0;
  int m_nBoxHeight = 0;
  int m_nTurn = 0;
  std::shared_ptr<CJobFiles> m_pFiles;
  bool m_bReplace = false;
};
