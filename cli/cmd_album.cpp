// SPDX-License-Identifier: GPL-3.0-or-later
// Album commands: info, ls, rm, mv, get, put, colors. Every edit is written to
// the frame at once, in the crash-safe commit order of the album layer.

#include "cli/album_session.h"

#include "device/DeviceText.h"
#include "common/coder/Kv350Encoder.h"
#include "flash_manager/DPF.h"
#include "common/files/SafeFile.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sys/stat.h>
#include <string>
#include <vector>

namespace kestova::cli {

namespace {

std::string Hex24(uint32_t rgb) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "#%06X", rgb & 0xFFFFFF);
    return buf;
}

uint16_t ParseColour(const std::string& option, std::string text) {
    if (!text.empty() && text[0] == '#') text.erase(0, 1);
    const bool ok = text.size() == 6 && std::all_of(text.begin(), text.end(), [](char c) {
                        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                    });
    if (!ok) throw CliError(kExitUsage, option + ": '" + text + "' is not a colour RRGGBB (e.g. FF8000)");
    return album::Rgb565FromRgb24(uint32_t(std::stoul(text, nullptr, 16)));
}

void RunInfo(const CliContext& ctx, bool json) {
    DPF dpf;
    dpf.Init(AttachFrame(ctx));
    bool usable = true;
    try {
        dpf.ReadDPFInfo();
        dpf.Read(DPF::kReadOnly);
    } catch (int code) {
        if (code != kAlbumErrorUnusable) throw ReadFailure(ctx, dpf, code, "reading the album");
        usable = false;  // the device's own fields are still worth showing
    }
    std::string firmware;
    const DPF::FirmwareResult firmwareResult = dpf.QueryFirmwareVersion(firmware);
    const bool firmwareFailed = firmwareResult == DPF::kFirmwareQueryFailed;
    auto failIfFirmwareFailed = [&] {
        if (firmwareFailed)
            throw CliError(kExitDevice, "the frame did not answer the firmware version query; check the cable");
    };
    int w = 0, h = 0, count = 0;
    dpf.GetLCDParam(w, h);
    dpf.GetFileNum(count);
    uint16_t font = 0, bg = 0;
    dpf.GetAlbumColors(font, bg);
    const auto& info = dpf.GetDeviceInfo();
    if (json) {
        std::printf("{\"lcd_width\":%d,\"lcd_height\":%d,\"flash_size\":%d,\"album_start\":%u,"
                    "\"album_length\":%u,\"album_usable\":%s,\"slot_size\":%d,\"slot_count\":%u,"
                    "\"max_pictures\":%d,\"device_max_pictures\":%u,\"pictures\":%d,"
                    "\"font\":\"%s\",\"background\":\"%s\",\"font_rgb565\":%u,"
                    "\"background_rgb565\":%u,\"firmware\":%s}\n",
                    w, h, dpf.GetFlashSize(), dpf.GetAlbumStart(), dpf.GetAlbumLength(),
                    usable ? "true" : "false", dpf.GetOnePicSize(), dpf.GetSlotCount(),
                    dpf.GetMaxFileNum(), info.maxPictures, count,
                    Hex24(album::Rgb24FromRgb565(font)).c_str(),
                    Hex24(album::Rgb24FromRgb565(bg)).c_str(), font, bg,
                    firmwareFailed ? "null" : JsonString(firmware).c_str());
        failIfFirmwareFailed();
        return;
    }
    std::printf("LCD:               %d x %d\n", w, h);
    std::printf("Flash size:        %d bytes (%d KB)\n", dpf.GetFlashSize(), dpf.GetFlashSize() / 1024);
    std::printf("Album start:       0x%06X%s\n", dpf.GetAlbumStart(),
                info.hasDpfh ? " (moved by the DPFH record)" : "");
    std::printf("Album length:      %u bytes\n", dpf.GetAlbumLength());
    if (!usable) {
        std::printf("Album:             unusable (the area is too small for one 4096-byte slot "
                    "for each of %u pictures, or badly placed)\n", info.maxPictures);
    } else {
        std::printf("Slot size:         %d bytes\n", dpf.GetOnePicSize());
        std::printf("Slots:             %u\n", dpf.GetSlotCount());
        std::printf("Maximum pictures:  %d%s\n", dpf.GetMaxFileNum(),
                    info.maxPictures > uint32_t(dpf.GetMaxFileNum()) ? " (the index lists no more)" : "");
        std::printf("Pictures:          %d\n", count);
        const auto shown = album::DisplayColors({font, bg});
        std::printf("Colours:           font %s, background %s%s\n",
                    Hex24(album::Rgb24FromRgb565(shown.font)).c_str(),
                    Hex24(album::Rgb24FromRgb565(shown.background)).c_str(),
                    shown == album::AlbumColors{font, bg} ? "" : " (none stored)");
    }
    std::printf("Firmware version:  %s\n", firmwareFailed    ? "(the query failed)"
                                           : firmware.empty() ? "(none)"
                                                              : EscapeDeviceText(firmware).c_str());
    failIfFirmwareFailed();
    if (!usable) throw StoreFailure(kAlbumErrorUnusable, "");
}

