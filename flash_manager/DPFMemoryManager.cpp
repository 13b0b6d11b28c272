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
    if (!HasIndexMagic(image)) {
        // The primary is blank or a commit was cut off: the backup holds the
        // album as it was before, and becomes the primary again.
        image.fill(0);
        Read(s + kBackupOffset, image.data(), kIndexBlockSize);
        std::memcpy(image.data(), "ABFS", 4);
        if (mode == kRestore) WriteIndexBlock(s, image, /*erase=*/true);
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

int CPictureManager::Download(const ProgressCallback& progress, const PictureFeed* feed) {
    RequireLoaded();
    StopReset clearStop{stop_};
    const uint32_t s = geometry_.start;
    const uint32_t p = geometry_.slotSize;
    const size_t n = committed_.size();
    size_t newCount = current_.size() - n;
    const bool feeding = feed && feed->more;

    // The backup describes the album the primary lists now, except pictures
    // deleted in this commit whose slot a new picture takes: their bytes are
    // about to be overwritten, so a restored album must not list them.
    std::vector<IndexEntry> backupEntries;
    for (const IndexEntry& e : onFlash_) {
        const uint64_t eEnd = uint64_t(e.address) + std::max<uint32_t>(e.length, 1);
        bool overwritten = false;
        for (size_t i = n; i < current_.size() && !overwritten; ++i) {
            const uint64_t a = current_[i]->Address();
            overwritten = e.address < a + p && a < eEnd;
        }
        // Pictures still to be fed take free slots: whatever lies in one may go.
        if (feeding && !overwritten && geometry_.slotSize > 0 && e.address >= geometry_.SlotAreaStart()) {
            const uint32_t first = SlotOf(e.address);
            const uint32_t last = SlotOf(uint32_t(eEnd - 1));
            for (uint32_t slot = first; slot <= last && slot < space_.size() && !overwritten; ++slot)
                overwritten = space_[slot] == 0;
        }
        if (!overwritten) backupEntries.push_back(e);
    }
    WriteIndexBlock(s + kBackupOffset, BuildIndexBlock(indexImage_, backupEntries), true);
    // From the primary's erase on, a cut restores the backup: the album on
    // the flash is the backup's from here until the new primary lands.
    onFlash_ = backupEntries;
    WriteEntries(indexImage_, onFlash_);
    ErasureBlock(s);
    ConfirmErased(s);

    std::array<uint8_t, kEraseUnit> page;
    size_t written = 0;
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
        return long(newCount) + more;
    };
    long told = 0;
    for (size_t k = 0;; ++k) {
        if (k == newCount && !fedAll) {
            fedAll = !feed->more();
            newCount = current_.size() - n;
        }
        if (k >= newCount) break;
        const CFileItem& item = *current_[n + k];
        for (uint32_t off = 0; off < p; off += kEraseUnit) ErasureBlock(item.Address() + off);
        const uint32_t length = uint32_t(item.Length());
        const uint8_t* bytes = item.Data().data();
        for (uint32_t off = 0; off < length; off += kEraseUnit) {
            const uint32_t chunk = std::min(kEraseUnit, length - off);
            // The tail of the last page carries no meaning; keep it erased.
            page.fill(0xFF);
            std::memcpy(page.data(), bytes + off, chunk);
            Write(item.Address() + off, page.data(), kEraseUnit);
        }
        written = k + 1;
        told = std::max(total(), long(written));
        if (progress) progress(0, long(k), told);
        if ((written < newCount || !fedAll) && stop_.load()) break;
    }
    if (progress && written > 0 && fedAll && written == newCount && told != long(written)) progress(0, long(written) - 1, long(written));

    // The primary lists the kept pictures and the new ones now on the flash.
    const std::vector<IndexEntry> primaryEntries = EntriesOf(n + written);
    const auto primary = BuildIndexBlock(indexImage_, primaryEntries);
    WriteIndexBlock(s, primary, /*erase=*/false);
    indexImage_ = primary;
    onFlash_ = primaryEntries;

    committed_.clear();
    for (size_t i = 0; i < n + written; ++i)
        committed_.push_back(
            std::make_unique<CFileItem>(current_[i]->Address(), current_[i]->Length()));
    return written < newCount || !fedAll ? kStoppedEarly : kCommitted;
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
    WriteIndexBlock(geometry_.start + kBackupOffset, block, true);
    WriteIndexBlock(geometry_.start, block, true);
    indexImage_ = block;
    font_ = font;
    background_ = background;
    return 0;
}

} // namespace kestova
