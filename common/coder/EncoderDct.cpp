// SPDX-License-Identifier: GPL-3.0-or-later
// Forward DCT stage: the separable integer AAN DCT with 8 fractional bits
// (the integer fast variant of the Independent JPEG Group's algorithm), rows
// first, then columns, on 32-bit integers; every product is (x * c) >> 8
// (arithmetic shift, no rounding). The output is scaled by the AAN factors,
// which the quantisation divisors undo.
#include "common/coder/EncoderStages.h"

#if KESTOVA_ENCODER_X86
#include <immintrin.h>
#endif

namespace kestova::encoder {

namespace {

constexpr std::int32_t c0_707 = 181, c0_382 = 98, c0_541 = 139, c1_306 = 334;

// One 8-point pass over the eight lines of a block: elements of a line are
// Step apart, lines are Next apart. With Next = 1 the loop runs across
// contiguous lines, which the compiler vectorises on the baseline
// instruction set.
template <int Step, int Next>
inline void Dct8(std::int32_t* data) {
    for (int line = 0; line < 8; ++line) {
        std::int32_t* d = data + line * Next;
        const std::int32_t tmp0 = d[0 * Step] + d[7 * Step];
        const std::int32_t tmp7 = d[0 * Step] - d[7 * Step];
        const std::int32_t tmp1 = d[1 * Step] + d[6 * Step];
        const std::int32_t tmp6 = d[1 * Step] - d[6 * Step];
        const std::int32_t tmp2 = d[2 * Step] + d[5 * Step];
        const std::int32_t tmp5 = d[2 * Step] - d[5 * Step];
        const std::int32_t tmp3 = d[3 * Step] + d[4 * Step];
        const std::int32_t tmp4 = d[3 * Step] - d[4 * Step];

        std::int32_t tmp10 = tmp0 + tmp3;
        const std::int32_t tmp13 = tmp0 - tmp3;
        std::int32_t tmp11 = tmp1 + tmp2;
        std::int32_t tmp12 = tmp1 - tmp2;
        d[0 * Step] = tmp10 + tmp11;
        d[4 * Step] = tmp10 - tmp11;
        const std::int32_t z1 = ((tmp12 + tmp13) * c0_707) >> 8;
        d[2 * Step] = tmp13 + z1;
        d[6 * Step] = tmp13 - z1;

        tmp10 = tmp4 + tmp5;
        tmp11 = tmp5 + tmp6;
        tmp12 = tmp6 + tmp7;
        const std::int32_t z5 = ((tmp10 - tmp12) * c0_382) >> 8;
        const std::int32_t z2 = ((tmp10 * c0_541) >> 8) + z5;
        const std::int32_t z4 = ((tmp12 * c1_306) >> 8) + z5;
        const std::int32_t z3 = (tmp11 * c0_707) >> 8;
        const std::int32_t z11 = tmp7 + z3;
        const std::int32_t z13 = tmp7 - z3;
        d[5 * Step] = z13 + z2;
        d[3 * Step] = z13 - z2;
        d[1 * Step] = z11 + z4;
        d[7 * Step] = z11 - z4;
    }
}

void DctPortable(std::int32_t* t, std::int32_t* out) {
    // Row pass on the transposed block (line L = picture row L), then the
    // column pass on the block in natural order.
    Dct8<8, 1>(t);
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) out[r * 8 + c] = t[c * 8 + r];
    Dct8<8, 1>(out);
}

}  // namespace

void FillPortableDct(Kernels& k) { k.fdct = DctPortable; }

#if KESTOVA_ENCODER_X86

