// SPDX-License-Identifier: GPL-3.0-or-later
// Colour conversion stage: one MCU of B, G, R pixels into level-shifted Y,
// Cb and Cr blocks, written transposed for the DCT. Chroma is decimated (the
// top-left pixel of each 2 x 2, 2 x 1 or 1 x 2 group, no averaging).
#include "common/coder/EncoderStages.h"

#if KESTOVA_ENCODER_X86
#include <immintrin.h>
#endif

namespace kestova::encoder {

namespace {

// MCU shape of sampling index Idx.
template <int Idx>
struct Shape {
    static constexpr bool subH = (Idx & 1) != 0, subV = (Idx & 2) != 0;
    static constexpr int w = subH ? 16 : 8, h = subV ? 16 : 8;
    static constexpr int yBlocks = (w / 8) * (h / 8);
    static constexpr int rowStep = subV ? 2 : 1, colStep = subH ? 2 : 1;
};

// The products as tables indexed by an 8-bit component (three look-ups and
// two additions per sample on the scalar path), the bias folded into the B
// entries: kTab[0..2] = R, G, B for Y; [3..5] for Cb; [6..8] for Cr.
struct ColourTables {
    std::int32_t t[9][256];
};
constexpr ColourTables MakeColourTables() {
    ColourTables c{};
    for (int i = 0; i < 256; ++i) {
        c.t[0][i] = kYR * i;
        c.t[1][i] = kYG * i;
        c.t[2][i] = kYB * i + kYBias;
        c.t[3][i] = kCbR * i;
        c.t[4][i] = kCbG * i;
        c.t[5][i] = kCbB * i + kCBias;
        c.t[6][i] = kCrR * i;
        c.t[7][i] = kCrG * i;
        c.t[8][i] = kCrB * i + kCBias;
    }
    return c;
}
constexpr ColourTables kTab = MakeColourTables();

template <int Idx>
void ConvertMcuPortable(const std::uint8_t* const* rows, std::int32_t* blocks) {
    using S = Shape<Idx>;
    std::int32_t* const cb = blocks + S::yBlocks * 64;
    std::int32_t* const cr = cb + 64;
    const std::int32_t *ry = kTab.t[0], *gy = kTab.t[1], *by = kTab.t[2];
    const std::int32_t *rcb = kTab.t[3], *gcb = kTab.t[4], *bcb = kTab.t[5];
    const std::int32_t *rcr = kTab.t[6], *gcr = kTab.t[7], *bcr = kTab.t[8];
    // Y: every pixel, into block (col / 8) + 2 * (row / 8) of a 16-wide MCU
    // or block (row / 8) of an 8-wide one.
    for (int row = 0; row < S::h; ++row) {
        for (int half = 0; half < S::w / 8; ++half) {
            const std::uint8_t* q = rows[row] + half * 24;
            std::int32_t* dst =
                blocks + (S::w == 16 ? half + 2 * (row >> 3) : (row >> 3)) * 64 + (row & 7);
            for (int col = 0; col < 8; ++col, q += 3)
                dst[col * 8] = (ry[q[2]] + gy[q[1]] + by[q[0]]) >> 16;
        }
    }
    for (int row = 0, ci = 0; row < S::h; row += S::rowStep, ++ci) {
        const std::uint8_t* q = rows[row];
        for (int k = 0; k < 8; ++k, q += 3 * S::colStep) {
            const int b = q[0], g = q[1], r = q[2];
            cb[k * 8 + ci] = (rcb[r] + gcb[g] + bcb[b]) >> 16;
            cr[k * 8 + ci] = (rcr[r] + gcr[g] + bcr[b]) >> 16;
        }
    }
}

}  // namespace

void FillPortableColour(Kernels& k) {
    k.convert[0] = ConvertMcuPortable<0>;
    k.convert[1] = ConvertMcuPortable<1>;
    k.convert[2] = ConvertMcuPortable<2>;
    k.convert[3] = ConvertMcuPortable<3>;
}

#if KESTOVA_ENCODER_X86

namespace {


// pshufb masks that gather one component (0 = B, 1 = G, 2 = R) of up to 16
// pixels from the three 16-byte chunks of a 48-byte pixel row: byte j of the
// result is component c of pixel px[j]; 0x80 clears a byte.
struct GatherMasks {
    alignas(16) std::uint8_t m[3][3][16];  // [component][chunk][byte]
};
constexpr GatherMasks MakeGather(const int (&px)[16]) {
    GatherMasks g{};
    for (int c = 0; c < 3; ++c)
        for (int chunk = 0; chunk < 3; ++chunk)
            for (int j = 0; j < 16; ++j) {
                const int at = px[j] < 0 ? -1 : px[j] * 3 + c - 16 * chunk;
                g.m[c][chunk][j] = std::uint8_t(at >= 0 && at < 16 ? at : 0x80);
            }
    return g;
}
constexpr int kAll16[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
constexpr GatherMasks kGatherAll = MakeGather(kAll16);
// Bytes 0, 2, .., 14 of a 16-byte vector: the even pixels' component.
alignas(16) constexpr std::uint8_t kEvenBytes[16] = {0,    2,    4,    6,    8,    10,
                                                     12,   14,   0x80, 0x80, 0x80, 0x80,
                                                     0x80, 0x80, 0x80, 0x80};

// One pixel row of an MCU as up to three 16-byte chunks; nothing is read
// past the MCU's pixels (24 bytes for an 8-wide MCU, 48 for a 16-wide one).
struct RowChunks {
    __m128i c[3];
};
template <int Width>
KESTOVA_AVX2_INLINE RowChunks LoadRow(const std::uint8_t* p) {
    RowChunks r;
    r.c[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    if constexpr (Width == 16) {
        r.c[1] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        r.c[2] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    } else {
        r.c[1] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 16));
        r.c[2] = _mm_setzero_si128();
    }
    return r;
}

// Component c of the pixels named by `g`, as 16 bytes.
template <int Width>
KESTOVA_AVX2_INLINE __m128i Gather(const RowChunks& r, const GatherMasks& g, int c) {
    const auto* m = reinterpret_cast<const __m128i*>(g.m[c]);
    __m128i v = _mm_or_si128(_mm_shuffle_epi8(r.c[0], _mm_load_si128(m)),
                             _mm_shuffle_epi8(r.c[1], _mm_load_si128(m + 1)));
    if constexpr (Width == 16) v = _mm_or_si128(v, _mm_shuffle_epi8(r.c[2], _mm_load_si128(m + 2)));
    return v;
}

// Widened to 32-bit lanes: bytes 0..7 or 8..15 of v.
KESTOVA_AVX2_INLINE __m256i Lo8(__m128i v) { return _mm256_cvtepu8_epi32(v); }
KESTOVA_AVX2_INLINE __m256i Hi8(__m128i v) { return _mm256_cvtepu8_epi32(_mm_srli_si128(v, 8)); }

KESTOVA_AVX2_INLINE __m256i Mix(__m256i r, __m256i g, __m256i b, std::int32_t kr, std::int32_t kg,
                                std::int32_t kb, std::int32_t bias) {
    const __m256i sum = _mm256_add_epi32(
        _mm256_add_epi32(_mm256_mullo_epi32(r, _mm256_set1_epi32(kr)),
                         _mm256_mullo_epi32(g, _mm256_set1_epi32(kg))),
        _mm256_add_epi32(_mm256_mullo_epi32(b, _mm256_set1_epi32(kb)), _mm256_set1_epi32(bias)));
    return _mm256_srai_epi32(sum, 16);
}

// Transposes the 8 x 8 block whose rows are v[0..7] and stores it at dst
// (row j of the result = column j of the input).
KESTOVA_AVX2_INLINE void StoreTransposed(const __m256i* v, std::int32_t* dst) {
    const __m256i t0 = _mm256_unpacklo_epi32(v[0], v[1]), t1 = _mm256_unpackhi_epi32(v[0], v[1]);
    const __m256i t2 = _mm256_unpacklo_epi32(v[2], v[3]), t3 = _mm256_unpackhi_epi32(v[2], v[3]);
    const __m256i t4 = _mm256_unpacklo_epi32(v[4], v[5]), t5 = _mm256_unpackhi_epi32(v[4], v[5]);
    const __m256i t6 = _mm256_unpacklo_epi32(v[6], v[7]), t7 = _mm256_unpackhi_epi32(v[6], v[7]);
    const __m256i u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
    const __m256i u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
    const __m256i u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
    const __m256i u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
    auto* d = reinterpret_cast<__m256i*>(dst);
    _mm256_storeu_si256(d + 0, _mm256_permute2x128_si256(u0, u4, 0x20));
    _mm256_storeu_si256(d + 1, _mm256_permute2x128_si256(u1, u5, 0x20));
    _mm256_storeu_si256(d + 2, _mm256_permute2x128_si256(u2, u6, 0x20));
    _mm256_storeu_si256(d + 3, _mm256_permute2x128_si256(u3, u7, 0x20));
    _mm256_storeu_si256(d + 4, _mm256_permute2x128_si256(u0, u4, 0x31));
    _mm256_storeu_si256(d + 5, _mm256_permute2x128_si256(u1, u5, 0x31));
    _mm256_storeu_si256(d + 6, _mm256_permute2x128_si256(u2, u6, 0x31));
    _mm256_storeu_si256(d + 7, _mm256_permute2x128_si256(u3, u7, 0x31));
}

template <int Idx>
KESTOVA_AVX2 void ConvertMcuAvx2(const std::uint8_t* const* rows, std::int32_t* blocks) {
    using S = Shape<Idx>;
    // Rows of the Y blocks (natural order) and of the chroma blocks.
    __m256i y[S::yBlocks][8];
    __m256i cb[8], cr[8];
    for (int row = 0; row < S::h; ++row) {
        const RowChunks px = LoadRow<S::w>(rows[row]);
        const __m128i b = Gather<S::w>(px, kGatherAll, 0);
        const __m128i g = Gather<S::w>(px, kGatherAll, 1);
        const __m128i r = Gather<S::w>(px, kGatherAll, 2);
        const int by = row >> 3;
        y[S::w == 16 ? 2 * by : by][row & 7] = Mix(Lo8(r), Lo8(g), Lo8(b), kYR, kYG, kYB, kYBias);
        if constexpr (S::w == 16)
            y[2 * by + 1][row & 7] = Mix(Hi8(r), Hi8(g), Hi8(b), kYR, kYG, kYB, kYBias);
        if (row % S::rowStep != 0) continue;
        __m256i cr8, cg8, cb8;
        if constexpr (S::subH) {
            const __m128i even = _mm_load_si128(reinterpret_cast<const __m128i*>(kEvenBytes));
            cb8 = Lo8(_mm_shuffle_epi8(b, even));
            cg8 = Lo8(_mm_shuffle_epi8(g, even));
            cr8 = Lo8(_mm_shuffle_epi8(r, even));
        } else {
            cb8 = Lo8(b);
            cg8 = Lo8(g);
            cr8 = Lo8(r);
        }
        const int ci = row / S::rowStep;
        cb[ci] = Mix(cr8, cg8, cb8, kCbR, kCbG, kCbB, kCBias);
        cr[ci] = Mix(cr8, cg8, cb8, kCrR, kCrG, kCrB, kCBias);
    }
    for (int k = 0; k < S::yBlocks; ++k) StoreTransposed(y[k], blocks + k * 64);
    StoreTransposed(cb, blocks + S::yBlocks * 64);
    StoreTransposed(cr, blocks + (S::yBlocks + 1) * 64);
}

}  // namespace

void FillAvx2Colour(Kernels& k) {
    k.convert[0] = ConvertMcuAvx2<0>;
    k.convert[1] = ConvertMcuAvx2<1>;
    k.convert[2] = ConvertMcuAvx2<2>;
    k.convert[3] = ConvertMcuAvx2<3>;
}

#endif

}  // namespace kestova::encoder
