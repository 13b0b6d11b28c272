// SPDX-License-Identifier: GPL-3.0-or-later
// Codec speed, as ratios against references measured in the same run:
//  - device picture encode, on every encoder path the processor runs, vs
//    libjpeg-turbo's baseline encoder on the same picture (quality 90, 2x2
//    chroma subsampling), at 128x128, 320x240 and 1024x768: throughput ratio;
//  - fitting a picture that only fits at quality 10 (starting at 90) vs one
//    plain encode of it: time ratio.
// Every benchmark runs in repetitions interleaved at random with the others
// (9 unless --benchmark_repetitions says otherwise), so a load change on a
// shared machine hits both sides of a ratio alike; each ratio is worked out
// per repetition and printed as its minimum and median.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
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

// range(2): index into AvailableEncoderPaths().
void BM_DeviceEncode(benchmark::State& state) {
    const int w = int(state.range(0)), h = int(state.range(1));
    const std::vector<EncoderPath> paths = AvailableEncoderPaths();
    if (std::size_t(state.range(2)) >= paths.size()) {
        state.SkipWithError("path not available");
        return;
    }
    const EncoderPath before = CurrentEncoderPath();
    SetEncoderPath(paths[std::size_t(state.range(2))]);
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
    SetEncoderPath(before);
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
BENCHMARK(BM_LibjpegEncode)
    ->Args({128, 128})
    ->Args({320, 240})
    ->Args({1024, 768})
    ->Unit(benchmark::kMicrosecond);
#endif
void DevicePaths(benchmark::internal::Benchmark* b) {
    for (std::int64_t path = 0; path < std::int64_t(AvailableEncoderPaths().size()); ++path)
        for (auto [w, h] : {std::pair{128, 128}, std::pair{320, 240}, std::pair{1024, 768}})
            b->Args({w, h, path});
}
BENCHMARK(BM_DeviceEncode)->Apply(DevicePaths)->Unit(benchmark::kMicrosecond);

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

// Collects the CPU time of every repetition of every benchmark, so that the
// ratios can be worked out per repetition at the end (CPU time: the machine
// is shared, wall time is noisier).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, std::vector<double>> ns;  // by name, in repetition order
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (!r.error_occurred && r.iterations > 0 && r.run_type == Run::RT_Iteration)
                ns[r.run_name.str()].push_back(r.GetAdjustedCPUTime());
        ConsoleReporter::ReportRuns(runs);
    }
};

// Ratios a[i] / b[i] of the repetitions both have, as "min median".
std::string MinMedian(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> r;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        if (b[i] > 0) r.push_back(a[i] / b[i]);
    if (r.empty()) return "-";
    std::sort(r.begin(), r.end());
    const std::size_t n = r.size();
    const double median = n % 2 ? r[n / 2] : (r[n / 2 - 1] + r[n / 2]) / 2;
    char text[64];
    std::snprintf(text, sizeof text, "min %.2f  median %.2f  (%zu reps)", r.front(), median, n);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    // Interleaved repetitions unless the command line chooses otherwise.
    std::vector<char*> args(argv, argv + argc);
    bool repetitionsGiven = false;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--benchmark_repetitions", 23) == 0) repetitionsGiven = true;
    static char reps[] = "--benchmark_repetitions=9";
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    static char aggregates[] = "--benchmark_report_aggregates_only=false";
    if (!repetitionsGiven) {
        args.push_back(reps);
        args.push_back(interleave);
        args.push_back(aggregates);
    }
    int count = int(args.size());
    args.push_back(nullptr);
    // The test pictures are made before anything is measured.
    for (auto [w, h] : {std::pair{128, 128}, std::pair{320, 240}, std::pair{1024, 768}}) Get(w, h);
    benchmark::Initialize(&count, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto find = [&](const std::string& name) -> const std::vector<double>* {
        const auto it = reporter.ns.find(name);
        return it == reporter.ns.end() ? nullptr : &it->second;
    };
    std::printf("\nRatios (same run, per interleaved repetition):\n");
    const std::vector<EncoderPath> paths = AvailableEncoderPaths();
    for (const char* size : {"128/128", "320/240", "1024/768"}) {
        const std::string s(size);
        const auto* lib = find("BM_LibjpegEncode/" + s);
        for (std::size_t p = 0; p < paths.size(); ++p) {
            const auto* dev = find("BM_DeviceEncode/" + s + "/" + std::to_string(p));
            if (lib && dev)
                std::printf("%-62s %s\n",
                            ("device encode throughput / libjpeg-turbo, " + s + ", " +
                             EncoderPathName(paths[p]))
                                .c_str(),
                            MinMedian(*lib, *dev).c_str());
        }
    }
    for (const char* size : {"128/128", "320/240"}) {
        const std::string s(size);
        const auto* f = find("BM_FitNeedsQuality10/" + s);
        const auto* p = find("BM_PlainEncode/" + s);
        const auto* n = find("BM_FitNaive/" + s);
        if (f && p)
            std::printf("%-62s %s\n", ("fit needing quality 10 / one plain encode, " + s).c_str(),
                        MinMedian(*f, *p).c_str());
        if (n && p)
            std::printf("%-62s %s\n", ("naive fit (full encodes) / one plain encode, " + s).c_str(),
                        MinMedian(*n, *p).c_str());
    }
    benchmark::Shutdown();
    return 0;
}