namespace {


struct Avx2Ops {
    KESTOVA_AVX2_INLINE static __m256i Add(__m256i a, __m256i b) { return _mm256_add_epi32(a, b); }
    KESTOVA_AVX2_INLINE static __m256i Sub(__m256i a, __m256i b) { return _mm256_sub_epi32(a, b); }
    KESTOVA_AVX2_INLINE static __m256i Mul(__m256i a, std::int32_t c) {
        return _mm256_srai_epi32(_mm256_mullo_epi32(a, _mm256_set1_epi32(c)), 8);
    }
};

// The same pass with one vector per element: lane L of dK is element K of
// line L. (Named vectors rather than an array keep everything in registers.)
#define KESTOVA_DCT_ARGS __m256i &d0, __m256i &d1, __m256i &d2, __m256i &d3, __m256i &d4, \
                         __m256i &d5, __m256i &d6, __m256i &d7
KESTOVA_AVX2_INLINE void Butterfly(KESTOVA_DCT_ARGS) {
    using O = Avx2Ops;
    const __m256i tmp0 = O::Add(d0, d7), tmp7 = O::Sub(d0, d7);
    const __m256i tmp1 = O::Add(d1, d6), tmp6 = O::Sub(d1, d6);
    const __m256i tmp2 = O::Add(d2, d5), tmp5 = O::Sub(d2, d5);
    const __m256i tmp3 = O::Add(d3, d4), tmp4 = O::Sub(d3, d4);

    __m256i tmp10 = O::Add(tmp0, tmp3);
    const __m256i tmp13 = O::Sub(tmp0, tmp3);
    __m256i tmp11 = O::Add(tmp1, tmp2);
    __m256i tmp12 = O::Sub(tmp1, tmp2);
    d0 = O::Add(tmp10, tmp11);
    d4 = O::Sub(tmp10, tmp11);
    const __m256i z1 = O::Mul(O::Add(tmp12, tmp13), c0_707);
    d2 = O::Add(tmp13, z1);
    d6 = O::Sub(tmp13, z1);

    tmp10 = O::Add(tmp4, tmp5);
    tmp11 = O::Add(tmp5, tmp6);
    tmp12 = O::Add(tmp6, tmp7);
    const __m256i z5 = O::Mul(O::Sub(tmp10, tmp12), c0_382);
    const __m256i z2 = O::Add(O::Mul(tmp10, c0_541), z5);
    const __m256i z4 = O::Add(O::Mul(tmp12, c1_306), z5);
    const __m256i z3 = O::Mul(tmp11, c0_707);
    const __m256i z11 = O::Add(tmp7, z3);
    const __m256i z13 = O::Sub(tmp7, z3);
    d5 = O::Add(z13, z2);
    d3 = O::Sub(z13, z2);
    d1 = O::Add(z11, z4);
    d7 = O::Sub(z11, z4);
}

KESTOVA_AVX2_INLINE void Transpose(KESTOVA_DCT_ARGS) {
    const __m256i t0 = _mm256_unpacklo_epi32(d0, d1), t1 = _mm256_unpackhi_epi32(d0, d1);
    const __m256i t2 = _mm256_unpacklo_epi32(d2, d3), t3 = _mm256_unpackhi_epi32(d2, d3);
    const __m256i t4 = _mm256_unpacklo_epi32(d4, d5), t5 = _mm256_unpackhi_epi32(d4, d5);
    const __m256i t6 = _mm256_unpacklo_epi32(d6, d7), t7 = _mm256_unpackhi_epi32(d6, d7);
    const __m256i u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
    const __m256i u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
    const __m256i u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
    const __m256i u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
    d0 = _mm256_permute2x128_si256(u0, u4, 0x20);
    d1 = _mm256_permute2x128_si256(u1, u5, 0x20);
    d2 = _mm256_permute2x128_si256(u2, u6, 0x20);
    d3 = _mm256_permute2x128_si256(u3, u7, 0x20);
    d4 = _mm256_permute2x128_si256(u0, u4, 0x31);
    d5 = _mm256_permute2x128_si256(u1, u5, 0x31);
    d6 = _mm256_permute2x128_si256(u2, u6, 0x31);
    d7 = _mm256_permute2x128_si256(u3, u7, 0x31);
}

KESTOVA_AVX2 void DctAvx2(std::int32_t* t, std::int32_t* out) {
    const auto* in = reinterpret_cast<const __m256i*>(t);
    __m256i d0 = _mm256_loadu_si256(in + 0), d1 = _mm256_loadu_si256(in + 1);
    __m256i d2 = _mm256_loadu_si256(in + 2), d3 = _mm256_loadu_si256(in + 3);
    __m256i d4 = _mm256_loadu_si256(in + 4), d5 = _mm256_loadu_si256(in + 5);
    __m256i d6 = _mm256_loadu_si256(in + 6), d7 = _mm256_loadu_si256(in + 7);
    Butterfly(d0, d1, d2, d3, d4, d5, d6, d7);
    Transpose(d0, d1, d2, d3, d4, d5, d6, d7);
    Butterfly(d0, d1, d2, d3, d4, d5, d6, d7);
    auto* o = reinterpret_cast<__m256i*>(out);
    _mm256_storeu_si256(o + 0, d0);
    _mm256_storeu_si256(o + 1, d1);
    _mm256_storeu_si256(o + 2, d2);
    _mm256_storeu_si256(o + 3, d3);
    _mm256_storeu_si256(o + 4, d4);
    _mm256_storeu_si256(o + 5, d5);
    _mm256_storeu_si256(o + 6, d6);
    _mm256_storeu_si256(o + 7, d7);
}
#undef KESTOVA_DCT_ARGS

}  // namespace

void FillAvx2Dct(Kernels& k) { k.fdct = DctAvx2; }

#endif

}  // namespace kestova::encoder
