// SPDX-License-Identifier: GPL-3.0-or-later
#include "imaging/PictureLoader.h"

#include "imaging/LocalNames.h"

#include "imaging/HeifDecode.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageIOHandler>
#include <QImageReader>
#include <QLibrary>
#include <QPainter>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#if defined(__ELF__)
#include <dlfcn.h>
#endif

namespace kestova {
namespace {

constexpr int64_t kSharedBudgetBytes = int64_t(512) << 20;

// Qt refuses to allocate a decoded picture above this many megabytes: set to
// the shared budget, so that a reader that allocates more than its header
// let us count (or a format whose size is known only once decoded) fails
// during the decode instead of taking the memory.
void SetQtAllocationLimit() {
    static std::once_flag once;
    std::call_once(once, [] { QImageReader::setAllocationLimit(int(kSharedBudgetBytes >> 20)); });
}

// The image readers report damage they decode through (a JPEG scan that
// stops early or holds an invalid code, filled with grey by the decoder) only
// as log messages. While this thread decodes, those messages are collected
// instead of printed, so that damage becomes an error with a reason; every
// other message goes to the handler that was there before.
thread_local QStringList* t_readerMessages = nullptr;
QtMessageHandler g_previousHandler = nullptr;

void CollectReaderMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    // Some readers log without a category ("libpng error: ..."): on a thread
    // that is reading a picture, every message is the reader's.
    if (t_readerMessages) {
        t_readerMessages->append(message);
        return;
    }
    if (g_previousHandler) {
        g_previousHandler(type, context, message);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
    }
}

// libtiff prints its warnings and errors to stderr itself unless handlers
// are set; the TIFF plugin loads the system's libtiff, so the handlers are
// set on that same library, found by its name. Messages on a thread that is
// not reading a picture are dropped: they are never for the user.
using TiffHandler = void (*)(const char*, const char*, va_list);
using TiffSetHandler = TiffHandler (*)(TiffHandler);

void CollectTiffMessage(const char* prefix, const char* module, const char* format, va_list args) {
    if (!t_readerMessages) return;
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    t_readerMessages->append(QString::fromLatin1(prefix) + QString::fromLocal8Bit(module ? module : "") +
                             QStringLiteral(": ") + QString::fromLocal8Bit(text));
}
void CollectTiffWarning(const char* module, const char* format, va_list args) {
    CollectTiffMessage("TIFF warning: ", module, format, args);
}
void CollectTiffError(const char* module, const char* format, va_list args) {
    CollectTiffMessage("TIFF error: ", module, format, args);
}

#if defined(__ELF__)
// libpng prints its errors to stderr unless the reader gives it an error
// function, and Qt's PNG reader gives it only a warning function. Every
// png_set_error_fn call of the process comes here first (see the end of this
// file): a missing error function becomes this one, which collects the
// message on a thread that is reading a picture and then leaves the decode
// the way libpng's own does.
struct png_struct_def;
using PngMessageFn = void (*)(png_struct_def*, const char*);
using PngSetErrorFn = void (*)(png_struct_def*, void*, PngMessageFn, PngMessageFn);
using PngLongJmpFn = void (*)(const png_struct_def*, int);

PngLongJmpFn RealPngLongJmp() {
    static const auto fn = reinterpret_cast<PngLongJmpFn>(::dlsym(RTLD_DEFAULT, "png_longjmp"));
    return fn;
}

void CollectPngError(png_struct_def* png, const char* message) {
    if (t_readerMessages)
        t_readerMessages->append(QStringLiteral("libpng error: ") + QString::fromLocal8Bit(message ? message : ""));
    if (const PngLongJmpFn longJmp = RealPngLongJmp())
        longJmp(png, 1);  // never returns
    // Without it libpng's own handler runs (it prints, then leaves the decode).
}
#endif

void InstallMessageCollector() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_previousHandler = qInstallMessageHandler(CollectReaderMessages);
        for (const int version : {6, 5}) {
            QLibrary tiff(QStringLiteral("tiff"), version);
            if (!tiff.load()) continue;
            auto warnings = reinterpret_cast<TiffSetHandler>(tiff.resolve("TIFFSetWarningHandler"));
            auto errors = reinterpret_cast<TiffSetHandler>(tiff.resolve("TIFFSetErrorHandler"));
            if (warnings) warnings(CollectTiffWarning);
            if (errors) errors(CollectTiffError);
            break;  // stays loaded: the handlers live in it
        }
    });
}

