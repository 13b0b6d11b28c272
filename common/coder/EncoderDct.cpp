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


// The same pass with one vector per element: lane L of d[i] is element i
// of line L.
template <typename Ops>
KESTOVA_AVX2_INLINE void Butterfly(__m256i* d) {
    const __m256i tmp0 = Ops::Add(d[0], d[7]), tmp7 = Ops::Sub(d[0], d[7]);
    const __m256i tmp1 = Ops::Add(d[1], d[6]), tmp6 = Ops::Sub(d[1], d[6]);
    const __m256i tmp2 = Ops::Add(d[2], d[5]), tmp5 = Ops::Sub(d[2], d[5]);
    const __m256i tmp3 = Ops::Add(d[3], d[4]), tmp4 = Ops::Sub(d[3], d[4]);

    __m256i tmp10 = Ops::Add(tmp0, tmp3);
    const __m256i tmp13 = Ops::Sub(tmp0, tmp3);
    __m256i tmp11 = Ops::Add(tmp1, tmp2);
    __m256i tmp12 = Ops::Sub(tmp1, tmp2);
    d[0] = Ops::Add(tmp10, tmp11);
    d[4] = Ops::Sub(tmp10, tmp11);
    const __m256i z1 = Ops::Mul(Ops::Add(tmp12, tmp13), c0_707);
    d[2] = Ops::Add(tmp13, z1);
    d[6] = Ops::Sub(tmp13, z1);

    tmp10 = Ops::Add(tmp4, tmp5);
    tmp11 = Ops::Add(tmp5, tmp6);
    tmp12 = Ops::Add(tmp6, tmp7);
    const __m256i z5 = Ops::Mul(Ops::Sub(tmp10, tmp12), c0_382);
    const __m256i z2 = Ops::Add(Ops::Mul(tmp10, c0_541), z5);
    const __m256i z4 = Ops::Add(Ops::Mul(tmp12, c1_306), z5);
    const __m256i z3 = Ops::Mul(tmp11, c0_707);
    const __m256i z11 = Ops::Add(tmp7, z3);
    const __m256i z13 = Ops::Sub(tmp7, z3);
    d[5] = Ops::Add(z13, z2);
    d[3] = Ops::Sub(z13, z2);
    d[1] = Ops::Add(z11, z4);
    d[7] = Ops::Sub(z11, z4);
}

struct Avx2Ops {
    KESTOVA_AVX2_INLINE static __m256i Add(__m256i a, __m256i b) { return _mm256_add_epi32(a, b); }
    KESTOVA_AVX2_INLINE static __m256i Sub(__m256i a, __m256i b) { return _mm256_sub_epi32(a, b); }
    KESTOVA_AVX2_INLINE static __m256i Mul(__m256i a, std::int32_t c) {
        return _mm256_srai_epi32(_mm256_mullo_epi32(a, _mm256_set1_epi32(c)), 8);
    }
};

KESTOVA_AVX2_INLINE void Transpose(__m256i* v) {
    const __m256i t0 = _mm256_unpacklo_epi32(v[0], v[1]), t1 = _mm256_unpackhi_epi32(v[0], v[1]);
    const __m256i t2 = _mm256_unpacklo_epi32(v[2], v[3]), t3 = _mm256_unpackhi_epi32(v[2], v[3]);
    const __m256i t4 = _mm256_unpacklo_epi32(v[4], v[5]), t5 = _mm256_unpackhi_epi32(v[4], v[5]);
    const __m256i t6 = _mm256_unpacklo_epi32(v[6], v[7]), t7 = _mm256_unpackhi_epi32(v[6], v[7]);
    const __m256i u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
    const __m256i u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
    const __m256i u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
    const __m256i u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
    v[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
    v[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
    v[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
    v[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
    v[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
    v[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
    v[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
    v[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

KESTOVA_AVX2 void DctAvx2(std::int32_t* t, std::int32_t* out) {
    __m256i v[8];
    for (int i = 0; i < 8; ++i) v[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t) + i);
    Butterfly<Avx2Ops>(v);
    Transpose(v);
    Butterfly<Avx2Ops>(v);
    for (int i = 0; i < 8; ++i) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out) + i, v[i]);
}

}  // namespace

void FillAvx2Dct(Kernels& k) { k.fdct = DctAvx2; }

#endif

}  // namespace kestova::encoder