void RunLs(const CliContext& ctx, bool json) {
    auto album = OpenAlbum(ctx, true, true);
    DPF& dpf = album->dpf;
    int count = 0;
    dpf.GetFileNum(count);
    const auto& g = dpf.Store().Geometry();
    if (json) std::printf("[");
    for (int i = 0; i < count; ++i) {
        uint32_t addr = 0;
        int length = 0;
        dpf.GetFileInfo(i, addr, length);
        const uint32_t slot = (addr - g.SlotAreaStart()) / g.slotSize;
        if (json)
            std::printf("%s{\"position\":%d,\"address\":%u,\"slot\":%u,\"length\":%d}", i ? "," : "",
                        i + 1, addr, slot, length);
        else
            std::printf("%4d  0x%06X  slot %-3u  %d bytes\n", i + 1, addr, slot, length);
    }
    if (json) std::printf("]\n");
}

int RunRm(const CliContext& ctx, const std::string& range) {
    auto album = OpenAlbum(ctx);
    int count = 0;
    album->dpf.GetFileNum(count);
    const auto positions = ParseRange(range, count);
    if (positions.empty()) {  // "all" of an empty album: nothing is written
        std::printf("removed 0 pictures; %d left\n", count);
        return kExitOk;
    }
    for (auto it = positions.rbegin(); it != positions.rend(); ++it) album->dpf.DeleteFileAt(*it);
    const int rc = CommitAlbum(*album);
    std::printf("removed %zu picture%s; %d left\n", positions.size(), positions.size() == 1 ? "" : "s",
                count - int(positions.size()));
    return rc;
}

int RunMv(const CliContext& ctx, int from, int to) {
    auto album = OpenAlbum(ctx);
    int count = 0;
    album->dpf.GetFileNum(count);
    if (from < 1 || to < 1) throw CliError(kExitUsage, "positions start at 1");
    if (from > count || to > count)
        throw CliError(kExitAlbum, "positions must lie between 1 and " + std::to_string(count));
    if (from == to) {  // nothing to change: nothing is written
        std::printf("picture %d stays at position %d\n", from, to);
        return kExitOk;
    }
    // Freshly read, every picture is on the frame: a reorder only rewrites the index.
    if (!album->dpf.MoveFile(from - 1, to - 1)) throw CliError(kExitAlbum, "the album refused the move");
    const int rc = CommitAlbum(*album);
    std::printf("moved picture %d to position %d\n", from, to);
    return rc;
}

