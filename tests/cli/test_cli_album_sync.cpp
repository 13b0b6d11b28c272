// SPDX-License-Identifier: GPL-3.0-or-later
// kestova-cli with folders, crop placement, backup / restore and sync,
// against virtual frames.

#include "tests/cli/CliTestSupport.h"

#include "flash_manager/AlbumLayout.h"

#include <QDir>
#include <QPainter>

#include <gtest/gtest.h>

namespace kestova {
namespace {

using Bytes = std::vector<uint8_t>;

struct Album {
    std::vector<Bytes> pictures;
    album::AlbumColors colors;
    bool operator==(const Album&) const = default;
};

// A picture a file stands for: flat, with `stripes` dark bars, so each file
// of a folder gives a different device picture.
QByteArray Striped(int stripes, QRgb colour) {
    QImage img(240, 180, QImage::Format_RGB32);
    img.fill(colour);
    QPainter p(&img);
    for (int i = 0; i < stripes; ++i) p.fillRect(10 + i * 22, 20, 10, 140, QColor(20, 20, 20));
    p.end();
    return Encode(img, "PNG");
}

// Erase and program commands of a virtual frame's command log, by address.
struct Writes {
    std::vector<uint32_t> erases, programs;
};
Writes WritesInLog(const QString& log) {
    Writes w;
    for (const QByteArray& line : ReadAll(log).split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() < 16 || f[0] != "cb") continue;
        const int op = f[10].toInt(nullptr, 16);
        const uint32_t address = uint32_t(f[11].toInt(nullptr, 16) << 16 | f[12].toInt(nullptr, 16) << 8 |
                                          f[13].toInt(nullptr, 16));
        if (op == 0x20 || op == 0xD8 || op == 0x52) w.erases.push_back(address);
        if (op == 0x02) w.programs.push_back(address);
    }
    return w;
}

class CliAlbumTest : public CliFrameTest {
protected:
    // Every picture's stored bytes, in album order, and the colours.
    Album ReadAlbum() {
        auto dpf = OpenAlbum();
        Album a;
        int n = 0;
        dpf->GetFileNum(n);
        for (int i = 0; i < n; ++i) {
            uint32_t address = 0;
            int length = 0;
            dpf->GetFileInfo(i, address, length);
            Bytes b(static_cast<size_t>(length));
            int got = 0;
            EXPECT_TRUE(dpf->GetFileAtIndex(i, b.data(), length, got));
            a.pictures.push_back(b);
        }
        dpf->GetAlbumColors(a.colors.font, a.colors.background);
        return a;
    }

    // The album a fresh frame gets from `args` (an add, say).
    Album FreshAlbum(const QStringList& args, FrameImageLayout layout = {}) {
        const QString kept = frame;
        frame = Path("fresh.img");
        QFile::remove(frame);
        FormatFrameImage(frame.toStdString(), layout);
        const CliRun r = Cli(args);
        EXPECT_TRUE(r.code == 0 || r.code == 6) << r.err.toStdString();
        Album a = ReadAlbum();
        frame = kept;
        return a;
    }

    // Three pictures, moved, and colours: the album a backup keeps.
    void MakeAlbum() {
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(WriteFile(Path(QString("b%1.png").arg(i)), Striped(i + 2, qRgb(60 + 60 * i, 160, 100))));
        ASSERT_EQ(Cli({"add", Path("b0.png"), Path("b1.png"), Path("b2.png")}).code, 0);
        ASSERT_EQ(Cli({"mv", "3", "1"}).code, 0);
        ASSERT_EQ(Cli({"colors", "--font", "FF8000", "--background", "102030"}).code, 0);
    }

