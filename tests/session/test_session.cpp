// SPDX-License-Identifier: GPL-3.0-or-later
// The album session on virtual frames: opening, fetching and decoding,
// adding with fitting, committing, exporting, attaching, and the words for
// what failed.

#include "session/FrameLink.h"
#include "session/FrameSession.h"

#include "common/coder/Kv350Encoder.h"
#include "device/virtual/FrameImage.h"
#include "device/virtual/VirtualFrame.h"
#include "tests/support/PictureSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <random>

namespace kestova::session {
namespace {

using Bytes = std::vector<uint8_t>;
using test::TempDir;

using kestova::test::DevicePicture;
using kestova::test::Noise;

// A frame image with its own facade and session.
struct Rig {
    explicit Rig(const std::string& path, int lcd = 128, int maxPictures = 60, const std::string& options = "")
        : image(path) {
        if (!std::filesystem::exists(path)) {
            FrameImageLayout l;
            l.lcdWidth = l.lcdHeight = uint16_t(lcd);
            l.maxPictures = uint16_t(maxPictures);
            FormatFrameImage(path, l);
        }
        auto link = std::make_unique<CCommUSB>();
        link->AttachUnit(VirtualFrame::Open(path + options));
        dpf.Init(std::move(link));
    }
    std::string image;
    DPF dpf;
    FrameSession session{dpf};
};

void Seed(const std::string& path, const std::vector<Bytes>& pictures, int lcd = 128) {
    Rig rig(path, lcd);
    ASSERT_TRUE(rig.session.Open().ok());
    for (const Bytes& p : pictures) ASSERT_EQ(rig.dpf.AddData(p.data(), int(p.size())), 1);
    ASSERT_TRUE(rig.session.Commit().ok());
}

TEST(SessionOpen, ReadsTheFrameAndEveryPictureWholeAndDecoded) {
    TempDir tmp;
    const std::string img = tmp.File("f.img");
    const std::vector<Bytes> pics = {DevicePicture(Noise(128, 128, 20), 80), Bytes(3000, 0x5A),
                                     DevicePicture(Noise(128, 128, 60), 90)};
    Seed(img, pics);

    Rig rig(img, 128, 60, ",log=" + tmp.File("cmds.log"));
    const OpenResult o = rig.session.Open({.setClock = true, .readFirmware = true});
    ASSERT_TRUE(o.ok()) << OpenFailureText(o);
    EXPECT_EQ(o.info.lcdWidth, 128);
    EXPECT_EQ(o.info.pictures, 3);
    EXPECT_EQ(o.info.maxPictures, 60);
    EXPECT_GT(o.info.slotSize, 0);
    EXPECT_TRUE(o.info.clockSet);
    EXPECT_EQ(o.info.firmware, "VF-1.00");
    const Bytes log = test::ReadFile(tmp.File("cmds.log"));
    EXPECT_EQ(std::string(log.begin(), log.begin() + 3), "ca ");  // the clock goes first

    const AlbumPicture first = rig.session.ReadPicture(0);
    ASSERT_TRUE(first.ok());
    EXPECT_EQ(first.bytes, pics[0]);
    EXPECT_EQ(first.pixels.width, 128);
    EXPECT_EQ(first.pixels.height, 128);

    const AlbumPicture bad = rig.session.ReadPicture(1);
    EXPECT_EQ(bad.status, PictureStatus::NotDecodable);
    EXPECT_EQ(bad.bytes, pics[1]);  // fetched whole all the same
    EXPECT_FALSE(bad.error.empty());

    EXPECT_EQ(rig.session.ReadPicture(3).status, PictureStatus::NoSuchPicture);
    EXPECT_EQ(rig.session.ReadPicture(-1).status, PictureStatus::NoSuchPicture);
}

TEST(SessionOpen, PictureLongerThanAScreenfulOfPixelsIsFetchedWhole) {
    TempDir tmp;
    const std::string img = tmp.File("f.img");
    const Bytes pic = DevicePicture(Noise(16, 16, 127), 100);
    ASSERT_GT(pic.size(), 16u * 16u * 3u);
    Seed(img, {pic}, 16);
    Rig rig(img, 16);
    ASSERT_TRUE(rig.session.Open().ok());
    const AlbumPicture p = rig.session.ReadPicture(0);
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p.bytes, pic);
}

TEST(SessionOpen, FailuresComeBackAsResultsWithWords) {
    TempDir tmp;
    // No frame on the link.
    {
        DPF dpf;
        dpf.Init(std::make_unique<CCommUSB>());
        FrameSession s(dpf);
        const OpenResult o = s.Open();
        EXPECT_EQ(o.status, OpenStatus::NotOnline);
        EXPECT_EQ(OpenFailureText(o), "no frame is attached");
    }
    // An album area too small for one 4096-byte slot for each of 480 pictures
    // (the information block is patched: the image maker refuses to make one).
    {
        FormatFrameImage(tmp.File("small.img"), {});
        Bytes image = test::ReadFile(tmp.File("small.img"));
        image[46] = 480 & 0xFF;
        image[47] = 480 >> 8;
        test::WriteFile(tmp.File("small.img"), image);
        Rig rig(tmp.File("small.img"));
        const OpenResult o = rig.session.Open();
        EXPECT_EQ(o.status, OpenStatus::AlbumUnusable);
        EXPECT_EQ(o.failure.storeCode, kAlbumErrorUnusable);
        EXPECT_EQ(o.info.lcdWidth, 128);  // the device's own fields are still there
        EXPECT_NE(OpenFailureText(o).find("unusable"), std::string::npos);
    }
    // The frame drops off the bus during the read.
    {
        Seed(tmp.File("gone.img"), {DevicePicture(Noise(128, 128, 20), 80)});
        Rig rig(tmp.File("gone.img"), 128, 60, ",unplug_after=3");
        const OpenResult o = rig.session.Open();
        EXPECT_EQ(o.status, OpenStatus::ReadFailed);
        EXPECT_EQ(o.failure.storeCode, kAlbumErrorRead);
        EXPECT_EQ(OpenFailureText(o).rfind("reading the album was cut off (a read failed", 0), 0u)
            << OpenFailureText(o);
    }
}

TEST(SessionAdd, OneFittingCallOneResult) {
    TempDir tmp;
    // 8192-byte slots: 120 pictures in the 1 MiB album.
    const RgbImage plain = Noise(128, 128, 0);
    // The smallest noise whose device picture at 80 is too large but fits at 70.
    auto size = [](const RgbImage& i, int q) { return DevicePicture(i, q).size(); };
    int lo = 0, hi = 128;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (size(Noise(128, 128, mid), 80) > 8192) hi = mid;
        else lo = mid + 1;
    }
    const RgbImage needs70 = Noise(128, 128, lo);
    ASSERT_LE(size(needs70, 70), 8192u);
    // 4096-byte slots for a 256 x 256 LCD: pixel noise never fits.
    const RgbImage loud = Noise(256, 256, 127, 9);
    ASSERT_GT(size(loud, 10), 4096u);

