// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Base of every object that receives events of the program's own event
// system. The handler procedure (an event filter on the target) is installed
// the first time it is needed and wraps each matching event in a TCarbonEvent
// before handing it to HandleEvent.

#include "mac/HIFramework/FourCC.h"
#include "mac/HIFramework/TCarbonEvent.h"

#include <QObject>

#include <functional>
#include <memory>
#include <vector>

namespace kestova::mac {

class TEventHandler;

// The installed handler: an event filter on one target, listening for a set
// of (class, kind) pairs. Destroying it removes it from the target.
class EventHandlerRef : public QObject {
public:
    using Proc = std::function<bool(TCarbonEvent&)>;
    EventHandlerRef(QObject* target, Proc proc);
    ~EventHandlerRef() override;
    void AddEventTypes(const std::vector<EventTypeSpec>& specs);
    bool Listens(const EventTypeSpec& type) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QObject* target_;
    Proc proc_;
    std::vector<EventTypeSpec> specs_;
};

// Installs `proc` on `target` for the given event types (the free-function
// handlers of the main window use this directly).
std::unique_ptr<EventHandlerRef> InstallEventHandler(QObject* target, const std::vector<EventTypeSpec>& specs,
                                                     EventHandlerRef::Proc proc);

class TEventHandler {
public:
    TEventHandler() = default;
    virtual ~TEventHandler();
    TEventHandler(const TEventHandler&) = delete;
    TEventHandler& operator=(const TEventHandler&) = delete;

    // True when the event was handled; otherwise it passes on.
    virtual bool HandleEvent(TCarbonEvent& event);
    virtual QObject* GetEventTarget() = 0;

    void RegisterForEvents(const std::vector<EventTypeSpec>& specs);
    EventHandlerRef* GetEventHandler();

private:
    std::unique_ptr<EventHandlerRef> handler_;
};

} // namespace kestova::mac
