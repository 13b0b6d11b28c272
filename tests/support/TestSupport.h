// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the core's test folders share: temporary folders, whole-file reads and
// writes, and a unit wrapper that injects faults deterministically.

#include "device/ScsiUnit.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
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
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kestova-test-XXXXXX";
        if (!mkdtemp(tmpl.data())) std::abort();
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string File(const std::string& name) const { return (path_ / name).string(); }
    std::string Path() const { return path_.string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The whole file; empty when it cannot be read.
inline std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Wraps a unit; `hook` sees every command after the inner unit ran it and may
// change the reply and the result. Commands are counted from 0.
class FaultyUnit : public ScsiUnit {
public:
    using Hook = std::function<bool(int index, const uint8_t* cdb, uint8_t* buffer, int32_t length,
                                    DataDirection dir, bool ok)>;
    FaultyUnit(std::unique_ptr<ScsiUnit> inner, Hook hook) : inner_(std::move(inner)), hook_(std::move(hook)) {}
    // A command the hook fails that the unit ran well ends as a transport error.
    ScsiResult Execute(const uint8_t cdb[16], uint8_t* buffer, int32_t length, DataDirection dir,
                       unsigned timeoutMs) override {
        const ScsiResult r = inner_->Execute(cdb, buffer, length, dir, timeoutMs);
        if (!hook_) return r;
        const bool ok = hook_(index_++, cdb, buffer, length, dir, r.good());
        if (ok == r.good()) return r;
        return ok ? ScsiResult::Good() : ScsiResult::Transport();
    }
    bool Inquiry(InquiryData& out) override { return inner_->Inquiry(out); }
    void Release() override { inner_->Release(); }
    std::string Name() const override { return inner_->Name(); }

private:
    std::unique_ptr<ScsiUnit> inner_;
    Hook hook_;
    int index_ = 0;
};

} // namespace kestova::test
