#pragma once
// Reading the user's picture files (JPEG, PNG, GIF, BMP, TIFF and whatever
// else the installed Qt image plugins read) into upright, opaque QImages.
//
// - The file's orientation tag (EXIF) is applied, so camera photos come out
//   upright whatever way the camera was held.
// - A caller that needs only a small result says so up front (SizeChooser);
//   large JPEGs are then decoded at a reduced DCT scale that still covers the
//   requested size, instead of decoding every pixel and throwing most away.
// - The picture's size is checked against a pixel limit before any pixel is
//   decoded, so a hostile or absurd file cannot exhaust memory.
// - Truncated files are reported as such (the JPEG and BMP readers would
//   otherwise hand back a picture with a grey or black tail).
// - Transparent pixels are laid over white, the background of every prepared
//   bitmap.
//
// No function here shows anything to the user: failures come back as a code
// plus a one-line English message that names the file.

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

#include <cstdint>
#include <functional>

namespace kestova {

enum class PictureError {
    None = 0,
    CannotOpen,   // missing, unreadable, a directory, or larger than maxFileBytes
    NotAPicture,  // no installed reader recognises the bytes
    TooLarge,     // width x height over the pixel limit
    Truncated,    // the file ends before the picture data does
    Corrupt,      // a reader recognised the format but could not decode it
};

struct PictureLimits {
    // 100 megapixels: more than any camera of the day, far less than what
    // would take the machine's memory (a full decode costs 4 bytes a pixel).
    int64_t maxPixels = 100'000'000;
    int64_t maxFileBytes = int64_t(1) << 30;
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

} // namespace kestova
