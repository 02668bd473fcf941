// YUV frames to BGR or RGB, pixel for pixel as GStreamer's videoconvert
// makes them.
//
// For 8-bit I420, YV12 and Y444 that are progressive, videoconvert turns
// YUV into RGB with one formula in 16-bit integers (its "fast path" for
// I420, and the same numbers through its general path for Y444): each
// chroma sample serves the pixels it covers, nothing is interpolated, and
// five coefficients come from the colorimetry (matrix and range).  This
// does the same arithmetic, with AVX2 or SSE2 where the machine has them,
// into four bytes a pixel, as videoconvert does, and libyuv packs each row
// into three bytes a pixel with SIMD code, where videoconvert packs one
// pixel at a time.  The tests compare the pixels with videoconvert's at
// odd sizes in every colorimetry.
#pragma once

#include <gst/video/video.h>

#include <cstdint>

namespace yuv {

// videoconvert's integer coefficients for one colorimetry: Y, V to R, U to
// B, U to G, V to G, in units of 1/256 (of the values as the formula
// scales them).
struct Coefficients {
    std::int16_t y;
    std::int16_t v_r;
    std::int16_t u_b;
    std::int16_t u_g;
    std::int16_t v_g;
};

// Whether frames of `info` are ones that convert() reproduces exactly (8-bit
// I420, YV12 or Y444, progressive, a YUV matrix); then fills `coefficients`.
bool reproducible(const GstVideoInfo& info, Coefficients& coefficients);

// The planes of one YUV frame.
struct Planes {
    const std::uint8_t* y;
    const std::uint8_t* u;
    const std::uint8_t* v;
    int y_stride;
    int u_stride;
    int v_stride;
    bool subsampled;  // I420 and YV12: a chroma sample covers 2 x 2 pixels
};

// Converts a width x height frame into `out` (rows `out_stride` bytes apart)
// as BGR, or RGB when `rgb` is set.  Touches no Python object.
void convert(const Planes& in, int width, int height, const Coefficients& coefficients, bool rgb,
             std::uint8_t* out, int out_stride);

}  // namespace yuv
