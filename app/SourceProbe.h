// Probing a source file for the pages, and the texts they show of it.
#pragma once

#include <string>

#include "conversion/ConvertOpt.h"
#include "conversion/GraphConverter.h"
#include "platform/ui/Wnd.h"

// The choosers' default extension and filter for movies, and for MPEG files
// only (the PAL/NTSC change).
extern const char* const kMovieExtensions;
extern const char* const kMovieFilter;
extern const char* const kMpegExtensions;
extern const char* const kMpegFilter;

// Probes the path through a graph converter made for the window. A failed
// probe shows the "cannot open" message (stop icon) and gives false.
bool ProbeSourceFile(CWnd* owner, const std::string& path, SourceMediaInfo* info);
// The same without a message: the probe's result (a failed probe leaves in
// `info` what it found, the source format first of all).
HRESULT ProbeSourceQuietly(CWnd* owner, const std::string& path, SourceMediaInfo* info);
// The "cannot open" message (stop icon) with the last probe's reason, and
// the file's path when one is given (a batch probes many).
void ShowProbeFailure(const std::string& path = std::string());

// The information text of the video source page.
std::string SourceInfoText(const SourceMediaInfo& info);

// What a probe of the source at `path` found goes into the job, all at once:
// format, description and text, length, picture size and frame rate (the
// target's rate starts as the source's), so the job never carries the size
// or length of another file.
void ApplySourceProbe(const std::string& path, const SourceMediaInfo& info, CConvertOpt* job);

// A frame rate cut (not rounded) to two decimals.
double CutToHundredths(double rate);

// The extension the format names look at: the text after the last point of
// the file name, or the whole path when the name has none.
std::string FormatExtension(const std::string& path);
