// SPDX-License-Identifier: GPL-3.0-or-later
// kestova-cli add / export / show against virtual frames.

#include "tests/cli/CliTestSupport.h"
#include "tests/imaging/HeifTestFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QTransform>

#include <gtest/gtest.h>

#include <csignal>
#include <set>
#include <sys/stat.h>

namespace kestova {
namespace {

using namespace kestova::testing;

using CliImagingTest = CliFrameTest;

TEST_F(CliImagingTest, AddListExportAndCompare) {
    MakeFrame();
    ASSERT_TRUE(WriteFile(Path("quad.jpg"), Encode(Quadrants(1600, 1200), "JPEG", 90)));
    ASSERT_TRUE(WriteFile(Path("photo.png"), Encode(Photo(300, 200), "PNG")));
    ASSERT_TRUE(WriteFile(Path("tall.bmp"), Encode(Quadrants(100, 300), "BMP")));

    CliRun r = Cli({"add", Path("quad.jpg"), Path("photo.png"), Path("tall.bmp")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("3 picture(s) added, 0 skipped")) << r.out.toStdString();
    EXPECT_EQ(AlbumCount(), 3);

    r = Cli({"ls"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out.count("bytes"), 3) << r.out.toStdString();

    // BMP export: the pictures exactly as the frame holds them, and close to
    // the prepared source (they went through the device encoder at q 90; the
    // hard quadrant edges ring a little).
    r = Cli({"export", "all", Path("out")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    auto album = OpenAlbum();
    const QString sources[] = {Path("quad.jpg"), Path("photo.png"), Path("tall.bmp")};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const QString name = Path(QString("out/%1.bmp").arg(i + 1, 4, 10, QChar('0')));
        const QImage exported(name);
        ASSERT_EQ(exported.size(), QSize(128, 128));
        EXPECT_EQ(uint8_t(ReadAll(name)[28]), 24);
        EXPECT_EQ(MaxDistance(exported.convertToFormat(QImage::Format_RGB888), AlbumPicture(*album, i)), 0);
        const PreparedPicture prepared = PreparePictureFile(sources[i], 128, 128);
        ASSERT_TRUE(prepared.ok());
        EXPECT_LT(MeanDistance(exported.convertToFormat(QImage::Format_RGB888), prepared.image), 6.0);
    }
    // The quadrant photo kept its layout: red top-left, yellow bottom-right.
    album.reset();  // let go of the frame: the program below needs it
    const QImage first(Path("out/0001.bmp"));
    EXPECT_LT(ColourDistance(first.pixel(10, 10), qRgb(255, 0, 0)), 60);
    EXPECT_LT(ColourDistance(first.pixel(117, 117), qRgb(255, 255, 0)), 60);

    // JPG export: standard baseline files an independent decoder reads, close
    // to the BMPs (libjpeg's smooth chroma upsampling blurs colour edges a
    // little, hence the margin).
    r = Cli({"export", "2-3", Path("jpg"), "--format", "jpg"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(Path("jpg/0001.jpg")));
    for (int k : {2, 3}) {
        const QImage jpg(Path(QString("jpg/000%1.jpg").arg(k)));
        ASSERT_EQ(jpg.size(), QSize(128, 128)) << k;
        const QImage bmp(Path(QString("out/000%1.bmp").arg(k)));
        EXPECT_LT(MeanDistance(jpg.convertToFormat(QImage::Format_RGB32), bmp.convertToFormat(QImage::Format_RGB32)),
                  6.0);
    }

    // show writes the same picture as the BMP export.
    r = Cli({"show", "2", Path("two.bmp")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(ReadAll(Path("two.bmp")), ReadAll(Path("out/0002.bmp")));
    EXPECT_EQ(Cli({"show", "4", Path("four.bmp")}).code, 4);  // past the end, as in rm, mv, get, export
    EXPECT_FALSE(QFileInfo::exists(Path("four.bmp")));
}

// The demo frame: six different, colourful sample pictures drawn by the
// program, on a square LCD and on a wide one (whose centre is cut out of the
// square scene); an album with fewer slots takes as many as fit.
TEST_F(CliImagingTest, DemoFrameHoldsDifferentColourfulSamples) {
    const struct {
        const char* lcd;
        QSize size;
        const char* max;
        int pictures;
    } cases[] = {{"128x128", {128, 128}, "60", 6}, {"160x120", {160, 120}, "60", 6}, {"128x128", {128, 128}, "4", 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.lcd) + " max " + c.max);
        frame = Path(QStringLiteral("demo-%1-%2.img").arg(c.lcd, c.max));
        const CliRun r = Cli({"frame", "new", "--demo", "--lcd", c.lcd, "--max", c.max, frame});
        ASSERT_EQ(r.code, 0) << r.err.toStdString();
        EXPECT_TRUE(r.out.contains(QStringLiteral("holds %1 sample pictures").arg(c.pictures))) << r.out.toStdString();
        auto album = OpenAlbum();
        int count = 0;
        album->GetFileNum(count);
        ASSERT_EQ(count, c.pictures);
        std::vector<QImage> shown;
        for (int i = 0; i < count; ++i) {
            const QImage picture = AlbumPicture(*album, i).convertToFormat(QImage::Format_RGB32);
            ASSERT_EQ(picture.size(), c.size) << i;
            // Colourful: most pixels strongly coloured, in at least three hues.
            int saturated = 0;
            std::set<int> hues;
            for (int y = 0; y < picture.height(); ++y)
                for (int x = 0; x < picture.width(); ++x) {
                    const QColor px(picture.pixel(x, y));
                    if (px.hsvSaturation() > 90 && px.value() > 60) {
                        ++saturated;
                        hues.insert(px.hsvHue() / 30);
                    }
                }
            EXPECT_GT(saturated, picture.width() * picture.height() / 2) << i;
            EXPECT_GE(hues.size(), 3u) << i;
            shown.push_back(picture);
        }
        // Each different from every other.
        for (size_t a = 0; a < shown.size(); ++a)
            for (size_t b = a + 1; b < shown.size(); ++b) {
                double diff = 0;
                for (int y = 0; y < c.size.height(); ++y)
                    for (int x = 0; x < c.size.width(); ++x) {
                        const QColor p(shown[a].pixel(x, y)), q(shown[b].pixel(x, y));
                        diff += std::abs(p.red() - q.red()) + std::abs(p.green() - q.green()) +
                                std::abs(p.blue() - q.blue());
                    }
                EXPECT_GT(diff / (c.size.width() * c.size.height() * 3), 30.0) << a << " and " << b;
            }
    }
    // A demo frame is a new frame: an existing file is left alone.
    const CliRun again = Cli({"frame", "new", "--demo", frame});
    EXPECT_NE(again.code, 0);
    EXPECT_EQ(AlbumCount(), 4);
}

TEST_F(CliImagingTest, ExportNeverOverwritesWithoutForce) {
    MakeFrame();
    ASSERT_TRUE(WriteFile(Path("a.png"), Encode(Pattern(200, 150), "PNG")));
    ASSERT_TRUE(WriteFile(Path("b.png"), Encode(Quadrants(200, 150), "PNG")));
    ASSERT_EQ(Cli({"add", Path("a.png"), Path("b.png")}).code, 0);
    // Only 0002.bmp is in the way: nothing at all is written.
    ASSERT_TRUE(QDir().mkpath(Path("out")));
    ASSERT_TRUE(WriteFile(Path("out/0002.bmp"), "keep me"));
    CliRun r = Cli({"export", "1-2", Path("out")});
    EXPECT_EQ(r.code, 5);
    EXPECT_TRUE(r.err.contains("0002.bmp")) << r.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(Path("out/0001.bmp")));
    EXPECT_EQ(ReadAll(Path("out/0002.bmp")), QByteArray("keep me"));
    r = Cli({"export", "1-2", Path("out"), "--force"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(QImage(Path("out/0002.bmp")).size(), QSize(128, 128));
    EXPECT_TRUE(QFileInfo::exists(Path("out/0001.bmp")));
    // Bad ranges are usage errors, a position past the album's end an album
    // error; neither writes anything.
    for (const char* bad : {"0", "2-1", "x", "1,,2", "-", "1-2-3"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(Cli({"export", bad, Path("bad")}).code, 1);
    }
    EXPECT_EQ(Cli({"export", "2-3", Path("bad")}).code, 4);
    EXPECT_FALSE(QFileInfo::exists(Path("bad")));
    // A file where the folder should be.
    ASSERT_TRUE(WriteFile(Path("plain"), "x"));
    EXPECT_EQ(Cli({"export", "1", Path("plain")}).code, 5);
}

TEST_F(CliImagingTest, UnreadableFilesAreSkippedAndTheRestAdded) {
    MakeFrame();
    ASSERT_TRUE(WriteFile(Path("good1.png"), Encode(Photo(300, 200), "PNG")));
    const QByteArray jpeg = Encode(Photo(400, 300), "JPEG", 90);
    ASSERT_TRUE(WriteFile(Path("cut.jpg"), jpeg.left(jpeg.size() / 2)));
    ASSERT_TRUE(WriteFile(Path("notes.jpg"), "not a picture\n"));
    ASSERT_TRUE(WriteFile(Path("good2.jpg"), jpeg));
    const CliRun r = Cli({"add", Path("good1.png"), Path("missing.png"), Path("cut.jpg"), Path("notes.jpg"),
                       Path("good2.jpg")});
    EXPECT_EQ(r.code, 6) << r.err.toStdString();
    for (const char* name : {"missing.png", "cut.jpg", "notes.jpg"})
        EXPECT_TRUE(r.err.contains(QString("skipped ") + Path(name))) << name << "\n" << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("truncated"));
    EXPECT_FALSE(r.err.contains("good1.png"));
    EXPECT_TRUE(r.out.contains("2 picture(s) added, 3 skipped")) << r.out.toStdString();
    // Both good pictures are on the frame, in order.
    auto album = OpenAlbum();
    int n = 0;
    album->GetFileNum(n);
    ASSERT_EQ(n, 2);
    const PreparedPicture second = PreparePictureFile(Path("good2.jpg"), 128, 128);
    EXPECT_LT(MeanDistance(AlbumPicture(*album, 1), second.image), 6.0);
}

// Inputs that are not regular files: a device that never ends, one that is
// endless noise, and a named pipe nobody writes to. Each is refused at once
// with a clear reason (nothing read, no blocking) while a picture beside it
// is added; under a 1 GiB address-space limit, so reading any of them to the
// end would fail the run instead of passing slowly.
TEST_F(CliImagingTest, DevicesAndPipesAreRefusedAtOnceWithBoundedMemory) {
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer reserves terabytes of address space at start, so the
    // program cannot run at all under the limit this test sets.
    GTEST_SKIP() << "an address-space limit and AddressSanitizer exclude each other";
#endif
    MakeFrame();
    ASSERT_TRUE(WriteFile(Path("good.png"), Encode(Photo(300, 200), "PNG")));
    const QString fifo = Path("pipe");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    auto limited = [&](const QStringList& args) {
        QProcess p;
        p.start("/bin/sh", QStringList{"-c", "ulimit -v 1048576 && exec \"$0\" \"$@\"", KESTOVA_CLI, "--frame",
                                       frame} + args);
        p.closeWriteChannel();
        CliRun r;
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished();
            return r;  // code -1: it blocked or kept reading
        }
        r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.err = QString::fromUtf8(p.readAllStandardError());
        return r;
    };
    struct Case {
        QString file;
        const char* why;
    } cases[] = {{"/dev/zero", "is a device"}, {"/dev/urandom", "is a device"}, {fifo, "is a named pipe"}};
    int pictures = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file.toStdString());
        CliRun r = limited({"add", c.file, Path("good.png")});
        EXPECT_EQ(r.code, 6) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(c.file + ": " + c.why)) << r.err.toStdString();
        EXPECT_TRUE(r.out.contains("1 picture(s) added, 1 skipped")) << r.out.toStdString();
        EXPECT_EQ(AlbumCount(), ++pictures);
        // put reads the stored bytes itself: the same refusal, and nothing to add.
        r = limited({"put", c.file});
        EXPECT_EQ(r.code, 4) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(c.file + " " + c.why)) << r.err.toStdString();
        EXPECT_EQ(AlbumCount(), pictures);
    }
}

TEST_F(CliImagingTest, PictureThatFitsNoSlotIsSkipped) {
    // 256 x 192 LCD with 4096-byte slots: a flat picture fits easily, pixel
    // noise does not fit even at quality 10.
    FrameImageLayout layout;
    layout.lcdWidth = 256;
    layout.lcdHeight = 192;
    layout.maxPictures = 250;
    MakeFrame(layout);
    QImage flat(256, 192, QImage::Format_RGB32);
    flat.fill(qRgb(40, 120, 200));
    QImage noise(256, 192, QImage::Format_RGB32);
    uint32_t seed = 12345;
    for (int y = 0; y < 192; ++y)
        for (int x = 0; x < 256; ++x) {
            seed = seed * 1664525u + 1013904223u;
            noise.setPixel(x, y, qRgb(seed >> 24, (seed >> 16) & 255, (seed >> 8) & 255));
        }
    ASSERT_TRUE(WriteFile(Path("flat.png"), Encode(flat, "PNG")));
    ASSERT_TRUE(WriteFile(Path("noise.png"), Encode(noise, "PNG")));
    const CliRun r = Cli({"add", Path("flat.png"), Path("noise.png"), "--quality", "90"});
    EXPECT_EQ(r.code, 6) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("noise.png")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("even at quality 10")) << r.err.toStdString();
    EXPECT_EQ(AlbumCount(), 1);
}

TEST_F(CliImagingTest, FullAlbumSkipsTheRest) {
    FrameImageLayout layout;
    layout.maxPictures = 2;
    MakeFrame(layout);
    for (const char* name : {"a.png", "b.png", "c.png"})
        ASSERT_TRUE(WriteFile(Path(name), Encode(Photo(160, 120), "PNG")));
    const CliRun r = Cli({"add", Path("a.png"), Path("b.png"), Path("c.png")});
    EXPECT_EQ(r.code, 6);
    EXPECT_TRUE(r.err.contains(Path("c.png") + ": the album is full")) << r.err.toStdString();
    EXPECT_EQ(AlbumCount(), 2);
}

TEST_F(CliImagingTest, FilesThatFailOnlyInDecodingLeaveTheAlbumAsItWas) {
    // A JPEG with scrambled scan data passes every check made before
    // decoding, so the commit is already under way when its decoding fails.
    MakeFrame();
    ASSERT_TRUE(WriteFile(Path("first.png"), Encode(Photo(200, 200), "PNG")));
    ASSERT_EQ(Cli({"add", Path("first.png")}).code, 0);
    QByteArray jpeg = Encode(Photo(300, 200), "JPEG", 90);
    for (qsizetype i = jpeg.size() / 2; i < jpeg.size() / 2 + 40; ++i)
        jpeg[i] = uint8_t(jpeg[i]) == 0xFF ? char(0x12) : char((uint8_t(jpeg[i]) * 7 + 13) & 0xFF);
    ASSERT_TRUE(WriteFile(Path("damaged.jpg"), jpeg));
    ASSERT_EQ(ReadPictureFile(Path("damaged.jpg")).error, PictureError::Corrupt);
    QImage first;
    {
        auto album = OpenAlbum();
        first = AlbumPicture(*album, 0);
    }
    ASSERT_FALSE(first.isNull());

    CliRun r = Cli({"add", Path("damaged.jpg")});
    EXPECT_EQ(r.code, 4) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("damaged.jpg")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("nothing could be added; the album is unchanged")) << r.err.toStdString();
    {
        auto album = OpenAlbum();
        int count = 0;
        album->GetFileNum(count);
        EXPECT_EQ(count, 1);
        EXPECT_TRUE(AlbumPicture(*album, 0) == first);
    }

