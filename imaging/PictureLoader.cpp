#include "imaging/PictureLoader.h"

#include "imaging/HeifDecode.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageIOHandler>
#include <QImageReader>
#include <QPainter>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestova {
namespace {

// Qt refuses to allocate a decoded picture above this many megabytes. Its
// default (128) is below what our own pixel limit allows for formats that
// have no reduced-scale decoding, so it is raised once; our pixel limit is
// the check that matters, this one only stays as a backstop.
constexpr int kQtAllocationLimitMB = 1024;

void RaiseQtAllocationLimit() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (QImageReader::allocationLimit() < kQtAllocationLimitMB)
            QImageReader::setAllocationLimit(kQtAllocationLimitMB);
    });
}

// The image readers report damage they decode through (a JPEG scan that
// stops early or holds an invalid code, filled with grey by the decoder) only
// as log messages. While this thread decodes, those messages are collected
// instead of printed, so that damage becomes an error with a reason; every
// other message goes to the handler that was there before.
thread_local QStringList* t_readerMessages = nullptr;
QtMessageHandler g_previousHandler = nullptr;

void CollectReaderMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (t_readerMessages && context.category && QByteArray(context.category).startsWith("qt.gui.imageio")) {
        t_readerMessages->append(message);
        return;
    }
    if (g_previousHandler) {
        g_previousHandler(type, context, message);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
    }
}

void InstallMessageCollector() {
    static std::once_flag once;
    std::call_once(once, [] { g_previousHandler = qInstallMessageHandler(CollectReaderMessages); });
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
                m.contains(QLatin1String("must resync"), Qt::CaseInsensitive))
                return m;
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
// everything after loading sees 32-bit 0xffRRGGBB pixels.
QImage Opaque(QImage image) {
    if (!image.hasAlphaChannel()) return image.convertToFormat(QImage::Format_RGB32);
    QImage out(image.size(), QImage::Format_RGB32);
    out.fill(Qt::white);
    QPainter p(&out);
    p.drawImage(0, 0, image);
    p.end();
    return out;
}

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

// HEIC and AVIF (phone photos) through libheif: Qt has no reader for them.
// The same steps as the Qt readers below: the size first, then the pixels,
// upright and opaque, reduced when the caller asks for less.
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
    heif::Picture pic;
    if (const heif::Result r = heif::Probe(bytes, size, pic); !r.ok()) return failure(r);
    const QSize upright(pic.width, pic.height);
    if (int64_t(pic.width) * pic.height > limits.maxPixels)
        return Failure(PictureError::TooLarge, name, PixelLimitText(upright, limits));
    if (const heif::Result r = heif::Decode(bytes, size, pic); !r.ok()) return failure(r);

    // The decoded bytes are looked at in place; Opaque() makes the one copy.
    const QImage view(pic.rgba.data(), pic.width, pic.height, pic.width * 4,
                      pic.hasAlpha ? QImage::Format_RGBA8888 : QImage::Format_RGBX8888);
    QImage image = Opaque(view);
    if (chooseSize) {
        const QSize chosen = chooseSize(upright);
        if (chosen.isValid() && !chosen.isEmpty() && chosen.width() <= upright.width() &&
            chosen.height() <= upright.height() && chosen != upright)
            image = image.scaled(chosen, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    LoadedPicture r;
    r.image = std::move(image);
    r.uprightSize = upright;
    r.format = brand == heif::Brand::Avif ? QByteArrayLiteral("avif")
               : brand == heif::Brand::Heic ? QByteArrayLiteral("heic")
                                            : QByteArrayLiteral("heif");
    return r;
}

// The kept buffer of this thread (see KeptReadBuffer), or null.
thread_local QByteArray* t_keptBuffer = nullptr;


} // namespace

