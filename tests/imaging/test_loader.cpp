// SPDX-License-Identifier: GPL-3.0-or-later
// Loading picture files: orientation tags, reduced-scale decoding, the pixel
// limit, and damaged files.

#include "imaging/PictureLoader.h"
#include "imaging/LocalNames.h"
#include "tests/imaging/TestPictures.h"
#include "tests/support/HostilePictures.h"

#include <QDir>
#include <QImageWriter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <future>
#include <thread>

namespace kestova {
namespace {

using namespace kestova::testing;
using kestova::testing::Bytes;

class PictureLoaderTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString Path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }
};

TEST_F(PictureLoaderTest, OrientationTagTurnsPhotosUpright) {
    // Stored 300 x 200 with a red top-left quadrant; each tag value must put
    // that corner where a viewer shows it.
    const QByteArray jpeg = Encode(Quadrants(300, 200), "JPEG", 95);
    struct Case { int tag; QSize size; QPoint red; } cases[] = {
        {1, {300, 200}, {10, 10}},    // as stored
        {3, {300, 200}, {289, 189}},  // half turn
        {6, {200, 300}, {189, 10}},   // turned clockwise: top-left goes top-right
        {8, {200, 300}, {10, 289}},   // turned counter-clockwise: goes bottom-left
        {2, {300, 200}, {289, 10}},   // mirrored
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        const LoadedPicture p = ReadPictureData(WithExifOrientation(jpeg, c.tag), "tagged.jpg");
        ASSERT_TRUE(p.ok()) << p.message.toStdString();
        EXPECT_EQ(p.image.size(), c.size);
        EXPECT_EQ(p.uprightSize, c.size);
        EXPECT_LT(ColourDistance(p.image.pixel(c.red), qRgb(255, 0, 0)), 40);
    }
}

TEST_F(PictureLoaderTest, ReducedDecodeFollowsTheUprightSize) {
    // A clockwise-tagged 1600 x 1200 JPEG is 1200 x 1600 upright; asking for
    // 120 x 160 gives that size, upright, and close to a full decode scaled down.
    const QImage stored = Quadrants(1600, 1200);
    const QByteArray jpeg = WithExifOrientation(Encode(stored, "JPEG", 90), 6);
    QSize seen;
    const LoadedPicture small = ReadPictureData(jpeg, "p.jpg", [&](QSize upright) {
        seen = upright;
        return QSize(120, 160);
    });
    ASSERT_TRUE(small.ok()) << small.message.toStdString();
    EXPECT_EQ(seen, QSize(1200, 1600));
    EXPECT_EQ(small.uprightSize, QSize(1200, 1600));
    ASSERT_EQ(small.image.size(), QSize(120, 160));
    const QImage full = ReadPictureData(jpeg, "p.jpg").image;
    ASSERT_EQ(full.size(), QSize(1200, 1600));
    const QImage reference = full.scaled(120, 160, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    EXPECT_LT(MeanDistance(small.image, reference), 6.0);
    EXPECT_LT(ColourDistance(small.image.pixel(110, 5), qRgb(255, 0, 0)), 40);  // red went top-right
}

TEST_F(PictureLoaderTest, EnlargingOrEmptyChoiceMeansFullSize) {
    const QByteArray png = Encode(Pattern(40, 30), "PNG");
    EXPECT_EQ(ReadPictureData(png, "a.png", [](QSize) { return QSize(80, 60); }).image.size(), QSize(40, 30));
    EXPECT_EQ(ReadPictureData(png, "a.png", [](QSize) { return QSize(); }).image.size(), QSize(40, 30));
    EXPECT_EQ(ReadPictureData(png, "a.png", [](QSize) { return QSize(50, 20); }).image.size(), QSize(40, 30));
    // A reduction of a format without scaled decoding is scaled after decoding.
    EXPECT_EQ(ReadPictureData(png, "a.png", [](QSize) { return QSize(20, 15); }).image.size(), QSize(20, 15));
}

TEST_F(PictureLoaderTest, ReadsTheUsualFormatsAsOpaqueRgb32) {
    const QImage src = Quadrants(64, 48);
    for (const char* format : {"PNG", "BMP", "TIFF", "JPEG"}) {
        SCOPED_TRACE(format);
        const LoadedPicture p = ReadPictureData(Encode(src, format, 95), "x");
        ASSERT_TRUE(p.ok()) << p.message.toStdString();
        EXPECT_EQ(p.image.format(), QImage::Format_RGB32);
        if (QByteArray(format) == "JPEG")
            EXPECT_LT(MeanDistance(p.image, src), 12.0);
        else
            EXPECT_EQ(MaxDistance(p.image, src), 0);
    }
    // GIF (Qt reads it but cannot write it): a hand-made 1 x 1 picture
    // whose only pixel is transparent, so it comes out white.
    const QByteArray gif("GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff"
                         "!\xf9\x04\x01\x00\x00\x00\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00"
                         "\x02\x02" "D\x01\x00;",
                         43);
    const LoadedPicture g = ReadPictureData(gif, "dot.gif");
    ASSERT_TRUE(g.ok()) << g.message.toStdString();
    EXPECT_EQ(g.format, QByteArray("gif"));
    EXPECT_EQ(g.image.size(), QSize(1, 1));
    EXPECT_EQ(g.image.pixel(0, 0), qRgb(255, 255, 255));
    // Transparent pixels come out white.
    QImage alpha(8, 8, QImage::Format_ARGB32);
    alpha.fill(Qt::transparent);
    alpha.setPixel(0, 0, qRgba(0, 0, 255, 255));
    const LoadedPicture p = ReadPictureData(Encode(alpha, "PNG"), "a.png");
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p.image.pixel(5, 5), qRgb(255, 255, 255));
    EXPECT_EQ(p.image.pixel(0, 0), qRgb(0, 0, 255));
}

