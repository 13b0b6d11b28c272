#pragma once
// Helpers for device tests: temporary frame images and a unit wrapper that
// injects faults deterministically.

#include "device/CommUSB.h"
#include "device/ScsiUnit.h"
#include "device/virtual/FrameImage.h"
#include "device/virtual/VirtualFrame.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace kestova::test {

// A directory under TMPDIR that is removed with everything in it.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kestova-dev-XXXXXX";
        if (!mkdtemp(tmpl.data())) std::abort();
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

inline std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    std::vector<uint8_t> bytes(size_t(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    return bytes;
}

// A blank formatted image (defaults: 2 MiB, album at 1 MiB) in `dir`.
inline std::string MakeImage(const TempDir& dir, const std::string& name = "frame.img",
                             FrameImageLayout layout = {}) {
    const std::string p = dir.File(name);
    FormatFrameImage(p, layout, /*overwrite=*/true);
    return p;
}

// Wraps a unit; `hook` sees every command after the inner unit ran it and may
// change the data and the result. Commands are counted from 0.
class FaultyUnit : public ScsiUnit {
public:
    using Hook = std::function<bool(int index, const uint8_t* cdb, uint8_t* buffer, int32_t length,
                                    DataDirection dir, bool ok)>;
    FaultyUnit(std::unique_ptr<ScsiUnit> inner, Hook hook) : inner_(std::move(inner)), hook_(std::move(hook)) {}
    bool Execute(const uint8_t cdb[16], uint8_t* buffer, int32_t length, DataDirection dir,
                 unsigned timeoutMs) override {
        const bool ok = inner_->Execute(cdb, buffer, length, dir, timeoutMs);
        return hook_ ? hook_(index_++, cdb, buffer, length, dir, ok) : ok;
    }
    bool Inquiry(InquiryData& out) override { return inner_->Inquiry(out); }
    void Release() override { inner_->Release(); }
    std::string Name() const override { return inner_->Name(); }

private:
    std::unique_ptr<ScsiUnit> inner_;
    Hook hook_;
    int index_ = 0;
};

inline bool IsRead(const FrameCommand& c) { return c.cdb[0] == 0xCD && c.cdb[5] == 0 && c.cdb[10] == 0x03; }
inline bool IsChecksum(const FrameCommand& c) { return c.cdb[0] == 0xCD && c.cdb[5] == 5; }
inline bool IsStatus(const FrameCommand& c) { return c.cdb[0] == 0xCD && c.cdb[5] == 0 && c.cdb[10] == 0x05; }
inline uint32_t Be24(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }

} // namespace kestova::test