bool JpegStreamComplete(const QByteArray& data) {
    const auto* p = reinterpret_cast<const uint8_t*>(data.constData());
    const qsizetype n = data.size();
    if (n < 4 || p[0] != 0xFF || p[1] != 0xD8) return false;
    // The next 0xFF at or after `from`, or n: QByteArray::indexOf finds a
    // single byte with memchr, so the long stretches of entropy-coded data
    // are crossed at memory speed instead of byte by byte.
    const auto nextFF = [&data, n](qsizetype from) {
        const qsizetype at = from < n ? data.indexOf(char(0xFF), from) : -1;
        return at < 0 ? n : at;
    };
    qsizetype pos = 2;
    for (;;) {
        // Extraneous bytes between segments are tolerated by decoders; skip
        // to the next marker, then over any fill bytes.
        pos = nextFF(pos);
        while (pos < n && p[pos] == 0xFF) ++pos;
        if (pos >= n) return false;
        const uint8_t marker = p[pos++];
        if (marker == 0xD9) return true;                                 // EOI
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue; // no length
        if (pos + 2 > n) return false;
        const qsizetype length = (qsizetype(p[pos]) << 8) | p[pos + 1];
        if (length < 2 || pos + length > n) return false;
        pos += length;
        if (marker != 0xDA) continue;
        // Entropy-coded data after a scan header: it ends at the first marker
        // that is neither a stuffed 0xFF 0x00 nor a restart marker.
        for (;;) {
            pos = nextFF(pos);
            if (pos + 1 >= n) return false;
            const uint8_t next = p[pos + 1];
            if (next == 0x00 || (next >= 0xD0 && next <= 0xD7) || next == 0xFF) {
                pos += (next == 0xFF) ? 1 : 2;
                continue;
            }
            break;  // a real marker starts at pos
        }
    }
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

LoadedPicture ReadPictureData(const QByteArray& data, const QString& name,
                              const SizeChooser& chooseSize, const PictureLimits& limits) {
    RaiseQtAllocationLimit();
    if (data.isEmpty())
        return Failure(PictureError::NotAPicture, name, QStringLiteral("the file is empty"));
    if (const heif::Brand brand =
            heif::Sniff(reinterpret_cast<const std::uint8_t*>(data.constData()), std::size_t(data.size()));
        brand != heif::Brand::None)
        return ReadHeifData(data, name, brand, chooseSize, limits);

    QByteArray bytes = data;  // shares, no copy; QBuffer wants a non-const array
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    if (!reader.canRead())
        return Failure(PictureError::NotAPicture, name,
                       QStringLiteral("not a picture file that can be read (JPEG, PNG, GIF, BMP, TIFF, HEIC, AVIF, ...)"));
    const QByteArray format = reader.format();

    // The size from the header, before any pixel is decoded.
    const QSize stored = reader.size();
    const bool swapped = SwapsSides(reader.transformation());
    if (stored.isValid()) {
        const int64_t pixels = int64_t(stored.width()) * stored.height();
        if (pixels > limits.maxPixels)
            return Failure(PictureError::TooLarge, name,
                           QStringLiteral("the picture is %1 x %2 pixels; pictures over %3 megapixels are refused")
                               .arg(stored.width())
                               .arg(stored.height())
                               .arg(double(limits.maxPixels) / 1e6, 0, 'g', 4));
    }

    if ((format == "jpeg" || format == "jpg") && !JpegStreamComplete(data))
        return Failure(PictureError::Truncated, name,
                       QStringLiteral("the file is truncated (the JPEG data stops before its end marker)"));
    if (format == "bmp" && !BmpPixelDataComplete(data))
        return Failure(PictureError::Truncated, name,
                       QStringLiteral("the file is truncated (the BMP holds fewer pixel rows than its header says)"));

    QSize upright = stored.isValid() ? (swapped ? stored.transposed() : stored) : QSize();
    QSize want;
    if (chooseSize && upright.isValid()) {
        const QSize chosen = chooseSize(upright);
        const bool reduces = chosen.isValid() && !chosen.isEmpty() &&
                             chosen.width() <= upright.width() && chosen.height() <= upright.height() &&
                             chosen != upright;
        if (reduces) want = chosen;
    }
    if (want.isValid() && reader.supportsOption(QImageIOHandler::ScaledSize)) {
        // The reader scales before it applies the orientation; the JPEG reader
        // decodes at the coarsest DCT scale that still covers this size and
        // smooths the rest when asked for high quality.
        reader.setScaledSize(swapped ? want.transposed() : want);
        reader.setQuality(100);
    }

    ReaderMessages messages;
    QImage image = reader.read();
    if (const QString damage = messages.Damage(); !damage.isEmpty())
        return Failure(PictureError::Corrupt, name,
                       QStringLiteral("the picture data is damaged (%1)").arg(damage.trimmed()));
    if (image.isNull()) {
        const QString why = reader.errorString();
        if (reader.error() == QImageReader::InvalidDataError && !stored.isValid())
            return Failure(PictureError::NotAPicture, name, QStringLiteral("not a picture file that can be read"));
        return Failure(PictureError::Corrupt, name,
                       QStringLiteral("the picture cannot be decoded (%1)").arg(why));
    }
    if (!stored.isValid()) {
        // Reader without a header size: the decoded size is all we have, and
        // the pixel limit still applies to what comes next.
        upright = image.size();
        if (int64_t(upright.width()) * upright.height() > limits.maxPixels)
            return Failure(PictureError::TooLarge, name,
                           QStringLiteral("the picture is %1 x %2 pixels; pictures over %3 megapixels are refused")
                               .arg(upright.width())
                               .arg(upright.height())
                               .arg(double(limits.maxPixels) / 1e6, 0, 'g', 4));
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
    const QFileInfo info(path);
    if (!info.isFile()) return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
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
    const QFileInfo info(path);
    if (!info.exists())
        return Failure(PictureError::CannotOpen, path, QStringLiteral("no such file"));
    if (info.isDir())
        return Failure(PictureError::CannotOpen, path, QStringLiteral("is a folder, not a picture file"));
    const QString tooLarge = QStringLiteral("the file is larger than %1 MB; such files are refused")
                                 .arg(limits.maxFileBytes >> 20);
    if (info.size() > limits.maxFileBytes) return Failure(PictureError::CannotOpen, path, tooLarge);

    // Only regular files are read. A device (/dev/zero) never ends and a
    // named pipe can block for ever, so the file is opened without waiting
    // and looked at before one byte is read.
    QFile file;
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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
