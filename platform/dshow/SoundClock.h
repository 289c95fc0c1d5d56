// Sound time, as the decoders and the writers follow it.
//
// CSoundClock: the clock a sound writer keeps of its input: the time of the
// sound's last break and the samples taken since. Where the stream says it
// goes on after a break (a sample marked discontinuous: a join, a clock
// jump, lost data, a hole the decoder found between its packet times), the
// writer fills a gap with silence or cuts an overlap, so that the sound
// after the break plays at its own time. A break of no more than
// kSoundSlack is the rounding of the container's times and is let be; an
// overlap of more than kFarFromOthers is no overlap to cut, and sound that
// far ahead of every picture written is no gap to fill (the picture ended
// long before).
//
// CSoundTimeFollower: what an audio decoder keeps of its input's times
// against the sound it counts out.
#pragma once

#include <cstdint>

#include "platform/dshow/StreamTime.h"
#include "platform/dshow/Structs.h"

class CSoundClock {
 public:
  // What goes in front of a sample's sound: silence to write, or sound to
  // cut from its front (at most one of them not zero).
  struct Step {
    REFERENCE_TIME fill = 0;
    REFERENCE_TIME cut = 0;
  };

  // Where the first sound of a target starts, `start` on the picture's
  // clock (whose first frame is at 0): silence in front of a late start,
  // a cut of an early one. A lead beyond kMaxLead is no start delay but a
  // broken time: the sound starts with the picture.
  static Step Lead(REFERENCE_TIME start) {
    Step step;
    if (start > 0 && start <= StreamTime::kMaxLead) step.fill = start;
    if (start < 0 && start >= -StreamTime::kMaxLead) step.cut = -start;
    return step;
  }

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
  REFERENCE_TIME m_base = INT64_MIN;
  int64_t m_samples = 0;
};

class CSoundTimeFollower {
 public:
  void Reset() { m_longest = 0; }
  // A frame of this length came out.
  void Took(REFERENCE_TIME frame) {
    if (frame > m_longest) m_longest = frame;
  }
  // Whether an input time strays from where the counted sound is: by more
  // than the longest frame the stream has had (Vorbis mixes short and long
  // ones, and a container may time laced frames by an even share of their
  // block) and the container's rounding. Then there is a hole in the sound
  // or sound given twice: the decoder goes on at the input's time, marked
  // discontinuous, and the writer fills the hole or cuts the overlap.
  bool Strays(REFERENCE_TIME time, REFERENCE_TIME counted) const {
    const REFERENCE_TIME tolerance = m_longest + StreamTime::kSoundSlack;
    return time > counted + tolerance || time < counted - tolerance;
  }

 private:
  REFERENCE_TIME m_longest = 0;
};