void RunGet(const CliContext& ctx, int n, const std::string& file, bool force) {
    struct stat st {};
    if (file != "-" && !force && ::lstat(file.c_str(), &st) == 0)
        throw CliError(kExitFile, file + " exists already; nothing written, use --force to overwrite");
    auto album = OpenAlbum(ctx, true, true);
    int count = 0;
    album->dpf.GetFileNum(count);
    if (n < 1) throw CliError(kExitUsage, "positions start at 1");
    if (n > count)
        throw CliError(kExitAlbum, "no picture " + std::to_string(n) + ": the album has " +
                                       std::to_string(count) + " pictures");
    // Fetched whole: a listed picture may be longer than a slot.
    const session::AlbumPicture picture = album->frames.FetchPicture(n - 1);
    if (picture.status == session::PictureStatus::ReadFailed && picture.failure.storeCode != 0)
        throw StoreFailure(picture.failure.storeCode, "reading the picture", false, picture.failure.command);
    if (!picture.ok()) throw CliError(kExitDevice, "picture " + std::to_string(n) + " could not be read");
    const std::vector<uint8_t>& buf = picture.bytes;
    const int length = int(buf.size());
    if (file == "-") {
        if (std::fwrite(buf.data(), 1, size_t(length), stdout) != size_t(length))
            throw CliError(kExitFile, "cannot write to the standard output");
        return;
    }
    // FILE is whole or untouched; a link planted at its name is replaced, not followed.
    // Without --force an existing FILE is never replaced, even one that
    // appeared while the picture was read.
    const SafeWriteResult written = WriteFileSafely(file, buf.data(), size_t(length),
                                                    force ? SafeWriteMode::Replace : SafeWriteMode::CreateNew);
    if (written.exists)
        throw CliError(kExitFile, file + " exists already; nothing written, use --force to overwrite");
    if (!written) throw CliError(kExitFile, "cannot write " + file + ": " + written.reason);
    std::printf("picture %d: %d bytes written to %s\n", n, length, file.c_str());
}

int RunPut(const CliContext& ctx, const std::vector<std::string>& files) {
    // Files that cannot be added are skipped with a message; the rest is written.
    auto album = OpenAlbum(ctx);
    DPF& dpf = album->dpf;
    int skipped = 0;
    int oldCount = 0;
    dpf.GetFileNum(oldCount);
    std::vector<NewPicture> added;
    const size_t slot = size_t(std::max(dpf.GetOnePicSize(), 0));
    int w = 0, h = 0;
    dpf.GetLCDParam(w, h);
    for (const std::string& f : files) {
        std::vector<uint8_t> bytes;
        std::string why;
        RgbImage check;
        if (!ReadInputFile(f, slot, bytes, why)) {
            if (why.rfind("is longer than", 0) == 0) why = "is longer than a slot (" + std::to_string(slot) + " bytes)";
        } else if (bytes.empty()) {
            why = "is empty";
        } else if (!CKv350Encoder::Decode(bytes.data(), bytes.size(), w, h, check)) {
            // The frame would show garbage or nothing: only its own pictures go in.
            why = "is not a device picture for this frame's " + std::to_string(w) + " x " + std::to_string(h) +
                  " LCD (use add for picture files)";
        } else if (!dpf.AddData(bytes.data(), int(bytes.size()))) {
            int count = 0;
            dpf.GetFileNum(count);
            why = count >= dpf.GetMaxFileNum() ? "does not fit: the album is full"
                                                : "was refused (no free slot)";
        }
        if (why.empty()) {
            added.push_back({f, "", std::move(bytes)});
        } else {
            ++skipped;
            std::fprintf(stderr, "kestova-cli: %s %s; skipped\n", f.c_str(), why.c_str());
        }
    }
    if (added.empty()) throw CliError(kExitAlbum, "nothing could be added; the album is unchanged");
    const int rc = CommitNewPictures(*album, oldCount, added);
    if (rc != kExitOk) return rc;
    std::printf("added %zu picture%s\n", added.size(), added.size() == 1 ? "" : "s");
    if (skipped)
        throw CliError(kExitPartial, std::to_string(skipped) + " of " + std::to_string(files.size()) +
                                         " files skipped");
    return kExitOk;
}

