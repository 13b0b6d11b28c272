// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// DPF: the device facade. One per program. It owns the link (CCommUSB) and the
// flash layer (CProcessFlash), reads the frame's information block, and holds
// the album store (CPictureManager), whose operations it passes on with
// front-end-friendly results.
//
// Calling order: Init once; on every attach ReadDPFInfo, then Read, before any
// album operation; then queries, GetFileAtIndex, AddFile/AddData,
// DeleteFileAt, MoveFile, Update, colours and SynchronizeDPFTime as the user
// works. One thread at a time (RequestStop may come from another thread while
// Update runs).
//
// Errors of the store are thrown as plain integers through every operation
// that reaches the flash (ReadDPFInfo, Read, GetFileAtIndex, Update,
// SetAlbumColors): 1 = a read failed or a write still failed its check after 3
// attempts, 2 = an erase failed, 3 = the frame's album area cannot hold an
// album (too small for one 4096-byte slot per picture, or badly placed).

#include "device/CommUSB.h"
#include "device/ProcessFlash.h"
#include "flash_manager/AlbumLayout.h"
#include "flash_manager/DPFMemoryManager.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace kestova {

class DPF {
public:
    // Update results.
    enum UpdateResult : int {
        kUpdateCommitted = 1,     // the whole edited album is on the frame
        kUpdateStoppedEarly = 2,  // RequestStop ended the commit between two new
                                  // pictures; the flash holds a whole album and
                                  // the unwritten pictures are still pending
    };

    DPF();
    virtual ~DPF();
    DPF(const DPF&) = delete;
    DPF& operator=(const DPF&) = delete;

    // Takes the link (virtual or real; the facade owns it from now on),
    // creates the flash layer and keeps the progress callback (null: a
    // callback that does nothing). Returns 1.
    int Init(std::unique_ptr<CCommUSB> link, ProgressCallback callback = nullptr);

    // Reads the information block (start, LCD size, flash size, maximum
    // pictures, erase opcode, DPFH record) and opens the store; releases the
    // previous album. The block and the DPFH record are verified reads (they
    // decide where writes land). Returns 1. Throws 1 when either cannot be
    // read, 4 when the LCD is larger than any picture made here (CheckLcdSize)
    // and 3 when the album area is unusable or would erase the DPFH record
    // that locates it (the device fields are kept then).
    int ReadDPFInfo();
    // Throws kAlbumErrorLcdSize for an LCD above 4096 pixels a side or
    // 16 megapixels: every picture buffer is sized from it, so a frame that
    // claims more could make a program allocate gigabytes. A side of 0 is
    // left to the front-ends, which report the block as damaged.
    static void CheckLcdSize(const album::DeviceInfo& info);
    // Reads the album index. kRestore (the default, for a program that may
    // edit the album) makes the backup the primary again when the primary
    // lacks "ABFS"; kReadOnly lists the backup's album the same way but
    // writes nothing (commands that only look). Returns 1.
    enum ReadMode : int { kRestore = 0, kReadOnly = 1 };
    int Read(ReadMode mode = kRestore);

    int GetFileNum(int& count) const;
    int GetMaxFileNum() const;
    int GetOnePicSize() const;
    int GetLCDParam(int& width, int& height) const;

    // Copies picture `index` (0-based) into buffer. length = bufferSize, then
    // the picture's length. 1 on success; 0 on failure: after a too-small
    // buffer `length` holds the picture's length, after a bad index it still
    // holds bufferSize. With PictureCache::DontKeep the bytes read from the
    // frame are not kept in the album (read-only users: export, show, an
    // album read that decodes each picture once).
    int GetFileAtIndex(int index, uint8_t* buffer, int bufferSize, int& length,
                       PictureCache cache = PictureCache::Keep);
    // Forgets the kept bytes of pictures that are on the frame.
    void DropCachedPictures() { store_.DropCachedPictures(); }

    // Adds the bytes of a file (already a device picture no longer than
    // GetOnePicSize) as a new picture. 1 on success, 0 on refusal: 510 or more
    // pictures, unreadable or empty file, picture longer than a slot, album
    // full by count or no free slot.
    int InsertFile(const std::filesystem::path& path, int unused);
    int AddFile(const std::filesystem::path& path) { return InsertFile(path, 0); }
    // Same as AddFile for a device picture held in memory. 1 or 0.
    int AddData(const uint8_t* data, int length);

    // Removes picture `index` from the edited album. 0, or 1 for a bad index.
    int DeleteFileAt(int index);
    // Reorders the edited album: picture `from` goes to position `to`
    // (0-based). Pictures already on the frame reorder among themselves and
    // new ones among themselves. 1 on success, 0 when refused. A commit with
    // only reordering rewrites just the two index blocks.
    int MoveFile(int from, int to);
    // Takes picture `index` out of the edited album so that it can be put
    // back where it stood (an undone delete); empty for a bad index.
    CPictureManager::TakenPicture TakeFileAt(int index) { return store_.TakePicture(index); }
    // 1 when the taken picture is back at `index`, 0 when refused.
    int PutBackFile(int index, CPictureManager::TakenPicture& picture) {
        return store_.PutBackPicture(index, picture) == 0 ? 1 : 0;
    }

    // Commits the album; see UpdateResult. With a feed, new pictures may
    // still arrive while the commit runs (see PictureFeed).
    int Update();
    int Update(const PictureFeed& feed);

    // Sets the frame's clock; the flash layer's result unchanged.
    bool SynchronizeDPFTime();

    static void virtualDownloadNotify(int, long, long) {}

    void ReleaseAlbum();
    void GetAlbumColors(uint16_t& font, uint16_t& background) const;
    int SetAlbumColors(uint16_t font, uint16_t background);  // 1
    int RequestStop();                                       // 0
    int GetFlashSize() const { return int(info_.flashSize); }
    // Nonzero when a version text was read.
    int ReadFirmwareVersion(std::string& text);
    // The same, telling a frame that reports no version apart from a query
    // that failed on the wire (or offline), which must not be shown as "none".
    enum FirmwareResult : int { kFirmwareRead = 1, kFirmwareNone = 0, kFirmwareQueryFailed = 2 };
    FirmwareResult QueryFirmwareVersion(std::string& text);
    bool IsDeviceOnline() const;

    // ---- further queries for the front-ends ----
    CCommUSB* GetLink() const { return link_.get(); }
    CProcessFlash* GetFlashLayer() const { return flash_.get(); }
    const album::DeviceInfo& GetDeviceInfo() const { return info_; }
    uint32_t GetAlbumStart() const { return albumStart_; }
    uint32_t GetAlbumLength() const { return albumLength_; }
    uint32_t GetSlotCount() const { return store_.GetSlotCount(); }
    // Pictures of the edited album that are already on the frame: positions
    // 0 .. GetCommittedNum()-1; the rest exist only in memory until Update.
    int GetCommittedNum() const { return store_.GetCommittedNum(); }
    bool HasPendingChanges() const;
    // Flash address and length of picture `index`; false for a bad index.
    bool GetFileInfo(int index, uint32_t& address, int& length) const;
    CPictureManager& Store() { return store_; }
    const CPictureManager& Store() const { return store_; }

private:
    ProgressCallback progress_ = &DPF::virtualDownloadNotify;
    uint32_t maxPictures_ = 0;
    std::unique_ptr<CCommUSB> link_;
    std::unique_ptr<CProcessFlash> flash_;
    album::DeviceInfo info_;
    CPictureManager store_;
    uint32_t albumStart_ = 0;
    uint32_t albumLength_ = 0;
};

} // namespace kestova
