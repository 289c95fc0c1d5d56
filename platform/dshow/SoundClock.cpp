#include "platform/dshow/SoundClock.h"

using namespace StreamTime;

CSoundClock::Step CSoundClock::Follow(bool timed, bool discontinuity, REFERENCE_TIME start, int64_t samples,
                                      int64_t rate, REFERENCE_TIME pictureEnd) {
  Step step;
  if (rate <= 0) return step;
  if (!timed || (m_base != INT64_MIN && !discontinuity)) {
    m_samples += samples;
    return step;
  }
  if (m_base != INT64_MIN) {
    // In 128 bits: a wild time must not wrap into a small one. The counted
    // samples' time is rounded to the nearest unit.
    const __int128 counted = (static_cast<__int128>(m_samples) * UNITS + rate / 2) / rate;
    const __int128 off = static_cast<__int128>(start) - m_base - counted;
    const REFERENCE_TIME length = static_cast<REFERENCE_TIME>(off < 0 ? -off : off);
    // A gap is filled whatever its length while the picture goes on over
    // it; sound that runs far ahead of the pictures written so far (only a
    // picture that ended long before) is no gap and goes on at once.
    const bool beyondPicture = static_cast<__int128>(start) - pictureEnd > kFarFromOthers;
    if (off > kSoundSlack && !beyondPicture)
      step.fill = length;
    else if (off < -kSoundSlack && off >= -kFarFromOthers)
      step.cut = length;
  }
  m_base = start;
  m_samples = samples;
  return step;
}
