// YUV frames to BGR or RGB as videoconvert makes them; see yuv.hpp.
#include "yuv.hpp"

#include <libyuv/convert_from_argb.h>

#include <cmath>
#include <limits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define YUV_AVX2 1
#endif

namespace yuv {
namespace {

// videoconvert's colour matrices: 4 x 4 doubles, each step multiplied in
// from the left, in its order of summation, so that the rounded
// coefficients come out the same.
struct Matrix {
    double m[4][4];
};

Matrix identity() {
    Matrix out{};
    for (int i = 0; i < 4; ++i) {
        out.m[i][i] = 1.0;
    }
    return out;
}

// m = a * m
void apply(const Matrix& a, Matrix& m) {
    Matrix product{};
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            double sum = 0;
            for (int k = 0; k < 4; ++k) {
                sum += a.m[i][k] * m.m[k][j];
            }
            product.m[i][j] = sum;
        }
    }
    m = product;
}

void scale(Matrix& m, double a1, double a2, double a3) {
    Matrix a = identity();
    a.m[0][0] = a1;
    a.m[1][1] = a2;
    a.m[2][2] = a3;
    apply(a, m);
}

void offset(Matrix& m, double a1, double a2, double a3) {
    Matrix a = identity();
    a.m[0][3] = a1;
    a.m[1][3] = a2;
    a.m[2][3] = a3;
    apply(a, m);
}

void ycbcr_to_rgb(Matrix& m, double kr, double kb) {
    const double kg = 1.0 - kr - kb;
    const Matrix k = {{
        {1., 0., 2 * (1 - kr), 0.},
        {1., -2 * kb * (1 - kb) / kg, -2 * kr * (1 - kr) / kg, 0.},
        {1., 2 * (1 - kb), 0., 0.},
        {0., 0., 0., 1.},
    }};
    apply(k, m);
}

bool to_int16(double value, std::int16_t& out) {
    const double rounded = std::rint(value);
    if (rounded < std::numeric_limits<std::int16_t>::min() ||
        rounded > std::numeric_limits<std::int16_t>::max()) {
        return false;
    }
    out = static_cast<std::int16_t>(rounded);
    return true;
}

// -- the formula, one pixel at a time ----------------------------------------

// Pixel x of a row of four bytes a pixel.
std::uint8_t* pixel(std::uint8_t* row, int x) { return row + static_cast<std::ptrdiff_t>(x) * 4; }

// A byte less 128 (the byte with its top bit flipped, read as signed),
// repeated in both bytes of a 16-bit word.
int splat(std::uint8_t value) {
    const int low = static_cast<int>(value) - 128;
    return low * 256 + (low & 0xff);
}

// The high 16 bits of the signed product.
int mulhs(int word, int coefficient) { return (word * coefficient) >> 16; }

int wrap16(int value) { return static_cast<std::int16_t>(value); }

std::uint8_t saturate(int value) {
    value = value < -128 ? -128 : (value > 127 ? 127 : value);
    return static_cast<std::uint8_t>(value + 128);
}

// Pixels [from, to) of one row into `bgrx`, four bytes each.
void row_scalar(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
                bool subsampled, const Coefficients& c, bool rgb, int from, int to,
                std::uint8_t* bgrx) {
    for (int x = from; x < to; ++x) {
        const int chroma = subsampled ? x >> 1 : x;
        const int wy = mulhs(splat(y[x]), c.y);
        const int wu = splat(u[chroma]);
        const int wv = splat(v[chroma]);
        const std::uint8_t r = saturate(wrap16(wy + mulhs(wv, c.v_r)));
        const std::uint8_t b = saturate(wrap16(wy + mulhs(wu, c.u_b)));
        const std::uint8_t g =
            saturate(wrap16(wrap16(wy + mulhs(wu, c.u_g)) + mulhs(wv, c.v_g)));
        std::uint8_t* out = pixel(bgrx, x);
        out[0] = rgb ? r : b;
        out[1] = g;
        out[2] = rgb ? b : r;
        out[3] = 0xff;
    }
}

