// SPDX-License-Identifier: GPL-3.0-or-later
#include "mac/HIFramework/TCarbonEvent.h"

#include <QCoreApplication>

namespace kestova::mac {

CarbonQEvent::CarbonQEvent(std::shared_ptr<EventRecord> record)
    : QEvent(Type()), record_(std::move(record))
{
}

QEvent::Type CarbonQEvent::Type()
{
    static const QEvent::Type type = QEvent::Type(QEvent::registerEventType());
    return type;
}

TCarbonEvent::TCarbonEvent(FourCharCode eventClass, uint32_t eventKind)
    : record_(std::make_shared<EventRecord>())
{
    record_->eventClass = eventClass;
    record_->eventKind = eventKind;
}

void TCarbonEvent::PostTo(QObject* target) const
{
    QCoreApplication::postEvent(target, new CarbonQEvent(record_));
}

bool TCarbonEvent::SendTo(QObject* target) const
{
    CarbonQEvent e(record_);
    e.ignore();  // accepted only by a handler that handles it
    QCoreApplication::sendEvent(target, &e);
    return e.isAccepted();
}

void PostDrawEvent()
{
    if (QCoreApplication* app = QCoreApplication::instance())
        TCarbonEvent(kEventClassDraw, kEventKindDraw).PostTo(app);
}

} // namespace kestova::mac
