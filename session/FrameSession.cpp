// SPDX-License-Identifier: GPL-3.0-or-later
#include "session/FrameSession.h"

#include "common/coder/Kv350Encoder.h"
#include "imaging/Preparation.h"

#include <algorithm>

namespace kestova::session {

FrameSession::FrameSession(DPF& dpf) : dpf_(dpf) {}

Failure FrameSession::FailureOf(int storeCode) const {
    Failure f{storeCode, LastCommandFailure()};
    // Told apart only where the frame says so itself (its medium is not
    // present) or the link has already seen it leave: any other refusal
    // stays a failure of the frame that is there.
    const CCommUSB* link = dpf_.GetLink();
    ScsiResult result;
    DataDirection direction = DataDirection::None;
    const bool mediumGone = link && link->LastFailure(result, direction) &&
                            result.outcome == ScsiOutcome::CheckCondition && result.SenseKey() == 0x2 &&
                            result.Asc() == 0x3A;
    f.frameGone = mediumGone || !dpf_.IsDeviceOnline();
    return f;
}

std::string FrameSession::LastCommandFailure() const {
    const CCommUSB* link = dpf_.GetLink();
    ScsiResult result;
    DataDirection direction = DataDirection::None;
    if (!link || !link->LastFailure(result, direction)) return {};
    return CommandFailureText(result, direction);
}

void FrameSession::ForgetCommandFailure() {
    if (CCommUSB* link = dpf_.GetLink()) link->ClearLastFailure();
}

int FrameSession::PictureCount() const {
    int count = 0;
    dpf_.GetFileNum(count);
    return count;
}

// ---- opening ----

OpenResult FrameSession::Open(const OpenSteps& steps) {
    OpenResult r;
    lcdWidth_ = lcdHeight_ = 0;
    ForgetCommandFailure();
    if (!dpf_.IsDeviceOnline()) {
        dpf_.ReleaseAlbum();
        return r;
    }
    if (steps.setClock) r.info.clockSet = dpf_.SynchronizeDPFTime();
    try {
        dpf_.ReadDPFInfo();
    } catch (int code) {
        r.status = code == kAlbumErrorUnusable || code == kAlbumErrorLcdSize ? OpenStatus::AlbumUnusable
                                                                              : OpenStatus::ReadFailed;
        r.failure = FailureOf(code);
    }
    dpf_.GetLCDParam(r.info.lcdWidth, r.info.lcdHeight);
    r.info.flashSize = dpf_.GetFlashSize();
    if (steps.readFirmware && !dpf_.ReadFirmwareVersion(r.info.firmware)) r.info.firmware.clear();
    if (r.failure.storeCode != 0) return r;
    try {
        dpf_.Read(steps.readOnly ? DPF::kReadOnly : DPF::kRestore);
    } catch (int code) {
        r.status = code == kAlbumErrorUnusable ? OpenStatus::AlbumUnusable : OpenStatus::ReadFailed;
        r.failure = FailureOf(code);
        return r;
    }
    r.info.pictures = PictureCount();
    r.info.maxPictures = dpf_.GetMaxFileNum();
    r.info.slotSize = dpf_.GetOnePicSize();
    dpf_.GetAlbumColors(r.info.colors.font, r.info.colors.background);
    if (r.info.lcdWidth < 1 || r.info.lcdHeight < 1) {
        // Without a size nothing can be decoded or fitted; the stored pictures
        // must not be taken for damaged because of it.
        r.status = OpenStatus::NoLcdSize;
        return r;
    }
    lcdWidth_ = r.info.lcdWidth;
    lcdHeight_ = r.info.lcdHeight;
    r.status = OpenStatus::Opened;
    return r;
}

std::string OpenFailureText(const OpenResult& r) {
    switch (r.status) {
    case OpenStatus::Opened: return {};
    case OpenStatus::NotOnline: return "no frame is attached";
    case OpenStatus::ReadFailed: return "reading the album was cut off (" + r.failure.Text() + ")";
    case OpenStatus::AlbumUnusable: return StoreFailureText(r.failure.storeCode);
    case OpenStatus::NoLcdSize:
        return "the frame reports an LCD of " + std::to_string(r.info.lcdWidth) + " x " +
               std::to_string(r.info.lcdHeight) + " pixels; its information block is damaged";
    }
    return {};
}

// ---- album pictures ----

AlbumPicture FrameSession::FetchPicture(int index, PictureCache cache) {
    AlbumPicture p;
    ForgetCommandFailure();
    uint32_t address = 0;
    int length = 0;
    if (!dpf_.GetFileInfo(index, address, length) || length < 1) return p;
    p.bytes.assign(size_t(length), 0);
    int got = 0;
    try {
        if (!dpf_.GetFileAtIndex(index, p.bytes.data(), length, got, cache) || got != length) {
            p.bytes.clear();
            p.status = PictureStatus::ReadFailed;
            p.failure = FailureOf(kAlbumErrorRead);
            return p;
        }
    } catch (int code) {
        p.bytes.clear();
        p.status = PictureStatus::ReadFailed;
        p.failure = FailureOf(code);
        return p;
    }
    p.status = PictureStatus::Ok;
    return p;
}

AlbumPicture FrameSession::ReadPicture(int index, PictureCache cache) {
    AlbumPicture p = FetchPicture(index, cache);
    if (!p.ok()) return p;
    if (lcdWidth_ < 1 || lcdHeight_ < 1 ||
        !CKv350Encoder::Decode(p.bytes.data(), p.bytes.size(), lcdWidth_, lcdHeight_, p.pixels, &p.error)) {
        if (p.error.empty()) p.error = "cannot be decoded";
        p.pixels = RgbImage{};
        p.status = PictureStatus::NotDecodable;
    }
    return p;
}

// ---- adding ----

namespace {

AddResult FromFit(const FitResult& fit, int startQuality) {
    AddResult r;
    r.attempts = fit.attempts;
    const std::vector<int> tried = FitQualities(startQuality);
    r.lowestQuality = tried.empty() ? startQuality : tried.back();
    switch (fit.status) {
    case FitStatus::Fitted:
        r.status = AddStatus::Added;  // so far: fitted
        r.quality = fit.quality;
        r.bytes = fit.bytes;
        break;
    case FitStatus::TooLarge: r.status = AddStatus::TooLarge; break;
    case FitStatus::Unreadable:
    case FitStatus::Invalid: r.status = AddStatus::Refused; break;
    }
    return r;
}

} // namespace

AddResult FrameSession::AddFitted(AddResult r, const KeepPicture& keep) {
    if (r.status != AddStatus::Added) return r;
    if (keep && !keep(r.bytes)) {
        r.status = AddStatus::Refused;
        return r;
    }
    if (!dpf_.AddData(r.bytes.data(), int(r.bytes.size()))) {
        const int count = PictureCount();
        r.status = count >= dpf_.GetMaxFileNum() ? AddStatus::AlbumFull : AddStatus::Refused;
    }
    return r;
}

AddResult FrameSession::AddPreparedPicture(const RgbImage& picture, int startQuality, int mode,
                                           const KeepPicture& keep) {
    const int slot = dpf_.GetOnePicSize();
    if (slot < 1 || picture.empty()) return AddResult{};
    return AddFitted(FromFit(FitPictureToSlot(picture, startQuality, size_t(slot), mode), startQuality), keep);
}

AddResult FrameSession::AddFittedPicture(const FitResult& fit, int startQuality, const KeepPicture& keep) {
    return AddFitted(FromFit(fit, startQuality), keep);
}

AddResult FrameSession::AddPreparedPicture(const QImage& picture, int startQuality, int mode,
                                           const KeepPicture& keep) {
    return AddPreparedPicture(ToRgbImage(picture), startQuality, mode, keep);
}

AddResult FrameSession::AddPreparedBitmap(const std::string& bmpPath, int startQuality, int mode,
                                          const KeepPicture& keep) {
    const int slot = dpf_.GetOnePicSize();
    if (slot < 1 || lcdWidth_ < 1 || lcdHeight_ < 1) return AddResult{};
    return AddFitted(
        FromFit(FitBmpToSlot(bmpPath, lcdWidth_, lcdHeight_, startQuality, size_t(slot), mode), startQuality),
        keep);
}

std::string AddFailureText(const AddResult& r) {
    switch (r.status) {
    case AddStatus::Added: return {};
    case AddStatus::TooLarge:
        return "does not fit into one picture slot even at quality " + std::to_string(r.lowestQuality);
    case AddStatus::AlbumFull: return "the album is full";
    case AddStatus::Refused: return "the picture cannot be encoded or was refused";
    }
    return {};
}

// ---- writing back ----

CommitResult FrameSession::Commit(const PictureFeed* feed) {
    CommitResult r;
    ForgetCommandFailure();
    try {
        const int updated = feed ? dpf_.Update(*feed) : dpf_.Update();
        r.status = updated == DPF::kUpdateStoppedEarly ? CommitStatus::StoppedEarly : CommitStatus::Committed;
    } catch (int code) {
        r.status = CommitStatus::Failed;
        r.failure = FailureOf(code);
    }
    return r;
}

// ---- export ----

bool ExportPicture(const RgbImage& picture, const std::string& path, ExportFormat format, int quality, int mode,
                   SafeWriteMode write, std::string* why) {
    std::vector<uint8_t> bytes;
    if (!picture.empty()) {
        if (format == ExportFormat::Bmp)
            bytes = EncodeBmp24(picture);
        else if (!CKv350Encoder::Encode(picture, quality, mode, true, bytes))
            bytes.clear();
    }
    if (bytes.empty()) {
        if (why) *why = "the picture cannot be encoded";
        return false;
    }
    const SafeWriteResult written = WriteFileSafely(path, bytes.data(), bytes.size(), write);
    if (!written && why) *why = written.reason;
    return written.ok;
}

bool ExportBitmapFile(const std::string& bmpPath, int width, int height, const std::string& path,
                      ExportFormat format, int quality, int mode, SafeWriteMode write) {
    RgbImage picture;
    if (!ReadBmp(bmpPath, picture) || picture.width != width || picture.height != height) return false;
    return ExportPicture(picture, path, format, quality, mode, write);
}

} // namespace kestova::session
