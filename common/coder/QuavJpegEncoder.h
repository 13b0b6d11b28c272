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

namespace kestova {

// One Huffman code table: code and length per symbol, plus the count list
// (entry 0 unused) and symbol list it was built from.
struct tag_HUFFMAN_TABLE {
    std::uint32_t code[256];
    std::uint8_t size[256];  // 0 = symbol has no code
    std::uint8_t bits[17];
    std::uint8_t val[256];
};

// Sizes of the fixed parts of a device picture.
inline constexpr std::size_t kDevHeaderSize = 16;
inline constexpr std::size_t kDevIndexEntrySize = 8;
inline constexpr std::size_t kDevQuantSize = 132;
inline constexpr std::size_t kDevHuffSize = 418;

// Geometry of one sampling mode (mode & 3): 0 = 1x1, 1 = 2x1, 2 = 1x2, 3 = 2x2.
struct SamplingGeometry {
    int yBlocks;    // Y blocks per MCU
    int mcuWidth;   // pixels
    int mcuHeight;  // pixels
    int mcusX;      // MCUs per row
    int mcusY;      // MCU rows
};
SamplingGeometry GeometryFor(int width, int height, int mode);

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

    // Fixed tables: Annex K quantisation tables (natural order), AAN scale
    // factors round(16384 * s(u) * s(v)), zigzag position -> natural index.
    static const std::uint8_t kBaseLum[64];
    static const std::uint8_t kBaseChrom[64];
    static const std::uint16_t kAanScales[64];
    static constexpr std::uint8_t kZigzag[64] = {
        0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
        41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
        30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

private:
    friend class CDctPicture;
    struct Writer;

    void InitEncoder();
    void InitColorTable();
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
    // Codes one MCU whose blocks are given as Y0..Y(n-1), Cb, Cr.
    bool CodeMcu(const std::int32_t* blocks, Writer& w);
    // rows[k]: MCU row k (B, G, R bytes from the MCU's left edge).
    void CompressOneTile(const std::uint8_t* const* rows, std::int32_t* blocks) const;
    void BGRToYCbCrEx(const std::uint8_t* const* rows, std::int32_t* blocks) const;
    // Per-component quantisation helpers derived from the divisors d:
    // half = d >> 1, thr = d - half (the smallest magnitude that does not
    // quantise to 0), recip = an exact reciprocal (see InitQuantTable).
    struct QuantSet {
        std::int32_t thr[64];
        std::uint32_t half[64];
        std::uint32_t recip[64];
    };
    // Which quantised values of a block (natural order) are non-zero, as
    // bits in zigzag order (bit k = zigzag position k).
    static std::uint64_t Quantize(const std::int32_t* coef, const QuantSet& qs);
    // The quantised value of coefficient i (natural order): rounded to
    // nearest, halves away from zero.
    static std::int32_t QuantizeOne(const std::int32_t* coef, const QuantSet& qs, int i) {
        const std::int32_t c = coef[i];
        const std::int32_t sign = c >> 31;
        const std::uint32_t t = std::uint32_t((c ^ sign) - sign) + qs.half[i];
        const std::int32_t q = std::int32_t((std::uint64_t(t) * qs.recip[i]) >> 31);
        return (q ^ sign) - sign;
    }
    // Quantises and codes one block (natural order) of a component.
    bool HuffmanEncode(const std::int32_t* coef, const QuantSet& qs, int component, Writer& w);

public:
    static void ForwardDct(std::int32_t* block);

private:
    std::uint16_t quality_ = 0;
    std::uint16_t scale_ = 0;
    std::int32_t colour_[9][256];
    std::int32_t shiftedB_[3][256];  // B->Y, B->Cb, B->Cr minus 128 * 65536
    std::uint16_t lumDiv_[64];
    std::uint16_t chromDiv_[64];
    QuantSet lumQ_;
    QuantSet chromQ_;
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
