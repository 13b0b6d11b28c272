// SPDX-License-Identifier: GPL-3.0-or-later
// add, sync, export, show: the commands that turn picture files into album
// pictures and album pictures back into files.

#include "cli/album_plan.h"
#include "cli/album_session.h"

#include "common/coder/Bmp.h"
#include "flash_manager/DPF.h"
#include "imaging/BatchPrepare.h"
#include "imaging/Preparation.h"
#include "common/files/SafeFile.h"

#include <QString>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
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

// ---- picture files and folders ----

// How every picture is cut to the LCD, by its --crop name.
const std::map<std::string, CropPlacement> kCropNames = {
    {"centre", CropPlacement::Centre}, {"center", CropPlacement::Centre}, {"attention", CropPlacement::Attention},
    {"north", CropPlacement::North},   {"south", CropPlacement::South},   {"east", CropPlacement::East},
    {"west", CropPlacement::West}};

struct PreparationOptions {
    int quality = 90;
    std::string rotate;
    std::string crop = "centre";
    bool recursive = false;

    Rotation rotation() const {
        return rotate == "left" ? Rotation::Left : rotate == "right" ? Rotation::Right : Rotation::None;
    }
    // The batch settings for a frame: every picture starts its fitting at
    // `quality` (no quality carried from the picture before), so the bytes
    // a file becomes depend on that file and these options alone.
    BatchOptions Batch(const AlbumSession& album) const {
        BatchOptions o;
        o.lcdWidth = album.lcdWidth;
        o.lcdHeight = album.lcdHeight;
        o.rotation = rotation();
        o.crop = kCropNames.at(crop);
        o.slotSize = size_t(std::max(0, album.dpf.GetOnePicSize()));
        o.startQuality = quality;
        o.carryQuality = false;
        return o;
    }
};

// Folder members the picture readers recognise by their content (the name
// does not matter). Only regular files are looked into.
bool IsPictureFile(const fs::path& path) {
    return RecognisedPictureFile(QString::fromStdString(path.string()));
}

void TellLeftOut(const std::string& name, const char* why) {
    std::fprintf(stderr, "kestova-cli: left out %s: %s\n", name.c_str(), why);
}

// The picture files of `dir` in natural name order; sub-folders (with
// `recursive`) at their place by name. Hidden entries (".name") are passed
// over; other members that are not pictures are named and left out.
void ListFolder(const fs::path& dir, bool recursive, std::vector<std::string>& out) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) throw CliError(kExitFile, "cannot read the folder " + dir.string() + ": " + ec.message());
    std::vector<fs::directory_entry> entries;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) throw CliError(kExitFile, "cannot read the folder " + dir.string() + ": " + ec.message());
        if (it->path().filename().string().rfind('.', 0) != 0) entries.push_back(*it);
    }
    std::sort(entries.begin(), entries.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
        return NaturalLess(a.path().filename().string(), b.path().filename().string());
    });
    for (const fs::directory_entry& e : entries) {
        const std::string name = e.path().string();
        const fs::file_status status = e.status(ec);  // a link: what it points to
        if (fs::is_directory(status)) {
            if (!recursive) TellLeftOut(name, "a folder (--recursive takes sub-folders)");
            else if (e.is_symlink(ec)) TellLeftOut(name, "a link to a folder (not followed)");
            else ListFolder(e.path(), recursive, out);
        } else if (!fs::is_regular_file(status)) {
            TellLeftOut(name, ec ? "cannot be read" : "not a regular file");
        } else if (!IsPictureFile(e.path())) {
            TellLeftOut(name, "not a picture");
        } else {
            out.push_back(name);
        }
    }
}

// The files named on the command line, each folder replaced by its picture
// files. Files named one by one stay as they are (their failures count).
std::vector<std::string> ExpandFolders(const std::vector<std::string>& args, bool recursive) {
    std::vector<std::string> files;
    for (const std::string& a : args) {
        std::error_code ec;
        if (fs::is_directory(a, ec)) {
            const size_t before = files.size();
            ListFolder(a, recursive, files);
            if (files.size() == before) std::fprintf(stderr, "kestova-cli: %s holds no picture files\n", a.c_str());
        } else {
            files.push_back(a);
        }
    }
    return files;
}