    // The progress of a log counts no more pictures than the album has room
    // for, and says which files it left out.
    FrameImageLayout two;
    two.maxPictures = 2;
    ASSERT_TRUE(QFile::remove(frame));
    MakeFrame(two);
    for (const char* name : {"a.png", "b.png", "c.png"})
        ASSERT_TRUE(WriteFile(Path(name), Encode(Photo(160, 120), "PNG")));
    r = Cli({"add", Path("a.png"), Path("damaged.jpg"), Path("b.png"), Path("c.png")});
    EXPECT_EQ(r.code, 6) << r.err.toStdString();
    QStringList progress;
    for (const QString& line : r.err.split('\n'))
        if (line.startsWith("writing picture")) progress << line;
    EXPECT_EQ(progress, QStringList({"writing picture 1 of 2", "writing picture 2 of 2"})) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("skipped " + Path("damaged.jpg"))) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(Path("c.png") + ": the album is full")) << r.err.toStdString();
    EXPECT_EQ(AlbumCount(), 2);
}

TEST_F(CliImagingTest, FramePulledWhileAddingLeavesAWholeAlbum) {
    // The frame drops off the bus after N commands, at different points of
    // reading and writing; afterwards the album is the old one or the new
    // one, and every picture in it decodes.
    MakeFrame();
    ASSERT_TRUE(WriteFile(Path("first.png"), Encode(Photo(200, 200), "PNG")));
    ASSERT_EQ(Cli({"add", Path("first.png")}).code, 0);
    const QByteArray before = ReadAll(frame);
    ASSERT_TRUE(WriteFile(Path("a.jpg"), Encode(Quadrants(640, 480), "JPEG", 90)));
    ASSERT_TRUE(WriteFile(Path("b.png"), Encode(Photo(300, 300), "PNG")));
    const QString image = frame;
    int cutDuringWrite = 0;
    for (int n : {5, 30, 60, 90, 120, 160, 220, 300}) {
        SCOPED_TRACE(n);
        ASSERT_TRUE(WriteFile(image, before));
        frame = image + QString(",unplug_after=%1").arg(n);
        const CliRun r = Cli({"add", Path("a.jpg"), Path("b.png")});
        frame = image;
        EXPECT_TRUE(r.code == 0 || r.code == 2 || r.code == 3) << r.code << " " << r.err.toStdString();
        if (r.code == 3 && r.err.contains("writing the album")) ++cutDuringWrite;
        auto album = OpenAlbum();
        int count = 0;
        album->GetFileNum(count);
        EXPECT_TRUE(count == 1 || count == 3) << count;
        for (int i = 0; i < count; ++i) EXPECT_EQ(AlbumPicture(*album, i).size(), QSize(128, 128)) << i;
    }
    EXPECT_GT(cutDuringWrite, 0);  // the sweep did reach the commit
}