#if defined(__SSE2__)

// The same formula on 16 pixels at once: the instructions map one to one
// (splat: a byte unpacked with itself; mulhs: pmulhw; the saturation:
// packsswb).  Returns the first pixel it left to row_scalar.
int row_sse2(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v,
             bool subsampled, const Coefficients& c, bool rgb, int width, std::uint8_t* bgrx) {
    const __m128i bias = _mm_set1_epi8(static_cast<char>(0x80));
    const __m128i opaque = _mm_set1_epi8(static_cast<char>(0xff));
    const __m128i cy = _mm_set1_epi16(c.y);
    const __m128i cvr = _mm_set1_epi16(c.v_r);
    const __m128i cub = _mm_set1_epi16(c.u_b);
    const __m128i cug = _mm_set1_epi16(c.u_g);
    const __m128i cvg = _mm_set1_epi16(c.v_g);
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m128i y8 =
            _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y + x)), bias);
        __m128i u8;
        __m128i v8;
        if (subsampled) {
            u8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + x / 2));
            v8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + x / 2));
            u8 = _mm_xor_si128(_mm_unpacklo_epi8(u8, u8), bias);
            v8 = _mm_xor_si128(_mm_unpacklo_epi8(v8, v8), bias);
        } else {
            u8 = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(u + x)), bias);
            v8 = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + x)), bias);
        }
        __m128i channel[3][2];  // b, g, r; pixels 0-7 and 8-15 as words
        for (int half = 0; half < 2; ++half) {
            const __m128i wy0 = half ? _mm_unpackhi_epi8(y8, y8) : _mm_unpacklo_epi8(y8, y8);
            const __m128i wu = half ? _mm_unpackhi_epi8(u8, u8) : _mm_unpacklo_epi8(u8, u8);
            const __m128i wv = half ? _mm_unpackhi_epi8(v8, v8) : _mm_unpacklo_epi8(v8, v8);
            const __m128i wy = _mm_mulhi_epi16(wy0, cy);
            channel[2][half] = _mm_add_epi16(wy, _mm_mulhi_epi16(wv, cvr));
            channel[0][half] = _mm_add_epi16(wy, _mm_mulhi_epi16(wu, cub));
            channel[1][half] = _mm_add_epi16(_mm_add_epi16(wy, _mm_mulhi_epi16(wu, cug)),
                                             _mm_mulhi_epi16(wv, cvg));
        }
        const __m128i b = _mm_xor_si128(_mm_packs_epi16(channel[0][0], channel[0][1]), bias);
        const __m128i g = _mm_xor_si128(_mm_packs_epi16(channel[1][0], channel[1][1]), bias);
        const __m128i r = _mm_xor_si128(_mm_packs_epi16(channel[2][0], channel[2][1]), bias);
        const __m128i first = rgb ? r : b;
        const __m128i third = rgb ? b : r;
        const __m128i fg_lo = _mm_unpacklo_epi8(first, g);
        const __m128i fg_hi = _mm_unpackhi_epi8(first, g);
        const __m128i tx_lo = _mm_unpacklo_epi8(third, opaque);
        const __m128i tx_hi = _mm_unpackhi_epi8(third, opaque);
        auto* out = reinterpret_cast<__m128i*>(pixel(bgrx, x));
        _mm_storeu_si128(out, _mm_unpacklo_epi16(fg_lo, tx_lo));
        _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(fg_lo, tx_lo));
        _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(fg_hi, tx_hi));
        _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(fg_hi, tx_hi));
    }
    return x;
}

#endif

#if defined(YUV_AVX2)

// The chroma of pixels x to x + 31: each sample twice when subsampled.
__attribute__((target("avx2"))) __m256i chroma_avx2(const std::uint8_t* plane, int x,
                                                    bool subsampled) {
    if (!subsampled) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(plane + x));
    }
    const __m128i half = _mm_loadu_si128(reinterpret_cast<const __m128i*>(plane + x / 2));
    return _mm256_set_m128i(_mm_unpackhi_epi8(half, half), _mm_unpacklo_epi8(half, half));
}