// A reader library's words, shown in a window or on a terminal: control
// characters (the file chose some of them) are written as \xNN.
QString Printable(const QString& text) {
    QString out;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u < 0xA0))
            out += QStringLiteral("\\x") + QString::number(int(u), 16).toUpper().rightJustified(2, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

class ReaderMessages {
public:
    ReaderMessages() {
        InstallMessageCollector();
        previous_ = t_readerMessages;
        t_readerMessages = &messages_;
    }
    ~ReaderMessages() { t_readerMessages = previous_; }
    ReaderMessages(const ReaderMessages&) = delete;
    ReaderMessages& operator=(const ReaderMessages&) = delete;
    // The first message that says pixel data was lost; harmless notes (such
    // as padding bytes before the end marker, common in camera files) pass.
    QString Damage() const {
        for (const QString& m : messages_)
            if (m.contains(QLatin1String("premature end of data segment"), Qt::CaseInsensitive) ||
                m.contains(QLatin1String("bad Huffman code"), Qt::CaseInsensitive) ||
                m.contains(QLatin1String("Premature end of JPEG file"), Qt::CaseInsensitive) ||
                m.contains(QLatin1String("must resync"), Qt::CaseInsensitive) ||
                m.startsWith(QLatin1String("TIFF error: ")) ||
                m.startsWith(QLatin1String("libpng error: ")))
                return Printable(m);
        return {};
    }

private:
    QStringList messages_;
    QStringList* previous_ = nullptr;
};

LoadedPicture Failure(PictureError error, const QString& name, const QString& what) {
    LoadedPicture r;
    r.error = error;
    r.message = name + QStringLiteral(": ") + what;
    return r;
}

bool SwapsSides(QImageIOHandler::Transformations t) {
    return t.testFlag(QImageIOHandler::TransformationRotate90);
}

// Lays transparent pixels over white and settles on one opaque format, so
// everything after loading sees 32-bit 0xffRRGGBB pixels. The usual decoded
// forms are turned in place: 8-bit ARGB keeps its memory, and 16-bit RGBA
// is written as 32-bit pixels into the front of its own rows (each 8-byte
// pixel is read before a 4-byte one lands on it), so a picture never exists
// twice. Only the rarer forms are converted into new memory (see
// OpaqueCopyBytes).
uint32_t OverWhite(uint32_t r, uint32_t g, uint32_t b, uint32_t a, uint32_t max) {
    // (c * a + max * (max - a)) / max, rounded, scaled to 8 bits
    const auto blend = [&](uint32_t c) {
        const uint64_t v = (uint64_t(c) * a + uint64_t(max) * (max - a)) * 255 + uint64_t(max) * max / 2;
        return uint32_t(v / (uint64_t(max) * max));
    };
    return 0xFF000000u | blend(r) << 16 | blend(g) << 8 | blend(b);
}

bool TurnsInPlace(QImage::Format f) {
    return f == QImage::Format_RGB32 || f == QImage::Format_ARGB32 || f == QImage::Format_RGBA64 ||
           f == QImage::Format_RGBX64;
}

QImage Opaque(QImage image) {
    const QImage::Format f = image.format();
    const int w = image.width(), h = image.height();
    if (f == QImage::Format_RGB32) return image;
    if (f == QImage::Format_ARGB32) {
        for (int y = 0; y < h; ++y) {
            auto* row = reinterpret_cast<uint32_t*>(image.scanLine(y));
            for (int x = 0; x < w; ++x) {
                const uint32_t px = row[x], a = px >> 24;
                if (a != 255) row[x] = OverWhite((px >> 16) & 255, (px >> 8) & 255, px & 255, a, 255);
            }
        }
        image.reinterpretAsFormat(QImage::Format_RGB32);
        return image;
    }
    if (f == QImage::Format_RGBA64 || f == QImage::Format_RGBX64) {
        const bool alpha = f == QImage::Format_RGBA64;
        for (int y = 0; y < h; ++y) {
            uchar* line = image.scanLine(y);
            for (int x = 0; x < w; ++x) {
                uint16_t c[4];
                std::memcpy(c, line + 8 * qsizetype(x), 8);
                const uint32_t px = OverWhite(c[0], c[1], c[2], alpha ? c[3] : 65535u, 65535u);
                std::memcpy(line + 4 * qsizetype(x), &px, 4);
            }
        }
        // The 32-bit picture lives in the 16-bit one's memory, which it keeps.
        auto* keep = new QImage(image);
        return QImage(keep->bits(), w, h, keep->bytesPerLine(), QImage::Format_RGB32,
                      [](void* info) { delete static_cast<QImage*>(info); }, keep);
    }
    if (!image.hasAlphaChannel()) return image.convertToFormat(QImage::Format_RGB32);
    QImage out(image.size(), QImage::Format_RGB32);
    out.fill(Qt::white);
    QPainter p(&out);
    p.drawImage(0, 0, image);
    p.end();
    return out;
}

// Bytes a decoded form takes per pixel; formats a reader does not announce
// are counted as 32-bit, what Qt's other readers produce.
int64_t BytesPerPixel(QImage::Format f) {
    if (f == QImage::Format_Invalid) return 4;
    return std::max<int64_t>(1, (QImage::toPixelFormat(f).bitsPerPixel() + 7) / 8);
}

int BitsPerChannel(QImage::Format f) {
    switch (f) {
    case QImage::Format_RGBA64:
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64_Premultiplied:
    case QImage::Format_Grayscale16:
    case QImage::Format_RGBX16FPx4:
    case QImage::Format_RGBA16FPx4:
    case QImage::Format_RGBA16FPx4_Premultiplied: return 16;
    case QImage::Format_RGBX32FPx4:
    case QImage::Format_RGBA32FPx4:
    case QImage::Format_RGBA32FPx4_Premultiplied: return 32;
    default: return 8;
    }
}

// "1.2 GB", "340 MB"
QString Bytes(int64_t bytes) {
    if (bytes >= 1'000'000'000) return QStringLiteral("%1 GB").arg(double(bytes) / 1e9, 0, 'f', 1);
    return QStringLiteral("%1 MB").arg(std::max<int64_t>(1, (bytes + 500'000) / 1'000'000));
}

// The bytes as a device whose reads fail once `cancel` is set: the readers
// then see the end of their data and stop, whatever loop they are in. (Not
// a QBuffer: readers recognise one and read its memory directly.) For the
// JPEG reader, which takes what it is given, reads can be served in small
// pieces so that it comes back often: a progressive JPEG holds dozens of
// scans, each a pass over the whole picture, in a few kilobytes.
class CancellableBuffer : public QIODevice {
public:
    CancellableBuffer(const QByteArray& bytes, const std::atomic<bool>* cancel) : bytes_(bytes), cancel_(cancel) {}
    qint64 size() const override { return bytes_.size(); }
    void ServeInPieces(qint64 piece) { piece_ = piece; }

protected:
    qint64 readData(char* data, qint64 maxlen) override {
        if (cancel_ && cancel_->load(std::memory_order_relaxed)) {
            // A second start-of-image marker: the JPEG reader stops with an
            // error at once, where a plain end of data would have it smooth
            // the blocks of every missing scan (seconds for a huge picture).
            if (toldCancel_ || maxlen < 2) return -1;
            toldCancel_ = true;
            data[0] = char(0xFF);
            data[1] = char(0xD8);
            return 2;
        }
        const qint64 n = std::clamp<qint64>(bytes_.size() - pos(), 0, std::min(maxlen, piece_));
        std::memcpy(data, bytes_.constData() + pos(), size_t(n));
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    const QByteArray& bytes_;
    const std::atomic<bool>* cancel_;
    qint64 piece_ = std::numeric_limits<qint64>::max();
    bool toldCancel_ = false;
};

bool Cancelled(const PictureLimits& limits) { return limits.cancel && limits.cancel->load(); }

// Holds bytes of a budget for one read.
class BudgetShare {
public:
    BudgetShare() = default;
    ~BudgetShare() {
        if (budget_) budget_->Release(bytes_);
    }
    BudgetShare(const BudgetShare&) = delete;
    BudgetShare& operator=(const BudgetShare&) = delete;
    bool Take(DecodeBudget& budget, int64_t bytes, const std::atomic<bool>* cancel) {
        if (!budget.Acquire(bytes, cancel)) return false;
        budget_ = &budget;
        bytes_ = bytes;
        return true;
    }

private:
    DecodeBudget* budget_ = nullptr;
    int64_t bytes_ = 0;
};

uint32_t Le32(const QByteArray& d, int at) {
    auto b = [&](int i) { return uint32_t(uint8_t(d[at + i])); };
    return b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24);
}
uint16_t Le16(const QByteArray& d, int at) {
    return uint16_t(uint8_t(d[at]) | (uint8_t(d[at + 1]) << 8));
}

QString PixelLimitText(QSize size, const PictureLimits& limits) {
    return QStringLiteral("the picture is %1 x %2 pixels; pictures over %3 megapixels are refused")
        .arg(size.width())
        .arg(size.height())
        .arg(double(limits.maxPixels) / 1e6, 0, 'g', 4);
}

// The kept buffer of this thread (see KeptReadBuffer), or null.
thread_local QByteArray* t_keptBuffer = nullptr;


} // namespace

JpegLayout ScanJpeg(const QByteArray& data) {
    JpegLayout layout;
    const auto* p = reinterpret_cast<const uint8_t*>(data.constData());
    const qsizetype n = data.size();
    if (n < 4 || p[0] != 0xFF || p[1] != 0xD8) return layout;
    // The next 0xFF at or after `from`, or n: QByteArray::indexOf finds a
    // single byte with memchr, so the long stretches of entropy-coded data
    // are crossed at memory speed instead of byte by byte.
    const auto nextFF = [&data, n](qsizetype from) {
        const qsizetype at = from < n ? data.indexOf(char(0xFF), from) : -1;
        return at < 0 ? n : at;
    };
    // Per component of the frame: its id and the blocks a scan of it alone
    // decodes, and the blocks it has in interleaved MCUs (padded).
    struct Component {
        int id = 0;
        int64_t blocks = 0, padded = 0;
    };
    std::vector<Component> components;
    qsizetype pos = 2;
    for (;;) {
        // Extraneous bytes between segments are tolerated by decoders; skip
        // to the next marker, then over any fill bytes.
        pos = nextFF(pos);
        while (pos < n && p[pos] == 0xFF) ++pos;
        if (pos >= n) return layout;
        const uint8_t marker = p[pos++];
        if (marker == 0xD9) {  // EOI
            layout.complete = true;
            return layout;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue; // no length
        if (pos + 2 > n) return layout;
        const qsizetype length = (qsizetype(p[pos]) << 8) | p[pos + 1];
        if (length < 2 || pos + length > n) return layout;
        const uint8_t* seg = p + pos + 2;
        const qsizetype segLength = length - 2;
        pos += length;
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame && components.empty() && segLength >= 6) {
            layout.progressive = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
            layout.height = (seg[1] << 8) | seg[2];
            layout.width = (seg[3] << 8) | seg[4];
            const int count = std::min<int>(seg[5], int((segLength - 6) / 3));
            layout.components = count;
            int hMax = 1, vMax = 1;
            for (int c = 0; c < count; ++c) {
                hMax = std::max(hMax, seg[6 + 3 * c + 1] >> 4);
                vMax = std::max(vMax, seg[6 + 3 * c + 1] & 15);
            }
            const int64_t mcuX = (int64_t(layout.width) + 8 * hMax - 1) / (8 * hMax);
            const int64_t mcuY = (int64_t(layout.height) + 8 * vMax - 1) / (8 * vMax);
            for (int c = 0; c < count; ++c) {
                const int h = std::max(1, seg[6 + 3 * c + 1] >> 4), v = std::max(1, seg[6 + 3 * c + 1] & 15);
                Component comp;
                comp.id = seg[6 + 3 * c];
                const int64_t w = (int64_t(layout.width) * h + hMax - 1) / hMax;
                const int64_t hh = (int64_t(layout.height) * v + vMax - 1) / vMax;
                comp.blocks = ((w + 7) / 8) * ((hh + 7) / 8);
                comp.padded = mcuX * h * mcuY * v;
                layout.coefficientBytes += comp.padded * 64 * int64_t(sizeof(short));
                components.push_back(comp);
            }
            if (!layout.progressive) layout.coefficientBytes = 0;  // decoded row by row
        }
        if (marker != 0xDA) continue;
        ++layout.scans;
        if (segLength >= 1) {
            const int count = std::min<int>(seg[0], int((segLength - 1) / 2));
            for (int c = 0; c < count; ++c)
                for (const Component& comp : components)
                    if (comp.id == seg[1 + 2 * c]) layout.blockScans += count == 1 ? comp.blocks : comp.padded;
        }
        // Entropy-coded data after a scan header: it ends at the first marker
        // that is neither a stuffed 0xFF 0x00 nor a restart marker.
        for (;;) {
            pos = nextFF(pos);
            if (pos + 1 >= n) return layout;
            const uint8_t next = p[pos + 1];
            if (next == 0x00 || (next >= 0xD0 && next <= 0xD7) || next == 0xFF) {
                pos += (next == 0xFF) ? 1 : 2;
                continue;
            }
            break;  // a real marker starts at pos
        }
    }
}

bool JpegStreamComplete(const QByteArray& data) { return ScanJpeg(data).complete; }

bool GifPixelDataComplete(const QByteArray& data) {
    const auto* p = reinterpret_cast<const uint8_t*>(data.constData());
    const qsizetype n = data.size();
    if (n < 13 || std::memcmp(p, "GIF8", 4) != 0) return true;
    qsizetype pos = 13;
    if (p[10] & 0x80) pos += qsizetype(3) << ((p[10] & 7) + 1);
    // Sub-blocks (a length byte, then that many bytes) up to the empty one;
    // their total, or -1 when the file ends first.
    const auto subBlocks = [&]() -> int64_t {
        int64_t total = 0;
        for (;;) {
            if (pos >= n) return -1;
            const int length = p[pos++];
            if (length == 0) return total;
            if (pos + length > n) return -1;
            pos += length;
            total += length;
        }
    };
    for (;;) {
        if (pos >= n) return false;
        const uint8_t block = p[pos++];
        if (block == 0x3B) return true;  // the end, no picture: the reader judges
        if (block == 0x21) {             // an extension: label, sub-blocks
            ++pos;
            if (subBlocks() < 0) return false;
            continue;
        }
        if (block != 0x2C) return true;  // not ours to judge
        if (pos + 9 > n) return false;
        const int64_t pixels = int64_t(Le16(data, int(pos + 4))) * Le16(data, int(pos + 6));
        const uint8_t flags = p[pos + 8];
        pos += 9;
        if (flags & 0x80) pos += qsizetype(3) << ((flags & 7) + 1);
        ++pos;  // the smallest code size
        const int64_t bytes = subBlocks();
        if (bytes < 0) return false;
        return bytes * 8 / 3 * 4096 >= pixels;
    }
}

bool PngPixelDataComplete(const QByteArray& data) {
    const auto* p = reinterpret_cast<const uint8_t*>(data.constData());
    const qsizetype n = data.size();
    if (n < 33 || std::memcmp(p, "\x89PNG\r\n\x1a\n", 8) != 0) return true;
    const auto be32 = [p](qsizetype at) {
        return uint32_t(p[at]) << 24 | uint32_t(p[at + 1]) << 16 | uint32_t(p[at + 2]) << 8 | p[at + 3];
    };
    int64_t rawBytes = -1, compressed = 0;
    qsizetype pos = 8;
    while (pos + 8 <= n) {
        const int64_t length = be32(pos);
        const uint32_t type = be32(pos + 4);
        if (pos + 12 + length > n) return false;  // ends inside a chunk
        const uint8_t* chunk = p + pos + 8;
        if (type == 0x49484452u && length >= 13) {  // IHDR
            const int64_t w = be32(pos + 8), h = be32(pos + 12);
            const int depth = chunk[8], colour = chunk[9];
            const int channels = colour == 2 ? 3 : colour == 4 ? 2 : colour == 6 ? 4 : 1;
            rawBytes = h * (1 + (w * channels * depth + 7) / 8);
        } else if (type == 0x49444154u) {  // IDAT
            compressed += length;
        } else if (type == 0x49454E44u) {  // IEND
            break;
        }
        pos += 12 + length;
    }
    return rawBytes < 0 || compressed * 1032 + 4096 >= rawBytes;
}

bool BmpPixelDataComplete(const QByteArray& data) {
    if (data.size() < 26 || data[0] != 'B' || data[1] != 'M') return true;
    const int64_t offBits = Le32(data, 10);
    const uint32_t headerSize = Le32(data, 14);
    int64_t width = 0, height = 0;
    uint32_t bits = 0, compression = 0;
    if (headerSize == 12) {  // OS/2 core header
        width = Le16(data, 18);
        height = Le16(data, 20);
        bits = Le16(data, 24);
    } else {
        if (data.size() < 34) return false;
        width = int32_t(Le32(data, 18));
        height = int32_t(Le32(data, 22));
        bits = Le16(data, 28);
        compression = Le32(data, 30);
    }
    // Only plain rows have a size we can know from the header.
    if (compression != 0 && compression != 3 && compression != 6) return true;
    if (width <= 0 || bits == 0 || bits > 64) return true;  // the reader will judge
    if (height < 0) height = -height;
    const int64_t stride = ((width * bits + 31) / 32) * 4;
    return offBits + stride * height <= data.size();
}

DecodeBudget& DecodeBudget::Shared() {
    static DecodeBudget budget(kSharedBudgetBytes);
    return budget;
}

bool DecodeBudget::Acquire(int64_t bytes, const std::atomic<bool>* cancel) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto fits = [&] { return inUse_ == 0 || inUse_ + bytes <= capacity_; };
    // A cancel flag has no one to notify us, so a waiting read looks at it
    // a few times a second.
    while (!fits()) {
        if (cancel && cancel->load()) return false;
        freed_.wait_for(lock, std::chrono::milliseconds(cancel ? 50 : 1000));
    }
    if (cancel && cancel->load()) return false;
    inUse_ += bytes;
    peak_ = std::max(peak_, inUse_);
    return true;
}

void DecodeBudget::Release(int64_t bytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        inUse_ -= bytes;
    }
    freed_.notify_all();
}

int64_t DecodeBudget::InUse() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inUse_;
}

int64_t DecodeBudget::Peak() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return peak_;
}

