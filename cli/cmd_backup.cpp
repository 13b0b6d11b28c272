// SPDX-License-Identifier: GPL-3.0-or-later
// backup, restore: the whole album (pictures byte for byte, order, colours)
// into one file and back onto a frame of the same LCD size.

#include "cli/album_plan.h"
#include "cli/album_session.h"

#include "flash_manager/AlbumBackup.h"
#include "flash_manager/DPF.h"
#include "common/files/SafeFile.h"

#include <algorithm>
#include <cstdio>
#include <span>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace kestova::cli {
namespace {

// A backup holds at most 480 pictures of at most the 16 MiB a 24-bit flash
// address reaches, plus a few bytes each.
constexpr size_t kMaxBackupBytes = (size_t(16) << 20) + 64 * 1024;

// The frame's own 16-bit sum of `length` bytes at `address`, asked for in
// pieces the checksum command can carry; false when the frame does not answer.
bool FrameSum(DPF& dpf, uint32_t address, uint32_t length, uint16_t& sum) {
    constexpr uint32_t kPiece = 0xF000;
    uint32_t total = 0;
    for (uint32_t off = 0; off < length; off += kPiece) {
        uint8_t hi = 0, lo = 0;
        if (!dpf.GetFlashLayer() ||
            !dpf.GetFlashLayer()->GetVerifyValue(hi, lo, address + off, int32_t(std::min(kPiece, length - off))))
            return false;
        total += uint32_t(hi) << 8 | lo;
    }
    sum = uint16_t(total);
    return true;
}

void RunBackup(const CliContext& ctx, const std::string& file, bool force) {
    struct stat st {};
    if (!force && ::lstat(file.c_str(), &st) == 0)
        throw CliError(kExitFile, file + " exists already; nothing written, use --force to overwrite");
    auto session = OpenAlbum(ctx, true, true);
    AlbumSession& album = *session;
    DPF& dpf = album.dpf;
    album::AlbumBackup backup;
    backup.lcdWidth = uint16_t(album.lcdWidth);
    backup.lcdHeight = uint16_t(album.lcdHeight);
    backup.flashSize = uint32_t(dpf.GetFlashSize());
    backup.albumStart = dpf.GetAlbumStart();
    backup.albumLength = dpf.GetAlbumLength();
    backup.slotSize = uint32_t(dpf.GetOnePicSize());
    backup.slotCount = dpf.GetSlotCount();
    backup.maxPictures = uint32_t(dpf.GetMaxFileNum());
    dpf.GetAlbumColors(backup.colors.font, backup.colors.background);
    int count = 0;
    dpf.GetFileNum(count);
    size_t bytes = 0;
    for (int i = 0; i < count; ++i) {
        const std::string which = "picture " + std::to_string(i + 1);
        // A verified read (every chunk against the frame's sum), and the
        // whole picture once more against the frame's sum of its range.
        session::AlbumPicture p = album.frames.FetchPicture(i, PictureCache::DontKeep);
        if (p.status == session::PictureStatus::ReadFailed)
            throw StoreFailure(p.failure.storeCode, "reading " + which, false, p.failure.command);
        uint32_t address = 0;
        int length = 0;
        if (!p.ok() || !dpf.GetFileInfo(i, address, length) || p.bytes.size() != size_t(length))
            throw CliError(kExitDevice, which + " could not be read whole; nothing written");
        uint16_t sum = 0;
        if (!FrameSum(dpf, address, uint32_t(length), sum))
            throw StoreFailure(kAlbumErrorRead, "reading " + which, false, album.frames.LastCommandFailure());
        if (sum != album::Sum16(p.bytes))
            throw CliError(kExitDevice, which + " does not match the frame's own sum of its bytes; nothing "
                                                "written. Check the cable and try again.");
        bytes += p.bytes.size();
        backup.pictures.push_back({address, std::move(p.bytes)});
    }
    const std::vector<uint8_t> out = album::SerializeAlbumBackup(backup);
    const SafeWriteResult written =
        WriteFileSafely(file, out.data(), out.size(), force ? SafeWriteMode::Replace : SafeWriteMode::CreateNew);
    if (written.exists) throw CliError(kExitFile, file + " exists already; nothing written, use --force to overwrite");
    if (!written) throw CliError(kExitFile, "cannot write " + file + ": " + written.reason);
    std::printf("backed up %d picture(s), %zu bytes, of the %d x %d frame to %s\n", count, bytes, album.lcdWidth,
                album.lcdHeight, file.c_str());
}

int RunRestore(const CliContext& ctx, const std::string& file, bool dryRun) {
    std::vector<uint8_t> bytes;
    std::string why;
    if (!ReadInputFile(file, kMaxBackupBytes, bytes, why)) throw CliError(kExitFile, file + " " + why);
    album::AlbumBackup backup;
    if (!album::ParseAlbumBackup(bytes, backup, why))
        throw CliError(kExitAlbum, file + " is not a usable album backup: " + why + "; nothing written");
    bytes = {};

    auto session = OpenAlbum(ctx, false, dryRun);
    AlbumSession& album = *session;
    DPF& dpf = album.dpf;
    const auto refuse = [&](const std::string& what) {
        return CliError(kExitAlbum, "cannot restore " + file + ": " + what + "; nothing written");
    };
    if (backup.lcdWidth != album.lcdWidth || backup.lcdHeight != album.lcdHeight)
        throw refuse("it is the album of a " + std::to_string(backup.lcdWidth) + " x " +
                     std::to_string(backup.lcdHeight) + " frame, and this frame's LCD is " +
                     std::to_string(album.lcdWidth) + " x " + std::to_string(album.lcdHeight));
    const size_t limit = std::min<size_t>(size_t(dpf.GetMaxFileNum()), dpf.GetSlotCount());
    if (backup.pictures.size() > limit)
        throw refuse("it holds " + std::to_string(backup.pictures.size()) + " pictures, and this frame's album " +
                     "holds at most " + std::to_string(limit));
    const size_t slot = size_t(std::max(dpf.GetOnePicSize(), 0));
    for (size_t i = 0; i < backup.pictures.size(); ++i)
        if (backup.pictures[i].bytes.size() > slot)
            throw refuse("its picture " + std::to_string(i + 1) + " (" +
                         std::to_string(backup.pictures[i].bytes.size()) + " bytes) is longer than this frame's " +
                         std::to_string(slot) + "-byte slots");

    std::vector<WantedPicture> wanted;
    for (size_t i = 0; i < backup.pictures.size(); ++i)
        wanted.push_back({"picture " + std::to_string(i + 1) + " of the backup", std::move(backup.pictures[i].bytes)});
    const AlbumPlan plan = PlanAlbum(album, wanted);
    album::AlbumColors now;
    dpf.GetAlbumColors(now.font, now.background);
    const bool recolour = now != backup.colors;
    if (dryRun) {
        PrintPlan(plan, wanted, stdout);
        if (recolour)
            std::printf("colours: font #%06X, background #%06X\n", album::Rgb24FromRgb565(backup.colors.font),
                        album::Rgb24FromRgb565(backup.colors.background));
        return kExitOk;
    }
    if (!plan.Changes() && !recolour) {
        std::printf("the frame holds this album already (%zu picture(s)); nothing written\n", wanted.size());
        return kExitOk;
    }
    if (ApplyPlan(album, plan, wanted) > 0)
        throw refuse("the frame's album has no free slot for every picture");
    dpf.Store().SetCommitColors(backup.colors.font, backup.colors.background);
    const int rc = CommitAlbum(album);
    if (rc != kExitOk) return rc;
    std::printf("restored %zu picture(s) from %s: %zu already on the frame, %zu written, %zu deleted%s\n",
                wanted.size(), file.c_str(), plan.Kept(), plan.ToWrite(), plan.removed.size(),
                recolour ? "; colours restored" : "");
    return kExitOk;
}

void Finish(int rc) {
    if (rc != kExitOk) throw CliError(rc, "the album was written only in part");
}

} // namespace

