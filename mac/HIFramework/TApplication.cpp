// SPDX-License-Identifier: GPL-3.0-or-later
#include "mac/HIFramework/TApplication.h"

#include "mac/HIFramework/TNib.h"

#include <QCoreApplication>

namespace kestova::mac {

TApplication::TApplication(const QString& menuBarName, const QString& nibName)
    : menuBarName_(menuBarName), nibName_(nibName)
{
    RegisterForEvents({{kEventClassCommand, kEventCommandProcess}});
    // The layout is opened once to check that it is there; the window opens
    // its own copy later.
    TNib nib(nibName);
    (void)nib.IsValid();
}

TApplication::~TApplication() = default;

QObject* TApplication::GetEventTarget()
{
    return QCoreApplication::instance();
}

bool TApplication::HandleEvent(TCarbonEvent& event)
{
    if (event.GetClass() != kEventClassCommand)
        return false;
    if (event.GetKind() == kEventCommandProcess)
        return HandleCommand(event.GetCommand());
    if (event.GetKind() == kEventCommandUpdateStatus)
        return UpdateCommandStatus(event.GetCommand());
    return false;
}

int TApplication::Run()
{
    return QCoreApplication::exec();
}

} // namespace kestova::mac
