// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Helpers for album tests: small frame images, a DPF attached to a virtual
// frame, a fault-injecting unit, and decoding of the frame's command log into
// erase / verified-write steps.

#include "device/CommUSB.h"
#include "device/virtual/FrameImage.h"
#include "device/virtual/VirtualFrame.h"
#include "flash_manager/DPF.h"
#include "tests/support/TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace kestova::albumtest {

using test::FaultyUnit;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// A small frame: 128 KiB flash, album at 64 KiB, 6 pictures -> 6 slots of
// 8 KiB. Small enough for a command-by-command crash sweep.
inline FrameImageLayout SmallLayout() {
    FrameImageLayout l;
    l.flashSize = 128u << 10;
    l.albumStart = 64u << 10;
    l.maxPictures = 6;
    l.lcdWidth = 96;
    l.lcdHeight = 64;
    return l;
}

// A 256 KiB frame whose DPFH record (at 0x1000, found through 0x1010) moves
// the album from 64 KiB to 128 KiB, with room for 6 pictures.
inline FrameImageLayout MovedAlbumLayout() {
    FrameImageLayout l;
    l.flashSize = 256u << 10;
    l.albumStart = 64u << 10;
    l.maxPictures = 6;
    l.dpfhLocator = 0x1010;
    l.dpfhTarget = 0x18001;
    return l;
}

inline std::string MakeImage(const TempDir& dir, const FrameImageLayout& layout,
                             const std::string& name = "frame.img") {
    const std::string p = dir.File(name);
    WriteImageFile(p, BuildFrameImage(layout), /*overwrite=*/true);
    return p;
}

// Deterministic picture bytes, different for every seed.
inline std::vector<uint8_t> Picture(size_t size, unsigned seed) {
    std::vector<uint8_t> v(size);
    uint32_t x = 0x9E3779B9u * (seed + 1);
    for (auto& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x);
    }
    return v;
}

struct Frame {
    std::unique_ptr<DPF> dpf;
    std::shared_ptr<VirtualFrameMonitor> monitor;
};

// A DPF on the virtual frame named by `frameArg` (sync=0 is added: the tests open
// the same image again in this process, which sees every change anyway).
inline Frame OpenFrame(const std::string& frameArg, ProgressCallback progress = nullptr,
                       FaultyUnit::Hook hook = nullptr) {
    Frame f;
    auto unit = VirtualFrame::Open(frameArg + ",sync=0");
    f.monitor = unit->Monitor();
    auto link = std::make_unique<CCommUSB>();
    if (hook)
        link->AttachUnit(std::make_unique<FaultyUnit>(std::move(unit), std::move(hook)));
    else
        link->AttachUnit(std::move(unit));
    f.dpf = std::make_unique<DPF>();
    f.dpf->Init(std::move(link), std::move(progress));
    // A pulled frame fails its status polls; don't sleep through them.
    f.dpf->GetFlashLayer()->SetSleeper([](unsigned) {});
    return f;
}

// Opens and loads the album (information block, index).
inline Frame LoadFrame(const std::string& frameArg, ProgressCallback progress = nullptr,
                       FaultyUnit::Hook hook = nullptr) {
    Frame f = OpenFrame(frameArg, std::move(progress), std::move(hook));
    f.dpf->ReadDPFInfo();
    f.dpf->Read();
    return f;
}

inline std::vector<uint8_t> PictureAt(DPF& dpf, int index) {
    std::vector<uint8_t> buf(size_t(dpf.GetOnePicSize()));
    int length = 0;
    if (dpf.GetFileAtIndex(index, buf.data(), int(buf.size()), length) != 1) {
        // A damaged index can list a picture longer than a slot.
        if (length <= int(buf.size())) return {};
        buf.resize(size_t(length));
        if (dpf.GetFileAtIndex(index, buf.data(), int(buf.size()), length) != 1) return {};
    }
    buf.resize(size_t(length));
    return buf;
}

// A fresh attach of a byte copy of the image, loaded: a test may look at what
// the flash holds while its own frame still holds the image (one holder at a
// time), and the look itself never changes the image. The copy lies beside
// the image and is removed with the test's folder.
inline Frame LoadView(const std::string& frameArg) {
    static int views = 0;
    const std::string path = ParseVirtualFrameArgument(frameArg).path;
    const std::string copy = path + ".view" + std::to_string(++views);
    WriteFile(copy, ReadFile(path));
    return LoadFrame(copy + frameArg.substr(path.size()));
}

// The album as a fresh attach of the image shows it: every picture's bytes, in
// order (read through LoadView).
using Album = std::vector<std::vector<uint8_t>>;
inline Album ReadAlbum(const std::string& frameArg) {
    Frame f = LoadView(frameArg);
    int n = 0;
    f.dpf->GetFileNum(n);
    Album a;
    for (int i = 0; i < n; ++i) a.push_back(PictureAt(*f.dpf, i));
    return a;
}