    struct Case {
        const char* name;
        const RgbImage* picture;
        int lcd;
        int maxPictures;
        bool keep;
        AddStatus status;
        int quality;
    } cases[] = {
        {"fits at once", &plain, 128, 120, true, AddStatus::Added, 90},
        {"fits lower", &needs70, 128, 120, true, AddStatus::Added, 70},
        {"never fits", &loud, 256, 240, true, AddStatus::TooLarge, 0},
        {"album full", &plain, 128, 1, true, AddStatus::AlbumFull, 90},
        {"keep step says no", &plain, 128, 120, false, AddStatus::Refused, 90},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string img = tmp.File("a" + std::to_string(n++) + ".img");
        FrameImageLayout l;
        l.lcdWidth = l.lcdHeight = uint16_t(c.lcd);
        l.maxPictures = uint16_t(c.maxPictures);
        FormatFrameImage(img, l);
        if (c.maxPictures == 1) Seed(img, {DevicePicture(plain, 50)});
        Rig rig(img, c.lcd);
        ASSERT_TRUE(rig.session.Open().ok());
        const int before = rig.session.PictureCount();
        Bytes kept;
        const AddResult r = rig.session.AddPreparedPicture(*c.picture, 90, 3, [&](const Bytes& b) {
            kept = b;
            return c.keep;
        });
        EXPECT_EQ(r.status, c.status) << AddFailureText(r);
        EXPECT_EQ(r.quality, c.quality);
        EXPECT_EQ(rig.session.PictureCount(), before + (r.ok() ? 1 : 0));
        if (c.status == AddStatus::TooLarge) {
            EXPECT_EQ(r.lowestQuality, 10);
            EXPECT_EQ(r.attempts, 9);
            EXPECT_NE(AddFailureText(r).find("quality 10"), std::string::npos);
            EXPECT_TRUE(kept.empty());  // nothing to keep
            continue;
        }
        // What was kept and added is exactly a plain encode at the winning quality.
        EXPECT_EQ(kept, DevicePicture(*c.picture, c.quality));
        EXPECT_EQ(r.bytes, kept);
        if (r.ok()) {
            EXPECT_EQ(rig.session.FetchPicture(before).bytes, kept);
        }
    }
}

