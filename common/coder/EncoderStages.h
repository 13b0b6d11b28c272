// SPDX-License-Identifier: GPL-3.0-or-later
// The encoder's stages behind CQuavJpegEncoder, each in its own file:
//
//   EncoderColour.cpp   colour conversion of one MCU into level-shifted blocks
//   EncoderDct.cpp      forward DCT of one block
//   EncoderQuant.cpp    quantisation of one block
//   EncoderHuffman.cpp  entropy coding of one block and the bit writer
//   EncoderDispatch.cpp which implementation of the first three runs
//
// The first three come in a portable form and, where the processor has
// them, vectorised forms; all give exactly the same numbers, so the streams
// do not depend on the path (the byte-for-byte tests run on every path the
// machine can execute). Entropy coding is the same scalar code on every path.
//
// Internal to common/coder: the public face is QuavJpegEncoder.h.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/coder/QuavJpegEncoder.h"

// The vectorised x86 paths need GCC or clang (target attributes).
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define KESTOVA_ENCODER_X86 1
// Functions built for AVX2 inside an ordinary translation unit; helpers are
// forced inline so that they take on their caller's instruction set.
#define KESTOVA_AVX2 __attribute__((target("avx2")))
#define KESTOVA_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline
#else
#define KESTOVA_ENCODER_X86 0
#endif

namespace kestova::encoder {

// Colour conversion (arithmetic form of the fixed-point tables):
//   Y  = (19595 R + 38470 G +  7471 B + 32768) >> 16, minus 128
//   Cb = (-11059 R - 21709 G + 32768 B + 8421375) >> 16, minus 128
//   Cr = (32768 R - 27439 G -  5329 B + 8421375) >> 16, minus 128
// The level shift is folded into the constant: (x - 128 * 65536) >> 16 ==
// (x >> 16) - 128 for any x.
inline constexpr std::int32_t kYR = 19595, kYG = 38470, kYB = 7471;
inline constexpr std::int32_t kYBias = 32768 - (128 << 16);
inline constexpr std::int32_t kCbR = -11059, kCbG = -21709, kCbB = 32768;
inline constexpr std::int32_t kCrR = 32768, kCrG = -27439, kCrB = -5329;
inline constexpr std::int32_t kCBias = 8421375 - (128 << 16);

// Colour conversion of one MCU of sampling index 0..3. rows[k] points at
// MCU row k (from the top): MCU-width pixels of B, G, R bytes, nothing read
// past them. Blocks come out as Y0 .. Y(n-1), Cb, Cr, each TRANSPOSED
// (sample (row, col) at col * 8 + row), the order the DCT's row pass takes.
using ConvertMcuFn = void (*)(const std::uint8_t* const* rows, std::int32_t* blocks);

// Forward DCT of one block given transposed in `t` (used as scratch) into
// `out`, natural order: integer AAN, rows first, then columns, products
// (x * c) >> 8 with c = 181, 98, 139, 334.
using ForwardDctFn = void (*)(std::int32_t* t, std::int32_t* out);

// Quantises one block (natural order): each value rounded to nearest,
// halves away from zero. Returns the non-zero positions as bits in zigzag
// order (bit k = zigzag position k), and fills q (natural order) with what
// the entropy coder needs: q[0] = the quantised DC value; q[i], i > 0, where
// the value is non-zero = its AC code parts, AcParts(v) below. Other entries
// are not written (the entropy coder reads none).
using QuantizeFn = std::uint64_t (*)(const std::int32_t* coef, const QuantSet& qs,
                                     std::int32_t* q);

// The code parts of a non-zero AC value v: bits 0-3 its category n (bit
// length of |v|, after saturating |v| at 1023, the baseline limit: a value
// beyond it, possible only at the finest qualities, would have no code), the
// bits above it the n extra bits (the low n bits of v, or of v - 1 when v is
// negative; for magnitude m those are the low bits of ~m).
inline std::int32_t AcParts(std::int32_t v) {
    const std::uint32_t sign = std::uint32_t(v >> 31);
    std::uint32_t mag = (std::uint32_t(v) ^ sign) - sign;
    mag = mag > 1023 ? 1023 : mag;
    const std::uint32_t n = std::uint32_t(std::bit_width(mag));
    return std::int32_t((((mag ^ sign) & ((1u << n) - 1)) << 4) | n);
}

// The implementations one encoder uses for a whole picture.
struct Kernels {
    EncoderPath path;
    ConvertMcuFn convert[4];  // by sampling index
    ForwardDctFn fdct;
    QuantizeFn quantize;
    // The entropy coder's device-picture blocks use the bit-manipulation
    // instructions (BMI1, BMI2); same source, same bytes.
    bool bmi2;
};

// The stage implementations of each path (defined in the stage files; the
// vectorised ones exist only where the compiler can build them).
void FillPortableColour(Kernels& k);
void FillPortableDct(Kernels& k);
void FillPortableQuant(Kernels& k);
#if KESTOVA_ENCODER_X86
void FillAvx2Colour(Kernels& k);
void FillAvx2Dct(Kernels& k);
void FillAvx2Quant(Kernels& k);
#endif

// The kernels of the current path (EncoderDispatch.cpp).
const Kernels& ActiveKernels();

}  // namespace kestova::encoder

namespace kestova {

// Bounds-checked bit and byte output. In standard streams every 0xFF byte is
// followed by a stuffed 0x00.
struct CQuavJpegEncoder::Writer {
    std::uint8_t* out = nullptr;
    std::size_t cap = 0;
    std::size_t pos = 0;
    std::uint64_t acc = 0;
    int nbits = 0;
    bool stuff = false;
    bool overflow = false;
    std::uint8_t* index = nullptr;  // next MCU index entry (device picture)

    void Byte(std::uint8_t b) {
        if (pos >= cap) {
            overflow = true;
            return;
        }
        out[pos++] = b;
    }
    void Bytes(const std::uint8_t* p, std::size_t n) {
        if (cap - pos < n || pos > cap) {
            overflow = true;
            pos = cap;
            return;
        }
        std::memcpy(out + pos, p, n);
        pos += n;
    }
    void Word(unsigned v) {
        Byte(std::uint8_t(v >> 8));
        Byte(std::uint8_t(v));
    }
    void Bits(std::uint32_t code, int len) {
        acc = (acc << len) | code;
        nbits += len;
        if (nbits >= 32) Drain();
    }
    // Writes every whole byte pending (EncoderHuffman.cpp).
    void Drain();
    // Fills with 1-bits up to the next byte boundary and writes everything.
    void Align() {
        if (nbits & 7) {
            const int fill = 8 - (nbits & 7);
            Bits((1u << fill) - 1, fill);
        }
        Drain();
        acc = 0;
        nbits = 0;
    }
};

}  // namespace kestova