// ---- add ----

struct AddOptions : PreparationOptions {
    std::vector<std::string> inputs;
};

void RunAdd(const CliContext& ctx, const AddOptions& given) {
    AddOptions opt = given;
    opt.inputs = ExpandFolders(given.inputs, given.recursive);
    if (opt.inputs.empty()) throw CliError(kExitAlbum, "no picture files to add; the album is unchanged");
    auto session = OpenAlbum(ctx);
    AlbumSession& album = *session;
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
        const std::string& file = opt.inputs[r.index];
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
    // as soon as one file has passed the checks made before decoding and
    // waits for the first picture; its index steps come after the last one.
    // Until then nothing is written, so an add whose files are all missing,
    // unreadable or truncated leaves the frame as it was (and so does a full
    // album, where the commit waits for a picture actually added).
    std::vector<QString> paths;
    for (const std::string& file : opt.inputs) paths.push_back(QString::fromStdString(file));
    BatchPreparer batch(std::move(paths), opt.Batch(album));
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
        for (size_t i = batch.Delivered(); i < opt.inputs.size(); ++i)
            std::fprintf(stderr, "kestova-cli: not written: %s\n", opt.inputs[i].c_str());
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
        throw CliError(kExitPartial, std::to_string(skipped.size()) + " of " + std::to_string(opt.inputs.size()) +
                                         " file(s) skipped");
}

// ---- sync ----

struct SyncOptions : PreparationOptions {
    std::string folder;
    bool dryRun = false;
};

