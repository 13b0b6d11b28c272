// SPDX-License-Identifier: GPL-3.0-or-later
#include "flash_manager/DPFMemoryManager.h"

#include <algorithm>
#include <cstring>

namespace kestova {

using namespace album;

namespace {

// Clears the stop request however Download ends, so a stale request never
// cuts short the next commit.
struct StopReset {
    std::atomic<bool>& flag;
    ~StopReset() { flag.store(false); }
};

// Bytes read from the head of a unit to tell one that was ever written: a
// whole number of the frame's 64-byte packets.
constexpr uint32_t kErasedProbe = 64;

template <typename T>
void MoveElement(std::vector<T>& v, size_t from, size_t to) {
    if (from < to)
        std::rotate(v.begin() + from, v.begin() + from + 1, v.begin() + to + 1);
    else if (to < from)
        std::rotate(v.begin() + to, v.begin() + from, v.begin() + from + 1);
}

} // namespace

CPictureManager::CPictureManager() { Release(); }

CPictureManager::~CPictureManager() { Release(); }

void CPictureManager::ClearLists() {
    current_.clear();
    committed_.clear();
    onFlash_.clear();
    space_.clear();
    loaded_ = false;
    cachedBytes_ = 0;
}

void CPictureManager::Release() {
    ClearLists();
    geometry_ = album::Geometry{};
    font_ = background_ = 0;
    commitColors_.reset();
    stop_.store(false);
    indexImage_.fill(0);
    initialised_ = false;
}

int CPictureManager::Init(CProcessFlash* flash, uint32_t start, uint32_t length,
                          uint32_t maxPictures) {
    Release();
    flash_ = flash;
    geometry_ = ComputeGeometry(start, length, maxPictures);
    // Nothing is read from an area that cannot hold the album: its start may
    // lie anywhere, and a slot size of 0 has no meaning.
    if (!geometry_.usable) throw int(kAlbumErrorUnusable);
    indexImage_.fill(0);
    Read(start, indexImage_.data(), kIndexBlockSize);
    initialised_ = true;
    return 0;
}

void CPictureManager::CreateSpaceTable() {
    if (!geometry_.usable) throw int(kAlbumErrorUnusable);
    space_.assign(geometry_.slotCount, 0);
}

uint32_t CPictureManager::SlotOf(uint32_t address) const {
    return (address - geometry_.SlotAreaStart()) / geometry_.slotSize;
}

void CPictureManager::MarkSlots(uint32_t address, uint32_t length, int delta) {
    // Every slot that the picture's bytes touch counts as taken, so a new
    // picture can never overwrite a listed one, whatever the index says.
    // A picture in the tail after the last slot touches no slot.
    const uint32_t first = SlotOf(address);
    const uint32_t last = SlotOf(address + std::max<uint32_t>(length, 1) - 1);
    for (uint32_t s = first; s <= last && s < space_.size(); ++s) {
        if (delta > 0)
            ++space_[s];
        else if (space_[s] > 0)
            --space_[s];
    }
}

int CPictureManager::ReadIndex(IndexReadMode mode) {
    if (!initialised_) throw int(kAlbumErrorUnusable);
    ClearLists();
    const uint32_t s = geometry_.start;
    std::array<uint8_t, kIndexBlockSize> image{};
    Read(s, image.data(), kIndexBlockSize);
    primaryWhole_ = HasIndexMagic(image);
    if (!primaryWhole_) {
        // The primary is blank or a commit was cut off: the backup holds the
        // album as it was before, and becomes the primary again.
        image.fill(0);
        Read(s + kBackupOffset, image.data(), kIndexBlockSize);
        std::memcpy(image.data(), "ABFS", 4);
        if (mode == kRestore) {
            WriteIndexBlock(s, image, /*erase=*/true);
            primaryWhole_ = true;
        }
    }
    indexImage_ = image;
    const ParsedIndex parsed = ParseIndexBlock(image, s, geometry_.length, geometry_.slotSize);
    font_ = parsed.colors.font;
    background_ = parsed.colors.background;
    CreateSpaceTable();
    for (const IndexEntry& e : parsed.entries) {
        current_.push_back(std::make_unique<CFileItem>(e.address, int32_t(e.length)));
        committed_.push_back(std::make_unique<CFileItem>(e.address, int32_t(e.length)));
        MarkSlots(e.address, e.length, +1);
    }
    onFlash_ = parsed.entries;
    loaded_ = true;
    return 0;
}

int CPictureManager::GetMaxFileNum() const {
    return geometry_.usable ? int(geometry_.PictureLimit()) : 0;
}

const CFileItem* CPictureManager::GetItem(int index) const {
    if (index < 0 || size_t(index) >= current_.size()) return nullptr;
    return current_[size_t(index)].get();
}

int CPictureManager::GetFileAtIndex(int index, uint8_t* buffer, int& length, PictureCache cache) {
    if (index < 0 || size_t(index) >= current_.size()) return 1;
    CFileItem& item = *current_[size_t(index)];
    if (length < item.Length() || (item.Length() > 0 && buffer == nullptr)) {
        length = item.Length();
        return 1;
    }
    const size_t n = size_t(std::max<int32_t>(item.Length(), 0));
    if (item.HasData()) {
        if (n > 0) std::memcpy(buffer, item.Data().data(), n);
    } else {
        // Read into the caller's buffer: nothing is allocated for a picture
        // that is not kept.
        Read(item.Address(), buffer, uint32_t(n));
        if (cache == PictureCache::Keep && cachedBytes_ + n <= geometry_.length) {
            item.SetCache(std::vector<uint8_t>(buffer, buffer + n));
            cachedBytes_ += n;
        }
    }
    length = item.Length();
    return 0;
}

void CPictureManager::DropCachedPictures() {
    for (auto& item : current_) item->DropCache();
    cachedBytes_ = 0;
}

int CPictureManager::AddPicture(const uint8_t* data, int length) {
    if (!loaded_ || data == nullptr || length <= 0) return 1;
    // A picture longer than its slot would run into the next one.
    if (uint32_t(length) > geometry_.slotSize) return 1;
    if (current_.size() >= geometry_.PictureLimit()) return 1;
    const auto free = std::find(space_.begin(), space_.end(), 0u);
    if (free == space_.end()) return 1;
    const uint32_t slot = uint32_t(free - space_.begin());
    auto item = std::make_unique<CFileItem>(geometry_.SlotAddress(slot), int32_t(length),
                                            std::vector<uint8_t>(data, data + length));
    ++space_[slot];
    current_.push_back(std::move(item));
    return 0;
}

int CPictureManager::DeletePicture(int index) {
    return TakePicture(index).item ? 0 : 1;
}

CPictureManager::TakenPicture CPictureManager::TakePicture(int index) {
    TakenPicture taken;
    if (index < 0 || size_t(index) >= current_.size()) return taken;
    const CFileItem& item = *current_[size_t(index)];
    if (item.HoldsCache()) cachedBytes_ -= item.Data().size();
    MarkSlots(item.Address(), uint32_t(item.Length()), -1);
    taken.item = std::move(current_[size_t(index)]);
    current_.erase(current_.begin() + index);
    if (size_t(index) < committed_.size()) {
        taken.committed = std::move(committed_[size_t(index)]);
        committed_.erase(committed_.begin() + index);
    }
    return taken;
}

int CPictureManager::PutBackPicture(int index, TakenPicture& picture) {
    if (!picture.item || index < 0) return 1;
    const size_t at = size_t(index), n = committed_.size();
    // The two lists' invariant: pictures of the flash first, new ones after.
    if (picture.committed ? at > n : (at < n || at > current_.size())) return 1;
    const CFileItem& item = *picture.item;
    const uint32_t first = SlotOf(item.Address());
    const uint32_t last = SlotOf(item.Address() + std::max<uint32_t>(uint32_t(item.Length()), 1) - 1);
    for (uint32_t s = first; s <= last; ++s)
        if (SlotTaken(s)) return 1;
    MarkSlots(item.Address(), uint32_t(item.Length()), +1);
    if (item.HoldsCache()) cachedBytes_ += item.Data().size();
    current_.insert(current_.begin() + index, std::move(picture.item));
    if (picture.committed) committed_.insert(committed_.begin() + index, std::move(picture.committed));
    return 0;
}

int CPictureManager::MovePicture(int from, int to) {
    const size_t size = current_.size(), n = committed_.size();
    if (from < 0 || to < 0 || size_t(from) >= size || size_t(to) >= size) return 1;
    const bool fromOld = size_t(from) < n, toOld = size_t(to) < n;
    if (fromOld != toOld) return 1;
    MoveElement(current_, size_t(from), size_t(to));
    if (fromOld) MoveElement(committed_, size_t(from), size_t(to));
    return 0;
}

std::vector<IndexEntry> CPictureManager::EntriesOf(size_t count) const {
    std::vector<IndexEntry> out;
    out.reserve(count);
    for (size_t i = 0; i < count && i < current_.size(); ++i)
        out.push_back({current_[i]->Address(), uint32_t(current_[i]->Length())});
    return out;
}

void CPictureManager::RequireLoaded() const {
    if (!geometry_.usable) throw int(kAlbumErrorUnusable);
    if (!loaded_) throw int(kAlbumErrorUnusable);
}

void CPictureManager::WriteIndexBlock(uint32_t at,
                                      const std::array<uint8_t, kIndexBlockSize>& block,
                                      bool erase) {
    // Entries first, header last: "ABFS" is the last thing to land, so a
    // block whose writing was cut off reads as damaged.
    if (erase) ErasureBlock(at);
    Write(at + kIndexHeaderSize, block.data() + kIndexHeaderSize,
          kIndexBlockSize - kIndexHeaderSize);
    Write(at, block.data(), kIndexHeaderSize);
}

bool CPictureManager::InSlot(const IndexEntry& e, uint32_t slotAddress) const {
    const uint64_t eEnd = uint64_t(e.address) + std::max<uint32_t>(e.length, 1);
    return e.address < uint64_t(slotAddress) + geometry_.slotSize && slotAddress < eEnd;
}

bool CPictureManager::UsedByFlashAlbum(uint32_t slotAddress) const {
    return std::any_of(onFlash_.begin(), onFlash_.end(),
                       [&](const IndexEntry& e) { return InSlot(e, slotAddress); });
}

bool CPictureManager::ReadsErased(uint32_t address, uint32_t length) {
    // Only bytes the frame sent and its checksum confirmed count: a read that
    // fails, or anything but 0xFF, means the unit is erased as usual.
    std::array<uint8_t, kEraseUnit> buf;
    if (flash_ == nullptr || length > buf.size() ||
        flash_->ReadData(int32_t(address), int32_t(length), buf.data()) != 0)
        return false;
    return std::all_of(buf.begin(), buf.begin() + length, [](uint8_t b) { return b == 0xFF; });
}

void CPictureManager::EraseUnlessErased(uint32_t address, uint32_t length) {
    // Whatever this commit writes into starts with its header (a picture, an
    // index block), so a few bytes tell a unit that was ever written. Only
    // when they read erased is every unit read in full; a unit that reads
    // back all 0xFF is what an erase would leave, and erasing it again costs
    // the frame a status write and a sector erase for nothing.
    const bool headErased = ReadsErased(address, kErasedProbe);
    for (uint32_t off = 0; off < length; off += kEraseUnit)
        if (!headErased || !ReadsErased(address + off, kEraseUnit)) ErasureBlock(address + off);
}

void CPictureManager::WritePicture(const CFileItem& item) {
    EraseUnlessErased(item.Address(), geometry_.slotSize);
    std::array<uint8_t, kEraseUnit> page;
    const uint32_t length = uint32_t(item.Length());
    const uint8_t* bytes = item.Data().data();
    for (uint32_t off = 0; off < length; off += kEraseUnit) {
        const uint32_t chunk = std::min(kEraseUnit, length - off);
        // The tail of the last page carries no meaning; keep it erased.
        page.fill(0xFF);
        std::memcpy(page.data(), bytes + off, chunk);
        Write(item.Address() + off, page.data(), kEraseUnit);
    }
}

int CPictureManager::Download(const ProgressCallback& progress, const PictureFeed* feed) {
    RequireLoaded();
    StopReset clearStop{stop_};
    const uint32_t s = geometry_.start;
    const size_t n = committed_.size();
    const bool feeding = feed && feed->more;
    bool fedAll = !feeding;

    // The total told with each picture: the new pictures known, and of those
    // still to come no more than the album has room for. It only goes down
    // when a picture that was to come does not (the feeder says why), never
    // up; once the feed ends it is said once more if it fell after the last
    // picture, so the last report is always "n of n".
    auto total = [&] {
        long more = 0;
        if (feeding && !fedAll && feed->pending) {
            const long room = long(std::min<size_t>(
                geometry_.PictureLimit() - std::min<size_t>(current_.size(), geometry_.PictureLimit()),
                size_t(std::count(space_.begin(), space_.end(), 0u))));
            more = std::clamp(feed->pending(), 0L, room);
        }
        return long(current_.size() - n) + more;
    };
    // A commit that failed after the primary's erase left the backup as the
    // only index; it becomes the primary again before anything else, so the
    // backup is never rewritten while the frame depends on it.
    if (!primaryWhole_) {
        ErasureBlock(s);
        ConfirmErased(s);
        WriteIndexBlock(s, BuildIndexBlock(indexImage_, onFlash_), /*erase=*/false);
        primaryWhole_ = true;
    }

    std::vector<bool> done;  // per new picture: on the flash
    size_t written = 0;
    size_t writtenEnd = n;  // one past the last new picture written, in album order
    long told = 0;
    bool stopped = false;
    // Writes one new picture and tells it; a stop request ends the commit
    // after it when anything is left to write.
    auto writeNew = [&](size_t i, bool moreToCome) {
        WritePicture(*current_[i]);
        done[i - n] = true;
        ++written;
        writtenEnd = std::max(writtenEnd, i + 1);
        told = std::max(total(), long(written));
        if (progress) progress(0, long(written) - 1, told);
        stopped = stopped || (moreToCome && stop_.load());
    };

    // 1. New pictures into slots the album on the flash does not use, while
    // the primary still lists that album: a cut here leaves it as it was.
    // A picture whose slot that album uses (freed by a deletion in this
    // commit) waits for the backup that leaves the old picture out.
    std::vector<size_t> waiting;
    for (size_t i = n; !stopped; ++i) {
        if (i == current_.size() && !fedAll) {
            if (i > n && stop_.load()) {
                stopped = true;
                break;
            }
            fedAll = !feed->more();
        }
        if (i >= current_.size()) break;
        done.resize(current_.size() - n);
        if (UsedByFlashAlbum(current_[i]->Address()))
            waiting.push_back(i);
        else
            writeNew(i, i + 1 < current_.size() || !fedAll || !waiting.empty());
    }
    done.resize(current_.size() - n);
    // After a stop only the waiting pictures listed before one already
    // written still go, so the primary lists the album up to a point.
    if (stopped)
        waiting.erase(std::remove_if(waiting.begin(), waiting.end(),
                                     [&](size_t i) { return i >= writtenEnd; }),
                      waiting.end());

    // 2. The backup: the album the primary lists now, except pictures whose
    // slot a waiting new picture takes (their bytes are about to go, so a
    // restored album must not list them).
    std::vector<IndexEntry> backupEntries;
    for (const IndexEntry& e : onFlash_) {
        const bool overwritten = std::any_of(waiting.begin(), waiting.end(),
                                             [&](size_t i) { return InSlot(e, current_[i]->Address()); });
        if (!overwritten) backupEntries.push_back(e);
    }
    EraseUnlessErased(s + kBackupOffset, kIndexBlockSize);
    WriteIndexBlock(s + kBackupOffset, BuildIndexBlock(indexImage_, backupEntries), false);

    // 3. The primary's erase: from here a cut restores the backup, so the
    // album on the flash is the backup's until the new primary lands.
    onFlash_ = backupEntries;
    WriteEntries(indexImage_, onFlash_);
    primaryWhole_ = false;
    ErasureBlock(s);
    ConfirmErased(s);

    // 4. The waiting pictures, into the slots of pictures the backup left out.
    for (size_t j = 0; j < waiting.size(); ++j) {
        if (stopped && waiting[j] >= writtenEnd) break;
        writeNew(waiting[j], j + 1 < waiting.size());
    }
    if (progress && written > 0 && fedAll && !stopped && told != long(written))
        progress(0, long(written) - 1, long(written));

    // 5. The primary lists the kept pictures and the new ones written (after
    // a stop, the album up to the first one left pending).
    const size_t listed = size_t(std::find(done.begin(), done.end(), false) - done.begin());
    const std::vector<IndexEntry> primaryEntries = EntriesOf(n + listed);
    auto primary = BuildIndexBlock(indexImage_, primaryEntries);
    if (commitColors_) SetColors(primary, *commitColors_);
    WriteIndexBlock(s, primary, /*erase=*/false);
    primaryWhole_ = true;
    if (commitColors_) {
        font_ = commitColors_->font;
        background_ = commitColors_->background;
        commitColors_.reset();
    }
    indexImage_ = primary;
    onFlash_ = primaryEntries;

    committed_.clear();
    for (size_t i = 0; i < n + listed; ++i)
        committed_.push_back(
            std::make_unique<CFileItem>(current_[i]->Address(), current_[i]->Length()));
    return n + listed < current_.size() || !fedAll ? kStoppedEarly : kCommitted;
}

void CPictureManager::Read(uint32_t address, uint8_t* buffer, uint32_t length) {
    if (flash_ == nullptr || flash_->ReadData(int32_t(address), int32_t(length), buffer) != 0)
        throw int(kAlbumErrorRead);
}

void CPictureManager::Write(uint32_t address, const uint8_t* buffer, uint32_t length) {
    if (flash_ == nullptr) throw int(kAlbumErrorRead);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!flash_->WriteToFlash(buffer, int32_t(length), address)) continue;
        uint8_t hi = 0, lo = 0;
        if (!flash_->GetVerifyValue(hi, lo, address, int32_t(length))) continue;
        if (CProcessFlash::CheckDataIsOK(buffer, int32_t(length), hi * 256 + lo)) return;
    }
    throw int(kAlbumErrorRead);
}