TEST_F(CliImagingTest, FrameThatRefusesACommandSaysWhy) {
    MakeFrame();
    ASSERT_TRUE(WriteFile(Path("a.png"), Encode(Photo(200, 200), "PNG")));
    ASSERT_EQ(Cli({"add", Path("a.png")}).code, 0);
    const QString image = frame;
    frame = image + ",write_protect=1";
    CliRun r = Cli({"add", Path("a.png")});
    EXPECT_EQ(r.code, 3);
    // The new picture's slot reads back erased, so the first command the
    // chip refuses is the program of its first page.
    EXPECT_TRUE(r.err.contains("writing the album was cut off (a write failed its check: data protect (write protected)"))
        << r.err.toStdString();
    frame = image + ",unplug_after=3";
    r = Cli({"export", "all", Path("out")});
    EXPECT_EQ(r.code, 3);
    EXPECT_TRUE(r.err.contains("reading the album was cut off (a read failed: medium not present")) << r.err.toStdString();
    frame = image;
    EXPECT_EQ(AlbumCount(), 1);
}

TEST_F(CliImagingTest, RotateAndQualityOptions) {
    MakeFrame();
    ASSERT_TRUE(WriteFile(Path("q.png"), Encode(Quadrants(400, 300), "PNG")));
    CliRun r = Cli({"add", Path("q.png"), "--rotate", "right", "--quality", "100"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("quality 100")) << r.out.toStdString();
    r = Cli({"add", Path("q.png"), "--rotate", "left", "--quality", "50"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    auto album = OpenAlbum();
    const QImage right = AlbumPicture(*album, 0).convertToFormat(QImage::Format_RGB32);
    const QImage left = AlbumPicture(*album, 1).convertToFormat(QImage::Format_RGB32);
    // Turned right, red (top-left) is at the top-right; turned left, at the bottom-left.
    EXPECT_LT(ColourDistance(right.pixel(120, 8), qRgb(255, 0, 0)), 60);
    EXPECT_LT(ColourDistance(left.pixel(8, 120), qRgb(255, 0, 0)), 60);
    album.reset();  // let go of the frame: the programs below need it
    // Options out of range are refused before anything happens.
    EXPECT_NE(Cli({"add", Path("q.png"), "--quality", "0"}).code, 0);
    EXPECT_NE(Cli({"add", Path("q.png"), "--rotate", "up"}).code, 0);
    EXPECT_EQ(AlbumCount(), 2);
}


// SIGTERM during a slow add stops between pictures. Each picture the command
// calls added is on the frame, every other one is named as not written, and
// a stop that lands on the last picture stopped nothing (exit 0).
TEST_F(CliImagingTest, TerminatedAddTellsExactlyWhatTheFrameHolds) {
    MakeFrame();
    const QStringList files = {Path("a.png"), Path("b.png"), Path("c.png")};
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(WriteFile(files[i], Encode(Photo(200 + 20 * i, 200), "PNG")));
    const QString image = frame;
    const QByteArray blank = ReadAll(image);
    struct Case {
        const char* trigger;  // progress line after which the signal is sent
        int code;
    } cases[] = {{"writing picture 1 of 3", 6}, {"writing picture 3 of 3", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.trigger);
        ASSERT_TRUE(WriteFile(image, blank));
        QProcess p;
        p.setReadChannel(QProcess::StandardError);  // progress arrives there
        p.start(KESTOVA_CLI, QStringList{"--frame", image + ",latency_us=3000", "add"} + files);
        QByteArray err;
        while (!err.contains(c.trigger) && p.waitForReadyRead(20000)) err += p.readAllStandardError();
        ASSERT_TRUE(err.contains(c.trigger)) << err.toStdString();
        ::kill(pid_t(p.processId()), SIGTERM);
        ASSERT_TRUE(p.waitForFinished(60000));
        err += p.readAllStandardError();
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), c.code) << err.toStdString();
        const int held = AlbumCount();
        EXPECT_EQ(out.count("added "), held) << out.toStdString();
        EXPECT_EQ(err.count("not written: "), 3 - held) << err.toStdString();
        for (int i = 0; i < held; ++i) EXPECT_TRUE(out.contains("added " + files[i] + " as picture")) << i;
        if (c.code == 0) EXPECT_EQ(held, 3);
        else EXPECT_LT(held, 3);
    }
}

TEST_F(CliImagingTest, PhonePhotosAreAddedUprightFromAFolderOfThem) {
    // What a phone leaves: HEIC (one held upright, stored sideways with a
    // rotation) and AVIF. Each album picture must match the upright source
    // prepared the same way from a lossless copy.
    MakeFrame();
    const QImage landscape = Quadrants(400, 300);
    const QImage held = Photo(400, 300);
    struct Phone {
        const char* name;
        QImage source;
        HeifOptions options;
        QImage upright;
    } photos[] = {
        {"a.heic", landscape, {}, landscape},
        {"b.heic", held, {.orientation = heif_orientation_rotate_90_cw}, held.transformed(QTransform().rotate(90))},
        {"c.avif", held, {heif_compression_AV1}, held},
    };
    QDir().mkpath(Path("phone"));
    for (const Phone& p : photos) {
        const QByteArray bytes = EncodeHeif(p.source, p.options);
        ASSERT_FALSE(bytes.isEmpty()) << p.name;
        ASSERT_TRUE(WriteFile(Path("phone/") + p.name, bytes));
    }
    const CliRun r = Cli({"add", Path("phone")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("3 picture(s) added, 0 skipped")) << r.out.toStdString();
    auto album = OpenAlbum();
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(photos[i].name);
        ASSERT_TRUE(WriteFile(Path("upright.png"), Encode(photos[i].upright, "PNG")));
        const PreparedPicture expected = PreparePictureFile(Path("upright.png"), 128, 128);
        ASSERT_TRUE(expected.ok());
        const QImage got = AlbumPicture(*album, i);
        EXPECT_GT(Psnr(got.convertToFormat(QImage::Format_RGB32), expected.image.convertToFormat(QImage::Format_RGB32)),
                  26.0);
    }
}

} // namespace
} // namespace kestova
