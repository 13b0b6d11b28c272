// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Shared pieces of kestova-cli: the options every command sees, the error type
// that carries an exit code, and how a command gets hold of the frame.

#include "device/CommUSB.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestova::cli {

// Exit codes (documented in README.md).
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,      // bad arguments (CLI11's own parse errors keep theirs)
    kExitNoFrame = 2,    // no frame found / frame could not be opened
    kExitDevice = 3,     // a command to the frame failed (pulled cable, checksum)
    kExitAlbum = 4,      // the album on the frame is unusable or an edit was refused
    kExitFile = 5,       // a local file could not be read or written
    kExitPartial = 6,    // some inputs were skipped (e.g. unreadable pictures)
    kExitBusy = 7,       // the frame is in use by another program; nothing read or written
};

class CliError : public std::runtime_error {
public:
    CliError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }
private:
    int code_;
};

struct CliContext {
    // --frame PATH[,key=value...] or KESTOVA_FRAME; empty means "discover".
    std::string frameArg;
    // --wait [SECONDS]: how long to wait for a frame another program holds;
    // empty: not at all; "forever" (--wait alone): until it is let go.
    std::string wait;
};

// Opens the frame named by ctx.frameArg (a virtual frame), or the one that
// discovery finds when none is named, and returns an online link that holds
// the frame exclusively until it is destroyed.
// Throws CliError(kExitNoFrame) with a message that tells the user what to
// do, or CliError(kExitBusy) when another program holds the frame (after
// waiting as --wait says).
std::unique_ptr<CCommUSB> AttachFrame(const CliContext& ctx);

// `s` as a JSON string literal, quotes included. Valid UTF-8 passes through;
// any other byte of 0x80 and above is taken as Latin-1 (firmware texts are
// 8-bit), so the output is always valid JSON.
std::string JsonString(const std::string& s);

// Reads a whole input file of at most `cap` bytes into `bytes`. Only regular
// files are read: a device, a named pipe or a socket is refused at once
// (opened without waiting, never read), and the cap is checked while reading,
// not trusted from the file's stated size. False with `why` ("is a device",
// "is a folder", "is longer than N bytes", the system's reason) on refusal.
bool ReadInputFile(const std::string& path, size_t cap, std::vector<uint8_t>& bytes, std::string& why);

// Natural name order, the same on every system and in every locale: runs
// of ASCII digits compare by their number (2 before 10; of equal numbers the
// one with fewer leading zeros first), everything else byte by byte with
// ASCII letters case-folded; names equal so far fall back to plain byte
// order, so no two different names are ever equal.
bool NaturalLess(const std::string& a, const std::string& b);

// Each group of subcommands registers itself here.
void RegisterDeviceCommands(CLI::App& app, CliContext& ctx);     // frame new, probe, clock
void RegisterAlbumCommands(CLI::App& app, CliContext& ctx);      // info, ls, rm, mv, get, put, colors
void RegisterImagingCommands(CLI::App& app, CliContext& ctx);    // add, sync, export, show
void RegisterBackupCommands(CLI::App& app, CliContext& ctx);     // backup, restore
void RegisterDiscoveryCommands(CLI::App& app, CliContext& ctx);  // list, watch

} // namespace kestova::cli
