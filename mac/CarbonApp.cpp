// SPDX-License-Identifier: GPL-3.0-or-later
#include "mac/CarbonApp.h"

#include "mac/FrontEnd.h"

namespace kestova::mac {

CarbonApp::CarbonApp(FrontEnd* frontEnd)
    : TApplication(QStringLiteral("MenuBar"), QStringLiteral("main")), frontEnd_(frontEnd)
{
}

CarbonApp::~CarbonApp()
{
    if (frontEnd_)
        frontEnd_->CloseResource();
}

bool CarbonApp::HandleCommand(const HICommandExtended& command)
{
    switch (command.commandID) {
    case kHICommandNew:
        return true;
    case kHICommandQuit:
        if (frontEnd_)
            frontEnd_->MyQuit();
        return true;
    default:
        return false;
    }
}

} // namespace kestova::mac