TEST_F(PictureLoaderTest, PixelLimitRefusesBeforeDecoding) {
    // A JPEG whose frame header claims 30000 x 30000 pixels and whose data
    // stops right after the scan header: refused as too large from the
    // headers alone (9 x 10^8 pixels would take 3.6 GB decoded).
    QByteArray jpeg = Encode(Pattern(16, 16), "JPEG", 80);
    const qsizetype sof = jpeg.indexOf("\xFF\xC0");
    ASSERT_GT(sof, 0);
    jpeg[sof + 5] = char(30000 >> 8);
    jpeg[sof + 6] = char(30000 & 0xFF);
    jpeg[sof + 7] = char(30000 >> 8);
    jpeg[sof + 8] = char(30000 & 0xFF);
    const qsizetype sos = jpeg.indexOf("\xFF\xDA");
    ASSERT_GT(sos, sof);
    const QByteArray huge = jpeg.left(sos + 2 + (uint8_t(jpeg[sos + 2]) << 8) + uint8_t(jpeg[sos + 3]));
    LoadedPicture p = ReadPictureData(huge, "huge.jpg");
    EXPECT_EQ(p.error, PictureError::TooLarge);
    EXPECT_TRUE(p.message.startsWith("huge.jpg: "));
    EXPECT_TRUE(p.message.contains("30000 x 30000"));
    EXPECT_TRUE(p.image.isNull());

    // The limit is the caller's to set: a real 2000 x 1000 JPEG over 1.5 MP.
    PictureLimits limits;
    limits.maxPixels = 1'500'000;
    p = ReadPictureData(Encode(Pattern(2000, 1000), "JPEG", 80), "big.jpg", {}, limits);
    EXPECT_EQ(p.error, PictureError::TooLarge);
    limits.maxPixels = 2'000'000;
    EXPECT_TRUE(ReadPictureData(Encode(Pattern(2000, 1000), "JPEG", 80), "big.jpg", {}, limits).ok());
}