    // Runs kestova-cli with a command log and returns the writes it sent.
    Writes Logged(const QStringList& args, CliRun* run = nullptr) {
        const QString kept = frame, log = Path("cmds.log");
        QFile::remove(log);
        frame = kept + ",log=" + log;
        const CliRun r = Cli(args);
        frame = kept;
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        if (run) *run = r;
        return WritesInLog(log);
    }
};

TEST_F(CliAlbumTest, FolderGivesItsPicturesInNaturalOrderAndLeavesOtherFilesOut) {
    MakeFrame();
    ASSERT_TRUE(QDir().mkpath(Path("pics/sub")));
    const QString names[] = {"img10.png", "img2.png", "IMG1.png"};
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(WriteFile(Path("pics/" + names[i]), Striped(i + 1, qRgb(200, 150, 90))));
    ASSERT_TRUE(WriteFile(Path("pics/notes.txt"), "not a picture\n"));
    ASSERT_TRUE(WriteFile(Path("pics/sub/img3.png"), Striped(5, qRgb(90, 150, 200))));

    CliRun r = Cli({"add", Path("pics")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("left out " + Path("pics/notes.txt") + ": not a picture")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("left out " + Path("pics/sub"))) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("3 picture(s) added, 0 skipped")) << r.out.toStdString();
    const QStringList inOrder = {Path("pics/IMG1.png"), Path("pics/img2.png"), Path("pics/img10.png")};
    EXPECT_EQ(ReadAlbum(), FreshAlbum(QStringList{"add"} + inOrder));

    // --recursive: the sub-folder's pictures at the sub-folder's place by name.
    ASSERT_TRUE(QFile::remove(frame));
    MakeFrame();
    r = Cli({"add", "--recursive", Path("pics")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(ReadAlbum(), FreshAlbum(QStringList{"add"} + inOrder + QStringList{Path("pics/sub/img3.png")}));
}

// A wide (or tall) picture whose subject, a face-coloured disc on a
// checkerboard of saturated colours, fills one end of a flat grey field.
QImage SubjectPicture(bool wide, bool atStart, QImage* subject) {
    QImage s(160, 160, QImage::Format_RGB32);
    for (int y = 0; y < 160; ++y)
        for (int x = 0; x < 160; ++x) s.setPixel(x, y, (x / 10 + y / 10) % 2 ? qRgb(220, 30, 40) : qRgb(30, 60, 220));
    QPainter p(&s);
    p.setBrush(QColor(224, 172, 140));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPoint(80, 70), 45, 55);
    p.end();
    *subject = s;
    QImage whole(wide ? 640 : 160, wide ? 160 : 640, QImage::Format_RGB32);
    whole.fill(qRgb(128, 128, 128));
    QPainter w(&whole);
    const int at = atStart ? 0 : 480;
    w.drawImage(wide ? QPoint(at, 0) : QPoint(0, at), s);
    w.end();
    return whole;
}

// How far `shown` is from `expected` where they overlap, with `expected`
// shifted by up to 3 pixels along the long side (the placement may settle
// a pixel or two off where smoothing blurs the subject's edge).
double NearestMeanDistance(const QImage& shown, const QImage& expected, bool wide) {
    double best = 1e9;
    const int w = shown.width(), h = shown.height();
    for (int d = -3; d <= 3; ++d) {
        const int dx = wide ? d : 0, dy = wide ? 0 : d;
        const QRect a(std::max(0, dx), std::max(0, dy), w - std::abs(dx), h - std::abs(dy));
        const QRect b(std::max(0, -dx), std::max(0, -dy), a.width(), a.height());
        best = std::min(best, MeanDistance(shown.copy(a), expected.copy(b).convertToFormat(shown.format())));
    }
    return best;
}

TEST_F(CliAlbumTest, CropPlacesTheWindowWhereTheSubjectIs) {
    MakeFrame();
    struct Case {
        bool wide, atStart;
        const char* crop;
        bool keepsSubject;
    } cases[] = {
        {true, false, "attention", true}, {true, true, "attention", true}, {false, true, "attention", true},
        {false, false, "attention", true}, {true, false, "east", true},    {true, false, "west", false},
        {false, true, "north", true},      {true, false, "centre", false},
    };
    int position = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.crop) + (c.wide ? " wide" : " tall") + (c.atStart ? " start" : " end"));
        QImage subject;
        const QString file = Path("subject.png");
        ASSERT_TRUE(WriteFile(file, Encode(SubjectPicture(c.wide, c.atStart, &subject), "PNG")));
        const CliRun r = Cli({"add", "--crop", c.crop, file});
        ASSERT_EQ(r.code, 0) << r.err.toStdString();
        auto dpf = OpenAlbum();
        const QImage shown = AlbumPicture(*dpf, position++);
        const double fromSubject = NearestMeanDistance(shown, CoverAndCrop(subject, QSize(128, 128)), c.wide);
        if (c.keepsSubject) EXPECT_LT(fromSubject, 12.0);
        else EXPECT_GT(fromSubject, 40.0);
    }
    // The same file and options give the same stored bytes, run after run.
    ASSERT_EQ(Cli({"add", "--crop", "attention", Path("subject.png")}).code, 0);
    ASSERT_EQ(Cli({"add", "--crop", "attention", Path("subject.png")}).code, 0);
    const Album a = ReadAlbum();
    ASSERT_EQ(a.pictures.size(), size_t(position + 2));
    EXPECT_EQ(a.pictures[size_t(position)], a.pictures[size_t(position) + 1]);
    EXPECT_NE(Cli({"add", "--crop", "middle", Path("subject.png")}).code, 0);
}

