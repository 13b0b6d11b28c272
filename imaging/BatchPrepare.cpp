// SPDX-License-Identifier: GPL-3.0-or-later
#include "imaging/BatchPrepare.h"

#include <algorithm>
#include <new>

namespace kestova {
namespace {

PreparedPicture PrepareOne(const QString& path, const BatchOptions& o, const std::function<void()>& checked) {
    try {
        if (o.prepare) return o.prepare(path);
        return PreparePictureFile(path, o.lcdWidth, o.lcdHeight, o.rotation, o.limits, checked, o.crop);
    } catch (const std::bad_alloc&) {
        PreparedPicture p;
        p.error = PictureError::TooLarge;
        p.message = path + QStringLiteral(": not enough memory to prepare the picture");
        return p;
    }
}

// Loads, prepares and (when asked) fits one picture, starting the fit at
// `quality`. Everything here is deterministic, so any thread gives the same.
BatchResult Build(std::size_t index, const QString& path, const BatchOptions& o, int quality,
                  const std::function<void()>& checked = {}) {
    BatchResult r;
    r.index = index;
    r.path = path;
    r.prepared = PrepareOne(path, o, checked);
    r.fitting = o.slotSize > 0;
    r.startQuality = r.fitting ? quality : 0;
    if (r.fitting && r.prepared.ok())
        r.fit = FitPictureToSlot(ToRgbImage(r.prepared.image), quality, o.slotSize, o.mode);
    return r;
}

// A fit that started at `tried` stands for one that starts at `wanted` when
// the qualities the second would try are the tail of what the first tried
// (same steps of 10, started at or above) and the first did not stop before
// that tail: then both stop at the same quality with the same bytes.
bool CoversStart(const FitResult& fit, int tried, int wanted) {
    if (fit.status == FitStatus::Invalid || fit.status == FitStatus::Unreadable) return true;
    if (tried == wanted) return true;
    if (tried < wanted || (tried - wanted) % 10 != 0) return false;
    return fit.status == FitStatus::TooLarge || fit.quality <= wanted;
}

// Settles result `r` in order: the carried quality is `carried`; a
// speculative fit that does not stand for the one starting there is redone.
// Returns the quality the next picture starts at.
int SettleInOrder(BatchResult& r, const BatchOptions& o, int carried, bool& refitted) {
    refitted = false;
    if (o.slotSize == 0) return carried;
    if (!r.prepared.ok()) {
        r.startQuality = carried;
        return carried;
    }
    if (!CoversStart(r.fit, r.startQuality, carried)) {
        r.fit = FitPictureToSlot(ToRgbImage(r.prepared.image), carried, o.slotSize, o.mode);
        refitted = true;
    } else if (r.startQuality != carried && r.fit.attempts > 0) {
        // The qualities above the carried one were tried only speculatively.
        r.fit.attempts -= (r.startQuality - carried) / 10;
    }
    r.startQuality = carried;
    r.refitted = refitted;
    return r.fit.ok() ? r.fit.quality : carried;
}

} // namespace

bool BatchResult::ok() const { return prepared.ok() && (!fitting || fit.ok()); }

void PrepareBatchSerially(const std::vector<QString>& files, const BatchOptions& options,
                          const std::function<bool(BatchResult&)>& consume) {
    KeptReadBuffer reading;
    int carried = options.startQuality;
    for (std::size_t i = 0; i < files.size(); ++i) {
        BatchResult r = Build(i, files[i], options, options.carryQuality ? carried : options.startQuality);
        if (options.carryQuality && options.slotSize > 0 && r.fit.ok()) carried = r.fit.quality;
        if (!consume(r)) return;
    }
}

BatchPreparer::BatchPreparer(std::vector<QString> files, BatchOptions options)
    : files_(std::move(files)), options_(std::move(options)), results_(files_.size()),
      carried_(options_.startQuality) {
    unsigned threads = options_.threads;
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    threads = unsigned(std::min<std::size_t>(threads, std::max<std::size_t>(files_.size(), 1)));
    window_ = options_.window ? options_.window : 2 * std::size_t(threads);
    window_ = std::max<std::size_t>(window_, threads);
    workers_.reserve(threads);
    for (unsigned t = 0; t < threads && !files_.empty(); ++t) workers_.emplace_back([this] { Work(); });
}

BatchPreparer::~BatchPreparer() {
    Cancel();
    for (std::thread& t : workers_) t.join();
}

void BatchPreparer::Cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    room_.notify_all();
    ready_.notify_all();
}

void BatchPreparer::Work() {
    // One file buffer for all this worker reads (fresh memory per photo
    // faulted in page by page was the pool's largest cost after decoding).
    KeptReadBuffer reading;
    for (;;) {
        std::size_t i = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            room_.wait(lock, [&] { return stop_ || nextJob_ >= files_.size() || nextJob_ < delivered_ + window_; });
            if (stop_ || nextJob_ >= files_.size()) return;
            i = nextJob_++;
        }
        // Speculation: the carried quality as far as the caller has settled
        // it; it only ever goes down, so this is at or above the final one.
        const int quality = options_.carryQuality ? carried_.load() : options_.startQuality;
        bool passed = false;
        const auto checked = [&] {
            passed = true;
            std::lock_guard<std::mutex> lock(mutex_);
            ++promising_;
            ready_.notify_all();
        };
        BatchResult r = Build(i, files_[i], options_, quality, checked);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!passed && r.prepared.ok()) ++promising_;  // a caller's own preparation
            results_[i] = std::move(r);
            ready_.notify_all();
        }
    }
}

bool BatchPreparer::Next(BatchResult& out) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (delivered_ >= files_.size()) return false;
        ready_.wait(lock, [&] { return stop_ || results_[delivered_].has_value(); });
        if (stop_) return false;
        out = std::move(*results_[delivered_]);
        results_[delivered_].reset();
        ++delivered_;
        room_.notify_all();
    }
    if (options_.slotSize > 0 && options_.carryQuality) {
        bool refitted = false;
        const int next = SettleInOrder(out, options_, carried_.load(), refitted);
        if (refitted) ++refits_;
        carried_.store(next);
    }
    return true;
}

bool BatchPreparer::WaitForPromise() {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [&] {
        return promising_ > 0 || stop_ || delivered_ >= files_.size() || results_[delivered_].has_value();
    });
    return promising_ > 0;
}

void PrepareBatch(const std::vector<QString>& files, const BatchOptions& options,
                  const std::function<bool(BatchResult&)>& consume) {
    BatchPreparer batch(files, options);
    BatchResult r;
    while (batch.Next(r))
        if (!consume(r)) return;
}

} // namespace kestova
