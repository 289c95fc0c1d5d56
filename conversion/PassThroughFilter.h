// Transform base of the filters that pass their samples on as they came and
// change only what goes with them (their times): the output has upstream's
// buffers, a sample goes on itself, uncopied, and only one that brings a new
// format (or has nothing to pass on) takes the base transform's copying way,
// into an output buffer grown for a larger picture.
#pragma once

#include "platform/dshow/BaseClasses.h"

class CPassThroughFilter : public CTransformFilter {
 public:
  CPassThroughFilter(LPCTSTR name, LPUNKNOWN outer, REFCLSID clsid);

  // Upstream's buffers: every input sample fits an output one.
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override;
  // Output buffers grow with the samples after a picture size change.
  HRESULT InitializeOutputSample(IMediaSample* sample, IMediaSample** outSample) override;
  // The copying way: the data, the new format in its output form, then
  // Restamp. S_FALSE (nothing passed on) for an empty or oversized sample.
  HRESULT Transform(IMediaSample* in, IMediaSample* out) override;
  // Restamp, then the sample itself goes on (or its copy, see above).
  HRESULT Receive(IMediaSample* sample) override;

 protected:
  // What `out` leaves with, from `in` (the same sample on the uncopied
  // way). The base changes nothing.
  virtual HRESULT Restamp(IMediaSample* in, IMediaSample* out);
  // Whether the sample at hand brings a new format: then it is copied, so
  // that the output buffer carries the format in its output form.
  virtual bool BringsNewFormat();
  // The output form of the new format the sample at hand brings; false
  // when it brings none. The base passes the input's own type.
  virtual bool NewOutputFormat(CMediaType* mt);

  // The sample to pass on for `in` (a new reference): `in` itself, or its
  // copy when it brings a new format. S_FALSE, and none, when there is
  // nothing sound to pass on (no data, or more than an output buffer holds).
  HRESULT SampleToPass(IMediaSample* in, IMediaSample** out);
};