int RunSync(const CliContext& ctx, const SyncOptions& opt) {
    std::error_code ec;
    if (!fs::is_directory(opt.folder, ec)) throw CliError(kExitFile, opt.folder + " is not a folder");
    std::vector<std::string> files;
    ListFolder(opt.folder, opt.recursive, files);
    auto session = OpenAlbum(ctx, false, opt.dryRun);
    AlbumSession& album = *session;

    // Every file becomes its device picture first: the plan compares bytes.
    std::vector<QString> paths;
    for (const std::string& f : files) paths.push_back(QString::fromStdString(f));
    std::vector<WantedPicture> wanted;
    size_t failed = 0;
    const size_t slot = size_t(std::max(0, album.dpf.GetOnePicSize()));
    PrepareBatch(paths, opt.Batch(album), [&](BatchResult& r) {
        const std::string& file = files[r.index];
        if (!r.prepared.ok()) {
            std::fprintf(stderr, "kestova-cli: skipped %s\n", r.prepared.message.toStdString().c_str());
            ++failed;
        } else if (!r.fit.ok()) {
            std::fprintf(stderr, "kestova-cli: skipped %s: does not fit into one picture slot (%zu bytes)\n",
                         file.c_str(), slot);
            ++failed;
        } else {
            wanted.push_back({file, std::move(r.fit.bytes)});
        }
        return true;
    });
    const size_t limit = std::min<size_t>(size_t(album.dpf.GetMaxFileNum()), album.dpf.GetSlotCount());
    if (wanted.size() > limit) {
        for (size_t i = limit; i < wanted.size(); ++i)
            std::fprintf(stderr, "kestova-cli: skipped %s: the album is full (%zu pictures)\n",
                         wanted[i].name.c_str(), limit);
        failed += wanted.size() - limit;
        wanted.resize(limit);
    }
    int present = 0;
    album.dpf.GetFileNum(present);
    // A folder that gives no picture at all (empty, mistyped, unreadable)
    // would empty the album: that takes an explicit rm all.
    if (wanted.empty() && present > 0)
        throw CliError(kExitAlbum, opt.folder + " gives no pictures; sync would delete all " +
                                       std::to_string(present) + " pictures of the frame, so nothing was done "
                                       "(kestova-cli rm all empties the album)");
    const AlbumPlan plan = PlanAlbum(album, wanted);
    const auto partial = [&] {
        return CliError(kExitPartial, std::to_string(failed) + " of " + std::to_string(files.size()) +
                                          " file(s) skipped");
    };
    if (opt.dryRun) {
        PrintPlan(plan, wanted, stdout);
        std::fflush(stdout);
        if (failed) throw partial();
        return kExitOk;
    }
    if (!plan.Changes()) {
        std::printf("the album is up to date (%zu picture(s)); nothing written\n", wanted.size());
    } else {
        const size_t noRoom = ApplyPlan(album, plan, wanted);
        for (size_t i = wanted.size() - noRoom; i < wanted.size(); ++i)
            std::fprintf(stderr, "kestova-cli: skipped %s: no free slot\n", wanted[i].name.c_str());
        failed += noRoom;
        const int rc = CommitAlbum(album);
        if (rc != kExitOk) return rc;
        std::printf("%zu kept%s, %zu written, %zu deleted; the album holds %zu picture(s)\n", plan.Kept(),
                    plan.reordered ? " (in a new order)" : "", plan.ToWrite() - noRoom, plan.removed.size(),
                    wanted.size() - noRoom);
    }
    std::fflush(stdout);
    if (failed) throw partial();
    return kExitOk;
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

// The options add and sync share.
void AddPreparationOptions(CLI::App* cmd, PreparationOptions& opt) {
    cmd->add_option("--quality", opt.quality, "Starting JPEG quality; lowered by 10 until a picture fits")
        ->check(CLI::Range(1, 100))
        ->capture_default_str();
    cmd->add_option("--rotate", opt.rotate, "Turn every picture a quarter left or right first")
        ->check(CLI::IsMember({"left", "right"}));
    cmd->add_option("--crop", opt.crop,
                    "Where the LCD-size window is cut from the covering picture: centre; attention (where the "
                    "detail, colour and skin tones are: edges + saturation/2 + 96 for skin-like hues, summed "
                    "and the best window taken, the same every run); or north, south, east, west (flush with "
                    "that edge)")
        ->check(CLI::IsMember({"centre", "center", "attention", "north", "south", "east", "west"}))
        ->capture_default_str();
    cmd->add_flag("--recursive", opt.recursive, "Take the picture files of sub-folders too (at their place by name)");
}

} // namespace

void RegisterImagingCommands(CLI::App& app, CliContext& ctx) {
    {
        auto opt = std::make_shared<AddOptions>();
        CLI::App* cmd = app.add_subcommand(
            "add", "Prepare picture files for the LCD (cover, then crop: the centre or as --crop says), fit "
                   "each into one picture slot and write them to the frame");
        cmd->add_option("files", opt->inputs,
                        "Picture files (JPEG, PNG, GIF, BMP, TIFF, HEIC, AVIF, ...) and folders (their picture files in "
                        "natural name order: 2 before 10; other files are left out with a word)")
            ->required();
        AddPreparationOptions(cmd, *opt);
        cmd->callback([&ctx, opt] { RunAdd(ctx, *opt); });
    }
    {
        auto opt = std::make_shared<SyncOptions>();
        CLI::App* cmd = app.add_subcommand(
            "sync", "Make the album the picture files of FOLDER in natural name order, in one write: pictures "
                    "the frame holds already are kept (recognised by their bytes: every file is fitted from "
                    "--quality, so the bytes it becomes depend on it alone), the rest written, the others "
                    "deleted; nothing changed, nothing written");
        cmd->add_option("folder", opt->folder, "Folder of picture files")->required();
        AddPreparationOptions(cmd, *opt);
        cmd->add_flag("--dry-run", opt->dryRun, "Print the plan (keep, move, write, delete); write nothing");
        cmd->callback([&ctx, opt] {
            if (const int rc = RunSync(ctx, *opt); rc != kExitOk)
                throw CliError(rc, "the album was written only in part");
        });
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
