// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Hostile picture files, made byte by byte by the tests that need them: a
// progressive JPEG of many empty scans, a huge 16-bit PNG of few bytes, and
// tiny GIF/PNG/BMP files whose headers claim a huge picture.

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kestova::testing {

using Bytes = std::vector<uint8_t>;

inline void PutBe16(Bytes& b, unsigned v) {
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}
inline void PutBe32(Bytes& b, uint32_t v) {
    PutBe16(b, v >> 16);
    PutBe16(b, v & 0xFFFF);
}
inline void PutLe16(Bytes& b, unsigned v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
inline void PutLe32(Bytes& b, uint32_t v) {
    PutLe16(b, v & 0xFFFF);
    PutLe16(b, v >> 16);
}

// A grey progressive JPEG of w x h pixels (one component): a DC scan of
// zeros, then `acScans` AC scans that are one run of end-of-bands each (the
// same coefficients again and again, which decoders accept with a warning).
// Every scan costs the decoder a pass over all blocks; the file stays small.
inline Bytes ManyScanJpeg(unsigned w, unsigned h, int acScans) {
    Bytes b{0xFF, 0xD8};
    const auto segment = [&](uint8_t marker, const Bytes& body) {
        b.push_back(0xFF);
        b.push_back(marker);
        PutBe16(b, unsigned(body.size() + 2));
        b.insert(b.end(), body.begin(), body.end());
    };
    Bytes dqt{0x00};
    dqt.resize(65, 1);
    segment(0xDB, dqt);
    Bytes sof{8};
    PutBe16(sof, h);
    PutBe16(sof, w);
    sof.insert(sof.end(), {1, 1, 0x11, 0});
    segment(0xC2, sof);
    // One code of one bit in each table: DC category 0, AC "EOB run of 2^14+".
    for (const uint8_t tableAndSymbol : {uint8_t(0x00), uint8_t(0x10)}) {
        Bytes dht{tableAndSymbol, 1};
        dht.resize(17, 0);
        dht.push_back(tableAndSymbol == 0 ? 0x00 : 0xE0);
        segment(0xC4, dht);
    }
    const uint64_t blocks = uint64_t((w + 7) / 8) * ((h + 7) / 8);
    // Entropy-coded bits, most significant first, 0xFF stuffed, padded with 1s.
    struct Bits {
        Bytes& out;
        uint32_t acc = 0;
        int n = 0;
        void Put(uint32_t v, int count) {
            for (int i = count - 1; i >= 0; --i) {
                acc = (acc << 1) | ((v >> i) & 1);
                if (++n == 8) Flush();
            }
        }
        void Flush() {
            out.push_back(uint8_t(acc));
            if (uint8_t(acc) == 0xFF) out.push_back(0);
            acc = 0;
            n = 0;
        }
        void End() {
            while (n != 0) Put(1, 1);
        }
    };
    const auto scan = [&](uint8_t ss, uint8_t se) {
        segment(0xDA, Bytes{1, 1, 0x00, ss, se, 0x00});
        Bits bits{b};
        if (ss == 0) {
            for (uint64_t i = 0; i < blocks; ++i) bits.Put(0, 1);
        } else {
            for (uint64_t left = blocks; left > 0;) {
                const uint64_t run = left > 32767 ? 32767 : left;
                if (run >= 16384) {
                    bits.Put(0, 1);
                    bits.Put(uint32_t(run - 16384), 14);
                    left -= run;
                } else {
                    // A short tail: runs of 2^14 would overshoot, so the tail
                    // is EOB runs the decoder ends with the scan anyway.
                    bits.Put(0, 1);
                    bits.Put(0, 14);
                    left = 0;
                }
            }
        }
        bits.End();
    };
    scan(0, 0);
    for (int i = 0; i < acScans; ++i) scan(1, 63);
    b.push_back(0xFF);
    b.push_back(0xD9);
    return b;
}

inline void PngChunk(Bytes& png, const char* type, const Bytes& body) {
    PutBe32(png, uint32_t(body.size()));
    const size_t at = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), body.begin(), body.end());
    PutBe32(png, uint32_t(crc32(0, png.data() + at, uInt(png.size() - at))));
}

