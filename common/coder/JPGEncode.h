// SPDX-License-Identifier: GPL-3.0-or-later
// Decoder of the frame's device picture stream (header, MCU index, tables,
// MCU-aligned entropy data without byte stuffing) into 24-bit pictures.
//
// Safe on any input: reading past the end, an invalid Huffman code, a bad
// table number or table, or an implausible size fails the picture with a
// reason; all working state lives in the object, so separate objects can
// decode on separate threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/coder/CodecTables.h"

namespace kestova {

// A decoded device picture: `roundedWidth` (width rounded up to a multiple
// of 8) x height pixels, rows from the top, 3 bytes per pixel B, G, R.
// Columns width .. roundedWidth-1 hold decoded samples right of the picture.
struct DecodedPicture {
    int width = 0;
    int roundedWidth = 0;
    int height = 0;
    int mode = 0;
    std::vector<std::uint8_t> bgr;
};

class JPGEncode {
public:
    // Largest picture accepted (pixels of the rounded width x height).
    static constexpr std::uint64_t kMaxPixels = 1ull << 24;

    // Decodes the device picture at `picturePath` and writes it as a 24-bit
    // BMP to `bmpPath`. expectedWidth/Height of 0 accept any size. False, and
    // no BMP written, when the input cannot be read or is not a valid device
    // picture of the expected size, or when the BMP cannot be written.
    bool DecodeMyPicture(const std::string& picturePath, const std::string& bmpPath,
                         int expectedWidth, int expectedHeight);

    // The same on a stream in memory, into `out`. Modes 0 to 3 are decoded.
    bool Decode(const std::uint8_t* data, std::size_t size, int expectedWidth,
                int expectedHeight, DecodedPicture& out);

    // Decodes MCU number `mcu` alone, starting from its MCU index entry (its
    // predictors and distance), without decoding the MCUs before it.
    // `tile` receives mcuWidth x mcuHeight pixels, B G R, rows from the top.
    // The stored distance is 16-bit, so this works for pictures whose MCUs
    // all start within 65535 bytes of their entries (every LCD-size picture).
    bool DecodeMcuFromIndex(const std::uint8_t* data, std::size_t size, unsigned mcu,
                            std::vector<std::uint8_t>& tile);

    // Writes `picture` as a 24-bit bottom-up BMP (biWidth = picture width;
    // each file row is the first row-size bytes of the rounded-width row).
    static bool BmpSave(const std::string& bmpPath, const DecodedPicture& picture);
    static std::vector<std::uint8_t> BmpBytes(const DecodedPicture& picture);

    // Why the last call failed ("" after success).
    const std::string& LastError() const { return error_; }

    // The inverse DCT: 64 coefficients (natural order) with a dequantisation
    // table into 8 x 8 samples 0..255 (row stride 8).
    static void tinyjpeg_idct_int(const std::int16_t* coef, const std::uint16_t* dqt,
                                  std::uint8_t* out);

private:
    struct Reader;
    bool Fail(const char* why);
    Reader StartStream(const std::uint8_t* data, std::size_t size);
    bool ReadHeader(Reader& r, int expectedWidth, int expectedHeight);
    bool GetDQT(Reader& r);
    bool GetDHT(Reader& r);
    bool HuffmanDecode(Reader& r, int dcTable, int acTable, int component, std::int16_t* coef);
    bool DecodeSymbol(Reader& r, int slot, int& symbol);
    bool DecodeMcu(Reader& r, std::uint8_t* yData, std::uint8_t* cbData, std::uint8_t* crData);
    void StoreMcu(const std::uint8_t* yData, const std::uint8_t* cbData, const std::uint8_t* crData,
                  std::uint8_t* dst, std::size_t dstStride, int dstX, int dstY, int clipW,
                  int clipH) const;

    std::string error_;
    // Header and tables of the picture being decoded.
    std::uint8_t header_[kDevHeaderSize] = {};
    int width_ = 0, roundedWidth_ = 0, height_ = 0, mode_ = 0;
    int mcuW_ = 8, mcuH_ = 8, yBlocks_ = 1;
    int mcuNumX_ = 0, mcuNumY_ = 0;
    std::uint16_t tableDQT_[2][64] = {};
    std::uint8_t tableDHT_[4][kMaxAcSymbols] = {};
    std::uint32_t minCode_[4][17] = {};
    std::uint8_t valPtr_[4][17] = {};
    std::uint8_t countLen_[4][17] = {};
    int symbolCount_[4] = {};
    std::int16_t preData_[3] = {};
};

}  // namespace kestova