TEST_F(PictureLoaderTest, TruncatedFilesAreRefused) {
    const QByteArray jpeg = Encode(Pattern(300, 200), "JPEG", 90);
    for (double part : {0.3, 0.6, 0.95}) {
        const LoadedPicture p = ReadPictureData(jpeg.left(qsizetype(jpeg.size() * part)), "cut.jpg");
        EXPECT_EQ(p.error, PictureError::Truncated) << part;
        EXPECT_TRUE(p.message.contains("truncated"));
    }
    // Only the final end marker missing is a truncation too.
    EXPECT_EQ(ReadPictureData(jpeg.left(jpeg.size() - 2), "cut.jpg").error, PictureError::Truncated);
    // Trailing bytes after the end marker are fine (some cameras add them).
    EXPECT_TRUE(ReadPictureData(jpeg + QByteArray(100, 'x'), "tail.jpg").ok());

    const QByteArray bmp = Encode(Pattern(300, 200), "BMP");
    EXPECT_EQ(ReadPictureData(bmp.left(bmp.size() - 900), "cut.bmp").error, PictureError::Truncated);
    EXPECT_TRUE(ReadPictureData(bmp, "whole.bmp").ok());

    const QByteArray png = Encode(Pattern(300, 200), "PNG");
    const PictureError e = ReadPictureData(png.left(png.size() / 2), "cut.png").error;
    EXPECT_TRUE(e == PictureError::Corrupt || e == PictureError::Truncated);
}

TEST_F(PictureLoaderTest, DamagedScanDataIsAnErrorNotAGreyPicture) {
    // Scrambled bytes in the middle of the scan: the JPEG decoder would fill
    // the rest with grey and carry on; the loader names the damage instead.
    QByteArray jpeg = Encode(Photo(300, 200), "JPEG", 90);
    ASSERT_TRUE(ReadPictureData(jpeg, "photo.jpg").ok());
    for (qsizetype i = jpeg.size() / 2; i < jpeg.size() / 2 + 40; ++i)
        jpeg[i] = uint8_t(jpeg[i]) == 0xFF ? char(0x12) : char((uint8_t(jpeg[i]) * 7 + 13) & 0xFF);
    const LoadedPicture p = ReadPictureData(jpeg, "photo.jpg");
    EXPECT_TRUE(p.error == PictureError::Corrupt || p.error == PictureError::Truncated) << p.message.toStdString();
    EXPECT_TRUE(p.message.startsWith("photo.jpg: "));
    // Harmless notes do not count: padding bytes before the end marker.
    QByteArray padded = Encode(Photo(64, 64), "JPEG", 90);
    padded.insert(padded.size() - 2, QByteArray(3, '\0'));
    const LoadedPicture q = ReadPictureData(padded, "padded.jpg");
    EXPECT_TRUE(q.ok()) << q.message.toStdString();
}

TEST_F(PictureLoaderTest, JpegCompletenessWalksSegments) {
    const QByteArray jpeg = Encode(Pattern(64, 64), "JPEG", 90);
    EXPECT_TRUE(JpegStreamComplete(jpeg));
    // An embedded thumbnail (with its own end marker) inside an APP1 segment
    // does not make a cut main picture look complete.
    const QByteArray thumb = Encode(Pattern(8, 8), "JPEG", 50);
    QByteArray app1;
    const int len = int(thumb.size()) + 2;
    app1.append(char(0xFF)).append(char(0xE1)).append(char(len >> 8)).append(char(len & 0xFF)).append(thumb);
    const QByteArray withThumb = jpeg.left(2) + app1 + jpeg.mid(2);
    EXPECT_TRUE(JpegStreamComplete(withThumb));
    EXPECT_FALSE(JpegStreamComplete(withThumb.left(withThumb.size() - 10)));
    EXPECT_FALSE(JpegStreamComplete(withThumb.left(2 + app1.size() + 40)));
    EXPECT_FALSE(JpegStreamComplete(QByteArray()));
    EXPECT_FALSE(JpegStreamComplete(QByteArray("\xFF\xD8\xFF\xE0\x10\x00", 6)));  // length past the end
    // Progressive JPEGs have several scans; the last one must end.
    QImage src = Pattern(64, 64);
    QByteArray prog;
    {
        QBuffer b(&prog);
        b.open(QIODevice::WriteOnly);
        QImageWriter w(&b, "jpeg");
        w.setProgressiveScanWrite(true);
        ASSERT_TRUE(w.write(src));
    }
    EXPECT_TRUE(JpegStreamComplete(prog));
    EXPECT_FALSE(JpegStreamComplete(prog.left(prog.size() - 40)));
}