TEST(SessionAdd, FromABitmapFileAsTheStageProgramKeepsIt) {
    TempDir tmp;
    const std::string img = tmp.File("f.img");
    FormatFrameImage(img, {});
    std::vector<uint8_t> added;
    {
        Rig rig(img);
        ASSERT_TRUE(rig.session.Open().ok());
        const RgbImage pic = Noise(128, 128, 30);
        ASSERT_TRUE(WriteBmp24(tmp.File("p.bmp"), pic));
        const AddResult r = rig.session.AddPreparedBitmap(tmp.File("p.bmp"), 90);
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r.bytes, DevicePicture(pic, 90));
        // A bitmap of another size, or none, is refused without touching the album.
        ASSERT_TRUE(WriteBmp24(tmp.File("small.bmp"), Noise(64, 64, 30)));
        EXPECT_EQ(rig.session.AddPreparedBitmap(tmp.File("small.bmp"), 90).status, AddStatus::Refused);
        EXPECT_EQ(rig.session.AddPreparedBitmap(tmp.File("none.bmp"), 90).status, AddStatus::Refused);
        EXPECT_EQ(rig.session.PictureCount(), 1);

        ASSERT_TRUE(rig.session.Commit().ok());
        added = r.bytes;
    }  // the frame is let go before it is opened again
    Rig again(img);
    ASSERT_TRUE(again.session.Open().ok());
    EXPECT_EQ(again.session.FetchPicture(0).bytes, added);
}

TEST(SessionCommit, FrameThatLeavesMidCommitIsAFailureNotAnException) {
    TempDir tmp;
    const std::string img = tmp.File("f.img");
    FormatFrameImage(img, {});
    Rig rig(img, 128, 60, ",unplug_after=40");
    ASSERT_TRUE(rig.session.Open().ok());
    ASSERT_TRUE(rig.session.AddPreparedPicture(Noise(128, 128, 40), 90).ok());
    const CommitResult c = rig.session.Commit();
    EXPECT_EQ(c.status, CommitStatus::Failed);
    EXPECT_NE(c.failure.storeCode, 0);
    EXPECT_FALSE(c.failure.Text(true).empty());
}

TEST(SessionExport, BmpAndTheExactJpeg) {
    TempDir tmp;
    const RgbImage pic = Noise(128, 128, 25);
    ASSERT_TRUE(ExportPicture(pic, tmp.File("a.bmp"), ExportFormat::Bmp));
    RgbImage back;
    ASSERT_TRUE(ReadBmp(tmp.File("a.bmp"), back));
    EXPECT_EQ(back.rgb, pic.rgb);

    Bytes jpeg;
    ASSERT_TRUE(CKv350Encoder::Encode(pic, 100, 3, true, jpeg));
    ASSERT_TRUE(ExportPicture(pic, tmp.File("a.jpg"), ExportFormat::Jpeg));
    EXPECT_EQ(test::ReadFile(tmp.File("a.jpg")), jpeg);
    // From the bitmap file: the BMP byte for byte, the JPEG the same as above.
    ASSERT_TRUE(ExportBitmapFile(tmp.File("a.bmp"), 128, 128, tmp.File("b.bmp"), ExportFormat::Bmp));
    EXPECT_EQ(test::ReadFile(tmp.File("b.bmp")), test::ReadFile(tmp.File("a.bmp")));
    ASSERT_TRUE(ExportBitmapFile(tmp.File("a.bmp"), 128, 128, tmp.File("b.jpg"), ExportFormat::Jpeg));
    EXPECT_EQ(test::ReadFile(tmp.File("b.jpg")), jpeg);

    // A folder that is not there: false, and no file.
    EXPECT_FALSE(ExportPicture(pic, tmp.File("no/such.jpg"), ExportFormat::Jpeg));
    EXPECT_FALSE(ExportPicture(RgbImage{}, tmp.File("empty.bmp"), ExportFormat::Bmp));
    EXPECT_FALSE(std::filesystem::exists(tmp.File("empty.bmp")));
}

