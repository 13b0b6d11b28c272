// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Preparing a batch of picture files on every core: loading, orientation,
// cover-scale, crop and the fitting into one album slot run on a pool of
// worker threads, while the caller takes the results one by one in the order
// the files were given (picture k can be written to the frame while k+1...
// are still being decoded).
//
//     BatchOptions o;
//     o.lcdWidth = 320; o.lcdHeight = 240;
//     o.slotSize = dpf.GetOnePicSize(); o.startQuality = 90; o.carryQuality = true;
//     BatchPreparer batch(files, o);            // workers start at once
//     BatchResult r;
//     while (batch.Next(r)) {                   // blocks for the next in order
//         if (!r.ok()) { report r.Message(); continue; }   // a failure, at its place
//         dpf.AddData(r.fit.bytes.data(), int(r.fit.bytes.size()));
//     }
//
// What comes out is byte for byte what PrepareBatchSerially (one picture
// after the other on the caller's thread) gives: every step is deterministic,
// and the quality carried from one picture to the next is settled in order
// on the caller's thread (see BatchOptions::carryQuality).
//
// Memory stays bounded: at most `window` pictures are taken up ahead of the
// one the caller waits for, so a batch of hundreds of camera photos holds a
// few decoded pictures at a time, however slowly the caller takes them.

#include "common/coder/Kv350Encoder.h"
#include "imaging/Preparation.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace kestova {

struct BatchOptions {
    int lcdWidth = 0;
    int lcdHeight = 0;
    Rotation rotation = Rotation::None;
    CropPlacement crop = CropPlacement::Centre;
    PictureLimits limits;
    // Replaces PreparePictureFile for callers that prepare differently (a
    // stage placement, say). Called on worker threads, several at once: it
    // must not touch shared state without its own lock.
    std::function<PreparedPicture(const QString& path)> prepare;

    // Fitting into one album slot; slotSize 0 = prepare only, no fitting.
    std::size_t slotSize = 0;
    int startQuality = 90;
    int mode = 3;
    // false: every picture starts at startQuality (kestova-cli add).
    // true: a picture starts at the quality that fitted the picture before it
    // (failures change nothing), as the desktop programs do. Workers fit at
    // the carried quality known when they start; in order, a result whose
    // tried qualities cover the ones the serial run would try is kept, any
    // other is fitted again at the right quality (only after the quality
    // went down, so rarely).
    bool carryQuality = false;

    unsigned threads = 0;  // 0 = as many as the machine has cores
    unsigned window = 0;   // pictures ahead of the caller; 0 = 2 x threads
};

struct BatchResult {
    std::size_t index = 0;         // position in the batch
    QString path;
    PreparedPicture prepared;      // the LCD-size picture, or why it failed
    bool fitting = false;          // fitting was asked for (slotSize > 0)
    FitResult fit;                 // when fitting: the device picture (see fit.status)
    int startQuality = 0;          // the quality the fit started at (carried); 0 without fitting
    bool refitted = false;         // fitted again in order (carried quality fell)
    // Prepared, and fitted when fitting was asked for.
    bool ok() const;
};

// The batch, one picture after the other on the caller's thread: the
// reference the parallel preparer must equal. `consume` gets each result in
// order; returning false stops the batch.
void PrepareBatchSerially(const std::vector<QString>& files, const BatchOptions& options,
                          const std::function<bool(BatchResult&)>& consume);

class BatchPreparer {
public:
    // Starts the workers at once.
    BatchPreparer(std::vector<QString> files, BatchOptions options);
    // Stops handing out work, waits for the pictures in progress, joins.
    ~BatchPreparer();
    BatchPreparer(const BatchPreparer&) = delete;
    BatchPreparer& operator=(const BatchPreparer&) = delete;

    // The next picture in order, waiting for it when needed; false once all
    // have been delivered (or after Cancel). Call from one thread.
    bool Next(BatchResult& out);
    // No more pictures are started; Next returns false from now on.
    void Cancel();

    // Waits until some picture of the batch has passed the checks made
    // before decoding (then true: a picture is on its way, most likely good,
    // so work that must not be done for nothing can start), or until the
    // next picture in order is ready, or the batch is over (then false: take
    // it with Next and ask again). Same thread as Next.
    bool WaitForPromise();

    std::size_t Size() const { return files_.size(); }
    std::size_t Delivered() const { return delivered_; }
    unsigned Threads() const { return unsigned(workers_.size()); }
    std::size_t Refits() const { return refits_; }

private:
    void Work();

    std::vector<QString> files_;
    BatchOptions options_;
    std::size_t window_ = 1;

    std::mutex mutex_;
    std::condition_variable ready_;   // a result arrived
    std::condition_variable room_;    // the caller took one: the window moved
    std::vector<std::optional<BatchResult>> results_;
    std::size_t nextJob_ = 0;
    std::size_t delivered_ = 0;
    std::size_t promising_ = 0;       // pictures past their checks (or prepared by options.prepare)
    bool stop_ = false;

    std::atomic<int> carried_;        // the carried quality as far as known
    std::size_t refits_ = 0;
    std::vector<std::thread> workers_;
};

// PrepareBatchSerially's contract on the worker pool.
void PrepareBatch(const std::vector<QString>& files, const BatchOptions& options,
                  const std::function<bool(BatchResult&)>& consume);

} // namespace kestova
