// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The application of mackestova: handles the menu commands.

#include "mac/HIFramework/TApplication.h"

namespace kestova::mac {

class FrontEnd;

class CarbonApp : public TApplication {
public:
    explicit CarbonApp(FrontEnd* frontEnd);
    ~CarbonApp() override;
    bool HandleCommand(const HICommandExtended& command) override;

private:
    FrontEnd* frontEnd_;
};

} // namespace kestova::mac