TEST(SessionAttach, VirtualFrameArgumentsAndWords) {
    TempDir tmp;
    FormatFrameImage(tmp.File("f.img"), {});
    AttachResult ok = AttachFrame(FrameChoice(tmp.File("f.img")));
    ASSERT_TRUE(ok.ok());
    EXPECT_TRUE(ok.link->GetUSBDeviceStatus());
    EXPECT_EQ(ok.link->UnitName(), tmp.File("f.img"));

    const AttachResult bad = AttachFrame(FrameChoice(tmp.File("f.img") + ",bogus=1"));
    EXPECT_EQ(bad.status, AttachStatus::BadFrameArgument);
    EXPECT_EQ(AttachFailureText(bad), "--frame: unknown virtual frame option 'bogus'");
    const AttachResult missing = AttachFrame(FrameChoice(tmp.File("none.img")));
    EXPECT_EQ(missing.status, AttachStatus::CannotOpen);
    EXPECT_EQ(AttachFailureText(missing).rfind("cannot attach the virtual frame: ", 0), 0u);
    EXPECT_EQ(missing.link, nullptr);

    // While one link holds the frame, another attach is refused as busy
    // (naming this program), never as "no frame found".
    const AttachResult busy = AttachFrame(FrameChoice(tmp.File("f.img")));
    EXPECT_EQ(busy.status, AttachStatus::Busy);
    EXPECT_EQ(busy.link, nullptr);
    EXPECT_EQ(AttachFailureText(busy).rfind("the frame is in use by process 'session_tests' (pid ", 0), 0u)
        << AttachFailureText(busy);
    auto held = MakeLink(FrameChoice(tmp.File("f.img"), false));
    EXPECT_FALSE(held->ScanForFrame());
    EXPECT_EQ(held->FrameInUse().node, tmp.File("f.img"));
    held.reset();
    ok.link.reset();  // let go

    // A program that follows the frame gets the virtual frame as a candidate.
    auto link = MakeLink(FrameChoice(tmp.File("f.img"), false));
    EXPECT_TRUE(link->ScanForFrame());
    EXPECT_EQ(link->UnitName(), tmp.File("f.img"));
    EXPECT_FALSE(MakeLink(FrameChoice("", false))->ScanForFrame());
}

TEST(SessionWords, EveryStoreAndReadCodeHasWords) {
    EXPECT_EQ(StoreFailureText(1), "a read failed");
    EXPECT_EQ(StoreFailureText(1, true), "a write failed its check");
    EXPECT_EQ(StoreFailureText(2), "an erase failed");
    EXPECT_NE(StoreFailureText(3).find("unusable"), std::string::npos);
    EXPECT_EQ(ReadFailureText(1), "checksum query failed");
    EXPECT_EQ(ReadFailureText(2), "checksum mismatch");
    EXPECT_EQ(ReadFailureText(3), "read failed");
    EXPECT_EQ((Failure{2, "medium not present"}.Text()), "an erase failed: medium not present");
}

TEST(SessionWords, WhyACommandFailed) {
    ScsiResult descriptor = ScsiResult::Check(0, 0, 0);
    descriptor.sense = {0x72, 0x05, 0x24, 0x00};
    descriptor.senseLength = 8;
    ScsiResult noSense = ScsiResult::Check(0, 0, 0);
    noSense.senseLength = 0;
    ScsiResult transport = ScsiResult::Transport();
    transport.hostStatus = 0x07;
    ScsiResult busy = ScsiResult::Transport();
    busy.scsiStatus = 0x08;
    const struct {
        ScsiResult result;
        DataDirection direction;
        const char* words;
    } cases[] = {
        {ScsiResult::Good(), DataDirection::FromDevice, ""},
        {ScsiResult::Good(12), DataDirection::ToDevice, ""},
        {ScsiResult::Good(12), DataDirection::FromDevice, "the frame sent 12 bytes fewer than asked for"},
        {ScsiResult::Check(0x2, 0x3A, 0x00), DataDirection::None, "medium not present"},
        {ScsiResult::Check(0x5, 0x20, 0x00), DataDirection::None, "illegal request (invalid command operation code)"},
        {ScsiResult::Check(0x5, 0x21, 0x00), DataDirection::None, "illegal request (address out of range)"},
        {descriptor, DataDirection::None, "illegal request (invalid field in the command)"},
        {ScsiResult::Check(0x3, 0x11, 0x00), DataDirection::None, "medium error (unrecovered read error)"},
        {ScsiResult::Check(0x7, 0x27, 0x00), DataDirection::None, "data protect (write protected)"},
        {ScsiResult::Check(0x9, 0x80, 0x01), DataDirection::None, "sense key 0x09, additional sense 0x80/0x01"},
        {noSense, DataDirection::None, "check condition without sense data"},
        {transport, DataDirection::None, "transport error (host status 0x07)"},
        {busy, DataDirection::None, "transport error (SCSI status 0x08)"},
        {ScsiResult::System(EBADF), DataDirection::None, "system error (Bad file descriptor)"},
    };
    for (const auto& c : cases) EXPECT_EQ(CommandFailureText(c.result, c.direction), c.words);
}

} // namespace
} // namespace kestova::session
