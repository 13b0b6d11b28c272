// SPDX-License-Identifier: GPL-3.0-or-later
// Entropy-coding stage: one quantised block into Huffman codes (DC
// difference, run-length coded AC values in zigzag order with ZRL and EOB),
// one MCU's blocks in container order, and the bit writer under both. The
// same scalar code runs on every path; it visits only the non-zero values.
#include "common/coder/EncoderStages.h"

#include <bit>

namespace kestova {

void CQuavJpegEncoder::Writer::Drain() {
    // Common case: 32 or more bits pending and room for them; the top 32 go
    // out as one big-endian word unless (in a standard stream) one of its
    // bytes is 0xFF and needs a stuffed 0x00 after it.
    if (nbits >= 32 && cap - pos >= 4) {
        const std::uint32_t word = std::uint32_t(acc >> (nbits - 32));
        const std::uint32_t inv = ~word;
        const bool hasFF = ((inv - 0x01010101u) & ~inv & 0x80808080u) != 0;
        if (!stuff || !hasFF) {
            std::uint8_t* p = out + pos;
            p[0] = std::uint8_t(word >> 24);
            p[1] = std::uint8_t(word >> 16);
            p[2] = std::uint8_t(word >> 8);
            p[3] = std::uint8_t(word);
            pos += 4;
            nbits -= 32;
        }
    }
    while (nbits >= 8) {
        nbits -= 8;
        const std::uint8_t b = std::uint8_t(acc >> nbits);
        Byte(b);
        if (stuff && b == 0xFF) Byte(0);
    }
}

namespace {

// The most bytes one block can add: DC code and bits 22, 63 AC codes of at
// most 16 + 10 bits, EOB: 1664 bits = 208 bytes, twice that when every byte
// is stuffed; plus the 8 bytes a whole-word store writes.
constexpr std::size_t kBlockRoom = 2 * 208 + 8;

// The writer's bit state in locals for the length of one block (stores
// through the output pointer could otherwise alias the writer's fields and
// force reloads). `Roomy`: the buffer has kBlockRoom bytes left, so no store
// of this block needs a bounds check. Without stuffing, the whole bytes
// leave after every code without a data-dependent branch: the pending bits
// (at most 7 + 27) are stored as one big-endian 64-bit word and the position
// moves by the whole bytes among them; the bytes after those are overwritten
// by the next store or the final flush. Otherwise 32 bits leave at a time as
// one word when none of its bytes is 0xFF (in a standard stream), and
// everything else goes through Writer::Drain, which checks every byte.
template <bool Stuff, bool Roomy, typename Writer>
struct BitSink {
    Writer& w;
    std::uint64_t acc;
    int bits;
    std::uint8_t* const out;
    std::size_t pos;

    explicit BitSink(Writer& writer)
        : w(writer), acc(writer.acc), bits(writer.nbits), out(writer.out), pos(writer.pos) {}

