// SPDX-License-Identifier: GPL-3.0-or-later
// Wire cost of the verified read, and the virtual frame's own costs.
//
// BM_VerifiedRead64K/<latency_us>: one 64 KiB ReadData against a virtual
// frame that adds <latency_us> per command; latency 0 is the reference.
// Counters per read: commands, bytes to and from the frame.
// BM_PageProgram/<sync>: one 4096-byte verified-style page write (preamble +
// program) with and without fdatasync per change.

#include "device/ProcessFlash.h"
#include "device/virtual/FrameImage.h"
#include "device/virtual/VirtualFrame.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

using namespace kestova;

namespace {

std::string ImagePath() {
    static const std::string path = [] {
        const char* base = std::getenv("TMPDIR");
        std::string p = std::string(base && *base ? base : "/tmp") + "/kestova-bench-" +
                        std::to_string(::getpid()) + ".img";
        FormatFrameImage(p, {}, /*overwrite=*/true);
        std::atexit([] { std::filesystem::remove(ImagePath()); });
        return p;
    }();
    return path;
}

void BM_VerifiedRead64K(benchmark::State& state) {
    const std::string frameArg = ImagePath() + ",sync=0,latency_us=" + std::to_string(state.range(0));
    auto frame = VirtualFrame::Open(frameArg);
    auto monitor = frame->Monitor();
    CCommUSB link;
    link.AttachUnit(std::move(frame));
    CProcessFlash flash;
    flash.SetHidComm(&link);
    std::vector<uint8_t> buf(65536);
    monitor->ClearCommands();
    for (auto _ : state) {
        if (flash.ReadData(0x100000, 65536, buf.data()) != 0) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(buf.data());
    }
    const double n = double(state.iterations());
    state.counters["commands"] = double(monitor->CommandCount()) / n;
    state.counters["bytes_from_frame"] = double(monitor->BytesFromDevice()) / n;
    state.counters["bytes_to_frame"] = double(monitor->BytesToDevice()) / n;
    state.SetBytesProcessed(int64_t(state.iterations()) * 65536);
}
BENCHMARK(BM_VerifiedRead64K)->Arg(0)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PageProgram(benchmark::State& state) {
    const std::string frameArg = ImagePath() + ",sync=" + std::to_string(state.range(0));
    CCommUSB link;
    link.AttachUnit(VirtualFrame::Open(frameArg));
    CProcessFlash flash;
    flash.SetHidComm(&link);
    std::vector<uint8_t> page(4096, 0xFF);  // all-ones keeps the image blank
    uint32_t addr = 0x100000;
    for (auto _ : state) {
        if (!flash.EraseOneBlockFlash(addr) || !flash.WriteToFlash(page.data(), 4096, addr))
            state.SkipWithError("write failed");
        addr = 0x100000 + ((addr + 4096) & 0xFFFFF);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 4096);
}
BENCHMARK(BM_PageProgram)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