inline Bytes PngHeader(uint32_t w, uint32_t h, uint8_t depth, uint8_t colour) {
    Bytes png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    const Bytes ihdr{uint8_t(w >> 24), uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w),
                     uint8_t(h >> 24), uint8_t(h >> 16), uint8_t(h >> 8), uint8_t(h),
                     depth, colour, 0, 0, 0};
    PngChunk(png, "IHDR", ihdr);
    return png;
}

// Raw deflate of `n` zero bytes; `flush` Z_FULL_FLUSH leaves the stream
// byte-aligned with a fresh dictionary, so such pieces can be repeated.
inline Bytes DeflatedZeros(size_t n, int flush) {
    z_stream z{};
    deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    const Bytes zeros(n, 0);
    Bytes out(n / 256 + 4096);
    z.next_in = const_cast<Bytes::value_type*>(zeros.data());
    z.avail_in = uInt(n);
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    deflate(&z, flush);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return out;
}

// A w x h RGBA PNG of `depth` bits a channel, every pixel transparent
// black, at about the best ratio deflate reaches (a 100 MP 16-bit one is
// under 800 KB). All its rows are zeros, so one compressed piece of 1 MiB
// is repeated, not recomputed.
inline Bytes RgbaPng(uint32_t w, uint32_t h, uint8_t depth = 16) {
    Bytes png = PngHeader(w, h, depth, 6);
    const uint64_t raw = uint64_t(h) * (1 + uint64_t(w) * depth / 2);
    constexpr size_t kPiece = size_t(1) << 20;
    const Bytes piece = DeflatedZeros(kPiece, Z_FULL_FLUSH);
    Bytes idat{0x78, 0xDA};
    for (uint64_t i = 0; i < raw / kPiece; ++i) idat.insert(idat.end(), piece.begin(), piece.end());
    const Bytes last = DeflatedZeros(size_t(raw % kPiece), Z_FINISH);
    idat.insert(idat.end(), last.begin(), last.end());
    PutBe32(idat, uint32_t((raw % 65521) << 16 | 1));  // adler32 of zeros
    PngChunk(png, "IDAT", idat);
    PngChunk(png, "IEND", {});
    return png;
}

// Tiny files whose headers claim w x h pixels and hold almost none.
inline Bytes TinyGif(unsigned w, unsigned h) {
    Bytes g{'G', 'I', 'F', '8', '9', 'a'};
    PutLe16(g, w);
    PutLe16(g, h);
    g.insert(g.end(), {0x80, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, ','});
    PutLe16(g, 0);
    PutLe16(g, 0);
    PutLe16(g, w);
    PutLe16(g, h);
    g.insert(g.end(), {0x00, 0x02, 0x02, 0x4C, 0x01, 0x00, ';'});
    return g;  // 35 bytes
}

inline Bytes TinyPng(uint32_t w, uint32_t h) {
    Bytes png = PngHeader(w, h, 8, 2);
    const Bytes zeros(64, 0);
    Bytes idat(128);
    uLongf size = uLongf(idat.size());
    compress2(idat.data(), &size, zeros.data(), uLong(zeros.size()), 9);
    idat.resize(size);
    PngChunk(png, "IDAT", idat);
    PngChunk(png, "IEND", {});
    return png;
}

inline Bytes TinyBmp(int32_t w, int32_t h) {
    Bytes b{'B', 'M'};
    PutLe32(b, 54);
    PutLe32(b, 0);
    PutLe32(b, 54);
    PutLe32(b, 40);
    PutLe32(b, uint32_t(w));
    PutLe32(b, uint32_t(h));
    PutLe16(b, 1);
    PutLe16(b, 24);
    for (int i = 0; i < 6; ++i) PutLe32(b, 0);
    return b;
}

inline bool WriteBytes(const std::string& path, const Bytes& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace kestova::testing
