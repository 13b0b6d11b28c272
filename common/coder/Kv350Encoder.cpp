// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/coder/Kv350Encoder.h"

#include <cstring>
#include <memory>

#include "common/coder/JPGEncode.h"
#include "common/files/SafeFile.h"
#include "common/coder/QuavJpegEncoder.h"

namespace kestova {

namespace {

bool EncodeWith(CQuavJpegEncoder& enc, const std::uint8_t* input, int width, int height,
                int mode, std::vector<std::uint8_t>& out) {
    out.clear();
    const std::size_t cap =
        CQuavJpegEncoder::MaxOutputSize(width, height, mode, enc.Standard());
    if (!input || cap == 0) return false;
    // The worst-case buffer is many times the usual stream: it is left
    // uninitialised (the encoder writes every byte it reports) and only the
    // stream itself is copied out.
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[cap]);
    std::size_t size = 0;
    if (!enc.CompressImage(input, buffer.get(), cap, width, height, size, mode)) return false;
    out.assign(buffer.get(), buffer.get() + size);
    return true;
}

// The quality the encoder actually uses for a requested one.
int EffectiveQuality(int quality) {
    const std::uint16_t q = std::uint16_t(quality);
    if (q == 0) return 1;
    if (q > 100) return 100;
    return q;
}

}  // namespace

bool CKv350Encoder::Encode(const std::uint8_t* input, int width, int height, int quality,
                           int mode, bool standard, std::vector<std::uint8_t>& out) {
    CQuavJpegEncoder enc(quality);
    enc.SetStandard(standard);
    return EncodeWith(enc, input, width, height, mode, out);
}

bool CKv350Encoder::Encode(const RgbImage& image, int quality, int mode, bool standard,
                           std::vector<std::uint8_t>& out) {
    const std::vector<std::uint8_t> input = ToEncoderInput(image);
    if (input.empty()) {
        out.clear();
        return false;
    }
    return Encode(input.data(), image.width, image.height, quality, mode, standard, out);
}

int CKv350Encoder::EnCode(const std::string& bmpPath, const std::string& outPath, int width,
                          int height, int quality, int mode, int standard) {
    const std::size_t inSize = EncoderInputSize(width, height);
    if (inSize == 0 || width > 0xFFFF || height > 0xFFFF) return 0;
    std::vector<std::uint8_t> input(inSize, 0);
    if (!LoadPicFromDir(bmpPath, input.data(), input.size(), width, height)) return 0;
    std::vector<std::uint8_t> out;
    if (!Encode(input.data(), width, height, quality, mode, standard != 0, out)) return 0;
    if (out.size() > 0x7FFFFFFF) return 0;
    if (!WriteFileSafely(outPath, out.data(), out.size(), SafeWriteMode::Replace)) return 0;
    return int(out.size());
}

bool CKv350Encoder::DeCode(const std::string& picturePath, const std::string& bmpPath,
                           int expectedWidth, int expectedHeight) {
    JPGEncode decoder;
    return decoder.DecodeMyPicture(picturePath, bmpPath, expectedWidth, expectedHeight);
}

bool CKv350Encoder::Decode(const std::uint8_t* data, std::size_t size, int expectedWidth,
                           int expectedHeight, RgbImage& out, std::string* error) {
    out = RgbImage{};
    JPGEncode decoder;
    DecodedPicture p;
    if (!decoder.Decode(data, size, expectedWidth, expectedHeight, p)) {
        if (error) *error = decoder.LastError();
        return false;
    }
    out.width = p.width;
    out.height = p.height;
    out.rgb.resize(std::size_t(p.width) * std::size_t(p.height) * 3);
    ConvertPixelRows(p.bgr.data(), std::size_t(p.roundedWidth) * 3, out.rgb.data(),
                     std::size_t(p.width) * 3, p.width, p.height, false, true);
    if (error) error->clear();
    return true;
}

std::vector<int> FitQualities(int startQuality) {
    std::vector<int> qs;
    qs.push_back(startQuality);
    for (int q = startQuality - 10; q >= 1; q -= 10) qs.push_back(q);
    return qs;
}

FitResult FitPictureToSlot(const std::uint8_t* input, int width, int height, int startQuality,
                           std::size_t slotSize, int mode) {
    FitResult result;
    CDctPicture dct;
    if (!dct.Build(input, width, height, mode)) {
        result.status = FitStatus::Invalid;
        return result;
    }
    // A stream larger than the slot is abandoned as soon as it passes the
    // slot size; the winning stream is written in full into the buffer.
    const std::size_t worst = CQuavJpegEncoder::MaxOutputSize(width, height, mode, false);
    std::vector<std::uint8_t> buffer(std::min(worst, slotSize));
    int lastEffective = -1;
    for (const int q : FitQualities(startQuality)) {
        ++result.attempts;
        const int effective = EffectiveQuality(q);
        if (effective == lastEffective) continue;  // same tables, same bytes: does not fit either
        lastEffective = effective;
        CQuavJpegEncoder enc(q);
        enc.SetStandard(false);
        std::size_t size = 0;
        if (!buffer.empty() && enc.CompressDct(dct, buffer.data(), buffer.size(), size)) {
            buffer.resize(size);
            result.bytes = std::move(buffer);
            result.quality = q;
            result.status = FitStatus::Fitted;
            return result;
        }
    }
    result.status = FitStatus::TooLarge;
    return result;
}

FitResult FitPictureToSlot(const RgbImage& image, int startQuality, std::size_t slotSize,
                           int mode) {
    const std::vector<std::uint8_t> input = ToEncoderInput(image);
    if (input.empty()) return FitResult{};
    return FitPictureToSlot(input.data(), image.width, image.height, startQuality, slotSize,
                            mode);
}

FitResult FitBmpToSlot(const std::string& bmpPath, int width, int height, int startQuality,
                       std::size_t slotSize, int mode) {
    const std::size_t inSize = EncoderInputSize(width, height);
    if (inSize == 0 || width > 0xFFFF || height > 0xFFFF) return FitResult{};
    std::vector<std::uint8_t> input(inSize, 0);
    if (!LoadPicFromDir(bmpPath, input.data(), input.size(), width, height)) {
        FitResult r;
        r.status = FitStatus::Unreadable;
        return r;
    }
    return FitPictureToSlot(input.data(), width, height, startQuality, slotSize, mode);
}

}  // namespace kestova