void RegisterBackupCommands(CLI::App& app, CliContext& ctx) {
    {
        auto file = std::make_shared<std::string>();
        auto force = std::make_shared<bool>(false);
        auto* cmd = app.add_subcommand("backup", "Copy the whole album (every picture byte for byte, in order, "
                                                 "with the colours, LCD size and flash geometry) into FILE");
        cmd->add_option("FILE", *file, "Backup file to write (format: docs/album-backup.md)")->required();
        cmd->add_flag("--force", *force, "Overwrite FILE when it exists already");
        cmd->callback([&ctx, file, force] { RunBackup(ctx, *file, *force); });
    }
    {
        auto file = std::make_shared<std::string>();
        auto dryRun = std::make_shared<bool>(false);
        auto* cmd = app.add_subcommand(
            "restore", "Make the album exactly the one in a backup FILE (pictures, order, colours) in one "
                       "crash-safe write; refused (nothing written) for another LCD size, a damaged file or an "
                       "album that does not fit");
        cmd->add_option("FILE", *file, "Backup file written by 'backup'")->required();
        cmd->add_flag("--dry-run", *dryRun, "Print what would be kept, written and deleted; write nothing");
        cmd->callback([&ctx, file, dryRun] { Finish(RunRestore(ctx, *file, *dryRun)); });
    }
}

} // namespace kestova::cli
