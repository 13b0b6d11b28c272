// SPDX-License-Identifier: GPL-3.0-or-later
// Baseline JPEG encoder: standard JFIF streams and the frame's own device
// picture stream (same entropy coding, different container).
//
// Input pictures use the encoder input layout of Bmp.h (bottom-up rows of
// B, G, R bytes, each row padded to a multiple of 4 bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/coder/CodecTables.h"

namespace kestova {

// Instruction-set paths of the encoder's vectorised stages (colour
// conversion, forward DCT, quantisation). Every path gives the same bytes.
enum class EncoderPath { Portable, Avx2 };
const char* EncoderPathName(EncoderPath path);
// The paths this processor can run, the portable one first.
std::vector<EncoderPath> AvailableEncoderPaths();
// Makes every encoder built from now on use `path`; false (and no change)
// when the processor cannot run it. At start the best available path is
// used, or the one the environment variable KESTOVA_ENCODER_PATH names
// ("portable", "avx2") when the processor can run it.
bool SetEncoderPath(EncoderPath path);
EncoderPath CurrentEncoderPath();

namespace encoder {
// Quantisation helpers of one component, derived from the divisors d:
// half = d >> 1, thr = d - half (the smallest magnitude that does not
// quantise to 0), recip = floor(2^31 / d) + 1, an exact reciprocal for every
// dividend the DCT can produce (t * d < 2^31).
struct QuantSet {
    alignas(32) std::int32_t thr[64];
    alignas(32) std::uint32_t half[64];
    alignas(32) std::uint32_t recip[64];
};
struct Kernels;
}  // namespace encoder

// One Huffman code table: code and length per symbol, plus the count list
// (entry 0 unused) and symbol list it was built from.
struct tag_HUFFMAN_TABLE {
    std::uint32_t code[256];
    std::uint8_t size[256];  // 0 = symbol has no code
    std::uint8_t bits[17];
    std::uint8_t val[256];
};


// The quality-independent half of encoding one picture: tile fill, colour
// conversion and forward DCT of every block, kept so that the same picture
// can be quantised and entropy-coded at several qualities cheaply.
// Blocks are stored MCU by MCU as Y0 .. Y(n-1), Cb, Cr, 64 coefficients each
// in natural order.
class CDctPicture {
public:
    // False for a null input, a width or height below 1 or above 65535.
    bool Build(const std::uint8_t* input, int width, int height, int mode);

    int Width() const { return width_; }
    int Height() const { return height_; }
    int Mode() const { return mode_; }
    const SamplingGeometry& Geometry() const { return geo_; }
    const std::int32_t* Mcu(std::size_t index) const {
        return coeffs_.get() + index * std::size_t(geo_.yBlocks + 2) * 64;
    }
    bool Empty() const { return !coeffs_; }

private:
    int width_ = 0, height_ = 0, mode_ = 0;
    SamplingGeometry geo_{};
    // Every element is written by Build before it is read, so the storage
    // is left uninitialised rather than cleared first.
    std::unique_ptr<std::int32_t[]> coeffs_;
};

class CQuavJpegEncoder {
public:
    // Quality is kept as a 16-bit value; 0 acts as 1, above 100 as 100.
    explicit CQuavJpegEncoder(int quality);

    // true: standard baseline JFIF; false (the default): device picture.
    void SetStandard(bool standard) { standard_ = standard; }
    bool Standard() const { return standard_; }

    // Compresses `input` (encoder input layout, width x height) into `output`
    // of `outCapacity` bytes. `mode` is the sampling mode (taken & 3).
    // Returns false (outSize untouched) for null buffers, a width or height
    // below 1 or above 65535, or when the stream would not fit into
    // outCapacity bytes; nothing is ever written past output + outCapacity.
    bool CompressImage(const std::uint8_t* input, std::uint8_t* output, std::size_t outCapacity,
                       int width, int height, std::size_t& outSize, int mode);

    // The same from a picture whose colour conversion and DCT are done; gives
    // exactly the bytes CompressImage gives for the same picture and mode.
    bool CompressDct(const CDctPicture& picture, std::uint8_t* output, std::size_t outCapacity,
                     std::size_t& outSize);

    // An upper bound of the stream size for any picture of this size; a
    // buffer this large never makes CompressImage fail for lack of room.
    static std::size_t MaxOutputSize(int width, int height, int mode, bool standard);

    // Table access (natural order).
    int Quality() const { return quality_; }
    int ScaleFactor() const { return scale_; }
    const std::uint8_t* LumTable() const { return lumTable_; }
    const std::uint8_t* ChromTable() const { return chromTable_; }
    const std::uint16_t* LumDivisors() const { return lumDiv_; }
    const std::uint16_t* ChromDivisors() const { return chromDiv_; }
    const tag_HUFFMAN_TABLE& Huffman(int i) const { return huff_[i]; }

    // The forward DCT of the current path on one block, natural order in
    // and out.
    static void ForwardDct(std::int32_t* block);

private:
    friend class CDctPicture;
    struct Writer;

    void InitEncoder();
    void InitQuantTable();
    void InitHuffmanTable();
    static void ScaleTable(const std::uint8_t* base, int scale, std::uint8_t* table);
    static void ComputeHuffmanTable(const std::uint8_t* bits, const std::uint8_t* val,
                                    tag_HUFFMAN_TABLE& table);

    bool Begin(int width, int height, int mode, std::uint8_t* output, std::size_t cap,
               Writer& w);
    bool WriteJpegHeader(Writer& w);
    bool write_app0(Writer& w);
    bool write_sof(Writer& w, std::uint8_t marker);
    bool write_sos(Writer& w);
    bool Finish(Writer& w, std::size_t& outSize);
    // Codes one MCU whose blocks are given as Y0..Y(n-1), Cb, Cr
    // (EncoderHuffman.cpp).
    bool CodeMcu(const std::int32_t* blocks, Writer& w);
    // Colour conversion and DCT of one MCU; rows[k]: MCU row k (B, G, R
    // bytes from the MCU's left edge).
    void CompressOneTile(const std::uint8_t* const* rows, std::int32_t* blocks) const;
    // Quantises and codes one block (natural order) of a component.
    bool HuffmanEncode(const std::int32_t* coef, const encoder::QuantSet& qs, int component,
                       Writer& w);

    std::uint16_t quality_ = 0;
    std::uint16_t scale_ = 0;
    std::uint16_t lumDiv_[64];
    std::uint16_t chromDiv_[64];
    encoder::QuantSet lumQ_;
    encoder::QuantSet chromQ_;
    const encoder::Kernels* kernels_ = nullptr;  // the path, fixed at construction
    std::uint8_t lumTable_[64];
    std::uint8_t chromTable_[64];
    tag_HUFFMAN_TABLE huff_[4];  // lum DC, lum AC, chrom DC, chrom AC

    int width_ = 0, height_ = 0;
    std::int32_t pred_[3] = {0, 0, 0};
    int samplingIndex_ = 0;
    int mode_ = 0;
    SamplingGeometry geo_{};
    bool standard_ = false;
};

}  // namespace kestova