TEST_F(PictureLoaderTest, DamagedBytesGiveAPictureOrAnError) {
    // Flipped bytes and cuts anywhere in JPEG, BMP and PNG files: the loader
    // (and the readers under it) either returns a whole picture or says why,
    // never a half state, never a crash.
    const QImage src = Photo(64, 48);
    uint32_t seed = 2024;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    for (const char* format : {"JPEG", "BMP", "PNG"}) {
        const QByteArray clean = Encode(src, format, 85);
        for (int round = 0; round < 150; ++round) {
            QByteArray bad = clean;
            if (round % 3 == 0) {
                bad.truncate(qsizetype(next() % uint32_t(bad.size())));
            } else {
                for (int flips = 1 + int(next() % 4); flips > 0; --flips)
                    bad[qsizetype(next() % uint32_t(bad.size()))] = char(next() >> 24);
            }
            const LoadedPicture p = ReadPictureData(bad, "damaged", [](QSize) { return QSize(32, 24); });
            if (p.ok()) {
                ASSERT_FALSE(p.image.isNull());
                ASSERT_TRUE(p.message.isEmpty());
                ASSERT_LE(p.image.width(), p.uprightSize.width());
            } else {
                ASSERT_TRUE(p.image.isNull());
                ASSERT_TRUE(p.message.startsWith("damaged: ")) << p.message.toStdString();
            }
        }
    }
}

TEST_F(PictureLoaderTest, UnreadableFilesSayWhy) {
    LoadedPicture p = ReadPictureFile(Path("missing.jpg"));
    EXPECT_EQ(p.error, PictureError::CannotOpen);
    EXPECT_TRUE(p.message.startsWith(Path("missing.jpg")));

    p = ReadPictureFile(dir.path());
    EXPECT_EQ(p.error, PictureError::CannotOpen);

    ASSERT_TRUE(WriteFile(Path("notes.jpg"), "this is not a picture at all, just some text\n"));
    p = ReadPictureFile(Path("notes.jpg"));
    EXPECT_EQ(p.error, PictureError::NotAPicture);
    EXPECT_FALSE(p.message.isEmpty());

    ASSERT_TRUE(WriteFile(Path("empty.png"), QByteArray()));
    EXPECT_EQ(ReadPictureFile(Path("empty.png")).error, PictureError::NotAPicture);

    // A JPEG whose scan data is garbage decodes to something or fails, but
    // never crashes; the extension does not decide the format.
    ASSERT_TRUE(WriteFile(Path("really-a-png.jpg"), Encode(Pattern(20, 10), "PNG")));
    p = ReadPictureFile(Path("really-a-png.jpg"));
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p.format, QByteArray("png"));

    PictureLimits limits;
    limits.maxFileBytes = 100;
    ASSERT_TRUE(WriteFile(Path("big.png"), Encode(Pattern(200, 100), "PNG")));
    EXPECT_EQ(ReadPictureFile(Path("big.png"), {}, limits).error, PictureError::CannotOpen);
}

TEST_F(PictureLoaderTest, AKeptReadBufferChangesNoResult) {
    // Files read one after the other into the same kept memory must each be
    // judged on their own bytes: a short file after a long one must not see
    // the long one's tail (a truncated JPEG would pass as complete), and the
    // memory must survive a failure in between.
    const QByteArray big = Encode(Quadrants(900, 700), "JPEG", 95);
    const QByteArray small = Encode(Pattern(40, 30), "PNG");
    ASSERT_TRUE(WriteFile(Path("big.jpg"), big));
    ASSERT_TRUE(WriteFile(Path("cut.jpg"), big.left(big.size() - 200)));
    ASSERT_TRUE(WriteFile(Path("small.png"), small));
    ASSERT_TRUE(WriteFile(Path("empty.jpg"), QByteArray()));
    struct Case { const char* file; PictureError error; } cases[] = {
        {"big.jpg", PictureError::None},         {"cut.jpg", PictureError::Truncated},
        {"small.png", PictureError::None},       {"big.jpg", PictureError::None},
        {"empty.jpg", PictureError::NotAPicture}, {"missing.jpg", PictureError::CannotOpen},
        {"cut.jpg", PictureError::Truncated},    {"big.jpg", PictureError::None},
    };
    const auto half = [](QSize upright) { return upright / 2; };
    std::vector<LoadedPicture> plain;
    for (const Case& c : cases) plain.push_back(ReadPictureFile(Path(c.file), half));
    KeptReadBuffer kept;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].file);
        const LoadedPicture p = ReadPictureFile(Path(cases[i].file), half);
        EXPECT_EQ(p.error, cases[i].error) << p.message.toStdString();
        EXPECT_EQ(plain[i].error, cases[i].error);
        EXPECT_EQ(p.message, plain[i].message);
        EXPECT_TRUE(p.image == plain[i].image);
    }
}