void RunColors(const CliContext& ctx, const std::string& font, const std::string& background) {
    auto album = OpenAlbum(ctx, true, font.empty() && background.empty());
    uint16_t f = 0, b = 0;
    album->dpf.GetAlbumColors(f, b);
    if (!font.empty() || !background.empty()) {
        if (!font.empty()) f = ParseColour("--font", font);
        if (!background.empty()) b = ParseColour("--background", background);
        try {
            album->dpf.SetAlbumColors(f, b);
        } catch (int code) {
            throw StoreFailure(code, "writing the colours", true);
        }
        // What the frame now holds (RGB565, so the given colour rounded),
        // even where the frame would show its default for it.
        album->dpf.GetAlbumColors(f, b);
        std::printf("stored font %s, background %s\n", Hex24(album::Rgb24FromRgb565(f)).c_str(),
                    Hex24(album::Rgb24FromRgb565(b)).c_str());
        return;
    }
    const auto shown = album::DisplayColors({f, b});
    std::printf("font %s, background %s%s\n", Hex24(album::Rgb24FromRgb565(shown.font)).c_str(),
                Hex24(album::Rgb24FromRgb565(shown.background)).c_str(),
                shown == album::AlbumColors{f, b} ? "" : " (none stored: the frame's default)");
}

// A command's exit code other than 0 leaves through CliError, which main prints.
void Finish(int rc) {
    if (rc != kExitOk) throw CliError(rc, "the album was written only in part");
}

} // namespace

void RegisterAlbumCommands(CLI::App& app, CliContext& ctx) {
    auto json = std::make_shared<bool>(false);
    auto* info = app.add_subcommand("info", "Show the frame: LCD size, flash size, album geometry, "
                                            "picture count, colours, firmware version");
    info->add_flag("--json", *json, "Print the result as JSON");
    info->callback([&ctx, json] { RunInfo(ctx, *json); });

    auto lsJson = std::make_shared<bool>(false);
    auto* ls = app.add_subcommand("ls", "List the album: position, flash address, slot, length");
    ls->add_flag("--json", *lsJson, "Print the list as JSON");
    ls->callback([&ctx, lsJson] { RunLs(ctx, *lsJson); });

    auto range = std::make_shared<std::string>();
    auto* rm = app.add_subcommand("rm", "Delete pictures and write the album to the frame");
    rm->add_option("RANGE", *range, "Positions to delete, counted from 1, e.g. 1-3,7")->required();
    rm->callback([&ctx, range] { Finish(RunRm(ctx, *range)); });

    auto from = std::make_shared<int>(0), to = std::make_shared<int>(0);
    auto* mv = app.add_subcommand("mv", "Move a picture to a new position and write the album "
                                        "(only the index is rewritten)");
    mv->add_option("FROM", *from, "Position of the picture, counted from 1")->required();
    mv->add_option("TO", *to, "Its new position, counted from 1")->required();
    mv->callback([&ctx, from, to] { Finish(RunMv(ctx, *from, *to)); });

    auto n = std::make_shared<int>(0);
    auto file = std::make_shared<std::string>();
    auto* get = app.add_subcommand("get", "Copy picture N's stored bytes (the device picture) to FILE");
    get->add_option("N", *n, "Position, counted from 1")->required();
    get->add_option("FILE", *file, "Output file ('-' for the standard output)")->required();
    auto getForce = std::make_shared<bool>(false);
    get->add_flag("--force", *getForce, "Overwrite FILE when it exists already");
    get->callback([&ctx, n, file, getForce] { RunGet(ctx, *n, *file, *getForce); });

    auto files = std::make_shared<std::vector<std::string>>();
    auto* put = app.add_subcommand("put", "Add files that already hold device pictures and write the album");
    put->add_option("FILE", *files, "Device picture files, each no longer than the slot size")->required();
    put->callback([&ctx, files] { Finish(RunPut(ctx, *files)); });

    auto font = std::make_shared<std::string>(), background = std::make_shared<std::string>();
    auto* colors = app.add_subcommand("colors", "Show the frame's font and background colours, or set them");
    colors->add_option("--font", *font, "Font colour RRGGBB (stored as RGB565)");
    colors->add_option("--background", *background, "Background colour RRGGBB (stored as RGB565)");
    colors->callback([&ctx, font, background] { RunColors(ctx, *font, *background); });
}

} // namespace kestova::cli
