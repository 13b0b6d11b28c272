// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The album in memory: CFileItem (one picture) and CPictureManager (the album
// as the flash lists it and as the user has edited it, with the crash-safe
// commit). All flash access goes through CProcessFlash.
//
// Failures of the flash are thrown as plain integers (AlbumError): 1 = a read
// failed or a write still failed its check after 3 attempts, 2 = an erase
// failed, 3 = the album area cannot hold an album. Nothing here catches them.

#include "device/ProcessFlash.h"
#include "flash_manager/AlbumLayout.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace kestova {

// Progress of a commit: (0, k, n) after the k-th (from 0) of n new pictures
// has been written (k counts pictures as they are written). In a fed commit n may fall as pictures that were to come do not; the last
// call of a whole commit has k + 1 == n.
using ProgressCallback = std::function<void(int, long, long)>;

// New pictures that arrive while a commit runs (a batch still being
// prepared), so the wire does not wait for the last picture before writing
// the first. `more` is called on the commit's thread whenever every new
// picture it knows of is written (or waits for the backup, see Download); it
// adds the next one (or several) with AddPicture, waiting for it as long as
// needed, and returns false when no more will come. `pending` (optional) says
// how many may still come, for the progress total (which counts no more of
// them than the album has room for). The feed may add nothing before the
// commit starts. The index steps come after the feed has ended, so the
// backup knows every picture of the commit.
struct PictureFeed {
    std::function<bool()> more;
    std::function<long()> pending;
};

// Whether GetFileAtIndex keeps the bytes it read from the flash in the album
// item. Read-only users (export, showing one picture, a program's album read
// that decodes each picture once) ask for DontKeep, so reading the album
// never holds every picture in memory at once.
enum class PictureCache { Keep, DontKeep };

class CFileItem {
public:
    CFileItem(uint32_t address, int32_t length) : address_(address), length_(length) {}
    CFileItem(uint32_t address, int32_t length, std::vector<uint8_t> data)
        : address_(address), length_(length), data_(std::move(data)), hasData_(true) {}

    uint32_t Address() const { return address_; }
    int32_t Length() const { return length_; }
    // Picture bytes in memory: always for a picture added since the album was
    // read, after the first GetFileAtIndex for one read from the flash.
    bool HasData() const { return hasData_; }
    const std::vector<uint8_t>& Data() const { return data_; }
    void SetData(std::vector<uint8_t> data) { data_ = std::move(data); hasData_ = true; }
    // Bytes read from the flash and kept for later calls: they can be
    // dropped and read again. The bytes of a picture added since the album
    // was read are its only copy and are never a cache.
    bool HoldsCache() const { return cache_; }
    void SetCache(std::vector<uint8_t> data) { SetData(std::move(data)); cache_ = true; }
    void DropCache() {
        if (!cache_) return;
        data_ = {};
        hasData_ = cache_ = false;
    }

private:
    uint32_t address_;
    int32_t length_;
    std::vector<uint8_t> data_;
    bool hasData_ = false;
    bool cache_ = false;
};

class CPictureManager {
public:
    // Download results.
    enum DownloadResult : int {
        kCommitted = 0,      // the whole edited album is on the flash
        kStoppedEarly = 1,   // a stop request ended the commit between two new
                             // pictures; the rest stay pending in memory
    };

    CPictureManager();
    virtual ~CPictureManager();
    CPictureManager(const CPictureManager&) = delete;
    CPictureManager& operator=(const CPictureManager&) = delete;

    // Forgets the previous album, keeps the area and reads the primary index
    // block once. Throws 3 when the area cannot hold an album (nothing read).
    int Init(CProcessFlash* flash, uint32_t start, uint32_t length, uint32_t maxPictures);
    // Reads and lists the album. A primary without "ABFS" (blank, or a
    // commit cut off) gives the backup's album; kRestore also writes the
    // backup back as the primary, kListOnly writes nothing.
    enum IndexReadMode : int { kRestore = 0, kListOnly = 1 };
    int ReadIndex(IndexReadMode mode = kRestore);
    void CreateSpaceTable();

    int GetFileNum() const { return int(current_.size()); }
    // Pictures the album may hold: M, capped at the 480 the index can list.
    int GetMaxFileNum() const;
    uint32_t GetOnePicSize() const { return geometry_.slotSize; }
    // 0 on success; 1 when the index is out of range (length unchanged) or
    // the buffer is too small (length = the picture's length). A picture read
    // from the flash goes straight into `buffer`; with Keep a copy stays in
    // its item while the cached bytes of the album fit the album area's
    // length (a sound album always does; overlapping entries of a damaged
    // index cannot make the cache grow past it).
    int GetFileAtIndex(int index, uint8_t* buffer, int& length,
                       PictureCache cache = PictureCache::Keep);
    // Forgets the kept bytes of pictures read from the flash (they are read
    // again when asked for); pictures added since the last read keep theirs.
    void DropCachedPictures();
    // Bytes of flash pictures kept in memory now.
    size_t CachedBytes() const { return cachedBytes_; }
    // 0, or 1 when the picture cannot be added (album full by count, no free
    // slot, empty picture or one longer than a slot, album not loaded).
    int AddPicture(const uint8_t* data, int length);
    // 0, or 1 for an index out of range.
    int DeletePicture(int index);
    // A picture taken out of the edited album, with what it takes to put it
    // back where it stood (an undone delete): the flash's copy stays the
    // flash's, a new picture stays new.
    struct TakenPicture {
        std::unique_ptr<CFileItem> item;
        std::unique_ptr<CFileItem> committed;  // set when the flash holds it
    };
    // Empty `item` for an index out of range.
    TakenPicture TakePicture(int index);
    // Puts a taken picture back at `index`: a picture of the flash among
    // those of the flash, a new one among the new ones, and only while its
    // slots are free. 0, or 1 when refused (the picture is left as it was).
    int PutBackPicture(int index, TakenPicture& picture);
    // Moves picture `from` to position `to` (both 0-based positions of the
    // album as edited). Pictures already on the flash move only among
    // themselves and new pictures only among themselves, so the store's
    // invariants hold; 0 on success, 1 when refused or out of range.
    int MovePicture(int from, int to);
    // Commits the edited album; see DownloadResult. The frame shows the
    // primary index, so the commit keeps it whole for as long as it can:
    // new pictures into slots the album on the flash does not use are
    // written first, then the backup (old album), the primary's erase, the
    // new pictures that take a slot the old album uses (freed by a deletion
    // in this commit), and the new primary. A unit that reads back erased
    // is not erased again. The flash ends up the same whatever the order.
    int Download(const ProgressCallback& progress, const PictureFeed* feed = nullptr);
    void Release();