TEST_F(CliAlbumTest, BackupThenRestoreGivesTheSameBytesOrderAndColours) {
    MakeFrame();
    MakeAlbum();
    const Album before = ReadAlbum();
    ASSERT_EQ(before.pictures.size(), 3u);

    CliRun r = Cli({"backup", Path("album.kab")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(Cli({"backup", Path("album.kab")}).code, 5);  // never over a file without --force
    ASSERT_EQ(Cli({"rm", "all"}).code, 0);
    ASSERT_EQ(Cli({"colors", "--font", "000000", "--background", "FFFFFF"}).code, 0);
    ASSERT_TRUE(ReadAlbum().pictures.empty());

    r = Cli({"restore", Path("album.kab")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(ReadAlbum(), before);
    // Restored again: the frame holds it already, nothing is written.
    EXPECT_TRUE(Logged({"restore", Path("album.kab")}, &r).erases.empty());
    EXPECT_TRUE(r.out.contains("holds this album already")) << r.out.toStdString();
}

TEST_F(CliAlbumTest, RestoreRefusesWhatDoesNotBelongAndWritesNothing) {
    MakeFrame();
    MakeAlbum();
    ASSERT_EQ(Cli({"backup", Path("album.kab")}).code, 0);
    QByteArray damaged = ReadAll(Path("album.kab"));
    damaged[200] = char(damaged[200] ^ 0x10);
    ASSERT_TRUE(WriteFile(Path("damaged.kab"), damaged));
    ASSERT_TRUE(WriteFile(Path("cut.kab"), ReadAll(Path("album.kab")).left(150)));

    FrameImageLayout otherLcd;
    otherLcd.lcdWidth = 160;
    FrameImageLayout twoPictures;
    twoPictures.maxPictures = 2;
    struct Case {
        const char* backup;
        FrameImageLayout frame;
        const char* says;
    } cases[] = {{"album.kab", otherLcd, "128 x 128 frame, and this frame's LCD is 160 x 128"},
                 {"damaged.kab", {}, "checksum does not match"},
                 {"cut.kab", {}, "checksum does not match"},
                 {"album.kab", twoPictures, "holds at most 2"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.backup);
        frame = Path("target.img");
        QFile::remove(frame);
        FormatFrameImage(frame.toStdString(), c.frame);
        ASSERT_EQ(Cli({"add", Path("b0.png")}).code, 0);
        const QByteArray image = ReadAll(frame);
        const CliRun r = Cli({"restore", Path(c.backup)});
        EXPECT_EQ(r.code, 4) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(c.says)) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("nothing written")) << r.err.toStdString();
        EXPECT_TRUE(ReadAll(frame) == image);
    }
}

TEST_F(CliAlbumTest, RestoreCutOffAnywhereLeavesTheOldOrTheRestoredAlbum) {
    MakeFrame();
    MakeAlbum();
    ASSERT_EQ(Cli({"backup", Path("album.kab")}).code, 0);
    const Album restored = ReadAlbum();
    // The old album: one picture of the backup, one other, other colours.
    ASSERT_EQ(Cli({"rm", "1,3"}).code, 0);
    ASSERT_TRUE(WriteFile(Path("other.png"), Striped(7, qRgb(30, 200, 30))));
    ASSERT_EQ(Cli({"add", Path("other.png")}).code, 0);
    ASSERT_EQ(Cli({"colors", "--font", "00FF00", "--background", "000000"}).code, 0);
    const Album old = ReadAlbum();
    const QByteArray before = ReadAll(frame);

    // How many commands a whole restore takes, then cuts spread over them.
    const QString image = frame;
    const QString log = Path("count.log");
    frame = image + ",log=" + log;
    ASSERT_EQ(Cli({"restore", Path("album.kab")}).code, 0);
    frame = image;
    const int total = int(ReadAll(log).count('\n'));
    ASSERT_GT(total, 20);
    int cutInWrite = 0, sawOld = 0, sawRestored = 0;
    std::vector<int> cuts;
    for (int n = 3; n < total - 3; n += std::max(1, total / 24)) cuts.push_back(n);
    for (int n = total - 3; n <= total; ++n) cuts.push_back(n);  // around the primary's last write
    for (int n : cuts) {
        SCOPED_TRACE(n);
        ASSERT_TRUE(WriteFile(image, before));
        frame = image + QString(",sync=0,unplug_after=%1").arg(n);
        const CliRun r = Cli({"restore", Path("album.kab")});
        frame = image;
        EXPECT_TRUE(r.code == 0 || r.code == 3) << r.code << " " << r.err.toStdString();
        if (r.code == 3 && r.err.contains("writing the album")) ++cutInWrite;
        const Album now = ReadAlbum();
        EXPECT_TRUE(now == old || now == restored) << now.pictures.size() << " pictures";
        sawOld += now == old;
        sawRestored += now == restored;
    }
    EXPECT_GT(cutInWrite, 3);
    EXPECT_GT(sawOld, 0);
    EXPECT_GT(sawRestored, 0);
}

TEST_F(CliAlbumTest, SyncKeepsWhatTheFrameHoldsAndEqualsAFreshAddOfTheFolder) {
    MakeFrame();
    ASSERT_TRUE(QDir().mkpath(Path("pics")));
    const auto put = [&](const char* name, int stripes) {
        ASSERT_TRUE(WriteFile(Path("pics/") + name, Striped(stripes, qRgb(180, 120, 60))));
    };
    put("p1.png", 1);
    put("p2.png", 2);
    put("p3.png", 3);
    put("p4.png", 4);
    ASSERT_TRUE(WriteFile(Path("pics/readme.txt"), "holiday\n"));
    const QStringList sync = {"sync", Path("pics")};

    CliRun r;
    EXPECT_FALSE(Logged(sync, &r).programs.empty());
    EXPECT_EQ(ReadAlbum(), FreshAlbum({"add", Path("pics")}));
    // Nothing changed: no erase, no page program.
    const Writes again = Logged(sync, &r);
    EXPECT_TRUE(again.erases.empty() && again.programs.empty()) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("up to date")) << r.out.toStdString();

    // Renamed, added, deleted and changed files; the dry run writes nothing.
    ASSERT_TRUE(QFile::rename(Path("pics/p1.png"), Path("pics/p5.png")));
    ASSERT_TRUE(QFile::remove(Path("pics/p2.png")));
    put("p4.png", 6);
    put("p6.png", 8);
    const QByteArray image = ReadAll(frame);
    r = Cli({"sync", "--dry-run", Path("pics")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("1 kept, 3 to write, 3 to delete")) << r.out.toStdString();
    EXPECT_TRUE(ReadAll(frame) == image);
    ASSERT_EQ(Cli(sync).code, 0);
    EXPECT_EQ(ReadAlbum(), FreshAlbum({"add", Path("pics")}));

    // A pure reorder rewrites the two index blocks and nothing else.
    ASSERT_TRUE(QFile::rename(Path("pics/p6.png"), Path("pics/p0.png")));
    const Writes reorder = Logged(sync, &r);
    const uint32_t start = OpenAlbum()->GetAlbumStart();
    for (const auto* list : {&reorder.erases, &reorder.programs})
        for (uint32_t address : *list) EXPECT_LT(address, start + album::kSlotAreaOffset) << address;
    EXPECT_FALSE(reorder.erases.empty());
    EXPECT_EQ(ReadAlbum(), FreshAlbum({"add", Path("pics")}));

    // A folder that gives no picture never empties the album.
    ASSERT_TRUE(QDir().mkpath(Path("empty")));
    const QByteArray held = ReadAll(frame);
    r = Cli({"sync", Path("empty")});
    EXPECT_EQ(r.code, 4) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("would delete all 4 pictures")) << r.err.toStdString();
    EXPECT_TRUE(ReadAll(frame) == held);
}

} // namespace
} // namespace kestova
