// SPDX-License-Identifier: GPL-3.0-or-later
// Batch preparation on every core, and what a real frame costs.
//
//   build/bench/bench_batch [--photos 50] [--distinct 10] [--reps 3] [--quick] [--model-only]
//                           [--only serial|pool|add|memory] [--dir FOLDER]
//
// 1. Batch: <photos> camera photos (4000 x 3000 JPEGs with texture, written
//    by Qt) prepared and fitted for a 320 x 240 frame, one after the other
//    (PrepareBatchSerially) against the worker pool (PrepareBatch), in
//    alternating order, <reps> times. Printed: wall and CPU time (getrusage,
//    all threads) of each run, CPU/wall of the pool, and the ratio
//    pool/serial of each pair (min and median), and whether the outputs
//    were byte-identical.
// 2. An add on a slow link (latency_us=2000, 5 photos, 128 x 128): prepare
//    everything, then commit (as before) against the commit fed while the
//    pool still prepares, started as kestova-cli add starts it (once a file
//    has passed its checks); wall time against the wire time the frame saw,
//    and how long the commit's thread waited for pictures.
// 2b. Peak memory (--only memory runs this alone): the pool preparing the
//    photos with the shared decoding budget against a budget too large to
//    ever make a read wait, each run in a child process whose peak resident
//    size comes from wait4; wall time of both, alternating.
// 3. The frame model (model=usb-full-speed): reading an album of 60
//    pictures, and adding 10 photos to a new frame and to a full one (10
//    deleted before, or in the same commit), at 128 x 128 and 320 x 240;
//    time split into wire and the rest.
//
// <distinct> photos are generated; the rest of the batch are copies of them
// (the decoding work is the same, the generation takes a while).

#include "common/coder/Kv350Encoder.h"
#include "device/CommUSB.h"
#include "device/virtual/FrameImage.h"
#include "device/virtual/VirtualFrame.h"
#include "flash_manager/DPF.h"
#include "imaging/BatchPrepare.h"

#include <QDir>
#include <QFile>
#include <QImage>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace kestova;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double TimeOf(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }
double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return TimeOf(u.ru_utime) + TimeOf(u.ru_stime);
}
// The kernel's part of CpuSeconds (page faults, file reads).
double SysSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return TimeOf(u.ru_stime);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}
double Min(const std::vector<double>& v) { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }

// A camera-like 4000 x 3000 photo: light falloff, shapes, waves and grain,
// so the JPEG has the size and entropy of a real one.
QImage Photo(unsigned seed) {
    const int w = 4000, h = 3000;
    QImage img(w, h, QImage::Format_RGB32);
    uint32_t r = seed * 2654435761u + 1;
    const double cx = 1000 + (seed * 379) % 2000, cy = 800 + (seed * 211) % 1400;
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
        for (int x = 0; x < w; ++x) {
            r = r * 1664525u + 1013904223u;
            const int grain = int(r >> 27) - 16;
            const double d = std::hypot(x - cx, y - cy) / 2600.0;
            const int base = int(225 * (1.0 - d));
            const bool shape = ((x / (300 + seed % 97)) + (y / 230)) % 3 == 0;
            line[x] = qRgb(std::clamp(base + (shape ? 30 : -10) + grain, 0, 255),
                           std::clamp(base - 20 + int(40 * std::sin(x / 37.0)) + grain, 0, 255),
                           std::clamp(base - 50 + int(35 * std::cos(y / 23.0 + x / 61.0)) + grain, 0, 255));
        }
    }
    return img;
}

struct Workspace {
    std::string dir;
    bool keep = false;  // --dir: the photos stay for the next run
    std::vector<QString> photos;
    ~Workspace() {
        std::error_code ec;
        if (!dir.empty() && !keep) std::filesystem::remove_all(dir, ec);
    }
};