    void Read(uint32_t address, uint8_t* buffer, uint32_t length);
    void Write(uint32_t address, const uint8_t* buffer, uint32_t length);
    void ErasureBlock(uint32_t address);
    // Throws 2 unless the 4096-byte unit at address reads erased (1 when the
    // frame cannot be asked).
    void ConfirmErased(uint32_t address);

    void GetAlbumColors(uint16_t& font, uint16_t& background) const;
    // Rewrites both index blocks with the new colours and the album the
    // primary lists (edits not yet committed are not written). 0, or 1 when
    // no album is loaded.
    int SetAlbumColors(uint16_t font, uint16_t background);

    // Colours the next commit writes with its new primary index, so that a
    // whole album (pictures, order and colours) changes in one commit: the
    // backup index written first keeps the colours of the album it
    // describes. Forgotten once a commit has written them, and on Release.
    void SetCommitColors(uint16_t font, uint16_t background) { commitColors_ = album::AlbumColors{font, background}; }

    // May be called from another thread while Download runs.
    void RequestStop() { stop_.store(true); }
    bool StopRequested() const { return stop_.load(); }

    // ---- inspection ----
    bool IsLoaded() const { return loaded_; }
    const album::Geometry& Geometry() const { return geometry_; }
    uint32_t GetSlotCount() const { return geometry_.slotCount; }
    // Pictures of the edited album that are already on the flash (the first
    // GetCommittedNum() positions); the rest exist only in memory.
    int GetCommittedNum() const { return int(committed_.size()); }
    const CFileItem* GetItem(int index) const;
    // What the primary index on the flash lists, in order.
    const std::vector<album::IndexEntry>& FlashEntries() const { return onFlash_; }
    bool SlotTaken(uint32_t slot) const { return slot < space_.size() && space_[slot] != 0; }
    // Slot of an address inside the slot area (geometry must be usable).
    uint32_t SlotOf(uint32_t address) const;

private:
    void ClearLists();
    void MarkSlots(uint32_t address, uint32_t length, int delta);
    void WriteIndexBlock(uint32_t at, const std::array<uint8_t, album::kIndexBlockSize>& block,
                         bool erase);
    std::vector<album::IndexEntry> EntriesOf(size_t count) const;
    // Whether any byte of the picture lies in the slot at the address.
    bool InSlot(const album::IndexEntry& e, uint32_t slotAddress) const;
    // Whether a picture the flash's album lists lies in the slot at the address.
    bool UsedByFlashAlbum(uint32_t slotAddress) const;
    // True only when `length` (at most 4096) bytes were read, verified, as 0xFF.
    bool ReadsErased(uint32_t address, uint32_t length);
    // Erases the units of a range about to be written, except those that read erased.
    void EraseUnlessErased(uint32_t address, uint32_t length);
    // Erases (where needed) a new picture's whole slot and writes its pages.
    void WritePicture(const CFileItem& item);
    void RequireLoaded() const;

    album::Geometry geometry_;
    std::vector<std::unique_ptr<CFileItem>> current_;
    std::vector<std::unique_ptr<CFileItem>> committed_;
    CProcessFlash* flash_ = nullptr;
    uint16_t font_ = 0;
    uint16_t background_ = 0;
    std::optional<album::AlbumColors> commitColors_;
    std::atomic<bool> stop_{false};
    // One counter per slot: how many pictures of the edited album lie in it
    // (normally 0 or 1; a damaged index can list overlapping pictures, and a
    // slot stays taken until the last of them is gone).
    std::vector<uint32_t> space_;
    std::array<uint8_t, album::kIndexBlockSize> indexImage_{};
    // The pictures the primary index lists (a fresh read would show these).
    // Unlike the committed list it keeps pictures deleted since the last
    // commit: they are what the backup must describe.
    std::vector<album::IndexEntry> onFlash_;
    // The primary index block on the flash begins with "ABFS" (false from
    // its erase in a commit until its header lands, and after a read that
    // found it without and wrote nothing).
    bool primaryWhole_ = false;
    bool initialised_ = false;
    bool loaded_ = false;
    size_t cachedBytes_ = 0;
};

} // namespace kestova
