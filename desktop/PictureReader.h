// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reading a picture for a window without stopping it: the read runs on the
// reader's own thread, one at a time, and its result comes back to the
// window's thread as a queued call.
//
// - A newer request replaces the older one: the read in progress is
//   cancelled (PictureLimits::cancel; it stops at its next step) and its
//   result is dropped, as is a result that was already on its way.
// - Cancel drops whatever is asked or on its way.
// - The reader's end never waits for a decode: a read still running is
//   cancelled and left to finish on its own; the process joins it when the
//   application object goes (or at exit), so nothing it uses is torn down
//   under it.
//
// The window's thread owns the object; the read function runs on the
// reader's thread and must touch no widget: it hands back a function that
// is then called on the window's thread with the result.

#include "imaging/PictureLoader.h"

#include <QObject>

#include <functional>
#include <memory>
#include <thread>

namespace kestova::desktop {

class PictureReader : public QObject {
    Q_OBJECT
public:
    // What a read hands back; called on the window's thread, only when no
    // newer request (or Cancel) came first.
    using Finish = std::function<void()>;
    // The read itself, on the reader's thread; pass `limits` on to the
    // picture loader (its cancel flag is set when the read is not wanted).
    using Read = std::function<Finish(const PictureLimits& limits)>;

    explicit PictureReader(QObject* parent = nullptr);
    ~PictureReader() override;
    PictureReader(const PictureReader&) = delete;
    PictureReader& operator=(const PictureReader&) = delete;

    // Asks for a read; returns at once. An older request is cancelled.
    void Start(Read read);
    // The result of `read` handed to `done` on the window's thread.
    template <class T>
    void Start(std::function<T(const PictureLimits&)> read, std::function<void(T)> done)
    {
        Start([read = std::move(read), done = std::move(done)](const PictureLimits& limits) -> Finish {
            auto result = std::make_shared<T>(read(limits));
            return [done, result] { done(std::move(*result)); };
        });
    }
    // Drops the request in progress, if any: its result never comes.
    void Cancel();
    // True from Start until its result has been handed over or dropped.
    bool Busy() const { return busy_; }

    // Joins the reads that ended readers left running (the application
    // object's end does this; tests may call it).
    static void JoinLeftovers();

private:
    struct State;
    static void Run(const std::shared_ptr<State>& state);
    std::shared_ptr<State> state_;
    std::thread thread_;
    quint64 generation_ = 0;  // of the latest request (window's thread)
    bool busy_ = false;
};

} // namespace kestova::desktop
