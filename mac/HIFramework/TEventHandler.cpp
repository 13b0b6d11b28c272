// SPDX-License-Identifier: GPL-3.0-or-later
#include "mac/HIFramework/TEventHandler.h"

#include <QCoreApplication>

#include <algorithm>

namespace kestova::mac {

EventHandlerRef::EventHandlerRef(QObject* target, Proc proc) : target_(target), proc_(std::move(proc))
{
    // Events posted to the application object reach filters installed on the
    // application itself; for any other target the filter sits on that object.
    target_->installEventFilter(this);
}

EventHandlerRef::~EventHandlerRef()
{
    if (target_)
        target_->removeEventFilter(this);
}

void EventHandlerRef::AddEventTypes(const std::vector<EventTypeSpec>& specs)
{
    for (const auto& s : specs)
        if (!Listens(s))
            specs_.push_back(s);
}

bool EventHandlerRef::Listens(const EventTypeSpec& type) const
{
    return std::find(specs_.begin(), specs_.end(), type) != specs_.end();
}

bool EventHandlerRef::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != target_ || event->type() != CarbonQEvent::Type())
        return false;
    auto* ce = static_cast<CarbonQEvent*>(event);
    const auto& rec = ce->Record();
    if (!rec || !Listens({rec->eventClass, rec->eventKind}))
        return false;
    TCarbonEvent wrapped(rec);
    if (proc_(wrapped)) {
        event->accept();
        return true;
    }
    return false;
}

std::unique_ptr<EventHandlerRef> InstallEventHandler(QObject* target, const std::vector<EventTypeSpec>& specs,
                                                     EventHandlerRef::Proc proc)
{
    auto ref = std::make_unique<EventHandlerRef>(target, std::move(proc));
    ref->AddEventTypes(specs);
    return ref;
}

TEventHandler::~TEventHandler() = default;

bool TEventHandler::HandleEvent(TCarbonEvent&)
{
    return false;
}

EventHandlerRef* TEventHandler::GetEventHandler()
{
    if (!handler_)
        handler_ = std::make_unique<EventHandlerRef>(GetEventTarget(),
                                                     [this](TCarbonEvent& e) { return HandleEvent(e); });
    return handler_.get();
}

void TEventHandler::RegisterForEvents(const std::vector<EventTypeSpec>& specs)
{
    GetEventHandler()->AddEventTypes(specs);
}

} // namespace kestova::mac
