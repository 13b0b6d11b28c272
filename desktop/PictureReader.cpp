// SPDX-License-Identifier: GPL-3.0-or-later
#include "desktop/PictureReader.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace kestova::desktop {

struct PictureReader::State {
    std::mutex mutex;
    std::condition_variable wake;
    struct Job {
        Read read;
        quint64 generation = 0;
        std::shared_ptr<std::atomic<bool>> cancel;
    };
    std::unique_ptr<Job> request;                // asked, not yet taken
    std::shared_ptr<std::atomic<bool>> reading;  // cancel flag of the read running
    PictureReader* owner = nullptr;              // null once the reader has ended
};

namespace {

// Threads of readers that ended while a cancelled read still ran.
struct Leftovers {
    std::mutex mutex;
    std::vector<std::thread> threads;
    void JoinAll()
    {
        std::vector<std::thread> ending;
        {
            std::lock_guard lock(mutex);
            ending.swap(threads);
        }
        for (std::thread& t : ending)
            t.join();
    }
    ~Leftovers() { JoinAll(); }
};

Leftovers& TheLeftovers()
{
    // The shared budget is made first, so it goes after the joins at exit.
    DecodeBudget::Shared();
    static Leftovers leftovers;
    return leftovers;
}

void JoinLeftoversAtAppEnd() { TheLeftovers().JoinAll(); }

} // namespace

PictureReader::PictureReader(QObject* parent) : QObject(parent), state_(std::make_shared<State>())
{
    state_->owner = this;
}

PictureReader::~PictureReader()
{
    bool idle;
    {
        std::lock_guard lock(state_->mutex);
        state_->owner = nullptr;  // nothing is sent to this object from now on
        state_->request.reset();
        idle = !state_->reading;
        if (state_->reading)
            state_->reading->store(true);
    }
    state_->wake.notify_all();
    if (!thread_.joinable())
        return;
    if (idle) {
        thread_.join();  // waiting for work, it ends at once
        return;
    }
    Leftovers& leftovers = TheLeftovers();
    static std::once_flag registered;
    if (QCoreApplication::instance())
        std::call_once(registered, [] { qAddPostRoutine(JoinLeftoversAtAppEnd); });
    std::lock_guard lock(leftovers.mutex);
    leftovers.threads.push_back(std::move(thread_));
}

void PictureReader::JoinLeftovers() { TheLeftovers().JoinAll(); }

void PictureReader::Start(Read read)
{
    busy_ = true;
    auto job = std::make_unique<State::Job>();
    job->read = std::move(read);
    job->generation = ++generation_;
    job->cancel = std::make_shared<std::atomic<bool>>(false);
    {
        std::lock_guard lock(state_->mutex);
        state_->request = std::move(job);
        if (state_->reading)
            state_->reading->store(true);
    }
    state_->wake.notify_all();
    if (!thread_.joinable())
        thread_ = std::thread([state = state_] { Run(state); });
}

void PictureReader::Cancel()
{
    if (!busy_)
        return;
    busy_ = false;
    ++generation_;
    std::lock_guard lock(state_->mutex);
    state_->request.reset();
    if (state_->reading)
        state_->reading->store(true);
}

void PictureReader::Run(const std::shared_ptr<State>& state)
{
    for (;;) {
        std::unique_ptr<State::Job> job;
        {
            std::unique_lock lock(state->mutex);
            state->wake.wait(lock, [&] { return !state->owner || state->request; });
            if (!state->owner)
                return;
            job = std::move(state->request);
            state->reading = job->cancel;
        }
        PictureLimits limits;
        limits.cancel = job->cancel.get();
        Finish finish;
        try {
            finish = job->read(limits);
        } catch (...) {
            finish = {};  // a read that throws shows nothing; the request still ends
        }
        std::lock_guard lock(state->mutex);
        state->reading.reset();
        if (!state->owner)
            return;
        if (job->cancel->load())
            continue;  // replaced or dropped: nothing to hand over
        // Sent while the owner is known to live (it clears `owner` under
        // this lock before it goes; a call still queued then goes with it).
        PictureReader* owner = state->owner;
        QMetaObject::invokeMethod(
            owner,
            [owner, generation = job->generation, finish = std::move(finish)] {
                if (generation != owner->generation_)
                    return;  // a newer request came after this one was read
                owner->busy_ = false;
                if (finish)
                    finish();
            },
            Qt::QueuedConnection);
    }
}

} // namespace kestova::desktop
