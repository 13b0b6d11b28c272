// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reading the user's picture files (JPEG, PNG, GIF, BMP, TIFF and whatever
// else the installed Qt image plugins read) into upright, opaque QImages.
//
// - The file's orientation tag (EXIF) is applied, so camera photos come out
//   upright whatever way the camera was held.
// - A caller that needs only a small result says so up front (SizeChooser);
//   large JPEGs are then decoded at a reduced DCT scale that still covers the
//   requested size, instead of decoding every pixel and throwing most away.
// - Before any pixel is decoded, the picture's size is checked against a
//   pixel limit, and the memory its decoding will take (the decoded form the
//   reader produces, bit depth and channels included, plus the loader's own
//   copies) against one budget that every read in the process shares: reads
//   that do not fit beside the others wait, reads that could never fit are
//   refused with the figures. Qt's own allocation limit is set to the same
//   budget, so a reader that allocates more than announced fails too.
// - The work of a progressive JPEG (scans x blocks) is bounded before it is
//   decoded: a file of thousands of empty scans costs minutes otherwise.
// - Truncated files are reported as such (the JPEG and BMP readers would
//   otherwise hand back a picture with a grey or black tail, the GIF reader a
//   blank one of the claimed size).
// - What the reader libraries print (JPEG, PNG and TIFF warnings) is
//   collected while a picture is read, never printed.
// - A read can be cancelled from another thread (PictureLimits::cancel).
// - Transparent pixels are laid over white, the background of every prepared
//   bitmap.
//
// No function here shows anything to the user: failures come back as a code
// plus a one-line English message that names the file.

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace kestova {

enum class PictureError {
    None = 0,
    CannotOpen,   // missing, unreadable, a directory, or larger than maxFileBytes
    NotAPicture,  // no installed reader recognises the bytes
    TooLarge,     // width x height over the pixel limit
    Truncated,    // the file ends before the picture data does
    Corrupt,      // a reader recognised the format but could not decode it
    Cancelled,    // PictureLimits::cancel was set while the file was read
};

// Bytes of decoding memory, shared by the reads that run at the same time.
// A read takes what it needs before it decodes and gives it back when done;
// one that does not fit beside the others waits. A read larger than the
// whole budget is not waited for: the loader refuses it before it asks.
class DecodeBudget {
public:
    explicit DecodeBudget(int64_t capacity) : capacity_(capacity) {}
    DecodeBudget(const DecodeBudget&) = delete;
    DecodeBudget& operator=(const DecodeBudget&) = delete;

    // The budget of every read in this process (512 MiB).
    static DecodeBudget& Shared();

    int64_t Capacity() const { return capacity_; }
    // Waits until `bytes` fit beside what the other reads hold (alone, a
    // read may take up to the whole budget); false, having taken nothing,
    // when `cancel` is set meanwhile.
    bool Acquire(int64_t bytes, const std::atomic<bool>* cancel = nullptr);
    void Release(int64_t bytes);
    int64_t InUse() const;
    int64_t Peak() const;  // the most ever held at once

private:
    const int64_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable freed_;
    int64_t inUse_ = 0;
    int64_t peak_ = 0;
};

struct PictureLimits {
    // 100 megapixels: more than any camera of the day.
    int64_t maxPixels = 100'000'000;
    int64_t maxFileBytes = int64_t(1) << 30;
    // A picture whose decoding needs more than this (or more than the
    // budget's capacity) is refused. Taken from `budget`; null means the
    // process's shared one.
    int64_t maxDecodeBytes = int64_t(512) << 20;
    DecodeBudget* budget = nullptr;
    // Progressive JPEGs: encoders write about ten scans, a few dozen at the
    // very most; and the blocks decoded over all scans bound the time one
    // takes (each costs about 10 ns; a 100 MP colour photo in the usual ten
    // scans decodes about 22 million, a third of a second).
    int maxJpegScans = 300;
    int64_t maxJpegBlockScans = int64_t(32) << 20;
    // Set from another thread to end the read early: the reader sees the
    // end of its data at its next read, and the wait for the budget stops.
    const std::atomic<bool>* cancel = nullptr;
};

// Given the picture's upright size (orientation applied), returns the upright
// size the caller wants. Only reductions are honoured: a size that is smaller
// than the picture in one direction and not larger in the other is what the
// result gets; anything else (an empty QSize, an enlargement) means "full
// size", and enlarging is left to the caller, who knows how much it needs.
using SizeChooser = std::function<QSize(QSize uprightSize)>;

struct LoadedPicture {
    QImage image;            // upright, Format_RGB32, opaque; null on failure
    QSize uprightSize;       // the picture's own size in the file, upright
    QByteArray format;       // reader format ("jpeg", "png", ...), when known
    PictureError error = PictureError::None;
    QString message;         // "<name>: <what went wrong>"; empty when ok
    bool ok() const { return error == PictureError::None; }
};

// Reads a picture file. `chooseSize` (optional) picks the decoded size from
// the picture's upright size, see SizeChooser.
LoadedPicture ReadPictureFile(const QString& path, const SizeChooser& chooseSize = {},
                              const PictureLimits& limits = {});

// While one of these lives, ReadPictureFile on its thread reads every file
// into the same memory, kept (at the size of the largest file so far) until
// the object goes. Worth it for a batch: fresh memory for every camera photo
// costs a page fault per 4 KiB, and on some systems that costs more than
// the copy. Create and destroy on the same thread; they nest.
class KeptReadBuffer {
public:
    KeptReadBuffer();
    ~KeptReadBuffer();
    KeptReadBuffer(const KeptReadBuffer&) = delete;
    KeptReadBuffer& operator=(const KeptReadBuffer&) = delete;

private:
    QByteArray buffer_;
    QByteArray* previous_;
};

// The same for bytes already in memory; `name` is used in messages only.
LoadedPicture ReadPictureData(const QByteArray& data, const QString& name,
                              const SizeChooser& chooseSize = {},
                              const PictureLimits& limits = {});

// True when one of the picture readers (Qt's, or the HEIF/AVIF reader)
// recognises the file by its first bytes; the name does not matter. Only
// regular files are looked into.
bool RecognisedPictureFile(const QString& path);

// True when `data` is a JPEG stream that reaches its end-of-image marker
// (the segment chain is walked, so embedded thumbnails do not count).
bool JpegStreamComplete(const QByteArray& data);

// True when an uncompressed BMP holds every pixel row its header promises
// (compressed BMPs and non-BMP data give true: nothing to check here).
bool BmpPixelDataComplete(const QByteArray& data);

// True unless a GIF ends inside its first picture, or that picture's
// compressed data is too short to hold its pixels at the best ratio LZW
// reaches (a code of at least 3 bits stands for at most 4096 pixels).
bool GifPixelDataComplete(const QByteArray& data);

// True unless a PNG ends inside a chunk, or its compressed pixel data is too
// short for the rows its header promises at the best ratio deflate reaches
// (1032 to 1).
bool PngPixelDataComplete(const QByteArray& data);

// What the frame and scan headers of a JPEG say about the work and memory
// its decoding takes; the marker chain is walked once, the entropy-coded
// data is crossed at memory speed.
struct JpegLayout {
    bool complete = false;       // reaches its end-of-image marker
    bool progressive = false;
    int width = 0, height = 0, components = 0;
    int scans = 0;
    int64_t blockScans = 0;      // blocks decoded, summed over the scans
    int64_t coefficientBytes = 0;  // the whole-picture coefficients a progressive decode keeps
};
JpegLayout ScanJpeg(const QByteArray& data);

} // namespace kestova
