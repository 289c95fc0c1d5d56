// Our own extension of the media-streaming interfaces: what a filter has to
// say about its run for the job's log. The platform's filters (the ASF
// writer, the installed video decoders) and the system's own answer it
// alike, so that the graph's owner asks every filter the same way.
#pragma once

#include <string>

#include "platform/com/Unknown.h"

struct IRunReport : IUnknown {
  // Why the filter failed the run, in words for the log (one line, ending
  // in a line break); empty when it did not fail.
  STDMETHOD_(std::string, GetRunError)() const = 0;
  // What the filter did that the log should say although the run went on
  // (damage passed over or mended, a jump in the times taken out): one line
  // each, each ending in a line break; empty when there is nothing to say.
  STDMETHOD_(std::string, GetRunNote)() const = 0;

 protected:
  ~IRunReport() = default;
};
PELLOMAR_INTERFACE_ID(IRunReport, "6DCA326E-DC66-46DE-BE52-5A2DEB010681");
