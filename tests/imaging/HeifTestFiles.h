// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// HEIC and AVIF files made at test time with libheif's encoders (x265, aom),
// from a QImage, so the tests need no stored phone photos.

#include <QByteArray>
#include <QImage>

#include <libheif/heif.h>

#include <cmath>
#include <cstring>

namespace kestova::testing {

struct HeifOptions {
    heif_compression_format codec = heif_compression_HEVC;
    heif_orientation orientation = heif_orientation_normal;  // written as irot/imir boxes
    int bitDepth = 8;                                         // 8 or 10
    bool alpha = false;                                       // the QImage's alpha is kept
    int quality = 92;
};

// The file's bytes, or an empty array when no encoder is installed.
inline QByteArray EncodeHeif(const QImage& source, const HeifOptions& o = {}) {
    const QImage src = source.convertToFormat(QImage::Format_RGBA8888);
    const int w = src.width(), h = src.height();
    heif_context* ctx = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    QByteArray out;
    if (heif_context_get_encoder_for_format(ctx, o.codec, &encoder).code == heif_error_Ok) {
        heif_encoder_set_lossy_quality(encoder, o.quality);
        const bool deep = o.bitDepth > 8;
        const heif_chroma chroma = deep ? (o.alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
                                        : (o.alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
        const int channels = o.alpha ? 4 : 3;
        heif_image* img = nullptr;
        heif_image_create(w, h, heif_colorspace_RGB, chroma, &img);
        heif_image_add_plane(img, heif_channel_interleaved, w, h, o.bitDepth);
        int stride = 0;
        uint8_t* plane = heif_image_get_plane(img, heif_channel_interleaved, &stride);
        for (int y = 0; y < h; ++y) {
            const uint8_t* s = src.constScanLine(y);
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < channels; ++c) {
                    const int v = s[x * 4 + c];
                    if (deep) {
                        const auto deepValue = uint16_t((v * ((1 << o.bitDepth) - 1) + 127) / 255);
                        std::memcpy(plane + y * stride + (x * channels + c) * 2, &deepValue, 2);
                    } else {
                        plane[y * stride + x * channels + c] = uint8_t(v);
                    }
                }
        }
        heif_encoding_options* options = heif_encoding_options_alloc();
        options->image_orientation = o.orientation;
        if (heif_context_encode_image(ctx, img, encoder, options, nullptr).code == heif_error_Ok) {
            heif_writer writer{};
            writer.writer_api_version = 1;
            writer.write = [](heif_context*, const void* data, size_t size, void* user) {
                static_cast<QByteArray*>(user)->append(static_cast<const char*>(data), qsizetype(size));
                return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
            };
            heif_context_write(ctx, &writer, &out);
        }
        heif_encoding_options_free(options);
        heif_image_release(img);
        heif_encoder_release(encoder);
    }
    heif_context_free(ctx);
    return out;
}

// Peak signal-to-noise ratio in dB over R, G and B (0 when the sizes differ).
inline double Psnr(const QImage& a, const QImage& b) {
    if (a.size() != b.size() || a.isNull()) return 0;
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            for (const int d : {qRed(p) - qRed(q), qGreen(p) - qGreen(q), qBlue(p) - qBlue(q)}) sum += double(d) * d;
        }
    const double mse = sum / (3.0 * a.width() * a.height());
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

} // namespace kestova::testing
