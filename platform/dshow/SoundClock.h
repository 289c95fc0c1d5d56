// The clock a sound writer keeps of its input: the time of the sound's last
// break and the samples taken since. Where the stream says it goes on after
// a break (a sample marked discontinuous: a join, a clock jump, lost data, a
// hole the decoder found between its packet times), the writer fills a gap
// with silence or cuts an overlap, so that the sound after the break plays
// at its own time. The limits are the caller's: they belong to the stream
// time rules above this layer.
#pragma once

#include <cstdint>

#include "platform/dshow/Structs.h"

class CSoundClock {
 public:
  // `slack`: a break of no more than this is the rounding of the
  // container's times and is let be. `farAway`: an overlap of more than
  // this is no overlap to cut, and sound more than this ahead of every
  // picture written is no gap to fill (the picture ended long before).
  CSoundClock(REFERENCE_TIME slack, REFERENCE_TIME farAway) : m_slack(slack), m_farAway(farAway) {}

  // What goes in front of a sample's sound: silence to write, or sound to
  // cut from its front (at most one of them not zero).
  struct Step {
    REFERENCE_TIME fill = 0;
    REFERENCE_TIME cut = 0;
  };

  // A new run.
  void Reset() {
    m_base = INT64_MIN;
    m_samples = 0;
  }

  // Takes a sample of `samples` sound samples at `rate` a second, timed at
  // `start` when `timed`. `pictureEnd`: where the pictures written so far
  // end (INT64_MAX for a target without picture). The first timed sample
  // sets the clock; its place against the picture is the caller's.
  Step Follow(bool timed, bool discontinuity, REFERENCE_TIME start, int64_t samples, int64_t rate,
              REFERENCE_TIME pictureEnd);

 private:
  const REFERENCE_TIME m_slack;
  const REFERENCE_TIME m_farAway;
  REFERENCE_TIME m_base = INT64_MIN;
  int64_t m_samples = 0;
};
