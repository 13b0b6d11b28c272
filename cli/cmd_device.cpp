// SPDX-License-Identifier: GPL-3.0-or-later
// Device commands: frame new, probe, clock.

#include "cli/cli_common.h"
#include "cli/frame_demo.h"

#include "device/DeviceText.h"
#include "device/ProcessFlash.h"
#include "device/virtual/FrameImage.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace kestova::cli {

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// "2097152", "0x200000", "2M", "2MiB", "512K", "512KiB".
uint64_t ParseSize(const std::string& option, const std::string& text) {
    std::string t = Lower(text);
    uint64_t scale = 1;
    auto strip = [&](const char* suffix, uint64_t s) {
        const size_t n = std::strlen(suffix);
        if (t.size() > n && t.compare(t.size() - n, n, suffix) == 0) {
            t.resize(t.size() - n);
            scale = s;
            return true;
        }
        return false;
    };
    if (t.rfind("0x", 0) != 0)  // hex digits include b, so only decimals take suffixes
        strip("kib", 1024) || strip("mib", 1024 * 1024) || strip("k", 1024) || strip("m", 1024 * 1024);
    size_t pos = 0;
    uint64_t v = 0;
    try {
        if (t.empty() || t[0] == '-' || t[0] == '+') throw std::invalid_argument(t);
        v = std::stoull(t, &pos, 0);
    } catch (const std::exception&) {
        pos = std::string::npos;
    }
    if (pos != t.size() || v > (uint64_t(1) << 32) / scale)
        throw CliError(kExitUsage, option + ": '" + text + "' is not a size (use e.g. 2M, 512K, 0x200000)");
    return v * scale;
}

uint32_t Parse24(const std::string& option, const std::string& text) {
    const uint64_t v = ParseSize(option, text);
    if (v > 0xFFFFFF) throw CliError(kExitUsage, option + ": " + text + " does not fit 24 bits");
    return uint32_t(v);
}

void ParseLcd(const std::string& text, uint16_t& w, uint16_t& h) {
    const auto x = Lower(text).find('x');
    unsigned long a = 0, b = 0;
    bool ok = x != std::string::npos && x > 0 && x + 1 < text.size();
    if (ok) {
        try {
            size_t p1 = 0, p2 = 0;
            const std::string sw = text.substr(0, x), sh = text.substr(x + 1);
            a = std::stoul(sw, &p1, 10);
            b = std::stoul(sh, &p2, 10);
            ok = p1 == sw.size() && p2 == sh.size() && std::isdigit(static_cast<unsigned char>(sw[0])) &&
                 std::isdigit(static_cast<unsigned char>(sh[0]));
        } catch (const std::exception&) {
            ok = false;
        }
    }
    if (!ok || a == 0 || b == 0 || a > 4096 || b > 4096)
        throw CliError(kExitUsage, "--lcd: '" + text + "' is not WIDTHxHEIGHT (e.g. 128x128)");
    w = uint16_t(a);
    h = uint16_t(b);
}

std::string Hex(uint64_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%llX", static_cast<unsigned long long>(v));
    return b;
}

std::string CdbHex(const uint8_t* cdb) {
    std::string s;
    char b[4];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", cdb[i]);
        s += b;
    }
    return s;
}

// What a clock frame says, in words.
struct ClockText {
    std::string when;   // YYYY-MM-DD hh:mm:ss
    int zoneByte = 0;
    std::string zone;   // UTC+8
    int dst = 0;
};

ClockText DescribeClock(const uint8_t* cdb) {
    ClockText t;
    char b[40];
    std::snprintf(b, sizeof b, "%04d-%02d-%02d %02d:%02d:%02d", cdb[6] * 100 + cdb[5], cdb[7], cdb[8], cdb[9],
                  cdb[10], cdb[11]);
    t.when = b;
    t.zoneByte = cdb[15];
    const int hours = int(cdb[15]) - 12;
    std::snprintf(b, sizeof b, "UTC%+d", hours);
    t.zone = hours == 0 ? "UTC" : b;
    t.dst = cdb[14];
    return t;
}

