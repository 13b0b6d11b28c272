// SPDX-License-Identifier: GPL-3.0-or-later
#include "flash_manager/DPF.h"

#include <array>
#include <fstream>
#include <system_error>
#include <vector>

namespace kestova {

using namespace album;

namespace {
// The facade refuses a new picture once this many are listed.
constexpr int kInsertLimit = 510;
} // namespace

DPF::DPF() = default;

DPF::~DPF() {
    store_.Release();
    flash_.reset();
    link_.reset();
}

int DPF::Init(std::unique_ptr<CCommUSB> link, ProgressCallback callback) {
    store_.Release();
    link_ = std::move(link);
    flash_ = std::make_unique<CProcessFlash>();
    flash_->SetHidComm(link_.get());
    progress_ = callback ? std::move(callback) : ProgressCallback(&DPF::virtualDownloadNotify);
    return 1;
}

int DPF::ReadDPFInfo() {
    store_.Release();
    info_ = DeviceInfo{};
    maxPictures_ = 0;
    albumStart_ = albumLength_ = 0;
    if (!flash_) throw int(kAlbumErrorRead);

    std::array<uint8_t, kInfoBlockSize> block{};
    // An unread block would describe an album at address 0 over the
    // information block itself; report the read failure instead.
    if (flash_->ReadData(0, int32_t(kInfoBlockSize), block.data()) != 0)
        throw int(kAlbumErrorRead);
    info_ = ParseDeviceInfo(block);
    CheckLcdSize(info_);
    maxPictures_ = info_.maxPictures;
    flash_->SetOPCMD(info_.EraseOpcode(), char(info_.ProgramMode() ? 1 : 0));

    uint32_t start = info_.albumStart;
    if (info_.hasDpfh) {
        // A record that points below the flash start cannot be read; the album
        // position is unknown then, and nothing may be written.
        if (info_.dpfhLocator < kDpfhBackOffset) throw int(kAlbumErrorUnusable);
        // The record decides where every later write lands: one flipped bit
        // on the wire would move the album onto other pictures. It is read
        // with the same checksum agreement and retries as every other read.
        std::array<uint8_t, kDpfhRecordSize> record{};
        if (flash_->ReadData(int32_t(info_.dpfhLocator - kDpfhBackOffset), int32_t(record.size()),
                             record.data()) != CProcessFlash::kReadOk)
            throw int(kAlbumErrorRead);
        start = AlbumStartFromDpfhRecord(record);
    }
    albumStart_ = start;
    albumLength_ = AlbumAreaLength(info_.flashSize, info_.albumStart, start);
    if (info_.hasDpfh) {
        // Commits erase the two index blocks and the slots. Were the record
        // that locates the album among them, the first commit would wipe it
        // and the album could no longer be found.
        const Geometry g = ComputeGeometry(albumStart_, albumLength_, maxPictures_);
        const uint64_t from = info_.dpfhLocator - kDpfhBackOffset, to = from + kDpfhRecordSize;
        auto hits = [&](uint64_t a, uint64_t b) { return from < b && a < to; };
        if (g.usable && (hits(g.start, uint64_t(g.start) + kBackupOffset + kIndexBlockSize) ||
                         hits(g.SlotAreaStart(), uint64_t(g.SlotAreaStart()) +
                                                     uint64_t(g.slotCount) * g.slotSize)))
            throw int(kAlbumErrorUnusable);
    }
    store_.Init(flash_.get(), albumStart_, albumLength_, maxPictures_);
    return 1;
}

void DPF::CheckLcdSize(const DeviceInfo& info) {
    if (!LcdSizeIsUsable(info.lcdWidth, info.lcdHeight)) throw int(kAlbumErrorLcdSize);
}

int DPF::Read(ReadMode mode) {
    store_.ReadIndex(mode == kReadOnly ? CPictureManager::kListOnly : CPictureManager::kRestore);
    return 1;
}

int DPF::GetFileNum(int& count) const {
    count = store_.GetFileNum();
    return 1;
}

int DPF::GetMaxFileNum() const { return store_.GetMaxFileNum(); }

int DPF::GetOnePicSize() const { return int(store_.GetOnePicSize()); }

int DPF::GetLCDParam(int& width, int& height) const {
    width = info_.lcdWidth;
    height = info_.lcdHeight;
    return 1;
}

int DPF::GetFileAtIndex(int index, uint8_t* buffer, int bufferSize, int& length, PictureCache cache) {
    length = bufferSize;
    return store_.GetFileAtIndex(index, buffer, length, cache) == 0 ? 1 : 0;
}

int DPF::InsertFile(const std::filesystem::path& path, int /*unused*/) {
    if (store_.GetFileNum() >= kInsertLimit) return 0;
    // Only regular files: a device never ends and a named pipe would block
    // the open itself.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) return 0;
    // The stated size is not trusted: at most one byte more than a slot is
    // read, and a file that long is refused.
    const size_t cap = store_.GetOnePicSize();
    std::vector<uint8_t> bytes(cap + 1);
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    const size_t got = size_t(in.gcount());
    if (in.bad() || got == 0 || got > cap) return 0;
    bytes.resize(got);
    return AddData(bytes.data(), int(bytes.size()));
}

int DPF::AddData(const uint8_t* data, int length) {
    if (store_.GetFileNum() >= kInsertLimit) return 0;
    return store_.AddPicture(data, length) == 0 ? 1 : 0;
}

int DPF::DeleteFileAt(int index) { return store_.DeletePicture(index); }

int DPF::MoveFile(int from, int to) { return store_.MovePicture(from, to) == 0 ? 1 : 0; }

int DPF::Update() {
    if (flash_) flash_->FlashReleasePowerDown();  // result not needed: the commit checks its own
    return store_.Download(progress_) == CPictureManager::kCommitted ? kUpdateCommitted
                                                                     : kUpdateStoppedEarly;
}

int DPF::Update(const PictureFeed& feed) {
    if (flash_) flash_->FlashReleasePowerDown();
    return store_.Download(progress_, &feed) == CPictureManager::kCommitted ? kUpdateCommitted
                                                                            : kUpdateStoppedEarly;
}

bool DPF::SynchronizeDPFTime() { return flash_ && flash_->SynchronizeDPFTime(); }

void DPF::ReleaseAlbum() { store_.Release(); }

void DPF::GetAlbumColors(uint16_t& font, uint16_t& background) const {
    store_.GetAlbumColors(font, background);
}

int DPF::SetAlbumColors(uint16_t font, uint16_t background) {
    store_.SetAlbumColors(font, background);
    return 1;
}

int DPF::RequestStop() {
    store_.RequestStop();
    return 0;
}

int DPF::ReadFirmwareVersion(std::string& text) {
    if (!flash_) return 0;
    std::string other;
    return flash_->ReadFirmwareVersion(text, other) ? 1 : 0;
}

DPF::FirmwareResult DPF::QueryFirmwareVersion(std::string& text) {
    text.clear();
    if (!flash_) return kFirmwareQueryFailed;
    // The flash layer clears `other` only when the query itself failed.
    std::string other = "unchanged";
    if (flash_->ReadFirmwareVersion(text, other)) return kFirmwareRead;
    return other.empty() ? kFirmwareQueryFailed : kFirmwareNone;
}

bool DPF::IsDeviceOnline() const { return link_ && link_->GetUSBDeviceStatus(); }

bool DPF::HasPendingChanges() const {
    const auto& flash = store_.FlashEntries();
    if (size_t(store_.GetFileNum()) != flash.size()) return true;
    for (size_t i = 0; i < flash.size(); ++i) {
        const CFileItem* item = store_.GetItem(int(i));
        if (item->Address() != flash[i].address || uint32_t(item->Length()) != flash[i].length)
            return true;
    }
    return false;
}

bool DPF::GetFileInfo(int index, uint32_t& address, int& length) const {
    const CFileItem* item = store_.GetItem(index);
    if (!item) return false;
    address = item->Address();
    length = item->Length();
    return true;
}

} // namespace kestova