    void Put(std::uint32_t code, int len) {
        acc = (acc << len) | code;
        bits += len;
        if constexpr (!Stuff && Roomy) {
            std::uint64_t word = acc << (64 - bits);
            if constexpr (std::endian::native == std::endian::little)
                word = __builtin_bswap64(word);
            std::memcpy(out + pos, &word, 8);
            pos += std::size_t(bits >> 3);
            bits &= 7;
        } else {
            if (bits >= 32) Flush();
        }
    }
    void Flush() {
        const std::uint32_t word = std::uint32_t(acc >> (bits - 32));
        bool clean = true;
        if constexpr (Stuff) {
            const std::uint32_t inv = ~word;
            clean = ((inv - 0x01010101u) & ~inv & 0x80808080u) == 0;
        }
        if (clean && (Roomy || (pos <= w.cap && w.cap - pos >= 4))) {
            out[pos] = std::uint8_t(word >> 24);
            out[pos + 1] = std::uint8_t(word >> 16);
            out[pos + 2] = std::uint8_t(word >> 8);
            out[pos + 3] = std::uint8_t(word);
            pos += 4;
            bits -= 32;
            return;
        }
        Sync();
        w.Drain();
        acc = w.acc;
        bits = w.nbits;
        pos = w.pos;
    }
    void Sync() {
        w.acc = acc;
        w.nbits = bits;
        w.pos = pos;
    }
};

// One block: quantised by `quantize`, coded with the DC table `dct` and the
// AC table `ac` against the component's predictor `pred`.
template <bool Stuff, bool Roomy, typename Writer>
[[gnu::always_inline]] inline bool CodeBlockT(const std::int32_t* coef,
                                              const encoder::QuantSet& qs,
                                              encoder::QuantizeFn quantize,
                                              const tag_HUFFMAN_TABLE& dct,
                                              const tag_HUFFMAN_TABLE& ac, std::int32_t& pred,
                                              Writer& w) {
    BitSink<Stuff, Roomy, Writer> sink(w);
    auto done = [&]() {
        sink.Sync();
        return !w.overflow;
    };

    alignas(32) std::int32_t q[64];
    const std::uint64_t nonzero = quantize(coef, qs, q);
    const std::int32_t diff = q[0] - pred;
    pred = q[0];
    {
        const std::uint32_t mag = std::uint32_t(diff < 0 ? -diff : diff);
        const int cat = int(std::bit_width(mag));
        if (cat > 11 || dct.size[cat] == 0) return done();  // no code: the block stops here
        const std::uint32_t extra = std::uint32_t(diff < 0 ? diff - 1 : diff) & ((1u << cat) - 1);
        sink.Put((dct.code[cat] << cat) | extra, dct.size[cat] + cat);
    }

    // AC values in zigzag order: zero runs, ZRL for every 16 zeros, EOB when
    // the block ends in zeros; each value comes as its code parts (category
    // and extra bits, AcParts).
    std::uint64_t rest = nonzero & ~std::uint64_t(1);
    int last = 0;
    while (rest) {
        const int k = std::countr_zero(rest);
        rest &= rest - 1;
        int run = k - last - 1;
        last = k;
        const std::uint32_t parts = std::uint32_t(q[kZigzag[k]]);
        while (run > 15) {
            sink.Put(ac.code[0xF0], ac.size[0xF0]);
            run -= 16;
        }
        const int nbits = int(parts & 15);
        const int sym = run * 16 + nbits;
        if (ac.size[sym] == 0) return done();
        sink.Put((ac.code[sym] << nbits) | (parts >> 4), ac.size[sym] + nbits);
    }
    if (last < 63) sink.Put(ac.code[0x00], ac.size[0x00]);
    return done();
}


// The common case, a device picture block with room to spare, once for any
// processor and once built for the bit-manipulation instructions (shifts by
// a register without the count register, count of trailing zeros) that
// the processors with AVX2 have; the AVX2 path uses the second.
template <typename Writer>
bool CodeDeviceBlock(const std::int32_t* coef, const encoder::QuantSet& qs,
                     encoder::QuantizeFn quantize, const tag_HUFFMAN_TABLE& dct,
                     const tag_HUFFMAN_TABLE& ac, std::int32_t& pred, Writer& w) {
    return CodeBlockT<false, true>(coef, qs, quantize, dct, ac, pred, w);
}
#if KESTOVA_ENCODER_X86
template <typename Writer>
__attribute__((target("bmi,bmi2"))) bool CodeDeviceBlockBmi2(
    const std::int32_t* coef, const encoder::QuantSet& qs, encoder::QuantizeFn quantize,
    const tag_HUFFMAN_TABLE& dct, const tag_HUFFMAN_TABLE& ac, std::int32_t& pred, Writer& w) {
    return CodeBlockT<false, true>(coef, qs, quantize, dct, ac, pred, w);
}
#endif

}  // namespace

bool CQuavJpegEncoder::HuffmanEncode(const std::int32_t* coef, const encoder::QuantSet& qs,
                                     int component, Writer& w) {
    const tag_HUFFMAN_TABLE& dct = huff_[component == 0 ? 0 : 2];
    const tag_HUFFMAN_TABLE& ac = huff_[component == 0 ? 1 : 3];
    std::int32_t& pred = pred_[component];
    const encoder::QuantizeFn quantize = kernels_->quantize;
    const bool roomy = w.pos <= w.cap && w.cap - w.pos >= kBlockRoom;
    if (w.stuff)
        return roomy ? CodeBlockT<true, true>(coef, qs, quantize, dct, ac, pred, w)
                     : CodeBlockT<true, false>(coef, qs, quantize, dct, ac, pred, w);
    if (!roomy) return CodeBlockT<false, false>(coef, qs, quantize, dct, ac, pred, w);
#if KESTOVA_ENCODER_X86
    if (kernels_->bmi2) return CodeDeviceBlockBmi2(coef, qs, quantize, dct, ac, pred, w);
#endif
    return CodeDeviceBlock(coef, qs, quantize, dct, ac, pred, w);
}

bool CQuavJpegEncoder::CodeMcu(const std::int32_t* blocks, Writer& w) {
    const int nY = geo_.yBlocks;
    if (!standard_) {
        // MCU index entry: the predictors before this MCU and the distance
        // from the entry to the MCU's first data byte, all little-endian.
        std::uint8_t* e = w.index;
        const std::size_t dist = std::size_t((w.out + w.pos) - e);
        const std::uint16_t vals[4] = {std::uint16_t(pred_[0]), std::uint16_t(pred_[1]),
                                       std::uint16_t(pred_[2]), std::uint16_t(dist)};
        for (int i = 0; i < 4; ++i) {
            e[2 * i] = std::uint8_t(vals[i]);
            e[2 * i + 1] = std::uint8_t(vals[i] >> 8);
        }
        w.index += kDevIndexEntrySize;
        HuffmanEncode(blocks + nY * 64, chromQ_, 1, w);
        HuffmanEncode(blocks + (nY + 1) * 64, chromQ_, 2, w);
        for (int b = 0; b < nY; ++b) HuffmanEncode(blocks + b * 64, lumQ_, 0, w);
        w.Align();
    } else {
        for (int b = 0; b < nY; ++b) HuffmanEncode(blocks + b * 64, lumQ_, 0, w);
        HuffmanEncode(blocks + nY * 64, chromQ_, 1, w);
        HuffmanEncode(blocks + (nY + 1) * 64, chromQ_, 2, w);
    }
    return !w.overflow;
}

}  // namespace kestova