// row_sse2 on 32 pixels at once, for processors with AVX2 (chosen at run
// time).  Unpacking works within each 128-bit half, and the packing after it
// undoes that; only the chroma of I420 and the final pixels need the halves
// put in order.
__attribute__((target("avx2"))) int row_avx2(const std::uint8_t* y, const std::uint8_t* u,
                                             const std::uint8_t* v, bool subsampled,
                                             const Coefficients& c, bool rgb, int width,
                                             std::uint8_t* bgrx) {
    const __m256i bias = _mm256_set1_epi8(static_cast<char>(0x80));
    const __m256i opaque = _mm256_set1_epi8(static_cast<char>(0xff));
    const __m256i cy = _mm256_set1_epi16(c.y);
    const __m256i cvr = _mm256_set1_epi16(c.v_r);
    const __m256i cub = _mm256_set1_epi16(c.u_b);
    const __m256i cug = _mm256_set1_epi16(c.u_g);
    const __m256i cvg = _mm256_set1_epi16(c.v_g);
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        const __m256i y8 =
            _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + x)), bias);
        const __m256i u8 = _mm256_xor_si256(chroma_avx2(u, x, subsampled), bias);
        const __m256i v8 = _mm256_xor_si256(chroma_avx2(v, x, subsampled), bias);
        __m256i channel[3][2];
        for (int half = 0; half < 2; ++half) {
            const __m256i wy0 = half ? _mm256_unpackhi_epi8(y8, y8) : _mm256_unpacklo_epi8(y8, y8);
            const __m256i wu = half ? _mm256_unpackhi_epi8(u8, u8) : _mm256_unpacklo_epi8(u8, u8);
            const __m256i wv = half ? _mm256_unpackhi_epi8(v8, v8) : _mm256_unpacklo_epi8(v8, v8);
            const __m256i wy = _mm256_mulhi_epi16(wy0, cy);
            channel[2][half] = _mm256_add_epi16(wy, _mm256_mulhi_epi16(wv, cvr));
            channel[0][half] = _mm256_add_epi16(wy, _mm256_mulhi_epi16(wu, cub));
            channel[1][half] = _mm256_add_epi16(_mm256_add_epi16(wy, _mm256_mulhi_epi16(wu, cug)),
                                                _mm256_mulhi_epi16(wv, cvg));
        }
        const __m256i b = _mm256_xor_si256(_mm256_packs_epi16(channel[0][0], channel[0][1]), bias);
        const __m256i g = _mm256_xor_si256(_mm256_packs_epi16(channel[1][0], channel[1][1]), bias);
        const __m256i r = _mm256_xor_si256(_mm256_packs_epi16(channel[2][0], channel[2][1]), bias);
        const __m256i first = rgb ? r : b;
        const __m256i third = rgb ? b : r;
        const __m256i fg_lo = _mm256_unpacklo_epi8(first, g);
        const __m256i fg_hi = _mm256_unpackhi_epi8(first, g);
        const __m256i tx_lo = _mm256_unpacklo_epi8(third, opaque);
        const __m256i tx_hi = _mm256_unpackhi_epi8(third, opaque);
        // Pixels 0-3 | 16-19, 4-7 | 20-23, 8-11 | 24-27, 12-15 | 28-31.
        const __m256i p0 = _mm256_unpacklo_epi16(fg_lo, tx_lo);
        const __m256i p1 = _mm256_unpackhi_epi16(fg_lo, tx_lo);
        const __m256i p2 = _mm256_unpacklo_epi16(fg_hi, tx_hi);
        const __m256i p3 = _mm256_unpackhi_epi16(fg_hi, tx_hi);
        auto* out = reinterpret_cast<__m256i*>(pixel(bgrx, x));
        _mm256_storeu_si256(out, _mm256_permute2x128_si256(p0, p1, 0x20));
        _mm256_storeu_si256(out + 1, _mm256_permute2x128_si256(p2, p3, 0x20));
        _mm256_storeu_si256(out + 2, _mm256_permute2x128_si256(p0, p1, 0x31));
        _mm256_storeu_si256(out + 3, _mm256_permute2x128_si256(p2, p3, 0x31));
    }
    return x;
}