struct Session {
    std::unique_ptr<CCommUSB> link;
    CProcessFlash flash;
};

std::unique_ptr<Session> Attach(const CliContext& ctx) {
    auto s = std::make_unique<Session>();
    s->link = AttachFrame(ctx);
    s->flash.SetHidComm(s->link.get());
    return s;
}

void SetClock(Session& s) {
    if (!s.flash.SynchronizeDPFTime())
        throw CliError(kExitDevice, "Synchronize time failed! (the frame did not take the clock command)");
}

// ---------------------------------------------------------------- frame new

struct FrameNewArgs {
    std::string path;
    std::string lcd = "128x128";
    std::string flashSize = "2M";
    std::string albumStart = "1M";
    unsigned maxPictures = 60;
    std::string eraseOpcode = "0x20";
    bool programMode = false;
    std::string dpfh;
    std::string dpfhTarget;
    bool force = false;
    bool json = false;
    bool demo = false;
};

void RunFrameNew(const FrameNewArgs& a) {
    FrameImageLayout l;
    ParseLcd(a.lcd, l.lcdWidth, l.lcdHeight);
    l.flashSize = Parse24("--flash", a.flashSize);
    l.albumStart = Parse24("--album-start", a.albumStart);
    if (a.maxPictures > 0xFFFF) throw CliError(kExitUsage, "--max: at most 480 pictures fit the album index");
    l.maxPictures = uint16_t(a.maxPictures);
    const uint64_t op = ParseSize("--erase-opcode", a.eraseOpcode);
    if (op > 0xFF) throw CliError(kExitUsage, "--erase-opcode: " + a.eraseOpcode + " is not one byte");
    l.eraseOpcode = uint8_t(op);
    l.programMode = a.programMode;
    if (!a.dpfh.empty()) l.dpfhLocator = Parse24("--dpfh", a.dpfh);
    if (!a.dpfhTarget.empty()) {
        if (!l.dpfhLocator) throw CliError(kExitUsage, "--dpfh-target needs --dpfh");
        l.dpfhTarget = Parse24("--dpfh-target", a.dpfhTarget);
    }
    try {
        FormatFrameImage(a.path, l, a.force);
    } catch (const std::invalid_argument& e) {
        throw CliError(kExitUsage, e.what());
    } catch (const std::exception& e) {
        throw CliError(kExitFile, e.what());
    }
    if (a.path.find(',') != std::string::npos)
        std::fprintf(stderr,
                     "kestova-cli: warning: %s holds a comma, which --frame also uses to separate options; "
                     "it is found while the file exists, but a name without commas is safer\n",
                     a.path.c_str());
    if (a.json) {
        std::printf("{\"path\": %s, \"lcd_width\": %u, \"lcd_height\": %u, \"flash_size\": %u, "
                    "\"album_start\": %u, \"max_pictures\": %u, \"erase_opcode\": %u, \"program_mode\": %s",
                    JsonString(a.path).c_str(), l.lcdWidth, l.lcdHeight, l.flashSize, l.albumStart,
                    unsigned(l.maxPictures), unsigned(l.eraseOpcode), l.programMode ? "true" : "false");
        if (l.dpfhLocator) std::printf(", \"dpfh_locator\": %u", *l.dpfhLocator);
        std::printf("}\n");
    } else {
        std::printf("created %s: %ux%u LCD, %s flash, album at %s, %u pictures, erase opcode %s%s\n",
                    a.path.c_str(), l.lcdWidth, l.lcdHeight, Hex(l.flashSize).c_str(), Hex(l.albumStart).c_str(),
                    unsigned(l.maxPictures), Hex(l.eraseOpcode).c_str(), l.programMode ? ", program mode" : "");
    }
    if (a.demo) {
        std::fflush(stdout);
        const int count = AddSamplePictures(a.path);
        std::printf("the demo frame %s holds %d sample picture%s\n", a.path.c_str(), count, count == 1 ? "" : "s");
    }
}