void CPictureManager::ErasureBlock(uint32_t address) {
    if (flash_ == nullptr || !flash_->EraseOneBlockFlash(address)) throw int(kAlbumErrorErase);
}

void CPictureManager::ConfirmErased(uint32_t address) {
    // A chip that missed its write enable ignores the erase, although the
    // erase command itself completes. For the primary index that would be
    // fatal: it would keep its "ABFS" header while the new entries are
    // programmed over the old ones (bits only clear), leaving a valid-looking
    // index of merged entries. An erased unit sums to 4096 x 0xFF.
    uint8_t hi = 0, lo = 0;
    if (flash_ == nullptr || !flash_->GetVerifyValue(hi, lo, address, int32_t(kEraseUnit)))
        throw int(kAlbumErrorRead);
    if (((hi << 8) | lo) != int((kEraseUnit * 0xFFu) & 0xFFFFu)) throw int(kAlbumErrorErase);
}

void CPictureManager::GetAlbumColors(uint16_t& font, uint16_t& background) const {
    font = font_;
    background = background_;
}

int CPictureManager::SetAlbumColors(uint16_t font, uint16_t background) {
    if (!loaded_) return 1;
    auto block = BuildIndexBlock(indexImage_, onFlash_);
    SetColors(block, AlbumColors{font, background});
    // The block the frame depends on is rewritten second: the backup, unless
    // a failed commit left the primary without "ABFS".
    const bool backupFirst = primaryWhole_;
    if (backupFirst) WriteIndexBlock(geometry_.start + kBackupOffset, block, true);
    primaryWhole_ = false;
    WriteIndexBlock(geometry_.start, block, true);
    primaryWhole_ = true;
    if (!backupFirst) WriteIndexBlock(geometry_.start + kBackupOffset, block, true);
    indexImage_ = block;
    font_ = font;
    background_ = background;
    return 0;
}

} // namespace kestova