bool has_avx2() {
    static const bool avx2 = __builtin_cpu_supports("avx2") != 0;
    return avx2;
}

#endif

}  // namespace

bool reproducible(const GstVideoInfo& info, Coefficients& coefficients) {
    const GstVideoFormat format = GST_VIDEO_INFO_FORMAT(&info);
    if ((format != GST_VIDEO_FORMAT_I420 && format != GST_VIDEO_FORMAT_YV12 &&
         format != GST_VIDEO_FORMAT_Y444) ||
        GST_VIDEO_INFO_IS_INTERLACED(&info)) {
        return false;
    }
    double kr = 0;
    double kb = 0;
    if (!gst_video_color_matrix_get_Kr_Kb(info.colorimetry.matrix, &kr, &kb)) {
        return false;
    }
    // videoconvert's steps for YUV unpacked as AYUV and packed as ARGB.
    int offsets[GST_VIDEO_MAX_COMPONENTS];
    int scales[GST_VIDEO_MAX_COMPONENTS];
    gst_video_color_range_offsets(info.colorimetry.range,
                                  gst_video_format_get_info(GST_VIDEO_FORMAT_AYUV), offsets,
                                  scales);
    Matrix m = identity();
    offset(m, -offsets[0], -offsets[1], -offsets[2]);
    // The reciprocals in single precision, as videoconvert computes them.
    scale(m, 1 / static_cast<float>(scales[0]), 1 / static_cast<float>(scales[1]),
          1 / static_cast<float>(scales[2]));
    ycbcr_to_rgb(m, kr, kb);
    scale(m, 255.0, 255.0, 255.0);
    offset(m, 0, 0, 0);
    scale(m, 256.0, 256.0, 256.0);
    return to_int16(m.m[0][0], coefficients.y) && to_int16(m.m[0][2], coefficients.v_r) &&
           to_int16(m.m[2][1], coefficients.u_b) && to_int16(m.m[1][1], coefficients.u_g) &&
           to_int16(m.m[1][2], coefficients.v_g);
}

void convert(const Planes& in, int width, int height, const Coefficients& coefficients, bool rgb,
             std::uint8_t* out, int out_stride) {
    std::vector<std::uint8_t> bgrx(static_cast<size_t>(width) * 4);
    for (int row = 0; row < height; ++row) {
        const int chroma_row = in.subsampled ? row >> 1 : row;
        const std::uint8_t* y = in.y + static_cast<std::ptrdiff_t>(row) * in.y_stride;
        const std::uint8_t* u = in.u + static_cast<std::ptrdiff_t>(chroma_row) * in.u_stride;
        const std::uint8_t* v = in.v + static_cast<std::ptrdiff_t>(chroma_row) * in.v_stride;
        int done = 0;
#if defined(YUV_AVX2)
        if (has_avx2()) {
            done = row_avx2(y, u, v, in.subsampled, coefficients, rgb, width, bgrx.data());
        }
#endif
#if defined(__SSE2__)
        done += row_sse2(y + done, u + (in.subsampled ? done / 2 : done),
                         v + (in.subsampled ? done / 2 : done), in.subsampled, coefficients, rgb,
                         width - done, pixel(bgrx.data(), done));
#endif
        row_scalar(y, u, v, in.subsampled, coefficients, rgb, done, width, bgrx.data());
        // libyuv's "RGB24" keeps the first three bytes of each four in order.
        libyuv::ARGBToRGB24(bgrx.data(), 0, out + static_cast<std::ptrdiff_t>(row) * out_stride,
                            0, width, 1);
    }
}

}  // namespace yuv