// ---------------------------------------------------------------- probe

void RunProbe(const CliContext& ctx, bool json) {
    auto s = Attach(ctx);
    uint8_t block[512];
    const int rc = s->flash.ReadData(0, 512, block);
    if (rc != CProcessFlash::kReadOk)
        throw CliError(kExitDevice, "reading the frame's information block failed (" +
                                        std::string(rc == CProcessFlash::kReadChecksumMismatch
                                                        ? "checksum mismatch"
                                                        : rc == CProcessFlash::kReadChecksumQueryFailed
                                                              ? "checksum query failed"
                                                              : "read failed") +
                                        ")");
    const FrameInfoBlock info = ParseFrameInfoBlock(block);
    s->flash.SetOPCMD(info.eraseOpcode, char(info.programModeFlag));

    // Where the album really starts when a valid DPFH record moves it.
    std::optional<uint32_t> dpfhStart;
    if (info.dpfhValid && info.dpfhLocator >= 16) {
        uint8_t rec[64];
        if (s->flash.ReadData(int32_t(info.dpfhLocator - 16), 64, rec) == CProcessFlash::kReadOk) {
            const uint32_t v = uint32_t(rec[11]) | (uint32_t(rec[12]) << 8) | (uint32_t(rec[13]) << 16);
            dpfhStart = (v + 0xFFFFu) & ~0xFFFFu;
        }
    }

    SetClock(*s);
    const ClockText clock = DescribeClock(s->flash.LastClockFrame());
    // The flash layer clears `other` only when the query itself failed.
    std::string version, other = "unchanged";
    const bool haveVersion = s->flash.ReadFirmwareVersion(version, other);
    const bool versionFailed = !haveVersion && other.empty();
    auto failIfVersionFailed = [&] {
        if (versionFailed)
            throw CliError(kExitDevice, "the frame did not answer the firmware version query; check the cable");
    };
    const unsigned maxPictures = info.maxPictures == 0 ? 60 : info.maxPictures;

    if (json) {
        std::printf("{\"frame\": %s, \"lcd_width\": %u, \"lcd_height\": %u, \"flash_size\": %u, "
                    "\"album_start\": %u, \"erase_opcode\": %u, \"program_mode\": %s, \"max_pictures\": %u, "
                    "\"dpfh\": %s, ",
                    JsonString(s->link->UnitName()).c_str(), info.lcdWidth, info.lcdHeight, info.flashSize,
                    info.albumStart, unsigned(info.eraseOpcode), info.programModeFlag ? "true" : "false",
                    maxPictures, info.dpfhValid ? "true" : "false");
        if (dpfhStart) std::printf("\"dpfh_album_start\": %u, ", *dpfhStart);
        std::printf("\"firmware\": %s, \"clock\": %s, \"zone_byte\": %d, \"dst\": %d}\n",
                    haveVersion ? JsonString(version).c_str() : "null", JsonString(clock.when).c_str(),
                    clock.zoneByte, clock.dst);
        failIfVersionFailed();
        return;
    }
    std::printf("frame:          %s\n", s->link->UnitName().c_str());
    std::printf("LCD:            %u x %u\n", info.lcdWidth, info.lcdHeight);
    std::printf("flash size:     %u bytes (%s)\n", info.flashSize, Hex(info.flashSize).c_str());
    std::printf("album start:    %s\n", Hex(info.albumStart).c_str());
    if (dpfhStart)
        std::printf("DPFH record:    at %s, album moved to %s\n", Hex(info.dpfhLocator).c_str(),
                    Hex(*dpfhStart).c_str());
    else if (info.dpfhMagic)
        std::printf("DPFH record:    present but its check byte is wrong; ignored\n");
    else
        std::printf("DPFH record:    none\n");
    std::printf("erase opcode:   %s\n", Hex(info.eraseOpcode).c_str());
    std::printf("program mode:   %s\n", info.programModeFlag ? "on" : "off");
    std::printf("max pictures:   %u\n", maxPictures);
    std::printf("firmware:       %s\n", versionFailed ? "(the query failed)"
                                        : haveVersion ? EscapeDeviceText(version).c_str()
                                                      : "(none reported)");
    std::printf("clock set to:   %s %s%s\n", clock.when.c_str(), clock.zone.c_str(),
                clock.dst ? " (daylight saving)" : "");
    failIfVersionFailed();
}

