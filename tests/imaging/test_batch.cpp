// SPDX-License-Identifier: GPL-3.0-or-later
// The batch preparer on worker threads against the serial run: same bytes,
// same order, failures at their place, the carried quality settled in order.

#include "imaging/BatchPrepare.h"

#include "TestPictures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>

#include <atomic>
#include <future>
#include <random>

using namespace kestova;
using namespace kestova::testing;

namespace {

constexpr int kLcdW = 96, kLcdH = 64;

QImage Noise(int w, int h, unsigned seed) {
    QImage img(w, h, QImage::Format_RGB32);
    std::mt19937 rng(seed);
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
        for (int x = 0; x < w; ++x) line[x] = qRgb(int(rng() & 255), int(rng() & 255), int(rng() & 255));
    }
    return img;
}

struct Batch {
    kestova::test::TempDir dir;
    std::vector<QString> files;
    QString noisy;        // needs a lower quality than the rest
    QString afterNoisy;   // the picture straight after it
    std::size_t slot = 0;

    Batch() {
        auto add = [&](const std::string& name, const QByteArray& bytes) {
            const QString path = QString::fromStdString(dir.File(name));
            if (!bytes.isNull()) WriteFile(path, bytes);
            files.push_back(path);
            return path;
        };
        const QByteArray photo = Encode(Photo(640, 480), "JPEG", 92);
        add("a.jpg", photo);
        add("b.png", Encode(Quadrants(300, 500), "PNG"));
        add("broken.jpg", photo.left(photo.size() / 2));                    // truncated: fails
        noisy = add("noise.png", Encode(Noise(200, 140, 5), "PNG"));
        afterNoisy = add("c.jpg", Encode(Photo(800, 600), "JPEG", 80));
        add("d.jpg", WithExifOrientation(Encode(Quadrants(400, 300), "JPEG", 95), 6));
        add("missing.jpg", QByteArray());                                  // never written
        add("e.jpg", Encode(Photo(1000, 400), "JPEG", 85));
        // A slot the smooth pictures fit at 90 and the noise only at 40 or below.
        const PreparedPicture n = PreparePictureFile(noisy, kLcdW, kLcdH);
        slot = FitPictureToSlot(ToRgbImage(n.image), 40, 1 << 20).bytes.size();
    }
};

std::vector<BatchResult> Collect(const std::function<void(const std::function<bool(BatchResult&)>&)>& run) {
    std::vector<BatchResult> out;
    run([&](BatchResult& r) {
        out.push_back(std::move(r));
        return true;
    });
    return out;
}

void ExpectSame(const std::vector<BatchResult>& serial, const std::vector<BatchResult>& parallel,
                const std::string& label) {
    ASSERT_EQ(serial.size(), parallel.size()) << label;
    for (std::size_t i = 0; i < serial.size(); ++i) {
        const BatchResult& s = serial[i];
        const BatchResult& p = parallel[i];
        SCOPED_TRACE(label + " picture " + std::to_string(i));
        EXPECT_EQ(p.index, i);
        EXPECT_EQ(p.path, s.path);
        EXPECT_EQ(p.prepared.error, s.prepared.error);
        EXPECT_EQ(p.prepared.message, s.prepared.message);
        EXPECT_TRUE(p.prepared.image == s.prepared.image);
        EXPECT_EQ(p.fit.status, s.fit.status);
        EXPECT_EQ(p.fit.quality, s.fit.quality);
        EXPECT_EQ(p.fit.attempts, s.fit.attempts);
        EXPECT_EQ(p.fit.bytes, s.fit.bytes);
        EXPECT_EQ(p.startQuality, s.startQuality);
        EXPECT_EQ(p.ok(), s.ok());
    }
}

} // namespace

TEST(BatchPrepare, ParallelEqualsSerialByteForByte) {
    Batch b;
    struct Case {
        const char* label;
        bool fit, carry;
        unsigned threads, window;
    } cases[] = {
        {"prepare only", false, false, 2, 0},
        {"fit, fixed quality", true, false, 2, 0},
        {"fit, carried quality", true, true, 2, 2},
        {"carried, wide window", true, true, 3, 8},
        {"carried, one thread", true, true, 1, 1},
    };
    for (const Case& c : cases) {
        BatchOptions o;
        o.lcdWidth = kLcdW;
        o.lcdHeight = kLcdH;
        o.slotSize = c.fit ? b.slot : 0;
        o.startQuality = 90;
        o.carryQuality = c.carry;
        o.threads = c.threads;
        o.window = c.window;
        const auto serial = Collect([&](auto consume) { PrepareBatchSerially(b.files, o, consume); });
        const auto parallel = Collect([&](auto consume) { PrepareBatch(b.files, o, consume); });
        ExpectSame(serial, parallel, c.label);

        // The batch does what it is meant to exercise: failures in place and,
        // with carrying, the quality forced down from the noisy picture on.
        ASSERT_EQ(serial.size(), b.files.size());
        EXPECT_EQ(serial[2].prepared.error, PictureError::Truncated) << c.label;
        EXPECT_EQ(serial[6].prepared.error, PictureError::CannotOpen) << c.label;
        if (c.fit) {
            EXPECT_EQ(serial[0].fit.quality, 90) << c.label;
            EXPECT_LE(serial[3].fit.quality, 40) << c.label;
            EXPECT_EQ(serial[4].startQuality, c.carry ? serial[3].fit.quality : 90) << c.label;
            EXPECT_EQ(serial[7].startQuality, c.carry ? serial[3].fit.quality : 90) << c.label;
        }
    }
}

