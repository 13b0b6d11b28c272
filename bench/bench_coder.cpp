// Codec speed, as ratios against references measured in the same run:
//  - device picture encode vs libjpeg-turbo's baseline encoder on the same
//    picture (quality 90, 2x2 chroma subsampling): throughput ratio;
//  - fitting a picture that only fits at quality 10 (starting at 90) vs one
//    plain encode of it: time ratio.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "common/coder/Kv350Encoder.h"
#include "common/coder/QuavJpegEncoder.h"
#include "tests/coder/coder_test_util.h"

using namespace kestova;

namespace {

struct Picture {
    RgbImage rgb;
    std::vector<std::uint8_t> input;  // encoder input layout
};

const Picture& Get(int w, int h) {
    static std::map<std::pair<int, int>, Picture> cache;
    auto it = cache.find({w, h});
    if (it == cache.end()) {
        Picture p;
        p.rgb = testutil::PhotoLike(w, h);
        p.input = ToEncoderInput(p.rgb);
        it = cache.emplace(std::pair{w, h}, std::move(p)).first;
    }
    return it->second;
}

void BM_DeviceEncode(benchmark::State& state) {
    const int w = int(state.range(0)), h = int(state.range(1));
    const Picture& p = Get(w, h);
    std::vector<std::uint8_t> out(CQuavJpegEncoder::MaxOutputSize(w, h, 3, false));
    std::size_t size = 0;
    for (auto _ : state) {
        CQuavJpegEncoder enc(90);
        enc.SetStandard(false);
        if (!enc.CompressImage(p.input.data(), out.data(), out.size(), w, h, size, 3))
            state.SkipWithError("encode failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t(w) * h);
    state.counters["bytes"] = double(size);
}

#ifdef KESTOVA_HAVE_LIBJPEG
void BM_LibjpegEncode(benchmark::State& state) {
    const int w = int(state.range(0)), h = int(state.range(1));
    const Picture& p = Get(w, h);
    unsigned long size = 0;
    for (auto _ : state) {
        jpeg_compress_struct cinfo;
        jpeg_error_mgr jerr;
        cinfo.err = jpeg_std_error(&jerr);
        jpeg_create_compress(&cinfo);
        unsigned char* mem = nullptr;
        size = 0;
        jpeg_mem_dest(&cinfo, &mem, &size);
        cinfo.image_width = JDIMENSION(w);
        cinfo.image_height = JDIMENSION(h);
        cinfo.input_components = 3;
        cinfo.in_color_space = JCS_RGB;
        jpeg_set_defaults(&cinfo);  // YCbCr with 2x2 chroma subsampling
        jpeg_set_quality(&cinfo, 90, TRUE);
        jpeg_start_compress(&cinfo, TRUE);
        while (cinfo.next_scanline < cinfo.image_height) {
            JSAMPROW row = const_cast<JSAMPROW>(p.rgb.rgb.data() + std::size_t(cinfo.next_scanline) * w * 3);
            jpeg_write_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_compress(&cinfo);
        jpeg_destroy_compress(&cinfo);
        benchmark::DoNotOptimize(mem);
        free(mem);
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t(w) * h);
    state.counters["bytes"] = double(size);
}
BENCHMARK(BM_LibjpegEncode)->Args({320, 240})->Args({1024, 768})->Unit(benchmark::kMicrosecond);
#endif
BENCHMARK(BM_DeviceEncode)->Args({320, 240})->Args({1024, 768})->Unit(benchmark::kMicrosecond);

// The slot takes exactly the quality-10 stream, so 90, 80, ..., 20 all fail.
void BM_FitNeedsQuality10(benchmark::State& state) {
    const int w = int(state.range(0)), h = int(state.range(1));
    const Picture& p = Get(w, h);
    std::vector<std::uint8_t> q10;
    CKv350Encoder::Encode(p.input.data(), w, h, 10, 3, false, q10);
    for (auto _ : state) {
        FitResult r = FitPictureToSlot(p.input.data(), w, h, 90, q10.size());
        if (r.quality != 10) state.SkipWithError("did not fit at quality 10");
        benchmark::DoNotOptimize(r.bytes.data());
    }
}
BENCHMARK(BM_FitNeedsQuality10)->Args({128, 128})->Args({320, 240})->Unit(benchmark::kMicrosecond);

// One plain encode (what one EnCode costs, file I/O aside) at quality 90.
void BM_PlainEncode(benchmark::State& state) {
    const int w = int(state.range(0)), h = int(state.range(1));
    const Picture& p = Get(w, h);
    for (auto _ : state) {
        std::vector<std::uint8_t> out;
        CKv350Encoder::Encode(p.input.data(), w, h, 90, 3, false, out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_PlainEncode)->Args({128, 128})->Args({320, 240})->Unit(benchmark::kMicrosecond);

// The same fitting done the naive way: a full encode per quality tried.
void BM_FitNaive(benchmark::State& state) {
    const int w = int(state.range(0)), h = int(state.range(1));
    const Picture& p = Get(w, h);
    std::vector<std::uint8_t> q10;
    CKv350Encoder::Encode(p.input.data(), w, h, 10, 3, false, q10);
    for (auto _ : state) {
        std::vector<std::uint8_t> out;
        for (int q = 90; q >= 10; q -= 10) {
            CKv350Encoder::Encode(p.input.data(), w, h, q, 3, false, out);
            if (out.size() <= q10.size()) break;
        }
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_FitNaive)->Args({128, 128})->Args({320, 240})->Unit(benchmark::kMicrosecond);

// Collects the CPU time of each run so the ratios can be printed at the end
// (CPU time: the build machine is shared, wall time is noisy).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> ns;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (!r.error_occurred && r.iterations > 0)
                ns[r.benchmark_name()] = r.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto ratio = [&](const std::string& a, const std::string& b, const char* what) {
        const auto ia = reporter.ns.find(a), ib = reporter.ns.find(b);
        if (ia != reporter.ns.end() && ib != reporter.ns.end() && ia->second > 0)
            std::printf("%-58s %.2f\n", what, ib->second / ia->second);
    };
    std::printf("\nRatios (same run):\n");
    for (const char* size : {"320/240", "1024/768"}) {
        const std::string s(size);
        ratio("BM_DeviceEncode/" + s, "BM_LibjpegEncode/" + s,
              ("device encode throughput / libjpeg-turbo, " + s).c_str());
    }
    for (const char* size : {"128/128", "320/240"}) {
        const std::string s(size);
        // time(fit) / time(plain): invert the helper's b/a.
        const auto f = reporter.ns.find("BM_FitNeedsQuality10/" + s);
        const auto p = reporter.ns.find("BM_PlainEncode/" + s);
        const auto n = reporter.ns.find("BM_FitNaive/" + s);
        if (f != reporter.ns.end() && p != reporter.ns.end())
            std::printf("%-58s %.2f\n", ("fit needing quality 10 / one plain encode, " + s).c_str(),
                        f->second / p->second);
        if (n != reporter.ns.end() && p != reporter.ns.end())
            std::printf("%-58s %.2f\n", ("naive fit (full encodes) / one plain encode, " + s).c_str(),
                        n->second / p->second);
    }
    benchmark::Shutdown();
    return 0;
}