// ---- command log decoding ----
inline uint32_t Be24(const uint8_t* p) { return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]; }
inline bool IsWren(const FrameCommand& c) { return c.cdb[0] == 0xCB && c.cdb[10] == 0x06; }
inline bool IsWrsr0(const FrameCommand& c) {
    return c.cdb[0] == 0xCB && c.cdb[10] == 0x01 && c.cdb[11] == 0;
}
inline bool IsErase(const FrameCommand& c) {
    return c.cdb[0] == 0xCB && c.cdb[6] == 4 && c.cdb[10] == 0x20;
}
inline bool IsProgram(const FrameCommand& c) {
    return c.cdb[0] == 0xCB && c.cdb[6] == 4 && c.cdb[10] == 0x02;
}
inline bool IsChecksum(const FrameCommand& c) { return c.cdb[0] == 0xCD && c.cdb[5] == 5; }
inline bool IsRead(const FrameCommand& c) { return c.cdb[0] == 0xCD && c.cdb[5] == 0 && c.cdb[10] == 0x03; }
inline bool IsStatusRead(const FrameCommand& c) { return c.cdb[0] == 0xCD && c.cdb[10] == 0x05; }
inline bool IsPowerDownRelease(const FrameCommand& c) {
    return c.cdb[0] == 0xCB && c.cdb[10] == 0xAB;
}

// One step of a commit as the flash sees it.
struct Step {
    char kind;         // 'E' erase, 'W' verified write (program + checksum), 'P' power-down
                       // release, 'C' a checksum query on its own (erase check; length kept),
                       // 'R' verified read (read, status polls, checksum of the same range)
    uint32_t address;
    uint32_t length;   // W only
    bool operator==(const Step&) const = default;
};

inline std::string Describe(const Step& s) {
    char buf[64];
    if (s.kind == 'W' || s.kind == 'C' || s.kind == 'R')
        std::snprintf(buf, sizeof buf, "%c %06X+%u", s.kind == 'R' ? 'R' : 'W', s.address, s.length);
    else
        std::snprintf(buf, sizeof buf, "%c %06X", s.kind, s.address);
    return buf;
}

// Decodes a log into steps. Every erase and program must carry the
// write-enable preamble (WREN, WRSR 0, WREN) and every program must be
// followed by a checksum query of the same range; `error` names the first
// command that breaks this.
inline std::vector<Step> DecodeSteps(const std::vector<FrameCommand>& log, std::string& error) {
    std::vector<Step> steps;
    for (size_t i = 0; i < log.size(); ++i) {
        const FrameCommand& c = log[i];
        if (IsPowerDownRelease(c)) {
            steps.push_back({'P', 0, 0});
            continue;
        }
        if (IsRead(c)) {
            size_t j = i + 1;
            while (j < log.size() && IsStatusRead(log[j])) ++j;
            if (j == log.size() || !IsChecksum(log[j]) || Be24(&log[j].cdb[11]) != Be24(&c.cdb[11])) {
                error = "read without its checksum at command " + std::to_string(i);
                return steps;
            }
            steps.push_back({'R', Be24(&c.cdb[11]), uint32_t(log[j].cdb[7]) << 8 | log[j].cdb[8]});
            i = j;
            continue;
        }
        if (IsChecksum(c)) {
            steps.push_back({'C', Be24(&c.cdb[11]), uint32_t(c.cdb[7]) << 8 | c.cdb[8]});
            continue;
        }
        if (i + 3 < log.size() && IsWren(c) && IsWrsr0(log[i + 1]) && IsWren(log[i + 2])) {
            const FrameCommand& op = log[i + 3];
            if (IsErase(op)) {
                steps.push_back({'E', Be24(&op.cdb[11]), 0});
                i += 3;
                continue;
            }
            if (IsProgram(op) && i + 4 < log.size() && IsChecksum(log[i + 4])) {
                const FrameCommand& sum = log[i + 4];
                const uint32_t len = Be24(&op.cdb[7]);
                const uint32_t sumLen = uint32_t(sum.cdb[7]) << 8 | sum.cdb[8];
                if (Be24(&sum.cdb[11]) != Be24(&op.cdb[11]) || sumLen != len) {
                    error = "checksum range differs from the write at command " + std::to_string(i);
                    return steps;
                }
                steps.push_back({'W', Be24(&op.cdb[11]), len});
                i += 4;
                continue;
            }
        }
        error = "unexpected command at " + std::to_string(i);
        return steps;
    }
    return steps;
}

} // namespace kestova::albumtest
