// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// An event of the program's own event system, carried through Qt's queue.
// The event record is shared: TCarbonEvent retains it while it wraps it.

#include "mac/HIFramework/FourCC.h"

#include <QEvent>

#include <memory>

namespace kestova::mac {

struct EventRecord {
    FourCharCode eventClass = 0;
    uint32_t eventKind = 0;
    HICommandExtended command;  // direct object of a command event
};

// The Qt event that carries one EventRecord through QCoreApplication's queue.
class CarbonQEvent : public QEvent {
public:
    explicit CarbonQEvent(std::shared_ptr<EventRecord> record);
    static QEvent::Type Type();
    const std::shared_ptr<EventRecord>& Record() const { return record_; }

private:
    std::shared_ptr<EventRecord> record_;
};

class TCarbonEvent {
public:
    explicit TCarbonEvent(std::shared_ptr<EventRecord> record) : record_(std::move(record)) {}
    TCarbonEvent(FourCharCode eventClass, uint32_t eventKind);
    ~TCarbonEvent() = default;

    FourCharCode GetClass() const { return record_->eventClass; }
    uint32_t GetKind() const { return record_->eventKind; }
    const HICommandExtended& GetCommand() const { return record_->command; }
    void SetCommand(const HICommandExtended& c) { record_->command = c; }
    const std::shared_ptr<EventRecord>& GetEventRef() const { return record_; }

    // Posts the event to `target`'s queue; safe from any thread.
    void PostTo(QObject* target) const;
    // Sends the event at once (caller's thread must own `target`).
    bool SendTo(QObject* target) const;

private:
    std::shared_ptr<EventRecord> record_;
};

// Posts ('draw', 'draw') to the application; used by worker tasks when they end.
void PostDrawEvent();

} // namespace kestova::mac
