// SPDX-License-Identifier: GPL-3.0-or-later
// The opener the machine's units are taken with: the SG_IO unit.

#include "device/linux/LinuxDiscovery.h"
#include "device/linux/SgUnit.h"

namespace kestova {

NodeOpener DefaultNodeOpener() {
    return [](const std::string& node, std::string& error) -> std::unique_ptr<ScsiUnit> {
        return OpenSgUnit(node, &error);
    };
}

} // namespace kestova