QByteArray Q(const Bytes& b) { return QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size())); }

double ThreadCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_THREAD, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

TEST_F(PictureLoaderTest, HostileFilesAreRefusedBeforeDecoding) {
    // Each would cost seconds to minutes or gigabytes if decoded; each is
    // refused from its structure in a few milliseconds, with nothing taken
    // from the decoding budget.
    struct Case {
        const char* name;
        QByteArray bytes;
        PictureError error;
        const char* says;
    } cases[] = {
        {"scans.jpg", Q(ManyScanJpeg(10000, 10000, 3000)), PictureError::TooLarge, "3001 scans"},
        {"work.jpg", Q(ManyScanJpeg(10000, 10000, 40)), PictureError::TooLarge, "too much work to decode"},
        {"deep.png", Q(RgbaPng(10000, 10000)), PictureError::TooLarge,
         "too large to decode: 100 MP at 16 bits a channel needs 800 MB"},
        {"tiny.gif", Q(TinyGif(10000, 10000)), PictureError::Truncated, "truncated"},
        {"tiny.png", Q(TinyPng(10000, 10000)), PictureError::Truncated, "truncated"},
        {"tiny.bmp", Q(TinyBmp(10000, 10000)), PictureError::Truncated, "truncated"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DecodeBudget budget(int64_t(512) << 20);
        PictureLimits limits;
        limits.budget = &budget;
        const double before = ThreadCpuSeconds();
        const LoadedPicture p = ReadPictureData(c.bytes, c.name, {}, limits);
        EXPECT_LT(ThreadCpuSeconds() - before, 0.25);
        EXPECT_EQ(p.error, c.error) << p.message.toStdString();
        EXPECT_TRUE(p.message.contains(c.says)) << p.message.toStdString();
        EXPECT_EQ(budget.Peak(), 0);
    }
}

TEST_F(PictureLoaderTest, DecodedFormIsCountedAndTurnedOpaqueInPlace) {
    // A progressive JPEG within the bounds decodes (to its grey), and what
    // it holds while decoding counts its whole-picture coefficients (128 MB
    // for 8000 x 8000), though the result is only 125 x 125.
    DecodeBudget budget(int64_t(512) << 20);
    PictureLimits limits;
    limits.budget = &budget;
    const auto eighth = [](QSize s) { return s / 64; };
    const LoadedPicture grey = ReadPictureData(Q(ManyScanJpeg(8000, 8000, 4)), "grey.jpg", eighth, limits);
    ASSERT_TRUE(grey.ok()) << grey.message.toStdString();
    EXPECT_EQ(grey.image.size(), QSize(125, 125));
    EXPECT_EQ(grey.image.pixel(60, 60), qRgb(128, 128, 128));
    EXPECT_GE(budget.Peak(), int64_t(128'000'000));
    EXPECT_EQ(budget.InUse(), 0);

    // 16-bit RGBA comes out over white at 8 bits (turned in its own memory).
    QImage deep(4, 2, QImage::Format_RGBA64);
    deep.fill(Qt::transparent);
    deep.setPixelColor(0, 0, QColor::fromRgba64(65535, 0, 0, 65535));
    deep.setPixelColor(1, 0, QColor::fromRgba64(0, 0, 65535, 32768));
    const LoadedPicture p = ReadPictureData(Encode(deep, "PNG"), "deep.png");
    ASSERT_TRUE(p.ok()) << p.message.toStdString();
    EXPECT_EQ(p.image.format(), QImage::Format_RGB32);
    EXPECT_EQ(p.image.pixel(0, 0), qRgb(255, 0, 0));
    EXPECT_EQ(p.image.pixel(1, 0), qRgb(127, 127, 255));
    EXPECT_EQ(p.image.pixel(3, 1), qRgb(255, 255, 255));
}

TEST_F(PictureLoaderTest, ReadsShareTheBudgetAndCanBeCancelledWhileWaiting) {
    // While another read holds the whole budget, a read waits; cancelled,
    // it ends without decoding.
    DecodeBudget budget(int64_t(64) << 20);
    ASSERT_TRUE(budget.Acquire(budget.Capacity()));
    std::atomic<bool> cancel{false};
    PictureLimits limits;
    limits.budget = &budget;
    limits.cancel = &cancel;
    const QByteArray png = Encode(Pattern(200, 100), "PNG");
    auto waiting = std::async(std::launch::async, [&] { return ReadPictureData(png, "w.png", {}, limits); });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    cancel = true;
    EXPECT_EQ(waiting.get().error, PictureError::Cancelled);
    budget.Release(budget.Capacity());
    cancel = false;
    EXPECT_TRUE(ReadPictureData(png, "w.png", {}, limits).ok());
    EXPECT_EQ(budget.InUse(), 0);

    // Cancelled while decoding a slow progressive JPEG, the read says so.
    const QByteArray slow = Q(ManyScanJpeg(8000, 8000, 25));
    const auto small = [](QSize s) { return s / 64; };
    limits.budget = nullptr;  // the shared one: this one needs 130 MB
    auto decoding = std::async(std::launch::async, [&] { return ReadPictureData(slow, "s.jpg", small, limits); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    cancel = true;
    EXPECT_EQ(decoding.get().error, PictureError::Cancelled);
    // Cancelled before its header was looked at, a good picture is not
    // called something else.
    EXPECT_EQ(ReadPictureData(Encode(Photo(64, 48), "JPEG"), "c.jpg", {}, limits).error, PictureError::Cancelled);
    EXPECT_EQ(ReadPictureData(png, "c.png", {}, limits).error, PictureError::Cancelled);
}

TEST_F(PictureLoaderTest, ReaderLibraryWarningsNeverReachStderr) {
    // A TIFF whose last directory entry carries a tag no one knows: libtiff
    // warns about it on stderr unless the loader collects its messages.
    QByteArray tiff = Encode(Pattern(16, 8), "TIFF");
    ASSERT_TRUE(tiff.startsWith("II*"));
    const auto le16 = [&](qsizetype at) { return int(uint8_t(tiff[at])) | int(uint8_t(tiff[at + 1])) << 8; };
    const qsizetype ifd = le16(4) | qsizetype(le16(6)) << 16;
    const qsizetype last = ifd + 2 + 12 * (le16(ifd) - 1);
    tiff[last] = char(0xE8);  // tag 65000
    tiff[last + 1] = char(0xFD);
    fflush(stderr);
    const int saved = dup(2);
    std::FILE* capture = std::tmpfile();
    dup2(fileno(capture), 2);
    const LoadedPicture p = ReadPictureData(tiff, "odd.tif");
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    EXPECT_EQ(lseek(fileno(capture), 0, SEEK_END), 0) << "something was printed";
    std::fclose(capture);
    EXPECT_TRUE(p.ok()) << p.message.toStdString();
}

// Names as bytes: valid UTF-8 decodes as Qt decodes it (surrogate pairs
// too), every other byte is kept, shown as \xNN and comes back.
TEST(LocalNames, EveryByteComesBack)
{
    const struct {
        QByteArray bytes;
        const char* shown;
    } cases[] = {
        {"photo.jpg", "photo.jpg"},
        {"caf\xc3\xa9 \xf0\x9f\x93\xb7.jpg", "caf\xc3\xa9 \xf0\x9f\x93\xb7.jpg"},
        {"caf\xe9.jpg", "caf\\xE9.jpg"},
        {"a\xe2\x82.jpg", "a\\xE2\\x82.jpg"},             // cut sequence
        {"\xc0\xaf.jpg", "\\xC0\\xAF.jpg"},               // overlong
        {"\xed\xa0\x80.jpg", "\\xED\\xA0\\x80.jpg"},      // encoded surrogate
        {"\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},     // past U+10FFFF
        {"\xf0\x9f\x93\xb7\xf7.jpg", "\xf0\x9f\x93\xb7\\xF7.jpg"},  // a pair, then a kept byte
        {"a\nb\x1b[2J.jpg", "a\\x0Ab\\x1B[2J.jpg"},      // a newline and an escape
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        const QString name = NameFromBytes(c.bytes);
        EXPECT_EQ(BytesOfName(name), c.bytes);
        EXPECT_EQ(ShownName(name), QString::fromUtf8(c.shown));
        const bool valid = QString::fromUtf8(c.bytes).toUtf8() == c.bytes;
        EXPECT_EQ(HasKeptBytes(name), !valid);
        if (valid) {
            EXPECT_EQ(name, QFile::decodeName(c.bytes));
        }
    }
}

// PNG chunk checksum (CRC-32, ISO 3309), so a damaged chunk passes its check.
uint32_t Crc32(const char* p, qsizetype n) {
    uint32_t c = 0xFFFFFFFFu;
    for (qsizetype i = 0; i < n; ++i) {
        c ^= uint8_t(p[i]);
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

TEST_F(PictureLoaderTest, PngErrorsAreCollectedAndSaidInWords) {
    // libpng prints its errors on stderr itself unless the reader gives it an
    // error function; each of these stops the PNG decode with one.
    const QByteArray good = Encode(Pattern(64, 48), "PNG");
    const auto chunkAt = [](const QByteArray& png, const char* type) { return png.indexOf(type) - 4; };
    const auto be32 = [](const QByteArray& b, qsizetype at) {
        return uint32_t(uint8_t(b[at])) << 24 | uint32_t(uint8_t(b[at + 1])) << 16 | uint32_t(uint8_t(b[at + 2])) << 8 |
               uint32_t(uint8_t(b[at + 3]));
    };
    const auto putBe32 = [](QByteArray& b, qsizetype at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = char(v >> (24 - 8 * i));
    };
    struct Case {
        const char* what;
        std::function<void(QByteArray&)> damage;
        const char* said;
    };
    const std::vector<Case> cases = {
        {"compressed rows scrambled, checksum right",
         [&](QByteArray& png) {
             const qsizetype at = chunkAt(png, "IDAT");
             const uint32_t length = be32(png, at);
             for (uint32_t i = 2; i < length; i += 3) png[at + 8 + i] = char(png[at + 8 + i] ^ 0x5A);
             putBe32(png, at + 8 + length, Crc32(png.constData() + at + 4, length + 4));
         },
         "libpng error: IDAT"},
        {"header checksum wrong",
         [&](QByteArray& png) { png[chunkAt(png, "IHDR") + 8 + 13] ^= 0x01; },
         "libpng error: IHDR"},
    };
    for (const Case& c : cases) {
        QByteArray png = good;
        c.damage(png);
        fflush(stderr);
        const int saved = dup(2);
        std::FILE* capture = std::tmpfile();
        dup2(fileno(capture), 2);
        const LoadedPicture p = ReadPictureData(png, "bad.png");
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        const off_t printed = lseek(fileno(capture), 0, SEEK_END);
        std::fclose(capture);
        EXPECT_EQ(printed, 0) << c.what << ": something was printed";
        EXPECT_FALSE(p.ok()) << c.what;
        EXPECT_TRUE(p.message.contains(QLatin1String(c.said))) << c.what << ": " << p.message.toStdString();
    }
    // Undamaged, the same file reads.
    EXPECT_TRUE(ReadPictureData(good, "good.png").ok());
}

} // namespace
} // namespace kestova