namespace {

// The memory a read takes at its peak: what the reader allocates for the
// decoded form (with a JPEG's scaled decoding and a progressive JPEG's
// whole-picture coefficients), the loader's copy to opaque 32-bit pixels
// where it cannot be made in place, and the scaled result.
struct DecodeCost {
    int64_t bytes = 0;
    int bitsPerChannel = 8;
};

DecodeCost CostOf(QSize stored, QImage::Format decoded, QSize want, bool jpegScaled, const JpegLayout& jpeg) {
    DecodeCost cost;
    cost.bitsPerChannel = BitsPerChannel(decoded);
    const int64_t bpp = BytesPerPixel(decoded);
    const int64_t full = int64_t(stored.width()) * stored.height();
    const int64_t wanted = want.isValid() ? int64_t(want.width()) * want.height() : full;
    int64_t decodedPixels = full;
    if (jpegScaled) {
        // The JPEG reader decodes at 1/1, 1/2, 1/4 or 1/8 and smooths the rest.
        const int ratio = std::min(stored.width() / std::max(1, want.width()),
                                   stored.height() / std::max(1, want.height()));
        const int denom = ratio >= 8 ? 8 : ratio >= 4 ? 4 : ratio >= 2 ? 2 : 1;
        decodedPixels = int64_t((stored.width() + denom - 1) / denom) * ((stored.height() + denom - 1) / denom);
        cost.bytes = decodedPixels * bpp + wanted * 4 + (bpp != 4 ? decodedPixels * 4 : 0);
    } else {
        cost.bytes = full * bpp;
        if (!TurnsInPlace(decoded) && decoded != QImage::Format_Invalid) cost.bytes += full * 4;
        if (want.isValid()) cost.bytes += wanted * 4;
    }
    cost.bytes += jpeg.coefficientBytes;
    return cost;
}

QString PixelsText(int64_t pixels) {
    return pixels >= 1'000'000 ? QStringLiteral("%1 MP").arg(double(pixels) / 1e6, 0, 'g', 3)
                               : QStringLiteral("%1 pixels").arg(pixels);
}

// HEIC and AVIF (phone photos) through libheif: Qt has no reader for them.
// The same steps as the Qt readers: the size first, then the decoding
// memory against the budget, then the pixels, upright and opaque, reduced
// when the caller asks for less.
LoadedPicture ReadHeifData(const QByteArray& data, const QString& name, heif::Brand brand,
                           const SizeChooser& chooseSize, const PictureLimits& limits) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.constData());
    const auto size = std::size_t(data.size());
    const auto failure = [&name](const heif::Result& r) {
        const PictureError e = r.failure == heif::Failure::Truncated        ? PictureError::Truncated
                               : r.failure == heif::Failure::NotHeif ||
                                         r.failure == heif::Failure::UnsupportedCodec
                                   ? PictureError::NotAPicture
                                   : PictureError::Corrupt;
        return Failure(e, name, QString::fromStdString(r.message));
    };
    const auto cancelled = [&] { return Failure(PictureError::Cancelled, name, QStringLiteral("the read was cancelled")); };
    heif::Reader reader;
    heif::Picture pic;
    if (const heif::Result r = reader.Open(bytes, size, pic); !r.ok()) return failure(r);
    const QSize upright(pic.width, pic.height);
    const int64_t pixels = int64_t(pic.width) * pic.height;
    if (pixels > limits.maxPixels) return Failure(PictureError::TooLarge, name, PixelLimitText(upright, limits));

    QSize want;
    if (chooseSize) {
        const QSize chosen = chooseSize(upright);
        if (chosen.isValid() && !chosen.isEmpty() && chosen.width() <= upright.width() &&
            chosen.height() <= upright.height() && chosen != upright)
            want = chosen;
    }
    // libheif decodes every pixel (no reduced scale), then the opaque copy
    // and the reduced picture.
    DecodeBudget& budget = limits.budget ? *limits.budget : DecodeBudget::Shared();
    const int64_t allowed = std::min(limits.maxDecodeBytes, budget.Capacity());
    const int64_t cost = heif::DecodeBytes(pic) + pixels * 4 +
                         (want.isValid() ? int64_t(want.width()) * want.height() * 4 : 0);
    if (cost > allowed)
        return Failure(PictureError::TooLarge, name,
                       QStringLiteral("too large to decode: %1 at %2 bits a channel needs %3; "
                                      "at most %4 is used for one picture")
                           .arg(PixelsText(pixels))
                           .arg(pic.bitDepth)
                           .arg(Bytes(cost), Bytes(allowed)));
    BudgetShare share;
    if (!share.Take(budget, cost, limits.cancel)) return cancelled();
    if (Cancelled(limits)) return cancelled();
    if (const heif::Result r = reader.Decode(pic); !r.ok()) return failure(r);
    if (Cancelled(limits)) return cancelled();

    // The decoded bytes are looked at in place; Opaque() makes the one copy.
    QImage image = Opaque(QImage(pic.rgba.data(), pic.width, pic.height, pic.width * 4,
                                 pic.hasAlpha ? QImage::Format_RGBA8888 : QImage::Format_RGBX8888));
    std::vector<std::uint8_t>().swap(pic.rgba);
    if (want.isValid()) image = image.scaled(want, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    LoadedPicture r;
    r.image = std::move(image);
    r.uprightSize = upright;
    r.format = brand == heif::Brand::Avif ? QByteArrayLiteral("avif")
               : brand == heif::Brand::Heic ? QByteArrayLiteral("heic")
                                            : QByteArrayLiteral("heif");
    return r;
}

} // namespace

