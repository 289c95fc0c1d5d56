// The inverse DCTs a D2V project may choose (its iDCT_Algorithm value):
//   1, 2  fixed point with 16-bit tables and a tangent-form column pass
//         (2 was the same transform on processors with SSE; here both use
//         the SSE2 form where there is one, which gives the same bytes)
//   3     single-precision floating point
//   4     the double-precision reference
// Each comes as a routine set of the shared picture decoder: its motion
// compensation with this transform.
#pragma once

#include <cstdint>

#include "decoders/mpeg2video/Mpeg2Dsp.h"

// The routine set for an iDCT_Algorithm value (1 to 4) and CPU feature word.
const CMpeg2Dsp& D2VDsp(int algorithm, uint32_t cpuFeatures);

// The bare transforms: 64 coefficients in raster order to 64 residuals.
// Variants 3 and 4 limit their results to -256..255.
void D2VIdctReference(const int16_t* in, int16_t* out);
void D2VIdctFloat(const int16_t* in, int16_t* out);
void D2VIdctFixed(const int16_t* in, int16_t* out);
// The SSE2 form of D2VIdctFixed; false where the build has no SSE2. `in`
// must be 16-byte aligned.
bool D2VIdctFixedSse2(const int16_t* in, int16_t* out);