// ---------------------------------------------------------------- clock

void RunClock(const CliContext& ctx, bool json) {
    auto s = Attach(ctx);
    SetClock(*s);
    const uint8_t* cdb = s->flash.LastClockFrame();
    const ClockText c = DescribeClock(cdb);
    if (json) {
        std::printf("{\"clock\": %s, \"zone_byte\": %d, \"dst\": %d, \"command\": %s}\n", JsonString(c.when).c_str(),
                    c.zoneByte, c.dst, JsonString(CdbHex(cdb)).c_str());
    } else {
        std::printf("clock set to %s %s%s, zone byte %d\ncommand: %s\n", c.when.c_str(), c.zone.c_str(),
                    c.dst ? " (daylight saving)" : "", c.zoneByte, CdbHex(cdb).c_str());
    }
}

} // namespace

void RegisterDeviceCommands(CLI::App& app, CliContext& ctx) {
    // frame new
    auto* frame = app.add_subcommand("frame", "Work with virtual frames (flash image files)");
    frame->require_subcommand(1);
    auto args = std::make_shared<FrameNewArgs>();
    auto* fnew = frame->add_subcommand(
        "new", "Create a blank virtual frame image: information block, everything else erased (0xFF)");
    fnew->add_option("path", args->path, "Image file to create")->required();
    fnew->add_option("--lcd", args->lcd, "LCD size WIDTHxHEIGHT")->capture_default_str();
    fnew->add_option("--flash", args->flashSize, "Flash size (e.g. 2M, 4096K, 0x200000)")->capture_default_str();
    fnew->add_option("--album-start", args->albumStart, "Flash address where the album begins")
        ->capture_default_str();
    fnew->add_option("--max", args->maxPictures, "Maximum number of pictures (0 means 60)")->capture_default_str();
    fnew->add_option("--erase-opcode", args->eraseOpcode, "SPI opcode that erases one 4096-byte unit")
        ->capture_default_str();
    fnew->add_flag("--program-mode", args->programMode, "Set the program-mode flag in the information block");
    fnew->add_option("--dpfh", args->dpfh,
                     "Add a DPFH record whose locator is ADDR (the record lies at ADDR-16); "
                     "it points at the album start");
    fnew->add_option("--dpfh-target", args->dpfhTarget,
                     "Address stored in the DPFH record (default: the album start); the album then starts at "
                     "the next multiple of 64 KiB");
    fnew->add_flag("--force", args->force, "Replace an existing file");
    auto* json = fnew->add_flag("--json", args->json, "Print the result as JSON");
    fnew->add_flag("--demo", args->demo, "Then add six sample pictures drawn by kestova (a demo frame)")
        ->excludes(json);
    fnew->callback([args] { RunFrameNew(*args); });

    // probe
    auto probeJson = std::make_shared<bool>(false);
    auto* probe = app.add_subcommand(
        "probe", "Attach the frame, show its information block and firmware version, and set its clock");
    probe->add_flag("--json", *probeJson, "Print the result as JSON");
    probe->callback([&ctx, probeJson] { RunProbe(ctx, *probeJson); });

    // clock
    auto clockJson = std::make_shared<bool>(false);
    auto* clock = app.add_subcommand("clock", "Set the frame's clock from this computer's local time and zone");
    clock->add_flag("--json", *clockJson, "Print the result as JSON");
    clock->callback([&ctx, clockJson] { RunClock(ctx, *clockJson); });
}

} // namespace kestova::cli