TEST(BatchPrepare, SpeculativeFitAboveTheCarriedQualityIsRedoneInOrder) {
    // The noisy picture's preparation waits until the picture after it has
    // been prepared, so that one is fitted at 90 before the quality falls:
    // the result must still be the serial one, fitted again in order.
    Batch b;
    std::promise<void> afterDone;
    std::shared_future<void> afterReady = afterDone.get_future().share();
    BatchOptions o;
    o.lcdWidth = kLcdW;
    o.lcdHeight = kLcdH;
    o.slotSize = b.slot;
    o.carryQuality = true;
    o.threads = 2;
    o.window = 4;
    const auto serial = Collect([&](auto consume) { PrepareBatchSerially(b.files, o, consume); });
    o.prepare = [&](const QString& path) {
        if (path == b.noisy) afterReady.wait();
        PreparedPicture p = PreparePictureFile(path, kLcdW, kLcdH);
        if (path == b.afterNoisy) afterDone.set_value();
        return p;
    };
    BatchPreparer batch(b.files, o);
    std::vector<BatchResult> parallel;
    BatchResult r;
    while (batch.Next(r)) parallel.push_back(std::move(r));
    ExpectSame(serial, parallel, "slowed noisy picture");
    EXPECT_GE(batch.Refits(), 1u);
    EXPECT_TRUE(parallel[4].refitted);
}

TEST(BatchPrepare, StaysWithinItsWindowAndStopsEarly) {
    Batch b;
    std::atomic<std::size_t> started{0};
    BatchOptions o;
    o.lcdWidth = kLcdW;
    o.lcdHeight = kLcdH;
    o.threads = 2;
    o.window = 2;
    o.prepare = [&](const QString& path) {
        ++started;
        return PreparePictureFile(path, kLcdW, kLcdH);
    };
    {
        BatchPreparer batch(b.files, o);
        BatchResult r;
        for (std::size_t k = 0; k < 3; ++k) {
            ASSERT_TRUE(batch.Next(r));
            EXPECT_EQ(r.index, k);
            // Once the caller holds k + 1 pictures, at most `window` more
            // have been handed out.
            EXPECT_LE(started.load(), k + 1 + o.window);
        }
        // Leaving early: the destructor stops the workers without waiting
        // for the rest of the batch.
    }
    EXPECT_LT(started.load(), b.files.size());

    BatchPreparer empty({}, o);
    BatchResult r;
    EXPECT_FALSE(empty.Next(r));
}

TEST(BatchPrepare, PromisesOnlyAFileThatPassedItsChecks) {
    // kestova-cli starts writing on a promise, so a batch of files that fail
    // before decoding must never give one, and a batch with a good file must
    // give one before that file is handed out.
    Batch b;
    const QString missing = b.files[6], truncated = b.files[2], good = b.files[0];
    BatchOptions o;
    o.lcdWidth = kLcdW;
    o.lcdHeight = kLcdH;
    o.slotSize = b.slot;
    struct Case {
        const char* label;
        std::vector<QString> files;
        bool promise;
        unsigned threads;
    } cases[] = {
        {"only failures, one worker", {missing, truncated, missing}, false, 1},
        {"only failures, two workers", {truncated, missing, truncated, missing}, false, 2},
        {"a good file last, one worker", {missing, truncated, good}, true, 1},
        {"a good file last, two workers", {truncated, missing, good}, true, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        o.threads = c.threads;
        BatchPreparer batch(c.files, o);
        bool promised = false;
        BatchResult r;
        for (;;) {
            if ((promised = batch.WaitForPromise())) break;
            if (!batch.Next(r)) break;
            EXPECT_FALSE(r.ok());
        }
        EXPECT_EQ(promised, c.promise);
        if (c.promise) {
            EXPECT_LT(batch.Delivered(), c.files.size()) << "the good file is still to come";
        }
    }
}

