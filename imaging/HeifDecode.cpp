// SPDX-License-Identifier: GPL-3.0-or-later
#include "imaging/HeifDecode.h"

#include <libheif/heif.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace kestova::heif {
namespace {

uint32_t Be32(const std::uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

Brand BrandOf(const std::uint8_t* b) {
    static constexpr std::array<const char*, 4> kAvif = {"avif", "avis", "avio", nullptr};
    static constexpr std::array<const char*, 9> kHeic = {"heic", "heix", "heim", "heis", "hevc",
                                                         "hevx", "hevm", "hevs", nullptr};
    static constexpr std::array<const char*, 3> kHeif = {"mif1", "msf1", nullptr};
    const auto in = [b](const auto& list) {
        for (const char* s : list)
            if (s && std::memcmp(b, s, 4) == 0) return true;
        return false;
    };
    if (in(kAvif)) return Brand::Avif;
    if (in(kHeic)) return Brand::Heic;
    if (in(kHeif)) return Brand::Heif;
    return Brand::None;
}

Result Fail(Failure f, std::string why) { return Result{f, std::move(why)}; }

// True when every top-level box fits in the file. A cut-off file usually
// loses the end of its media data box, and libheif would then see a
// missing box or a short item rather than the truncation it is.
bool TopLevelBoxesComplete(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    while (at < size) {
        if (size - at < 8) return false;
        std::uint64_t box = Be32(data + at);
        if (box == 1) {  // a 64-bit size follows the type
            if (size - at < 16) return false;
            box = (std::uint64_t(Be32(data + at + 8)) << 32) | Be32(data + at + 12);
            if (box < 16) return false;
        } else if (box == 0) {
            return true;  // the last box runs to the end of the file
        } else if (box < 8) {
            return false;
        }
        if (box > size - at) return false;
        at += std::size_t(box);
    }
    return true;
}

// Words for libheif's error, and which of our failures it is.
Result FromHeif(const heif_error& e, const char* during) {
    std::string detail = e.message ? e.message : "";
    if (e.subcode == heif_suberror_End_of_data)
        return Fail(Failure::Truncated, "the file is truncated (the HEIF data stops before the image does)");
    if (e.code == heif_error_Unsupported_filetype)
        return Fail(Failure::NotHeif, "not a HEIF or AVIF picture");
    if (e.subcode == heif_suberror_Unsupported_codec || e.code == heif_error_Unsupported_feature)
        return Fail(Failure::UnsupportedCodec,
                    std::string("unsupported codec (no decoder here for this picture") +
                        (detail.empty() ? ")" : ": " + detail + ")"));
    if (e.subcode == heif_suberror_No_pitm_box || e.subcode == heif_suberror_Nonexisting_item_referenced ||
        e.subcode == heif_suberror_No_item_data)
        return Fail(Failure::NoPrimaryImage, "has no primary image");
    return Fail(Failure::Corrupt, std::string("the HEIF picture cannot be ") + during +
                                      (detail.empty() ? "" : " (" + detail + ")"));
}

struct ContextDeleter { void operator()(heif_context* c) const { heif_context_free(c); } };
struct HandleDeleter { void operator()(heif_image_handle* h) const { heif_image_handle_release(h); } };
struct ImageDeleter { void operator()(heif_image* i) const { heif_image_release(i); } };
struct OptionsDeleter { void operator()(heif_decoding_options* o) const { heif_decoding_options_free(o); } };
using Context = std::unique_ptr<heif_context, ContextDeleter>;
using Handle = std::unique_ptr<heif_image_handle, HandleDeleter>;
using Image = std::unique_ptr<heif_image, ImageDeleter>;

// Opens the file and its primary image. libheif reads the boxes from the
// caller's memory without a copy; it must outlive the context.
Result OpenPrimary(const std::uint8_t* data, std::size_t size, Context& ctx, Handle& handle) {
    if (Sniff(data, size) == Brand::None) return Fail(Failure::NotHeif, "not a HEIF or AVIF picture");
    if (!TopLevelBoxesComplete(data, size))
        return Fail(Failure::Truncated, "the file is truncated (the HEIF data stops before the image does)");
    ctx.reset(heif_context_alloc());
    if (!ctx) return Fail(Failure::Corrupt, "out of memory");
    // Our own limits (pixels, decoding memory, Decode's maxSide) decide;
    // libheif's is only a backstop.
    heif_context_set_maximum_image_size_limit(ctx.get(), 1 << 30);
    // "HEIC file has no primary image" rather than a bare "has no ...".
    const auto named = [data, size](Result r) {
        if (r.failure == Failure::NoPrimaryImage) {
            const Brand b = Sniff(data, size);
            r.message = std::string(b == Brand::Avif ? "AVIF" : b == Brand::Heic ? "HEIC" : "HEIF") + " file " + r.message;
        }
        return r;
    };
    heif_error e = heif_context_read_from_memory_without_copy(ctx.get(), data, size, nullptr);
    if (e.code != heif_error_Ok) return named(FromHeif(e, "read"));
    heif_image_handle* h = nullptr;
    e = heif_context_get_primary_image_handle(ctx.get(), &h);
    if (e.code != heif_error_Ok || !h) {
        Result r = FromHeif(e, "read");
        if (r.failure == Failure::Corrupt) r = Fail(Failure::NoPrimaryImage, "has no primary image");
        return named(r);
    }
    handle.reset(h);
    return {};
}

void Describe(heif_image_handle* h, Picture& info) {
    // The handle's size is the one after its transformations (a rotation
    // by a quarter turn swaps the sides, a crop shrinks them).
    info.width = heif_image_handle_get_width(h);
    info.height = heif_image_handle_get_height(h);
    info.hasAlpha = heif_image_handle_has_alpha_channel(h) != 0;
    const int bits = heif_image_handle_get_luma_bits_per_pixel(h);
    info.bitDepth = bits > 0 ? bits : 8;
}

} // namespace

Brand Sniff(const std::uint8_t* data, std::size_t size) {
    // ftyp: size, "ftyp", major brand, minor version, compatible brands.
    if (!data || size < 16 || std::memcmp(data + 4, "ftyp", 4) != 0) return Brand::None;
    const std::size_t boxSize = Be32(data);
    if (boxSize < 16 || boxSize % 4 != 0) return Brand::None;
    const std::size_t end = std::min(size, boxSize);
    const Brand major = BrandOf(data + 8);
    if (major == Brand::Heic || major == Brand::Avif) return major;
    // A generic major brand ("mif1", or one of another family) may still
    // list a more specific HEIF brand among the compatible ones.
    Brand best = major;
    for (std::size_t at = 16; at + 4 <= end; at += 4) {
        const Brand b = BrandOf(data + at);
        if (b == Brand::Avif || b == Brand::Heic) return b;
        if (b != Brand::None) best = b;
    }
    return best;
}

struct Reader::Opened {
    Context ctx;
    Handle handle;
};

Reader::Reader() = default;
Reader::~Reader() = default;

Result Reader::Open(const std::uint8_t* data, std::size_t size, Picture& info) {
    auto opened = std::make_unique<Opened>();
    if (Result r = OpenPrimary(data, size, opened->ctx, opened->handle); !r.ok()) return r;
    Describe(opened->handle.get(), info);
    if (info.width <= 0 || info.height <= 0) return Fail(Failure::Corrupt, "the HEIF picture has no size");
    opened_ = std::move(opened);
    return {};
}

Result Probe(const std::uint8_t* data, std::size_t size, Picture& info) {
    Reader reader;
    return reader.Open(data, size, info);
}

Result Decode(const std::uint8_t* data, std::size_t size, Picture& out, int maxSide) {
    Reader reader;
    if (Result r = reader.Open(data, size, out); !r.ok()) return r;
    return reader.Decode(out, maxSide);
}

std::int64_t DecodeBytes(const Picture& info) {
    const std::int64_t pixels = std::int64_t(info.width) * info.height;
    const std::int64_t sampleBytes = info.bitDepth > 8 ? 2 : 1;
    // Three full planes (chroma upsampled for the colour conversion), alpha,
    // and the interleaved 8-bit result; a grid holds its tiles meanwhile.
    const std::int64_t planes = (3 + (info.hasAlpha ? 1 : 0)) * sampleBytes;
    return pixels * (planes + 4) + pixels * sampleBytes;
}

Result Reader::Decode(Picture& out, int maxSide) {
    if (!opened_) return Fail(Failure::Corrupt, "the HEIF picture was not opened");
    Describe(opened_->handle.get(), out);
    if (out.width > maxSide || out.height > maxSide)
        return Fail(Failure::Corrupt, "the HEIF picture is larger than can be decoded");

    std::unique_ptr<heif_decoding_options, OptionsDeleter> options(heif_decoding_options_alloc());
    options->convert_hdr_to_8bit = 1;
    options->strict_decoding = 1;  // damage is an error, not a grey patch
    heif_image* img = nullptr;
    const heif_error e = heif_decode_image(opened_->handle.get(), &img, heif_colorspace_RGB,
                                           heif_chroma_interleaved_RGBA, options.get());
    Image image(img);
    if (e.code != heif_error_Ok || !image) return FromHeif(e, "decoded");

    int stride = 0;
    const std::uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int w = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int h = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!plane || w <= 0 || h <= 0 || stride < w * 4 ||
        heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved) != 8)
        return Fail(Failure::Corrupt, "the HEIF picture cannot be decoded (unexpected pixel layout)");
    out.width = w;
    out.height = h;
    out.rgba.resize(std::size_t(w) * std::size_t(h) * 4);
    for (int y = 0; y < h; ++y)
        std::memcpy(out.rgba.data() + std::size_t(y) * std::size_t(w) * 4, plane + std::size_t(y) * std::size_t(stride),
                    std::size_t(w) * 4);
    return {};
}

} // namespace kestova::heif
