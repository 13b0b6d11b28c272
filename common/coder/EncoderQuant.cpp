// SPDX-License-Identifier: GPL-3.0-or-later
// Quantisation stage: each coefficient c with divisor d becomes
// sign(c) * ((|c| + d / 2) / d), rounded to nearest with halves away from
// zero, computed as ((|c| + half) * recip) >> 31 with the exact reciprocal of
// the quantisation set; the result also says which positions are non-zero,
// as bits in zigzag order, so the entropy coder visits only those.
#include "common/coder/EncoderStages.h"

#include <bit>

#if KESTOVA_ENCODER_X86
#include <immintrin.h>
#endif

namespace kestova::encoder {

namespace {

// kZigzagBits.t[r][b]: the bits, in zigzag order, of the natural positions
// 8r .. 8r+7 whose bits are set in b; turns a row's non-zero mask into
// zigzag bits with one look-up.
struct ZigzagBits {
    std::uint64_t t[8][256];
};
constexpr ZigzagBits MakeZigzagBits() {
    ZigzagBits z{};
    for (int r = 0; r < 8; ++r)
        for (int b = 0; b < 256; ++b) {
            std::uint64_t m = 0;
            for (int c = 0; c < 8; ++c)
                if (b & (1 << c)) m |= std::uint64_t(1) << kNaturalToZigzag[std::size_t(r * 8 + c)];
            z.t[r][b] = m;
        }
    return z;
}
constexpr ZigzagBits kZigzagBits = MakeZigzagBits();


inline std::int32_t QuantizeOne(std::int32_t c, const QuantSet& qs, int i) {
    const std::int32_t sign = c >> 31;
    const std::uint32_t t = std::uint32_t((c ^ sign) - sign) + qs.half[i];
    const std::int32_t q = std::int32_t((std::uint64_t(t) * qs.recip[i]) >> 31);
    return (q ^ sign) - sign;
}

std::uint64_t QuantizePortable(const std::int32_t* coef, const QuantSet& qs, std::int32_t* q) {
    // A value quantises to non-zero exactly when |c| + d/2 >= d. The test
    // runs as one straight (vectorisable) loop giving a byte per position;
    // the bytes of each row are gathered into 8 bits by one multiplication
    // (byte j lands on bit 56 + j, with no carries) and the rows' bits are
    // moved to their zigzag positions by table. Only the non-zero values
    // are then divided.
    alignas(16) std::uint8_t nz[64];
    for (int i = 0; i < 64; ++i) {
        const std::int32_t c = coef[i];
        const std::int32_t sign = c >> 31;
        nz[i] = std::uint8_t(((c ^ sign) - sign) >= qs.thr[i]);
    }
    std::uint64_t mask = 0;
    for (int r = 0; r < 8; ++r) {
        std::uint64_t row;
        std::memcpy(&row, nz + 8 * r, 8);
        if (row == 0) continue;
        if constexpr (std::endian::native == std::endian::big) {
            // Byte j of the row belongs at bits 8j.
            std::uint64_t swapped = 0;
            for (int j = 0; j < 8; ++j) swapped |= ((row >> (56 - 8 * j)) & 0xFF) << (8 * j);
            row = swapped;
        }
        mask |= kZigzagBits.t[r][(row * 0x0102040810204080ull) >> 56];
    }
    q[0] = QuantizeOne(coef[0], qs, 0);
    for (std::uint64_t rest = mask & ~std::uint64_t(1); rest; rest &= rest - 1) {
        const int i = kZigzag[std::countr_zero(rest)];
        q[i] = AcParts(QuantizeOne(coef[i], qs, i));
    }
    return mask;
}

}  // namespace

void FillPortableQuant(Kernels& k) { k.quantize = QuantizePortable; }

#if KESTOVA_ENCODER_X86

namespace {

// Row r of the block: its non-zero bits (zigzag order) are returned, the code
// parts stored; for the first row the signed DC value goes to *dc.
template <bool First>
KESTOVA_AVX2_INLINE std::uint64_t QuantizeRowAvx2(const std::int32_t* coef, const QuantSet& qs,
                                                  std::int32_t* q, int r,
                                                  [[maybe_unused]] std::int32_t* dc) {
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(coef + 8 * r));
    const __m256i half = _mm256_load_si256(reinterpret_cast<const __m256i*>(qs.half + 8 * r));
    const __m256i recip = _mm256_load_si256(reinterpret_cast<const __m256i*>(qs.recip + 8 * r));
    const __m256i t = _mm256_add_epi32(_mm256_abs_epi32(c), half);
    const __m256i even = _mm256_srli_epi64(_mm256_mul_epu32(t, recip), 31);
    const __m256i odd = _mm256_srli_epi64(
        _mm256_mul_epu32(_mm256_srli_epi64(t, 32), _mm256_srli_epi64(recip, 32)), 31);
    __m256i mag = _mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA);
    const __m256i nonzero = _mm256_cmpgt_epi32(mag, _mm256_setzero_si256());
    const int bits = _mm256_movemask_ps(_mm256_castsi256_ps(nonzero));
    if constexpr (First) *dc = _mm256_cvtsi256_si32(_mm256_sign_epi32(mag, c));
    mag = _mm256_min_epi32(mag, _mm256_set1_epi32(1023));
    const __m256i exponent = _mm256_srli_epi32(_mm256_castps_si256(_mm256_cvtepi32_ps(mag)), 23);
    const __m256i n = _mm256_max_epi32(_mm256_sub_epi32(exponent, _mm256_set1_epi32(126)),
                                       _mm256_setzero_si256());
    const __m256i sign = _mm256_srai_epi32(c, 31);
    const __m256i extra = _mm256_and_si256(_mm256_xor_si256(mag, sign),
                                           _mm256_sub_epi32(_mm256_sllv_epi32(one, n), one));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(q + 8 * r),
                        _mm256_or_si256(_mm256_slli_epi32(extra, 4), n));
    return kZigzagBits.t[r][bits];
}

// All 64 values, eight lanes at a time, with the same arithmetic: the
// 32 x 32 -> 64-bit products come from the even and the odd lanes in turn.
// The AC code parts follow in the same lanes: the category is read off the
// exponent of the magnitude converted to float (exact below 2^24), the extra
// bits are (m ^ sign) under a mask of n bits.
KESTOVA_AVX2 std::uint64_t QuantizeAvx2(const std::int32_t* coef, const QuantSet& qs,
                                        std::int32_t* q) {
    std::int32_t dc = 0;
    std::uint64_t mask = QuantizeRowAvx2<true>(coef, qs, q, 0, &dc);
    // Written out: a loop's exit would be one mispredicted branch per block.
    mask |= QuantizeRowAvx2<false>(coef, qs, q, 1, nullptr);
    mask |= QuantizeRowAvx2<false>(coef, qs, q, 2, nullptr);
    mask |= QuantizeRowAvx2<false>(coef, qs, q, 3, nullptr);
    mask |= QuantizeRowAvx2<false>(coef, qs, q, 4, nullptr);
    mask |= QuantizeRowAvx2<false>(coef, qs, q, 5, nullptr);
    mask |= QuantizeRowAvx2<false>(coef, qs, q, 6, nullptr);
    mask |= QuantizeRowAvx2<false>(coef, qs, q, 7, nullptr);
    q[0] = dc;
    return mask;
}

}  // namespace

void FillAvx2Quant(Kernels& k) { k.quantize = QuantizeAvx2; }

#endif

}  // namespace kestova::encoder