void MakePhotos(Workspace& ws, int count, int distinct) {
    if (ws.dir.empty()) {
        const char* base = std::getenv("TMPDIR");
        ws.dir = std::string(base && *base ? base : "/tmp") + "/kestova-bench-batch-" + std::to_string(getpid());
    }
    std::filesystem::create_directories(ws.dir);
    for (int i = 0; i < count; ++i) {
        const QString path = QString::fromStdString(ws.dir + "/photo" + std::to_string(i) + ".jpg");
        // A kept folder's photos are used again: the same seeds made them.
        const bool kept = ws.keep && QFile::exists(path);
        if (!kept && i < distinct) Photo(unsigned(i + 1)).save(path, "JPEG", 92);
        else if (!kept) QFile::copy(ws.photos[size_t(i % distinct)], path);
        ws.photos.push_back(path);
    }
}

// ---- a virtual frame for an add ----

std::string BlankFrame(const Workspace& ws, const std::string& name, int w, int h) {
    FrameImageLayout l;
    l.lcdWidth = uint16_t(w);
    l.lcdHeight = uint16_t(h);
    const std::string p = ws.dir + "/" + name;
    FormatFrameImage(p, l, /*overwrite=*/true);
    return p;
}

struct Attached {
    DPF dpf;
    std::shared_ptr<VirtualFrameMonitor> monitor;
};

std::unique_ptr<Attached> Attach(const std::string& frameArg) {
    auto a = std::make_unique<Attached>();
    auto unit = VirtualFrame::Open(frameArg);
    a->monitor = unit->Monitor();
    auto link = std::make_unique<CCommUSB>();
    link->AttachUnit(std::move(unit));
    a->dpf.Init(std::move(link));
    return a;
}

struct AddTiming {
    double wall = 0, wire = 0, model = 0, prepareWall = 0;
    double waited = 0;  // overlapped: the commit's thread waiting for the next picture
    int added = 0;
    std::vector<std::vector<uint8_t>> pictures;
};

// What kestova-cli add does, from attach to the end of the commit. Serial:
// every picture prepared, then the commit. Overlapped: the commit starts with
// the first picture and is fed the rest as the pool delivers them. With
// `deleteLast`, that many pictures at the album's end are deleted first, in
// the same commit (their slots are the ones the new pictures take).
AddTiming Add(const std::string& frameArg, const std::vector<QString>& files, bool overlapped,
              int deleteLast = 0) {
    AddTiming t;
    const auto start = Clock::now();
    auto a = Attach(frameArg);
    a->dpf.ReadDPFInfo();
    a->dpf.Read();
    for (int i = 0; i < deleteLast; ++i) {
        int count = 0;
        a->dpf.GetFileNum(count);
        if (count > 0) a->dpf.DeleteFileAt(count - 1);
    }
    int w = 0, h = 0;
    a->dpf.GetLCDParam(w, h);
    BatchOptions o;
    o.lcdWidth = w;
    o.lcdHeight = h;
    o.slotSize = size_t(a->dpf.GetOnePicSize());
    o.startQuality = 90;
    auto take = [&](BatchResult& r) {
        if (r.ok() && a->dpf.AddData(r.fit.bytes.data(), int(r.fit.bytes.size())) == 1) {
            ++t.added;
            t.pictures.push_back(r.fit.bytes);
            return true;
        }
        return false;
    };
    if (!overlapped) {
        const auto p0 = Clock::now();
        PrepareBatchSerially(files, o, [&](BatchResult& r) {
            take(r);
            return true;
        });
        t.prepareWall = Seconds(Clock::now() - p0);
        if (t.added) a->dpf.Update();
    } else {
        BatchPreparer batch(files, o);
        BatchResult r;
        const auto next = [&] {
            const auto w0 = Clock::now();
            const bool got = batch.Next(r);
            t.waited += Seconds(Clock::now() - w0);
            return got;
        };
        // As kestova-cli add: the commit starts once a file has passed its
        // checks, before it is decoded.
        bool any = false, early = false;
        for (;;) {
            const auto w0 = Clock::now();
            early = batch.WaitForPromise();
            t.waited += Seconds(Clock::now() - w0);
            if (early || !next()) break;
            if ((any = take(r))) break;
        }
        if (any || early) {
            PictureFeed feed;
            feed.more = [&] {
                while (next())
                    if (take(r)) return true;
                return false;
            };
            feed.pending = [&] { return long(batch.Size() - batch.Delivered()); };
            a->dpf.Update(feed);
        }
    }
    t.wall = Seconds(Clock::now() - start);
    t.wire = double(a->monitor->WireMicros()) / 1e6;
    t.model = double(a->monitor->ModelMicros()) / 1e6;
    return t;
}

