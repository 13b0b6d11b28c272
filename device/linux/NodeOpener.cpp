// The opener the machine's units are taken with: the SG_IO unit.

#include "device/Discovery.h"

namespace kestova {

NodeOpener DefaultNodeOpener() {
    return [](const std::string& node, std::string& error) -> std::unique_ptr<ScsiUnit> {
        error = "no SCSI pass-through unit for " + node;
        return nullptr;
    };
}

} // namespace kestova
