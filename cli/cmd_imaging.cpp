// add, export, show: the commands that turn picture files into album
// pictures and album pictures back into files.

#include "cli/album_session.h"

#include "common/coder/Bmp.h"
#include "flash_manager/DPF.h"
#include "imaging/BatchPrepare.h"
#include "imaging/Preparation.h"
#include "session/SafeFile.h"

#include <QString>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

namespace kestova::cli {
namespace {

namespace fs = std::filesystem;

// Album picture `index` decoded at the LCD size.
bool DecodeAlbumPicture(AlbumSession& album, int index, RgbImage& out, std::string& error) {
    session::AlbumPicture picture = album.frames.ReadPicture(index, PictureCache::DontKeep);
    switch (picture.status) {
    case session::PictureStatus::Ok: out = std::move(picture.pixels); return true;
    case session::PictureStatus::NoSuchPicture: error = "no such picture"; return false;
    case session::PictureStatus::ReadFailed:
        throw StoreFailure(picture.failure.storeCode, "reading picture " + std::to_string(index + 1), false,
                           picture.failure.command);
    case session::PictureStatus::NotDecodable: error = picture.error; return false;
    }
    return false;
}

// ---- add ----

struct AddOptions {
    std::vector<std::string> files;
    int quality = 90;
    std::string rotate;
};

void RunAdd(const CliContext& ctx, const AddOptions& opt) {
    auto session = OpenAlbum(ctx);
    AlbumSession& album = *session;
    const Rotation rotation = opt.rotate == "left"    ? Rotation::Left
                              : opt.rotate == "right" ? Rotation::Right
                                                      : Rotation::None;
    const size_t slot = size_t(std::max(0, album.dpf.GetOnePicSize()));

    int oldCount = 0;
    album.dpf.GetFileNum(oldCount);
    std::vector<NewPicture> added;
    std::vector<std::string> skipped;
    auto skip = [&](const std::string& file, const std::string& why) {
        album.progress.Break();
        std::fprintf(stderr, "kestova-cli: skipped %s: %s\n", file.c_str(), why.c_str());
        skipped.push_back(file);
    };
    // One prepared picture, in the order given: added to the album through
    // the session, or named and skipped. True when it was added.
    auto take = [&](const BatchResult& r) {
        const std::string& file = opt.files[r.index];
        if (!r.prepared.ok()) {
            // The message already starts with the file name.
            album.progress.Break();
            std::fprintf(stderr, "kestova-cli: skipped %s\n", r.prepared.message.toStdString().c_str());
            skipped.push_back(file);
            return false;
        }
        const session::AddResult fit = album.frames.AddFittedPicture(r.fit, r.startQuality);
        if (fit.status == session::AddStatus::TooLarge) {
            skip(file, "does not fit into one picture slot (" + std::to_string(slot) + " bytes) even at quality " +
                           std::to_string(fit.lowestQuality));
            return false;
        }
        if (fit.status == session::AddStatus::Refused && fit.bytes.empty()) {
            skip(file, "the picture cannot be encoded");
            return false;
        }
        if (!fit.ok()) {
            int count = 0;
            album.dpf.GetFileNum(count);
            skip(file, "the album is full (" + std::to_string(count) + " of " +
                           std::to_string(album.dpf.GetMaxFileNum()) + " pictures)");
            return false;
        }
        // Said once the frame holds it (CommitNewPictures), not now.
        added.push_back({file,
                         " (quality " + std::to_string(fit.quality) + ", " + std::to_string(fit.bytes.size()) +
                             " bytes)",
                         fit.bytes});
        return true;
    };

    // The pictures are prepared (and fitted, with the session's fitting
    // rule) on every core, and fed to the commit while it writes, in the
    // order given, so the frame's wire time hides the CPU. The commit starts
    // as soon as one file has passed the checks made before decoding: its
    // first steps need no new picture and run while the first is decoded.
    // Until then nothing is written, so an add whose files are all missing,
    // unreadable or truncated leaves the frame as it was (and so does a full
    // album, where the commit waits for a picture actually added).
    std::vector<QString> paths;
    for (const std::string& file : opt.files) paths.push_back(QString::fromStdString(file));
    BatchOptions batchOptions;
    batchOptions.lcdWidth = album.lcdWidth;
    batchOptions.lcdHeight = album.lcdHeight;
    batchOptions.rotation = rotation;
    batchOptions.slotSize = slot;
    batchOptions.startQuality = opt.quality;
    BatchPreparer batch(std::move(paths), batchOptions);
    BatchResult result;
    const bool room = oldCount < album.dpf.GetMaxFileNum();
    bool early = false, first = false;
    while (!first) {
        if (room && batch.WaitForPromise()) {
            early = true;
            break;
        }
        if (!batch.Next(result)) break;
        first = take(result);
    }
    PictureFeed feed;
    feed.more = [&] {
        while (batch.Next(result))
            if (take(result)) return true;
        return false;
    };
    feed.pending = [&] { return long(batch.Size() - batch.Delivered()); };
    // Files the commit never reached (it failed or was stopped first) are
    // named too: none of them is on the frame.
    const auto tellNotReached = [&] {
        for (size_t i = batch.Delivered(); i < opt.files.size(); ++i)
            std::fprintf(stderr, "kestova-cli: not written: %s\n", opt.files[i].c_str());
    };

    const auto nothingAdded = [] { return CliError(kExitAlbum, "nothing could be added; the album is unchanged"); };
    if (!early && added.empty()) throw nothingAdded();
    int rc = kExitOk;
    try {
        rc = CommitNewPictures(album, oldCount, added, &feed);
    } catch (const CliError&) {
        tellNotReached();
        throw;
    }
    if (rc != kExitOk) {
        tellNotReached();
        throw CliError(kExitPartial, "the album was written only in part");
    }
    // Started early, but every file failed in decoding: the commit wrote the
    // album it read.
    if (added.empty()) throw nothingAdded();
    int count = 0;
    album.dpf.GetFileNum(count);
    std::printf("%zu picture(s) added, %zu skipped; the album holds %d picture(s)\n", added.size(), skipped.size(),
                count);
    std::fflush(stdout);
    if (!skipped.empty())
        throw CliError(kExitPartial, std::to_string(skipped.size()) + " of " + std::to_string(opt.files.size()) +
                                         " file(s) skipped");
}

// ---- export ----

struct ExportOptions {
    std::string range;
    std::string dir;
    std::string format = "bmp";
    bool force = false;
};

void RunExport(const CliContext& ctx, const ExportOptions& opt) {
    auto session = OpenAlbum(ctx, true, true);
    AlbumSession& album = *session;
    int count = 0;
    album.dpf.GetFileNum(count);
    const std::vector<int> picks = ParseRange(opt.range, count);
    if (picks.empty()) {  // "all" of an empty album: nothing to do, nothing wrong
        std::printf("the album is empty; nothing exported\n");
        return;
    }

    const fs::path dir(opt.dir);
    std::error_code ec;
    if (fs::exists(dir, ec) && !fs::is_directory(dir, ec))
        throw CliError(kExitFile, opt.dir + " is not a folder");
    const bool jpg = opt.format == "jpg";
    std::vector<fs::path> targets;
    for (int index : picks) {
        char name[32];
        std::snprintf(name, sizeof name, jpg ? "%04d.jpg" : "%04d.bmp", index + 1);
        targets.push_back(dir / name);
    }
    // Nothing is written when any target is in the way (unless --force).
    if (!opt.force) {
        std::vector<std::string> existing;
        for (const fs::path& t : targets)
            if (fs::exists(fs::symlink_status(t, ec))) existing.push_back(t.string());  // a dangling link too
        if (!existing.empty()) {
            std::string list;
            for (size_t i = 0; i < existing.size() && i < 5; ++i) list += (i ? ", " : "") + existing[i];
            if (existing.size() > 5) list += ", ...";
            throw CliError(kExitFile, std::to_string(existing.size()) + " file(s) exist already (" + list +
                                          "); nothing written, use --force to overwrite");
        }
    }
    fs::create_directories(dir, ec);
    if (ec) throw CliError(kExitFile, "cannot create the folder " + opt.dir + ": " + ec.message());

    int written = 0, failed = 0;
    for (size_t i = 0; i < picks.size(); ++i) {
        const int index = picks[i];
        RgbImage picture;
        std::string error;
        if (!DecodeAlbumPicture(album, index, picture, error)) {
            std::fprintf(stderr, "kestova-cli: skipped picture %d: %s\n", index + 1, error.c_str());
            ++failed;
            continue;
        }
        // Without --force a name taken meanwhile (a planted link too) is left alone.
        std::string why;
        if (!session::ExportPicture(picture, targets[i].string(),
                                    jpg ? session::ExportFormat::Jpeg : session::ExportFormat::Bmp, 100, 3,
                                    opt.force ? SafeWriteMode::Replace : SafeWriteMode::CreateNew, &why))
            throw CliError(kExitFile, "cannot write " + targets[i].string() + ": " + why);
        std::printf("%s\n", targets[i].string().c_str());
        ++written;
    }
    std::fflush(stdout);
    if (failed) throw CliError(kExitPartial, std::to_string(failed) + " picture(s) could not be exported");
}

// ---- show ----

void RunShow(const CliContext& ctx, int position, const std::string& file) {
    auto session = OpenAlbum(ctx, true, true);
    AlbumSession& album = *session;
    int count = 0;
    album.dpf.GetFileNum(count);
    if (position < 1) throw CliError(kExitUsage, "positions start at 1");
    if (position > count)
        throw CliError(kExitAlbum, "picture " + std::to_string(position) + " is not in the album (" +
                                       std::to_string(count) + " picture(s))");
    RgbImage picture;
    std::string error;
    if (!DecodeAlbumPicture(album, position - 1, picture, error))
        throw CliError(kExitAlbum, "picture " + std::to_string(position) + ": " + error);
    std::string why;
    if (!session::ExportPicture(picture, file, session::ExportFormat::Bmp, 100, 3, SafeWriteMode::Replace, &why))
        throw CliError(kExitFile, "cannot write " + file + ": " + why);
    std::printf("%s: %d x %d\n", file.c_str(), picture.width, picture.height);
}

} // namespace

void RegisterImagingCommands(CLI::App& app, CliContext& ctx) {
    {
        auto opt = std::make_shared<AddOptions>();
        CLI::App* cmd = app.add_subcommand(
            "add", "Prepare picture files for the LCD (cover and centre crop), fit each into one picture "
                   "slot and write them to the frame");
        cmd->add_option("files", opt->files, "Picture files (JPEG, PNG, GIF, BMP, TIFF, ...)")->required();
        cmd->add_option("--quality", opt->quality, "Starting JPEG quality; lowered by 10 until a picture fits")
            ->check(CLI::Range(1, 100))
            ->capture_default_str();
        cmd->add_option("--rotate", opt->rotate, "Turn every picture a quarter left or right first")
            ->check(CLI::IsMember({"left", "right"}));
        cmd->callback([&ctx, opt] { RunAdd(ctx, *opt); });
    }
    {
        auto opt = std::make_shared<ExportOptions>();
        CLI::App* cmd = app.add_subcommand(
            "export", "Write album pictures to DIR as %04d.bmp or %04d.jpg, named by album position");
        cmd->add_option("range", opt->range, "Album positions: N, N-M, N-, -M, lists with commas, or all")
            ->required();
        cmd->add_option("dir", opt->dir, "Folder for the files (created when missing)")->required();
        cmd->add_option("--format", opt->format, "bmp (the picture as the frame shows it) or jpg (baseline JPEG, quality 100)")
            ->check(CLI::IsMember({"bmp", "jpg"}))
            ->capture_default_str();
        cmd->add_flag("--force", opt->force, "Overwrite files that exist already");
        cmd->callback([&ctx, opt] { RunExport(ctx, *opt); });
    }
    {
        auto position = std::make_shared<int>(0);
        auto file = std::make_shared<std::string>();
        CLI::App* cmd = app.add_subcommand("show", "Decode one album picture into a 24-bit BMP file");
        cmd->add_option("position", *position, "Album position (1-based)")->required();
        cmd->add_option("file", *file, "BMP file to write (overwritten)")->required();
        cmd->callback([&ctx, position, file] { RunShow(ctx, *position, *file); });
    }
}

} // namespace kestova::cli
