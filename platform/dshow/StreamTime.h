// Stream time: the units every time of the system is counted in, and the
// limits by which a step in a stream's times is told apart as a real gap, a
// jump of the source's clock or a damaged time. Every reader, the shared
// time line, the decoders, the writers and the conversion stages take these
// limits from here, so that no two places judge the same step differently.
#pragma once

#include "platform/dshow/Structs.h"

namespace StreamTime {

// Times are counted in 100 ns units (UNITS a second).
constexpr REFERENCE_TIME kSecond = UNITS;
constexpr REFERENCE_TIME kMillisecond = UNITS / 1000;

// A stream may end this much past the source's content (its stated length,
// or the latest sane time any of its streams carries) before the rest is
// taken for a run-away and cut: an encoder's last frame or a sound frame's
// padding never takes more.
constexpr REFERENCE_TIME kPastEnd = 1 * kSecond;
// Whether `t` lies past a stated length (0: none stated) by more than that.
constexpr bool PastEnd(REFERENCE_TIME t, REFERENCE_TIME length) { return length > 0 && t > length + kPastEnd; }

// A step back of more than this in one stream's times is no reordering of
// pictures (B frames lie within a few frames of each other): either the
// source's clock jumped (seen in every stream) or the time is damaged.
constexpr REFERENCE_TIME kStepBack = 1 * kSecond;

// Pictures come in decoding order: a picture shown before another may come
// after it, up to this many pictures later (the most any picture coding
// keeps back). A picture after a gap that earlier pictures refer to comes
// ahead of them.
constexpr int kMaxReorder = 16;

// A step ahead of more than this in one stream's times is more than a frame
// or two left out: a gap (when another stream goes on over it), a jump of
// the clock (when every stream steps at once) or a damaged time.
constexpr REFERENCE_TIME kStepAhead = 5 * kSecond;

// A time further than this from where every other stream of the source is,
// and from the stream's own run, belongs to no part of the source: it is
// damaged, and the stream's own step is taken instead. The source's streams
// are interleaved far closer than this in every container read here.
constexpr REFERENCE_TIME kFarFromOthers = 10 * kSecond;

// A sound whose packet time and its counted samples differ by more than
// this has a hole (filled with silence) or an overlap (cut): less is the
// rounding of the container's time base.
constexpr REFERENCE_TIME kSoundSlack = 20 * kMillisecond;

// The sound of a target is started at most this far from its picture with
// silence in front or a cut: beyond it the two belong to no common clock.
// No single gap is filled with more silence than this either.
constexpr REFERENCE_TIME kMaxLead = 60 * kSecond;

// Where the container says its clock was set anew, a part that goes on
// within this of where the part before ended did not jump (the rounding of
// a recorder's clock at a join).
constexpr REFERENCE_TIME kJoinSlack = 300 * kMillisecond;

// The frame time of a picture stream that states none and has not shown a
// step of its own yet: 25 frames a second, the commonest rate.
constexpr REFERENCE_TIME kDefaultFrameTime = 40 * kMillisecond;

// A header's frame time or time scale that puts a stream's length this many
// times off (or more) from what the rest of the file agrees on is damaged:
// the stream is timed by the rest. Within it a header may well be right (a
// stream shorter than the others, a frame rate that changes).
constexpr int kLengthOff = 4;

}  // namespace StreamTime
