// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop album layer on virtual frames: what a read lists and drops,
// what an add hands back, and that the results of a frame that left never
// reach the album the window shows.

#include "desktop/FrameAlbum.h"

#include "common/coder/Kv350Encoder.h"
#include "device/virtual/FrameImage.h"
#include "device/virtual/VirtualFrame.h"
#include "flash_manager/DPF.h"
#include "imaging/Preparation.h"
#include "tests/support/PictureSupport.h"
#include "tests/support/QtTestSupport.h"
#include "tests/support/TestSupport.h"

#include <QFile>
#include <QCoreApplication>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

namespace kestova::desktop {
namespace {

using Bytes = std::vector<uint8_t>;
using test::DevicePicture;
using test::Noise;
using test::TempDir;
using test::WaitUntil;

// A frame image holding `pictures` as stored (written through the layer's
// own facade, the way a window's Synchronize writes them).
void Seed(const std::string& path, const std::vector<Bytes>& pictures)
{
    FrameImageLayout l;
    l.lcdWidth = l.lcdHeight = 128;
    FormatFrameImage(path, l);
    FrameAlbum f(session::FrameChoice(path, false));
    f.Start();
    ASSERT_TRUE(f.Session().Open().ok());
    for (const Bytes& p : pictures)
        ASSERT_EQ(f.Dpf().AddData(p.data(), int(p.size())), 1);
    ASSERT_TRUE(f.Session().Commit().ok());
}

QImage Decoded(const Bytes& bytes)
{
    RgbImage out;
    EXPECT_TRUE(CKv350Encoder::Decode(bytes.data(), bytes.size(), 128, 128, out));
    return FromRgbImage(out);
}

// A frame opened and read, with the signals it gave counted.
struct Opened {
    explicit Opened(const std::string& image, ReadOptions read = {}) : frame(session::FrameChoice(image, false))
    {
        QObject::connect(&frame, &FrameAlbum::pictureDropped, [this](const QString& why) { dropped << why; });
        QObject::connect(&frame, &FrameAlbum::readFinished, [this](const ReadOutcome& o) { outcomes.push_back(o); });
        frame.Start();
        frame.ReadAlbum(std::move(read));
        frame.WaitForIdle();
    }
    FrameAlbum frame;
    QStringList dropped;
    std::vector<ReadOutcome> outcomes;
};

TEST(DesktopRead, ListsEveryDecodablePictureAndDropsAnUndecodableOneOnceWithItsReason)
{
    TempDir tmp;
    const std::string img = tmp.File("f.img");
    const Bytes a = DevicePicture(Noise(128, 128, 20, 1), 80), b = DevicePicture(Noise(128, 128, 60, 2), 90);
    Seed(img, {a, Bytes(3000, 0x5A), b});

    int kept = 0;
    ReadOptions read;
    read.keep = [&](int row, const session::AlbumPicture&, QString* file) {
        ++kept;
        *file = QString::number(row);
        return QString();
    };
    auto owner = std::make_unique<Opened>(img, std::move(read));
    Opened& o = *owner;
    ASSERT_EQ(o.outcomes.size(), 1u);
    EXPECT_EQ(o.outcomes[0].status, ReadStatus::Listed);
    EXPECT_EQ(o.outcomes[0].dropped, 1);
    EXPECT_EQ(kept, 3);  // the keep step saw the damaged picture too
    ASSERT_EQ(o.dropped.size(), 1);
    EXPECT_FALSE(o.dropped[0].isEmpty());
    // The rows after the dropped one are the frame's next pictures, in order.
    const AlbumModel& album = o.frame.Album();
    ASSERT_EQ(album.Count(), 2);
    EXPECT_EQ(o.frame.PictureCount(), 2);
    EXPECT_EQ(album.Files(), (QStringList{"0", "1"}));
    for (int row : {0, 1}) {
        const Bytes& stored = row == 0 ? a : b;
        EXPECT_EQ(album.At(row).bytes, stored);
        EXPECT_EQ(album.At(row).picture, Decoded(stored));
        EXPECT_TRUE(album.At(row).onFrame);
    }

    // Written back, the frame holds the album without it.
    o.frame.Commit();
    o.frame.WaitForIdle();
    owner.reset();  // lets go of the frame
    Opened again(img);
    EXPECT_TRUE(again.dropped.isEmpty());
    ASSERT_EQ(again.frame.Album().Count(), 2);
    EXPECT_EQ(again.frame.Album().At(1).bytes, b);
}

TEST(DesktopAdd, GivesTheStoredBytesAndTheDecodedPictureWithoutAFileAndUndoesWhatTheWindowCannotKeep)
{
    TempDir tmp;
    const std::string img = tmp.File("f.img");
    Seed(img, {});
    auto owner = std::make_unique<Opened>(img);
    Opened& o = *owner;
    const QImage prepared = FromRgbImage(Noise(128, 128, 40, 7));

    int listed = -1;
    QObject::connect(&o.frame, &FrameAlbum::pictureListed, [&](int row) { listed = row; });
    AddSteps steps;
    steps.startQuality = 90;
    const AddOutcome added = o.frame.AddPicture(prepared, steps, "a.png");
    ASSERT_TRUE(added.ok());
    EXPECT_EQ(listed, 0);
    const AlbumEntry& e = o.frame.Album().At(0);
    EXPECT_EQ(e.bytes, added.result.bytes);
    EXPECT_EQ(e.picture, Decoded(e.bytes));  // what the frame shows, not the prepared picture
    EXPECT_NE(e.picture, prepared.convertToFormat(e.picture.format()));
    EXPECT_TRUE(e.file.isEmpty());
    EXPECT_EQ(e.source, "a.png");
    EXPECT_FALSE(e.onFrame);
    // Nothing went through a file: the only file in the folder is the frame.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp.path()), {}), 1);
    uint32_t address = 0;
    int length = 0;
    ASSERT_TRUE(o.frame.Dpf().GetFileInfo(0, address, length));
    EXPECT_EQ(length, int(e.bytes.size()));

    // A window that cannot keep its file of the row: the album stays as it was.
    AddSteps noFile = steps;
    noFile.fileOf = [](const AlbumEntry&) { return QString(); };
    EXPECT_FALSE(o.frame.AddPicture(prepared, noFile).ok());
    EXPECT_EQ(o.frame.PictureCount(), 1);
    EXPECT_EQ(o.frame.Album().Count(), 1);

    o.frame.Commit();
    o.frame.WaitForIdle();
    EXPECT_TRUE(o.frame.Album().At(0).onFrame);
    const Bytes written = o.frame.Album().At(0).bytes;
    owner.reset();  // lets go of the frame
    Opened again(img);
    ASSERT_EQ(again.frame.Album().Count(), 1);
    EXPECT_EQ(again.frame.Album().At(0).bytes, written);
}

TEST(DesktopEdits, UndoPutsPicturesBackAsTheFrameHoldsThemAndFilesLeaveWithTheirHistory)
{
    TempDir tmp;
    const std::string img = tmp.File("f.img");
    const Bytes a = DevicePicture(Noise(128, 128, 20, 1), 80), b = DevicePicture(Noise(128, 128, 60, 2), 90);
    Seed(img, {a, b});
    Opened o(img);
    FrameAlbum& f = o.frame;
    std::vector<bool> marks;
    QObject::connect(&f, &FrameAlbum::modifiedChanged, [&](bool m) { marks.push_back(m); });

    // Delete All and back: both are the frame's again, nothing to write.
    f.DeleteAll();
    EXPECT_EQ(f.Album().Count(), 0);
    EXPECT_TRUE(f.Modified());
    ASSERT_TRUE(f.Undo());
    EXPECT_FALSE(f.Modified());
    EXPECT_EQ(f.Dpf().GetCommittedNum(), 2);
    EXPECT_FALSE(f.Dpf().HasPendingChanges());
    EXPECT_EQ(f.Album().At(1).bytes, b);
    EXPECT_EQ(marks, std::vector<bool>({true, false}));

    // A new picture with a file of its own: it cannot move ahead of the
    // frame's pictures; its undone add keeps the file until a new edit
    // replaces it in the history.
    f.SetHistoryOwnsFiles(true);
    AddSteps steps;
    int files = 0;
    steps.fileOf = [&](const AlbumEntry&) {
        const QString path = QString::fromStdString(tmp.File("n" + std::to_string(++files)));
        QFile out(path);
        return out.open(QIODevice::WriteOnly) ? path : QString();
    };
    ASSERT_TRUE(f.AddPicture(FromRgbImage(Noise(128, 128, 40, 7)), steps).ok());
    const QString file = f.Album().At(2).file;
    EXPECT_FALSE(f.MoveRows({2}, 0));
    EXPECT_TRUE(f.MoveRows({1}, 0));
    EXPECT_EQ(f.Album().At(0).bytes, b);
    ASSERT_TRUE(f.Undo());
    ASSERT_TRUE(f.Undo());
    EXPECT_EQ(f.Album().Count(), 2);
    EXPECT_TRUE(QFile::exists(file));
    ASSERT_TRUE(f.Redo());
    EXPECT_EQ(f.Album().At(2).file, file);
    ASSERT_TRUE(f.Undo());
    f.Delete(0);
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_FALSE(f.Redo());

    // The write clears the history; a fresh read lists what the window shows.
    f.Commit();
    f.WaitForIdle();
    EXPECT_FALSE(f.Modified());
    EXPECT_FALSE(f.Undo());
    EXPECT_EQ(f.LastWrite().onFrame, 1);
}

// Alt+Up / Alt+Down on any selection: each row moves one place, gaps stay,
// a row at the album's end, at the boundary between the frame's pictures and
// new ones, or behind a row that could not move stays where it is.
TEST(DesktopEdits, ShiftRowsMovesEachRowOnePlaceKeepingGapsAndStopsAtEdges)
{
    TempDir tmp;
    const std::string img = tmp.File("f.img");
    std::vector<Bytes> four;
    for (unsigned i = 0; i < 4; ++i)
        four.push_back(DevicePicture(Noise(128, 128, 30, 40 + i), 80));
    Seed(img, four);
    Opened o(img);
    FrameAlbum& f = o.frame;
    for (unsigned i = 0; i < 2; ++i)
        ASSERT_TRUE(f.AddPicture(FromRgbImage(Noise(128, 128, 50, 60 + i)), {}).ok());
    ASSERT_EQ(f.Dpf().GetCommittedNum(), 4);
    std::vector<Bytes> start;
    for (int r = 0; r < 6; ++r)
        start.push_back(f.Album().At(r).bytes);

    const struct {
        QList<int> rows;
        int step;
        std::vector<int> order;  // empty: nothing moves
        QList<int> after;
    } cases[] = {
        {{1, 3}, -1, {1, 0, 3, 2, 4, 5}, {0, 2}},
        {{0, 2}, -1, {0, 2, 1, 3, 4, 5}, {0, 1}},
        {{2, 3}, -1, {0, 2, 3, 1, 4, 5}, {1, 2}},
        {{0, 1}, -1, {}, {0, 1}},
        {{4}, -1, {}, {4}},             // the first new picture stays behind the frame's
        {{1, 3}, +1, {0, 2, 1, 3, 4, 5}, {2, 3}},
        {{0, 2, 4}, +1, {1, 0, 3, 2, 5, 4}, {1, 3, 5}},
        {{4, 5}, +1, {}, {4, 5}},
        {{3, 5, 1}, -1, {1, 0, 3, 2, 5, 4}, {0, 2, 4}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "rows " << c.rows.size() << " first " << c.rows.first() << " step "
                                          << c.step);
        QList<int> after;
        EXPECT_EQ(f.ShiftRows(c.rows, c.step, &after), !c.order.empty());
        QList<int> sorted = c.rows;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(after, c.order.empty() ? sorted : c.after);
        for (std::size_t r = 0; r < 6; ++r)
            EXPECT_EQ(f.Album().At(int(r)).bytes, start[c.order.empty() ? r : std::size_t(c.order[r])]) << r;
        if (!c.order.empty()) {
            EXPECT_TRUE(f.Modified());
            ASSERT_TRUE(f.Undo());  // one step of the history
        }
        for (std::size_t r = 0; r < 6; ++r)
            ASSERT_EQ(f.Album().At(int(r)).bytes, start[r]);
    }
}

// Edits that bring the album back to what the frame holds (its pictures,
// in its order, nothing new) leave it clean, however they got there: the
// marker goes and a write has nothing to do. Edits that end elsewhere keep
// it modified, and walking the history over a clean place follows it.
TEST(DesktopEdits, AnAlbumEditedBackToTheFramesCountsAsCleanAgain)
{
    TempDir tmp;
    const std::string img = tmp.File("f.img");
    std::vector<Bytes> three;
    for (unsigned i = 0; i < 3; ++i)
        three.push_back(DevicePicture(Noise(128, 128, 30, 70 + i), 80));
    Seed(img, three);
    using Op = std::function<bool(FrameAlbum&)>;
    const Op undo = [](FrameAlbum& f) { return f.Undo(); };
    const Op redo = [](FrameAlbum& f) { return f.Redo(); };
    const Op add = [](FrameAlbum& f) { return f.AddPicture(FromRgbImage(Noise(128, 128, 50, 9)), {}).ok(); };
    auto move = [](QList<int> rows, int before) { return Op([=](FrameAlbum& f) { return f.MoveRows(rows, before); }); };
    auto shift = [](QList<int> rows, int step) { return Op([=](FrameAlbum& f) { return f.ShiftRows(rows, step); }); };
    auto del = [](int row) { return Op([=](FrameAlbum& f) { f.Delete(row); return true; }); };
    const struct {
        const char* name;
        std::vector<Op> ops;
        std::vector<bool> modified;  // after each op
    } cases[] = {
        {"dragged there and back", {move({2}, 0), move({0}, 3)}, {true, false}},
        {"down and up again", {shift({0}, +1), shift({1}, -1)}, {true, false}},
        {"two rows round the album", {move({0, 1}, 3), move({0}, 3)}, {true, false}},
        {"added and deleted again", {add, del(3)}, {true, false}},
        {"moved on to another order", {move({2}, 0), move({1}, 3)}, {true, true}},
        {"a frame's picture deleted", {del(1)}, {true}},
        {"back, then undone and redone", {move({2}, 0), move({0}, 3), undo, undo, redo, redo},
         {true, false, true, false, true, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Outlives the frame: its teardown may still say the album changed.
        std::vector<bool> marks;
        Opened o(img);
        FrameAlbum& f = o.frame;
        QObject::connect(&f, &FrameAlbum::modifiedChanged, [&](bool m) { marks.push_back(m); });
        for (std::size_t i = 0; i < c.ops.size(); ++i) {
            ASSERT_TRUE(c.ops[i](f)) << "op " << i;
            EXPECT_EQ(f.Modified(), c.modified[i]) << "op " << i;
            EXPECT_EQ(f.Dpf().HasPendingChanges(), c.modified[i]) << "op " << i;
        }
        // The last word the window heard is the album's state.
        ASSERT_FALSE(marks.empty());
        EXPECT_EQ(marks.back(), c.modified.back());
        if (!c.modified.back()) {
            for (int r = 0; r < 3; ++r)
                EXPECT_EQ(f.Album().At(r).bytes, three[std::size_t(r)]) << r;
        }
    }
}

// A write that ends early says how many of the new pictures the frame lists
// (not how many reached a slot) and which rows it does not hold: stopped
// after the first new picture, and cut off the bus half way.
TEST(DesktopWorker, AWriteThatEndsEarlyCountsWhatTheFrameListsAndNamesTheRowsLeftOut)
{
    TempDir tmp;
    const std::string img = tmp.File("f.img");
    const std::vector<Bytes> two = {DevicePicture(Noise(128, 128, 30, 1), 80),
                                    DevicePicture(Noise(128, 128, 30, 2), 80)};
    std::shared_ptr<VirtualFrameMonitor> monitor;
    long cut = -1;
    auto run = [&](bool stop) -> std::pair<WriteTally, int> {
        std::filesystem::remove(img);
        Seed(img, two);
        session::FrameChoice choice(img + ",sync=0", false);
        choice.opener = [&](const std::string& arg, std::string& error) -> std::unique_ptr<ScsiUnit> {
            try {
                auto frame = VirtualFrame::Open(cut >= 0 ? arg + ",unplug_after=" + std::to_string(cut) : arg);
                monitor = frame->Monitor();
                return frame;
            } catch (const std::exception& e) {
                error = e.what();
                return nullptr;
            }
        };
        int listed = 0;
        WriteTally tally;
        {
            FrameAlbum f(choice);
            f.Start();
            f.ReadAlbum({});
            f.WaitForIdle();
            EXPECT_EQ(f.Album().Count(), 2);
            for (unsigned i = 0; i < 4; ++i)
                EXPECT_TRUE(f.AddPicture(FromRgbImage(Noise(128, 128, 50, 70 + i)), {}, QString("n%1.png").arg(i)).ok());
            if (stop)
                f.RequestStop();  // ends the write after its first picture
            f.Commit();
            f.WaitForIdle();
            tally = f.LastWrite();
            for (int row : tally.unwritten)
                EXPECT_FALSE(f.Album().At(row).onFrame) << row;
            for (int row = 0; row < tally.onFrame; ++row)
                EXPECT_TRUE(f.Album().At(row).onFrame) << row;
        }
        // What another program reads now.
        std::filesystem::copy_file(img, img + ".view", std::filesystem::copy_options::overwrite_existing);
        FrameAlbum view(session::FrameChoice(img + ".view", false));
        view.Start();
        view.ReadAlbum({});
        view.WaitForIdle();
        listed = view.Album().Count();
        return {tally, listed};
    };

    // A dry run counts the commands of the whole run.
    {
        const auto [tally, listed] = run(false);
        EXPECT_TRUE(tally.whole());
        EXPECT_EQ(tally.written, 4);
        EXPECT_EQ(listed, 6);
        EXPECT_TRUE(tally.unwritten.isEmpty());
    }
    const long all = long(monitor->CommandCount());

    for (const bool stop : {true, false}) {
        SCOPED_TRACE(stop ? "stopped" : "cut off");
        // The commit's commands come after the read's: cut at the middle of
        // the whole run, well inside the pictures' writing.
        cut = stop ? -1 : all * 3 / 4;
        const auto [tally, listed] = run(stop);
        EXPECT_FALSE(tally.whole());
        EXPECT_EQ(tally.fresh, 4);
        EXPECT_EQ(tally.written, listed - 2);
        EXPECT_EQ(tally.onFrame, listed);
        if (stop) {
            EXPECT_EQ(tally.written, 1);
        }
        QList<int> left;
        for (int row = listed; row < 6; ++row)
            left << row;
        EXPECT_EQ(tally.unwritten, left);
    }
}

TEST(DesktopWorker, RowsOfAFrameThatLeftAreDroppedButABatchStillSaysItEnded)
{
    TempDir tmp;
    const std::string img = tmp.File("f.img");
    std::vector<Bytes> six;
    for (unsigned i = 0; i < 6; ++i)
        six.push_back(DevicePicture(Noise(128, 128, 30, 10 + i), 80));
    Seed(img, six);
    QStringList files;
    for (int i = 0; i < 4; ++i) {
        files << QString::fromStdString(tmp.File("p" + std::to_string(i) + ".png"));
        ASSERT_TRUE(FromRgbImage(Noise(128, 128, 50, unsigned(20 + i))).save(files.back()));
    }

    FrameAlbum frame(session::FrameChoice(img, false));
    int readEnds = 0, batchEnds = 0, staleEnds = 0;
    QObject::connect(&frame, &FrameAlbum::readFinished, [&](const ReadOutcome&) { ++readEnds; });
    QObject::connect(&frame, &FrameAlbum::batchFinished, [&](const BatchOutcome&) { ++batchEnds; });
    QObject::connect(&frame, &FrameAlbum::jobEnded, [&](Job, bool current) { staleEnds += current ? 0 : 1; });
    // The frame "leaves" as the first row arrives: what the worker sends
    // after that belongs to an album the window no longer shows.
    QObject::connect(&frame, &FrameAlbum::pictureListed, [&](int row) {
        if (row == 0)
            frame.Forget();
    });
    frame.Start();
    frame.ReadAlbum({});
    frame.WaitForIdle();
    EXPECT_EQ(frame.Album().Count(), 1);
    EXPECT_EQ(readEnds, 0);
    EXPECT_EQ(staleEnds, 1);
    EXPECT_FALSE(frame.Busy());

    // The same for a batch, whose end still comes (the window stops
    // waiting for it); rows it made after the leaving never show.
    frame.Album().Clear();
    BatchOptions options;
    options.startQuality = 90;
    AddSteps steps;
    steps.fileOf = [&](const AlbumEntry& e) {
        const QString path = QString::fromStdString(tmp.File("row" + std::to_string(e.bytes.size()) + ".bmp"));
        QFile f(path);
        return f.open(QIODevice::WriteOnly) ? path : QString();
    };
    frame.AddBatch(files, options, steps);
    ASSERT_TRUE(WaitUntil([&] { return !frame.Busy(); }, 30000));
    EXPECT_EQ(frame.Album().Count(), 1);
    EXPECT_EQ(batchEnds, 1);
    EXPECT_EQ(staleEnds, 2);
    EXPECT_TRUE(QFile::exists(frame.Album().At(0).file));
}

} // namespace
} // namespace kestova::desktop

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
