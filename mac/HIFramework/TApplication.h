// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The application object: receives command events on the application target
// and runs the event loop.

#include "mac/HIFramework/TEventHandler.h"

#include <QString>

namespace kestova::mac {

class TApplication : public TEventHandler {
public:
    TApplication(const QString& menuBarName, const QString& nibName);
    ~TApplication() override;

    bool HandleEvent(TCarbonEvent& event) override;
    QObject* GetEventTarget() override;
    virtual int Run();
    virtual void Activated() {}
    virtual void Deactivated() {}
    virtual bool UpdateCommandStatus(const HICommandExtended&) { return false; }
    virtual bool HandleCommand(const HICommandExtended&) { return false; }

    const QString& MenuBarName() const { return menuBarName_; }
    const QString& NibName() const { return nibName_; }

private:
    QString menuBarName_;
    QString nibName_;
};

} // namespace kestova::mac