LoadedPicture ReadPictureData(const QByteArray& data, const QString& name,
                              const SizeChooser& chooseSize, const PictureLimits& limits) {
    SetQtAllocationLimit();
    if (data.isEmpty())
        return Failure(PictureError::NotAPicture, name, QStringLiteral("the file is empty"));
    if (const heif::Brand brand =
            heif::Sniff(reinterpret_cast<const std::uint8_t*>(data.constData()), std::size_t(data.size()));
        brand != heif::Brand::None)
        return ReadHeifData(data, name, brand, chooseSize, limits);

    // From the first look at the header on, what the readers say is kept.
    ReaderMessages messages;
    // A read nobody can cancel is fed from a QBuffer, whose memory the
    // JPEG reader takes directly.
    QByteArray shared = data;  // shares, no copy; QBuffer wants a non-const array
    QBuffer plain(&shared);
    CancellableBuffer cancellable(data, limits.cancel);
    QIODevice& device = limits.cancel ? static_cast<QIODevice&>(cancellable) : plain;
    device.open(limits.cancel ? QIODevice::ReadOnly | QIODevice::Unbuffered : QIODevice::ReadOnly);
    QImageReader reader(&device);
    reader.setAutoTransform(true);
    if (!reader.canRead()) {
        // A read cancelled before the header was looked at is not a verdict on the file.
        if (Cancelled(limits))
            return Failure(PictureError::Cancelled, name, QStringLiteral("the read was cancelled"));
        return Failure(PictureError::NotAPicture, name,
                       QStringLiteral("not a picture file that can be read (JPEG, PNG, GIF, BMP, TIFF, HEIC, AVIF, ...)"));
    }
    const QByteArray format = reader.format();
    const bool isJpeg = format == "jpeg" || format == "jpg";

    // The size from the header, before any pixel is decoded.
    const QSize stored = reader.size();
    const bool swapped = SwapsSides(reader.transformation());
    const auto tooManyPixels = [&](QSize size) {
        return Failure(PictureError::TooLarge, name,
                       QStringLiteral("the picture is %1 x %2 pixels; pictures over %3 megapixels are refused")
                           .arg(size.width())
                           .arg(size.height())
                           .arg(double(limits.maxPixels) / 1e6, 0, 'g', 4));
    };
    if (stored.isValid() && int64_t(stored.width()) * stored.height() > limits.maxPixels)
        return tooManyPixels(stored);

    // The structure, cheaply, before the reader loops over anything it claims.
    JpegLayout jpeg;
    if (isJpeg) {
        jpeg = ScanJpeg(data);
        if (!jpeg.complete)
            return Failure(PictureError::Truncated, name,
                           QStringLiteral("the file is truncated (the JPEG data stops before its end marker)"));
        if (jpeg.scans > limits.maxJpegScans)
            return Failure(PictureError::TooLarge, name,
                           QStringLiteral("the JPEG is written in %1 scans; no camera or program writes more "
                                          "than a few dozen, and at most %2 are read")
                               .arg(jpeg.scans)
                               .arg(limits.maxJpegScans));
        if (jpeg.blockScans > limits.maxJpegBlockScans)
            return Failure(PictureError::TooLarge, name,
                           QStringLiteral("too much work to decode: %1 x %2 pixels in %3 scans")
                               .arg(jpeg.width)
                               .arg(jpeg.height)
                               .arg(jpeg.scans));
    }
    if (format == "bmp" && !BmpPixelDataComplete(data))
        return Failure(PictureError::Truncated, name,
                       QStringLiteral("the file is truncated (the BMP holds fewer pixel rows than its header says)"));
    if (format == "gif" && !GifPixelDataComplete(data))
        return Failure(PictureError::Truncated, name,
                       QStringLiteral("the file is truncated (the GIF holds less picture data than its size needs)"));
    if (format == "png" && !PngPixelDataComplete(data))
        return Failure(PictureError::Truncated, name,
                       QStringLiteral("the file is truncated (the PNG holds less picture data than its size needs)"));

    // The decoding memory, from the header, against the budget: first the
    // least any decode of it takes, before the caller is asked for a size
    // (that tells it the file passed the checks), then what it will take.
    DecodeBudget& budget = limits.budget ? *limits.budget : DecodeBudget::Shared();
    const int64_t allowed = std::min(limits.maxDecodeBytes, budget.Capacity());
    const QImage::Format decoded =
        reader.supportsOption(QImageIOHandler::ImageFormat) ? reader.imageFormat() : QImage::Format_Invalid;
    const bool canScale = isJpeg && reader.supportsOption(QImageIOHandler::ScaledSize);
    const auto tooLarge = [&](const DecodeCost& cost) {
        return Failure(PictureError::TooLarge, name,
                       QStringLiteral("too large to decode: %1 at %2 bits a channel needs %3; "
                                      "at most %4 is used for one picture")
                           .arg(PixelsText(int64_t(stored.width()) * stored.height()))
                           .arg(cost.bitsPerChannel)
                           .arg(Bytes(cost.bytes), Bytes(allowed)));
    };
    if (stored.isValid()) {
        const DecodeCost least = CostOf(stored, decoded, canScale ? QSize(1, 1) : QSize(), canScale, jpeg);
        if (least.bytes > allowed) return tooLarge(least);
    }

    QSize upright = stored.isValid() ? (swapped ? stored.transposed() : stored) : QSize();
    QSize want;
    if (chooseSize && upright.isValid()) {
        const QSize chosen = chooseSize(upright);
        const bool reduces = chosen.isValid() && !chosen.isEmpty() &&
                             chosen.width() <= upright.width() && chosen.height() <= upright.height() &&
                             chosen != upright;
        if (reduces) want = chosen;
    }
    // Only the JPEG reader decodes at a reduced scale; the others decode
    // every pixel anyway and their own scaling would copy the picture in
    // its decoded form, so the loader scales after making it opaque.
    const bool jpegScaled = canScale && want.isValid();
    if (jpegScaled) {
        // The reader scales before it applies the orientation; it decodes at
        // the coarsest DCT scale that still covers this size and smooths the
        // rest when asked for high quality.
        reader.setScaledSize(swapped ? want.transposed() : want);
        reader.setQuality(100);
    }
    int64_t reserve = allowed;  // a size only the decoder knows: all of it
    if (stored.isValid()) {
        const QSize wantStored = want.isValid() && swapped ? want.transposed() : want;
        const DecodeCost cost = CostOf(stored, decoded, wantStored, jpegScaled, jpeg);
        if (cost.bytes > allowed) return tooLarge(cost);
        reserve = cost.bytes;
    }
    const auto cancelled = [&] { return Failure(PictureError::Cancelled, name, QStringLiteral("the read was cancelled")); };
    BudgetShare share;
    if (!share.Take(budget, reserve, limits.cancel)) return cancelled();
    if (isJpeg && limits.cancel) cancellable.ServeInPieces(512);

    QImage image = reader.read();
    if (Cancelled(limits)) return cancelled();
    if (const QString damage = messages.Damage(); !damage.isEmpty())
        return Failure(PictureError::Corrupt, name,
                       QStringLiteral("the picture data is damaged (%1)").arg(damage.trimmed()));
    if (image.isNull()) {
        const QString why = Printable(reader.errorString());
        if (reader.error() == QImageReader::InvalidDataError && !stored.isValid())
            return Failure(PictureError::NotAPicture, name, QStringLiteral("not a picture file that can be read"));
        return Failure(PictureError::Corrupt, name,
                       QStringLiteral("the picture cannot be decoded (%1)").arg(why));
    }
    if (!stored.isValid()) {
        // Reader without a header size: the decoded size is all we have, and
        // the pixel limit still applies to what comes next.
        upright = image.size();
        if (int64_t(upright.width()) * upright.height() > limits.maxPixels) return tooManyPixels(upright);
        if (chooseSize) {
            const QSize chosen = chooseSize(upright);
            if (chosen.isValid() && !chosen.isEmpty() && chosen.width() <= upright.width() &&
                chosen.height() <= upright.height())
                want = chosen;
        }
    }

    image = Opaque(std::move(image));
    if (want.isValid() && image.size() != want)
        image = image.scaled(want, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);

    LoadedPicture r;
    r.image = std::move(image);
    r.uprightSize = upright;
    r.format = format;
    return r;
}

