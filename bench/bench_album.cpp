// SPDX-License-Identifier: GPL-3.0-or-later
// Wire figures of the album layer on the virtual frame: a commit of 10 new
// 16 KiB pictures, and reading them back. Each runs with no per-command
// latency (the reference) and with latency_us=1000 (a frame's USB round
// trip); counters give the commands and data bytes on the wire per run.

#include "device/CommUSB.h"
#include "device/virtual/FrameImage.h"
#include "device/virtual/VirtualFrame.h"
#include "flash_manager/DPF.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace kestova;

constexpr int kPictures = 10;
constexpr int kPictureSize = 16384;

std::string TempImage(const char* name) {
    const char* base = std::getenv("TMPDIR");
    return std::string(base && *base ? base : "/tmp") + "/kestova-bench-album-" +
           std::to_string(getpid()) + "-" + name + ".img";
}

std::vector<uint8_t> Picture(unsigned seed) {
    std::vector<uint8_t> v(kPictureSize);
    uint32_t x = 2463534242u + seed;
    for (auto& b : v) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = uint8_t(x);
    }
    return v;
}

struct Attached {
    std::unique_ptr<DPF> dpf;
    std::shared_ptr<VirtualFrameMonitor> monitor;
};

Attached Attach(const std::string& path, int64_t latencyUs) {
    Attached a;
    auto unit = VirtualFrame::Open(path + ",sync=0,latency_us=" + std::to_string(latencyUs));
    a.monitor = unit->Monitor();
    auto link = std::make_unique<CCommUSB>();
    link->AttachUnit(std::move(unit));
    a.dpf = std::make_unique<DPF>();
    a.dpf->Init(std::move(link));
    a.dpf->ReadDPFInfo();
    a.dpf->Read();
    return a;
}

// 2 MiB flash, album at 1 MiB, 60 pictures: 16 KiB slots.
void Blank(const std::string& path) { FormatFrameImage(path, FrameImageLayout{}, /*overwrite=*/true); }

void SetWireCounters(benchmark::State& state, const VirtualFrameMonitor& m) {
    state.counters["commands"] = double(m.CommandCount());
    state.counters["bytes_to_frame"] = double(m.BytesToDevice());
    state.counters["bytes_from_frame"] = double(m.BytesFromDevice());
}

void BM_Commit10x16K(benchmark::State& state) {
    const std::string path = TempImage("commit");
    std::vector<std::vector<uint8_t>> pictures;
    for (int i = 0; i < kPictures; ++i) pictures.push_back(Picture(unsigned(i)));
    for (auto _ : state) {
        state.PauseTiming();
        Blank(path);
        Attached a = Attach(path, state.range(0));
        for (const auto& p : pictures) a.dpf->AddData(p.data(), int(p.size()));
        a.monitor->ClearCommands();
        state.ResumeTiming();
        if (a.dpf->Update() != DPF::kUpdateCommitted) state.SkipWithError("commit failed");
        state.PauseTiming();
        SetWireCounters(state, *a.monitor);
        state.ResumeTiming();
    }
    std::filesystem::remove(path);
}

void BM_ReadBack10x16K(benchmark::State& state) {
    const std::string path = TempImage("read");
    Blank(path);
    {
        Attached a = Attach(path, 0);
        for (int i = 0; i < kPictures; ++i) {
            const auto p = Picture(unsigned(i));
            a.dpf->AddData(p.data(), int(p.size()));
        }
        a.dpf->Update();
    }
    std::vector<uint8_t> buf(kPictureSize);
    for (auto _ : state) {
        state.PauseTiming();
        Attached a = Attach(path, state.range(0));
        a.monitor->ClearCommands();
        state.ResumeTiming();
        for (int i = 0; i < kPictures; ++i) {
            int length = 0;
            if (a.dpf->GetFileAtIndex(i, buf.data(), int(buf.size()), length) != 1)
                state.SkipWithError("read failed");
        }
        benchmark::DoNotOptimize(buf.data());
        state.PauseTiming();
        SetWireCounters(state, *a.monitor);
        state.ResumeTiming();
    }
    std::filesystem::remove(path);
}

} // namespace

BENCHMARK(BM_Commit10x16K)->ArgName("latency_us")->Arg(0)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ReadBack10x16K)->ArgName("latency_us")->Arg(0)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(5);

BENCHMARK_MAIN();