// Reading the whole album as a program does on attach: information block,
// clock, index, then every picture fetched and decoded.
double ReadAlbum(const std::string& frameArg, double& wire, double& model, int& pictures) {
    const auto start = Clock::now();
    auto a = Attach(frameArg);
    a->dpf.ReadDPFInfo();
    a->dpf.SynchronizeDPFTime();
    a->dpf.Read();
    int n = 0, w = 0, h = 0;
    a->dpf.GetFileNum(n);
    a->dpf.GetLCDParam(w, h);
    std::vector<uint8_t> buf(size_t(a->dpf.GetOnePicSize()));
    for (int i = 0; i < n; ++i) {
        int len = 0;
        if (a->dpf.GetFileAtIndex(i, buf.data(), int(buf.size()), len) != 1) continue;
        RgbImage out;
        CKv350Encoder::Decode(buf.data(), size_t(len), w, h, out, nullptr);
    }
    pictures = n;
    wire = double(a->monitor->WireMicros()) / 1e6;
    model = double(a->monitor->ModelMicros()) / 1e6;
    return Seconds(Clock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
    int photos = 50, distinct = 10, reps = 3;
    bool quick = false, modelOnly = false;
    // "serial" or "pool": that side of the batch alone (for a profiler);
    // "add": the add on a slow link alone.
    std::string only;
    Workspace ws;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&] { return i + 1 < argc ? std::atoi(argv[++i]) : 0; };
        if (a == "--photos") photos = std::max(1, next());
        else if (a == "--distinct") distinct = std::max(1, next());
        else if (a == "--reps") reps = std::max(1, next());
        else if (a == "--quick") quick = true;
        else if (a == "--model-only") modelOnly = true;
        else if (a == "--only" && i + 1 < argc) only = argv[++i];
        else if (a == "--dir" && i + 1 < argc) ws.dir = argv[++i], ws.keep = true;
        else {
            std::fprintf(stderr,
                         "usage: %s [--photos N] [--distinct N] [--reps N] [--quick] [--model-only]\n"
                         "       [--only serial|pool|add|memory] [--dir FOLDER (photos kept and used again)]\n",
                         argv[0]);
            return 1;
        }
    }
    distinct = std::min(distinct, photos);
    std::printf("generating %d photos of 4000 x 3000 (%d distinct)...\n", photos, distinct);
    std::fflush(stdout);
    MakePhotos(ws, photos, distinct);

    // ---- 2b. peak memory with and without the decoding budget ----
    if (!modelOnly && (only.empty() || only == "memory")) {
        std::printf("\n[memory] %d photos -> 320 x 240 on the pool, %u cores: peak resident size of the run\n",
                    photos, std::max(1u, std::thread::hardware_concurrency()));
        kestova::DecodeBudget unbounded(int64_t(1) << 40);
        std::vector<double> ratioPeak, ratioWall;
        for (int r = 0; r < reps; ++r) {
            double peak[2] = {0, 0}, wall[2] = {0, 0};
            for (int k = 0; k < 2; ++k) {
                const int side = (k + r) % 2;  // 0: the shared budget, 1: unbounded
                const auto t0 = Clock::now();
                const pid_t child = fork();
                if (child == 0) {
                    BatchOptions o;
                    o.lcdWidth = 320;
                    o.lcdHeight = 240;
                    if (side == 1) {
                        o.limits.budget = &unbounded;
                        o.limits.maxDecodeBytes = int64_t(1) << 40;
                    }
                    int good = 0;
                    PrepareBatch(ws.photos, o, [&](BatchResult& b) {
                        good += b.ok();
                        return true;
                    });
                    _exit(good == int(ws.photos.size()) ? 0 : 1);
                }
                int status = 0;
                struct rusage ru {};
                wait4(child, &status, 0, &ru);
                wall[side] = Seconds(Clock::now() - t0);
                peak[side] = double(ru.ru_maxrss) / 1024.0;
                if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::printf("  (a picture failed)\n");
            }
            std::printf("  rep %d budget on: peak %.0f MiB wall %.3f s;  unbounded: peak %.0f MiB wall %.3f s\n", r,
                        peak[0], wall[0], peak[1], wall[1]);
            std::fflush(stdout);
            ratioPeak.push_back(peak[0] / peak[1]);
            ratioWall.push_back(wall[0] / wall[1]);
        }
        std::printf("  => budget/unbounded peak: min %.2f median %.2f;  wall: min %.2f median %.2f\n",
                    Min(ratioPeak), Median(ratioPeak), Min(ratioWall), Median(ratioWall));
        if (only == "memory") return 0;
    }

    // ---- 1. serial against the pool, 320 x 240 ----
    if (!modelOnly && only != "add") {
        const std::string frame = BlankFrame(ws, "slot.img", 320, 240);
        auto a = Attach(frame + ",sync=0");
        a->dpf.ReadDPFInfo();
        BatchOptions o;
        o.lcdWidth = 320;
        o.lcdHeight = 240;
        o.slotSize = size_t(a->dpf.GetOnePicSize());
        o.startQuality = 90;
        std::printf("\n[batch] %d photos -> 320 x 240, slot %zu bytes, %u cores, window 2 x cores\n", photos,
                    o.slotSize, std::max(1u, std::thread::hardware_concurrency()));
        std::vector<double> serialWall, poolWall, poolCpuPerWall, ratio;
        bool identical = true;
        for (int r = 0; r < reps; ++r) {
            std::vector<std::vector<uint8_t>> outS, outP;
            auto runSerial = [&] {
                outS.clear();
                const double c0 = CpuSeconds(), k0 = SysSeconds();
                const auto t0 = Clock::now();
                PrepareBatchSerially(ws.photos, o, [&](BatchResult& b) {
                    outS.push_back(b.fit.bytes);
                    return true;
                });
                const double wall = Seconds(Clock::now() - t0), cpu = CpuSeconds() - c0;
                serialWall.push_back(wall);
                std::printf("  rep %d serial  wall %.3f s  cpu %.3f s (sys %.3f)  cpu/wall %.2f\n", r, wall, cpu,
                            SysSeconds() - k0, cpu / wall);
            };
            auto runPool = [&] {
                outP.clear();
                const double c0 = CpuSeconds(), k0 = SysSeconds();
                const auto t0 = Clock::now();
                PrepareBatch(ws.photos, o, [&](BatchResult& b) {
                    outP.push_back(b.fit.bytes);
                    return true;
                });
                const double wall = Seconds(Clock::now() - t0), cpu = CpuSeconds() - c0;
                poolWall.push_back(wall);
                poolCpuPerWall.push_back(cpu / wall);
                std::printf("  rep %d pool    wall %.3f s  cpu %.3f s (sys %.3f)  cpu/wall %.2f\n", r, wall, cpu,
                            SysSeconds() - k0, cpu / wall);
            };
            // Alternate which goes first, so a change in the machine's load
            // does not always favour the same side.
            if (only == "serial") { runSerial(); continue; }
            if (only == "pool") { runPool(); continue; }
            if (r % 2 == 0) { runSerial(); runPool(); } else { runPool(); runSerial(); }
            std::fflush(stdout);
            ratio.push_back(poolWall.back() / serialWall.back());
            identical = identical && outS == outP;
        }
        std::printf("  => pool/serial wall: min %.2f median %.2f;  pool cpu/wall: min %.2f median %.2f;  "
                    "outputs %s\n",
                    Min(ratio), Median(ratio), Min(poolCpuPerWall), Median(poolCpuPerWall),
                    identical ? "byte-identical" : "DIFFERENT");
    }

    if (only == "serial" || only == "pool") return 0;

    // ---- 2. add of 5 photos on a slow link ----
    if (!modelOnly) {
        const std::vector<QString> five(ws.photos.begin(), ws.photos.begin() + std::min(5, photos));
        std::printf("\n[add, latency_us=2000] %zu photos -> 128 x 128, prepared first vs commit fed by the pool\n",
                    five.size());
        std::vector<double> overRatio, wallRatio;
        for (int r = 0; r < reps; ++r) {
            for (int side = 0; side < 2; ++side) {
                const bool overlapped = (side == 0) == (r % 2 == 0);
                const std::string frame = BlankFrame(ws, "slow.img", 128, 128);
                const AddTiming t = Add(frame + ",sync=0,latency_us=2000", five, overlapped);
                std::printf("  rep %d %-10s wall %.3f s  wire %.3f s  wall/wire %.3f  waited %.3f s  added %d\n", r,
                            overlapped ? "overlapped" : "serial", t.wall, t.wire, t.wall / t.wire, t.waited, t.added);
                if (overlapped) overRatio.push_back(t.wall / t.wire);
                else wallRatio.push_back(t.wall / t.wire);
            }
            std::fflush(stdout);
        }
        std::printf("  => wall/wire overlapped: min %.3f median %.3f;  serial: min %.3f median %.3f\n",
                    Min(overRatio), Median(overRatio), Min(wallRatio), Median(wallRatio));
    }

    // ---- 3. the frame model ----
    if (only.empty()) {
        std::printf("\n[frame model: usb-full-speed] 2 MiB flash, album at 1 MiB, 60 pictures\n");
        const int sizes[2][2] = {{128, 128}, {320, 240}};
        const int addCount = std::min(10, photos);
        const std::vector<QString> ten(ws.photos.begin(), ws.photos.begin() + addCount);
        for (const auto& s : sizes) {
            const int w = s[0], h = s[1];
            // Adding 10 photos, serial and overlapped.
            for (int side = 0; side < (quick ? 1 : 2); ++side) {
                const bool overlapped = side == 0;
                const std::string frame = BlankFrame(ws, "model.img", w, h);
                const AddTiming t = Add(frame + ",sync=0,model=usb-full-speed", ten, overlapped);
                std::printf("  %dx%d add %d photos (%s): frame model %.2f s; here: wall %.2f s, wire %.2f s "
                            "(%.0f%%), rest %.2f s\n", w, h, t.added, overlapped ? "overlapped" : "serial", t.model,
                            t.wall, t.wire, 100 * t.wire / t.wall, t.wall - t.wire);
            }
            // An album of 60 pictures, filled without the model, read with it.
            const std::string frame = BlankFrame(ws, "full.img", w, h);
            {
                std::vector<QString> sixty;
                for (int i = 0; i < 60; ++i) sixty.push_back(ws.photos[size_t(i % photos)]);
                Add(frame + ",sync=0", sixty, true);
            }
            double wire = 0, model = 0;
            int n = 0;
            const double wall = ReadAlbum(frame + ",sync=0,model=usb-full-speed", wire, model, n);
            std::printf("  %dx%d read album of %d pictures: frame model %.2f s; here: wall %.2f s, wire %.2f s\n",
                        w, h, n, model, wall, wire);
            // A full frame: the 10 new pictures go into slots that held
            // pictures, so every unit of them is erased. The last 10 are
            // deleted by an earlier commit (the old album no longer uses the
            // slots) or in the add's own commit (the new pictures wait for
            // the backup that leaves the old ones out).
            const std::string full = ws.dir + "/full-add.img";
            for (const bool sameCommit : {false, true}) {
                std::filesystem::copy_file(frame, full, std::filesystem::copy_options::overwrite_existing);
                if (!sameCommit) {
                    auto a = Attach(full + ",sync=0");
                    a->dpf.ReadDPFInfo();
                    a->dpf.Read();
                    for (int i = 0; i < addCount; ++i) a->dpf.DeleteFileAt(n - 1 - i);
                    a->dpf.Update();
                }
                const AddTiming t = Add(full + ",sync=0,model=usb-full-speed", ten, true, sameCommit ? addCount : 0);
                std::printf("  %dx%d add %d photos to a full frame (%d deleted %s): frame model %.2f s; "
                            "here: wall %.2f s, wire %.2f s\n", w, h, t.added, addCount,
                            sameCommit ? "in the same commit" : "before", t.model, t.wall, t.wire);
            }
            std::fflush(stdout);
        }
    }
    return 0;
}