bool RecognisedPictureFile(const QString& path) {
    QFile file;
#ifdef Q_OS_UNIX
    // By the name's own bytes, as ReadPictureFile opens it; without waiting
    // on a FIFO, and only a regular file is looked into.
    const int fd = ::open(BytesOfName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
#else
    const QFileInfo info(path);
    if (!info.isFile()) return false;
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
#endif
    const QByteArray head = file.peek(64);
    if (heif::Sniff(reinterpret_cast<const std::uint8_t*>(head.constData()), std::size_t(head.size())) !=
        heif::Brand::None)
        return true;
    return !QImageReader::imageFormat(&file).isEmpty();
}

KeptReadBuffer::KeptReadBuffer() : previous_(t_keptBuffer) { t_keptBuffer = &buffer_; }

KeptReadBuffer::~KeptReadBuffer() { t_keptBuffer = previous_; }

LoadedPicture ReadPictureFile(const QString& path, const SizeChooser& chooseSize,
                              const PictureLimits& limits) {
#ifdef Q_OS_UNIX
    // By the name's own bytes: a name that is not valid UTF-8 opens too.
    const QByteArray local8 = BytesOfName(path);
    struct stat named {};
    if (::stat(local8.constData(), &named) != 0)
        return Failure(PictureError::CannotOpen, path, QStringLiteral("no such file"));
    const bool isDir = S_ISDIR(named.st_mode);
    const qint64 namedSize = S_ISREG(named.st_mode) ? qint64(named.st_size) : 0;
#else
    const QFileInfo info(path);
    if (!info.exists())
        return Failure(PictureError::CannotOpen, path, QStringLiteral("no such file"));
    const bool isDir = info.isDir();
    const qint64 namedSize = info.size();
#endif
    if (isDir)
        return Failure(PictureError::CannotOpen, path, QStringLiteral("is a folder, not a picture file"));
    const QString tooLarge = QStringLiteral("the file is larger than %1 MB; such files are refused")
                                 .arg(limits.maxFileBytes >> 20);
    if (namedSize > limits.maxFileBytes) return Failure(PictureError::CannotOpen, path, tooLarge);

    // Only regular files are read. A device (/dev/zero) never ends and a
    // named pipe can block for ever, so the file is opened without waiting
    // and looked at before one byte is read.
    QFile file;
#ifdef Q_OS_UNIX
    const int fd = ::open(local8.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Failure(PictureError::CannotOpen, path,
                       QStringLiteral("cannot open the file (%1)").arg(QString::fromLocal8Bit(std::strerror(errno))));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const bool known = ::fstat(fd, &st) == 0;
        ::close(fd);
        const QString what = !known                                        ? QStringLiteral("cannot be examined")
                             : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? QStringLiteral("is a device")
                             : S_ISFIFO(st.st_mode)                       ? QStringLiteral("is a named pipe (FIFO)")
                             : S_ISSOCK(st.st_mode)                       ? QStringLiteral("is a socket")
                                                                          : QStringLiteral("is not a regular file");
        return Failure(PictureError::CannotOpen, path, what + QStringLiteral(", not a picture file"));
    }
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return Failure(PictureError::CannotOpen, path,
                       QStringLiteral("cannot open the file (%1)").arg(file.errorString()));
    }
    const qint64 sizeHint = qint64(st.st_size);
#else
    if (!info.isFile())
        return Failure(PictureError::CannotOpen, path, QStringLiteral("is not a regular file, not a picture file"));
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return Failure(PictureError::CannotOpen, path,
                       QStringLiteral("cannot open the file (%1)").arg(file.errorString()));
    const qint64 sizeHint = info.size();
#endif
    // One read of the whole file: the truncation checks need the bytes anyway
    // and the decoders then work from memory. The bytes go straight into room
    // of the size the file had when looked at, one byte more to see a file
    // that grew since; the size limit is checked again on what was read.
    QByteArray local;
    QByteArray& data = t_keptBuffer ? *t_keptBuffer : local;
    const qint64 limit = limits.maxFileBytes;
    const auto refuse = [&] {
        data = QByteArray();  // not kept: it may be huge
        return Failure(PictureError::CannotOpen, path, tooLarge);
    };
    data.resize(qsizetype(std::min(std::max<qint64>(sizeHint + 1, 1 << 16), limit + 1)));
    qint64 got = 0;
    for (;;) {
        if (got == qint64(data.size())) {
            if (got > limit) return refuse();
            data.resize(qsizetype(std::min(2 * got, limit + 1)));  // it grew
        }
        const qint64 n = file.read(data.data() + got, qint64(data.size()) - got);
        if (n < 0)
            return Failure(PictureError::CannotOpen, path,
                           QStringLiteral("cannot read the file (%1)").arg(file.errorString()));
        if (n == 0) break;
        got += n;
    }
    if (got > limit) return refuse();
    data.resize(qsizetype(got));  // the room stays for the next file when kept
    LoadedPicture loaded = ReadPictureData(data, path, chooseSize, limits);
    // An unusually large file's room is not kept for the rest of a batch.
    constexpr qsizetype kKeepAtMost = qsizetype(64) << 20;
    if (data.capacity() > kKeepAtMost) data = QByteArray();
    return loaded;
}

} // namespace kestova

#if defined(__ELF__)
// Interposes libpng's png_set_error_fn (the executable's definition comes
// before the library's for every caller, Qt's PNG reader included) so that
// no PNG read is left with libpng's printing error handler.
extern "C" __attribute__((visibility("default"))) void png_set_error_fn(
    kestova::png_struct_def* png, void* errorData, kestova::PngMessageFn error, kestova::PngMessageFn warning) {
    static const auto real = reinterpret_cast<kestova::PngSetErrorFn>(::dlsym(RTLD_NEXT, "png_set_error_fn"));
    if (!real) return;
    real(png, errorData, error ? error : kestova::CollectPngError, warning);
}
#endif
