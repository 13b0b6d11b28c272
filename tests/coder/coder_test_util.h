// SPDX-License-Identifier: GPL-3.0-or-later
// Picture generators and comparison helpers for the codec tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "common/coder/Bmp.h"

#ifdef KESTOVA_HAVE_LIBJPEG
#include <jpeglib.h>
#include <csetjmp>
#endif

namespace kestova::testutil {

// Zigzag position k -> natural index, worked out independently of the
// codec's table by walking the anti-diagonals of the block.
inline std::vector<int> ZigzagWalk() {
    std::vector<int> z;
    for (int s = 0; s < 15; ++s) {
        if (s % 2 == 0) {  // up and to the right
            for (int r = std::min(s, 7); r >= 0 && s - r < 8; --r) z.push_back(r * 8 + (s - r));
        } else {
            for (int c = std::min(s, 7); c >= 0 && s - c < 8; --c) z.push_back((s - c) * 8 + c);
        }
    }
    return z;
}

// Smooth colour gradients.
inline RgbImage Gradient(int w, int h) {
    RgbImage img{w, h, std::vector<std::uint8_t>(std::size_t(w) * h * 3)};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = &img.rgb[(std::size_t(y) * w + x) * 3];
            p[0] = std::uint8_t(x * 255 / std::max(1, w - 1));
            p[1] = std::uint8_t(y * 255 / std::max(1, h - 1));
            p[2] = std::uint8_t((x + y) * 255 / std::max(1, w + h - 2));
        }
    return img;
}

// Uniform noise: the hardest case for the entropy coder.
inline RgbImage Noise(int w, int h, unsigned seed = 1) {
    RgbImage img{w, h, std::vector<std::uint8_t>(std::size_t(w) * h * 3)};
    std::mt19937 rng(seed);
    for (auto& b : img.rgb) b = std::uint8_t(rng());
    return img;
}

// Something like a photo: smooth shading, a few hard-edged shapes, fine
// texture and a little noise.
inline RgbImage PhotoLike(int w, int h, unsigned seed = 7) {
    RgbImage img{w, h, std::vector<std::uint8_t>(std::size_t(w) * h * 3)};
    std::mt19937 rng(seed);
    std::normal_distribution<double> n(0.0, 4.0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double fx = double(x) / w, fy = double(y) / h;
            double r = 120 + 80 * std::sin(fx * 5.0) * std::cos(fy * 3.0);
            double g = 100 + 90 * fy;
            double b = 160 - 100 * fx * fy;
            const double cx = fx - 0.6, cy = fy - 0.4;
            if (cx * cx + cy * cy < 0.04) {  // a disc
                r = 230;
                g = 200;
                b = 40;
            }
            if (x > w / 8 && x < w / 3 && y > h / 2 && y < h * 7 / 8) {  // a textured box
                const double t = 40 * std::sin(x * 0.9) * std::sin(y * 0.7);
                r = 60 + t;
                g = 90 + t;
                b = 70 + t;
            }
            std::uint8_t* p = &img.rgb[(std::size_t(y) * w + x) * 3];
            auto c = [](double v) {
                return std::uint8_t(v < 0 ? 0 : v > 255 ? 255 : std::lround(v));
            };
            p[0] = c(r + n(rng));
            p[1] = c(g + n(rng));
            p[2] = c(b + n(rng));
        }
    return img;
}

inline double Psnr(const RgbImage& a, const RgbImage& b) {
    if (a.width != b.width || a.height != b.height || a.rgb.size() != b.rgb.size()) return 0;
    double se = 0;
    for (std::size_t i = 0; i < a.rgb.size(); ++i) {
        const double d = double(a.rgb[i]) - double(b.rgb[i]);
        se += d * d;
    }
    if (se == 0) return 99.0;
    const double mse = se / double(a.rgb.size());
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

inline int MaxAbsDiff(const RgbImage& a, const RgbImage& b) {
    int m = 0;
    for (std::size_t i = 0; i < a.rgb.size() && i < b.rgb.size(); ++i)
        m = std::max(m, std::abs(int(a.rgb[i]) - int(b.rgb[i])));
    return m;
}

inline double MeanAbsDiff(const RgbImage& a, const RgbImage& b) {
    double s = 0;
    for (std::size_t i = 0; i < a.rgb.size() && i < b.rgb.size(); ++i)
        s += std::abs(int(a.rgb[i]) - int(b.rgb[i]));
    return a.rgb.empty() ? 0 : s / double(a.rgb.size());
}

// A fresh temporary directory, removed at destruction.
struct TempDir {
    std::filesystem::path path;
    TempDir() {
        static int counter = 0;
        path = std::filesystem::temp_directory_path() /
               ("kestova-coder-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(path);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

#ifdef KESTOVA_HAVE_LIBJPEG
struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};
inline void JpegErrorExit(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}

// Decodes a JFIF stream with libjpeg(-turbo) into RGB; false on any error.
// dct_method selects the inverse DCT (JDCT_ISLOW by default).
inline bool LibjpegDecode(const std::vector<std::uint8_t>& data, RgbImage& out,
                          J_DCT_METHOD method = JDCT_ISLOW, bool fancyUpsampling = true) {
    jpeg_decompress_struct cinfo;
    JpegError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = JpegErrorExit;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data.data(), static_cast<unsigned long>(data.size()));
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    cinfo.out_color_space = JCS_RGB;
    cinfo.dct_method = method;
    cinfo.do_fancy_upsampling = fancyUpsampling ? TRUE : FALSE;
    jpeg_start_decompress(&cinfo);
    out.width = int(cinfo.output_width);
    out.height = int(cinfo.output_height);
    out.rgb.assign(std::size_t(out.width) * out.height * 3, 0);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out.rgb.data() + std::size_t(cinfo.output_scanline) * out.width * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}
#endif

}  // namespace kestova::testutil
