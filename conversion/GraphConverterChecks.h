// What the converter checks before and after it builds a job's graph: the
// job's files, and the source's streams that no decoder took. Each failing
// check leaves its reason in the build's failure text. Shared by the
// converter's own source files only.
#pragma once

#include <string>

#include "platform/dshow/DShow.h"

namespace ConverterChecks {

// A failure with its reason in the build's failure text.
HRESULT Refuse(HRESULT hr, const std::string& text);

// A source named by a path (not a stream address) must be a file that can
// be read.
HRESULT CheckSourceFile(const std::string& source);
// A target file whose folder is missing, or that is a folder, cannot be
// written.
HRESULT CheckTargetFile(const std::string& target);

// A pin named after subtitles carries no video to convert.
bool NameHasSubtitle(IPin* pin);

// The text naming a source's video stream when no decoder took it (as
// damaged where its decoder refused its set-up data); empty when it has
// none.
std::string UndecodedVideoText(IBaseFilter* source);
// The same of its first sound stream.
std::string UndecodedSoundText(IBaseFilter* source);
// Tells each queued input pin of the sink which of the source's streams
// feeds it ("sound stream of the source (AC-3)"), so that a stream that
// brings nothing to the target is named in the run's error.
void NameSinkStreams(IBaseFilter* sink, IBaseFilter* source);
// Why a source that offers bytes only cannot be converted.
std::string BytesOnlyReason(IBaseFilter* source);

// The note a failed build's text ends with for the sources whose streams a
// codec package decodes elsewhere. Here the decoders are the program's own
// and nothing a user installs adds one: the note is there only when
// `failure` names a stream that went undecoded, and names its format.
std::string CodecNote(const std::string& failure);

// The target that holds nothing without a picture, as a failure text names
// it: a PSP movie (the PSP plays movies only, and its muxer takes none
// without a picture) and the discs (a VCD, SVCD or DVD is a disc of
// pictures). Null for the others, which keep the sound of a source without
// one. `profile`: the MP4 family's profile, `mpegKind` the MPEG muxer's
// kind; -1 for another sink.
const char* PictureNeededBy(int profile, int mpegKind);
// The target as a failure text names it ("An AVI movie", "An iPod movie",
// "An MPEG movie"): `formatName` the container an AVI or FLV job names,
// `profile` and `mpegKind` as above.
const char* TargetMovieName(const std::string& formatName, int profile, int mpegKind);

}  // namespace ConverterChecks
