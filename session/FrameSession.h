// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What every front-end does with an attached frame, on top of its one device
// facade (DPF): open the frame (clock, firmware, information block, album),
// fetch and decode album pictures, add a prepared picture (fitted into one
// slot), write the album back, and export pictures as BMP or JPEG files.
// The front-ends keep their own files, lists and messages around these calls.
//
//     FrameSession s(dpf);                        // dpf.Init(link, progress) done
//     OpenResult o = s.Open({.setClock = true});  // after every attach
//     AlbumPicture p = s.ReadPicture(i);          // p.bytes as stored, p.pixels at LCD size
//     AddResult a = s.AddPreparedPicture(lcdPicture, quality);
//     CommitResult c = s.Commit();
//     ExportPicture(p.pixels, "0001.jpg", ExportFormat::Jpeg);
//
// One thread at a time, like the facade (RequestStop on the facade may come
// from another thread while Commit runs). Nothing here throws the album
// layer's codes: every failure comes back in the result, with its words.

#include "common/coder/Bmp.h"
#include "common/coder/Kv350Encoder.h"
#include "flash_manager/AlbumLayout.h"
#include "flash_manager/DPF.h"
#include "session/FailureText.h"
#include "common/files/SafeFile.h"

#include <QImage>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestova::session {

// ---- opening ----

struct OpenSteps {
    bool setClock = false;      // set the frame's clock first (its result is in clockSet)
    bool readFirmware = false;  // ask for the firmware version text
    // Only look: a primary index that lacks "ABFS" is listed from the backup
    // without being restored, so nothing is written (ls, info, export, ...).
    bool readOnly = false;
};

enum class OpenStatus {
    Opened,         // information block and album read
    NotOnline,      // no frame on the link
    ReadFailed,     // a read failed (failure says why)
    AlbumUnusable,  // the album area cannot hold an album, or the LCD is too large (the device fields are filled)
    NoLcdSize,      // the information block gives an LCD of 0 pixels: it is damaged
};

struct FrameInformation {
    int lcdWidth = 0, lcdHeight = 0;
    int pictures = 0;
    int maxPictures = 0;
    int slotSize = 0;
    int flashSize = 0;
    bool clockSet = false;
    std::string firmware;       // empty when not asked or none was read
    album::AlbumColors colors;  // as stored
};

struct OpenResult {
    OpenStatus status = OpenStatus::NotOnline;
    FrameInformation info;
    Failure failure;
    bool ok() const { return status == OpenStatus::Opened; }
};

std::string OpenFailureText(const OpenResult& result);

// ---- album pictures ----

enum class PictureStatus {
    Ok,
    NoSuchPicture,
    ReadFailed,    // the flash read failed (failure says why)
    NotDecodable,  // fetched, but not a device picture of the LCD size
};

struct AlbumPicture {
    PictureStatus status = PictureStatus::NoSuchPicture;
    std::vector<uint8_t> bytes;  // as stored in the slot, the whole picture
    RgbImage pixels;             // decoded at the LCD size (ReadPicture only)
    std::string error;           // the decoder's reason for NotDecodable
    Failure failure;             // ReadFailed
    bool ok() const { return status == PictureStatus::Ok; }
};

// ---- adding ----

enum class AddStatus {
    Added,
    TooLarge,    // does not fit one slot at any quality tried
    AlbumFull,   // the album holds as many pictures as it can
    Refused,     // cannot be encoded, unreadable bitmap, or the caller's keep step said no
};

struct AddResult {
    AddStatus status = AddStatus::Refused;
    int quality = 0;             // the quality that fitted (also when the album then refused it)
    int attempts = 0;            // qualities tried
    int lowestQuality = 0;       // the last quality tried (TooLarge)
    std::vector<uint8_t> bytes;  // the fitted device picture
    bool ok() const { return status == AddStatus::Added; }
};

std::string AddFailureText(const AddResult& result);

// Called with the fitted device picture before it joins the album (to keep a
// work file of it, say); false refuses the add.
using KeepPicture = std::function<bool(const std::vector<uint8_t>& bytes)>;

// ---- writing back ----

enum class CommitStatus { Committed, StoppedEarly, Failed };

struct CommitResult {
    CommitStatus status = CommitStatus::Failed;
    Failure failure;
    bool ok() const { return status == CommitStatus::Committed; }
};

class FrameSession {
public:
    explicit FrameSession(DPF& dpf);

    DPF& Dpf() { return dpf_; }

    // Reads the information block and the album (releasing the one before),
    // after the clock and firmware steps asked for. Call after every attach.
    OpenResult Open(const OpenSteps& steps = {});

    int LcdWidth() const { return lcdWidth_; }
    int LcdHeight() const { return lcdHeight_; }
    int PictureCount() const;

    // Album picture `index` (0-based) as stored, fetched whole however long.
    // PictureCache::DontKeep: the album keeps no copy of bytes it read for this.
    AlbumPicture FetchPicture(int index, PictureCache cache = PictureCache::Keep);
    // The same, decoded at the LCD size.
    AlbumPicture ReadPicture(int index, PictureCache cache = PictureCache::Keep);

    // Adds a prepared picture (LCD size) to the edited album: qualities
    // startQuality, -10, -20, ... are tried and the first whose device picture
    // fits one slot is added. `mode` is the sampling mode (3: 2x2).
    AddResult AddPreparedPicture(const RgbImage& picture, int startQuality, int mode = 3,
                                 const KeepPicture& keep = {});
    AddResult AddPreparedPicture(const QImage& picture, int startQuality, int mode = 3,
                                 const KeepPicture& keep = {});
    // The same from a prepared bitmap file of the LCD size (24-bit BMP).
    AddResult AddPreparedBitmap(const std::string& bmpPath, int startQuality, int mode = 3,
                                const KeepPicture& keep = {});

    // Adds a device picture fitted elsewhere with the same fitting rule (a
    // BatchPreparer's worker ran FitPictureToSlot from `startQuality`):
    // the same result and album step as AddPreparedPicture, without fitting
    // again on this thread.
    AddResult AddFittedPicture(const FitResult& fit, int startQuality, const KeepPicture& keep = {});

    // Writes the edited album to the frame (the facade's crash-safe commit).
    // With a feed, new pictures are added while it runs (see PictureFeed).
    CommitResult Commit(const PictureFeed* feed = nullptr);

    // Why the frame refused its last command, in words; empty when it did not.
    std::string LastCommandFailure() const;

private:
    Failure FailureOf(int storeCode) const;
    void ForgetCommandFailure();
    AddResult AddFitted(AddResult fit, const KeepPicture& keep);

    DPF& dpf_;
    int lcdWidth_ = 0;
    int lcdHeight_ = 0;
};

// ---- export ----

enum class ExportFormat { Bmp, Jpeg };

// Writes an album picture as a 24-bit BMP, or as a baseline JPEG (JFIF) at
// `quality` in sampling `mode` (100 and 3: the exact picture), through the
// safe file writer: the file is whole or not there; `write` says whether a
// name already taken is replaced or left alone (then false). On failure
// `why`, when given, says what went wrong in words.
bool ExportPicture(const RgbImage& picture, const std::string& path, ExportFormat format, int quality = 100,
                   int mode = 3, SafeWriteMode write = SafeWriteMode::Replace, std::string* why = nullptr);
// The same from a BMP file of width x height (a cache or display bitmap).
bool ExportBitmapFile(const std::string& bmpPath, int width, int height, const std::string& path,
                      ExportFormat format, int quality = 100, int mode = 3,
                      SafeWriteMode write = SafeWriteMode::Replace);

} // namespace kestova::session
